// Tests of the message-box seam: the test answerer, and real boxes answered by a timer.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <vector>

#include "engine/reporting.h"
#include "ui/toolkit/message_box.h"

namespace {

// Restores real boxes whatever the test did.
struct TAnswererGuard {
  TAnswererGuard() = default;
  TAnswererGuard(const TAnswererGuard&) = delete;
  TAnswererGuard& operator=(const TAnswererGuard&) = delete;
  ~TAnswererGuard() { set_box_answerer(nullptr); }
};

struct TSeenBox {
  bool found = false;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QString title;
  QString text;
  Qt::TextFormat format = Qt::AutoText;
  QWidget* parent = nullptr;
  int button_count = 0;
  QMessageBox::StandardButton button = QMessageBox::NoButton;
};

enum class TClose { click_ok, press_escape };

// Runs show_box while a timer waits for the modal box, notes what it shows
// and closes it. A box that never turns up fails the test instead of hanging it.
TSeenBox answer_real_box(const std::function<void()>& show_box, TClose how = TClose::click_ok) {
  TSeenBox seen;
  QElapsedTimer clock;
  clock.start();
  QTimer poll;
  poll.setInterval(10);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) {
      if (clock.elapsed() > 5000) {
        // Last resort so the run ends: close any box that is not the modal one.
        for (QWidget* w : QApplication::topLevelWidgets())
          if (auto* stray = qobject_cast<QMessageBox*>(w)) stray->done(0);
      }
      return;
    }
    poll.stop();
    seen.found = true;
    seen.icon = box->icon();
    seen.title = box->windowTitle();
    seen.text = box->text();
    seen.format = box->textFormat();
    seen.parent = box->parentWidget();
    seen.button_count = static_cast<int>(box->buttons().size());
    if (seen.button_count == 1) seen.button = box->standardButton(box->buttons().front());
    if (how == TClose::press_escape) {
      QTest::keyClick(box, Qt::Key_Escape);
    } else if (QAbstractButton* ok = box->button(QMessageBox::Ok)) {
      QTest::mouseClick(ok, Qt::LeftButton);
    } else {
      box->done(0);
    }
  });
  poll.start();
  show_box();
  poll.stop();
  return seen;
}

struct TShown {
  QString text;
  std::uint8_t kind;
};

}  // namespace

TEST(MessageBox, AnswererGetsTextAndKindAndNoBoxAppears) {
  TAnswererGuard guard;
  std::vector<TShown> shown;
  bool modal_seen = false;
  set_box_answerer([&](const QString& text, std::uint8_t kind) {
    shown.push_back({text, kind});
    modal_seen = modal_seen || QApplication::activeModalWidget() != nullptr;
  });
  QWidget parent;
  show_message_box(&parent, QStringLiteral("Disk full"), mk_error);
  show_message_box(nullptr, QStringLiteral("Repaired"), mk_information);
  show_plain_box(QStringLiteral("Starting"));

  ASSERT_EQ(shown.size(), 3U);
  EXPECT_EQ(shown[0].text, QStringLiteral("Disk full"));
  EXPECT_EQ(shown[0].kind, mk_error);
  EXPECT_EQ(shown[1].text, QStringLiteral("Repaired"));
  EXPECT_EQ(shown[1].kind, mk_information);
  EXPECT_EQ(shown[2].text, QStringLiteral("Starting"));
  EXPECT_EQ(shown[2].kind, mk_plain);
  EXPECT_FALSE(modal_seen);
  for (QWidget* w : QApplication::topLevelWidgets())
    EXPECT_EQ(qobject_cast<QMessageBox*>(w), nullptr);
}

TEST(MessageBox, ClearingTheAnswererShowsRealBoxesAgain) {
  TAnswererGuard guard;
  int answered = 0;
  set_box_answerer([&](const QString&, std::uint8_t) { ++answered; });
  set_box_answerer(nullptr);
  const TSeenBox seen =
      answer_real_box([] { show_message_box(nullptr, QStringLiteral("Real"), mk_warning); });
  EXPECT_TRUE(seen.found);
  EXPECT_EQ(answered, 0);
}

TEST(MessageBox, RealBoxesHaveTheKindsIconCaptionAndOnlyOk) {
  struct TCase {
    std::uint8_t kind;
    QMessageBox::Icon icon;
    QString title;
  };
  const std::vector<TCase> cases = {
      {mk_warning, QMessageBox::Warning, QStringLiteral("Warning")},
      {mk_error, QMessageBox::Critical, QStringLiteral("Error")},
      {mk_information, QMessageBox::Information, QStringLiteral("Information")},
      {mk_confirmation, QMessageBox::Question, QStringLiteral("Confirmation")},
      {mk_plain, QMessageBox::NoIcon, QGuiApplication::applicationDisplayName()},
  };
  QWidget parent;
  for (const TCase& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.kind));
    const QString text = QStringLiteral("Message of kind %1").arg(c.kind);
    const TSeenBox seen = answer_real_box([&] { show_message_box(&parent, text, c.kind); });
    ASSERT_TRUE(seen.found);
    EXPECT_EQ(seen.icon, c.icon);
    EXPECT_EQ(seen.title, c.title);
    EXPECT_EQ(seen.text, text);
    EXPECT_EQ(seen.parent, &parent);
    EXPECT_EQ(seen.button_count, 1);
    EXPECT_EQ(seen.button, QMessageBox::Ok);
  }
}

TEST(MessageBox, UnknownKindIsPlain) {
  const TSeenBox seen = answer_real_box([] { show_message_box(nullptr, QStringLiteral("?"), 9); });
  ASSERT_TRUE(seen.found);
  EXPECT_EQ(seen.icon, QMessageBox::NoIcon);
  EXPECT_EQ(seen.button_count, 1);
}

TEST(MessageBox, PlainBoxUsesTheApplicationName) {
  const QString before = QGuiApplication::applicationDisplayName();
  QGuiApplication::setApplicationDisplayName(QStringLiteral("Reelwright Test"));
  const TSeenBox seen = answer_real_box([] { show_plain_box(QStringLiteral("Hello")); });
  QGuiApplication::setApplicationDisplayName(before);
  ASSERT_TRUE(seen.found);
  EXPECT_EQ(seen.title, QStringLiteral("Reelwright Test"));
  EXPECT_EQ(seen.icon, QMessageBox::NoIcon);
  EXPECT_EQ(seen.text, QStringLiteral("Hello"));
  EXPECT_EQ(seen.parent, nullptr);
  EXPECT_EQ(seen.button_count, 1);
  EXPECT_EQ(seen.button, QMessageBox::Ok);
}

TEST(MessageBox, FileNamesAreNotTakenForMarkup) {
  const QString name = QStringLiteral("<b>clip</b>.avi");
  const TSeenBox seen =
      answer_real_box([&] { show_message_box(nullptr, name, mk_error); });
  ASSERT_TRUE(seen.found);
  EXPECT_EQ(seen.text, name);
  EXPECT_EQ(seen.format, Qt::PlainText);
}

TEST(MessageBox, EscapeClosesTheBox) {
  const TSeenBox seen = answer_real_box(
      [] { show_message_box(nullptr, QStringLiteral("Bye"), mk_information); },
      TClose::press_escape);
  EXPECT_TRUE(seen.found);
  // Reaching here means the call returned.
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}
