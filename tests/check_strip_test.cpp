// Check for Errors and Strip Index: what the check reports for healthy and
// damaged files (the same damaged places the repair reports), that it never
// writes, and that Strip Index cuts away an index and nothing else.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "platform/lang.h"
#include "engine/algorithm_unit.h"
#include "engine_test_support.h"

using namespace avitest;
namespace fs = std::filesystem;

namespace {

TBytes cut(const TBytes& bytes, std::size_t length) {
  return TBytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
}

bool has_line(const std::vector<TLine>& lines, const TLine& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::vector<TLine> damage_lines_of(const std::vector<TLine>& lines) {
  std::vector<TLine> out;
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
    if (lines[i].text.rfind(" " + msg(36) + " ", 0) == 0) {
      out.push_back(lines[i]);
      out.push_back(lines[i + 1]);
    }
  }
  return out;
}

TAviBuilder healthy() {
  TAviBuilder b;
  for (int i = 0; i < 10; ++i) b.video(200 + static_cast<std::size_t>(i), i % 5 == 0).audio(81);
  return b;
}

}  // namespace

TEST(Check, HealthyFileChecksClean) {
  const TAvi avi = healthy().build();
  const TCheck c = check(avi.bytes);
  EXPECT_EQ(c.result, 0);
  const std::vector<TLine> expected = {
      {" " + msg(80) + " " + c.path, mk_information},
      {" " + msg(81) + " " + std::to_string(avi.movi_pos), mk_plain},
      {" " + msg(82) + " " + std::to_string(avi.idx1_pos), mk_plain},
      {" " + msg(86) + " 20", mk_plain},
      {" " + msg(84) + " " + std::to_string(avi.idx1_pos), mk_plain},
      {" " + msg(85) + " 20", mk_plain},
      {" " + msg(87), mk_information},
      {" " + msg(92), mk_information},
      {" " + msg(95), mk_plain},
  };
  EXPECT_EQ(c.lines, expected);
}

TEST(Check, IndexCutOff) {
  const TAvi avi = healthy().build();
  const TCheck c = check(cut(avi.bytes, avi.idx1_pos));
  EXPECT_EQ(c.result, 1);
  EXPECT_TRUE(has_line(c.lines, {" " + msg(83), mk_warning}));
  EXPECT_TRUE(has_line(c.lines, {" " + msg(93) + " 1", mk_error}));
  EXPECT_TRUE(has_line(c.lines, {" " + msg(94), mk_plain}));
}

TEST(Check, IndexWithoutKeyFrames) {
  const TAvi avi = healthy().build();
  TBytes bytes = avi.bytes;
  for (std::size_t at = avi.idx1_pos + 8; at < bytes.size(); at += 16) put_le32(bytes, at + 4, 0);
  const TCheck c = check(bytes);
  EXPECT_EQ(c.result, 1);
  EXPECT_TRUE(has_line(c.lines, {" " + msg(87), mk_information}));  // ids, offsets and sizes agree
  EXPECT_TRUE(has_line(c.lines, {" " + msg(90), mk_warning}));
  EXPECT_TRUE(has_line(c.lines, {" " + msg(94), mk_plain}));  // the flags would be rebuilt
}

TEST(Check, IndexThatDisagrees) {
  const TAvi avi = healthy().build();
  TBytes wrong_offset = avi.bytes;
  put_le32(wrong_offset, avi.idx1_pos + 8 + 16 * 6 + 8, 12345);
  const TCheck c = check(wrong_offset);
  EXPECT_EQ(c.result, 1);
  EXPECT_TRUE(has_line(c.lines, {" " + msg(89) + " 7", mk_error}));

  // An index that lost its last entries (a size field that says so).
  TBytes short_index = avi.bytes;
  put_le32(short_index, avi.idx1_pos + 4, 16 * 18);
  const TCheck d = check(short_index);
  EXPECT_TRUE(has_line(d.lines, {" " + msg(88) + " 18 / 20", mk_error}));
  EXPECT_FALSE(has_line(d.lines, {" " + msg(89) + " 19", mk_error}));

  // A size past the end of the file, every entry present agreeing: a
  // problem, as Fix writes the size anew.
  TBytes past_end = avi.bytes;
  put_le32(past_end, avi.idx1_pos + 4, 0xFFFFFFF0u);
  const TCheck e = check(past_end);
  EXPECT_EQ(e.result, 1);
  EXPECT_TRUE(has_line(e.lines, {" " + msg(130) + " " + std::to_string(avi.idx1_pos) + " / 4294967280", mk_error}));
  EXPECT_TRUE(has_line(e.lines, {" " + msg(94), mk_plain}));
}

// GStreamer's muxer gives index offsets from the start of the file; readers
// tell by the first entry, and the check compares on that base.
TEST(Check, IndexWithOffsetsFromTheStartOfTheFile) {
  const TAvi avi = healthy().build();
  TBytes absolute = avi.bytes;
  for (std::size_t at = avi.idx1_pos + 8; at < absolute.size(); at += 16) {
    put_le32(absolute, at + 8, get_le32(absolute, at + 8) + avi.movi_pos);
  }
  const TCheck c = check(absolute);
  EXPECT_EQ(c.result, 0);
  EXPECT_TRUE(has_line(c.lines, {" " + msg(103), mk_plain}));
  EXPECT_TRUE(has_line(c.lines, {" " + msg(87), mk_information}));

  // On that base a wrong entry is still found.
  put_le32(absolute, avi.idx1_pos + 8 + 16 * 4 + 8, get_le32(avi.bytes, avi.idx1_pos + 8 + 16 * 4 + 8));
  const TCheck d = check(absolute);
  EXPECT_TRUE(has_line(d.lines, {" " + msg(89) + " 5", mk_error}));
}

TEST(Check, ChunkCutOffAtTheEnd) {
  const TAvi avi = healthy().build();
  const std::uint32_t last = avi.chunk_pos.back();
  for (std::size_t into : {2u, 6u, 20u}) {
    const TCheck c = check(cut(avi.bytes, last + into));
    EXPECT_TRUE(has_line(c.lines, {" " + msg(91) + " " + std::to_string(last), mk_warning})) << into;
    EXPECT_TRUE(has_line(c.lines, {" " + msg(86) + " 19", mk_plain}));
    EXPECT_EQ(c.result, 2);  // cut off, and no index
  }
}

TEST(Check, ChunkSizeRunningIntoTheIndex) {
  TAviBuilder b;
  b.video(100, true).audio(40).chunk_with_size("00dc", mpeg4_frame(120, false), 0x7FFF0000u).audio(42);
  const TAvi avi = b.build();
  const TCheck c = check(avi.bytes);
  EXPECT_TRUE(has_line(c.lines, {" " + msg(100) + " " + std::to_string(avi.chunk_pos[2]), mk_warning}));
  EXPECT_TRUE(has_line(c.lines, {" " + msg(88) + " 4 / 2", mk_error}));
}

// Each kind of damage: the check reports the damaged places the repair reports.
struct TDamageCase {
  const char* name;
  TBytes (*make)();
};

void PrintTo(const TDamageCase& c, std::ostream* os) { *os << c.name; }

class CheckAgreesWithRepair : public ::testing::TestWithParam<TDamageCase> {};

TEST_P(CheckAgreesWithRepair, SameDamagedPlaces) {
  const TBytes bytes = GetParam().make();
  const TCheck c = check(bytes);
  const TRun repaired = run_fix(bytes, true);
  const TRun in_place = run_fix(bytes, false);
  const auto from_check = damage_lines_of(c.lines);
  EXPECT_FALSE(from_check.empty());
  EXPECT_EQ(from_check, damage_lines_of(repaired.lines));
  EXPECT_EQ(from_check, damage_lines_of(in_place.lines));
  EXPECT_GE(c.result, static_cast<int>(from_check.size() / 2));
  EXPECT_TRUE(has_line(c.lines, {" " + msg(94), mk_plain}));
}

INSTANTIATE_TEST_SUITE_P(
    Check, CheckAgreesWithRepair,
    ::testing::Values(
        TDamageCase{"GarbageInTheMiddle",
                    [] {
                      TAviBuilder b;
                      b.video(300, true).audio(101).raw(filled(50, 0xEE)).video(280, true).audio(103);
                      return b.build().bytes;
                    }},
        TDamageCase{"TailOfZeros",
                    [] {
                      TAviBuilder b;
                      b.video(300, true).audio(101).raw(filled(100, 0)).with_index(false);
                      return b.build().bytes;
                    }},
        TDamageCase{"ShiftedHeader",
                    [] {
                      TAviBuilder b;
                      b.video(300, true).chunk_with_size("01wb", filled(100, 0xA5), 102).video(200, true).audio(60);
                      return b.build().bytes;
                    }},
        TDamageCase{"FalseOldIndex",
                    [] {
                      TBytes fake;
                      append_id(fake, "idx1");
                      append_le32(fake, 16);
                      append_id(fake, "00pc");
                      fake.resize(fake.size() + 12, 0);
                      TAviBuilder b;
                      b.video(100, true).audio(40).raw(fake).video(120, true).audio(42).with_index(false);
                      return b.build().bytes;
                    }},
        TDamageCase{"AcrossABlockBorder",
                    [] {
                      TAviBuilder b;
                      b.video(100, true).audio(40).raw(filled(32767, 0xEE)).video(120, true).audio(42);
                      return b.build().bytes;
                    }},
        TDamageCase{"TwoPlaces",
                    [] {
                      TAviBuilder b;
                      b.video(100, true).raw(filled(20, 0xEE)).video(110).audio(41).raw(filled(20, 0xEE)).video(120, true);
                      return b.build().bytes;
                    }}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// Bytes between two chunks too few for a chunk header (here an id the walk
// knows, so the chunk before them is taken): no repair in place can make
// them a JUNK chunk. The check warns of them but, with an index that steps
// over them, counts no problem, before and after a repair in place.
TEST(Check, StretchShorterThanAChunkHeader) {
  TBytes id;
  append_id(id, "idx1");
  for (const bool indexed : {true, false}) {
    SCOPED_TRACE(indexed);
    TAviBuilder b;
    b.video(300, true).audio(101).raw(id).video(280, true).audio(103).with_index(indexed);
    const TAvi avi = b.build();
    const TCheck before = check(avi.bytes);
    const auto lines = damage_lines_of(before.lines);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].kind, mk_warning);
    EXPECT_EQ(before.result, indexed ? 0 : 1);
    const TRun in_place = run_fix(avi.bytes, false);
    ASSERT_EQ(in_place.result, fix_repaired);
    EXPECT_EQ(check(in_place.output).result, 0);
  }
}

TEST(Check, NotAnAviOrMissing) {
  TBytes bytes = healthy().build().bytes;
  bytes[8] = 'X';
  // A wrong form type alone is a lost RIFF header: a problem, then the rest.
  const TCheck lost = check(bytes);
  EXPECT_EQ(lost.result, 1);
  EXPECT_TRUE(has_line(lost.lines, {" " + msg(120) + " " + lost.path, mk_warning}));
  bytes[20] = 'X';  // no header list either
  const TCheck c = check(bytes);
  EXPECT_EQ(c.result, -1);
  EXPECT_EQ(c.lines.back(), (TLine{c.path + " " + msg(28), mk_error}));
  TRecordingSink sink;
  EXPECT_EQ(check_file("/nonexistent/a.avi"), -1);
  EXPECT_EQ(sink.lines.back(), (TLine{" " + msg(27), mk_error}));
}

TEST(Check, StopEndsTheCheck) {
  TAviBuilder b;
  for (int i = 0; i < 50; ++i) b.video(100, i == 0).audio(30);
  const TAvi avi = b.build();
  use_english_catalogue();
  TTempDir dir;
  write_file(dir.file("a.avi"), avi.bytes);
  TRecordingSink sink;
  sink.on_pump = [](int n) {
    if (n == 10) stop_flag.store(1);
  };
  EXPECT_EQ(check_file(dir.file("a.avi").string()), -1);
  EXPECT_EQ(stop_flag.load(), 0);
  EXPECT_EQ(sink.lines.back(), (TLine{" " + msg(35), mk_warning}));
}

// Strip Index.
namespace {

struct TStrip {
  int result = 0;
  TBytes after;
  std::vector<TLine> lines;
};

TStrip strip(const TBytes& bytes) {
  use_english_catalogue();
  TTempDir dir;
  write_file(dir.file("a.avi"), bytes);
  TStrip s;
  TRecordingSink sink;
  s.result = strip_index(dir.file("a.avi").string());
  s.lines = sink.lines;
  s.after = read_file(dir.file("a.avi"));
  return s;
}

}  // namespace

TEST(Strip, RemovesTheIndexAndCorrectsTheRiffSize) {
  const TAvi avi = healthy().build();
  const TStrip s = strip(avi.bytes);
  EXPECT_EQ(s.result, 1);
  TBytes expected = cut(avi.bytes, avi.idx1_pos);
  put_le32(expected, 4, avi.idx1_pos - 8);
  EXPECT_EQ(s.after, expected);
  EXPECT_EQ(s.lines.back(), (TLine{" " + msg(97) + " " + std::to_string(avi.idx1_pos), mk_plain}));
}

TEST(Strip, ThenRepairGivesTheSameIndexAsRepairingTheOriginal) {
  TAviBuilder b = healthy();
  b.raw(filled(30, 0xEE)).video(150, true).audio(20);
  const TAvi avi = b.build();
  const TStrip s = strip(avi.bytes);
  ASSERT_EQ(s.result, 1);
  const TRun from_stripped = run_fix(s.after, true);
  const TRun from_original = run_fix(avi.bytes, true);
  ASSERT_EQ(from_stripped.result, fix_repaired);
  ASSERT_EQ(from_original.result, fix_repaired);
  EXPECT_EQ(index_entries(from_stripped.output, find_last_idx1(from_stripped.output)),
            index_entries(from_original.output, find_last_idx1(from_original.output)));
}

TEST(Strip, RefusesAnythingThatIsNotATrailingIndex) {
  const TAvi avi = healthy().build();
  struct TCase {
    const char* name;
    TBytes bytes;
    std::uint32_t message;
  };
  TBytes followed = avi.bytes;
  append_id(followed, "JUNK");
  append_le32(followed, 0);
  TBytes overwritten_id = healthy().build().bytes;
  overwritten_id[avi.idx1_pos] = 'X';
  TBytes inside_chunk;
  {
    TAviBuilder b;
    TBytes data = filled(200, 0x11);
    std::memcpy(data.data() + 40, "idx1", 4);
    b.video(100, true).chunk("00dc", data).audio(30).video(60);
    TAvi with_text = b.build();
    with_text.bytes[with_text.idx1_pos] = 'X';
    inside_chunk = with_text.bytes;
  }
  TBytes not_real = avi.bytes;
  std::memcpy(not_real.data() + avi.idx1_pos + 8, "ix00", 4);
  for (const TCase& c : {TCase{"no index", cut(avi.bytes, avi.idx1_pos), 98}, TCase{"data behind", followed, 99},
                         TCase{"id overwritten", overwritten_id, 98}, TCase{"id inside a chunk", inside_chunk, 99},
                         TCase{"not naming data chunks", not_real, 99}}) {
    const TStrip s = strip(c.bytes);
    EXPECT_EQ(s.result, 0) << c.name;
    EXPECT_EQ(s.after, c.bytes) << c.name;
    EXPECT_EQ(s.lines.back(), (TLine{" " + msg(c.message), mk_warning})) << c.name;
  }
  TBytes not_avi = avi.bytes;
  not_avi[9] = 'x';
  const TStrip s = strip(not_avi);
  EXPECT_EQ(s.result, 0);
  EXPECT_EQ(s.after, not_avi);
}

// Strip Index takes the repair's lock: whichever of the two holds the file,
// the other is refused with nothing written. The strip holds it while it
// reports a file without an index, the repair while its scan runs.
TEST(Strip, AndARepairNeverWorkOnOneFileAtOnce) {
  use_english_catalogue();
  const TAvi avi = healthy().build();
  for (const bool strip_holds : {false, true}) {
    for (const std::uint8_t backup : {0, 1}) {
      SCOPED_TRACE(std::string(strip_holds ? "strip holds, " : "repair holds, ") + (backup ? "new file" : "in place"));
      TTempDir dir;
      const std::string path = dir.file("a.avi").string();
      const TBytes bytes = strip_holds ? cut(avi.bytes, avi.idx1_pos) : avi.bytes;
      write_file(path, bytes);
      TRecordingSink sink;
      std::optional<int> refused;
      const auto try_other = [&] {
        if (!refused) refused = strip_holds ? fix_file(path, backup) : strip_index(path);
      };
      // Pump 1 comes before the repair opens the file; the scan's follow.
      sink.on_pump = [&](int n) { if (!strip_holds && n > 1) try_other(); };
      sink.on_line = [&](const TLine& l) { if (strip_holds && l == TLine{" " + msg(98), mk_warning}) try_other(); };
      const int held = strip_holds ? strip_index(path) : fix_file(path, backup);
      EXPECT_EQ(held, strip_holds ? strip_kept : fix_repaired);
      EXPECT_EQ(refused, strip_holds ? fix_not_repaired : strip_kept);
      EXPECT_TRUE(has_line(sink.lines, {" " + msg(112) + " " + path, mk_error}));
      EXPECT_EQ(read_file(path), bytes);  // the healthy file's index is kept in place
      EXPECT_EQ(fs::exists(dir.file("Fixed.a.avi")), !strip_holds && backup == 1);
    }
  }
}

TEST(Strip, WriteFailureLeavesTheFileAsItWas) {
  // A file-size limit below the RIFF size field: its write fails first.
  use_english_catalogue();
  const TAvi avi = healthy().build();
  TTempDir dir;
  write_file(dir.file("a.avi"), avi.bytes);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit lim{4, 4};
    ::setrlimit(RLIMIT_FSIZE, &lim);
    TRecordingSink sink;
    const int result = strip_index(dir.file("a.avi").string());
    const bool error_line = sink.lines.back().kind == mk_error && sink.lines.back().text.rfind(" " + msg(74), 0) == 0;
    ::_exit(result == 0 && error_line ? 0 : 1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(read_file(dir.file("a.avi")), avi.bytes);
}

TEST(Check, RepairedFileWithOneChunkChecksClean) {
  // One entry does not look like an index to the scan from the end; the
  // chunk walk still meets it.
  TAviBuilder b;
  b.video(100, true);
  const TAvi avi = b.build();
  const TRun repaired = run_fix(cut(avi.bytes, avi.idx1_pos), true);
  ASSERT_EQ(repaired.result, fix_repaired);
  const TCheck c = check(repaired.output);
  EXPECT_EQ(c.result, 0);
  EXPECT_TRUE(has_line(c.lines, {" " + msg(87), mk_information}));
  EXPECT_TRUE(has_line(c.lines, {" " + msg(95), mk_plain}));
}
