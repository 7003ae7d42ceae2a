#pragma once
// The order and the filter of the results view. Sorting and filtering change only
// what the view shows: the store keeps its rows in their order, so 序号, a retry
// and an export are not touched by them.
#include <QCollator>
#include <QSortFilterProxyModel>
#include <QString>
#include <optional>
#include <string>
#include <vector>

#include "results/results_table.h"

namespace kelvora {

class ResultsSortModel : public QSortFilterProxyModel {
  Q_OBJECT

 public:
  // `table` is the store behind the source model given to setSourceModel.
  explicit ResultsSortModel(const ResultsTable& table, QObject* parent = nullptr);

  void setSourceModel(QAbstractItemModel* source) override;
  void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

  // Rows whose title, seller, item id or location hold `text` (any case).
  void setFilterText(const QString& text);
  void setMonitoredOnly(bool only);
  void setFailedOnly(bool only);
  bool filtering() const { return !filterText_.isEmpty() || monitoredOnly_ || failedOnly_; }

  // How a cell of `column` sorts: a number (the columns of numbers take the least
  // number in the cell, so a price range sorts by its low end; the time columns
  // their time), or text in the collation of Chinese (pinyin). Empty for a cell
  // that has no such value (empty, 无时间): those rows go last in either order.
  struct SortKey {
    double number = 0;
    std::optional<QCollatorSortKey> text;  // set in the columns of text
  };
  static std::optional<SortKey> KeyOf(int column, const std::string& gbkCell, const QCollator& collator);

 protected:
  bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;
  bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

 private:
  const std::optional<SortKey>& keyOfRow(int sourceRow) const;
  void forgetKeys(int first, int last);

  const ResultsTable& table_;
  QCollator collator_;
  QString filterText_;
  std::string filterGbk_;  // filterText_ as GBK, ASCII letters in lower case
  bool monitoredOnly_ = false;
  bool failedOnly_ = false;
  // The sort key of each source row in the sorted column, made when first needed.
  mutable std::vector<std::optional<std::optional<SortKey>>> keys_;
  int keyColumn_ = -1;
};

}  // namespace kelvora
