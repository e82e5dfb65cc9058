// Forwarding of the engine's reports to the installed front end.
#include "reporting.h"

std::atomic<std::uint8_t> stop_flag{0};

namespace {

// Keeps the progress rule meaningful when no front end is attached.
class TNullSink final : public TReportSink {
 public:
  void out_text(const std::string&, std::uint8_t, bool) override {}
  [[nodiscard]] int progress_position() const override { return position_; }
  void set_progress_position(int position) override { position_ = position; }
  void pump_events() override {}

 private:
  int position_ = 0;
};

// Per thread: the command-line tool runs files side by side, each reporting
// to its own sink.
thread_local TNullSink null_sink;
thread_local TReportSink* current_sink = &null_sink;

}  // namespace

void TReportSink::file_stopped() { stop_flag.store(0); }

void set_report_sink(TReportSink* sink) { current_sink = sink != nullptr ? sink : &null_sink; }

TReportSink* report_sink() { return current_sink; }

void log_line(const std::string& text, std::uint8_t kind, bool dialog) {
  current_sink->out_text(text, kind, dialog);
}

void show_progress(std::uint32_t v) {
  const int value = static_cast<int>(v % 65536u);
  // Single-point steps and steps back (other than to 0) are not shown:
  // repainting on every chunk would cost more than the repair.
  if (value == 0 || value >= current_sink->progress_position() + 2) {
    current_sink->set_progress_position(value);
  }
  current_sink->pump_events();
}

void pump_messages() { current_sink->pump_events(); }
