#pragma once
// The results table as a spreadsheet: row 1 holds the captions each followed by
// "a", then one row per results row, every value a text. Written as an Excel
// 97-2003 workbook (.xls) by our own writer or as .xlsx through libxlsxwriter.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "results/results_table.h"

namespace kelvora {

// Excel keeps at most this many characters (UTF-16 code units) in a cell.
inline constexpr size_t kMaxCellChars = 32767;
// Data rows below the header row: 65 536 sheet rows in .xls, 1 048 576 in .xlsx.
inline constexpr size_t kMaxXlsDataRows = 65535;
inline constexpr size_t kMaxXlsxDataRows = 1048575;

enum class WorkbookFormat { Unknown, Xls, Xlsx };

// By the path's extension, case-insensitive.
WorkbookFormat WorkbookFormatOf(std::string_view path);

// Row 1 of the sheet: each column caption followed by "a" (GBK).
RowCells SheetHeaderRow();
// A results cell as the sheet holds it: every CR LF becomes one blank (GBK).
std::string SheetCellText(std::string_view gbk);

struct WorkbookResult {
  bool ok = false;
  // Why nothing was written, naming the path (GBK). Empty when ok.
  std::string message;
  // Cells longer than Excel keeps, cut to kMaxCellChars characters.
  int64_t cutCells = 0;
  // A note for the user when cells were cut (GBK). Empty otherwise.
  std::string warning;

  // A result that wrote nothing, with its message (GBK).
  static WorkbookResult Failure(std::string message) {
    WorkbookResult r;
    r.message = std::move(message);
    return r;
  }
};

// Writes the header row and `rows` (GBK cells, laid out by SheetCellText) to
// `pathUtf8`, .xls or .xlsx by its extension. The file is written under a
// temporary name in the same folder and renamed into place, so a failed export
// leaves no file behind and never a half-written one.
WorkbookResult WriteWorkbook(const std::string& pathUtf8, const std::vector<RowCells>& rows);
// The same in `format`, whatever the extension; Unknown: by the extension.
WorkbookResult WriteWorkbook(const std::string& pathUtf8, const std::vector<RowCells>& rows, WorkbookFormat format);
WorkbookResult WriteXls(const std::string& pathUtf8, const std::vector<RowCells>& rows);
WorkbookResult WriteXlsx(const std::string& pathUtf8, const std::vector<RowCells>& rows);

}  // namespace kelvora
