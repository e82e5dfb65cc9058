// TLinkLabel: a plain-text label that looks like a link and reports a left click.
#include "ui/about/link_label.h"

#include <QApplication>
#include <QColor>
#include <QFont>
#include <QMouseEvent>
#include <QPalette>

TLinkLabel::TLinkLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {
  setTextFormat(Qt::PlainText);
  setCursor(Qt::PointingHandCursor);

  QFont link_font = font();
  link_font.setUnderline(true);
  setFont(link_font);

  // The desktop's highlight colour stands in for the active caption colour
  // that links traditionally take; the background stays white like the box.
  const QColor link_colour = QApplication::palette().color(QPalette::Active, QPalette::Highlight);
  QPalette pal = palette();
  for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
    pal.setColor(group, QPalette::WindowText, link_colour);
    pal.setColor(group, QPalette::Window, Qt::white);
  }
  setPalette(pal);
  setAutoFillBackground(true);
}

void TLinkLabel::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    event->accept();
    // The release comes to the label the press was on, wherever the mouse
    // is by then; dragging off the label before letting go cancels the click.
    if (rect().contains(event->position().toPoint())) emit clicked();
    return;
  }
  QLabel::mouseReleaseEvent(event);
}
