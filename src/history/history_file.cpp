#include "history/history_file.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>

#include "net/datetime.h"

namespace kelvora::history {
namespace fs = std::filesystem;

namespace {

// Columns of a row, in the order of the results table.
constexpr const char* kCellColumns[kResultColumnCount] = {
    "seq_text", "item", "title", "link",  "seller", "listed",   "delist",
    "hours",    "shop", "sales", "stock", "price",  "location", "monitored",
};

std::string CellColumnList() {
  std::string s;
  for (int c = 0; c < kResultColumnCount; ++c) s += std::string(c ? "," : "") + kCellColumns[c];
  return s;
}

// The first schema. Later versions add steps to kUpgrades, never change this text.
const char kSchemaV1[] =
    "CREATE TABLE runs("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " kind TEXT NOT NULL, query TEXT NOT NULL,"
    " started INTEGER NOT NULL, ended INTEGER,"
    " state TEXT NOT NULL,"
    " rows INTEGER NOT NULL DEFAULT 0, failed INTEGER NOT NULL DEFAULT 0,"
    // The process writing a running run: its pid, start time and boot, so that
    // another process can tell a live run from one whose writer died.
    " owner_pid INTEGER, owner_start TEXT, owner_boot TEXT);"
    "CREATE INDEX runs_started ON runs(started);"
    "CREATE INDEX runs_kind ON runs(kind, query);"
    "CREATE TABLE observations("
    " id INTEGER PRIMARY KEY,"
    " run INTEGER NOT NULL, observed INTEGER NOT NULL,"
    " seq_text TEXT NOT NULL, item TEXT NOT NULL, title TEXT NOT NULL, link TEXT NOT NULL,"
    " seller TEXT NOT NULL, listed TEXT NOT NULL, delist TEXT NOT NULL, hours TEXT NOT NULL,"
    " shop TEXT NOT NULL, sales TEXT NOT NULL, stock TEXT NOT NULL, price TEXT NOT NULL,"
    " location TEXT NOT NULL, monitored TEXT NOT NULL,"
    " failures INTEGER NOT NULL DEFAULT 0,"
    " listed_s INTEGER, delist_s INTEGER);"
    "CREATE INDEX observations_run ON observations(run);"
    "CREATE INDEX observations_item ON observations(item, observed);";

// Steps from schema N to N+1 (index N-1), each run inside the upgrade's transaction.
const std::vector<const char*> kUpgrades = {};

class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql) {
    if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt_, nullptr) != SQLITE_OK)
      stmt_ = nullptr;
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  sqlite3_stmt* get() const { return stmt_; }
  explicit operator bool() const { return stmt_ != nullptr; }
  void bind(int i, int64_t v) { sqlite3_bind_int64(stmt_, i, v); }
  void bind(int i, const std::string& v) {
    sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
  }
  int step() { return sqlite3_step(stmt_); }
  int64_t integer(int i) const { return sqlite3_column_int64(stmt_, i); }
  std::string text(int i) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, i));
    return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, i))) : std::string();
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

bool Exec(sqlite3* db, const char* sql, std::string& error) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  error = message ? message : sqlite3_errmsg(db);
  sqlite3_free(message);
  return false;
}

std::string ReadSmall(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string s;
  std::getline(in, s, '\0');
  return s;
}

// This process as the owner of a running run: pid, start time (clock ticks since
// boot, from /proc) and boot id. A pid is reused; the three together are not.
struct Owner {
  int64_t pid = 0;
  std::string start;
  std::string boot;
};

std::string ProcessStart(int64_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Field 22; the command name (field 2) may hold blanks, so count after its ')'.
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return {};
  size_t pos = close + 2;
  for (int field = 3; field < 22 && pos < stat.size(); ++field) {
    pos = stat.find(' ', pos);
    if (pos == std::string::npos) return {};
    ++pos;
  }
  return stat.substr(pos, stat.find(' ', pos) - pos);
}

// Kept per process: a child forked after the first call gets its own.
Owner ThisProcess() {
  static std::mutex mutex;
  static Owner owner;
  std::lock_guard lock(mutex);
  if (owner.pid != ::getpid()) {
    owner.pid = ::getpid();
    owner.start = ProcessStart(owner.pid);
    std::string boot = ReadSmall("/proc/sys/kernel/random/boot_id");
    while (!boot.empty() && (boot.back() == '\n' || boot.back() == ' ')) boot.pop_back();
    owner.boot = boot;
  }
  return owner;
}

bool OwnerAlive(const Owner& o) {
  const Owner self = ThisProcess();
  if (o.boot != self.boot || o.pid <= 0) return false;
  if (o.pid == self.pid) return o.start == self.start;
  const std::string start = ProcessStart(o.pid);
  return !start.empty() && start == o.start;
}

std::string Stamp() {
  const DateParts p = SplitDateTime(UnixToDate(static_cast<int64_t>(std::time(nullptr))));
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d%02d%02d-%02d%02d%02d", p.year, p.month, p.day, p.hour, p.minute, p.second);
  return buffer;
}

// A name beside `path` that is not taken: PATH.WHAT-STAMP, then -2, -3, ...
std::string FreeName(const std::string& path, const std::string& what) {
  const std::string base = path + "." + what + "-" + Stamp();
  std::error_code ec;
  std::string name = base;
  for (int n = 2; fs::exists(name, ec) || fs::exists(name + "-wal", ec); ++n) name = base + "-" + std::to_string(n);
  return name;
}

// Moves the file (and its journal files) aside; the name it now has, or "" on failure.
std::string MoveAside(const std::string& path, std::string& error) {
  const std::string target = FreeName(path, "damaged");
  std::error_code ec;
  fs::rename(path, target, ec);
  if (ec) {
    error = path + ": damaged, and it cannot be moved aside: " + ec.message();
    return {};
  }
  for (const char* suffix : {"-wal", "-shm"}) {
    if (fs::exists(path + suffix, ec)) fs::rename(path + suffix, target + suffix, ec);
  }
  return target;
}

uint32_t BigEndian32(const unsigned char* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// Why an existing file is plainly not a whole SQLite file, or "" when it may be one.
// Looks at the header only: the magic text, and the size it gives against the
// file's size (the size in the header is kept up to date when no WAL file holds
// newer pages).
std::string DamageOf(const std::string& path) {
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  if (ec || size == 0) return {};
  std::ifstream in(path, std::ios::binary);
  unsigned char header[100] = {};
  in.read(reinterpret_cast<char*>(header), sizeof header);
  if (in.gcount() < 100 || std::memcmp(header, "SQLite format 3", 16) != 0) return "not a SQLite file";
  if (fs::exists(path + "-wal", ec) && fs::file_size(path + "-wal", ec) > 0) return {};
  uint32_t pageSize = (uint32_t{header[16]} << 8) | header[17];
  if (pageSize == 1) pageSize = 65536;
  const uint32_t pages = BigEndian32(header + 28);
  const bool sizeValid = BigEndian32(header + 24) == BigEndian32(header + 92);
  if (sizeValid && pages > 0 && uint64_t{pages} * pageSize > size) return "cut short";
  return {};
}

bool IsDamageCode(int code) {
  code &= 0xff;
  return code == SQLITE_NOTADB || code == SQLITE_CORRUPT;
}

RunState StateOfName(const std::string& name) {
  if (name == "done") return RunState::Done;
  if (name == "stopped") return RunState::Stopped;
  if (name == "interrupted") return RunState::Interrupted;
  if (name == "failed") return RunState::Failed;
  return RunState::Running;
}

const char kRunColumns[] = "id, kind, query, started, ended, state, rows, failed";

RunInfo ReadRun(const Statement& s) {
  RunInfo r;
  r.id = s.integer(0);
  r.kind = s.text(1);
  r.query = s.text(2);
  r.started = s.integer(3);
  r.ended = s.integer(4);
  r.state = StateOfName(s.text(5));
  r.rows = s.integer(6);
  r.failed = s.integer(7);
  return r;
}

// Opens the connection with the settings every user of the file shares.
sqlite3* Connect(const std::string& path, int& code, std::string& error) {
  sqlite3* db = nullptr;
  code = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (code != SQLITE_OK) {
    error = db ? sqlite3_errmsg(db) : "cannot open";
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_extended_result_codes(db, 1);
  // A second writer (the desktop while a scheduled watch runs) waits its turn.
  sqlite3_busy_timeout(db, 10000);
  // journal_mode reads the file: the first place a damaged one shows.
  Statement wal(db, "PRAGMA journal_mode=WAL");
  code = wal ? wal.step() : sqlite3_errcode(db);
  if (code != SQLITE_ROW) {
    if (code == SQLITE_DONE || code == SQLITE_OK) code = sqlite3_errcode(db);
    error = sqlite3_errmsg(db);
    sqlite3_close(db);
    return nullptr;
  }
  code = SQLITE_OK;
  std::string ignored;
  Exec(db, "PRAGMA synchronous=NORMAL", ignored);
  return db;
}

int UserVersion(sqlite3* db, int& code) {
  Statement s(db, "PRAGMA user_version");
  code = s ? s.step() : sqlite3_errcode(db);
  if (code != SQLITE_ROW) {
    code = sqlite3_extended_errcode(db);
    return -1;
  }
  code = SQLITE_OK;
  return static_cast<int>(s.integer(0));
}

bool HasTables(sqlite3* db, int& code) {
  Statement s(db, "SELECT count(*) FROM sqlite_master");
  code = s ? s.step() : sqlite3_errcode(db);
  if (code != SQLITE_ROW) {
    code = sqlite3_extended_errcode(db);
    return false;
  }
  code = SQLITE_OK;
  return s.integer(0) > 0;
}

// Creates the schema in a new file, or upgrades an older one (a copy first).
bool PrepareSchema(sqlite3* db, const std::string& path, int version, std::vector<std::string>* notes,
                   std::string& error) {
  if (version == kSchemaVersion) return true;
  if (version > 0) {
    const std::string backup = FreeName(path, "schema" + std::to_string(version));
    std::string sql = "VACUUM INTO '";
    for (char c : backup) sql += c == '\'' ? std::string("''") : std::string(1, c);
    sql += "'";
    if (!Exec(db, sql.c_str(), error)) {
      error = path + ": no backup copy could be made before the upgrade (" + error + "); the file is left as it is";
      return false;
    }
    if (notes)
      notes->push_back(path + ": upgraded from schema " + std::to_string(version) + " to " +
                       std::to_string(kSchemaVersion) + "; the old file is kept as " + backup);
  }
  if (!Exec(db, "BEGIN IMMEDIATE", error)) return false;
  int code = SQLITE_OK;
  const int now = UserVersion(db, code);  // another process may have done it meanwhile
  bool ok = code == SQLITE_OK;
  if (ok && now == 0) ok = Exec(db, kSchemaV1, error);
  for (int v = std::max(now, 1); ok && v < kSchemaVersion; ++v) ok = Exec(db, kUpgrades[v - 1], error);
  if (ok && now != kSchemaVersion)
    ok = Exec(db, ("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str(), error);
  if (ok && Exec(db, "COMMIT", error)) return true;
  std::string ignored;
  Exec(db, "ROLLBACK", ignored);
  return false;
}

// Runs left running by a process that is gone are interrupted.
void MarkInterrupted(sqlite3* db) {
  std::vector<int64_t> dead;
  {
    Statement s(db, "SELECT id, owner_pid, owner_start, owner_boot FROM runs WHERE state='running'");
    while (s && s.step() == SQLITE_ROW) {
      Owner o{s.integer(1), s.text(2), s.text(3)};
      if (!OwnerAlive(o)) dead.push_back(s.integer(0));
    }
  }
  for (int64_t id : dead) {
    Statement u(db, "UPDATE runs SET state='interrupted' WHERE id=? AND state='running'");
    if (!u) break;
    u.bind(1, id);
    u.step();
  }
}

}  // namespace

const char* RunStateName(RunState state) {
  switch (state) {
    case RunState::Running:
      return "running";
    case RunState::Done:
      return "done";
    case RunState::Stopped:
      return "stopped";
    case RunState::Interrupted:
      return "interrupted";
    case RunState::Failed:
      return "failed";
  }
  return "running";
}

int64_t PackFailures(const RowFailures& failures) {
  int64_t v = 0;
  for (int p = 0; p < kRequestPartCount; ++p)
    v |= static_cast<int64_t>(static_cast<uint8_t>(failures.parts[static_cast<size_t>(p)])) << (8 * p);
  return v;
}

RowFailures UnpackFailures(int64_t packed) {
  RowFailures f;
  for (int p = 0; p < kRequestPartCount; ++p)
    f.parts[static_cast<size_t>(p)] = static_cast<FailureKind>((packed >> (8 * p)) & 0xff);
  return f;
}

std::string TimeText(int64_t unixSeconds) {
  const DateParts p = SplitDateTime(UnixToDate(unixSeconds));
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", p.year, p.month, p.day, p.hour, p.minute,
                p.second);
  return buffer;
}

int64_t NowSeconds() { return DateToUnix(NowUtc8()); }

std::unique_ptr<HistoryFile> HistoryFile::open(const std::string& path, std::string& error,
                                               std::vector<std::string>* notes) {
  std::error_code ec;
  const fs::path parent = fs::path(path).parent_path();
  if (!parent.empty()) fs::create_directories(parent, ec);
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::string damage = DamageOf(path);
    int code = SQLITE_OK;
    sqlite3* db = nullptr;
    int version = -1;
    if (damage.empty()) {
      db = Connect(path, code, error);
      if (db) version = UserVersion(db, code);
      if (db && code == SQLITE_OK && version == 0 && HasTables(db, code)) {
        // Tables without a version: someone else's file, not one of ours.
        damage = "not a history file";
      }
      if (code != SQLITE_OK) {
        if (!IsDamageCode(code)) {
          error = path + ": " + (db ? std::string(sqlite3_errmsg(db)) : error);
          sqlite3_close(db);
          return nullptr;
        }
        damage = db ? sqlite3_errmsg(db) : error;
      }
    }
    if (!damage.empty()) {
      sqlite3_close(db);
      if (attempt > 0) {
        error = path + ": " + damage;
        return nullptr;
      }
      const std::string moved = MoveAside(path, error);
      if (moved.empty()) return nullptr;
      if (notes) notes->push_back(path + ": " + damage + "; moved aside as " + moved + ", a new history begins");
      continue;
    }
    if (version > kSchemaVersion) {
      sqlite3_close(db);
      error = path + ": written by a newer version of the program (history schema " + std::to_string(version) +
              ", this one knows up to " + std::to_string(kSchemaVersion) + "); it is left as it is";
      return nullptr;
    }
    if (!PrepareSchema(db, path, version, notes, error)) {
      sqlite3_close(db);
      if (error.rfind(path, 0) != 0) error = path + ": " + error;
      return nullptr;
    }
    MarkInterrupted(db);
    return std::unique_ptr<HistoryFile>(new HistoryFile(path, db));
  }
  return nullptr;
}

HistoryFile::~HistoryFile() { sqlite3_close(db_); }

std::vector<RunInfo> HistoryFile::runs() {
  std::vector<RunInfo> out;
  Statement s(db_, std::string("SELECT ") + kRunColumns + " FROM runs ORDER BY id DESC");
  while (s && s.step() == SQLITE_ROW) out.push_back(ReadRun(s));
  return out;
}

std::optional<RunInfo> HistoryFile::run(int64_t id) {
  Statement s(db_, std::string("SELECT ") + kRunColumns + " FROM runs WHERE id=?");
  if (!s) return std::nullopt;
  s.bind(1, id);
  if (s.step() != SQLITE_ROW) return std::nullopt;
  return ReadRun(s);
}

std::optional<RunInfo> HistoryFile::previousRun(const std::string& kind, const std::string& query, int64_t before,
                                                RunState state) {
  Statement s(db_, std::string("SELECT ") + kRunColumns +
                       " FROM runs WHERE kind=? AND query=? AND id<? AND state=? ORDER BY id DESC LIMIT 1");
  if (!s) return std::nullopt;
  s.bind(1, kind);
  s.bind(2, query);
  s.bind(3, before);
  s.bind(4, std::string(RunStateName(state)));
  if (s.step() != SQLITE_ROW) return std::nullopt;
  return ReadRun(s);
}

namespace {

std::vector<StoredRow> ReadRows(Statement& s, size_t expected = 0) {
  std::vector<StoredRow> out;
  out.reserve(expected);
  while (s && s.step() == SQLITE_ROW) {
    StoredRow r;
    r.run = s.integer(0);
    r.observed = s.integer(1);
    r.failures = UnpackFailures(s.integer(2));
    for (int c = 0; c < kResultColumnCount; ++c) r.cells[static_cast<size_t>(c)] = s.text(3 + c);
    out.push_back(std::move(r));
  }
  return out;
}

}  // namespace

std::vector<StoredRow> HistoryFile::rowsOfRun(int64_t id) {
  Statement s(db_,
              "SELECT run, observed, failures, " + CellColumnList() + " FROM observations WHERE run=? ORDER BY id");
  if (!s) return {};
  const auto info = run(id);
  s.bind(1, id);
  return ReadRows(s, info ? static_cast<size_t>(std::max<int64_t>(info->rows, 0)) : 0);
}

std::vector<DiffRow> HistoryFile::diffRowsOfRun(int64_t id) {
  Statement s(db_, "SELECT item, title, price, sales, stock, delist FROM observations WHERE run=? ORDER BY id");
  std::vector<DiffRow> out;
  if (!s) return out;
  if (const auto info = run(id)) out.reserve(static_cast<size_t>(std::max<int64_t>(info->rows, 0)));
  s.bind(1, id);
  while (s.step() == SQLITE_ROW) out.push_back({s.text(0), s.text(1), s.text(2), s.text(3), s.text(4), s.text(5)});
  return out;
}

std::vector<StoredRow> HistoryFile::rowsOfItem(const std::string& itemIdUtf8) {
  Statement s(db_, "SELECT run, observed, failures, " + CellColumnList() +
                       " FROM observations WHERE item=? ORDER BY observed, id");
  if (!s) return {};
  s.bind(1, itemIdUtf8);
  return ReadRows(s);
}

std::string HistoryFile::latestLink(const std::string& itemIdUtf8) {
  Statement s(db_, "SELECT link FROM observations WHERE item=? AND link<>'' ORDER BY observed DESC, id DESC LIMIT 1");
  if (!s) return {};
  s.bind(1, itemIdUtf8);
  return s.step() == SQLITE_ROW ? s.text(0) : std::string();
}

std::string HistoryFile::latestDelistBefore(const std::string& itemIdUtf8, int64_t beforeRun) {
  Statement s(db_,
              "SELECT delist FROM observations WHERE item=? AND run<? AND delist_s IS NOT NULL "
              "ORDER BY observed DESC, id DESC LIMIT 1");
  if (!s) return {};
  s.bind(1, itemIdUtf8);
  s.bind(2, beforeRun);
  return s.step() == SQLITE_ROW ? s.text(0) : std::string();
}

int64_t HistoryFile::pruneStartedBefore(int64_t startedBefore) {
  lastError_.clear();
  if (!Exec(db_, "BEGIN IMMEDIATE", lastError_)) return -1;
  int64_t removed = -1;
  Statement rows(db_,
                 "DELETE FROM observations WHERE run IN (SELECT id FROM runs WHERE started<? AND state<>'running')");
  Statement runs(db_, "DELETE FROM runs WHERE started<? AND state<>'running'");
  if (rows && runs) {
    rows.bind(1, startedBefore);
    runs.bind(1, startedBefore);
    if (rows.step() == SQLITE_DONE && runs.step() == SQLITE_DONE) removed = sqlite3_changes(db_);
  }
  if (removed >= 0 && Exec(db_, "COMMIT", lastError_)) return removed;
  if (lastError_.empty()) lastError_ = sqlite3_errmsg(db_);
  std::string ignored;
  Exec(db_, "ROLLBACK", ignored);
  return -1;
}

bool HistoryFile::deleteRun(int64_t id) {
  lastError_.clear();
  if (!Exec(db_, "BEGIN IMMEDIATE", lastError_)) return false;
  Statement rows(db_, "DELETE FROM observations WHERE run=?");
  Statement runs(db_, "DELETE FROM runs WHERE id=?");
  bool ok = rows && runs;
  if (ok) {
    rows.bind(1, id);
    runs.bind(1, id);
    ok = rows.step() == SQLITE_DONE && runs.step() == SQLITE_DONE;
  }
  if (ok && Exec(db_, "COMMIT", lastError_)) return true;
  if (lastError_.empty()) lastError_ = sqlite3_errmsg(db_);
  std::string ignored;
  Exec(db_, "ROLLBACK", ignored);
  return false;
}

// The writer's statements live in history_recorder.cpp; they share these helpers.
namespace detail {
std::string InsertRowSql() {
  std::string sql = "INSERT INTO observations(run, observed, failures, listed_s, delist_s, " + CellColumnList() +
                    ") VALUES (?,?,?,?,?";
  for (int c = 0; c < kResultColumnCount; ++c) sql += ",?";
  return sql + ")";
}
void OwnerOfThisProcess(int64_t& pid, std::string& start, std::string& boot) {
  const Owner o = ThisProcess();
  pid = o.pid;
  start = o.start;
  boot = o.boot;
}
}  // namespace detail

}  // namespace kelvora::history
