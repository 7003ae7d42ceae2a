#include "ui/results_sort_model.h"

#include <QLocale>
#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "net/datetime.h"
#include "net/text.h"
#include "ui/desktop_calls_qt.h"

namespace kelvora {
namespace {

constexpr int kCol(ResultColumn c) { return static_cast<int>(c); }

bool IsNumberColumn(int column) {
  return column == kCol(ResultColumn::Index) || column == kCol(ResultColumn::HoursLeft) ||
         column == kCol(ResultColumn::Sales) || column == kCol(ResultColumn::Stock) ||
         column == kCol(ResultColumn::Price);
}

bool IsTimeColumn(int column) {
  return column == kCol(ResultColumn::ListedAt) || column == kCol(ResultColumn::DelistAt);
}

// The least decimal number in the text ("50.80 - 99.00", "128.00 -> 125.00").
std::optional<double> LeastNumber(const std::string& text) {
  std::optional<double> least;
  for (size_t i = 0; i < text.size();) {
    const bool sign = text[i] == '-' && i + 1 < text.size() && std::isdigit(static_cast<unsigned char>(text[i + 1])) &&
                      (i == 0 || text[i - 1] != ' ');  // "a - b" is a range, not a negative b
    if (!sign && !std::isdigit(static_cast<unsigned char>(text[i]))) {
      ++i;
      continue;
    }
    char* end = nullptr;
    const double value = std::strtod(text.c_str() + i, &end);
    const size_t used = static_cast<size_t>(end - (text.c_str() + i));
    if (used == 0) {
      ++i;
      continue;
    }
    if (!least || value < *least) least = value;
    i += used;
  }
  return least;
}

// GBK text with its ASCII letters in lower case; the bytes of double-byte
// characters (whose trail bytes may look like letters) stay as they are.
std::string LowerAscii(const std::string& gbk) {
  std::string out = gbk;
  for (size_t i = 0; i < out.size();) {
    const unsigned char c = static_cast<unsigned char>(out[i]);
    if (c >= 0x80) {
      i += 2;
      continue;
    }
    if (c >= 'A' && c <= 'Z') out[i] = static_cast<char>(c - 'A' + 'a');
    ++i;
  }
  return out;
}

}  // namespace

ResultsSortModel::ResultsSortModel(const ResultsTable& table, QObject* parent)
    : QSortFilterProxyModel(parent), table_(table), collator_(QLocale(QLocale::Chinese, QLocale::China)) {
  collator_.setNumericMode(true);
  collator_.setCaseSensitivity(Qt::CaseInsensitive);
  setDynamicSortFilter(true);
}

void ResultsSortModel::setSourceModel(QAbstractItemModel* source) {
  if (sourceModel()) disconnect(sourceModel(), nullptr, this, nullptr);
  keys_.clear();
  // Connected before the base class connects its own handlers, so a changed row's
  // key is forgotten before the rows are sorted again.
  if (source) {
    connect(source, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex& from, const QModelIndex& to) { forgetKeys(from.row(), to.row()); });
    connect(source, &QAbstractItemModel::modelAboutToBeReset, this, [this] { keys_.clear(); });
    connect(source, &QAbstractItemModel::rowsAboutToBeRemoved, this, [this] { keys_.clear(); });
  }
  QSortFilterProxyModel::setSourceModel(source);
}

void ResultsSortModel::forgetKeys(int first, int last) {
  for (int r = std::max(first, 0); r <= last && r < static_cast<int>(keys_.size()); ++r)
    keys_[static_cast<size_t>(r)].reset();
}

void ResultsSortModel::sort(int column, Qt::SortOrder order) {
  if (column != keyColumn_) {
    keys_.clear();
    keyColumn_ = column;
  }
  QSortFilterProxyModel::sort(column, order);
}

std::optional<ResultsSortModel::SortKey> ResultsSortModel::KeyOf(int column, const std::string& gbkCell,
                                                                 const QCollator& collator) {
  if (gbkCell.empty()) return std::nullopt;
  if (IsNumberColumn(column)) {
    const std::optional<double> n = LeastNumber(gbkCell);
    if (!n) return std::nullopt;
    return SortKey{*n, {}};
  }
  if (IsTimeColumn(column)) {
    const DateTime t = TextToDate(gbkCell);
    if (t == kSmallestDate) return std::nullopt;  // 无时间, or no time at all
    return SortKey{t, {}};
  }
  return SortKey{0, collator.sortKey(FromGbk(gbkCell))};
}

const std::optional<ResultsSortModel::SortKey>& ResultsSortModel::keyOfRow(int sourceRow) const {
  if (sourceRow >= static_cast<int>(keys_.size())) keys_.resize(static_cast<size_t>(sourceRow) + 1);
  auto& slot = keys_[static_cast<size_t>(sourceRow)];
  if (!slot) slot = KeyOf(keyColumn_, table_.cellText(sourceRow, keyColumn_), collator_);
  return *slot;
}

bool ResultsSortModel::lessThan(const QModelIndex& left, const QModelIndex& right) const {
  const auto& a = keyOfRow(left.row());
  const auto& b = keyOfRow(right.row());
  // Rows without a value go last whichever way the column is sorted; the view
  // compares the other way round when it sorts descending.
  const bool descending = sortOrder() == Qt::DescendingOrder;
  // Equal keys keep the store's order, in either direction.
  const bool storeOrder = descending ? left.row() > right.row() : left.row() < right.row();
  if (!a || !b) {
    if (!a && !b) return storeOrder;
    return !a ? descending : !descending;
  }
  if (a->text && b->text) {
    if (const int order = a->text->compare(*b->text); order != 0) return order < 0;
  } else if (a->number != b->number) {
    return a->number < b->number;
  }
  return storeOrder;
}

void ResultsSortModel::setFilterText(const QString& text) {
  if (text == filterText_) return;
  filterText_ = text;
  // Matched in the store's own text: no row is converted to be searched.
  filterGbk_ = LowerAscii(ToGbk(text));
  invalidateRowsFilter();
}

void ResultsSortModel::setMonitoredOnly(bool only) {
  if (only == monitoredOnly_) return;
  monitoredOnly_ = only;
  invalidateRowsFilter();
}

void ResultsSortModel::setFailedOnly(bool only) {
  if (only == failedOnly_) return;
  failedOnly_ = only;
  invalidateRowsFilter();
}

bool ResultsSortModel::filterAcceptsRow(int sourceRow, const QModelIndex&) const {
  if (!filtering()) return true;
  bool accepted = false;
  table_.visitRow(sourceRow, [this, &accepted](const RowCells& cells, const RowFailures& failures) {
    if (failedOnly_ && !failures.any()) return;
    if (monitoredOnly_ && cells[static_cast<size_t>(kCol(ResultColumn::Monitored))].empty()) return;
    if (filterGbk_.empty()) {
      accepted = true;
      return;
    }
    for (ResultColumn c : {ResultColumn::Title, ResultColumn::Seller, ResultColumn::ItemId, ResultColumn::Location}) {
      const std::string& cell = cells[static_cast<size_t>(kCol(c))];
      const bool upper = std::any_of(cell.begin(), cell.end(), [](char ch) { return ch >= 'A' && ch <= 'Z'; });
      // Whole characters only: a trail byte and the next lead byte are no match.
      if (Find(upper ? LowerAscii(cell) : cell, filterGbk_) != -1) {
        accepted = true;
        return;
      }
    }
  });
  return accepted;
}

}  // namespace kelvora
