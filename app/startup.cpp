// The program's start and end around the message loop.
#include "app/startup.h"

#include <QApplication>
#include <QIcon>

#include "platform/lang.h"
#include "ui/about/about_unit.h"
#include "ui/main/main_unit.h"
#include "ui/preview/preview_unit.h"
#include "ui/toolkit/button_pictures.h"
#include "ui/toolkit/message_box.h"
#include "ui/toolkit/toolkit_language.h"

void start_up() {
  // The toolkit's own texts follow the desktop's language, from the first box on.
  translate_toolkit(desktop_language());

  // The catalogue comes first: every window's creation looks messages up.
  if (!init_catalogue()) {
    // Shown before the title is set, so the box carries the toolkit's default
    // caption; the program then goes on with empty texts.
    show_plain_box(QStringLiteral("Load lang DLL FAILED!"));
  }

  QCoreApplication::instance()->setProperty("HelpFile", QString::fromLatin1(help_file_name));
  // The application's name, not a display name: Qt would append a display
  // name to every window title on X11 and Wayland.
  QCoreApplication::setApplicationName(QStringLiteral("Reelwright"));
  QGuiApplication::setDesktopFileName(QStringLiteral("reelwright"));
  QApplication::setWindowIcon(QIcon(reelwright_logo(128)));

  // The main window first: it is the main window, and its creation makes
  // version_info, which the About box reads in its own.
  MainForm = new TMainForm;
  AboutBox = new TAboutBox;
  // Over the main window, where its first showing is centred.
  PreviewForm = new TPreviewForm(MainForm);
}

void shut_down() {
  delete PreviewForm;
  PreviewForm = nullptr;
  delete AboutBox;
  AboutBox = nullptr;
  delete MainForm;  // clears MainForm
}
