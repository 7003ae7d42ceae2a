#pragma once
// The vendor lookup service client and the per-item driver.
#include <cstdint>
#include <string>

#include "app/host.h"
#include "app/results_table.h"

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

// Re-runs FillResultRow on every row (present when it starts) whose 上架时间 is 无时间
// or that records a failed request. Stops between rows when the host asks to.
void RetryFailedRows(ResultsTable& table, Host& host);

}  // namespace kelvora
