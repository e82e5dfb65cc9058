// Counting what the new index holds and the header fields that say so.
#include "header_fields.h"

#include <algorithm>

#include "avi_structs.h"
#include "file_io.h"
#include "header_list.h"

namespace {

// Offsets in the chunks' data.
constexpr std::uint64_t avih_total_frames = 16;
constexpr std::uint64_t strh_type = 0;
constexpr std::uint64_t strh_length = 32;
constexpr std::uint64_t strh_sample_size = 44;

}  // namespace

void tally_entries(TIndexTally& tally, const unsigned char* entries, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const TIndexEntry e = TIndexEntry::decode(entries + i * index_entry_size);
    if (!is_data_id(e.id)) continue;
    TStreamTally& t = tally[static_cast<std::size_t>(stream_number(e.id))];
    ++t.chunks;
    t.bytes += e.size;
    if (e.size > t.largest) t.largest = e.size;
  }
}

std::uint64_t stream_length(const TStreamTally& tally, std::uint32_t sample_size) {
  return sample_size == 0 ? tally.chunks : tally.bytes / sample_size;
}

bool length_agrees(std::uint32_t stored, const TStreamTally& tally, std::uint32_t sample_size) {
  const std::uint64_t length = stream_length(tally, sample_size);
  const std::uint64_t one_chunk = sample_size == 0 ? 1 : std::max<std::uint64_t>(1, tally.largest / sample_size);
  const std::uint64_t difference = stored > length ? stored - length : length - stored;
  return difference < one_chunk;
}

std::optional<std::vector<TFieldWrite>> length_field_writes(TFileIO& file, std::uint64_t limit,
                                                             const TIndexTally& tally, const TIndexTally* first_riff) {
  const auto header = walk_header_list(file);
  if (!header || !header->avih) return std::nullopt;
  auto inside = [limit](const TChunkSpan& span, std::uint64_t at) {
    return span.holds(span.data + at, 4) && span.data + at + 4 <= limit;
  };
  if (!inside(*header->avih, avih_total_frames)) return std::nullopt;

  std::vector<TFieldWrite> writes;
  std::optional<std::size_t> first_video;
  for (std::size_t n = 0; n < header->streams.size(); ++n) {
    const auto& strh = header->streams[n].strh;
    // dwSampleSize is the last field read: the others lie before it.
    if (!strh || !inside(*strh, strh_sample_size)) return std::nullopt;
    const auto length = file.read_le32_at(strh->data + strh_length);
    const auto sample_size = file.read_le32_at(strh->data + strh_sample_size);
    if (!length || !sample_size) return std::nullopt;
    const auto type = file.read_fourcc_at(strh->data + strh_type);
    if (!type) return std::nullopt;
    if (!first_video && same_id(*type, id_vids)) first_video = n;
    if (!length_agrees(*length, tally[n], *sample_size)) {
      writes.push_back({strh->data + strh_length, static_cast<std::uint32_t>(stream_length(tally[n], *sample_size))});
    }
  }
  if (first_video) {
    const std::uint64_t at = header->avih->data + avih_total_frames;
    const auto total = file.read_le32_at(at);
    if (!total) return std::nullopt;
    const TIndexTally& counted = first_riff != nullptr ? *first_riff : tally;
    const auto frames = static_cast<std::uint32_t>(counted[*first_video].chunks);
    if (*total != frames) writes.insert(writes.begin(), {at, frames});
    if (first_riff != nullptr && header->dmlh && inside(*header->dmlh, 0)) {
      const auto all = static_cast<std::uint32_t>(tally[*first_video].chunks);
      if (file.read_le32_at(header->dmlh->data) != all) writes.push_back({header->dmlh->data, all});
    }
  }
  return writes;
}
