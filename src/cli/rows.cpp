#include "cli/rows.h"

#include <simdjson.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>

#include "net/codec.h"
#include "net/file_input.h"
#include "net/json.h"
#include "net/text.h"

namespace kelvora::cli {
namespace {

// The escapes of a tsv cell undone into `out`; a backslash before anything else
// stays as it is.
void UnescapeTsvCell(std::string_view text, std::string& out) {
  out.clear();
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
}

// The failure names a row file uses, back to their parts.
bool PartByName(std::string_view name, RequestPart& part) {
  for (int p = 0; p < kRequestPartCount; ++p) {
    if (name == RequestPartName(static_cast<RequestPart>(p))) {
      part = static_cast<RequestPart>(p);
      return true;
    }
  }
  return false;
}

// One jsonl line through the general JSON reader: a JSON array of fourteen
// strings, optionally followed by {"failed":[names]}; anything else is refused
// with `why` set. It reads every form the rows files have ever been read in (and
// says what is wrong with a line); most lines take the strict path first.
bool ReadJsonRowLoosely(std::string_view utf8Line, ParsedRow& row, std::string& why) {
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

// The strict path of a jsonl line and the texts of a row that needed more than a
// view of the line (unescaped tsv cells, cells of the loose path).
struct RowReader::Parser {
  simdjson::dom::parser json;
  std::string padded;  // the line with simdjson's padding behind it
  std::array<std::string, kResultColumnCount> texts;
  ParsedRow loose;

  // Exactly fourteen strings, optionally followed by {"failed":[known names]}
  // with that one member, and nothing else: false (and nothing said) otherwise,
  // and the line goes the loose way.
  bool readStrict(std::string_view line, RowView& row) {
    padded.reserve(line.size() + simdjson::SIMDJSON_PADDING);
    padded.assign(line);
    simdjson::dom::array array;
    if (json.parse(padded.data(), padded.size(), false).get_array().get(array)) return false;
    size_t n = 0;
    for (simdjson::dom::element e : array) {
      if (n < static_cast<size_t>(kResultColumnCount)) {
        if (e.get_string().get(row.cells[n])) return false;
      } else if (n == static_cast<size_t>(kResultColumnCount)) {
        simdjson::dom::object object;
        if (e.get_object().get(object) || object.size() != 1) return false;
        const simdjson::dom::key_value_pair member = *object.begin();
        simdjson::dom::array names;
        if (member.key != "failed" || member.value.get_array().get(names)) return false;
        for (simdjson::dom::element name : names) {
          std::string_view text;
          RequestPart part;
          if (name.get_string().get(text) || !PartByName(text, part)) return false;
          row.failures[part] = FailureKind::NoAnswer;
        }
      } else {
        return false;
      }
      ++n;
    }
    return n == static_cast<size_t>(kResultColumnCount) || n == static_cast<size_t>(kResultColumnCount) + 1;
  }
};

namespace {

// The GB18030 bytes of each character of the basic plane met so far, packed
// first byte lowest (0: not met yet): the converter is asked once per character
// instead of once per cell. A two-byte code's second byte is 0x40 or above, a
// four-byte code's 0x30 to 0x39, which tells the two apart.
std::atomic<uint32_t>* GbCodes() {
  static const std::unique_ptr<std::atomic<uint32_t>[]> codes = std::make_unique<std::atomic<uint32_t>[]>(0x10000);
  return codes.get();
}

bool IsFourByteCode(uint32_t code) {
  const uint32_t second = (code >> 8) & 0xFF;
  return second >= 0x30 && second <= 0x39;
}

}  // namespace

// The same bytes as Utf8ToGbk of the whole cell: the encoding keeps no state
// from one character to the next, and ASCII stays as it is.
std::string CellGbk(std::string_view utf8) {
  if (AllBytesAscii(utf8)) return std::string(utf8);
  std::atomic<uint32_t>* codes = GbCodes();
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    if (static_cast<unsigned char>(utf8[i]) < 0x80) {
      out += utf8[i++];
      continue;
    }
    uint32_t cp = 0;
    const size_t n = DecodeUtf8(utf8, i, cp);
    if (n == 0 || cp > 0xFFFF) return Utf8ToGbk(utf8);
    uint32_t code = codes[cp].load(std::memory_order_relaxed);
    if (code == 0) {
      const std::string one = Utf8ToGbk(utf8.substr(i, n));
      const auto at = [&](size_t k) { return static_cast<uint32_t>(static_cast<unsigned char>(one[k])); };
      if (one.size() == 2 && at(1) >= 0x40)
        code = at(0) | at(1) << 8;
      else if (one.size() == 4 && at(1) >= 0x30 && at(1) <= 0x39)
        code = at(0) | at(1) << 8 | at(2) << 16 | at(3) << 24;
      else
        return Utf8ToGbk(utf8);  // no code of either form: the converter's own way
      codes[cp].store(code, std::memory_order_relaxed);
    }
    out += static_cast<char>(code & 0xFF);
    out += static_cast<char>(code >> 8 & 0xFF);
    if (IsFourByteCode(code)) {
      out += static_cast<char>(code >> 16 & 0xFF);
      out += static_cast<char>(code >> 24);
    }
    i += n;
  }
  return out;
}

void RowGbk(const RowView& view, ParsedRow& row) {
  for (size_t c = 0; c < view.cells.size(); ++c) row.cells[c] = CellGbk(view.cells[c]);
  row.failures = view.failures;
}

RowsIntoAnalysis::RowsIntoAnalysis(AnalysisDb& db, std::stop_token stop)
    : db_(db), stop_(std::move(stop)), status_(db.begin()) {}

// The database's text: the cell read back to GBK as the program keeps it, then
// as UTF-8 (as the table is loaded from the results).
std::string_view RowsIntoAnalysis::stored(std::unordered_map<std::string, std::string>& texts, std::string_view utf8) {
  if (AllBytesAscii(utf8)) return utf8;
  key_.assign(utf8);
  auto it = texts.find(key_);
  if (it == texts.end()) it = texts.emplace(key_, GbkToUtf8(CellGbk(utf8))).first;
  return it->second;
}

namespace {

// TimeTextSeconds of a time cell read as UTF-8. The program's own times hold
// nothing but digits, blanks and 年月日时分秒, whose GBK bytes are put in place
// directly; any other text is converted as a whole.
int64_t TimeCellSeconds(std::string_view utf8, std::string& gbk) {
  static constexpr std::string_view kUtf8[] = {"\xE5\xB9\xB4", "\xE6\x9C\x88", "\xE6\x97\xA5",
                                               "\xE6\x97\xB6", "\xE5\x88\x86", "\xE7\xA7\x92"};
  static constexpr std::string_view kGbk[] = {"\xC4\xEA", "\xD4\xC2", "\xC8\xD5", "\xCA\xB1", "\xB7\xD6", "\xC3\xEB"};
  gbk.clear();
  for (size_t i = 0; i < utf8.size();) {
    if (static_cast<unsigned char>(utf8[i]) < 0x80) {
      gbk += utf8[i++];
      continue;
    }
    size_t k = 0;
    while (k < std::size(kUtf8) && utf8.substr(i, 3) != kUtf8[k]) ++k;
    if (k == std::size(kUtf8)) return TimeTextSeconds(CellGbk(utf8));
    gbk += kGbk[k];
    i += 3;
  }
  return TimeTextSeconds(gbk);
}

}  // namespace

void RowsIntoAnalysis::operator()(const RowView& row) {
  if (status_ != AnalysisLoadStatus::Ok) return;
  const auto cell = [&](ResultColumn c) { return row.cells[static_cast<size_t>(c)]; };
  const std::string_view id = cell(ResultColumn::ItemId);
  status_ = db_.add(
      AllBytesAscii(id) ? id : std::string_view(itemId_ = GbkToUtf8(CellGbk(id))),
      TimeCellSeconds(cell(ResultColumn::ListedAt), time_), TimeCellSeconds(cell(ResultColumn::DelistAt), time_),
      stored(shopTypes_, cell(ResultColumn::ShopType)), stored(locations_, cell(ResultColumn::Location)), stop_);
}

AnalysisLoadStatus RowsIntoAnalysis::finish() {
  const AnalysisLoadStatus finished = db_.finish();
  return status_ == AnalysisLoadStatus::Ok ? finished : status_;
}

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

RowReader::RowReader() : parser_(std::make_unique<Parser>()) {}
RowReader::~RowReader() = default;

bool RowReader::add(std::string_view line, RowView& row, bool& isRow, std::string& error) {
  isRow = false;
  ++lineNumber_;
  if (lineNumber_ == 1 && line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
  // A raw CR can only be a CR LF line end: CRs inside cells are escaped.
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.empty()) return true;
  // Converted as it is, a broken byte would become "?" without a word.
  if (!simdjson::validate_utf8(line.data(), line.size())) {
    if (const size_t bad = FirstInvalidUtf8(line); bad != std::string::npos) {
      char byte[8];
      std::snprintf(byte, sizeof byte, "0x%02X", static_cast<unsigned char>(line[bad]));
      error = LineError(lineNumber_, std::string("not UTF-8 (byte ") + byte + " at byte " + std::to_string(bad + 1) +
                                         " of the line)");
      return false;
    }
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
  row.failures = {};
  Parser& p = *parser_;
  if (jsonl_) {
    if (!p.readStrict(line, row)) {
      row.failures = {};
      p.loose = {};
      std::string why;
      if (!ReadJsonRowLoosely(line, p.loose, why)) {
        error = LineError(lineNumber_, why);
        return false;
      }
      // The loose reader hands out GBK: back to UTF-8 for the view.
      for (size_t c = 0; c < row.cells.size(); ++c) {
        p.texts[c] = GbkToUtf8(p.loose.cells[c]);
        row.cells[c] = p.texts[c];
      }
      row.failures = p.loose.failures;
    }
  } else {
    size_t count = 0, start = 0;
    for (;;) {
      const size_t tab = line.find('\t', start);
      const std::string_view cell = line.substr(start, tab == std::string_view::npos ? tab : tab - start);
      if (count < row.cells.size()) {
        if (cell.find('\\') == std::string_view::npos) {
          row.cells[count] = cell;
        } else {
          UnescapeTsvCell(cell, p.texts[count]);
          row.cells[count] = p.texts[count];
        }
      }
      ++count;
      if (tab == std::string_view::npos) break;
      start = tab + 1;
    }
    if (count != static_cast<size_t>(kResultColumnCount)) {
      error = LineError(lineNumber_, std::to_string(count) + " cells instead of 14");
      return false;
    }
  }
  // A zero character would end the cell early in every text the program hands on.
  for (int c = 0; c < kResultColumnCount; ++c) {
    if (row.cells[static_cast<size_t>(c)].find('\0') != std::string_view::npos) {
      error = LineError(lineNumber_, "a zero character (\\u0000) in the cell " + GbkToUtf8(ResultColumns()[c].caption));
      return false;
    }
  }
  isRow = true;
  return true;
}

bool RowReader::add(std::string_view line, std::vector<ParsedRow>& rows, std::string& error) {
  RowView view;
  bool isRow = false;
  if (!add(line, view, isRow, error)) return false;
  if (isRow) RowGbk(view, rows.emplace_back());
  return true;
}

bool ParseRows(const std::string& utf8Input, std::vector<ParsedRow>& rows, std::string& error) {
  RowReader reader;
  const std::string_view input(utf8Input);
  size_t start = 0;
  while (start < input.size()) {
    size_t end = input.find('\n', start);
    if (end == std::string_view::npos) end = input.size();
    if (!reader.add(input.substr(start, end - start), rows, error)) return false;
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

RowsRead ReadRows(const std::string& source, const std::function<void(const RowView&)>& onRow, std::string& error,
                  const RowReadLimits& limits) {
  LineInput input;
  if (!input.open(source.empty() ? std::string("-") : source)) {
    error = input.error();
    return RowsRead::Refused;
  }
  RowReader reader;
  RowView row;
  size_t rows = 0;
  std::string line;
  for (size_t lineNumber = 1; input.next(line); ++lineNumber) {
    if (limits.stop.stop_requested()) return RowsRead::Stopped;
    bool isRow = false;
    if (!reader.add(line, row, isRow, error)) {
      error = input.name() + ": " + error;
      return RowsRead::Refused;
    }
    if (!isRow) continue;
    if (++rows > limits.maxRows) {
      error = input.name() + ": " + LineError(lineNumber, "row " + std::to_string(rows) + ", one too many");
      return RowsRead::TooManyRows;
    }
    onRow(row);
  }
  if (limits.stop.stop_requested()) return RowsRead::Stopped;
  if (!input.error().empty()) {
    error = input.error();
    return RowsRead::Refused;
  }
  return RowsRead::Ok;
}

RowsRead ReadRows(const std::string& source, std::vector<ParsedRow>& rows, std::string& error,
                  const RowReadLimits& limits) {
  return ReadRows(
      source, [&](const RowView& view) { RowGbk(view, rows.emplace_back()); }, error, limits);
}

}  // namespace kelvora::cli
