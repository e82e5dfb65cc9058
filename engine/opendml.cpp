#include "engine/opendml.h"

#include <algorithm>

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
