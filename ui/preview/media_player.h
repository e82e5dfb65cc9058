// TMediaPlayer: plays one media file at a time on Qt Multimedia, drawing its
// picture into a display widget, with blocking Open/Stop/Close for the preview.
#pragma once

#include <QMediaPlayer>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QSize>
#include <QString>
#include <QVideoSink>
#include <QWidget>
#include <functional>
#include <memory>
#include <stdexcept>

class QEvent;
class QVideoFrame;
class QVideoWidget;

// The device error: raised by Open when the media cannot be loaded and by
// Play/Stop without an open medium.
class TMediaPlayerError final : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Text of the device error raised by Play and Stop while nothing is open.
inline constexpr const char* no_device_open_text = "No MCI device open";

class TMediaPlayer final : public QObject {
  Q_OBJECT
  Q_PROPERTY(QString FileName READ FileName WRITE setFileName)
  Q_PROPERTY(QWidget* Display READ Display WRITE setDisplay)

 public:
  // Bounds of the waits: loading a file, learning its picture size from the
  // first frame, and a stop or close taking effect.
  static constexpr int open_timeout_ms = 10000;
  static constexpr int frame_timeout_ms = 3000;
  static constexpr int settle_timeout_ms = 3000;

  explicit TMediaPlayer(QObject* owner = nullptr);
  ~TMediaPlayer() override;
  TMediaPlayer(const TMediaPlayer&) = delete;
  TMediaPlayer& operator=(const TMediaPlayer&) = delete;

  // The file the next Open loads.
  [[nodiscard]] QString FileName() const;
  void setFileName(const QString& file_name);

  // The widget the picture fills; the player adds its picture as a child.
  [[nodiscard]] QWidget* Display() const;
  void setDisplay(QWidget* display);

  // Closes what is open, then loads FileName; returns once it is loaded,
  // or raises TMediaPlayerError with the media layer's text, leaving the
  // player closed.
  void Open();
  // Starts playback and returns at once. Raises without an open medium.
  void Play();
  // Stops playback and returns once stopped. Raises without an open medium.
  void Stop();
  // Releases the file and returns once released; nothing while closed.
  void Close();

  // The picture's rectangle (0, 0, width, height) into `rect` while a medium
  // with video is open; otherwise `rect` is left alone. True when written.
  bool DisplayRect(QRect& rect) const;

  [[nodiscard]] bool is_open() const;
  [[nodiscard]] bool has_video() const;
  [[nodiscard]] bool is_playing() const;
  // The last error Play, Stop, Close or playback reported (empty if none).
  [[nodiscard]] QString last_error() const;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void media_error(QMediaPlayer::Error error, const QString& text);
  void frame_arrived(const QVideoFrame& frame);
  // Runs a local event loop until `done` holds or `timeout_ms` passes,
  // waking on every change of the player. True when `done` held.
  bool wait_until(const std::function<bool()>& done, int timeout_ms);
  void fit_picture();
  // Replaces the picture on the display by a new one (none without a display).
  void renew_picture();
  void learn_video_size();
  // Stops, lets go of the file and ends the session; `wait` for the media
  // layer to confirm, which runs an event loop.
  void release(bool wait = true);

  // One per opened file: a failed load keeps reporting for a while after
  // its source is gone, and must not reach the next file's Open.
  struct TSession;

  [[nodiscard]] QObject* video_output();

  // Takes the frames while there is no display, so the size is still learnt.
  QVideoSink spare_sink_;
  std::unique_ptr<TSession> session_;
  QString file_name_;
  QPointer<QWidget> display_;
  QPointer<QVideoWidget> picture_;
  bool open_ = false;
  QSize video_size_;
  QSize frame_size_;
  QString opening_error_;
  QString last_error_;
};
