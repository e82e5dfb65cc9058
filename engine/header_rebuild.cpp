// A header list made from the data, and the test of a reference's.
#include "header_rebuild.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <numeric>

#include "avi_structs.h"
#include "file_io.h"
#include "keyframe.h"
#include "platform/message_ids.h"
#include "platform/message_kind.h"
#include "stream_sniff.h"

namespace {

// How far the data are read: enough for some seconds of a recording, and
// for an H.264 or MPEG-4 stream whose first key frame (with the headers
// that give the picture size) comes only seconds after the data start.
constexpr std::size_t survey_chunks = 4000;
constexpr std::uint64_t survey_span = 64ull << 20;
// No chunk of a recording this engine rebuilds a header for is larger.
constexpr std::uint32_t largest_chunk = 64u << 20;
// Bytes of a video chunk looked at: a JPEG's segments before its frame
// header (EXIF data among them) fit.
constexpr std::size_t video_window = 64 * 1024;
// Bytes of an audio chunk read for its frames: far more than a second.
constexpr std::size_t audio_window = 256 * 1024;
// Video chunks looked at for the kind of the stream.
constexpr std::size_t kind_tries = 8;

struct TChunkSeen {
  std::uint64_t data = 0;  // the data's offset
  std::uint32_t size = 0;
  int stream = 0;
  bool video = false;
};

// The chunks from `data_start` on as the scan walks them: "rec " lists,
// JUNK chunks and per-stream index chunks are stepped over, as is the next
// RIFF chunk's header in a long recording; the walk ends at the first place
// that holds no whole chunk of plausible size.
// A bad block of the medium ends it too: what lies before it shows the
// streams, and the repair steps over it.
std::vector<TChunkSeen> survey(TFileIO& file, std::uint64_t data_start) {
  std::vector<TChunkSeen> chunks;
  const std::uint64_t end = file.size();
  std::uint64_t p = data_start;
  try {
  while (chunks.size() < survey_chunks && p - data_start < survey_span) {
    const auto id = file.read_fourcc_at(p);
    const auto size = file.read_le32_at(p + 4);
    if (!id || !size) break;
    if (same_id(*id, id_list) || same_id(*id, id_riff)) {
      const auto type = file.read_fourcc_at(p + 8);
      const bool inner = type && (same_id(*type, id_rec) || same_id(*type, id_movi) || same_id(*type, id_avix));
      if (!inner) break;
      p += list_header_size;
      continue;
    }
    const TChunkClass kind = classify_id(*id);
    if (kind == TChunkClass::junk) {
      p += chunk_header_size + *size;  // as the scan steps over it: no pad byte
      continue;
    }
    if (kind == TChunkClass::stream_index) {
      p += chunk_header_size + padded_size(*size);
      continue;
    }
    if (kind != TChunkClass::data || *size > largest_chunk || p + chunk_header_size + *size > end) break;
    chunks.push_back({p + chunk_header_size, *size, stream_number(*id), is_video_id(*id)});
    p += chunk_header_size + padded_size(*size);
  }
  } catch (const TIoError& e) {
    if (!e.is_unreadable()) throw;
  }
  return chunks;
}

// A chunk whose first bytes cannot be read shows nothing.
std::vector<unsigned char> read_data(TFileIO& file, const TChunkSeen& chunk, std::size_t window) {
  std::vector<unsigned char> bytes(std::min<std::size_t>(chunk.size, window));
  try {
    bytes.resize(file.read_at(chunk.data, bytes.data(), bytes.size()));
  } catch (const TIoError& e) {
    if (!e.is_unreadable()) throw;
    bytes.clear();
  }
  return bytes;
}

TRebuildLine line(std::uint32_t message, std::uint8_t kind, std::string tail) {
  return TRebuildLine{message, kind, std::move(tail)};
}

std::string stream_label(int n) {
  return std::string("stream ") + static_cast<char>('0' + n / 10) + static_cast<char>('0' + n % 10);
}

const char* kind_name(TVideoKind kind) {
  switch (kind) {
    case TVideoKind::jpeg:
      return "JPEG";
    case TVideoKind::mpeg4:
      return "MPEG-4 Part 2";
    case TVideoKind::h264:
      return "H.264";
    case TVideoKind::dv:
      return "DV";
    case TVideoKind::none:
      break;
  }
  return "video not recognised";
}

std::string size_text(int width, int height) { return std::to_string(width) + "x" + std::to_string(height); }

// What the video chunks of one stream show: the kind from the first
// chunks that show one, the picture size (and a stated rate) from the
// first chunk that gives it.
struct TVideoSurvey {
  TVideoFrameInfo info;
  bool sized = false;
};

TVideoSurvey survey_video(TFileIO& file, const std::vector<TChunkSeen>& chunks, int stream) {
  TVideoSurvey result;
  std::size_t tries = 0;
  for (const TChunkSeen& chunk : chunks) {
    if (chunk.stream != stream || chunk.size == 0) continue;
    const bool first_look = result.info.kind == TVideoKind::none;
    if (first_look && tries++ == kind_tries) break;
    const std::vector<unsigned char> bytes =
        read_data(file, chunk, first_look || result.info.kind == TVideoKind::jpeg ? video_window : keyframe_window);
    const TVideoFrameInfo info = sniff_video_frame(bytes.data(), bytes.size(), chunk.size);
    if (info.kind == TVideoKind::none) continue;
    if (first_look) result.info = info;
    if (info.kind != result.info.kind) continue;
    if (info.width > 0) {
      result.info = info;
      result.sized = true;
      break;
    }
  }
  return result;
}

// --- The frame rate.

struct TRate {
  std::uint32_t rate = 0;
  std::uint32_t scale = 1;
  [[nodiscard]] double fps() const { return scale == 0 ? 0.0 : static_cast<double>(rate) / scale; }
};

TRate reduced(std::uint64_t rate, std::uint64_t scale) {
  const std::uint64_t g = std::gcd(rate, scale);
  if (g == 0) return {};
  rate /= g;
  scale /= g;
  if (rate > 0xFFFFFFFFull || scale > 0xFFFFFFFFull) return {};
  return {static_cast<std::uint32_t>(rate), static_cast<std::uint32_t>(scale)};
}

constexpr TRate usual_rates[] = {{24000, 1001}, {24, 1}, {25, 1}, {30000, 1001}, {30, 1}, {50, 1}, {60000, 1001},
                                 {60, 1},       {10, 1}, {12, 1}, {25, 2},       {15, 1}, {20, 1}};
constexpr double snap_tolerance = 0.005;
constexpr double lowest_fps = 1;
constexpr double highest_fps = 240;

// The usual rate nearest to a measured one when it lies within 0.5 %; else
// the measure to a thousandth.
std::optional<TRate> snapped(double fps) {
  if (!(fps >= lowest_fps && fps <= highest_fps)) return std::nullopt;
  const TRate* best = nullptr;
  double best_error = snap_tolerance;
  for (const TRate& r : usual_rates) {
    const double error = std::fabs(fps / r.fps() - 1);
    if (error <= best_error) {
      best = &r;
      best_error = error;
    }
  }
  if (best != nullptr) return *best;
  return reduced(static_cast<std::uint64_t>(std::llround(fps * 1000)), 1000);
}

// The audio stream's format, from the first of its chunks that shows one.
std::optional<TAudioFrameInfo> survey_audio(TFileIO& file, const std::vector<TChunkSeen>& chunks, int stream) {
  std::size_t tries = 0;
  for (const TChunkSeen& chunk : chunks) {
    if (chunk.stream != stream || chunk.size == 0) continue;
    if (tries++ == kind_tries) break;
    const std::vector<unsigned char> bytes = read_data(file, chunk, audio_window);
    if (auto format = find_audio_format(bytes.data(), bytes.size())) return format;
  }
  return std::nullopt;
}

// Video frames per second of audio: the audio played before each video
// chunk of `video`, fitted by least squares against the chunk's number;
// the slope is the frame duration. Frames per second; empty when the two do not interleave
// over enough of the data to say.
std::optional<double> rate_from_audio(TFileIO& file, const std::vector<TChunkSeen>& chunks, int video, int audio,
                                      const TAudioFrameInfo& format) {
  TAudioFrameCounter counter(format);
  struct TPoint {
    double frame;
    double seconds;
    std::size_t audio_before;
  };
  std::vector<TPoint> all;
  std::size_t audio_chunks = 0;
  for (const TChunkSeen& chunk : chunks) {
    if (chunk.stream == video) {
      all.push_back({static_cast<double>(all.size()), static_cast<double>(counter.samples()) / format.sample_rate,
                     audio_chunks});
    } else if (chunk.stream == audio) {
      ++audio_chunks;
      const std::vector<unsigned char> bytes = read_data(file, chunk, audio_window);
      counter.add(bytes.data(), bytes.size());
      if (bytes.size() < chunk.size) counter.gap();
    }
  }
  // Only frames with audio on either side: a muxer may write some audio
  // ahead of the first frame, or frames on after the audio ended.
  std::vector<std::pair<double, double>> points;
  for (const TPoint& p : all) {
    if (p.audio_before > 0 && p.audio_before < audio_chunks) points.emplace_back(p.frame, p.seconds);
  }
  constexpr std::size_t least_frames = 16;
  constexpr std::size_t least_audio_chunks = 8;
  constexpr double least_seconds = 1;
  if (points.size() < least_frames || audio_chunks < least_audio_chunks) return std::nullopt;
  if (points.back().second - points.front().second < least_seconds) return std::nullopt;
  double mean_x = 0;
  double mean_y = 0;
  for (const auto& [x, y] : points) {
    mean_x += x;
    mean_y += y;
  }
  mean_x /= static_cast<double>(points.size());
  mean_y /= static_cast<double>(points.size());
  double sxx = 0;
  double sxy = 0;
  double syy = 0;
  for (const auto& [x, y] : points) {
    sxx += (x - mean_x) * (x - mean_x);
    sxy += (x - mean_x) * (y - mean_y);
    syy += (y - mean_y) * (y - mean_y);
  }
  if (sxx <= 0 || syy <= 0 || sxy <= 0) return std::nullopt;
  // Audio in long runs between the video (or not between it at all) does
  // not follow the frames closely.
  constexpr double least_fit = 0.99;
  if (sxy * sxy / (sxx * syy) < least_fit) return std::nullopt;
  return sxx / sxy;  // frames per second of audio
}

// --- The header's bytes, field by field as ffmpeg writes them.

class TWriter {
 public:
  void u16(std::uint32_t v) {
    bytes_.push_back(static_cast<unsigned char>(v));
    bytes_.push_back(static_cast<unsigned char>(v >> 8));
  }
  void u32(std::uint32_t v) {
    u16(v & 0xFFFFu);
    u16(v >> 16);
  }
  void id(const TFourCC& code) { bytes_.insert(bytes_.end(), code.begin(), code.end()); }
  void zeros(std::size_t n) { bytes_.insert(bytes_.end(), n, 0); }
  // Opens a chunk (or with `type`, a list); close() writes its size.
  void open(const TFourCC& code, const TFourCC* type = nullptr) {
    id(code);
    open_.push_back(bytes_.size());
    u32(0);
    if (type != nullptr) id(*type);
  }
  void close() {
    const std::size_t at = open_.back();
    open_.pop_back();
    write_le32(bytes_.data() + at, static_cast<std::uint32_t>(bytes_.size() - at - 4));
  }
  std::vector<unsigned char> take() { return std::move(bytes_); }

 private:
  std::vector<unsigned char> bytes_;
  std::vector<std::size_t> open_;
};

constexpr std::uint32_t avif_flags = 0x910;  // has index, interleaved, trust chunk types
constexpr std::uint32_t avih_buffer = 1 << 20;
constexpr std::uint32_t no_quality = 0xFFFFFFFFu;
// The rooms ffmpeg keeps for a file that outgrows its first RIFF chunk: a
// super index of 256 entries in each stream list, an odml list in the
// header list. The repair grows into them.
constexpr std::size_t super_room = 4120;
constexpr std::uint32_t dmlh_room = 248;

constexpr std::uint16_t wave_mpeg = 0x50;
constexpr std::uint16_t wave_mp3 = 0x55;
constexpr std::uint16_t wave_ac3 = 0x2000;

struct TStreamPlan {
  bool video = false;
  std::uint32_t largest = 0;
  TVideoFrameInfo picture;
  TAudioFrameInfo audio;
};

void write_super_room(TWriter& w, int stream, bool video) {
  w.open(id_junk);
  w.u16(4);  // wLongsPerEntry, then index type and sub-type 0, no entries
  w.zeros(6);
  const char id[5] = {static_cast<char>('0' + stream / 10), static_cast<char>('0' + stream % 10), video ? 'd' : 'w',
                      video ? 'c' : 'b', 0};
  w.id(fourcc(id));
  w.zeros(super_room - 12);
  w.close();
}

void write_video_strl(TWriter& w, const TStreamPlan& s, const TRate& rate) {
  const TVideoFrameInfo& p = s.picture;
  w.open(id_strh);
  w.id(id_vids);
  w.id(p.fourcc);
  w.u32(0);  // flags
  w.u32(0);  // priority, language
  w.u32(0);  // initial frames
  w.u32(rate.scale);
  w.u32(rate.rate);
  w.u32(0);  // start
  w.u32(0);  // length: the repair writes it
  w.u32(s.largest);
  w.u32(no_quality);
  w.u32(0);  // sample size
  w.u16(0);
  w.u16(0);
  w.u16(static_cast<std::uint32_t>(p.width));
  w.u16(static_cast<std::uint32_t>(p.height));
  w.close();
  w.open(id_strf);
  w.u32(40);
  w.u32(static_cast<std::uint32_t>(p.width));
  w.u32(static_cast<std::uint32_t>(p.height));
  w.u16(1);   // planes
  w.u16(24);  // bits per pixel
  w.id(p.fourcc);
  w.u32(static_cast<std::uint32_t>(p.width) * static_cast<std::uint32_t>(p.height) * 3);
  w.zeros(16);
  w.close();
}

void write_audio_strl(TWriter& w, const TStreamPlan& s) {
  const TAudioFrameInfo& a = s.audio;
  const TRate unit = reduced(a.sample_rate, a.samples);
  w.open(id_strh);
  w.id(fourcc("auds"));
  w.u32(1);  // handler
  w.u32(0);
  w.u32(0);
  w.u32(0);
  w.u32(unit.scale);
  w.u32(unit.rate);
  w.u32(0);
  w.u32(0);
  w.u32(s.largest);
  w.u32(no_quality);
  w.u32(0);  // sample size 0: one frame or more per chunk, of any size
  w.zeros(8);
  w.close();
  w.open(id_strf);
  const std::uint16_t tag = a.kind == TAudioKind::ac3 ? wave_ac3 : a.layer == 3 ? wave_mp3 : wave_mpeg;
  w.u16(tag);
  w.u16(a.channels);
  w.u32(a.sample_rate);
  w.u32(a.bit_rate / 8);
  if (tag == wave_ac3) {
    w.u16(3840);  // the largest frame
    w.u16(16);
    w.u16(0);
  } else if (tag == wave_mp3) {
    w.u16(a.samples);
    w.u16(0);
    w.u16(12);
    w.u16(1);  // MPEGLAYER3WAVEFORMAT: wID
    w.u32(2);  // fdwFlags
    w.u16(1152);
    w.u16(1);     // frames per block
    w.u16(1393);  // codec delay
  } else {
    w.u16((144 * a.bit_rate - 1) / a.sample_rate + 1);  // the longest frame
    w.u16(0);
    w.u16(22);
    w.u16(2);  // MPEG1WAVEFORMAT: layer II
    w.u32(a.bit_rate);
    w.u16(a.channels == 2 ? 1 : 8);  // stereo, or one channel
    w.u16(0);
    w.u16(1);
    w.u16(16);
    w.zeros(8);
  }
  w.close();
}

std::vector<unsigned char> header_bytes(const std::vector<TStreamPlan>& streams, const TRate& rate,
                                        std::uint32_t bytes_per_second) {
  TWriter w;
  w.open(id_list, &id_hdrl);
  const TVideoFrameInfo& picture =
      std::find_if(streams.begin(), streams.end(), [](const TStreamPlan& s) { return s.video; })->picture;
  w.open(id_avih);
  w.u32(static_cast<std::uint32_t>(std::uint64_t{1000000} * rate.scale / rate.rate));
  w.u32(bytes_per_second);
  w.u32(0);  // padding granularity
  w.u32(avif_flags);
  w.u32(0);  // total frames: the repair writes them
  w.u32(0);
  w.u32(static_cast<std::uint32_t>(streams.size()));
  w.u32(avih_buffer);
  w.u32(static_cast<std::uint32_t>(picture.width));
  w.u32(static_cast<std::uint32_t>(picture.height));
  w.zeros(16);
  w.close();
  for (std::size_t n = 0; n < streams.size(); ++n) {
    w.open(id_list, &id_strl);
    if (streams[n].video) {
      write_video_strl(w, streams[n], rate);
    } else {
      write_audio_strl(w, streams[n]);
    }
    write_super_room(w, static_cast<int>(n), streams[n].video);
    w.close();
  }
  w.open(id_junk);
  w.id(id_odml);
  w.id(id_dmlh);
  w.u32(dmlh_room);
  w.zeros(dmlh_room);
  w.close();
  w.close();
  return w.take();
}

// Per stream number, whether the data hold video or audio chunks of it;
// empty when it holds none.
struct TStreamsSeen {
  std::array<std::optional<bool>, max_streams> video{};
  int count = 0;  // one more than the highest stream number seen
  bool mixed = false;  // video and audio ids of one stream number
};

TStreamsSeen streams_seen(const std::vector<TChunkSeen>& chunks) {
  TStreamsSeen seen;
  for (const TChunkSeen& c : chunks) {
    auto& v = seen.video[static_cast<std::size_t>(c.stream)];
    if (v && *v != c.video) seen.mixed = true;
    v = c.video;
    seen.count = std::max(seen.count, c.stream + 1);
  }
  return seen;
}

THeaderGuessResult refuse(std::string tail) {
  THeaderGuessResult r;
  r.refusal = line(msg_header_not_recognised, mk_error, std::move(tail));
  return r;
}

std::string fps_text(const TRate& r) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", r.fps());
  std::string s = text;
  while (s.back() == '0') s.pop_back();
  if (s.back() == '.') s.pop_back();
  return s;
}

}  // namespace

THeaderGuessResult guess_header_list(TFileIO& file, std::uint64_t data_start) {
  const std::vector<TChunkSeen> chunks = survey(file, data_start);
  if (chunks.empty()) return refuse("no data chunks");
  const TStreamsSeen seen = streams_seen(chunks);
  if (seen.mixed) return refuse("video and audio chunks of one stream number");
  std::vector<TStreamPlan> plans(static_cast<std::size_t>(seen.count));
  std::optional<int> first_video;
  std::optional<int> first_audio;
  std::uint64_t total_bytes = 0;
  for (const TChunkSeen& c : chunks) {
    auto& plan = plans[static_cast<std::size_t>(c.stream)];
    plan.largest = std::max(plan.largest, c.size);
    total_bytes += c.size;
  }
  THeaderGuess guess;
  std::optional<TRate> stated;
  for (int n = 0; n < seen.count; ++n) {
    const auto& kind = seen.video[static_cast<std::size_t>(n)];
    TStreamPlan& plan = plans[static_cast<std::size_t>(n)];
    if (!kind) return refuse(stream_label(n) + ": no chunks");
    plan.video = *kind;
    if (plan.video) {
      const TVideoSurvey video = survey_video(file, chunks, n);
      if (video.info.kind == TVideoKind::none) return refuse(stream_label(n) + ": " + kind_name(video.info.kind));
      if (!video.sized) return refuse(stream_label(n) + ": " + kind_name(video.info.kind) + " without picture size");
      plan.picture = video.info;
      if (!first_video) {
        first_video = n;
        const TRate said = reduced(video.info.rate, video.info.scale);
        if (said.rate != 0 && said.fps() >= lowest_fps && said.fps() <= highest_fps) stated = said;
      }
    } else {
      const auto format = survey_audio(file, chunks, n);
      if (!format) return refuse(stream_label(n) + ": audio not recognised (PCM?)");
      plan.audio = *format;
      if (!first_audio) first_audio = n;
    }
  }
  if (!first_video) return refuse("no video chunks");

  TRate rate;
  const bool dv = plans[static_cast<std::size_t>(*first_video)].picture.kind == TVideoKind::dv;
  std::optional<double> measured;
  if (!dv && first_audio) {
    measured = rate_from_audio(file, chunks, *first_video, *first_audio,
                               plans[static_cast<std::size_t>(*first_audio)].audio);
  }
  // The rate a bitstream states is exact where the audio only comes near
  // it; where the two disagree, the stream's own statement is what is wrong
  // (a field rate, a writer's default).
  constexpr double agreement = 0.01;
  const std::optional<TRate> from_audio = measured ? snapped(*measured) : std::nullopt;
  if (stated && (dv || !from_audio || std::fabs(stated->fps() / from_audio->fps() - 1) < agreement)) {
    rate = *stated;
  } else if (from_audio) {
    rate = *from_audio;
    guess.assumptions.push_back(line(msg_frame_rate_from_audio, mk_plain, fps_text(rate)));
  } else {
    rate = {25, 1};
    guess.assumptions.push_back(line(msg_frame_rate_assumed, mk_warning, fps_text(rate)));
  }
  std::size_t frames = 0;
  for (const TChunkSeen& c : chunks) frames += c.stream == *first_video ? 1 : 0;
  const double seconds = static_cast<double>(frames) / rate.fps();
  const auto per_second = static_cast<std::uint32_t>(
      std::min<double>(static_cast<double>(total_bytes) / std::max(seconds, 1.0), 0xFFFFFFFFu));
  guess.header_list = header_bytes(plans, rate, per_second);
  THeaderGuessResult result;
  result.guess = std::move(guess);
  return result;
}

// --- The reference's fit.

namespace {

struct TReferenceStream {
  TFourCC type{};
  TFourCC handler{};
  std::optional<TFourCC> compression;
  int width = 0;
  int height = 0;
};

// The stream lists of a "LIST" "hdrl" chunk's bytes; empty when they are
// not one.
std::optional<std::vector<TReferenceStream>> reference_streams(const std::vector<unsigned char>& b) {
  if (b.size() < list_header_size || !same_id(to_fourcc(b.data()), id_list) ||
      !same_id(to_fourcc(b.data() + 8), id_hdrl)) {
    return std::nullopt;
  }
  std::vector<TReferenceStream> streams;
  const std::size_t end = std::min<std::size_t>(b.size(), chunk_header_size + std::uint64_t{read_le32(b.data() + 4)});
  std::size_t p = list_header_size;
  while (p + chunk_header_size <= end && streams.size() < static_cast<std::size_t>(max_streams)) {
    const std::uint32_t size = read_le32(b.data() + p + 4);
    const std::size_t list_end = static_cast<std::size_t>(std::min<std::uint64_t>(end, p + 8 + std::uint64_t{size}));
    if (same_id(to_fourcc(b.data() + p), id_list) && p + list_header_size <= end &&
        same_id(to_fourcc(b.data() + p + 8), id_strl)) {
      TReferenceStream s;
      std::size_t q = p + list_header_size;
      bool have_strh = false;
      while (q + chunk_header_size <= list_end) {
        const TFourCC id = to_fourcc(b.data() + q);
        const std::uint64_t chunk_size = read_le32(b.data() + q + 4);
        const std::size_t data = q + chunk_header_size;
        const std::size_t chunk_end = static_cast<std::size_t>(std::min<std::uint64_t>(list_end, data + chunk_size));
        if (same_id(id, id_strh) && !have_strh && data + 8 <= chunk_end) {
          s.type = to_fourcc(b.data() + data);
          s.handler = to_fourcc(b.data() + data + 4);
          have_strh = true;
        } else if (same_id(id, id_strf) && !s.compression && data + 20 <= chunk_end) {
          s.width = static_cast<int>(read_le32(b.data() + data + 4));
          s.height = std::abs(static_cast<int>(read_le32(b.data() + data + 8)));
          s.compression = to_fourcc(b.data() + data + 16);
        }
        q = static_cast<std::size_t>(data + padded_size(static_cast<std::uint32_t>(chunk_size)));
      }
      streams.push_back(s);
    }
    p = static_cast<std::size_t>(p + chunk_header_size + padded_size(size));
  }
  return streams;
}

char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool code_in(const TFourCC& code, std::initializer_list<const char*> codes) {
  return std::any_of(codes.begin(), codes.end(), [&code](const char* c) {
    return upper(code[0]) == c[0] && upper(code[1]) == c[1] && upper(code[2]) == c[2] && upper(code[3]) == c[3];
  });
}

// The kind of video a reference's stream names; none for codecs that are
// not checked.
TVideoKind expected_kind(const TReferenceStream& s) {
  const TFourCC code = s.compression.value_or(s.handler);
  if (code_in(code, {"MJPG", "AVRN", "AVDJ", "DMB1", "JPEG"})) return TVideoKind::jpeg;
  // (Standard definition DV only: other frame sizes are not told apart.)
  if (code_in(code, {"DVSD", "DV25", "DV50", "CDVC", "DVCP", "DVPP"})) return TVideoKind::dv;
  // H.264 with its parameter sets in the header, not in the data.
  if (code_in(code, {"AVC1"})) return TVideoKind::none;
  TStreamInfo info;
  info.fcc_type = id_vids;
  info.fcc_handler = s.handler;
  info.bi_compression = s.compression;
  const TCodecFamily family = codec_family(info);
  if (family == TCodecFamily::mpeg4) return TVideoKind::mpeg4;
  if (family == TCodecFamily::h264) return TVideoKind::h264;
  return TVideoKind::none;
}

std::string printable(const TFourCC& code) {
  std::string s;
  for (char c : code) s += (c >= 0x20 && c < 0x7F) ? c : '?';
  return s;
}

bool size_fits(TVideoKind kind, const TReferenceStream& s, const TVideoFrameInfo& data) {
  if (s.width == data.width && s.height == data.height) return true;
  // Fields stored as JPEGs of their own; H.264 headers written with the
  // size in whole macroblocks.
  if (kind == TVideoKind::jpeg) return s.width == data.width && s.height == 2 * data.height;
  if (kind == TVideoKind::h264) return s.width == data.coded_width && s.height == data.coded_height;
  return false;
}

}  // namespace

std::optional<TRebuildLine> reference_mismatch(const std::vector<unsigned char>& header_list, TFileIO& file,
                                               std::uint64_t data_start) {
  const auto differs = [](std::string tail) { return line(msg_reference_differs, mk_error, std::move(tail)); };
  const auto streams = reference_streams(header_list);
  if (!streams) return differs("the reference has no header list");
  const std::vector<TChunkSeen> chunks = survey(file, data_start);
  if (chunks.empty()) return differs("no data chunks");
  const TStreamsSeen seen = streams_seen(chunks);
  std::string reference_types;
  std::string data_types;
  bool same = !seen.mixed && seen.count == static_cast<int>(streams->size());
  for (std::size_t n = 0; n < std::max<std::size_t>(streams->size(), static_cast<std::size_t>(seen.count)); ++n) {
    const std::optional<TFourCC> type = n < streams->size() ? std::optional<TFourCC>((*streams)[n].type) : std::nullopt;
    const auto& video = seen.video[n];
    if (type) reference_types += " " + printable(*type);
    if (n < static_cast<std::size_t>(seen.count)) data_types += video ? (*video ? " vids" : " auds") : " -";
    if (!type || !video || same_id(*type, id_vids) != *video || !(*video || same_id(*type, fourcc("auds")))) {
      same = false;
    }
  }
  if (!same) return differs("streams: reference" + reference_types + ", data" + data_types);

  for (std::size_t n = 0; n < streams->size(); ++n) {
    const TReferenceStream& s = (*streams)[n];
    if (!same_id(s.type, id_vids)) continue;
    const TVideoKind kind = expected_kind(s);
    if (kind == TVideoKind::none) break;
    const TVideoSurvey video = survey_video(file, chunks, static_cast<int>(n));
    const std::string code = printable(s.compression.value_or(s.handler));
    if (video.info.kind != kind) return differs("video: reference " + code + ", data " + kind_name(video.info.kind));
    if (video.sized && !size_fits(kind, s, video.info)) {
      return differs("video: reference " + size_text(s.width, s.height) + ", data " +
                     size_text(video.info.width, video.info.height));
    }
    break;  // the first video stream
  }
  return std::nullopt;
}
