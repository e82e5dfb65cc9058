// Which video chunks are key frames: each stream's codec family read from the
// header list, and per-family tests on the first bytes of a chunk's data.
// Players that seek by the index (ffmpeg, mpv) need the key frames flagged.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/avi_structs.h"

class TFileIO;

enum class TCodecFamily { intra, mpeg4, msmpeg4, h264, hevc, mpeg12, other };

// What the header list says of one stream; a field whose bytes are missing
// stays empty.
struct TStreamInfo {
  std::optional<TFourCC> fcc_type;
  std::optional<TFourCC> fcc_handler;
  std::optional<TFourCC> bi_compression;  // read for "vids" streams only
  // MPEG-4: the width of vop_time_increment from a VOL header in strf's
  // extradata; 0 when there is none.
  int vop_time_bits = 0;
};

// Bytes of a chunk's data the tests may look at.
inline constexpr std::size_t keyframe_window = 4096;
// Streams a data chunk id can name (two decimal digits).
inline constexpr int max_streams = 100;

// Reads the stream descriptions of the header list at offset 12 (at most
// max_streams). Only reads; empty when that list is not "LIST" "hdrl".
[[nodiscard]] std::vector<TStreamInfo> read_stream_headers(TFileIO& file);

[[nodiscard]] TCodecFamily codec_family(const TStreamInfo& info);

// Decides from the first n bytes of a chunk's data (n at most keyframe_window).
// `whole` says these are all the window's bytes; when not, the answer may be
// "undecided" (nullopt) and the caller reads the whole window. Not for
// TCodecFamily::other, whose rule depends on the stream's history.
// MPEG-4 reads whether the first VOP codes a picture with `vop_time_bits`
// (from the last VOL header the stream had; 0: none known); a VOL header in
// the window replaces it.
[[nodiscard]] std::optional<bool> key_in_window(TCodecFamily family, const unsigned char* data, std::size_t n,
                                                bool whole, int& vop_time_bits);
[[nodiscard]] inline std::optional<bool> key_in_window(TCodecFamily family, const unsigned char* data, std::size_t n,
                                                       bool whole) {
  int vop_time_bits = 0;
  return key_in_window(family, data, n, whole, vop_time_bits);
}

// The width of vop_time_increment the first VOL header in the data gives; 0
// when there is none or it cannot be read.
[[nodiscard]] int mpeg4_vop_time_bits(const unsigned char* data, std::size_t n);

// What an MPEG-4 VOL header says: the width of vop_time_increment, the
// ticks per second, the ticks per frame when the rate is fixed (else 0), and
// the picture size of a rectangular shape (0 when there is none).
struct TVolHeader {
  int time_bits = 0;
  std::uint32_t time_resolution = 0;
  std::uint32_t fixed_increment = 0;
  int width = 0;
  int height = 0;
};
// The first VOL header in the data; empty when there is none or it cannot
// be read as far as its time resolution.
[[nodiscard]] std::optional<TVolHeader> mpeg4_vol_header(const unsigned char* data, std::size_t n);

// Per-repair keyframe decisions for video entries of size above 0.
class TKeyframeRule final {
 public:
  explicit TKeyframeRule(std::vector<TStreamInfo> streams);
  // `data_offset` is the absolute offset of the chunk's data, `size` its size.
  [[nodiscard]] bool is_key(TFileIO& source, const TFourCC& id, std::uint64_t data_offset, std::uint32_t size);

  [[nodiscard]] TCodecFamily family_of(int stream) const { return families_[static_cast<std::size_t>(stream)]; }

 private:
  std::array<TCodecFamily, max_streams> families_{};
  // "other" streams: whether a first video entry was appended already. Never
  // reset by a cut-back.
  std::array<bool, max_streams> first_seen_{};
  // MPEG-4 streams: the width of vop_time_increment from the last VOL header
  // seen (0: none).
  std::array<int, max_streams> vop_time_bits_{};
};
