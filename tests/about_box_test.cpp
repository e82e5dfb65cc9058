// Tests of the About box: its texts from the version block, the links it opens,
// its fixed white window, the logo and where each control sits.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QImage>
#include <QScreen>
#include <QTest>
#include <QUrl>
#include <QWidget>
#include <QWindow>
#include <memory>
#include <vector>

#include "ui/about/VersionInfoUnit.h"
#include "ui/about/about_unit.h"
#include "ui/toolkit/shell_open.h"

namespace {

// Installs a version_info and a capturing opener; puts both back afterwards.
class AboutBox : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = version_info;
    set_shell_opener([this](const QUrl& url) { opened_.push_back(url); });
  }
  void TearDown() override {
    set_shell_opener(nullptr);
    version_info = saved_;
  }
  void use_version_block(const char* exe_path) { version_info = new TrpVersionInfo(&owner_, exe_path); }

  QObject owner_;
  std::vector<QUrl> opened_;

 private:
  TrpVersionInfo* saved_ = nullptr;
};

bool is_white(QRgb c) { return qRed(c) == 255 && qGreen(c) == 255 && qBlue(c) == 255; }

}  // namespace

TEST_F(AboutBox, ShowsTheProgramsNameAndVersion) {
  use_version_block(REELWRIGHT_FIX_PATH);
  const TAboutBox box;
  EXPECT_EQ(box.windowTitle(), "Reelwright - About");
  EXPECT_EQ(box.ProductName->text(), "Reelwright");
  EXPECT_EQ(box.VersionLabel->text(), "2.1.6.0");
  EXPECT_EQ(box.VersionLabel->text(), REELWRIGHT_VERSION);
  EXPECT_EQ(box.Version->text(), "Version");
  // Set after construction, so they must have been resized to the new text.
  for (const QLabel* label : {box.ProductName, box.VersionLabel}) {
    EXPECT_GE(label->width(), label->fontMetrics().horizontalAdvance(label->text())) << label->text().toStdString();
  }
}

TEST_F(AboutBox, EmptyStringsWithoutAVersionBlockOrWithoutVersionInfo) {
  use_version_block(REELWRIGHT_TEST_PROBE_PLAIN);
  for (const bool have_instance : {true, false}) {
    if (!have_instance) version_info = nullptr;
    const TAboutBox box;
    EXPECT_EQ(box.windowTitle(), " - About") << have_instance;
    EXPECT_EQ(box.ProductName->text(), "") << have_instance;
    EXPECT_EQ(box.VersionLabel->text(), "") << have_instance;
    // The fixed texts do not depend on the version block.
    EXPECT_EQ(box.Version->text(), "Version");
    EXPECT_EQ(box.SiteLabel->text(), "https://reelwright.example.org/");
  }
}

TEST_F(AboutBox, ShowingAgainKeepsTheTextsFromCreation) {
  use_version_block(REELWRIGHT_FIX_PATH);
  TAboutBox box;
  const auto texts = [&box] {
    return QStringList{box.windowTitle(), box.ProductName->text(), box.VersionLabel->text(), box.Label2->text(),
                       box.Label4->text(), box.SiteLabel->text(), box.Label3->text()};
  };
  box.show();
  const QStringList first = texts();
  box.hide();
  // Even a different instance by now must not change what the box shows.
  version_info = nullptr;
  box.show();
  EXPECT_EQ(texts(), first);
  EXPECT_EQ(first.at(0), "Reelwright - About");
}

TEST_F(AboutBox, LinksOpenExactlyTheirShownTextAndLeaveTheBoxOpen) {
  TAboutBox box;
  box.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&box));
  EXPECT_EQ(box.Label3->text(), "mailto:support@reelwright.example.org");
  // Through the window, as the user's mouse arrives, so the press and the
  // release must both find their way to the label.
  QWindow* window = box.windowHandle();
  for (TLinkLabel* link : {box.SiteLabel, box.Label3}) {
    const QPoint inside = link->geometry().center();
    opened_.clear();
    QTest::mouseClick(window, Qt::LeftButton, {}, inside);
    ASSERT_EQ(opened_.size(), 1U) << link->text().toStdString();
    EXPECT_EQ(opened_.front().toString(), link->text());
    EXPECT_TRUE(box.isVisible());

    // Not a click: another button, or letting go after dragging off the label.
    opened_.clear();
    QTest::mouseClick(window, Qt::RightButton, {}, inside);
    QTest::mousePress(window, Qt::LeftButton, {}, inside);
    QTest::mouseRelease(window, Qt::LeftButton, {}, QPoint(link->geometry().right() + 20, link->y()));
    EXPECT_TRUE(opened_.empty()) << link->text().toStdString();
  }
}

TEST_F(AboutBox, LinksLookLikeLinks) {
  const TAboutBox box;
  const QColor highlight = box.palette().color(QPalette::Active, QPalette::Highlight);
  for (TLinkLabel* link : {box.SiteLabel, box.Label3}) {
    EXPECT_EQ(link->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_TRUE(link->font().underline());
    EXPECT_EQ(link->textFormat(), Qt::PlainText);
    // The underline is drawn solid in the link colour on white.
    const QImage image = link->grab().toImage().convertToFormat(QImage::Format_RGB32);
    int link_coloured = 0;
    for (int y = 0; y < image.height(); ++y) {
      for (int x = 0; x < image.width(); ++x) link_coloured += image.pixel(x, y) == highlight.rgb() ? 1 : 0;
    }
    EXPECT_GT(link_coloured, image.width() / 2) << link->text().toStdString();
    EXPECT_TRUE(is_white(image.pixel(0, 0)));
  }
}

TEST_F(AboutBox, FixedWhiteWindowWithOnlyACloseBoxCentredOnScreen) {
  // A small main window in a corner: the box centres on the screen, not on it.
  QWidget main_window;
  main_window.setGeometry(0, 0, 200, 100);
  main_window.show();
  TAboutBox box(&main_window);
  EXPECT_EQ(box.size(), QSize(448, 148));
  EXPECT_EQ(box.minimumSize(), QSize(448, 148));
  EXPECT_EQ(box.maximumSize(), QSize(448, 148));
  const Qt::WindowFlags flags = box.windowFlags();
  EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
  EXPECT_FALSE(flags.testFlag(Qt::WindowContextHelpButtonHint));
  EXPECT_FALSE(flags.testFlag(Qt::WindowMinimizeButtonHint));
  EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
  EXPECT_TRUE(box.findChildren<QAbstractButton*>().isEmpty());

  box.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&box));
  EXPECT_EQ(box.size(), QSize(448, 148));
  const QRect area = box.screen()->availableGeometry();
  EXPECT_LE((box.frameGeometry().center() - area.center()).manhattanLength(), 2);
  const QImage image = box.grab().toImage();
  for (const QPoint corner : {QPoint(447, 147), QPoint(447, 0), QPoint(150, 147)}) {
    EXPECT_TRUE(is_white(image.pixel(corner))) << corner.x() << "," << corner.y();
  }
  // Escape closes it like the close box.
  QTest::keyClick(&box, Qt::Key_Escape);
  EXPECT_FALSE(box.isVisible());
}

TEST_F(AboutBox, LogoIsAnOpaque128PixelPicture) {
  const TAboutBox box;
  EXPECT_EQ(box.Image->geometry(), QRect(8, 11, 128, 128));
  const QImage shown = box.Image->pixmap().toImage();
  EXPECT_EQ(shown.size(), QSize(128, 128));
  EXPECT_TRUE(shown.format() == QImage::Format_RGB32 || shown.format() == QImage::Format_RGB888) << shown.format();
  EXPECT_FALSE(shown.hasAlphaChannel());
  const QImage logo = box.logo_picture();
  EXPECT_EQ(logo.format(), QImage::Format_RGB888);
  EXPECT_EQ(logo.depth(), 24);
  // Really the logo, composited on white rather than left blank.
  int drawn = 0;
  for (int y = 0; y < logo.height(); ++y) {
    for (int x = 0; x < logo.width(); ++x) drawn += is_white(logo.pixel(x, y)) ? 0 : 1;
  }
  EXPECT_GT(drawn, 128 * 128 / 10);
}

TEST_F(AboutBox, ControlsSitAtTheirPlacesInsideTheBox) {
  use_version_block(REELWRIGHT_FIX_PATH);
  const TAboutBox box;
  const struct {
    const QLabel* label;
    QPoint at;
  } places[] = {{box.ProductName, {156, 19}}, {box.Label2, {313, 56}},   {box.Version, {156, 39}},
                {box.VersionLabel, {206, 39}}, {box.SiteLabel, {156, 104}}, {box.Label3, {156, 120}},
                {box.Label4, {156, 57}},      {box.Image, {8, 11}}};
  for (const auto& place : places) {
    EXPECT_EQ(place.label->pos(), place.at) << place.label->text().toStdString();
    EXPECT_TRUE(box.rect().contains(place.label->geometry())) << place.label->text().toStdString();
    EXPECT_EQ(place.label->size(), place.label->sizeHint()) << place.label->text().toStdString();
  }
  // The word "Version" must not run into the number beside it.
  EXPECT_LE(box.Version->geometry().right(), box.VersionLabel->x());
}
