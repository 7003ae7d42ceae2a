// The row reader of retry, report and export: tab-separated or jsonl rows. Rows
// that read back are printed again and must read back once more.
#include <string>
#include <vector>

#include "cli/rows.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kelvora::cli;
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<ParsedRow> rows;
  std::string error;
  if (!ParseRows(text, rows, error)) return 0;
  std::string again;
  for (const ParsedRow& row : rows) again += FormatRow(row.cells, RowFormat::Jsonl, row.failures) + "\n";
  std::vector<ParsedRow> reread;
  if (!ParseRows(again, reread, error) || reread.size() != rows.size()) __builtin_trap();
  std::vector<kelvora::RowCells> cells;
  (void)ParseRows(text, cells, error);
  return 0;
}
