#include "ui/main/file_list_model.h"

#include "platform/lang.h"
#include "platform/message_ids.h"
#include "ui/main/file_list.h"

TFileListModel::TFileListModel(QObject* parent) : QAbstractTableModel(parent) {
  rows_ = static_cast<int>(file_list.size());
}

int TFileListModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : rows_; }

int TFileListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : column_count; }

QString TFileListModel::status_text(TFileStatus status) {
  std::uint32_t k = msg_ready;
  switch (status) {
    case TFileStatus::repaired: k = msg_status_repaired; break;
    case TFileStatus::not_repaired: k = msg_status_not_repaired; break;
    case TFileStatus::stopped: k = msg_status_stopped; break;
    case TFileStatus::added: break;
  }
  return QString::fromStdString(" " + message(k));
}

QVariant TFileListModel::data(const QModelIndex& index, int role) const {
  if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) return {};
  const auto row = static_cast<std::size_t>(index.row());
  if (row >= file_list.size()) return {};
  const TFile& entry = file_list[row];
  if (role == Qt::CheckStateRole) {
    if (index.column() != col_file) return {};
    return entry.ticked == 1 ? Qt::Checked : Qt::Unchecked;
  }
  // A long path is shown elided in the middle; its tooltip shows it whole.
  if (role == Qt::ToolTipRole) {
    if (index.column() != col_file) return {};
    return QString::fromStdString(entry.path);
  }
  if (role != Qt::DisplayRole) return {};
  switch (index.column()) {
    case col_file: return QString::fromStdString(entry.path);
    case col_status: return status_text(entry.status);
    case col_preview: return QString::fromStdString(message(msg_preview_column));
    default: return {};
  }
}

bool TFileListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (role != Qt::CheckStateRole || index.column() != col_file) return false;
  if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) return false;
  const auto row = static_cast<std::size_t>(index.row());
  if (row >= file_list.size()) return false;
  file_list[row].ticked = value.value<Qt::CheckState>() == Qt::Checked ? 1 : 0;
  emit dataChanged(index, index, {Qt::CheckStateRole});
  emit tick_changed(index.row(), file_list[row].ticked == 1);
  return true;
}

Qt::ItemFlags TFileListModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
  if (index.column() == col_file) f |= Qt::ItemIsUserCheckable;
  return f;
}

void TFileListModel::rebuild() {
  beginResetModel();
  rows_ = static_cast<int>(file_list.size());
  endResetModel();
}
