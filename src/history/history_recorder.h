#pragma once
// Records runs and their rows into the history file from one writer thread, so
// that whoever produces rows never waits on the disk. Rows are written in short
// transactions (at most kMaxBatchRows rows or kMaxBatchMs each): a process that
// dies loses at most the rows of its last quarter second.
//
// When the disk fails or fills, or the writer falls kMaxQueued rows behind, the
// notice is given once and recording stops; the rows themselves go on.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "history/history_file.h"
#include "results/results_table.h"

namespace kelvora::history {

class HistoryRecorder {
 public:
  static constexpr int kMaxBatchRows = 100;
  static constexpr int kMaxBatchMs = 250;
  static constexpr size_t kMaxQueued = 20000;
  // Rows arriving one by one are gathered this long into one transaction: one
  // commit per row would keep a core busy with the journal on a fast road.
  static constexpr int kGatherMs = 100;

  // Given a UTF-8 text once, on the writer thread, when recording stops.
  using Notice = std::function<void(const std::string&)>;

  // Takes over an open file; its connection is used by the writer thread only.
  HistoryRecorder(std::unique_ptr<HistoryFile> file, Notice notice);
  // Ends a run still open as stopped, writes what is queued, and closes the file.
  ~HistoryRecorder();
  HistoryRecorder(const HistoryRecorder&) = delete;
  HistoryRecorder& operator=(const HistoryRecorder&) = delete;

  // Starts a run (kind and query UTF-8; the start time is taken now). One run at a
  // time: a run still open is ended as stopped first.
  void beginRun(const std::string& kind, const std::string& query);
  // One row as it is finished (GBK cells, as the results table holds them).
  void addRow(const RowCells& cells, const RowFailures& failures);
  void endRun(RunState state);
  // Waits until everything queued so far is on the disk (or recording stopped).
  // True when it all was written.
  bool flush();
  // False once recording stopped.
  bool recording() const;
  // The id of the run begun last, once the writer has written it (0 before).
  int64_t currentRunId() const;

 private:
  struct Item {
    enum class Kind { Begin, Row, End };
    explicit Item(Kind k) : kind(k) {}
    Kind kind;
    std::string kind_, query;         // Begin
    int64_t time = 0;                 // Begin: started, Row: observed, End: ended
    RowCells cells;                   // Row (GBK)
    RowFailures failures;             // Row
    RunState state = RunState::Done;  // End
  };
  void writerLoop();
  bool writeItem(Item& item, std::string& error);
  void fail(const std::string& text);
  void push(Item&& item);

  std::unique_ptr<HistoryFile> file_;
  Notice notice_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable drained_;
  std::deque<Item> queue_;
  bool closing_ = false;
  bool failed_ = false;
  bool runOpen_ = false;
  int64_t runId_ = 0;
  int64_t runRows_ = 0;
  int64_t runFailed_ = 0;
  uint64_t queuedCount_ = 0;
  uint64_t doneCount_ = 0;
  int flushWaiters_ = 0;
  std::thread thread_;
};

}  // namespace kelvora::history
