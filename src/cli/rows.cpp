#include "cli/rows.h"

#include <cstdio>

#include "net/codec.h"
#include "net/json.h"

namespace kelvora::cli {
namespace {

std::string EscapeTsvCell(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (char c : utf8) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      default: out += c;
    }
  }
  return out;
}

std::string UnescapeTsvCell(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      const char next = text[i + 1];
      if (next == '\\' || next == 't' || next == 'r' || next == 'n') {
        out += next == '\\' ? '\\' : next == 't' ? '\t' : next == 'r' ? '\r' : '\n';
        ++i;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

// One jsonl line: a JSON array of strings, read into GBK cells; anything else is refused.
bool ReadJsonRow(const std::string& utf8Line, std::vector<std::string>& gbkCells) {
  JsonReader reader;
  reader.load("row", Utf8ToGbk(utf8Line));
  if (!reader.isArray("row")) return false;
  const int32_t n = reader.getLength("row");
  for (int32_t i = 0; i < n; ++i) {
    const std::string path = "row[" + std::to_string(i) + "]";
    if (!reader.isString(path)) return false;
    gbkCells.push_back(reader.getText(path));
  }
  return true;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    // A raw CR can only be a CR LF line end: CRs inside cells are escaped.
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

std::string LineError(size_t lineNumber, const std::string& what) {
  return "line " + std::to_string(lineNumber) + ": " + what;
}

}  // namespace

std::string CaptionLine() {
  std::string line;
  for (int c = 0; c < kResultColumnCount; ++c) {
    if (c) line += '\t';
    line += GbkToUtf8(ResultColumns()[c].caption);
  }
  return line;
}

std::string FormatRow(const RowCells& cells, RowFormat format) {
  std::string line;
  if (format == RowFormat::Tsv) {
    for (int c = 0; c < kResultColumnCount; ++c) {
      if (c) line += '\t';
      line += EscapeTsvCell(GbkToUtf8(cells[c]));
    }
  } else {
    line = "[";
    for (int c = 0; c < kResultColumnCount; ++c) {
      if (c) line += ',';
      line += JsonQuote(GbkToUtf8(cells[c]));
    }
    line += ']';
  }
  return line;
}

bool ParseRows(const std::string& utf8Input, std::vector<RowCells>& rows, std::string& error) {
  std::string text = utf8Input;
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  const std::vector<std::string> lines = SplitLines(text);
  size_t first = 0;
  while (first < lines.size() && lines[first].empty()) ++first;
  if (first == lines.size()) return true;

  const bool jsonl = lines[first][0] == '[';
  if (!jsonl) {
    if (lines[first] != CaptionLine()) {
      error = LineError(first + 1, "expected the caption line of the fourteen columns or a JSON array");
      return false;
    }
    ++first;
  }
  for (size_t n = first; n < lines.size(); ++n) {
    const std::string& line = lines[n];
    if (line.empty()) continue;
    std::vector<std::string> cells;
    if (jsonl) {
      if (!ReadJsonRow(line, cells)) {
        error = LineError(n + 1, "not a JSON array of strings");
        return false;
      }
    } else {
      size_t start = 0;
      for (;;) {
        const size_t tab = line.find('\t', start);
        cells.push_back(Utf8ToGbk(UnescapeTsvCell(line.substr(start, tab == std::string::npos ? tab : tab - start))));
        if (tab == std::string::npos) break;
        start = tab + 1;
      }
    }
    if (cells.size() != static_cast<size_t>(kResultColumnCount)) {
      error = LineError(n + 1, std::to_string(cells.size()) + " cells instead of 14");
      return false;
    }
    RowCells row;
    for (int c = 0; c < kResultColumnCount; ++c) row[c] = std::move(cells[c]);
    rows.push_back(std::move(row));
  }
  return true;
}

}  // namespace kelvora::cli
