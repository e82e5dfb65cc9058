// Codec families and key-frame tests for video chunks.
#include "keyframe.h"

#include <algorithm>
#include <string_view>

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

TStreamInfo read_strl(TFileIO& file, const TStreamList& stream) {
  TStreamInfo info;
  if (stream.strh) {
    info.fcc_type = read_field(file, stream.strh->data, stream.strh->end);
    info.fcc_handler = read_field(file, stream.strh->data + 4, stream.strh->end);
  }
  // strf may come before strh: its compression counts for video streams only.
  if (stream.strf && info.fcc_type && same_id(*info.fcc_type, id_vids)) {
    info.bi_compression = read_field(file, stream.strf->data + 16, stream.strf->end);
  }
  return info;
}

// The first occurrence of `code` (3 or 4 bytes) at or after `from` whose bytes
// and `after` more bytes all lie in [0, n).
std::optional<std::size_t> find_code(const unsigned char* d, std::size_t n, std::size_t from,
                                     std::string_view code, std::size_t after) {
  const std::size_t need = code.size() + after;
  for (std::size_t i = from; i + need <= n; ++i) {
    if (std::equal(code.begin(), code.end(), d + i,
                   [](char c, unsigned char b) { return static_cast<unsigned char>(c) == b; })) {
      return i;
    }
  }
  return std::nullopt;
}

constexpr std::string_view start_code("\0\0\1", 3);
constexpr std::string_view vop_start_code("\0\0\1\xB6", 4);
constexpr std::string_view picture_start_code("\0\0\1\0", 4);

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

std::optional<bool> key_in_window(TCodecFamily family, const unsigned char* d, std::size_t n, bool whole) {
  const std::optional<bool> undecided = whole ? std::optional<bool>(false) : std::nullopt;
  switch (family) {
    case TCodecFamily::intra:
      return true;
    case TCodecFamily::msmpeg4:
      if (n == 0) return undecided;
      return (d[0] & 0xC0) == 0;  // frame type bits 00: intra
    case TCodecFamily::mpeg4: {
      const auto at = find_code(d, n, 0, vop_start_code, 1);
      if (!at) return undecided;
      return (d[*at + 4] & 0xC0) == 0;  // vop_coding_type 00: I-VOP
    }
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
  for (std::size_t i = 0; i < streams.size() && i < families_.size(); ++i) families_[i] = codec_family(streams[i]);
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
  if (window > first_look) {
    const std::size_t got = source.read_at(data_offset, buffer, first_look);
    if (auto decided = key_in_window(family, buffer, got, got < first_look)) return *decided;
  }
  const std::size_t got = source.read_at(data_offset, buffer, window);
  return key_in_window(family, buffer, got, true).value_or(false);
}
