// Connects the repair engine to the window: its lines to the log writer,
// its progress to the status bar's progress panel, and the window's pending
// events handled while a file is repaired, so it repaints and takes Stop.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "engine/reporting.h"

class QProgressBar;

class TWindowSink final : public TReportSink {
 public:
  using TOutText = std::function<void(const std::string& text, std::uint8_t kind, bool show_box)>;
  using TClock = std::chrono::steady_clock;
  using TNow = std::function<TClock::time_point()>;

  // Pending events are handled at most once per `interval`: looking for
  // them costs a system call, and the engine asks twice per chunk, tens of
  // thousands of times per file. 15 ms stays below what a user can see or
  // feel on a progress bar or a button.
  static constexpr std::chrono::milliseconds default_interval{15};

  TWindowSink(TOutText out_text, QProgressBar* progress, std::chrono::nanoseconds interval = default_interval,
              TNow now = [] { return TClock::now(); });

  void out_text(const std::string& text, std::uint8_t kind, bool show_box) override;
  [[nodiscard]] int progress_position() const override;
  void set_progress_position(int position) override;
  void pump_events() override;
  // What the command-line tool does with a file whose start is lost.
  void refused_as_no_avi(const std::string& path) override;

  [[nodiscard]] int events_processed() const { return processed_; }
  void set_interval(std::chrono::nanoseconds interval) { interval_ = interval; }

 private:
  TOutText out_text_;
  QProgressBar* progress_;
  std::chrono::nanoseconds interval_;
  TNow now_;
  std::optional<TClock::time_point> last_;
  int processed_ = 0;
};
