// The main window driven headless: creation, the file-list commands, drops,
// the batch commands with Stop, the log writer, resizing, Help and Homepage.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCheckBox>
#include <QDate>
#include <QDialog>
#include <QDropEvent>
#include <QFileDialog>
#include <QHeaderView>
#include <QLocale>
#include <QMenu>
#include <QMimeData>
#include <QScrollBar>
#include <QRegularExpression>
#include <QImage>
#include <QSplitter>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTest>
#include <QTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QAbstractButton>
#include <QToolTip>
#include <QHelpEvent>
#include <QApplication>
#include <QToolButton>
#include <QTreeView>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <utility>
#include <vector>
#include <memory>
#include <stdexcept>

#include "platform/lang.h"
#include "avi_builder.h"
#include "engine/algorithm_unit.h"
#include "engine/reporting.h"
#include "platform/data_files.h"
#include "ui/about/about_unit.h"
#include "ui/main/file_list.h"
#include "ui/main/file_list_model.h"
#include "ui/main/main_unit.h"
#include "ui/preview/preview_unit.h"
#include "process_runner.h"
#include "ui/toolkit/fit_text.h"
#include "ui/toolkit/header_label.h"
#include "ui/toolkit/log_memo.h"
#include "ui/toolkit/message_box.h"
#include "ui/toolkit/nav_bar.h"
#include "ui/toolkit/picture_button.h"
#include "ui/toolkit/shell_open.h"
#include "ui/toolkit/status_bar.h"

using namespace avitest;

namespace {

struct TBox {
  QString text;
  std::uint8_t kind;
  int log_lines;  // lines in the log while the box was open
};

// A repairable AVI of a bit over 256 KiB whose index was cut off.
std::string damaged_avi(const TTempDir& dir, const std::string& name, int frames = 200) {
  TAviBuilder b;
  for (int i = 0; i < frames; ++i) b.video(1200, i % 10 == 0).audio(200);
  const TAvi avi = b.build();
  const std::filesystem::path path = dir.file(name);
  write_file(path, TBytes(avi.bytes.begin(), avi.bytes.begin() + avi.idx1_pos));
  return path.string();
}

// The same with its index.
std::string indexed_avi(const TTempDir& dir, const std::string& name) {
  TAviBuilder b;
  for (int i = 0; i < 200; ++i) b.video(1200, i % 10 == 0).audio(200);
  write_file(dir.file(name), b.build().bytes);
  return dir.file(name).string();
}

// A file of exactly `size` bytes; sparse, so the large ones cost nothing.
std::string sized_file(const TTempDir& dir, const std::string& name, std::int64_t size) {
  const std::string path = dir.file(name).string();
  { std::ofstream create(path, std::ios::binary); }
  EXPECT_EQ(::truncate(path.c_str(), static_cast<off_t>(size)), 0) << path;
  return path;
}

QString q(const std::string& s) { return QString::fromStdString(s); }

// A language module of the build: "lang.so", "lang.de.so".
std::string module_file(const char* name) {
  return (std::filesystem::path(REELWRIGHT_TEST_LANG_EN).parent_path() / name).string();
}

class MainWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    file_list.clear();
    saved_module_ = lang_module;
    lang_base = 10000;
    lang_module = load_library(REELWRIGHT_TEST_LANG_EN);
    ASSERT_NE(lang_module, nullptr);
    set_box_answerer([this](const QString& text, std::uint8_t kind) {
      boxes_.push_back({text, kind, window_ ? window_->AdvMemo->line_count() : -1});
    });
    set_shell_opener([this](const QUrl& url) { opened_.push_back(url); });
    window_ = std::make_unique<TMainForm>();
  }
  void TearDown() override {
    window_.reset();
    set_box_answerer(nullptr);
    set_shell_opener(nullptr);
    file_list.clear();
    lang_module = saved_module_;
  }

  [[nodiscard]] QString last_line() const {
    return window_->AdvMemo->line_text(window_->AdvMemo->line_count() - 1);
  }
  [[nodiscard]] QString row_text(int row, int column) const {
    return window_->ListModel->index(row, column).data().toString();
  }
  [[nodiscard]] std::vector<std::int32_t> ticks() const {
    std::vector<std::int32_t> t;
    for (const TFile& f : file_list) t.push_back(f.ticked);
    return t;
  }
  void expect_idle() const {
    EXPECT_FALSE(window_->StopButton->isEnabled());
    EXPECT_TRUE(window_->FixButtonSimple->isEnabled());
    EXPECT_TRUE(window_->BackupHTMLCheckBox->isEnabled());
    EXPECT_FALSE(window_->batch_running());
    EXPECT_EQ(window_->MainStatusBar->panel_text(1), "Ready");
    EXPECT_EQ(stop_flag.load(), 1);
  }

  TTempDir dir_;
  std::unique_ptr<TMainForm> window_;
  std::vector<TBox> boxes_;
  std::vector<QUrl> opened_;

 private:
  TModuleHandle saved_module_ = nullptr;
};

// ---------------------------------------------------------------- creation

TEST_F(MainWindow, CreationSetsTitleCaptionsAndTheFirstLogLine) {
  TMainForm& w = *window_;
  EXPECT_EQ(w.windowTitle(), "Reelwright -  AVI index repair");
  EXPECT_EQ(w.MainStatusBar->panel_text(0), "Version 2.1.6.0");
  EXPECT_EQ(w.MainStatusBar->panel_text(1), "Ready");
  EXPECT_FALSE(w.StopButton->isEnabled());
  EXPECT_EQ(auto_backup, 1);
  EXPECT_EQ(external_player, 1);
  EXPECT_TRUE(w.BackupHTMLCheckBox->isChecked());
  EXPECT_TRUE(w.PlayerHTMLCheckBox->isChecked());
  EXPECT_EQ(w.BackupHTMLCheckBox->text(), "Auto Backup");
  EXPECT_EQ(w.PlayerHTMLCheckBox->text(), "External Player");
  EXPECT_TRUE(w.acceptDrops());

  // The second panel is the one open at start.
  EXPECT_EQ(w.AdvNavBar->open_panel(), TMainForm::simple_panel);
  EXPECT_EQ(w.AdvNavBar->panel_caption(TMainForm::advanced_panel), "Advanced");
  EXPECT_EQ(w.AdvNavBar->panel_caption(TMainForm::simple_panel), "Simple");
  EXPECT_EQ(w.AdvNavBar->section_caption(TMainForm::simple_panel, 2), "Help");
  EXPECT_EQ(w.AdvNavBar->section_caption(TMainForm::advanced_panel, 2), "Settings");
  EXPECT_EQ(w.AdvNavBar->section_caption(TMainForm::advanced_panel, 3), "Help");
  EXPECT_EQ(w.FixButtonSimple->text(), "Fix File(s)");
  EXPECT_EQ(w.CheckButtonAdvanced->text(), "Check for Errors");
  EXPECT_EQ(w.StripButtonAdvanced->text(), "Strip Index");
  EXPECT_EQ(w.AboutButtonAdvanced->text(), "About");
  EXPECT_TRUE(w.HTMLabelFiles->text_html().startsWith(q(message(50))));
  EXPECT_TRUE(w.HTMLabelStatus->text_html().startsWith(q(message(51))));

  // Exactly one unmarked line: a blank, message 14, a blank, date and time.
  ASSERT_EQ(w.AdvMemo->line_count(), 1);
  EXPECT_FALSE(w.AdvMemo->marker_at(0).has_value());
  const QString today = QLocale::system().toString(QDate::currentDate(), QLocale::ShortFormat);
  EXPECT_TRUE(w.AdvMemo->line_text(0).startsWith(" Started " + today + " ")) << w.AdvMemo->line_text(0).toStdString();
  EXPECT_EQ(w.ListModel->rowCount(), 0);
}

TEST_F(MainWindow, WithoutTheLanguageModuleTextsAreEmpty) {
  window_.reset();
  lang_module = nullptr;
  window_ = std::make_unique<TMainForm>();
  EXPECT_EQ(window_->windowTitle(), "Reelwright -  ");
  EXPECT_EQ(window_->MainStatusBar->panel_text(0), " 2.1.6.0");
  EXPECT_EQ(window_->FixButtonSimple->text(), "");
  EXPECT_EQ(window_->AdvNavBar->panel_caption(0), "");
  // Captions that are not messages stay.
  EXPECT_EQ(window_->BackupHTMLCheckBox->text(), "Auto Backup");
  EXPECT_EQ(window_->Play1->text(), "Preview");
  ASSERT_EQ(window_->AdvMemo->line_count(), 1);
  EXPECT_TRUE(window_->AdvMemo->line_text(0).startsWith("  "));
}

TEST_F(MainWindow, ContextMenuItemsInOrder) {
  QStringList captions;
  for (QAction* a : window_->AdvPopupMenu->actions()) captions << (a->isSeparator() ? "-" : a->text());
  EXPECT_EQ(captions, QStringList({"Preview", "-", "Select All Files", "Unselect All Files", "Reverse Selection", "-",
                                   "Add file", "Remove Selected"}));
  EXPECT_FALSE(window_->Play1->isEnabled());
}

// ---------------------------------------------------------------- log and status bar

TEST_F(MainWindow, LogLinesCarryTheMarkerOfTheirKind) {
  TMainForm& w = *window_;
  w.out_text(" info", mk_information, false);
  w.out_text(" warning", mk_warning, false);
  w.out_text(" error", mk_error, false);
  w.out_text(" plain", mk_plain, false);
  EXPECT_EQ(w.AdvMemo->marker_at(1), std::optional<int>(0));
  EXPECT_EQ(w.AdvMemo->marker_at(2), std::optional<int>(1));
  EXPECT_EQ(w.AdvMemo->marker_at(3), std::optional<int>(2));
  EXPECT_FALSE(w.AdvMemo->marker_at(4).has_value());
  EXPECT_TRUE(boxes_.empty());
}

TEST_F(MainWindow, ALineWithABoxIsAddedOnlyAfterTheBoxCloses) {
  TMainForm& w = *window_;
  w.out_text(" careful", mk_warning, true);
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, " careful");
  EXPECT_EQ(boxes_[0].kind, mk_warning);
  EXPECT_EQ(boxes_[0].log_lines, 1);  // only the first line while it was open
  EXPECT_EQ(w.AdvMemo->line_count(), 2);
  EXPECT_EQ(last_line(), " careful");
  EXPECT_EQ(w.AdvMemo->marker_at(1), std::optional<int>(1));
}

TEST_F(MainWindow, TheNewestLineStaysInView) {
  window_->show();
  for (int i = 0; i < 300; ++i) window_->out_text(" line " + std::to_string(i), mk_information, false);
  QScrollBar* bar = window_->AdvMemo->verticalScrollBar();
  EXPECT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum());
}

TEST_F(MainWindow, ResizingGivesTheProgressPanelTheRest) {
  window_->show();
  EXPECT_EQ(window_->MainStatusBar->width(), TMainForm::design_width);
  EXPECT_EQ(window_->MainStatusBar->panel_width(2), 612);
  window_->resize(700, TMainForm::design_height);
  EXPECT_EQ(window_->MainStatusBar->width(), 700);
  EXPECT_EQ(window_->MainStatusBar->panel_width(2), 420);
}

// Every caption, status and column text of the window, in each language,
// drawn at the design size and at the smallest the window can be made.
TEST_F(MainWindow, EveryTextShowsWholeInEachLanguageAtTheDesignAndTheMinimumSize) {
  QStringList elided;
  set_elision_watcher([&elided](const QString& text) { elided.append(text); });
  // With nothing ticked a command's refusal comes while its text is in the status bar.
  set_box_answerer([this](const QString&, std::uint8_t) { (void)window_->grab(); });
  for (const char* module : {"lang.so", "lang.de.so"}) {
    window_.reset();
    lang_module = load_library(module_file(module));
    window_ = std::make_unique<TMainForm>();
    file_list = {{"a.avi", "", TFileStatus::added, 0}, {"r.avi", "", TFileStatus::repaired, 0},
                 {"n.avi", "", TFileStatus::not_repaired, 0}, {"s.avi", "", TFileStatus::stopped, 0}};
    window_->update_list();
    window_->show();
    for (const QSize size : {QSize(TMainForm::design_width, TMainForm::design_height), QSize(1, 1)}) {
      window_->resize(size);
      for (int panel : {TMainForm::advanced_panel, TMainForm::simple_panel}) {
        window_->AdvNavBar->set_open_panel(panel);
        (void)window_->grab();
      }
      for (TPictureButton* command : {window_->FixButtonSimple, window_->CheckButtonAdvanced, window_->StripButtonAdvanced})
        command->click();
      EXPECT_TRUE(elided.isEmpty()) << module << " at " << window_->width() << "x" << window_->height() << ": "
                                    << elided.join(" | ").toStdString();
      elided.clear();
    }
  }
  set_elision_watcher(nullptr);
}

TEST_F(MainWindow, TheLogKeepsItsHeightUntilTheUserMovesTheLineAboveIt) {
  TMainForm& w = *window_;
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  EXPECT_EQ(w.AdvMemo->height(), TMainForm::log_height);
  const int list = w.AdvListView->height();
  w.resize(w.width() + 100, w.height() + 200);
  QCoreApplication::processEvents();
  EXPECT_EQ(w.AdvMemo->height(), TMainForm::log_height);
  EXPECT_EQ(w.AdvListView->height(), list + 200);
  // Dragging the line between them up gives the log the room.
  QSplitterHandle* line = w.LogSplitter->handle(1);
  const QPoint grip = line->rect().center();
  QTest::mousePress(line, Qt::LeftButton, Qt::NoModifier, grip);
  QTest::mouseMove(line, grip - QPoint(0, 120));
  QTest::mouseRelease(line, Qt::LeftButton, Qt::NoModifier, grip - QPoint(0, 120));
  EXPECT_EQ(w.AdvMemo->height(), TMainForm::log_height + 120);
  EXPECT_EQ(w.AdvListView->height(), list + 80);
}

TEST_F(MainWindow, AtTheSmallestSizeNoControlOverlapsAnotherOrIsCut) {
  TMainForm& w = *window_;
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  w.resize(1, 1);
  QCoreApplication::processEvents();
  ASSERT_EQ(w.size(), w.minimumSize());
  const QRect window_rect = w.rect();
  const auto in_window = [&w](const QWidget* c) { return QRect(c->mapTo(&w, QPoint(0, 0)), c->size()); };
  for (const int panel : {TMainForm::simple_panel, TMainForm::advanced_panel}) {
    w.AdvNavBar->set_open_panel(panel);
    QCoreApplication::processEvents();
    std::vector<QRect> taken;
    for (QWidget* c : w.AdvNavBar->findChildren<QWidget*>()) {
      if (!c->isVisible() || (qobject_cast<TPictureButton*>(c) == nullptr && qobject_cast<QCheckBox*>(c) == nullptr))
        continue;
      const QRect r = in_window(c);
      EXPECT_TRUE(in_window(w.AdvNavBar).contains(r)) << "panel " << panel << ": " << c->objectName().toStdString();
      if (qobject_cast<TPictureButton*>(c) != nullptr) {
        EXPECT_EQ(r.height(), TPictureButton::button_height);
      }
      for (const QRect& other : taken) EXPECT_FALSE(other.intersects(r)) << "panel " << panel;
      taken.push_back(r);
    }
    EXPECT_GE(taken.size(), 6u);
  }
  EXPECT_GE(w.AdvListView->height(), 3 * TMainForm::row_height);
  EXPECT_GE(w.AdvMemo->height(), TMainForm::log_minimum_height);
  EXPECT_GT(w.AdvListView->header()->sectionSize(TFileListModel::col_file), 100);
  for (const QWidget* c : {static_cast<QWidget*>(w.MainStatusBar), static_cast<QWidget*>(w.StopButton),
                           static_cast<QWidget*>(w.AdvMemo)})
    EXPECT_TRUE(window_rect.contains(in_window(c)));
}

TEST_F(MainWindow, DisableAndEnableTouchExactlyTheCommandControls) {
  TMainForm& w = *window_;
  const std::vector<QWidget*> commands = {
      w.AddButtonSimple,   w.RemoveButtonSimple,  w.FixButtonSimple,     w.HomepageButtonSimple,
      w.HelpButtonSimple,  w.AboutButtonSimple,   w.AddButtonAdvanced,   w.RemoveButtonAdvanced,
      w.FixButtonAdvanced, w.CheckButtonAdvanced, w.StripButtonAdvanced, w.BackupHTMLCheckBox,
      w.PlayerHTMLCheckBox, w.HomepageButtonAdvanced, w.AboutButtonAdvanced};
  const std::vector<QWidget*> untouched = {w.AdvListView, w.AdvNavBar, w.AdvMemo, w.AdvPopupMenu};

  w.disable_buttons();
  EXPECT_TRUE(w.StopButton->isEnabled());
  for (QWidget* c : commands) EXPECT_FALSE(c->isEnabled()) << c->metaObject()->className();
  for (QWidget* c : untouched) EXPECT_TRUE(c->isEnabled());
  for (QAction* a : {w.SelectAll1, w.RemoveSelected1, w.Addfile1}) EXPECT_TRUE(a->isEnabled());
  EXPECT_EQ(stop_flag.load(), 0);

  w.StopButtonClick();
  EXPECT_EQ(stop_flag.load(), 1);

  w.enable_buttons();
  EXPECT_FALSE(w.StopButton->isEnabled());
  for (QWidget* c : commands) EXPECT_TRUE(c->isEnabled());
  EXPECT_EQ(stop_flag.load(), 1);
}

// ---------------------------------------------------------------- adding

TEST_F(MainWindow, AddFileKeepsTheSizeWindowAtItsBounds) {
  TMainForm& w = *window_;
  const std::string too_small = sized_file(dir_, "small.avi", 262'143);
  const std::string smallest = sized_file(dir_, "min.avi", 262'144);
  const std::string largest = sized_file(dir_, "max.bin", 157'286'399);
  const std::string too_large = sized_file(dir_, "large.avi", 157'286'400);

  w.add_file(too_small);
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, q(too_small + "  " + message(3)));
  EXPECT_EQ(boxes_[0].kind, mk_error);
  EXPECT_EQ(last_line(), boxes_[0].text);
  EXPECT_EQ(w.AdvMemo->marker_at(w.AdvMemo->line_count() - 1), std::optional<int>(2));

  w.add_file(smallest);
  w.add_file(largest);
  w.add_file(too_large);
  ASSERT_EQ(boxes_.size(), 2u);
  EXPECT_EQ(boxes_[1].text, q(message(2) + too_large));
  EXPECT_EQ(boxes_[1].kind, mk_error);

  ASSERT_EQ(file_list.size(), 2u);
  EXPECT_EQ(file_list[0].path, smallest);
  EXPECT_EQ(file_list[1].path, largest);
  ASSERT_EQ(w.ListModel->rowCount(), 2);
  EXPECT_EQ(row_text(1, 0), q(largest));
  EXPECT_EQ(row_text(1, 1), " Ready");
  EXPECT_EQ(row_text(1, 2), "Preview");
  EXPECT_EQ(w.ListModel->index(1, 0).data(Qt::CheckStateRole).value<Qt::CheckState>(), Qt::Checked);
}

// A recording too large for the list: the box says where to take it.
TEST_F(MainWindow, TheSizeLimitPointsToTheCommandLineToolInEachLanguage) {
  const std::string large = sized_file(dir_, "large.avi", std::int64_t{1} << 30);
  for (const char* module : {"lang.so", "lang.de.so"}) {
    lang_module = load_library(module_file(module));
    window_->add_file(large);
    EXPECT_TRUE(boxes_.back().text.contains(" reelwright-fix ")) << boxes_.back().text.toStdString();
  }
}

// A file refused as no AVI file: the next line names what the command-line
// tool does with one whose start is lost.
TEST_F(MainWindow, AFileThatIsNoAviPointsToTheReferenceOptionInEachLanguage) {
  TMainForm& w = *window_;
  w.add_file(sized_file(dir_, "start_lost.avi", 300'000));
  for (const char* module : {"lang.so", "lang.de.so"}) {
    lang_module = load_library(module_file(module));
    w.SelectAll1Click();
    w.FixButtonSimpleClick();
    const int last = w.AdvMemo->line_count() - 1;
    EXPECT_TRUE(w.AdvMemo->line_text(last - 1).endsWith(q(message(28)))) << module;
    EXPECT_TRUE(w.AdvMemo->line_text(last).contains("reelwright-fix --reference ")) << module;
  }
}

TEST_F(MainWindow, DuplicatesFoldersAndMissingFiles) {
  TMainForm& w = *window_;
  const std::string a = sized_file(dir_, "a.avi", 300'000);
  const std::string upper = sized_file(dir_, "A.avi", 300'000);
  w.add_file(a);
  w.add_file(a);
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, q(a + "  " + message(4)));
  EXPECT_EQ(boxes_[0].kind, mk_warning);
  w.add_file(upper);  // another name on a case-sensitive file system
  w.add_file(dir_.path().string());
  w.add_file(dir_.file("missing.avi").string());
  ASSERT_EQ(boxes_.size(), 3u);
  EXPECT_EQ(boxes_[1].text, q(dir_.path().string() + "  " + message(3)));
  EXPECT_EQ(boxes_[2].text, q(dir_.file("missing.avi").string() + "  " + message(3)));
  ASSERT_EQ(file_list.size(), 2u);
  EXPECT_EQ(file_list[1].path, upper);
}

TEST_F(MainWindow, AddButtonShowsTheNoticeThenAddsTheChosenFile) {
  const std::string a = sized_file(dir_, "clip.dat", 300'000);
  QTimer::singleShot(0, window_->AddOpenDialog, [&] {
    window_->AddOpenDialog->selectFile(q(a));
    static_cast<QDialog*>(window_->AddOpenDialog)->accept();
  });
  QTest::mouseClick(window_->AddButtonSimple, Qt::LeftButton);
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, q(message(6)));
  EXPECT_EQ(boxes_[0].kind, mk_warning);
  ASSERT_EQ(file_list.size(), 1u);
  EXPECT_EQ(file_list[0].path, a);

  // Cancelled: nothing at all.
  QTimer::singleShot(0, window_->AddOpenDialog, [&] { window_->AddOpenDialog->reject(); });
  window_->Addfile1->trigger();
  EXPECT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(file_list.size(), 1u);
}

class MainWindowDrops : public MainWindow {
 protected:
  // Drags `names` in and drops them, as the desktop would.
  void drop(const QStringList& names) {
    QMimeData data;
    QList<QUrl> urls;
    for (const QString& n : names) urls << (n.startsWith("http") ? QUrl(n) : QUrl::fromLocalFile(n));
    data.setUrls(urls);
    const QPoint at(400, 300);
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window_.get(), &enter);
    dropped_ = enter.isAccepted();
    if (!dropped_) return;
    QDropEvent event(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window_.get(), &event);
    QCoreApplication::processEvents();
  }
  bool dropped_ = false;
};

TEST_F(MainWindowDrops, OneNoticePerDropAndEachNameOnItsOwn) {
  const std::string first = sized_file(dir_, "1.avi", 300'000);
  const std::string listed = sized_file(dir_, "2.avi", 300'000);
  const std::string third = sized_file(dir_, "3.avi", 300'000);
  window_->add_file(listed);
  drop({q(first), q(listed), q(third), q(dir_.path().string())});
  ASSERT_TRUE(dropped_);
  ASSERT_EQ(boxes_.size(), 3u);
  EXPECT_EQ(boxes_[0].text, q(message(6)));
  EXPECT_EQ(boxes_[1].text, q(listed + "  " + message(4)));
  EXPECT_EQ(boxes_[2].text, q(dir_.path().string() + "  " + message(3)));
  ASSERT_EQ(file_list.size(), 3u);
  EXPECT_EQ(file_list[1].path, first);
  EXPECT_EQ(file_list[2].path, third);
  EXPECT_EQ(window_->ListModel->rowCount(), 3);
}

TEST_F(MainWindowDrops, LongNamesAreNotCutAndWebAddressesAreNotFiles) {
  // Deep enough that the whole path passes 254 characters.
  std::filesystem::path deep = dir_.path();
  while (deep.string().size() < 300) deep /= std::string(40, 'd');
  std::filesystem::create_directories(deep);
  const std::string path = sized_file(dir_, (deep / "long name.avi").lexically_relative(dir_.path()).string(), 300'000);
  ASSERT_GT(path.size(), 254u);
  drop({q(path)});
  ASSERT_EQ(file_list.size(), 1u);
  EXPECT_EQ(file_list[0].path, path);

  boxes_.clear();
  drop({"https://example.org/a.avi"});
  EXPECT_FALSE(dropped_);
  EXPECT_TRUE(boxes_.empty());
}

// ---------------------------------------------------------------- removing and ticking

TEST_F(MainWindow, RemoveTakesTheTickedEntriesAndKeepsTheOrder) {
  TMainForm& w = *window_;
  for (const char* n : {"1.avi", "2.avi", "3.avi", "4.avi"}) w.add_file(sized_file(dir_, n, 300'000));
  w.UnselectAll1Click();
  w.RemoveButtonSimpleClick();
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, q(" " + message(16)));
  EXPECT_EQ(boxes_[0].kind, mk_error);
  EXPECT_EQ(file_list.size(), 4u);

  file_list[0].ticked = 1;
  file_list[2].ticked = 1;
  QTest::mouseClick(w.RemoveButtonAdvanced, Qt::LeftButton);
  ASSERT_EQ(file_list.size(), 2u);
  EXPECT_EQ(file_list[0].path, dir_.file("2.avi").string());
  EXPECT_EQ(file_list[1].path, dir_.file("4.avi").string());
  EXPECT_EQ(w.ListModel->rowCount(), 2);
  EXPECT_EQ(row_text(1, 0), q(dir_.file("4.avi").string()));

  w.SelectAll1Click();
  w.RemoveSelected1->trigger();
  EXPECT_TRUE(file_list.empty());
  EXPECT_EQ(w.ListModel->rowCount(), 0);
}

TEST_F(MainWindow, TickCommandsAndTheRowsTickBox) {
  TMainForm& w = *window_;
  for (const char* n : {"1.avi", "2.avi", "3.avi"}) w.add_file(sized_file(dir_, n, 300'000));
  file_list[1].ticked = 0;
  w.ReverseSelection1->trigger();
  EXPECT_EQ(ticks(), (std::vector<std::int32_t>{0, 1, 0}));
  w.SelectAll1->trigger();
  EXPECT_EQ(ticks(), (std::vector<std::int32_t>{1, 1, 1}));
  w.UnselectAll1->trigger();
  EXPECT_EQ(ticks(), (std::vector<std::int32_t>{0, 0, 0}));

  // A click on row 1's tick box, then Space on the focused row 2.
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  const QModelIndex row1 = w.ListModel->index(1, 0);
  QStyleOptionViewItem option;
  option.initFrom(w.AdvListView);
  option.rect = w.AdvListView->visualRect(row1);
  option.features |= QStyleOptionViewItem::HasCheckIndicator;
  const QRect box = w.AdvListView->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option,
                                                          w.AdvListView);
  QTest::mouseClick(w.AdvListView->viewport(), Qt::LeftButton, Qt::NoModifier, box.center());
  QCoreApplication::processEvents();
  EXPECT_EQ(ticks(), (std::vector<std::int32_t>{0, 1, 0}));
  EXPECT_EQ(w.ListModel->index(1, 0).data(Qt::CheckStateRole).value<Qt::CheckState>(), Qt::Checked);

  w.AdvListView->setCurrentIndex(w.ListModel->index(2, 0));
  QTest::keyClick(w.AdvListView, Qt::Key_Space);
  QCoreApplication::processEvents();
  EXPECT_EQ(ticks(), (std::vector<std::int32_t>{0, 1, 1}));
  // The rebuild keeps the highlighted row, so Space can go on down the list.
  EXPECT_EQ(w.AdvListView->currentIndex().row(), 2);
}

TEST_F(MainWindow, SpaceTicksTheFocusedRowWhicheverCellIsCurrent) {
  TMainForm& w = *window_;
  for (const char* n : {"1.avi", "2.avi"}) w.add_file(sized_file(dir_, n, 300'000));
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  // A real click on row 1's Status cell, as a user would before pressing Space.
  const QRect status = w.AdvListView->visualRect(w.ListModel->index(1, TFileListModel::col_status));
  QTest::mouseClick(w.AdvListView->viewport(), Qt::LeftButton, Qt::NoModifier, status.center());
  ASSERT_EQ(w.AdvListView->currentIndex().column(), TFileListModel::col_status);
  std::vector<std::int32_t> expected = ticks();
  for (const int column : {TFileListModel::col_status, TFileListModel::col_file, TFileListModel::col_preview}) {
    for (const int row : {1, 0}) {
      w.AdvListView->setCurrentIndex(w.ListModel->index(row, column));
      QTest::keyClick(w.AdvListView, Qt::Key_Space);
      QCoreApplication::processEvents();
      expected[static_cast<std::size_t>(row)] ^= 1;
      EXPECT_EQ(ticks(), expected) << "row " << row << ", column " << column;
      EXPECT_EQ(w.ListModel->index(row, 0).data(Qt::CheckStateRole).value<Qt::CheckState>(),
                expected[static_cast<std::size_t>(row)] == 1 ? Qt::Checked : Qt::Unchecked);
    }
  }
}

TEST_F(MainWindow, ThePathCellsTooltipIsTheWholePath) {
  TMainForm& w = *window_;
  const std::string deep = (dir_.path() / std::string(120, 'd')).string();
  std::filesystem::create_directories(deep);
  const std::string path = deep + "/holiday video from the summer.avi";
  w.add_file(sized_file(dir_, std::string(120, 'd') + "/holiday video from the summer.avi", 300'000));
  ASSERT_EQ(file_list.size(), 1u);
  w.resize(TMainForm::design_width, TMainForm::design_height);
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  const QRect cell = w.AdvListView->visualRect(w.ListModel->index(0, TFileListModel::col_file));
  ASSERT_GT(w.AdvListView->fontMetrics().horizontalAdvance(q(path)), cell.width()) << "the path is not elided";
  QHelpEvent help(QEvent::ToolTip, cell.center(), w.AdvListView->viewport()->mapToGlobal(cell.center()));
  QApplication::sendEvent(w.AdvListView->viewport(), &help);
  EXPECT_EQ(QToolTip::text(), q(path));
  EXPECT_FALSE(w.ListModel->index(0, TFileListModel::col_status).data(Qt::ToolTipRole).isValid());
  EXPECT_FALSE(w.ListModel->index(0, TFileListModel::col_preview).data(Qt::ToolTipRole).isValid());
}

TEST_F(MainWindow, SettingsFollowTheirTickBoxes) {
  TMainForm& w = *window_;
  w.AdvNavBar->set_open_panel(TMainForm::advanced_panel);
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  QTest::mouseClick(w.BackupHTMLCheckBox, Qt::LeftButton);
  EXPECT_EQ(auto_backup, 0);
  QTest::mouseClick(w.PlayerHTMLCheckBox, Qt::LeftButton);
  EXPECT_EQ(external_player, 0);
  QTest::mouseClick(w.BackupHTMLCheckBox, Qt::LeftButton);
  EXPECT_EQ(auto_backup, 1);
}

// ---------------------------------------------------------------- batch commands

// How the user presses Stop: the mouse, Escape anywhere in the window, or
// Space on Stop, where the focus went when the batch was started with Space.
enum class TStopPress { mouse, escape, space_after_space };

class MainWindowStop : public MainWindow, public ::testing::WithParamInterface<TStopPress> {};

TEST_P(MainWindowStop, FixOverThreeFilesWithStopDuringTheSecond) {
  TMainForm& w = *window_;
  const std::string a = damaged_avi(dir_, "a.avi");
  const std::string b = damaged_avi(dir_, "b.avi", 2000);
  const std::string c = damaged_avi(dir_, "c.avi");
  for (const std::string& p : {a, b, c}) w.add_file(p);
  w.show();
  w.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
  w.FixButtonSimple->setFocus();

  // The user presses Stop once the second file's repair has begun.
  bool pressed = false;
  QString running_text;
  QObject::connect(w.AdvMemo, &QPlainTextEdit::textChanged, &w, [&] {
    if (!pressed && last_line().contains(q(b))) {
      pressed = true;
      running_text = w.MainStatusBar->panel_text(1);
      EXPECT_TRUE(w.StopButton->isEnabled());
      switch (GetParam()) {
        case TStopPress::mouse: QTest::mouseClick(w.StopButton, Qt::LeftButton); break;
        case TStopPress::escape: QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape); break;
        case TStopPress::space_after_space:
          EXPECT_TRUE(w.StopButton->hasFocus());
          QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
          break;
      }
    }
  });
  if (GetParam() == TStopPress::space_after_space)
    QTest::keyClick(w.FixButtonSimple, Qt::Key_Space);
  else
    QTest::mouseClick(w.FixButtonSimple, Qt::LeftButton);

  ASSERT_TRUE(pressed);
  EXPECT_EQ(running_text, q(message(17)));
  EXPECT_EQ(file_list[0].status, TFileStatus::repaired);
  EXPECT_EQ(file_list[1].status, TFileStatus::stopped);
  EXPECT_EQ(file_list[2].status, TFileStatus::repaired);
  EXPECT_EQ(ticks(), (std::vector<std::int32_t>{0, 0, 0}));
  EXPECT_EQ(file_list[0].fixed_path, dir_.file("Fixed.a.avi").string());
  EXPECT_EQ(file_list[2].fixed_path, dir_.file("Fixed.c.avi").string());
  // A stopped repair leaves its partial copy, and the entry names it.
  EXPECT_EQ(file_list[1].fixed_path, std::filesystem::exists(dir_.file("Fixed.b.avi"))
                                         ? dir_.file("Fixed.b.avi").string() : std::string());
  EXPECT_EQ(row_text(0, 1), q(" " + message(7)));
  EXPECT_EQ(row_text(1, 1), q(" " + message(9)));
  EXPECT_TRUE(boxes_.empty());
  expect_idle();
  EXPECT_EQ(w.MainStatusBar->progress_bar()->value(), 100);
  // The keyboard is back on the command it started.
  EXPECT_TRUE(w.FixButtonSimple->hasFocus());
}

INSTANTIATE_TEST_SUITE_P(Presses, MainWindowStop,
                         ::testing::Values(TStopPress::mouse, TStopPress::escape, TStopPress::space_after_space));

TEST_F(MainWindow, FixedPathFollowsTheNamingRuleAndTheBackupSetting) {
  TMainForm& w = *window_;
  const std::string upper = damaged_avi(dir_, "a.AVI");
  const std::string dat = damaged_avi(dir_, "clip.dat");
  const std::string divx = damaged_avi(dir_, "b.divx");
  for (const std::string& p : {upper, dat, divx}) w.add_file(p);
  w.FixButtonAdvanced->click();
  EXPECT_EQ(file_list[0].fixed_path, dir_.file("Fixed.a.AVI.avi").string());
  EXPECT_EQ(file_list[1].fixed_path, dir_.file("Fixed.clip.dat.avi").string());
  EXPECT_EQ(file_list[2].fixed_path, dir_.file("Fixed.b.divx").string());

  // In place: the listed file itself is repaired and no copy is named.
  const std::string in_place = damaged_avi(dir_, "in.avi");
  const auto size_before = std::filesystem::file_size(in_place);
  w.add_file(in_place);
  w.BackupHTMLCheckBox->click();
  ASSERT_EQ(auto_backup, 0);
  w.UnselectAll1Click();
  file_list[3].ticked = 1;
  w.FixButtonSimpleClick();
  EXPECT_EQ(file_list[3].status, TFileStatus::repaired);
  EXPECT_EQ(file_list[3].fixed_path, "");
  EXPECT_GT(std::filesystem::file_size(in_place), size_before);
  EXPECT_FALSE(std::filesystem::exists(dir_.file("Fixed.in.avi")));
}

TEST_F(MainWindow, NothingTickedIsRefusedByEachCommand) {
  TMainForm& w = *window_;
  w.add_file(damaged_avi(dir_, "a.avi"));
  w.UnselectAll1Click();
  const std::pair<TPictureButton*, std::uint32_t> commands[] = {
      {w.FixButtonSimple, 18}, {w.CheckButtonAdvanced, 20}, {w.StripButtonAdvanced, 22}};
  for (const auto& [button, k] : commands) {
    boxes_.clear();
    button->click();
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text, q(" " + message(k)));
    EXPECT_EQ(boxes_[0].kind, mk_error);
    expect_idle();
  }
  EXPECT_EQ(file_list[0].status, TFileStatus::added);
  EXPECT_FALSE(std::filesystem::exists(dir_.file("Fixed.a.avi")));
}

TEST_F(MainWindow, AFileDeletedAfterAddingIsPassedOverAndStaysTicked) {
  TMainForm& w = *window_;
  const std::string gone = damaged_avi(dir_, "gone.avi");
  const std::string here = damaged_avi(dir_, "here.avi");
  w.add_file(gone);
  w.add_file(here);
  std::filesystem::remove(gone);
  w.FixButtonSimpleClick();
  EXPECT_EQ(file_list[0].status, TFileStatus::added);
  EXPECT_EQ(file_list[0].ticked, 1);
  EXPECT_EQ(file_list[1].status, TFileStatus::repaired);
  EXPECT_EQ(file_list[1].ticked, 0);
}

TEST_F(MainWindow, CheckReadsAndStripChangesInPlaceWithoutTouchingTheStatus) {
  TMainForm& w = *window_;
  const std::string indexed = indexed_avi(dir_, "indexed.avi");
  w.add_file(indexed);
  const TBytes before = read_file(indexed);

  const int lines_before = w.AdvMemo->line_count();
  w.CheckButtonAdvanced->click();
  EXPECT_GT(w.AdvMemo->line_count(), lines_before + 2);
  EXPECT_EQ(read_file(indexed), before);
  EXPECT_EQ(file_list[0].ticked, 0);
  EXPECT_EQ(file_list[0].status, TFileStatus::added);
  expect_idle();

  w.SelectAll1Click();
  w.StripButtonAdvanced->click();
  EXPECT_LT(std::filesystem::file_size(indexed), before.size());
  EXPECT_EQ(find_last_idx1(read_file(indexed)), std::string::npos);
  EXPECT_EQ(file_list[0].status, TFileStatus::added);
  EXPECT_EQ(file_list[0].ticked, 0);
  // The log says plainly that the file itself was changed.
  bool said = false;
  for (int i = 0; i < w.AdvMemo->line_count(); ++i) said = said || w.AdvMemo->line_text(i).contains("in place");
  EXPECT_TRUE(said);
  expect_idle();
}

TMainForm* batch_window = nullptr;

TEST_F(MainWindow, RemovalIsRefusedWhileABatchRuns) {
  TMainForm& w = *window_;
  for (const char* n : {"1.avi", "2.avi"}) w.add_file(sized_file(dir_, n, 300'000));
  batch_window = &w;
  w.run_batch({17, 18, TFileOperation::fix, [](const std::string&) {
                 batch_window->RemoveSelected1->trigger();  // the context menu stays live
                 return 1;
               }});
  ASSERT_EQ(boxes_.size(), 2u);
  EXPECT_EQ(boxes_[0].text, q(" " + message(25)));
  EXPECT_EQ(boxes_[0].kind, mk_error);
  EXPECT_EQ(file_list.size(), 2u);
  EXPECT_EQ(file_list[1].status, TFileStatus::repaired);
}

TEST_F(MainWindow, AnErrorInOneFileGivesStatusTwoAndTheBatchGoesOn) {
  TMainForm& w = *window_;
  for (const char* n : {"1.avi", "2.avi", "3.avi"}) w.add_file(sized_file(dir_, n, 300'000));
  w.run_batch({19, 20, TFileOperation::check, [](const std::string& path) -> int {
                 if (path.ends_with("2.avi")) throw std::runtime_error("out of luck");
                 return 0;
               }});
  EXPECT_EQ(file_list[0].status, TFileStatus::added);
  EXPECT_EQ(file_list[1].status, TFileStatus::not_repaired);
  EXPECT_EQ(file_list[2].status, TFileStatus::added);
  EXPECT_EQ(ticks(), (std::vector<std::int32_t>{0, 0, 0}));
  EXPECT_EQ(last_line(), q(" " + message(24) + " " + dir_.file("2.avi").string() + ": out of luck"));
  EXPECT_EQ(w.AdvMemo->marker_at(w.AdvMemo->line_count() - 1), std::optional<int>(2));
  expect_idle();
}

// ---------------------------------------------------------------- help, homepage, about, menu

// The guide in the desktop's language where there is one (the build puts
// both beside the program), else the English one.
TEST_F(MainWindow, HelpAndHomepageGoToTheDesktop) {
  ::unsetenv("LC_ALL");
  ::unsetenv("LC_MESSAGES");
  for (const auto& [lang, guide] : {std::pair{"", "help.html"}, {"de_DE.UTF-8", "help.de.html"}, {"fr_FR", "help.html"}}) {
    ::setenv("LANG", lang, 1);
    opened_.clear();
    window_->HelpButtonSimple->click();
    window_->HomepageButtonAdvanced->click();
    ASSERT_EQ(opened_.size(), 2u);
    EXPECT_EQ(opened_[0].toLocalFile().toStdString(), find_data_file(guide));
    EXPECT_TRUE(std::filesystem::is_regular_file(find_data_file(guide))) << guide;
    EXPECT_EQ(opened_[1], QUrl("https://reelwright.example.org/"));
  }
  ::unsetenv("LANG");
}

// The desktop's own handler, replaced by a script on PATH that notes what
// it was given and ends as told; or no handler at all.
class MainWindowDesktop : public MainWindow {
 protected:
  void SetUp() override {
    MainWindow::SetUp();
    set_shell_opener(nullptr);
    saved_path_ = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(QString::fromStdString(bin_.path().string())));
    for (const char* name : {"BROWSER", "DEFAULT_BROWSER"}) qunsetenv(name);  // no way round xdg-open
  }
  void TearDown() override {
    qputenv("PATH", saved_path_);
    MainWindow::TearDown();
  }
  void fake_xdg_open(const std::string& ending) {
    const std::filesystem::path script = bin_.file("xdg-open");
    std::ofstream(script) << "#!/bin/sh\nprintf '%s' \"$1\" > '" << bin_.file("given").string() << "'\n" << ending << "\n";
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  }
  [[nodiscard]] std::string given() const {
    std::ifstream in(bin_.file("given"));
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  TTempDir bin_;

 private:
  QByteArray saved_path_;
};

TEST_F(MainWindowDesktop, AHandOffThatFailsIsLoggedOnceWithoutABoxAndWithoutWaiting) {
  TMainForm& w = *window_;
  const std::string help = find_data_file("help.html");
  const struct {
    const char* ending;  // of the fake xdg-open; null: there is none
    bool fails;
  } cases[] = {{"exit 0", false}, {"exit 3", true}, {"/bin/sleep 1; exit 4", true}, {nullptr, true}};
  for (const auto& c : cases) {
    std::filesystem::remove(bin_.file("xdg-open"));
    std::filesystem::remove(bin_.file("given"));
    if (c.ending != nullptr) fake_xdg_open(c.ending);
    const std::string what = c.ending != nullptr ? c.ending : "no xdg-open";
    for (const auto& [button, target] : {std::pair{static_cast<QAbstractButton*>(w.HelpButtonSimple), help},
                                        std::pair{static_cast<QAbstractButton*>(w.HomepageButtonSimple),
                                                  std::string(homepage_address)}}) {
      const int lines = w.AdvMemo->line_count();
      QElapsedTimer took;
      took.start();
      button->click();
      EXPECT_LT(took.elapsed(), 500) << what;
      const QString expected = q(" " + message(110) + " " + target);
      // Long enough for the handler to end and its outcome to come back.
      QTest::qWait(100);
      if (c.ending != nullptr) {
        EXPECT_TRUE(QTest::qWaitFor([&] { return given() == target; }, 3000)) << what << ": " << given();
      }
      if (c.fails) {
        EXPECT_TRUE(QTest::qWaitFor([&] { return w.AdvMemo->line_count() > lines; }, 5000)) << what;
        EXPECT_EQ(last_line(), expected) << what;
        EXPECT_EQ(w.AdvMemo->marker_at(w.AdvMemo->line_count() - 1), std::optional<int>(1)) << what;
      } else {
        QTest::qWait(300);
      }
      EXPECT_EQ(w.AdvMemo->line_count(), lines + (c.fails ? 1 : 0)) << what;
    }
  }
  EXPECT_TRUE(boxes_.empty());
}

TEST_F(MainWindow, KeysRunTheirCommandsAndTheButtonsNameThem) {
  TMainForm& w = *window_;
  for (const char* n : {"1.avi", "2.avi"}) w.add_file(sized_file(dir_, n, 300'000));
  w.show();
  w.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
  w.AdvListView->setFocus();
  const auto press = [&w](const QKeySequence& keys) {
    QTest::keySequence(QApplication::focusWidget() != nullptr ? QApplication::focusWidget() : &w, keys);
    QCoreApplication::processEvents();
  };

  press(TMainForm::help_keys());
  ASSERT_EQ(opened_.size(), 1u);
  EXPECT_EQ(opened_[0].toLocalFile().toStdString(), find_data_file("help.html"));

  bool dialog = false;
  QTimer::singleShot(0, w.AddOpenDialog, [&] {
    dialog = w.AddOpenDialog->isVisible();
    w.AddOpenDialog->reject();
  });
  press(TMainForm::add_keys());
  EXPECT_TRUE(dialog);
  // The window is active again once the dialog has gone.
  w.activateWindow();
  ASSERT_TRUE(QTest::qWaitFor([&w] { return w.isActiveWindow(); }));
  w.AdvListView->setFocus();

  // Delete removes the ticked files, with the removal's own refusals.
  w.UnselectAll1Click();
  press(TMainForm::remove_keys());
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, q(" " + message(16)));
  file_list[1].ticked = 1;
  press(TMainForm::remove_keys());
  ASSERT_EQ(file_list.size(), 1u);
  EXPECT_EQ(file_list[0].path, dir_.file("1.avi").string());

  // While a batch runs, Add and Help are off as their buttons are.
  w.disable_buttons();
  press(TMainForm::help_keys());
  press(TMainForm::add_keys());
  w.enable_buttons();
  EXPECT_EQ(opened_.size(), 1u);

  for (QAbstractButton* b : std::initializer_list<QAbstractButton*>{w.AddButtonSimple, w.RemoveButtonAdvanced,
                                                                    w.HelpButtonSimple, w.StopButton}) {
    EXPECT_TRUE(b->toolTip().startsWith(b->text())) << b->toolTip().toStdString();
    EXPECT_TRUE(b->toolTip().contains(QRegularExpression(R"(\((Ctrl\+O|Del|F1|Esc)\)$)"))) << b->toolTip().toStdString();
  }

  press(TMainForm::close_keys());
  EXPECT_FALSE(w.isVisible());
}

TEST_F(MainWindow, TheKeyboardFocusIsDrawnOnACommandButton) {
  TMainForm& w = *window_;
  w.show();
  w.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
  w.AdvListView->setFocus();
  const QImage before = w.FixButtonSimple->grab().toImage();
  // Tab goes from control to control as a user would step to the button.
  for (int i = 0; i < 40 && !w.FixButtonSimple->hasFocus(); ++i)
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  ASSERT_TRUE(w.FixButtonSimple->hasFocus());
  EXPECT_NE(w.FixButtonSimple->grab().toImage(), before);
  // Space presses the focused button.
  QTest::keyClick(w.FixButtonSimple, Qt::Key_Space);
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, q(" " + message(18)));
}

// Tab goes round the window as a keyboard user meets it: the tabs first,
// then the open panel's commands, the list, the log, and Stop while a batch runs.
TEST_F(MainWindow, TheTabsComeFirstAndStopAfterTheLog) {
  TMainForm& w = *window_;
  w.show();
  w.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
  const auto tab = [] {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    return QApplication::focusWidget();
  };
  const auto caption = [](const QWidget* c) { return c != nullptr ? c->accessibleName() : QString(); };

  w.AdvMemo->setFocus();
  EXPECT_EQ(caption(tab()), "Advanced");
  EXPECT_EQ(caption(tab()), "Simple");
  EXPECT_EQ(tab(), w.AddButtonSimple);

  // Space or Enter on a tab opens it: Check for Errors is in reach then.
  w.AdvMemo->setFocus();
  QTest::keyClick(tab(), Qt::Key_Space);
  EXPECT_EQ(w.AdvNavBar->open_panel(), TMainForm::advanced_panel);
  for (int i = 0; i < 10 && !w.CheckButtonAdvanced->hasFocus(); ++i) tab();
  EXPECT_TRUE(w.CheckButtonAdvanced->hasFocus());
  w.AddButtonAdvanced->setFocus();
  QTest::keyClick(w.AddButtonAdvanced, Qt::Key_Tab, Qt::ShiftModifier);
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
  EXPECT_EQ(w.AdvNavBar->open_panel(), TMainForm::simple_panel);

  w.disable_buttons();
  w.AdvMemo->setFocus();
  EXPECT_EQ(tab(), w.StopButton);
  w.enable_buttons();
}

TEST_F(MainWindow, AboutShowsTheBoxModally) {
  TAboutBox box;
  AboutBox = &box;
  bool shown = false;
  QTimer::singleShot(0, &box, [&] {
    shown = box.isVisible() && box.isModal();
    box.close();
  });
  window_->AboutButtonSimple->click();
  AboutBox = nullptr;
  EXPECT_TRUE(shown);
}

TEST_F(MainWindow, PreviewIsOfferedOnlyForASelectedRepairedFile) {
  TMainForm& w = *window_;
  for (const char* n : {"1.avi", "2.avi"}) w.add_file(sized_file(dir_, n, 300'000));
  file_list[1].status = TFileStatus::repaired;
  file_list[1].fixed_path = dir_.file("Fixed.2.avi").string();
  w.AdvPopupMenuPopup();
  EXPECT_FALSE(w.Play1->isEnabled());
  w.AdvListView->setCurrentIndex(w.ListModel->index(0, 0));
  w.AdvPopupMenuPopup();
  EXPECT_FALSE(w.Play1->isEnabled());
  w.AdvListView->setCurrentIndex(w.ListModel->index(1, 0));
  w.AdvPopupMenuPopup();
  EXPECT_TRUE(w.Play1->isEnabled());
  w.Play1->trigger();
  ASSERT_EQ(opened_.size(), 1u);
  EXPECT_EQ(opened_[0], QUrl::fromLocalFile(q(file_list[1].fixed_path)));
}

}  // namespace

namespace {

// ---------------------------------------------------------------- list rows

class MainWindowRows : public MainWindow {
 protected:
  void SetUp() override {
    MainWindow::SetUp();
    for (const char* n : {"0.avi", "1.avi", "2.avi", "3.avi"}) window_->add_file(sized_file(dir_, n, 300'000));
    file_list[1].status = TFileStatus::repaired;
    file_list[1].fixed_path = dir_.file("Fixed.1.avi").string();
    file_list[2].status = TFileStatus::not_repaired;
    file_list[3].status = TFileStatus::stopped;
    window_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
  }
  [[nodiscard]] QWidget* viewport() const { return window_->AdvListView->viewport(); }
  [[nodiscard]] QPoint in_row(int row, int x) const {
    return {x, window_->AdvListView->visualRect(window_->ListModel->index(row, 0)).center().y()};
  }
  [[nodiscard]] QStyleOptionViewItem drawn(int row, int column) const {
    QStyleOptionViewItem option;
    option.initFrom(window_->AdvListView);
    window_->AdvListViewCustomDrawSubItem(row, column, option);
    return option;
  }
  void move_to(const QPoint& at) { QTest::mouseMove(viewport(), at); }
  void press(const QPoint& at, Qt::MouseButton button = Qt::LeftButton) {
    QTest::mousePress(viewport(), button, Qt::NoModifier, at);
    QTest::mouseRelease(viewport(), button, Qt::NoModifier, at);
  }
};

TEST_F(MainWindowRows, AlternateRowsAndThePreviewCellByStatus) {
  const QColor base = window_->AdvListView->palette().base().color();
  for (int row = 0; row < 4; ++row) {
    for (int column = 0; column < 3; ++column) {
      const QStyleOptionViewItem o = drawn(row, column);
      EXPECT_EQ(o.backgroundBrush.color(), row % 2 == 1 ? QColor(203, 225, 252) : base) << row << "," << column;
      const QColor text = o.palette.color(QPalette::Text);
      if (column < 2) {
        EXPECT_EQ(text, QColor(Qt::black));
        EXPECT_FALSE(o.font.underline());
      } else {
        EXPECT_EQ(text, row == 1 ? QColor(0, 128, 0) : QColor(192, 192, 192)) << row;
        EXPECT_TRUE(o.font.underline());
      }
    }
  }

  // And on screen: the blank end of the status cell shows the row's
  // background, the Preview cell's underline its colour.
  window_->AdvListView->clearSelection();
  window_->AdvListView->setCurrentIndex(QModelIndex());
  const QImage shot = viewport()->grab().toImage();
  const int blank_x = window_->preview_boundary() - 4;
  EXPECT_EQ(QColor(shot.pixel(in_row(0, blank_x))), base);
  EXPECT_EQ(QColor(shot.pixel(in_row(1, blank_x))), QColor(203, 225, 252));
  auto cell_has = [&](int row, const QColor& colour) {
    const QRect cell = window_->AdvListView->visualRect(window_->ListModel->index(row, 2));
    for (int y = cell.top(); y <= cell.bottom(); ++y)
      for (int x = cell.left(); x <= cell.right(); ++x)
        if (QColor(shot.pixel(x, y)) == colour) return true;
    return false;
  };
  EXPECT_TRUE(cell_has(1, QColor(0, 128, 0)));
  EXPECT_FALSE(cell_has(0, QColor(0, 128, 0)));
  EXPECT_TRUE(cell_has(2, QColor(192, 192, 192)));

  // The status is read when painting, not at the last rebuild.
  file_list[0].status = TFileStatus::repaired;
  EXPECT_EQ(drawn(0, 2).palette.color(QPalette::Text), QColor(0, 128, 0));
}

TEST_F(MainWindowRows, HandPointerStrictlyRightOfTheBoundaryAlsoBelowTheRows) {
  const int b = window_->preview_boundary();
  EXPECT_EQ(b, viewport()->width() - TMainForm::preview_column_width);
  move_to(in_row(0, b));
  EXPECT_EQ(viewport()->cursor().shape(), Qt::ArrowCursor);
  move_to(in_row(0, b + 1));
  EXPECT_EQ(viewport()->cursor().shape(), Qt::PointingHandCursor);
  move_to(QPoint(b + 1, viewport()->height() - 5));
  EXPECT_EQ(viewport()->cursor().shape(), Qt::PointingHandCursor);

  // A wider Preview column (the file column gives way) moves the boundary at once.
  window_->AdvListView->header()->resizeSection(TFileListModel::col_preview, 120);
  const int narrower = window_->preview_boundary();
  EXPECT_LT(narrower, b);
  move_to(in_row(0, narrower + 1));
  EXPECT_EQ(viewport()->cursor().shape(), Qt::PointingHandCursor);
  move_to(in_row(0, narrower));
  EXPECT_EQ(viewport()->cursor().shape(), Qt::ArrowCursor);
}

TEST_F(MainWindowRows, APressOnTheBoundaryOrLeftOfItNeverPreviews) {
  const int b = window_->preview_boundary();
  for (int row : {0, 1}) {
    press(in_row(row, b));
    press(in_row(row, 30));
    press(in_row(row, b - 50));
  }
  EXPECT_TRUE(opened_.empty());
  EXPECT_TRUE(boxes_.empty());
  EXPECT_EQ(window_->AdvListView->currentIndex().row(), 1);  // the view still selects
}

TEST_F(MainWindowRows, APressInThePreviewColumnPreviewsARepairedFileWithAnyButton) {
  const int x = window_->preview_boundary() + 1;
  press(in_row(1, x));
  ASSERT_EQ(opened_.size(), 1u);
  EXPECT_EQ(opened_[0], QUrl::fromLocalFile(q(file_list[1].fixed_path)));
  press(in_row(1, x + 20), Qt::RightButton);
  EXPECT_EQ(opened_.size(), 2u);
  // Repaired in place: the listed file itself.
  file_list[1].fixed_path.clear();
  press(in_row(1, x), Qt::MiddleButton);
  ASSERT_EQ(opened_.size(), 3u);
  EXPECT_EQ(opened_[2], QUrl::fromLocalFile(q(file_list[1].path)));
  EXPECT_TRUE(boxes_.empty());
}

TEST_F(MainWindowRows, APressOnAFileNotRepairedExplainsAndBelowTheRowsDoesNothing) {
  const int x = window_->preview_boundary() + 10;
  for (int row : {0, 2, 3}) {
    boxes_.clear();
    const int lines = window_->AdvMemo->line_count();
    press(in_row(row, x));
    ASSERT_EQ(boxes_.size(), 1u) << row;
    EXPECT_EQ(boxes_[0].text, q(" " + message(15)));
    EXPECT_EQ(boxes_[0].kind, mk_warning);
    EXPECT_EQ(window_->AdvMemo->line_count(), lines + 1);
    EXPECT_EQ(window_->AdvMemo->marker_at(lines), std::optional<int>(1));
  }
  boxes_.clear();
  press(QPoint(x, viewport()->height() - 5));
  EXPECT_EQ(window_->selected_row(), -1);
  EXPECT_TRUE(boxes_.empty());
  EXPECT_TRUE(opened_.empty());
  EXPECT_EQ(file_list.size(), 4u);
}

TEST_F(MainWindowRows, ThePreviewItemFollowsTheSelectedRow) {
  press(in_row(1, 30));
  window_->AdvPopupMenuPopup();
  EXPECT_TRUE(window_->Play1->isEnabled());
  press(in_row(3, 30));
  window_->AdvPopupMenuPopup();
  EXPECT_FALSE(window_->Play1->isEnabled());
  press(QPoint(30, viewport()->height() - 5));
  window_->AdvPopupMenuPopup();
  EXPECT_FALSE(window_->Play1->isEnabled());
}

}  // namespace

namespace {

// ---------------------------------------------------------------- preview in the program's window

class MainWindowPreview : public MainWindowRows {
 protected:
  void SetUp() override {
    MainWindowRows::SetUp();
    preview_ = std::make_unique<TPreviewForm>(window_.get());
    PreviewForm = preview_.get();
    // Row 1 is repaired; its copy is a real clip.
    const TProcessResult made = run_process(
        {"ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=25",
         "-t", "2", "-c:v", "mpeg4", file_list[1].fixed_path});
    ASSERT_EQ(made.exit.code, 0) << made.err;
    window_->PlayerHTMLCheckBox->click();  // off: the program's own window
    ASSERT_EQ(external_player, 0);
  }
  void TearDown() override {
    PreviewForm = nullptr;
    preview_.reset();
    MainWindowRows::TearDown();
  }
  // Once the preview window shows (or after 10 s), runs `look` and closes it.
  void when_shown(std::function<void()> look) {
    auto* poll = new QTimer(preview_.get());
    auto waited = std::make_shared<int>(0);
    QObject::connect(poll, &QTimer::timeout, preview_.get(), [this, poll, waited, look] {
      if (!preview_->isVisible() && ++*waited < 500) return;
      poll->stop();
      poll->deleteLater();
      look();
      preview_->close();
    });
    poll->start(20);
  }
  std::unique_ptr<TPreviewForm> preview_;
};

TEST_F(MainWindowPreview, APressPlaysTheRepairedCopyInThePreviewWindow) {
  bool shown = false, playing = false;
  QSize outer;
  when_shown([&] {
    shown = preview_->isVisible();
    playing = preview_->MediaPlayer.is_playing();
    outer = preview_->frameGeometry().size();
  });
  press(in_row(1, window_->preview_boundary() + 5));
  EXPECT_TRUE(shown);
  EXPECT_TRUE(playing);
  EXPECT_EQ(outer, QSize(320, 240));
  EXPECT_FALSE(preview_->isVisible());
  EXPECT_FALSE(preview_->MediaPlayer.is_open());
  EXPECT_TRUE(opened_.empty());
  EXPECT_TRUE(boxes_.empty());
}

TEST_F(MainWindowPreview, AMissingFileGivesTheMediaLayersTextInAnErrorBoxAndNoWindow) {
  const std::string copy = file_list[1].fixed_path;
  const std::string moved = copy + ".away";
  std::filesystem::rename(copy, moved);
  bool shown = false;
  QTimer::singleShot(200, preview_.get(), [&] { shown = preview_->isVisible(); });
  const std::vector<TFile> before = file_list;
  // The error leaves the press handler and the application object shows it.
  window_->AdvListView->setCurrentIndex(window_->ListModel->index(1, 0));
  QTest::mouseClick(viewport(), Qt::LeftButton, Qt::NoModifier, in_row(1, window_->preview_boundary() + 5));
  QTest::qWait(300);
  EXPECT_FALSE(shown);
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].kind, mk_error);
  EXPECT_FALSE(boxes_[0].text.isEmpty());
  EXPECT_FALSE(boxes_[0].text.contains(q(message(15))));
  EXPECT_EQ(file_list.size(), before.size());
  EXPECT_EQ(file_list[1].status, TFileStatus::repaired);
  EXPECT_FALSE(preview_->MediaPlayer.is_open());

  // The next preview, through the menu this time, works as usual.
  std::filesystem::rename(moved, copy);
  when_shown([&] { shown = preview_->isVisible(); });
  window_->AdvPopupMenuPopup();
  window_->Play1->trigger();
  EXPECT_TRUE(shown);
  EXPECT_EQ(boxes_.size(), 1u);
}

}  // namespace
