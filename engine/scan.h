// The chunk walk shared by the repair and the check: set-up, the scan of the
// movi data, damage recovery, and the finish of each kind of run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/algorithm_unit.h"
#include "engine/avi_structs.h"
#include "engine/file_io.h"
#include "engine/header_fields.h"
#include "engine/header_list.h"
#include "engine/keyframe.h"
#include "engine/opendml.h"

namespace engine_detail {

// Position of the first entry in an index chunk (after "idx1" and its size).
inline constexpr std::uint64_t first_entry_pos = 8;

// Where the top-level walk over the size fields after offset 12 meets the
// type "movi": the offset of "movi" and the list's size field.
struct TMoviList {
  std::uint64_t movi_pos = 0;
  std::uint32_t size = 0;
};
[[nodiscard]] std::optional<TMoviList> find_movi_list(TFileIO& file);
// As find_movi_list; when there is none, logs so with the path.
[[nodiscard]] std::optional<TMoviList> require_movi_list(TFileIO& file, const std::string& path);

enum class TAccess { read, read_write };

// Opens a run's source and makes the checks every run starts with: the
// "AVI LIST" signature at offset 8, a size below max_source_size and of at
// least `least_size`. When the file is not taken, logs why, leaves it
// closed and returns false. With `headless`, a file whose RIFF header is
// lost but whose header list and movi list lie where they belong is taken,
// read with a RIFF header made anew (the file's head overlay), after a
// warning line. With `rebuild` allowed, a file without even a header list
// is read behind a new one (read_behind_new_header).
[[nodiscard]] bool open_avi(TFileIO& file, const std::string& path, TAccess access, std::uint64_t least_size,
                            bool headless = false, const THeaderRebuild* rebuild = nullptr);


// An old index is real when its first entry names a "dc", "wb" or "db"
// chunk, or when those two bytes are not in the file at all.
[[nodiscard]] bool old_index_test_passes(TFileIO& file, std::uint64_t id_pos);

// Whether the bytes from q to the end of the file are nothing, or exactly
// one old index chunk that reaches the end.
[[nodiscard]] bool only_old_index_from(TFileIO& file, std::uint64_t q);

// Where the entries of the index under construction live: the temporary
// file for a repair, memory for a check (which writes no file). Positions
// count the 8-byte chunk header, as in the chunk itself.
class TIndexStore final {
 public:
  void use_file(TFileIO* file) { file_ = file; }
  [[nodiscard]] std::uint64_t pos() const;
  void append(const TIndexEntry& entry);
  // Ends the index at `pos`; the next entry goes there.
  void cut(std::uint64_t pos);
  // Entries kept in memory (a check), from the first one on.
  [[nodiscard]] const std::vector<unsigned char>& entries() const { return memory_; }

 private:
  TFileIO* file_ = nullptr;
  std::vector<unsigned char> memory_;
};

enum class TScanMode { new_file, in_place, check };

// Why the chunk loop ended.
enum class TScanEnd {
  end_of_data,         // the data ran out at a chunk border
  cut_off_chunk,       // a chunk (or its header) ends past the end of the file
  chunk_into_index,    // a chunk's size runs into the old index
  old_index,           // the old index was reached
  search_ran_out,      // a damaged place and no chunk after it
};

// The state of one run over a file. One call owns one of these.
class TScan final {
 public:
  // `careful`: a second pass over a source that could not be read whole
  // (a failing medium): every byte is read before it is copied, and what
  // cannot be read is a damaged place. `output_folder`: where a new file
  // goes instead of beside the source.
  // `rebuild`: a new file of a source whose header is gone (THeaderRebuild).
  TScan(std::string path, TScanMode mode, bool careful = false, std::string output_folder = {},
        THeaderRebuild rebuild = {});
  // run_repair's result when a read failed and the careful pass should
  // repair the file instead (a new file only).
  static constexpr int read_again = -2;
  TScan(const TScan&) = delete;
  TScan& operator=(const TScan&) = delete;
  // Test seam: the largest RIFF chunk a new file gets (max_riff_size), so
  // that files of kilobytes show what files of 4 GiB do.
  static void limit_riff_size(std::uint64_t bytes);

  // fix_file and check_file.
  int run_repair();
  [[nodiscard]] const std::optional<std::string>& written() const { return written_; }
  int run_check();
  [[nodiscard]] std::uint32_t damage_count() const { return damage_count_; }

 private:
  enum class TStep { go_on, finish };

  [[nodiscard]] bool new_file() const { return mode_ == TScanMode::new_file; }
  // Opens the source and makes the run's files. Empty when set up; else the
  // repair's result (a check only tests for one), after the reason was
  // logged and the files made so far were removed.
  [[nodiscard]] std::optional<int> set_up();
  void copy_header();
  // Returns true when the scan ran to its finish, false after a stop.
  [[nodiscard]] bool scan();
  [[nodiscard]] TStep accept_chunk();
  // A damaged place at cur_id_pos_: reported, then searched past; a chunk
  // found before `search_floor` is not taken.
  void handle_damage(std::uint64_t search_floor = 0);
  [[nodiscard]] bool continues_at(std::uint64_t next);
  [[nodiscard]] bool known_id_just_after(std::uint64_t at);
  [[nodiscard]] bool spelled_id_at(std::uint64_t at);
  [[nodiscard]] bool pad_before_index(std::uint64_t at);
  [[nodiscard]] bool pad_before_index_chunk(std::uint64_t at);
  struct TFound {
    std::uint64_t pos = 0;
    TFourCC id{};
  };
  [[nodiscard]] std::optional<TFound> search_next_chunk(std::uint64_t search_floor);
  [[nodiscard]] bool chunk_fits_before_known_id(std::uint64_t pos);
  void resume(std::uint64_t found_pos, const TFourCC& found_id);
  void end_of_file_outcome();
  // OpenDML: steps over a further RIFF header, a standard index chunk or the
  // first RIFF chunk's idx1 when the walk meets one.
  enum class TOdmlStep { not_one, stepped, damaged };
  [[nodiscard]] TOdmlStep step_over_opendml(std::uint64_t id_pos);
  [[nodiscard]] bool lands_on_known_id(std::uint64_t next);
  [[nodiscard]] std::size_t source_extent_of(std::uint64_t pos) const;
  void set_up_opendml();
  // New file: each stream's sample size and chunk id, and the output's first
  // RIFF chunk open.
  void set_up_output_streams(const THeaderList& header);
  // New file of a plain source: whether its header has room to go on in the
  // OpenDML form should the file outgrow what an idx1 addresses.
  void set_up_growth();
  // New file: the chunk of `length` bytes at `pos` goes into the output's
  // current RIFF chunk, or closes it and starts the next one. False when a
  // plain source's new file cannot grow past it (too_large_).
  [[nodiscard]] bool enter_output_extent(std::uint64_t pos, std::uint64_t length);
  // A plain source's new file that went on in further RIFF chunks.
  [[nodiscard]] bool grown() const { return !opendml_ && out_riff_pos_ != 0; }
  // Its header made OpenDML: the rooms become super indexes and dmlh.
  void convert_header_to_opendml();
  void close_output_extent();
  void open_output_extent();
  void finish_new_opendml_file(std::vector<TFieldWrite> writes);
  // Where "movi" of the source's extent k lies (0: the first RIFF chunk).
  [[nodiscard]] std::uint64_t extent_movi(std::size_t k) const;
  // The check's part for the OpenDML indexes: the lines it logs per stream;
  // returns the problems found.
  [[nodiscard]] std::uint32_t check_opendml_indexes();
  // What a stream's super index says of its chunks found (where each one's
  // data lie, and its size): nothing, no index chunk where an entry leads
  // (at), other chunks (indexed; at: the first that differs, from 1), them.
  using TChunkRef = std::pair<std::uint64_t, std::uint32_t>;
  struct TSuperVerdict {
    enum { empty, broken, differs, agrees } kind = empty;
    std::uint64_t at = 0;
    std::uint64_t indexed = 0;
  };
  [[nodiscard]] TSuperVerdict super_index_verdict(std::size_t n, const std::vector<TChunkRef>& chunks);
  [[nodiscard]] std::vector<TFieldWrite> stale_super_indexes();
  // In place, for a file of several RIFF chunks: nullopt when repaired.
  [[nodiscard]] std::optional<std::uint32_t> finish_in_place_opendml(const std::vector<TFieldWrite>& writes);
  // Whether the standard index chunk at `at` lists what `fresh` (one the
  // repair wrote for extent `extent` at `fresh_at` in new_indexes_) lists.
  [[nodiscard]] bool index_chunk_agrees(std::uint64_t at, std::uint64_t fresh_at, std::size_t extent);
  int finish_repair();
  // nullopt when written; else the message that says why not.
  [[nodiscard]] std::optional<std::uint32_t> finish_new_file(const std::vector<TFieldWrite>& writes);
  // nullopt when the file was repaired; else the message that says why not.
  [[nodiscard]] std::optional<std::uint32_t> finish_in_place(const std::vector<TFieldWrite>& writes);

  void probe_in_place_writes(std::uint64_t new_end, const std::vector<TFieldWrite>& writes);
  // old_index_at_q: the old index begins at q, and only its size field and
  // entries are written over.
  void write_index_in_place(std::uint64_t q, bool old_index_at_q);
  void write_junk_header(std::uint64_t start, std::uint64_t end);

  // Writes the RIFF header the source was read with when its own was lost:
  // the ids, and the size too when `with_size`.
  void restore_head(TFileIO& file, bool with_size);
  // Read from `header_file`'s header list (the source's, or a new file's
  // whose header the repair changed).
  [[nodiscard]] std::optional<std::vector<TFieldWrite>> length_fields(TFileIO& header_file);
  void write_fields(TFileIO& file, const std::vector<TFieldWrite>& writes);
  int stop();
  void clean_up_failure();
  int finish_check();
  [[nodiscard]] std::uint64_t in_place_list_size() const;
  [[nodiscard]] bool file_holds_index(std::uint64_t at, const std::vector<unsigned char>& index);

  // Positioning never goes beyond data_end; the end-of-file test compares
  // with the real size.
  void position(std::int64_t x) {
    const std::uint64_t target = x < 0 ? 0 : static_cast<std::uint64_t>(x);
    source_.seek(std::min(target, data_end_));
  }
  [[nodiscard]] bool at_end() const { return forced_end_ || source_.pos() >= file_size_; }
  [[nodiscard]] std::int64_t movi() const { return static_cast<std::int64_t>(movi_pos_); }
  [[nodiscard]] bool read_u32(std::uint32_t& value);
  void append_temp_to(TFileIO& target);
  void write_list_end(TFileIO& file, std::uint64_t list_size);
  // Gives the finished (or stopped) new file its "Fixed." name: replacing
  // a file there when `replace`, else false when the name is taken.
  [[nodiscard]] bool publish_output(bool replace);

  std::string path_;
  TScanMode mode_;
  THeaderRebuild rebuild_;
  std::vector<unsigned char> block_;

  TFileIO source_;
  TFileIO temp_;
  TFileIO output_;
  TIndexStore index_;
  std::string output_folder_;
  std::string output_path_;
  // The new file this run wrote, once it carries the "Fixed." name.
  std::optional<std::string> written_;
  // The source as the scan found it: another program writing to it during
  // the repair shows as a change here.
  TFileIO::TIdentity source_identity_;
  // In place: the size the source had before the finish appended to it.
  std::optional<std::uint64_t> source_size_before_finish_;

  std::uint64_t file_size_ = 0;
  std::uint32_t dw_scale_ = 0;
  std::uint32_t dw_rate_ = 0;
  std::uint32_t old_list_size_ = 0;
  std::optional<TKeyframeRule> keys_;

  // Scan state. Positions are 64-bit so that no size field can wrap them.
  std::uint64_t movi_pos_ = 0;
  std::uint64_t data_end_ = 0;
  std::int64_t rel_pos_ = 4;
  std::uint32_t entry_count_ = 0;
  std::int64_t shift_ = 0;
  std::uint32_t video_count_ = 0;
  std::uint32_t damage_count_ = 0;
  std::uint64_t damage_start_ = 0;
  bool padded_list_end_ = false;  // the walk stepped over a pad byte to the old index
  std::uint64_t taken_end_ = 0;  // where the last chunk the walk took ends
  bool careful_ = false;

  // The careful pass's copy: read, then written.
  void copy_read(std::uint64_t from, std::uint64_t length);
  // In place: the damaged places as [start, end) where the scan resumed
  // (the end of the file when it did not); they become "JUNK" chunks.
  struct TStretch {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
  };
  std::vector<TStretch> damaged_stretches_;
  // In place: a JUNK chunk whose size runs into the old index or past the
  // end of the file.
  std::optional<std::uint64_t> cut_junk_;
  // The careful pass: the unreadable stretch around `offset` (the edge found
  // in small aligned steps), reported.
  [[nodiscard]] TStretch step_over_unreadable(std::uint64_t offset);
  bool ix_pending_ = false;
  TFourCC cur_id_{};
  std::uint64_t cur_id_pos_ = 0;  // where the current id was really read
  bool forced_end_ = false;      // the damage search ran out: the scan is over
  TScanEnd end_ = TScanEnd::end_of_data;
  std::uint64_t end_chunk_pos_ = 0;  // the chunk that ended the scan, for the check

  // A long recording in the OpenDML form: the scan goes on through every
  // further RIFF chunk; a new file gets one RIFF chunk per extent of the
  // source, each with standard index chunks at the end of its movi list.
  bool opendml_ = false;
  std::vector<std::uint64_t> extent_starts_;  // the source's further RIFF chunks, in file order
  std::uint64_t old_idx1_pos_ = 0;            // the first RIFF chunk's idx1 (its bytes are no chunks)
  std::uint64_t old_idx1_end_ = 0;
  // Where the first RIFF chunk's idx1 belongs when none is there (its head
  // lost with damage): from the end of its movi list to the next RIFF chunk.
  std::optional<TStretch> lost_idx1_room_;
  std::vector<std::uint32_t> sample_sizes_;   // per stream
  std::vector<std::optional<TChunkSpan>> super_rooms_;  // each stream's indx data
  std::vector<TFourCC> super_ids_;                      // each stream's indx chunk id
  // A plain source: the header list's room for an odml list, whether every
  // stream has room for a super index, and a new file that outgrew them.
  std::optional<TChunkSpan> dmlh_room_;
  bool growth_room_ = false;
  bool too_large_ = false;
  // A new file: its RIFF chunks so far, and the fewest entries a stream's
  // super index has room for.
  std::uint64_t out_riff_count_ = 1;
  std::uint64_t super_capacity_ = UINT64_MAX;
  std::size_t out_source_extent_ = 0;
  std::uint64_t out_riff_pos_ = 0;
  std::uint64_t out_movi_pos_ = 0;
  std::uint64_t out_data_start_ = 0;
  std::uint64_t extent_first_entry_ = first_entry_pos;
  std::uint64_t first_extent_entries_end_ = 0;  // 0 while the first RIFF chunk is open
  std::vector<std::vector<TSuperEntry>> super_;  // per stream
  // A check: the source extent of each entry found, in entry order.
  std::vector<std::uint32_t> entry_extents_;
  // In place: where each extent's entries begin in the index under
  // construction, the standard index chunks the walk stepped over whole, one
  // (or an idx1) cut off at the end of the file, and whether the walk met a RIFF chunk
  // the size fields did not lead to.
  std::vector<std::uint64_t> extent_entry_begin_;
  std::vector<std::uint64_t> index_chunks_seen_;
  std::optional<std::uint64_t> index_cut_at_end_;
  bool walk_found_extent_ = false;
  TFileIO new_indexes_;
};

// Where the run's temporary files go: $TMPDIR, else /tmp.
std::string temp_folder();
std::string two_digits(std::uint64_t v);
std::string hex8(std::uint64_t v);
// The engine's lines: " " + message k, and " " + message k + " " + tail.
void log_message(std::uint32_t k, std::uint8_t kind);
void log_message(std::uint32_t k, std::uint8_t kind, const std::string& tail);
// The error line for a failed read or write, with the system's reason.
void log_io_error(const TIoError& e);

}  // namespace engine_detail
