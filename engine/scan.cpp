// The chunk walk over the movi data, damage recovery, and the writing of the
// new index in new-file or in-place mode.
#include "scan.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/lang.h"
#include "engine/algorithm_unit.h"
#include "engine/header_fields.h"
#include "engine/lost_header.h"
#include "engine/opendml.h"
#include "engine/reporting.h"
#include "platform/message_ids.h"

namespace engine_detail {

namespace {

// The scans read chunk headers and a few data bytes; the data are copied by
// the kernel. Every header inside one block is served from it, so a read
// costs one system call per block rather than per video frame, and a chunk
// larger than the block is stepped over by the read at its end. On a VM the
// calls cost, not the bytes (measured: 1 KiB reads walk the 138 MiB test file
// in about three times the time of 256 KiB ones).
constexpr std::size_t header_read_cache = 256 * 1024;
constexpr std::size_t output_write_buffer = 256 * 1024;
constexpr std::size_t temp_write_buffer = 64 * 1024;

}  // namespace

std::string temp_folder() {
  const char* dir = std::getenv("TMPDIR");
  return (dir != nullptr && *dir != '\0') ? std::string(dir) : std::string("/tmp");
}

// Appended rather than " " + message(k): GCC 12 at -O3 warns (-Wrestrict)
// about the inlined operator+ on a one-character literal.
void log_message(std::uint32_t k, std::uint8_t kind) {
  std::string line(1, ' ');
  line += message(report_sink()->wording(k));
  log_line(line, kind, false);
}

void log_message(std::uint32_t k, std::uint8_t kind, const std::string& tail) {
  std::string line(1, ' ');
  line += message(report_sink()->wording(k));
  line += ' ';
  line += tail;
  log_line(line, kind, false);
}

std::string two_digits(std::uint64_t v) {
  std::string s = std::to_string(v);
  return s.size() < 2 ? "0" + s : s;
}

std::string hex8(std::uint64_t v) {
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "%08llX", static_cast<unsigned long long>(v));
  return buffer;
}

// Visits the top-level chunks after offset 12 by their size fields, without
// rounding and without looking at their ids, until the type "movi".
std::optional<TMoviList> find_movi_list(TFileIO& file) {
  std::uint64_t p = header_list_size_offset;
  std::uint32_t s = 0;
  for (;;) {
    p += s;
    const auto size = file.read_le32_at(p);
    const auto type = file.read_fourcc_at(p + 4);
    if (!size || !type) return std::nullopt;
    s = *size;
    p += chunk_header_size;
    if (same_id(*type, id_movi)) break;
  }
  return TMoviList{p - 4, s};
}

bool old_index_test_passes(TFileIO& file, std::uint64_t id_pos) {
  unsigned char b[2];
  if (file.read_at(id_pos + old_index_test_offset, b, 2) != 2) return true;
  if ((b[0] == 'd' && (b[1] == 'c' || b[1] == 'b')) || (b[0] == 'w' && b[1] == 'b')) return true;
  // Capture programs that group each frame's chunks in "rec " lists give
  // every list an entry of its own, ahead of its chunks.
  const auto first = file.read_fourcc_at(id_pos + chunk_header_size);
  return first && same_id(*first, id_rec);
}

bool only_old_index_from(TFileIO& file, std::uint64_t q) {
  const std::uint64_t size = file.size();
  if (q >= size) return true;
  const auto id = file.read_fourcc_at(q);
  if (!id || !same_id(*id, id_idx1)) return false;
  if (!old_index_test_passes(file, q)) return false;
  const auto index_size = file.read_le32_at(q + 4);
  if (!index_size) return true;  // its header alone already runs to the end
  return q + chunk_header_size + *index_size >= size;
}

std::uint64_t TIndexStore::pos() const { return file_ != nullptr ? file_->pos() : first_entry_pos + memory_.size(); }

void TIndexStore::append(const TIndexEntry& entry) {
  unsigned char bytes[index_entry_size];
  entry.encode(bytes);
  if (file_ != nullptr) {
    file_->write(bytes, sizeof bytes);
  } else {
    memory_.insert(memory_.end(), bytes, bytes + sizeof bytes);
  }
}

void TIndexStore::cut(std::uint64_t pos) {
  if (file_ != nullptr) {
    file_->truncate(pos);
    file_->seek(pos);
  } else {
    memory_.resize(static_cast<std::size_t>(pos - first_entry_pos));
  }
}

TScan::TScan(std::string path, TScanMode mode, bool careful, std::string output_folder, THeaderRebuild rebuild)
    : path_(std::move(path)),
      mode_(mode),
      rebuild_(std::move(rebuild)),
      block_(block_size),
      output_folder_(std::move(output_folder)),
      careful_(careful) {}

// Small aligned steps: a bad sector is read once (and once more where the
// failure began), never block after block again.
constexpr std::uint64_t unreadable_step = 4096;

TScan::TStretch TScan::step_over_unreadable(std::uint64_t offset) {
  unsigned char probe[unreadable_step];
  auto readable = [&](std::uint64_t at) {
    try {
      (void)source_.read_at(at, probe, static_cast<std::size_t>(std::min<std::uint64_t>(unreadable_step, file_size_ - at)));
      return true;
    } catch (const TIoError& e) {
      if (!e.is_unreadable()) throw;
      return false;
    }
  };
  std::uint64_t start = offset / unreadable_step * unreadable_step;
  // The failed read began here; the bad block may lie further on in it.
  while (start < file_size_ && readable(start) && readable(start)) start += unreadable_step;
  std::uint64_t end = start;
  while (end < file_size_ && !readable(end)) end += unreadable_step;
  start = std::max(start, offset);
  end = std::min(end, file_size_);
  log_message(msg_unreadable_stepped_over, mk_error, std::to_string(start) + " / " + std::to_string(end - start));
  return {start, end};
}

void TScan::copy_read(std::uint64_t from, std::uint64_t length) {
  for (std::uint64_t done = 0; done < length;) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(length - done, block_.size()));
    const std::size_t got = source_.read_at(from + done, block_.data(), want);
    if (got < want) throw TIoError::ended_early(path_);
    output_.write(block_.data(), got);
    done += got;
  }
}

void log_io_error(const TIoError& e) {
  if (e.source_ended_early()) {
    log_message(msg_source_ended_early, mk_error, e.path());
    return;
  }
  const std::uint32_t k = e.is_write() ? msg_write_error : msg_read_error;
  log_message(k, mk_error, e.path() + " (" + std::strerror(e.error_number()) + ")");
}

int TScan::run_repair() {
  damage_count_ = 0;
  show_progress(0);
  if (!careful_) log_message(msg_repair_started, mk_information);
  try {
    if (auto refused = set_up()) return *refused;
    if (!scan()) return stop();
    if (too_large_) {
      // Found at the chunk that would not fit: the new file was never named.
      log_message(msg_no_room_to_grow, mk_error, path_);
      clean_up_failure();
      return fix_not_repaired;
    }
    if (end_ == TScanEnd::cut_off_chunk || end_ == TScanEnd::chunk_into_index) {
      // The chunk's bytes up to where the data end get no entry.
      const std::uint64_t end = end_ == TScanEnd::chunk_into_index ? data_end_ : file_size_;
      log_message(msg_cut_off_left_out, mk_plain,
                  std::to_string(end_chunk_pos_) + " / " + std::to_string(end - std::min(end, end_chunk_pos_)));
    }
    return finish_repair();
  } catch (const TIoError& e) {
    if (e.is_unreadable() && new_file() && !careful_) {
      // A failing medium: read again, every byte before it is copied.
      log_message(msg_read_again_carefully, mk_information);
      clean_up_failure();
      return read_again;
    }
    if (e.changed_by_others()) {
      // What another program wrote stays: nothing is cut back on the way out.
      source_size_before_finish_.reset();
      log_message(msg_changed_during_finish, mk_error, path_);
    } else {
      log_io_error(e);
      if (e.is_unreadable()) log_message(msg_unreadable_advice, mk_plain);
    }
    clean_up_failure();
    return fix_not_repaired;
  } catch (const std::exception& e) {
    // Out of memory, say: the same clean-up as for a failed read or write.
    log_message(msg_operation_failed, mk_error, path_ + ": " + e.what());
    clean_up_failure();
    return fix_not_repaired;
  }
}

void TScan::clean_up_failure() {
  if (source_size_before_finish_ && source_.is_open()) {
    // What was appended goes again; an index cut off there is one the next
    // repair takes as an old index, so the file is never left worse.
    try {
      if (source_.size() > *source_size_before_finish_) source_.truncate(*source_size_before_finish_);
    } catch (const TIoError&) {
    }
  }
  // The output first: its copies still in flight read from the source.
  output_.discard();
  source_.abandon();
  temp_.discard();
  new_indexes_.discard();
}

// A lost RIFF header is taken as lost, rather than the file as no AVI, when
// the header list is where it belongs and the walk from it meets the movi
// list this near the start.
constexpr std::uint64_t headless_search_limit = 1 << 20;

// Shows the file with a RIFF header made anew; false (and no overlay) when
// the rest of the header is not there either.
static bool take_headless(TFileIO& file) {
  // A RIFF header that is there, followed by something other than the
  // header list, is no lost header: such a file is no AVI this reads.
  const auto riff = file.read_fourcc_at(0);
  const auto form = file.read_fourcc_at(avi_signature_offset);
  if (riff && form && same_id(*riff, id_riff) && std::memcmp(form->data(), avi_signature.data(), 4) == 0) return false;
  const auto list_type = file.read_fourcc_at(header_list_offset + 8);
  if (!list_type || !same_id(*list_type, id_hdrl)) return false;
  std::vector<unsigned char> head(header_list_offset + 4);
  std::memcpy(head.data(), id_riff.data(), 4);
  write_le32(head.data() + 4, static_cast<std::uint32_t>(std::min(file.size(), max_riff_size + 8) - chunk_header_size));
  std::memcpy(head.data() + 8, avi_signature.data(), avi_signature.size());
  file.set_head_overlay(std::move(head));
  const auto movi = find_movi_list(file);
  // (Not a long recording: where its first RIFF chunk ends is lost with the header.)
  if (movi && movi->movi_pos < headless_search_limit && !is_opendml(file)) return true;
  file.set_head_overlay({});
  return false;
}

bool open_avi(TFileIO& file, const std::string& path, TAccess access, std::uint64_t least_size, bool headless,
              const THeaderRebuild* rebuild) {
  const bool opened = access == TAccess::read ? file.open_read(path) : file.open_read_write(path);
  if (!opened) {
    log_message(msg_cannot_open, mk_error);
    return false;
  }
  unsigned char signature[8];
  const std::size_t got = file.read_at(avi_signature_offset, signature, sizeof signature);
  bool rebuilt = false;
  if (got != sizeof signature || std::memcmp(signature, avi_signature.data(), sizeof signature) != 0) {
    if (headless && take_headless(file)) {
      log_message(msg_riff_header_lost, mk_warning, path);
    } else {
      const TRebuildOutcome outcome = rebuild != nullptr && rebuild->allowed
                                          ? read_behind_new_header(file, path, *rebuild)
                                          : TRebuildOutcome::no_data;
      if (outcome != TRebuildOutcome::rebuilt) {
        if (outcome == TRebuildOutcome::no_data) {
          log_line(path + " " + message(msg_not_avi), mk_error, false);
          report_sink()->refused_as_no_avi(path);
        }
        file.abandon();
        return false;
      }
      rebuilt = true;
    }
  }
  // A header list of its own says more of this file than any reference.
  if (!rebuilt && rebuild != nullptr && rebuild->allowed && !rebuild->reference.empty()) {
    log_message(msg_reference_not_used, mk_plain, rebuild->reference);
  }
  // Plain files end where an idx1 offset can reach; the OpenDML form
  // addresses its extents with 64-bit offsets.
  if (file.size() >= max_source_size && !is_opendml(file)) {
    log_message(msg_too_large, mk_error, path);
    file.abandon();
    return false;
  }
  if (file.size() < least_size) {
    log_message(msg_too_short, mk_error, path);
    file.abandon();
    return false;
  }
  return true;
}

std::optional<TMoviList> require_movi_list(TFileIO& file, const std::string& path) {
  auto movi = find_movi_list(file);
  if (!movi) log_message(msg_no_movi, mk_error, path);
  return movi;
}

std::optional<int> TScan::set_up() {
  const TAccess access = mode_ == TScanMode::in_place ? TAccess::read_write : TAccess::read;
  // Big enough for the first stream's dwScale and dwRate, read below.
  if (!open_avi(source_, path_, access, dw_rate_offset + 4, true, new_file() ? &rebuild_ : nullptr)) {
    return fix_not_repaired;
  }
  file_size_ = source_.size();
  if (mode_ != TScanMode::check) {
    // Two repairs of one file never interleave; a repair in place also
    // waits for no one reading the file for a new one.
    if (!source_.try_lock(mode_ == TScanMode::in_place)) {
      log_message(msg_file_busy, mk_error, path_);
      source_.abandon();
      return fix_not_repaired;
    }
    source_identity_ = source_.identity();
  }

  if (mode_ != TScanMode::check) {
    if (!temp_.create_temp(temp_folder(), std::string(temp_index_prefix))) {
      log_message(msg_no_temp_file, mk_error);
      source_.abandon();
      return fix_not_repaired;
    }
    temp_.set_write_buffer(temp_write_buffer);
    index_.use_file(&temp_);
  }

  if (new_file()) {
    output_path_ = fixed_name(path_, output_folder_);
    // A source that is a link to its own "Fixed." name (or another name of
    // it) would be replaced by its copy: the only copy of the data.
    struct stat named {};
    if (::stat(output_path_.c_str(), &named) == 0 && static_cast<std::uint64_t>(named.st_dev) == source_identity_.device &&
        static_cast<std::uint64_t>(named.st_ino) == source_identity_.inode) {
      log_message(msg_output_is_source, mk_error, output_path_);
      clean_up_failure();
      return fix_not_repaired;
    }
    // A folder under that name cannot be replaced by the new file.
    struct stat taken {};
    if (::lstat(output_path_.c_str(), &taken) == 0 && S_ISDIR(taken.st_mode)) {
      log_message(msg_no_output_file, mk_error);
      clean_up_failure();
      return fix_not_repaired;
    }
    // Written without a name (else under a private one) beside it and named
    // when complete, so the "Fixed." name never holds a half-written file or
    // another run's. The private name is cut to fit wherever the "Fixed." one does.
    const std::string::size_type slash = output_path_.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string(".") : output_path_.substr(0, slash);
    const std::string base = slash == std::string::npos ? output_path_ : output_path_.substr(slash + 1);
    const std::size_t limit = TFileIO::name_limit(folder);
    const std::string private_base = TFileIO::fit_name(base, limit - std::min<std::size_t>(limit, 13));
    if (base.size() > limit ||
        !output_.create_temp(folder, "." + private_base + std::string(partial_name_tag), source_identity_.mode, TFileIO::TTempUse::to_publish)) {
      // A folder the user named: which one, and why not.
      if (output_folder_.empty()) {
        log_message(msg_no_output_file, mk_error);
      } else {
        log_message(msg_no_output_file_in, mk_error,
                    folder + " (" + std::strerror(base.size() > limit ? ENAMETOOLONG : errno) + ")");
      }
      clean_up_failure();
      return fix_not_repaired;
    }
    output_.set_write_buffer(output_write_buffer);
  }
  source_.set_read_cache(careful_ ? unreadable_step : header_read_cache);

  if (mode_ != TScanMode::check) log_message(msg_scanning, mk_plain, path_);

  const auto scale = source_.read_le32_at(dw_scale_offset);
  const auto rate = source_.read_le32_at(dw_rate_offset);
  if (scale && rate) {
    dw_scale_ = *scale;
    dw_rate_ = *rate;
  }

  const auto movi = require_movi_list(source_, path_);
  if (!movi) {
    clean_up_failure();
    return fix_not_repaired;
  }
  movi_pos_ = movi->movi_pos;
  old_list_size_ = movi->size;

  try {
    data_end_ = locate_old_index(source_);
  } catch (const TIoError& e) {
    // An old index that cannot be read is none: the walk finds the end.
    if (!careful_ || !e.is_unreadable()) throw;
    data_end_ = 0;
  }
  // An "idx1" inside the header lists is no end of the movi data.
  if (data_end_ == 0 || data_end_ < movi_pos_ + 4) data_end_ = file_size_;
  if (is_opendml(source_)) {
    set_up_opendml();
  } else if (new_file()) {
    set_up_growth();
  }

  if (mode_ != TScanMode::check) {
    unsigned char head[8];
    std::memcpy(head, id_idx1.data(), 4);
    write_le32(head + 4, old_list_size_);
    temp_.write(head, sizeof head);
  }

  rel_pos_ = 4;
  entry_count_ = 0;
  shift_ = 0;
  video_count_ = 0;
  ix_pending_ = false;
  keys_.emplace(read_stream_headers(source_));

  if (new_file()) copy_header();
  return std::nullopt;
}

void TScan::copy_header() {
  if (careful_) return copy_read(0, movi_pos_ + 4);
  output_.copy_from(source_, 0, movi_pos_ + 4);
}

bool TScan::read_u32(std::uint32_t& value) {
  unsigned char b[4];
  if (source_.read(b, 4) != 4) return false;
  value = read_le32(b);
  return true;
}

bool TScan::scan() {
  const std::uint64_t span = file_size_ - movi_pos_;
  for (;;) {
    const auto rel = static_cast<std::uint64_t>(std::max<std::int64_t>(rel_pos_, 0));
    const std::uint64_t percent = span >= 100 ? rel / (span / 100) : rel * 100 / span;
    show_progress(static_cast<std::uint32_t>(percent));

    if (stop_flag.load() != 0) return false;

    // The careful pass undoes what a chunk it cannot read began.
    const std::uint64_t index_before = index_.pos();
    const std::uint64_t output_before = new_file() ? output_.pos() : 0;
    const std::uint32_t videos_before = video_count_;
    const std::uint32_t entries_before = entry_count_;
    try {
    position(movi() + rel_pos_);
    // Lists, fillers and per-stream indexes are stepped over until an id
    // that needs a decision.
    bool finished = false;
    for (;;) {
      if (at_end()) {
        finished = true;
        break;
      }
      if (pad_before_index(source_.pos())) {
        source_.seek(source_.pos() + 1);
        ++rel_pos_;
        if (new_file()) ++shift_;
        padded_list_end_ = true;
      } else if (pad_before_index_chunk(source_.pos())) {
        source_.seek(source_.pos() + 1);
        ++rel_pos_;
        if (new_file()) ++shift_;
      }
      unsigned char b[4];
      const std::uint64_t id_pos = source_.pos();
      if (source_.read(b, 4) != 4) {
        end_ = TScanEnd::cut_off_chunk;
        end_chunk_pos_ = id_pos;
        finished = true;
        break;
      }
      cur_id_ = to_fourcc(b);
      cur_id_pos_ = id_pos;
      if (opendml_) {
        const TOdmlStep step = step_over_opendml(id_pos);
        if (step == TOdmlStep::stepped) continue;
        if (step == TOdmlStep::damaged) {
          cur_id_ = fourcc("0000");  // searched from here like any damaged place
          break;
        }
      }
      const TChunkClass kind = classify_id(cur_id_);
      if (ix_pending_ && (kind == TChunkClass::list || kind == TChunkClass::junk)) {
        // What the index id's step landed on is no chunk-id field: the 16
        // bytes stepped over belong to nothing, and are left out of a new
        // file; the chunk after the list or filler is not the index chunk.
        if (new_file()) shift_ += stream_index_step;
        ix_pending_ = false;
      }
      if (kind == TChunkClass::list) {
        // Relative move past the list's size and type (its id was read),
        // never clamped.
        source_.seek(source_.pos() + list_header_size - sizeof(TFourCC));
        rel_pos_ += list_header_size;
        if (new_file()) shift_ += list_header_size;
      } else if (kind == TChunkClass::junk) {
        std::uint32_t z = 0;
        if (!read_u32(z)) {
          end_ = TScanEnd::cut_off_chunk;
          end_chunk_pos_ = id_pos;
          finished = true;
          break;
        }
        // In place, one that runs into the old index or past the end of the
        // file is cut back to end where the new index will begin.
        if (mode_ == TScanMode::in_place && id_pos + chunk_header_size + z > data_end_) cut_junk_ = id_pos;
        rel_pos_ += static_cast<std::int64_t>(z) + chunk_header_size;
        shift_ += static_cast<std::int64_t>(z) + chunk_header_size;
        position(movi() + rel_pos_);
      } else if (kind == TChunkClass::stream_index) {
        // The id 16 bytes on is the chunk-id field of an OpenDML index.
        // When that id is an index id again, only the later chunk is taken:
        // the 16 bytes stepped over before it are left out of a new file
        // like a list header, or every later offset would be 16 bytes off.
        if (ix_pending_ && new_file()) shift_ += stream_index_step;
        rel_pos_ += stream_index_step;
        position(movi() + rel_pos_);
        ix_pending_ = true;
      } else {
        break;
      }
    }
    if (!finished && at_end()) {
      end_ = TScanEnd::cut_off_chunk;
      end_chunk_pos_ = cur_id_pos_;
    }
    if (finished || at_end()) break;

    if (classify_id(cur_id_) == TChunkClass::data) {
      if (accept_chunk() == TStep::finish) break;
    } else {
      handle_damage();
    }
    } catch (const TIoError& e) {
      if (!careful_ || !e.is_unreadable()) throw;
      if (index_.pos() > index_before) index_.cut(index_before);
      // (Not the headers of a RIFF chunk the chunk opened.)
      const std::uint64_t undo_to = std::max(output_before, out_data_start_);
      if (new_file() && output_.pos() > undo_to) {
        output_.truncate(undo_to);
        output_.seek(undo_to);
      }
      video_count_ = videos_before;
      entry_count_ = entries_before;
      // A damaged place where the item that could not be read begins.
      const std::uint64_t at = std::max<std::uint64_t>(static_cast<std::uint64_t>(movi() + rel_pos_), taken_end_);
      const TStretch bad = step_over_unreadable(e.offset());
      cur_id_ = fourcc("0000");
      cur_id_pos_ = std::min(at, bad.start);
      ix_pending_ = false;
      rel_pos_ = static_cast<std::int64_t>(bad.end) - movi();
      handle_damage(bad.end);
    }

    pump_messages();
    if (at_end() || same_id(cur_id_, id_idx1)) break;
  }
  if (same_id(cur_id_, id_idx1) && !forced_end_) end_ = TScanEnd::old_index;
  return true;
}

TScan::TStep TScan::accept_chunk() {
  const bool video = is_video_id(cur_id_);
  if (video) ++video_count_;
  if (ix_pending_) {
    // The whole per-stream index chunk is taken as a chunk of this stream.
    source_.seek(source_.pos() - stream_index_step);
    rel_pos_ -= stream_index_step;
    ix_pending_ = false;
  }
  end_chunk_pos_ = static_cast<std::uint64_t>(movi() + rel_pos_);
  std::uint32_t z = 0;
  if (!read_u32(z)) {
    end_ = TScanEnd::cut_off_chunk;
    return TStep::finish;
  }
  // A header that ends the file cuts off a chunk with data; an empty chunk
  // has nothing missing and is kept (mencoder ends files with empty
  // duplicate frames).
  if (at_end() && z != 0) {
    end_ = TScanEnd::cut_off_chunk;
    return TStep::finish;
  }
  const auto chunk_pos = static_cast<std::uint64_t>(movi() + rel_pos_);
  const std::uint64_t data_stop = chunk_pos + chunk_header_size + z;
  std::uint64_t after = chunk_pos + chunk_header_size + padded_size(z);
  // Some writers leave out the pad byte after an odd size: when the next id
  // (or the end) lies one byte early, the chunk is whole and the walk goes on
  // from there; a new file gets the pad byte. Only that one-byte slip.
  bool pad_left_out = false;
  // A size that leads nowhere the scan knows is damaged, or the bytes after
  // the chunk are: the chunk is a damaged place, searched past from the end
  // of its header.
  auto damaged = [&] {
    if (video) --video_count_;
    cur_id_pos_ = chunk_pos;
    rel_pos_ += static_cast<std::int64_t>(chunk_header_size);
    handle_damage(chunk_pos + chunk_header_size);
    return TStep::go_on;
  };
  if (after > data_end_) {
    if (z % 2 == 0 || data_stop != data_end_) {
      // A chunk whose last byte is missing, or that would run into the old
      // index, ends the scan, unless its size is what is wrong: a video chunk
      // found after its header says the data go on.
      const std::int64_t back = rel_pos_;
      rel_pos_ += static_cast<std::int64_t>(chunk_header_size);
      const auto found = search_next_chunk(chunk_pos + chunk_header_size);
      rel_pos_ = back;
      if (found && is_video_id(found->id)) return damaged();
      end_ = data_end_ < file_size_ ? TScanEnd::chunk_into_index : TScanEnd::cut_off_chunk;
      return TStep::finish;
    }
    // Lacking only its pad byte, it lacks nothing.
    pad_left_out = true;
  } else if (!continues_at(after)) {
    if (z % 2 != 0 && continues_at(data_stop)) {
      pad_left_out = true;
    } else if (!known_id_just_after(after)) {
      return damaged();
    }
    // (Else a few stray bytes follow a chunk that is whole: they are the
    // damaged place, too few to hold a chunk header.)
  }
  if (pad_left_out) after = data_stop;
  taken_end_ = after;
  const std::int64_t next = static_cast<std::int64_t>(after) - movi();

  if (new_file() && !enter_output_extent(chunk_pos, after - chunk_pos + (pad_left_out ? 1 : 0))) {
    return TStep::finish;
  }
  std::uint32_t flags = flag_none;
  if (z > 0) {
    if (video) {
      const auto data_offset = static_cast<std::uint64_t>(movi() + rel_pos_ + chunk_header_size);
      if (keys_->is_key(source_, cur_id_, data_offset, z)) flags = flag_keyframe;
    } else {
      flags = flag_keyframe;
    }
  }
  std::int64_t offset = new_file() ? rel_pos_ - shift_ : rel_pos_;
  // Offsets count from the "movi" of the RIFF chunk the chunk lies in (in
  // a new file, the one the new file puts it in).
  if (new_file() && (opendml_ || grown())) {
    offset = static_cast<std::int64_t>(output_.pos() - out_movi_pos_);
  } else if (opendml_) {
    const auto pos = static_cast<std::uint64_t>(movi() + rel_pos_);
    const std::size_t extent = source_extent_of(pos);
    offset = static_cast<std::int64_t>(pos - extent_movi(extent));
    if (mode_ == TScanMode::check) entry_extents_.push_back(static_cast<std::uint32_t>(extent));
    while (mode_ == TScanMode::in_place && extent_entry_begin_.size() <= extent) {
      extent_entry_begin_.push_back(index_.pos());
    }
  }
  index_.append({cur_id_, flags, static_cast<std::uint32_t>(offset), z});

  const std::int64_t chunk_start = rel_pos_;
  rel_pos_ = next;
  position(movi() + chunk_start);
  if (new_file()) {
    const std::uint64_t length = static_cast<std::uint64_t>(next - chunk_start);
    if (careful_) {
      copy_read(source_.pos(), length);
    } else {
      output_.copy_from(source_, source_.pos(), length);
    }
    source_.seek(source_.pos() + length);
    if (pad_left_out) {
      const unsigned char pad = 0;
      output_.write(&pad, 1);
      --shift_;
    }
  }
  ++entry_count_;
  return TStep::go_on;
}

void TScan::handle_damage(std::uint64_t search_floor) {
  if (same_id(cur_id_, id_idx1)) {
    const bool real = old_index_test_passes(source_, cur_id_pos_);
    position(static_cast<std::int64_t>(cur_id_pos_) + 4);
    if (real) return;
    cur_id_ = fourcc("0000");
  }

  // A per-stream index chunk whose chunk-id field is damaged is no chunk to
  // take later: kept pending, it would make the chunk found after the damage
  // start 16 bytes early, with an offset and bytes that belong to neither.
  ix_pending_ = false;
  const std::uint64_t seconds =
      dw_rate_ == 0 ? 0 : static_cast<std::uint64_t>(video_count_) * dw_scale_ / dw_rate_;
  const std::uint64_t at = cur_id_pos_;
  auto report = [&](std::uint8_t kind) {
    log_message(msg_damage_frame, kind,
                std::to_string(video_count_) + " (" + two_digits(seconds / 3600) + ":" +
                    two_digits((seconds / 60) % 60) + ":" + two_digits(seconds % 60) + ")");
    log_message(msg_damage_offset, mk_plain, std::to_string(at) + " ($" + hex8(at) + ")");
  };
  // (A repair reports the place before the search, whose careful reads may
  // report more.)
  if (mode_ != TScanMode::check) report(mk_error);

  // Every chunk taken so far ended where the next id the scan knows begins,
  // so nothing before the damaged place is cut back.
  damage_start_ = cur_id_pos_;
  // A few stray bytes before an id the scan knows are the whole damaged
  // place; else the search, never back into a chunk the walk took.
  std::optional<TFound> found;
  for (std::uint64_t gap = 1; gap < chunk_header_size && at + gap >= search_floor && at + gap + sizeof(TFourCC) <= data_end_;
       ++gap) {
    if (at + gap > taken_end_ && spelled_id_at(at + gap)) {
      // (Read again where the walk goes on: an idx1 there is stepped over
      // or ends the data as any other.)
      found = TFound{at + gap, fourcc("0000")};
      break;
    }
  }
  // (Nor back before the damaged place: what the walk stepped over to reach
  // it, a list header or an index chunk's first bytes, stays where it is.)
  if (!found) found = search_next_chunk(std::max({search_floor, taken_end_, at}));
  // Bytes between two chunks too few for a chunk header: no repair in place
  // can make them a JUNK chunk, and an index that agrees steps over them. A
  // check reports them as a warning, not a problem.
  const bool too_short_for_junk = found && found->pos - at < chunk_header_size;
  if (mode_ == TScanMode::check) report(too_short_for_junk ? mk_warning : mk_error);
  if (mode_ != TScanMode::check || !too_short_for_junk) ++damage_count_;
  if (found) return resume(found->pos, found->id);
  end_of_file_outcome();
}

// The search from rel_pos_ for the next video chunk (or the old index),
// byte by byte in blocks; nothing when the file ends first.
std::optional<TScan::TFound> TScan::search_next_chunk(std::uint64_t search_floor) {
  for (;;) {
    const std::int64_t nominal = movi() + rel_pos_;
    position(nominal);
    if (at_end()) return std::nullopt;
    try {
    const std::size_t n = source_.read(block_.data(), block_.size());
    std::optional<std::uint64_t> found_pos;
    TFourCC found_id{};
    for (std::size_t j = 0; j + 1 < n; ++j) {
      const unsigned char a = block_[j];
      const unsigned char b = block_[j + 1];
      if ((a != 'd' && a != 'w') || (b != 'c' && b != 'b')) continue;
      // The pair is bytes 3-4 of an id starting two bytes earlier, which may
      // lie before the block.
      if (static_cast<std::uint64_t>(nominal + static_cast<std::int64_t>(j) - 2) < search_floor) continue;
      position(nominal + static_cast<std::int64_t>(j) - 2);
      const std::uint64_t candidate_pos = source_.pos();
      unsigned char id[4];
      bool have_id = false;
      if (!at_end()) have_id = source_.read(id, 4) == 4;
      unsigned char rest[4];
      if (!at_end()) (void)source_.read(rest, 4);  // size
      if (!at_end()) (void)source_.read(rest, 4);  // first data bytes
      if (have_id && (same_id(to_fourcc(id), id_idx1) ||
                      (is_video_id(to_fourcc(id)) && chunk_fits_before_known_id(candidate_pos)))) {
        found_pos = candidate_pos;
        found_id = to_fourcc(id);
        break;
      }
    }
    pump_messages();
    if (found_pos) {
      if (!at_end()) return TFound{*found_pos, found_id};
      return std::nullopt;
    }
    // A short block is the end of the file, also of one that another
    // program made shorter since the scan began.
    if (n < block_.size() || nominal + static_cast<std::int64_t>(n) >= static_cast<std::int64_t>(file_size_)) {
      return std::nullopt;
    }
    rel_pos_ += static_cast<std::int64_t>(n) - 2;
    } catch (const TIoError& e) {
      if (!careful_ || !e.is_unreadable()) throw;
      const TStretch bad = step_over_unreadable(e.offset());
      rel_pos_ = static_cast<std::int64_t>(bad.end) - movi();
      search_floor = std::max(search_floor, bad.end);
    }
  }
}

// A list that ends at an odd offset is followed by its pad byte; when the
// old index follows that, the walk steps over the pad byte to it.
bool TScan::pad_before_index(std::uint64_t at) {
  if (at % 2 == 0) return false;
  if (at + 1 == data_end_ && data_end_ < file_size_) return true;
  // (An index too short for the search from the end: where the list ends.)
  const auto next = at == movi_pos_ + old_list_size_ ? source_.read_fourcc_at(at + 1) : std::nullopt;
  return next && same_id(*next, id_idx1);
}

// The index chunks a repair in place appends to a long recording whose
// chunks lie at odd offsets follow a pad byte; the walk steps over it.
bool TScan::pad_before_index_chunk(std::uint64_t at) {
  if (!opendml_ || at % 2 == 0) return false;
  unsigned char pad = 1;
  if (source_.read_at(at, &pad, 1) != 1 || pad != 0) return false;
  const auto next = source_.read_fourcc_at(at + 1);
  return next && classify_id(*next) == TChunkClass::stream_index;
}

// Where a chunk taken by the walk ends: the end of the data, a next header
// the end of the file cuts off, or an id the scan knows.
bool TScan::continues_at(std::uint64_t next) {
  if (next <= data_end_ && next + sizeof(TFourCC) > file_size_) return true;
  // The end of the movi list as its size says, and a list that ends at an
  // odd offset, its pad byte and then the old index.
  if (next == movi_pos_ + old_list_size_ || pad_before_index(next) || pad_before_index_chunk(next)) return true;
  // Fewer bytes than a chunk header before the old index hold no chunk; the
  // chunk before them is whole.
  if (next < data_end_ && data_end_ < file_size_ && data_end_ - next < chunk_header_size) return true;
  return lands_on_known_id(next);
}

// Whether an id the scan knows begins a few bytes after `at`, fewer than a
// chunk header: no wrong size leads that near one by chance often, and the
// bytes between hold no chunk.
bool TScan::known_id_just_after(std::uint64_t at) {
  for (std::uint64_t gap = 1; gap < chunk_header_size; ++gap) {
    if (at + gap + sizeof(TFourCC) > data_end_) return false;
    if (spelled_id_at(at + gap)) return true;
  }
  return false;
}

// An id the scan knows, spelled out whole (an index id with its stream's
// digits): what a few stray bytes are taken to end at.
bool TScan::spelled_id_at(std::uint64_t at) {
  // (The entries of the first RIFF chunk's idx1 name chunk ids too.)
  if (opendml_ && at > old_idx1_pos_ && at < old_idx1_end_) return false;
  const auto id = source_.read_fourcc_at(at);
  if (!id) return false;
  const auto digits = [](char a, char b) { return a >= '0' && a <= '9' && b >= '0' && b <= '9'; };
  switch (classify_id(*id)) {
    case TChunkClass::stream_index:
      return ((*id)[0] == 'i' && digits((*id)[2], (*id)[3])) || ((*id)[2] == 'i' && digits((*id)[0], (*id)[1]));
    case TChunkClass::damage:
      return opendml_ && same_id(*id, id_riff);
    default:
      return true;
  }
}

// A video chunk id found by the search is taken only when its chunk lies
// wholly in the movi data and the next chunk header begins with an id the
// scan knows, or the chunk ends the data exactly. Random bytes spell a chunk
// id now and then; its random size would otherwise end the scan there.
bool TScan::chunk_fits_before_known_id(std::uint64_t pos) {
  // The entries of the first RIFF chunk's idx1 name chunk ids too.
  if (opendml_ && pos >= old_idx1_pos_ && pos < old_idx1_end_) return false;
  const auto size = source_.read_le32_at(pos + 4);
  if (!size) return false;
  const std::uint64_t next = pos + chunk_header_size + padded_size(*size);
  // (Also at an odd offset, its list's pad byte and then the old index.)
  if (next == data_end_ || pad_before_index(next) || pad_before_index_chunk(next)) return true;
  if (next > data_end_) return false;
  const auto next_id = source_.read_fourcc_at(next);
  if (!next_id) return false;
  if (opendml_ && same_id(*next_id, id_riff)) return true;
  return classify_id(*next_id) != TChunkClass::damage;
}

void TScan::resume(std::uint64_t found_pos, const TFourCC& found_id) {
  if (mode_ == TScanMode::in_place) damaged_stretches_.push_back({damage_start_, found_pos});
  rel_pos_ = static_cast<std::int64_t>(found_pos) - movi();
  if (new_file()) shift_ = static_cast<std::int64_t>(found_pos) - static_cast<std::int64_t>(output_.pos());
  // An "idx1" found here was read at the old index: the scan ends there
  // without testing it again.
  cur_id_ = found_id;
  cur_id_pos_ = found_pos;
}

void TScan::end_of_file_outcome() {
  if (mode_ == TScanMode::in_place) damaged_stretches_.push_back({damage_start_, file_size_});
  forced_end_ = true;
  end_ = TScanEnd::search_ran_out;
}

int TScan::stop() {
  log_message(msg_stopped, mk_warning);
  show_progress(0);
  report_sink()->file_stopped();
  // What was copied so far takes the "Fixed." name, without an index, only
  // while that name is free: a file there may be a complete earlier repair.
  if (new_file() && !publish_output(false)) {
    output_.discard();
    log_message(msg_partial_copy_dropped, mk_information, output_path_);
  }
  source_.abandon();
  temp_.discard();
  return fix_stopped;
}

void TScan::append_temp_to(TFileIO& target) {
  temp_.flush();
  std::uint64_t at = 0;
  for (;;) {
    const std::size_t got = temp_.read_at(at, block_.data(), block_.size());
    target.write(block_.data(), got);
    at += got;
    if (got < block_.size()) break;
  }
}

int TScan::finish_repair() {
  unsigned char size_field[4];
  write_le32(size_field, entry_count_ * index_entry_size);
  temp_.seek(4);
  temp_.write(size_field, sizeof size_field);

  // A source another program made shorter since the scan began: the walk
  // met its new end as the end of the data, which it was not.
  if (new_file() && source_.shown_size(source_.identity().size) < file_size_) throw TIoError::ended_early(path_);
  const auto fields = length_fields(source_);
  if (!fields) log_message(msg_header_unreadable, mk_warning);
  const std::vector<TFieldWrite> writes = fields.value_or(std::vector<TFieldWrite>{});
  std::optional<std::uint32_t> refusal;
  if (new_file() && (opendml_ || grown())) {
    finish_new_opendml_file(writes);
  } else if (new_file()) {
    refusal = finish_new_file(writes);
  } else {
    refusal = finish_in_place(writes);
  }
  if (refusal) {
    if (*refusal == msg_data_after_index) {
      log_message(*refusal, mk_error);
    } else {
      log_message(*refusal, mk_error, path_);
    }
    clean_up_failure();
    return fix_not_repaired;
  }
  temp_.discard();

  log_message(msg_repaired, mk_plain, path_ + " .");
  log_message(msg_damage_count, mk_plain, std::to_string(damage_count_));
  log_message(msg_done, mk_plain);
  show_progress(100);
  return fix_repaired;
}

std::optional<std::uint32_t> TScan::finish_new_file(const std::vector<TFieldWrite>& writes) {
  const std::uint64_t list_end = same_id(cur_id_, id_idx1) ? output_.pos() : output_.size();
  // A plain file that would reach 4 GiB with its index: its RIFF size and
  // the idx1 offsets would wrap.
  temp_.flush();
  if (list_end + list_end % 2 + temp_.size() >= max_source_size) return msg_too_large;
  write_list_end(output_, list_end - movi_pos_);
  restore_head(output_, false);
  write_fields(output_, writes);
  output_.flush();
  source_.abandon();
  (void)publish_output(true);
  return std::nullopt;
}

bool TScan::publish_output(bool replace) {
  if (!output_.close_as(output_path_, replace)) {
    if (!replace && errno == EEXIST) return false;
    throw TIoError(true, errno, output_path_);
  }
  written_ = output_path_;
  return true;
}

// The end of a repaired file: the movi list's new size, a pad byte when the
// list ends at an odd offset, the new index right after it, and nothing more.
void TScan::write_list_end(TFileIO& file, std::uint64_t list_size) {
  unsigned char field[4];
  write_le32(field, static_cast<std::uint32_t>(list_size));
  file.seek(movi_pos_ - 4);
  file.write(field, sizeof field);
  file.seek(movi_pos_ + list_size);
  if ((movi_pos_ + list_size) % 2 != 0) {
    const unsigned char pad = 0;
    file.write(&pad, 1);
  }
  append_temp_to(file);
  file.truncate(file.pos());
}

// What the new index holds of each stream, read back from the temporary
// index as it will be appended, and the header fields that must say so.
std::optional<std::vector<TFieldWrite>> TScan::length_fields(TFileIO& header_file) {
  temp_.flush();
  auto tally_to = [this](std::uint64_t end) {
    TIndexTally tally{};
    for (std::uint64_t at = first_entry_pos; at < end;) {
      const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(end - at, block_size));
      const std::size_t got = temp_.read_at(at, block_.data(), want);
      tally_entries(tally, block_.data(), got / index_entry_size);
      if (got < want) break;
      at += got;
    }
    return tally;
  };
  const std::uint64_t end = first_entry_pos + std::uint64_t{entry_count_} * index_entry_size;
  const TIndexTally tally = tally_to(end);
  // Only fields in the header before the movi list's own header.
  const std::uint64_t limit = movi_pos_ - chunk_header_size;
  if (!opendml_ && !grown()) return length_field_writes(header_file, limit, tally);
  // OpenDML: avih counts the frames of the first RIFF chunk, dmlh all.
  std::uint64_t first_end = first_extent_entries_end_;
  if (!new_file() && extent_entry_begin_.size() > 1) first_end = extent_entry_begin_[1];
  const TIndexTally first = first_end != 0 ? tally_to(first_end) : tally;
  return length_field_writes(header_file, limit, tally, &first);
}

// The header's length fields, then the RIFF size for the file's new end:
// the repaired file is one RIFF chunk. A field already right is not written.
void TScan::write_fields(TFileIO& file, const std::vector<TFieldWrite>& writes) {
  const std::uint64_t end = file.pos();
  unsigned char field[4];
  for (const TFieldWrite& w : writes) {
    write_le32(field, w.value);
    file.seek(w.offset);
    file.write(field, sizeof field);
  }
  const auto riff_size = static_cast<std::uint32_t>(end - chunk_header_size);
  if (file.read_le32_at(riff_size_offset) != riff_size) {  // also when the field is missing
    write_le32(field, riff_size);
    file.seek(riff_size_offset);
    file.write(field, sizeof field);
  }
  file.seek(end);
}

// The list size an in-place repair writes: up to the old index, or to the
// end of the file, never past the movi data.
std::uint64_t TScan::in_place_list_size() const {
  std::uint64_t list_size = same_id(cur_id_, id_idx1) ? cur_id_pos_ - movi_pos_ - (padded_list_end_ ? 1 : 0)
                                                      : file_size_ - movi_pos_;
  if (movi_pos_ + list_size > data_end_) list_size = data_end_ - movi_pos_;
  return list_size;
}

// Writes back, unchanged, the header fields the finish will change, and makes
// room for the file's new end: a full disk or a file-size limit shows here,
// before the first byte of the source changes.
void TScan::probe_in_place_writes(std::uint64_t new_end, const std::vector<TFieldWrite>& writes) {
  auto rewrite = [this](std::uint64_t at) {
    unsigned char field[4];
    if (source_.read_at(at, field, 4) == 4) {
      source_.seek(at);
      source_.write(field, 4);
    }
  };
  rewrite(riff_size_offset);
  for (const TFieldWrite& w : writes) rewrite(w.offset);
  rewrite(movi_pos_ - 4);
  source_.flush();
  source_.reserve(new_end);
}

void TScan::restore_head(TFileIO& file, bool with_size) {
  const std::vector<unsigned char>& head = source_.head_overlay();
  if (head.empty()) return;
  const std::uint64_t back = file.pos();
  file.seek(0);
  file.write(head.data(), 4);
  if (with_size) file.write(head.data() + 4, 4);
  file.seek(avi_signature_offset);
  file.write(head.data() + avi_signature_offset, head.size() - avi_signature_offset);
  file.seek(back);
}

// Turns [start, end) into one JUNK chunk; a stretch shorter than a chunk
// header stays as it is.
void TScan::write_junk_header(std::uint64_t start, std::uint64_t end) {
  if (end < start + chunk_header_size) return;
  unsigned char head[chunk_header_size];
  std::memcpy(head, id_junk.data(), 4);
  write_le32(head + 4, static_cast<std::uint32_t>(end - start - chunk_header_size));
  source_.seek(start);
  source_.write(head, sizeof head);
}

// The new index where the old one was, in an order that leaves, at every
// instant, a file the next repair in place turns into this same result: an
// old index at q that reaches (or runs past) the end of the file, whatever
// mix of old and new entries it holds. A chunk size that runs past the end
// is one the scan accepts as an old index cut off; one that ends before the
// end is not. So a growing index gets its size first, a shrinking one last,
// after the cut, with a sync between them for a power cut.
void TScan::write_index_in_place(std::uint64_t q, bool old_index_at_q) {
  temp_.flush();
  const std::uint64_t new_length = temp_.size() - chunk_header_size;
  const bool old_index_there = old_index_at_q && q < file_size_ && (q % 2) == 0;
  const std::optional<std::uint32_t> old_length =
      old_index_there ? source_.read_le32_at(q + 4) : std::optional<std::uint32_t>{};
  if (!old_length) {
    // Nothing after the movi data (or an odd end): the whole chunk after it.
    source_.seek(q);
    if (q % 2 != 0) {
      const unsigned char pad = 0;
      source_.write(&pad, 1);
    }
    append_temp_to(source_);
    source_.truncate(source_.pos());
    return;
  }
  unsigned char field[4];
  write_le32(field, static_cast<std::uint32_t>(new_length));
  const bool grows = new_length > *old_length;
  if (grows) {
    source_.seek(q + 4);
    source_.write(field, sizeof field);
    source_.sync();
  }
  source_.seek(q + chunk_header_size);
  for (std::uint64_t at = chunk_header_size;;) {
    const std::size_t got = temp_.read_at(at, block_.data(), block_.size());
    source_.write(block_.data(), got);
    at += got;
    if (got < block_.size()) break;
  }
  const std::uint64_t new_end = source_.pos();
  if (!grows) {
    if (new_end < source_.size()) {
      source_.sync();
      source_.truncate(new_end);
    }
    source_.seek(q + 4);
    source_.write(field, sizeof field);
  }
  source_.seek(new_end);
}

std::optional<std::uint32_t> TScan::finish_in_place(const std::vector<TFieldWrite>& writes) {
  if (opendml_ && !extent_starts_.empty()) return finish_in_place_opendml(writes);
  std::uint64_t list_size = in_place_list_size();
  std::uint64_t q = movi_pos_ + list_size;
  // Only an old index may be cut away.
  if (!only_old_index_from(source_, q)) return msg_data_after_index;

  // What the walk could not take stays in the movi list as "JUNK" chunks, so
  // that readers walking the list (and the check) step over it: damaged
  // places, and a chunk cut off at the end or running into the old index.
  std::vector<TStretch> junk;
  for (const TStretch& d : damaged_stretches_) junk.push_back({d.start, std::min(d.end, q)});
  if (end_ == TScanEnd::cut_off_chunk || end_ == TScanEnd::chunk_into_index) junk.push_back({end_chunk_pos_, q});
  if (cut_junk_ && *cut_junk_ + chunk_header_size <= q) junk.push_back({*cut_junk_, q});
  // So does an index chunk of a long recording cut off there.
  if (index_cut_at_end_ && *index_cut_at_end_ < q && end_ != TScanEnd::cut_off_chunk) {
    junk.push_back({*index_cut_at_end_, q});
  }
  // A long recording's first idx1 that the list now runs over (the next
  // RIFF chunk lost) is stale: it becomes a JUNK chunk too.
  if (opendml_ && old_idx1_pos_ != 0 && old_idx1_pos_ < q) junk.push_back({old_idx1_pos_, std::min(old_idx1_end_, q)});
  // A few damaged bytes right after another stretch, too few for a chunk
  // header of their own, join it.
  std::stable_sort(junk.begin(), junk.end(), [](const TStretch& a, const TStretch& b) { return a.start < b.start; });
  std::vector<TStretch> joined;
  for (const TStretch& j : junk) {
    if (!joined.empty() && j.end - j.start < chunk_header_size && j.start <= joined.back().end) {
      joined.back().end = std::max(joined.back().end, j.end);
    } else {
      joined.push_back(j);
    }
  }
  junk = std::move(joined);
  bool pad_into_junk = false;
  // Fewer bytes than a chunk header right before the old index: the new
  // index begins where they do, as no walk could step over them.
  bool index_over_gap = false;
  if (!junk.empty() && junk.back().end == q && q < file_size_ && q - junk.back().start < chunk_header_size) {
    q = junk.back().start;
    junk.pop_back();
    list_size = q - movi_pos_;
    index_over_gap = true;
  }
  if (!junk.empty() && junk.back().end == q && q == file_size_) {
    if (q - junk.back().start < chunk_header_size) {
      // Less than a chunk header: the index goes over it.
      q = junk.back().start;
      junk.pop_back();
    } else if (q % 2 != 0) {
      // The pad byte becomes the last byte of the JUNK chunk, which then
      // ends where the index begins.
      pad_into_junk = true;
      junk.back().end = ++q;
    }
    list_size = q - movi_pos_;
  }

  temp_.flush();
  const std::uint64_t pad = q % 2;
  const std::uint64_t new_end = q + pad + temp_.size();
  // The repaired file must still be one this program (and an idx1) can address.
  if (new_end >= max_source_size) return msg_too_large;
  // Another program wrote to the file since the scan read it (a recording
  // still running): its data would be overwritten or cut off.
  if (source_.identity() != source_identity_) return msg_file_changed;

  source_.set_write_buffer(block_size);
  source_.watch_size(file_size_);
  probe_in_place_writes(new_end, writes);
  source_size_before_finish_ = file_size_;

  // The pad byte before the JUNK header: a run stopped between the two finds
  // the same even end, and so the same result.
  if (pad_into_junk) {
    const unsigned char zero = 0;
    source_.seek(q - 1);
    source_.write(&zero, 1);
  }
  for (const TStretch& j : junk) write_junk_header(j.start, j.end);
  write_index_in_place(q, !index_over_gap);
  const std::uint64_t end = source_.pos();
  unsigned char field[4];
  write_le32(field, static_cast<std::uint32_t>(list_size));
  source_.seek(movi_pos_ - 4);
  source_.write(field, sizeof field);
  source_.seek(end);
  // A lost RIFF header last: a run stopped before finds it lost again.
  restore_head(source_, true);
  std::vector<TFieldWrite> fields = writes;
  if (opendml_) {
    const std::vector<TFieldWrite> stale = stale_super_indexes();
    fields.insert(fields.end(), stale.begin(), stale.end());
  }
  write_fields(source_, fields);
  source_.check_size();
  source_size_before_finish_.reset();
  source_.close();
  return std::nullopt;
}

}  // namespace engine_detail
