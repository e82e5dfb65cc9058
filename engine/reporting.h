// How the engine speaks to whatever front end is attached: log lines,
// progress and the user's stop request. The engine knows nothing of windows.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/message_kind.h"

// Installed by a front end (the window, the command-line tool, a test).
class TReportSink {
 public:
  virtual ~TReportSink() = default;
  // One log line; show_box asks for a modal box as well (the engine never does).
  virtual void out_text(const std::string& text, std::uint8_t kind, bool show_box) = 0;
  // Current position of the progress indicator, and moving it.
  [[nodiscard]] virtual int progress_position() const = 0;
  virtual void set_progress_position(int position) = 0;
  // Let the front end handle what is pending (repaint, the Stop button).
  virtual void pump_events() = 0;
  // The message the engine's line uses in place of message k: a front end's
  // own wording where the window's names a control only the window has.
  [[nodiscard]] virtual std::uint32_t wording(std::uint32_t k) const { return k; }
  // The engine abandoned the file at the stop request. The request is used
  // up then, so that a batch goes on with its next file; a front end that
  // ends its whole run on a stop keeps it, for the files still in progress
  // on other threads.
  virtual void file_stopped();
  // How many damaged places the walk over the file counted, once it ended
  // (stopped too). A careful second walk reports again; its count holds.
  virtual void damaged_places(std::uint32_t) {}
  // The file was refused as no AVI file (that line is logged): a front end
  // may add what else it can do with one.
  virtual void refused_as_no_avi(const std::string&) {}
};

// Installs the sink for the calling thread (nullptr: lines and progress go
// nowhere). Each thread that runs the engine has its own. Not owned.
void set_report_sink(TReportSink* sink);
[[nodiscard]] TReportSink* report_sink();

void log_line(const std::string& text, std::uint8_t kind, bool dialog);
// Moves the indicator to v mod 65536 when v is 0 or at least two points ahead,
// then pumps pending events in every case.
void show_progress(std::uint32_t v);
// Pumps pending events once, without touching the indicator.
void pump_messages();

// The user's stop request: 1 asks the engine to abandon the current file.
// Lock-free, so a signal handler may set it.
extern std::atomic<std::uint8_t> stop_flag;
