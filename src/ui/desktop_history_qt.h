#pragma once
// The desktop's history: every search, lookup list and retry recorded as a run
// into the history file, and the file read back for the history windows.
//
// Two connections: the recorder's (its writer thread) and a reader's, which runs
// its jobs one after another on a thread of its own. The UI thread never touches
// the file; a job hands its answer back to the UI thread. The file is opened by the
// reader thread as its first job, so the program starts without waiting for it.
#include <QObject>
#include <QPointer>
#include <QString>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "history/history_file.h"
#include "history/history_recorder.h"
#include "results/results_table.h"

namespace kelvora {

class DesktopHistory : public QObject {
  Q_OBJECT

 public:
  // Runs on the reader thread with the reader's connection (null when the file
  // could not be used); returns what then runs on the UI thread (may be empty).
  using Job = std::function<std::function<void()>(history::HistoryFile* file)>;

  explicit DesktopHistory(QObject* parent = nullptr);
  // Ends a run still open as stopped, writes what is queued, and closes the file.
  ~DesktopHistory() override;

  // Opens `path` (UTF-8) on the reader thread and starts recording; runs started
  // before `keepDays` days ago are removed first (0 keeps every run). What happened
  // to the file (moved aside, upgraded, refused) is said once through notice().
  void start(const std::string& path, int keepDays);
  // False before start() and once the file turned out to be unusable.
  bool enabled() const;
  const std::string& path() const { return path_; }

  // A job for the reader thread; `then` runs on the UI thread while `receiver`
  // still exists.
  void read(QObject* receiver, Job job);
  // Off the UI thread only: runs `job` on the reader thread and waits for it.
  void readAndWait(const std::function<void(history::HistoryFile* file)>& job);

  // Recording, from the worker that produces the rows. beginRun waits for the
  // file to be open and reads where the monitored items' delisting times stood
  // before this run (see delistBefore); it does not wait for the writer.
  void beginRun(const std::string& kind, const std::string& queryUtf8);
  void addRow(const RowCells& cells, const RowFailures& failures);
  void endRun(history::RunState state);
  // Waits until every row recorded so far is in the file (tests, the tour).
  bool flush();

  // The 下架时间 (GBK) of each monitored item (GBK id) in its latest recorded row
  // before the run whose rows the results table shows last (a search's, or a run
  // put in by 打开). UI thread.
  const std::unordered_map<std::string, std::string>& delistBefore() const { return delistBefore_; }
  // Reads, for the items given (GBK ids), where their delisting times stood
  // before run `beforeRun` (0: before any run yet to come), and puts that into
  // delistBefore (replacing it when `replace`).
  void lookUpDelistBefore(std::vector<std::string> itemIds, int64_t beforeRun, bool replace);
  void clearDelistBefore();

 signals:
  // A text for the seller (status line and a message), once per happening.
  void notice(const QString& text);
  // The history file is open (or turned out unusable): enabled() says which.
  void opened();
  // A run was recorded to its end (the history window refreshes its list).
  void runEnded();
  // delistBefore() changed.
  void delistBeforeChanged();

 private:
  void readerLoop();
  void post(std::function<void()> task);
  void say(const std::string& utf8);

  std::string path_;
  int keepDays_ = 0;
  std::unique_ptr<history::HistoryFile> reader_;  // reader thread only
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  bool closing_ = false;
  bool started_ = false;
  bool usable_ = false;
  bool openDone_ = false;
  std::unique_ptr<history::HistoryRecorder> recorder_;  // set by the reader thread, under mutex_
  std::thread thread_;
  std::unordered_map<std::string, std::string> delistBefore_;  // UI thread
};

}  // namespace kelvora
