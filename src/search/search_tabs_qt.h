#pragma once
// The search tabs of the main window: finds their controls by name, runs every
// search on a worker thread and fills the category lists without blocking the window.
#include <QObject>
#include <QPointer>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "results/host.h"
#include "results/results_table.h"
#include "search/search_run.h"

class QComboBox;
class QLabel;
class QPushButton;
class QWidget;

namespace kelvora {

class DesktopHistory;

class SearchTabsController : public QObject {
  Q_OBJECT

 public:
  // `setRunning(true)` when a search starts (every query button disabled),
  // `setRunning(false)` when it has ended. The controller is a child of `mainWindow`.
  SearchTabsController(QWidget* mainWindow, ResultsTable& table, Host& host,
                       std::function<void(bool running)> setRunning);
  // Stops a running search (its request in flight is abandoned) and waits for it.
  // The Host must outlive the controller: whoever owns both deletes this first.
  ~SearchTabsController() override;

  bool running() const { return running_; }
  // 停止: the running search ends after its current item.
  void stop();
  // The start-up step that puts the monitored ids into effect.
  void loadMonitoredItems();

  // Every search is recorded as a run into `history` (null: none is).
  void setHistory(DesktopHistory* history) { history_ = history; }

  // Where the monitored id file lives (default: MonitoredFilePath of the program's folder).
  void setMonitoredFilePath(const QString& path) { monitoredPath_ = path; }
  // The grab delay box's text (GBK) as last typed; any thread may ask.
  std::string grabDelayText() const;

 signals:
  // Emitted on the UI thread once a search has ended.
  void searchFinished();
  // Emitted when a category list has been filled.
  void categoriesLoaded();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  class WorkerHost;

  QWidget* find(const char* name) const;
  // Runs `body` on the search worker unless a search already runs; recorded as a
  // run of `kind` with `query` (UTF-8) as kelvora-cli names the same search.
  void startSearch(const char* kind, std::string query, std::function<void(SearchRun&)> body);
  void finishSearch();
  void startCategoryLoad(std::function<void(WorkerHost&)> body);

  void onKeywordQuery();
  void onHotWords();
  void onSortHint();
  void onListQuery();
  void onCategoryQuery();
  void onShopQuery();
  void onTopCategoryChosen(int index);
  void takePendingChoice();
  void loadTopCategories();
  void openMonitoredIdsEditor();

  QWidget* window_;
  ResultsTable& table_;
  Host& host_;
  std::function<void(bool)> setRunning_;
  QString monitoredPath_;
  DesktopHistory* history_ = nullptr;

  QPointer<QComboBox> topCombo_;
  QPointer<QComboBox> subCombo_;
  bool running_ = false;
  bool loadingCategories_ = false;
  int pendingTop_ = -1;

  // The grab-delay box as the worker reads it: a copy kept current on the UI thread.
  mutable std::mutex delayMutex_;
  std::string grabDelay_;

  std::unique_ptr<WorkerHost> workerHost_;
  std::unique_ptr<WorkerHost> loaderHost_;
  std::jthread worker_;
  std::jthread loader_;
};

}  // namespace kelvora
