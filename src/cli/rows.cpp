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

// A JSON array of strings; anything else is refused.
class ArrayReader {
 public:
  explicit ArrayReader(const std::string& text) : s_(text) {}

  bool read(std::vector<std::string>& items) {
    skipBlanks();
    if (!take('[')) return false;
    skipBlanks();
    if (take(']')) return atEnd();
    for (;;) {
      std::string item;
      skipBlanks();
      if (!readString(item)) return false;
      items.push_back(std::move(item));
      skipBlanks();
      if (take(']')) return atEnd();
      if (!take(',')) return false;
    }
  }

 private:
  bool atEnd() {
    skipBlanks();
    return i_ == s_.size();
  }
  void skipBlanks() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\r' || s_[i_] == '\n'))
      ++i_;
  }
  bool take(char c) {
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  bool readHex4(uint32_t& value) {
    if (i_ + 4 > s_.size()) return false;
    value = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = s_[i_++];
      value <<= 4;
      if (c >= '0' && c <= '9') value |= c - '0';
      else if (c >= 'a' && c <= 'f') value |= c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') value |= c - 'A' + 10;
      else return false;
    }
    return true;
  }
  bool readString(std::string& out) {
    if (!take('"')) return false;
    while (i_ < s_.size()) {
      const char c = s_[i_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (i_ >= s_.size()) return false;
      const char e = s_[i_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          uint32_t cp;
          if (!readHex4(cp)) return false;
          if (cp >= 0xD800 && cp < 0xDC00 && i_ + 1 < s_.size() && s_[i_] == '\\' &&
              s_[i_ + 1] == 'u') {
            const size_t save = i_;
            i_ += 2;
            uint32_t low;
            if (readHex4(low) && low >= 0xDC00 && low < 0xE000) {
              cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            } else {
              i_ = save;
            }
          }
          if (cp >= 0xD800 && cp < 0xE000) cp = '?';  // a lone surrogate
          AppendUtf8(out, cp);
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }

  const std::string& s_;
  size_t i_ = 0;
};

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
      if (!ArrayReader(line).read(cells)) {
        error = LineError(n + 1, "not a JSON array of strings");
        return false;
      }
    } else {
      size_t start = 0;
      for (;;) {
        const size_t tab = line.find('\t', start);
        cells.push_back(UnescapeTsvCell(line.substr(start, tab == std::string::npos ? tab : tab - start)));
        if (tab == std::string::npos) break;
        start = tab + 1;
      }
    }
    if (cells.size() != static_cast<size_t>(kResultColumnCount)) {
      error = LineError(n + 1, std::to_string(cells.size()) + " cells instead of 14");
      return false;
    }
    RowCells row;
    for (int c = 0; c < kResultColumnCount; ++c) row[c] = Utf8ToGbk(cells[c]);
    rows.push_back(std::move(row));
  }
  return true;
}

}  // namespace kelvora::cli
