// A heading strip above a list or the log: blue vertical gradient with a line of rich text.
#include "ui/toolkit/header_label.h"

#include <QApplication>
#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPalette>
#include <QRegularExpression>

namespace {

// Where the first line ends: the earliest <br> (any spelling) or '\n'; -1 for none.
qsizetype first_break(const QString& html) {
  static const QRegularExpression line_break(QStringLiteral(R"(<br\s*/?>|\n)"),
                                             QRegularExpression::CaseInsensitiveOption);
  const QRegularExpressionMatch match = line_break.match(html);
  return match.hasMatch() ? match.capturedStart() : -1;
}

}  // namespace

THeaderLabel::THeaderLabel(int height, QWidget* parent) : QLabel(parent) {
  setFixedHeight(height);
  setTextFormat(Qt::RichText);
  setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  setWordWrap(false);
  // The gradient is ours; a filled background would hide it.
  setAutoFillBackground(false);

  // Markup without its own font or colour comes out as a heading.
  QFont heading_font = QApplication::font();
  heading_font.setPointSize(heading_point_size);
  heading_font.setBold(true);
  setFont(heading_font);
  QPalette pal = palette();
  pal.setColor(QPalette::WindowText, Qt::white);
  pal.setColor(QPalette::Text, Qt::white);
  setPalette(pal);
}

QString THeaderLabel::heading(const QString& caption) {
  return QStringLiteral("&nbsp;&nbsp;&nbsp;&nbsp;") + caption.toHtmlEscaped();
}

void THeaderLabel::set_text_html(const QString& html) {
  html_ = html;
  // Rich text takes '\n' for a space; the label shows it as a break.
  QString shown = html;
  shown.replace(QLatin1Char('\n'), QStringLiteral("<br>"));
  setText(shown);
}

QString THeaderLabel::text_html() const { return html_; }

void THeaderLabel::set_first_line(const QString& html) {
  const qsizetype end = first_break(html_);
  set_text_html(end < 0 ? html : html + html_.mid(end));
}

void THeaderLabel::paintEvent(QPaintEvent* event) {
  {
    QPainter painter(this);
    QLinearGradient gradient(0, 0, 0, height() - 1);
    gradient.setColorAt(0.0, QColor(gradient_top));
    gradient.setColorAt(1.0, QColor(gradient_bottom));
    painter.fillRect(rect(), gradient);
  }
  QLabel::paintEvent(event);
}
