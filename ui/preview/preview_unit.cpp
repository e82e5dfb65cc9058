// TPreviewForm: the modal preview window that plays a file, sized to its
// picture, for the main window's Preview command.
#include "ui/preview/preview_unit.h"

#include <QGuiApplication>
#include <QMargins>
#include <QPalette>
#include <QRect>
#include <QScreen>
#include <QShowEvent>
#include <QTimer>
#include <QString>
#include <QWindow>
#include <algorithm>

#include "platform/lang.h"
#include "platform/message_ids.h"
#include "ui/about/VersionInfoUnit.h"

TPreviewForm::TPreviewForm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      MediaPlayer(this) {
  setModal(true);
  setFixedSize(client_width, client_height);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, pal.color(QPalette::Button));
  setPalette(pal);
  setAutoFillBackground(true);
  MediaPlayer.setObjectName(QStringLiteral("MediaPlayer"));
  MediaPlayer.setDisplay(this);
  FormCreate();
}

void TPreviewForm::FormCreate() {
  const QString product = version_info != nullptr ? version_info->ProductName() : QString();
  setWindowTitle(product + QStringLiteral(" -  ") + QString::fromStdString(message(msg_preview_title)));
}

void TPreviewForm::FormCloseQuery(bool& can_close) {
  // Nothing is open when a failed Open left the window unshown.
  if (MediaPlayer.is_open()) {
    MediaPlayer.Stop();
    MediaPlayer.Close();
  }
  can_close = true;
}

void TPreviewForm::done(int result) {
  // Escape, the close box and close() all end here.
  bool can_close = true;
  FormCloseQuery(can_close);
  if (!can_close) return;
  if (isVisible()) {
    last_position_ = pos();
    last_margins_ = frame_margins();
    shown_before_ = true;
  }
  QDialog::done(result);
}

QMargins TPreviewForm::frame_margins() {
  winId();
  const QWindow* native = windowHandle();
  const QMargins platform = native != nullptr ? native->frameMargins() : QMargins();
  return platform.isNull() ? last_margins_ : platform;
}

QRect TPreviewForm::initial_outer_rect() {
  return QRect(0, 0, client_width, client_height).marginsAdded(frame_margins());
}

void TPreviewForm::show_media(const std::string& path) {
  MediaPlayer.setFileName(QString::fromStdString(path));
  MediaPlayer.Open();

  // The picture's size is the window's outer size; without a picture the
  // window keeps its first client size.
  QRect rect = initial_outer_rect();
  const bool picture = MediaPlayer.DisplayRect(rect);
  const QMargins frame = frame_margins();
  setFixedWidth(std::max(1, rect.width() - frame.left() - frame.right()));
  wanted_outer_.setWidth(rect.width());
  rect = initial_outer_rect();
  MediaPlayer.DisplayRect(rect);
  setFixedHeight(std::max(1, rect.height() - frame.top() - frame.bottom()));
  wanted_outer_.setHeight(rect.height());
  used_margins_ = frame;
  // Without a picture the client size stays as it is, whatever the frame.
  if (!picture) wanted_outer_ = QSize();

  MediaPlayer.Play();
  place();
  exec();
}

void TPreviewForm::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  refit_tries_ = 0;
  refit_to_frame();
}

void TPreviewForm::refit_to_frame() {
  if (!isVisible()) return;
  const QMargins frame = frame_margins();
  if (frame != used_margins_ && !wanted_outer_.isEmpty()) {
    used_margins_ = frame;
    setFixedSize(std::max(1, wanted_outer_.width() - frame.left() - frame.right()),
                 std::max(1, wanted_outer_.height() - frame.top() - frame.bottom()));
    if (!shown_before_) place();
    return;
  }
  // Window managers take a moment to put their frame around a new window.
  if (++refit_tries_ < 25) QTimer::singleShot(20, this, &TPreviewForm::refit_to_frame);
}

void TPreviewForm::place() {
  if (shown_before_) {
    move(last_position_);
    return;
  }
  const QWidget* owner = parentWidget() != nullptr ? parentWidget()->window() : nullptr;
  QRect area;
  if (owner != nullptr) {
    area = owner->frameGeometry();
  } else if (const QScreen* shown_on = QGuiApplication::primaryScreen(); shown_on != nullptr) {
    area = shown_on->availableGeometry();
  } else {
    return;
  }
  // A window's position is its frame's, as is the owner's rectangle.
  const QSize outer = size().grownBy(frame_margins());
  move(area.x() + (area.width() - outer.width()) / 2, area.y() + (area.height() - outer.height()) / 2);
}

TPreviewForm* PreviewForm = nullptr;
