#pragma once
// What the results view adds to Qt's table view: column widths that fit the font
// in use, the whole text of a cut cell in its tooltip, and rows as text to paste.
#include <QFontMetrics>
#include <QString>
#include <QStyledItemDelegate>
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

}  // namespace kelvora
