// export: rows into an Excel workbook.
#include <sys/stat.h>

#include <cstdio>
#include <new>
#include <optional>

#include "analysis/workbook.h"
#include "analysis/workbook_io.h"
#include "cli/common.h"
#include "net/codec.h"

namespace kelvora::cli {

int RunExport(const Options& o, CliHost& host) {
  std::string out, source;
  bool haveSource = false;
  for (size_t i = 0; i < o.arguments.size(); ++i) {
    const std::string& arg = o.arguments[i];
    if (arg == "--out") {
      if (i + 1 >= o.arguments.size()) {
        ErrorLine("export: --out needs a path");
        return kExitUsage;
      }
      out = o.arguments[++i];
    } else if (arg.compare(0, 6, "--out=") == 0) {
      out = arg.substr(6);
    } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
      ErrorLine("export: unknown option " + arg);
      return kExitUsage;
    } else if (haveSource) {
      ErrorLine("export: one rows file at most");
      return kExitUsage;
    } else {
      source = arg;
      haveSource = true;
    }
  }
  if (out.empty()) {
    ErrorLine("export: --out PATH is required (.xls or .xlsx)");
    return kExitUsage;
  }
  // Refuse a wrong extension before reading what may be a long input.
  const WorkbookFormat format = WorkbookFormatOf(out);
  if (format == WorkbookFormat::Unknown) {
    std::fprintf(stderr, "%s\n", TerminalText(WriteWorkbook(out, {}).message).c_str());
    return kExitUsage;
  }

  // Each cell is converted as its row is read, and the row goes into the sheet
  // at once: an .xls keeps only its texts, an .xlsx its compressed rows.
  std::optional<XlsRows> xls;
  std::optional<XlsxRows> xlsx;
  if (format == WorkbookFormat::Xls) {
    xls.emplace();
    // Room for the texts of a whole file (address space only), so that the
    // sheet's tables are not copied as they grow. A UTF-8 text takes no fewer
    // bytes than its characters as the sheet keeps them, bar rare ones.
    struct stat input {};
    if (haveSource && source != "-" && ::stat(source.c_str(), &input) == 0 && S_ISREG(input.st_mode))
      xls->reserve(kMaxXlsDataRows, static_cast<size_t>(input.st_size));
  } else {
    xlsx.emplace();
  }
  {
    std::string error;
    // A table the format cannot hold is refused at its first row too many, not
    // after reading (and holding) all of it.
    const RowReadLimits limits{CliStopToken(), format == WorkbookFormat::Xls ? kMaxXlsDataRows : kMaxXlsxDataRows};
    RowCells cells;
    const auto onRow = [&](const RowView& row) {
      for (size_t c = 0; c < cells.size(); ++c) cells[c] = CellGbk(row.cells[c]);
      if (xls)
        xls->add(cells);
      else
        xlsx->add(cells);
    };
    RowsRead read = RowsRead::Ok;
    try {
      read = ReadRows(haveSource ? source : std::string("-"), onRow, error, limits);
    } catch (const std::bad_alloc&) {  // a table too large for the memory left
      std::fprintf(stderr, "%s\n", TerminalText(workbook::WriteFailureText(out, Utf8ToGbk("内存不足"))).c_str());
      return kExitUsage;
    }
    switch (read) {
      case RowsRead::Ok:
        break;
      case RowsRead::Stopped:
        std::fprintf(stderr, "%s\n", TerminalText(WorkbookResult::Stopped(out).message).c_str());
        return ExitCodeAfterRun();
      case RowsRead::TooManyRows:
        std::fprintf(stderr, "%s\n", TerminalText(TooManyRowsMessage(out, format)).c_str());
        ErrorLine("export: " + error);
        return kExitUsage;
      case RowsRead::Refused:
        ErrorLine("export: " + error);
        return kExitUsage;
    }
  }

  const WorkbookResult result = xls ? xls->write(out, CliStopToken()) : xlsx->write(out, CliStopToken());
  if (result.stopped) {
    std::fprintf(stderr, "%s\n", TerminalText(result.message).c_str());
    return ExitCodeAfterRun();
  }
  if (!result.ok) {
    std::fprintf(stderr, "%s\n", TerminalText(result.message).c_str());
    return kExitUsage;
  }
  if (!result.warning.empty()) host.message(result.warning);
  if (!host.quiet()) host.message(Utf8ToGbk("完成操作"));
  return ExitCodeAfterRun();
}

}  // namespace kelvora::cli
