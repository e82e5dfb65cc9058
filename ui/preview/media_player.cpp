// TMediaPlayer: plays one media file at a time on Qt Multimedia, drawing its
// picture into a display widget, with blocking Open/Stop/Close for the preview.
#include "ui/preview/media_player.h"

#include <QAudioOutput>
#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QMediaMetaData>
#include <QTimer>
#include <QUrl>
#include <QVariant>
#include <QVideoFrame>
#include <QVideoWidget>
#include <vector>

// The player goes before the audio output it plays into.
struct TMediaPlayer::TSession {
  QAudioOutput audio;
  QMediaPlayer player;
};

namespace {

bool is_loaded(QMediaPlayer::MediaStatus status) {
  return status == QMediaPlayer::LoadedMedia || status == QMediaPlayer::BufferingMedia ||
         status == QMediaPlayer::BufferedMedia;
}

}  // namespace

TMediaPlayer::TMediaPlayer(QObject* owner) : QObject(owner) {
  connect(&spare_sink_, &QVideoSink::videoFrameChanged, this, &TMediaPlayer::frame_arrived);
}

TMediaPlayer::~TMediaPlayer() {
  // No event loop here: the owner may be half destroyed already.
  release(false);
  open_ = false;
  delete picture_.data();
}

QString TMediaPlayer::FileName() const { return file_name_; }

void TMediaPlayer::setFileName(const QString& file_name) { file_name_ = file_name; }

QWidget* TMediaPlayer::Display() const { return display_.data(); }

void TMediaPlayer::setDisplay(QWidget* display) {
  if (display == display_.data()) return;
  if (session_ != nullptr) session_->player.setVideoOutput(nullptr);
  if (display_ != nullptr) display_->removeEventFilter(this);
  display_ = display;
  renew_picture();
  if (display_ != nullptr) display_->installEventFilter(this);
  if (session_ != nullptr) session_->player.setVideoOutput(video_output());
}

void TMediaPlayer::renew_picture() {
  delete picture_.data();
  if (display_ == nullptr) return;
  picture_ = new QVideoWidget(display_);
  picture_->setObjectName(QStringLiteral("MediaPlayerPicture"));
  picture_->setVisible(open_);
  connect(picture_->videoSink(), &QVideoSink::videoFrameChanged, this, &TMediaPlayer::frame_arrived);
  fit_picture();
}

QObject* TMediaPlayer::video_output() {
  if (picture_ != nullptr) return picture_.data();
  return &spare_sink_;
}

void TMediaPlayer::fit_picture() {
  if (picture_ != nullptr && display_ != nullptr) picture_->setGeometry(display_->rect());
}

bool TMediaPlayer::eventFilter(QObject* watched, QEvent* event) {
  if (watched == display_.data() && event->type() == QEvent::Resize) fit_picture();
  return QObject::eventFilter(watched, event);
}

void TMediaPlayer::media_error(QMediaPlayer::Error error, const QString& text) {
  if (error == QMediaPlayer::NoError) return;
  QString reported = text.isEmpty() && session_ != nullptr ? session_->player.errorString() : text;
  if (reported.isEmpty()) reported = QStringLiteral("Unknown error code");
  if (open_) {
    last_error_ = reported;
    return;
  }
  // The first report while loading names the cause; later ones only echo it.
  if (opening_error_.isEmpty()) opening_error_ = reported;
}

void TMediaPlayer::frame_arrived(const QVideoFrame& frame) {
  if (frame.isValid()) frame_size_ = frame.size();
}

bool TMediaPlayer::wait_until(const std::function<bool()>& done, int timeout_ms) {
  if (done()) return true;
  if (QCoreApplication::instance() == nullptr || session_ == nullptr) return false;
  QMediaPlayer& player = session_->player;
  QEventLoop loop;
  const auto check = [&loop, &done] {
    if (done()) loop.quit();
  };
  const std::vector<QMetaObject::Connection> links{
      connect(&player, &QMediaPlayer::mediaStatusChanged, &loop, check),
      connect(&player, &QMediaPlayer::playbackStateChanged, &loop, check),
      connect(&player, &QMediaPlayer::errorOccurred, &loop, check),
      connect(&player, &QMediaPlayer::metaDataChanged, &loop, check),
      connect(&player, &QMediaPlayer::hasVideoChanged, &loop, check),
  };
  // Frames come in through queued calls of frame_arrived; a short tick sees them.
  QTimer tick;
  connect(&tick, &QTimer::timeout, &loop, check);
  tick.start(10);
  QTimer::singleShot(timeout_ms, &loop, &QEventLoop::quit);
  if (!done()) loop.exec(QEventLoop::ExcludeUserInputEvents);
  for (const QMetaObject::Connection& link : links) disconnect(link);
  return done();
}

void TMediaPlayer::Open() {
  if (open_) Close();
  release();
  opening_error_.clear();
  last_error_.clear();
  video_size_ = QSize();
  frame_size_ = QSize();
  // Closing a window (Escape, the close box, the window manager's close)
  // destroys its native window and the video picture's with it. The media
  // layer's video window sets up its drawing again only when its size
  // changes, so a picture reused at the same size after a close stays empty
  // and see-through. A new one every time.
  renew_picture();

  session_ = std::make_unique<TSession>();
  QMediaPlayer& player = session_->player;
  player.setAudioOutput(&session_->audio);
  player.setVideoOutput(video_output());
  connect(&player, &QMediaPlayer::errorOccurred, this, &TMediaPlayer::media_error);
  player.setSource(QUrl::fromLocalFile(file_name_));
  const bool settled = wait_until(
      [this, &player] {
        const QMediaPlayer::MediaStatus status = player.mediaStatus();
        // Without a file name nothing starts loading, and nothing will come.
        return !opening_error_.isEmpty() || status == QMediaPlayer::InvalidMedia || is_loaded(status) ||
               (file_name_.isEmpty() && status == QMediaPlayer::NoMedia);
      },
      open_timeout_ms);
  if (!settled || !opening_error_.isEmpty() || !is_loaded(player.mediaStatus())) {
    QString text = opening_error_.isEmpty() ? player.errorString() : opening_error_;
    if (text.isEmpty()) text = QStringLiteral("Unknown error code");
    release();
    throw TMediaPlayerError(text.toStdString());
  }
  open_ = true;
  learn_video_size();
  if (picture_ != nullptr) {
    fit_picture();
    picture_->show();
  }
}

void TMediaPlayer::learn_video_size() {
  QMediaPlayer& player = session_->player;
  if (!player.hasVideo()) return;
  const auto resolution = [&player] { return player.metaData().value(QMediaMetaData::Resolution).toSize(); };
  QSize size = resolution();
  if (size.isEmpty()) {
    // Some streams (MJPEG) carry no resolution tag: pausing shows the first
    // frame, whose size is the picture's; stopping goes back to the start.
    player.pause();
    wait_until([&] { return !frame_size_.isEmpty() || !resolution().isEmpty(); }, frame_timeout_ms);
    size = !frame_size_.isEmpty() ? frame_size_ : resolution();
    player.stop();
  }
  if (!size.isEmpty()) video_size_ = size;
}

void TMediaPlayer::Play() {
  if (!open_) throw TMediaPlayerError(no_device_open_text);
  QMediaPlayer& player = session_->player;
  player.play();
  if (player.error() != QMediaPlayer::NoError) last_error_ = player.errorString();
}

void TMediaPlayer::Stop() {
  if (!open_) throw TMediaPlayerError(no_device_open_text);
  QMediaPlayer& player = session_->player;
  player.stop();
  if (!wait_until([&player] { return player.playbackState() == QMediaPlayer::StoppedState; }, settle_timeout_ms)) {
    last_error_ = QStringLiteral("Playback did not stop");
  }
}

void TMediaPlayer::Close() {
  if (!open_) return;
  release();
  open_ = false;
}

void TMediaPlayer::release(bool wait) {
  video_size_ = QSize();
  if (picture_ != nullptr) picture_->hide();
  if (session_ == nullptr) return;
  QMediaPlayer& player = session_->player;
  player.stop();
  player.setSource(QUrl());
  if (wait &&
      !wait_until([&player] { return player.mediaStatus() == QMediaPlayer::NoMedia; }, settle_timeout_ms)) {
    last_error_ = QStringLiteral("The file was not released");
  }
  // The outputs outlive the player: let go of them before it goes.
  player.setVideoOutput(nullptr);
  player.setAudioOutput(nullptr);
  disconnect(&player, nullptr, this, nullptr);
  session_.reset();
}

bool TMediaPlayer::DisplayRect(QRect& rect) const {
  if (!open_ || !session_->player.hasVideo() || video_size_.isEmpty()) return false;
  rect = QRect(QPoint(0, 0), video_size_);
  return true;
}

bool TMediaPlayer::is_open() const { return open_; }

bool TMediaPlayer::has_video() const { return open_ && session_->player.hasVideo(); }

bool TMediaPlayer::is_playing() const {
  return open_ && session_->player.playbackState() == QMediaPlayer::PlayingState;
}

QString TMediaPlayer::last_error() const { return last_error_; }
