// .xlsx workbooks through libxlsxwriter, in its constant-memory mode: rows go to
// a temporary file as they come, so a large table costs no more memory than a row.
#include <xlsxwriter.h>

#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "analysis/workbook.h"
#include "analysis/workbook_io.h"
#include "net/codec.h"

namespace kelvora {
namespace {

bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Excel reads "_xHHHH_" in a text as the character HHHH; a text that holds such
// a sequence keeps it when its underscore is written "_x005F", as Excel saves it.
// False when the text has none.
bool EscapeCharacterCodes(const std::string& text, std::string& escaped) {
  if (text.find("_x") == std::string::npos) return false;
  escaped.clear();
  bool any = false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '_' && i + 6 < text.size() && text[i + 1] == 'x' && IsHex(text[i + 2]) &&
        IsHex(text[i + 3]) && IsHex(text[i + 4]) && IsHex(text[i + 5]) && text[i + 6] == '_') {
      escaped += "_x005F";
      any = true;
    }
    escaped += text[i];
  }
  return any;
}

// XML 1.0 has no place for the zero character nor for U+FFFE and U+FFFF (the library
// writes the other control characters as codes itself): they are stored as the
// codes Excel reads back as those characters, so the sheet stays a valid file.
// False when the text has none.
bool EncodeForbiddenCharacters(const std::string& text, std::string& encoded) {
  const bool any = text.find('\0') != std::string::npos || text.find("\xEF\xBF\xBE") != std::string::npos ||
                   text.find("\xEF\xBF\xBF") != std::string::npos;
  if (!any) return false;
  encoded.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\0') {
      encoded += "_x0000_";
    } else if (text.compare(i, 3, "\xEF\xBF\xBE") == 0 || text.compare(i, 3, "\xEF\xBF\xBF") == 0) {
      encoded += text[i + 2] == '\xBE' ? "_xFFFE_" : "_xFFFF_";
      i += 2;
    } else {
      encoded += text[i];
    }
  }
  return true;
}

// The cell text as the sheet stores it; true when it had to be cut.
bool StoredText(std::string_view gbk, std::string& text, std::string& escaped, std::string& encoded,
                const char*& stored) {
  bool cut = workbook::CellUtf8(gbk, text);
  for (;;) {
    const std::string* out = &text;
    if (EscapeCharacterCodes(*out, escaped)) out = &escaped;
    if (EncodeForbiddenCharacters(*out, encoded)) out = &encoded;
    stored = out->c_str();
    if (out == &text) break;
    // The limit counts the characters Excel reads, but the library counts the
    // stored ones.
    const size_t units = workbook::Utf16Units(*out);
    if (units <= kMaxCellChars) break;
    workbook::CutToUnits(text, workbook::Utf16Units(text) - (units - kMaxCellChars));
    cut = true;
  }
  return cut;
}

}  // namespace

namespace {

WorkbookResult WriteXlsxUnguarded(const std::string& pathUtf8, const std::vector<RowCells>& rows) {
  if (rows.size() > kMaxXlsxDataRows)
    return WorkbookResult::Failure(Utf8ToGbk("无法导出到“" + pathUtf8 + "”：表格有 " + std::to_string(rows.size()) +
                             " 行，超出 .xlsx 文件最多容纳的 " + std::to_string(kMaxXlsxDataRows) +
                             " 行。"));

  // The name is taken first, so the library writes into a file of ours that
  // disappears again whatever happens.
  workbook::TempFile file(pathUtf8);
  if (!file.create() || !file.closeForReuse())
    return WorkbookResult::Failure(workbook::WriteFailure(pathUtf8, file.error()));

  lxw_workbook_options options{};
  options.constant_memory = LXW_TRUE;
  // Closing is the one way to free a workbook; on an exception its file goes
  // away with the temporary name.
  struct Closer {
    void operator()(lxw_workbook* b) const { workbook_close(b); }
  };
  std::unique_ptr<lxw_workbook, Closer> book(workbook_new_opt(file.path().c_str(), &options));
  if (!book) return WorkbookResult::Failure(workbook::WriteFailureText(pathUtf8, "cannot start the workbook"));
  lxw_worksheet* sheet = workbook_add_worksheet(book.get(), nullptr);
  lxw_error error = sheet ? LXW_NO_ERROR : LXW_ERROR_CREATING_TMPFILE;

  WorkbookResult result;
  std::string text, escaped, encoded;
  const char* stored = nullptr;
  const RowCells header = SheetHeaderRow();
  for (size_t r = 0; error == LXW_NO_ERROR && r <= rows.size(); ++r) {
    const RowCells& cells = r == 0 ? header : rows[r - 1];
    for (int c = 0; c < kResultColumnCount; ++c) {
      if (StoredText(cells[c], text, escaped, encoded, stored)) ++result.cutCells;
      // An empty text is an empty cell, as Excel itself stores it.
      if (*stored == '\0') continue;
      error = worksheet_write_string(sheet, static_cast<lxw_row_t>(r), static_cast<lxw_col_t>(c), stored,
                                     nullptr);
      if (error != LXW_NO_ERROR) break;
    }
  }
  // Closing also frees the workbook, so it runs even after a failed write.
  const lxw_error closeError = workbook_close(book.release());
  if (error == LXW_NO_ERROR) error = closeError;
  if (error != LXW_NO_ERROR) return WorkbookResult::Failure(workbook::WriteFailureText(pathUtf8, lxw_strerror(error)));
  if (!file.commit()) return WorkbookResult::Failure(workbook::WriteFailure(pathUtf8, file.error()));

  result.ok = true;
  result.warning = workbook::CutCellsWarning(result.cutCells);
  return result;
}

}  // namespace

WorkbookResult WriteXlsx(const std::string& pathUtf8, const std::vector<RowCells>& rows) {
  try {
    return WriteXlsxUnguarded(pathUtf8, rows);
  } catch (const std::exception&) {  // allocation failures of a huge table
    return WorkbookResult::Failure(workbook::WriteFailureText(pathUtf8, Utf8ToGbk("内存不足")));
  }
}

}  // namespace kelvora
