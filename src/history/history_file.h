#pragma once
// The history file: every run of a search, lookup list, retry or watch, and every
// row it produced, kept in one SQLite file on the seller's machine. Texts are
// stored as UTF-8; times as Unix seconds (shown as UTC+8 wall-clock time).
//
// One HistoryFile is one connection, for one thread at a time. Several processes
// may hold the same file open at once (WAL journal, busy timeout).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "history/history_diff.h"
#include "results/results_table.h"

struct sqlite3;

namespace kelvora::history {

// The schema this program writes. A file of an older schema is upgraded when it
// is opened (after a backup copy); a newer one is refused.
inline constexpr int kSchemaVersion = 1;

enum class RunState { Running, Done, Stopped, Interrupted, Failed };
const char* RunStateName(RunState state);  // "running", "done", ...

struct RunInfo {
  int64_t id = 0;
  std::string kind;   // the command: "keyword", "watch", ...
  std::string query;  // UTF-8
  int64_t started = 0;
  int64_t ended = 0;  // 0 while running or when the process died
  RunState state = RunState::Running;
  int64_t rows = 0;
  int64_t failed = 0;  // rows naming failed requests
};

struct StoredRow {
  int64_t run = 0;
  int64_t observed = 0;
  RowCells cells;  // UTF-8
  RowFailures failures;
};

// The row's failed requests as one number (a byte per request part) and back.
int64_t PackFailures(const RowFailures& failures);
RowFailures UnpackFailures(int64_t packed);

// "YYYY-MM-DD HH:MM:SS", UTC+8 wall-clock time of Unix seconds.
std::string TimeText(int64_t unixSeconds);
// Now as Unix seconds, following the program's "now" (so --now applies).
int64_t NowSeconds();

class HistoryFile {
 public:
  // Opens `path`, creating it and its folder when missing. A file that is not a
  // SQLite file, or is cut short, is moved aside as PATH.damaged-YYYYMMDD-HHMMSS
  // and a new one started; an older schema is upgraded after a copy
  // PATH.schemaN-YYYYMMDD-HHMMSS is made. What happened is appended to `notes`
  // (UTF-8). Runs left running by a process that is gone become interrupted.
  // Null with `error` set when the file cannot be used (a newer schema, no
  // permission, a disk error).
  static std::unique_ptr<HistoryFile> open(const std::string& path, std::string& error,
                                           std::vector<std::string>* notes = nullptr);
  ~HistoryFile();
  HistoryFile(const HistoryFile&) = delete;
  HistoryFile& operator=(const HistoryFile&) = delete;

  const std::string& path() const { return path_; }
  sqlite3* handle() const { return db_; }
  // The message of the last failed call ("" when none failed).
  const std::string& lastError() const { return lastError_; }

  // Newest first.
  std::vector<RunInfo> runs();
  std::optional<RunInfo> run(int64_t id);
  // The latest run before `before` of this kind and query in state `state`.
  std::optional<RunInfo> previousRun(const std::string& kind, const std::string& query, int64_t before, RunState state);
  // The run's rows in the order they were recorded.
  std::vector<StoredRow> rowsOfRun(int64_t id);
  // The run's rows as a diff reads them, in order.
  std::vector<DiffRow> diffRowsOfRun(int64_t id);
  // Every row of the item, oldest first.
  std::vector<StoredRow> rowsOfItem(const std::string& itemIdUtf8);
  // The 下架时间 cell (UTF-8) of the item's latest recorded row that holds a time,
  // among the runs before `beforeRun`; "" when there is none.
  std::string latestDelistBefore(const std::string& itemIdUtf8, int64_t beforeRun);
  // The 链接 cell of the item's latest recorded row with one, or "".
  std::string latestLink(const std::string& itemIdUtf8);
  // Removes the runs started before `startedBefore` and their rows; how many, -1 on error.
  int64_t pruneStartedBefore(int64_t startedBefore);
  bool deleteRun(int64_t id);

 private:
  HistoryFile(std::string path, sqlite3* db) : path_(std::move(path)), db_(db) {}
  std::string path_;
  sqlite3* db_ = nullptr;
  std::string lastError_;
};

}  // namespace kelvora::history
