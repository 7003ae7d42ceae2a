#pragma once
// The order and the filter of the results view. Sorting and filtering change only
// what the view shows: the store keeps its rows in their order, so 序号, a retry
// and an export are not touched by them.
//
// The model keeps the rows it shows as a list of store rows. A click on a caption
// reads the column's keys for every row in one pass over the store (numbers and
// times parsed, texts ranked by the Chinese collation once per distinct text) and
// sorts the list by them; a filter scans the store's own text once. Rows that
// arrive, change or go while sorted or filtered are put in their place without
// sorting or filtering the rest again.
#include <QAbstractProxyModel>
#include <QCollator>
#include <QString>
#include <QTimer>
#include <cmath>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "results/results_table.h"

namespace kelvora {

class ResultsSortModel : public QAbstractProxyModel {
  Q_OBJECT

 public:
  // `table` is the store behind the source model given to setSourceModel; the
  // source's row r is the store's row r.
  explicit ResultsSortModel(const ResultsTable& table, QObject* parent = nullptr);
  ~ResultsSortModel() override;

  void setSourceModel(QAbstractItemModel* source) override;
  // Column -1: the store's order.
  void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;
  int sortColumn() const { return sortColumn_; }
  Qt::SortOrder sortOrder() const { return sortOrder_; }

  // Rows whose title, seller, item id or location hold `text` (any case).
  void setFilterText(const QString& text);
  void setMonitoredOnly(bool only);
  void setFailedOnly(bool only);
  bool filtering() const { return !filterGbk_.empty() || monitoredOnly_ || failedOnly_; }

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  QModelIndex sibling(int row, int column, const QModelIndex& index) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  bool hasChildren(const QModelIndex& parent = {}) const override;
  QModelIndex mapToSource(const QModelIndex& proxyIndex) const override;
  QModelIndex mapFromSource(const QModelIndex& sourceIndex) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

  // The sort key of a cell of `column`: numbers (the least number in the cell, so
  // a price range sorts by its low end) and times as their value; NaN for a cell
  // without one (empty, 无时间): those rows go last in either order. Text columns
  // are ranked by the collation instead.
  static double NumberKey(int column, const std::string& gbkCell);
  static bool IsTextColumn(int column);

 private:
  struct TextKeys;

  bool mapped() const { return sortColumn_ >= 0 || filtering(); }
  int sourceRows() const;
  int sourceRowOf(int proxyRow) const;
  int proxyRowOf(int sourceRow) const;
  // True when source row a is shown before b.
  bool before(int a, int b) const;
  bool accepts(const RowCells& cells, const RowFailures& failures) const;

  // Reads the keys of the sorted column for source rows first..last.
  void readKeys(int first, int last);
  // Text columns: looks up the rows' texts whose id is unknown and ranks the new
  // texts among the others; refreshes keys_ when ranks moved.
  void readTexts(TextKeys& texts, int column, int first, int last);
  void lookUpTexts(TextKeys& texts, int column, int first, int last);
  bool rankNewTexts(TextKeys& texts);
  TextKeys& textKeys(int column);

  // Sorts and filters every row afresh and shows the result.
  void rebuild();
  // Shows `rows` (source rows, in the order shown) in place of the current ones,
  // keeping selection and current row on their store rows.
  void showRows(std::vector<int> rows, bool mapped);
  void setMapping(std::vector<int> rows);

  // While the view is idle the texts of the usual text columns are ranked a
  // slice at a time, so the first click on such a caption finds them ready.
  static constexpr int kWarmUpDelayMs = 150;
  static constexpr int kWarmUpSliceMs = 4;
  static constexpr int kWarmUpGapMs = 0;  // as soon as the event loop is idle again
  void scheduleWarmUp();
  void warmUp();

  // Source changes.
  void sourceRowsAboutToBeInserted(const QModelIndex& parent, int first, int last);
  void sourceRowsInserted(const QModelIndex& parent, int first, int last);
  void sourceRowsAboutToBeRemoved(const QModelIndex& parent, int first, int last);
  void sourceRowsRemoved(const QModelIndex& parent, int first, int last);
  void sourceDataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight, const QList<int>& roles);
  void sourceAboutToBeReset();
  void sourceReset();

  const ResultsTable& table_;
  QCollator collator_;
  int sortColumn_ = -1;
  Qt::SortOrder sortOrder_ = Qt::AscendingOrder;
  QString filterText_;
  std::string filterGbk_;           // the filter's text as GBK, ASCII letters in lower case
  std::vector<bool> filterSingle_;  // per byte of filterGbk_: a one-byte character
  bool monitoredOnly_ = false;
  bool failedOnly_ = false;

  // While sorted or filtered: the source rows shown, in order, and each source
  // row's place among them (-1 when filtered out). Otherwise both are empty and
  // the rows are the source's own.
  std::vector<int> proxyToSource_;
  std::vector<int> sourceToProxy_;
  bool isMapped_ = false;
  // The key of column keyColumn_ for each source row.
  std::vector<double> keys_;
  int keyColumn_ = -1;
  // Ranked texts of the text columns sorted so far; dropped when the store is cleared.
  std::map<int, std::unique_ptr<TextKeys>> texts_;
  QTimer warmTimer_;
  // A removal whose rows do not stand together in the shown order.
  bool removalAsLayout_ = false;
  QModelIndexList removalPersistent_;
  std::vector<int> removalSources_;
};

}  // namespace kelvora
