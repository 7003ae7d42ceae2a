#pragma once
// The results table as a spreadsheet: row 1 holds the captions each followed by
// "a", then one row per results row, every value a text. Written as an Excel
// 97-2003 workbook (.xls) by our own writer or as .xlsx through libxlsxwriter
// (the rows of the .xlsx are our own XML, the rest of the workbook the library's).
#include <cstdint>
#include <memory>
#include <stop_token>
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
  // A stop request ended the writing; nothing was written (message says so).
  bool stopped = false;

  // A result that wrote nothing, with its message (GBK).
  static WorkbookResult Failure(std::string message) {
    WorkbookResult r;
    r.message = std::move(message);
    return r;
  }
  // A result of a stop request: the target was left as it was.
  static WorkbookResult Stopped(const std::string& pathUtf8);
};

// Writes the header row and `rows` (GBK cells, laid out by SheetCellText) to
// `pathUtf8`, .xls or .xlsx by its extension. The file is written under a
// temporary name in the same folder and renamed into place, so a failed export
// leaves no file behind and never a half-written one. A stop request through
// `stop` ends the writing within moments (also while the workbook is being
// compressed) and leaves the target as it was.
WorkbookResult WriteWorkbook(const std::string& pathUtf8, const std::vector<RowCells>& rows);
// The same in `format`, whatever the extension; Unknown: by the extension.
WorkbookResult WriteWorkbook(const std::string& pathUtf8, const std::vector<RowCells>& rows, WorkbookFormat format,
                             std::stop_token stop = {});
WorkbookResult WriteXls(const std::string& pathUtf8, const std::vector<RowCells>& rows, std::stop_token stop = {});
WorkbookResult WriteXlsx(const std::string& pathUtf8, const std::vector<RowCells>& rows, std::stop_token stop = {});

// An .xls sheet taken in row by row, for a table that is read rather than held:
// each row's texts go into the sheet's shared strings as it is added, and the
// rows themselves are not kept. write() makes the same file as WriteXls of the
// same rows.
class XlsRows {
 public:
  XlsRows();
  ~XlsRows();
  XlsRows(const XlsRows&) = delete;
  XlsRows& operator=(const XlsRows&) = delete;
  // Room for `rows` rows of `textBytes` GBK bytes in all (address space only).
  void reserve(size_t rows, size_t textBytes);
  // One data row (GBK cells, laid out by SheetCellText).
  void add(const RowCells& row);
  size_t rowCount() const;
  WorkbookResult write(const std::string& pathUtf8, std::stop_token stop = {});

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// An .xlsx taken in row by row, for a table that is read rather than held: each
// row goes into the sheet's compressed text as it is added, and the rows
// themselves are not kept. write() makes the same workbook as WriteXlsx of the
// same rows (it refuses more than kMaxXlsxDataRows of them).
class XlsxRows {
 public:
  XlsxRows();
  ~XlsxRows();
  XlsxRows(const XlsxRows&) = delete;
  XlsxRows& operator=(const XlsxRows&) = delete;
  // One data row (GBK cells, laid out by SheetCellText).
  void add(const RowCells& row);
  size_t rowCount() const;
  WorkbookResult write(const std::string& pathUtf8, std::stop_token stop = {});

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// The refusal of more than `maxRows` data rows in `format`, as soon as row
// `maxRows` + 1 comes, before the table is whole (GBK).
std::string TooManyRowsMessage(const std::string& pathUtf8, WorkbookFormat format);

}  // namespace kelvora
