#pragma once
// The row menu's 历史: one item's recorded rows, oldest first, as a chart of price,
// sales and stock over time (res/item_history.html, drawn offline with the bundled
// chart library) and as a table with the delisting time of each.
#include <QDialog>
#include <QString>
#include <QStringList>
#include <string>
#include <vector>

#include "history/history_file.h"

class QLabel;
class QTableWidget;
class QWebEngineView;

namespace kelvora {

class DesktopHistory;

// The chart's text for showHistory(): {"points":[{"t":..,"price":..,"sales":..,
// "stock":..},...]}, a value that holds no number as null (a price range by its
// lower end).
std::string ItemHistoryChartJson(const std::vector<history::StoredRow>& rows);

class ItemHistoryWindow : public QDialog {
  Q_OBJECT

 public:
  // `itemIdGbk` as the results table holds it. `web`: with the chart (hosts that
  // cannot show web pages leave it out). Deletes itself when closed.
  ItemHistoryWindow(DesktopHistory& history, const std::string& itemIdGbk, bool web, QWidget* parent = nullptr);

  QTableWidget* observations() const { return table_; }
  QWebEngineView* chartView() const { return view_; }
  int rowsShown() const { return static_cast<int>(rows_.size()); }
  // Script errors the chart page wrote to its console.
  const QStringList& pageErrors() const { return pageErrors_; }

 signals:
  // The observations are in the table (and handed to the chart when there is one).
  void loaded();

 private:
  void showRows(std::vector<history::StoredRow> rows);
  void callPage();

  QLabel* heading_ = nullptr;
  QTableWidget* table_ = nullptr;
  QWebEngineView* view_ = nullptr;
  std::vector<history::StoredRow> rows_;
  bool rowsRead_ = false;
  bool pageReady_ = false;
  QStringList pageErrors_;
};

}  // namespace kelvora
