// The file list: the size look-up, the acceptance test of a new file with
// its refusal lines, and the table model the list view shows.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <fstream>

#include "platform/lang.h"
#include "avi_builder.h"
#include "engine/reporting.h"
#include "ui/main/file_list.h"
#include "ui/main/file_list_model.h"

using avitest::TTempDir;

namespace {

// A file of exactly `size` bytes; sparse, so the large ones cost nothing.
std::string sized_file(const TTempDir& dir, const std::string& name, std::int64_t size) {
  const std::string path = dir.file(name).string();
  { std::ofstream create(path, std::ios::binary); }
  EXPECT_EQ(::truncate(path.c_str(), static_cast<off_t>(size)), 0) << path;
  return path;
}

// Every test starts with an empty list and the English texts.
class FileList : public ::testing::Test {
 protected:
  void SetUp() override {
    file_list.clear();
    saved_module_ = lang_module;
    saved_base_ = lang_base;
    lang_base = 10000;
    lang_module = load_library(REELWRIGHT_TEST_LANG_EN);
    ASSERT_NE(lang_module, nullptr);
  }
  void TearDown() override {
    file_list.clear();
    lang_module = saved_module_;
    lang_base = saved_base_;
  }

  TTempDir dir_;

 private:
  TModuleHandle saved_module_ = nullptr;
  std::uint32_t saved_base_ = 0;
};

}  // namespace

TEST_F(FileList, SizeOfAFileAFolderAndNothing) {
  EXPECT_EQ(get_file_size(sized_file(dir_, "a.avi", 300'000)), 300'000);
  EXPECT_EQ(get_file_size(sized_file(dir_, "empty", 0)), 0);
  // Beyond 32 bits, the size must not be cut to its low word.
  EXPECT_EQ(get_file_size(sized_file(dir_, "big.avi", 5'000'000'000)), 5'000'000'000);
  EXPECT_EQ(get_file_size(dir_.path().string()), 0);
  EXPECT_EQ(get_file_size(dir_.file("missing.avi").string()), -1);
  EXPECT_EQ(get_file_size(""), -1);
}

TEST_F(FileList, SizeBoundsAreHalfOpen) {
  const auto below = check_new_file(sized_file(dir_, "below.avi", 262'143));
  EXPECT_FALSE(below.accepted);
  EXPECT_NE(below.text.find(message(3)), std::string::npos);
  EXPECT_TRUE(check_new_file(sized_file(dir_, "low.avi", 262'144)).accepted);
  EXPECT_TRUE(check_new_file(sized_file(dir_, "high.avi", 157'286'399)).accepted);
  const auto above = check_new_file(sized_file(dir_, "above.avi", 157'286'400));
  EXPECT_FALSE(above.accepted);
  EXPECT_NE(above.text.find(message(2)), std::string::npos);
  EXPECT_TRUE(file_list.empty());  // checking adds nothing
}

TEST_F(FileList, RefusalLinesAndKinds) {
  ASSERT_FALSE(message(2).empty());
  ASSERT_FALSE(message(3).empty());
  ASSERT_FALSE(message(4).empty());

  const std::string missing = dir_.file("missing.avi").string();
  const auto gone = check_new_file(missing);
  EXPECT_FALSE(gone.accepted);
  EXPECT_NE(gone.text.find(message(3)), std::string::npos);
  EXPECT_EQ(gone.kind, mk_error);
  EXPECT_EQ(gone.text, missing + "  " + message(3));

  const std::string large = sized_file(dir_, "large.avi", 200'000'000);
  const auto big = check_new_file(large);
  EXPECT_NE(big.text.find(message(2)), std::string::npos);
  EXPECT_EQ(big.kind, mk_error);
  EXPECT_EQ(big.text, message(2) + large);
  EXPECT_EQ(big.text.rfind("Files of 150 MiB or more are not supported here (the command-line tool "
                           "reelwright-fix repairs larger ones): ",
                           0),
            0u)
      << big.text;

  const std::string ok = sized_file(dir_, "ok.avi", 300'000);
  add_checked_file(ok);
  const auto twice = check_new_file(ok);
  EXPECT_FALSE(twice.accepted);
  EXPECT_NE(twice.text.find(message(4)), std::string::npos);
  EXPECT_EQ(twice.kind, mk_warning);
  EXPECT_EQ(twice.text, ok + "  " + message(4));
}

TEST_F(FileList, ADuplicateIsReportedBeforeItsSize) {
  // A listed file that has since shrunk or vanished is still a duplicate.
  const std::string small = sized_file(dir_, "small.avi", 10);
  const std::string missing = dir_.file("missing.avi").string();
  add_checked_file(small);
  add_checked_file(missing);
  EXPECT_NE(check_new_file(small).text.find(message(4)), std::string::npos);
  EXPECT_NE(check_new_file(missing).text.find(message(4)), std::string::npos);
}

TEST_F(FileList, DuplicatesCompareTheExactPath) {
  const std::string lower = sized_file(dir_, "clip.avi", 300'000);
  const std::string upper = sized_file(dir_, "CLIP.AVI", 300'000);
  add_checked_file(lower);
  EXPECT_TRUE(check_new_file(upper).accepted);
  add_checked_file(upper);
  EXPECT_NE(check_new_file(upper).text.find(message(4)), std::string::npos);
  // The same file under another spelling of its path is a different entry.
  EXPECT_TRUE(check_new_file(dir_.path().string() + "/./clip.avi").accepted);
}

TEST_F(FileList, AnyExtensionOrNoneIsAcceptedAndAFolderIsTooSmall) {
  EXPECT_TRUE(check_new_file(sized_file(dir_, "movie", 300'000)).accepted);
  EXPECT_TRUE(check_new_file(sized_file(dir_, "movie.dat", 300'000)).accepted);
  const auto folder = check_new_file(dir_.path().string());
  EXPECT_FALSE(folder.accepted);
  EXPECT_NE(folder.text.find(message(3)), std::string::npos);
}

TEST_F(FileList, AddedEntriesAreNewTickedAndInOrder) {
  add_checked_file("/b.avi");
  add_checked_file("/a.avi");
  ASSERT_EQ(file_list.size(), 2u);
  EXPECT_EQ(file_list[0].path, "/b.avi");
  EXPECT_EQ(file_list[1].path, "/a.avi");
  EXPECT_TRUE(file_list[1].fixed_path.empty());
  EXPECT_EQ(file_list[1].status, TFileStatus::added);
  EXPECT_EQ(file_list[1].ticked, 1);
}

TEST_F(FileList, ModelFollowsTheListAcrossRebuilds) {
  TFileListModel model;
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
  EXPECT_EQ(model.rowCount(), 0);
  EXPECT_EQ(model.columnCount(), 3);

  add_checked_file("/x/one.avi");
  add_checked_file("/x/two.avi");
  add_checked_file("/x/three.avi");
  EXPECT_EQ(model.rowCount(), 0);  // not shown before the rebuild
  model.rebuild();
  ASSERT_EQ(model.rowCount(), 3);
  EXPECT_EQ(model.index(2, 0).data().toString(), "/x/three.avi");
  EXPECT_EQ(model.index(0, 2).data().toString(), "Preview");
  EXPECT_EQ(model.index(0, 2).data().toString().toStdString(), message(11));

  file_list.erase(file_list.begin());
  model.rebuild();
  ASSERT_EQ(model.rowCount(), 2);
  EXPECT_EQ(model.index(0, 0).data().toString(), "/x/two.avi");

  file_list.clear();
  model.rebuild();
  EXPECT_EQ(model.rowCount(), 0);
}

TEST_F(FileList, TickBoxFollowsTickedAndWritesIt) {
  add_checked_file("/x/one.avi");
  add_checked_file("/x/two.avi");
  file_list[1].ticked = 0;
  TFileListModel model;
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
  model.rebuild();
  EXPECT_EQ(model.index(0, 0).data(Qt::CheckStateRole).value<Qt::CheckState>(), Qt::Checked);
  EXPECT_EQ(model.index(1, 0).data(Qt::CheckStateRole).value<Qt::CheckState>(), Qt::Unchecked);
  EXPECT_TRUE(model.flags(model.index(0, 0)).testFlag(Qt::ItemIsUserCheckable));
  EXPECT_FALSE(model.index(0, 1).data(Qt::CheckStateRole).isValid());  // only the first column has a box

  QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
  EXPECT_TRUE(model.setData(model.index(0, 0), Qt::Unchecked, Qt::CheckStateRole));
  EXPECT_EQ(file_list[0].ticked, 0);
  EXPECT_TRUE(model.setData(model.index(1, 0), Qt::Checked, Qt::CheckStateRole));
  EXPECT_EQ(file_list[1].ticked, 1);
  ASSERT_EQ(changed.count(), 2);
  EXPECT_EQ(changed.at(1).at(0).value<QModelIndex>(), model.index(1, 0));

  // Only the tick is editable.
  EXPECT_FALSE(model.setData(model.index(1, 0), "/other.avi", Qt::EditRole));
  EXPECT_EQ(file_list[1].path, "/x/two.avi");
  EXPECT_FALSE(model.setData(model.index(1, 1), Qt::Unchecked, Qt::CheckStateRole));
  EXPECT_EQ(file_list[1].ticked, 1);
}

TEST_F(FileList, StatusTextPerStatus) {
  for (int i = 0; i < 5; ++i) add_checked_file("/x/" + std::to_string(i) + ".avi");
  file_list[0].status = TFileStatus::added;
  file_list[1].status = TFileStatus::repaired;
  file_list[2].status = TFileStatus::not_repaired;
  file_list[3].status = TFileStatus::stopped;
  file_list[4].status = static_cast<TFileStatus>(7);  // not a known status: shown as new
  TFileListModel model;
  model.rebuild();
  const auto status = [&](int row) { return model.index(row, 1).data().toString().toStdString(); };
  EXPECT_EQ(status(0), " " + message(10));
  EXPECT_EQ(status(1), " " + message(7));
  EXPECT_EQ(status(2), " " + message(8));
  EXPECT_EQ(status(3), " " + message(9));
  EXPECT_EQ(status(4), " " + message(10));
  EXPECT_EQ(status(1), " Repaired");
  EXPECT_EQ(status(3), " Stopped");
}
