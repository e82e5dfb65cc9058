// Times a Fix in the real main window, headless: the file added to the list,
// the Fix command's own batch with the log pane, status bar and the engine's
// sink handling pending events. Prints the Fix's own time ("fix_ns N");
// bench/run compares it with reelwright-fix.
//   window_batch FILE [--every-call]
// --every-call handles events on every call of the engine instead of at
// most once per interval, to show what that would cost.
#include <QApplication>
#include <QElapsedTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/lang.h"
#include "ui/main/file_list.h"
#include "ui/main/main_unit.h"
#include "ui/main/window_sink.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: window_batch FILE [--every-call]\n");
    return 2;
  }
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  init_catalogue();
  TMainForm window;
  window.show();
  if (argc > 2 && std::strcmp(argv[2], "--every-call") == 0) window.window_sink()->set_interval({});
  window.add_file(argv[1]);
  if (file_list.size() != 1) {
    std::fprintf(stderr, "window_batch: the window did not take %s\n", argv[1]);
    return 2;
  }
  QCoreApplication::processEvents();

  // The Fix itself, as a user in a running window would wait for it.
  QElapsedTimer timer;
  timer.start();
  window.FixButtonSimpleClick();
  const qint64 took = timer.nsecsElapsed();
  std::printf("fix_ns %lld\n", static_cast<long long>(took));
  return file_list[0].status == TFileStatus::repaired ? 0 : 1;
}
