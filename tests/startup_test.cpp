// The program's start-up, run in-process: the language module's failure box
// comes before the title is set, the windows come in their order, and the
// texts come from the module when there is one.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDate>
#include <QAbstractButton>
#include <QFileDialog>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QTimer>
#include <filesystem>
#include <vector>

#include "platform/lang.h"
#include "app/startup.h"
#include "engine/reporting.h"
#include "platform/lang_module.h"
#include "ui/about/VersionInfoUnit.h"
#include "ui/about/about_unit.h"
#include "ui/main/main_unit.h"
#include "ui/toolkit/log_memo.h"
#include "ui/toolkit/message_box.h"
#include "ui/toolkit/picture_button.h"
#include "ui/toolkit/toolkit_language.h"

namespace {

namespace fs = std::filesystem;

struct TBox {
  QString text;
  std::uint8_t kind;
  QString application_name;  // the caption a plain box gets
  bool main_window_existed;
};

// This test's executable has a folder of its own, so whether a language
// module lies beside it is up to the test.
class StartUp : public ::testing::Test {
 protected:
  void SetUp() override {
    module_copy_ = fs::path(executable_folder()) / lang_module_file_name;
    fs::remove(module_copy_);
    if (fs::exists(fs::path(REELWRIGHT_INSTALLED_MODULE_DIR) / lang_module_file_name))
      GTEST_SKIP() << "an installed language module would be found";
    QCoreApplication::setApplicationName(QString());  // back to the executable's name
    set_box_answerer([this](const QString& text, std::uint8_t kind) {
      boxes_.push_back({text, kind, QGuiApplication::applicationDisplayName(), MainForm != nullptr});
    });
  }
  void TearDown() override {
    shut_down();
    translate_toolkit({});
    set_box_answerer(nullptr);
    fs::remove(module_copy_);
    fs::remove(fs::path(executable_folder()) / "lang.de.so");
  }

  fs::path module_copy_;
  std::vector<TBox> boxes_;
};

TEST_F(StartUp, WithoutTheLanguageModuleOneBoxBeforeTheTitleThenEmptyTexts) {
  start_up();
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, "Load lang DLL FAILED!");
  EXPECT_EQ(boxes_[0].kind, mk_plain);
  EXPECT_FALSE(boxes_[0].main_window_existed);
  EXPECT_NE(boxes_[0].application_name, "Reelwright");
  EXPECT_EQ(lang_base, 10000u);
  EXPECT_EQ(lang_module, nullptr);

  EXPECT_EQ(QCoreApplication::applicationName(), "Reelwright");
  // Plain boxes are captioned with it; window titles stay exactly as set,
  // which a display name would not let them be on X11 and Wayland.
  EXPECT_EQ(QGuiApplication::applicationDisplayName(), "Reelwright");
  EXPECT_EQ(QCoreApplication::instance()->property("HelpFile").toString(), "help.html");
  ASSERT_NE(MainForm, nullptr);
  EXPECT_EQ(MainForm->windowTitle(), "Reelwright -  ");
  EXPECT_EQ(MainForm->FixButtonSimple->text(), "");
  ASSERT_EQ(MainForm->AdvMemo->line_count(), 1);
  EXPECT_TRUE(MainForm->AdvMemo->line_text(0).startsWith("  "));

  // The About box came second and read the version information the main
  // window made, which the application object owns.
  ASSERT_NE(AboutBox, nullptr);
  EXPECT_EQ(AboutBox->windowTitle(), "Reelwright - About");
  EXPECT_FALSE(AboutBox->isVisible());
  ASSERT_NE(version_info, nullptr);
  EXPECT_EQ(version_info->parent(), QCoreApplication::instance());

  shut_down();
  EXPECT_EQ(MainForm, nullptr);
  EXPECT_EQ(AboutBox, nullptr);
}

TEST_F(StartUp, WithTheModuleBesideTheProgramNoBoxAndItsTexts) {
  fs::copy_file(REELWRIGHT_TEST_LANG_EN, module_copy_, fs::copy_options::overwrite_existing);
  start_up();
  EXPECT_TRUE(boxes_.empty());
  EXPECT_NE(lang_module, nullptr);
  ASSERT_NE(MainForm, nullptr);
  EXPECT_EQ(MainForm->windowTitle(), "Reelwright -  AVI index repair");
  EXPECT_EQ(MainForm->FixButtonSimple->text(), "Fix File(s)");
  const QString today = QLocale::system().toString(QDate::currentDate(), QLocale::ShortFormat);
  EXPECT_TRUE(MainForm->AdvMemo->line_text(0).startsWith(" Started " + today + " "));
}

// Every module is installed beside the program; the desktop's language
// picks the German one, and the toolkit's own texts follow it: the open
// dialog's, a box's caption, the log pane's context menu.
TEST_F(StartUp, TheDesktopsLanguagePicksItsModuleAndTheToolkitsTexts) {
  const struct {
    const char* lang;
    QString title;
    QStringList toolkit;
  } cases[] = {{"en_US.UTF-8", "Reelwright -  AVI index repair", {"Look in:", "Cancel", "Error", "Select All"}},
               {"de_DE.UTF-8", "Reelwright -  AVI-Index-Reparatur",
                {"Suchen in:", "Abbrechen", "Fehler", "Alles auswählen"}}};
  fs::copy_file(REELWRIGHT_TEST_LANG_EN, module_copy_, fs::copy_options::overwrite_existing);
  fs::copy_file(fs::path(REELWRIGHT_TEST_LANG_EN).parent_path() / "lang.de.so",
                fs::path(executable_folder()) / "lang.de.so", fs::copy_options::overwrite_existing);
  ::unsetenv("LC_ALL");
  ::unsetenv("LC_MESSAGES");
  for (const auto& c : cases) {
    ::setenv("LANG", c.lang, 1);
    start_up();
    ASSERT_NE(MainForm, nullptr);
    EXPECT_EQ(MainForm->windowTitle(), c.title);
    QStringList seen{box_caption(mk_error)};
    QTimer::singleShot(0, MainForm->AddOpenDialog, [&seen] {
      for (const QLabel* label : MainForm->AddOpenDialog->findChildren<QLabel*>()) seen.append(label->text());
      for (const QAbstractButton* button : MainForm->AddOpenDialog->findChildren<QAbstractButton*>())
        seen.append(button->text());
      MainForm->AddOpenDialog->reject();
    });
    MainForm->AddButtonSimple->click();
    QMenu* menu = MainForm->AdvMemo->createStandardContextMenu();
    for (const QAction* action : menu->actions()) seen.append(action->text().section(QLatin1Char('\t'), 0, 0));
    delete menu;
    for (const QString& text : c.toolkit) EXPECT_TRUE(seen.contains(text)) << c.lang << ": " << text.toStdString();
    shut_down();
  }
  ::unsetenv("LANG");
  EXPECT_TRUE(boxes_.empty());
}

}  // namespace
