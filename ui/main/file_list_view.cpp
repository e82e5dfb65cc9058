// The main window's list view and its row painting.
#include "ui/main/file_list_view.h"

#include <QMouseEvent>

#include "ui/main/main_unit.h"

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

TFileRowDelegate::TFileRowDelegate(TCustomDraw custom_draw, QObject* parent)
    : QStyledItemDelegate(parent), custom_draw_(std::move(custom_draw)) {}

QSize TFileRowDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
  QSize size = QStyledItemDelegate::sizeHint(option, index);
  size.setHeight(TMainForm::row_height);
  return size;
}

void TFileRowDelegate::initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const {
  QStyledItemDelegate::initStyleOption(option, index);
  if (custom_draw_) custom_draw_(index, *option);
}
