// A flat navigation-bar button: a 32×32 picture on the left, its caption beside it.
#include "ui/toolkit/picture_button.h"

#include <QImage>
#include <QPainter>

#include <algorithm>

#include "ui/toolkit/fit_text.h"
#include "ui/toolkit/focus_outline.h"

namespace {

// Grey and faded but keeping its alpha, so the outline still reads.
QPixmap greyed(const QPixmap& picture) {
  if (picture.isNull()) return {};
  QImage image = picture.toImage().convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < image.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < image.width(); ++x) {
      const int grey = 128 + qGray(line[x]) / 2;
      line[x] = qRgba(grey, grey, grey, qAlpha(line[x]));
    }
  }
  return QPixmap::fromImage(image);
}

}  // namespace

TPictureButton::TPictureButton(QWidget* parent) : QAbstractButton(parent) {
  // Hover events repaint the button, so the highlight follows the pointer.
  setAttribute(Qt::WA_Hover);
  setCursor(Qt::PointingHandCursor);
  setFocusPolicy(Qt::StrongFocus);
  setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
  resize(button_width, button_height);
}

TPictureButton::TPictureButton(const QPixmap& picture, const QString& caption, QWidget* parent)
    : TPictureButton(parent) {
  set_picture(picture);
  set_caption(caption);
}

void TPictureButton::set_caption(const QString& caption) { setText(caption); }

void TPictureButton::set_picture(const QPixmap& picture) {
  picture_ = picture;
  greyed_picture_ = greyed(picture);
  update();
}

QPixmap TPictureButton::picture() const { return picture_; }

QSize TPictureButton::sizeHint() const { return {button_width, button_height}; }

QSize TPictureButton::minimumSizeHint() const { return {caption_left, button_height}; }

void TPictureButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QRgb fill = background_colour;
  if (isEnabled() && isDown()) {
    fill = pressed_colour;
  } else if (isEnabled() && underMouse()) {
    fill = hover_colour;
  }
  painter.fillRect(rect(), QColor(fill));

  const QPixmap& shown = isEnabled() ? picture_ : greyed_picture_;
  if (!shown.isNull()) {
    const QSize size = shown.deviceIndependentSize().toSize();
    painter.drawPixmap(QRect(QPoint(picture_left, (height() - size.height()) / 2), size), shown);
  }

  // Where the keyboard is: Space presses the button.
  if (hasFocus()) draw_focus_outline(painter, rect().adjusted(2, 2, -2, -2));

  painter.setFont(font());
  painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled,
                                 QPalette::ButtonText));
  const QRect text_area(caption_left, 0, std::max(0, width() - caption_left - 4), height());
  painter.drawText(text_area, Qt::AlignLeft | Qt::AlignVCenter,
                   fit_text(painter.fontMetrics(), text(), text_area.width()));
}
