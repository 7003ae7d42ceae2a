#include "results/results_table.h"

#include <algorithm>

#include "net/codec.h"
#include "net/text.h"

namespace kelvora {

const std::array<ColumnInfo, kResultColumnCount>& ResultColumns() {
  static const std::array<ColumnInfo, kResultColumnCount> columns = {{
      {"\xd0\xf2\xba\xc5", 40},  // 序号
      {"itemID", 50},
      {"\xb1\xea\xcc\xe2", 65},                          // 标题
      {"\xc1\xb4\xbd\xd3", 70},                          // 链接
      {"\xc2\xf4\xbc\xd2", 70},                          // 卖家
      {"\xc9\xcf\xbc\xdc\xca\xb1\xbc\xe4", 80},          // 上架时间
      {"\xcf\xc2\xbc\xdc\xca\xb1\xbc\xe4", 80},          // 下架时间
      {"\xca\xa3\xd3\xe0\xd0\xa1\xca\xb1\xca\xfd", 80},  // 剩余小时数
      {"\xb5\xea\xc6\xcc\xc0\xe0\xd0\xcd", 70},          // 店铺类型
      {"\xb5\xb1\xc7\xb0\xcf\xfa\xc1\xbf", 70},          // 当前销量
      {"\xb5\xb1\xc7\xb0\xbf\xe2\xb4\xe6", 70},          // 当前库存
      {"\xca\xdb\xbc\xdb", 65},                          // 售价
      {"\xcb\xf9\xd4\xda\xb5\xd8", 55},                  // 所在地
      {"\xbc\xe0\xb2\xe2", 50},                          // 监测
  }};
  return columns;
}

std::string RowCountLabelText(int32_t count) {
  return std::string("\xcc\xf5\xca\xfd\xa3\xba") + NumberText(static_cast<int64_t>(count));  // 条数：
}

namespace {

bool ValidColumn(int column) { return column >= 0 && column < kResultColumnCount; }

}  // namespace

const char* RequestPartName(RequestPart part) {
  switch (part) {
    case RequestPart::Page:
      return "page";
    case RequestPart::Alternate:
      return "alternate";
    case RequestPart::Secondary:
      return "secondary";
    case RequestPart::Lookup:
      return "lookup";
  }
  return "";
}

const char* FailureKindName(FailureKind kind) {
  switch (kind) {
    case FailureKind::None:
      return "";
    case FailureKind::NoAnswer:
      return "no answer";
    case FailureKind::ErrorStatus:
      return "error status";
    case FailureKind::CutShort:
      return "cut short";
    case FailureKind::Refused:
      return "refused";
    case FailureKind::Malformed:
      return "malformed";
  }
  return "";
}

const std::string& RequestPartLabel(RequestPart part) {
  static const std::string labels[kRequestPartCount] = {Utf8ToGbk("商品页"), Utf8ToGbk("备用商品页"),
                                                        Utf8ToGbk("附加数据"), Utf8ToGbk("时间查询")};
  const int i = static_cast<int>(part);
  static const std::string none;
  return i >= 0 && i < kRequestPartCount ? labels[i] : none;
}

const std::string& FailureKindLabel(FailureKind kind) {
  static const std::string labels[] = {std::string(),       Utf8ToGbk("无应答"), Utf8ToGbk("错误状态"),
                                       Utf8ToGbk("不完整"), Utf8ToGbk("被拒绝"), Utf8ToGbk("格式错误")};
  const size_t i = static_cast<size_t>(kind);
  return i < std::size(labels) ? labels[i] : labels[0];
}

// One registered listener. `call` is held while the listener runs, so removal
// can wait for a call under way; it is recursive because a listener may remove
// itself from inside its own call.
struct ResultsTable::ListenerEntry {
  Listener* listener;
  std::recursive_mutex call;
  bool removed = false;
};

// Every mutation takes the row lock for the change alone and tells the listeners
// afterwards, so a listener may read the table back without deadlocking.
template <typename Fn>
void ResultsTable::notify(Fn&& fn) {
  std::vector<std::shared_ptr<ListenerEntry>> copy;
  {
    std::lock_guard lock(listenersMutex_);
    copy = listeners_;
  }
  for (const auto& entry : copy) {
    std::lock_guard call(entry->call);
    if (!entry->removed) fn(*entry->listener);
  }
}

int32_t ResultsTable::addRow(const std::string& caption) {
  int32_t index;
  {
    std::lock_guard lock(mutex_);
    RowCells cells;
    cells[0] = caption;
    rows_.push_back(std::move(cells));
    failures_.emplace_back();
    index = static_cast<int32_t>(rows_.size() - 1);
  }
  notify([&](Listener& l) { l.rowsAppended(index, index); });
  return index;
}

int32_t ResultsTable::appendRows(std::vector<RowCells> rows, std::vector<RowFailures> failures) {
  failures.resize(rows.size());
  int32_t first, last;
  {
    std::lock_guard lock(mutex_);
    first = static_cast<int32_t>(rows_.size());
    rows_.reserve(rows_.size() + rows.size());
    failures_.reserve(failures_.size() + rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
      rows_.push_back(std::move(rows[i]));
      failures_.push_back(failures[i]);
    }
    last = static_cast<int32_t>(rows_.size()) - 1;
  }
  if (last >= first) notify([&](Listener& l) { l.rowsAppended(first, last); });
  return first;
}

void ResultsTable::setCell(int32_t row, int column, const std::string& text) {
  if (!ValidColumn(column)) return;
  {
    std::lock_guard lock(mutex_);
    if (row < 0 || static_cast<size_t>(row) >= rows_.size()) return;
    rows_[static_cast<size_t>(row)][static_cast<size_t>(column)] = text;
  }
  notify([&](Listener& l) { l.rowChanged(row); });
}

void ResultsTable::setRow(int32_t row, const RowCells& cells) {
  {
    std::lock_guard lock(mutex_);
    if (row < 0 || static_cast<size_t>(row) >= rows_.size()) return;
    rows_[static_cast<size_t>(row)] = cells;
  }
  notify([&](Listener& l) { l.rowChanged(row); });
}

uint64_t ResultsTable::epoch() const {
  std::lock_guard lock(mutex_);
  return epoch_;
}

bool ResultsTable::writeColumns(int32_t row, const RowCells& cells, int first, int last, uint64_t epoch) {
  return write(row, cells, first, last, epoch, nullptr);
}

bool ResultsTable::writeColumns(int32_t row, const RowCells& cells, int first, int last, uint64_t epoch,
                                const RowFailures& failures) {
  return write(row, cells, first, last, epoch, &failures);
}

bool ResultsTable::write(int32_t row, const RowCells& cells, int first, int last, uint64_t epoch,
                         const RowFailures* failures) {
  first = std::max(first, 0);
  last = std::min(last, kResultColumnCount - 1);
  if (first > last) return false;
  {
    std::lock_guard lock(mutex_);
    if (epoch != epoch_ || row < 0 || static_cast<size_t>(row) >= rows_.size()) return false;
    RowCells& target = rows_[static_cast<size_t>(row)];
    for (int c = first; c <= last; ++c) target[static_cast<size_t>(c)] = cells[static_cast<size_t>(c)];
    if (failures) failures_[static_cast<size_t>(row)] = *failures;
  }
  notify([&](Listener& l) { l.rowChanged(row); });
  return true;
}

std::string ResultsTable::cellText(int32_t row, int column) const {
  if (!ValidColumn(column)) return {};
  std::lock_guard lock(mutex_);
  if (row < 0 || static_cast<size_t>(row) >= rows_.size()) return {};
  return rows_[static_cast<size_t>(row)][static_cast<size_t>(column)];
}

RowCells ResultsTable::row(int32_t row) const {
  std::lock_guard lock(mutex_);
  if (row < 0 || static_cast<size_t>(row) >= rows_.size()) return {};
  return rows_[static_cast<size_t>(row)];
}

RowFailures ResultsTable::failures(int32_t row) const {
  std::lock_guard lock(mutex_);
  if (row < 0 || static_cast<size_t>(row) >= failures_.size()) return {};
  return failures_[static_cast<size_t>(row)];
}

bool ResultsTable::setFailures(int32_t row, const RowFailures& failures, uint64_t epoch) {
  {
    std::lock_guard lock(mutex_);
    if (epoch != epoch_ || row < 0 || static_cast<size_t>(row) >= failures_.size()) return false;
    failures_[static_cast<size_t>(row)] = failures;
  }
  notify([&](Listener& l) { l.rowChanged(row); });
  return true;
}

int32_t ResultsTable::rowCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<int32_t>(rows_.size());
}

void ResultsTable::clearRows() {
  {
    std::lock_guard lock(mutex_);
    rows_.clear();
    failures_.clear();
    selected_ = -1;  // no row is left to be selected
    ++epoch_;
  }
  notify([](Listener& l) { l.rowsCleared(); });
}

bool ResultsTable::visitRow(int32_t row, const std::function<void(const RowCells&, const RowFailures&)>& visit) const {
  std::lock_guard lock(mutex_);
  if (row < 0 || static_cast<size_t>(row) >= rows_.size()) return false;
  visit(rows_[static_cast<size_t>(row)], failures_[static_cast<size_t>(row)]);
  return true;
}

void ResultsTable::visitRows(int32_t first, int32_t last,
                             const std::function<void(int32_t, const RowCells&, const RowFailures&)>& visit) const {
  std::lock_guard lock(mutex_);
  const int32_t end = std::min(last + 1, static_cast<int32_t>(rows_.size()));
  for (int32_t r = std::max(first, 0); r < end; ++r)
    visit(r, rows_[static_cast<size_t>(r)], failures_[static_cast<size_t>(r)]);
}

void ResultsTable::removeRows(std::vector<int32_t> rows) {
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  {
    std::lock_guard lock(mutex_);
    const int32_t count = static_cast<int32_t>(rows_.size());
    size_t out = 0, next = 0;
    for (int32_t r = 0; r < count; ++r) {
      while (next < rows.size() && rows[next] < r) ++next;
      if (next < rows.size() && rows[next] == r) continue;
      if (out != static_cast<size_t>(r)) {
        rows_[out] = std::move(rows_[static_cast<size_t>(r)]);
        failures_[out] = failures_[static_cast<size_t>(r)];
      }
      ++out;
    }
    if (out == rows_.size()) return;  // nothing in range
    // Only the rows that were there are told.
    rows.erase(std::lower_bound(rows.begin(), rows.end(), count), rows.end());
    rows.erase(rows.begin(), std::lower_bound(rows.begin(), rows.end(), 0));
    rows_.resize(out);
    failures_.resize(out);
    selected_ = -1;
    ++epoch_;
  }
  notify([&rows](Listener& l) { l.rowsRemoved(rows); });
}

std::vector<RowCells> ResultsTable::snapshot() const {
  std::lock_guard lock(mutex_);
  return rows_;
}

int32_t ResultsTable::selectedRow() const {
  std::lock_guard lock(mutex_);
  return selected_;
}

void ResultsTable::setSelectedRow(int32_t row) {
  std::lock_guard lock(mutex_);
  selected_ = row < 0 ? -1 : row;
}

void ResultsTable::addListener(Listener* listener) {
  if (!listener) return;
  std::lock_guard lock(listenersMutex_);
  for (const auto& entry : listeners_)
    if (entry->listener == listener) return;
  auto entry = std::make_shared<ListenerEntry>();
  entry->listener = listener;
  listeners_.push_back(std::move(entry));
}

void ResultsTable::removeListener(Listener* listener) {
  std::shared_ptr<ListenerEntry> gone;
  {
    std::lock_guard lock(listenersMutex_);
    for (auto it = listeners_.begin(); it != listeners_.end(); ++it) {
      if ((*it)->listener == listener) {
        gone = *it;
        listeners_.erase(it);
        break;
      }
    }
  }
  if (!gone) return;
  // Waits for a call under way on another thread; later calls see `removed`.
  std::lock_guard call(gone->call);
  gone->removed = true;
}

}  // namespace kelvora
