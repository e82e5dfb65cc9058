// The preview window on an X server with a window manager, where closing a
// window destroys its native window: previews in a row, of the same file and
// of others, closed with Escape, the close box and the window manager's close
// key, each one checked for its picture on the screen.
#include <gtest/gtest.h>

#include <QApplication>
#include <QColor>
#include <QElapsedTimer>
#include <QImage>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "avi_builder.h"
#include "process_runner.h"
#include "ui/preview/preview_unit.h"

using namespace avitest;

namespace {

// A clip whose halves have colours of their own: a picture that is not
// drawn shows the window behind, or nothing, instead.
struct TClip {
  std::string file;
  QSize size;
  QColor left;
  QColor right;
};

TClip make_clip(const TTempDir& dir, const std::string& name, QSize size, const QColor& left, const QColor& right) {
  const std::string half = std::to_string(size.width() / 2) + "x" + std::to_string(size.height());
  const std::string graph = "color=c=" + left.name().toStdString() + ":s=" + half + ":r=25[l];color=c=" +
                            right.name().toStdString() + ":s=" + half + ":r=25[r];[l][r]hstack";
  const std::string file = dir.file(name).string();
  const TProcessResult r = run_process({"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f",
                                        "lavfi", "-i", graph, "-t", "6", "-c:v", "mpeg4", "-q:v", "2", file});
  EXPECT_EQ(r.exit.code, 0) << r.err;
  return {file, size, left, right};
}

bool near(const QColor& a, const QColor& b) {
  return std::abs(a.red() - b.red()) < 48 && std::abs(a.green() - b.green()) < 48 &&
         std::abs(a.blue() - b.blue()) < 48;
}

// What the screen itself shows in the middle of each half of the window's
// client area: the X server's pixels, whoever drew them.
std::pair<QColor, QColor> shown_halves(const QWidget& window) {
  const QPoint at = window.mapToGlobal(QPoint(0, 0));
  const QImage shot = window.screen()->grabWindow(0, at.x(), at.y(), window.width(), window.height()).toImage();
  const auto mean = [&shot](int x) {  // of a quarter of the width, the middle half of the height
    return QColor(shot.copy(x, shot.height() / 4, shot.width() / 4, shot.height() / 2)
                      .scaled(1, 1, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                      .pixel(0, 0));
  };
  return {mean(shot.width() / 8), mean(shot.width() * 5 / 8)};
}

void xdotool(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"xdotool"};
  argv.insert(argv.end(), args.begin(), args.end());
  const TProcessResult r = run_process(argv);
  EXPECT_EQ(r.exit.code, 0) << r.err;
}

enum class TClose { escape, close_box, close_key };

// As a user closes it: real key presses and a real click, through the X server.
void close_as_user(const QWidget& window, TClose way) {
  switch (way) {
    case TClose::escape: xdotool({"key", "Escape"}); break;
    case TClose::close_key: xdotool({"key", "alt+F4"}); break;
    case TClose::close_box: {
      // Openbox puts the close box last on the title bar.
      const QRect frame = window.frameGeometry();
      const int title_height = window.geometry().top() - frame.top();
      xdotool({"mousemove", std::to_string(frame.right() - title_height / 2), std::to_string(frame.top() + title_height / 2),
               "click", "1"});
      break;
    }
  }
}

TEST(PreviewOnTheDesktop, EveryPreviewInARowShowsItsPicture) {
  ASSERT_EQ(run_process({"xdotool", "version"}).exit.code, 0) << "xdotool is needed";
  const TTempDir dir;
  const TClip first = make_clip(dir, "first.avi", {320, 240}, QColor(230, 20, 20), QColor(20, 20, 230));
  const TClip second = make_clip(dir, "second.avi", {240, 176}, QColor(20, 200, 20), QColor(230, 230, 20));
  const TClip third = make_clip(dir, "third.avi", {320, 240}, QColor(20, 220, 220), QColor(220, 20, 220));

  QWidget main_window;
  main_window.setGeometry(150, 100, 800, 560);
  main_window.show();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&main_window, 10000));
  TPreviewForm window(&main_window);

  // Each way of closing is followed by a showing of the same size, of the
  // same file and of another: a new size alone would mask a stale picture.
  const struct {
    const TClip& clip;
    TClose way;
  } previews[] = {{first, TClose::escape},     {first, TClose::close_box},  {third, TClose::close_key},
                  {first, TClose::escape},     {second, TClose::close_box}, {second, TClose::close_key},
                  {second, TClose::escape},    {third, TClose::close_box}};
  int n = 0;
  for (const auto& preview : previews) {
    ++n;
    bool acted = false;
    bool drawn = false;
    bool active = false;
    std::pair<QColor, QColor> shown;
    QSize outer;
    QElapsedTimer since_shown;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &watch, [&] {
      if (!window.isVisible()) return;
      if (acted) {
        // The close did not arrive: end the showing, the checks below fail.
        if (since_shown.elapsed() > 10000) window.reject();
        return;
      }
      acted = true;
      since_shown.start();
      drawn = QTest::qWaitFor(
          [&] {
            shown = shown_halves(window);
            return near(shown.first, preview.clip.left) && near(shown.second, preview.clip.right);
          },
          8000);
      outer = window.frameGeometry().size();
      // Keys reach the window the window manager made active.
      active = QTest::qWaitFor([&] { return window.isActiveWindow(); }, 3000);
      close_as_user(window, preview.way);
    });
    watch.start(20);
    window.show_media(preview.clip.file);
    const std::string what = "preview " + std::to_string(n) + " closed by way " + std::to_string(static_cast<int>(preview.way));
    ASSERT_TRUE(acted) << what;
    EXPECT_TRUE(drawn) << what << ": left " << shown.first.name().toStdString() << ", right "
                       << shown.second.name().toStdString();
    EXPECT_TRUE(active) << what;
    EXPECT_LT(since_shown.elapsed(), 10000) << what << ": the window stayed open";
    EXPECT_EQ(outer, preview.clip.size) << what;
    EXPECT_FALSE(window.isVisible()) << what;
    EXPECT_FALSE(window.MediaPlayer.is_open()) << what;
  }
}

}  // namespace
