#include "history/history_recorder.h"

#include <sqlite3.h>

#include "net/codec.h"
#include "net/datetime.h"

namespace kelvora::history {

namespace detail {
std::string InsertRowSql();
void OwnerOfThisProcess(int64_t& pid, std::string& start, std::string& boot);
}  // namespace detail

namespace {

// Seconds of a 上架时间/下架时间 cell, or none when it holds no time.
std::optional<int64_t> CellSeconds(const std::string& gbk) {
  if (gbk.empty()) return std::nullopt;
  const DateTime d = TextToDate(gbk);
  if (d <= kSmallestDate) return std::nullopt;
  return DateToUnix(d);
}

// Most cells (numbers, addresses, ids) are ASCII, the same in GBK and UTF-8.
std::string CellUtf8(const std::string& gbk) {
  for (char c : gbk)
    if (static_cast<unsigned char>(c) >= 0x80) return GbkToUtf8(gbk);
  return gbk;
}

class Stmt {
 public:
  Stmt(sqlite3* db, const std::string& sql) { sqlite3_prepare_v2(db, sql.c_str(), -1, &s_, nullptr); }
  ~Stmt() { sqlite3_finalize(s_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  explicit operator bool() const { return s_ != nullptr; }
  void text(int i, const std::string& v) {
    sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
  }
  // `v` must stay as it is until run().
  void textInPlace(int i, const std::string& v) {
    sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_STATIC);
  }
  void integer(int i, int64_t v) { sqlite3_bind_int64(s_, i, v); }
  void optional(int i, std::optional<int64_t> v) {
    if (v)
      sqlite3_bind_int64(s_, i, *v);
    else
      sqlite3_bind_null(s_, i);
  }
  // Runs the statement once and makes it ready for the next values.
  bool run() {
    const int rc = sqlite3_step(s_);
    sqlite3_reset(s_);
    sqlite3_clear_bindings(s_);
    return rc == SQLITE_DONE || rc == SQLITE_ROW;
  }

 private:
  sqlite3_stmt* s_ = nullptr;
};

}  // namespace

HistoryRecorder::HistoryRecorder(std::unique_ptr<HistoryFile> file, Notice notice)
    : file_(std::move(file)), notice_(std::move(notice)) {
  thread_ = std::thread([this] { writerLoop(); });
}

HistoryRecorder::~HistoryRecorder() {
  {
    std::lock_guard lock(mutex_);
    if (runOpen_ && !failed_) {
      Item end(Item::Kind::End);
      end.time = NowSeconds();
      end.state = RunState::Stopped;
      queue_.push_back(std::move(end));
      ++queuedCount_;
      runOpen_ = false;
    }
    closing_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void HistoryRecorder::push(Item&& item) {
  std::unique_lock lock(mutex_);
  if (failed_ || closing_) return;
  if (queue_.size() >= kMaxQueued) {
    failed_ = true;
    queue_.clear();
    lock.unlock();
    drained_.notify_all();
    if (notice_) notice_("history: the disk does not keep up with the rows; recording stops here, the rows go on");
    return;
  }
  // The writer wakes for the first row of a batch, a full batch, and a run's begin or end.
  const bool wake =
      queue_.empty() || queue_.size() + 1 >= static_cast<size_t>(kMaxBatchRows) || item.kind != Item::Kind::Row;
  queue_.push_back(std::move(item));
  ++queuedCount_;
  lock.unlock();
  if (wake) wake_.notify_one();
}

void HistoryRecorder::beginRun(const std::string& kind, const std::string& query) {
  {
    std::lock_guard lock(mutex_);
    if (failed_) return;
    if (runOpen_) {
      Item end(Item::Kind::End);
      end.time = NowSeconds();
      end.state = RunState::Stopped;
      queue_.push_back(std::move(end));
      ++queuedCount_;
    }
    runOpen_ = true;
  }
  Item begin(Item::Kind::Begin);
  begin.kind_ = kind;
  begin.query = query;
  begin.time = NowSeconds();
  push(std::move(begin));
}

void HistoryRecorder::addRow(const RowCells& cells, const RowFailures& failures) {
  Item row(Item::Kind::Row);
  row.time = NowSeconds();
  row.cells = cells;
  row.failures = failures;
  push(std::move(row));
}

void HistoryRecorder::endRun(RunState state) {
  {
    std::lock_guard lock(mutex_);
    if (!runOpen_) return;
    runOpen_ = false;
  }
  Item end(Item::Kind::End);
  end.time = NowSeconds();
  end.state = state;
  push(std::move(end));
}

bool HistoryRecorder::flush() {
  std::unique_lock lock(mutex_);
  const uint64_t target = queuedCount_;
  ++flushWaiters_;
  wake_.notify_one();
  drained_.wait(lock, [&] { return failed_ || doneCount_ >= target; });
  --flushWaiters_;
  return !failed_;
}

bool HistoryRecorder::recording() const {
  std::lock_guard lock(mutex_);
  return !failed_;
}

int64_t HistoryRecorder::currentRunId() const {
  std::lock_guard lock(mutex_);
  return runId_;
}

void HistoryRecorder::fail(const std::string& text) {
  {
    std::lock_guard lock(mutex_);
    if (failed_) return;
    failed_ = true;
    queue_.clear();
  }
  drained_.notify_all();
  if (notice_) notice_(text);
}

void HistoryRecorder::writerLoop() {
  sqlite3* db = file_->handle();
  Stmt insertRun(db,
                 "INSERT INTO runs(kind, query, started, state, owner_pid, owner_start, owner_boot) "
                 "VALUES (?,?,?,'running',?,?,?)");
  Stmt insertRow(db, detail::InsertRowSql());
  Stmt counts(db, "UPDATE runs SET rows=?, failed=? WHERE id=?");
  Stmt endRun(db, "UPDATE runs SET state=?, ended=?, rows=?, failed=?, owner_pid=NULL WHERE id=?");
  Stmt begin(db, "BEGIN IMMEDIATE");
  Stmt commit(db, "COMMIT");
  Stmt rollback(db, "ROLLBACK");
  int64_t ownerPid = 0;
  std::string ownerStart, ownerBoot;
  detail::OwnerOfThisProcess(ownerPid, ownerStart, ownerBoot);
  if (!insertRun || !insertRow || !counts || !endRun || !begin || !commit || !rollback) {
    fail("history: " + file_->path() + ": " + sqlite3_errmsg(db) + "; recording stops, the rows go on");
    return;
  }
  // The open run's counts, so that a run cut short still says how far it got.
  auto writeCounts = [&] {
    if (!runId_) return true;
    counts.integer(1, runRows_);
    counts.integer(2, runFailed_);
    counts.integer(3, runId_);
    return counts.run();
  };
  auto problem = [&](const std::string& what) {
    const std::string message = sqlite3_errmsg(db);
    rollback.run();
    fail("history: " + file_->path() + ": " + what + ": " + message + "; recording stops, the rows go on");
  };

  for (;;) {
    std::deque<Item> batch;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [&] { return closing_ || failed_ || !queue_.empty(); });
      if (failed_) return;
      if (queue_.empty()) return;  // closing, all written
      // Gathers the rows that follow for a moment, unless someone waits or a run begins or ends.
      wake_.wait_until(lock, std::chrono::steady_clock::now() + std::chrono::milliseconds(kGatherMs), [&] {
        return closing_ || failed_ || flushWaiters_ > 0 || queue_.size() >= static_cast<size_t>(kMaxBatchRows) ||
               queue_.back().kind != Item::Kind::Row;
      });
      if (failed_) return;
      // At most a batch's rows; a begin or end never waits for more.
      int rows = 0;
      while (!queue_.empty() && rows < kMaxBatchRows) {
        if (queue_.front().kind == Item::Kind::Row) ++rows;
        batch.push_back(std::move(queue_.front()));
        queue_.pop_front();
      }
    }
    const auto started = std::chrono::steady_clock::now();
    if (!begin.run()) return problem("cannot write");
    size_t written = 0;
    for (Item& item : batch) {
      bool ok = true;
      switch (item.kind) {
        case Item::Kind::Begin:
          insertRun.text(1, item.kind_);
          insertRun.text(2, item.query);
          insertRun.integer(3, item.time);
          insertRun.integer(4, ownerPid);
          insertRun.text(5, ownerStart);
          insertRun.text(6, ownerBoot);
          ok = insertRun.run();
          if (ok) {
            std::lock_guard lock(mutex_);
            runId_ = sqlite3_last_insert_rowid(db);
            runRows_ = runFailed_ = 0;
          }
          break;
        case Item::Kind::Row: {
          if (runId_ == 0) break;
          insertRow.integer(1, runId_);
          insertRow.integer(2, item.time);
          insertRow.integer(3, PackFailures(item.failures));
          insertRow.optional(4, CellSeconds(item.cells[static_cast<size_t>(ResultColumn::ListedAt)]));
          insertRow.optional(5, CellSeconds(item.cells[static_cast<size_t>(ResultColumn::DelistAt)]));
          for (std::string& cell : item.cells) cell = CellUtf8(cell);
          for (int c = 0; c < kResultColumnCount; ++c) insertRow.textInPlace(6 + c, item.cells[static_cast<size_t>(c)]);
          ok = insertRow.run();
          if (ok) {
            ++runRows_;
            if (item.failures.any()) ++runFailed_;
          }
          break;
        }
        case Item::Kind::End:
          if (runId_ == 0) break;
          endRun.text(1, RunStateName(item.state));
          endRun.integer(2, item.time);
          endRun.integer(3, runRows_);
          endRun.integer(4, runFailed_);
          endRun.integer(5, runId_);
          ok = endRun.run();
          break;
      }
      if (!ok) return problem("cannot write");
      ++written;
      // A slow disk: what is written so far goes in now.
      if (std::chrono::steady_clock::now() - started >= std::chrono::milliseconds(kMaxBatchMs) &&
          written < batch.size()) {
        if (!writeCounts()) return problem("cannot write");
        if (!commit.run()) return problem("cannot commit");
        if (!begin.run()) return problem("cannot write");
      }
    }
    if (!writeCounts()) return problem("cannot write");
    if (!commit.run()) return problem("cannot commit");
    {
      std::lock_guard lock(mutex_);
      doneCount_ += batch.size();
    }
    drained_.notify_all();
  }
}

}  // namespace kelvora::history
