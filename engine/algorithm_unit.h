// The repair engine: rebuilds an AVI file's idx1 index from the chunks
// really present in its movi data.
#pragma once

#include <cstdint>
#include <string>

#include "engine/avi_structs.h"
#include "engine/file_io.h"
#include "engine/reporting.h"

// fix_file results.
inline constexpr int fix_repaired = 1;
inline constexpr int fix_not_repaired = 0;
inline constexpr int fix_stopped = -1;

// Repairs one file. backup == 1: new-file mode ("Fixed." + name beside the
// source, the source only read); any other value: in-place mode.
// Returns 1 repaired, 0 not repaired (the reason was logged), -1 stopped.
int fix_file(const std::string& path, std::uint8_t backup);

// Offset of the "idx1" id of the index the file ends in, or 0 when the file
// does not end in an index table. The source's position is kept.
[[nodiscard]] std::uint32_t locate_old_index(TFileIO& source);
