// The engine's sink in the window: lines go to the log writer as the engine
// built them, progress to the progress panel, and pending events are handled
// while a file is repaired, at most once per interval.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProgressBar>
#include <QTimer>

#include "avi_builder.h"
#include "engine/algorithm_unit.h"
#include "ui/main/window_sink.h"

using namespace avitest;
using namespace std::chrono_literals;

namespace {

struct TFakeClock {
  TWindowSink::TClock::time_point at{};
  TWindowSink::TNow now() {
    return [this] { return at; };
  }
};

}  // namespace

TEST(WindowSink, EventsAreHandledAtMostOncePerInterval) {
  QProgressBar bar;
  TFakeClock clock;
  TWindowSink sink([](const std::string&, std::uint8_t, bool) {}, &bar, 15ms, clock.now());
  int fired = 0;
  QTimer::singleShot(0, [&] { ++fired; });
  sink.pump_events();  // the first call always handles what is pending
  EXPECT_EQ(fired, 1);
  QTimer::singleShot(0, [&] { ++fired; });
  clock.at += 5ms;
  sink.pump_events();
  EXPECT_EQ(fired, 1);  // too soon
  clock.at += 10ms;
  sink.pump_events();
  EXPECT_EQ(fired, 2);
  EXPECT_EQ(sink.events_processed(), 2);
}

TEST(WindowSink, ARepairReportsIntoTheWindow) {
  TAviBuilder b;
  for (int i = 0; i < 200; ++i) b.video(400, i % 10 == 0).audio(100);
  const TAvi avi = b.build();
  TTempDir dir;
  write_file(dir.file("a.avi"), TBytes(avi.bytes.begin(), avi.bytes.begin() + avi.idx1_pos));
  QProgressBar bar;
  bar.setRange(0, 100);
  std::vector<std::pair<std::string, std::uint8_t>> lines;
  // Every pump handles events here, and a Stop pressed through the event
  // queue reaches the engine.
  TWindowSink sink([&](const std::string& text, std::uint8_t kind, bool box) {
    EXPECT_FALSE(box);
    lines.emplace_back(text, kind);
  }, &bar, 0ns);
  set_report_sink(&sink);
  EXPECT_EQ(fix_file(dir.file("a.avi").string(), 1), fix_repaired);
  EXPECT_EQ(bar.value(), 100);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines.front().second, mk_information);
  EXPECT_GE(sink.events_processed(), 400);

  QTimer::singleShot(0, [] { stop_flag.store(1); });
  EXPECT_EQ(fix_file(dir.file("a.avi").string(), 1), fix_stopped);
  EXPECT_EQ(bar.value(), 0);
  set_report_sink(nullptr);
}
