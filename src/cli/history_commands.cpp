// history and watch: the recorded runs read back, compared and pruned, and the
// scheduled re-check of the monitored items.
#include <cstdio>

#include "cli/common.h"
#include "history/history_diff.h"
#include "history/history_file.h"
#include "lookup/lookup_service.h"
#include "net/codec.h"
#include "net/endpoints.h"
#include "net/shared_state.h"
#include "net/text.h"
#include "search/search_run.h"
#include "search/shop_search.h"

namespace kelvora::cli {
namespace {

using history::HistoryFile;

// TAB, CR, LF and backslash of a text printed as in tsv rows.
std::string Field(const std::string& utf8) {
  std::string out;
  for (char c : utf8) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\t')
      out += "\\t";
    else if (c == '\r')
      out += "\\r";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

bool ParseRunId(const std::string& text, int64_t& id) {
  if (text.empty() || text.size() > 18) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  id = std::stoll(text);
  return id > 0;
}

std::string NoHistoryText(const std::string& command) {
  return command + ": needs a history file (--history FILE, or [history] enabled=1 or file= in the settings)";
}

std::unique_ptr<HistoryFile> OpenForReading(const Options& o, const std::string& command) {
  if (o.historyPath.empty()) {
    ErrorLine(NoHistoryText(command));
    return nullptr;
  }
  std::string error;
  std::vector<std::string> notes;
  auto file = HistoryFile::open(o.historyPath, error, &notes);
  for (const std::string& note : notes) ErrorLine("history: " + note);
  if (!file) {
    ErrorLine("history: " + error);
    return nullptr;
  }
  if (o.historyKeepDays > 0) file->pruneStartedBefore(history::NowSeconds() - int64_t{o.historyKeepDays} * 86400);
  return file;
}

// Prints the diff lines; true when there was any.
bool PrintDiff(const std::vector<history::DiffRow>& a, const std::vector<history::DiffRow>& b) {
  std::string out;
  const std::vector<history::DiffLine> lines = history::DiffRows(a, b);
  out.reserve(lines.size() * 64);
  for (const history::DiffLine& line : lines) out += history::DiffLineText(line) + "\n";
  WriteOut(out);
  return !lines.empty();
}

int HistoryRuns(HistoryFile& file) {
  std::string out;
  for (const history::RunInfo& r : file.runs())
    out += std::to_string(r.id) + "\t" + history::TimeText(r.started) + "\t" + Field(r.kind) + "\t" + Field(r.query) +
           "\t" + std::to_string(r.rows) + "\t" + std::to_string(r.failed) + "\t" + RunStateName(r.state) + "\n";
  WriteOut(out);
  return kExitOk;
}

int HistoryShow(const Options& o, HistoryFile& file, const std::string& runText) {
  int64_t id = 0;
  if (!ParseRunId(runText, id) || !file.run(id)) {
    ErrorLine("history show: no run " + runText);
    return kExitUsage;
  }
  PrintCaptionIfTsv(o.format);
  for (const history::StoredRow& r : file.rowsOfRun(id)) {
    RowCells gbk;
    for (size_t c = 0; c < gbk.size(); ++c) gbk[c] = Utf8ToGbk(r.cells[c]);
    PrintRow(gbk, o.format, r.failures);
  }
  return kExitOk;
}

int HistoryItem(HistoryFile& file, const std::string& id) {
  auto cell = [](const history::StoredRow& r, ResultColumn c) { return Field(r.cells[static_cast<size_t>(c)]); };
  std::string out;
  for (const history::StoredRow& r : file.rowsOfItem(id))
    out += history::TimeText(r.observed) + "\t" + std::to_string(r.run) + "\t" + cell(r, ResultColumn::Price) + "\t" +
           cell(r, ResultColumn::Sales) + "\t" + cell(r, ResultColumn::Stock) + "\t" + cell(r, ResultColumn::ListedAt) +
           "\t" + cell(r, ResultColumn::DelistAt) + "\t" + cell(r, ResultColumn::Title) + "\n";
  WriteOut(out);
  return kExitOk;
}

int HistoryDiff(HistoryFile& file, const std::string& aText, const std::string& bText) {
  int64_t a = 0, b = 0;
  for (const std::string* t : {&aText, &bText}) {
    int64_t& id = t == &aText ? a : b;
    if (!ParseRunId(*t, id) || !file.run(id)) {
      ErrorLine("history diff: no run " + *t);
      return kExitUsage;
    }
  }
  PrintDiff(file.diffRowsOfRun(a), file.diffRowsOfRun(b));
  return kExitOk;
}

int HistoryPrune(HistoryFile& file, const std::vector<std::string>& args) {
  std::string days;
  if (args.size() == 3 && args[1] == "--keep-days")
    days = args[2];
  else if (args.size() == 2 && args[1].rfind("--keep-days=", 0) == 0)
    days = args[1].substr(12);
  int64_t n = -1;
  if (days.empty() || days.size() > 6 || days.find_first_not_of("0123456789") != std::string::npos) {
    ErrorLine("history prune: give --keep-days N (a whole number of days)");
    return kExitUsage;
  }
  n = std::stoll(days);
  const int64_t removed = file.pruneStartedBefore(history::NowSeconds() - n * 86400);
  if (removed < 0) {
    ErrorLine("history prune: " + file.path() + ": " + file.lastError());
    return kExitUsage;
  }
  WriteOut(std::to_string(removed) + "\n");
  return kExitOk;
}

}  // namespace

int RunHistory(const Options& o, CliHost& host) {
  const std::vector<std::string>& args = o.arguments;
  const std::string sub = args.empty() ? std::string() : args[0];
  const size_t wanted = sub == "runs" ? 1 : sub == "show" || sub == "item" ? 2 : sub == "diff" ? 3 : 0;
  if (sub == "prune") {
    if (args.size() < 2 || args.size() > 3) {
      ErrorLine("history prune: give --keep-days N");
      return kExitUsage;
    }
  } else if (wanted == 0) {
    ErrorLine("history: runs, show RUN, item ID, diff RUN_A RUN_B or prune --keep-days N");
    return kExitUsage;
  } else if (args.size() != wanted) {
    ErrorLine("history " + sub + ": " +
              (sub == "runs"   ? std::string("takes no argument")
               : sub == "diff" ? std::string("give RUN_A RUN_B")
               : sub == "show" ? std::string("give one RUN")
                               : std::string("give one item ID")));
    return kExitUsage;
  }
  auto file = OpenForReading(o, "history");
  if (!file) return kExitUsage;
  if (sub == "runs") return HistoryRuns(*file);
  if (sub == "show") return HistoryShow(o, *file, args[1]);
  if (sub == "item") return HistoryItem(*file, args[1]);
  if (sub == "diff") return HistoryDiff(*file, args[1], args[2]);
  return HistoryPrune(*file, args);
}

int RunWatch(const Options& o, CliHost& host) {
  std::string shop, pages = "5";
  bool pagesGiven = false;
  for (size_t i = 0; i < o.arguments.size(); ++i) {
    std::string name = o.arguments[i], value;
    if (const size_t eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
    } else if (i + 1 < o.arguments.size() && (name == "--shop" || name == "--pages")) {
      value = o.arguments[++i];
    } else {
      ErrorLine(name == "--shop" || name == "--pages" ? "watch: " + name + " needs a value"
                                                      : "watch: unexpected argument " + name);
      return kExitUsage;
    }
    if (name == "--shop") {
      shop = value;
    } else if (name == "--pages") {
      pages = value;
      pagesGiven = true;
    } else {
      ErrorLine("watch: unknown option " + name);
      return kExitUsage;
    }
  }
  if (pagesGiven && shop.empty()) {
    ErrorLine("watch: --pages goes with --shop");
    return kExitUsage;
  }
  history::HistoryRecorder* recorder = RunRecorder();
  if (!recorder) {
    ErrorLine(NoHistoryText("watch"));
    return kExitUsage;
  }
  const std::string nickname = Utf8ToGbk(shop);
  if (!shop.empty()) {
    if (const std::string refusal = ShopRefusal(nickname); !refusal.empty()) {
      host.message(refusal);
      return kExitUsage;
    }
  }
  // A second connection reads where each item was last seen; the recorder writes.
  auto reader = OpenForReading(o, "watch");
  if (!reader) return kExitUsage;

  BeginRecordedRun(shop);
  const auto ids = MonitoredItemIds();
  ResultsTable table;
  const auto endpoints = CurrentEndpoints();
  for (size_t n = 0; ids && n < ids->size(); ++n) {
    if (host.stopRequested()) break;
    if (n > 0) {
      host.pause(o.delayMs + 1);
      if (host.stopRequested()) break;
    }
    const std::string& id = (*ids)[n];
    std::string address = Utf8ToGbk(reader->latestLink(GbkToUtf8(id)));
    if (address.empty()) address = ItemPageAddress(*endpoints, id);
    const int32_t row = table.addRow(NumberText(static_cast<int64_t>(table.rowCount()) + 1));
    table.setCell(row, ResultColumn::Link, address);
    FillResultRow(table, row, host);
    const RowFailures failures = table.failures(row);
    RecordRow(table.row(row), failures);
    ReportFailedRequests(host, row, failures);
  }
  if (!shop.empty() && !host.stopRequested()) {
    ResultsTable shopTable;
    SearchRun run(shopTable, host);
    run.grabDelayText = [delay = NumberText(static_cast<int64_t>(o.delayMs))] { return delay; };
    run.rowDone = [&](int32_t row) {
      const RowFailures failures = shopTable.failures(row);
      RecordRow(shopTable.row(row), failures);
      ReportFailedRequests(host, row, failures);
    };
    run.pageFailed = [&host](const FailedPage& page) {
      host.errorLine(TerminalText(Utf8ToGbk("结果页获取失败：") + FailedPageText(page)));
    };
    ShopSearch(run, nickname, Utf8ToGbk(pages));
  }
  if (host.stopRequested()) {
    host.errorLine("interrupted; the run is recorded as stopped and not compared");
    return ExitCodeAfterRun();
  }
  recorder->endRun(history::RunState::Done);
  const int64_t runId = recorder->currentRunId();
  if (!recorder->flush() || runId == 0) {
    ErrorLine("watch: the run could not be recorded whole, so it is not compared");
    return kExitUsage;
  }
  const auto previous = reader->previousRun("watch", shop, runId, history::RunState::Done);
  const std::vector<history::DiffRow> before =
      previous ? reader->diffRowsOfRun(previous->id) : std::vector<history::DiffRow>{};
  const bool changed = PrintDiff(before, reader->diffRowsOfRun(runId));
  return ExitCodeAfterRun(changed ? 1 : kExitOk);
}

}  // namespace kelvora::cli
