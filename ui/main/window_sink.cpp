// The engine's reports into the window.
#include "window_sink.h"

#include <QCoreApplication>
#include <QProgressBar>

#include "platform/lang.h"
#include "platform/message_ids.h"

TWindowSink::TWindowSink(TOutText out_text, QProgressBar* progress, std::chrono::nanoseconds interval, TNow now)
    : out_text_(std::move(out_text)), progress_(progress), interval_(interval), now_(std::move(now)) {}

void TWindowSink::out_text(const std::string& text, std::uint8_t kind, bool show_box) {
  out_text_(text, kind, show_box);
}

int TWindowSink::progress_position() const { return progress_->value(); }

void TWindowSink::set_progress_position(int position) { progress_->setValue(position); }

void TWindowSink::pump_events() {
  const TClock::time_point at = now_();
  if (last_ && at - *last_ < interval_) return;
  last_ = at;
  ++processed_;
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TWindowSink::refused_as_no_avi(const std::string&) {
  out_text_(" " + message(msg_try_reference), mk_plain, false);
}
