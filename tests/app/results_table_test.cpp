#include "app/results_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "support/fixtures.h"

namespace kelvora {
namespace {

using test::G;

TEST(ResultsTable, ColumnCaptionsAndWidths) {
  const char* captions[] = {"序号", "itemID", "标题", "链接", "卖家", "上架时间", "下架时间",
                            "剩余小时数", "店铺类型", "当前销量", "当前库存", "售价", "所在地", "监测"};
  const int widths[] = {40, 50, 65, 70, 70, 80, 80, 80, 70, 70, 70, 65, 55, 50};
  for (int i = 0; i < kResultColumnCount; ++i) {
    EXPECT_EQ(ResultColumns()[i].caption, G(captions[i])) << i;
    EXPECT_EQ(ResultColumns()[i].width, widths[i]) << i;
  }
  EXPECT_EQ(RowCountLabelText(25), G("条数：25"));
  EXPECT_EQ(RowCountLabelText(0), G("条数：0"));
}

TEST(ResultsTable, RowOperationsAndBounds) {
  ResultsTable t;
  EXPECT_EQ(t.addRow("1"), 0);
  EXPECT_EQ(t.addRow(), 1);
  EXPECT_EQ(t.rowCount(), 2);
  EXPECT_EQ(t.cellText(0, ResultColumn::Index), "1");
  t.setCell(1, ResultColumn::Link, "http://a");
  EXPECT_EQ(t.cellText(1, 3), "http://a");
  // Out of range: ignored on write, empty on read.
  t.setCell(2, 3, "x");
  t.setCell(0, 14, "x");
  t.setCell(-1, 0, "x");
  EXPECT_EQ(t.cellText(2, 3), "");
  EXPECT_EQ(t.cellText(0, 14), "");
  EXPECT_EQ(t.cellText(0, -1), "");
  EXPECT_EQ(t.rowCount(), 2);

  RowCells cells;
  cells[2] = "title";
  t.setRow(1, cells);
  EXPECT_EQ(t.cellText(1, 3), "");  // the whole row is replaced
  EXPECT_EQ(t.row(1)[2], "title");
  EXPECT_EQ(t.snapshot().size(), 2u);

  EXPECT_EQ(t.selectedRow(), -1);
  t.setSelectedRow(1);
  EXPECT_EQ(t.selectedRow(), 1);
  t.clearRows();
  EXPECT_EQ(t.rowCount(), 0);
  EXPECT_EQ(t.selectedRow(), -1);  // nothing left to be selected
  EXPECT_EQ(t.addRow(), 0);
}

TEST(ResultsTable, WriteColumnsRefusesRowsClearedSinceTheEpoch) {
  ResultsTable t;
  t.addRow();
  const uint64_t before = t.epoch();
  RowCells cells;
  cells.fill("v");
  EXPECT_TRUE(t.writeColumns(0, cells, 2, 3, before));
  EXPECT_EQ(t.cellText(0, 1), "");
  EXPECT_EQ(t.cellText(0, 2), "v");
  EXPECT_EQ(t.cellText(0, 3), "v");
  EXPECT_EQ(t.cellText(0, 4), "");

  t.clearRows();
  t.addRow("new");
  EXPECT_FALSE(t.writeColumns(0, cells, 0, 13, before));
  EXPECT_EQ(t.row(0)[0], "new");
  EXPECT_TRUE(t.writeColumns(0, cells, 0, 13, t.epoch()));
}

// Counts notifications; reads the table back from inside the callback to show
// that no lock is held while listeners run.
struct CountingListener : ResultsTable::Listener {
  explicit CountingListener(ResultsTable& t) : table(t) {}
  void rowsAppended(int32_t first, int32_t last) override {
    appended += last - first + 1;
    table.rowCount();
    std::lock_guard lock(m);
    seen.insert(first);
  }
  void rowChanged(int32_t row) override {
    changed++;
    table.cellText(row, 0);
  }
  void rowsCleared() override { cleared++; }
  ResultsTable& table;
  std::atomic<int> appended{0}, changed{0}, cleared{0};
  std::mutex m;
  std::set<int32_t> seen;
};

TEST(ResultsTable, ConcurrentAppendsAndListenerCounts) {
  ResultsTable t;
  CountingListener listener(t);
  t.addListener(&listener);
  t.addListener(&listener);  // added once only
  constexpr int kThreads = 4, kRows = 500;
  std::vector<std::thread> threads;
  for (int k = 0; k < kThreads; ++k) {
    threads.emplace_back([&t, k] {
      for (int i = 0; i < kRows; ++i) {
        int32_t r = t.addRow();
        t.setCell(r, ResultColumn::Link, std::to_string(k) + ":" + std::to_string(i));
      }
    });
  }
  for (auto& th : threads) th.join();

  EXPECT_EQ(t.rowCount(), kThreads * kRows);
  EXPECT_EQ(listener.appended, kThreads * kRows);
  EXPECT_EQ(listener.changed, kThreads * kRows);
  EXPECT_EQ(listener.seen.size(), static_cast<size_t>(kThreads * kRows));  // every index once
  std::set<std::string> links;
  for (const RowCells& row : t.snapshot()) links.insert(row[3]);
  EXPECT_EQ(links.size(), static_cast<size_t>(kThreads * kRows));  // no write lost

  t.clearRows();
  EXPECT_EQ(listener.cleared, 1);
  t.removeListener(&listener);
  t.addRow();
  EXPECT_EQ(listener.appended, kThreads * kRows);
}

}  // namespace
}  // namespace kelvora
