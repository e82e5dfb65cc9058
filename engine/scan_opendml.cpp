// The scan's part for long recordings in the OpenDML form: the walk through
// every further RIFF chunk, and a new file laid out as the recorder did, one
// RIFF chunk per extent with its standard index chunks, the legacy idx1 of
// the first one and the super indexes in the header.
#include <algorithm>
#include <cstring>

#include "engine/header_list.h"
#include "engine/opendml.h"
#include "engine/reporting.h"
#include "engine/scan.h"
#include "platform/message_ids.h"

namespace engine_detail {

namespace {

constexpr std::uint64_t strh_sample_size = 44;
// From an indx chunk's data to its dwChunkId.
constexpr std::uint64_t super_chunk_id = 8;

// Writes a 32-bit field at `at` and goes back to where the file was.
void put_field(TFileIO& file, std::uint64_t at, std::uint64_t value) {
  const std::uint64_t back = file.pos();
  unsigned char field[4];
  write_le32(field, static_cast<std::uint32_t>(value));
  file.seek(at);
  file.write(field, sizeof field);
  file.seek(back);
}

void write_pad_if_odd(TFileIO& file) {
  if (file.pos() % 2 == 0) return;
  const unsigned char pad = 0;
  file.write(&pad, 1);
}

}  // namespace

void TScan::set_up_opendml() {
  opendml_ = true;
  for (const TExtent& e : further_extents(source_)) extent_starts_.push_back(e.riff_pos);
  // A file of several RIFF chunks ends in index chunks of its own, not idx1.
  if (!extent_starts_.empty() && data_end_ < extent_starts_.back()) data_end_ = file_size_;
  // The first RIFF chunk's idx1 follows its movi list.
  const std::uint64_t after_movi = movi_pos_ + old_list_size_;
  const auto id = source_.read_fourcc_at(after_movi);
  const auto size = source_.read_le32_at(after_movi + 4);
  if (id && size && same_id(*id, id_idx1)) {
    old_idx1_pos_ = after_movi;
    old_idx1_end_ = after_movi + chunk_header_size + *size;
  }
  if (const auto header = walk_header_list(source_)) {
    for (const TStreamList& s : header->streams) {
      std::uint32_t sample_size = 0;
      if (s.strh && s.strh->holds(s.strh->data + strh_sample_size, 4)) {
        sample_size = source_.read_le32_at(s.strh->data + strh_sample_size).value_or(0);
      }
      sample_sizes_.push_back(sample_size);
      super_rooms_.push_back(s.indx);
      TFourCC chunk_id = fourcc("0000");
      if (s.indx && s.indx->holds(s.indx->data + super_chunk_id, 4)) {
        chunk_id = source_.read_fourcc_at(s.indx->data + super_chunk_id).value_or(chunk_id);
      }
      super_ids_.push_back(chunk_id);
    }
  }
  super_.resize(sample_sizes_.size());
  out_riff_pos_ = 0;
  out_movi_pos_ = movi_pos_;
  out_data_start_ = movi_pos_ + 4;
  extent_first_entry_ = first_entry_pos;
}

std::size_t TScan::source_extent_of(std::uint64_t pos) const {
  return static_cast<std::size_t>(std::upper_bound(extent_starts_.begin(), extent_starts_.end(), pos) -
                                  extent_starts_.begin());
}

// Where a step over an index chunk lands must be the end of the data or a
// chunk the scan knows; else the chunk's size is damaged.
bool TScan::lands_on_known_id(std::uint64_t next) {
  if (next == data_end_ || next == file_size_) return true;
  if (next > data_end_) return false;
  const auto id = source_.read_fourcc_at(next);
  return id && (same_id(*id, id_riff) || classify_id(*id) != TChunkClass::damage);
}

TScan::TOdmlStep TScan::step_over_opendml(std::uint64_t id_pos) {
  if (same_id(cur_id_, id_riff)) {
    const auto form = source_.read_fourcc_at(id_pos + 8);
    if (!form || !same_id(*form, id_avix)) return TOdmlStep::damaged;
    // Found by the walk where the size fields did not lead (a damaged size).
    const auto at = std::lower_bound(extent_starts_.begin(), extent_starts_.end(), id_pos);
    if (at == extent_starts_.end() || *at != id_pos) extent_starts_.insert(at, id_pos);
    rel_pos_ += list_header_size;
    position(movi() + rel_pos_);
    return TOdmlStep::stepped;
  }
  const bool standard_index = classify_id(cur_id_) == TChunkClass::stream_index;
  // The old index the data end at is no chunk to step over: the scan ends there.
  const bool inner_idx1 = same_id(cur_id_, id_idx1) && id_pos < data_end_ && !only_old_index_from(source_, id_pos);
  if (!standard_index && !inner_idx1) return TOdmlStep::not_one;
  const auto size = source_.read_le32_at(id_pos + 4);
  // A size that agrees with the chunk's own entry count (or the first RIFF
  // chunk's idx1 where its movi list ends) is taken even when damage
  // follows it, so that the damaged place is reported where it is.
  bool sound = inner_idx1 && id_pos == old_idx1_pos_;
  if (standard_index && size) {
    const auto count = source_.read_le32_at(id_pos + 12);
    sound = count && *size == standard_index_size(*count) - chunk_header_size;
  }
  const std::uint64_t next = size ? id_pos + chunk_header_size + padded_size(*size) : file_size_;
  // Positions never go past the old index: a chunk that runs into it is damaged.
  if (size && next > data_end_ && data_end_ < file_size_) return TOdmlStep::damaged;
  if (size && !sound && !lands_on_known_id(next)) return TOdmlStep::damaged;
  if (next >= file_size_) {
    // An index chunk cut off at the end: no data are missing.
    rel_pos_ = static_cast<std::int64_t>(file_size_) - movi();
    position(movi() + rel_pos_);
    return TOdmlStep::stepped;
  }
  rel_pos_ = static_cast<std::int64_t>(next) - movi();
  position(movi() + rel_pos_);
  return TOdmlStep::stepped;
}

void TScan::enter_output_extent(std::uint64_t pos, std::uint64_t length) {
  const std::size_t extent = source_extent_of(pos);
  if (index_.pos() == extent_first_entry_) {
    // Nothing indexed in it yet: the chunk opens it.
    out_source_extent_ = extent;
    return;
  }
  // Its index chunks (and the idx1 of the first) must fit in its size field too.
  const std::uint64_t entries = (index_.pos() - extent_first_entry_) / index_entry_size + 1;
  const std::uint64_t per_entry = 8 + (out_riff_pos_ == 0 ? index_entry_size : 0);
  const std::uint64_t indexes =
      entries * per_entry + standard_index_size(0) * sample_sizes_.size() + chunk_header_size + 2;
  const bool full = output_.pos() + length + indexes - out_riff_pos_ - chunk_header_size > max_riff_size;
  if (extent == out_source_extent_ && !full) return;
  close_output_extent();
  open_output_extent();
  out_source_extent_ = extent;
}

void TScan::close_output_extent() {
  // (The index's own position may have moved: the finish writes its size.)
  const std::uint64_t entries_end = first_entry_pos + std::uint64_t{entry_count_} * index_entry_size;
  temp_.flush();
  const std::vector<TSuperEntry> indexes =
      write_standard_indexes(temp_, extent_first_entry_, entries_end, out_movi_pos_, output_, sample_sizes_, super_ids_);
  for (std::size_t n = 0; n < indexes.size(); ++n) super_[n].push_back(indexes[n]);
  put_field(output_, out_movi_pos_ - 4, output_.pos() - out_movi_pos_);
  if (out_riff_pos_ == 0) {
    // The first RIFF chunk ends with the legacy index of its own chunks.
    write_pad_if_odd(output_);
    unsigned char head[chunk_header_size];
    std::memcpy(head, id_idx1.data(), 4);
    write_le32(head + 4, static_cast<std::uint32_t>(entries_end - first_entry_pos));
    output_.write(head, sizeof head);
    for (std::uint64_t at = first_entry_pos; at < entries_end;) {
      const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(entries_end - at, block_.size()));
      const std::size_t got = temp_.read_at(at, block_.data(), want);
      output_.write(block_.data(), got);
      if (got < want) break;
      at += got;
    }
    first_extent_entries_end_ = entries_end;
  }
  put_field(output_, out_riff_pos_ + 4, output_.pos() - out_riff_pos_ - chunk_header_size);
  write_pad_if_odd(output_);
  extent_first_entry_ = entries_end;
}

void TScan::open_output_extent() {
  const std::uint64_t at = output_.pos();
  unsigned char head[chunk_header_size + list_header_size + 4] = {};
  std::memcpy(head, id_riff.data(), 4);
  std::memcpy(head + 8, id_avix.data(), 4);
  std::memcpy(head + 12, id_list.data(), 4);
  std::memcpy(head + 20, id_movi.data(), 4);
  output_.write(head, sizeof head);
  out_riff_pos_ = at;
  out_movi_pos_ = at + 20;
  out_data_start_ = at + sizeof head;
}

void TScan::finish_new_opendml_file(const std::vector<TFieldWrite>& writes) {
  // The data end where they end for a plain file.
  output_.seek(same_id(cur_id_, id_idx1) ? output_.pos() : output_.size());
  close_output_extent();
  const std::uint64_t end = output_.pos();

  // Each stream's super index lists its index chunks. When a stream's room
  // is too small for them all, every super index is left empty rather than
  // leading players through part of the file; one RIFF chunk needs none.
  std::size_t riff_chunks = 0;
  bool fit = true;
  for (std::size_t n = 0; n < super_.size(); ++n) {
    riff_chunks = std::max(riff_chunks, super_[n].size());
    const auto& room = super_rooms_[n];
    const std::uint64_t bytes = room ? room->end - room->data : 0;
    const std::uint64_t entries = bytes >= super_index_header_size ? (bytes - super_index_header_size) / 16 : 0;
    if (super_[n].size() > entries) fit = false;
  }
  if (!fit && riff_chunks > 1) log_message(msg_super_index_full, mk_warning, path_);
  const std::vector<TSuperEntry> none;
  for (std::size_t n = 0; n < super_.size(); ++n) {
    const auto& room = super_rooms_[n];
    if (room) (void)write_super_index(output_, room->data, room->end - room->data, fit ? super_[n] : none, super_ids_[n]);
  }
  for (const TFieldWrite& w : writes) put_field(output_, w.offset, w.value);
  output_.seek(end);
  output_.truncate(end);
  output_.close();
  source_.abandon();
  publish_output();
}

}  // namespace engine_detail

namespace engine_detail {

std::uint64_t TScan::extent_movi(std::size_t k) const {
  // A further RIFF chunk's movi list follows its 12-byte header.
  return k == 0 ? movi_pos_ : extent_starts_[k - 1] + list_header_size + chunk_header_size;
}

std::uint32_t TScan::check_opendml_indexes() {
  const std::vector<unsigned char>& found = index_.entries();
  const std::size_t found_count = found.size() / index_entry_size;
  std::uint32_t problems = 0;
  std::vector<unsigned char> block(block_size);
  for (std::size_t n = 0; n < super_rooms_.size(); ++n) {
    const std::string stream = std::to_string(n);
    // This stream's chunks found: where their data lie, and their sizes.
    std::vector<std::pair<std::uint64_t, std::uint32_t>> chunks;
    for (std::size_t i = 0; i < found_count && i < entry_extents_.size(); ++i) {
      const TIndexEntry e = TIndexEntry::decode(found.data() + i * index_entry_size);
      if (!is_data_id(e.id) || static_cast<std::size_t>(stream_number(e.id)) != n) continue;
      chunks.emplace_back(extent_movi(entry_extents_[i]) + e.offset + chunk_header_size, e.size);
    }
    const auto& room = super_rooms_[n];
    const std::uint64_t bytes = room ? room->end - room->data : 0;
    const std::uint64_t capacity = bytes >= super_index_header_size ? (bytes - super_index_header_size) / 16 : 0;
    const std::uint64_t used = room ? std::min<std::uint64_t>(source_.read_le32_at(room->data + 4).value_or(0), capacity) : 0;
    if (used == 0) {
      // One RIFF chunk needs no super index: its idx1 covers it.
      if (!extent_starts_.empty()) {
        log_message(msg_odml_no_super_index, mk_warning, stream);
        ++problems;
      }
      continue;
    }
    std::uint64_t indexed = 0;
    std::optional<std::uint64_t> first_difference;
    bool broken = false;
    for (std::uint64_t k = 0; k < used && !broken; ++k) {
      const std::uint64_t entry = room->data + super_index_header_size + 16 * k;
      const auto low = source_.read_le32_at(entry);
      const auto high = source_.read_le32_at(entry + 4);
      const std::uint64_t at = low && high ? (std::uint64_t{*high} << 32) | *low : file_size_;
      const auto id = source_.read_fourcc_at(at);
      const auto size = source_.read_le32_at(at + 4);
      const auto count = source_.read_le32_at(at + 12);
      const auto base_low = source_.read_le32_at(at + 20);
      const auto base_high = source_.read_le32_at(at + 24);
      if (!id || !size || !count || !base_low || !base_high || classify_id(*id) != TChunkClass::stream_index ||
          *size < standard_index_size(*count) - chunk_header_size || at + chunk_header_size + *size > file_size_) {
        log_message(msg_odml_index_broken, mk_error, stream + " / " + std::to_string(at));
        ++problems;
        broken = true;
        break;
      }
      const std::uint64_t base = (std::uint64_t{*base_high} << 32) | *base_low;
      const std::uint64_t end = at + standard_index_size(*count);
      for (std::uint64_t p = at + standard_index_size(0); p < end;) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(end - p, block.size()));
        const std::size_t got = source_.read_at(p, block.data(), want);
        for (std::size_t j = 0; j + 8 <= got; j += 8) {
          const std::pair<std::uint64_t, std::uint32_t> chunk{base + read_le32(block.data() + j),
                                                              read_le32(block.data() + j + 4) & 0x7FFFFFFFu};
          if (!first_difference && (indexed >= chunks.size() || chunks[indexed] != chunk)) first_difference = indexed;
          ++indexed;
        }
        if (got < want) break;
        p += got;
      }
    }
    if (broken) continue;
    if (indexed != chunks.size() || first_difference) {
      const std::uint64_t differs = first_difference.value_or(std::min<std::uint64_t>(indexed, chunks.size())) + 1;
      log_message(msg_odml_index_differs, mk_error,
                  stream + " / " + std::to_string(indexed) + " / " + std::to_string(chunks.size()) + " / " +
                      std::to_string(differs));
      ++problems;
    } else {
      log_message(msg_odml_index_agrees, mk_information, stream + " / " + std::to_string(indexed));
    }
  }
  return problems;
}

}  // namespace engine_detail
