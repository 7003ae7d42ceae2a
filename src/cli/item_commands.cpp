// item and retry: rows from addresses, and failed rows run again.
#include <iostream>
#include <iterator>

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
    PrintRow(table.row(row), o.format);
  }
  if (host.stopRequested()) ErrorLine("interrupted; the rows above are complete");
  return ExitCodeAfterRun();
}

int RunRetry(const Options& o, CliHost& host) {
  if (o.arguments.size() > 1) {
    ErrorLine("retry: one rows file at most");
    return kExitUsage;
  }
  std::string input;
  std::string source = o.arguments.empty() ? std::string("-") : o.arguments[0];
  if (source == "-") {
    input.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    source = "stdin";
  } else if (!ReadWholeFile(source, input)) {
    ErrorLine("retry: cannot read " + source);
    return kExitUsage;
  }
  std::vector<RowCells> rows;
  std::string error;
  if (!ParseRows(input, rows, error)) {
    ErrorLine("retry: " + source + ": " + error);
    return kExitUsage;
  }
  ResultsTable table;
  for (const RowCells& cells : rows) table.setRow(table.addRow(), cells);
  RetryFailedRows(table, host);
  if (host.stopRequested()) ErrorLine("interrupted; rows not reached are printed as they were read");
  PrintCaptionIfTsv(o.format);
  for (const RowCells& cells : table.snapshot()) PrintRow(cells, o.format);
  return ExitCodeAfterRun();
}

}  // namespace kelvora::cli
