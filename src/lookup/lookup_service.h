#pragma once
// The vendor lookup service client and the per-item driver.
#include <cstdint>
#include <functional>
#include <string>

#include "results/host.h"
#include "results/results_table.h"

namespace kelvora {

class LookupService {
 public:
  // Fills listedAt, delistAt and hoursLeft of `row` for `itemId` (inserted unchanged),
  // and records in row.failures how the lookup request failed, if it did.
  static void queryTimes(const std::string& itemId, ResultRow& row);
  // Hours from `now` (UTC+8 wall clock) to the delisting cell text; 0 when past or unknown.
  static int32_t HoursLeft(const std::string& delistAtText, double nowUtc8);
};

// Analyses the address in column 链接 of `row` and writes the row's cells with the
// record of its failed requests, the row count label and the monitored mark.
void FillResultRow(ResultsTable& table, int32_t row, Host& host);

// What a retry did: rows it asked for again, those now whole (no failed request,
// no failure text), those still failed, and whether it was stopped before the end.
struct RetrySummary {
  int32_t retried = 0;
  int32_t complete = 0;
  int32_t stillFailed = 0;
  bool stopped = false;
};

// Runs the item of every row (present when it starts) whose 上架时间 is 无时间 or
// that records a failed request again, in order, and merges the new attempt into the
// row with MergeRetriedRow. Stops between rows when the host asks to. Between two
// retried rows it pauses `gapMs()` + 1 milliseconds (the grab delay, read for every
// row so a change takes effect at once); none without `gapMs`.
RetrySummary RetryFailedRows(ResultsTable& table, Host& host, const std::function<int()>& gapMs = {});

// A row's cells after a retry: a cell takes the new attempt's value only where the
// request behind it succeeded this time and gave no failure text; otherwise it keeps
// an earlier good value. `failedAfter` names the requests whose cells still show
// what a failed request left.
RowCells MergeRetriedRow(const RowCells& before, const RowFailures& failedBefore, const ResultRow& attempt, int32_t row,
                         double nowUtc8, RowFailures& failedAfter);

// The status line after a retry (GBK): 重试结束：重试 N 行，M 行已完整，K 行仍失败.
std::string RetrySummaryText(const RetrySummary& summary);

}  // namespace kelvora
