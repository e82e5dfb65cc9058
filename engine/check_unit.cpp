// Check for Errors and Strip Index: a read-only diagnosis over the repair's
// own chunk walk, and the removal of a trailing index.
#include <algorithm>
#include <cstring>
#include <optional>

#include "engine/algorithm_unit.h"
#include "platform/message_ids.h"
#include "scan.h"

namespace engine_detail {

int TScan::run_check() {
  log_message(msg_checking, mk_information, path_);
  show_progress(0);
  try {
    if (set_up()) return check_failed;
    if (!scan()) {
      log_message(msg_stopped, mk_warning);
      show_progress(0);
      report_sink()->file_stopped();
      return check_failed;
    }
    return finish_check();
  } catch (const TIoError& e) {
    log_io_error(e);
    return check_failed;
  }
}

// Whether the file holds exactly `index` at `at` and ends right after it.
bool TScan::file_holds_index(std::uint64_t at, const std::vector<unsigned char>& index) {
  if (at + index.size() != file_size_) return false;
  std::vector<unsigned char> bytes(index.size());
  return source_.read_at(at, bytes.data(), bytes.size()) == bytes.size() && bytes == index;
}

int TScan::finish_check() {
  const std::vector<unsigned char>& found = index_.entries();
  const std::uint64_t found_count = found.size() / index_entry_size;
  // A long recording's legacy index covers its first RIFF chunk, whose movi
  // list ends where its size field says.
  const bool extents = opendml_ && !extent_starts_.empty();
  const std::uint64_t legacy_count =
      extents ? static_cast<std::uint64_t>(std::find_if(entry_extents_.begin(), entry_extents_.end(),
                                                        [](std::uint32_t e) { return e != 0; }) -
                                           entry_extents_.begin())
              : found_count;
  const std::uint64_t list_size = extents ? old_list_size_ : in_place_list_size();
  const std::uint64_t list_end = movi_pos_ + list_size;
  log_message(msg_movi_begins, mk_plain, std::to_string(movi_pos_));
  log_message(msg_movi_ends, mk_plain, std::to_string(list_end));

  std::uint32_t problems = damage_count_;
  // A RIFF header that was lost (the warning said so when the file was opened).
  if (!source_.head_overlay().empty()) ++problems;
  if (end_ == TScanEnd::cut_off_chunk) {
    log_message(msg_chunk_cut_off, mk_warning, std::to_string(end_chunk_pos_));
    ++problems;
  } else if (end_ == TScanEnd::chunk_into_index) {
    log_message(msg_chunk_into_index, mk_warning, std::to_string(end_chunk_pos_));
    ++problems;
  }
  log_message(msg_chunks_found, mk_plain, std::to_string(found_count));

  // The old index, when the file ends in a real one: where the old-index
  // scan found it, or where the chunk walk met it (an index of fewer than
  // two entries does not look like one to the scan from the end).
  std::optional<std::uint64_t> old_at;
  if (extents) {
    if (old_idx1_pos_ != 0 && old_index_test_passes(source_, old_idx1_pos_)) old_at = old_idx1_pos_;
  } else if (end_ == TScanEnd::old_index) {
    old_at = cur_id_pos_;
  } else if (data_end_ < file_size_ && old_index_test_passes(source_, data_end_)) {
    old_at = data_end_;
  }
  const bool has_old_index = old_at.has_value();
  if (!has_old_index) {
    log_message(msg_no_old_index, mk_warning);
    ++problems;
  } else {
    const std::uint64_t old_pos = *old_at;
    // A size field cut off by the end of the file declares no entries.
    const std::optional<std::uint32_t> size_field = source_.read_le32_at(old_pos + 4);
    const std::uint64_t declared = size_field.value_or(0) / index_entry_size;
    const std::uint64_t present = (file_size_ - std::min(file_size_, old_pos + 8)) / index_entry_size;
    const std::uint64_t old_count = std::min(declared, present);
    log_message(msg_old_index_at, mk_plain, std::to_string(old_pos));
    log_message(msg_old_index_entries, mk_plain, std::to_string(old_count));
    // The entries present may all agree, but players trust the size, and
    // Fix writes it anew.
    if (size_field && old_pos + chunk_header_size + *size_field > file_size_) {
      log_message(msg_index_past_end, mk_error, std::to_string(old_pos) + " / " + std::to_string(*size_field));
      ++problems;
    }

    // Some muxers (GStreamer's) give offsets from the start of the file, not
    // from "movi"; readers tell by the first entry, and so does the check.
    std::uint64_t base = 0;
    unsigned char first[index_entry_size];
    if (old_count > 0 && legacy_count > 0 &&
        source_.read_at(old_pos + 8, first, sizeof first) == sizeof first &&
        TIndexEntry::decode(first).offset == movi_pos_ + TIndexEntry::decode(found.data()).offset) {
      base = movi_pos_;
      log_message(msg_absolute_offsets, mk_plain);
    }

    std::optional<std::uint64_t> first_difference;
    bool marks_key_frame = false;
    bool has_video = false;
    // Entries of "rec " lists name no chunk the walk indexes: they are
    // compared with nothing and not counted.
    std::uint64_t chunk_entries = 0;
    std::vector<unsigned char> old(block_size / index_entry_size * index_entry_size);
    for (std::uint64_t i = 0; i < old_count;) {
      const std::uint64_t batch = std::min<std::uint64_t>(old_count - i, old.size() / index_entry_size);
      const std::size_t length = static_cast<std::size_t>(batch * index_entry_size);
      if (source_.read_at(old_pos + 8 + i * index_entry_size, old.data(), length) != length) break;
      for (std::uint64_t k = 0; k < batch; ++k, ++i) {
        const TIndexEntry e = TIndexEntry::decode(old.data() + k * index_entry_size);
        if (same_id(e.id, id_rec)) continue;
        const std::uint64_t n = chunk_entries++;
        if (is_video_id(e.id)) {
          has_video = true;
          if ((e.flags & flag_keyframe) != 0) marks_key_frame = true;
        }
        if (!first_difference && n < legacy_count) {
          const TIndexEntry f = TIndexEntry::decode(found.data() + n * index_entry_size);
          // The flags are the index's own business; id, offset and size
          // must match the chunk.
          if (!same_id(e.id, f.id) || e.offset != base + f.offset || e.size != f.size) {
            first_difference = n;
          }
        }
      }
    }
    const bool count_differs = chunk_entries != legacy_count;
    if (count_differs) {
      log_message(msg_index_count_differs, mk_error,
                  std::to_string(chunk_entries) + " / " + std::to_string(legacy_count));
    }
    if (first_difference) {
      log_message(msg_index_entry_differs, mk_error, std::to_string(*first_difference + 1));
    }
    if (count_differs || first_difference) {
      ++problems;
    } else {
      log_message(msg_index_agrees, mk_information);
    }
    if (has_video && !marks_key_frame) {
      log_message(msg_no_key_frames, mk_warning);
      ++problems;
    }
  }

  if (opendml_) problems += check_opendml_indexes();

  if (problems == 0) {
    log_message(msg_no_problems, mk_information);
  } else {
    log_message(msg_problems, mk_error, std::to_string(problems));
  }

  // What an in-place repair would write: the list size, a pad byte after an
  // odd end, the new index, and nothing after it.
  std::vector<unsigned char> index(8);
  std::memcpy(index.data(), id_idx1.data(), 4);
  write_le32(index.data() + 4, static_cast<std::uint32_t>(found.size()));
  index.insert(index.end(), found.begin(), found.end());
  const bool same_list_size = source_.read_le32_at(movi_pos_ - 4) == list_size;
  bool same = same_list_size;
  std::uint64_t at = list_end;
  if (same && list_end % 2 != 0) {
    unsigned char pad = 1;
    same = source_.read_at(list_end, &pad, 1) == 1 && pad == 0;
    ++at;
  }
  same = same && file_holds_index(at, index);
  // A file of several RIFF chunks keeps its indexes when they all agree.
  if (extents) same = problems == 0;
  log_message(same ? msg_fix_would_keep : msg_fix_would_change, mk_plain);
  show_progress(100);
  return static_cast<int>(problems);
}

}  // namespace engine_detail

using namespace engine_detail;

int check_file(const std::string& path) {
  TScan check(path, TScanMode::check);
  const int result = check.run_check();
  report_sink()->damaged_places(check.damage_count());
  return result;
}

int strip_index(const std::string& path) {
  log_message(msg_stripping, mk_information, path);
  TFileIO file;
  try {
    // Nothing of the stream headers is read: no least size.
    if (!open_avi(file, path, TAccess::read_write, 0)) return strip_kept;
    // The repair's lock: a repair in place, or one reading the file for a
    // new one, must not see the index cut away under it.
    if (!file.try_lock(true)) {
      log_message(msg_file_busy, mk_error, path);
      file.abandon();
      return strip_kept;
    }
    const auto movi = require_movi_list(file, path);
    if (!movi) return strip_kept;
    const std::uint64_t q = locate_old_index(file);
    if (q == 0 || q < movi->movi_pos + 4) {
      log_message(msg_no_index_to_strip, mk_warning);
      return strip_kept;
    }
    // Nothing but the index is ever cut away.
    if (!only_old_index_from(file, q)) {
      log_message(msg_index_not_strippable, mk_warning);
      return strip_kept;
    }
    const auto old_riff = file.read_le32_at(riff_size_offset);
    if (!old_riff) return strip_kept;
    unsigned char riff[4];
    write_le32(riff, static_cast<std::uint32_t>(q - 8));
    file.seek(riff_size_offset);
    file.write(riff, 4);
    file.flush();
    try {
      file.truncate(q);
    } catch (const TIoError&) {
      // Not half done: the RIFF size goes back with the index still there.
      write_le32(riff, *old_riff);
      file.seek(riff_size_offset);
      file.write(riff, 4);
      file.flush();
      throw;
    }
    file.close();
    log_message(msg_index_removed, mk_plain, std::to_string(q));
    return strip_removed;
  } catch (const TIoError& e) {
    log_io_error(e);
    return strip_kept;
  }
}
