// The OpenDML form of long recordings: after the first RIFF chunk, further
// RIFF "AVIX" chunks (extents), each with a movi list of its own; a super
// index ("indx") in each stream list. Only reads.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/avi_structs.h"

class TFileIO;

// One further RIFF chunk: where it starts, and where its movi list's data
// lie ("movi" at movi_pos; the data end at movi_end, clipped to the file).
struct TExtent {
  std::uint64_t riff_pos = 0;
  std::uint64_t movi_pos = 0;
  std::uint64_t movi_end = 0;
};

// The RIFF "AVIX" chunks that follow the first RIFF chunk, found by their
// size fields from its end, in file order; the walk stops at the first
// place that holds no such chunk with a movi list (a cut file, damage).
[[nodiscard]] std::vector<TExtent> further_extents(TFileIO& file);

// A further RIFF "AVIX" chunk, or a super index in a stream list.
[[nodiscard]] bool is_opendml(TFileIO& file);

// One entry of a stream's super index: where one of its standard index
// chunks lies (its id), the chunk's size with its header, and what it covers
// (chunks; samples for audio with a sample size).
struct TSuperEntry {
  std::uint64_t offset = 0;
  std::uint32_t size = 0;
  std::uint32_t duration = 0;
};

// Reads the idx1-form entries in [from, to) of `entries` (offsets relative
// to `base`, the extent's "movi") and writes at `out`'s position, per stream
// in stream order, a standard index chunk "ix##" with the chunks' data
// offsets and sizes, bit 31 on a chunk that is no key frame; a stream
// without chunks there gets one without entries, as recorders write it, that
// names `ids[n]`. Returns per stream (`sample_sizes.size()` of them) the
// super index entry.
[[nodiscard]] std::vector<TSuperEntry> write_standard_indexes(TFileIO& entries, std::uint64_t from, std::uint64_t to,
                                                              std::uint64_t base, TFileIO& out,
                                                              const std::vector<std::uint32_t>& sample_sizes,
                                                              const std::vector<TFourCC>& ids);

// The fields of a super index chunk's data before its 16-byte entries.
inline constexpr std::uint64_t super_index_header_size = 24;

// How many entries a super index whose data take `bytes` has room for.
[[nodiscard]] constexpr std::uint64_t super_index_capacity(std::uint64_t bytes) {
  return bytes >= super_index_header_size ? (bytes - super_index_header_size) / 16 : 0;
}

// The bytes of a standard index chunk for `count` chunks.
[[nodiscard]] constexpr std::uint64_t standard_index_size(std::uint64_t count) { return 32 + 8 * count; }

// Fills the super index whose data lie at `indx` (`room` bytes) with
// `entries`: header, the stream's chunk id, entries, the rest of its room
// zero. False, with nothing written, when the room holds fewer entries.
[[nodiscard]] bool write_super_index(TFileIO& out, std::uint64_t indx, std::uint64_t room,
                                     const std::vector<TSuperEntry>& entries, const TFourCC& chunk_id);
