// Where the keyboard focus is: a solid dark outline.
#include "ui/toolkit/focus_outline.h"

#include <QApplication>
#include <QPainter>
#include <QPointer>
#include <QProxyStyle>
#include <QStyleOption>

#include "ui/toolkit/palette.h"

namespace {

class TFocusOutlineStyle final : public QProxyStyle {
 public:
  void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override {
    if (element == PE_FrameFocusRect) {
      draw_focus_outline(*painter, option->rect);
      return;
    }
    QProxyStyle::drawPrimitive(element, option, painter, widget);
  }
};

}  // namespace

void draw_focus_outline(QPainter& painter, const QRect& area) {
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing, false);
  QPen pen{QColor(palette::blue_dark)};
  pen.setWidth(2);
  pen.setJoinStyle(Qt::MiterJoin);
  painter.setPen(pen);
  painter.setBrush(Qt::NoBrush);
  // A 2-pixel pen is centred on the path: inset by one so all of it is inside.
  painter.drawRect(QRectF(area).adjusted(1, 1, -1, -1));
  painter.restore();
}

QStyle* focus_outline_style() {
  static QPointer<QStyle> style;
  if (style.isNull()) {
    style = new TFocusOutlineStyle;
    style->setParent(QCoreApplication::instance());
  }
  return style;
}
