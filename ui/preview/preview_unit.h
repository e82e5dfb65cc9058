// TPreviewForm: the modal preview window that plays a file, sized to its
// picture, for the main window's Preview command.
#pragma once

#include <QDialog>
#include <QMargins>
#include <QPoint>
#include <QSize>
#include <QWidget>
#include <string>

#include "ui/preview/media_player.h"

class TPreviewForm final : public QDialog {
  Q_OBJECT

 public:
  // The client size before any file (and for files without a picture).
  static constexpr int client_width = 614;
  static constexpr int client_height = 344;

  explicit TPreviewForm(QWidget* parent = nullptr);

  TMediaPlayer MediaPlayer;

  // Sets the title from version_info and the message catalogue. Run once
  // from the constructor; the title never changes afterwards.
  void FormCreate();
  // Every close stops and releases the media first.
  void FormCloseQuery(bool& can_close);

  // Opens `path` (a failure propagates and the window stays hidden), sizes
  // the window to the picture, starts playback, then shows the window
  // modally and returns once it has been closed.
  void show_media(const std::string& path);

  void done(int result) override;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  // A window manager draws its frame only once the window is mapped: the
  // first showing is sized and placed again as soon as the frame is known.
  void refit_to_frame();
  // The frame the window manager puts around the client area: the
  // platform's word once the native window exists, else the last one seen.
  [[nodiscard]] QMargins frame_margins();
  [[nodiscard]] QRect initial_outer_rect();
  void place();

  bool shown_before_ = false;
  QSize wanted_outer_;      // the picture's size, the window's outer size
  QMargins used_margins_;   // the frame the client size was worked out with
  int refit_tries_ = 0;
  QPoint last_position_;
  QMargins last_margins_;
};

// The program's preview window, made by the start-up after the About box; null before that.
extern TPreviewForm* PreviewForm;
