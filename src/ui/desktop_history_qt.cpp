#include "ui/desktop_history_qt.h"

#include <future>
#include <limits>

#include "net/codec.h"
#include "net/shared_state.h"

namespace kelvora {

DesktopHistory::DesktopHistory(QObject* parent) : QObject(parent) {}

DesktopHistory::~DesktopHistory() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  // The recorder ends an open run as stopped and writes what is queued.
  std::unique_ptr<history::HistoryRecorder> recorder;
  {
    std::lock_guard lock(mutex_);
    recorder = std::move(recorder_);
  }
  recorder.reset();
  reader_.reset();
}

void DesktopHistory::say(const std::string& utf8) {
  const QString text = QString::fromStdString(utf8);
  QMetaObject::invokeMethod(
      this, [this, text] { emit notice(text); }, Qt::QueuedConnection);
}

void DesktopHistory::start(const std::string& path, int keepDays) {
  if (started_) return;
  started_ = true;
  path_ = path;
  keepDays_ = keepDays;
  thread_ = std::thread([this] { readerLoop(); });
  post([this] {
    std::string error;
    std::vector<std::string> notes;
    auto file = history::HistoryFile::open(path_, error, &notes);
    for (const std::string& note : notes) say("历史记录：" + note);
    std::unique_ptr<history::HistoryFile> writer;
    if (file) {
      if (keepDays_ > 0) file->pruneStartedBefore(history::NowSeconds() - int64_t{keepDays_} * 86400);
      writer = history::HistoryFile::open(path_, error);
    }
    if (!file || !writer) {
      say("历史记录不可用，本次不记录：" + error);
      file.reset();
      std::lock_guard lock(mutex_);
      openDone_ = true;
    } else {
      auto recorder = std::make_unique<history::HistoryRecorder>(
          std::move(writer), [this](const std::string& text) { say("历史记录：" + text); });
      std::lock_guard lock(mutex_);
      recorder_ = std::move(recorder);
      usable_ = true;
      openDone_ = true;
    }
    reader_ = std::move(file);
    QMetaObject::invokeMethod(
        this, [this] { emit opened(); }, Qt::QueuedConnection);
  });
}

bool DesktopHistory::enabled() const {
  std::lock_guard lock(mutex_);
  return started_ && (usable_ || !openDone_);  // until the file is open: assumed usable
}

void DesktopHistory::post(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    if (closing_ || !thread_.joinable()) return;
    tasks_.push_back(std::move(task));
  }
  wake_.notify_one();
}

void DesktopHistory::readerLoop() {
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [&] { return closing_ || !tasks_.empty(); });
      if (closing_) return;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
  }
}

void DesktopHistory::read(QObject* receiver, Job job) {
  QPointer<QObject> target(receiver);
  post([this, target, job = std::move(job)] {
    std::function<void()> then = job(reader_.get());
    if (!then) return;
    QMetaObject::invokeMethod(
        this,
        [target, then = std::move(then)] {
          if (target) then();
        },
        Qt::QueuedConnection);
  });
}

void DesktopHistory::readAndWait(const std::function<void(history::HistoryFile* file)>& job) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  {
    std::lock_guard lock(mutex_);
    if (closing_ || !thread_.joinable()) return;
    tasks_.push_back([this, done, &job] {
      job(reader_.get());
      done->set_value();
    });
  }
  wake_.notify_one();
  // The reader ends only with this object, which outlives the workers that wait here.
  finished.wait();
}

void DesktopHistory::beginRun(const std::string& kind, const std::string& queryUtf8) {
  if (!started_) return;
  // Where the monitored items stood before this run: read before the run begins,
  // so that none of its own rows can be among them.
  std::vector<std::string> ids;
  if (const auto monitored = MonitoredItemIds()) ids = *monitored;
  auto before = std::make_shared<std::unordered_map<std::string, std::string>>();
  history::HistoryRecorder* recorder = nullptr;
  readAndWait([&](history::HistoryFile* file) {
    {
      std::lock_guard lock(mutex_);
      recorder = recorder_.get();
    }
    if (!file || !recorder) return;
    recorder->flush();  // the previous run's last rows count as recorded
    for (const std::string& id : ids) {
      const std::string delist = file->latestDelistBefore(GbkToUtf8(id), std::numeric_limits<int64_t>::max());
      if (!delist.empty()) (*before)[id] = Utf8ToGbk(delist);
    }
  });
  if (!recorder) return;
  QMetaObject::invokeMethod(
      this,
      [this, before] {
        delistBefore_ = std::move(*before);
        emit delistBeforeChanged();
      },
      Qt::QueuedConnection);
  recorder->beginRun(kind, queryUtf8);
}

void DesktopHistory::addRow(const RowCells& cells, const RowFailures& failures) {
  std::lock_guard lock(mutex_);
  if (recorder_) recorder_->addRow(cells, failures);
}

void DesktopHistory::endRun(history::RunState state) {
  {
    std::lock_guard lock(mutex_);
    if (!recorder_) return;
    recorder_->endRun(state);
  }
  // The list of runs is read again once the run is on the disk.
  post([this] {
    history::HistoryRecorder* recorder = nullptr;
    {
      std::lock_guard lock(mutex_);
      recorder = recorder_.get();
    }
    if (recorder) recorder->flush();
    QMetaObject::invokeMethod(
        this, [this] { emit runEnded(); }, Qt::QueuedConnection);
  });
}

bool DesktopHistory::flush() {
  history::HistoryRecorder* recorder = nullptr;
  {
    std::lock_guard lock(mutex_);
    recorder = recorder_.get();
  }
  return recorder && recorder->flush();
}

void DesktopHistory::lookUpDelistBefore(std::vector<std::string> itemIds, int64_t beforeRun, bool replace) {
  if (beforeRun <= 0) beforeRun = std::numeric_limits<int64_t>::max();
  read(this, [this, itemIds = std::move(itemIds), beforeRun, replace](history::HistoryFile* file) {
    auto found = std::make_shared<std::unordered_map<std::string, std::string>>();
    if (file)
      for (const std::string& id : itemIds) {
        const std::string delist = file->latestDelistBefore(GbkToUtf8(id), beforeRun);
        if (!delist.empty()) (*found)[id] = Utf8ToGbk(delist);
      }
    return std::function<void()>([this, found, replace] {
      if (replace) delistBefore_.clear();
      for (auto& [id, delist] : *found) delistBefore_[id] = delist;
      emit delistBeforeChanged();
    });
  });
}

void DesktopHistory::clearDelistBefore() {
  if (delistBefore_.empty()) return;
  delistBefore_.clear();
  emit delistBeforeChanged();
}

}  // namespace kelvora
