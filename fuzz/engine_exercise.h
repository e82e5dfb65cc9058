// Runs the engine's entry points on arbitrary bytes and checks what must hold
// whatever the bytes are: the source is only read where it must be, nothing
// is left in the temporary folder, a repaired file's index names chunks that
// are really there. Shared by the libFuzzer target and the regression test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace fuzzcheck {

// Input layout: byte 0 chooses the branch, byte 1 is the branch's parameter
// (the pumps before Stop, or where the old-index search starts from), the
// rest is the file.
inline constexpr std::size_t input_header = 2;

enum class TBranch : std::uint8_t {
  fix_new_file,   // fix_file(path, 1): the source must stay as it was
  fix_in_place,   // fix_file(path, 0)
  locate_index,   // locate_old_index on a read-only file
  keyframe,       // read_stream_headers, codec_family, key_in_window
  check,          // check_file: must not write
  strip,          // strip_index
  stop_new_file,  // fix_file(path, 1) with Stop pressed after some pumps
  stop_in_place,  // fix_file(path, 0) with Stop pressed after some pumps
  modes_agree,    // fix_file(path, 1), then fix_file(path, 0): the same index
  rebuild_header, // guess_header_list, reference_mismatch: only read; a header made fits its data
};
inline constexpr int branch_count = 10;

[[nodiscard]] TBranch branch_of(const std::uint8_t* data, std::size_t size);
[[nodiscard]] const char* branch_name(TBranch branch);

// A private folder for one process: `files` holds the file under repair,
// `tmp` is where TMPDIR points while the object lives, so the engine's
// temporary index lands there and nowhere else. Removed with the object.
class TWorkspace final {
 public:
  TWorkspace();
  ~TWorkspace();
  TWorkspace(const TWorkspace&) = delete;
  TWorkspace& operator=(const TWorkspace&) = delete;

  [[nodiscard]] const std::filesystem::path& files() const { return files_; }
  [[nodiscard]] const std::filesystem::path& tmp() const { return tmp_; }

 private:
  std::filesystem::path root_;
  std::filesystem::path files_;
  std::filesystem::path tmp_;
  std::optional<std::string> old_tmpdir_;
};

// Runs `branch` on the input (its byte 0 is not looked at) and empties the
// workspace again. Returns what went wrong, or an empty string.
[[nodiscard]] std::string exercise(TWorkspace& workspace, TBranch branch, const std::uint8_t* data, std::size_t size);

}  // namespace fuzzcheck
