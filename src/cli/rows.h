#pragma once
// The two printed forms of result rows (tab-separated with a caption line, or one
// JSON array of fourteen strings a line), written and read as UTF-8.
#include <string>
#include <vector>

#include "app/results_table.h"

namespace kelvora::cli {

enum class RowFormat { Tsv, Jsonl };

// The fourteen captions joined by TAB (UTF-8, no line break).
std::string CaptionLine();
// One row (GBK cells) as one UTF-8 line without its line break.
std::string FormatRow(const RowCells& cells, RowFormat format);

// Reads rows in either form (a tab-separated input starts with the caption line).
// Cells come back as GBK. Returns false with a message naming the line on bad input.
bool ParseRows(const std::string& utf8Input, std::vector<RowCells>& rows, std::string& error);

}  // namespace kelvora::cli
