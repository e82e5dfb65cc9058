// Makes the README's picture of the window: the real main window with a file
// that was damaged, added and repaired, rendered to a PNG file.
// Usage: make_screenshot <damaged AVI> <out.png>
#include <QApplication>
#include <QFileInfo>
#include <QTimer>
#include <QTreeView>
#include <cstdio>

#include "platform/lang.h"
#include "engine/reporting.h"
#include "ui/main/file_list.h"
#include "ui/main/file_list_model.h"
#include "ui/main/main_unit.h"
#include "ui/toolkit/message_box.h"

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_screenshot <damaged AVI> <out.png>\n");
    return 2;
  }
  if (!init_catalogue()) std::fprintf(stderr, "make_screenshot: no language module\n");
  QCoreApplication::setApplicationName(QStringLiteral("Reelwright"));
  // The notice before adding a file would wait for a click.
  set_box_answerer([](const QString&, std::uint8_t) {});

  TMainForm window;
  window.show();
  window.AcceptFiles({QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath()});
  window.FixButtonSimpleClick();
  window.AdvListView->setCurrentIndex(window.ListModel->index(0, 0));

  const QString out = QString::fromLocal8Bit(argv[2]);
  int code = 1;
  QTimer::singleShot(300, [&] {
    code = window.grab().save(out) ? 0 : 1;
    QApplication::quit();
  });
  QApplication::exec();
  return code;
}
