// What a repair promises about the file on disk: in place, the file is the
// original, the repaired file, or one the next repair in place turns into
// the repaired file, whatever step the process is killed at; in new-file
// mode the source is never changed and the "Fixed." name only ever holds a
// complete copy of this run (or its stopped partial copy).
#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>

#include "engine/algorithm_unit.h"
#include "engine/file_io.h"
#include "engine/file_step.h"
#include "engine_test_support.h"
#include "platform/message_ids.h"

using namespace avitest;
namespace fs = std::filesystem;

namespace {

TAvi with_old_index() {
  TAviBuilder b;
  for (int i = 0; i < 40; ++i) b.video(900 + i, i % 10 == 0).audio(300);
  return b.build();
}

// The old index lists `extra` entries more than the movi data hold.
TBytes index_longer_than_data(int extra) {
  const TAvi avi = with_old_index();
  TBytes bytes = avi.bytes;
  put_le32(bytes, avi.idx1_pos + 4, get_le32(bytes, avi.idx1_pos + 4) + 16u * static_cast<unsigned>(extra));
  const TBytes last(bytes.end() - 16, bytes.end());
  for (int i = 0; i < extra; ++i) bytes.insert(bytes.end(), last.begin(), last.end());
  return bytes;
}

// The old index stops `missing` entries short of the chunks.
TBytes index_shorter_than_data(int missing) {
  const TAvi avi = with_old_index();
  TBytes bytes = avi.bytes;
  put_le32(bytes, avi.idx1_pos + 4, get_le32(bytes, avi.idx1_pos + 4) - 16u * static_cast<unsigned>(missing));
  bytes.erase(bytes.end() - 16 * missing, bytes.end());
  return bytes;
}

TBytes without_index() {
  TAviBuilder b;
  for (int i = 0; i < 40; ++i) b.video(901 + i, i % 10 == 0).audio(300);
  return b.with_index(false).header_lengths(false).build().bytes;
}

// A long recording in three RIFF chunks, as a recorder that finished writes it.
TAvi three_extents() {
  TAviBuilder b;
  b.opendml();
  for (int e = 0; e < 3; ++e) {
    if (e > 0) b.extent();
    for (int i = 0; i < 12; ++i) b.video(800 + i, i % 6 == 0).audio(250);
  }
  return b.build();
}

// Cut inside its last frame: the new index chunks go after it.
TBytes opendml_cut() {
  const TAvi avi = three_extents();
  return TBytes(avi.bytes.begin(), avi.bytes.begin() + static_cast<std::ptrdiff_t>(avi.chunk_pos[avi.chunk_pos.size() - 2] + 100));
}

// A standard index chunk that disagrees, and an idx1 that lists a chunk too many.
TBytes opendml_wrong_indexes() {
  const TAvi avi = three_extents();
  TBytes bytes = avi.bytes;
  put_le32(bytes, avi.ix_pos[2] + 36, 7);
  put_le32(bytes, avi.idx1_pos + 8 + 16 * 3 + 12, 9);
  return bytes;
}

// The first RIFF chunk's index chunks and the head of its idx1 wiped: a new
// idx1 goes where the old one was.
TBytes opendml_idx1_head_lost() {
  const TAvi avi = three_extents();
  TBytes bytes = avi.bytes;
  std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(avi.ix_pos[0] + 8), bytes.begin() + static_cast<std::ptrdiff_t>(avi.idx1_pos + 24), 0);
  return bytes;
}

// Whether the folder holds just the source and its "Fixed." file.
bool only_a_and_fixed(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names == std::vector<std::string>{"Fixed.a.avi", "a.avi"};
}

// A repair in a child process that is killed after its n-th write, size
// change or sync (0: never). True when it was killed.
bool repair_killed_at(const fs::path& file, std::uint64_t step, std::uint8_t backup = 0) {
  const pid_t child = ::fork();
  if (child == 0) {
    TFileIO::kill_after_steps(step);
    const int result = fix_file(file.string(), backup);
    ::_exit(result == fix_repaired ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  if (WIFSIGNALED(status)) return true;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "step " << step;
  return false;
}

struct TKillCase {
  const char* name;
  TBytes (*make)();
};

class KilledInPlace : public testing::TestWithParam<TKillCase> {};

TEST_P(KilledInPlace, EveryStepLeavesTheOriginalOrARepairableFile) {
  use_english_catalogue();
  TTempDir dir;
  const TBytes original = GetParam().make();
  const fs::path file = dir.file("a.avi");
  write_file(file, original);
  ASSERT_FALSE(repair_killed_at(file, 0));
  const TBytes repaired = read_file(file);
  ASSERT_NE(repaired, original);

  std::uint64_t kills = 0;
  for (std::uint64_t step = 1; step < 500; ++step) {
    SCOPED_TRACE("killed after step " + std::to_string(step) + ", before the next");
    write_file(file, original);
    if (!repair_killed_at(file, step)) {
      EXPECT_EQ(read_file(file), repaired);
      break;
    }
    ++kills;
    const TBytes left = read_file(file);
    if (left == original || left == repaired) continue;
    ASSERT_FALSE(repair_killed_at(file, 0));
    EXPECT_EQ(read_file(file), repaired);
  }
  EXPECT_GE(kills, 3u) << "the finish made fewer steps than expected";
}

// The files the in-place finish is tried on, step by step.
const auto finish_cases =
    testing::Values(TKillCase{"without_index", &without_index},
                    TKillCase{"index_longer", [] { return index_longer_than_data(7); }},
                    TKillCase{"index_shorter", [] { return index_shorter_than_data(9); }},
                    TKillCase{"opendml_cut", &opendml_cut}, TKillCase{"opendml_wrong_indexes", &opendml_wrong_indexes},
                    TKillCase{"opendml_idx1_head_lost", &opendml_idx1_head_lost});

std::string case_name(const testing::TestParamInfo<TKillCase>& p) { return p.param.name; }

INSTANTIATE_TEST_SUITE_P(Finish, KilledInPlace, finish_cases, case_name);

// A recorder still writing while the finish runs: 64 KiB appended before
// any of its writes, size changes or syncs are never cut off nor written
// over, and the file is not called repaired.
class GrowsInPlace : public testing::TestWithParam<TKillCase> {};

TEST_P(GrowsInPlace, AppendedBytesSurviveEveryStepOfTheFinish) {
  use_english_catalogue();
  TTempDir dir;
  const TBytes original = GetParam().make();
  const fs::path file = dir.file("a.avi");
  std::uint64_t steps = 0;
  write_file(file, original);
  TFileIO::on_step([&](std::uint64_t n) { steps = n; });
  ASSERT_EQ(fix_file(file.string(), 0), fix_repaired);
  TBytes more(65536, 0xA7);
  std::copy_n("appended by a recorder", 22, more.begin());
  for (std::uint64_t at = 1; at <= steps; ++at) {
    SCOPED_TRACE("appended before step " + std::to_string(at));
    write_file(file, original);
    TFileIO::on_step([&](std::uint64_t n) {
      if (n != at) return;
      const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND);
      ASSERT_EQ(::write(fd, more.data(), more.size()), static_cast<ssize_t>(more.size()));
      ::close(fd);
    });
    TRecordingSink sink;
    EXPECT_EQ(fix_file(file.string(), 0), fix_not_repaired);
    // Before the first byte changed, the same as a change during the scan.
    const std::uint32_t k = sink.lines.back().text.find(msg(msg_file_changed)) != std::string::npos
                                ? msg_file_changed
                                : msg_changed_during_finish;
    EXPECT_EQ(sink.lines.back(), (TLine{" " + msg(k) + " " + file.string(), mk_error}));
    const TBytes after = read_file(file);
    EXPECT_NE(std::search(after.begin(), after.end(), more.begin(), more.end()), after.end());
  }
  TFileIO::on_step(nullptr);
}

INSTANTIATE_TEST_SUITE_P(Finish, GrowsInPlace, finish_cases, case_name);

// A new file is written without a name: a kill leaves neither it nor the
// temporary index, and an earlier "Fixed." file stays until the copy is whole.
class KilledNewFile : public testing::TestWithParam<TKillCase> {};

TEST_P(KilledNewFile, LeavesNothingBehind) {
  use_english_catalogue();
  TTempDir dir;
  TTempDir temp;
  ::setenv("TMPDIR", temp.path().c_str(), 1);
  const TBytes source = GetParam().make();
  const TBytes earlier = filled(3000, 0x42);
  write_file(dir.file("a.avi"), source);
  std::uint64_t kills = 0;
  for (std::uint64_t step = 1; step < 500; ++step) {
    SCOPED_TRACE("killed after step " + std::to_string(step));
    write_file(dir.file("Fixed.a.avi"), earlier);
    const bool killed = repair_killed_at(dir.file("a.avi"), step, 1);
    EXPECT_TRUE(only_a_and_fixed(dir.path()));
    EXPECT_TRUE(fs::is_empty(temp.path()));
    EXPECT_EQ(read_file(dir.file("Fixed.a.avi")) == earlier, killed);
    if (!killed) break;
    ++kills;
  }
  ::unsetenv("TMPDIR");
  EXPECT_GE(kills, 2u);
}

INSTANTIATE_TEST_SUITE_P(Copy, KilledNewFile,
                         testing::Values(TKillCase{"without_index", &without_index},
                                         TKillCase{"opendml_cut", &opendml_cut}),
                         [](const testing::TestParamInfo<TKillCase>& p) { return std::string(p.param.name); });

// ---------------------------------------------------------------- in place, refused

TEST(InPlace, FileChangedDuringTheRepairIsLeftAlone) {
  use_english_catalogue();
  TTempDir dir;
  const fs::path file = dir.file("a.avi");
  const TBytes original = without_index();
  write_file(file, original);
  TRecordingSink sink;
  bool appended = false;
  // A recorder still writing: more data arrive while the scan runs.
  sink.on_pump = [&](int pumps) {
    if (appended || pumps < 4) return;
    appended = true;
    TBytes more = original;
    more.insert(more.end(), 4000, 0x33);
    write_file(file, more);
  };
  EXPECT_EQ(fix_file(file.string(), 0), fix_not_repaired);
  EXPECT_EQ(sink.lines.back(), (TLine{" " + msg(msg_file_changed) + " " + file.string(), mk_error}));
  TBytes expected = original;
  expected.insert(expected.end(), 4000, 0x33);
  EXPECT_EQ(read_file(file), expected);
}

TEST(InPlace, AnotherRepairOfTheSameFileIsRefused) {
  use_english_catalogue();
  TTempDir dir;
  const fs::path file = dir.file("a.avi");
  const TBytes original = without_index();
  write_file(file, original);
  const int held = ::open(file.c_str(), O_RDONLY);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  TRecordingSink sink;
  for (const int backup : {0, 1}) {
    EXPECT_EQ(fix_file(file.string(), static_cast<std::uint8_t>(backup)), fix_not_repaired);
    EXPECT_EQ(sink.lines.back(), (TLine{" " + msg(msg_file_busy) + " " + file.string(), mk_error}));
  }
  ::close(held);
  EXPECT_EQ(read_file(file), original);
  EXPECT_FALSE(fs::exists(dir.file("Fixed.a.avi")));
}

// A file just under the size limit would grow past it: refused before any
// byte changes. The movi data are one huge chunk, so the file is sparse.
TEST(InPlace, GrowingPastTheSizeLimitIsRefused) {
  use_english_catalogue();
  TTempDir dir;
  const fs::path file = dir.file("big.avi");
  TAviBuilder b;
  b.video(1000, true).audio(200);
  TAvi avi = b.with_index(false).header_lengths(false).build();
  const std::uint64_t limit = 0x100000000ull;
  const std::uint64_t chunk_at = avi.bytes.size();
  const std::uint64_t data = limit - 1 - chunk_at - 8;
  append_id(avi.bytes, "00dc");
  append_le32(avi.bytes, static_cast<std::uint32_t>(data));
  write_file(file, avi.bytes);
  fs::resize_file(file, limit - 1);
  TRecordingSink sink;
  EXPECT_EQ(fix_file(file.string(), 0), fix_not_repaired);
  EXPECT_EQ(sink.lines.back(), (TLine{" " + msg(msg_too_large) + " " + file.string(), mk_error}));
  EXPECT_EQ(fs::file_size(file), limit - 1);
  TBytes head(avi.bytes.size());
  std::FILE* f = std::fopen(file.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(std::fread(head.data(), 1, head.size(), f), head.size());
  std::fclose(f);
  EXPECT_EQ(head, avi.bytes);
}

// ---------------------------------------------------------------- the "Fixed." file

TEST(FixedFile, SourceThatIsALinkToItsFixedNameIsRefused) {
  use_english_catalogue();
  TTempDir dir;
  const TBytes data = without_index();
  write_file(dir.file("Fixed.a.avi"), data);
  fs::create_symlink("Fixed.a.avi", dir.file("a.avi"));
  TRecordingSink sink;
  EXPECT_EQ(fix_file(dir.file("a.avi").string(), 1), fix_not_repaired);
  EXPECT_EQ(sink.lines.back(),
            (TLine{" " + msg(msg_output_is_source) + " " + dir.file("Fixed.a.avi").string(), mk_error}));
  EXPECT_EQ(read_file(dir.file("Fixed.a.avi")), data);
}

TEST(FixedFile, TakesTheSourcesPermissions) {
  use_english_catalogue();
  TTempDir dir;
  for (const fs::perms mode : {fs::perms(0600), fs::perms(0644)}) {
    write_file(dir.file("a.avi"), without_index());
    fs::permissions(dir.file("a.avi"), mode);
    TRecordingSink sink;
    ASSERT_EQ(fix_file(dir.file("a.avi").string(), 1), fix_repaired);
    EXPECT_EQ(fs::status(dir.file("Fixed.a.avi")).permissions() & fs::perms::all, mode & ~fs::perms(0022))
        << "source mode " << static_cast<int>(mode);
  }
}

// A failed repair leaves an earlier good "Fixed." file as it was, reports no
// output, and leaves no partial file under any name.
TEST(FixedFile, FailureKeepsTheEarlierCopyAndReportsNoOutput) {
  use_english_catalogue();
  TTempDir dir;
  write_file(dir.file("a.avi"), without_index());
  const TBytes earlier = filled(5000, 0x42);
  write_file(dir.file("Fixed.a.avi"), earlier);
  TRecordingSink sink;
  int pumps_before_failure = 3;
  sink.on_pump = [&](int) {
    if (--pumps_before_failure == 0) throw std::bad_alloc();
  };
  const TFileStep step = run_file_step(TFileOperation::fix, dir.file("a.avi").string(), false);
  EXPECT_EQ(step.result, fix_not_repaired);
  EXPECT_FALSE(step.failure) << "the engine itself ends the file";
  EXPECT_FALSE(step.output);
  EXPECT_EQ(sink.lines.back().kind, mk_error);
  EXPECT_EQ(sink.lines.back().text.rfind(" " + msg(msg_operation_failed) + " " + dir.file("a.avi").string() + ": ", 0),
            0u)
      << sink.lines.back().text;
  EXPECT_EQ(read_file(dir.file("Fixed.a.avi")), earlier);
  std::size_t names = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir.path())) ++names;
  EXPECT_EQ(names, 2u) << "a partial copy was left behind";

  sink.on_pump = nullptr;
  const TFileStep good = run_file_step(TFileOperation::fix, dir.file("a.avi").string(), false);
  EXPECT_EQ(good.result, fix_repaired);
  EXPECT_EQ(good.output, std::optional<std::string>(dir.file("Fixed.a.avi").string()));
}

// A second repair of the same file runs, and is stopped, while the first is
// still copying: each writes its own copy, so the first, finishing last,
// leaves its complete file under the "Fixed." name, as it reports.
TEST(FixedFile, TwoRepairsOfOneFileAtOnceEachLeaveACompleteCopy) {
  use_english_catalogue();
  TTempDir dir;
  const std::string source = dir.file("a.avi").string();
  write_file(source, without_index());
  TRecordingSink sink;
  int inner = -2;
  bool started = false;
  int inner_pumps = 0;
  sink.on_pump = [&](int pumps) {
    if (started) {
      // The second run is stopped part-way: its partial copy gets the name.
      if (++inner_pumps == 3) stop_flag.store(1);
      return;
    }
    if (pumps < 5) return;
    started = true;
    inner = fix_file(source, 1);
  };
  EXPECT_EQ(fix_file(source, 1), fix_repaired);
  EXPECT_EQ(inner, fix_stopped);
  const TBytes copy = read_file(dir.file("Fixed.a.avi"));
  write_file(dir.file("b.avi"), without_index());
  ASSERT_EQ(fix_file(dir.file("b.avi").string(), 1), fix_repaired);
  EXPECT_EQ(copy, read_file(dir.file("Fixed.b.avi")));
  std::size_t names = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir.path())) ++names;
  EXPECT_EQ(names, 4u) << "a partial copy was left behind";
}

// Each runs with unnamed files refused too (true), as on a file system
// without O_TMPFILE, where the copy has a private name until it is complete.
class WithAndWithoutNames : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override { TFileIO::refuse_unnamed(GetParam()); }
  void TearDown() override { TFileIO::refuse_unnamed(false); }
};

// Up to the longest name whose "Fixed." form fits (255 bytes), though the
// private name would not.
TEST_P(WithAndWithoutNames, LongNamesAreRepairedWhereTheirFixedNameFits) {
  const TBytes source = without_index();
  const TRun reference = run_fix(source, true);
  for (const std::size_t length : {237u, 249u}) {
    const TRun run = run_fix(source, true, std::string(length - 4, 'n') + ".avi");
    EXPECT_EQ(run.result, fix_repaired) << length;
    EXPECT_EQ(run.output, reference.output) << length;
    EXPECT_TRUE(run.temp_left.empty());
  }
}

// A stop keeps an earlier "Fixed." file: the partial copy takes the name
// only while it is free (what it then holds: Stop.EndsTheFileWithMinusOne).
TEST_P(WithAndWithoutNames, StoppedRepairNeverReplacesAnEarlierCopy) {
  use_english_catalogue();
  const TBytes source = without_index();
  const TBytes earlier = filled(3000, 0x42);
  for (const bool taken : {false, true}) {
    TTempDir dir;
    const std::string fixed = dir.file("Fixed.a.avi").string();
    write_file(dir.file("a.avi"), source);
    if (taken) write_file(fixed, earlier);
    TRecordingSink sink;
    sink.on_pump = [](int n) {
      if (n == 20) stop_flag.store(1);
    };
    const TFileStep step = run_file_step(TFileOperation::fix, dir.file("a.avi").string(), false);
    EXPECT_EQ(step.result, fix_stopped);
    EXPECT_EQ(step.output, taken ? std::nullopt : std::optional<std::string>(fixed));
    const TLine last = taken ? TLine{" " + msg(msg_partial_copy_dropped) + " " + fixed, mk_information}
                             : TLine{" " + msg(msg_stopped), mk_warning};
    EXPECT_EQ(sink.lines.back(), last);
    EXPECT_EQ(read_file(fixed) == earlier, taken);
    EXPECT_TRUE(only_a_and_fixed(dir.path()));
  }
}

// The source cut short by another program while the copy runs: the repair
// fails, and neither a file with holes nor the private copy is left.
TEST_P(WithAndWithoutNames, SourceCutWhileCopiedEndsTheFile) {
  use_english_catalogue();
  const TBytes earlier = filled(3000, 0x42);
  for (TBytes (*make)() : {&without_index, +[] { return three_extents().bytes; }}) {
    TTempDir dir;
    const fs::path source = dir.file("a.avi");
    write_file(source, make());
    write_file(dir.file("Fixed.a.avi"), earlier);
    TFileIO::before_next_copy([&] { fs::resize_file(source, fs::file_size(source) / 2); });
    TRecordingSink sink;
    const TFileStep step = run_file_step(TFileOperation::fix, source.string(), false);
    TFileIO::before_next_copy(nullptr);
    EXPECT_EQ(step.result, fix_not_repaired);
    EXPECT_FALSE(step.output);
    EXPECT_EQ(sink.lines.back(), (TLine{" " + msg(msg_source_ended_early) + " " + source.string(), mk_error}));
    EXPECT_EQ(read_file(dir.file("Fixed.a.avi")), earlier);
    EXPECT_TRUE(only_a_and_fixed(dir.path()));
  }
}

INSTANTIATE_TEST_SUITE_P(FixedFile, WithAndWithoutNames, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& p) { return p.param ? "named" : "unnamed"; });

}  // namespace
