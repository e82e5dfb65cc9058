// A heading strip above a list or the log: blue vertical gradient with a line of rich text.
#pragma once

#include <QLabel>
#include <QString>
#include <QWidget>

#include "ui/toolkit/palette.h"

// A QLabel so that Qt's rich text does the HTML subset (bold, italic, font
// size and colour, &nbsp;); only the background is painted here.
class THeaderLabel final : public QLabel {
  Q_OBJECT

 public:
  static constexpr QRgb gradient_top = palette::blue_light;
  static constexpr QRgb gradient_bottom = palette::blue_dark;
  static constexpr int heading_point_size = 11;

  // The height never changes; the width follows the layout.
  explicit THeaderLabel(int height, QWidget* parent = nullptr);

  // The usual heading markup: the caption, escaped, after four non-breaking spaces.
  [[nodiscard]] static QString heading(const QString& caption);

  // Lines are separated by <br> or '\n'.
  void set_text_html(const QString& html);
  [[nodiscard]] QString text_html() const;
  // Replaces the text up to the first line break; later lines stay as they are.
  void set_first_line(const QString& html);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString html_;
};
