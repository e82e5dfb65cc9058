// The walk over the header list's chunks and its stream lists.
#include "header_list.h"

#include <algorithm>

#include "avi_structs.h"
#include "file_io.h"
#include "keyframe.h"

namespace {

struct TChunkHeader {
  TFourCC id;
  std::uint32_t size;
};

[[nodiscard]] std::optional<TChunkHeader> read_header(TFileIO& file, std::uint64_t offset, std::uint64_t end) {
  if (offset + 8 > end) return std::nullopt;
  const auto id = file.read_fourcc_at(offset);
  const auto size = file.read_le32_at(offset + 4);
  if (!id || !size) return std::nullopt;
  return TChunkHeader{*id, *size};
}

[[nodiscard]] bool list_type_is(TFileIO& file, std::uint64_t offset, std::uint64_t end, const TFourCC& type) {
  if (offset + 4 > end) return false;
  const auto id = file.read_fourcc_at(offset);
  return id && same_id(*id, type);
}

TStreamList walk_strl(TFileIO& file, std::uint64_t begin, std::uint64_t end) {
  TStreamList stream;
  std::uint64_t p = begin;
  while (auto header = read_header(file, p, end)) {
    const std::uint64_t data = p + 8;
    const TChunkSpan span{data, std::min(data + header->size, end)};
    if (!stream.strh && same_id(header->id, id_strh)) {
      stream.strh = span;
    } else if (!stream.strf && same_id(header->id, id_strf)) {
      stream.strf = span;
    } else if (!stream.indx && same_id(header->id, id_indx)) {
      stream.indx = span;
    } else if (!stream.junk && same_id(header->id, id_junk)) {
      stream.junk = span;
    }
    p = data + padded_size(header->size);
  }
  return stream;
}

}  // namespace

std::optional<THeaderList> walk_header_list(TFileIO& file) {
  const auto list = read_header(file, header_list_offset, file.size());
  if (!list || !same_id(list->id, id_list)) return std::nullopt;
  if (!list_type_is(file, header_list_offset + 8, file.size(), id_hdrl)) return std::nullopt;
  THeaderList header;
  const std::uint64_t end = std::min<std::uint64_t>(header_list_offset + 8 + list->size, file.size());
  std::uint64_t p = header_list_offset + 12;
  while (static_cast<int>(header.streams.size()) < max_streams) {
    const auto chunk = read_header(file, p, end);
    if (!chunk) break;
    if (same_id(chunk->id, id_list)) {
      if (list_type_is(file, p + 8, end, id_strl)) {
        header.streams.push_back(walk_strl(file, p + 12, std::min(p + 8 + chunk->size, end)));
      } else if (!header.dmlh && list_type_is(file, p + 8, end, id_odml)) {
        const std::uint64_t list_end = std::min(p + 8 + chunk->size, end);
        const auto dmlh = read_header(file, p + 12, list_end);
        if (dmlh && same_id(dmlh->id, id_dmlh)) header.dmlh = TChunkSpan{p + 20, std::min(p + 20 + dmlh->size, list_end)};
      }
    } else if (!header.avih && same_id(chunk->id, id_avih)) {
      header.avih = TChunkSpan{p + 8, std::min(p + 8 + chunk->size, end)};
    } else if (!header.junk && same_id(chunk->id, id_junk)) {
      header.junk = TChunkSpan{p + 8, std::min(p + 8 + chunk->size, end)};
    }
    p += 8 + padded_size(chunk->size);
  }
  return header;
}
