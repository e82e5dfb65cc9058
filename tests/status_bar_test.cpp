// Tests of the status bar: panel layout, the Stop button and how the progress panel draws.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>
#include <cstdlib>
#include <ostream>

#include "ui/toolkit/status_bar.h"

// Readable failures for geometry comparisons.
void PrintTo(const QRect& r, std::ostream* out) {
  *out << "QRect(" << r.x() << ", " << r.y() << ", " << r.width() << ", " << r.height() << ")";
}

namespace {

int colour_distance(QRgb a, QRgb b) {
  return std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) +
         std::abs(qBlue(a) - qBlue(b));
}

bool is_white(QRgb c) { return qRed(c) > 220 && qGreen(c) > 220 && qBlue(c) > 220; }

QImage render(TGradientProgressBar& bar, int width, int value) {
  bar.resize(width, TStatusBar::bar_height);
  bar.setValue(value);
  // Render at one device pixel per logical pixel so coordinates stay exact.
  return bar.grab().toImage().convertToFormat(QImage::Format_RGB32).scaled(
      width, TStatusBar::bar_height);
}

}  // namespace

TEST(StatusBar, PanelWidthsAtDesignWidth) {
  TStatusBar bar;
  bar.resize_panels(500);
  bar.resize_panels(892);
  EXPECT_EQ(bar.height(), 19);
  EXPECT_EQ(bar.panel_width(0), 100);
  EXPECT_EQ(bar.panel_width(1), 150);
  EXPECT_EQ(bar.panel_width(2), 612);
  EXPECT_EQ(bar.panel_width(3), 30);
  EXPECT_EQ(bar.progress_bar()->geometry(), QRect(250, 0, 612, 19));
}

TEST(StatusBar, ResizingTheBarRelaysTheProgressPanel) {
  TStatusBar bar;
  bar.show();
  bar.resize(892, TStatusBar::bar_height);
  bar.resize(700, TStatusBar::bar_height);
  QApplication::processEvents();
  EXPECT_EQ(bar.panel_width(2), 420);
  EXPECT_EQ(bar.panel_width(0), 100);
  EXPECT_EQ(bar.panel_width(1), 150);
  EXPECT_EQ(bar.panel_width(3), 30);
  EXPECT_EQ(bar.stop_button()->geometry(), QRect(674, 2, 20, 17));
}

TEST(StatusBar, ResizePanelsTakesTheGivenWidth) {
  TStatusBar bar;
  bar.resize_panels(700);
  EXPECT_EQ(bar.panel_width(2), 420);
  bar.resize_panels(1000);
  EXPECT_EQ(bar.panel_width(2), 720);
}

TEST(StatusBar, TinyWidthNeverGivesANegativePanel) {
  TStatusBar bar;
  bar.resize_panels(120);
  EXPECT_EQ(bar.panel_width(2), 0);
  EXPECT_EQ(bar.panel_width(3), 30);

  bar.resize_panels(892);
  bar.show();
  bar.resize(50, TStatusBar::bar_height);
  QApplication::processEvents();
  EXPECT_EQ(bar.panel_width(2), 0);
  // The button stays inside panel 3 even when that has slid past the edge.
  EXPECT_EQ(bar.stop_button()->geometry(), QRect(254, 2, 20, 17));
}

TEST(StatusBar, StopButtonSitsOverTheLastPanel) {
  TStatusBar bar;
  bar.show();
  bar.resize(892, TStatusBar::bar_height);
  QToolButton* stop = bar.stop_button();
  EXPECT_EQ(stop->geometry(), QRect(866, 2, 20, 17));
  EXPECT_EQ(stop->toolTip(), QStringLiteral("Stop"));
  EXPECT_FALSE(stop->icon().isNull());
  EXPECT_FALSE(stop->isEnabled());

  bar.resize(1200, TStatusBar::bar_height);
  QApplication::processEvents();
  EXPECT_EQ(stop->geometry(), QRect(1200 - 26, 2, 20, 17));
  EXPECT_EQ(stop->x(), 250 + bar.panel_width(2) + 4);
}

TEST(StatusBar, StopButtonIconIsARedSquare) {
  TStatusBar bar;
  const QImage icon = bar.stop_button()->icon().pixmap(10, 10).toImage();
  const QRgb centre = icon.pixel(5, 5);
  EXPECT_GT(qRed(centre), 150);
  EXPECT_LT(qGreen(centre), 60);
  EXPECT_LT(qBlue(centre), 60);
}

TEST(StatusBar, StopButtonClicksOnlyWhenEnabled) {
  TStatusBar bar;
  bar.show();
  QToolButton* stop = bar.stop_button();
  QSignalSpy clicks(stop, &QToolButton::clicked);

  QTest::mouseClick(stop, Qt::LeftButton);
  EXPECT_EQ(clicks.count(), 0);

  stop->setEnabled(true);
  QTest::mouseClick(stop, Qt::LeftButton);
  EXPECT_EQ(clicks.count(), 1);
}

TEST(StatusBar, TextPanelsHoldTheirText) {
  TStatusBar bar;
  bar.set_panel_text(0, QStringLiteral("Version 2.1.6.0"));
  bar.set_panel_text(1, QStringLiteral("Fixing files..."));
  EXPECT_EQ(bar.panel_text(0), QStringLiteral("Version 2.1.6.0"));
  EXPECT_EQ(bar.panel_text(1), QStringLiteral("Fixing files..."));

  bar.set_panel_text(1, QStringLiteral("Ready"));
  EXPECT_EQ(bar.panel_text(0), QStringLiteral("Version 2.1.6.0"));
  EXPECT_EQ(bar.panel_text(1), QStringLiteral("Ready"));

  // The progress and Stop panels carry no text.
  bar.set_panel_text(2, QStringLiteral("x"));
  EXPECT_TRUE(bar.panel_text(2).isEmpty());
}

TEST(StatusBar, ProgressPanelStartsEmptyOverAPercentRange) {
  TStatusBar bar;
  TGradientProgressBar* progress = bar.progress_bar();
  EXPECT_EQ(progress->minimum(), 0);
  EXPECT_EQ(progress->maximum(), 100);
  EXPECT_EQ(progress->value(), 0);
  EXPECT_EQ(progress->toolTip(), QStringLiteral("Progress bar"));
  progress->setValue(42);
  EXPECT_EQ(bar.progress_bar()->value(), 42);
}

TEST(GradientProgressBar, FilledPartRunsFromLightToDarkBlue) {
  TGradientProgressBar bar;
  const int width = 402;  // 400 inside a one-pixel border
  const QImage image = render(bar, width, 50);
  const int row = 2;  // above the text
  const int fill_end = 1 + 200;

  const QRgb left = image.pixel(2, row);
  const QRgb right = image.pixel(fill_end - 2, row);
  EXPECT_LT(colour_distance(left, TGradientProgressBar::fill_start), 15)
      << std::hex << left;
  EXPECT_LT(colour_distance(right, TGradientProgressBar::fill_end), 15) << std::hex << right;

  // Smooth: the middle of the fill lies between the two ends.
  const QRgb middle = image.pixel(1 + 100, row);
  EXPECT_LT(colour_distance(middle, qRgb(46, 95, 180)), 15) << std::hex << middle;

  // Past the position nothing is blue.
  for (int x = fill_end + 2; x < width - 2; x += 7) {
    const QRgb c = image.pixel(x, row);
    EXPECT_GT(colour_distance(c, TGradientProgressBar::fill_start), 60) << x;
    EXPECT_GT(colour_distance(c, TGradientProgressBar::fill_end), 60) << x;
  }
}

TEST(GradientProgressBar, NothingIsFilledAtZero) {
  TGradientProgressBar bar;
  const QImage image = render(bar, 202, 0);
  for (int x = 2; x < 200; x += 5) {
    EXPECT_GT(colour_distance(image.pixel(x, 2), TGradientProgressBar::fill_start), 60) << x;
  }
}

TEST(GradientProgressBar, PercentageIsWhiteAndCentred) {
  TGradientProgressBar bar;
  const int width = 302;
  const QImage image = render(bar, width, 100);
  long sum_x = 0;
  int whites = 0;
  for (int y = 1; y < image.height() - 1; ++y) {
    for (int x = 1; x < width - 1; ++x) {
      if (is_white(image.pixel(x, y))) {
        sum_x += x;
        ++whites;
      }
    }
  }
  ASSERT_GT(whites, 10);
  const double centre = double(sum_x) / whites;
  EXPECT_NEAR(centre, width / 2.0, 8.0);

  // Without its text the full bar has no white at all.
  bar.setTextVisible(false);
  const QImage plain = render(bar, width, 100);
  for (int x = 1; x < width - 1; ++x) EXPECT_FALSE(is_white(plain.pixel(x, 9))) << x;
}
