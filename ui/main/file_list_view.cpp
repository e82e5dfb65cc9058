// The main window's list view and its row painting.
#include "ui/main/file_list_view.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QStyle>

#include "ui/toolkit/fit_text.h"

TFileListView::TFileListView(QWidget* parent) : QTreeView(parent) {
  // The pointer changes over the Preview column without a button held.
  setMouseTracking(true);
}

void TFileListView::mousePressEvent(QMouseEvent* event) {
  QTreeView::mousePressEvent(event);
  const QPoint at = event->position().toPoint();
  // Like a press on the empty part of any list: nothing stays selected.
  if (!indexAt(at).isValid()) clearSelection();
  emit mouse_down(event->button(), at);
}

void TFileListView::mouseMoveEvent(QMouseEvent* event) {
  QTreeView::mouseMoveEvent(event);
  emit mouse_move(event->position().toPoint());
}

void TFileListView::keyPressEvent(QKeyEvent* event) {
  // The tick box sits in the first column only, and the view's own Space
  // ticks only there; after a click on another cell Space must tick the row too.
  const QModelIndex current = currentIndex();
  const bool space = event->key() == Qt::Key_Space || event->key() == Qt::Key_Select;
  if (space && current.isValid() && current.column() != 0 && model() != nullptr) {
    const QModelIndex tick = model()->index(current.row(), 0, current.parent());
    if (tick.flags().testFlag(Qt::ItemIsUserCheckable) && tick.flags().testFlag(Qt::ItemIsEnabled)) {
      const bool ticked = tick.data(Qt::CheckStateRole).value<Qt::CheckState>() == Qt::Checked;
      model()->setData(tick, ticked ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
      event->accept();
      return;
    }
  }
  QTreeView::keyPressEvent(event);
}

TFileRowDelegate::TFileRowDelegate(TCustomDraw custom_draw, int row_height, QObject* parent)
    : QStyledItemDelegate(parent), custom_draw_(std::move(custom_draw)), row_height_(row_height) {}

QSize TFileRowDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
  QSize size = QStyledItemDelegate::sizeHint(option, index);
  size.setHeight(row_height_);
  return size;
}

void TFileRowDelegate::initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const {
  QStyledItemDelegate::initStyleOption(option, index);
  if (custom_draw_) custom_draw_(index, *option);
}

void TFileRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
  QStyleOptionViewItem cell = option;
  initStyleOption(&cell, index);
  // Shortened here rather than by the style, in the same room the style
  // leaves for the text, so a text too long for its column is noticed.
  const QWidget* view = cell.widget;
  QStyle* style = view != nullptr ? view->style() : QApplication::style();
  const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1;
  const QRect room = style->subElementRect(QStyle::SE_ItemViewItemText, &cell, view);
  cell.text = fit_text(QFontMetrics(cell.font), cell.text, room.width() - 2 * margin, cell.textElideMode);
  style->drawControl(QStyle::CE_ItemViewItem, &cell, painter, view);
}
