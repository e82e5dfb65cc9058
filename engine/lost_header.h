// A file whose start is lost (a download whose first piece never came, a
// file carved back from a card): where its movi data begin, and the bytes a
// repair reads in front of them instead of the header that is gone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/avi_structs.h"

class TFileIO;
struct THeaderRebuild;

namespace engine_detail {

// Data chunks in a row that make a run: one chunk id with a size that leads
// to the next is found in random bytes now and then, four are not.
inline constexpr int chunk_run_length = 4;

// The offset of the first chunk of the first run of data chunks in the file,
// each one's size leading to the next chunk header (or the end of the file,
// an old index or a further RIFF chunk), wherever the run begins. The first
// chunk's id is one in `ids` (any data chunk id when the list is empty).
// Only reads.
[[nodiscard]] std::optional<std::uint64_t> find_chunk_run(TFileIO& file, const std::vector<TFourCC>& ids);

// The whole "LIST" "hdrl" chunk of an AVI file (of its first RIFF chunk),
// with a pad byte when its size is odd; empty when it has none.
[[nodiscard]] std::optional<std::vector<unsigned char>> read_header_list(TFileIO& file);

// The data chunk ids a header list's streams use: "##dc" and "##db" for
// video, "##wb" for audio, "##dc" and "##wb" for a stream of another type.
[[nodiscard]] std::vector<TFourCC> stream_chunk_ids(const std::vector<unsigned char>& header_list);

// What a repair reads before `data_bytes` of movi data: a RIFF header, the
// header list, and a movi list header, with sizes that reach their end.
[[nodiscard]] std::vector<unsigned char> head_before_data(const std::vector<unsigned char>& header_list,
                                                          std::uint64_t data_bytes);

// For a source opened by open_avi whose first bytes are no AVI header and
// no header list: finds its data and shows it (set_view) behind the
// reference's header list, or one made from the data. Logs what it did or
// why not; false when the file is not taken (`no_data`: there is no run of
// chunks at all, and nothing was logged).
enum class TRebuildOutcome { rebuilt, refused, no_data };
[[nodiscard]] TRebuildOutcome read_behind_new_header(TFileIO& file, const std::string& path,
                                                     const THeaderRebuild& rebuild);

}  // namespace engine_detail
