// export: rows into an Excel workbook.
#include <cstdio>

#include "analysis/workbook.h"
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
  if (WorkbookFormatOf(out) == WorkbookFormat::Unknown) {
    std::fprintf(stderr, "%s\n", TerminalText(WriteWorkbook(out, {}).message).c_str());
    return kExitUsage;
  }

  std::vector<RowCells> rows;
  {
    std::vector<ParsedRow> parsed;
    std::string error;
    if (!ReadRows(haveSource ? source : std::string("-"), parsed, error)) {
      ErrorLine("export: " + error);
      return kExitUsage;
    }
    rows.reserve(parsed.size());
    for (ParsedRow& r : parsed) rows.push_back(std::move(r.cells));
  }

  const WorkbookResult result = WriteWorkbook(out, rows);
  if (!result.ok) {
    std::fprintf(stderr, "%s\n", TerminalText(result.message).c_str());
    return kExitUsage;
  }
  if (!result.warning.empty()) host.message(result.warning);
  if (!host.quiet()) host.message(Utf8ToGbk("完成操作"));
  return ExitCodeAfterRun();
}

}  // namespace kelvora::cli
