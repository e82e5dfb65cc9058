// Finding the files the program ships: beside the executable, in a relocated or in the configured install.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "avi_builder.h"
#include "platform/data_files.h"
#include "platform/lang_module.h"

namespace {

namespace fs = std::filesystem;

void plant(const fs::path& path) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << "<!DOCTYPE html>\n";
  ASSERT_TRUE(fs::is_regular_file(path)) << path;
}

// A name no other test (or other run of this one) plants at the same time:
// the tests share the executable's folder.
std::string probe_name() {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  return std::string("probe-") + test->name() + "-" + std::to_string(::getpid()) + ".html";
}

using avitest::TWorkingFolder;

// ---------------------------------------------------------------------------
// The search with the folders given: a copy installed under <root>, while this
// build's install folder is <root>/configured.

class DataFileSearch : public ::testing::Test {
 protected:
  const avitest::TTempDir root_;
  const std::string name_ = "help.html";
  const fs::path bin_ = root_.path() / "bin";
  const std::string exe_folder_ = bin_.string() + "/";
  const std::string relative_ = "../share/reelwright";
  const fs::path relocated_ = root_.path() / "share" / "reelwright";
  const fs::path configured_ = root_.path() / "configured" / "share" / "reelwright";

  void SetUp() override { fs::create_directories(bin_); }

  [[nodiscard]] std::string find() const {
    return find_data_file_in(name_, exe_folder_, relative_, configured_.string());
  }
};

TEST_F(DataFileSearch, TakesTheFirstPlaceHoldingTheFile) {
  plant(bin_ / name_);
  plant(relocated_ / name_);
  plant(configured_ / name_);
  // A build tree or unpacked copy wins over any install.
  EXPECT_EQ(find(), (bin_ / name_).string());

  fs::remove(bin_ / name_);
  // The path a browser is handed holds no "..".
  EXPECT_EQ(find(), (relocated_ / name_).string());

  fs::remove(relocated_ / name_);
  EXPECT_EQ(find(), (configured_ / name_).string());

  // Missing everywhere: a path beside the executable, which fails to open.
  fs::remove(configured_ / name_);
  EXPECT_EQ(find(), (bin_ / name_).string());
  EXPECT_FALSE(std::ifstream(find()).is_open());
}

TEST_F(DataFileSearch, PassesOverFoldersOfThatName) {
  fs::create_directories(bin_ / name_);
  fs::create_directories(relocated_ / name_);
  plant(configured_ / name_);
  EXPECT_EQ(find(), (configured_ / name_).string());
}

TEST_F(DataFileSearch, AcceptsFoldersWithOrWithoutTrailingSlash) {
  plant(relocated_ / name_);
  for (const std::string& exe_folder : {bin_.string(), bin_.string() + "/"}) {
    for (const std::string& relative : {relative_, relative_ + "/"}) {
      SCOPED_TRACE(exe_folder + " + " + relative);
      EXPECT_EQ(find_data_file_in(name_, exe_folder, relative, ""), (relocated_ / name_).string());
    }
  }
  fs::remove(relocated_ / name_);
  plant(configured_ / name_);
  for (const std::string& configured : {configured_.string(), configured_.string() + "/"}) {
    SCOPED_TRACE(configured);
    EXPECT_EQ(find_data_file_in(name_, exe_folder_, relative_, configured), (configured_ / name_).string());
  }
}

// An unknown executable folder or an empty install folder must not turn into
// a search of the working folder, which may hold anybody's help.html.
TEST_F(DataFileSearch, NeverSearchesTheWorkingFolder) {
  plant(bin_ / name_);
  plant(relocated_ / name_);
  const TWorkingFolder in_bin(bin_);

  // Unknown executable folder: <cwd>/help.html and <cwd>/../share/reelwright/help.html
  // both exist, yet only the configured folder counts.
  plant(configured_ / name_);
  EXPECT_EQ(find_data_file_in(name_, "", relative_, configured_.string()), (configured_ / name_).string());
  fs::remove(configured_ / name_);
  EXPECT_EQ(find_data_file_in(name_, "", relative_, configured_.string()), name_);

  // No configured folder: the working folder is not asked in its place.
  const avitest::TTempDir elsewhere;
  const std::string other_exe_folder = elsewhere.path().string() + "/";
  EXPECT_EQ(find_data_file_in(name_, other_exe_folder, relative_, ""), other_exe_folder + name_);
}

// ---------------------------------------------------------------------------
// The running program: this test is built into a folder laid out like an
// installed prefix that is not the configured one, as after
// "cmake --install build --prefix <elsewhere>".

class RunningProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string(REELWRIGHT_TEST_PREFIX).empty()) {
      GTEST_SKIP() << "absolute install folders: an installed copy cannot be moved";
    }
    // Otherwise the test would not run where the layout says it does.
    ASSERT_EQ(fs::path(executable_folder()), prefix_ / REELWRIGHT_TEST_BIN_SUBDIR / "");
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove(beside_, ignored);
    fs::remove(installed_, ignored);
  }

  // Resolved as the executable's own path is, in case the build folder is
  // reached through a symbolic link.
  const fs::path prefix_ = std::string(REELWRIGHT_TEST_PREFIX).empty()
                               ? fs::path()
                               : fs::weakly_canonical(REELWRIGHT_TEST_PREFIX);
  const std::string name_ = probe_name();
  const fs::path beside_ = fs::path(executable_folder()) / name_;
  const fs::path installed_ = (prefix_ / REELWRIGHT_TEST_DATA_SUBDIR / name_).lexically_normal();
};

TEST_F(RunningProgram, FindsTheDataFolderOfItsOwnPrefix) {
  plant(installed_);
  EXPECT_EQ(find_data_file(name_), installed_.string());
  plant(beside_);
  EXPECT_EQ(find_data_file(name_), beside_.string());
}

TEST_F(RunningProgram, PointsBesideItselfWhenTheFileIsMissing) {
  EXPECT_EQ(find_data_file(name_), beside_.string());
}

}  // namespace
