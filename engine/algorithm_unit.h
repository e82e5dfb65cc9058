// The repair engine: rebuilds an AVI file's idx1 index from the chunks
// really present in its movi data.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "engine/avi_structs.h"
#include "engine/file_io.h"
#include "engine/reporting.h"

// fix_file results.
inline constexpr int fix_repaired = 1;
inline constexpr int fix_not_repaired = 0;
inline constexpr int fix_stopped = -1;

// What a new-file repair does with a file whose start is lost, neither an
// AVI header nor a header list left: by default it is no AVI file; allowed,
// its movi data are read behind a header list made from what its chunks
// hold, or behind the one of `reference` (a healthy recording of the same
// camera or encoder) once that is shown to fit them.
struct THeaderRebuild {
  bool allowed = false;
  std::string reference;
};

// Repairs one file. backup == 1: new-file mode ("Fixed." + name beside the
// source, the source only read); any other value: in-place mode.
// Returns 1 repaired, 0 not repaired (the reason was logged), -1 stopped.
int fix_file(const std::string& path, std::uint8_t backup);
// The same; `written` is set to the new file this run wrote under the
// "Fixed." name (repaired, or stopped with a partial copy), else left empty.
// A new file goes to `output_folder` when one is given (an existing folder),
// so that a source on a read-only medium can be repaired too.
int fix_file(const std::string& path, std::uint8_t backup, std::optional<std::string>& written,
             const std::string& output_folder = {}, const THeaderRebuild& rebuild = {});

// check_file results: the number of problems found, so 0 is a healthy file.
inline constexpr int check_healthy = 0;
inline constexpr int check_failed = -1;

// strip_index results.
inline constexpr int strip_removed = 1;
inline constexpr int strip_kept = 0;

// Read-only diagnosis of one file, reported through log_line: the movi data,
// the old index against the chunks really present, damaged places, a chunk
// cut off at the end, and whether Fix would change the file. Never writes and
// makes no temporary file. Returns the number of problems found (0: healthy),
// or -1 when the file could not be checked (not an AVI file, unreadable).
int check_file(const std::string& path);

// Removes a trailing idx1 index in place, only when that index chunk runs to
// the end of the file and names data chunks; corrects the RIFF size. Returns
// 1 when an index was removed, 0 when the file was left as it was.
int strip_index(const std::string& path);

// Offset of the "idx1" id of the index the file ends in, or 0 when the file
// does not end in an index table. The source's position is kept.
[[nodiscard]] std::uint32_t locate_old_index(TFileIO& source);
