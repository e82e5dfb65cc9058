// A header list made from the data of a file whose header is lost, and the
// test of a reference's header: frame headers of each codec as their
// writers put them, files of interleaved chunks, damaged bitstreams.
#include <gtest/gtest.h>

#include <filesystem>

#include "avi_builder.h"
#include "engine/file_io.h"
#include "engine/header_fields.h"
#include "engine/header_rebuild.h"
#include "engine/stream_sniff.h"
#include "platform/message_ids.h"

using namespace avitest;

namespace {

TBytes hex(const std::string& text) {
  TBytes b;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    b.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
  }
  return b;
}

TBytes operator+(TBytes a, const TBytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TBytes padded(TBytes b, std::size_t size, std::uint8_t fill = 0) {
  b.resize(std::max(size, b.size()), fill);
  return b;
}

// The headers before the first picture of a key frame, from files written
// by ffmpeg 5.1 (-c:v mpeg4, libxvid, libx264 -pix_fmt yuv420p; testsrc).
const TBytes ffmpeg_mpeg4 = hex(  // 320x240, 25 fps
    "000001b001000001b58913000001000000012000c48d8800cd0a041e1443000001b24c61766335392e33372e313030000001b300100700"
    "0001b6");
const TBytes xvid = hex(  // 320x240, fixed rate 25
    "000001b003000001b509000001000000012000bc0406c400670c281078518f000001b25876694430303639000001b6");
const TBytes x264_sd = hex("000000016764000dacd94141fb011000003e90000ea600f1429960");  // 320x240, 30000/1001
const TBytes x264_hd =
    hex("0000000167640028acd940780227e5c044000003000400000300c83c60c658");  // 1920x1080 cropped from 1088, 25
const TBytes idr = hex("00000001658884");  // an IDR slice's first bytes
const TBytes dv_pal = hex("1f0700bff8787878");
const TBytes dv_ntsc = hex("1f07003ff9797979");

// A baseline JPEG's SOF0 segment (and a field's "AVI1" APP0 before it).
TBytes jpeg(int width, int height, int polarity = -1) {
  TBytes b = hex("ffd8");
  if (polarity >= 0) b = b + hex("ffe0001041564931") + TBytes{static_cast<std::uint8_t>(polarity)} + TBytes(9, 0);
  const TBytes sof = {0xFF, 0xC0, 0, 17, 8, static_cast<std::uint8_t>(height >> 8), static_cast<std::uint8_t>(height),
                      static_cast<std::uint8_t>(width >> 8), static_cast<std::uint8_t>(width), 3};
  return b + sof + TBytes(9, 0x11) + hex("ffda000c03") + TBytes(300, 0x5A) + hex("ffd9");
}

struct TVideoCase {
  const char* name;
  TBytes data;
  std::uint32_t chunk_size;  // 0: the data's size
  TVideoKind kind;
  int width, height;
  std::uint32_t rate, scale;
  const char* code;
};

void PrintTo(const TVideoCase& c, std::ostream* os) { *os << c.name; }

class VideoFrames : public ::testing::TestWithParam<TVideoCase> {};

}  // namespace

TEST_P(VideoFrames, KindSizeRateAndCode) {
  const TVideoCase& c = GetParam();
  const auto size = c.chunk_size != 0 ? c.chunk_size : static_cast<std::uint32_t>(c.data.size());
  const auto info = sniff_video_frame(c.data.data(), c.data.size(), size);
  EXPECT_EQ(info.kind, c.kind);
  EXPECT_EQ(info.width, c.width);
  EXPECT_EQ(info.height, c.height);
  EXPECT_EQ(info.rate, c.rate);
  EXPECT_EQ(info.scale, c.scale);
  if (c.code != nullptr) {
    EXPECT_EQ(std::string(info.fourcc.data(), 4), c.code);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Writers, VideoFrames,
    ::testing::Values(
        TVideoCase{"ffmpeg MPEG-4", ffmpeg_mpeg4, 0, TVideoKind::mpeg4, 320, 240, 0, 0, "FMP4"},
        TVideoCase{"Xvid", xvid, 0, TVideoKind::mpeg4, 320, 240, 25, 1, "XVID"},
        TVideoCase{"DivX user data",
                   TBytes(xvid.begin(), xvid.begin() + 31) + hex("000001b2") + TBytes{'D', 'i', 'v', 'X', '5'} +
                       hex("000001b6"),
                   0, TVideoKind::mpeg4, 320, 240, 25, 1, "DX50"},
        TVideoCase{"MPEG-4 frame without VOL", hex("000001b650f023e1"), 0, TVideoKind::mpeg4, 0, 0, 0, 0, "FMP4"},
        TVideoCase{"VOL cut off", TBytes(xvid.begin(), xvid.begin() + 24) + hex("000001b6"), 0, TVideoKind::mpeg4, 0,
                   0, 0, 0, nullptr},
        TVideoCase{"x264 SD", x264_sd + idr, 0, TVideoKind::h264, 320, 240, 60000, 2002, "H264"},
        TVideoCase{"x264 HD, cropped", x264_hd + idr, 0, TVideoKind::h264, 1920, 1080, 50, 2, "H264"},
        TVideoCase{"x264 High 4:4:4", hex("0000000167f4000d919b28283f6022000007d2000177001e28532c") + idr, 0,
                   TVideoKind::h264, 320, 240, 48000, 2002, "H264"},
        TVideoCase{"SPS cut off", TBytes(x264_hd.begin(), x264_hd.begin() + 9) + idr, 0, TVideoKind::h264, 0, 0, 0, 0,
                   nullptr},
        TVideoCase{"H.264 P slice", hex("00000001419a246c43bf"), 0, TVideoKind::h264, 0, 0, 0, 0, nullptr},
        TVideoCase{"MPEG-2", hex("000001b31400f0130fffffe0000001b8000800000000010000000000000101"), 0, TVideoKind::none,
                   0, 0, 0, 0, nullptr},
        TVideoCase{"HEVC (x265)", hex("0000000140010c01ffff0000000142010100000001440100000001280100"), 0,
                   TVideoKind::none, 0, 0, 0, 0, nullptr},
        TVideoCase{"JPEG", jpeg(640, 480), 0, TVideoKind::jpeg, 640, 480, 0, 0, "MJPG"},
        TVideoCase{"JPEG field (AVI1)", jpeg(720, 288, 1), 0, TVideoKind::jpeg, 720, 576, 0, 0, "MJPG"},
        TVideoCase{"JPEG cut before SOF", hex("ffd8ffc00011"), 0, TVideoKind::jpeg, 0, 0, 0, 0,
                   nullptr},
        TVideoCase{"DV PAL", padded(dv_pal, 400), 144000, TVideoKind::dv, 720, 576, 25, 1, "dvsd"},
        TVideoCase{"DV NTSC", padded(dv_ntsc, 400), 120000, TVideoKind::dv, 720, 480, 30000, 1001, "dvsd"},
        TVideoCase{"DV header, wrong frame size", padded(dv_pal, 400), 120000, TVideoKind::none, 0, 0, 0, 0, nullptr},
        TVideoCase{"uncompressed", TBytes(4096, 0x80), 0, TVideoKind::none, 0, 0, 0, 0, nullptr}));

namespace {

// Audio frames as ffmpeg's encoders begin them (libmp3lame, mp2, ac3).
const TBytes mp3_frame = padded(hex("fffb50c4"), 208);         // MPEG-1 layer III, 64 kbit/s, 44.1 kHz, one channel
const TBytes mp3_lsf_frame = padded(hex("fff34064"), 104);     // MPEG-2 layer III, 32 kbit/s, 22.05 kHz, joint stereo
const TBytes mp2_frame = padded(hex("fffde0c4"), 1253);        // MPEG-1 layer II, 384 kbit/s, 44.1 kHz, one channel
const TBytes ac3_frame = padded(hex("0b77480d0c402f842bc1"), 384);  // 96 kbit/s, 48 kHz, one channel

struct TAudioCase {
  const char* name;
  TBytes data;
  TAudioKind kind;
  std::uint32_t sample_rate, channels, bit_rate, samples, length;
};

void PrintTo(const TAudioCase& c, std::ostream* os) { *os << c.name; }

class AudioFrames : public ::testing::TestWithParam<TAudioCase> {};

}  // namespace

TEST_P(AudioFrames, FormatOfTheFirstConfirmedFrame) {
  const TAudioCase& c = GetParam();
  const auto f = find_audio_format(c.data.data(), c.data.size());
  ASSERT_EQ(f.has_value(), c.kind != TAudioKind::none);
  if (!f) return;
  EXPECT_EQ(f->kind, c.kind);
  EXPECT_EQ(f->sample_rate, c.sample_rate);
  EXPECT_EQ(f->channels, c.channels);
  EXPECT_EQ(f->bit_rate, c.bit_rate);
  EXPECT_EQ(f->samples, c.samples);
  EXPECT_EQ(f->length, c.length);
}

INSTANTIATE_TEST_SUITE_P(
    Writers, AudioFrames,
    ::testing::Values(TAudioCase{"MP3", mp3_frame, TAudioKind::mpeg, 44100, 1, 64000, 1152, 208},
                      TAudioCase{"MP3 at half rate", mp3_lsf_frame, TAudioKind::mpeg, 22050, 2, 32000, 576, 104},
                      TAudioCase{"MP2", mp2_frame, TAudioKind::mpeg, 44100, 1, 384000, 1152, 1253},
                      TAudioCase{"AC-3", ac3_frame, TAudioKind::ac3, 48000, 1, 96000, 1536, 384},
                      TAudioCase{"AC-3 5.1", padded(hex("0b7700001e40e1"), 1792), TAudioKind::ac3, 48000, 6,
                                 448000, 1536, 1792},
                      TAudioCase{"frame after a cut one", TBytes(mp3_frame.begin() + 100, mp3_frame.end()) + mp3_frame +
                                 mp3_frame, TAudioKind::mpeg, 44100, 1, 64000, 1152, 208},
                      TAudioCase{"frame that runs past the chunk", TBytes(mp3_frame.begin(), mp3_frame.end() - 1),
                                 TAudioKind::none, 0, 0, 0, 0, 0},
                      TAudioCase{"PCM", TBytes(4096, 0xFF), TAudioKind::none, 0, 0, 0, 0, 0}));

TEST(AudioFrameCounter, FramesThatRunOnIntoTheNextChunk) {
  TBytes stream;
  for (int i = 0; i < 10; ++i) stream = stream + ac3_frame;
  TAudioFrameCounter counter(*audio_frame_at(ac3_frame.data(), ac3_frame.size()));
  // Chunks that cut frames, and a header, anywhere.
  for (std::size_t at = 0, step = 1; at < stream.size(); at += step, step = step * 3 + 1) {
    const std::size_t n = std::min(step, stream.size() - at);
    counter.add(stream.data() + at, n);
  }
  EXPECT_EQ(counter.samples(), 10u * 1536);
}

namespace {

// One stream of a recording: its chunks' id, one chunk's data and the time
// a chunk lasts.
struct TTrack {
  std::string id;
  TBytes chunk;
  double seconds = 0;
};

// The chunks of `tracks` for `length` seconds in the order of their times
// (ffmpeg's order), from the first chunk on; the header before it zeroed.
TAvi recording(const std::vector<TTrack>& tracks, double length) {
  std::vector<std::pair<double, std::size_t>> order;
  for (std::size_t t = 0; t < tracks.size(); ++t) {
    for (int k = 0; k * tracks[t].seconds < length; ++k) order.emplace_back(k * tracks[t].seconds, t);
  }
  std::stable_sort(order.begin(), order.end());
  TAviBuilder b;
  b.with_index(false);
  for (const auto& [time, t] : order) b.chunk(tracks[t].id, tracks[t].chunk);
  TAvi avi = b.build();
  std::fill(avi.bytes.begin(), avi.bytes.begin() + avi.chunk_pos[0], 0);
  return avi;
}

const TTrack mjpeg25{"00dc", jpeg(320, 240), 1.0 / 25};
const TTrack mp3_track{"01wb", mp3_frame, 1152.0 / 44100};

struct TGuessCase {
  const char* name;
  std::vector<TTrack> tracks;
  double length;
  std::uint32_t refusal;  // the message, or 0
  const char* code;
  int width, height;
  std::uint32_t rate, scale;
  std::uint32_t line;  // the line about the frame rate, or 0
};

void PrintTo(const TGuessCase& c, std::ostream* os) { *os << c.name; }

// The 32-bit field at `offset` in the data of the first chunk `id`.
std::uint32_t field(const TBytes& h, const std::string& id, std::size_t offset) {
  for (std::size_t p = 0; p + 8 <= h.size(); ++p) {
    if (std::equal(id.begin(), id.end(), h.begin() + static_cast<std::ptrdiff_t>(p))) return get_le32(h, p + 8 + offset);
  }
  ADD_FAILURE() << "no " << id;
  return 0;
}

struct TOpened {
  TTempDir dir;
  TFileIO file;
  explicit TOpened(const TBytes& bytes) {
    write_file(dir.file("data.avi"), bytes);
    EXPECT_TRUE(file.open_read(dir.file("data.avi").string()));
  }
};

class Guess : public ::testing::TestWithParam<TGuessCase> {};

}  // namespace

TEST_P(Guess, HeaderFromTheData) {
  const TGuessCase& c = GetParam();
  const TAvi avi = recording(c.tracks, c.length);
  TOpened opened(avi.bytes);
  const THeaderGuessResult r = guess_header_list(opened.file, avi.chunk_pos[0]);
  ASSERT_EQ(r.guess.has_value(), c.refusal == 0);
  ASSERT_EQ(r.refusal.has_value(), c.refusal != 0);
  if (r.refusal) {
    EXPECT_EQ(r.refusal->message, c.refusal) << r.refusal->tail;
    return;
  }
  const auto& h = r.guess->header_list;
  EXPECT_EQ(get_le32(h, 4), h.size() - 8);
  EXPECT_EQ(std::string(h.begin() + 8, h.begin() + 12), "hdrl");
  EXPECT_EQ(field(h, "strh", 4), get_le32(TBytes(c.code, c.code + 4), 0));
  EXPECT_EQ(field(h, "strf", 16), get_le32(TBytes(c.code, c.code + 4), 0));
  EXPECT_EQ(field(h, "strf", 4), static_cast<std::uint32_t>(c.width));
  EXPECT_EQ(field(h, "strf", 8), static_cast<std::uint32_t>(c.height));
  EXPECT_EQ(field(h, "strh", 20), c.scale);
  EXPECT_EQ(field(h, "strh", 24), c.rate);
  EXPECT_EQ(field(h, "avih", 0), 1000000ull * c.scale / c.rate);
  EXPECT_EQ(field(h, "avih", 24), c.tracks.size());
  std::vector<std::uint32_t> lines;
  for (const auto& l : r.guess->assumptions) lines.push_back(l.message);
  EXPECT_EQ(lines, c.line ? std::vector<std::uint32_t>{c.line} : std::vector<std::uint32_t>{});
  EXPECT_EQ(reference_mismatch(h, opened.file, avi.chunk_pos[0]), std::nullopt);

  // Before the data, it is where the repair reads the codec and writes the counts.
  TBytes rebuilt = TBytes{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'A', 'V', 'I', ' '} + TBytes(h.begin(), h.end());
  rebuilt = rebuilt + TBytes{'L', 'I', 'S', 'T', 0, 0, 0, 0, 'm', 'o', 'v', 'i'} +
            TBytes(avi.bytes.begin() + avi.chunk_pos[0], avi.bytes.end());
  TOpened whole(rebuilt);
  EXPECT_NE(codec_family(read_stream_headers(whole.file).at(0)), TCodecFamily::other);
  TIndexTally tally{};
  for (auto& t : tally) t.chunks = 7;
  const auto writes = length_field_writes(whole.file, rebuilt.size(), tally);
  ASSERT_TRUE(writes.has_value());
  EXPECT_EQ(writes->size(), 1 + c.tracks.size());
}

INSTANTIATE_TEST_SUITE_P(
    Recordings, Guess,
    ::testing::Values(
        TGuessCase{"MJPEG and MP3", {mjpeg25, mp3_track}, 8, 0, "MJPG", 320, 240, 25, 1, msg_frame_rate_from_audio},
        TGuessCase{"MJPEG and MP2 at 23.976",
                   {{"00dc", jpeg(640, 480), 1001.0 / 24000}, {"01wb", mp2_frame, 1152.0 / 44100}},
                   30, 0, "MJPG", 640, 480, 24000, 1001, msg_frame_rate_from_audio},
        TGuessCase{"Xvid and MP3: the VOL's rate", {{"00dc", padded(xvid, 700), 0.04}, mp3_track}, 8, 0, "XVID", 320,
                   240, 25, 1, 0},
        TGuessCase{"H.264: the SPS's rate", {{"00dc", x264_sd + idr, 1001.0 / 30000}}, 4, 0, "H264",
                   320, 240, 30000, 1001, 0},
        TGuessCase{"DV", {{"00dc", padded(dv_ntsc, 120000), 1001.0 / 30000}}, 1, 0, "dvsd", 720, 480, 30000, 1001, 0},
        TGuessCase{"MJPEG alone", {mjpeg25}, 4, 0, "MJPG", 320, 240, 25, 1, msg_frame_rate_assumed},
        TGuessCase{"PCM audio", {mjpeg25, {"01wb", TBytes(3528, 0x10), 0.04}}, 4, msg_header_not_recognised, nullptr, 0, 0, 0, 0, 0},
        TGuessCase{"uncompressed video", {{"00db", TBytes(4096, 0x80), 0.04}}, 4, msg_header_not_recognised, nullptr, 0, 0, 0, 0, 0},
        TGuessCase{"MPEG-4 without VOL", {{"00dc", padded(hex("000001b650f023e1"), 500), 0.04}}, 4,
                   msg_header_not_recognised, nullptr, 0, 0, 0, 0, 0},
        TGuessCase{"a stream without chunks", {mjpeg25, {"02wb", mp3_frame, 1152.0 / 44100}}, 4,
                   msg_header_not_recognised, nullptr, 0, 0, 0, 0, 0}));

namespace {

// A reference's header list: the builder's, with the video's picture size.
TBytes reference(const std::vector<TStreamDescription>& streams, int width, int height, bool opendml = false) {
  TAviBuilder b;
  for (const auto& s : streams) b.stream(s);
  if (opendml) b.opendml();
  TBytes bytes = b.build().bytes;
  TBytes list(bytes.begin() + 12, bytes.begin() + 20 + get_le32(bytes, 16));
  for (std::size_t p = 0; p + 4 <= list.size(); ++p) {
    if (std::string(list.begin() + p, list.begin() + p + 4) == "strf" && get_le32(list, p + 8) >= 40) {
      put_le32(list, p + 12, static_cast<std::uint32_t>(width));
      put_le32(list, p + 16, static_cast<std::uint32_t>(height));
    }
  }
  return list;
}

TStreamDescription video(const char* code) { return {"vids", code, code}; }
const TStreamDescription audio{"auds", std::string(4, '\0'), ""};

struct TReferenceCase {
  const char* name;
  TBytes header_list;
  std::vector<TTrack> tracks;
  const char* differs;  // the line's tail, or nullptr
};

void PrintTo(const TReferenceCase& c, std::ostream* os) { *os << c.name; }

class Reference : public ::testing::TestWithParam<TReferenceCase> {};

}  // namespace

TEST_P(Reference, FitsTheData) {
  const TReferenceCase& c = GetParam();
  const TAvi avi = recording(c.tracks, 2);
  TOpened opened(avi.bytes);
  const auto line = reference_mismatch(c.header_list, opened.file, avi.chunk_pos[0]);
  ASSERT_EQ(line.has_value(), c.differs != nullptr) << (line ? line->tail : "");
  if (!line) return;
  EXPECT_EQ(line->message, msg_reference_differs);
  EXPECT_EQ(line->tail, c.differs);
}

INSTANTIATE_TEST_SUITE_P(
    Recordings, Reference,
    ::testing::Values(
        TReferenceCase{"same", reference({video("MJPG"), audio}, 320, 240), {mjpeg25, mp3_track}, nullptr},
        TReferenceCase{"OpenDML", reference({video("MJPG"), audio}, 320, 240, true), {mjpeg25, mp3_track}, nullptr},
        TReferenceCase{"Xvid's header, ffmpeg's data", reference({video("XVID"), audio}, 320, 240),
                       {{"00dc", padded(ffmpeg_mpeg4, 900), 0.04}, mp3_track}, nullptr},
        TReferenceCase{"coded H.264 size", reference({video("H264")}, 1920, 1088), {{"00dc", x264_hd + idr, 0.04}}, nullptr},
        TReferenceCase{"JPEG fields", reference({video("MJPG")}, 720, 576), {{"00dc", jpeg(720, 288), 0.04}}, nullptr},
        TReferenceCase{"uncompressed: not checked", reference({{"vids", "DIB ", std::string(4, '\0')}}, 64, 48),
                       {mjpeg25}, nullptr},
        TReferenceCase{"a stream fewer", reference({video("MJPG")}, 320, 240), {mjpeg25, mp3_track},
                       "streams: reference vids, data vids auds"},
        TReferenceCase{"streams swapped", reference({audio, video("MJPG")}, 320, 240), {mjpeg25, mp3_track},
                       "streams: reference auds vids, data vids auds"},
        TReferenceCase{"another codec", reference({video("H264")}, 320, 240), {mjpeg25},
                       "video: reference H264, data JPEG"},
        TReferenceCase{"another size", reference({video("MJPG"), audio}, 640, 480), {mjpeg25, mp3_track},
                       "video: reference 640x480, data 320x240"},
        TReferenceCase{"DV of the other system", reference({video("dvsd")}, 720, 576),
                       {{"00dc", padded(dv_ntsc, 120000), 0.04}}, "video: reference 720x576, data 720x480"},
        TReferenceCase{"not a header list", TBytes(64, 'L'), {mjpeg25}, "the reference has no header list"}));
