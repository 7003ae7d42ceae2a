#pragma once
// What the results view adds to Qt's table view: column widths that fit the font
// in use, the whole text of a cut cell in its tooltip, and rows as text to paste.
#include <QFontMetrics>
#include <QString>
#include <QStyledItemDelegate>
#include <QTableView>
#include <array>
#include <vector>

#include "results/results_table.h"

namespace kelvora {

// Widths that show a whole time text, a typical title and each caption in `font`,
// and never less than the column's own width.
std::array<int, kResultColumnCount> FittingColumnWidths(const QFontMetrics& font);

// Rows as spreadsheets paste them: one line per row, cells of `columns` (in that
// order) separated by tabs; a tab or line break inside a cell becomes a blank.
QString RowsAsTabText(const std::vector<RowCells>& rows, const std::vector<int>& columns);

// Shows a cell's whole text as its tooltip when the column cuts it; a tooltip of
// the model's own (a failed request) comes first.
class CutCellTipDelegate : public QStyledItemDelegate {
  Q_OBJECT

 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                 const QModelIndex& index) override;
  // True when `index`'s text does not fit the width `option` gives it.
  bool isCut(const QStyleOptionViewItem& option, const QModelIndex& index) const;
};

// The results' table: rows that arrive below what is shown, and changes to rows
// out of sight, cost the scroll bar only, not a repaint of the whole table. A
// search appends rows many times a second while the seller reads the top ones.
class ResultsTableView : public QTableView {
  Q_OBJECT

 public:
  explicit ResultsTableView(QWidget* parent = nullptr);
  void setModel(QAbstractItemModel* model) override;

 protected:
  void dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight, const QList<int>& roles = {}) override;
  // Rows taken out above the rows in sight leave those rows where they were.
  void rowsAboutToBeRemoved(const QModelIndex& parent, int start, int end) override;

 private:
  void keepTopRow();
  QPersistentModelIndex topRow_;
  void onRowCountChanged(int oldCount, int newCount);
  // The rows in sight, first and last; -1 when none.
  std::pair<int, int> rowsInSight() const;
};

}  // namespace kelvora
