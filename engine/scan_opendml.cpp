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
std::uint64_t riff_size_limit = max_riff_size;

void put_field(TFileIO& file, std::uint64_t at, std::uint64_t value) {
  const std::uint64_t back = file.pos();
  unsigned char field[4];
  write_le32(field, static_cast<std::uint32_t>(value));
  file.seek(at);
  file.write(field, sizeof field);
  file.seek(back);
}

// The entries a stream's super index room holds (none without a room).
std::uint64_t entries_in(const std::optional<TChunkSpan>& room) {
  return room ? super_index_capacity(room->end - room->data) : 0;
}

void write_pad_if_odd(TFileIO& file) {
  if (file.pos() % 2 == 0) return;
  const unsigned char pad = 0;
  file.write(&pad, 1);
}

}  // namespace

void TScan::limit_riff_size(std::uint64_t bytes) { riff_size_limit = bytes; }

void TScan::set_up_opendml() {
  opendml_ = true;
  for (const TExtent& e : further_extents(source_)) extent_starts_.push_back(e.riff_pos);
  // A file of several RIFF chunks ends in index chunks of its own, not idx1.
  if (!extent_starts_.empty() && data_end_ < extent_starts_.back()) data_end_ = file_size_;
  // The first RIFF chunk's idx1 follows its movi list (after the list's pad
  // byte when it ends at an odd offset).
  std::uint64_t after_movi = movi_pos_ + old_list_size_;
  if (after_movi % 2 != 0) {
    const auto at_pad = source_.read_fourcc_at(after_movi);
    if (!at_pad || !same_id(*at_pad, id_idx1)) ++after_movi;
  }
  const auto id = source_.read_fourcc_at(after_movi);
  const auto size = source_.read_le32_at(after_movi + 4);
  // (Not one whose header the next RIFF chunk already overlaps.)
  const bool fits = extent_starts_.empty() || after_movi + chunk_header_size <= extent_starts_.front();
  if (id && size && same_id(*id, id_idx1) && fits) {
    old_idx1_pos_ = after_movi;
    old_idx1_end_ = after_movi + chunk_header_size + *size;
    // Its room is the rest of the first RIFF chunk whatever its size field
    // says: a damaged one must neither hide the further chunks nor lead
    // into them, nor leave part of the entries as data.
    if (!extent_starts_.empty()) old_idx1_end_ = extent_starts_.front();
  } else if (!extent_starts_.empty() && after_movi > movi_pos_ &&
             after_movi + chunk_header_size <= extent_starts_.front()) {
    lost_idx1_room_ = TStretch{after_movi, extent_starts_.front()};
  }
  const auto header = walk_header_list(source_);
  set_up_output_streams(header ? *header : THeaderList{});
  extent_entry_begin_.assign(1, first_entry_pos);
  // The fewest entries a stream's super index has room for.
  for (const auto& room : super_rooms_) {
    const std::uint64_t entries = entries_in(room);
    super_capacity_ = std::min(super_capacity_, entries);
  }
}

void TScan::set_up_output_streams(const THeaderList& header) {
  for (std::size_t n = 0; n < header.streams.size(); ++n) {
    const TStreamList& s = header.streams[n];
    std::uint32_t sample_size = 0;
    if (s.strh && s.strh->holds(s.strh->data + strh_sample_size, 4)) {
      sample_size = source_.read_le32_at(s.strh->data + strh_sample_size).value_or(0);
    }
    sample_sizes_.push_back(sample_size);
    super_rooms_.push_back(s.indx);
    // A stream without chunks in an extent still names its chunks' id: the
    // one its super index names, in a plain source the usual one.
    TFourCC chunk_id = fourcc("0000");
    if (!opendml_) {
      const auto type = s.strh ? source_.read_fourcc_at(s.strh->data) : std::nullopt;
      const std::string id = two_digits(n) + (type && same_id(*type, fourcc("auds")) ? "wb" : "dc");
      std::memcpy(chunk_id.data(), id.data(), 4);
    }
    if (s.indx && s.indx->holds(s.indx->data + super_chunk_id, 4)) {
      chunk_id = source_.read_fourcc_at(s.indx->data + super_chunk_id).value_or(chunk_id);
    }
    super_ids_.push_back(chunk_id);
  }
  super_.resize(sample_sizes_.size());
  out_riff_pos_ = 0;
  out_movi_pos_ = movi_pos_;
  out_data_start_ = movi_pos_ + 4;
  extent_first_entry_ = first_entry_pos;
}

// ffmpeg keeps a JUNK chunk in each stream list the size of a super index,
// and one in the header list the size of an odml list, for a file that
// outgrows its first RIFF chunk; other muxers keep none.
void TScan::set_up_growth() {
  const auto header = walk_header_list(source_);
  set_up_output_streams(header ? *header : THeaderList{});
  if (!header || header->streams.empty()) return;
  auto whole = [this](const TChunkSpan& junk) {
    return source_.read_le32_at(junk.data - 4) == junk.end - junk.data;
  };
  growth_room_ = true;
  for (std::size_t n = 0; n < header->streams.size(); ++n) {
    const auto& junk = header->streams[n].junk;
    // Two entries at least: the first RIFF chunk and the next.
    const bool room = junk && whole(*junk) && entries_in(junk) >= 2;
    super_rooms_[n] = room ? junk : std::nullopt;
    if (!room) growth_room_ = false;
  }
  // "odml" and a dmlh chunk with its frame count.
  constexpr std::uint64_t least_odml = 4 + chunk_header_size + 4;
  if (!header->dmlh && header->junk && whole(*header->junk) && header->junk->end - header->junk->data >= least_odml) {
    dmlh_room_ = header->junk;
  }
}

std::size_t TScan::source_extent_of(std::uint64_t pos) const {
  return static_cast<std::size_t>(std::upper_bound(extent_starts_.begin(), extent_starts_.end(), pos) -
                                  extent_starts_.begin());
}

// Where a step over an index chunk lands must be the end of the data or a
// chunk the scan knows; else the chunk's size is damaged.
bool TScan::lands_on_known_id(std::uint64_t next) {
  if (next == data_end_ || next == file_size_) return true;
  // The entries of the first RIFF chunk's idx1 name chunk ids too: a size
  // that leads among them runs over the idx1.
  if (opendml_ && next > old_idx1_pos_ && next < old_idx1_end_) return false;
  if (next > data_end_) return false;
  const auto id = source_.read_fourcc_at(next);
  return id && (same_id(*id, id_riff) || classify_id(*id) != TChunkClass::damage);
}

TScan::TOdmlStep TScan::step_over_opendml(std::uint64_t id_pos) {
  // In place what the walk steps over stays where it is: no chunk found
  // after damage may begin inside it.
  auto stepped = [this] {
    position(movi() + rel_pos_);
    if (mode_ == TScanMode::in_place) taken_end_ = std::max(taken_end_, static_cast<std::uint64_t>(movi() + rel_pos_));
    return TOdmlStep::stepped;
  };
  if (same_id(cur_id_, id_riff)) {
    const auto form = source_.read_fourcc_at(id_pos + 8);
    if (!form || !same_id(*form, id_avix)) return TOdmlStep::damaged;
    // Found by the walk where the size fields did not lead (a damaged size).
    const auto at = std::lower_bound(extent_starts_.begin(), extent_starts_.end(), id_pos);
    if (at == extent_starts_.end() || *at != id_pos) {
      extent_starts_.insert(at, id_pos);
      walk_found_extent_ = true;
    }
    rel_pos_ += list_header_size;
    return stepped();
  }
  // The first RIFF chunk's idx1 is followed by the further ones, so the
  // data go on after it, and the first of them is where they do.
  if (same_id(cur_id_, id_idx1) && id_pos == old_idx1_pos_ && !extent_starts_.empty()) {
    rel_pos_ = static_cast<std::int64_t>(old_idx1_end_) - movi();
    return stepped();
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
  if (size && !sound && !continues_at(next) && !known_id_just_after(next)) return TOdmlStep::damaged;
  if (standard_index && size && next <= file_size_) index_chunks_seen_.push_back(id_pos);
  // (So is a stray idx1 there: index data that no longer fit the file.)
  if (!size || next > file_size_) index_cut_at_end_ = id_pos;
  if (next >= file_size_) {
    // An index chunk cut off at the end: no data are missing.
    rel_pos_ = static_cast<std::int64_t>(file_size_) - movi();
    return stepped();
  }
  rel_pos_ = static_cast<std::int64_t>(next) - movi();
  return stepped();
}

bool TScan::enter_output_extent(std::uint64_t pos, std::uint64_t length) {
  const std::size_t extent = source_extent_of(pos);
  if (index_.pos() == extent_first_entry_) {
    // Nothing indexed in it yet: the chunk opens it.
    out_source_extent_ = extent;
    return true;
  }
  // Its index chunks (and the idx1 of the first) must fit in its size field too.
  const std::uint64_t entries = (index_.pos() - extent_first_entry_) / index_entry_size + 1;
  const std::uint64_t per_entry = 8 + (out_riff_pos_ == 0 ? index_entry_size : 0);
  const std::uint64_t indexes =
      entries * per_entry + standard_index_size(0) * sample_sizes_.size() + chunk_header_size + 2;
  const bool full = output_.pos() + length + indexes - out_riff_pos_ - chunk_header_size > riff_size_limit;
  // A new RIFF chunk per extent of the source while the super indexes have
  // room for them; past that, the rest goes together in as few RIFF chunks
  // as their size allows, so that every one stays indexed.
  const bool room_for_another = out_riff_count_ < super_capacity_;
  if ((extent == out_source_extent_ || !room_for_another) && !full) return true;
  if (!opendml_ && out_riff_pos_ == 0) {
    // A plain source's new file at the edge of what idx1 addresses.
    if (!growth_room_) {
      too_large_ = true;
      return false;
    }
    log_message(msg_grows_into_opendml, mk_information);
  }
  close_output_extent();
  open_output_extent();
  out_source_extent_ = extent;
  return true;
}

void TScan::close_output_extent() {
  // (The index's own position may have moved: the finish writes its size.)
  const std::uint64_t entries_end = first_entry_pos + std::uint64_t{entry_count_} * index_entry_size;
  temp_.flush();
  // Index chunks only where a super index can lead to them: in a file whose
  // header has none, readers would walk them as chunks.
  const bool any_room =
      std::any_of(super_rooms_.begin(), super_rooms_.end(), [](const auto& room) { return entries_in(room) > 0; });
  if (any_room) {
    const std::vector<TSuperEntry> indexes = write_standard_indexes(temp_, extent_first_entry_, entries_end,
                                                                    out_movi_pos_, output_, sample_sizes_, super_ids_);
    for (std::size_t n = 0; n < indexes.size(); ++n) super_[n].push_back(indexes[n]);
  }
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
  ++out_riff_count_;
  out_movi_pos_ = at + 20;
  out_data_start_ = at + sizeof head;
}

void TScan::finish_new_opendml_file(std::vector<TFieldWrite> writes) {
  // The data end where they end for a plain file.
  output_.seek(same_id(cur_id_, id_idx1) ? output_.pos() : output_.size());
  close_output_extent();
  restore_head(output_, false);
  const std::uint64_t end = output_.pos();
  if (grown()) {
    convert_header_to_opendml();
    // dmlh is new: the fields are read from the new file's header.
    writes = length_fields(output_).value_or(std::vector<TFieldWrite>{});
  }

  // Each stream's super index lists its index chunks. When a stream's room
  // is too small for them all, every super index is left empty rather than
  // leading players through part of the file; one RIFF chunk needs none.
  std::size_t riff_chunks = 0;
  bool fit = true;
  for (std::size_t n = 0; n < super_.size(); ++n) {
    riff_chunks = std::max(riff_chunks, super_[n].size());
    const auto& room = super_rooms_[n];
    const std::uint64_t entries = entries_in(room);
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
  output_.flush();
  source_.abandon();
  (void)publish_output(true);
}

void TScan::convert_header_to_opendml() {
  for (std::size_t n = 0; n < super_rooms_.size(); ++n) {
    const auto& room = super_rooms_[n];
    if (!room) continue;
    output_.seek(room->data - chunk_header_size);
    output_.write(id_indx.data(), 4);
    // The chunk id the stream's index chunks name, where one has entries.
    for (const TSuperEntry& e : super_[n]) {
      const auto count = output_.read_le32_at(e.offset + 12);
      const auto id = output_.read_fourcc_at(e.offset + 16);
      if (count && *count > 0 && id) {
        super_ids_[n] = *id;
        break;
      }
    }
  }
  if (dmlh_room_) {
    // LIST "odml" holding a dmlh chunk as large as the rest of the room.
    unsigned char head[4 + chunk_header_size];
    std::memcpy(head, id_odml.data(), 4);
    std::memcpy(head + 4, id_dmlh.data(), 4);
    write_le32(head + 8, static_cast<std::uint32_t>(dmlh_room_->end - dmlh_room_->data - sizeof head));
    output_.seek(dmlh_room_->data - chunk_header_size);
    output_.write(id_list.data(), 4);
    output_.seek(dmlh_room_->data);
    output_.write(head, sizeof head);
    const std::vector<unsigned char> zeros(static_cast<std::size_t>(dmlh_room_->end - dmlh_room_->data - sizeof head));
    output_.write(zeros.data(), zeros.size());
  }
}

}  // namespace engine_detail

namespace engine_detail {

std::uint64_t TScan::extent_movi(std::size_t k) const {
  // A further RIFF chunk's movi list follows its 12-byte header.
  return k == 0 ? movi_pos_ : extent_starts_[k - 1] + list_header_size + chunk_header_size;
}

TScan::TSuperVerdict TScan::super_index_verdict(std::size_t n, const std::vector<TChunkRef>& chunks) {
  TSuperVerdict v;
  const auto& room = super_rooms_[n];
  const std::uint64_t capacity = entries_in(room);
  const std::uint64_t used = room ? std::min<std::uint64_t>(source_.read_le32_at(room->data + 4).value_or(0), capacity) : 0;
  if (used == 0) return v;
  std::optional<std::uint64_t> first_difference;
  std::vector<unsigned char> block(block_size);
  for (std::uint64_t k = 0; k < used; ++k) {
    const std::uint64_t entry = room->data + super_index_header_size + 16 * k;
    const auto low = source_.read_le32_at(entry);
    const auto high = source_.read_le32_at(entry + 4);
    const std::uint64_t at = low && high ? (std::uint64_t{*high} << 32) | *low : file_size_;
    // (An offset past the end is never read: the system refuses the largest.)
    if (at + standard_index_size(0) > file_size_ || at > file_size_) {
      v.kind = TSuperVerdict::broken;
      v.at = at;
      return v;
    }
    const auto id = source_.read_fourcc_at(at);
    const auto size = source_.read_le32_at(at + 4);
    const auto count = source_.read_le32_at(at + 12);
    const auto base_low = source_.read_le32_at(at + 20);
    const auto base_high = source_.read_le32_at(at + 24);
    if (!id || !size || !count || !base_low || !base_high || classify_id(*id) != TChunkClass::stream_index ||
        *size < standard_index_size(*count) - chunk_header_size || at + chunk_header_size + *size > file_size_) {
      v.kind = TSuperVerdict::broken;
      v.at = at;
      return v;
    }
    const std::uint64_t base = (std::uint64_t{*base_high} << 32) | *base_low;
    const std::uint64_t end = at + standard_index_size(*count);
    for (std::uint64_t p = at + standard_index_size(0); p < end;) {
      const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(end - p, block.size()));
      const std::size_t got = source_.read_at(p, block.data(), want);
      for (std::size_t j = 0; j + 8 <= got; j += 8) {
        const TChunkRef chunk{base + read_le32(block.data() + j), read_le32(block.data() + j + 4) & 0x7FFFFFFFu};
        if (!first_difference && (v.indexed >= chunks.size() || chunks[v.indexed] != chunk)) {
          first_difference = v.indexed;
        }
        ++v.indexed;
      }
      if (got < want) break;
      p += got;
    }
  }
  if (v.indexed != chunks.size() || first_difference) {
    v.kind = TSuperVerdict::differs;
    v.at = first_difference.value_or(std::min<std::uint64_t>(v.indexed, chunks.size())) + 1;
  } else {
    v.kind = TSuperVerdict::agrees;
  }
  return v;
}

std::uint32_t TScan::check_opendml_indexes() {
  const std::vector<unsigned char>& found = index_.entries();
  const std::size_t found_count = found.size() / index_entry_size;
  std::uint32_t problems = 0;
  for (std::size_t n = 0; n < super_rooms_.size(); ++n) {
    const std::string stream = std::to_string(n);
    // This stream's chunks found: where their data lie, and their sizes.
    std::vector<TChunkRef> chunks;
    for (std::size_t i = 0; i < found_count && i < entry_extents_.size(); ++i) {
      const TIndexEntry e = TIndexEntry::decode(found.data() + i * index_entry_size);
      if (!is_data_id(e.id) || static_cast<std::size_t>(stream_number(e.id)) != n) continue;
      chunks.emplace_back(extent_movi(entry_extents_[i]) + e.offset + chunk_header_size, e.size);
    }
    const TSuperVerdict v = super_index_verdict(n, chunks);
    switch (v.kind) {
      case TSuperVerdict::empty:
        // One RIFF chunk needs no super index: its idx1 covers it.
        if (!extent_starts_.empty()) {
          log_message(msg_odml_no_super_index, mk_warning, stream);
          ++problems;
        }
        break;
      case TSuperVerdict::broken:
        log_message(msg_odml_index_broken, mk_error, stream + " / " + std::to_string(v.at));
        ++problems;
        break;
      case TSuperVerdict::differs:
        log_message(msg_odml_index_differs, mk_error,
                    stream + " / " + std::to_string(v.indexed) + " / " + std::to_string(chunks.size()) + " / " +
                        std::to_string(v.at));
        ++problems;
        break;
      case TSuperVerdict::agrees:
        log_message(msg_odml_index_agrees, mk_information, stream + " / " + std::to_string(v.indexed));
        break;
    }
  }
  return problems;
}

// In place, a file of one RIFF chunk: a super index that no longer leads
// to what the new idx1 lists (its index chunks were damaged, or never
// matched) is emptied, as one RIFF chunk needs none; players would follow it.
std::vector<TFieldWrite> TScan::stale_super_indexes() {
  std::vector<TFieldWrite> writes;
  temp_.flush();
  std::vector<std::vector<TChunkRef>> chunks(super_rooms_.size());
  const std::uint64_t end = first_entry_pos + std::uint64_t{entry_count_} * index_entry_size;
  std::vector<unsigned char> block(block_size / index_entry_size * index_entry_size);
  for (std::uint64_t at = first_entry_pos; at < end;) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(end - at, block.size()));
    const std::size_t got = temp_.read_at(at, block.data(), want);
    for (std::size_t k = 0; k + index_entry_size <= got; k += index_entry_size) {
      const TIndexEntry e = TIndexEntry::decode(block.data() + k);
      if (!is_data_id(e.id) || static_cast<std::size_t>(stream_number(e.id)) >= chunks.size()) continue;
      chunks[static_cast<std::size_t>(stream_number(e.id))].emplace_back(movi_pos_ + e.offset + chunk_header_size, e.size);
    }
    if (got < want) break;
    at += got;
  }
  for (std::size_t n = 0; n < super_rooms_.size(); ++n) {
    const TSuperVerdict v = super_index_verdict(n, chunks[n]);
    if (v.kind == TSuperVerdict::broken || v.kind == TSuperVerdict::differs) writes.push_back({super_rooms_[n]->data + 4, 0});
  }
  return writes;
}

namespace {

// wLongsPerEntry, bIndexSubType, bIndexType, nEntriesInUse and dwChunkId.
constexpr std::size_t index_head_fields = 12;

struct TIndexChunkHead {
  int stream = -1;
  std::uint32_t count = 0;
  std::uint64_t base = 0;
};

// The head of a whole standard index chunk at `at`, or nullopt.
std::optional<TIndexChunkHead> index_chunk_head(TFileIO& file, std::uint64_t at) {
  const auto id = file.read_fourcc_at(at);
  const auto size = file.read_le32_at(at + 4);
  const auto count = file.read_le32_at(at + 12);
  const auto low = file.read_le32_at(at + 20);
  const auto high = file.read_le32_at(at + 24);
  if (!id || !size || !count || !low || !high || classify_id(*id) != TChunkClass::stream_index) return std::nullopt;
  if (*size != standard_index_size(*count) - chunk_header_size) return std::nullopt;
  const TFourCC digits = (*id)[0] == 'i' ? TFourCC{(*id)[2], (*id)[3], 'd', 'c'} : TFourCC{(*id)[0], (*id)[1], 'd', 'c'};
  if (!is_data_id(digits)) return std::nullopt;
  return TIndexChunkHead{stream_number(digits), *count, (std::uint64_t{*high} << 32) | *low};
}

}  // namespace

bool TScan::index_chunk_agrees(std::uint64_t at, std::uint64_t fresh_at, std::size_t extent) {
  const auto old_head = index_chunk_head(source_, at);
  const auto new_head = index_chunk_head(new_indexes_, fresh_at);
  if (!old_head || !new_head || old_head->stream != new_head->stream || old_head->count != new_head->count) return false;
  // Players read the entry layout, the index type and the chunk id from
  // the head: all of them must be what a fresh chunk would hold.
  unsigned char old_fields[index_head_fields], new_fields[index_head_fields];
  if (source_.read_at(at + chunk_header_size, old_fields, sizeof old_fields) != sizeof old_fields ||
      new_indexes_.read_at(fresh_at + chunk_header_size, new_fields, sizeof new_fields) != sizeof new_fields ||
      std::memcmp(old_fields, new_fields, sizeof old_fields) != 0) {
    return false;
  }
  const auto chunk_id = new_indexes_.read_fourcc_at(fresh_at + 16);
  // Key frames follow the keyframe rule; every audio chunk is one anyway.
  const bool video = chunk_id && is_video_id(*chunk_id);
  const std::uint64_t base = extent_movi(extent);
  std::vector<unsigned char> a(block_size), b(block_size);
  const std::uint64_t length = 8ull * old_head->count;
  for (std::uint64_t done = 0; done < length;) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(length - done, a.size()));
    if (source_.read_at(at + standard_index_size(0) + done, a.data(), want) != want ||
        new_indexes_.read_at(fresh_at + standard_index_size(0) + done, b.data(), want) != want) {
      return false;
    }
    for (std::size_t j = 0; j < want; j += 8) {
      const std::uint32_t old_size = read_le32(a.data() + j + 4);
      const std::uint32_t new_size = read_le32(b.data() + j + 4);
      const std::uint32_t mask = video ? 0xFFFFFFFFu : 0x7FFFFFFFu;
      if (old_head->base + read_le32(a.data() + j) != base + read_le32(b.data() + j) ||
          (old_size & mask) != (new_size & mask)) {
        return false;
      }
    }
    done += want;
  }
  return true;
}

// The finish in place of a file of several RIFF chunks. Nothing but index
// data is ever cut or overwritten, and no data chunk moves: standard index
// chunks that agree with the chunks found stay where they are; the others
// are written at the end of the file, in the last extent's movi list, and
// the ones they replace become JUNK chunks of the same size; the super
// indexes are rewritten in their room; idx1 in its own place when the new
// one fits. The writes are ordered so that a repair killed at any instant
// leaves a file the next repair turns into this same result. Every index
// byte is derived from the chunks, so no order between the writes needs a
// sync but one: idx1's smaller size must not reach the disk before the JUNK
// chunk it leads to.
std::optional<std::uint32_t> TScan::finish_in_place_opendml(const std::vector<TFieldWrite>& writes) {
  // Data found where the size fields do not lead, or damage at the very end,
  // cannot be given their place safely here.
  if (walk_found_extent_ || end_ == TScanEnd::search_ran_out || end_ == TScanEnd::chunk_into_index) {
    return msg_further_riff_chunks;
  }
  if (source_.identity() != source_identity_) return msg_file_changed;
  const std::size_t streams = sample_sizes_.size();
  const std::size_t extents = extent_starts_.size() + 1;
  temp_.flush();
  const std::uint64_t entries_end = first_entry_pos + std::uint64_t{entry_count_} * index_entry_size;
  std::vector<std::uint64_t> begin = extent_entry_begin_;
  begin.resize(extents + 1, entries_end);
  begin[extents] = entries_end;

  // The standard index chunks this file should have, written aside.
  if (!new_indexes_.create_temp(temp_folder(), std::string(temp_odml_index_prefix))) throw TIoError(true, errno, "temporary file");
  std::vector<std::vector<TSuperEntry>> fresh(extents);
  for (std::size_t k = 0; k < extents; ++k) {
    fresh[k] = write_standard_indexes(temp_, begin[k], begin[k + 1], extent_movi(k), new_indexes_, sample_sizes_, super_ids_);
  }
  new_indexes_.flush();

  // Which old chunks stay, which become JUNK, which new ones are appended.
  std::vector<std::vector<std::optional<std::uint64_t>>> kept(extents, std::vector<std::optional<std::uint64_t>>(streams));
  std::vector<std::uint64_t> to_junk;
  for (const std::uint64_t at : index_chunks_seen_) {
    const auto head = index_chunk_head(source_, at);
    bool keep = false;
    if (head && static_cast<std::size_t>(head->stream) < streams) {
      // The extent it indexes, by the data its first entry leads to.
      const auto first = source_.read_le32_at(at + standard_index_size(0));
      const std::uint64_t lands = head->count > 0 && first ? head->base + *first : head->base;
      const std::size_t k = source_extent_of(lands);
      const auto n = static_cast<std::size_t>(head->stream);
      keep = !kept[k][n] && index_chunk_agrees(at, fresh[k][n].offset, k);
      if (keep) kept[k][n] = at;
    }
    if (!keep) to_junk.push_back(at);
  }

  // Where appended chunks go: after a chunk cut off at the end (made a JUNK
  // chunk, as nothing can index it), or over an index chunk cut off there.
  std::uint64_t append_at = file_size_;
  std::optional<std::uint64_t> cut_chunk;
  // An idx1 the last RIFF chunk ends in indexes nothing of a long recording
  // (its own idx1 closes the first RIFF chunk): the new index chunks go over
  // it, or it becomes a JUNK chunk.
  const bool stale_idx1_at_end = end_ == TScanEnd::old_index && cur_id_pos_ < file_size_;
  if (index_cut_at_end_) {
    append_at = *index_cut_at_end_;
  } else if (stale_idx1_at_end) {
    append_at = cur_id_pos_;
  } else if (end_ == TScanEnd::cut_off_chunk && end_chunk_pos_ < file_size_) {
    cut_chunk = end_chunk_pos_;
    append_at = std::max(file_size_, end_chunk_pos_ + chunk_header_size);
  }
  const bool pad = append_at % 2 != 0;
  std::uint64_t end = append_at + (pad ? 1 : 0);
  std::vector<std::vector<TSuperEntry>> super(streams);
  std::vector<std::pair<std::uint64_t, TSuperEntry>> appended;  // (where, what of new_indexes_)
  for (std::size_t k = 0; k < extents; ++k) {
    for (std::size_t n = 0; n < streams; ++n) {
      TSuperEntry e = fresh[k][n];
      if (kept[k][n]) {
        e.offset = *kept[k][n];
      } else {
        appended.emplace_back(end, e);
        e.offset = end;
        end += e.size;
      }
      super[n].push_back(e);
    }
  }
  for (std::size_t n = 0; n < streams; ++n) {
    const auto& room = super_rooms_[n];
    const std::uint64_t capacity = entries_in(room);
    if (super[n].size() > capacity) return msg_further_riff_chunks;
  }
  const bool grows = !appended.empty();
  // Without new chunks, a chunk cut off at the end still becomes a JUNK
  // chunk to the end (its header completed when it is cut off too).
  if (!grows) end = cut_chunk ? std::max(file_size_, *cut_chunk + chunk_header_size) : file_size_;

  // The legacy index of the first RIFF chunk, in its own place when it fits.
  // One whose head damage wiped out gets the place it had, when all of that
  // place is damage the walk stepped over: nothing there is data.
  std::uint64_t idx1_pos = old_idx1_pos_;
  std::uint64_t idx1_end = old_idx1_end_;
  const bool idx1_lost = old_idx1_pos_ == 0 && lost_idx1_room_ &&
                         std::any_of(damaged_stretches_.begin(), damaged_stretches_.end(), [&](const TStretch& d) {
                           return d.start <= lost_idx1_room_->start && lost_idx1_room_->end <= d.end;
                         });
  if (idx1_lost) {
    idx1_pos = lost_idx1_room_->start;
    idx1_end = lost_idx1_room_->end;
  }
  const std::uint64_t legacy_bytes = begin[1] - first_entry_pos;
  // Its room ends with the first RIFF chunk, whatever its size field says.
  const std::uint64_t old_legacy = idx1_pos != 0 ? idx1_end - idx1_pos - chunk_header_size : 0;
  const bool legacy_fits =
      idx1_pos != 0 && (legacy_bytes == old_legacy || legacy_bytes + chunk_header_size <= old_legacy);
  // Without one, players of the first RIFF chunk alone could not seek and
  // an old one would disagree with the data: only a new file has room.
  if (!legacy_fits) return msg_further_riff_chunks;
  const bool legacy_size_differs =
      idx1_lost || source_.read_le32_at(idx1_pos + 4) != std::optional<std::uint32_t>(legacy_bytes);

  source_.set_write_buffer(block_size);
  source_.watch_size(file_size_);
  // A full disk or a size limit shows here, before anything changes.
  auto rewrite = [this](std::uint64_t at) {
    unsigned char field[4];
    if (source_.read_at(at, field, 4) == 4) {
      source_.seek(at);
      source_.write(field, 4);
    }
  };
  for (const TFieldWrite& w : writes) rewrite(w.offset);
  rewrite(extent_starts_.back() + 4);
  source_.flush();
  if (end > file_size_) source_.reserve(end);
  source_size_before_finish_ = file_size_;

  // 0. Damaged places become JUNK chunks. What the walk steps over inside
  // one (a further RIFF chunk's headers, an index chunk it took) stays, and
  // the bytes on either side of it become JUNK chunks of their own.
  for (const TStretch& d : damaged_stretches_) {
    if (d.end > file_size_) continue;
    std::vector<TStretch> walked;
    for (const std::uint64_t r : extent_starts_) {
      if (r < d.start || r >= d.end) continue;
      // Its movi list's header too, where it is one.
      const auto list = source_.read_fourcc_at(r + list_header_size);
      const auto movi = source_.read_fourcc_at(r + list_header_size + 8);
      const bool movi_list = list && movi && same_id(*list, id_list) && same_id(*movi, id_movi);
      walked.push_back({r, r + list_header_size + (movi_list ? list_header_size : 0)});
    }
    for (const std::uint64_t at : index_chunks_seen_) {
      const auto size = source_.read_le32_at(at + 4);
      if (size && at >= d.start && at < d.end) walked.push_back({at, at + chunk_header_size + padded_size(*size)});
    }
    // (The idx1's place takes the new one, also a lost one's.)
    if (idx1_pos != 0 && d.start <= idx1_pos && idx1_end <= d.end) walked.push_back({idx1_pos, idx1_end});
    std::sort(walked.begin(), walked.end(), [](const TStretch& a, const TStretch& b) { return a.start < b.start; });
    std::uint64_t from = d.start;
    for (const TStretch& k : walked) {
      write_junk_header(from, k.start);
      from = std::max(from, k.end);
    }
    // (One that ends where the index chunks are appended after a pad byte
    // takes the pad byte in, so that a walk over it lands on them.)
    const std::uint64_t end_with_pad = grows && pad && d.end == append_at ? d.end + 1 : d.end;
    if (from < d.end) write_junk_header(from, end_with_pad);
  }

  if (stale_idx1_at_end && !grows) write_junk_header(cur_id_pos_, file_size_);
  if (cut_chunk && !grows) write_junk_header(*cut_chunk, end);
  // 1. The new standard index chunks, after what the end holds now.
  if (grows) {
    if (cut_chunk) {
      unsigned char junk[chunk_header_size];
      std::memcpy(junk, id_junk.data(), 4);
      write_le32(junk + 4, static_cast<std::uint32_t>(append_at + (pad ? 1 : 0) - *cut_chunk - chunk_header_size));
      source_.seek(*cut_chunk);
      source_.write(junk, sizeof junk);
    }
    source_.seek(append_at);
    if (pad) {
      const unsigned char zero = 0;
      source_.write(&zero, 1);
    }
    for (const auto& [where, e] : appended) {
      for (std::uint64_t done = 0; done < e.size;) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(e.size - done, block_.size()));
        const std::size_t got = new_indexes_.read_at(e.offset + done, block_.data(), want);
        source_.write(block_.data(), got);
        if (got < want) throw TIoError(false, EIO, new_indexes_.path());
        done += got;
      }
    }
  }
  // 2. The chunks they replace become JUNK chunks of the same size.
  for (const std::uint64_t at : to_junk) {
    source_.seek(at);
    source_.write(id_junk.data(), 4);
    // (The last one before the appended chunks takes their pad byte in, and
    // one of an odd size the pad byte after it: a walk steps over a JUNK
    // chunk's size as it stands.)
    const auto size = source_.read_le32_at(at + 4);
    if (size && (*size % 2 != 0 || (grows && pad && at + chunk_header_size + *size == append_at))) {
      unsigned char field[4];
      write_le32(field, *size + 1);
      source_.seek(at + 4);
      source_.write(field, sizeof field);
    }
  }
  // 3. The super indexes.
  for (std::size_t n = 0; n < streams; ++n) {
    const auto& room = super_rooms_[n];
    if (room) (void)write_super_index(source_, room->data, room->end - room->data, super[n], super_ids_[n]);
  }
  // 4. idx1: a JUNK chunk over what the new one leaves of it, the entries,
  //    and its size last, so that until then the old size steps over it all.
  //    (A lost one's id after the size.)
  if (legacy_fits) {
    const std::uint64_t rest = old_legacy - legacy_bytes;
    if (rest > 0) {
      unsigned char junk[chunk_header_size];
      std::memcpy(junk, id_junk.data(), 4);
      write_le32(junk + 4, static_cast<std::uint32_t>(rest - chunk_header_size));
      source_.seek(idx1_pos + chunk_header_size + legacy_bytes);
      source_.write(junk, sizeof junk);
    }
    source_.seek(idx1_pos + chunk_header_size);
    for (std::uint64_t at = first_entry_pos; at < begin[1];) {
      const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(begin[1] - at, block_.size()));
      const std::size_t got = temp_.read_at(at, block_.data(), want);
      source_.write(block_.data(), got);
      if (got < want) break;
      at += got;
    }
    if (legacy_size_differs) {
      source_.flush();
      source_.sync();
      unsigned char field[4];
      write_le32(field, static_cast<std::uint32_t>(legacy_bytes));
      source_.seek(idx1_pos + 4);
      source_.write(field, sizeof field);
    }
    // A lost one's id last: until it is there, the place is the damage it was.
    if (idx1_lost) {
      source_.seek(idx1_pos);
      source_.write(id_idx1.data(), 4);
    }
  }
  // 5. The last extent's sizes (also when an earlier run was stopped before
  //    them) and the header's counts.
  const std::uint64_t riff = extent_starts_.back();
  const std::uint64_t last_movi = extent_movi(extents - 1);
  if (source_.read_le32_at(riff + 4) != end - riff - chunk_header_size) {
    put_field(source_, riff + 4, end - riff - chunk_header_size);
  }
  if (source_.read_le32_at(last_movi - 4) != end - last_movi) put_field(source_, last_movi - 4, end - last_movi);
  for (const TFieldWrite& w : writes) put_field(source_, w.offset, w.value);
  source_.seek(end);
  if (grows && source_.size() > end) source_.truncate(end);
  source_size_before_finish_.reset();
  source_.check_size();
  source_.close();
  new_indexes_.discard();
  return std::nullopt;
}

}  // namespace engine_detail
