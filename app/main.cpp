// The desktop program's entry point.
#include <QTimer>

#include "app/application.h"
#include "app/single_instance.h"
#include "app/startup.h"
#include "ui/main/main_unit.h"

int main(int argc, char* argv[]) {
  TApplication application(argc, argv);
  // Qt has taken its own options out of argv by now.
  const std::vector<std::string> files = command_line_files(argc, argv);
  // One window per user and display: when it is open already, it gets the files.
  TSingleInstance instance;
  if (instance.hand_over_or_listen(files)) return 0;
  start_up();
  MainForm->show();
  // Once the window is up, as a drop would come.
  if (!files.empty()) QTimer::singleShot(0, MainForm, [&files] { open_in_main_window(files); });
  instance.deliver_to(&open_in_main_window);
  // Returns once the main window is closed (after a running command has finished).
  const int code = TApplication::exec();
  shut_down();
  return code;
}
