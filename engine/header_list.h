// The header list ("LIST" "hdrl" at offset 12) walked chunk by chunk: where
// the main header and each stream's header and format lie. Only reads.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

class TFileIO;

// A chunk's data: its offset, and where it ends as far as its list lets it.
struct TChunkSpan {
  std::uint64_t data = 0;
  std::uint64_t end = 0;
  [[nodiscard]] bool holds(std::uint64_t offset, std::uint64_t width) const { return offset + width <= end; }
};

// One "LIST" "strl": the first "strh", "strf" and "indx" (an OpenDML super
// index) in it, and the first "JUNK" (room a muxer kept for one).
struct TStreamList {
  std::optional<TChunkSpan> strh;
  std::optional<TChunkSpan> strf;
  std::optional<TChunkSpan> indx;
  std::optional<TChunkSpan> junk;
};

struct THeaderList {
  std::optional<TChunkSpan> avih;    // the first "avih"
  std::optional<TChunkSpan> dmlh;    // "dmlh" of the first "LIST" "odml"
  std::optional<TChunkSpan> junk;    // the first "JUNK" right in the header list
  std::vector<TStreamList> streams;  // in stream-number order, at most max_streams
};

// Empty when the file has no "LIST" "hdrl" at offset 12. Size fields are
// clipped to the list that holds them and to the file.
[[nodiscard]] std::optional<THeaderList> walk_header_list(TFileIO& file);
