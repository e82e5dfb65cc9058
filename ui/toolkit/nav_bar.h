// The navigation bar down the window's side: panels as tabs, each with collapsible sections.
#pragma once

#include <QWidget>

#include <vector>

#include "ui/toolkit/palette.h"

class QVBoxLayout;
class TNavSectionHeading;
class TNavTab;

// Laid out by hand: the tab row and the open panel's caption are painted by
// the bar itself, the open panel's body is a child widget under them. Each
// tab is a stop for the Tab key, ahead of the panels' controls; Space or
// Enter on it opens its panel.
class TNavBar final : public QWidget {
  Q_OBJECT

 public:
  static constexpr int tab_height = 24;
  static constexpr int caption_height = 26;
  static constexpr int section_heading_height = 24;
  static constexpr int design_width = 249;

  static constexpr QRgb caption_start = palette::blue_light;
  static constexpr QRgb caption_end = palette::blue_dark;
  static constexpr QRgb tab_start = qRgb(203, 225, 252);
  static constexpr QRgb tab_end = qRgb(125, 165, 224);
  static constexpr QRgb tab_hover_start = qRgb(255, 255, 220);
  static constexpr QRgb tab_hover_end = qRgb(247, 192, 91);
  static constexpr QRgb tab_pressed_start = qRgb(232, 127, 8);
  static constexpr QRgb tab_pressed_end = qRgb(247, 218, 124);
  static constexpr QRgb tab_open_start = qRgb(251, 230, 148);
  static constexpr QRgb tab_open_end = qRgb(238, 149, 21);
  static constexpr QRgb heading_start = qRgb(196, 218, 250);
  static constexpr QRgb heading_end = qRgb(160, 191, 245);
  static constexpr QRgb border_colour = palette::border_blue;

  explicit TNavBar(QWidget* parent = nullptr);
  ~TNavBar() override;

  // The first panel added opens; the others wait behind their tabs.
  int add_panel(const QString& caption);
  void set_panel_caption(int panel, const QString& caption);
  [[nodiscard]] QString panel_caption(int panel) const;
  [[nodiscard]] int panel_count() const;

  // Sections start expanded. Out-of-range panels give -1 and are ignored.
  int add_section(int panel, const QString& caption);
  void set_section_caption(int panel, int section, const QString& caption);
  [[nodiscard]] QString section_caption(int panel, int section) const;
  [[nodiscard]] int section_count(int panel) const;
  // The bar takes ownership of the widget.
  void add_to_section(int panel, int section, QWidget* widget);

  void set_open_panel(int panel);
  [[nodiscard]] int open_panel() const;

  void set_section_expanded(int panel, int section, bool expanded);
  [[nodiscard]] bool section_expanded(int panel, int section) const;

  // Both in the bar's coordinates; a heading's rect is meaningful only while
  // its panel is open and the bar laid out.
  [[nodiscard]] QRect tab_rect(int panel) const;
  [[nodiscard]] QRect section_heading_rect(int panel, int section) const;

  [[nodiscard]] QSize sizeHint() const override;
  // Tall enough for every panel's sections as they are expanded now, so no
  // two controls overlap whichever panel is open.
  [[nodiscard]] QSize minimumSizeHint() const override;

 signals:
  void open_panel_changed(int panel);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  struct TSection {
    TNavSectionHeading* heading;
    QWidget* contents;
    QVBoxLayout* layout;
    bool expanded;
  };
  struct TPanel {
    QString caption;
    TNavTab* tab;  // the tab's stop for the keyboard
    QWidget* body;
    QVBoxLayout* layout;
    std::vector<TSection> sections;
  };

  [[nodiscard]] bool has_panel(int panel) const;
  [[nodiscard]] bool has_section(int panel, int section) const;
  [[nodiscard]] int tab_at(const QPoint& pos) const;
  [[nodiscard]] QRect body_rect() const;
  void place_bodies();

  std::vector<TPanel> panels_;
  int open_ = -1;
  int hover_tab_ = -1;
  int pressed_tab_ = -1;
};
