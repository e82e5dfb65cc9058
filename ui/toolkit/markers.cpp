// Marker images for the log pane, drawn with QPainter (no image files).
#include "ui/toolkit/markers.h"

#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

#include <array>

#include "platform/message_kind.h"

namespace {

constexpr int marker_count = 3;

QImage blank_image() {
  QImage image(marker_size, marker_size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  return image;
}

QImage draw_information() {
  QImage image = blank_image();
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(0x10, 0x3c, 0x9c), 1.0));
  p.setBrush(QColor(0x25, 0x6c, 0xe0));
  p.drawEllipse(QRectF(0.5, 0.5, 15.0, 15.0));
  // The "i" as shapes, so it looks the same whatever fonts are installed.
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  p.drawEllipse(QPointF(8.0, 4.6), 1.45, 1.45);
  p.drawRoundedRect(QRectF(6.85, 6.7, 2.3, 6.4), 0.6, 0.6);
  return image;
}

QImage draw_warning() {
  QImage image = blank_image();
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  QPen edge(QColor(0xd0, 0x10, 0x10), 1.6);
  edge.setJoinStyle(Qt::RoundJoin);
  p.setPen(edge);
  p.setBrush(QColor(0xff, 0xd8, 0x00));
  p.drawPolygon(QPolygonF({QPointF(8.0, 1.2), QPointF(15.0, 14.6), QPointF(1.0, 14.6)}));
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::black);
  p.drawRoundedRect(QRectF(7.0, 5.2, 2.0, 5.4), 0.6, 0.6);
  p.drawEllipse(QPointF(8.0, 12.3), 1.1, 1.1);
  return image;
}

QImage draw_error() {
  QImage image = blank_image();
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(0x90, 0x00, 0x00), 1.0));
  p.setBrush(QColor(0xd8, 0x14, 0x14));
  p.drawEllipse(QRectF(0.5, 0.5, 15.0, 15.0));
  QPen cross(Qt::white, 2.2);
  cross.setCapStyle(Qt::RoundCap);
  p.setPen(cross);
  p.drawLine(QPointF(5.2, 5.2), QPointF(10.8, 10.8));
  p.drawLine(QPointF(10.8, 5.2), QPointF(5.2, 10.8));
  return image;
}

// Kept as images, not pixmaps: a static QPixmap would outlive the
// application object that owns the pixmap machinery.
const std::array<QImage, marker_count>& marker_images() {
  static const std::array<QImage, marker_count> images{draw_information(), draw_warning(), draw_error()};
  return images;
}

}  // namespace

QPixmap marker_image(int index) {
  if (index < 0 || index >= marker_count) return {};
  return QPixmap::fromImage(marker_images()[static_cast<std::size_t>(index)]);
}

std::optional<int> marker_for_kind(std::uint8_t kind) {
  switch (kind) {
    case mk_information:
      return 0;
    case mk_warning:
      return 1;
    case mk_error:
      return 2;
    default:
      return std::nullopt;
  }
}
