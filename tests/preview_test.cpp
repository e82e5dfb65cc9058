// The media player and the preview window on real AVI files written by
// ffmpeg: opening, the picture's rectangle, the device errors, playback, and
// the window's title, size, placement and closing.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QEvent>
#include <QMediaPlayer>
#include <QPalette>
#include <QVideoFrame>
#include <QVideoSink>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <QVideoWidget>
#include <QWidget>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <utility>
#include <string>
#include <vector>

#include "platform/lang.h"
#include "avi_builder.h"
#include "process_runner.h"
#include "ui/about/VersionInfoUnit.h"
#include "ui/preview/media_player.h"
#include "ui/preview/preview_unit.h"

namespace fs = std::filesystem;
using namespace avitest;

namespace {

// The clips, written once for the whole run.
class TClips {
 public:
  TClips() {
    // MPEG-4 Part 2 with MP3 sound, as most files brought for repair are.
    make("mpeg4.avi", {"-f", "lavfi", "-i", "testsrc=size=320x240:rate=25", "-f", "lavfi", "-i",
                       "sine=frequency=440:sample_rate=44100", "-t", "3", "-c:v", "mpeg4", "-c:a", "libmp3lame",
                       "-b:a", "64k"});
    // MJPEG carries no resolution tag the media layer reports.
    make("mjpeg.avi", {"-f", "lavfi", "-i", "testsrc=size=176x144:rate=25", "-t", "3", "-c:v", "mjpeg"});
    make("audio.avi", {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=22050", "-t", "3", "-c:a", "pcm_s16le"});
    make("short.avi", {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25", "-f", "lavfi", "-i",
                       "sine=frequency=440:sample_rate=44100", "-t", "0.6", "-c:v", "mpeg4", "-c:a", "libmp3lame"});
  }
  [[nodiscard]] std::string operator[](const std::string& name) const { return dir_.file(name).string(); }
  [[nodiscard]] std::string missing() const { return dir_.file("not-there.avi").string(); }
  // Bytes no demuxer recognises.
  [[nodiscard]] std::string garbage() const {
    const fs::path file = dir_.file("garbage.avi");
    if (!fs::exists(file)) {
      TBytes bytes;
      for (int i = 0; i < 4000; ++i) bytes.push_back(static_cast<std::uint8_t>("not a video\n"[i % 12]));
      write_file(file, bytes);
    }
    return file.string();
  }

 private:
  void make(const std::string& name, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(dir_.file(name).string());
    const TProcessResult r = run_process(argv);
    EXPECT_EQ(r.exit.code, 0) << name << ": " << r.err;
  }

  TTempDir dir_;
};

const TClips& clips() {
  static const TClips made;
  return made;
}

QString q(const std::string& s) { return QString::fromStdString(s); }

// Whether this process holds `file` open: the player must let go of it.
bool holds_open(const std::string& file) {
  std::error_code ec;
  const fs::path wanted = fs::weakly_canonical(file, ec);
  for (const fs::directory_entry& fd : fs::directory_iterator("/proc/self/fd", ec)) {
    std::error_code link_ec;
    if (fs::read_symlink(fd.path(), link_ec) == wanted) return true;
  }
  return false;
}

// What the media layer itself first reports for a file it cannot load.
QString media_layer_error(const std::string& file) {
  QMediaPlayer player;
  QString text;
  QObject::connect(&player, &QMediaPlayer::errorOccurred, &player, [&text](QMediaPlayer::Error, const QString& s) {
    if (text.isEmpty()) text = s;
  });
  player.setSource(QUrl::fromLocalFile(q(file)));
  EXPECT_TRUE(QTest::qWaitFor([&] { return !text.isEmpty(); }, 10000)) << file;
  return text;
}

QVideoWidget* picture_of(const QWidget& display) { return display.findChild<QVideoWidget*>(); }

// ---------------------------------------------------------------- the player

class MediaPlayer : public ::testing::Test {
 protected:
  // Declared first, so the player goes before the widget it draws into.
  QWidget display_;
  TMediaPlayer player_;

  void open(const std::string& file) {
    player_.setFileName(q(file));
    player_.Open();
  }
};

TEST_F(MediaPlayer, OpenGivesThePicturesRectangleAndFillsTheDisplay) {
  display_.resize(500, 400);
  display_.show();
  player_.setDisplay(&display_);
  EXPECT_EQ(player_.Display(), &display_);
  const std::map<std::string, QSize> sizes = {{"mpeg4.avi", {320, 240}}, {"mjpeg.avi", {176, 144}}};
  for (const auto& [name, size] : sizes) {
    open(clips()[name]);
    EXPECT_TRUE(player_.is_open()) << name;
    EXPECT_TRUE(player_.has_video()) << name;
    EXPECT_FALSE(player_.is_playing()) << name;
    QRect rect(5, 6, 7, 8);
    EXPECT_TRUE(player_.DisplayRect(rect)) << name;
    EXPECT_EQ(rect, QRect(QPoint(0, 0), size)) << name;
    // The picture is bound to the display and follows its size.
    QVideoWidget* picture = picture_of(display_);
    ASSERT_NE(picture, nullptr);
    EXPECT_FALSE(picture->isHidden()) << name;
    EXPECT_EQ(picture->geometry(), display_.rect());
    display_.resize(size);
    EXPECT_EQ(picture->geometry(), display_.rect());
    player_.Close();
    EXPECT_FALSE(player_.is_open());
    EXPECT_TRUE(picture->isHidden());
  }
}

TEST_F(MediaPlayer, ThePicturesRectangleIsKnownWithoutADisplayToo) {
  open(clips()["mjpeg.avi"]);
  QRect rect;
  EXPECT_TRUE(player_.DisplayRect(rect));
  EXPECT_EQ(rect, QRect(0, 0, 176, 144));
}

TEST_F(MediaPlayer, DisplayRectLeavesTheCallersRectangleAloneWithoutAPicture) {
  const QRect mine(3, 4, 50, 60);
  QRect rect = mine;
  EXPECT_FALSE(player_.DisplayRect(rect));
  EXPECT_EQ(rect, mine);

  open(clips()["audio.avi"]);
  EXPECT_TRUE(player_.is_open());
  EXPECT_FALSE(player_.has_video());
  EXPECT_FALSE(player_.DisplayRect(rect));
  EXPECT_EQ(rect, mine);

  // Nor once a file with a picture has been closed again.
  open(clips()["mpeg4.avi"]);
  player_.Close();
  EXPECT_FALSE(player_.DisplayRect(rect));
  EXPECT_EQ(rect, mine);
}

TEST_F(MediaPlayer, AFileThatCannotBeLoadedRaisesTheMediaLayersTextAndLeavesThePlayerClosed) {
  for (const std::string& bad : {clips().missing(), clips().garbage()}) {
    const QString expected = media_layer_error(bad);
    ASSERT_FALSE(expected.isEmpty()) << bad;
    // An open file is closed first, whatever follows.
    open(clips()["mpeg4.avi"]);
    player_.setFileName(q(bad));
    QElapsedTimer took;
    took.start();
    try {
      player_.Open();
      ADD_FAILURE() << "no error for " << bad;
    } catch (const TMediaPlayerError& e) {
      EXPECT_EQ(q(e.what()), expected);
    }
    EXPECT_LT(took.elapsed(), TMediaPlayer::open_timeout_ms);
    EXPECT_FALSE(player_.is_open());
    EXPECT_FALSE(holds_open(clips()["mpeg4.avi"]));
    EXPECT_FALSE(holds_open(bad));
    EXPECT_THROW(player_.Play(), TMediaPlayerError);

    // The player is usable again at once: the failure's late reports do not reach it.
    open(clips()["mjpeg.avi"]);
    EXPECT_TRUE(player_.is_open());
    QRect rect;
    EXPECT_TRUE(player_.DisplayRect(rect));
    EXPECT_EQ(rect, QRect(0, 0, 176, 144));
    player_.Close();
  }
  // Without a file name at all, without waiting for a timeout.
  player_.setFileName(QString());
  QElapsedTimer took;
  took.start();
  EXPECT_THROW(player_.Open(), TMediaPlayerError);
  EXPECT_LT(took.elapsed(), 1000);
  EXPECT_FALSE(player_.is_open());
}

TEST_F(MediaPlayer, OpeningASecondFileClosesTheFirstAndCloseReleasesIt) {
  const std::string first = clips()["mpeg4.avi"];
  const std::string second = clips()["mjpeg.avi"];
  open(first);
  EXPECT_TRUE(holds_open(first));
  player_.Play();
  open(second);
  EXPECT_FALSE(holds_open(first));
  EXPECT_TRUE(holds_open(second));
  EXPECT_FALSE(player_.is_playing());
  QRect rect;
  player_.DisplayRect(rect);
  EXPECT_EQ(rect, QRect(0, 0, 176, 144));
  player_.Close();
  EXPECT_FALSE(holds_open(second));
  // Closing what is closed does nothing.
  EXPECT_NO_THROW(player_.Close());
  EXPECT_TRUE(player_.last_error().isEmpty()) << player_.last_error().toStdString();
}

TEST_F(MediaPlayer, PlayAndStopWithoutAnOpenDeviceRaise) {
  const auto expect_no_device = [](const std::function<void()>& call) {
    try {
      call();
      ADD_FAILURE() << "no error";
    } catch (const TMediaPlayerError& e) {
      EXPECT_STREQ(e.what(), "No MCI device open");
    }
  };
  expect_no_device([this] { player_.Play(); });
  expect_no_device([this] { player_.Stop(); });
  open(clips()["audio.avi"]);
  player_.Close();
  expect_no_device([this] { player_.Play(); });
  expect_no_device([this] { player_.Stop(); });
}

TEST_F(MediaPlayer, PlayReturnsAtOnceAndStopReturnsStopped) {
  display_.resize(320, 240);
  player_.setDisplay(&display_);
  open(clips()["mpeg4.avi"]);
  QElapsedTimer took;
  took.start();
  player_.Play();
  EXPECT_LT(took.elapsed(), 1000);  // the clip lasts 3 s
  ASSERT_TRUE(QTest::qWaitFor([this] { return player_.is_playing(); }, 2000));
  player_.Stop();
  EXPECT_FALSE(player_.is_playing());
  EXPECT_TRUE(player_.is_open());
  // Playing again after a stop works.
  player_.Play();
  EXPECT_TRUE(QTest::qWaitFor([this] { return player_.is_playing(); }, 2000));
  player_.Close();
  EXPECT_FALSE(player_.is_playing());
  EXPECT_TRUE(player_.last_error().isEmpty()) << player_.last_error().toStdString();
}

TEST_F(MediaPlayer, StopAndCloseAfterTheEndRaiseNothing) {
  open(clips()["short.avi"]);
  player_.Play();
  ASSERT_TRUE(QTest::qWaitFor([this] { return player_.is_playing(); }, 2000));
  ASSERT_TRUE(QTest::qWaitFor([this] { return !player_.is_playing(); }, 8000));
  EXPECT_TRUE(player_.is_open());
  EXPECT_NO_THROW(player_.Stop());
  EXPECT_NO_THROW(player_.Close());
  EXPECT_FALSE(player_.is_open());
  EXPECT_TRUE(player_.last_error().isEmpty()) << player_.last_error().toStdString();
}

TEST_F(MediaPlayer, DestructionReleasesAnOpenFile) {
  const std::string file = clips()["mpeg4.avi"];
  {
    TMediaPlayer player;
    player.setDisplay(&display_);
    player.setFileName(q(file));
    player.Open();
    player.Play();
    EXPECT_TRUE(holds_open(file));
  }
  EXPECT_FALSE(holds_open(file));
  EXPECT_EQ(picture_of(display_), nullptr);
}

// ---------------------------------------------------------------- the window

// The English module and the program's version strings, put back afterwards.
class PreviewWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_module_ = lang_module;
    saved_info_ = version_info;
    lang_base = 10000;
    lang_module = load_library(REELWRIGHT_TEST_LANG_EN);
    ASSERT_NE(lang_module, nullptr);
    version_info = new TrpVersionInfo(&owner_);
  }
  void TearDown() override {
    lang_module = saved_module_;
    version_info = saved_info_;
  }

  QObject owner_;

 private:
  TModuleHandle saved_module_ = nullptr;
  TrpVersionInfo* saved_info_ = nullptr;
};

// Runs `act` from inside the window's exec() once it is on screen. Should
// `act` leave it open, the window is closed after a bound and the test fails.
class TWhileShown {
 public:
  TWhileShown(QDialog& window, std::function<void()> act) : window_(window), act_(std::move(act)) {
    QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { tick(); });
    timer_.start(10);
  }
  [[nodiscard]] bool acted() const { return acted_; }

 private:
  void tick() {
    if (!window_.isVisible()) return;
    if (!acted_) {
      acted_ = true;
      shown_.start();
      act_();
    } else if (shown_.elapsed() > 10000) {
      ADD_FAILURE() << "the window stayed open";
      window_.reject();
    }
  }

  QDialog& window_;
  std::function<void()> act_;
  QTimer timer_;
  QElapsedTimer shown_;
  bool acted_ = false;
};

// Notes whether the player was playing when the window was shown, and how often.
class TShowWatch final : public QObject {
 public:
  explicit TShowWatch(TPreviewForm& window) : window_(window) { window_.installEventFilter(this); }
  ~TShowWatch() override { window_.removeEventFilter(this); }
  TShowWatch(const TShowWatch&) = delete;
  TShowWatch& operator=(const TShowWatch&) = delete;
  int shows = 0;
  bool playing_at_show = false;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == &window_ && event->type() == QEvent::Show) {
      ++shows;
      playing_at_show = window_.MediaPlayer.is_playing();
    }
    return false;
  }

 private:
  TPreviewForm& window_;
};

TEST_F(PreviewWindow, TitleIsTheProductNameAndMessage23) {
  {
    const TPreviewForm window;
    EXPECT_EQ(window.windowTitle(), "Reelwright -  Preview");
  }
  lang_module = nullptr;
  {
    const TPreviewForm window;
    EXPECT_EQ(window.windowTitle(), "Reelwright -  ");
  }
  version_info = nullptr;
  {
    const TPreviewForm window;
    EXPECT_EQ(window.windowTitle(), " -  ");
  }
}

TEST_F(PreviewWindow, AFixedFrameWithOnlyTheCloseBox) {
  TPreviewForm window;
  EXPECT_EQ(window.size(), QSize(614, 344));
  EXPECT_EQ(window.minimumSize(), window.maximumSize());
  const Qt::WindowFlags flags = window.windowFlags();
  EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
  EXPECT_TRUE(flags.testFlag(Qt::WindowTitleHint));
  EXPECT_TRUE(flags.testFlag(Qt::CustomizeWindowHint));
  EXPECT_FALSE(flags.testFlag(Qt::WindowMinimizeButtonHint));
  EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
  EXPECT_FALSE(flags.testFlag(Qt::WindowContextHelpButtonHint));
  EXPECT_EQ(window.palette().color(QPalette::Window), window.palette().color(QPalette::Button));
  EXPECT_TRUE(window.autoFillBackground());
  EXPECT_EQ(window.MediaPlayer.objectName(), "MediaPlayer");
  EXPECT_EQ(window.MediaPlayer.Display(), &window);
  EXPECT_FALSE(window.MediaPlayer.is_open());
}

TEST_F(PreviewWindow, ShowsTheFileSizedToItsPictureAndPlaysFromBeforeItAppears) {
  QWidget main_window;
  main_window.setGeometry(100, 50, 640, 480);
  main_window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&main_window));
  TPreviewForm window(&main_window);
  TShowWatch watch(window);

  // First showing: centred over the main window; moved, then closed while playing.
  QRect outer;
  bool playing = false;
  bool modal = false;
  bool picture_drawn = false;
  QRect picture;
  TWhileShown first(window, [&] {
    outer = window.frameGeometry();
    playing = window.MediaPlayer.is_playing();
    modal = QApplication::activeModalWidget() == &window;
    if (const QVideoWidget* shown = picture_of(window); shown != nullptr && shown->isVisible()) {
      picture = shown->geometry();
    }
    // The frames go to the picture in this window.
    if (const QVideoWidget* shown = picture_of(window); shown != nullptr) {
      picture_drawn = QTest::qWaitFor(
          [shown] { return shown->videoSink()->videoFrame().size() == QSize(320, 240); }, 2000);
    }
    window.move(37, 55);
    window.close();
  });
  window.show_media(clips()["mpeg4.avi"]);
  ASSERT_TRUE(first.acted());
  EXPECT_EQ(watch.shows, 1);
  EXPECT_TRUE(watch.playing_at_show);
  EXPECT_TRUE(playing);
  EXPECT_TRUE(modal);
  EXPECT_EQ(outer.size(), QSize(320, 240));
  const QRect over = main_window.frameGeometry();
  EXPECT_EQ(outer.topLeft(), QPoint(over.x() + (over.width() - 320) / 2, over.y() + (over.height() - 240) / 2));
  EXPECT_EQ(picture, window.rect());
  EXPECT_TRUE(picture_drawn);
  // Closing stopped and released the file.
  EXPECT_FALSE(window.isVisible());
  EXPECT_FALSE(window.MediaPlayer.is_playing());
  EXPECT_FALSE(window.MediaPlayer.is_open());
  EXPECT_FALSE(holds_open(clips()["mpeg4.avi"]));

  // Second showing: where the first was left, at the new file's size; Escape closes.
  QPoint at;
  TWhileShown second(window, [&] {
    at = window.pos();
    outer = window.frameGeometry();
    playing = window.MediaPlayer.is_playing();
    QTest::keyClick(&window, Qt::Key_Escape);
  });
  window.show_media(clips()["mjpeg.avi"]);
  ASSERT_TRUE(second.acted());
  EXPECT_EQ(watch.shows, 2);
  EXPECT_EQ(at, QPoint(37, 55));
  EXPECT_EQ(outer, QRect(37, 55, 176, 144));
  EXPECT_TRUE(playing);
  EXPECT_FALSE(window.isVisible());
  EXPECT_FALSE(window.MediaPlayer.is_open());
  EXPECT_FALSE(holds_open(clips()["mjpeg.avi"]));
  EXPECT_EQ(window.windowTitle(), "Reelwright -  Preview");
}

TEST_F(PreviewWindow, AFileThatCannotBeOpenedThrowsAndTheWindowStaysHidden) {
  const QString expected = media_layer_error(clips().missing());
  TPreviewForm window;
  TShowWatch watch(window);
  TWhileShown never(window, [&window] { window.reject(); });
  try {
    window.show_media(clips().missing());
    ADD_FAILURE() << "no error";
  } catch (const TMediaPlayerError& e) {
    EXPECT_EQ(q(e.what()), expected);
  }
  EXPECT_FALSE(never.acted());
  EXPECT_EQ(watch.shows, 0);
  EXPECT_FALSE(window.MediaPlayer.is_open());
  EXPECT_EQ(window.size(), QSize(614, 344));
}

TEST_F(PreviewWindow, SoundAloneKeepsTheFirstClientSize) {
  TPreviewForm window;
  // The client size, and the outer one, while the window is shown.
  const auto sizes_while_shown = [&window](const std::string& file) {
    std::pair<QSize, QSize> sizes;
    bool playing = false;
    TWhileShown shown(window, [&] {
      sizes = {window.size(), window.frameGeometry().size()};
      playing = window.MediaPlayer.is_playing();
      window.close();
    });
    window.show_media(file);
    EXPECT_TRUE(shown.acted()) << file;
    EXPECT_TRUE(playing) << file;
    EXPECT_FALSE(window.MediaPlayer.is_open()) << file;
    return sizes;
  };
  EXPECT_EQ(sizes_while_shown(clips()["audio.avi"]).first, QSize(614, 344));
  // Even after a file with a picture changed it.
  EXPECT_EQ(sizes_while_shown(clips()["mpeg4.avi"]).second, QSize(320, 240));
  EXPECT_EQ(sizes_while_shown(clips()["audio.avi"]).first, QSize(614, 344));
}

}  // namespace
