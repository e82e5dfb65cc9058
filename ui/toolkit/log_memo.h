// The window's log pane: one read-only line per report, with line numbers
// and a marker image per line in a gutter on the left.
#pragma once

#include <QPlainTextEdit>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <optional>

class TLogMemo;

// The strip left of the text; TLogMemo paints it.
class TLogGutter final : public QWidget {
  Q_OBJECT

 public:
  explicit TLogGutter(TLogMemo* memo);
  [[nodiscard]] QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  TLogMemo* memo_;
};

class TLogMemo final : public QPlainTextEdit {
  Q_OBJECT

 public:
  explicit TLogMemo(QWidget* parent = nullptr);

  // Appends one report as the new last line (a text with '\n' in it becomes
  // several lines, the marker on the first), then shows the newest line.
  void append_line(const QString& text, std::uint8_t kind);

  // Lines are counted from 0 here; the gutter numbers them from 1.
  [[nodiscard]] int line_count() const;
  [[nodiscard]] QString line_text(int index) const;
  [[nodiscard]] std::optional<int> marker_at(int index) const;
  [[nodiscard]] int gutter_width() const;

  [[nodiscard]] QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  friend class TLogGutter;

  void paint_gutter(QPaintEvent* event);
  void update_gutter_width();
  void update_gutter(const QRect& rect, int dy);
  [[nodiscard]] int number_digits() const;

  TLogGutter* gutter_;
  bool has_lines_ = false;
  int digits_ = 0;
};
