// The main window's status bar: two text panels, a gradient progress panel and a Stop button.
#pragma once

#include <QProgressBar>
#include <QStringList>
#include <QWidget>
#include <array>

#include "ui/toolkit/palette.h"

class QFrame;
class QToolButton;
class TTextPanel;

// Progress panel: a sunken frame filled with a blue gradient up to the
// position, the percentage centred on top.
class TGradientProgressBar final : public QProgressBar {
  Q_OBJECT

 public:
  explicit TGradientProgressBar(QWidget* parent = nullptr);

  static constexpr QRgb fill_start = palette::blue_light;
  static constexpr QRgb fill_end = palette::blue_dark;

 protected:
  void paintEvent(QPaintEvent* event) override;
};

// Laid out by hand rather than by QStatusBar, whose layout cannot hold
// panels at fixed widths.
class TStatusBar final : public QWidget {
  Q_OBJECT

 public:
  static constexpr int bar_height = 19;
  static constexpr int panel_count = 4;
  static constexpr int version_panel_width = 100;
  static constexpr int state_panel_width = 150;
  static constexpr int stop_panel_width = 30;

  explicit TStatusBar(QWidget* parent = nullptr);

  // Panels 0 and 1 hold text; other panels ignore it and read as empty.
  void set_panel_text(int panel, const QString& text);
  [[nodiscard]] QString panel_text(int panel) const;
  [[nodiscard]] int panel_width(int panel) const;
  // Widens text panel 0 or 1 so that the widest of `texts` shows whole, never
  // narrower than its design width; the progress panel gives up the room.
  void fit_panel(int panel, const QStringList& texts);

  [[nodiscard]] TGradientProgressBar* progress_bar() const;
  [[nodiscard]] QToolButton* stop_button() const;

  // Gives the progress panel whatever the fixed panels leave of bar_width.
  void resize_panels(int bar_width);

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  TTextPanel* version_panel_;
  TTextPanel* state_panel_;
  TGradientProgressBar* progress_panel_;
  QFrame* stop_panel_;
  QToolButton* stop_button_;
  int version_width_ = version_panel_width;
  int state_width_ = state_panel_width;
};
