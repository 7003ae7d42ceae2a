#pragma once
// 导出/分析: a snapshot of the results table as a grid, and the delisting report
// with charts. The snapshot, the database and the report are built on a worker
// thread, so a table of 100 000 rows never freezes the window.
#include <QDialog>
#include <QString>
#include <QStringList>
#include <memory>
#include <thread>

#include "results/results_table.h"

class QGroupBox;
class QLabel;
class QPushButton;
class QTabWidget;
class QTableView;
class QWebEngineView;

namespace kelvora {

class AnalysisGridModel;

class AnalysisWindow : public QDialog {
  Q_OBJECT
 public:
  // Web shows the report page; None leaves the tab "分析" without a browser
  // view (for hosts without the browser engine, such as the offscreen tests).
  enum class ReportView { Web, None };

  // Takes the snapshot of `table` right away and starts loading. Modal; it
  // deletes itself when closed, so show it with open() or exec() and do not
  // touch it afterwards. `table` must outlive the window.
  explicit AnalysisWindow(ResultsTable& table, QWidget* parent = nullptr, ReportView view = ReportView::Web);
  ~AnalysisWindow() override;

  ResultsTable& resultsTable() const { return table_; }
  AnalysisGridModel* gridModel() const { return model_; }
  QTableView* gridView() const { return grid_; }
  QWebEngineView* reportView() const { return view_; }
  bool isLoading() const { return loading_; }
  // Script errors the report page wrote to its console.
  const QStringList& pageErrors() const { return pageErrors_; }

 signals:
  // 按钮1 "导出数据 (excel)" was clicked: the export runs on resultsTable().
  void exportRequested();
  // The grid holds the snapshot and the database work is over (loaded or failed).
  void loadFinished();
  // The report page has received its texts.
  void reportShown();

 protected:
  void done(int result) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  struct Report;
  void startLoading();
  void showGrid(std::shared_ptr<const std::vector<RowCells>> rows);
  void showReport(std::shared_ptr<const Report> report, const QString& failure);
  void callPage();
  void placeLoadingPanel();

  ResultsTable& table_;
  AnalysisGridModel* model_ = nullptr;
  QTabWidget* tabs_ = nullptr;
  QTableView* grid_ = nullptr;
  QWebEngineView* view_ = nullptr;
  QPushButton* exportButton_ = nullptr;
  QGroupBox* loadingPanel_ = nullptr;
  QLabel* loadingLine1_ = nullptr;
  QLabel* loadingLine2_ = nullptr;
  bool loading_ = false;
  bool pageReady_ = false;
  bool closing_ = false;  // what the worker still sends is dropped
  std::shared_ptr<const Report> report_;
  QStringList pageErrors_;
  std::jthread worker_;
};

}  // namespace kelvora
