// The main window: the command bar, the file list, the log and the status
// bar, and the commands behind them (adding and removing files, ticking, the
// batch commands Fix, Check for Errors and Strip Index, Help, Homepage, About).
#pragma once

#include <QAction>
#include <QColor>
#include <QKeySequence>
#include <QWidget>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/file_step.h"

class QCheckBox;
class QFileDialog;
class QMenu;
class QShortcut;
class QStyleOptionViewItem;
class QSplitter;
class QTreeView;
class TFileListModel;
class THeaderLabel;
class TLogMemo;
class TNavBar;
class TPictureButton;
class TStatusBar;
class TWindowSink;
class QToolButton;

// The two settings, mirrored from the Advanced panel's tick boxes: 1 on, 0 off.
// Both start at 1 at every start; nothing is stored between runs.
extern std::uint8_t auto_backup;      // Fix writes "Fixed." + name beside the file
extern std::uint8_t external_player;  // preview in the desktop's player

// The user guide the Help command opens, looked for beside the program first.
inline constexpr const char* help_file_name = "help.html";
// The product's home page.
inline constexpr const char* homepage_address = "https://reelwright.example.org/";

class TMainForm final : public QWidget {
  Q_OBJECT

 public:
  // Design size of the client area.
  static constexpr int design_width = 892;
  static constexpr int design_height = 613;
  static constexpr int left_panel_width = 249;
  static constexpr int files_heading_height = 26;
  static constexpr int status_heading_height = 25;
  static constexpr int log_height = 147;  // at start; the user may move the line above it
  static constexpr int log_minimum_height = 60;
  static constexpr int row_height = 20;
  static constexpr int status_column_width = 103;
  static constexpr int preview_column_width = 70;
  // The navigation bar's panels, in the order they are added.
  static constexpr int advanced_panel = 0;
  static constexpr int simple_panel = 1;

  explicit TMainForm(QWidget* parent = nullptr);
  ~TMainForm() override;

  // Creation: settings, version information, captions, the first log line.
  void FormCreate();

  // The file list (adding, removing, ticking).
  void AddButtonSimpleClick();
  // One drop of local files, names in the order the desktop gave them.
  void AcceptFiles(const QStringList& names);
  // The same for names as the file system spells them (the command line's).
  void AcceptFiles(const std::vector<std::string>& paths);
  void add_file(const std::string& path);
  void update_list();
  void RemoveButtonSimpleClick();
  void AdvListViewCheckboxClick(int row, bool ticked);
  void SelectAll1Click();
  void UnselectAll1Click();
  void ReverseSelection1Click();

  // The batch commands.
  void FixButtonSimpleClick();
  void CheckButtonAdvancedClick();
  void StripButtonAdvancedClick();
  void disable_buttons();
  void enable_buttons();
  [[nodiscard]] bool batch_running() const { return batch_running_; }
  // The engine's way into this window (the benchmark tunes it).
  [[nodiscard]] TWindowSink* window_sink() const { return sink_; }

  // What distinguishes the three batch commands: the status bar's text while
  // it runs, the refusal when nothing is ticked, the operation (a Fix's
  // result becomes the file's status), and its work on one file.
  struct TBatchCommand {
    std::uint32_t running_message;
    std::uint32_t nothing_ticked_message;
    TFileOperation operation;
    int (*work)(const std::string& path);
  };
  // The loop the three commands share; tests run it with operations of their own.
  void run_batch(const TBatchCommand& command);
  // Fix, Check for Errors and Strip Index, as their buttons run them.
  [[nodiscard]] static std::array<TBatchCommand, 3> batch_commands();

  // The log writer: an optional modal box first, then the line with its
  // marker. Kinds as in engine/reporting.h.
  void out_text(const std::string& text, std::uint8_t kind, bool show_box);
  void StopButtonClick();
  void FormResize();

  void HelpButtonSimpleClick();
  void HomepageButtonSimpleClick();
  void AboutButtonSimpleClick();
  void BackupHTMLCheckBoxClick();
  void PlayerHTMLCheckBoxClick();

  // The rows' look and the Preview column's reaction to the mouse.
  static constexpr QRgb alternate_row_colour = qRgb(203, 225, 252);
  static constexpr QRgb repaired_colour = qRgb(0, 128, 0);
  static constexpr QRgb not_repaired_colour = qRgb(192, 192, 192);
  void AdvListViewCustomDrawItem(int row, QStyleOptionViewItem& option) const;
  void AdvListViewCustomDrawSubItem(int row, int column, QStyleOptionViewItem& option) const;
  void AdvListViewMouseMove(int x);
  void AdvListViewMouseDown(Qt::MouseButton button, int x);
  // Right of this x (viewport pixels) lies the Preview column: the widths of
  // the first two columns as they are now.
  [[nodiscard]] int preview_boundary() const;

  // The context menu.
  void AdvPopupMenuPopup();
  void Play1Click();
  // Previews row `row`'s file: the repaired copy when there is one.
  void preview_file(int row);
  // The selected row, or -1.
  [[nodiscard]] int selected_row() const;

  // The keys of Add File, Remove File(s), Help and closing the window.
  [[nodiscard]] static QKeySequence add_keys();
  [[nodiscard]] static QKeySequence remove_keys();
  [[nodiscard]] static QKeySequence help_keys();
  [[nodiscard]] static QKeySequence close_keys();
  // Presses Stop while a batch runs.
  [[nodiscard]] static QKeySequence stop_keys();

  // Controls, named as in the window's design; tests drive them directly.
  QWidget* PanelLeft;
  TNavBar* AdvNavBar;
  QSplitter* Splitter;
  QWidget* PanelRight;
  QSplitter* LogSplitter;  // between the file list and the log
  THeaderLabel* HTMLabelFiles;
  QTreeView* AdvListView;
  TFileListModel* ListModel;
  THeaderLabel* HTMLabelStatus;
  TLogMemo* AdvMemo;
  TStatusBar* MainStatusBar;
  QToolButton* StopButton;
  QFileDialog* AddOpenDialog;
  QMenu* AdvPopupMenu;
  QAction* Play1;
  QAction* SelectAll1;
  QAction* UnselectAll1;
  QAction* ReverseSelection1;
  QAction* Addfile1;
  QAction* RemoveSelected1;

  TPictureButton* AddButtonAdvanced;
  TPictureButton* RemoveButtonAdvanced;
  TPictureButton* FixButtonAdvanced;
  TPictureButton* CheckButtonAdvanced;
  TPictureButton* StripButtonAdvanced;
  QCheckBox* BackupHTMLCheckBox;
  QCheckBox* PlayerHTMLCheckBox;
  TPictureButton* HomepageButtonAdvanced;
  TPictureButton* AboutButtonAdvanced;

  TPictureButton* AddButtonSimple;
  TPictureButton* RemoveButtonSimple;
  TPictureButton* FixButtonSimple;
  TPictureButton* HomepageButtonSimple;
  TPictureButton* HelpButtonSimple;
  TPictureButton* AboutButtonSimple;

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  // The controls a batch disables and enables again, in that order.
  [[nodiscard]] std::array<QWidget*, 15> batch_controls() const;
  void build_layout();
  void build_navigation();
  void build_list();
  void build_menu();
  void connect_handlers();
  void fit_status_panels();
  // The local files of a drag, in order; empty when it carries none.
  [[nodiscard]] static QStringList dropped_files(const class QMimeData* data);

  TWindowSink* sink_ = nullptr;
  QShortcut* stop_shortcut_ = nullptr;        // on while Stop is
  QWidget* focus_before_batch_ = nullptr;     // the command the keyboard was on
  bool batch_running_ = false;
  bool centred_ = false;
};

// The program's main window, made by the start-up; null before that.
extern TMainForm* MainForm;
