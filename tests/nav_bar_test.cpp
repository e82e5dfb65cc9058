// Tests of the navigation bar, its picture buttons and the pictures drawn for them.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QImage>
#include <QSignalSpy>
#include <QTest>

#include <array>
#include <cstdlib>

#include "ui/toolkit/button_pictures.h"
#include "ui/toolkit/nav_bar.h"
#include "ui/toolkit/picture_button.h"

namespace {

constexpr std::array all_pictures{TButtonPicture::add,   TButtonPicture::remove,
                                  TButtonPicture::fix,   TButtonPicture::check,
                                  TButtonPicture::strip, TButtonPicture::homepage,
                                  TButtonPicture::help,  TButtonPicture::about};

int colour_distance(QRgb a, QRgb b) {
  return std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) +
         std::abs(qBlue(a) - qBlue(b));
}

QImage grab_image(QWidget& widget) {
  return widget.grab().toImage().convertToFormat(QImage::Format_RGB32).scaled(widget.size());
}

// Pixels where the picture is opaque and clearly coloured, not grey.
int coloured_pixels(const QImage& image, const QRect& area) {
  int count = 0;
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = area.left(); x <= area.right(); ++x) {
      const QRgb c = image.pixel(x, y);
      const int spread = std::max({qRed(c), qGreen(c), qBlue(c)}) -
                         std::min({qRed(c), qGreen(c), qBlue(c)});
      if (spread > 40) ++count;
    }
  }
  return count;
}

// Delivers the click to whichever widget lies at pos, as the window would.
void click_at(QWidget& top, const QPoint& pos) {
  QWidget* target = top.childAt(pos);
  if (target == nullptr) target = &top;
  QTest::mouseClick(target, Qt::LeftButton, {}, target->mapFrom(&top, pos));
}

}  // namespace

TEST(ButtonPictures, EachIsA32SquareWithSomethingDrawn) {
  for (const TButtonPicture which : all_pictures) {
    const QImage image = button_picture(which).toImage();
    ASSERT_EQ(image.size(), QSize(32, 32)) << static_cast<int>(which);
    int opaque = 0;
    for (int y = 0; y < 32; ++y) {
      for (int x = 0; x < 32; ++x) {
        if (qAlpha(image.pixel(x, y)) > 128) ++opaque;
      }
    }
    // More than a speck, less than a filled square: a shape on a clear ground.
    EXPECT_GT(opaque, 60) << static_cast<int>(which);
    EXPECT_LT(opaque, 32 * 32) << static_cast<int>(which);
    EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0) << static_cast<int>(which);
  }
}

TEST(ButtonPictures, AllDiffer) {
  for (std::size_t i = 0; i < all_pictures.size(); ++i) {
    for (std::size_t j = i + 1; j < all_pictures.size(); ++j) {
      EXPECT_NE(button_picture(all_pictures[i]).toImage(), button_picture(all_pictures[j]).toImage())
          << i << " " << j;
    }
  }
}

TEST(ButtonPictures, AddIsGreenAndRemoveIsRed) {
  const QRgb plus = button_picture(TButtonPicture::add).toImage().pixel(16, 16);
  EXPECT_GT(qGreen(plus), qRed(plus) + 50);
  const QRgb minus = button_picture(TButtonPicture::remove).toImage().pixel(16, 16);
  EXPECT_GT(qRed(minus), qGreen(minus) + 50);
  // The minus is a bar only: nothing above it.
  EXPECT_EQ(qAlpha(button_picture(TButtonPicture::remove).toImage().pixel(16, 5)), 0);
}

TEST(ButtonPictures, RepeatedCallsGiveTheSamePicture) {
  EXPECT_EQ(button_picture(TButtonPicture::fix).toImage(),
            button_picture(TButtonPicture::fix).toImage());
}

TEST(Logo, DrawnAtTheAskedSizeInTheProgramsBlues) {
  const QImage logo = reelwright_logo(128).toImage();
  ASSERT_EQ(logo.size(), QSize(128, 128));
  int blue = 0;
  for (int y = 0; y < 128; y += 2) {
    for (int x = 0; x < 128; x += 2) {
      const QRgb c = logo.pixel(x, y);
      if (qAlpha(c) > 200 && qBlue(c) > qRed(c) + 60) ++blue;
    }
  }
  EXPECT_GT(blue, 200);
  EXPECT_EQ(reelwright_logo(48).size(), QSize(48, 48));
  EXPECT_TRUE(reelwright_logo(0).isNull());
}

TEST(PictureButton, SizeAndCaption) {
  TPictureButton button(button_picture(TButtonPicture::add), QStringLiteral("Add files"));
  EXPECT_EQ(button.size(), QSize(249, 50));
  EXPECT_EQ(button.sizeHint(), QSize(249, 50));
  EXPECT_EQ(button.text(), QStringLiteral("Add files"));
  button.set_caption(QStringLiteral("Remove"));
  EXPECT_EQ(button.text(), QStringLiteral("Remove"));
}

TEST(PictureButton, ClickedOnlyWhileEnabled) {
  TPictureButton button(button_picture(TButtonPicture::fix), QStringLiteral("Fix"));
  button.show();
  QSignalSpy clicks(&button, &QAbstractButton::clicked);
  QTest::mouseClick(&button, Qt::LeftButton);
  EXPECT_EQ(clicks.count(), 1);
  button.setEnabled(false);
  QTest::mouseClick(&button, Qt::LeftButton);
  EXPECT_EQ(clicks.count(), 1);
}

TEST(PictureButton, DrawsPictureLeftAndCaptionRightOnWhite) {
  TPictureButton button(button_picture(TButtonPicture::add), QStringLiteral("Add files"));
  const QImage image = grab_image(button);
  EXPECT_EQ(image.pixel(2, 2), qRgb(255, 255, 255));
  EXPECT_EQ(image.pixel(245, 45), qRgb(255, 255, 255));
  // The green plus's centre at 10 + 16, vertically centred.
  const QRgb centre = image.pixel(26, 25);
  EXPECT_GT(qGreen(centre), qRed(centre) + 50);
  EXPECT_EQ(image.pixel(5, 25), qRgb(255, 255, 255));

  // Dark caption pixels right of the picture, none under it.
  int dark_right = 0;
  for (int y = 0; y < 50; ++y) {
    for (int x = TPictureButton::caption_left; x < 249; ++x) {
      if (qGray(image.pixel(x, y)) < 128) ++dark_right;
    }
  }
  EXPECT_GT(dark_right, 10);
  for (int x = 0; x < 249; ++x) {
    EXPECT_EQ(image.pixel(x, 1), qRgb(255, 255, 255)) << x;
  }
}

TEST(PictureButton, PressedIsDarker) {
  TPictureButton button(button_picture(TButtonPicture::add), QStringLiteral("Add"));
  button.show();
  QTest::mousePress(&button, Qt::LeftButton);
  ASSERT_TRUE(button.isDown());
  const QRgb pressed = grab_image(button).pixel(2, 2);
  QTest::mouseRelease(&button, Qt::LeftButton);
  EXPECT_EQ(pressed, TPictureButton::pressed_colour);
  EXPECT_LT(qGray(pressed), 230);
}

// The hover is a pale fill over the whole button, the focus a dark outline
// near its edge and no fill: the one is never taken for the other.
TEST(PictureButton, TheFocusIsAnOutlineAndTheHoverAFill) {
  QWidget window;
  TPictureButton& button = *new TPictureButton(button_picture(TButtonPicture::add), QStringLiteral("Add"), &window);
  window.show();
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  const QPoint edge(3, 25);
  const QPoint inside(200, 10);
  button.setAttribute(Qt::WA_UnderMouse, false);  // wherever the pointer is
  button.setFocus(Qt::TabFocusReason);
  const QImage focused = grab_image(button);
  button.clearFocus();
  button.setAttribute(Qt::WA_UnderMouse, true);
  const QImage hovered = grab_image(button);
  EXPECT_GT(qGray(hovered.pixel(edge)), 200);
  EXPECT_LT(qGray(focused.pixel(edge)), 110);
  EXPECT_NE(hovered.pixel(inside), qRgb(255, 255, 255));
  EXPECT_EQ(focused.pixel(inside), qRgb(255, 255, 255));
}

TEST(PictureButton, DisabledGreysPictureAndCaption) {
  TPictureButton button(button_picture(TButtonPicture::add), QStringLiteral("Add files"));
  const QRect picture_area(10, 9, 32, 32);
  EXPECT_GT(coloured_pixels(grab_image(button), picture_area), 100);

  button.setEnabled(false);
  const QImage disabled = grab_image(button);
  EXPECT_EQ(coloured_pixels(disabled, picture_area), 0);
  // The caption is still there, only lighter.
  int darkest = 255;
  for (int y = 0; y < 50; ++y) {
    for (int x = TPictureButton::caption_left; x < 249; ++x) {
      darkest = std::min(darkest, qGray(disabled.pixel(x, y)));
    }
  }
  EXPECT_LT(darkest, 235);
  EXPECT_GT(darkest, 60);
}

namespace {

// Two panels like the window's: files and help, each with sections.
struct TBarFixture {
  TNavBar bar;
  TPictureButton* add = new TPictureButton(button_picture(TButtonPicture::add), "Add");
  TPictureButton* fix = new TPictureButton(button_picture(TButtonPicture::fix), "Fix");
  QCheckBox* in_place = new QCheckBox("In place");
  TPictureButton* help = new TPictureButton(button_picture(TButtonPicture::help), "Help");

  TBarFixture() {
    const int files = bar.add_panel("Files");
    const int list = bar.add_section(files, "File list");
    bar.add_to_section(files, list, add);
    const int repair = bar.add_section(files, "Repair");
    bar.add_to_section(files, repair, fix);
    bar.add_to_section(files, repair, in_place);
    const int info = bar.add_panel("Help");
    bar.add_to_section(info, bar.add_section(info, "Help"), help);
    bar.resize(249, 500);
  }
};

}  // namespace

TEST(NavBar, PanelsAndSectionsHoldTheirCaptions) {
  TNavBar bar;
  EXPECT_EQ(bar.open_panel(), -1);
  EXPECT_EQ(bar.add_panel("Files"), 0);
  EXPECT_EQ(bar.add_panel("Help"), 1);
  EXPECT_EQ(bar.open_panel(), 0);
  EXPECT_EQ(bar.add_section(1, "About"), 0);
  EXPECT_EQ(bar.add_section(1, "Links"), 1);
  EXPECT_EQ(bar.add_section(5, "Nowhere"), -1);

  bar.set_panel_caption(1, "Information");
  bar.set_section_caption(1, 0, "About Reelwright");
  EXPECT_EQ(bar.panel_caption(0), "Files");
  EXPECT_EQ(bar.panel_caption(1), "Information");
  EXPECT_EQ(bar.section_caption(1, 0), "About Reelwright");
  EXPECT_EQ(bar.section_caption(1, 1), "Links");
  EXPECT_TRUE(bar.section_caption(0, 0).isEmpty());
  EXPECT_TRUE(bar.panel_caption(2).isEmpty());
  EXPECT_TRUE(bar.section_expanded(1, 0));
}

TEST(NavBar, WidgetsFillTheWidthTopToBottom) {
  TBarFixture f;
  f.bar.show();
  QApplication::processEvents();
  EXPECT_EQ(f.add->width(), 249 - 2);
  EXPECT_EQ(f.add->height(), 50);
  const QPoint add_at = f.add->mapTo(&f.bar, QPoint(0, 0));
  const QPoint fix_at = f.fix->mapTo(&f.bar, QPoint(0, 0));
  const QPoint box_at = f.in_place->mapTo(&f.bar, QPoint(0, 0));
  EXPECT_GT(add_at.y(), f.bar.section_heading_rect(0, 0).bottom());
  EXPECT_LT(add_at.y() + 50, f.bar.section_heading_rect(0, 1).top() + 1);
  EXPECT_GT(fix_at.y(), f.bar.section_heading_rect(0, 1).bottom());
  EXPECT_GE(box_at.y(), fix_at.y() + 50);
}

TEST(NavBar, ClickingATabOpensItsPanel) {
  TBarFixture f;
  f.bar.show();
  QApplication::processEvents();
  EXPECT_EQ(f.bar.open_panel(), 0);
  EXPECT_TRUE(f.add->isVisible());
  EXPECT_FALSE(f.help->isVisible());

  const QRect files_tab = f.bar.tab_rect(0);
  const QRect help_tab = f.bar.tab_rect(1);
  EXPECT_EQ(files_tab.top(), 0);
  EXPECT_FALSE(files_tab.intersects(help_tab));
  EXPECT_EQ(files_tab.width() + help_tab.width(), 249);

  QSignalSpy opened(&f.bar, &TNavBar::open_panel_changed);
  QTest::mouseClick(&f.bar, Qt::LeftButton, {}, help_tab.center());
  EXPECT_EQ(f.bar.open_panel(), 1);
  ASSERT_EQ(opened.count(), 1);
  EXPECT_EQ(opened.at(0).at(0).toInt(), 1);
  EXPECT_TRUE(f.help->isVisible());
  EXPECT_FALSE(f.add->isVisible());
  EXPECT_FALSE(f.in_place->isVisible());

  // The open tab again changes nothing.
  QTest::mouseClick(&f.bar, Qt::LeftButton, {}, help_tab.center());
  EXPECT_EQ(opened.count(), 1);

  // A press on one tab released on another opens neither.
  QTest::mousePress(&f.bar, Qt::LeftButton, {}, help_tab.center());
  QTest::mouseRelease(&f.bar, Qt::LeftButton, {}, files_tab.center());
  EXPECT_EQ(f.bar.open_panel(), 1);

  QTest::mouseClick(&f.bar, Qt::LeftButton, {}, files_tab.center());
  EXPECT_EQ(f.bar.open_panel(), 0);
  EXPECT_TRUE(f.add->isVisible());
  EXPECT_FALSE(f.help->isVisible());
  EXPECT_EQ(opened.count(), 2);
}

TEST(NavBar, ClickingAHeadingFoldsAndUnfoldsItsSection) {
  TBarFixture f;
  f.bar.show();
  QApplication::processEvents();
  const QRect repair = f.bar.section_heading_rect(0, 1);
  ASSERT_FALSE(repair.isEmpty());
  EXPECT_GT(repair.top(), f.bar.section_heading_rect(0, 0).bottom());

  click_at(f.bar, repair.center());
  EXPECT_FALSE(f.bar.section_expanded(0, 1));
  EXPECT_FALSE(f.fix->isVisible());
  EXPECT_FALSE(f.in_place->isVisible());
  // The other section stays as it was.
  EXPECT_TRUE(f.bar.section_expanded(0, 0));
  EXPECT_TRUE(f.add->isVisible());

  click_at(f.bar, repair.center());
  EXPECT_TRUE(f.bar.section_expanded(0, 1));
  EXPECT_TRUE(f.fix->isVisible());
  EXPECT_TRUE(f.in_place->isVisible());
}

TEST(NavBar, FoldingTheTopSectionMovesTheNextUp) {
  TBarFixture f;
  f.bar.show();
  QApplication::processEvents();
  const int before = f.bar.section_heading_rect(0, 1).top();
  click_at(f.bar, f.bar.section_heading_rect(0, 0).center());
  QApplication::processEvents();
  EXPECT_LE(f.bar.section_heading_rect(0, 1).top(), before - 50);
  EXPECT_EQ(f.bar.section_heading_rect(0, 1).top(), f.bar.section_heading_rect(0, 0).bottom() + 1);
}

TEST(NavBar, FoldedSectionStaysFoldedAcrossPanelSwitches) {
  TBarFixture f;
  f.bar.show();
  f.bar.set_section_expanded(0, 1, false);
  f.bar.set_open_panel(1);
  f.bar.set_open_panel(0);
  EXPECT_FALSE(f.fix->isVisible());
  EXPECT_TRUE(f.add->isVisible());
  f.bar.set_section_expanded(0, 1, true);
  EXPECT_TRUE(f.fix->isVisible());
}

TEST(NavBar, TabsCaptionAndHeadingsInTheirColours) {
  TBarFixture f;
  f.bar.show();
  QApplication::processEvents();
  // The keyboard's outline aside: a shown bar puts the focus on its first tab.
  if (QWidget* focused = QApplication::focusWidget()) focused->clearFocus();
  QImage image = grab_image(f.bar);

  // Near the tabs' top and bottom edges, clear of the border and caption text.
  const QRect open = f.bar.tab_rect(0);
  const QRgb open_top = image.pixel(open.left() + 3, open.top() + 2);
  const QRgb open_bottom = image.pixel(open.left() + 3, open.bottom() - 2);
  EXPECT_LT(colour_distance(open_top, TNavBar::tab_open_start), 40) << std::hex << open_top;
  EXPECT_LT(colour_distance(open_bottom, TNavBar::tab_open_end), 40) << std::hex << open_bottom;
  EXPECT_GT(qRed(open_bottom), qBlue(open_bottom) + 100);

  const QRect other = f.bar.tab_rect(1);
  const QRgb other_top = image.pixel(other.left() + 3, other.top() + 2);
  const QRgb other_bottom = image.pixel(other.left() + 3, other.bottom() - 2);
  EXPECT_LT(colour_distance(other_top, TNavBar::tab_start), 40) << std::hex << other_top;
  EXPECT_LT(colour_distance(other_bottom, TNavBar::tab_end), 40) << std::hex << other_bottom;
  EXPECT_GT(qBlue(other_bottom), qRed(other_bottom) + 60);

  // Outer border in the bar's dark blue.
  EXPECT_EQ(image.pixel(0, open.center().y()), TNavBar::border_colour);

  // Caption strip: light blue at its top, dark at its bottom, white text on it.
  const int caption_top = TNavBar::tab_height;
  const int caption_bottom = caption_top + TNavBar::caption_height - 1;
  EXPECT_LT(colour_distance(image.pixel(240, caption_top + 1), TNavBar::caption_start), 40);
  EXPECT_LT(colour_distance(image.pixel(240, caption_bottom - 1), TNavBar::caption_end), 40);
  int white = 0;
  for (int y = caption_top + 1; y < caption_bottom; ++y) {
    for (int x = 1; x < 120; ++x) {
      if (qGray(image.pixel(x, y)) > 230) ++white;
    }
  }
  EXPECT_GT(white, 10);

  const QRect heading = f.bar.section_heading_rect(0, 0);
  EXPECT_LT(colour_distance(image.pixel(heading.center().x(), heading.top() + 1), TNavBar::heading_start), 40);

  // Once the other panel opens, the tabs swap colours.
  f.bar.set_open_panel(1);
  image = grab_image(f.bar);
  EXPECT_LT(colour_distance(image.pixel(other.left() + 3, other.bottom() - 2), TNavBar::tab_open_end), 40);
  EXPECT_LT(colour_distance(image.pixel(open.left() + 3, open.bottom() - 2), TNavBar::tab_end), 40);
}

TEST(NavBar, PressedTabTurnsOrangeUntilReleased) {
  TBarFixture f;
  f.bar.show();
  const QRect other = f.bar.tab_rect(1);
  QTest::mousePress(&f.bar, Qt::LeftButton, {}, other.center());
  const QRgb pressed_top = grab_image(f.bar).pixel(other.left() + 3, other.top() + 2);
  QTest::mouseRelease(&f.bar, Qt::LeftButton, {}, other.center());
  EXPECT_LT(colour_distance(pressed_top, TNavBar::tab_pressed_start), 40) << std::hex << pressed_top;
}

TEST(NavBar, WidthFollowsTheParent) {
  QWidget window;
  TNavBar* bar = new TNavBar(&window);
  bar->add_panel("Files");
  bar->resize(300, 400);
  EXPECT_EQ(bar->tab_rect(0).width(), 300);
  EXPECT_EQ(bar->sizeHint().width(), 249);
}
