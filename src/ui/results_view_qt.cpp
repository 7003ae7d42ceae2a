#include "ui/results_view_qt.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QApplication>
#include <QHeaderView>
#include <QHelpEvent>
#include <QStyle>
#include <QToolTip>
#include <algorithm>

#include "ui/desktop_calls_qt.h"

namespace kelvora {

std::array<int, kResultColumnCount> FittingColumnWidths(const QFontMetrics& font) {
  // A sample of what each column holds at its widest usual.
  static const char* const kSamples[kResultColumnCount] = {
      "99999",                                 // 序号
      "600000000000",                          // itemID
      "夏季新款韩版宽松短袖T恤女装上衣",       // 标题
      "https://item.taobao.com/item.htm?id=",  // 链接: the rest shows in the tooltip
      "旗舰店官方店铺",                        // 卖家
      "2026年12月31日23时59分59秒",            // 上架时间
      "2026年12月31日23时59分59秒",            // 下架时间
      "9999",                                  // 剩余小时数
      "天猫",                                  // 店铺类型
      "999999",                                // 当前销量
      "99999",                                 // 当前库存
      "9999.00 - 9999.00",                     // 售价
      "广东 汕头",                             // 所在地
      "√",                                     // 监测
  };
  constexpr int kPadding = 14;  // the cell's margins and the header's sort arrow
  std::array<int, kResultColumnCount> widths{};
  for (int c = 0; c < kResultColumnCount; ++c) {
    const ColumnInfo& info = ResultColumns()[static_cast<size_t>(c)];
    const int caption = font.horizontalAdvance(FromGbk(info.caption)) + kPadding + 10;
    const int sample = font.horizontalAdvance(QString::fromUtf8(kSamples[c])) + kPadding;
    widths[static_cast<size_t>(c)] = std::max({info.width, caption, sample});
  }
  return widths;
}

QString RowsAsTabText(const std::vector<RowCells>& rows, const std::vector<int>& columns) {
  QString text;
  for (const RowCells& row : rows) {
    QStringList cells;
    for (int c : columns) {
      if (c < 0 || c >= kResultColumnCount) continue;
      QString cell = FromGbk(row[static_cast<size_t>(c)]);
      cell.replace(QLatin1Char('\t'), QLatin1Char(' '));
      cell.replace(QLatin1Char('\r'), QLatin1Char(' '));
      cell.replace(QLatin1Char('\n'), QLatin1Char(' '));
      cells << cell;
    }
    text += cells.join(QLatin1Char('\t')) + QLatin1Char('\n');
  }
  return text;
}

bool CutCellTipDelegate::isCut(const QStyleOptionViewItem& option, const QModelIndex& index) const {
  QStyleOptionViewItem opt = option;
  initStyleOption(&opt, index);
  const QStyle* style = opt.widget ? opt.widget->style() : QApplication::style();
  const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, &opt, opt.widget) + 1;
  return opt.fontMetrics.horizontalAdvance(opt.text) > opt.rect.width() - 2 * margin;
}

bool CutCellTipDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                                   const QModelIndex& index) {
  if (event && event->type() == QEvent::ToolTip && index.isValid() && !index.data(Qt::ToolTipRole).isValid()) {
    const QString text = index.data(Qt::DisplayRole).toString();
    if (!text.isEmpty() && isCut(option, index)) {
      QToolTip::showText(event->globalPos(), text, view);
      return true;
    }
    QToolTip::hideText();
    event->ignore();
    return true;
  }
  return QStyledItemDelegate::helpEvent(event, view, option, index);
}

ResultsTableView::ResultsTableView(QWidget* parent) : QTableView(parent) {
  // The table's own handler lays out and repaints everything on every new count.
  disconnect(verticalHeader(), &QHeaderView::sectionCountChanged, this, nullptr);
  connect(verticalHeader(), &QHeaderView::sectionCountChanged, this, &ResultsTableView::onRowCountChanged);
}

void ResultsTableView::setModel(QAbstractItemModel* model) {
  if (QAbstractItemModel* old = this->model()) disconnect(old, &QAbstractItemModel::rowsRemoved, this, nullptr);
  QTableView::setModel(model);
  if (model) connect(model, &QAbstractItemModel::rowsRemoved, this, &ResultsTableView::keepTopRow);
}

void ResultsTableView::rowsAboutToBeRemoved(const QModelIndex& parent, int start, int end) {
  const int top = rowAt(0);
  topRow_ = QPersistentModelIndex();
  // The first row in sight that stays, when rows at or above it go.
  if (!parent.isValid() && top >= start) {
    const int kept = top > end ? top : end + 1;
    if (kept < model()->rowCount()) topRow_ = QPersistentModelIndex(model()->index(kept, 0));
  }
  QTableView::rowsAboutToBeRemoved(parent, start, end);
}

void ResultsTableView::keepTopRow() {
  const QPersistentModelIndex top = topRow_;
  topRow_ = QPersistentModelIndex();
  if (top.isValid() && rowAt(0) != top.row()) scrollTo(top, QAbstractItemView::PositionAtTop);
}

std::pair<int, int> ResultsTableView::rowsInSight() const {
  if (!model() || model()->rowCount() == 0) return {-1, -1};
  const int first = rowAt(0);
  if (first < 0) return {-1, -1};
  int last = rowAt(viewport()->height() - 1);
  if (last < 0) last = model()->rowCount() - 1;  // the rows end above the bottom
  return {first, last};
}

void ResultsTableView::onRowCountChanged(int oldCount, int newCount) {
  if (newCount > oldCount && oldCount > 0 &&
      verticalHeader()->sectionViewportPosition(oldCount) >= viewport()->height()) {
    // Below the last row in sight: only the scroll bar's range changes.
    updateGeometries();
    return;
  }
  rowCountChanged(oldCount, newCount);
}

void ResultsTableView::dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                                   const QList<int>& roles) {
  if (!topLeft.isValid() || !bottomRight.isValid() || topLeft == bottomRight || QAccessible::isActive()) {
    QTableView::dataChanged(topLeft, bottomRight, roles);
    return;
  }
  const auto [first, last] = rowsInSight();
  const int from = std::max(first, topLeft.row()), to = std::min(last, bottomRight.row());
  if (first < 0 || from > to) return;  // nothing of it in sight
  const int top = rowViewportPosition(from);
  viewport()->update(QRect(0, top, viewport()->width(), rowViewportPosition(to) + rowHeight(to) - top));
}

}  // namespace kelvora
