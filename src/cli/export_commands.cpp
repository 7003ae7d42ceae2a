// export: rows into an Excel workbook.
#include <cstdio>
#include <iostream>
#include <iterator>

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

  std::string input;
  if (!haveSource || source == "-") {
    input.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    source = "stdin";
  } else if (!ReadWholeFile(source, input)) {
    ErrorLine("export: cannot read " + source);
    return kExitUsage;
  }
  std::vector<RowCells> rows;
  std::string error;
  if (!ParseRows(input, rows, error)) {
    ErrorLine("export: " + source + ": " + error);
    return kExitUsage;
  }
  input = std::string();

  const WorkbookResult result = WriteWorkbook(out, rows);
  if (!result.ok) {
    std::fprintf(stderr, "%s\n", TerminalText(result.message).c_str());
    return kExitUsage;
  }
  if (!result.warning.empty()) host.message(result.warning);
  if (!host.quiet()) host.message(Utf8ToGbk("完成操作"));
  return kExitOk;
}

}  // namespace kelvora::cli
