// Tests of the heading strip: fixed height, its gradient, how its rich text shows and first-line edits.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QString>
#include <cstdlib>
#include <optional>

#include "ui/toolkit/header_label.h"

namespace {

constexpr int label_width = 300;

int colour_distance(QRgb a, QRgb b) {
  return std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) +
         std::abs(qBlue(a) - qBlue(b));
}

bool is_white(QRgb c) { return qRed(c) > 200 && qGreen(c) > 200 && qBlue(c) > 200; }
bool is_red(QRgb c) { return qRed(c) > 180 && qGreen(c) < 80 && qBlue(c) < 80; }

QImage render(THeaderLabel& label, int height) {
  label.resize(label_width, height);
  // One device pixel per logical pixel, so rows and columns are exact.
  return label.grab().toImage().convertToFormat(QImage::Format_RGB32).scaled(label_width, height);
}

struct TExtent {
  int left = -1;
  int top = -1;
  int bottom = -1;
  int count = 0;
};

template <typename Pred>
TExtent find_pixels(const QImage& image, Pred pred) {
  TExtent e;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (!pred(image.pixel(x, y))) continue;
      ++e.count;
      if (e.left < 0 || x < e.left) e.left = x;
      if (e.top < 0) e.top = y;
      e.bottom = y;
    }
  }
  return e;
}

}  // namespace

TEST(HeaderLabel, HeightIsFixedAtConstruction) {
  THeaderLabel list_header(26);
  THeaderLabel log_header(25);
  list_header.resize(label_width, 80);
  EXPECT_EQ(list_header.height(), 26);
  EXPECT_EQ(list_header.minimumHeight(), 26);
  EXPECT_EQ(list_header.maximumHeight(), 26);
  // The text must not stretch it either.
  log_header.set_text_html(QStringLiteral("<font size=\"7\">Huge</font>"));
  log_header.adjustSize();
  EXPECT_EQ(log_header.height(), 25);
}

TEST(HeaderLabel, EmptyLabelIsAVerticalGradient) {
  THeaderLabel label(26);
  const QImage image = render(label, 26);
  for (const int x : {0, label_width / 2, label_width - 1}) {
    EXPECT_LE(colour_distance(image.pixel(x, 0), qRgb(89, 135, 214)), 12) << "x=" << x;
    EXPECT_LE(colour_distance(image.pixel(x, 25), qRgb(3, 56, 147)), 12) << "x=" << x;
  }
  // Darkens steadily downwards, not a two-colour split.
  const QRgb middle = image.pixel(label_width / 2, 13);
  EXPECT_LT(qGreen(middle), 135 - 20);
  EXPECT_GT(qGreen(middle), 56 + 20);
  EXPECT_EQ(find_pixels(image, is_white).count, 0);
}

TEST(HeaderLabel, HeadingTextShowsWhite) {
  THeaderLabel label(26);
  label.set_text_html(THeaderLabel::heading(QStringLiteral("Files")));
  const QImage image = render(label, 26);
  EXPECT_GT(find_pixels(image, is_white).count, 20);
  // The gradient stays visible beside the text.
  EXPECT_LE(colour_distance(image.pixel(label_width - 1, 0), qRgb(89, 135, 214)), 12);

  label.set_text_html(QString());
  EXPECT_EQ(find_pixels(render(label, 26), is_white).count, 0);
}

TEST(HeaderLabel, HeadingIsBoldElevenPointOfTheDesktopFont) {
  THeaderLabel label(26);
  EXPECT_EQ(label.font().family(), QApplication::font().family());
  EXPECT_EQ(label.font().pointSize(), 11);
  EXPECT_TRUE(label.font().bold());
}

TEST(HeaderLabel, HeadingIsIndentedByFourSpaces) {
  THeaderLabel bare(26);
  bare.set_text_html(QStringLiteral("Files"));
  THeaderLabel heading(26);
  heading.set_text_html(THeaderLabel::heading(QStringLiteral("Files")));
  const int bare_left = find_pixels(render(bare, 26), is_white).left;
  const int heading_left = find_pixels(render(heading, 26), is_white).left;
  ASSERT_GE(bare_left, 0);
  const int indent = 4 * QFontMetrics(heading.font()).horizontalAdvance(QLatin1Char(' '));
  EXPECT_NEAR(heading_left - bare_left, indent, 2);
}

TEST(HeaderLabel, HeadingEscapesItsCaption) {
  EXPECT_EQ(THeaderLabel::heading(QStringLiteral("a<b>&")),
            QStringLiteral("&nbsp;&nbsp;&nbsp;&nbsp;a&lt;b&gt;&amp;"));
}

TEST(HeaderLabel, MarkupColourOverridesTheWhite) {
  THeaderLabel label(26);
  label.set_text_html(QStringLiteral("<font color=\"#ff0000\"><i>Red</i></font>"));
  const QImage image = render(label, 26);
  EXPECT_GT(find_pixels(image, is_red).count, 10);
  EXPECT_EQ(find_pixels(image, is_white).count, 0);
}

TEST(HeaderLabel, NewlineShowsAsALineBreak) {
  THeaderLabel one(60);
  one.set_text_html(QStringLiteral("MMMM"));
  THeaderLabel two(60);
  two.set_text_html(QStringLiteral("MMMM\nMMMM"));
  const TExtent a = find_pixels(render(one, 60), is_white);
  const TExtent b = find_pixels(render(two, 60), is_white);
  ASSERT_GT(a.count, 0);
  const int line_height = QFontMetrics(two.font()).height();
  EXPECT_GE((b.bottom - b.top) - (a.bottom - a.top), line_height - 3);
  // The stored text is what was given, not what the label made of it.
  EXPECT_EQ(two.text_html(), QStringLiteral("MMMM\nMMMM"));
}

TEST(HeaderLabel, SetFirstLineKeepsLaterLines) {
  THeaderLabel label(26);
  label.set_text_html(QStringLiteral("<b>Old</b><br>second<br>third"));
  label.set_first_line(QStringLiteral("New"));
  EXPECT_EQ(label.text_html(), QStringLiteral("New<br>second<br>third"));

  label.set_text_html(QStringLiteral("Old\nsecond<br>third"));
  label.set_first_line(QStringLiteral("New"));
  EXPECT_EQ(label.text_html(), QStringLiteral("New\nsecond<br>third"));

  // Whichever break comes first ends the line, in any spelling.
  label.set_text_html(QStringLiteral("Old<BR/>second\nthird"));
  label.set_first_line(QStringLiteral("New"));
  EXPECT_EQ(label.text_html(), QStringLiteral("New<BR/>second\nthird"));
}

TEST(HeaderLabel, SetFirstLineOnASingleLineReplacesAll) {
  THeaderLabel label(26);
  label.set_first_line(THeaderLabel::heading(QStringLiteral("Log")));
  EXPECT_EQ(label.text_html(), THeaderLabel::heading(QStringLiteral("Log")));
  label.set_first_line(QStringLiteral("Other"));
  EXPECT_EQ(label.text_html(), QStringLiteral("Other"));
  // The label shows the edit, not only stores it.
  EXPECT_GT(find_pixels(render(label, 26), is_white).count, 0);
  label.set_first_line(QString());
  EXPECT_EQ(find_pixels(render(label, 26), is_white).count, 0);
}
