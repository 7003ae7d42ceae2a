#pragma once
// The two printed forms of result rows (tab-separated with a caption line, or one
// JSON array of fourteen strings a line), written and read as UTF-8. A jsonl row
// whose requests failed carries a fifteenth element, {"failed":["secondary",...]}.
#include <array>
#include <cstddef>
#include <functional>
#include <limits>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "analysis/analysis_db.h"
#include "results/results_table.h"

namespace kelvora::cli {

enum class RowFormat { Tsv, Jsonl };

// The fourteen captions joined by TAB (UTF-8, no line break).
std::string CaptionLine();
// One row (GBK cells) as one UTF-8 line without its line break. A jsonl row gets the
// fifteenth element when `failures` names a failed request; tsv has no place for it.
std::string FormatRow(const RowCells& cells, RowFormat format, const RowFailures& failures = {});

struct ParsedRow {
  RowCells cells;  // GBK
  // The requests named in a jsonl row's fifteenth element. The file keeps only
  // which requests failed, not how: they read back as FailureKind::NoAnswer.
  RowFailures failures;
};

// One row as read, before any conversion: the UTF-8 text of each cell (escapes
// undone), valid until the reader takes its next line. A command converts only the
// cells it uses.
struct RowView {
  std::array<std::string_view, kResultColumnCount> cells;
  RowFailures failures;
};

// A cell of a RowView as the core's GBK text, exactly as the program has always
// read it back from a rows file.
std::string CellGbk(std::string_view utf8);
void RowGbk(const RowView& view, ParsedRow& row);

// Rows into the analysis database as they are read (report): only the five cells
// the table holds are converted, and the same few shop types and locations once
// each. Loading starts with the object; a database that fails keeps its status
// while the reading goes on, so that bad input is still refused first.
class RowsIntoAnalysis {
 public:
  RowsIntoAnalysis(AnalysisDb& db, std::stop_token stop);
  RowsIntoAnalysis(const RowsIntoAnalysis&) = delete;  // hand it on as std::ref
  RowsIntoAnalysis& operator=(const RowsIntoAnalysis&) = delete;
  void operator()(const RowView& row);
  // Commits the rows; the status of the whole load.
  AnalysisLoadStatus finish();

 private:
  std::string_view stored(std::unordered_map<std::string, std::string>& texts, std::string_view utf8);
  AnalysisDb& db_;
  std::stop_token stop_;
  AnalysisLoadStatus status_;
  std::string itemId_, key_, time_;
  std::unordered_map<std::string, std::string> shopTypes_, locations_;
};

// Reads rows one line at a time, in either form (a tab-separated input starts
// with the caption line). Errors name the line. A line that is not UTF-8, and a
// cell holding the zero character, are refused like any other bad line.
class RowReader {
 public:
  RowReader();
  ~RowReader();
  RowReader(const RowReader&) = delete;
  RowReader& operator=(const RowReader&) = delete;

  // Takes one input line without its LF; false with `error` set on bad input.
  // True with `row` filled and `isRow` set when the line held a row (a blank
  // line and the caption line hold none).
  bool add(std::string_view line, RowView& row, bool& isRow, std::string& error);
  // The same, appending the row in GBK.
  bool add(std::string_view line, std::vector<ParsedRow>& rows, std::string& error);

 private:
  struct Parser;
  std::unique_ptr<Parser> parser_;
  size_t lineNumber_ = 0;
  bool started_ = false;
  bool jsonl_ = false;
};

// Reads rows in either form. Returns false with a message naming the line on bad input.
bool ParseRows(const std::string& utf8Input, std::vector<ParsedRow>& rows, std::string& error);
bool ParseRows(const std::string& utf8Input, std::vector<RowCells>& rows, std::string& error);

struct RowReadLimits {
  std::stop_token stop;  // asked between lines
  // More rows are refused as soon as the one past the limit is read.
  size_t maxRows = std::numeric_limits<size_t>::max();
};

enum class RowsRead { Ok, Refused, TooManyRows, Stopped };

// Reads the rows of the file `source`, or of stdin when it is "-" or empty, through
// the safe file reader (a regular file, streamed without a size limit), handing
// each row to `onRow` as it is read: nothing holds the rows but the caller. Every
// command that reads rows uses this. Refused with `error` ("NAME: ...") on bad
// input; TooManyRows with `error` naming the line that went past the limit (that
// row is not handed on).
RowsRead ReadRows(const std::string& source, const std::function<void(const RowView&)>& onRow, std::string& error,
                  const RowReadLimits& limits = {});
// The same, collecting the rows in GBK.
RowsRead ReadRows(const std::string& source, std::vector<ParsedRow>& rows, std::string& error,
                  const RowReadLimits& limits = {});

}  // namespace kelvora::cli
