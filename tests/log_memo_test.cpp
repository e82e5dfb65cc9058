// Tests of the log pane: lines, markers, scrolling and what it paints.
#include <gtest/gtest.h>

#include <QApplication>
#include <QColor>
#include <QImage>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextLayout>

#include <optional>

#include "engine/reporting.h"
#include "ui/toolkit/log_memo.h"
#include "ui/toolkit/markers.h"

namespace {

void settle(QWidget& widget) {
  widget.show();
  QCoreApplication::processEvents();
  QCoreApplication::processEvents();
}

bool is_blue(QColor c) { return c.blue() > 150 && c.red() < 110 && c.green() < 150; }
bool is_red(QColor c) { return c.red() > 150 && c.green() < 90 && c.blue() < 90; }
bool is_yellow(QColor c) { return c.red() > 200 && c.green() > 170 && c.blue() < 90; }
bool is_white(QColor c) { return c.red() == 255 && c.green() == 255 && c.blue() == 255; }
bool is_dark(QColor c) { return c.red() < 160 && c.green() < 160 && c.blue() < 160; }
bool is_coloured(QColor c) { return is_blue(c) || is_red(c) || is_yellow(c); }

template <typename Pred>
int count_pixels(const QImage& image, const QRect& area, Pred pred) {
  int n = 0;
  const QRect r = area.intersected(image.rect());
  for (int y = r.top(); y <= r.bottom(); ++y) {
    for (int x = r.left(); x <= r.right(); ++x) {
      if (pred(image.pixelColor(x, y))) ++n;
    }
  }
  return n;
}

// The band of the widget's pixels a line occupies, found through the text's
// own layout rather than the gutter's.
QRect line_band(const TLogMemo& memo, int index) {
  QTextCursor cursor(memo.document()->findBlockByNumber(index));
  const QRect caret = memo.cursorRect(cursor);
  const QPoint top = memo.viewport()->mapTo(&memo, caret.topLeft());
  return {0, top.y(), memo.width(), caret.height()};
}

// The gutter's part of a line's band.
QRect gutter_band(const TLogMemo& memo, int index) {
  const QRect band = line_band(memo, index);
  const int left = memo.contentsRect().left();
  return {left, band.top(), memo.gutter_width(), band.height()};
}

}  // namespace

TEST(MarkerImages, AreSixteenPixelsSquareAndCarryTheirColours) {
  for (int i = 0; i < 3; ++i) {
    const QPixmap pixmap = marker_image(i);
    ASSERT_FALSE(pixmap.isNull()) << i;
    EXPECT_EQ(pixmap.size(), QSize(16, 16)) << i;
    const QImage image = pixmap.toImage();
    EXPECT_GT(count_pixels(image, image.rect(), [](QColor c) { return c.alpha() > 0; }), 60) << i;
  }
  const QImage info = marker_image(0).toImage();
  const QImage warning = marker_image(1).toImage();
  const QImage error = marker_image(2).toImage();
  auto opaque = [](auto pred) { return [pred](QColor c) { return c.alpha() == 255 && pred(c); }; };
  EXPECT_GT(count_pixels(info, info.rect(), opaque(is_blue)), 60);
  EXPECT_GT(count_pixels(info, info.rect(), opaque(is_white)), 8);
  EXPECT_EQ(count_pixels(info, info.rect(), opaque(is_red)), 0);
  EXPECT_GT(count_pixels(warning, warning.rect(), opaque(is_yellow)), 30);
  EXPECT_GT(count_pixels(warning, warning.rect(), opaque(is_red)), 10);
  EXPECT_GT(count_pixels(warning, warning.rect(), opaque([](QColor c) { return c.lightness() < 40; })), 6);
  EXPECT_GT(count_pixels(error, error.rect(), opaque(is_red)), 60);
  EXPECT_EQ(count_pixels(error, error.rect(), opaque(is_blue)), 0);
  // Corners stay transparent: the markers sit on the gutter's white.
  EXPECT_EQ(info.pixelColor(0, 0).alpha(), 0);
  EXPECT_EQ(error.pixelColor(15, 15).alpha(), 0);
  EXPECT_TRUE(marker_image(3).isNull());
  EXPECT_TRUE(marker_image(-1).isNull());
}

TEST(MarkerImages, FollowTheMessageKind) {
  EXPECT_EQ(marker_for_kind(mk_information), std::optional<int>(0));
  EXPECT_EQ(marker_for_kind(mk_warning), std::optional<int>(1));
  EXPECT_EQ(marker_for_kind(mk_error), std::optional<int>(2));
  EXPECT_EQ(marker_for_kind(mk_confirmation), std::nullopt);
  EXPECT_EQ(marker_for_kind(mk_plain), std::nullopt);
}

TEST(LogMemo, StartsEmptyAndKeepsLinesInOrderExactly) {
  TLogMemo memo;
  EXPECT_EQ(memo.line_count(), 0);
  memo.append_line(QStringLiteral("  Frames before the damage: 12"), mk_information);
  EXPECT_EQ(memo.line_count(), 1);
  memo.append_line(QString(), mk_plain);
  memo.append_line(QStringLiteral("    indented  twice "), mk_warning);
  ASSERT_EQ(memo.line_count(), 3);
  EXPECT_EQ(memo.line_text(0), QStringLiteral("  Frames before the damage: 12"));
  EXPECT_EQ(memo.line_text(1), QString());
  EXPECT_EQ(memo.line_text(2), QStringLiteral("    indented  twice "));
  EXPECT_EQ(memo.toPlainText(), QStringLiteral("  Frames before the damage: 12\n\n    indented  twice "));
}

TEST(LogMemo, LeadingEmptyLinesAreEachTheirOwnLine) {
  TLogMemo memo;
  memo.append_line(QString(), mk_plain);
  memo.append_line(QString(), mk_error);
  memo.append_line(QStringLiteral(" x"), mk_plain);
  ASSERT_EQ(memo.line_count(), 3);
  EXPECT_EQ(memo.marker_at(1), std::optional<int>(2));
  EXPECT_EQ(memo.line_text(2), QStringLiteral(" x"));
}

TEST(LogMemo, RemembersEachLinesMarker) {
  TLogMemo memo;
  memo.append_line(QStringLiteral(" info"), mk_information);
  memo.append_line(QStringLiteral(" warning"), mk_warning);
  memo.append_line(QStringLiteral(" error"), mk_error);
  memo.append_line(QStringLiteral(" plain"), mk_plain);
  memo.append_line(QStringLiteral(" confirmation"), mk_confirmation);
  memo.append_line(QStringLiteral(" info again"), mk_information);
  EXPECT_EQ(memo.marker_at(0), std::optional<int>(0));
  EXPECT_EQ(memo.marker_at(1), std::optional<int>(1));
  EXPECT_EQ(memo.marker_at(2), std::optional<int>(2));
  EXPECT_EQ(memo.marker_at(3), std::nullopt);
  EXPECT_EQ(memo.marker_at(4), std::nullopt);
  EXPECT_EQ(memo.marker_at(5), std::optional<int>(0));
  EXPECT_EQ(memo.marker_at(6), std::nullopt);
  EXPECT_EQ(memo.marker_at(-1), std::nullopt);
}

TEST(LogMemo, AReportOverSeveralLinesCarriesItsMarkerOnTheFirst) {
  TLogMemo memo;
  memo.append_line(QStringLiteral(" before"), mk_plain);
  memo.append_line(QStringLiteral(" first\n second\n third"), mk_error);
  memo.append_line(QStringLiteral(" after"), mk_plain);
  ASSERT_EQ(memo.line_count(), 5);
  EXPECT_EQ(memo.line_text(1), QStringLiteral(" first"));
  EXPECT_EQ(memo.line_text(3), QStringLiteral(" third"));
  EXPECT_EQ(memo.marker_at(1), std::optional<int>(2));
  EXPECT_EQ(memo.marker_at(2), std::nullopt);
  EXPECT_EQ(memo.marker_at(3), std::nullopt);
  EXPECT_EQ(memo.marker_at(4), std::nullopt);
}

TEST(LogMemo, ShowsTheNewestLineAfterManyAppends) {
  TLogMemo memo;
  memo.resize(500, 147);
  settle(memo);
  for (int i = 0; i < 500; ++i) memo.append_line(QStringLiteral("  line %1").arg(i + 1), mk_plain);
  QCoreApplication::processEvents();
  const QScrollBar* bar = memo.verticalScrollBar();
  EXPECT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum());
  const QRect last = memo.cursorRect(QTextCursor(memo.document()->lastBlock()));
  EXPECT_TRUE(memo.viewport()->rect().contains(last)) << last.y() << " in " << memo.viewport()->height();
  EXPECT_EQ(memo.textCursor().blockNumber(), 499);
  EXPECT_EQ(memo.textCursor().positionInBlock(), 0);
}

TEST(LogMemo, ComesBackToTheLeftEdgeAfterALongLine) {
  TLogMemo memo;
  memo.resize(400, 147);
  settle(memo);
  memo.append_line(QString(1000, QLatin1Char('w')), mk_plain);
  // Scrolled right, as a user reading the long line would.
  memo.horizontalScrollBar()->setValue(memo.horizontalScrollBar()->maximum());
  memo.append_line(QStringLiteral(" next"), mk_plain);
  QCoreApplication::processEvents();
  EXPECT_EQ(memo.horizontalScrollBar()->value(), 0);
}

TEST(LogMemo, IgnoresTyping) {
  TLogMemo memo;
  settle(memo);
  memo.append_line(QStringLiteral(" one"), mk_plain);
  memo.append_line(QStringLiteral(" two"), mk_error);
  memo.setFocus();
  QTest::keyClicks(&memo, QStringLiteral("abc"));
  QTest::keyClick(&memo, Qt::Key_Return);
  QTest::keyClick(&memo, Qt::Key_Backspace);
  QTest::keyClick(&memo, Qt::Key_Delete);
  QTest::keyClick(&memo, Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(memo.toPlainText(), QStringLiteral(" one\n two"));
  EXPECT_EQ(memo.line_count(), 2);
}

TEST(LogMemo, DoesNotWrapLongLines) {
  TLogMemo memo;
  memo.resize(300, 147);
  settle(memo);
  const QString wide(1000, QLatin1Char('x'));
  memo.append_line(wide, mk_plain);
  QCoreApplication::processEvents();
  EXPECT_EQ(memo.line_count(), 1);
  EXPECT_EQ(memo.line_text(0), wide);
  EXPECT_EQ(memo.document()->firstBlock().layout()->lineCount(), 1);
  EXPECT_GT(memo.horizontalScrollBar()->maximum(), 0);
}

TEST(LogMemo, UsesATenPointFixedPitchFontAndADefaultHeight) {
  TLogMemo memo;
  EXPECT_EQ(memo.font().pointSize(), 10);
  const QFontMetrics metrics(memo.font());
  EXPECT_EQ(metrics.horizontalAdvance(QLatin1Char('i')), metrics.horizontalAdvance(QLatin1Char('W')));
  EXPECT_EQ(memo.sizeHint().height(), 147);
}

TEST(LogMemo, GutterFitsFourDigitsAndGrowsForMore) {
  TLogMemo memo;
  const QFontMetrics metrics(memo.font());
  const int four = memo.gutter_width();
  EXPECT_GE(four, 16 + metrics.horizontalAdvance(QStringLiteral("9999")));
  // The text starts right of the gutter.
  settle(memo);
  EXPECT_GE(memo.viewport()->geometry().left(), four);
  for (int i = 0; i < 10000; ++i) memo.append_line(QString(), mk_plain);
  EXPECT_GE(memo.gutter_width(), 16 + metrics.horizontalAdvance(QStringLiteral("99999")));
  QCoreApplication::processEvents();
  EXPECT_GE(memo.viewport()->geometry().left(), memo.gutter_width());
}

TEST(LogMemo, GutterPaintsMarkersInTheirLinesRows) {
  TLogMemo memo;
  memo.resize(600, 200);
  settle(memo);
  memo.append_line(QStringLiteral(" info"), mk_information);
  memo.append_line(QStringLiteral(" plain"), mk_plain);
  memo.append_line(QStringLiteral(" error"), mk_error);
  memo.append_line(QStringLiteral(" warning"), mk_warning);
  memo.verticalScrollBar()->setValue(0);
  QCoreApplication::processEvents();
  const QImage shot = memo.grab().toImage();

  const QRect info = gutter_band(memo, 0);
  const QRect plain = gutter_band(memo, 1);
  const QRect error = gutter_band(memo, 2);
  const QRect warning = gutter_band(memo, 3);
  ASSERT_TRUE(shot.rect().contains(warning.bottomLeft()));

  EXPECT_GT(count_pixels(shot, info, is_blue), 40);
  EXPECT_EQ(count_pixels(shot, info, is_red), 0);
  EXPECT_GT(count_pixels(shot, error, is_red), 40);
  EXPECT_EQ(count_pixels(shot, error, is_blue), 0);
  EXPECT_GT(count_pixels(shot, warning, is_yellow), 15);
  EXPECT_EQ(count_pixels(shot, plain, is_coloured), 0);
  // A plain line's marker cell, the gutter's left part, is bare white.
  const QRect plain_cell(plain.left(), plain.top(), 18, plain.height());
  EXPECT_EQ(count_pixels(shot, plain_cell, is_white), plain_cell.width() * plain_cell.height());
}

TEST(LogMemo, GutterNumbersLinesFromOneRightAligned) {
  TLogMemo memo;
  memo.resize(600, 400);
  settle(memo);
  for (int i = 0; i < 12; ++i) memo.append_line(QStringLiteral(" line"), mk_plain);
  memo.verticalScrollBar()->setValue(0);
  QCoreApplication::processEvents();
  const QImage shot = memo.grab().toImage();

  // The extent of the number's ink in a line's gutter band.
  auto ink = [&](int index) {
    const QRect band = gutter_band(memo, index);
    int left = band.right() + 1;
    int right = band.left() - 1;
    for (int y = band.top(); y <= band.bottom(); ++y) {
      for (int x = band.left(); x <= band.right(); ++x) {
        if (!is_dark(shot.pixelColor(x, y))) continue;
        left = std::min(left, x);
        right = std::max(right, x);
      }
    }
    return std::pair{left, right};
  };
  const auto [one_left, one_right] = ink(0);
  const auto [ten_left, ten_right] = ink(9);
  ASSERT_LE(one_left, one_right) << "no number in line 1's gutter";
  ASSERT_LE(ten_left, ten_right) << "no number in line 10's gutter";
  const int digit = QFontMetrics(memo.font()).horizontalAdvance(QLatin1Char('0'));
  // "10" is one digit wider than "1" (no leading zeros); both end in the
  // same column.
  EXPECT_NEAR(ten_right, one_right, 2);
  EXPECT_NEAR((ten_right - ten_left) - (one_right - one_left), digit, 3);
  // Numbers sit right of the marker cell.
  EXPECT_GT(one_left, memo.contentsRect().left() + 16);
}

TEST(LogMemo, DrawsTheRightMarginAtEightyColumns) {
  TLogMemo memo;
  memo.resize(1200, 200);
  settle(memo);
  memo.append_line(QString(100, QLatin1Char(' ')), mk_plain);
  QCoreApplication::processEvents();
  QTextCursor at80(memo.document()->firstBlock());
  at80.setPosition(80);
  const int expected = memo.viewport()->mapTo(&memo, memo.cursorRect(at80).topLeft()).x();

  const QImage shot = memo.grab().toImage();
  const QRect view = memo.viewport()->geometry();
  // Columns of the text area painted top to bottom in a grey line colour.
  std::vector<int> lines;
  for (int x = view.left(); x <= view.right(); ++x) {
    const QRect column(x, view.top(), 1, view.height());
    auto grey = [](QColor c) { return c != QColor(Qt::white) && c.red() == c.green() && c.green() == c.blue() && c.red() > 100; };
    if (count_pixels(shot, column, grey) == view.height()) lines.push_back(x);
  }
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NEAR(lines.front(), expected, 2);
}

TEST(LogMemo, PaintsSelectedTextWhiteOnNavy) {
  TLogMemo memo;
  memo.resize(600, 200);
  settle(memo);
  memo.append_line(QStringLiteral(" WWWWWWWWWWWWWWWWWWWW"), mk_plain);
  QTextCursor all(memo.document());
  all.select(QTextCursor::Document);
  memo.setTextCursor(all);
  QCoreApplication::processEvents();
  const QImage shot = memo.grab().toImage();
  const QRect band = line_band(memo, 0).intersected(memo.viewport()->geometry());
  EXPECT_GT(count_pixels(shot, band, [](QColor c) { return c == QColor(0, 0, 128); }), 100);
  EXPECT_GT(count_pixels(shot, band, is_white), 20);
  // No black text left in the selection.
  EXPECT_EQ(count_pixels(shot, band, [](QColor c) { return c.lightness() < 20; }), 0);
}
