// On-disk AVI (RIFF) structures the engine reads and writes, and the pure
// byte tests on them: chunk id classes, step rules, the repaired file's name.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

using TFourCC = std::array<char, 4>;

[[nodiscard]] constexpr TFourCC fourcc(const char (&s)[5]) { return {s[0], s[1], s[2], s[3]}; }

inline constexpr TFourCC id_list = fourcc("LIST");
inline constexpr TFourCC id_junk = fourcc("JUNK");
inline constexpr TFourCC id_idx1 = fourcc("idx1");
inline constexpr TFourCC id_movi = fourcc("movi");
inline constexpr TFourCC id_hdrl = fourcc("hdrl");
inline constexpr TFourCC id_strl = fourcc("strl");
inline constexpr TFourCC id_avih = fourcc("avih");
inline constexpr TFourCC id_strh = fourcc("strh");
inline constexpr TFourCC id_strf = fourcc("strf");
inline constexpr TFourCC id_vids = fourcc("vids");
// A list that groups one frame's chunks, and its entries in an old index.
inline constexpr TFourCC id_rec = fourcc("rec ");
// OpenDML (long recordings): further RIFF chunks of form "AVIX", the super
// index in a stream list, and the list with the total frame count.
inline constexpr TFourCC id_riff = fourcc("RIFF");
inline constexpr TFourCC id_avix = fourcc("AVIX");
inline constexpr TFourCC id_indx = fourcc("indx");
inline constexpr TFourCC id_odml = fourcc("odml");
inline constexpr TFourCC id_dmlh = fourcc("dmlh");

// Bytes 8-15 of every file the engine accepts: the form type and the id of
// the header list that must follow it directly.
inline constexpr std::string_view avi_signature = "AVI LIST";
inline constexpr std::uint64_t avi_signature_offset = 8;
inline constexpr std::uint64_t header_list_size_offset = 16;
inline constexpr std::uint64_t riff_size_offset = 4;
inline constexpr std::uint64_t header_list_offset = 12;
// dwScale/dwRate of the first stream header in the usual layout; read
// without checking that layout.
inline constexpr std::uint64_t dw_scale_offset = 128;
inline constexpr std::uint64_t dw_rate_offset = 132;

// A chunk's header: its id and its size.
inline constexpr std::uint64_t chunk_header_size = 8;
// A list's header: "LIST", its size and its type.
inline constexpr std::uint64_t list_header_size = 12;
// From a per-stream index chunk's id to its chunk-id field (an OpenDML
// standard index), where the scan reads on.
inline constexpr std::uint64_t stream_index_step = 16;
// From an old index's id to bytes 3-4 of its first entry's chunk id.
inline constexpr std::uint64_t old_index_test_offset = 10;

inline constexpr std::uint32_t index_entry_size = 16;
// Flags written into index entries.
inline constexpr std::uint32_t flag_keyframe = 0x10;
inline constexpr std::uint32_t flag_none = 0;

// The block size the engine moves data in.
inline constexpr std::uint32_t block_size = 32768;

// Plain files of 4 GiB or more: idx1 offsets are 32-bit. (The OpenDML form
// has no such limit.)
inline constexpr std::uint64_t max_source_size = 0x100000000ull;
// The largest size a RIFF chunk's size field holds.
inline constexpr std::uint64_t max_riff_size = 0xFFFFFFFFull;

enum class TChunkClass { list, junk, stream_index, data, old_index, damage };

[[nodiscard]] constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

[[nodiscard]] constexpr bool same_id(const TFourCC& a, const TFourCC& b) {
  return a[0] == b[0] && a[1] == b[1] && a[2] == b[2] && a[3] == b[3];
}

// Two digits followed by "dc", "db" or "wb".
[[nodiscard]] constexpr bool is_data_id(const TFourCC& id) {
  if (!is_digit(id[0]) || !is_digit(id[1])) return false;
  return (id[2] == 'd' && (id[3] == 'c' || id[3] == 'b')) || (id[2] == 'w' && id[3] == 'b');
}

// Two digits followed by "dc" or "db".
[[nodiscard]] constexpr bool is_video_id(const TFourCC& id) {
  return is_digit(id[0]) && is_digit(id[1]) && id[2] == 'd' && (id[3] == 'c' || id[3] == 'b');
}

// The order of the tests matters: "ix" wins over the digits test.
[[nodiscard]] constexpr TChunkClass classify_id(const TFourCC& id) {
  if (same_id(id, id_list)) return TChunkClass::list;
  if (same_id(id, id_junk)) return TChunkClass::junk;
  if ((id[0] == 'i' && id[1] == 'x') || (id[2] == 'i' && id[3] == 'x')) return TChunkClass::stream_index;
  if (is_data_id(id)) return TChunkClass::data;
  if (same_id(id, id_idx1)) return TChunkClass::old_index;
  return TChunkClass::damage;
}

// Stream number of a data chunk id (its two digits).
[[nodiscard]] constexpr int stream_number(const TFourCC& id) { return (id[0] - '0') * 10 + (id[1] - '0'); }

[[nodiscard]] inline std::uint32_t read_le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline void write_le32(unsigned char* p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

[[nodiscard]] inline TFourCC to_fourcc(const unsigned char* p) {
  return {static_cast<char>(p[0]), static_cast<char>(p[1]), static_cast<char>(p[2]), static_cast<char>(p[3])};
}

// One idx1 entry as it lies in the file: the chunk's id, flags, offset and
// size, little-endian, index_entry_size bytes.
struct TIndexEntry {
  TFourCC id{};
  std::uint32_t flags = 0;
  std::uint32_t offset = 0;
  std::uint32_t size = 0;

  void encode(unsigned char* p) const {
    std::memcpy(p, id.data(), 4);
    write_le32(p + 4, flags);
    write_le32(p + 8, offset);
    write_le32(p + 12, size);
  }
  [[nodiscard]] static TIndexEntry decode(const unsigned char* p) {
    return {to_fourcc(p), read_le32(p + 4), read_le32(p + 8), read_le32(p + 12)};
  }
};

// A data chunk's size rounded up to even: the pad byte after an odd size is
// not counted in the size field.
[[nodiscard]] constexpr std::uint64_t padded_size(std::uint32_t size) {
  return static_cast<std::uint64_t>(size) + (size & 1u);
}

// "Fixed." + name beside the source; ".avi" appended unless the extension is
// exactly ".avi" or ".divx" (case-sensitive).
[[nodiscard]] std::string fixed_name(const std::string& path);
// The same name in `folder` instead of beside the source; beside it when
// `folder` is empty.
[[nodiscard]] std::string fixed_name(const std::string& path, const std::string& folder);

// The names of a repair's own files, each completed by random characters:
// a new file being written ("." + its "Fixed." name + the tag), and the
// temporary indexes.
inline constexpr std::string_view partial_name_tag = ".part-";
inline constexpr std::string_view temp_index_prefix = "reelwright-index-";
inline constexpr std::string_view temp_odml_index_prefix = "reelwright-odml-";
// Whether a file of this name (no folder) is one a repair writes: a "Fixed."
// copy, the private name of one being written, or a temporary index.
[[nodiscard]] bool written_by_repair(std::string_view name);
