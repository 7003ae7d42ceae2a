#pragma once
// The main window: search tabs, the results view, the status line and the
// start-up sequence that signs in, takes the cookies and shows the notice page.
//
// Every control carries its form name as objectName, so other controllers and
// tests find them: QPushButton 按钮1..按钮15 and 按钮停止, QLineEdit 编辑框1, 3-8,
// QPlainTextEdit 编辑框2, QComboBox 组合框1, 3, 4, QLabel 透明标签1-10, 13,
// 标签1-4, 标签_yhxx, QCheckBox 选择框1, QTabWidget 选择夹1, QGroupBox 分组框1,
// QTableView 超级列表框1, QProgressBar 进度条, QMenu 右键 with the action 打开网页,
// and 超文本界面框1 (a BrowserPane: its browser starts only where one can draw).
//
// The window wires the other windows' pieces to its buttons: the search tabs
// (SearchTabsController; 按钮2 monitored ids), 按钮4 the analysis window and its
// export, 按钮15 the cookie window.
#include <QCoreApplication>
#include <QPersistentModelIndex>
#include <QWidget>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "results/results_table.h"

class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QTableView;
class QWebEngineView;

namespace kelvora {

class BrowserPane;
class DesktopHistory;
class DesktopHost;
class ResultsModel;
class ResultsSortModel;
class SearchTabsController;

// The steps of start-up that other windows perform. Each opens its window
// modally and returns whether the user went on; an unset hook is skipped.
struct StartupHooks {
  std::function<bool()> signIn;        // the lookup-service login
  std::function<bool()> enterCookies;  // the marketplace cookie text
};

struct MainWindowOptions {
  // The folder holding res/b.html and cfg_jsid.txt (see MonitoredFilePath);
  // empty: the program's folder.
  QString programDir;
  // Start-up's network probe; tests without ICMP leave it out.
  bool networkProbe = true;
  // The history file every search, lookup list and retry is recorded into (UTF-8
  // path); empty: nothing is recorded and 历史记录 is off. Runs older than
  // `historyKeepDays` days go when it is opened (0 keeps all), unless 保留 saved
  // another number.
  std::string historyPath;
  int historyKeepDays = 0;
};

struct StartupOutcome {
  bool running = false;  // the window waits for the user
  int exitCode = 0;      // when not running: the program's exit code
};

class MainWindow : public QWidget {
  Q_OBJECT

 public:
  explicit MainWindow(MainWindowOptions options = {}, QWidget* parent = nullptr);
  ~MainWindow() override;

  // Closing this window ends the program's event loop, whatever other windows are
  // open (the cookie capture window stays alive, hidden, to keep a session).
  // `quit` stands in for the event loop's end in tests. exit, not quit: quit first
  // asks every window to close and gives up when one refuses, as the capture window
  // does while it holds cookies.
  void quitApplicationWhenClosed(std::function<void()> quit = [] { QCoreApplication::exit(0); });

  // Runs the start-up sequence on the UI thread. When it gives running == false
  // the program ends with exitCode (the window stays to be destroyed).
  StartupOutcome startUp(const StartupHooks& hooks);

  ResultsTable& table() { return table_; }
  DesktopHost& host() { return *host_; }
  ResultsModel& model() { return *model_; }
  // What the results view shows: the store's rows sorted and filtered.
  ResultsSortModel& viewModel() { return *sortModel_; }
  SearchTabsController& searchTabs() { return *searchTabs_; }
  QTableView* resultsView() const { return view_; }
  // Null where no browser can draw (the offscreen platform).
  QWebEngineView* noticeView() const;
  // The notice address start-up showed (empty before).
  QString noticeAddress() const;
  QString programDir() const { return programDir_; }

  // Marks an operation running: the query buttons (按钮1, 8, 9, 10) and 重试失败
  // are disabled, 停止 enabled, and an earlier 停止 forgotten. A controller that
  // runs its own worker calls beginOperation before and endOperation after it.
  // False when an operation already runs.
  bool beginOperation();
  void endOperation();
  bool operationRunning() const { return operationRunning_; }

  // Runs `work` on the window's worker thread between beginOperation and
  // endOperation. The stop token fires when the window closes (requests in
  // flight end at once); 停止 is seen through host().stopRequested().
  // False when an operation already runs.
  bool startOperation(std::function<void(std::stop_token)> work);

  // 重试失败 and 打开网页, callable without the mouse.
  void retryFailed();
  void openSelectedItemPage();
  // Ctrl+F: the filter line over the results; Esc closes it and shows every row.
  void showFilter();
  void hideFilter();
  // Ctrl+C: the selected rows as tab-separated lines, cells in the order the
  // columns are shown (what spreadsheets paste).
  void copySelectedRows();
  // 删除行 (Delete) and 去除重复 (the first row of each item id stays): not while
  // an operation runs. 加入监测: the selected items' ids join the monitored list.
  void removeSelectedRows();
  void removeDuplicateRows();
  void monitorSelectedItems();
  // Store rows of the view's selection, in the view's order.
  std::vector<int32_t> selectedStoreRows() const;
  // 按钮4: the analysis window over this window's results table; its export
  // button writes the table as it is at the click.
  void openAnalysis();
  // The history (null when none is kept), 历史记录 (the runs window, one at a
  // time) and the row menu's 历史 of the selected item.
  DesktopHistory* history() const { return history_.get(); }
  void openHistory();
  void openItemHistory();

 signals:
  void operationEnded();
  // The window is closing; controllers stop their workers now.
  void closing();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void buildControls();
  void buildFilterBar();
  // The results view (and the filter line above it) take the room below the search area.
  void layoutResults();
  void updateFilterCount();
  void showRowMenu(const QPoint& pos);

  MainWindowOptions options_;
  QString programDir_;
  ResultsTable table_;
  ResultsModel* model_ = nullptr;
  ResultsSortModel* sortModel_ = nullptr;
  std::unique_ptr<DesktopHost> host_;
  // Deleted by hand after the workers that record into it.
  std::unique_ptr<DesktopHistory> history_;
  // Deleted by hand before host_ and table_: its workers call both.
  SearchTabsController* searchTabs_ = nullptr;

  QTableView* view_ = nullptr;
  QMenu* rowMenu_ = nullptr;
  QPersistentModelIndex menuCell_;  // the cell the row menu was opened on
  QAction* removeAction_ = nullptr;
  QAction* dedupeAction_ = nullptr;
  QWidget* filterBar_ = nullptr;
  QLineEdit* filterEdit_ = nullptr;
  QCheckBox* monitoredOnly_ = nullptr;
  QCheckBox* failedOnly_ = nullptr;
  QLabel* filterCount_ = nullptr;
  QLabel* statusLabel_ = nullptr;
  QLabel* countLabel_ = nullptr;
  QLabel* accountLabel_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QLabel* progressText_ = nullptr;
  QPushButton* retryButton_ = nullptr;
  QPushButton* historyButton_ = nullptr;
  QAction* itemHistoryAction_ = nullptr;
  QPushButton* stopButton_ = nullptr;
  BrowserPane* notice_ = nullptr;

  bool operationRunning_ = false;
  std::jthread worker_;
  std::jthread probe_;
};

}  // namespace kelvora
