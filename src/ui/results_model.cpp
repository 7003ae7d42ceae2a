#include "ui/results_model.h"

#include <QStringList>
#include <QThread>
#include <algorithm>

#include "history/history_diff.h"
#include "net/codec.h"
#include "net/datetime.h"
#include "ui/desktop_calls_qt.h"

namespace kelvora {

ResultsModel::ResultsModel(ResultsTable& table, QObject* parent) : QAbstractTableModel(parent), table_(table) {
  batchTimer_.setObjectName(QStringLiteral("results batch"));
  batchTimer_.setSingleShot(true);
  batchTimer_.setInterval(kBatchMs);
  connect(&batchTimer_, &QTimer::timeout, this, &ResultsModel::flush);
  shownRows_ = table_.rowCount();
  table_.addListener(this);
}

ResultsModel::~ResultsModel() {
  // Waits for a notification under way on a worker; none comes after this.
  table_.removeListener(this);
}

int ResultsModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : shownRows_; }

int ResultsModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kResultColumnCount; }

bool ResultsModel::PartAffectsColumn(RequestPart part, int column) {
  switch (part) {
    case RequestPart::Page:
    case RequestPart::Alternate:
      return column == 1 || column == 2 || column == 4 || (column >= 8 && column <= 12);
    case RequestPart::Secondary:
      return column >= 9 && column <= 12;
    case RequestPart::Lookup:
      return column >= 5 && column <= 7;
  }
  return false;
}

QColor ResultsModel::FailureBackground() { return QColor(0xfb, 0xdc, 0xdc); }
QColor ResultsModel::FailureForeground() { return QColor(0xa0, 0x10, 0x10); }

QString ResultsModel::failureTip(const RowFailures& failures, int column) const {
  QStringList parts;
  for (int p = 0; p < kRequestPartCount; ++p) {
    const auto part = static_cast<RequestPart>(p);
    if (failures[part] == FailureKind::None || !PartAffectsColumn(part, column)) continue;
    parts << QStringLiteral("%1（%2）").arg(FromGbk(RequestPartLabel(part)), FromGbk(FailureKindLabel(failures[part])));
  }
  if (parts.isEmpty()) return {};
  return QStringLiteral("请求失败：") + parts.join(QStringLiteral("，"));
}

void ResultsModel::setDelistBefore(std::unordered_map<std::string, std::string> delistBefore) {
  delistBefore_ = std::move(delistBefore);
}

QString ResultsModel::delistMovedTip(const RowCells& cells) const {
  if (delistBefore_.empty() || cells[static_cast<size_t>(ResultColumn::Monitored)] != MONITORED_MARK) return {};
  const auto it = delistBefore_.find(cells[static_cast<size_t>(ResultColumn::ItemId)]);
  if (it == delistBefore_.end()) return {};
  const std::string& now = cells[static_cast<size_t>(ResultColumn::DelistAt)];
  if (now.empty() || now == NO_TIME_TEXT || !history::DelistMoved(GbkToUtf8(it->second), GbkToUtf8(now))) return {};
  return QStringLiteral("下架时间已变：%1 → %2").arg(FromGbk(it->second), FromGbk(now));
}

const ResultsModel::CachedRow& ResultsModel::cachedRow(int row) const {
  auto it = cache_.find(row);
  if (it != cache_.end()) return it->second;
  // A screenful is a few dozen rows; a cache grown past that is dropped whole.
  if (cache_.size() >= 512) cache_.clear();
  // The rows around it come along under the same lock: a paint reads the store
  // once or twice, not twice a row, while workers write to it.
  constexpr int kAhead = 48, kBehind = 16;
  const int first = std::max(0, row - kBehind), last = std::min(shownRows_ - 1, row + kAhead);
  table_.visitRows(first, last, [this](int32_t r, const RowCells& cells, const RowFailures& failures) {
    if (cache_.count(r)) return;
    CachedRow& entry = cache_[r];
    entry.cells = cells;
    entry.failures = failures;
  });
  // A row the store no longer has reads as empty.
  return cache_[row];
}

QVariant ResultsModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= shownRows_) return {};
  const int column = index.column();
  if (column < 0 || column >= kResultColumnCount) return {};
  switch (role) {
    case Qt::DisplayRole:
      return FromGbk(cachedRow(index.row()).cells[static_cast<size_t>(column)]);
    case Qt::BackgroundRole:
    case Qt::ForegroundRole:
    case Qt::ToolTipRole: {
      const CachedRow& row = cachedRow(index.row());
      const QString tip = row.failures.any() ? failureTip(row.failures, column) : QString();
      if (role != Qt::ToolTipRole) {
        if (tip.isEmpty()) return {};
        return role == Qt::BackgroundRole ? FailureBackground() : FailureForeground();
      }
      const QString moved = delistMovedTip(row.cells);
      if (moved.isEmpty()) return tip.isEmpty() ? QVariant() : QVariant(tip);
      QStringList lines{moved};
      if (!tip.isEmpty()) lines << tip;
      // The tip stands in for the whole text of a cut cell.
      if (column == static_cast<int>(ResultColumn::Title)) lines << FromGbk(row.cells[static_cast<size_t>(column)]);
      return lines.join(QLatin1Char('\n'));
    }
    default:
      return {};
  }
}

QVariant ResultsModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= kResultColumnCount) return {};
  if (role == Qt::DisplayRole) return FromGbk(ResultColumns()[static_cast<size_t>(section)].caption);
  return {};
}

void ResultsModel::rowsAppended(int32_t, int32_t) { scheduleFlush(); }

void ResultsModel::rowChanged(int32_t row) {
  {
    std::lock_guard lock(pendingMutex_);
    changedFirst_ = changedFirst_ < 0 ? row : std::min(changedFirst_, row);
    changedLast_ = std::max(changedLast_, row);
  }
  scheduleFlush();
}

void ResultsModel::rowsCleared() {
  {
    std::lock_guard lock(pendingMutex_);
    pendingClear_ = true;
    changedFirst_ = changedLast_ = -1;
  }
  scheduleFlush();
}

void ResultsModel::rowsRemoved(const std::vector<int32_t>& rows) {
  {
    std::lock_guard lock(pendingMutex_);
    pendingRemovals_.push_back(rows);
  }
  if (QThread::currentThread() == thread()) {
    flush();
    return;
  }
  scheduleFlush();
}

void ResultsModel::scheduleFlush() {
  if (flushScheduled_.exchange(true)) return;
  QMetaObject::invokeMethod(this, "startBatchTimer", Qt::QueuedConnection);
}

void ResultsModel::startBatchTimer() {
  if (!batchTimer_.isActive()) batchTimer_.start();
}

void ResultsModel::flush() {
  batchTimer_.stop();
  bool clear;
  int32_t changedFirst, changedLast;
  std::vector<std::vector<int32_t>> removals;
  {
    std::lock_guard lock(pendingMutex_);
    // Cleared before reading: a change heard from now on schedules the next flush.
    flushScheduled_ = false;
    clear = pendingClear_;
    changedFirst = changedFirst_;
    changedLast = changedLast_;
    removals.swap(pendingRemovals_);
    pendingClear_ = false;
    changedFirst_ = changedLast_ = -1;
  }
  cache_.clear();
  if (clear) {
    // A clear voids what came before it; rows taken out after it are no longer told apart.
    removals.clear();
    if (shownRows_ > 0) {
      beginResetModel();
      shownRows_ = 0;
      endResetModel();
    }
  }
  // Rows taken out leave in place, each run of neighbours at once from the last,
  // so the view keeps its place and its selection on the rows that stay.
  for (const std::vector<int32_t>& rows : removals) {
    for (size_t end = rows.size(); end > 0;) {
      size_t begin = end - 1;
      while (begin > 0 && rows[begin - 1] == rows[begin] - 1) --begin;
      const int first = rows[begin], last = std::min(rows[end - 1], shownRows_ - 1);
      end = begin;
      if (first > last) continue;  // rows the view had not been shown yet
      beginRemoveRows({}, first, last);
      shownRows_ -= last - first + 1;
      endRemoveRows();
    }
    // A change heard before the removal names rows by their old numbers.
    if (changedFirst >= 0 && !rows.empty()) {
      changedFirst = std::min(changedFirst, rows.front());
      changedLast = shownRows_ - 1;
    }
  }
  // The store's own count decides: notifications from several threads may come
  // in another order than the changes, but the count read here is the truth.
  const int count = table_.rowCount();
  if (count < shownRows_) {
    // A clear whose notice is still on its way; its own flush follows.
    beginResetModel();
    shownRows_ = count;
    endResetModel();
  } else if (count > shownRows_) {
    const int first = shownRows_;
    if (changedFirst >= first) changedFirst = -1;  // the inserted rows are read afresh
    beginInsertRows({}, first, count - 1);
    shownRows_ = count;
    endInsertRows();
  }
  if (changedFirst >= 0 && changedFirst < shownRows_) {
    changedLast = std::min(changedLast, shownRows_ - 1);
    emit dataChanged(index(changedFirst, 0), index(changedLast, kResultColumnCount - 1));
  }
}

}  // namespace kelvora
