// The list view's rows over file_list: the file, its status text and the
// Preview cell, with the tick box on the first column.
#pragma once

#include <QAbstractTableModel>
#include <cstdint>

#include "ui/main/file_list.h"

class TFileListModel final : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum : int { col_file = 0, col_status = 1, col_preview = 2, column_count = 3 };

  explicit TFileListModel(QObject* parent = nullptr);

  [[nodiscard]] int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  [[nodiscard]] int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  [[nodiscard]] QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
  [[nodiscard]] Qt::ItemFlags flags(const QModelIndex& index) const override;

  // Every row again from file_list; called after each change of the list.
  void rebuild();

  // Text of the Status cell for a status value: a blank, then the message.
  [[nodiscard]] static QString status_text(TFileStatus status);

 signals:
  // The user changed a row's tick (by mouse or Space); file_list already has it.
  void tick_changed(int row, bool ticked);

 private:
  // Rows the view knows about; file_list may have grown or shrunk since the
  // last rebuild, and the model must not report rows it has not announced.
  int rows_ = 0;
};
