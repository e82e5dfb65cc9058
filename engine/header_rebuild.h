// A header list for a file whose own is gone (a download whose first piece
// never came, a file carved back from a card): made from the bitstreams of
// its chunks for the codecs cameras and encoders use, or taken from a
// healthy recording of the same camera or encoder once it is shown to fit.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class TFileIO;

// A line the rebuild logs, in log_message's form: " " + message k, then
// " " + tail when the tail is not empty.
struct TRebuildLine {
  std::uint32_t message = 0;
  std::uint8_t kind = 0;  // mk_plain, mk_warning or mk_error
  std::string tail;
};

struct THeaderGuess {
  // A whole "LIST" size "hdrl" chunk (avih, then one "LIST" "strl" per
  // stream in stream-number order), to stand at offset 12 before the movi
  // list. Frame and length counts may be 0: the repair writes them.
  std::vector<unsigned char> header_list;
  // One line per assumption made (a frame rate assumed, say).
  std::vector<TRebuildLine> assumptions;
};

// Either the header, or the refusal (a line that suggests --reference).
struct THeaderGuessResult {
  std::optional<THeaderGuess> guess;
  std::optional<TRebuildLine> refusal;
};

// Reads the chunks of `file` from `data_start` on (the id of the first of a
// run of chunks that pass the walk's test, wherever it lies in the file)
// and builds the header list from what their data say. Only reads.
[[nodiscard]] THeaderGuessResult guess_header_list(TFileIO& file, std::uint64_t data_start);

// Whether a reference's header list (`header_list`: a whole "LIST" "hdrl"
// chunk) fits the chunks of `file` from `data_start` on: the same number of
// streams with the same types, chunk ids of those streams only, and the
// first video key frame's bitstream consistent with the reference's
// biCompression and picture size. Empty when it fits; else the line that
// says what differs. Only reads.
[[nodiscard]] std::optional<TRebuildLine> reference_mismatch(const std::vector<unsigned char>& header_list,
                                                             TFileIO& file, std::uint64_t data_start);
