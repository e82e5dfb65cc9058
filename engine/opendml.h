// The OpenDML form of long recordings: after the first RIFF chunk, further
// RIFF "AVIX" chunks (extents), each with a movi list of its own; a super
// index ("indx") in each stream list. Only reads.
#pragma once

#include <cstdint>
#include <vector>

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
