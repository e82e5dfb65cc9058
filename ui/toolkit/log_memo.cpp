// The log pane, after Qt's Code Editor example: a QPlainTextEdit with a
// gutter widget that paints the visible blocks' numbers and markers.
#include "ui/toolkit/log_memo.h"

#include <QColor>
#include <QFontDatabase>
#include <QPainter>
#include <QPaintEvent>
#include <QPalette>
#include <QResizeEvent>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>

#include <algorithm>

#include "ui/toolkit/markers.h"

namespace {

constexpr int default_height = 147;
constexpr int right_margin_columns = 80;
// Gutter, left to right: padding, marker, gap, right-aligned number, padding.
constexpr int gutter_left_pad = 2;
constexpr int gutter_gap = 3;
constexpr int gutter_right_pad = 4;
constexpr int min_number_digits = 4;
// A block's user state holds its marker image; Qt's default -1 means none.
constexpr int no_marker = -1;

const QColor right_margin_colour(0xc0, 0xc0, 0xc0);
const QColor number_colour(0x60, 0x60, 0x60);

}  // namespace

TLogGutter::TLogGutter(TLogMemo* memo) : QWidget(memo), memo_(memo) {}

QSize TLogGutter::sizeHint() const { return {memo_->gutter_width(), 0}; }

void TLogGutter::paintEvent(QPaintEvent* event) { memo_->paint_gutter(event); }

TLogMemo::TLogMemo(QWidget* parent) : QPlainTextEdit(parent), gutter_(new TLogGutter(this)) {
  setReadOnly(true);
  // A log is never undone; keeping undo steps would only cost memory.
  setUndoRedoEnabled(false);
  setLineWrapMode(QPlainTextEdit::NoWrap);

  QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  fixed.setPointSize(10);
  setFont(fixed);

  QPalette colours = palette();
  colours.setColor(QPalette::Highlight, QColor(0x00, 0x00, 0x80));
  colours.setColor(QPalette::HighlightedText, Qt::white);
  setPalette(colours);

  connect(this, &QPlainTextEdit::blockCountChanged, this, [this](int) { update_gutter_width(); });
  connect(this, &QPlainTextEdit::updateRequest, this, &TLogMemo::update_gutter);
  update_gutter_width();
}

void TLogMemo::append_line(const QString& text, std::uint8_t kind) {
  QTextDocument* doc = document();
  // Not appendPlainText: it adds no block to a document without characters,
  // so leading empty reports would be merged into one line.
  QTextCursor cursor(doc);
  cursor.movePosition(QTextCursor::End);
  if (has_lines_) cursor.insertBlock();
  const int first = cursor.blockNumber();
  cursor.insertText(text);
  has_lines_ = true;

  // Every block this report made gets its state set: a split block may inherit
  // its predecessor's state.
  const int marker = marker_for_kind(kind).value_or(no_marker);
  for (QTextBlock block = doc->findBlockByNumber(first); block.isValid(); block = block.next()) {
    block.setUserState(block.blockNumber() == first ? marker : no_marker);
  }

  // Column 0 of the newest line, scrolled into view; also brings the view
  // back to the left edge after a long line. ensureCursorVisible may leave
  // the last line cut at the bottom edge, so the view goes to the very end.
  cursor.movePosition(QTextCursor::StartOfBlock);
  setTextCursor(cursor);
  ensureCursorVisible();
  verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

int TLogMemo::line_count() const { return has_lines_ ? document()->blockCount() : 0; }

QString TLogMemo::line_text(int index) const {
  if (index < 0 || index >= line_count()) return {};
  return document()->findBlockByNumber(index).text();
}

std::optional<int> TLogMemo::marker_at(int index) const {
  if (index < 0 || index >= line_count()) return std::nullopt;
  const int state = document()->findBlockByNumber(index).userState();
  if (state < 0) return std::nullopt;
  return state;
}

int TLogMemo::number_digits() const {
  int digits = 1;
  for (int n = std::max(1, document()->blockCount()); n >= 10; n /= 10) ++digits;
  return std::max(min_number_digits, digits);
}

int TLogMemo::gutter_width() const {
  const int numbers = fontMetrics().horizontalAdvance(QString(number_digits(), QLatin1Char('9')));
  return gutter_left_pad + marker_size + gutter_gap + numbers + gutter_right_pad;
}

QSize TLogMemo::sizeHint() const { return {QPlainTextEdit::sizeHint().width(), default_height}; }

void TLogMemo::update_gutter_width() {
  // Only a new digit changes the width; most appends cost nothing here.
  const int digits = number_digits();
  if (digits == digits_) return;
  digits_ = digits;
  setViewportMargins(gutter_width(), 0, 0, 0);
  const QRect area = contentsRect();
  gutter_->setGeometry(QRect(area.left(), area.top(), gutter_width(), area.height()));
  gutter_->update();
}

void TLogMemo::update_gutter(const QRect& rect, int dy) {
  if (dy != 0) {
    gutter_->scroll(0, dy);
  } else {
    gutter_->update(0, rect.y(), gutter_->width(), rect.height());
  }
}

void TLogMemo::resizeEvent(QResizeEvent* event) {
  QPlainTextEdit::resizeEvent(event);
  const QRect area = contentsRect();
  gutter_->setGeometry(QRect(area.left(), area.top(), gutter_width(), area.height()));
}

void TLogMemo::paintEvent(QPaintEvent* event) {
  QPlainTextEdit::paintEvent(event);
  // The right margin: where a line of 80 columns ends.
  const qreal column = QFontMetricsF(font()).horizontalAdvance(QLatin1Char('0'));
  const int x = qRound(contentOffset().x() + document()->documentMargin() + right_margin_columns * column);
  QPainter painter(viewport());
  painter.setPen(right_margin_colour);
  painter.drawLine(x, event->rect().top(), x, event->rect().bottom());
}

void TLogMemo::paint_gutter(QPaintEvent* event) {
  QPainter painter(gutter_);
  painter.fillRect(event->rect(), Qt::white);
  if (!has_lines_) return;
  painter.setFont(font());
  painter.setPen(number_colour);

  const int line_height = fontMetrics().height();
  const int number_left = gutter_left_pad + marker_size + gutter_gap;
  const int number_width = gutter_->width() - number_left - gutter_right_pad;

  QTextBlock block = firstVisibleBlock();
  qreal top = blockBoundingGeometry(block).translated(contentOffset()).top();
  while (block.isValid() && top <= event->rect().bottom()) {
    const qreal height = blockBoundingRect(block).height();
    if (block.isVisible() && top + height >= event->rect().top()) {
      const int y = qRound(top);
      painter.drawText(number_left, y, number_width, line_height, Qt::AlignRight | Qt::AlignVCenter,
                       QString::number(block.blockNumber() + 1));
      if (block.userState() >= 0) {
        // Centred on the block's first line, which holds the report's start.
        const int marker_top = y + (line_height - marker_size) / 2;
        painter.drawPixmap(gutter_left_pad, marker_top, marker_image(block.userState()));
      }
    }
    top += height;
    block = block.next();
  }
}
