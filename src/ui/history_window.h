#pragma once
// 历史记录: the recorded runs, newest first, with 打开 (a run's rows into the
// results table), 对比 (what changed between two runs, each list ready to go into
// the results table), 删除 and 保留 (keep N days). Every read of the history file
// runs on its reader thread; the window only shows the answers.
#include <QDialog>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "history/history_diff.h"
#include "history/history_file.h"
#include "results/results_table.h"

class QLabel;
class QPushButton;
class QSpinBox;
class QTableWidget;
class QTabWidget;

namespace kelvora {

class DesktopHistory;

// How rows go into the results table.
enum class PutMode { Replace, Append };

// What the history windows ask the seller; tests answer in their place.
struct HistoryPrompts {
  // 替换 or 追加 (none: cancelled). Asked only when the results table has rows.
  std::function<std::optional<PutMode>(QWidget* parent)> putMode;
  // A yes/no question (删除, 保留).
  std::function<bool(QWidget* parent, const QString& text)> confirm;
};
// Null restores the message boxes.
void SetHistoryPrompts(const HistoryPrompts* prompts);

// A run's kind and state as the window shows them (标准搜索, 已完成, ...).
QString RunKindText(const std::string& kind);
QString RunStateText(history::RunState state);

class HistoryWindow : public QDialog {
  Q_OBJECT

 public:
  // `busy` tells whether a search or retry fills the results table now (rows are
  // then not put in). The window deletes itself when closed.
  HistoryWindow(DesktopHistory& history, ResultsTable& table, std::function<bool()> busy, QWidget* parent = nullptr);

  QTableWidget* runList() const { return runs_; }
  const std::vector<history::RunInfo>& shownRuns() const { return shown_; }
  // Reads the runs again (after a search, a delete, a prune).
  void refresh();
  // Selects the runs with these ids in the list.
  void selectRuns(const std::vector<int64_t>& ids);

  // 打开 of the selected run, and its body: run `id` into the results table.
  void openSelected();
  void openRun(int64_t id, PutMode mode);
  // 对比 of the two selected runs (the older one first).
  void compareSelected();
  void deleteSelected();
  // 保留: keeps the runs of the last `days` days (0: every run), saved in the
  // program's settings; removes older runs now.
  void applyKeepDays(int days);

  // The keep-days value the program uses: the one saved by 保留, else `fallback`
  // (the settings file's [history] keep_days).
  static int SavedKeepDays(int fallback);

 signals:
  void runsShown();
  // Rows of a run or a comparison list went into the results table.
  void rowsPut(int count);

 private:
  std::vector<int64_t> selectedIds() const;
  void showRuns(std::vector<history::RunInfo> runs);
  std::optional<PutMode> askPutMode();

  DesktopHistory& history_;
  ResultsTable& table_;
  std::function<bool()> busy_;
  QTableWidget* runs_ = nullptr;
  QLabel* status_ = nullptr;
  QSpinBox* keepDays_ = nullptr;
  std::vector<history::RunInfo> shown_;
  std::vector<int64_t> wantSelected_;
};

// 对比: two runs' differences in lists (new, gone, relisted, price, sales, stock,
// title), each with 放入结果表.
class RunComparisonWindow : public QDialog {
  Q_OBJECT

 public:
  // One list of the comparison: its caption, its lines, and the run whose rows
  // stand for its items (B for what is in B, A for what is gone).
  struct List {
    QString caption;
    std::vector<history::DiffLine> lines;
    int64_t run = 0;
  };
  RunComparisonWindow(DesktopHistory& history, ResultsTable& table, std::function<bool()> busy,
                      const history::RunInfo& a, const history::RunInfo& b, std::vector<history::DiffLine> lines,
                      QWidget* parent = nullptr);

  const std::vector<List>& lists() const { return lists_; }
  QTabWidget* tabs() const { return tabs_; }
  // 放入结果表 of list `index`: the rows of its items from its run.
  void putList(int index, PutMode mode);
  void putList(int index);

 signals:
  void rowsPut(int count);

 private:
  DesktopHistory& history_;
  ResultsTable& table_;
  std::function<bool()> busy_;
  std::vector<List> lists_;
  QTabWidget* tabs_ = nullptr;
};

// Puts rows read from the history file (UTF-8) into the results table (GBK) on the
// reader thread's answer; the shared body of 打开 and 放入结果表. `ids` limits the
// rows to those items (empty: every row). `done` gets the number of rows put in.
void PutRunRows(DesktopHistory& history, ResultsTable& table, QObject* receiver, int64_t run,
                std::vector<std::string> ids, PutMode mode, std::function<void(int)> done);

}  // namespace kelvora
