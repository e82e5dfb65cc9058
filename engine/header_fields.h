// The header fields that tell players how long a file is: avih's
// dwTotalFrames and each stream's dwLength, made to say what the new index
// holds. Recorders that were killed leave them at 0, a file cut short keeps
// its old counts; players then show no duration and cannot seek.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/keyframe.h"

class TFileIO;

// What the new index holds of one stream.
struct TStreamTally {
  std::uint64_t chunks = 0;
  std::uint64_t bytes = 0;
  std::uint32_t largest = 0;  // the largest chunk's size
};

using TIndexTally = std::array<TStreamTally, max_streams>;

// Adds `count` index entries (16 bytes each) to the tally.
void tally_entries(TIndexTally& tally, const unsigned char* entries, std::size_t count);

// A stream's length in its own units: chunks when its dwSampleSize is 0
// (video, variable-rate audio), else its bytes in samples.
[[nodiscard]] std::uint64_t stream_length(const TStreamTally& tally, std::uint32_t sample_size);

// Whether a stored dwLength may stay: it is within one chunk of the length.
// Some muxers (GStreamer's) compute the length of a sampled stream from its
// duration and round it; the difference is always below one chunk.
[[nodiscard]] bool length_agrees(std::uint32_t stored, const TStreamTally& tally, std::uint32_t sample_size);

struct TFieldWrite {
  std::uint64_t offset = 0;
  std::uint32_t value = 0;
};

// The field writes that make the header say what `tally` holds: only fields
// whose value is off. Empty optional when the header list cannot be walked
// to avih and every stream's strh below `limit`. An OpenDML file passes what
// its first RIFF chunk holds as `first_riff`: avih counts those frames, and
// dmlh (when there is one) the frames of the whole file.
[[nodiscard]] std::optional<std::vector<TFieldWrite>> length_field_writes(TFileIO& file, std::uint64_t limit,
                                                                          const TIndexTally& tally,
                                                                          const TIndexTally* first_riff = nullptr);
