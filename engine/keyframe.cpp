// Codec families and key-frame tests for video chunks.
#include "keyframe.h"

#include <algorithm>
#include <string_view>

#include "bitstream.h"
#include "file_io.h"
#include "header_list.h"

namespace {

struct TFamilyList {
  TCodecFamily family;
  std::initializer_list<std::string_view> codes;
};

const TFamilyList family_lists[] = {
    {TCodecFamily::intra, {"MJPG", "AVRN", "AVDJ", "DMB1", "JPEG", "LJPG", "MJLS", "DVSD", "DV25",
                           "DV50", "DVHD", "DVSL", "CDVC", "DVCP", "DVPP", "HFYU", "FFVH", "FFV1",
                           "UYVY", "YUY2", "YUYV", "YV12", "I420", "IYUV", "Y800", "V210"}},
    {TCodecFamily::mpeg4, {"XVID", "DIVX", "DX50", "FMP4", "MP4V", "MP4S", "M4S2", "3IV2", "XVIX",
                           "RMP4", "DM4V", "BLZ0", "DXGM", "SEDG", "WV1F", "UMP4", "GEOX", "EM4A", "DIGI"}},
    {TCodecFamily::msmpeg4, {"DIV3", "DIV4", "DIV5", "DIV6", "MP43", "MPG3", "AP41", "COL1", "MP42", "DIV2"}},
    {TCodecFamily::h264, {"H264", "X264", "AVC1", "DAVC", "VSSH", "Q264", "V264", "GAVC"}},
    {TCodecFamily::hevc, {"HEVC", "H265", "X265", "HVC1"}},
    {TCodecFamily::mpeg12, {"MPG1", "MPG2", "MPEG", "PIM1", "MMES", "MPGV"}},
};

char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

std::optional<TCodecFamily> family_of_code(const TFourCC& code) {
  const char upper[4] = {ascii_upper(code[0]), ascii_upper(code[1]), ascii_upper(code[2]), ascii_upper(code[3])};
  const std::string_view key(upper, 4);
  for (const auto& list : family_lists) {
    if (std::find(list.codes.begin(), list.codes.end(), key) != list.codes.end()) return list.family;
  }
  return std::nullopt;
}

// 0 (BI_RGB) and 3 (BI_BITFIELDS): uncompressed frames.
bool is_zero_or_three(const TFourCC& code) {
  const auto v = read_le32(reinterpret_cast<const unsigned char*>(code.data()));
  return v == 0 || v == 3;
}

// Reads the 4-byte field at [offset, offset + 4) when it lies before `end`.
[[nodiscard]] std::optional<TFourCC> read_field(TFileIO& file, std::uint64_t offset, std::uint64_t end) {
  if (offset + 4 > end) return std::nullopt;
  return file.read_fourcc_at(offset);
}

// The bytes after the 40-byte BITMAPINFOHEADER of a video strf.
constexpr std::uint64_t bitmap_info_size = 40;

TStreamInfo read_strl(TFileIO& file, const TStreamList& stream) {
  TStreamInfo info;
  if (stream.strh) {
    info.fcc_type = read_field(file, stream.strh->data, stream.strh->end);
    info.fcc_handler = read_field(file, stream.strh->data + 4, stream.strh->end);
  }
  // strf may come before strh: its compression counts for video streams only.
  if (stream.strf && info.fcc_type && same_id(*info.fcc_type, id_vids)) {
    info.bi_compression = read_field(file, stream.strf->data + 16, stream.strf->end);
    // MPEG-4 writers with a global header put the VOL header there.
    const std::uint64_t extra = stream.strf->data + bitmap_info_size;
    if (codec_family(info) == TCodecFamily::mpeg4 && stream.strf->end > extra) {
      std::vector<unsigned char> bytes(
          static_cast<std::size_t>(std::min<std::uint64_t>(stream.strf->end - extra, keyframe_window)));
      bytes.resize(file.read_at(extra, bytes.data(), bytes.size()));
      info.vop_time_bits = mpeg4_vop_time_bits(bytes.data(), bytes.size());
    }
  }
  return info;
}

constexpr std::string_view picture_start_code("\0\0\1\0", 4);

constexpr unsigned char vop_code = 0xB6;
bool is_vol_code(unsigned char code) { return code >= 0x20 && code <= 0x2F; }

// The VOL header whose start code is at d[at]; empty when it runs past the
// data before vop_time_increment_resolution, or that is 0.
std::optional<TVolHeader> read_vol(const unsigned char* d, std::size_t n, std::size_t at) {
  TBitReader bits(d, n, at + 4);
  const auto skip = [&bits](int count) { return bits.skip(count); };
  int verid = 1;
  if (!skip(1 + 8)) return std::nullopt;  // random_accessible_vol, video_object_type_indication
  const auto has_id = bits.read(1);
  if (!has_id) return std::nullopt;
  if (*has_id) {
    const auto id = bits.read(4);
    if (!id || !skip(3)) return std::nullopt;
    verid = static_cast<int>(*id);
  }
  const auto aspect = bits.read(4);
  if (!aspect || (*aspect == 15 && !skip(16))) return std::nullopt;  // extended pixel aspect ratio
  const auto control = bits.read(1);
  if (!control) return std::nullopt;
  if (*control) {
    const auto vbv = bits.read(2 + 1 + 1);  // chroma_format, low_delay, vbv_parameters
    if (!vbv || ((*vbv & 1) && !skip(79))) return std::nullopt;
  }
  const auto shape = bits.read(2);
  if (!shape || (*shape == 3 && verid != 1 && !skip(4))) return std::nullopt;  // grayscale: shape extension
  if (!skip(1)) return std::nullopt;  // marker
  const auto resolution = bits.read(16);
  if (!resolution || *resolution == 0) return std::nullopt;
  TVolHeader vol;
  vol.time_resolution = *resolution;
  vol.time_bits = 1;
  while (vol.time_bits < 16 && (*resolution - 1) >> vol.time_bits) ++vol.time_bits;
  // What follows is read for the picture size and rate only.
  const auto marker = bits.read(1);
  const auto fixed = bits.read(1);
  if (!fixed || *marker != 1) return vol;
  if (*fixed) {
    const auto increment = bits.read(vol.time_bits);
    if (!increment) return vol;
    vol.fixed_increment = *increment;
  }
  if (*shape != 0) return vol;  // the size of a rectangular shape only
  const auto m1 = bits.read(1);
  const auto width = bits.read(13);
  const auto m2 = bits.read(1);
  const auto height = bits.read(13);
  const auto m3 = bits.read(1);
  if (m3 && *m1 == 1 && *m2 == 1 && *m3 == 1) {
    vol.width = static_cast<int>(*width);
    vol.height = static_cast<int>(*height);
  }
  return vol;
}

// A VOP this short codes no picture: the placeholder (N-VOP) of a packed
// stream is the header alone, at most 5 bytes after its start code, while
// even a one-macroblock picture needs more.
constexpr std::size_t min_coded_vop = 6;

// Whether a decoder can start at the VOP whose start code is at d[at]: an
// I-VOP that codes a picture (vop_coded 1). `time_bits` (0: unknown) says
// where vop_coded lies; without it, or when the marker bits say it does not
// fit, the VOP's length decides.
std::optional<bool> intra_vop_starts_picture(const unsigned char* d, std::size_t n, std::size_t at, bool whole,
                                             int time_bits) {
  const std::optional<bool> undecided = whole ? std::optional<bool>(false) : std::nullopt;
  TBitReader bits(d, n, at + 4);
  const auto type = bits.read(2);
  if (!type) return undecided;
  if (*type != 0) return false;  // vop_coding_type 00: I-VOP
  if (time_bits > 0) {
    std::optional<std::uint32_t> bit;
    while ((bit = bits.read(1)) && *bit == 1) {  // modulo_time_base
    }
    const auto marker = bits.read(1);
    const bool increment = bits.read(time_bits).has_value();
    const auto second_marker = bits.read(1);
    const auto coded = bits.read(1);
    if (!coded) return undecided;
    if (increment && *marker == 1 && *second_marker == 1) return *coded == 1;
  }
  // Any start code that begins before `limit` ends the VOP short of it.
  const std::size_t limit = at + 4 + min_coded_vop;
  if (find_code(d, std::min(n, limit + 2), at + 4, start_code, 0)) return false;
  if (n >= limit + 2) return true;
  if (!whole) return std::nullopt;
  return n >= limit;
}

// The first VOP decides; a VOL header before it gives the width it is read
// with and replaces `time_bits`.
std::optional<bool> mpeg4_key(const unsigned char* d, std::size_t n, bool whole, int& time_bits) {
  std::size_t from = 0;
  while (auto at = find_code(d, n, from, start_code, 1)) {
    const unsigned char code = d[*at + 3];
    if (code == vop_code) return intra_vop_starts_picture(d, n, *at, whole, time_bits);
    if (is_vol_code(code)) {
      const auto vol = read_vol(d, n, *at);
      if (!vol && !whole) return std::nullopt;
      time_bits = vol ? vol->time_bits : 0;
    }
    from = *at + 3;
  }
  if (whole) return false;
  return std::nullopt;
}

// Walks the NAL units in the window; `key` and `non_key` classify a NAL byte.
template <typename KeyTest, typename NonKeyTest>
std::optional<bool> walk_nal_units(const unsigned char* d, std::size_t n, bool whole, KeyTest key, NonKeyTest non_key) {
  std::size_t from = 0;
  while (auto at = find_code(d, n, from, start_code, 1)) {
    const unsigned char nal = d[*at + 3];
    if (key(nal)) return true;
    if (non_key(nal)) return false;
    from = *at + 3;
  }
  if (whole) return false;
  return std::nullopt;
}

}  // namespace

std::vector<TStreamInfo> read_stream_headers(TFileIO& file) {
  std::vector<TStreamInfo> streams;
  if (const auto header = walk_header_list(file)) {
    for (const TStreamList& stream : header->streams) streams.push_back(read_strl(file, stream));
  }
  return streams;
}

TCodecFamily codec_family(const TStreamInfo& info) {
  if (info.bi_compression) {
    if (is_zero_or_three(*info.bi_compression)) return TCodecFamily::intra;
    if (auto family = family_of_code(*info.bi_compression)) return *family;
  }
  if (info.fcc_handler && !is_zero_or_three(*info.fcc_handler)) {
    if (auto family = family_of_code(*info.fcc_handler)) return *family;
  }
  return TCodecFamily::other;
}

int mpeg4_vop_time_bits(const unsigned char* d, std::size_t n) {
  const auto vol = mpeg4_vol_header(d, n);
  return vol ? vol->time_bits : 0;
}

std::optional<TVolHeader> mpeg4_vol_header(const unsigned char* d, std::size_t n) {
  std::size_t from = 0;
  while (auto at = find_code(d, n, from, start_code, 1)) {
    if (is_vol_code(d[*at + 3])) return read_vol(d, n, *at);
    from = *at + 3;
  }
  return std::nullopt;
}

std::optional<bool> key_in_window(TCodecFamily family, const unsigned char* d, std::size_t n, bool whole,
                                  int& vop_time_bits) {
  const std::optional<bool> undecided = whole ? std::optional<bool>(false) : std::nullopt;
  switch (family) {
    case TCodecFamily::intra:
      return true;
    case TCodecFamily::msmpeg4:
      if (n == 0) return undecided;
      return (d[0] & 0xC0) == 0;  // frame type bits 00: intra
    case TCodecFamily::mpeg4:
      return mpeg4_key(d, n, whole, vop_time_bits);
    case TCodecFamily::h264:
      return walk_nal_units(
          d, n, whole, [](unsigned char b) { return (b & 0x1F) == 5; }, [](unsigned char b) { return (b & 0x1F) == 1; });
    case TCodecFamily::hevc:
      return walk_nal_units(
          d, n, whole,
          [](unsigned char b) {
            const int type = (b >> 1) & 0x3F;
            return type >= 16 && type <= 21;
          },
          [](unsigned char b) { return ((b >> 1) & 0x3F) <= 9; });
    case TCodecFamily::mpeg12: {
      const auto at = find_code(d, n, 0, picture_start_code, 2);
      if (!at) return undecided;
      return ((d[*at + 5] >> 3) & 7) == 1;  // picture_coding_type 1: I picture
    }
    case TCodecFamily::other:
      break;
  }
  return false;
}

TKeyframeRule::TKeyframeRule(std::vector<TStreamInfo> streams) {
  families_.fill(TCodecFamily::other);
  for (std::size_t i = 0; i < streams.size() && i < families_.size(); ++i) {
    families_[i] = codec_family(streams[i]);
    vop_time_bits_[i] = streams[i].vop_time_bits;
  }
}

bool TKeyframeRule::is_key(TFileIO& source, const TFourCC& id, std::uint64_t data_offset, std::uint32_t size) {
  const auto stream = static_cast<std::size_t>(stream_number(id));
  const TCodecFamily family = families_[stream];
  if (family == TCodecFamily::other) {
    const bool first = !first_seen_[stream];
    first_seen_[stream] = true;
    return first;
  }
  if (family == TCodecFamily::intra) return true;
  const std::size_t window = std::min<std::size_t>(size, keyframe_window);
  // Most chunks are decided in their first bytes: read those first.
  constexpr std::size_t first_look = 64;
  unsigned char buffer[keyframe_window];
  int& last_time_bits = vop_time_bits_[stream];
  if (window > first_look) {
    const std::size_t got = source.read_at(data_offset, buffer, first_look);
    int time_bits = last_time_bits;
    if (auto decided = key_in_window(family, buffer, got, got < first_look, time_bits)) {
      last_time_bits = time_bits;
      return *decided;
    }
  }
  const std::size_t got = source.read_at(data_offset, buffer, window);
  return key_in_window(family, buffer, got, true, last_time_bits).value_or(false);
}
