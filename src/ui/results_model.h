#pragma once
// The results view's model over ResultsTable. The store may change on any
// thread; the model hears of it through the table's listener, gathers the changes
// and applies them on the UI thread in batches, so a search that appends rows
// quickly costs the view one update per batch instead of one per row.
#include <QAbstractTableModel>
#include <QColor>
#include <QTimer>
#include <atomic>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "results/results_table.h"

namespace kelvora {

class ResultsModel : public QAbstractTableModel, private ResultsTable::Listener {
  Q_OBJECT

 public:
  // How long changes gather before the view hears of them.
  static constexpr int kBatchMs = 40;

  explicit ResultsModel(ResultsTable& table, QObject* parent = nullptr);
  ~ResultsModel() override;

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

  // Where monitored items' delisting times stood before the rows shown were read
  // (GBK item id -> GBK 下架时间): a monitored row whose time moved since, other
  // than by whole weeks, says so in its tooltip. UI thread.
  void setDelistBefore(std::unordered_map<std::string, std::string> delistBefore);

  // Applies every change heard so far at once (the batch timer calls this; tests
  // and the benchmark may too).
  void flush();

  // The columns a failed request spoils: page and alternate the page's columns,
  // secondary sales to location, lookup the three time columns.
  static bool PartAffectsColumn(RequestPart part, int column);
  static QColor FailureBackground();
  static QColor FailureForeground();

 private:
  void rowsAppended(int32_t first, int32_t last) override;
  void rowChanged(int32_t row) override;
  void rowsCleared() override;
  // Heard on the UI thread (the row menu), the rows go from the view at once.
  void rowsRemoved(const std::vector<int32_t>& rows) override;
  // Called from any thread: makes sure one flush is on its way.
  void scheduleFlush();
  Q_INVOKABLE void startBatchTimer();
  QString failureTip(const RowFailures& failures, int column) const;
  QString delistMovedTip(const RowCells& cells) const;

  // A painted row asks for a dozen roles of fourteen cells; it reads the store
  // once. The cache lives until the next flush, which brings the changes anyway.
  struct CachedRow {
    RowCells cells;
    RowFailures failures;
  };
  const CachedRow& cachedRow(int row) const;

  ResultsTable& table_;
  std::unordered_map<std::string, std::string> delistBefore_;
  int shownRows_ = 0;  // rows the view knows of; UI thread only
  mutable std::unordered_map<int, CachedRow> cache_;
  QTimer batchTimer_;

  // Changes heard from the store since the last flush.
  std::mutex pendingMutex_;
  bool pendingClear_ = false;
  // Rows taken out since the last flush, each list in the numbers of its time.
  std::vector<std::vector<int32_t>> pendingRemovals_;
  int32_t changedFirst_ = -1;
  int32_t changedLast_ = -1;
  std::atomic<bool> flushScheduled_{false};
};

}  // namespace kelvora
