#pragma once
// What the commands of kelvora-cli share: the parsed options, the host that turns
// the core's progress into stderr lines, and the row printers.
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <type_traits>
#include <vector>

#include "cli/rows.h"
#include "history/history_recorder.h"
#include "results/host.h"
#include "results/results_table.h"

namespace kelvora::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitLogin = 3;

// Set by the interrupt handler; the running command ends after the current row.
extern std::atomic<bool> g_stop;
// The signal that asked to stop (SIGINT or SIGTERM), 0 while none came.
extern std::atomic<int> g_stopSignal;
// Stopped with g_stop: requests in flight on a thread that holds it (the main
// thread does) end at once. A worker thread of a command passes it to
// SetThreadStopToken.
std::stop_token CliStopToken();
// Stops CliStopToken (from the signal watcher thread, never from a handler).
void RequestCliStop();
// What a command returns: 130 after Ctrl-C, 143 after SIGTERM (128 + the signal
// that stopped it), else `code`. Every command ends through it, and Run passes
// each command's result through it once more for the early returns.
int ExitCodeAfterRun(int code = kExitOk);
// After a stop the process ends at once: handing a table of a million rows back
// to the allocator cell by cell takes a second, so it is kept until the exit
// instead (as compilers skip freeing at the end of a run).
template <typename T>
void KeepUntilExit(T&& value) {
  static auto* kept = new std::vector<std::shared_ptr<void>>();
  kept->push_back(std::make_shared<std::decay_t<T>>(std::forward<T>(value)));
}

struct Options {
  std::string config;
  std::optional<std::string> login;
  std::optional<std::string> loginFile;
  std::optional<std::string> serviceCookie;
  std::optional<std::string> serviceCookieFile;
  std::optional<std::string> marketCookie;
  std::optional<std::string> marketCookieFile;
  std::optional<std::string> monitor;
  std::optional<std::string> history;
  int delayMs = 200;
  std::optional<std::string> now;
  RowFormat format = RowFormat::Tsv;
  bool quiet = false;
  bool help = false;
  bool version = false;
  std::string command;
  std::vector<std::string> arguments;
  std::string programDir;
  // The history file in use ("" when none): --history, else [history] file (or the
  // default place) when [history] enabled=1, or for history and watch when file= is set.
  std::string historyPath;
  int historyKeepDays = 0;  // [history] keep_days: older runs go when the file is opened
};

// Recording of the run into the history file. main.cpp sets the recorder up for
// the commands that produce rows; a command calls BeginRecordedRun once its input
// is accepted (a refused one records nothing), and every row it prints (PrintRow)
// or otherwise produces (RecordRow) goes into the run.
void SetRunRecorder(history::HistoryRecorder* recorder, std::string kind, std::string query);
history::HistoryRecorder* RunRecorder();
void BeginRecordedRun();
// Like BeginRecordedRun, with a query of the command's own.
void BeginRecordedRun(const std::string& query);
void RecordRow(const RowCells& cells, const RowFailures& failures);

// "kelvora-cli: TEXT" on stderr (UTF-8).
void ErrorLine(const std::string& utf8);
// A GBK message of the core as UTF-8 terminal lines.
std::string TerminalText(const std::string& gbk);

// The progress line of a terminal: "12 / 40 items, 3.1/s, 0:09 left" (pages when
// the run reads result pages; no time left when the total is not known).
std::string ProgressLineText(const Progress& progress, double seconds);

// On a terminal, progress is one line on stderr rewritten in place, with status
// texts and errors printed above it; the row count goes into that line instead of
// a line per row. Elsewhere every status text and row count is a plain line.
class CliHost : public Host {
 public:
  explicit CliHost(bool quiet);
  // Leaves the last progress line standing.
  ~CliHost() override;
  void setStatus(const std::string& text) override { progress(text); }
  void setRowCountLabel(const std::string& text) override;
  void message(const std::string& text) override;
  void pause(int ms) override;
  bool stopRequested() const override { return g_stop.load(); }
  void setProgress(const Progress& progress) override;
  bool quiet() const { return quiet_; }
  // ErrorLine on a line of its own, above the progress line.
  void errorLine(const std::string& utf8);
  // Output to the same terminal goes between these two.
  void clearProgressLine();
  void drawProgressLine();

 private:
  void progress(const std::string& text);
  bool quiet_;
  bool terminal_;
  bool progressShown_ = false;
  std::string progressLine_;  // what the terminal's last line shows
  std::chrono::steady_clock::time_point started_;
  bool startedSet_ = false;
};

// Reads a small input file (a cookie text, an address list, the report page)
// through the safe file reader: a regular file of at most 16 MiB. False with
// `error` set ("PATH: ...") otherwise. Row files go through ReadRows (rows.h)
// instead, which has no size limit.
bool ReadSmallFile(const std::string& path, std::string& out, std::string& error);
// ReadSmallFile, or all of stdin (at most 16 MiB as well) when `source` is "-".
bool ReadSmallInput(const std::string& source, std::string& out, std::string& error);
// Line breaks of a file read on any system as the CR LF of an edit box.
std::string AsEditBoxText(const std::string& text);

// Writes all of `bytes` to stdout in one go, finishing a write that a signal cut
// short, so that no printed line is ever half a line. False when stdout is gone.
bool WriteOut(const std::string& bytes);
// One row and its line break. In jsonl a row with failed requests carries them.
void PrintRow(const RowCells& cells, RowFormat format, const RowFailures& failures = {});
void PrintCaptionIfTsv(RowFormat format);
// The stderr line for row `index` whose requests failed (nothing when none did, or
// when quiet): "row N: secondary (cut short), lookup (no answer) failed".
void ReportFailedRequests(CliHost& host, int32_t index, const RowFailures& failures);

// Commands: each takes the options and the host and returns the exit code.
int RunItem(const Options& o, CliHost& host);
int RunRetry(const Options& o, CliHost& host);
int RunKeyword(const Options& o, CliHost& host);
int RunList(const Options& o, CliHost& host);
int RunCategories(const Options& o, CliHost& host);
int RunCategory(const Options& o, CliHost& host);
int RunShop(const Options& o, CliHost& host);
int RunPages(const Options& o, CliHost& host);
int RunReport(const Options& o, CliHost& host);
int RunExport(const Options& o, CliHost& host);
int RunHistory(const Options& o, CliHost& host);
int RunWatch(const Options& o, CliHost& host);

}  // namespace kelvora::cli
