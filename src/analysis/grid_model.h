#pragma once
// The analysis window's grid: a snapshot of the results table with the column
// captions as its first row, the way the rows paste into a spreadsheet.
#include <QAbstractTableModel>
#include <QItemSelection>
#include <memory>
#include <vector>

#include "results/results_table.h"

namespace kelvora {

class AnalysisGridModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  using Rows = std::shared_ptr<const std::vector<RowCells>>;

  explicit AnalysisGridModel(QObject* parent = nullptr);

  // Shows `rows` under the caption row; null or empty shows the caption row alone.
  void setRows(Rows rows);
  // Back to the empty grid (no rows, not even the captions).
  void clear();
  const Rows& rows() const { return rows_; }

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

  // The GBK text of grid cell (row, column); row 0 holds the captions.
  std::string cellText(int row, int column) const;
  // The selected cells as tab-separated lines, over the rows and columns the
  // selection touches (unselected cells in between stay empty). A cell holding a
  // tab, a line break or a leading double quote is quoted as spreadsheets expect.
  QString copyText(const QItemSelection& selection) const;

 private:
  Rows rows_;
  bool shown_ = false;  // the caption row is there once a snapshot was set
};

}  // namespace kelvora
