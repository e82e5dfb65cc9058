// The desktop program's entry point.
#include <QApplication>

#include "app/startup.h"
#include "ui/main/main_unit.h"

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  start_up();
  MainForm->show();
  // Returns once the main window is closed (after a running command has finished).
  const int code = QApplication::exec();
  shut_down();
  return code;
}
