#pragma once
// What changed between two runs, item by item: new and gone items, and for the
// items in both, the fields that moved. Works on UTF-8 cells as the history file
// keeps them.
#include <string>
#include <vector>

#include "results/results_table.h"

namespace kelvora::history {

struct DiffLine {
  enum class Kind { Added, Changed, Removed } kind;
  std::string id;
  std::string field;    // Changed: 标题, 售价, 当前销量, 当前库存 or 下架时间
  std::string oldText;  // Changed
  std::string newText;  // Changed; Added and Removed: the title
};

inline constexpr int64_t kWeekSeconds = 604800;

// What a diff reads of a row (UTF-8): a run of 10 000 rows read for a diff is a
// few MB instead of all fourteen cells.
struct DiffRow {
  std::string id, title, price, sales, stock, delist;
};
DiffRow DiffRowOf(const RowCells& utf8Cells);

// Whether a 下架时间 moved from `oldUtf8` to `newUtf8` as a relisting does: the two
// times differ by other than whole weeks (texts that are not times: they differ).
bool DelistMoved(const std::string& oldUtf8, const std::string& newUtf8);

// From the rows of run A to those of run B (UTF-8 cells). Rows without an item id
// are left out; an id found twice in a run counts by its last row, and its line
// comes at that row's place. First, in B's order, "+" for an id not in A and the
// changed fields of the ids in both (in the order 标题, 售价, 当前销量, 当前库存,
// 下架时间); then, in A's order, "-" for an id not in B. A field is compared only
// when neither cell is empty or a failure text (无时间, 获取数据失败！); a 下架时间
// counts as changed only when the two times differ by other than whole weeks.
std::vector<DiffLine> DiffRows(const std::vector<DiffRow>& a, const std::vector<DiffRow>& b);
std::vector<DiffLine> DiffRows(const std::vector<RowCells>& a, const std::vector<RowCells>& b);

// "+\tID\tTITLE", "~\tID\tFIELD\tOLD\tNEW" or "-\tID\tTITLE" (UTF-8, no line break),
// TAB, CR, LF and backslash in texts written as in tsv rows.
std::string DiffLineText(const DiffLine& line);

}  // namespace kelvora::history
