#include "analysis/grid_model.h"

#include <QBrush>
#include <QColor>
#include <QFont>
#include <algorithm>

#include "ui/desktop_calls_qt.h"

namespace kelvora {
namespace {

void AppendCell(std::string& out, const std::string& gbk) {
  if (gbk.find_first_of("\t\r\n") == std::string::npos && (gbk.empty() || gbk.front() != '"')) {
    out += gbk;
    return;
  }
  out += '"';
  for (char c : gbk) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

// Sorted distinct indexes covered by the selection along one axis.
std::vector<int> Covered(const QItemSelection& selection, bool rows) {
  std::vector<int> out;
  for (const QItemSelectionRange& r : selection) {
    const int first = rows ? r.top() : r.left(), last = rows ? r.bottom() : r.right();
    for (int i = first; i <= last; ++i) out.push_back(i);
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

}  // namespace

AnalysisGridModel::AnalysisGridModel(QObject* parent) : QAbstractTableModel(parent) {}

void AnalysisGridModel::setRows(Rows rows) {
  beginResetModel();
  rows_ = std::move(rows);
  shown_ = true;
  endResetModel();
}

void AnalysisGridModel::clear() {
  beginResetModel();
  rows_.reset();
  shown_ = false;
  endResetModel();
}

int AnalysisGridModel::rowCount(const QModelIndex& parent) const {
  if (parent.isValid() || !shown_) return 0;
  return 1 + (rows_ ? static_cast<int>(rows_->size()) : 0);
}

int AnalysisGridModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() || !shown_ ? 0 : kResultColumnCount;
}

std::string AnalysisGridModel::cellText(int row, int column) const {
  if (row < 0 || column < 0 || column >= kResultColumnCount || row >= rowCount()) return {};
  if (row == 0) return ResultColumns()[static_cast<size_t>(column)].caption;
  return (*rows_)[static_cast<size_t>(row - 1)][static_cast<size_t>(column)];
}

QVariant AnalysisGridModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
      return FromGbk(cellText(index.row(), index.column()));
    case Qt::FontRole:
      if (index.row() == 0) {
        QFont bold;
        bold.setBold(true);
        return bold;
      }
      return {};
    case Qt::BackgroundRole:
      return index.row() == 0 ? QVariant(QBrush(QColor(0xf0, 0xf2, 0xf7))) : QVariant();
    default:
      return {};
  }
}

QVariant AnalysisGridModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole) return {};
  // Spreadsheet-style: column letters across, row numbers down.
  if (orientation == Qt::Horizontal) return QString(QChar('A' + section));
  return section + 1;
}

QString AnalysisGridModel::copyText(const QItemSelection& selection) const {
  const std::vector<int> rows = Covered(selection, true), columns = Covered(selection, false);
  const bool whole = selection.size() == 1;  // one rectangle: every covered cell is selected
  std::string gbk;
  for (int r : rows) {
    bool firstCell = true;
    for (int c : columns) {
      if (!firstCell) gbk += '\t';
      firstCell = false;
      if (whole || selection.contains(index(r, c))) AppendCell(gbk, cellText(r, c));
    }
    gbk += '\n';
  }
  return FromGbk(gbk);
}

}  // namespace kelvora
