// The navigation bar down the window's side: panels as tabs, each with collapsible sections.
#include "ui/toolkit/nav_bar.h"

#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPolygonF>
#include <QKeyEvent>
#include <QVBoxLayout>

#include <algorithm>
#include <functional>
#include <utility>

#include "ui/toolkit/fit_text.h"
#include "ui/toolkit/focus_outline.h"

namespace {

QLinearGradient vertical(const QRect& area, QRgb top, QRgb bottom) {
  QLinearGradient gradient(0, area.top(), 0, area.bottom() + 1);
  gradient.setColorAt(0.0, QColor(top));
  gradient.setColorAt(1.0, QColor(bottom));
  return gradient;
}

}  // namespace

// A section's heading: paints its gradient, caption and an arrow telling
// whether the section is open, and reports clicks to the bar.
class TNavSectionHeading final : public QWidget {
 public:
  TNavSectionHeading(const QString& caption, std::function<void()> on_click, QWidget* parent)
      : QWidget(parent), caption_(caption), on_click_(std::move(on_click)) {
    setFixedHeight(TNavBar::section_heading_height);
    setCursor(Qt::PointingHandCursor);
  }

  void set_caption(const QString& caption) {
    caption_ = caption;
    update();
  }
  [[nodiscard]] QString caption() const { return caption_; }

  void set_expanded(bool expanded) {
    expanded_ = expanded;
    update();
  }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  QString caption_;
  std::function<void()> on_click_;
  bool expanded_ = true;
};

void TNavSectionHeading::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), vertical(rect(), TNavBar::heading_start, TNavBar::heading_end));
  painter.setPen(QColor(TNavBar::border_colour));
  painter.drawLine(0, height() - 1, width() - 1, height() - 1);

  QFont bold = font();
  bold.setBold(true);
  painter.setFont(bold);
  painter.setPen(QColor(TNavBar::caption_end));
  const QRect text_area(8, 0, std::max(0, width() - 32), height());
  painter.drawText(text_area, Qt::AlignLeft | Qt::AlignVCenter,
                   fit_text(painter.fontMetrics(), caption_, text_area.width()));

  // Points up while open (click to fold away), down while folded.
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(TNavBar::caption_end));
  const double cx = width() - 14.0;
  const double cy = height() / 2.0;
  const double d = expanded_ ? -1.0 : 1.0;
  painter.drawPolygon(QPolygonF(
      {QPointF(cx - 4.5, cy - 2.5 * d), QPointF(cx + 4.5, cy - 2.5 * d), QPointF(cx, cy + 2.5 * d)}));
}

void TNavSectionHeading::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
    on_click_();
  }
  QWidget::mouseReleaseEvent(event);
}

// A tab's stop for the keyboard: it lies over the tab the bar paints, takes
// no mouse events (the bar handles those), draws the focus outline on the tab
// and opens its panel on Space or Enter.
class TNavTab final : public QWidget {
 public:
  TNavTab(std::function<void()> on_press, QWidget* parent) : QWidget(parent), on_press_(std::move(on_press)) {
    setFocusPolicy(Qt::TabFocus);
    setAttribute(Qt::WA_TransparentForMouseEvents);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    if (!hasFocus()) return;
    QPainter painter(this);
    // Clear of the tab's border, with some of the gradient between, so it
    // does not read as a thicker border.
    draw_focus_outline(painter, rect().adjusted(3, 3, -3, -3));
  }
  void keyPressEvent(QKeyEvent* event) override {
    switch (event->key()) {
      case Qt::Key_Space:
      case Qt::Key_Return:
      case Qt::Key_Enter:
        on_press_();
        return;
      default:
        QWidget::keyPressEvent(event);
    }
  }

 private:
  std::function<void()> on_press_;
};

TNavBar::TNavBar(QWidget* parent) : QWidget(parent) {
  setMouseTracking(true);
  setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
  resize(design_width, 400);
}

// Out of line: the heading type is only complete here.
TNavBar::~TNavBar() = default;

int TNavBar::add_panel(const QString& caption) {
  const int index = panel_count();
  // Made before the panel's body, and each after the tab before it, so the
  // keyboard meets the tabs first and then the open panel's controls.
  auto* tab = new TNavTab([this, index] { set_open_panel(index); }, this);
  tab->setAccessibleName(caption);
  if (index > 0) QWidget::setTabOrder(panels_.back().tab, tab);
  auto* body = new QWidget(this);
  body->setAutoFillBackground(true);
  QPalette white = body->palette();
  white.setColor(QPalette::Window, Qt::white);
  body->setPalette(white);
  auto* layout = new QVBoxLayout(body);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  // Keeps the sections packed at the top however tall the panel is.
  layout->addStretch(1);
  body->hide();
  panels_.push_back(TPanel{caption, tab, body, layout, {}});

  place_bodies();
  if (open_ < 0) set_open_panel(index);
  update();
  return index;
}

void TNavBar::set_panel_caption(int panel, const QString& caption) {
  if (!has_panel(panel)) return;
  panels_[static_cast<std::size_t>(panel)].caption = caption;
  panels_[static_cast<std::size_t>(panel)].tab->setAccessibleName(caption);
  update();
}

QString TNavBar::panel_caption(int panel) const {
  return has_panel(panel) ? panels_[static_cast<std::size_t>(panel)].caption : QString();
}

int TNavBar::panel_count() const { return static_cast<int>(panels_.size()); }

int TNavBar::add_section(int panel, const QString& caption) {
  if (!has_panel(panel)) return -1;
  TPanel& owner = panels_[static_cast<std::size_t>(panel)];
  const int section = static_cast<int>(owner.sections.size());
  auto* heading = new TNavSectionHeading(
      caption, [this, panel, section] { set_section_expanded(panel, section, !section_expanded(panel, section)); },
      owner.body);
  auto* contents = new QWidget(owner.body);
  auto* layout = new QVBoxLayout(contents);
  layout->setContentsMargins(0, 2, 0, 4);
  layout->setSpacing(0);
  // In front of the closing stretch.
  const int at = owner.layout->count() - 1;
  owner.layout->insertWidget(at, heading);
  owner.layout->insertWidget(at + 1, contents);
  owner.sections.push_back(TSection{heading, contents, layout, true});
  return section;
}

void TNavBar::set_section_caption(int panel, int section, const QString& caption) {
  if (!has_section(panel, section)) return;
  panels_[static_cast<std::size_t>(panel)].sections[static_cast<std::size_t>(section)].heading->set_caption(caption);
}

QString TNavBar::section_caption(int panel, int section) const {
  if (!has_section(panel, section)) return {};
  return panels_[static_cast<std::size_t>(panel)].sections[static_cast<std::size_t>(section)].heading->caption();
}

int TNavBar::section_count(int panel) const {
  return has_panel(panel) ? static_cast<int>(panels_[static_cast<std::size_t>(panel)].sections.size()) : 0;
}

void TNavBar::add_to_section(int panel, int section, QWidget* widget) {
  if (widget == nullptr || !has_section(panel, section)) return;
  panels_[static_cast<std::size_t>(panel)].sections[static_cast<std::size_t>(section)].layout->addWidget(widget);
  updateGeometry();
}

void TNavBar::set_open_panel(int panel) {
  if (!has_panel(panel) || panel == open_) return;
  if (has_panel(open_)) panels_[static_cast<std::size_t>(open_)].body->hide();
  open_ = panel;
  panels_[static_cast<std::size_t>(open_)].body->show();
  update();
  emit open_panel_changed(open_);
}

int TNavBar::open_panel() const { return open_; }

void TNavBar::set_section_expanded(int panel, int section, bool expanded) {
  if (!has_section(panel, section)) return;
  TSection& s = panels_[static_cast<std::size_t>(panel)].sections[static_cast<std::size_t>(section)];
  if (s.expanded == expanded) return;
  s.expanded = expanded;
  s.contents->setVisible(expanded);
  updateGeometry();
  s.heading->set_expanded(expanded);
}

bool TNavBar::section_expanded(int panel, int section) const {
  return has_section(panel, section) &&
         panels_[static_cast<std::size_t>(panel)].sections[static_cast<std::size_t>(section)].expanded;
}

QRect TNavBar::tab_rect(int panel) const {
  if (!has_panel(panel)) return {};
  // Tabs share the width evenly; the last takes any odd pixels.
  const int count = panel_count();
  const int left = width() * panel / count;
  const int right = width() * (panel + 1) / count;
  return {left, 0, right - left, tab_height};
}

QRect TNavBar::section_heading_rect(int panel, int section) const {
  if (!has_section(panel, section)) return {};
  const QWidget* heading =
      panels_[static_cast<std::size_t>(panel)].sections[static_cast<std::size_t>(section)].heading;
  return {heading->mapTo(this, QPoint(0, 0)), heading->size()};
}

QSize TNavBar::sizeHint() const { return {design_width, 400}; }

QSize TNavBar::minimumSizeHint() const {
  int body = 0;
  for (const TPanel& panel : panels_) body = std::max(body, panel.layout->minimumSize().height());
  // The body sits inside the border, one pixel above the bottom.
  return {0, tab_height + caption_height + body + 1};
}

void TNavBar::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QColor border(border_colour);

  for (int i = 0; i < panel_count(); ++i) {
    const QRect tab = tab_rect(i);
    QRgb top = tab_start;
    QRgb bottom = tab_end;
    if (i == pressed_tab_ && i == hover_tab_) {
      top = tab_pressed_start;
      bottom = tab_pressed_end;
    } else if (i == hover_tab_) {
      top = tab_hover_start;
      bottom = tab_hover_end;
    } else if (i == open_) {
      top = tab_open_start;
      bottom = tab_open_end;
    }
    painter.fillRect(tab, vertical(tab, top, bottom));
    painter.setPen(border);
    painter.drawRect(tab.adjusted(0, 0, -1, -1));
    QFont tab_font = font();
    tab_font.setBold(i == open_);
    painter.setFont(tab_font);
    painter.setPen(QColor(caption_end));
    const QRect text_area = tab.adjusted(6, 0, -6, 0);
    painter.drawText(text_area, Qt::AlignCenter,
                     fit_text(painter.fontMetrics(), panel_caption(i), text_area.width()));
  }

  const QRect caption(0, tab_height, width(), caption_height);
  painter.fillRect(caption, vertical(caption, caption_start, caption_end));
  QFont caption_font = font();
  caption_font.setBold(true);
  caption_font.setPointSize(11);
  painter.setFont(caption_font);
  painter.setPen(Qt::white);
  const QRect caption_text = caption.adjusted(8, 0, -8, 0);
  painter.drawText(caption_text, Qt::AlignLeft | Qt::AlignVCenter,
                   fit_text(painter.fontMetrics(), panel_caption(open_), caption_text.width()));

  // Behind the body, in case there is no panel to cover it.
  const QRect body = body_rect();
  painter.fillRect(body, Qt::white);
  painter.setPen(border);
  painter.drawRect(QRect(0, tab_height, width(), height() - tab_height).adjusted(0, 0, -1, -1));
}

void TNavBar::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  place_bodies();
}

void TNavBar::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    pressed_tab_ = tab_at(event->position().toPoint());
    hover_tab_ = pressed_tab_;
    update();
  }
  QWidget::mousePressEvent(event);
}

void TNavBar::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    const int released = tab_at(event->position().toPoint());
    const int pressed = std::exchange(pressed_tab_, -1);
    update();
    // Like a button: only a press and release on the same tab opens it.
    if (pressed >= 0 && pressed == released) set_open_panel(pressed);
  }
  QWidget::mouseReleaseEvent(event);
}

void TNavBar::mouseMoveEvent(QMouseEvent* event) {
  const int over = tab_at(event->position().toPoint());
  if (over != hover_tab_) {
    hover_tab_ = over;
    update();
  }
  QWidget::mouseMoveEvent(event);
}

void TNavBar::leaveEvent(QEvent* event) {
  hover_tab_ = -1;
  update();
  QWidget::leaveEvent(event);
}

bool TNavBar::has_panel(int panel) const { return panel >= 0 && panel < panel_count(); }

bool TNavBar::has_section(int panel, int section) const {
  return has_panel(panel) && section >= 0 && section < section_count(panel);
}

int TNavBar::tab_at(const QPoint& pos) const {
  for (int i = 0; i < panel_count(); ++i) {
    if (tab_rect(i).contains(pos)) return i;
  }
  return -1;
}

QRect TNavBar::body_rect() const {
  // Inside the border on the left, right and bottom.
  const int top = tab_height + caption_height;
  return {1, top, std::max(0, width() - 2), std::max(0, height() - top - 1)};
}

void TNavBar::place_bodies() {
  const QRect body = body_rect();
  for (int i = 0; i < panel_count(); ++i) {
    panels_[static_cast<std::size_t>(i)].body->setGeometry(body);
    panels_[static_cast<std::size_t>(i)].tab->setGeometry(tab_rect(i));
  }
}
