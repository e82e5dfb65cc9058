// Finding the movi data of a file whose start is lost, and the header a
// repair reads in front of them.
#include "engine/lost_header.h"

#include <algorithm>
#include <cstring>

#include "engine/algorithm_unit.h"
#include "engine/file_io.h"
#include "engine/header_rebuild.h"
#include "engine/scan.h"
#include "platform/message_ids.h"

namespace engine_detail {

namespace {

// A reference's header list larger than this is no camera's.
constexpr std::uint32_t max_header_list = 16u << 20;
// How far the search for a run reads at a time.
constexpr std::size_t run_search_block = 256 * 1024;
// How much of a file that is not zeros the search reads before it calls the
// file no AVI: a lost start is zeros, however long (a download whose first
// pieces never came), or a fragment that begins within a chunk or two; a
// large file of another kind is not read to its end.
constexpr std::uint64_t run_search_limit = 64u << 20;

bool wanted(const TFourCC& id, const std::vector<TFourCC>& ids) {
  if (!is_data_id(id)) return false;
  return ids.empty() || std::any_of(ids.begin(), ids.end(), [&](const TFourCC& w) { return same_id(w, id); });
}

// Whether the chunk header at `at` is one a run may go on with (a list
// header, a filler, a standard index) or end at (an old index, a further
// RIFF chunk): ids the walk knows.
bool known_id(const TFourCC& id) { return same_id(id, id_riff) || classify_id(id) != TChunkClass::damage; }

// Whether a run of chunk_run_length data chunks, the first one of `ids`,
// starts at `start`.
bool run_starts_at(TFileIO& file, std::uint64_t start, const std::vector<TFourCC>& ids) {
  const std::uint64_t end = file.size();
  std::uint64_t at = start;
  int chunks = 0;
  // Lists and fillers between the chunks are stepped over, a few of them.
  for (int items = 0; items < 4 * chunk_run_length; ++items) {
    const auto id = file.read_fourcc_at(at);
    const auto size = file.read_le32_at(at + 4);
    if (!id || !size) return chunks > 0 && at == end;
    const TChunkClass kind = classify_id(*id);
    if (at != start && (same_id(*id, id_riff) || kind == TChunkClass::old_index)) return true;
    if (kind == TChunkClass::data) {
      // Chunks of other streams after the first are for the reference's
      // test of fit to name.
      if (at == start && !wanted(*id, ids)) return false;
      if (++chunks >= chunk_run_length) return true;
    } else if (at == start || !known_id(*id)) {
      return false;
    }
    if (kind == TChunkClass::list) {
      at += list_header_size;
      continue;
    }
    const std::uint64_t next = at + chunk_header_size + padded_size(*size);
    if (next >= end) return kind == TChunkClass::data && (next == end || at + chunk_header_size + *size == end);
    const auto next_id = file.read_fourcc_at(next);
    if (next_id && known_id(*next_id)) {
      at = next;
      continue;
    }
    // A writer that left out the pad byte after an odd size.
    const auto early = *size % 2 != 0 ? file.read_fourcc_at(next - 1) : std::nullopt;
    if (!early || !known_id(*early)) return false;
    at = next - 1;
  }
  return chunks > 0;
}

// Reads like read_at; what a bad block of the medium keeps from being read
// is searched as zeros, which spell no chunk id.
std::size_t read_around_bad_blocks(TFileIO& file, std::uint64_t at, unsigned char* buffer, std::size_t n) {
  try {
    return file.read_at(at, buffer, n);
  } catch (const TIoError& e) {
    if (!e.is_unreadable()) throw;
  }
  constexpr std::size_t page = 4096;
  std::size_t done = 0;
  while (done < n) {
    const std::size_t step = std::min(page, n - done);
    std::size_t got = step;
    try {
      got = file.read_at(at + done, buffer + done, step);
    } catch (const TIoError& e) {
      if (!e.is_unreadable()) throw;
      std::fill_n(buffer + done, step, 0);
    }
    done += got;
    if (got < step) break;
  }
  return done;
}

TFourCC id_of(int stream, const char* kind) {
  const std::string text = two_digits(static_cast<std::uint64_t>(stream)) + kind;
  return {text[0], text[1], text[2], text[3]};
}

void log_rebuild_line(const TRebuildLine& line) {
  if (line.tail.empty()) {
    log_message(line.message, line.kind);
  } else {
    log_message(line.message, line.kind, line.tail);
  }
}

}  // namespace

std::optional<std::uint64_t> find_chunk_run(TFileIO& file, const std::vector<TFourCC>& ids) {
  std::vector<unsigned char> block(run_search_block);
  const std::uint64_t end = file.size();
  std::uint64_t not_zeros = 0;
  for (std::uint64_t from = 0; from < end && not_zeros <= run_search_limit;) {
    const std::size_t got = read_around_bad_blocks(file, from, block.data(), block.size());
    if (std::any_of(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(got), [](unsigned char b) { return b != 0; })) {
      not_zeros += got;
    }
    // The pair "dc", "db" or "wb" at bytes 3-4 of an id; the id lies whole in the block.
    for (std::size_t j = 0; j + 4 <= got; ++j) {
      const unsigned char c = block[j + 2];
      const unsigned char d = block[j + 3];
      if (!((c == 'd' && (d == 'c' || d == 'b')) || (c == 'w' && d == 'b'))) continue;
      if (!wanted(to_fourcc(block.data() + j), ids)) continue;
      try {
        if (run_starts_at(file, from + j, ids)) return from + j;
      } catch (const TIoError& e) {
        // (A run that leads into a bad block is none.)
        if (!e.is_unreadable()) throw;
      }
    }
    if (got < block.size()) break;
    pump_messages();
    if (stop_flag.load() != 0) break;
    from += got - 3;
  }
  return std::nullopt;
}

std::optional<std::vector<unsigned char>> read_header_list(TFileIO& file) {
  unsigned char signature[8];
  if (file.read_at(avi_signature_offset, signature, sizeof signature) != sizeof signature ||
      std::memcmp(signature, avi_signature.data(), sizeof signature) != 0) {
    return std::nullopt;
  }
  const auto size = file.read_le32_at(header_list_size_offset);
  const auto type = file.read_fourcc_at(header_list_offset + 8);
  if (!size || !type || !same_id(*type, id_hdrl) || *size < 4 || *size > max_header_list) return std::nullopt;
  std::vector<unsigned char> list(static_cast<std::size_t>(chunk_header_size + padded_size(*size)));
  const std::size_t whole = static_cast<std::size_t>(chunk_header_size + *size);
  if (file.read_at(header_list_offset, list.data(), whole) != whole) return std::nullopt;
  return list;
}

std::vector<TFourCC> stream_chunk_ids(const std::vector<unsigned char>& header_list) {
  std::vector<TFourCC> ids;
  int stream = 0;
  const std::size_t end = header_list.size();
  for (std::size_t at = list_header_size; at + chunk_header_size <= end && stream < max_streams;) {
    const std::uint32_t size = read_le32(header_list.data() + at + 4);
    const bool strl = same_id(to_fourcc(header_list.data() + at), id_list) && at + list_header_size <= end &&
                      same_id(to_fourcc(header_list.data() + at + 8), id_strl);
    if (strl) {
      // The type is the first field of the strh that opens the stream list.
      const std::size_t strh = at + list_header_size;
      const bool typed = strh + chunk_header_size + 4 <= end && same_id(to_fourcc(header_list.data() + strh), id_strh);
      const TFourCC type = typed ? to_fourcc(header_list.data() + strh + chunk_header_size) : fourcc("????");
      if (same_id(type, id_vids)) {
        ids.push_back(id_of(stream, "dc"));
        ids.push_back(id_of(stream, "db"));
      } else if (same_id(type, fourcc("auds"))) {
        ids.push_back(id_of(stream, "wb"));
      } else {
        ids.push_back(id_of(stream, "dc"));
        ids.push_back(id_of(stream, "wb"));
      }
      ++stream;
    }
    const std::uint64_t next = at + chunk_header_size + padded_size(size);
    if (next > end) break;
    at = static_cast<std::size_t>(next);
  }
  return ids;
}

std::vector<unsigned char> head_before_data(const std::vector<unsigned char>& header_list, std::uint64_t data_bytes) {
  const std::size_t movi_list = header_list_offset + header_list.size();
  std::vector<unsigned char> head(movi_list + list_header_size);
  std::copy(header_list.begin(), header_list.end(), head.begin() + header_list_offset);
  const std::uint64_t whole = head.size() + data_bytes;
  std::memcpy(head.data(), id_riff.data(), 4);
  write_le32(head.data() + 4, static_cast<std::uint32_t>(std::min(whole - chunk_header_size, max_riff_size)));
  std::memcpy(head.data() + avi_signature_offset, "AVI ", 4);
  std::memcpy(head.data() + movi_list, id_list.data(), 4);
  write_le32(head.data() + movi_list + 4, static_cast<std::uint32_t>(std::min(4 + data_bytes, max_riff_size)));
  std::memcpy(head.data() + movi_list + 8, id_movi.data(), 4);
  return head;
}

TRebuildOutcome read_behind_new_header(TFileIO& file, const std::string& path, const THeaderRebuild& rebuild) {
  std::vector<unsigned char> header_list;
  if (!rebuild.reference.empty()) {
    TFileIO reference;
    std::optional<std::vector<unsigned char>> list;
    try {
      if (reference.open_read(rebuild.reference)) list = read_header_list(reference);
    } catch (const TIoError&) {
      list.reset();
    }
    if (!list) {
      log_message(msg_reference_unusable, mk_error, rebuild.reference);
      return TRebuildOutcome::refused;
    }
    header_list = std::move(*list);
  }
  const std::optional<std::uint64_t> start =
      find_chunk_run(file, header_list.empty() ? std::vector<TFourCC>{} : stream_chunk_ids(header_list));
  if (!start) {
    if (header_list.empty()) return TRebuildOutcome::no_data;
    log_message(msg_no_reference_data, mk_error, path);
    return TRebuildOutcome::refused;
  }
  log_message(msg_header_gone, mk_warning, std::to_string(*start));
  if (!header_list.empty()) {
    if (const std::optional<TRebuildLine> differs = reference_mismatch(header_list, file, *start)) {
      log_rebuild_line(*differs);
      log_message(msg_reference_refused, mk_error, path);
      return TRebuildOutcome::refused;
    }
    log_message(msg_header_from_reference, mk_plain, rebuild.reference);
  } else {
    THeaderGuessResult guessed = guess_header_list(file, *start);
    if (!guessed.guess) {
      if (guessed.refusal) log_rebuild_line(*guessed.refusal);
      return TRebuildOutcome::refused;
    }
    log_message(msg_header_from_data, mk_warning);
    for (const TRebuildLine& line : guessed.guess->assumptions) log_rebuild_line(line);
    header_list = std::move(guessed.guess->header_list);
  }
  file.set_view(head_before_data(header_list, file.size() - *start), *start);
  return TRebuildOutcome::rebuilt;
}

}  // namespace engine_detail
