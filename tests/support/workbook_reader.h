#pragma once
// Workbooks read back by independent readers (Debian's python3-xlrd for .xls,
// python3-openpyxl for .xlsx), so a test never checks our writer with our code.
#include <cstdint>
#include <string>
#include <vector>

namespace kelvora::test {

struct WorkbookContents {
  int sheets = 0;
  int64_t rowCount = 0;
  int columnCount = 0;
  std::vector<std::vector<std::string>> rows;  // GBK cells, empty cells as ""
  std::vector<std::string> lastRow;
  bool allText = false;  // every non-empty cell is a text cell
  std::string log;       // what the reader warned about
};

// Reads the first sheet of `path` (.xls or .xlsx); keeps the first `maxRows` rows
// (all when negative) and the last one. False with `error` set when the reader fails.
bool ReadWorkbookIndependently(const std::string& path, WorkbookContents& out, std::string& error,
                               int64_t maxRows = -1);

}  // namespace kelvora::test
