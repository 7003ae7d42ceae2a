#pragma once
// The fourteen-column results store. Every search mode appends rows here, the
// per-item driver writes them, and views listen for changes. Single operations
// are atomic; no lock is ever held across a request.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/request_failure.h"

namespace kelvora {

enum class ResultColumn : int {
  Index = 0,
  ItemId,
  Title,
  Link,
  Seller,
  ListedAt,
  DelistAt,
  HoursLeft,
  ShopType,
  Sales,
  Stock,
  Price,
  Location,
  Monitored
};
inline constexpr int kResultColumnCount = 14;

// GBK texts of cells.
inline constexpr const char* FETCH_FAILED_TITLE =
    "\xbb\xf1\xc8\xa1\xca\xfd\xbe\xdd\xca\xa7\xb0\xdc\xa3\xa1";  // 获取数据失败！
inline constexpr const char* REMOVED_ITEM_TITLE =
    "\xb8\xc3\xc9\xcc\xc6\xb7\xd2\xd1\xcf\xc2\xbc\xdc\xa1\xa3";      // 该商品已下架。
inline constexpr const char* TMALL_SHOP_TEXT = "\xcc\xec\xc3\xa8";   // 天猫
inline constexpr const char* TAOBAO_SHOP_TEXT = "\xb5\xea\xc6\xcc";  // 店铺
inline constexpr const char* MONITORED_MARK = "\xa1\xcc";            // √

struct ColumnInfo {
  const char* caption;  // GBK
  int width;            // pixels
};
const std::array<ColumnInfo, kResultColumnCount>& ResultColumns();

// The requests behind one row, and how each one failed. A row keeps this beside
// its cells, so views can mark the cells it spoiled and a retry can revisit it.
enum class RequestPart : int { Page = 0, Alternate, Secondary, Lookup };
inline constexpr int kRequestPartCount = 4;

struct RowFailures {
  std::array<FailureKind, kRequestPartCount> parts{};
  FailureKind& operator[](RequestPart p) { return parts[static_cast<size_t>(p)]; }
  FailureKind operator[](RequestPart p) const { return parts[static_cast<size_t>(p)]; }
  bool any() const {
    for (FailureKind k : parts)
      if (k != FailureKind::None) return true;
    return false;
  }
  bool operator==(const RowFailures&) const = default;
};

// One analysed item, as the item analysis and the lookup fill it.
struct ResultRow {
  std::string title;
  std::string link;
  std::string itemId;
  bool isTmall = false;
  std::string stock;
  std::string sales;
  std::string seller;
  std::string listedAt;
  std::string delistAt;
  int32_t hoursLeft = 0;
  std::string location;
  std::string price;
  // Which of the item's requests failed, and how; the cells above are what the
  // failed requests left.
  RowFailures failures;
  // Which requests were made at all (bit 1 << RequestPart): a retry keeps the
  // cells of a request that failed, or that an earlier failure kept from being made.
  unsigned requested = 0;
  void markRequested(RequestPart p) { requested |= 1u << static_cast<unsigned>(p); }
  bool wasRequested(RequestPart p) const { return (requested >> static_cast<unsigned>(p)) & 1u; }
};

using RowCells = std::array<std::string, kResultColumnCount>;

// "page", "alternate", "secondary", "lookup": the names rows files and messages use.
const char* RequestPartName(RequestPart part);
// "no answer", "error status", "cut short", "refused", "malformed" (plain ASCII).
const char* FailureKindName(FailureKind kind);
// The same in Chinese, for what a seller reads (GBK): 商品页, 备用商品页, 附加数据,
// 时间查询; 无应答, 错误状态, 不完整, 被拒绝, 格式错误.
const std::string& RequestPartLabel(RequestPart part);
const std::string& FailureKindLabel(FailureKind kind);

// "条数：" followed by the count (GBK).
std::string RowCountLabelText(int32_t count);

class ResultsTable {
 public:
  // Called on the thread that made the change, after the lock is released.
  struct Listener {
    virtual ~Listener() = default;
    virtual void rowsAppended(int32_t first, int32_t last) = 0;
    virtual void rowChanged(int32_t row) = 0;
    virtual void rowsCleared() = 0;
    // Rows were taken out (their numbers before the change, ascending, each
    // once); the rows after them moved up.
    virtual void rowsRemoved(const std::vector<int32_t>& rows) { (void)rows; }
  };

  int32_t addRow(const std::string& caption = {});
  // Appends whole rows with their failures (`failures` as many as `rows`, or
  // empty for none) in one change notification; the index of the first.
  int32_t appendRows(std::vector<RowCells> rows, std::vector<RowFailures> failures = {});
  // Out-of-range rows and columns are ignored.
  void setCell(int32_t row, int column, const std::string& text);
  void setCell(int32_t row, ResultColumn column, const std::string& text) {
    setCell(row, static_cast<int>(column), text);
  }
  // Writes a whole row at once (one change notification).
  void setRow(int32_t row, const RowCells& cells);
  // Counts the clears; a writer that read it before a long request passes it to
  // writeColumns so that a row cleared meanwhile is not overwritten by stale data.
  uint64_t epoch() const;
  // Writes columns first..last of `row` from `cells` in one change, unless the
  // table was cleared since `epoch`. False when nothing was written.
  bool writeColumns(int32_t row, const RowCells& cells, int first, int last, uint64_t epoch);
  // The same, recording the row's failures in the same change.
  bool writeColumns(int32_t row, const RowCells& cells, int first, int last, uint64_t epoch,
                    const RowFailures& failures);
  // Empty text for out-of-range rows and columns.
  std::string cellText(int32_t row, int column) const;
  std::string cellText(int32_t row, ResultColumn column) const { return cellText(row, static_cast<int>(column)); }
  RowCells row(int32_t row) const;
  // Calls `visit` with the row's cells and failures in place, under the table's
  // lock: for reading many rows without copying them. `visit` must not call the
  // table. False (and no call) for an out-of-range row.
  bool visitRow(int32_t row, const std::function<void(const RowCells&, const RowFailures&)>& visit) const;
  // The same for rows first..last (clipped to the table) under one lock, in order:
  // for scanning the whole table at once. `visit` must not call the table.
  void visitRows(int32_t first, int32_t last,
                 const std::function<void(int32_t row, const RowCells&, const RowFailures&)>& visit) const;
  // What failed while the row was last filled; all None for out-of-range rows.
  RowFailures failures(int32_t row) const;
  // Records the failures of `row` (one change notification), unless the table was
  // cleared since `epoch`.
  bool setFailures(int32_t row, const RowFailures& failures, uint64_t epoch);
  void setFailures(int32_t row, const RowFailures& failures) { setFailures(row, failures, epoch()); }
  int32_t rowCount() const;
  void clearRows();
  // Takes out the given rows (out-of-range ones are ignored); the others keep their
  // cells, 序号 included, in their order. Like a clear, it voids the epoch, so a
  // writer that read it before cannot land on a row that moved.
  void removeRows(std::vector<int32_t> rows);
  std::vector<RowCells> snapshot() const;

  // The selection belongs to the view; the store keeps what the view tells it.
  int32_t selectedRow() const;
  void setSelectedRow(int32_t row);

  // A listener is called on the thread that made the change, never twice at once.
  // removeListener waits for a call to that listener under way on another thread,
  // so the listener may be destroyed as soon as it returns. Listeners must not
  // change the table from inside a call.
  void addListener(Listener* listener);
  void removeListener(Listener* listener);

 private:
  struct ListenerEntry;
  template <typename Fn>
  void notify(Fn&& fn);
  bool write(int32_t row, const RowCells& cells, int first, int last, uint64_t epoch, const RowFailures* failures);

  mutable std::mutex mutex_;
  std::vector<RowCells> rows_;
  std::vector<RowFailures> failures_;
  int32_t selected_ = -1;
  uint64_t epoch_ = 0;
  std::mutex listenersMutex_;
  std::vector<std::shared_ptr<ListenerEntry>> listeners_;
};

}  // namespace kelvora
