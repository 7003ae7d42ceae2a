#include "cli/rows.h"

#include <cstdio>

#include "net/codec.h"
#include "net/file_input.h"
#include "net/json.h"

namespace kelvora::cli {
namespace {

std::string EscapeTsvCell(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (char c : utf8) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      default:
        out += c;
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

// The failure names a row file uses, back to their parts.
bool PartByName(const std::string& name, RequestPart& part) {
  for (int p = 0; p < kRequestPartCount; ++p) {
    if (name == RequestPartName(static_cast<RequestPart>(p))) {
      part = static_cast<RequestPart>(p);
      return true;
    }
  }
  return false;
}

// One jsonl line: a JSON array of fourteen strings, optionally followed by
// {"failed":[names]}; anything else is refused with `why` set.
bool ReadJsonRow(const std::string& utf8Line, ParsedRow& row, std::string& why) {
  JsonReader reader;
  reader.load("row", Utf8ToGbk(utf8Line));
  if (!reader.isArray("row")) {
    why = "not a JSON array of strings";
    return false;
  }
  const int32_t n = reader.getLength("row");
  if (n != kResultColumnCount && n != kResultColumnCount + 1) {
    why = std::to_string(n) + " cells instead of 14";
    return false;
  }
  for (int32_t i = 0; i < kResultColumnCount; ++i) {
    const std::string path = "row[" + std::to_string(i) + "]";
    if (!reader.isString(path)) {
      why = "not a JSON array of strings";
      return false;
    }
    row.cells[static_cast<size_t>(i)] = reader.getText(path);
  }
  if (n == kResultColumnCount) return true;
  const std::string failed = "row[14].failed";
  if (!reader.isArray(failed)) {
    why = "the fifteenth element is not {\"failed\":[...]}";
    return false;
  }
  for (int32_t i = 0, count = reader.getLength(failed); i < count; ++i) {
    const std::string path = failed + "[" + std::to_string(i) + "]";
    RequestPart part;
    if (!reader.isString(path) || !PartByName(reader.getText(path), part)) {
      why = "unknown failed request '" + GbkToUtf8(reader.getText(path)) + "' (page, alternate, secondary or lookup)";
      return false;
    }
    row.failures[part] = FailureKind::NoAnswer;
  }
  return true;
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

std::string FormatRow(const RowCells& cells, RowFormat format, const RowFailures& failures) {
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
    if (failures.any()) {
      line += ",{\"failed\":[";
      bool first = true;
      for (int p = 0; p < kRequestPartCount; ++p) {
        if (failures.parts[static_cast<size_t>(p)] == FailureKind::None) continue;
        if (!first) line += ',';
        first = false;
        line += JsonQuote(RequestPartName(static_cast<RequestPart>(p)));
      }
      line += "]}";
    }
    line += ']';
  }
  return line;
}

bool RowReader::add(std::string line, std::vector<ParsedRow>& rows, std::string& error) {
  ++lineNumber_;
  if (lineNumber_ == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
  // A raw CR can only be a CR LF line end: CRs inside cells are escaped.
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) return true;
  // Converted as it is, a broken byte would become "?" without a word.
  if (const size_t bad = FirstInvalidUtf8(line); bad != std::string::npos) {
    char byte[8];
    std::snprintf(byte, sizeof byte, "0x%02X", static_cast<unsigned char>(line[bad]));
    error = LineError(lineNumber_,
                      std::string("not UTF-8 (byte ") + byte + " at byte " + std::to_string(bad + 1) + " of the line)");
    return false;
  }
  if (!started_) {
    started_ = true;
    jsonl_ = line[0] == '[';
    if (!jsonl_) {
      if (line != CaptionLine()) {
        error = LineError(lineNumber_, "expected the caption line of the fourteen columns or a JSON array");
        return false;
      }
      return true;
    }
  }
  ParsedRow row;
  if (jsonl_) {
    std::string why;
    if (!ReadJsonRow(line, row, why)) {
      error = LineError(lineNumber_, why);
      return false;
    }
  } else {
    std::vector<std::string> cells;
    size_t start = 0;
    for (;;) {
      const size_t tab = line.find('\t', start);
      cells.push_back(Utf8ToGbk(UnescapeTsvCell(line.substr(start, tab == std::string::npos ? tab : tab - start))));
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    if (cells.size() != static_cast<size_t>(kResultColumnCount)) {
      error = LineError(lineNumber_, std::to_string(cells.size()) + " cells instead of 14");
      return false;
    }
    for (int c = 0; c < kResultColumnCount; ++c)
      row.cells[static_cast<size_t>(c)] = std::move(cells[static_cast<size_t>(c)]);
  }
  // A zero character would end the cell early in every text the program hands on.
  for (int c = 0; c < kResultColumnCount; ++c) {
    if (row.cells[static_cast<size_t>(c)].find('\0') != std::string::npos) {
      error = LineError(lineNumber_, "a zero character (\\u0000) in the cell " + GbkToUtf8(ResultColumns()[c].caption));
      return false;
    }
  }
  rows.push_back(std::move(row));
  return true;
}

bool ParseRows(const std::string& utf8Input, std::vector<ParsedRow>& rows, std::string& error) {
  RowReader reader;
  size_t start = 0;
  while (start < utf8Input.size()) {
    size_t end = utf8Input.find('\n', start);
    if (end == std::string::npos) end = utf8Input.size();
    if (!reader.add(utf8Input.substr(start, end - start), rows, error)) return false;
    start = end + 1;
  }
  return true;
}

bool ParseRows(const std::string& utf8Input, std::vector<RowCells>& rows, std::string& error) {
  std::vector<ParsedRow> parsed;
  if (!ParseRows(utf8Input, parsed, error)) return false;
  for (ParsedRow& row : parsed) rows.push_back(std::move(row.cells));
  return true;
}

RowsRead ReadRows(const std::string& source, std::vector<ParsedRow>& rows, std::string& error,
                  const RowReadLimits& limits) {
  LineInput input;
  if (!input.open(source.empty() ? std::string("-") : source)) {
    error = input.error();
    return RowsRead::Refused;
  }
  RowReader reader;
  std::string line;
  for (size_t lineNumber = 1; input.next(line); ++lineNumber) {
    if (limits.stop.stop_requested()) return RowsRead::Stopped;
    if (!reader.add(std::move(line), rows, error)) {
      error = input.name() + ": " + error;
      return RowsRead::Refused;
    }
    if (rows.size() > limits.maxRows) {
      error = input.name() + ": " + LineError(lineNumber, "row " + std::to_string(rows.size()) + ", one too many");
      return RowsRead::TooManyRows;
    }
  }
  if (limits.stop.stop_requested()) return RowsRead::Stopped;
  if (!input.error().empty()) {
    error = input.error();
    return RowsRead::Refused;
  }
  return RowsRead::Ok;
}

}  // namespace kelvora::cli
