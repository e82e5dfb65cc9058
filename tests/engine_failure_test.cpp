// Failures around the repair: folders that cannot be written, a full disk
// (a file-size limit) during the copy, the index append and the in-place
// write. Each ends with result 0 and an error line, leaves nothing behind,
// and leaves the source as it was.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "platform/lang.h"
#include "engine/algorithm_unit.h"
#include "engine/file_step.h"
#include "engine_test_support.h"

using namespace avitest;
namespace fs = std::filesystem;

namespace {

TBytes cut(const TBytes& bytes, std::size_t length) {
  return TBytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
}

TAvi sizeable_file(int frames = 60) {
  TAviBuilder b;
  for (int i = 0; i < frames; ++i) b.video(3000, i % 10 == 0).audio(400);
  return b.build();
}

struct TChildOutcome {
  int result = -99;
  std::string last_line;
  int last_kind = -1;
};

// Runs fix_file in a child process prepared by `prepare` (limits, user),
// with TMPDIR set. The child reports its result and last log line.
TChildOutcome fix_in_child(const fs::path& source, bool new_file, const fs::path& tmpdir, void (*prepare)(rlim_t),
                           rlim_t argument) {
  int pipe_fds[2];
  EXPECT_EQ(::pipe(pipe_fds), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipe_fds[0]);
    prepare(argument);
    ::setenv("TMPDIR", tmpdir.c_str(), 1);
    TRecordingSink sink;
    const int result = fix_file(source.string(), new_file ? 1 : 0);
    const std::string report = std::to_string(result) + "\n" + std::to_string(sink.lines.back().kind) + "\n" +
                               sink.lines.back().text;
    (void)!::write(pipe_fds[1], report.data(), report.size());
    ::_exit(0);
  }
  ::close(pipe_fds[1]);
  std::string report;
  char buffer[512];
  for (ssize_t n; (n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0;) report.append(buffer, static_cast<std::size_t>(n));
  ::close(pipe_fds[0]);
  ::waitpid(pid, nullptr, 0);
  TChildOutcome outcome;
  const std::size_t first = report.find('\n');
  const std::size_t second = report.find('\n', first + 1);
  if (first == std::string::npos || second == std::string::npos) return outcome;
  outcome.result = std::stoi(report.substr(0, first));
  outcome.last_kind = std::stoi(report.substr(first + 1, second - first - 1));
  outcome.last_line = report.substr(second + 1);
  return outcome;
}

// Files may not grow beyond `limit` bytes, as on a full disk.
TChildOutcome fix_with_file_size_limit(const fs::path& source, bool new_file, rlim_t limit, const fs::path& tmpdir) {
  return fix_in_child(source, new_file, tmpdir,
                      [](rlim_t l) {
                        ::signal(SIGXFSZ, SIG_IGN);
                        const rlimit lim{l, l};
                        ::setrlimit(RLIMIT_FSIZE, &lim);
                      },
                      limit);
}

// Without root's power over permissions ("nobody" when the tests run as root).
TChildOutcome fix_without_privileges(const fs::path& source, bool new_file, const fs::path& tmpdir) {
  return fix_in_child(source, new_file, tmpdir,
                      [](rlim_t) {
                        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
                      },
                      0);
}

// A folder the unprivileged child may enter and read, and write only when asked.
void open_up(const fs::path& dir, bool writable) {
  fs::permissions(dir, writable ? fs::perms::all : (fs::perms::all & ~(fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write)));
}

}  // namespace

TEST(Permissions, UnreadableSource) {
  use_english_catalogue();
  TTempDir dir;
  TTempDir temp;
  open_up(dir.path(), true);
  open_up(temp.path(), true);
  const TAvi avi = sizeable_file(3);
  write_file(dir.file("a.avi"), avi.bytes);
  fs::permissions(dir.file("a.avi"), fs::perms::none);
  for (bool new_file : {true, false}) {
    const TChildOutcome outcome = fix_without_privileges(dir.file("a.avi"), new_file, temp.path());
    EXPECT_EQ(outcome.result, fix_not_repaired);
    EXPECT_EQ(outcome.last_line, " " + msg(27));
    EXPECT_EQ(outcome.last_kind, mk_error);
  }
  EXPECT_FALSE(fs::exists(dir.file("Fixed.a.avi")));
  EXPECT_TRUE(fs::is_empty(temp.path()));
}

TEST(Permissions, UnwritableOutputFolder) {
  use_english_catalogue();
  TTempDir dir;
  TTempDir temp;
  open_up(temp.path(), true);
  const TAvi avi = sizeable_file(3);
  write_file(dir.file("a.avi"), avi.bytes);
  fs::permissions(dir.file("a.avi"), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  open_up(dir.path(), false);
  const TChildOutcome outcome = fix_without_privileges(dir.file("a.avi"), true, temp.path());
  EXPECT_EQ(outcome.result, fix_not_repaired);
  EXPECT_EQ(outcome.last_line, " " + msg(33));
  EXPECT_TRUE(fs::is_empty(temp.path()));
  EXPECT_FALSE(fs::exists(dir.file("Fixed.a.avi")));
  EXPECT_EQ(read_file(dir.file("a.avi")), avi.bytes);
  // In place needs write access to the file itself: it cannot be opened.
  const TChildOutcome in_place = fix_without_privileges(dir.file("a.avi"), false, temp.path());
  EXPECT_EQ(in_place.result, fix_not_repaired);
  EXPECT_EQ(in_place.last_line, " " + msg(27));
  EXPECT_EQ(read_file(dir.file("a.avi")), avi.bytes);
}

TEST(Permissions, UnwritableTemporaryFolder) {
  use_english_catalogue();
  TTempDir dir;
  TTempDir temp;
  open_up(dir.path(), true);
  open_up(temp.path(), false);
  const TAvi avi = sizeable_file(3);
  write_file(dir.file("a.avi"), avi.bytes);
  fs::permissions(dir.file("a.avi"), fs::perms::all);
  for (bool new_file : {true, false}) {
    const TChildOutcome outcome = fix_without_privileges(dir.file("a.avi"), new_file, temp.path());
    EXPECT_EQ(outcome.result, fix_not_repaired);
    EXPECT_EQ(outcome.last_line, " " + msg(32));
  }
  EXPECT_FALSE(fs::exists(dir.file("Fixed.a.avi")));
  EXPECT_EQ(read_file(dir.file("a.avi")), avi.bytes);
}

TEST(Failures, OutputNameTakenByAFolder) {
  use_english_catalogue();
  TTempDir dir;
  TTempDir temp;
  const TAvi avi = sizeable_file(3);
  write_file(dir.file("a.avi"), avi.bytes);
  fs::create_directory(dir.file("Fixed.a.avi"));
  ::setenv("TMPDIR", temp.path().c_str(), 1);
  TRecordingSink sink;
  EXPECT_EQ(fix_file(dir.file("a.avi").string(), 1), fix_not_repaired);
  ::unsetenv("TMPDIR");
  EXPECT_EQ(sink.lines.back(), (TLine{" " + msg(33), mk_error}));
  EXPECT_TRUE(fs::is_empty(temp.path()));
  EXPECT_TRUE(fs::is_directory(dir.file("Fixed.a.avi")));
  EXPECT_EQ(read_file(dir.file("a.avi")), avi.bytes);
}

TEST(Failures, TemporaryFolderMissing) {
  use_english_catalogue();
  TTempDir dir;
  const TAvi avi = sizeable_file(3);
  write_file(dir.file("a.avi"), avi.bytes);
  ::setenv("TMPDIR", dir.file("no such folder").c_str(), 1);
  TRecordingSink sink;
  EXPECT_EQ(fix_file(dir.file("a.avi").string(), 1), fix_not_repaired);
  ::unsetenv("TMPDIR");
  EXPECT_EQ(sink.lines.back(), (TLine{" " + msg(32), mk_error}));
  EXPECT_FALSE(fs::exists(dir.file("Fixed.a.avi")));
  EXPECT_EQ(read_file(dir.file("a.avi")), avi.bytes);
}

TEST(Failures, SourceIsAFolderOrAFifo) {
  use_english_catalogue();
  TTempDir dir;
  fs::create_directory(dir.file("d.avi"));
  ASSERT_EQ(::mkfifo(dir.file("f.avi").c_str(), 0600), 0);
  for (const char* name : {"d.avi", "f.avi"}) {
    for (std::uint8_t backup : {1, 0}) {
      TRecordingSink sink;
      EXPECT_EQ(fix_file(dir.file(name).string(), backup), fix_not_repaired);
      EXPECT_EQ(sink.lines.back(), (TLine{" " + msg(27), mk_error}));
    }
  }
  EXPECT_FALSE(fs::exists(dir.file("Fixed.d.avi")));
}

TEST(Failures, TemporaryIndexIsUniqueAndPrivate) {
  // A name planted in the temporary folder is not written through.
  use_english_catalogue();
  TTempDir dir;
  TTempDir temp;
  const TAvi avi = sizeable_file(3);
  write_file(dir.file("a.avi"), avi.bytes);
  write_file(dir.file("victim"), {'k', 'e', 'e', 'p'});
  fs::create_symlink(dir.file("victim"), temp.file("$TEMP.IDX"));
  ::setenv("TMPDIR", temp.path().c_str(), 1);
  TRecordingSink sink;
  EXPECT_EQ(fix_file(dir.file("a.avi").string(), 1), fix_repaired);
  ::unsetenv("TMPDIR");
  EXPECT_EQ(read_file(dir.file("victim")), (TBytes{'k', 'e', 'e', 'p'}));
  EXPECT_EQ(std::distance(fs::directory_iterator(temp.path()), fs::directory_iterator()), 1);
}

TEST(Failures, PlantedLinkUnderTheOutputNameIsReplacedNotFollowed) {
  use_english_catalogue();
  TTempDir dir;
  const TAvi avi = sizeable_file(3);
  write_file(dir.file("a.avi"), avi.bytes);
  write_file(dir.file("victim"), {'k', 'e', 'e', 'p'});
  fs::create_symlink(dir.file("victim"), dir.file("Fixed.a.avi"));
  TRecordingSink sink;
  EXPECT_EQ(fix_file(dir.file("a.avi").string(), 1), fix_repaired);
  EXPECT_EQ(read_file(dir.file("victim")), (TBytes{'k', 'e', 'e', 'p'}));
  EXPECT_FALSE(fs::is_symlink(dir.file("Fixed.a.avi")));
  EXPECT_EQ(read_file(dir.file("Fixed.a.avi")), avi.bytes);
}

// A full disk at each place the repair writes.
struct TLimitCase {
  const char* name;
  bool new_file;
  bool with_index;
  // The limit, from the source's size and the movi offset.
  rlim_t (*limit)(std::size_t source_size, std::size_t movi_pos);
};

void PrintTo(const TLimitCase& c, std::ostream* os) { *os << c.name; }

class FullDisk : public ::testing::TestWithParam<TLimitCase> {};

TEST_P(FullDisk, FailsCleanlyAndKeepsTheSource) {
  use_english_catalogue();
  const TLimitCase& c = GetParam();
  const TAvi avi = sizeable_file();
  TBytes source = c.with_index ? avi.bytes : cut(avi.bytes, avi.idx1_pos);
  if (c.with_index) {
    // An old index without key frames: the new one differs from it.
    for (std::size_t at = avi.idx1_pos + 8; at + 16 <= source.size(); at += 16) put_le32(source, at + 4, 0);
  }
  TTempDir dir;
  TTempDir temp;
  write_file(dir.file("a.avi"), source);
  const TChildOutcome outcome =
      fix_with_file_size_limit(dir.file("a.avi"), c.new_file, c.limit(source.size(), avi.movi_pos), temp.path());
  EXPECT_EQ(outcome.result, fix_not_repaired);
  EXPECT_EQ(outcome.last_kind, mk_error);
  EXPECT_EQ(outcome.last_line.rfind(" " + msg(74) + " ", 0), 0u) << outcome.last_line;
  EXPECT_TRUE(fs::is_empty(temp.path()));
  EXPECT_FALSE(fs::exists(dir.file("Fixed.a.avi")));
  EXPECT_EQ(read_file(dir.file("a.avi")), source);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, FullDisk,
    ::testing::Values(
        TLimitCase{"CopyingTheHeader", true, true, [](std::size_t, std::size_t movi) { return static_cast<rlim_t>(movi / 2); }},
        TLimitCase{"CopyingTheChunks", true, true, [](std::size_t size, std::size_t) { return static_cast<rlim_t>(size / 2); }},
        TLimitCase{"AppendingTheIndex", true, false, [](std::size_t size, std::size_t) { return static_cast<rlim_t>(size + 100); }},
        TLimitCase{"InPlaceAppend", false, false, [](std::size_t size, std::size_t) { return static_cast<rlim_t>(size + 100); }},
        TLimitCase{"InPlaceBelowTheFileSize", false, true,
                   [](std::size_t size, std::size_t) { return static_cast<rlim_t>(size - 1000); }}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(Failures, InPlaceWithRoomToSpareSucceedsUnderTheLimit) {
  // The probe of the in-place write must not fail a repair that fits.
  use_english_catalogue();
  const TAvi avi = sizeable_file();
  TTempDir dir;
  TTempDir temp;
  const TBytes source = cut(avi.bytes, avi.idx1_pos);
  write_file(dir.file("a.avi"), source);
  const TChildOutcome outcome = fix_with_file_size_limit(dir.file("a.avi"), false, avi.bytes.size(), temp.path());
  EXPECT_EQ(outcome.result, fix_repaired);
  EXPECT_TRUE(fs::is_empty(temp.path()));
  TBytes expected = avi.bytes;
  put_le32(expected, 4, get_le32(source, 4));
  EXPECT_EQ(read_file(dir.file("a.avi")), expected);
}

TEST(Failures, SourceShortenedOrDeletedAfterListing) {
  // A file listed at one size and repaired at another: the repair works
  // with what is there when it starts.
  use_english_catalogue();
  const TAvi avi = sizeable_file();
  const TBytes source = cut(avi.bytes, avi.idx1_pos);
  for (bool new_file : {true, false}) {
    TTempDir dir;
    TTempDir temp;
    write_file(dir.file("a.avi"), source);
    ASSERT_EQ(::truncate(dir.file("a.avi").c_str(), static_cast<off_t>(source.size() / 2)), 0);
    const TBytes shortened = read_file(dir.file("a.avi"));
    ::setenv("TMPDIR", temp.path().c_str(), 1);
    TRecordingSink sink;
    EXPECT_EQ(fix_file(dir.file("a.avi").string(), new_file ? 1 : 0), fix_repaired);
    ::unsetenv("TMPDIR");
    EXPECT_TRUE(fs::is_empty(temp.path()));
    if (new_file) {
      EXPECT_EQ(read_file(dir.file("a.avi")), shortened);
    }
    fs::remove(dir.file("a.avi"));
    TRecordingSink deleted;
    EXPECT_EQ(fix_file(dir.file("a.avi").string(), new_file ? 1 : 0), fix_not_repaired);
    EXPECT_EQ(deleted.lines.back(), (TLine{" " + msg(27), mk_error}));
  }
}

// An unexpected error ends only that file's step: each operation reports its
// own failure result, the error's text, and no success.
TEST(FileStep, AnUnexpectedErrorGivesTheOperationsFailureResult) {
  const struct {
    TFileOperation operation;
    int result;
  } cases[] = {{TFileOperation::fix, fix_not_repaired},
               {TFileOperation::check, check_failed},
               {TFileOperation::strip, strip_kept}};
  for (const auto& c : cases) {
    const TFileStep thrown = run_step(c.operation, []() -> int { throw std::bad_alloc(); });
    EXPECT_EQ(thrown.result, c.result);
    EXPECT_FALSE(thrown.succeeded);
    EXPECT_EQ(thrown.failure, std::optional<std::string>(std::bad_alloc().what()));
    const TFileStep odd = run_step(c.operation, []() -> int { throw 7; });
    EXPECT_EQ(odd.result, c.result);
    EXPECT_EQ(odd.failure, std::optional<std::string>(""));
  }
  EXPECT_TRUE(run_step(TFileOperation::check, [] { return check_healthy; }).succeeded);
  EXPECT_FALSE(run_step(TFileOperation::check, [] { return 2; }).succeeded);
  EXPECT_TRUE(run_step(TFileOperation::strip, [] { return strip_removed; }).succeeded);
  EXPECT_FALSE(run_step(TFileOperation::fix, [] { return fix_stopped; }).succeeded);
}
