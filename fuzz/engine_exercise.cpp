// The branches of the engine fuzzer and what each checks afterwards.
#include "engine_exercise.h"

#include <stdlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <vector>

#include "engine/algorithm_unit.h"
#include "engine/avi_structs.h"
#include "engine/file_io.h"
#include "engine/header_list.h"
#include "engine/header_rebuild.h"
#include "engine/keyframe.h"
#include "engine/opendml.h"
#include "engine/reporting.h"

namespace fuzzcheck {

namespace fs = std::filesystem;

namespace {

using TBytes = std::vector<std::uint8_t>;

constexpr std::string_view source_name = "clip.avi";
constexpr std::string_view fixed_output_name = "Fixed.clip.avi";

// Discards the log. Counts pumps and presses Stop once after a given number
// of them; for a check it also watches that the temporary folder stays empty
// the whole time, not only at the end.
class TFuzzSink final : public TReportSink {
 public:
  void out_text(const std::string&, std::uint8_t, bool) override { watch(); }
  [[nodiscard]] int progress_position() const override { return position_; }
  void set_progress_position(int position) override { position_ = position; }
  void pump_events() override {
    ++pumps_;
    if (stop_after && !stop_pressed && pumps_ > *stop_after) {
      stop_flag.store(1);
      stop_pressed = true;
    }
    watch();
  }

  std::optional<int> stop_after;
  const fs::path* watched = nullptr;
  bool stop_pressed = false;
  bool temp_seen = false;

 private:
  void watch() {
    if (watched != nullptr && !temp_seen && !fs::is_empty(*watched)) temp_seen = true;
  }
  int position_ = 0;
  int pumps_ = 0;
};

// Installs the sink for one branch; the next run starts without a stop request.
class TSinkScope final {
 public:
  explicit TSinkScope(TFuzzSink& sink) {
    stop_flag.store(0);
    set_report_sink(&sink);
  }
  ~TSinkScope() {
    set_report_sink(nullptr);
    stop_flag.store(0);
  }
  TSinkScope(const TSinkScope&) = delete;
  TSinkScope& operator=(const TSinkScope&) = delete;
};

void write_bytes(const fs::path& path, const TBytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::optional<TBytes> read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return TBytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> names_in(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

void clear_folder(const fs::path& folder) {
  for (const auto& entry : fs::directory_iterator(folder)) fs::remove_all(entry.path());
}

std::uint32_t le32(const TBytes& b, std::uint64_t at) { return read_le32(b.data() + at); }

bool id_at(const TBytes& b, std::uint64_t at, std::string_view id) {
  return at + 4 <= b.size() && std::equal(id.begin(), id.end(), b.begin() + static_cast<std::ptrdiff_t>(at),
                                          [](char c, std::uint8_t x) { return static_cast<std::uint8_t>(c) == x; });
}

// Collects what went wrong in one run.
class TFindings final {
 public:
  void add(const std::string& what) { text_ += (text_.empty() ? "" : "; ") + what; }
  [[nodiscard]] const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// Whether the index entries of a repaired file name chunks that are really
// in its movi list [movi_pos + 4, list_end): the entry's id (a per-stream
// index chunk is taken for the stream it indexes) and size at the offset,
// counted from "movi", in ascending order and without overlap.
std::string entries_problem(const TBytes& out, std::uint64_t movi_pos, std::uint64_t list_end, std::uint64_t idx1_pos) {
  const std::uint64_t count = le32(out, idx1_pos + 4) / index_entry_size;
  std::uint64_t previous_end = movi_pos + 4;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t e = idx1_pos + 8 + i * index_entry_size;
    const TFourCC id = to_fourcc(out.data() + e);
    const std::uint32_t flags = le32(out, e + 4);
    const std::uint32_t offset = le32(out, e + 8);
    const std::uint32_t size = le32(out, e + 12);
    const std::string where = "entry " + std::to_string(i) + " (offset " + std::to_string(offset) + ", size " +
                              std::to_string(size) + ")";
    if (!is_data_id(id)) return where + " has no data chunk id";
    if (flags != flag_none && flags != flag_keyframe) return where + " has flags " + std::to_string(flags);
    const std::uint64_t p = movi_pos + offset;
    if (p < previous_end) return where + " lies before the end of the chunk before it";
    if (p + 8 > list_end) return where + " lies outside the movi list";
    const TFourCC there = to_fourcc(out.data() + p);
    if (!same_id(there, id) && classify_id(there) != TChunkClass::stream_index) {
      return where + " names a chunk that is not there";
    }
    if (le32(out, p + 4) != size) return where + " disagrees with the chunk's size field";
    // In place, a writer's chunk without its pad byte stays so.
    const std::uint64_t end = p + 8 + size;
    if (end > list_end) return where + " runs past the end of the movi list";
    previous_end = end;
  }
  return {};
}

// Whether byte i of the source lies in a length field the repair may set:
// avih's dwTotalFrames, a strh's dwLength or dmlh's dwTotalFrames.
bool in_length_field(const TBytes& source, std::uint64_t i) {
  for (std::uint64_t k = 0; k < 4; ++k) {
    if (i >= 24 + k && id_at(source, i - 24 - k, "avih")) return true;
    if (i >= 40 + k && id_at(source, i - 40 - k, "strh")) return true;
    if (i >= 8 + k && id_at(source, i - 8 - k, "dmlh")) return true;
  }
  return false;
}

// In place, a file of one RIFF chunk may have a super index emptied: its
// nEntriesInUse made 0.
bool in_emptied_super_index(const TBytes& source, const TBytes& out, std::uint64_t i) {
  for (std::uint64_t k = 0; k < 4; ++k) {
    if (i >= 12 + k && id_at(source, i - 12 - k, "indx") && i - k + 4 <= out.size() && le32(out, i - k) == 0) return true;
  }
  return false;
}

// A repaired file ends in its idx1 chunk, and the size field of a "movi"
// list leads right to it. Besides that list's size field, the RIFF size and
// the header's length fields, the repair leaves every byte before the movi
// data as it was (new file), or every byte before the index (in place). Returns the first problem seen, or "". `entries`
// receives the index entries without their offsets, which differ between
// the modes: id, flags and size, 12 bytes each.
std::string repaired_file_problem(const TBytes& out, const TBytes& source, bool in_place,
                                  TBytes* entries = nullptr) {
  std::optional<std::uint64_t> idx1_pos;
  for (std::uint64_t c = 0; 8 + c * index_entry_size <= out.size(); ++c) {
    const std::uint64_t x = out.size() - 8 - c * index_entry_size;
    if (id_at(out, x, "idx1") && le32(out, x + 4) == c * index_entry_size) {
      idx1_pos = x;
      break;
    }
  }
  if (!idx1_pos) return "the repaired file does not end in an index chunk";
  if (le32(out, 4) != out.size() - 8) return "the RIFF size is not the file's size - 8";

  std::string first_problem;
  for (std::uint64_t m = 4; m + 4 <= *idx1_pos; ++m) {
    if (!id_at(out, m, "movi")) continue;
    const std::uint64_t list_end = m + le32(out, m - 4);
    if (list_end + (list_end & 1u) != *idx1_pos) continue;
    std::string problem = entries_problem(out, m, list_end, *idx1_pos);
    if (problem.empty()) {
      std::uint64_t kept = in_place ? list_end : m + 4;
      // In place, a source that ended at an odd offset inside a stretch the
      // walk could not take gets its pad byte into that stretch's JUNK chunk.
      if (in_place && kept == source.size() + 1 && source.size() % 2 != 0 && out[source.size()] == 0) --kept;
      if (kept > source.size()) {
        problem = "the repaired file's movi data reach beyond the source";
      } else {
        // In place, what the walk could not take becomes JUNK chunks: their
        // headers are new bytes.
        std::vector<bool> junk_header(kept, false);
        for (std::uint64_t j = m + 4; in_place && j + 8 <= kept; ++j) {
          if (id_at(out, j, "JUNK") && !id_at(source, j, "JUNK")) std::fill_n(junk_header.begin() + static_cast<std::ptrdiff_t>(j), 8, true);
          // (A JUNK chunk that ran past the end is cut back to the new index.)
          if (id_at(out, j, "JUNK") && id_at(source, j, "JUNK") && j + 8 <= source.size() &&
              le32(out, j + 4) < le32(source, j + 4)) {
            std::fill_n(junk_header.begin() + static_cast<std::ptrdiff_t>(j + 4), 4, true);
          }
        }
        // A source whose RIFF header was lost gets one written anew.
        const bool head_lost = source.size() < 16 || !id_at(source, 8, "AVI ") || !id_at(source, 12, "LIST");
        for (std::uint64_t i = 0; i < kept; ++i) {
          if (head_lost && i < 16) continue;
          if ((i < m - 4 || i >= m) && (i < 4 || i >= 8) && out[i] != source[i] && !in_length_field(source, i) &&
              !junk_header[i] && !(in_place && in_emptied_super_index(source, out, i))) {
            problem = "byte " + std::to_string(i) + " changed outside the size and length fields";
            break;
          }
        }
      }
    }
    if (problem.empty()) {
      if (entries != nullptr) {
        entries->clear();
        const std::uint64_t count = le32(out, *idx1_pos + 4) / index_entry_size;
        for (std::uint64_t i = 0; i < count; ++i) {
          const auto e = static_cast<std::ptrdiff_t>(*idx1_pos + 8 + i * index_entry_size);
          entries->insert(entries->end(), out.begin() + e, out.begin() + e + 8);
          entries->insert(entries->end(), out.begin() + e + 12, out.begin() + e + 16);
        }
      }
      return {};
    }
    if (first_problem.empty()) first_problem = "movi at " + std::to_string(m) + ": " + problem;
  }
  return first_problem.empty() ? "no movi list ends at the index chunk" : first_problem;
}

// Whether the last idx1 in a file's first RIFF chunk names video chunks but
// marks none of them as a key frame.
bool video_without_key_frames(const TBytes& out) {
  if (out.size() < 12) return false;
  const std::uint64_t riff_end = std::min<std::uint64_t>(out.size(), std::uint64_t{8} + le32(out, 4));
  for (std::uint64_t at = riff_end >= 4 ? riff_end - 4 : 0; at-- > 0;) {
    if (!id_at(out, at, "idx1") || at + 8 > out.size()) continue;
    const std::uint64_t end = std::min<std::uint64_t>(out.size(), at + 8 + le32(out, at + 4));
    bool video = false;
    for (std::uint64_t e = at + 8; e + index_entry_size <= end; e += index_entry_size) {
      if (!is_video_id(to_fourcc(out.data() + e))) continue;
      if ((le32(out, e + 4) & flag_keyframe) != 0) return false;
      video = true;
    }
    return video;
  }
  return false;
}

// Whether the source is a long recording in the OpenDML form.
bool source_is_opendml(const fs::path& path) {
  TFileIO file;
  return file.open_read(path.string()) && is_opendml(file);
}

// Whether the bytes go on in further RIFF chunks.
bool has_further_extents(const TBytes& bytes, TWorkspace& workspace) {
  const fs::path path = workspace.files() / "extents.avi";
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  TFileIO file;
  const bool further = file.open_read(path.string()) && !further_extents(file).empty();
  file.abandon();
  fs::remove(path);
  return further;
}

// A new file made from an OpenDML source is RIFF chunks end to end, and
// every entry of its super indexes leads to a standard index chunk whose
// entries each name a chunk that is there with that id and size. Returns
// the first problem seen, or "".
std::string opendml_file_problem(const TBytes& out, const fs::path& path) {
  for (std::uint64_t p = 0; p < out.size();) {
    // The first id is the source's, as the repair takes any there.
    if (p + 12 > out.size() || (p > 0 && !id_at(out, p, "RIFF")) || !id_at(out, p + 8, p == 0 ? "AVI " : "AVIX")) {
      return "no RIFF chunk at " + std::to_string(p);
    }
    p += 8 + std::uint64_t{le32(out, p + 4)};
    if (p > out.size()) return "the last RIFF chunk runs past the end";
    // The last one may end the file at an odd offset, without its pad byte.
    if (p < out.size()) p += p & 1u;
  }
  TFileIO file;
  if (!file.open_read(path.string())) return "cannot open the new file";
  // A source whose header list cannot be walked gives index chunks to no stream.
  const auto header = walk_header_list(file);
  if (!header) return {};
  auto le64 = [&](std::uint64_t at) { return le32(out, at) | (std::uint64_t{le32(out, at + 4)} << 32); };
  for (const TStreamList& stream : header->streams) {
    if (!stream.indx || !stream.indx->holds(stream.indx->data, 24)) continue;
    const std::uint64_t indx = stream.indx->data;
    const std::uint64_t used = le32(out, indx + 4);
    if (!stream.indx->holds(indx + 24, 16 * used)) return "a super index has more entries than room";
    for (std::uint64_t k = 0; k < used; ++k) {
      const std::uint64_t ix = le64(indx + 24 + 16 * k);
      if (ix + 32 > out.size() || !id_at(out, ix, "ix")) return "a super index entry leads to no index chunk";
      const std::uint64_t count = le32(out, ix + 12);
      if (le32(out, ix + 4) != 24 + 8 * count || ix + 32 + 8 * count > out.size()) return "an index chunk's size is off";
      const std::uint64_t base = le64(ix + 20);
      for (std::uint64_t j = 0; j < count; ++j) {
        const std::uint64_t data = base + le32(out, ix + 32 + 8 * j);
        const std::uint32_t size = le32(out, ix + 36 + 8 * j) & 0x7FFFFFFFu;
        // A stream's chunks may differ in their last two letters ("00db",
        // "00dc"): the index chunk names one id for all.
        if (data < 8 || data + size > out.size() || le32(out, data - 4) != size ||
            !std::equal(out.begin() + static_cast<std::ptrdiff_t>(ix + 16), out.begin() + static_cast<std::ptrdiff_t>(ix + 18),
                        out.begin() + static_cast<std::ptrdiff_t>(data - 8)) ||
            !is_data_id(to_fourcc(out.data() + data - 8))) {
          return "a standard index entry names no such chunk";
        }
      }
    }
  }
  return {};
}

// What must hold after fix_file returned `result` on `source`.
// `check_output`: whether to check the repaired file too (not where the
// sink may still press Stop, which would stop the check).
void check_fix(TFindings& findings, TWorkspace& workspace, const TBytes& source, bool new_file, int result,
               bool stop_pressed, bool check_output = true) {
  const fs::path path = workspace.files() / source_name;
  const fs::path output = workspace.files() / fixed_output_name;
  const bool may_stop = stop_pressed && result == fix_stopped;
  if (result != fix_repaired && result != fix_not_repaired && !may_stop) {
    findings.add("fix_file returned " + std::to_string(result));
  }
  if (result == fix_stopped && stop_flag.load() != 0) findings.add("the stop request outlived the stop");

  const std::optional<TBytes> after = read_bytes(path);
  if (!after) {
    findings.add("the source is gone");
    return;
  }
  // The source is only read in new-file mode; in place it changes only in
  // the finish, which neither a refusal nor a stop reaches.
  const bool must_be_unchanged = new_file || result != fix_repaired;
  if (must_be_unchanged && *after != source) findings.add("the source changed");

  const bool output_exists = fs::exists(output);
  if (!new_file && output_exists) findings.add("in place, a new file was made");
  if (new_file && result == fix_not_repaired && output_exists) findings.add("the new file was left after a failure");
  if (new_file && result == fix_repaired && !output_exists) findings.add("no new file after a repair");

  if (result == fix_repaired) {
    const std::optional<TBytes> repaired = new_file ? read_bytes(output) : after;
    if (repaired) {
      // A long recording in several RIFF chunks keeps its layout in place too.
      const bool opendml = new_file ? source_is_opendml(path) : has_further_extents(source, workspace);
      const std::string problem = opendml ? opendml_file_problem(*repaired, new_file ? output : path)
                                          : repaired_file_problem(*repaired, source, !new_file);
      if (!problem.empty()) findings.add(problem);
      // A file the repair wrote passes its own check: no damaged place, no
      // chunk cut off, an index that agrees. An index with no key frame at
      // all is the one problem the check may still count: what the stream's
      // bytes say decides that, not the repair.
      if (problem.empty() && check_output) {
        const int problems = check_file((new_file ? output : path).string());
        const int allowed = video_without_key_frames(*repaired) ? 1 : 0;
        // (The check takes no file too short to hold the first stream's rate.)
        if (problems != allowed && !(problems < 0 && repaired->size() < 136)) {
          findings.add("the repaired file fails its check (" + std::to_string(problems) + " problems)");
        }
      }
    }
  }

  std::vector<std::string> expected{std::string(source_name)};
  if (new_file && output_exists) expected.emplace_back(fixed_output_name);
  std::sort(expected.begin(), expected.end());
  if (names_in(workspace.files()) != expected) findings.add("unexpected files beside the source");
}

// Both modes walk the same chunks: when both repair, their indexes list the
// same chunks with the same flags; only the offsets may differ, as the new
// file leaves out what the scan stepped over.
void check_modes_agree(TFindings& findings, TWorkspace& workspace, const TBytes& source) {
  const fs::path path = workspace.files() / source_name;
  const int new_file_result = fix_file(path.string(), 1);
  check_fix(findings, workspace, source, true, new_file_result, false);
  TBytes new_file_index;
  bool new_file_index_read = false;
  // An OpenDML source's new file is laid out otherwise; checked above.
  if (new_file_result == fix_repaired) {
    const auto out = read_bytes(workspace.files() / fixed_output_name);
    if (out && !source_is_opendml(path)) {
      new_file_index_read = repaired_file_problem(*out, source, false, &new_file_index).empty();
    }
    fs::remove(workspace.files() / fixed_output_name);
  }
  const int in_place_result = fix_file(path.string(), 0);
  check_fix(findings, workspace, source, false, in_place_result, false);
  TBytes in_place_index;
  bool in_place_index_read = false;
  if (in_place_result == fix_repaired) {
    if (const auto out = read_bytes(path)) {
      in_place_index_read = repaired_file_problem(*out, source, true, &in_place_index).empty();
    }
  }
  // A broken index was reported above already.
  if (new_file_index_read && in_place_index_read && new_file_index != in_place_index) {
    findings.add("the new file's index and the in-place index list different chunks (" +
                 std::to_string(new_file_index.size() / 12) + " / " + std::to_string(in_place_index.size() / 12) +
                 " entries)");
  }
}

void check_locate(TFindings& findings, const fs::path& path, const TBytes& source, std::uint8_t parameter) {
  TFileIO file;
  if (!file.open_read(path.string())) {
    findings.add("cannot open the file read-only");
    return;
  }
  // Any position, inside or past the end, must come back as it was.
  const std::uint64_t start = static_cast<std::uint64_t>(parameter) * 257;
  file.seek(start);
  const std::uint32_t found = locate_old_index(file);
  if (file.pos() != start) findings.add("locate_old_index moved the position");
  if (found != 0 && (found >= source.size() || !id_at(source, found, "idx1"))) {
    findings.add("locate_old_index returned " + std::to_string(found) + ", where there is no idx1");
  }
  // The read cache now holds other bytes; the answer must not depend on it.
  file.seek(0);
  if (locate_old_index(file) != found) findings.add("locate_old_index answered differently the second time");
}

// Bytes [0, n) of `data` in a heap block of exactly n bytes, so that the
// address sanitizer sees any read past them.
TBytes exact_copy(const TBytes& data, std::size_t n) {
  return TBytes(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
}

void check_keyframe(TFindings& findings, const fs::path& path, const TBytes& source) {
  TFileIO file;
  if (!file.open_read(path.string())) {
    findings.add("cannot open the file read-only");
    return;
  }
  const std::vector<TStreamInfo> streams = read_stream_headers(file);
  if (streams.size() > static_cast<std::size_t>(max_streams)) findings.add("more streams than a chunk id can name");
  if (file.pos() != 0) findings.add("read_stream_headers moved the position");
  for (const TStreamInfo& info : streams) (void)codec_family(info);

  const std::size_t window = std::min(source.size(), keyframe_window);
  const TBytes whole_window = exact_copy(source, window);
  constexpr std::array families{TCodecFamily::intra, TCodecFamily::mpeg4, TCodecFamily::msmpeg4,
                                TCodecFamily::h264,  TCodecFamily::hevc,  TCodecFamily::mpeg12};
  const std::array<std::size_t, 16> lengths{0, 1, 2, 3, 4, 5, 6, 7, 8, 16, 63, 64, 65, window / 2, window - 1, window};
  // As the rule starts stream 0: with the VOL header of its extradata.
  const int time_bits = streams.empty() ? 0 : streams[0].vop_time_bits;
  const auto decide = [&](TCodecFamily family, const TBytes& data, std::size_t n, bool whole) {
    int bits = time_bits;
    return key_in_window(family, data.data(), n, whole, bits);
  };
  for (const TCodecFamily family : families) {
    const std::string name = "family " + std::to_string(static_cast<int>(family));
    const std::optional<bool> full = decide(family, whole_window, window, true);
    if (!full) {
      findings.add(name + ": no answer on a whole window");
      continue;
    }
    for (const std::size_t n : lengths) {
      if (n > window) continue;
      const TBytes prefix = exact_copy(source, n);
      if (!decide(family, prefix, n, true)) findings.add(name + ": no answer on a whole window");
      // A decision on the first bytes must be the one the whole window gives.
      const std::optional<bool> early = decide(family, prefix, n, false);
      if (early && *early != *full) {
        findings.add(name + ": the first " + std::to_string(n) + " bytes decide otherwise than the whole window");
      }
    }
  }

  // The rule as the repair uses it on a chunk of stream 0 whose data are the
  // whole file: its quick look at the first bytes must agree with the window.
  if (!source.empty()) {
    TKeyframeRule rule(streams);
    const TCodecFamily family = rule.family_of(0);
    const auto size = static_cast<std::uint32_t>(source.size());
    const bool key = rule.is_key(file, fourcc("00dc"), 0, size);
    if (family == TCodecFamily::other) {
      if (!key || rule.is_key(file, fourcc("00dc"), 0, size)) findings.add("other family: not only the first frame is key");
    } else if (key != decide(family, whole_window, window, true).value_or(!key)) {
      findings.add("is_key disagrees with key_in_window on the whole window");
    }
  }
}

void check_read_only(TFindings& findings, const char* what, const fs::path& path, const TBytes& source,
                     TWorkspace& workspace) {
  const std::optional<TBytes> after = read_bytes(path);
  if (!after || *after != source) findings.add(std::string(what) + " changed the file");
  if (names_in(workspace.files()) != std::vector<std::string>{std::string(source_name)}) {
    findings.add(std::string(what) + " made a file beside the source");
  }
}

void check_strip(TFindings& findings, const fs::path& path, const TBytes& source, int result) {
  const std::optional<TBytes> after = read_bytes(path);
  if (!after) {
    findings.add("strip_index lost the file");
    return;
  }
  if (result == 0) {
    if (*after != source) findings.add("strip_index returned 0 but changed the file");
    return;
  }
  if (result != 1) {
    findings.add("strip_index returned " + std::to_string(result));
    return;
  }
  // Only an index that runs to the end is cut away, and the RIFF size follows.
  const std::uint64_t k = after->size();
  if (k >= source.size() || k < 8) {
    findings.add("strip_index left " + std::to_string(k) + " bytes of " + std::to_string(source.size()));
    return;
  }
  if (!id_at(source, k, "idx1")) findings.add("strip_index cut where no idx1 is");
  if (k + 8 <= source.size() && k + 8 + padded_size(le32(source, k + 4)) < source.size()) {
    findings.add("strip_index cut away more than the index");
  }
  if (le32(*after, 4) != k - 8) findings.add("strip_index left a wrong RIFF size");
  for (std::uint64_t i = 0; i < k; ++i) {
    if ((i < 4 || i >= 8) && (*after)[i] != source[i]) {
      findings.add("strip_index changed byte " + std::to_string(i));
      break;
    }
  }
}

// The header made from the data is made or refused, and one made fits the
// data it was made from; the file's own first bytes as a reference, whatever
// they are, get an answer. The file is only read.
void check_rebuild(TFindings& findings, const fs::path& path, const TBytes& source, std::uint8_t parameter,
                   TWorkspace& workspace) {
  {
    TFileIO file;
    if (!file.open_read(path.string())) {
      findings.add("cannot open the file read-only");
      return;
    }
    // Where the data start: after the first "movi", else where the parameter says.
    const auto movi = std::search(source.begin(), source.end(), id_movi.begin(), id_movi.end());
    const std::uint64_t start =
        movi != source.end() ? static_cast<std::uint64_t>(movi - source.begin()) + 4 : parameter;
    const THeaderGuessResult r = guess_header_list(file, start);
    if (r.guess.has_value() == r.refusal.has_value()) {
      findings.add("guess_header_list gave both a header and a refusal, or neither");
    }
    if (r.guess) {
      const TBytes& h = r.guess->header_list;
      if (h.size() < list_header_size || le32(h, 4) != h.size() - chunk_header_size) {
        findings.add("the header list's size is not its own");
      } else if (const auto differs = reference_mismatch(h, file, start)) {
        findings.add("the header made from the data does not fit them: " + differs->tail);
      }
    }
    if (source.size() > header_list_offset) {
      (void)reference_mismatch(TBytes(source.begin() + header_list_offset, source.end()), file, start);
    }
  }
  check_read_only(findings, "the header rebuild", path, source, workspace);
}

// A new file of the data behind the header made from them (reelwright-fix's
// repair of a file whose start is lost): the source is only read, a refusal
// leaves nothing, a new file is one the check can read.
void check_rebuilt_repair(TFindings& findings, TWorkspace& workspace, const TBytes& source) {
  const fs::path path = workspace.files() / source_name;
  const fs::path output = workspace.files() / fixed_output_name;
  std::optional<std::string> written;
  const int result = fix_file(path.string(), 1, written, {}, THeaderRebuild{true, {}});
  if (result != fix_repaired && result != fix_not_repaired) {
    findings.add("fix_file with the header rebuild returned " + std::to_string(result));
  }
  const std::optional<TBytes> after = read_bytes(path);
  if (!after || *after != source) findings.add("the repair with the header rebuild changed the source");
  if (fs::exists(output) != (result == fix_repaired)) findings.add("the header rebuild's new file is there after a failure, or missing after a repair");
  // (A file with an AVI signature or a header list is repaired as ever, and
  // a very short one of those may give a new file too short for the check.)
  const bool signed_avi = id_at(source, avi_signature_offset, "AVI ") && id_at(source, header_list_offset, "LIST");
  const bool rebuilt = !signed_avi && !id_at(source, header_list_offset + 8, "hdrl");
  if (rebuilt && result == fix_repaired && check_file(output.string()) == check_failed) {
    findings.add("the check cannot read the rebuilt file");
  }
  fs::remove(output);
}

}  // namespace

TBranch branch_of(const std::uint8_t* data, std::size_t size) {
  return static_cast<TBranch>(size == 0 ? 0 : data[0] % branch_count);
}

const char* branch_name(TBranch branch) {
  switch (branch) {
    case TBranch::fix_new_file: return "fix_new_file";
    case TBranch::fix_in_place: return "fix_in_place";
    case TBranch::locate_index: return "locate_index";
    case TBranch::keyframe: return "keyframe";
    case TBranch::check: return "check";
    case TBranch::strip: return "strip";
    case TBranch::stop_new_file: return "stop_new_file";
    case TBranch::stop_in_place: return "stop_in_place";
    case TBranch::modes_agree: return "modes_agree";
    case TBranch::rebuild_header: return "rebuild_header";
  }
  return "?";
}

TWorkspace::TWorkspace() {
  const char* base = std::getenv("TMPDIR");
  if (base != nullptr && *base != '\0') old_tmpdir_ = base;
  std::string pattern = old_tmpdir_.value_or("/tmp") + "/reelwright-fuzz-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::system_error(errno, std::generic_category(), "mkdtemp");
  root_ = pattern;
  files_ = root_ / "files";
  tmp_ = root_ / "tmp";
  fs::create_directory(files_);
  fs::create_directory(tmp_);
  ::setenv("TMPDIR", tmp_.c_str(), 1);
}

TWorkspace::~TWorkspace() {
  if (old_tmpdir_) {
    ::setenv("TMPDIR", old_tmpdir_->c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

std::string exercise(TWorkspace& workspace, TBranch branch, const std::uint8_t* data, std::size_t size) {
  const std::uint8_t parameter = size > 1 ? data[1] : 0;
  const TBytes source = size > input_header ? TBytes(data + input_header, data + size) : TBytes();
  const fs::path path = workspace.files() / source_name;
  clear_folder(workspace.files());
  clear_folder(workspace.tmp());
  write_bytes(path, source);

  TFindings findings;
  TFuzzSink sink;
  {
    const TSinkScope scope(sink);
    switch (branch) {
      case TBranch::fix_new_file:
      case TBranch::fix_in_place: {
        const bool new_file = branch == TBranch::fix_new_file;
        const int result = fix_file(path.string(), new_file ? 1 : 0);
        check_fix(findings, workspace, source, new_file, result, false);
        break;
      }
      case TBranch::stop_new_file:
      case TBranch::stop_in_place: {
        const bool new_file = branch == TBranch::stop_new_file;
        sink.stop_after = parameter;
        const int result = fix_file(path.string(), new_file ? 1 : 0);
        check_fix(findings, workspace, source, new_file, result, sink.stop_pressed, false);
        break;
      }
      case TBranch::modes_agree:
        check_modes_agree(findings, workspace, source);
        break;
      case TBranch::locate_index:
        check_locate(findings, path, source, parameter);
        break;
      case TBranch::rebuild_header:
        check_rebuild(findings, path, source, parameter, workspace);
        check_rebuilt_repair(findings, workspace, source);
        break;
      case TBranch::keyframe:
        check_keyframe(findings, path, source);
        break;
      case TBranch::check: {
        const fs::path tmp = workspace.tmp();
        sink.watched = &tmp;
        const int result = check_file(path.string());
        sink.watched = nullptr;
        if (result < -1) findings.add("check_file returned " + std::to_string(result));
        if (sink.temp_seen) findings.add("check_file made a temporary file");
        check_read_only(findings, "check_file", path, source, workspace);
        break;
      }
      case TBranch::strip: {
        const int result = strip_index(path.string());
        check_strip(findings, path, source, result);
        if (names_in(workspace.files()) != std::vector<std::string>{std::string(source_name)}) {
          findings.add("strip_index made a file beside the source");
        }
        break;
      }
    }
  }
  if (!fs::is_empty(workspace.tmp())) findings.add("a temporary file was left behind");
  clear_folder(workspace.files());
  clear_folder(workspace.tmp());
  return findings.text().empty() ? std::string() : std::string(branch_name(branch)) + ": " + findings.text();
}

}  // namespace fuzzcheck
