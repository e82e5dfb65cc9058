// Shared pieces of the engine tests.
#include "engine_test_support.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>

#include <gtest/gtest.h>
#include <filesystem>

#include "platform/lang.h"
#include "engine/algorithm_unit.h"

namespace avitest {

void PrintTo(const TLine& line, std::ostream* os) { *os << "kind " << int(line.kind) << " \"" << line.text << "\""; }

TRecordingSink::TRecordingSink() { set_report_sink(this); }
TRecordingSink::~TRecordingSink() { set_report_sink(nullptr); }

void TRecordingSink::out_text(const std::string& text, std::uint8_t kind, bool show_box) {
  lines.push_back({text, kind});
  any_box = any_box || show_box;
  if (on_line) on_line(TLine{text, kind});
}

void TRecordingSink::set_progress_position(int position) {
  position_ = position;
  positions.push_back(position);
}

void TRecordingSink::pump_events() {
  ++pumps;
  if (on_pump) on_pump(pumps);
}

void use_english_catalogue() {
  static const bool loaded = [] {
    lang_base = 10000;
    lang_module = load_library(REELWRIGHT_TEST_LANG_EN);
    return lang_module != nullptr;
  }();
  (void)loaded;
}

std::string msg(std::uint32_t k) { return message(k); }

TCheck check(const TBytes& bytes) {
  namespace fs = std::filesystem;
  use_english_catalogue();
  TTempDir dir;
  TTempDir temp;
  ::setenv("TMPDIR", temp.path().c_str(), 1);
  TCheck c;
  c.path = dir.file("clip.avi").string();
  write_file(c.path, bytes);
  {
    TRecordingSink sink;
    c.result = check_file(c.path);
    c.lines = sink.lines;
  }
  ::unsetenv("TMPDIR");
  EXPECT_EQ(read_file(c.path), bytes) << "the check wrote to the file";
  EXPECT_TRUE(fs::is_empty(temp.path())) << "the check made a temporary file";
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
  return c;
}

std::size_t count_lines(const std::vector<TLine>& lines, std::uint32_t k) {
  return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [k](const TLine& l) {
    return l.text.rfind(" " + msg(k), 0) == 0;
  }));
}

TRun run_fix(const TBytes& bytes, bool new_file, const std::string& name) {
  use_english_catalogue();
  TTempDir dir;
  TTempDir temp;
  const std::string previous_tmpdir = std::getenv("TMPDIR") != nullptr ? std::getenv("TMPDIR") : "";
  ::setenv("TMPDIR", temp.path().c_str(), 1);
  TRun run;
  run.source_path = dir.file(name).string();
  run.source_before = bytes;
  write_file(run.source_path, bytes);
  {
    TRecordingSink sink;
    run.result = fix_file(run.source_path, new_file ? 1 : 0);
    run.lines = sink.lines;
  }
  if (previous_tmpdir.empty()) {
    ::unsetenv("TMPDIR");
  } else {
    ::setenv("TMPDIR", previous_tmpdir.c_str(), 1);
  }
  run.source_after = read_file(run.source_path);
  const std::string out = new_file ? fixed_name(run.source_path) : run.source_path;
  run.output_exists = std::filesystem::exists(out);
  if (run.output_exists) run.output = read_file(out);
  for (const auto& entry : std::filesystem::directory_iterator(temp.path())) {
    run.temp_left.push_back(entry.path().filename().string());
  }
  return run;
}

void put_lengths(TBytes& bytes, const TAvi& avi, std::size_t file_size, std::uint32_t frames,
                 const std::vector<std::uint32_t>& lengths) {
  put_le32(bytes, 4, static_cast<std::uint32_t>(file_size - 8));
  put_le32(bytes, avi.total_frames_at, frames);
  for (std::size_t n = 0; n < lengths.size(); ++n) put_le32(bytes, avi.length_at.at(n), lengths[n]);
}

TLine cut_off_line(std::size_t offset, std::size_t bytes) {
  return {" " + msg(101) + " " + std::to_string(offset) + " / " + std::to_string(bytes), mk_plain};
}

std::vector<TLine> closing_lines(const std::string& path, std::uint32_t damage_count) {
  return {{" " + msg(38) + " " + path + " .", mk_plain},
          {" " + msg(39) + " " + std::to_string(damage_count), mk_plain},
          {" " + msg(40), mk_plain}};
}

}  // namespace avitest
