#include "results/results_table.h"

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
  const char* captions[] = {"序号",       "itemID",   "标题",     "链接",     "卖家", "上架时间", "下架时间",
                            "剩余小时数", "店铺类型", "当前销量", "当前库存", "售价", "所在地",   "监测"};
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

TEST(ResultsTable, RemovedRowsTakeTheirCellsAndFailuresWithThem) {
  ResultsTable table;
  for (int i = 0; i < 6; ++i)
    table.setCell(table.addRow(std::to_string(i + 1)), ResultColumn::ItemId, "id" + std::to_string(i));
  RowFailures failed;
  failed[RequestPart::Secondary] = FailureKind::Malformed;
  table.setFailures(4, failed);
  struct Removals : ResultsTable::Listener {
    void rowsAppended(int32_t, int32_t) override {}
    void rowChanged(int32_t) override {}
    void rowsCleared() override {}
    void rowsRemoved(const std::vector<int32_t>& rows) override {
      ++count;
      told = rows;
    }
    int count = 0;
    std::vector<int32_t> told;
  } removals;
  table.addListener(&removals);
  table.setSelectedRow(2);
  const uint64_t before = table.epoch();

  table.removeRows({3, 0, 3, 99, -1});  // repeated and out-of-range rows are ignored
  ASSERT_EQ(table.rowCount(), 4);
  const char* ids[] = {"id1", "id2", "id4", "id5"};
  const char* numbers[] = {"2", "3", "5", "6"};  // 序号 stays what it was
  for (int r = 0; r < 4; ++r) {
    EXPECT_EQ(table.cellText(r, ResultColumn::ItemId), ids[r]);
    EXPECT_EQ(table.cellText(r, ResultColumn::Index), numbers[r]);
  }
  EXPECT_EQ(table.failures(2), failed);  // the failures moved with their row
  EXPECT_FALSE(table.failures(3).any());
  EXPECT_EQ(removals.count, 1);
  // Views are told which rows went, in the numbers they had, to take them out in place.
  EXPECT_EQ(removals.told, (std::vector<int32_t>{0, 3}));
  EXPECT_EQ(table.selectedRow(), -1);
  // A writer that read the epoch before cannot land on a row that moved.
  EXPECT_NE(table.epoch(), before);
  EXPECT_FALSE(table.writeColumns(0, RowCells{}, 1, 1, before));

  table.removeRows({7});  // nothing in range: no change, no notice
  EXPECT_EQ(removals.count, 1);
  table.removeListener(&removals);
}

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

TEST(ResultsTable, FailuresFollowTheirRowAndAreClearedWithIt) {
  ResultsTable t;
  t.addRow();
  t.addRow();
  RowFailures f;
  f[RequestPart::Secondary] = FailureKind::CutShort;
  EXPECT_TRUE(t.setFailures(1, f, t.epoch()));
  EXPECT_FALSE(t.failures(0).any());
  EXPECT_EQ(t.failures(1), f);
  EXPECT_FALSE(t.setFailures(2, f, t.epoch()));  // no such row
  const uint64_t before = t.epoch();
  t.clearRows();
  t.addRow();
  t.addRow();
  EXPECT_FALSE(t.failures(1).any());          // a new row starts clean
  EXPECT_FALSE(t.setFailures(1, f, before));  // stale writer
  EXPECT_FALSE(t.failures(1).any());
  EXPECT_STREQ(RequestPartName(RequestPart::Alternate), "alternate");
  EXPECT_STREQ(FailureKindName(FailureKind::NoAnswer), "no answer");
}

// A listener that touches its own memory on every call: destroyed right after
// removeListener returns, any call still under way would be a use after free
// (ASan) or a race (TSan).
struct FragileListener : ResultsTable::Listener {
  void rowsAppended(int32_t, int32_t) override { touch(); }
  void rowChanged(int32_t) override { touch(); }
  void rowsCleared() override { touch(); }
  void touch() {
    for (int i = 0; i < 50; ++i) calls[i % 8] += 1;
  }
  long calls[8] = {};
};

struct SelfRemovingListener : ResultsTable::Listener {
  explicit SelfRemovingListener(ResultsTable& t) : table(t) {}
  void rowsAppended(int32_t, int32_t) override {
    table.removeListener(this);
    ++calls;
  }
  void rowChanged(int32_t) override {}
  void rowsCleared() override {}
  ResultsTable& table;
  int calls = 0;
};

TEST(ResultsTable, ListenersComeAndGoWhileWritersRun) {
  ResultsTable t;
  std::atomic<bool> done{false};
  std::vector<std::thread> writers;
  for (int k = 0; k < 3; ++k) {
    writers.emplace_back([&t, &done, k] {
      int n = 0;
      while (!done.load()) {
        const int32_t r = t.addRow();
        t.setCell(r, ResultColumn::Title, "t");
        RowFailures f;
        f[RequestPart::Lookup] = FailureKind::NoAnswer;
        t.setFailures(r, f);
        if (k == 0 && ++n % 200 == 0) t.clearRows();
      }
    });
  }
  for (int i = 0; i < 2000; ++i) {
    auto* l = new FragileListener;
    t.addListener(l);
    std::this_thread::yield();
    t.removeListener(l);
    delete l;
  }
  done = true;
  for (auto& w : writers) w.join();

  // A listener may take itself off from inside its own call.
  SelfRemovingListener self(t);
  t.addListener(&self);
  t.addRow();
  t.addRow();
  EXPECT_EQ(self.calls, 1);
}

}  // namespace
}  // namespace kelvora
