// item and retry: rows from addresses, and failed rows run again.
#include <memory>

#include "cli/common.h"
#include "lookup/lookup_service.h"
#include "net/codec.h"
#include "net/text.h"

namespace kelvora::cli {

int RunItem(const Options& o, CliHost& host) {
  if (o.arguments.empty()) {
    ErrorLine("item: no address given");
    return kExitUsage;
  }
  ResultsTable table;
  BeginRecordedRun();
  PrintCaptionIfTsv(o.format);
  for (size_t n = 0; n < o.arguments.size(); ++n) {
    if (host.stopRequested()) break;
    if (n > 0) {
      // The grab delay plus one millisecond spaces the items' requests.
      host.pause(o.delayMs + 1);
      if (host.stopRequested()) break;
    }
    const int32_t row = table.addRow(NumberText(static_cast<int64_t>(table.rowCount()) + 1));
    table.setCell(row, ResultColumn::Link, Utf8ToGbk(o.arguments[n]));
    FillResultRow(table, row, host);
    const RowFailures failures = table.failures(row);
    PrintRow(table.row(row), o.format, failures);
    ReportFailedRequests(host, row, failures);
    host.setProgress({0, 0, static_cast<int>(n + 1), static_cast<int>(o.arguments.size())});
  }
  if (host.stopRequested()) host.errorLine("interrupted; the rows above are complete");
  return ExitCodeAfterRun();
}

namespace {

// Notes the rows the retry wrote: only those get a stderr line about failed
// requests, since rows read back know which requests failed but not how.
struct WrittenRows : ResultsTable::Listener {
  void rowsAppended(int32_t, int32_t) override {}
  void rowsCleared() override {}
  void rowChanged(int32_t row) override { rows.push_back(row); }
  std::vector<int32_t> rows;
};

}  // namespace

int RunRetry(const Options& o, CliHost& host) {
  if (o.arguments.size() > 1) {
    ErrorLine("retry: one rows file at most");
    return kExitUsage;
  }
  const std::string source = o.arguments.empty() ? std::string("-") : o.arguments[0];
  // Rows go into the table as they are read, with no other copy of them.
  auto table = std::make_unique<ResultsTable>();
  std::string error;
  ParsedRow parsed;
  const auto onRow = [&](const RowView& view) {
    RowGbk(view, parsed);
    const int32_t row = table->addRow();
    table->setRow(row, parsed.cells);
    table->setFailures(row, parsed.failures);
  };
  switch (ReadRows(source, onRow, error, {CliStopToken()})) {
    case RowsRead::Ok:
      break;
    case RowsRead::Stopped:
      KeepUntilExit(std::move(table));
      return ExitCodeAfterRun();
    case RowsRead::Refused:
    case RowsRead::TooManyRows:
      ErrorLine("retry: " + error);
      return kExitUsage;
  }
  BeginRecordedRun();
  WrittenRows written;
  table->addListener(&written);
  const RetrySummary summary = RetryFailedRows(*table, host, [&o] { return o.delayMs; });
  table->removeListener(&written);
  if (host.stopRequested()) host.errorLine("interrupted; rows not reached are printed as they were read");
  host.setStatus(RetrySummaryText(summary));
  // Every row is printed, also after an interrupt: the output is the whole table.
  const int32_t rowCount = table->rowCount();
  std::vector<bool> rerun(static_cast<size_t>(rowCount), false);
  for (int32_t row : written.rows)
    if (row >= 0 && row < rowCount) rerun[static_cast<size_t>(row)] = true;
  PrintCaptionIfTsv(o.format);
  for (int32_t i = 0; i < rowCount; ++i) {
    RowFailures failures;
    table->visitRow(i, [&](const RowCells& cells, const RowFailures& f) {
      failures = f;
      PrintRow(cells, o.format, failures);
    });
    if (rerun[static_cast<size_t>(i)]) ReportFailedRequests(host, i, failures);
  }
  return ExitCodeAfterRun();
}

}  // namespace kelvora::cli
