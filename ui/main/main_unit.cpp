// The main window: layout, creation, the file-list commands, the batch
// commands and the log writer.
#include "ui/main/main_unit.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLocale>
#include <QMenu>
#include <QMimeData>
#include <QScreen>
#include <QShortcut>
#include <QKeySequence>
#include <QSplitter>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <exception>

#include "platform/lang.h"
#include "platform/message_ids.h"
#include "engine/algorithm_unit.h"
#include "engine/file_step.h"
#include "engine/reporting.h"
#include "platform/data_files.h"
#include "platform/path_info.h"
#include "ui/about/VersionInfoUnit.h"
#include "ui/about/about_unit.h"
#include "ui/main/file_list.h"
#include "ui/main/file_list_model.h"
#include "ui/main/file_list_view.h"
#include "ui/main/window_sink.h"
#include "ui/preview/preview_unit.h"
#include "ui/toolkit/button_pictures.h"
#include "ui/toolkit/focus_outline.h"
#include "ui/toolkit/header_label.h"
#include "ui/toolkit/log_memo.h"
#include "ui/toolkit/message_box.h"
#include "ui/toolkit/palette.h"
#include "ui/toolkit/nav_bar.h"
#include "ui/toolkit/picture_button.h"
#include "ui/toolkit/shell_open.h"
#include "ui/toolkit/status_bar.h"

std::uint8_t auto_backup = 1;
std::uint8_t external_player = 1;
TMainForm* MainForm = nullptr;

namespace {

QString msg(std::uint32_t k) { return QString::fromStdString(message(k)); }

// File names travel as the bytes the file system uses.
std::string local_name(const QString& name) { return QFile::encodeName(name).toStdString(); }

bool regular_file_exists(const std::string& path) { return path_info(path).kind == TPathKind::regular; }

// The context menu's light blue look; %1 is the border blue.
QString menu_style() {
  return QStringLiteral(R"(
QMenu { background: #fcfdff; border: 1px solid %1; padding: 2px; }
QMenu::item { padding: 4px 24px 4px 24px; color: black; background: transparent; }
QMenu::item:selected { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #ffffdc, stop:1 #f7c05b);
                       border: 1px solid %1; }
QMenu::item:disabled { color: #8d8d8d; }
QMenu::separator { height: 1px; background: #6a8ccb; margin: 3px 4px 3px 24px; }
)")
      .arg(QColor(palette::border_blue).name());
}

int fix_with_setting(const std::string& path) { return fix_file(path, auto_backup); }

}  // namespace

TMainForm::TMainForm(QWidget* parent) : QWidget(parent) {
  build_layout();
  build_menu();
  connect_handlers();
  sink_ = new TWindowSink([this](const std::string& text, std::uint8_t kind,
                                 bool show_box) { out_text(text, kind, show_box); },
                          MainStatusBar->progress_bar());
  // Help, Homepage, the About box's links and the external player: when the
  // desktop cannot open one, a line says so (no box, so a batch never waits).
  set_shell_failure_reporter([this](const QString& target) {
    out_text(" " + message(msg_desktop_open_failed) + " " + target.toStdString(), mk_warning, false);
  });
  FormCreate();
}

TMainForm::~TMainForm() {
  set_shell_failure_reporter(nullptr);
  if (report_sink() == sink_) set_report_sink(nullptr);
  delete sink_;
  if (MainForm == this) MainForm = nullptr;
}

// ---------------------------------------------------------------- layout

void TMainForm::build_layout() {
  resize(design_width, design_height);
  setAcceptDrops(false);  // until creation registers for drops

  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->setSpacing(0);

  Splitter = new QSplitter(Qt::Horizontal, this);
  Splitter->setChildrenCollapsible(false);
  outer->addWidget(Splitter, 1);

  PanelLeft = new QWidget(Splitter);
  auto* left = new QVBoxLayout(PanelLeft);
  left->setContentsMargins(0, 0, 0, 0);
  left->setSpacing(0);
  AdvNavBar = new TNavBar(PanelLeft);
  left->addWidget(AdvNavBar);
  build_navigation();

  PanelRight = new QWidget(Splitter);
  auto* right = new QVBoxLayout(PanelRight);
  right->setContentsMargins(0, 0, 0, 0);
  right->setSpacing(0);
  // The files above, the log below; the user moves the line between them,
  // and a growing window gives its height to the files.
  LogSplitter = new QSplitter(Qt::Vertical, PanelRight);
  LogSplitter->setChildrenCollapsible(false);
  right->addWidget(LogSplitter);
  auto* files = new QWidget(LogSplitter);
  auto* files_column = new QVBoxLayout(files);
  files_column->setContentsMargins(0, 0, 0, 0);
  files_column->setSpacing(0);
  HTMLabelFiles = new THeaderLabel(files_heading_height, files);
  HTMLabelFiles->set_text_html(THeaderLabel::heading(QStringLiteral("Files")));
  files_column->addWidget(HTMLabelFiles);
  build_list();
  AdvListView->setParent(files);
  AdvListView->setMinimumHeight(3 * row_height);
  files_column->addWidget(AdvListView, 1);
  auto* log = new QWidget(LogSplitter);
  auto* log_column = new QVBoxLayout(log);
  log_column->setContentsMargins(0, 0, 0, 0);
  log_column->setSpacing(0);
  HTMLabelStatus = new THeaderLabel(status_heading_height, log);
  HTMLabelStatus->set_text_html(THeaderLabel::heading(QStringLiteral("Status")));
  log_column->addWidget(HTMLabelStatus);
  AdvMemo = new TLogMemo(log);
  AdvMemo->setMinimumHeight(log_minimum_height);
  log_column->addWidget(AdvMemo, 1);
  LogSplitter->addWidget(files);
  LogSplitter->addWidget(log);
  LogSplitter->setStretchFactor(0, 1);
  LogSplitter->setStretchFactor(1, 0);
  LogSplitter->setSizes({design_height, status_heading_height + log_height});

  Splitter->addWidget(PanelLeft);
  Splitter->addWidget(PanelRight);
  Splitter->setStretchFactor(0, 0);
  Splitter->setStretchFactor(1, 1);
  Splitter->setSizes({left_panel_width, design_width - left_panel_width});

  // Narrower, the file list's path column would have no room beside Status
  // and Preview; the height follows from the navigation bar's panels.
  setMinimumWidth(left_panel_width + status_column_width + preview_column_width + 200);

  MainStatusBar = new TStatusBar(this);
  outer->addWidget(MainStatusBar);
  StopButton = MainStatusBar->stop_button();
  StopButton->setEnabled(false);

  AddOpenDialog = new QFileDialog(this);
  AddOpenDialog->setFileMode(QFileDialog::ExistingFile);
  AddOpenDialog->setAcceptMode(QFileDialog::AcceptOpen);
  AddOpenDialog->setNameFilters({QStringLiteral("All files (*)"), QStringLiteral("AVI Files (*.avi *.divx)"),
                                 QStringLiteral("Dat Files (*.dat)")});
  AddOpenDialog->selectNameFilter(QStringLiteral("All files (*)"));
}

void TMainForm::build_navigation() {
  auto button = [](TButtonPicture picture, const QString& caption) {
    return new TPictureButton(button_picture(picture), caption);
  };
  // The settings' tick boxes sit indented under their heading.
  auto tick_box = [](const QString& caption, QCheckBox*& box) {
    auto* holder = new QWidget;
    auto* row = new QHBoxLayout(holder);
    row->setContentsMargins(63, 0, 0, 0);
    box = new QCheckBox(caption, holder);
    box->setChecked(true);
    box->setMinimumSize(98, 20);
    box->setStyle(focus_outline_style());
    row->addWidget(box);
    row->addStretch(1);
    return holder;
  };

  // The first panel holds every command; the second, open at start, the common ones.
  const int a = AdvNavBar->add_panel(QStringLiteral("Advanced"));
  const int a_files = AdvNavBar->add_section(a, QStringLiteral("Files"));
  const int a_fix = AdvNavBar->add_section(a, QStringLiteral("Fix"));
  const int a_settings = AdvNavBar->add_section(a, QStringLiteral("Settings"));
  const int a_help = AdvNavBar->add_section(a, QStringLiteral("Help"));
  AddButtonAdvanced = button(TButtonPicture::add, QStringLiteral("Add File"));
  RemoveButtonAdvanced = button(TButtonPicture::remove, QStringLiteral("Remove File(s)"));
  FixButtonAdvanced = button(TButtonPicture::fix, QStringLiteral("Fix File(s)"));
  CheckButtonAdvanced = button(TButtonPicture::check, QStringLiteral("Check for Errors"));
  StripButtonAdvanced = button(TButtonPicture::strip, QStringLiteral("Strip Index"));
  HomepageButtonAdvanced = button(TButtonPicture::homepage, QStringLiteral("Homepage"));
  AboutButtonAdvanced = button(TButtonPicture::about, QStringLiteral("About"));
  AdvNavBar->add_to_section(a, a_files, AddButtonAdvanced);
  AdvNavBar->add_to_section(a, a_files, RemoveButtonAdvanced);
  AdvNavBar->add_to_section(a, a_fix, FixButtonAdvanced);
  AdvNavBar->add_to_section(a, a_fix, CheckButtonAdvanced);
  AdvNavBar->add_to_section(a, a_fix, StripButtonAdvanced);
  AdvNavBar->add_to_section(a, a_settings, tick_box(QStringLiteral("Auto Backup"), BackupHTMLCheckBox));
  AdvNavBar->add_to_section(a, a_settings, tick_box(QStringLiteral("External Player"), PlayerHTMLCheckBox));
  AdvNavBar->add_to_section(a, a_help, HomepageButtonAdvanced);
  AdvNavBar->add_to_section(a, a_help, AboutButtonAdvanced);

  const int s = AdvNavBar->add_panel(QStringLiteral("Simple"));
  const int s_files = AdvNavBar->add_section(s, QStringLiteral("Files"));
  const int s_fix = AdvNavBar->add_section(s, QStringLiteral("Fix"));
  const int s_help = AdvNavBar->add_section(s, QStringLiteral("Help"));
  AddButtonSimple = button(TButtonPicture::add, QStringLiteral("Add File"));
  RemoveButtonSimple = button(TButtonPicture::remove, QStringLiteral("Remove File(s)"));
  FixButtonSimple = button(TButtonPicture::fix, QStringLiteral("Fix File(s)"));
  HomepageButtonSimple = button(TButtonPicture::homepage, QStringLiteral("Homepage"));
  HelpButtonSimple = button(TButtonPicture::help, QStringLiteral("Help"));
  AboutButtonSimple = button(TButtonPicture::about, QStringLiteral("About"));
  AdvNavBar->add_to_section(s, s_files, AddButtonSimple);
  AdvNavBar->add_to_section(s, s_files, RemoveButtonSimple);
  AdvNavBar->add_to_section(s, s_fix, FixButtonSimple);
  AdvNavBar->add_to_section(s, s_help, HomepageButtonSimple);
  AdvNavBar->add_to_section(s, s_help, HelpButtonSimple);
  AdvNavBar->add_to_section(s, s_help, AboutButtonSimple);
  AdvNavBar->set_open_panel(simple_panel);
}

void TMainForm::build_list() {
  ListModel = new TFileListModel(this);
  AdvListView = new TFileListView(PanelRight);
  AdvListView->setModel(ListModel);
  AdvListView->setItemDelegate(new TFileRowDelegate(
      [this](const QModelIndex& index, QStyleOptionViewItem& option) {
        AdvListViewCustomDrawItem(index.row(), option);
        AdvListViewCustomDrawSubItem(index.row(), index.column(), option);
      },
      row_height, AdvListView));
  AdvListView->setHeaderHidden(true);
  AdvListView->setRootIsDecorated(false);
  AdvListView->setItemsExpandable(false);
  AdvListView->setUniformRowHeights(true);
  AdvListView->setAllColumnsShowFocus(true);
  AdvListView->setSelectionBehavior(QAbstractItemView::SelectRows);
  AdvListView->setSelectionMode(QAbstractItemView::SingleSelection);
  AdvListView->setEditTriggers(QAbstractItemView::NoEditTriggers);
  AdvListView->setTextElideMode(Qt::ElideMiddle);
  AdvListView->setContextMenuPolicy(Qt::CustomContextMenu);
  QHeaderView* header = AdvListView->header();
  header->setStretchLastSection(false);
  header->setMinimumSectionSize(1);
  header->setSectionResizeMode(TFileListModel::col_file, QHeaderView::Stretch);
  header->setSectionResizeMode(TFileListModel::col_status, QHeaderView::Interactive);
  header->setSectionResizeMode(TFileListModel::col_preview, QHeaderView::Interactive);
  header->resizeSection(TFileListModel::col_status, status_column_width);
  header->resizeSection(TFileListModel::col_preview, preview_column_width);
}

void TMainForm::build_menu() {
  AdvPopupMenu = new QMenu(this);
  AdvPopupMenu->setStyleSheet(menu_style());
  Play1 = AdvPopupMenu->addAction(QStringLiteral("Preview"));
  Play1->setEnabled(false);
  AdvPopupMenu->addSeparator();
  SelectAll1 = AdvPopupMenu->addAction(QStringLiteral("Select All Files"));
  UnselectAll1 = AdvPopupMenu->addAction(QStringLiteral("Unselect All Files"));
  ReverseSelection1 = AdvPopupMenu->addAction(QStringLiteral("Reverse Selection"));
  AdvPopupMenu->addSeparator();
  Addfile1 = AdvPopupMenu->addAction(QStringLiteral("Add file"));
  RemoveSelected1 = AdvPopupMenu->addAction(QStringLiteral("Remove Selected"));
}

// Every connection of the window, in one place.
void TMainForm::connect_handlers() {
  for (TPictureButton* b : {AddButtonSimple, AddButtonAdvanced})
    connect(b, &QAbstractButton::clicked, this, &TMainForm::AddButtonSimpleClick);
  for (TPictureButton* b : {RemoveButtonSimple, RemoveButtonAdvanced})
    connect(b, &QAbstractButton::clicked, this, &TMainForm::RemoveButtonSimpleClick);
  for (TPictureButton* b : {FixButtonSimple, FixButtonAdvanced})
    connect(b, &QAbstractButton::clicked, this, &TMainForm::FixButtonSimpleClick);
  connect(CheckButtonAdvanced, &QAbstractButton::clicked, this, &TMainForm::CheckButtonAdvancedClick);
  connect(StripButtonAdvanced, &QAbstractButton::clicked, this, &TMainForm::StripButtonAdvancedClick);
  for (TPictureButton* b : {HomepageButtonSimple, HomepageButtonAdvanced})
    connect(b, &QAbstractButton::clicked, this, &TMainForm::HomepageButtonSimpleClick);
  connect(HelpButtonSimple, &QAbstractButton::clicked, this, &TMainForm::HelpButtonSimpleClick);
  for (TPictureButton* b : {AboutButtonSimple, AboutButtonAdvanced})
    connect(b, &QAbstractButton::clicked, this, &TMainForm::AboutButtonSimpleClick);
  connect(BackupHTMLCheckBox, &QAbstractButton::clicked, this, &TMainForm::BackupHTMLCheckBoxClick);
  connect(PlayerHTMLCheckBox, &QAbstractButton::clicked, this, &TMainForm::PlayerHTMLCheckBoxClick);
  connect(StopButton, &QAbstractButton::clicked, this, &TMainForm::StopButtonClick);

  // The model reports a tick the user changed; the list is rebuilt once the
  // view has finished handling the click that changed it.
  connect(ListModel, &TFileListModel::tick_changed, this, &TMainForm::AdvListViewCheckboxClick,
          Qt::QueuedConnection);
  connect(AdvListView, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& at) { AdvPopupMenu->popup(AdvListView->viewport()->mapToGlobal(at)); });
  connect(AdvPopupMenu, &QMenu::aboutToShow, this, &TMainForm::AdvPopupMenuPopup);
  auto* view = static_cast<TFileListView*>(AdvListView);
  connect(view, &TFileListView::mouse_move, this, [this](const QPoint& at) { AdvListViewMouseMove(at.x()); });
  connect(view, &TFileListView::mouse_down, this,
          [this](Qt::MouseButton button, const QPoint& at) { AdvListViewMouseDown(button, at.x()); });
  connect(Play1, &QAction::triggered, this, &TMainForm::Play1Click);
  connect(SelectAll1, &QAction::triggered, this, &TMainForm::SelectAll1Click);
  connect(UnselectAll1, &QAction::triggered, this, &TMainForm::UnselectAll1Click);
  connect(ReverseSelection1, &QAction::triggered, this, &TMainForm::ReverseSelection1Click);
  connect(Addfile1, &QAction::triggered, this, &TMainForm::AddButtonSimpleClick);
  connect(RemoveSelected1, &QAction::triggered, this, &TMainForm::RemoveButtonSimpleClick);

  // Keys for the common commands. Add and Help act only while their buttons
  // do; Delete, like the menu's Remove Selected, relies on the removal's own
  // checks during a batch.
  connect(new QShortcut(add_keys(), this), &QShortcut::activated, this, [this] {
    if (AddButtonSimple->isEnabled()) AddButtonSimpleClick();
  });
  connect(new QShortcut(remove_keys(), this), &QShortcut::activated, this, &TMainForm::RemoveButtonSimpleClick);
  connect(new QShortcut(help_keys(), this), &QShortcut::activated, this, [this] {
    if (HelpButtonSimple->isEnabled()) HelpButtonSimpleClick();
  });
  connect(new QShortcut(close_keys(), this), &QShortcut::activated, this, &QWidget::close);
  // Off between batches, so Escape is left to the focused control then.
  stop_shortcut_ = new QShortcut(stop_keys(), this);
  stop_shortcut_->setEnabled(false);
  connect(stop_shortcut_, &QShortcut::activated, StopButton, &QAbstractButton::click);
}

// Spelt out: the platform's standard keys for these differ by desktop, and
// some have none for closing.
QKeySequence TMainForm::add_keys() { return QKeySequence(Qt::CTRL | Qt::Key_O); }
QKeySequence TMainForm::remove_keys() { return QKeySequence(Qt::Key_Delete); }
QKeySequence TMainForm::help_keys() { return QKeySequence(Qt::Key_F1); }
QKeySequence TMainForm::close_keys() { return QKeySequence(Qt::CTRL | Qt::Key_Q); }
QKeySequence TMainForm::stop_keys() { return QKeySequence(Qt::Key_Escape); }

// ---------------------------------------------------------------- creation

void TMainForm::FormCreate() {
  auto_backup = 1;
  external_player = 1;
  BackupHTMLCheckBox->setChecked(true);
  PlayerHTMLCheckBox->setChecked(true);

  // One instance for the run, owned by the application object; a window
  // made again (tests) replaces it.
  delete version_info;
  version_info = new TrpVersionInfo(QCoreApplication::instance());

  MainStatusBar->set_panel_text(0, msg(msg_version) + QLatin1Char(' ') + version_info->FileVersion());
  setWindowTitle(version_info->ProductName() + QStringLiteral(" -  ") + msg(msg_window_title));

  AdvMemo->clear();
  const QLocale locale = QLocale::system();
  const QDateTime now = QDateTime::currentDateTime();
  const QString started = locale.toString(now.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
                          locale.toString(now.time(), QLocale::LongFormat);
  out_text(" " + message(msg_started) + " " + started.toStdString(), mk_plain, false);

  setAcceptDrops(true);

  HTMLabelFiles->set_first_line(msg(msg_heading_files));
  HTMLabelStatus->set_first_line(msg(msg_heading_status));

  AdvNavBar->set_panel_caption(advanced_panel, msg(msg_panel_advanced));
  AdvNavBar->set_panel_caption(simple_panel, msg(msg_panel_simple));
  const std::uint32_t simple_sections[] = {msg_section_files, msg_section_fix, msg_section_help};
  for (int i = 0; i < 3; ++i) AdvNavBar->set_section_caption(simple_panel, i, msg(simple_sections[i]));
  const std::uint32_t advanced_sections[] = {msg_section_files, msg_section_fix, msg_section_settings,
                                             msg_section_help};
  for (int i = 0; i < 4; ++i) AdvNavBar->set_section_caption(advanced_panel, i, msg(advanced_sections[i]));

  MainStatusBar->set_panel_text(1, msg(msg_ready));
  fit_status_panels();

  for (TPictureButton* b : {AddButtonSimple, AddButtonAdvanced}) b->set_caption(msg(msg_add_file));
  for (TPictureButton* b : {RemoveButtonSimple, RemoveButtonAdvanced}) b->set_caption(msg(msg_remove_files));
  for (TPictureButton* b : {FixButtonSimple, FixButtonAdvanced}) b->set_caption(msg(msg_fix_files));
  CheckButtonAdvanced->set_caption(msg(msg_check_for_errors));
  StripButtonAdvanced->set_caption(msg(msg_strip_index));
  for (TPictureButton* b : {HomepageButtonSimple, HomepageButtonAdvanced}) b->set_caption(msg(msg_homepage));
  HelpButtonSimple->set_caption(msg(msg_help));
  for (TPictureButton* b : {AboutButtonSimple, AboutButtonAdvanced}) b->set_caption(msg(msg_about));

  // The buttons with keys name them.
  const auto name_keys = [](TPictureButton* button, const QKeySequence& keys) {
    button->setToolTip(button->text() + QStringLiteral(" (") + keys.toString(QKeySequence::NativeText) +
                       QLatin1Char(')'));
  };
  for (TPictureButton* b : {AddButtonSimple, AddButtonAdvanced}) name_keys(b, add_keys());
  for (TPictureButton* b : {RemoveButtonSimple, RemoveButtonAdvanced}) name_keys(b, remove_keys());
  name_keys(HelpButtonSimple, help_keys());
  StopButton->setToolTip(QStringLiteral("Stop (") + stop_keys().toString(QKeySequence::NativeText) + QLatin1Char(')'));
}

// Each text panel as wide as its longest text in the loaded language needs;
// the progress panel takes the rest.
void TMainForm::fit_status_panels() {
  QStringList states{msg(msg_ready)};
  for (const TBatchCommand& command : batch_commands()) states.append(msg(command.running_message));
  MainStatusBar->fit_panel(1, states);
  MainStatusBar->fit_panel(0, {MainStatusBar->panel_text(0)});
}

void TMainForm::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (centred_) return;
  centred_ = true;
  // The log starts at its design height; the files take the rest.
  const int log_part = status_heading_height + log_height;
  LogSplitter->setSizes({std::max(0, LogSplitter->height() - LogSplitter->handleWidth() - log_part), log_part});
  if (const QScreen* screen = this->screen()) {
    QRect frame = frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }
}

// ---------------------------------------------------------------- log, status bar

void TMainForm::out_text(const std::string& text, std::uint8_t kind, bool show_box) {
  const QString line = QString::fromStdString(text);
  if (show_box) show_message_box(this, line, kind);
  AdvMemo->append_line(line, kind);
}

void TMainForm::StopButtonClick() { stop_flag = 1; }

void TMainForm::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  FormResize();
}

void TMainForm::FormResize() { MainStatusBar->resize_panels(MainStatusBar->width()); }

// ---------------------------------------------------------------- file list

void TMainForm::AddButtonSimpleClick() {
  if (AddOpenDialog->exec() != QDialog::Accepted) return;
  const QStringList chosen = AddOpenDialog->selectedFiles();
  out_text(message(msg_size_rule), mk_warning, true);
  if (!chosen.isEmpty()) add_file(local_name(chosen.first()));
}

QStringList TMainForm::dropped_files(const QMimeData* data) {
  QStringList names;
  if (data == nullptr || !data->hasUrls()) return names;
  for (const QUrl& url : data->urls())
    if (url.isLocalFile()) names.append(url.toLocalFile());
  return names;
}

void TMainForm::dragEnterEvent(QDragEnterEvent* event) {
  if (!dropped_files(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void TMainForm::dragMoveEvent(QDragMoveEvent* event) {
  if (!dropped_files(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void TMainForm::dropEvent(QDropEvent* event) {
  const QStringList names = dropped_files(event->mimeData());
  if (names.isEmpty()) return;
  event->acceptProposedAction();
  // Handled once the drop is over, so the file manager is not kept waiting
  // while our boxes are open.
  QTimer::singleShot(0, this, [this, names] { AcceptFiles(names); });
}

void TMainForm::AcceptFiles(const QStringList& names) {
  std::vector<std::string> paths;
  // Whole names, however long: a shortened path would name another file.
  for (const QString& name : names) paths.push_back(local_name(name));
  AcceptFiles(paths);
}

void TMainForm::AcceptFiles(const std::vector<std::string>& paths) {
  if (paths.empty()) return;
  out_text(message(msg_size_rule), mk_warning, true);
  for (const std::string& path : paths) add_file(path);
}

void TMainForm::add_file(const std::string& path) {
  const TAddOutcome outcome = check_new_file(path);
  if (!outcome.accepted) {
    out_text(outcome.text, outcome.kind, true);
    return;
  }
  add_checked_file(path);
  update_list();
}

int TMainForm::selected_row() const {
  const QModelIndexList rows = AdvListView->selectionModel()->selectedRows();
  if (rows.isEmpty()) return -1;
  const int row = rows.first().row();
  return row < static_cast<int>(file_list.size()) ? row : -1;
}

void TMainForm::update_list() {
  // Rows are rebuilt from file_list; the highlighted row stays where it was.
  const QModelIndex current = AdvListView->currentIndex();
  const int selected = selected_row();
  ListModel->rebuild();
  const int rows = ListModel->rowCount();
  if (current.isValid() && current.row() < rows)
    AdvListView->selectionModel()->setCurrentIndex(ListModel->index(current.row(), 0), QItemSelectionModel::NoUpdate);
  if (selected >= 0 && selected < rows)
    AdvListView->selectionModel()->select(ListModel->index(selected, 0),
                                          QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void TMainForm::RemoveButtonSimpleClick() {
  // The batch walks file_list by index while it pumps events: removing
  // entries under it would make it skip or repeat files.
  if (batch_running_) {
    out_text(" " + message(msg_no_remove_while_running), mk_error, true);
    return;
  }
  const bool any = std::any_of(file_list.begin(), file_list.end(), [](const TFile& f) { return f.ticked == 1; });
  if (!any) {
    out_text(" " + message(msg_tick_to_remove), mk_error, true);
    return;
  }
  std::erase_if(file_list, [](const TFile& f) { return f.ticked == 1; });
  update_list();
}

void TMainForm::AdvListViewCheckboxClick(int row, bool ticked) {
  if (row < 0 || row >= static_cast<int>(file_list.size())) return;
  file_list[static_cast<std::size_t>(row)].ticked = ticked ? 1 : 0;
  update_list();
}

void TMainForm::SelectAll1Click() {
  for (TFile& f : file_list) f.ticked = 1;
  update_list();
}

void TMainForm::UnselectAll1Click() {
  for (TFile& f : file_list) f.ticked = 0;
  update_list();
}

void TMainForm::ReverseSelection1Click() {
  for (TFile& f : file_list) f.ticked = f.ticked == 1 ? 0 : 1;
  update_list();
}

// ---------------------------------------------------------------- batch commands

std::array<QWidget*, 15> TMainForm::batch_controls() const {
  return {AddButtonSimple,     RemoveButtonSimple,  FixButtonSimple,      HomepageButtonSimple, HelpButtonSimple,
          AboutButtonSimple,   AddButtonAdvanced,   RemoveButtonAdvanced, FixButtonAdvanced,    CheckButtonAdvanced,
          StripButtonAdvanced, BackupHTMLCheckBox,  PlayerHTMLCheckBox,   HomepageButtonAdvanced, AboutButtonAdvanced};
}

void TMainForm::disable_buttons() {
  StopButton->setEnabled(true);
  stop_shortcut_->setEnabled(true);
  // A keyboard user who started the batch finds Stop under the keys, rather
  // than the focus jumping to whatever follows the disabled command.
  const auto controls = batch_controls();
  QWidget* const focused = focusWidget();
  focus_before_batch_ = std::find(controls.begin(), controls.end(), focused) != controls.end() ? focused : nullptr;
  if (focus_before_batch_ != nullptr) StopButton->setFocus(Qt::OtherFocusReason);
  for (QWidget* c : controls) c->setEnabled(false);
  stop_flag = 0;
}

void TMainForm::enable_buttons() {
  for (QWidget* c : batch_controls()) c->setEnabled(true);
  // And back to the command it started from.
  if (focus_before_batch_ != nullptr && StopButton->hasFocus()) focus_before_batch_->setFocus(Qt::OtherFocusReason);
  focus_before_batch_ = nullptr;
  StopButton->setEnabled(false);
  stop_shortcut_->setEnabled(false);
  stop_flag = 1;
}

void TMainForm::run_batch(const TBatchCommand& command) {
  disable_buttons();
  batch_running_ = true;
  MainStatusBar->set_panel_text(1, msg(command.running_message));
  TReportSink* const previous_sink = report_sink();
  set_report_sink(sink_);

  const bool any = std::any_of(file_list.begin(), file_list.end(), [](const TFile& f) { return f.ticked == 1; });
  if (!any) {
    out_text(" " + message(command.nothing_ticked_message), mk_error, true);
  } else {
    // Files added while the batch runs wait for the next one.
    const std::size_t count = file_list.size();
    for (std::size_t i = 0; i < count && i < file_list.size(); ++i) {
      if (file_list[i].ticked != 1 || !regular_file_exists(file_list[i].path)) continue;
      // A copy: events handled during the call may grow file_list and move its entries.
      const std::string path = file_list[i].path;
      const TFileStep step = run_step(command.operation, [&] { return command.work(path); });
      if (step.failure) {
        const std::string reason = step.failure->empty() ? std::string() : ": " + *step.failure;
        out_text(" " + message(msg_operation_failed) + " " + path + reason, mk_error, false);
      }
      const bool records_status = command.operation == TFileOperation::fix;
      TFile& entry = file_list[i];
      if (records_status || step.failure)
        entry.status = step.failure                  ? TFileStatus::not_repaired
                       : step.result == fix_repaired ? TFileStatus::repaired
                       : step.result == fix_stopped  ? TFileStatus::stopped
                                                     : TFileStatus::not_repaired;
      entry.ticked = 0;
      if (records_status && auto_backup == 1) {
        // Also after a stop: the partly written copy is on disk under that name.
        const std::string copy = fixed_name(path);
        if (regular_file_exists(copy)) entry.fixed_path = copy;
      }
    }
    update_list();
  }

  set_report_sink(previous_sink);
  MainStatusBar->set_panel_text(1, msg(msg_ready));
  batch_running_ = false;
  enable_buttons();
}

std::array<TMainForm::TBatchCommand, 3> TMainForm::batch_commands() {
  return {{{msg_fixing_files, msg_tick_to_fix, TFileOperation::fix, &fix_with_setting},
           {msg_checking_files, msg_tick_to_check, TFileOperation::check, &check_file},
           {msg_stripping_files, msg_tick_to_strip, TFileOperation::strip, &strip_index}}};
}

void TMainForm::FixButtonSimpleClick() { run_batch(batch_commands()[0]); }

void TMainForm::CheckButtonAdvancedClick() { run_batch(batch_commands()[1]); }

void TMainForm::StripButtonAdvancedClick() { run_batch(batch_commands()[2]); }

// ---------------------------------------------------------------- settings, help, about

void TMainForm::BackupHTMLCheckBoxClick() { auto_backup = BackupHTMLCheckBox->isChecked() ? 1 : 0; }

void TMainForm::PlayerHTMLCheckBoxClick() { external_player = PlayerHTMLCheckBox->isChecked() ? 1 : 0; }

// The guide in the desktop's language where one is installed, as the texts are.
void TMainForm::HelpButtonSimpleClick() {
  shell_open(QFile::decodeName(find_data_file_in_language(help_file_name, desktop_language()).c_str()));
}

void TMainForm::HomepageButtonSimpleClick() { shell_open(QString::fromLatin1(homepage_address)); }

void TMainForm::AboutButtonSimpleClick() {
  if (AboutBox != nullptr) AboutBox->exec();
}

// ---------------------------------------------------------------- list rows

void TMainForm::AdvListViewCustomDrawItem(int row, QStyleOptionViewItem& option) const {
  option.backgroundBrush = row % 2 == 1 ? QBrush(QColor(alternate_row_colour)) : AdvListView->palette().base();
}

void TMainForm::AdvListViewCustomDrawSubItem(int row, int column, QStyleOptionViewItem& option) const {
  AdvListViewCustomDrawItem(row, option);
  QColor text(Qt::black);
  if (column == TFileListModel::col_preview) {
    // Read now, not at the last rebuild: the colour follows the status at once.
    const bool repaired = row >= 0 && row < static_cast<int>(file_list.size()) &&
                          file_list[static_cast<std::size_t>(row)].status == TFileStatus::repaired;
    text = QColor(repaired ? repaired_colour : not_repaired_colour);
    option.font.setUnderline(true);
  }
  option.palette.setColor(QPalette::Text, text);
  option.palette.setColor(QPalette::WindowText, text);
}

int TMainForm::preview_boundary() const {
  const QHeaderView* header = AdvListView->header();
  return header->sectionSize(TFileListModel::col_file) + header->sectionSize(TFileListModel::col_status);
}

void TMainForm::AdvListViewMouseMove(int x) {
  if (x > preview_boundary())
    AdvListView->viewport()->setCursor(Qt::PointingHandCursor);
  else
    AdvListView->viewport()->setCursor(Qt::ArrowCursor);
}

void TMainForm::AdvListViewMouseDown(Qt::MouseButton /*button*/, int x) {
  // Every button alike; left of the boundary the view's own handling is all.
  if (x <= preview_boundary()) return;
  const int row = selected_row();
  // Below the rows nothing is selected, and nothing is previewed.
  if (row < 0) return;
  if (file_list[static_cast<std::size_t>(row)].status == TFileStatus::repaired) {
    preview_file(row);
    return;
  }
  out_text(" " + message(msg_preview_needs_repair), mk_warning, true);
}

// ---------------------------------------------------------------- context menu, preview

void TMainForm::AdvPopupMenuPopup() {
  const int row = selected_row();
  Play1->setEnabled(row >= 0 && file_list[static_cast<std::size_t>(row)].status == TFileStatus::repaired);
}

void TMainForm::Play1Click() {
  const int row = selected_row();
  if (row >= 0) preview_file(row);
}

void TMainForm::preview_file(int row) {
  if (row < 0 || row >= static_cast<int>(file_list.size())) return;
  const TFile& entry = file_list[static_cast<std::size_t>(row)];
  // A copy: the preview's own event loop may let file_list change.
  const std::string file = entry.fixed_path.empty() ? entry.path : entry.fixed_path;
  if (external_player != 0) {
    shell_open(QFile::decodeName(file.c_str()));
    return;
  }
  if (PreviewForm != nullptr) PreviewForm->show_media(file);
}
