#include "engine/opendml.h"

#include <algorithm>
#include <cstring>

#include "engine/avi_structs.h"
#include "engine/file_io.h"
#include "engine/header_list.h"

std::vector<TExtent> further_extents(TFileIO& file) {
  std::vector<TExtent> extents;
  const auto first_size = file.read_le32_at(riff_size_offset);
  if (!first_size) return extents;
  std::uint64_t p = chunk_header_size + padded_size(*first_size);
  for (;;) {
    const auto id = file.read_fourcc_at(p);
    const auto size = file.read_le32_at(p + 4);
    const auto form = file.read_fourcc_at(p + 8);
    if (!id || !size || !form || !same_id(*id, id_riff) || !same_id(*form, id_avix)) break;
    const std::uint64_t riff_end = std::min(p + chunk_header_size + *size, file.size());
    // The movi list is the first list of the extent, as writers lay it out.
    const auto list = file.read_fourcc_at(p + 12);
    const auto list_size = file.read_le32_at(p + 16);
    const auto type = file.read_fourcc_at(p + 20);
    if (!list || !list_size || !type || !same_id(*list, id_list) || !same_id(*type, id_movi)) break;
    const std::uint64_t movi_pos = p + 20;
    extents.push_back({p, movi_pos, std::min(movi_pos + *list_size, riff_end)});
    p += chunk_header_size + padded_size(*size);
  }
  return extents;
}

bool is_opendml(TFileIO& file) {
  if (!further_extents(file).empty()) return true;
  const auto header = walk_header_list(file);
  if (!header) return false;
  return std::any_of(header->streams.begin(), header->streams.end(),
                     [](const TStreamList& s) { return s.indx.has_value(); });
}

namespace {

// The fields of an index chunk's data before its entries.
constexpr std::size_t standard_header_size = 24;
constexpr std::uint32_t non_key_bit = 0x80000000u;

void put_le16(unsigned char* p, std::uint16_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

void put_le64(unsigned char* p, std::uint64_t v) {
  write_le32(p, static_cast<std::uint32_t>(v));
  write_le32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

// Calls visit(entry) for every entry in [from, to), read in blocks.
template <typename Visit>
void each_entry(TFileIO& entries, std::uint64_t from, std::uint64_t to, Visit visit) {
  std::vector<unsigned char> block(block_size);
  for (std::uint64_t at = from; at < to;) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(to - at, block.size()));
    const std::size_t got = entries.read_at(at, block.data(), want);
    for (std::size_t k = 0; k + index_entry_size <= got; k += index_entry_size) {
      visit(TIndexEntry::decode(block.data() + k));
    }
    if (got < want) break;
    at += got;
  }
}

}  // namespace

std::vector<TSuperEntry> write_standard_indexes(TFileIO& entries, std::uint64_t from, std::uint64_t to,
                                                std::uint64_t base, TFileIO& out,
                                                const std::vector<std::uint32_t>& sample_sizes,
                                                const std::vector<TFourCC>& ids) {
  const std::size_t streams = sample_sizes.size();
  std::vector<std::uint64_t> count(streams, 0);
  std::vector<std::uint64_t> bytes(streams, 0);
  std::vector<TFourCC> chunk_id = ids;
  chunk_id.resize(streams, fourcc("0000"));
  each_entry(entries, from, to, [&](const TIndexEntry& e) {
    if (!is_data_id(e.id)) return;
    const auto n = static_cast<std::size_t>(stream_number(e.id));
    if (n >= streams) return;
    if (count[n] == 0) chunk_id[n] = e.id;
    ++count[n];
    bytes[n] += e.size;
  });

  std::vector<TSuperEntry> super(streams);
  std::vector<unsigned char> run;
  for (std::size_t n = 0; n < streams; ++n) {
    const std::uint64_t at = out.pos();
    unsigned char head[chunk_header_size + standard_header_size] = {};
    const char id[5] = {'i', 'x', static_cast<char>('0' + n / 10), static_cast<char>('0' + n % 10), '\0'};
    std::memcpy(head, id, 4);
    write_le32(head + 4, static_cast<std::uint32_t>(standard_index_size(count[n]) - chunk_header_size));
    put_le16(head + 8, 2);  // longs per entry
    head[10] = 0;           // an index of frames
    head[11] = 1;           // an index of chunks
    write_le32(head + 12, static_cast<std::uint32_t>(count[n]));
    std::memcpy(head + 16, chunk_id[n].data(), 4);
    put_le64(head + 20, base);
    out.write(head, sizeof head);
    run.clear();
    each_entry(entries, from, to, [&](const TIndexEntry& e) {
      if (!is_data_id(e.id) || static_cast<std::size_t>(stream_number(e.id)) != n) return;
      unsigned char pair[8];
      write_le32(pair, e.offset + static_cast<std::uint32_t>(chunk_header_size));
      write_le32(pair + 4, (e.size & ~non_key_bit) | ((e.flags & flag_keyframe) != 0 ? 0u : non_key_bit));
      run.insert(run.end(), pair, pair + sizeof pair);
      if (run.size() >= block_size) {
        out.write(run.data(), run.size());
        run.clear();
      }
    });
    out.write(run.data(), run.size());
    const std::uint64_t duration = sample_sizes[n] == 0 ? count[n] : bytes[n] / sample_sizes[n];
    super[n] = {at, static_cast<std::uint32_t>(standard_index_size(count[n])), static_cast<std::uint32_t>(duration)};
  }
  return super;
}

bool write_super_index(TFileIO& out, std::uint64_t indx, std::uint64_t room, const std::vector<TSuperEntry>& entries,
                       const TFourCC& chunk_id) {
  // A room too small for the fields is left as it is, even with no entries.
  if (room < super_index_header_size || super_index_capacity(room) < entries.size()) return false;
  std::vector<unsigned char> data(static_cast<std::size_t>(room), 0);
  put_le16(data.data(), 4);  // longs per entry
  data[2] = 0;               // sub-type
  data[3] = 0;               // an index of indexes
  write_le32(data.data() + 4, static_cast<std::uint32_t>(entries.size()));
  std::memcpy(data.data() + 8, chunk_id.data(), 4);
  for (std::size_t k = 0; k < entries.size(); ++k) {
    unsigned char* p = data.data() + super_index_header_size + 16 * k;
    put_le64(p, entries[k].offset);
    write_le32(p + 8, entries[k].size);
    write_le32(p + 12, entries[k].duration);
  }
  out.seek(indx);
  out.write(data.data(), data.size());
  return true;
}
