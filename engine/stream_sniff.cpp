// Reading a stream's format from its frames' headers.
#include "stream_sniff.h"

#include <algorithm>
#include <cstring>

#include "bitstream.h"
#include "keyframe.h"

namespace {

// --- JPEG: the frame size from the SOF segment before the scan.

constexpr unsigned char jpeg_soi = 0xD8;
constexpr unsigned char jpeg_sos = 0xDA;
constexpr unsigned char jpeg_app0 = 0xE0;

bool standalone_marker(unsigned char m) { return m == 0x01 || m == jpeg_soi || (m >= 0xD0 && m <= 0xD7); }

TVideoFrameInfo sniff_jpeg(const unsigned char* d, std::size_t n) {
  TVideoFrameInfo info;
  info.kind = TVideoKind::jpeg;
  info.fourcc = fourcc("MJPG");
  int polarity = 0;
  std::size_t p = 2;
  while (p + 4 <= n && d[p] == 0xFF) {
    const unsigned char m = d[p + 1];
    if (m == 0xFF) {  // fill byte
      ++p;
      continue;
    }
    if (standalone_marker(m)) {
      p += 2;
      continue;
    }
    const std::size_t length = (static_cast<std::size_t>(d[p + 2]) << 8) | d[p + 3];
    if (length < 2 || m == jpeg_sos) break;
    // SOF0, SOF1, SOF2: baseline, extended, progressive.
    if (m >= 0xC0 && m <= 0xC2 && p + 9 <= n && length >= 7) {
      info.height = (d[p + 5] << 8) | d[p + 6];
      info.width = (d[p + 7] << 8) | d[p + 8];
    }
    // Capture cards that store each field as a JPEG of its own say so in an
    // "AVI1" APP0 segment: the frame is twice the field's height.
    if (m == jpeg_app0 && length >= 7 && p + 9 <= n && std::memcmp(d + p + 4, "AVI1", 4) == 0) polarity = d[p + 8];
    p += 2 + length;
  }
  if (info.width == 0 || info.height == 0) {
    info.width = info.height = 0;
  } else if (polarity != 0) {
    info.height *= 2;
  }
  return info;
}

// --- DV: a DIF sequence's header block, and the frame's size.

constexpr std::uint32_t dif_frame_525 = 120000;
constexpr std::uint32_t dif_frame_625 = 144000;

std::optional<TVideoFrameInfo> sniff_dv(const unsigned char* d, std::size_t n, std::uint32_t chunk_size) {
  // Section type 0 (header) with its reserved bits set, DIF sequence 0,
  // block 0.
  if (n < 8 || d[0] != 0x1F || (d[1] & 0xF0) != 0 || d[2] != 0 || (d[3] & 0x3F) != 0x3F) return std::nullopt;
  const bool lines_625 = (d[3] & 0x80) != 0;
  const std::uint32_t frame = lines_625 ? dif_frame_625 : dif_frame_525;
  // 25 Mbit/s, or 50 (twice the DIF sequences).
  if (chunk_size != frame && chunk_size != 2 * frame) return std::nullopt;
  TVideoFrameInfo info;
  info.kind = TVideoKind::dv;
  info.fourcc = fourcc("dvsd");
  info.width = 720;
  info.height = lines_625 ? 576 : 480;
  info.rate = lines_625 ? 25 : 30000;
  info.scale = lines_625 ? 1 : 1001;
  return info;
}

// --- MPEG-4 Part 2: VOP start codes; the VOL header; the encoder's user data.

constexpr unsigned char vos_code = 0xB0;
constexpr unsigned char user_data_code = 0xB2;
constexpr unsigned char vop_code = 0xB6;

bool starts_with(const unsigned char* d, std::size_t n, std::size_t at, const char* text) {
  const std::size_t length = std::strlen(text);
  return at + length <= n && std::memcmp(d + at, text, length) == 0;
}

std::optional<TVideoFrameInfo> sniff_mpeg4(const unsigned char* d, std::size_t n) {
  TVideoFrameInfo info;
  info.fourcc = fourcc("FMP4");
  bool mpeg4 = false;
  std::size_t from = 0;
  while (auto at = find_code(d, n, from, start_code, 1)) {
    const unsigned char code = d[*at + 3];
    if (code == vop_code || code == vos_code) mpeg4 = true;
    if (code == user_data_code) {
      if (starts_with(d, n, *at + 4, "XviD")) info.fourcc = fourcc("XVID");
      if (starts_with(d, n, *at + 4, "DivX")) info.fourcc = fourcc("DX50");
    }
    if (code >= 0x20 && code <= 0x2F && info.width == 0) {
      if (const auto vol = mpeg4_vol_header(d + *at, n - *at)) {
        info.width = vol->width;
        info.height = vol->height;
        if (vol->fixed_increment != 0) {
          info.rate = vol->time_resolution;
          info.scale = vol->fixed_increment;
        }
      }
    }
    if (code == vop_code) break;  // the headers come before the first picture
    from = *at + 3;
  }
  if (!mpeg4) return std::nullopt;
  info.kind = TVideoKind::mpeg4;
  if (info.width == 0 || info.height == 0) info.width = info.height = 0;
  return info;
}

// --- H.264 in Annex B form: NAL units after start codes; the SPS.

constexpr std::size_t sps_bytes = 512;

// A NAL unit's payload without its emulation prevention bytes (00 00 03).
std::vector<unsigned char> rbsp(const unsigned char* d, std::size_t n) {
  std::vector<unsigned char> out;
  out.reserve(std::min(n, sps_bytes));
  int zeros = 0;
  for (std::size_t i = 0; i < n && out.size() < sps_bytes; ++i) {
    if (zeros >= 2 && d[i] == 3) {
      zeros = 0;
      continue;
    }
    zeros = d[i] == 0 ? zeros + 1 : 0;
    out.push_back(d[i]);
  }
  return out;
}

bool skip_scaling_list(TBitReader& bits, int size) {
  int last = 8;
  int next = 8;
  for (int j = 0; j < size; ++j) {
    if (next != 0) {
      const auto delta = bits.se();
      if (!delta || *delta < -128 || *delta > 127) return false;
      next = (last + *delta + 256) % 256;
    }
    if (next != 0) last = next;
  }
  return true;
}

bool high_profile(std::uint32_t profile) {
  constexpr std::uint32_t profiles[] = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135};
  return std::find(std::begin(profiles), std::end(profiles), profile) != std::end(profiles);
}

// Reads the VUI as far as its timing information; true when it gave some.
bool read_vui_timing(TBitReader& bits, TVideoFrameInfo& info) {
  const auto aspect = bits.read(1);
  if (!aspect) return false;
  if (*aspect) {
    const auto idc = bits.read(8);
    if (!idc || (*idc == 255 && !bits.skip(32))) return false;
  }
  const auto overscan = bits.read(1);
  if (!overscan || (*overscan && !bits.skip(1))) return false;
  const auto signal = bits.read(1);
  if (!signal) return false;
  if (*signal) {
    if (!bits.skip(4)) return false;
    const auto colour = bits.read(1);
    if (!colour || (*colour && !bits.skip(24))) return false;
  }
  const auto chroma_location = bits.read(1);
  if (!chroma_location || (*chroma_location && (!bits.ue() || !bits.ue()))) return false;
  const auto timing = bits.read(1);
  if (!timing || !*timing) return false;
  const auto units = bits.read(32);
  const auto scale = bits.read(32);
  if (!scale || *units == 0 || *scale == 0 || *units > 0x7FFFFFFFu) return false;
  // Ticks count fields: a frame is two.
  info.rate = *scale;
  info.scale = 2 * *units;
  return true;
}

bool read_sps(const unsigned char* d, std::size_t n, TVideoFrameInfo& info) {
  const std::vector<unsigned char> bytes = rbsp(d, n);
  TBitReader bits(bytes.data(), bytes.size(), 0);
  const auto profile = bits.read(8);
  if (!profile || !bits.skip(16)) return false;  // constraint flags, level
  const auto id = bits.ue();
  if (!id || *id > 31) return false;
  std::uint32_t chroma_format = 1;
  bool separate_planes = false;
  if (high_profile(*profile)) {
    const auto format = bits.ue();
    if (!format || *format > 3) return false;
    chroma_format = *format;
    if (chroma_format == 3) {
      const auto separate = bits.read(1);
      if (!separate) return false;
      separate_planes = *separate == 1;
    }
    const auto luma_depth = bits.ue();
    const auto chroma_depth = bits.ue();
    const auto scaling = bits.read(2);  // qpprime_y_zero_transform_bypass, scaling matrix present
    if (!scaling || *luma_depth > 6 || *chroma_depth > 6) return false;
    if (*scaling & 1) {
      for (int i = 0; i < (chroma_format != 3 ? 8 : 12); ++i) {
        const auto present = bits.read(1);
        if (!present || (*present && !skip_scaling_list(bits, i < 6 ? 16 : 64))) return false;
      }
    }
  }
  const auto frame_num_bits = bits.ue();
  const auto poc_type = bits.ue();
  if (!poc_type || *frame_num_bits > 12 || *poc_type > 2) return false;
  if (*poc_type == 0) {
    const auto poc_bits = bits.ue();
    if (!poc_bits || *poc_bits > 12) return false;
  } else if (*poc_type == 1) {
    if (!bits.skip(1) || !bits.se() || !bits.se()) return false;
    const auto cycle = bits.ue();
    if (!cycle || *cycle > 255) return false;
    for (std::uint32_t i = 0; i < *cycle; ++i) {
      if (!bits.se()) return false;
    }
  }
  if (!bits.ue() || !bits.skip(1)) return false;  // max_num_ref_frames, gaps_in_frame_num_allowed
  const auto width_mbs = bits.ue();
  const auto height_units = bits.ue();
  const auto frame_mbs_only = bits.read(1);
  if (!frame_mbs_only || *width_mbs >= 1024 || *height_units >= 1024) return false;
  if (!*frame_mbs_only && !bits.skip(1)) return false;  // mb_adaptive_frame_field
  const auto crop = bits.read(2);                       // direct_8x8_inference, frame_cropping
  if (!crop) return false;
  std::uint32_t crop_sides[4] = {0, 0, 0, 0};
  if (*crop & 1) {
    for (auto& side : crop_sides) {
      const auto v = bits.ue();
      if (!v || *v > 8192) return false;
      side = *v;
    }
  }
  const int field_factor = *frame_mbs_only ? 1 : 2;
  const int coded_width = static_cast<int>(*width_mbs + 1) * 16;
  const int coded_height = static_cast<int>(*height_units + 1) * 16 * field_factor;
  const std::uint32_t array_type = separate_planes ? 0 : chroma_format;
  const int unit_x = (array_type == 1 || array_type == 2) ? 2 : 1;
  const int unit_y = (array_type == 1 ? 2 : 1) * field_factor;
  const int width = coded_width - unit_x * static_cast<int>(crop_sides[0] + crop_sides[1]);
  const int height = coded_height - unit_y * static_cast<int>(crop_sides[2] + crop_sides[3]);
  if (width <= 0 || height <= 0) return false;
  info.width = width;
  info.height = height;
  info.coded_width = coded_width;
  info.coded_height = coded_height;
  const auto vui = bits.read(1);
  if (vui && *vui) read_vui_timing(bits, info);
  return true;
}

constexpr unsigned char nal_sps = 7;

// A slice or an IDR slice with the reference mark the standard allows it:
// every H.264 frame holds one, and no HEVC NAL unit header (whose first
// byte is even) looks like one.
bool h264_slice(unsigned char nal) {
  const int type = nal & 0x1F;
  return (nal & 0x80) == 0 && (type == 1 || (type == 5 && (nal & 0x60) != 0));
}

std::optional<TVideoFrameInfo> sniff_h264(const unsigned char* d, std::size_t n) {
  TVideoFrameInfo info;
  info.fourcc = fourcc("H264");
  bool h264 = false;
  std::size_t from = 0;
  while (auto at = find_code(d, n, from, start_code, 1)) {
    const unsigned char nal = d[*at + 3];
    from = *at + 3;
    if (nal == 0) return std::nullopt;  // an MPEG-1 or MPEG-2 picture's start code
    if (h264_slice(nal)) h264 = true;
    const bool sps_header = (nal & 0x9F) == nal_sps && (nal & 0x60) != 0;
    if (sps_header && info.width == 0) {
      const std::size_t begin = *at + 4;
      const std::size_t end = find_code(d, n, begin, start_code, 0).value_or(n);
      TVideoFrameInfo sps;
      if (read_sps(d + begin, end - begin, sps)) {
        info.width = sps.width;
        info.height = sps.height;
        info.coded_width = sps.coded_width;
        info.coded_height = sps.coded_height;
        info.rate = sps.rate;
        info.scale = sps.scale;
      }
    }
  }
  if (!h264) return std::nullopt;
  info.kind = TVideoKind::h264;
  return info;
}

// --- Audio frame headers.

constexpr std::uint32_t mpeg1_layer2_rates[] = {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384};
constexpr std::uint32_t mpeg1_layer3_rates[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
constexpr std::uint32_t mpeg2_rates[] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
constexpr std::uint32_t mpeg_sample_rates[] = {44100, 48000, 32000};

std::optional<TAudioFrameInfo> mpeg_audio_frame(const unsigned char* d, std::size_t n) {
  if (n < 4 || d[0] != 0xFF || (d[1] & 0xE0) != 0xE0) return std::nullopt;
  const int version = (d[1] >> 3) & 3;  // 0: MPEG-2.5, 2: MPEG-2, 3: MPEG-1
  const int layer_bits = (d[1] >> 1) & 3;  // 1: layer III, 2: layer II
  const int rate_index = d[2] >> 4;
  const int frequency = (d[2] >> 2) & 3;
  if (version == 1 || (layer_bits != 1 && layer_bits != 2) || rate_index == 0 || rate_index == 15 ||
      frequency == 3 || (d[3] & 3) == 2) {
    return std::nullopt;
  }
  TAudioFrameInfo f;
  f.kind = TAudioKind::mpeg;
  f.layer = layer_bits == 1 ? 3 : 2;
  f.mpeg1 = version == 3;
  const auto index = static_cast<std::size_t>(rate_index);
  f.bit_rate = 1000 * (!f.mpeg1 ? mpeg2_rates[index] : f.layer == 2 ? mpeg1_layer2_rates[index] : mpeg1_layer3_rates[index]);
  f.sample_rate = mpeg_sample_rates[frequency] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
  f.channels = (d[3] >> 6) == 3 ? 1 : 2;  // channel mode 3: one channel
  f.samples = (f.layer == 3 && !f.mpeg1) ? 576 : 1152;
  const std::uint32_t padding = (d[2] >> 1) & 1;
  f.length = f.samples / 8 * f.bit_rate / f.sample_rate + padding;
  return f;
}

constexpr std::uint32_t ac3_rates[] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160,
                                       192, 224, 256, 320, 384, 448, 512, 576, 640};
constexpr std::uint32_t ac3_sample_rates[] = {48000, 44100, 32000};
constexpr std::uint32_t ac3_channels[] = {2, 1, 2, 3, 3, 4, 4, 5};
constexpr std::size_t ac3_header_bytes = 7;
constexpr std::uint32_t ac3_samples = 1536;

std::optional<TAudioFrameInfo> ac3_frame(const unsigned char* d, std::size_t n) {
  if (n < ac3_header_bytes || d[0] != 0x0B || d[1] != 0x77) return std::nullopt;
  const int sample_rate_code = d[4] >> 6;
  const int size_code = d[4] & 0x3F;
  const int bsid = d[5] >> 3;
  // (bsid above 8: E-AC-3 or its forerunners.)
  if (sample_rate_code == 3 || size_code >= 38 || bsid > 8) return std::nullopt;
  TAudioFrameInfo f;
  f.kind = TAudioKind::ac3;
  f.sample_rate = ac3_sample_rates[sample_rate_code];
  const std::uint32_t kbits = ac3_rates[size_code / 2];
  f.bit_rate = kbits * 1000;
  f.samples = ac3_samples;
  // 16-bit words: a whole number at 48 and 32 kHz; at 44.1 the odd codes
  // carry the extra word.
  const std::uint32_t words = f.sample_rate == 44100 ? kbits * 1000 * ac3_samples / 16 / 44100 + (size_code & 1)
                                                     : kbits * 1000 * ac3_samples / 16 / f.sample_rate;
  f.length = 2 * words;
  TBitReader bits(d, n, 6);
  const auto acmod = bits.read(3);
  if (!acmod) return std::nullopt;
  if ((*acmod & 1) && *acmod != 1 && !bits.skip(2)) return std::nullopt;  // cmixlev
  if ((*acmod & 4) && !bits.skip(2)) return std::nullopt;                 // surmixlev
  if (*acmod == 2 && !bits.skip(2)) return std::nullopt;                  // dsurmod
  const auto lfe = bits.read(1);
  if (!lfe) return std::nullopt;
  f.channels = ac3_channels[*acmod] + *lfe;
  return f;
}

std::size_t header_bytes(TAudioKind kind) { return kind == TAudioKind::ac3 ? ac3_header_bytes : 4; }

}  // namespace

TVideoFrameInfo sniff_video_frame(const unsigned char* d, std::size_t n, std::uint32_t chunk_size) {
  if (n >= 4 && d[0] == 0xFF && d[1] == jpeg_soi && d[2] == 0xFF) return sniff_jpeg(d, n);
  if (auto dv = sniff_dv(d, n, chunk_size)) return *dv;
  if (auto mpeg4 = sniff_mpeg4(d, n)) return *mpeg4;
  if (auto h264 = sniff_h264(d, n)) return *h264;
  return {};
}

std::optional<TAudioFrameInfo> audio_frame_at(const unsigned char* d, std::size_t n) {
  if (auto f = mpeg_audio_frame(d, n)) return f;
  return ac3_frame(d, n);
}

std::optional<TAudioFrameInfo> find_audio_format(const unsigned char* d, std::size_t n) {
  for (std::size_t at = 0; at < n; ++at) {
    const auto f = audio_frame_at(d + at, n - at);
    if (!f) continue;
    const std::size_t end = at + f->length;
    if (end == n) return f;
    if (end > n) continue;
    const auto next = audio_frame_at(d + end, n - end);
    if (next && next->same_format(*f)) return f;
  }
  return std::nullopt;
}

void TAudioFrameCounter::add(const unsigned char* d, std::size_t n) {
  const std::size_t need = header_bytes(format_.kind);
  std::size_t i = 0;
  while (i < n) {
    if (skip_ > 0) {
      const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(skip_, n - i));
      skip_ -= take;
      i += take;
      continue;
    }
    pending_.push_back(d[i++]);
    if (pending_.size() < need) continue;
    const auto f = audio_frame_at(pending_.data(), pending_.size());
    if (f && f->same_format(format_) && f->length >= pending_.size()) {
      samples_ += f->samples;
      skip_ = f->length - pending_.size();
      pending_.clear();
    } else {
      pending_.erase(pending_.begin());  // not a header here: one byte on
    }
  }
}

void TAudioFrameCounter::gap() {
  pending_.clear();
  skip_ = 0;
}
