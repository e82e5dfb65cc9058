// Button pictures and logo, drawn in code so the program ships no image files.
#include "ui/toolkit/button_pictures.h"

#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QRadialGradient>

#include <array>
#include <cmath>

#include "ui/toolkit/palette.h"

namespace {

constexpr int picture_count = 8;
constexpr int logo_design_size = 128;

const QColor light_blue(palette::blue_light);
const QColor dark_blue(palette::blue_dark);

QImage blank_image(int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  return image;
}

void begin(QPainter& p) {
  p.setRenderHint(QPainter::Antialiasing);
}

// A bevelled disc most pictures sit on, so they share one look.
void draw_disc(QPainter& p, const QColor& light, const QColor& dark) {
  QRadialGradient fill(QPointF(12.0, 10.0), 22.0);
  fill.setColorAt(0.0, light);
  fill.setColorAt(1.0, dark);
  p.setPen(QPen(dark.darker(140), 1.2));
  p.setBrush(fill);
  p.drawEllipse(QRectF(1.5, 1.5, 29.0, 29.0));
}

QImage draw_add() {
  QImage image = blank_image(button_picture_size);
  QPainter p(&image);
  begin(p);
  p.setPen(QPen(QColor(20, 100, 20), 1.2));
  QLinearGradient fill(0, 3, 0, 29);
  fill.setColorAt(0.0, QColor(120, 220, 90));
  fill.setColorAt(1.0, QColor(30, 150, 30));
  p.setBrush(fill);
  QPainterPath plus;
  plus.addRoundedRect(QRectF(12.0, 3.0, 8.0, 26.0), 2.0, 2.0);
  plus.addRoundedRect(QRectF(3.0, 12.0, 26.0, 8.0), 2.0, 2.0);
  // Winding, or the crossing would stay a hole.
  plus.setFillRule(Qt::WindingFill);
  p.drawPath(plus.simplified());
  return image;
}

QImage draw_remove() {
  QImage image = blank_image(button_picture_size);
  QPainter p(&image);
  begin(p);
  p.setPen(QPen(QColor(120, 10, 10), 1.2));
  QLinearGradient fill(0, 12, 0, 20);
  fill.setColorAt(0.0, QColor(250, 110, 100));
  fill.setColorAt(1.0, QColor(200, 20, 20));
  p.setBrush(fill);
  p.drawRoundedRect(QRectF(3.0, 12.0, 26.0, 8.0), 2.0, 2.0);
  return image;
}

// A film frame with sprocket holes; fix puts a green tick over it.
void draw_film_frame(QPainter& p, const QRectF& frame) {
  p.setPen(QPen(QColor(20, 20, 30), 1.0));
  p.setBrush(QColor(45, 45, 55));
  p.drawRoundedRect(frame, 1.5, 1.5);
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  for (double y = frame.top() + 2.0; y + 2.5 < frame.bottom(); y += 4.5) {
    p.drawRect(QRectF(frame.left() + 1.5, y, 2.5, 2.5));
    p.drawRect(QRectF(frame.right() - 4.0, y, 2.5, 2.5));
  }
  p.setBrush(light_blue);
  p.drawRect(QRectF(frame.left() + 5.5, frame.top() + 2.5, frame.width() - 11.0, frame.height() - 5.0));
}

QImage draw_fix() {
  QImage image = blank_image(button_picture_size);
  QPainter p(&image);
  begin(p);
  draw_film_frame(p, QRectF(4.5, 1.5, 23.0, 29.0));
  QPen tick(QColor(10, 110, 10), 5.5);
  tick.setCapStyle(Qt::RoundCap);
  tick.setJoinStyle(Qt::RoundJoin);
  p.setPen(tick);
  const QPolygonF mark({QPointF(8.0, 17.0), QPointF(14.0, 24.0), QPointF(26.0, 8.0)});
  p.drawPolyline(mark);
  tick.setColor(QColor(60, 210, 60));
  tick.setWidthF(3.0);
  p.setPen(tick);
  p.drawPolyline(mark);
  return image;
}

QImage draw_check() {
  QImage image = blank_image(button_picture_size);
  QPainter p(&image);
  begin(p);
  QPen handle(QColor(110, 70, 30), 5.0);
  handle.setCapStyle(Qt::RoundCap);
  p.setPen(handle);
  p.drawLine(QPointF(19.0, 19.0), QPointF(28.0, 28.0));
  QRadialGradient glass(QPointF(10.0, 9.0), 12.0);
  glass.setColorAt(0.0, Qt::white);
  glass.setColorAt(1.0, QColor(170, 205, 245));
  p.setPen(QPen(QColor(70, 70, 80), 3.0));
  p.setBrush(glass);
  p.drawEllipse(QPointF(13.0, 13.0), 9.5, 9.5);
  return image;
}

QImage draw_strip() {
  QImage image = blank_image(button_picture_size);
  QPainter p(&image);
  begin(p);
  // Scissors: two blades crossing, two red finger rings.
  QPen blade(QColor(90, 95, 105), 3.0);
  blade.setCapStyle(Qt::RoundCap);
  p.setPen(blade);
  p.drawLine(QPointF(10.0, 21.0), QPointF(27.0, 3.0));
  p.drawLine(QPointF(22.0, 21.0), QPointF(5.0, 3.0));
  p.setPen(QPen(QColor(190, 20, 20), 2.5));
  p.setBrush(Qt::NoBrush);
  p.drawEllipse(QPointF(8.0, 25.0), 4.5, 4.5);
  p.drawEllipse(QPointF(24.0, 25.0), 4.5, 4.5);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(40, 40, 40));
  p.drawEllipse(QPointF(16.0, 12.5), 1.5, 1.5);
  return image;
}

QImage draw_homepage() {
  QImage image = blank_image(button_picture_size);
  QPainter p(&image);
  begin(p);
  // A globe: blue sea, meridians and parallels.
  QRadialGradient sea(QPointF(11.0, 10.0), 22.0);
  sea.setColorAt(0.0, QColor(140, 200, 255));
  sea.setColorAt(1.0, QColor(20, 80, 180));
  p.setPen(QPen(QColor(10, 50, 120), 1.2));
  p.setBrush(sea);
  const QRectF globe(2.5, 2.5, 27.0, 27.0);
  p.drawEllipse(globe);
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(QColor(230, 240, 255), 1.0));
  p.drawEllipse(QRectF(9.5, 2.5, 13.0, 27.0));
  p.drawLine(QPointF(16.0, 2.5), QPointF(16.0, 29.5));
  p.drawLine(QPointF(2.5, 16.0), QPointF(29.5, 16.0));
  p.drawLine(QPointF(5.0, 9.0), QPointF(27.0, 9.0));
  p.drawLine(QPointF(5.0, 23.0), QPointF(27.0, 23.0));
  return image;
}

// The question mark and the "i" are shapes, not font glyphs, so they look
// the same whatever fonts are installed.
QImage draw_help() {
  QImage image = blank_image(button_picture_size);
  QPainter p(&image);
  begin(p);
  draw_disc(p, QColor(120, 200, 120), QColor(20, 130, 40));
  QPen hook(Qt::white, 3.6);
  hook.setCapStyle(Qt::RoundCap);
  p.setPen(hook);
  p.setBrush(Qt::NoBrush);
  QPainterPath mark;
  mark.moveTo(10.5, 12.0);
  mark.arcTo(QRectF(10.5, 6.0, 11.0, 10.0), 180.0, -250.0);
  mark.quadTo(QPointF(16.0, 16.5), QPointF(16.0, 19.0));
  p.drawPath(mark);
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  p.drawEllipse(QPointF(16.0, 24.5), 2.2, 2.2);
  return image;
}

QImage draw_about() {
  QImage image = blank_image(button_picture_size);
  QPainter p(&image);
  begin(p);
  draw_disc(p, light_blue.lighter(130), dark_blue);
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  p.drawEllipse(QPointF(16.0, 8.5), 2.6, 2.6);
  p.drawRoundedRect(QRectF(13.8, 13.0, 4.4, 13.0), 1.0, 1.0);
  return image;
}

QImage draw_picture(int index) {
  switch (static_cast<TButtonPicture>(index)) {
    case TButtonPicture::add: return draw_add();
    case TButtonPicture::remove: return draw_remove();
    case TButtonPicture::fix: return draw_fix();
    case TButtonPicture::check: return draw_check();
    case TButtonPicture::strip: return draw_strip();
    case TButtonPicture::homepage: return draw_homepage();
    case TButtonPicture::help: return draw_help();
    case TButtonPicture::about: return draw_about();
  }
  return {};
}

// Kept as images, not pixmaps: a static QPixmap would outlive the
// application object that owns the pixmap machinery.
const std::array<QImage, picture_count>& pictures() {
  static const std::array<QImage, picture_count> images = [] {
    std::array<QImage, picture_count> drawn;
    for (int i = 0; i < picture_count; ++i) drawn[static_cast<std::size_t>(i)] = draw_picture(i);
    return drawn;
  }();
  return images;
}

QImage draw_logo() {
  QImage image = blank_image(logo_design_size);
  QPainter p(&image);
  begin(p);
  // A strip of film running diagonally, in the program's blues.
  p.translate(64.0, 64.0);
  p.rotate(-30.0);
  // Short enough that its corners stay inside the square once turned.
  const QRectF strip(-56.0, -25.0, 112.0, 50.0);
  QLinearGradient body(0, strip.top(), 0, strip.bottom());
  body.setColorAt(0.0, light_blue);
  body.setColorAt(1.0, dark_blue);
  p.setPen(QPen(dark_blue.darker(150), 2.0));
  p.setBrush(body);
  p.drawRect(strip);
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  for (double x = strip.left() + 4.0; x + 7.0 < strip.right(); x += 12.0) {
    p.drawRoundedRect(QRectF(x, strip.top() + 3.0, 7.0, 5.0), 1.5, 1.5);
    p.drawRoundedRect(QRectF(x, strip.bottom() - 8.0, 7.0, 5.0), 1.5, 1.5);
  }
  p.setBrush(QColor(200, 222, 252));
  for (double x = -52.0; x < 50.0; x += 36.0) p.drawRect(QRectF(x, -14.0, 32.0, 28.0));

  // Across the middle a tear, mended with a bandage stitched in red thread.
  p.setPen(QPen(QColor(150, 110, 70), 1.5));
  p.setBrush(QColor(240, 205, 160));
  const QRectF bandage(-16.0, -36.0, 32.0, 72.0);
  p.drawRoundedRect(bandage, 8.0, 8.0);
  p.setBrush(QColor(225, 185, 135));
  p.setPen(Qt::NoPen);
  p.drawRoundedRect(QRectF(-9.0, -14.0, 18.0, 28.0), 3.0, 3.0);
  QPen thread(QColor(200, 30, 30), 2.5);
  thread.setCapStyle(Qt::RoundCap);
  p.setPen(thread);
  for (double y = -30.0; y <= 30.0; y += 10.0) {
    if (std::abs(y) < 16.0) continue;
    p.drawLine(QPointF(-11.0, y - 3.0), QPointF(11.0, y + 3.0));
  }
  // The needle, still on its thread.
  p.setPen(QPen(QColor(90, 95, 110), 3.0, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(22.0, -46.0), QPointF(46.0, -10.0));
  p.setPen(QPen(QColor(200, 30, 30), 1.8));
  p.setBrush(Qt::NoBrush);
  QPainterPath loose;
  loose.moveTo(11.0, -27.0);
  loose.quadTo(QPointF(18.0, -55.0), QPointF(24.0, -43.0));
  p.drawPath(loose);
  return image;
}

}  // namespace

QPixmap button_picture(TButtonPicture which) {
  const int index = static_cast<int>(which);
  if (index < 0 || index >= picture_count) return {};
  return QPixmap::fromImage(pictures()[static_cast<std::size_t>(index)]);
}

QPixmap reelwright_logo(int size) {
  if (size < 1) return {};
  static const QImage logo = draw_logo();
  if (size == logo_design_size) return QPixmap::fromImage(logo);
  return QPixmap::fromImage(
      logo.scaled(size, size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
}
