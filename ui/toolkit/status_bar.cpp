// The main window's status bar: two text panels, a gradient progress panel and a Stop button.
#include "ui/toolkit/status_bar.h"

#include <QFrame>
#include <QIcon>
#include <QLinearGradient>
#include <QPainter>
#include <QPixmap>
#include <QResizeEvent>
#include <QStyleOptionToolButton>
#include <QStylePainter>
#include <QToolButton>
#include <algorithm>
#include <qdrawutil.h>

#include "ui/toolkit/fit_text.h"
#include "ui/toolkit/focus_outline.h"

// A sunken text panel; a text too long for it is shortened with "…" rather
// than cut off in the middle of a letter.
class TTextPanel final : public QFrame {
 public:
  explicit TTextPanel(QWidget* parent) : QFrame(parent) { setFrameStyle(QFrame::StyledPanel | QFrame::Sunken); }

  void set_text(const QString& text) {
    text_ = text;
    setAccessibleName(text);  // what a label would tell a screen reader
    update();
  }
  [[nodiscard]] QString text() const { return text_; }
  // The panel width that shows `text` whole.
  [[nodiscard]] int width_for(const QString& text) const {
    return 2 * (frameWidth() + indent) + fontMetrics().horizontalAdvance(text);
  }

 protected:
  void paintEvent(QPaintEvent* event) override {
    QFrame::paintEvent(event);
    QPainter painter(this);
    const QRect area = contentsRect().adjusted(indent, 0, -indent, 0);
    painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter, fit_text(fontMetrics(), text_, area.width()));
  }

 private:
  static constexpr int indent = 3;
  QString text_;
};

namespace {

constexpr int stop_button_width = 20;
constexpr int stop_button_height = 17;
// The button's offset inside panel 3 (866 - 862 at the design width 892).
constexpr int stop_button_left = 4;
constexpr int stop_button_top = 2;

QIcon make_stop_icon() {
  QPixmap pixmap(10, 10);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.fillRect(QRect(1, 1, 8, 8), QColor(200, 0, 0));
  painter.setPen(QColor(120, 0, 0));
  painter.drawRect(QRect(1, 1, 7, 7));
  return QIcon(pixmap);
}

// Reached with Tab like the commands; the focus is drawn round the whole
// button, since the style's own frame would cover the small picture.
class TStopButton final : public QToolButton {
 public:
  explicit TStopButton(QWidget* parent) : QToolButton(parent) { setFocusPolicy(Qt::TabFocus); }

 protected:
  void paintEvent(QPaintEvent*) override {
    QStylePainter painter(this);
    QStyleOptionToolButton option;
    initStyleOption(&option);
    option.state &= ~QStyle::State_HasFocus;
    painter.drawComplexControl(QStyle::CC_ToolButton, option);
    if (hasFocus()) draw_focus_outline(painter, rect());
  }
};

}  // namespace

TGradientProgressBar::TGradientProgressBar(QWidget* parent) : QProgressBar(parent) {
  setRange(0, 100);
  setValue(0);
  setTextVisible(true);
  setToolTip(QStringLiteral("Progress bar"));
}

void TGradientProgressBar::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect outer = rect();
  qDrawShadePanel(&painter, outer, palette(), true, 1);
  const QRect inner = outer.adjusted(1, 1, -1, -1);
  painter.fillRect(inner, palette().window());

  const qint64 span = qint64(maximum()) - minimum();
  int filled = 0;
  if (span > 0) {
    const qint64 done = std::clamp<qint64>(qint64(value()) - minimum(), 0, span);
    filled = static_cast<int>(inner.width() * done / span);
  }
  const QRect fill(inner.left(), inner.top(), filled, inner.height());
  if (filled > 0) {
    // The gradient spans the filled part only, so its dark end always
    // marks the current position.
    QLinearGradient gradient(fill.left(), 0, fill.left() + fill.width(), 0);
    gradient.setColorAt(0.0, QColor(fill_start));
    gradient.setColorAt(1.0, QColor(fill_end));
    painter.fillRect(fill, gradient);
  }

  if (!isTextVisible()) return;
  const QString label = text();
  painter.setFont(font());
  // White reads on the blue; over the bare panel the normal text colour does.
  painter.save();
  painter.setClipRect(fill);
  painter.setPen(Qt::white);
  painter.drawText(inner, Qt::AlignCenter, label);
  painter.restore();
  painter.save();
  painter.setClipRect(QRect(fill.right() + 1, inner.top(), inner.width() - filled, inner.height()));
  painter.setPen(palette().color(QPalette::WindowText));
  painter.drawText(inner, Qt::AlignCenter, label);
  painter.restore();
}

TStatusBar::TStatusBar(QWidget* parent)
    : QWidget(parent),
      version_panel_(new TTextPanel(this)),
      state_panel_(new TTextPanel(this)),
      progress_panel_(new TGradientProgressBar(this)),
      stop_panel_(new QFrame(this)),
      stop_button_(new TStopButton(this)) {
  stop_panel_->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);

  stop_button_->setFixedSize(stop_button_width, stop_button_height);
  stop_button_->setIcon(make_stop_icon());
  stop_button_->setIconSize(QSize(10, 10));
  stop_button_->setToolTip(QStringLiteral("Stop"));
  stop_button_->setEnabled(false);
  stop_button_->raise();

  setFixedHeight(bar_height);
  resize(892, bar_height);
  resize_panels(width());
}

void TStatusBar::set_panel_text(int panel, const QString& text) {
  if (panel == 0) version_panel_->set_text(text);
  if (panel == 1) state_panel_->set_text(text);
}

QString TStatusBar::panel_text(int panel) const {
  if (panel == 0) return version_panel_->text();
  if (panel == 1) return state_panel_->text();
  return {};
}

int TStatusBar::panel_width(int panel) const {
  switch (panel) {
    case 0: return version_panel_->width();
    case 1: return state_panel_->width();
    case 2: return progress_panel_->width();
    case 3: return stop_panel_->width();
    default: return 0;
  }
}

void TStatusBar::fit_panel(int panel, const QStringList& texts) {
  if (panel != 0 && panel != 1) return;
  TTextPanel* const shown = panel == 0 ? version_panel_ : state_panel_;
  int width = panel == 0 ? version_panel_width : state_panel_width;
  for (const QString& text : texts) width = std::max(width, shown->width_for(text));
  (panel == 0 ? version_width_ : state_width_) = width;
  resize_panels(this->width());
}

TGradientProgressBar* TStatusBar::progress_bar() const { return progress_panel_; }

QToolButton* TStatusBar::stop_button() const { return stop_button_; }

void TStatusBar::resize_panels(int bar_width) {
  const int progress_width =
      std::max(0, bar_width - version_width_ - state_width_ - stop_panel_width);
  int x = 0;
  version_panel_->setGeometry(x, 0, version_width_, bar_height);
  x += version_width_;
  state_panel_->setGeometry(x, 0, state_width_, bar_height);
  x += state_width_;
  progress_panel_->setGeometry(x, 0, progress_width, bar_height);
  x += progress_width;
  stop_panel_->setGeometry(x, 0, stop_panel_width, bar_height);
  // Over panel 3: that is width - 26 whenever the bar is wide enough for all panels.
  stop_button_->move(x + stop_button_left, stop_button_top);
}

void TStatusBar::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  resize_panels(event->size().width());
}
