#include "ui/results_sort_model.h"

#include <QElapsedTimer>
#include <QLocale>
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <limits>
#include <numeric>
#include <unordered_map>

#include "net/datetime.h"
#include "ui/desktop_calls_qt.h"

namespace kelvora {
namespace {

constexpr int kCol(ResultColumn c) { return static_cast<int>(c); }
constexpr double kNoKey = std::numeric_limits<double>::quiet_NaN();
constexpr int32_t kNoText = -1;  // an empty cell
constexpr int32_t kStale = -2;   // not looked up since the row changed

bool IsNumberColumn(int column) {
  // Item ids are digits: as numbers they sort as the collation's numeric mode sorts them.
  return column == kCol(ResultColumn::Index) || column == kCol(ResultColumn::ItemId) ||
         column == kCol(ResultColumn::HoursLeft) || column == kCol(ResultColumn::Sales) ||
         column == kCol(ResultColumn::Stock) || column == kCol(ResultColumn::Price);
}

bool IsTimeColumn(int column) {
  return column == kCol(ResultColumn::ListedAt) || column == kCol(ResultColumn::DelistAt);
}

// The least decimal number in the text ("50.80 - 99.00", "128.00 -> 125.00").
double LeastNumber(const std::string& text) {
  double least = kNoKey;
  const char* s = text.c_str();
  for (size_t i = 0; i < text.size();) {
    const bool sign = s[i] == '-' && i + 1 < text.size() && std::isdigit(static_cast<unsigned char>(s[i + 1])) &&
                      (i == 0 || s[i - 1] != ' ');  // "a - b" is a range, not a negative b
    if (!sign && !std::isdigit(static_cast<unsigned char>(s[i]))) {
      ++i;
      continue;
    }
    char* end = nullptr;
    const double value = std::strtod(s + i, &end);
    const size_t used = static_cast<size_t>(end - (s + i));
    if (used == 0) {
      ++i;
      continue;
    }
    if (!(value >= least)) least = value;  // NaN compares false: the first number is taken
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

// Whether GBK `cell` holds `needle` (lower-case ASCII letters) at a character
// start, ASCII letters in any case. A byte of the cell is folded only where the
// needle has a one-byte character, so a trail byte is never taken for a letter.
bool ContainsFolded(const std::string& cell, const std::string& needle, const std::vector<bool>& single) {
  const size_t n = needle.size();
  if (cell.size() < n) return false;
  const unsigned char* c = reinterpret_cast<const unsigned char*>(cell.data());
  const unsigned char* k = reinterpret_cast<const unsigned char*>(needle.data());
  const size_t last = cell.size() - n;
  for (size_t i = 0; i <= last; i += c[i] >= 0x80 ? 2 : 1) {
    size_t j = 0;
    for (; j < n; ++j) {
      unsigned char b = c[i + j];
      if (single[j] && b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b - 'A' + 'a');
      if (b != k[j]) break;
    }
    if (j == n) return true;
  }
  return false;
}

}  // namespace

// The ranked texts of one column. Each distinct text is given an id once, its
// collation key made once, and its place among the others (its rank) kept; a
// row's key is the rank of its text. Equal collation keys share a rank, so such
// rows keep the store's order.
struct ResultsSortModel::TextKeys {
  std::unordered_map<std::string, int32_t> ids;
  std::vector<const std::string*> textOf;  // by id (the map's own key)
  std::vector<QCollatorSortKey> keyOf;     // by id
  std::vector<int32_t> order;              // the ranked ids, in collation order
  std::vector<uint8_t> sameAsPrevious;     // by place in `order`: the key equals the one before
  std::vector<double> rankOf;              // by id
  size_t ranked = 0;                       // ids below this are in `order`
  std::vector<int32_t> rowIds;             // by source row: an id, kNoText or kStale
  size_t staleFrom = 0;                    // no row before this one is kStale
  void markStale(int first, int last) {
    for (int r = first; r <= last && static_cast<size_t>(r) < rowIds.size(); ++r)
      rowIds[static_cast<size_t>(r)] = kStale;
    staleFrom = std::min(staleFrom, static_cast<size_t>(std::max(first, 0)));
  }
};

ResultsSortModel::ResultsSortModel(const ResultsTable& table, QObject* parent)
    : QAbstractProxyModel(parent), table_(table), collator_(QLocale(QLocale::Chinese, QLocale::China)) {
  collator_.setNumericMode(true);
  collator_.setCaseSensitivity(Qt::CaseInsensitive);
  warmTimer_.setObjectName(QStringLiteral("text ranking"));
  warmTimer_.setSingleShot(true);
  connect(&warmTimer_, &QTimer::timeout, this, &ResultsSortModel::warmUp);
  // The collation's tables load on its first use (tens of milliseconds): at the
  // first idle moment, not amid the first rows of a search.
  QTimer::singleShot(0, this, [this] { collator_.sortKey(QStringLiteral("a")); });
}

ResultsSortModel::~ResultsSortModel() = default;

void ResultsSortModel::setSourceModel(QAbstractItemModel* source) {
  beginResetModel();
  if (sourceModel()) disconnect(sourceModel(), nullptr, this, nullptr);
  QAbstractProxyModel::setSourceModel(source);
  proxyToSource_.clear();
  sourceToProxy_.clear();
  isMapped_ = false;
  keys_.clear();
  keyColumn_ = -1;
  texts_.clear();
  if (source) {
    connect(source, &QAbstractItemModel::rowsAboutToBeInserted, this, &ResultsSortModel::sourceRowsAboutToBeInserted);
    connect(source, &QAbstractItemModel::rowsInserted, this, &ResultsSortModel::sourceRowsInserted);
    connect(source, &QAbstractItemModel::rowsAboutToBeRemoved, this, &ResultsSortModel::sourceRowsAboutToBeRemoved);
    connect(source, &QAbstractItemModel::rowsRemoved, this, &ResultsSortModel::sourceRowsRemoved);
    connect(source, &QAbstractItemModel::dataChanged, this, &ResultsSortModel::sourceDataChanged);
    connect(source, &QAbstractItemModel::modelAboutToBeReset, this, &ResultsSortModel::sourceAboutToBeReset);
    connect(source, &QAbstractItemModel::modelReset, this, &ResultsSortModel::sourceReset);
    // The results' columns never change, nor does the source move its rows.
    connect(source, &QAbstractItemModel::layoutChanged, this, [this] { rebuild(); });
  }
  endResetModel();
  if (source && mapped()) rebuild();
}

int ResultsSortModel::sourceRows() const { return sourceModel() ? sourceModel()->rowCount() : 0; }

int ResultsSortModel::sourceRowOf(int proxyRow) const {
  if (!isMapped_) return proxyRow;
  return proxyRow >= 0 && static_cast<size_t>(proxyRow) < proxyToSource_.size()
             ? proxyToSource_[static_cast<size_t>(proxyRow)]
             : -1;
}

int ResultsSortModel::proxyRowOf(int sourceRow) const {
  if (!isMapped_) return sourceRow;
  return sourceRow >= 0 && static_cast<size_t>(sourceRow) < sourceToProxy_.size()
             ? sourceToProxy_[static_cast<size_t>(sourceRow)]
             : -1;
}

QModelIndex ResultsSortModel::index(int row, int column, const QModelIndex& parent) const {
  if (parent.isValid() || row < 0 || column < 0 || row >= rowCount() || column >= columnCount()) return {};
  return createIndex(row, column);
}

QModelIndex ResultsSortModel::parent(const QModelIndex&) const { return {}; }

QModelIndex ResultsSortModel::sibling(int row, int column, const QModelIndex&) const { return index(row, column); }

int ResultsSortModel::rowCount(const QModelIndex& parent) const {
  if (parent.isValid()) return 0;
  return isMapped_ ? static_cast<int>(proxyToSource_.size()) : sourceRows();
}

int ResultsSortModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() || !sourceModel() ? 0 : sourceModel()->columnCount();
}

bool ResultsSortModel::hasChildren(const QModelIndex& parent) const { return !parent.isValid() && rowCount() > 0; }

QModelIndex ResultsSortModel::mapToSource(const QModelIndex& proxyIndex) const {
  if (!proxyIndex.isValid() || !sourceModel()) return {};
  const int row = sourceRowOf(proxyIndex.row());
  return row < 0 ? QModelIndex() : sourceModel()->index(row, proxyIndex.column());
}

QModelIndex ResultsSortModel::mapFromSource(const QModelIndex& sourceIndex) const {
  if (!sourceIndex.isValid()) return {};
  const int row = proxyRowOf(sourceIndex.row());
  return row < 0 ? QModelIndex() : index(row, sourceIndex.column());
}

QVariant ResultsSortModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation == Qt::Horizontal)
    return sourceModel() ? sourceModel()->headerData(section, orientation, role) : QVariant();
  return QAbstractItemModel::headerData(section, orientation, role);
}

bool ResultsSortModel::IsTextColumn(int column) {
  return column >= 0 && column < kResultColumnCount && !IsNumberColumn(column) && !IsTimeColumn(column);
}

double ResultsSortModel::NumberKey(int column, const std::string& gbkCell) {
  if (gbkCell.empty()) return kNoKey;
  if (IsTimeColumn(column)) {
    const DateTime t = TextToDate(gbkCell);
    return t == kSmallestDate ? kNoKey : static_cast<double>(t);  // 无时间, or no time at all
  }
  return LeastNumber(gbkCell);
}

bool ResultsSortModel::before(int a, int b) const {
  const double ka = keys_[static_cast<size_t>(a)];
  const double kb = keys_[static_cast<size_t>(b)];
  const bool noA = std::isnan(ka), noB = std::isnan(kb);
  // Rows without a value go last whichever way the column is sorted.
  if (noA || noB) return noA == noB ? a < b : noB;
  if (ka != kb) return sortOrder_ == Qt::DescendingOrder ? ka > kb : ka < kb;
  return a < b;  // equal keys keep the store's order, in either direction
}

bool ResultsSortModel::accepts(const RowCells& cells, const RowFailures& failures) const {
  if (failedOnly_ && !failures.any()) return false;
  if (monitoredOnly_ && cells[static_cast<size_t>(kCol(ResultColumn::Monitored))].empty()) return false;
  if (filterGbk_.empty()) return true;
  for (ResultColumn c : {ResultColumn::Title, ResultColumn::Seller, ResultColumn::ItemId, ResultColumn::Location})
    if (ContainsFolded(cells[static_cast<size_t>(kCol(c))], filterGbk_, filterSingle_)) return true;
  return false;
}

ResultsSortModel::TextKeys& ResultsSortModel::textKeys(int column) {
  auto& slot = texts_[column];
  if (!slot) slot = std::make_unique<TextKeys>();
  return *slot;
}

void ResultsSortModel::readKeys(int first, int last) {
  const int rows = sourceRows();
  keys_.resize(static_cast<size_t>(rows), kNoKey);
  last = std::min(last, rows - 1);
  if (first > last || sortColumn_ < 0) return;
  const int column = sortColumn_;
  if (IsTextColumn(column)) {
    readTexts(textKeys(column), column, first, last);
    return;
  }
  for (int r = first; r <= last; ++r) keys_[static_cast<size_t>(r)] = kNoKey;  // rows the store no longer has
  table_.visitRows(first, last, [this, column](int32_t row, const RowCells& cells, const RowFailures&) {
    keys_[static_cast<size_t>(row)] = NumberKey(column, cells[static_cast<size_t>(column)]);
  });
}

void ResultsSortModel::lookUpTexts(TextKeys& texts, int column, int first, int last) {
  const int rows = sourceRows();
  // Rows keep their text's id until they change (or come or go).
  texts.rowIds.resize(static_cast<size_t>(rows), kStale);
  last = std::min(last, rows - 1);
  if (first > last) return;
  const auto from = texts.rowIds.begin() + first, to = texts.rowIds.begin() + last + 1;
  // Under the store's lock only the lookups; the collation keys are made after.
  if (std::find(from, to, kStale) != to)
    table_.visitRows(first, last, [&texts, column](int32_t row, const RowCells& cells, const RowFailures&) {
      int32_t& id = texts.rowIds[static_cast<size_t>(row)];
      if (id != kStale) return;
      const std::string& cell = cells[static_cast<size_t>(column)];
      if (cell.empty()) {
        id = kNoText;
        return;
      }
      auto [it, added] = texts.ids.try_emplace(cell, static_cast<int32_t>(texts.textOf.size()));
      if (added) texts.textOf.push_back(&it->first);
      id = it->second;
    });
  if (first <= static_cast<int>(texts.staleFrom) && static_cast<size_t>(last) + 1 > texts.staleFrom)
    texts.staleFrom = static_cast<size_t>(last) + 1;
}

void ResultsSortModel::readTexts(TextKeys& texts, int column, int first, int last) {
  lookUpTexts(texts, column, first, last);
  const int rows = sourceRows();
  last = std::min(last, rows - 1);
  const bool moved = rankNewTexts(texts);
  auto keyOfRow = [&texts](int r) {
    const int32_t id = texts.rowIds[static_cast<size_t>(r)];
    return id < 0 ? kNoKey : texts.rankOf[static_cast<size_t>(id)];
  };
  if (moved && sortColumn_ == column) {
    // New texts took ranks between the old ones: every row's number moves, no row's order.
    for (int r = 0; r < rows; ++r) keys_[static_cast<size_t>(r)] = keyOfRow(r);
  } else if (sortColumn_ == column) {
    for (int r = first; r <= last; ++r) keys_[static_cast<size_t>(r)] = keyOfRow(r);
  }
}

bool ResultsSortModel::rankNewTexts(TextKeys& texts) {
  const size_t total = texts.textOf.size();
  if (texts.ranked == total) return false;
  texts.keyOf.reserve(total);
  for (size_t id = texts.keyOf.size(); id < total; ++id)
    texts.keyOf.push_back(collator_.sortKey(FromGbk(*texts.textOf[id])));
  std::vector<int32_t> added(total - texts.ranked);
  std::iota(added.begin(), added.end(), static_cast<int32_t>(texts.ranked));
  auto less = [&texts](int32_t a, int32_t b) {
    return texts.keyOf[static_cast<size_t>(a)].compare(texts.keyOf[static_cast<size_t>(b)]) < 0;
  };
  std::stable_sort(added.begin(), added.end(), less);
  // Each new text goes after the old ones of an equal key; a few new texts among
  // many old ones are placed by binary search, not by walking every old one.
  std::vector<int32_t> merged;
  std::vector<uint8_t> same;
  merged.reserve(total);
  same.reserve(total);
  auto equal = [&texts](int32_t a, int32_t b) {
    return texts.keyOf[static_cast<size_t>(a)].compare(texts.keyOf[static_cast<size_t>(b)]) == 0;
  };
  size_t from = 0;
  bool oldAfterNew = false;  // the next old text follows a new one: its tie flag is read again
  for (int32_t id : added) {
    const auto at =
        std::upper_bound(texts.order.begin() + static_cast<std::ptrdiff_t>(from), texts.order.end(), id, less);
    const size_t to = static_cast<size_t>(at - texts.order.begin());
    for (size_t i = from; i < to; ++i) {
      const bool tie = oldAfterNew ? equal(merged.back(), texts.order[i]) : texts.sameAsPrevious[i] != 0;
      merged.push_back(texts.order[i]);
      same.push_back(tie);
      oldAfterNew = false;
    }
    same.push_back(!merged.empty() && equal(merged.back(), id));
    merged.push_back(id);
    oldAfterNew = true;
    from = to;
  }
  for (size_t i = from; i < texts.order.size(); ++i) {
    const bool tie = oldAfterNew ? equal(merged.back(), texts.order[i]) : texts.sameAsPrevious[i] != 0;
    merged.push_back(texts.order[i]);
    same.push_back(tie);
    oldAfterNew = false;
  }
  texts.order = std::move(merged);
  texts.sameAsPrevious = std::move(same);
  texts.ranked = total;
  texts.rankOf.resize(total);
  double rank = 0;
  for (size_t i = 0; i < texts.order.size(); ++i) {
    if (i > 0 && !texts.sameAsPrevious[i]) ++rank;
    texts.rankOf[static_cast<size_t>(texts.order[i])] = rank;
  }
  return true;
}

void ResultsSortModel::sort(int column, Qt::SortOrder order) {
  if (column >= columnCount()) column = -1;
  if (column == sortColumn_ && order == sortOrder_ && (column < 0 || isMapped_)) return;
  const bool reverseOnly = column >= 0 && column == sortColumn_ && isMapped_;
  sortColumn_ = column;
  sortOrder_ = order;
  if (column < 0) {
    keys_.clear();
    keyColumn_ = -1;
  }
  if (reverseOnly && keys_.size() == static_cast<size_t>(sourceRows())) {
    // The keys stand: the shown rows are sorted the other way.
    std::vector<int> rows = proxyToSource_;
    std::sort(rows.begin(), rows.end(), [this](int a, int b) { return before(a, b); });
    showRows(std::move(rows), true);
    return;
  }
  rebuild();
}

void ResultsSortModel::setFilterText(const QString& text) {
  if (text == filterText_) return;
  filterText_ = text;
  // Matched in the store's own text: no row is converted to be searched.
  filterGbk_ = text.isEmpty() ? std::string() : LowerAscii(ToGbk(text));
  filterSingle_.assign(filterGbk_.size(), false);
  for (size_t i = 0; i < filterGbk_.size();) {
    if (static_cast<unsigned char>(filterGbk_[i]) >= 0x80) {
      i += 2;
      continue;
    }
    filterSingle_[i++] = true;
  }
  rebuild();
}

void ResultsSortModel::setMonitoredOnly(bool only) {
  if (only == monitoredOnly_) return;
  monitoredOnly_ = only;
  rebuild();
}

void ResultsSortModel::setFailedOnly(bool only) {
  if (only == failedOnly_) return;
  failedOnly_ = only;
  rebuild();
}

void ResultsSortModel::rebuild() {
  if (!sourceModel()) return;
  const int rows = sourceRows();
  if (!mapped()) {
    // Not kept up to date in the store's order.
    keys_.clear();
    keyColumn_ = -1;
    if (isMapped_) showRows({}, false);
    return;
  }
  if (sortColumn_ >= 0 && (keyColumn_ != sortColumn_ || keys_.size() != static_cast<size_t>(rows))) {
    // Kept up to date while sorted by the column; read afresh for another one.
    keys_.assign(static_cast<size_t>(rows), kNoKey);
    keyColumn_ = sortColumn_;
    readKeys(0, rows - 1);
  }
  std::vector<int> shown;
  shown.reserve(static_cast<size_t>(rows));
  if (filtering()) {
    table_.visitRows(0, rows - 1, [this, &shown](int32_t row, const RowCells& cells, const RowFailures& failures) {
      if (accepts(cells, failures)) shown.push_back(row);
    });
  } else {
    shown.resize(static_cast<size_t>(rows));
    std::iota(shown.begin(), shown.end(), 0);
  }
  if (sortColumn_ >= 0) {
    // Sorted as (key, row) pairs side by side in memory; rows without a key after,
    // in the store's order.
    const bool descending = sortOrder_ == Qt::DescendingOrder;
    std::vector<std::pair<double, int>> valued;
    std::vector<int> none;
    valued.reserve(shown.size());
    for (int r : shown) {
      const double k = keys_[static_cast<size_t>(r)];
      if (std::isnan(k))
        none.push_back(r);
      else
        valued.emplace_back(descending ? -k : k, r);
    }
    std::sort(valued.begin(), valued.end());
    shown.clear();
    for (const auto& v : valued) shown.push_back(v.second);
    shown.insert(shown.end(), none.begin(), none.end());
  }
  showRows(std::move(shown), true);
}

void ResultsSortModel::setMapping(std::vector<int> rows) {
  proxyToSource_ = std::move(rows);
  sourceToProxy_.assign(static_cast<size_t>(sourceRows()), -1);
  for (size_t p = 0; p < proxyToSource_.size(); ++p)
    sourceToProxy_[static_cast<size_t>(proxyToSource_[p])] = static_cast<int>(p);
}

void ResultsSortModel::showRows(std::vector<int> rows, bool mapped) {
  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  const QModelIndexList from = persistentIndexList();
  std::vector<int> sources;
  sources.reserve(static_cast<size_t>(from.size()));
  for (const QModelIndex& i : from) sources.push_back(sourceRowOf(i.row()));
  isMapped_ = mapped;
  if (mapped) {
    setMapping(std::move(rows));
  } else {
    proxyToSource_.clear();
    sourceToProxy_.clear();
  }
  QModelIndexList to;
  to.reserve(from.size());
  for (qsizetype i = 0; i < from.size(); ++i) {
    const int row = proxyRowOf(sources[static_cast<size_t>(i)]);
    to.push_back(row < 0 ? QModelIndex() : index(row, from[i].column()));
  }
  changePersistentIndexList(from, to);
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void ResultsSortModel::sourceRowsAboutToBeInserted(const QModelIndex& parent, int first, int last) {
  if (!parent.isValid() && !isMapped_) beginInsertRows({}, first, last);
}

void ResultsSortModel::sourceRowsInserted(const QModelIndex& parent, int first, int last) {
  if (parent.isValid()) return;
  const int count = last - first + 1;
  // Keys and text ids of the rows after them move along.
  if (static_cast<size_t>(first) < keys_.size())
    keys_.insert(keys_.begin() + first, static_cast<size_t>(count), kNoKey);
  for (auto& [column, texts] : texts_) {
    if (static_cast<size_t>(first) < texts->rowIds.size())
      texts->rowIds.insert(texts->rowIds.begin() + first, static_cast<size_t>(count), kStale);
    texts->staleFrom = std::min(texts->staleFrom, static_cast<size_t>(first));
  }
  scheduleWarmUp();
  if (!isMapped_) {
    endInsertRows();
    return;
  }
  for (int& s : proxyToSource_)
    if (s >= first) s += count;
  sourceToProxy_.insert(sourceToProxy_.begin() + first, static_cast<size_t>(count), -1);
  if (sortColumn_ >= 0) readKeys(first, last);
  std::vector<int> added;
  table_.visitRows(first, last, [this, &added](int32_t row, const RowCells& cells, const RowFailures& failures) {
    if (!filtering() || accepts(cells, failures)) added.push_back(row);
  });
  if (added.empty()) return;
  const bool sorted = sortColumn_ >= 0;
  if (sorted) std::sort(added.begin(), added.end(), [this](int a, int b) { return before(a, b); });
  const bool atEnd = proxyToSource_.empty() ||
                     (sorted ? before(proxyToSource_.back(), added.front()) : proxyToSource_.back() < added.front());
  if (atEnd) {
    // One insertion after the rows shown: the view reads only what it shows.
    const int at = static_cast<int>(proxyToSource_.size());
    beginInsertRows({}, at, at + static_cast<int>(added.size()) - 1);
    for (int s : added) {
      sourceToProxy_[static_cast<size_t>(s)] = static_cast<int>(proxyToSource_.size());
      proxyToSource_.push_back(s);
    }
    endInsertRows();
    return;
  }
  // Among the rows shown: one merge, one change of the layout.
  std::vector<int> merged;
  merged.reserve(proxyToSource_.size() + added.size());
  if (sorted)
    std::merge(proxyToSource_.begin(), proxyToSource_.end(), added.begin(), added.end(), std::back_inserter(merged),
               [this](int a, int b) { return before(a, b); });
  else
    std::merge(proxyToSource_.begin(), proxyToSource_.end(), added.begin(), added.end(), std::back_inserter(merged));
  showRows(std::move(merged), true);
}

void ResultsSortModel::sourceRowsAboutToBeRemoved(const QModelIndex& parent, int first, int last) {
  if (parent.isValid()) return;
  removalAsLayout_ = false;
  if (!isMapped_) {
    beginRemoveRows({}, first, last);
    return;
  }
  // The shown places of the rows that go, as runs of neighbours.
  std::vector<int> places;
  for (int s = first; s <= last && static_cast<size_t>(s) < sourceToProxy_.size(); ++s)
    if (const int p = sourceToProxy_[static_cast<size_t>(s)]; p >= 0) places.push_back(p);
  if (places.empty()) return;
  std::sort(places.begin(), places.end());
  std::vector<std::pair<int, int>> runs;
  for (int p : places) {
    if (!runs.empty() && runs.back().second == p - 1)
      runs.back().second = p;
    else
      runs.emplace_back(p, p);
  }
  constexpr size_t kMostRuns = 64;  // each run costs the view a pass over its rows
  if (runs.size() > kMostRuns) {
    removalAsLayout_ = true;
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    removalPersistent_ = persistentIndexList();
    removalSources_.clear();
    for (const QModelIndex& i : removalPersistent_) removalSources_.push_back(sourceRowOf(i.row()));
    return;
  }
  // Taken out of the view now, while the source still has them; the rows after
  // them are renumbered when the source has let them go.
  for (auto run = runs.rbegin(); run != runs.rend(); ++run) {
    beginRemoveRows({}, run->first, run->second);
    proxyToSource_.erase(proxyToSource_.begin() + run->first, proxyToSource_.begin() + run->second + 1);
    std::fill(sourceToProxy_.begin(), sourceToProxy_.end(), -1);
    for (size_t p = 0; p < proxyToSource_.size(); ++p)
      sourceToProxy_[static_cast<size_t>(proxyToSource_[p])] = static_cast<int>(p);
    endRemoveRows();
  }
}

void ResultsSortModel::sourceRowsRemoved(const QModelIndex& parent, int first, int last) {
  if (parent.isValid()) return;
  const int count = last - first + 1;
  auto erase = [first, last](auto& v) {
    if (static_cast<size_t>(first) >= v.size()) return;
    v.erase(v.begin() + first, v.begin() + std::min<std::ptrdiff_t>(last + 1, static_cast<std::ptrdiff_t>(v.size())));
  };
  erase(keys_);
  for (auto& [column, texts] : texts_) {
    erase(texts->rowIds);
    texts->staleFrom = std::min(texts->staleFrom, static_cast<size_t>(first));
  }
  if (!isMapped_) {
    endRemoveRows();
    return;
  }
  if (!removalAsLayout_) {
    // The shown places stand; the source rows after the gap move up.
    erase(sourceToProxy_);
    for (int& s : proxyToSource_)
      if (s > last) s -= count;
    return;
  }
  removalAsLayout_ = false;
  std::vector<int> kept;
  kept.reserve(proxyToSource_.size());
  for (int s : proxyToSource_) {
    if (s >= first && s <= last) continue;
    kept.push_back(s > last ? s - count : s);
  }
  setMapping(std::move(kept));
  QModelIndexList to;
  to.reserve(removalPersistent_.size());
  for (qsizetype i = 0; i < removalPersistent_.size(); ++i) {
    int s = removalSources_[static_cast<size_t>(i)];
    if (s >= first && s <= last) s = -1;
    if (s > last) s -= count;
    const int row = proxyRowOf(s);
    to.push_back(row < 0 ? QModelIndex() : index(row, removalPersistent_[i].column()));
  }
  changePersistentIndexList(removalPersistent_, to);
  removalPersistent_.clear();
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void ResultsSortModel::sourceDataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                                         const QList<int>& roles) {
  if (!topLeft.isValid() || !bottomRight.isValid()) return;
  const int first = topLeft.row(), last = bottomRight.row();
  // A text changed: its id is looked up again when the column is next sorted.
  for (auto& [column, texts] : texts_) texts->markStale(first, last);
  scheduleWarmUp();
  if (!isMapped_) {
    emit dataChanged(index(first, topLeft.column()), index(last, bottomRight.column()), roles);
    return;
  }
  const bool sorted = sortColumn_ >= 0;
  if (sorted) readKeys(first, last);
  // Rows that now fall out of the filter, come into it, or stand out of order.
  std::vector<int> misplaced;
  std::vector<char> accepted(static_cast<size_t>(last - first + 1), 0);
  table_.visitRows(first, last, [&](int32_t row, const RowCells& cells, const RowFailures& failures) {
    accepted[static_cast<size_t>(row - first)] = !filtering() || accepts(cells, failures);
  });
  int low = std::numeric_limits<int>::max(), high = -1;
  for (int s = first; s <= last && static_cast<size_t>(s) < sourceToProxy_.size(); ++s) {
    const int p = sourceToProxy_[static_cast<size_t>(s)];
    const bool in = accepted[static_cast<size_t>(s - first)];
    if ((p >= 0) != in) {
      misplaced.push_back(s);
      continue;
    }
    if (p < 0) continue;
    if (sorted) {
      const bool afterPrevious = p == 0 || before(proxyToSource_[static_cast<size_t>(p) - 1], s);
      const bool beforeNext =
          static_cast<size_t>(p) + 1 == proxyToSource_.size() || before(s, proxyToSource_[static_cast<size_t>(p) + 1]);
      if (!afterPrevious || !beforeNext) {
        misplaced.push_back(s);
        continue;
      }
    }
    low = std::min(low, p);
    high = std::max(high, p);
  }
  if (!misplaced.empty()) {
    // Taken out and put back where they now belong.
    std::vector<int> kept, back;
    kept.reserve(proxyToSource_.size());
    std::vector<char> moving(sourceToProxy_.size(), 0);
    for (int s : misplaced) moving[static_cast<size_t>(s)] = 1;
    for (int s : proxyToSource_)
      if (!moving[static_cast<size_t>(s)]) kept.push_back(s);
    for (int s : misplaced)
      if (accepted[static_cast<size_t>(s - first)]) back.push_back(s);
    std::vector<int> merged;
    merged.reserve(kept.size() + back.size());
    if (sorted) {
      auto less = [this](int a, int b) { return before(a, b); };
      std::sort(back.begin(), back.end(), less);
      std::merge(kept.begin(), kept.end(), back.begin(), back.end(), std::back_inserter(merged), less);
    } else {
      std::merge(kept.begin(), kept.end(), back.begin(), back.end(), std::back_inserter(merged));
    }
    showRows(std::move(merged), true);
    // The layout change repaints what is shown.
    return;
  }
  if (high >= 0) emit dataChanged(index(low, topLeft.column()), index(high, bottomRight.column()), roles);
}

void ResultsSortModel::sourceAboutToBeReset() { beginResetModel(); }

void ResultsSortModel::sourceReset() {
  keys_.clear();
  keyColumn_ = sortColumn_;
  texts_.clear();
  proxyToSource_.clear();
  sourceToProxy_.clear();
  isMapped_ = false;
  if (mapped() && sourceModel()) {
    // Sorted and filtered as before, over the rows there are now.
    const int rows = sourceRows();
    isMapped_ = true;
    if (sortColumn_ >= 0) {
      keys_.assign(static_cast<size_t>(rows), kNoKey);
      readKeys(0, rows - 1);
    }
    std::vector<int> shown;
    table_.visitRows(0, rows - 1, [this, &shown](int32_t row, const RowCells& cells, const RowFailures& failures) {
      if (!filtering() || accepts(cells, failures)) shown.push_back(row);
    });
    if (sortColumn_ >= 0) std::stable_sort(shown.begin(), shown.end(), [this](int a, int b) { return before(a, b); });
    setMapping(std::move(shown));
  }
  endResetModel();
  scheduleWarmUp();
}

void ResultsSortModel::scheduleWarmUp() {
  // Restarted by every change: while rows pour in, the store's lock belongs to the
  // writers, and the ranking waits for the first quiet moment.
  warmTimer_.start(kWarmUpDelayMs);
}

void ResultsSortModel::warmUp() {
  // The text columns a seller sorts by. Links and item ids are left to the click:
  // item ids sort as numbers, links are seldom sorted and their keys are long.
  static constexpr ResultColumn kColumns[] = {ResultColumn::Title, ResultColumn::Seller, ResultColumn::Location,
                                              ResultColumn::ShopType, ResultColumn::Monitored};
  constexpr int kChunk = 256;
  QElapsedTimer slice;
  slice.start();
  const int rows = sourceRows();
  for (ResultColumn c : kColumns) {
    const int column = kCol(c);
    // The sorted column is kept ranked by the rows' own changes.
    if (column == keyColumn_) continue;
    TextKeys& texts = textKeys(column);
    texts.rowIds.resize(static_cast<size_t>(rows), kStale);
    while (texts.staleFrom < static_cast<size_t>(rows)) {
      if (slice.elapsed() >= kWarmUpSliceMs) {
        warmTimer_.start(kWarmUpGapMs);
        return;
      }
      const int first = static_cast<int>(texts.staleFrom);
      lookUpTexts(texts, column, first, first + kChunk - 1);
      rankNewTexts(texts);
    }
  }
}

}  // namespace kelvora
