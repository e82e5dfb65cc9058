// Times a Fix through the window's reporting path, headless: the log pane
// and status bar shown, the engine's sink handling pending events, as the
// window's batch runs it. Prints the Fix's own time ("fix_ns N"); bench/run
// compares it with reelwright-fix.
//   window_batch FILE [--every-call]
// --every-call handles events on every call of the engine instead of at
// most once per interval, to show what that would cost.
#include <QApplication>
#include <QElapsedTimer>
#include <QProgressBar>
#include <QVBoxLayout>
#include <QWidget>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/lang.h"
#include "engine/algorithm_unit.h"
#include "ui/main/window_sink.h"
#include "ui/toolkit/log_memo.h"
#include "ui/toolkit/status_bar.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: window_batch FILE [--every-call]\n");
    return 2;
  }
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  init_catalogue();
  QWidget window;
  auto* layout = new QVBoxLayout(&window);
  auto* log = new TLogMemo;
  auto* status = new TStatusBar;
  layout->addWidget(log);
  layout->addWidget(status);
  window.resize(892, 613);
  window.show();
  QCoreApplication::processEvents();

  const bool every_call = argc > 2 && std::strcmp(argv[2], "--every-call") == 0;
  TWindowSink sink([log](const std::string& text, std::uint8_t kind,
                         bool) { log->append_line(QString::fromStdString(text), kind); },
                   status->progress_bar(),
                   every_call ? std::chrono::nanoseconds(0) : TWindowSink::default_interval);
  set_report_sink(&sink);
  // The Fix itself, as a user in a running window would wait for it.
  QElapsedTimer timer;
  timer.start();
  const int result = fix_file(argv[1], 1);
  const qint64 took = timer.nsecsElapsed();
  set_report_sink(nullptr);
  std::printf("fix_ns %lld\n", static_cast<long long>(took));
  return result == fix_repaired ? 0 : 1;
}
