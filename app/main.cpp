// The desktop program's entry point.
#include "app/application.h"
#include "app/startup.h"
#include "ui/main/main_unit.h"

int main(int argc, char* argv[]) {
  TApplication application(argc, argv);
  start_up();
  MainForm->show();
  // Returns once the main window is closed (after a running command has finished).
  const int code = TApplication::exec();
  shut_down();
  return code;
}
