// The list view of the main window: rows of exactly 20 pixels, the pointer
// and mouse presses reported to the window after the view's own handling,
// Space ticking the focused row in whichever column, each path's tooltip.
#pragma once

#include <QStyledItemDelegate>
#include <QTreeView>
#include <functional>

class TFileListView final : public QTreeView {
  Q_OBJECT

 public:
  explicit TFileListView(QWidget* parent = nullptr);

 signals:
  // A button was pressed at `at` (viewport coordinates); the row under the
  // pointer is already the selected one, and a press below the rows has
  // cleared the selection.
  void mouse_down(Qt::MouseButton button, const QPoint& at);
  // The pointer moved to `at` (viewport coordinates), over rows or not.
  void mouse_move(const QPoint& at);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
};

// Paints the rows through the window's own handlers: they adjust each cell's
// colours and font, everything else is the view's default painting.
class TFileRowDelegate final : public QStyledItemDelegate {
  Q_OBJECT

 public:
  using TCustomDraw = std::function<void(const QModelIndex& index, QStyleOptionViewItem& option)>;

  // Every row is `row_height` pixels high.
  TFileRowDelegate(TCustomDraw custom_draw, int row_height, QObject* parent);

  [[nodiscard]] QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;

 protected:
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;

 private:
  TCustomDraw custom_draw_;
  int row_height_;
};
