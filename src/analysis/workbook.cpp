#include "analysis/workbook.h"

#include <cctype>

#include "net/codec.h"

namespace kelvora {

WorkbookFormat WorkbookFormatOf(std::string_view path) {
  auto endsWith = [&](std::string_view suffix) {
    if (path.size() <= suffix.size()) return false;
    const std::string_view tail = path.substr(path.size() - suffix.size());
    for (size_t i = 0; i < suffix.size(); ++i)
      if (std::tolower(static_cast<unsigned char>(tail[i])) != suffix[i]) return false;
    // "folder/.xls" names no file.
    return path[path.size() - suffix.size() - 1] != '/';
  };
  if (endsWith(".xls")) return WorkbookFormat::Xls;
  if (endsWith(".xlsx")) return WorkbookFormat::Xlsx;
  return WorkbookFormat::Unknown;
}

RowCells SheetHeaderRow() {
  RowCells header;
  for (int c = 0; c < kResultColumnCount; ++c) header[c] = std::string(ResultColumns()[c].caption) + "a";
  return header;
}

std::string SheetCellText(std::string_view gbk) {
  std::string out;
  out.reserve(gbk.size());
  for (size_t i = 0; i < gbk.size(); ++i) {
    // CR and LF are never part of a double-byte character, so bytes will do.
    if (gbk[i] == '\r' && i + 1 < gbk.size() && gbk[i + 1] == '\n') {
      out += ' ';
      ++i;
    } else {
      out += gbk[i];
    }
  }
  return out;
}

WorkbookResult WorkbookResult::Stopped(const std::string& pathUtf8) {
  WorkbookResult r;
  r.stopped = true;
  r.message = Utf8ToGbk("导出已中断，“" + pathUtf8 + "”保持原样。");
  return r;
}

std::string TooManyRowsMessage(const std::string& pathUtf8, WorkbookFormat format) {
  if (format == WorkbookFormat::Xls)
    return Utf8ToGbk("无法导出到“" + pathUtf8 + "”：表格超过 .xls 文件最多容纳的 " + std::to_string(kMaxXlsDataRows) +
                     " 行（另有标题行）。请改存为 .xlsx 文件。");
  return Utf8ToGbk("无法导出到“" + pathUtf8 + "”：表格超出 .xlsx 文件最多容纳的 " + std::to_string(kMaxXlsxDataRows) +
                   " 行。");
}

WorkbookResult WriteWorkbook(const std::string& pathUtf8, const std::vector<RowCells>& rows) {
  return WriteWorkbook(pathUtf8, rows, WorkbookFormat::Unknown);
}

WorkbookResult WriteWorkbook(const std::string& pathUtf8, const std::vector<RowCells>& rows, WorkbookFormat format,
                             std::stop_token stop) {
  if (format == WorkbookFormat::Unknown) format = WorkbookFormatOf(pathUtf8);
  switch (format) {
    case WorkbookFormat::Xls:
      return WriteXls(pathUtf8, rows, stop);
    case WorkbookFormat::Xlsx:
      return WriteXlsx(pathUtf8, rows, stop);
    case WorkbookFormat::Unknown:
      break;
  }
  WorkbookResult result;
  result.message = Utf8ToGbk("无法导出到“" + pathUtf8 + "”：文件名须以 .xls 或 .xlsx 结尾。");
  return result;
}

}  // namespace kelvora
