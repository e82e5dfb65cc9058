// Builds small AVI files in memory, field by field, and damages them, for
// the engine's tests. Every field the engine reads is written here by name.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace avitest {

using TBytes = std::vector<std::uint8_t>;

struct TStreamDescription {
  std::string type = "vids";     // fccType
  std::string handler = "DIVX";  // fccHandler (4 bytes; "\0\0\0\0" allowed)
  std::string compression = "DIVX";  // biCompression of a video stream's strf
  std::uint32_t scale = 1;
  std::uint32_t rate = 25;
  std::uint32_t sample_size = 0;  // dwSampleSize
  TBytes extradata{};             // after a video strf's BITMAPINFOHEADER
};

// One item of the movi data, written in order.
struct TMoviItem {
  enum class TKind { chunk, junk, list_begin, raw, extent } kind = TKind::chunk;
  std::string id;   // chunk id or list type
  TBytes data;      // chunk data (size field = data.size() unless size_override)
  bool has_size_override = false;
  std::uint32_t size_override = 0;
};

// What the builder made: the bytes and where things lie.
struct TAvi {
  TBytes bytes;
  std::uint32_t movi_pos = 0;          // offset of "movi"
  std::uint32_t idx1_pos = 0;          // offset of "idx1" (0 without index)
  std::vector<std::uint32_t> chunk_pos;  // absolute offset of each chunk item's id
  std::uint32_t total_frames_at = 0;     // offset of avih's dwTotalFrames
  std::vector<std::uint32_t> length_at;  // offset of each stream's dwLength
  // OpenDML: each further RIFF chunk's offset, and the offset of "movi" in
  // each extent (the first one's is movi_pos).
  std::vector<std::uint64_t> riff_pos;
  std::vector<std::uint64_t> extent_movi_pos;
  std::vector<std::uint64_t> ix_pos;         // every standard index chunk, in file order
  std::vector<std::uint32_t> indx_at;        // each stream's "indx" data
  std::uint32_t dmlh_frames_at = 0;          // dmlh's dwTotalFrames
};

class TAviBuilder {
 public:
  TAviBuilder();
  // Streams in the header list; the first one's scale/rate land at 128/132.
  TAviBuilder& stream(const TStreamDescription& description);
  // Items of the movi data.
  TAviBuilder& chunk(const std::string& id, const TBytes& data);
  TAviBuilder& chunk_with_size(const std::string& id, const TBytes& data, std::uint32_t size_field);
  TAviBuilder& video(std::size_t size, bool key = false, int stream = 0);  // MPEG-4-like frame
  TAviBuilder& audio(std::size_t size, int stream = 1);
  TAviBuilder& junk(std::size_t size);
  TAviBuilder& list(const std::string& type);  // "LIST" + size + type; size covers the items after it
  TAviBuilder& raw(const TBytes& bytes);       // bytes as they stand (garbage)
  // An old index: entries for every chunk (flags 0x10 on key frames and audio).
  TAviBuilder& with_index(bool on = true);
  // The old index also gets an entry for each list, ahead of its chunks,
  // as capture programs that group a frame's chunks in "rec " lists write.
  TAviBuilder& list_entries(bool on = true);
  // A JUNK chunk of this size between the header list and the movi list.
  // JUNK chunks are written without a pad byte, as the engine steps over them.
  TAviBuilder& header_junk(std::size_t size);
  // avih's dwTotalFrames and each strh's dwLength say what the movi data
  // hold (chunks per stream), as a muxer that finished writes them; off,
  // they stay 0, as a recorder that was killed leaves them.
  TAviBuilder& header_lengths(bool on);
  // Bytes appended after the index (or after the movi data).
  TAviBuilder& trailer(const TBytes& bytes);
  // Starts a further RIFF "AVIX" extent: the items after it go into its own
  // movi list. The old index (idx1) covers the first extent only.
  TAviBuilder& extent();
  // The OpenDML form: an "indx" super index in each stream list with room
  // for `room` entries, an "odml" list with the total frame count, and per
  // stream a standard index chunk ("ix00", ...) at the end of each extent's
  // movi list, all filled in as a writer that finished does.
  TAviBuilder& opendml(std::size_t room = 16);
  // A plain file with the rooms ffmpeg keeps for growing into the OpenDML
  // form: a JUNK chunk the size of a super index of `room` entries in each
  // stream list, and one the size of an odml list at the header list's end.
  TAviBuilder& opendml_rooms(std::size_t room = 256);

  [[nodiscard]] TAvi build() const;

 private:
  std::vector<TStreamDescription> streams_;
  std::vector<TMoviItem> items_;
  std::vector<bool> key_;
  bool index_ = true;
  bool list_entries_ = false;
  bool header_lengths_ = true;
  std::size_t header_junk_ = 0;
  bool opendml_ = false;
  std::size_t super_room_ = 0;
  std::size_t growth_room_ = 0;
  TBytes trailer_;
};

// A video frame's data: MPEG-4 VOP start code then an I or P type byte.
TBytes mpeg4_frame(std::size_t size, bool key, std::uint8_t fill = 0x55);
TBytes filled(std::size_t size, std::uint8_t value);

void put_le32(TBytes& bytes, std::size_t at, std::uint32_t v);
std::uint32_t get_le32(const TBytes& bytes, std::size_t at);
void append_le32(TBytes& bytes, std::uint32_t v);
void append_id(TBytes& bytes, const std::string& id);

void write_file(const std::filesystem::path& path, const TBytes& bytes);
TBytes read_file(const std::filesystem::path& path);

// The index chunk of a file: entries as (id, flags, offset, size).
struct TEntry {
  std::string id;
  std::uint32_t flags = 0;
  std::uint32_t offset = 0;
  std::uint32_t size = 0;
  bool operator==(const TEntry&) const = default;
};
// Entries of the idx1 chunk at `idx1_pos`.
std::vector<TEntry> index_entries(const TBytes& bytes, std::size_t idx1_pos);
// Finds the last "idx1" id in the file (npos when none).
std::size_t find_last_idx1(const TBytes& bytes);

// A fresh folder under the system's temporary directory, removed with the object.
class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }
  [[nodiscard]] std::filesystem::path file(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Moves the process into a folder and back again when it goes.
class TWorkingFolder {
 public:
  explicit TWorkingFolder(const std::filesystem::path& folder);
  ~TWorkingFolder();
  TWorkingFolder(const TWorkingFolder&) = delete;
  TWorkingFolder& operator=(const TWorkingFolder&) = delete;

 private:
  std::filesystem::path previous_;
};

}  // namespace avitest
