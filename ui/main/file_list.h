// The file list: the AVI files the user has collected this run, in the order
// they were added, each with the outcome of its last repair and its tick mark.
// It is never stored.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Where a file stands after the last command that records a status (Fix).
enum class TFileStatus : std::int32_t { added = 0, repaired = 1, not_repaired = 2, stopped = -1 };

struct TFile {
  std::string path;        // as the open dialog or the drop delivered it; never changed
  std::string fixed_path;  // the repaired copy beside it, once Fix wrote one
  TFileStatus status = TFileStatus::added;
  std::int32_t ticked = 1; // 1 ticked; every test compares with 1
};

// Row i of the list view shows entry i.
extern std::vector<TFile> file_list;

// Size of the entry found at `path` by a directory look-up: a regular file's
// size, 0 for a folder (or anything else that is not a regular file), -1 when
// nothing is found.
[[nodiscard]] std::int64_t get_file_size(const std::string& path);

// Files outside [min_file_size, max_file_size) are refused.
inline constexpr std::int64_t min_file_size = 262'144;       // 256 KiB
inline constexpr std::int64_t max_file_size = 157'286'400;   // 150 MiB

// What adding `path` would do: add it, or report a refusal (its kind as in
// platform/message_kind.h, and the whole line for the log and the box).
struct TAddOutcome {
  bool accepted = false;
  std::uint8_t kind = 0;
  std::string text;
};

// The acceptance test of adding a file, first failing test wins: already in
// the list (exact comparison), then too small or missing, then too large.
// Reads file_list, changes nothing.
[[nodiscard]] TAddOutcome check_new_file(const std::string& path);

// Appends a new entry for `path`: not repaired, ticked, no repaired copy.
void add_checked_file(const std::string& path);
