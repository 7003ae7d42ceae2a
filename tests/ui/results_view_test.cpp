// The results view as a seller works in it: sorting by a caption, the filter
// line, copying rows, a window that grows, and column widths kept across runs.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCollator>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QScrollBar>
#include <QTableView>
#include <QTest>
#include <algorithm>
#include <cmath>
#include <numeric>

#include "app/main_window.h"
#include "net/codec.h"
#include "net/shared_state.h"
#include "net/text.h"
#include "ui/results_model.h"
#include "ui/results_sort_model.h"
#include "ui_support.h"

using namespace kelvora;

namespace {

QString S(const char* utf8) { return QString::fromUtf8(utf8); }

MainWindowOptions Offscreen(const QString& programDir) {
  MainWindowOptions o;
  o.programDir = programDir;
  o.networkProbe = false;
  return o;
}

constexpr int kCol(ResultColumn c) { return static_cast<int>(c); }

// Rows given as {item id, title, seller, delisting time, sales, price, location, monitored}.
struct Row {
  const char *id, *title, *seller, *delist, *sales, *price, *location, *mark;
};

void Fill(ResultsTable& table, const std::vector<Row>& rows) {
  for (const Row& r : rows) {
    const int32_t i = table.addRow(std::to_string(table.rowCount() + 1));
    RowCells cells = table.row(i);
    cells[kCol(ResultColumn::ItemId)] = Utf8ToGbk(r.id);
    cells[kCol(ResultColumn::Title)] = Utf8ToGbk(r.title);
    cells[kCol(ResultColumn::Seller)] = Utf8ToGbk(r.seller);
    cells[kCol(ResultColumn::DelistAt)] = Utf8ToGbk(r.delist);
    cells[kCol(ResultColumn::Sales)] = Utf8ToGbk(r.sales);
    cells[kCol(ResultColumn::Price)] = Utf8ToGbk(r.price);
    cells[kCol(ResultColumn::Location)] = Utf8ToGbk(r.location);
    cells[kCol(ResultColumn::Monitored)] = Utf8ToGbk(r.mark);
    cells[kCol(ResultColumn::Link)] = std::string("http://127.0.0.1:9/item.htm?id=") + r.id;
    table.setRow(i, cells);
  }
}

// The store rows in the order the view shows them.
std::vector<int> ShownOrder(QTableView* view, const ResultsSortModel& model) {
  std::vector<int> rows;
  for (int r = 0; r < view->model()->rowCount(); ++r) rows.push_back(model.mapToSource(model.index(r, 0)).row());
  return rows;
}

const std::vector<Row> kRows = {
    {"101", "连衣裙 夏", "张三", "2026年12月12日8时", "35", "50.80 - 99.00", "浙江 杭州", ""},
    {"102", "阿胶", "李四", "无时间", "", "12.00", "广东 汕头", "√"},
    {"103", "白衬衫", "王五", "2026年12月11日23时59分59秒", "1200", "128.00 -> 9.90", "北京", ""},
    {"104", "Dress", "赵六", "2026年12月12日", "7", "", "上海", "√"},
    {"105", "草帽", "张三丰", "", "35", "60.00", "浙江 宁波", ""},
};

// A main window of its own settings and program folder, on screen.
struct ShownWindow {
  test::ScratchSettings settings;
  test::ProgramDir dir;
  MainWindow w{Offscreen(dir.path())};
  bool show() {
    w.show();
    return QTest::qWaitForWindowExposed(&w);
  }
};

}  // namespace

class ResultsViewTest : public QObject {
  Q_OBJECT

 private slots:
  void clickingACaptionSortsTheViewNotTheStore() {
    ShownWindow shown;
    QVERIFY(shown.show());
    MainWindow& w = shown.w;
    Fill(w.table(), kRows);
    w.model().flush();
    QTableView* view = w.resultsView();
    QHeaderView* header = view->horizontalHeader();
    const RowCells firstBefore = w.table().row(0);

    struct Case {
      ResultColumn column;
      std::vector<int> ascending, descending;  // store rows in the shown order
    } cases[] = {
        // Sales as numbers; equal sales keep the store's order; empty last both ways.
        {ResultColumn::Sales, {3, 0, 4, 2, 1}, {2, 0, 4, 3, 1}},
        // A price range by its low end, a promotion by its lower price.
        {ResultColumn::Price, {2, 1, 0, 4, 3}, {4, 0, 1, 2, 3}},
        // Times as times; 无时间 and empty last.
        {ResultColumn::DelistAt, {2, 3, 0, 1, 4}, {0, 3, 2, 1, 4}},
        // 序号 as a number (10 would sort before 2 as text).
        {ResultColumn::Index, {0, 1, 2, 3, 4}, {4, 3, 2, 1, 0}},
        // Chinese text by pinyin, 阿 (a), 白 (bai), 草 (cao), 连 (lian), then Latin.
        {ResultColumn::Title, {1, 2, 4, 0, 3}, {3, 0, 4, 2, 1}},
    };
    for (const Case& c : cases) {
      const int column = kCol(c.column);
      QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                        QPoint(header->sectionViewportPosition(column) + 5, header->height() / 2));
      QCOMPARE(ShownOrder(view, w.viewModel()), c.ascending);
      QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                        QPoint(header->sectionViewportPosition(column) + 5, header->height() / 2));
      QCOMPARE(ShownOrder(view, w.viewModel()), c.descending);
    }
    // The store keeps its order: 序号, retry and export go by it.
    QCOMPARE(w.table().row(0), firstBefore);
    QCOMPARE(w.table().cellText(4, ResultColumn::ItemId), std::string("105"));

    // A row filled while sorted takes its place.
    header->setSortIndicator(kCol(ResultColumn::Sales), Qt::AscendingOrder);
    Fill(w.table(), {{"106", "新", "新", "", "3", "", "", ""}});
    w.model().flush();
    QCOMPARE(ShownOrder(view, w.viewModel()).front(), 5);
  }

  void sortedAndFilteredViewFollowsRowsThatComeChangeAndGo() {
    ShownWindow shown;
    QVERIFY(shown.show());
    MainWindow& w = shown.w;
    QTableView* view = w.resultsView();
    ResultsTable& table = w.table();
    // Few values, so that equal keys, empty cells, 无时间, case and numbers in text all meet.
    const char* titles[] = {"连衣裙", "阿胶", "白衬衫", "Dress", "dress", "草帽", "连衣裙 夏", "", "10号", "9号", "连"};
    const char* sales[] = {"35", "", "7", "1200", "35", "x", "0", "50.80 - 99.00", "8"};
    const char* times[] = {"2026年12月12日8时", "无时间", "", "2026年12月11日23时59分59秒", "2025年1月1日"};
    auto cellsOf = [&](int seed) {
      RowCells c;
      c[kCol(ResultColumn::ItemId)] = std::to_string(1000 + seed);
      c[kCol(ResultColumn::Title)] = Utf8ToGbk(titles[seed % 11]);
      c[kCol(ResultColumn::Sales)] = sales[seed % 9];
      c[kCol(ResultColumn::DelistAt)] = Utf8ToGbk(times[seed % 5]);
      return c;
    };
    auto append = [&](int seed, int count) {
      for (int i = 0; i < count; ++i) {
        RowCells c = cellsOf(seed + i * 7);
        const int32_t row = table.addRow(std::to_string(table.rowCount() + 1));
        c[0] = table.cellText(row, ResultColumn::Index);
        table.setRow(row, c);
      }
      w.model().flush();
    };
    QCollator collator(QLocale(QLocale::Chinese, QLocale::China));
    collator.setNumericMode(true);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    // What the view must show, worked out from the store from scratch.
    auto expected = [&](int column, Qt::SortOrder order, const char* filter) {
      const std::vector<RowCells> rows = table.snapshot();
      std::vector<int> shownRows;
      for (int r = 0; r < static_cast<int>(rows.size()); ++r)
        if (!*filter || Find(rows[r][kCol(ResultColumn::Title)], Utf8ToGbk(filter)) > 0) shownRows.push_back(r);
      const bool down = order == Qt::DescendingOrder;
      std::stable_sort(shownRows.begin(), shownRows.end(), [&](int a, int b) {
        const std::string &x = rows[a][column], &y = rows[b][column];
        if (ResultsSortModel::IsTextColumn(column)) {
          if (x.empty() || y.empty()) return !x.empty() && y.empty();
          const int c = collator.compare(QString::fromStdString(GbkToUtf8(x)), QString::fromStdString(GbkToUtf8(y)));
          return down ? c > 0 : c < 0;
        }
        const double kx = ResultsSortModel::NumberKey(column, x), ky = ResultsSortModel::NumberKey(column, y);
        if (std::isnan(kx) || std::isnan(ky)) return !std::isnan(kx) && std::isnan(ky);
        return down ? kx > ky : kx < ky;
      });
      return shownRows;
    };
    w.showFilter();
    auto* filterEdit = w.findChild<QLineEdit*>(S("筛选框"));
    struct Case {
      ResultColumn column;
      Qt::SortOrder order;
      const char* filter;
    } cases[] = {
        {ResultColumn::Title, Qt::AscendingOrder, ""},    {ResultColumn::Title, Qt::DescendingOrder, "连"},
        {ResultColumn::Sales, Qt::AscendingOrder, "连"},  {ResultColumn::Sales, Qt::DescendingOrder, ""},
        {ResultColumn::DelistAt, Qt::AscendingOrder, ""}, {ResultColumn::Seller, Qt::AscendingOrder, ""},
    };
    for (const Case& c : cases) {
      const int column = kCol(c.column);
      table.clearRows();
      w.model().flush();
      append(0, 20);
      filterEdit->setText(S(c.filter));
      view->sortByColumn(column, c.order);
      auto check = [&](const char* step) {
        const std::vector<int> want = expected(column, c.order, c.filter);
        QVERIFY2(ShownOrder(view, w.viewModel()) == want, step);
        QCOMPARE(view->verticalHeader()->count(), static_cast<int>(want.size()));  // the view heard of every row
      };
      check("sorted");
      append(3, 15);  // rows that arrive while sorted take their places
      check("appended");
      for (int r : {1, 5, 8, 22, 30}) table.setRow(r, cellsOf(r * 3 + 1));  // a retry rewrites rows
      w.model().flush();
      check("rewritten");
      table.removeRows({0, 3, 4, 17, 30});
      check("removed");
      view->sortByColumn(column, c.order == Qt::AscendingOrder ? Qt::DescendingOrder : Qt::AscendingOrder);
      view->sortByColumn(column, c.order);  // the other way and back
      check("reversed twice");
    }
    // The store's order again: every row, as stored.
    filterEdit->clear();
    view->sortByColumn(-1, Qt::AscendingOrder);
    std::vector<int> all(static_cast<size_t>(table.rowCount()));
    std::iota(all.begin(), all.end(), 0);
    QCOMPARE(ShownOrder(view, w.viewModel()), all);
  }

  void removingRowsKeepsTheScrollPlaceAndTheSelection() {
    ShownWindow shown;
    QVERIFY(shown.show());
    MainWindow& w = shown.w;
    QTableView* view = w.resultsView();
    std::vector<Row> rows;
    std::vector<std::string> ids, sales;
    for (int i = 0; i < 300; ++i) {
      ids.push_back(std::to_string(i % 100 == 50 ? 7 : 1000 + i));  // 50, 150, 250 repeat 7
      sales.push_back(std::to_string(i * 37 % 101));
    }
    for (int i = 0; i < 300; ++i) rows.push_back({ids[i].c_str(), "衬衫", "张三", "", sales[i].c_str(), "", "", ""});
    Fill(w.table(), rows);
    w.model().flush();
    auto idAt = [&](int shownRow) {
      return view->model()->index(shownRow, kCol(ResultColumn::ItemId)).data().toString();
    };
    for (bool sorted : {false, true}) {
      // Sorted, the rows taken out stand apart in the view.
      if (sorted) view->sortByColumn(kCol(ResultColumn::Sales), Qt::DescendingOrder);
      view->scrollTo(view->model()->index(200, 0), QAbstractItemView::PositionAtTop);
      view->selectRow(220);
      QApplication::processEvents();
      const QString top = idAt(view->rowAt(0));
      QVERIFY(view->verticalScrollBar()->value() > 0);

      // 去除重复 takes rows above the place and keeps the first 7; then 删除行 on
      // the selection and one more row.
      w.findChild<QMenu*>(S("右键"))->findChild<QAction*>(S("去除重复"))->trigger();
      QApplication::processEvents();
      QCOMPARE(idAt(view->rowAt(0)), top);
      view->selectRow(view->rowAt(0) + 3);
      const QString removed = idAt(view->rowAt(0) + 3);
      view->setFocus();
      QTest::keyClick(view, Qt::Key_Delete);
      QApplication::processEvents();
      QVERIFY(idAt(view->rowAt(0) + 3) != removed);
      view->selectRow(220);
      const QString chosen = idAt(220), shownFirst = idAt(view->rowAt(0));
      w.table().removeRows({0});  // a row above, taken out by other means
      QApplication::processEvents();
      QCOMPARE(idAt(view->rowAt(0)), shownFirst);  // the same rows in sight
      const QModelIndexList selected = view->selectionModel()->selectedRows();
      QCOMPARE(selected.size(), 1);
      QCOMPARE(idAt(selected.front().row()), chosen);
      QCOMPARE(w.table().cellText(w.table().selectedRow(), ResultColumn::ItemId), chosen.toStdString());
    }

    // A block of the store that the sorted view shows far apart (more runs than
    // are taken out one by one): the rest in order, the selection on its row.
    view->selectRow(30);
    const QString kept = idAt(30);
    std::vector<int32_t> scattered;
    for (int32_t r = 0; r < 200; ++r)
      if (w.table().cellText(r, ResultColumn::ItemId) != kept.toStdString()) scattered.push_back(r);
    QVERIFY(scattered.size() > 128);
    const int before = view->model()->rowCount();
    w.table().removeRows(scattered);
    QCOMPARE(view->model()->rowCount(), before - static_cast<int>(scattered.size()));
    QCOMPARE(view->verticalHeader()->count(), view->model()->rowCount());
    for (int r = 1; r < view->model()->rowCount(); ++r)
      QVERIFY(view->model()->index(r - 1, kCol(ResultColumn::Sales)).data().toInt() >=
              view->model()->index(r, kCol(ResultColumn::Sales)).data().toInt());
    const QModelIndexList selected = view->selectionModel()->selectedRows();
    QCOMPARE(selected.size(), 1);
    QCOMPARE(idAt(selected.front().row()), kept);
  }

  void filterLineShowsMatchingRows() {
    ShownWindow shown;
    QVERIFY(shown.show());
    MainWindow& w = shown.w;
    Fill(w.table(), kRows);
    RowFailures failed;
    failed[RequestPart::Lookup] = FailureKind::NoAnswer;
    w.table().setFailures(2, failed);
    w.model().flush();
    QTableView* view = w.resultsView();
    const QRect fullView = view->geometry();

    QTest::keyClick(&w, Qt::Key_F, Qt::ControlModifier);
    auto* edit = w.findChild<QLineEdit*>(S("筛选框"));
    auto* count = w.findChild<QLabel*>(S("筛选条数"));
    QVERIFY(edit && edit->isVisible() && edit->hasFocus());
    QVERIFY(view->geometry().top() > fullView.top());  // the line sits above the rows

    struct Case {
      const char* text;
      bool monitored, failedOnly;
      std::vector<int> rows;
    } cases[] = {
        {"张三", false, false, {0, 4}},  // seller
        {"dress", false, false, {3}},    // title, any case
        {"103", false, false, {2}},      // item id
        {"浙江", false, false, {0, 4}},  // location
        {"", true, false, {1, 3}},       // monitored only
        {"", false, true, {2}},          // failed only
        {"汕头", true, false, {1}},      // both
        {"没有", false, false, {}},
    };
    for (const Case& c : cases) {
      edit->setText(S(c.text));
      w.findChild<QCheckBox*>(S("只看监测"))->setChecked(c.monitored);
      w.findChild<QCheckBox*>(S("只看失败"))->setChecked(c.failedOnly);
      QCOMPARE(ShownOrder(view, w.viewModel()), c.rows);
      QCOMPARE(count->text(), S("显示 %1 行，共 5 行").arg(c.rows.size()));
    }

    // Esc closes the line and shows every row again.
    QTest::keyClick(edit, Qt::Key_Escape);
    QVERIFY(!edit->isVisible());
    QCOMPARE(view->model()->rowCount(), 5);
    QCOMPARE(view->geometry(), fullView);
  }

  void ctrlCCopiesSelectedRowsAsSpreadsheetsPasteThem() {
    ShownWindow shown;
    QVERIFY(shown.show());
    MainWindow& w = shown.w;
    Fill(w.table(), kRows);
    RowCells tricky = w.table().row(4);
    tricky[kCol(ResultColumn::Title)] = Utf8ToGbk("长\t裙\n新款");
    w.table().setRow(4, tricky);
    w.model().flush();
    QTableView* view = w.resultsView();
    view->setFocus();
    view->selectionModel()->select(view->model()->index(4, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    view->selectionModel()->select(view->model()->index(1, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);

    const QStringList lines = QApplication::clipboard()->text().split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 3);  // two rows and the last line break
    QVERIFY(lines[2].isEmpty());
    // Row by row in the view's order; each pasted cell equals the stored one.
    for (int i = 0; i < 2; ++i) {
      const QStringList cells = lines[i].split(QLatin1Char('\t'));
      QCOMPARE(cells.size(), kResultColumnCount);
      const int row = i == 0 ? 1 : 4;
      for (int c = 0; c < kResultColumnCount; ++c) {
        QString stored = QString::fromStdString(GbkToUtf8(w.table().cellText(row, c)));
        stored.replace(QLatin1Char('\t'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
        QCOMPARE(cells[c], stored);
      }
    }

    // Columns moved by the seller are copied in the order shown.
    view->horizontalHeader()->moveSection(kCol(ResultColumn::Title), 0);
    view->clearSelection();
    view->selectRow(0);
    QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
    QVERIFY(QApplication::clipboard()->text().startsWith(S("连衣裙 夏\t1\t101\t")));
  }

  void rowMenuCopiesMonitorsAndRemovesRows() {
    ShownWindow shown;
    QVERIFY(shown.show());
    MainWindow& w = shown.w;
    Fill(w.table(), kRows);
    Fill(w.table(), {{"101", "连衣裙 夏", "张三", "", "36", "", "", ""}});  // the same item again
    w.model().flush();
    QTableView* view = w.resultsView();
    auto* menu = w.findChild<QMenu*>(S("右键"));
    auto item = [&](const char* name) { return menu->findChild<QAction*>(S(name)); };
    QStringList captions;
    for (QAction* a : menu->actions())
      if (!a->isSeparator()) captions << a->text();
    QCOMPARE(captions, (QStringList{S("打开网页"), S("复制链接"), S("复制行"), S("复制单元格"), S("加入监测"),
                                    S("删除行"), S("去除重复")}));

    view->selectRow(1);
    item("复制链接")->trigger();
    QCOMPARE(QApplication::clipboard()->text(), S("http://127.0.0.1:9/item.htm?id=102"));

    // 加入监测: saved beside the program, in effect at once, the rows marked now.
    view->selectRow(2);
    item("加入监测")->trigger();
    QFile ids(QDir(shown.dir.path()).filePath(S("cfg_jsid.txt")));
    QVERIFY(ids.open(QIODevice::ReadOnly));
    QVERIFY(QString::fromLatin1(ids.readAll()).split(S("\r\n")).contains(S("103")));
    const auto monitored = MonitoredItemIds();
    QVERIFY(monitored && std::count(monitored->begin(), monitored->end(), "103") == 1);
    QCOMPARE(w.table().cellText(2, ResultColumn::Monitored), std::string(MONITORED_MARK));
    item("加入监测")->trigger();  // once in the list, whatever the clicks
    QVERIFY(std::count(MonitoredItemIds()->begin(), MonitoredItemIds()->end(), "103") == 1);

    // Not while an operation fills rows: the rows would move under it.
    QVERIFY(w.beginOperation());
    QVERIFY(!item("删除行")->isEnabled() && !item("去除重复")->isEnabled());
    w.endOperation();

    // 去除重复 keeps the first row of each item; 删除行 (Delete) the selected rows.
    item("去除重复")->trigger();
    w.model().flush();
    QCOMPARE(w.table().rowCount(), 5);
    QCOMPARE(w.table().cellText(0, ResultColumn::Sales), std::string("35"));
    view->clearSelection();
    view->selectionModel()->select(view->model()->index(1, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    view->selectionModel()->select(view->model()->index(3, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    // The menu opened on a selected row keeps the selection; 复制单元格 takes the cell under the pointer.
    const QModelIndex seller = view->model()->index(3, kCol(ResultColumn::Seller));
    emit view->customContextMenuRequested(view->visualRect(seller).center());
    menu->hide();
    QCOMPARE(view->selectionModel()->selectedRows().size(), 2);
    item("复制单元格")->trigger();
    QCOMPARE(QApplication::clipboard()->text(), seller.data().toString());
    QVERIFY(!seller.data().toString().isEmpty());
    // Outside the selection it selects the row under the pointer.
    emit view->customContextMenuRequested(view->visualRect(view->model()->index(0, 0)).center());
    menu->hide();
    QCOMPARE(view->selectionModel()->selectedRows().size(), 1);
    view->clearSelection();
    view->selectionModel()->select(view->model()->index(1, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    view->selectionModel()->select(view->model()->index(3, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    view->setFocus();
    QTest::keyClick(view, Qt::Key_Delete);
    w.model().flush();
    QCOMPARE(w.table().rowCount(), 3);
    QCOMPARE(view->model()->rowCount(), 3);
    QCOMPARE(w.findChild<QLabel*>(S("透明标签13"))->text(), S("条数：3"));  // the count follows
    const char* left[][2] = {{"1", "101"}, {"3", "103"}, {"5", "105"}};     // 序号 as they were
    for (int r = 0; r < 3; ++r) {
      QCOMPARE(w.table().cellText(r, ResultColumn::Index), std::string(left[r][0]));
      QCOMPARE(w.table().cellText(r, ResultColumn::ItemId), std::string(left[r][1]));
    }
    SetMonitoredItemIds({});
  }

  void windowGrowsAndTheResultsTakeTheRoom() {
    ShownWindow shown;
    QVERIFY(shown.show());
    MainWindow& w = shown.w;
    QCOMPARE(w.size(), QSize(930, 661));
    QTableView* view = w.resultsView();
    QCOMPARE(view->geometry(), QRect(1, 168, 904, 440));
    auto* tabs = w.findChild<QWidget*>(S("选择夹1"));
    const QRect tabsBefore = tabs->geometry();

    w.resize(1280, 960);
    QCOMPARE(view->geometry(), QRect(1, 168, 1254, 739));
    QCOMPARE(tabs->geometry(), tabsBefore);  // the search area keeps its layout
    auto* account = w.findChild<QLabel*>(S("标签_yhxx"));
    QVERIFY(account->geometry().top() >= view->geometry().bottom());
    QVERIFY(account->geometry().bottom() < w.height());

    w.resize(1024, 700);
    QVERIFY(view->geometry().right() < w.width());
    QVERIFY(view->geometry().bottom() < w.height());
  }

  void columnWidthsAndOrderAreKeptAcrossRuns() {
    test::ScratchSettings settings;
    test::ProgramDir dir;
    {
      MainWindow w(Offscreen(dir.path()));
      w.show();
      QVERIFY(QTest::qWaitForWindowExposed(&w));
      QHeaderView* header = w.resultsView()->horizontalHeader();
      header->resizeSection(kCol(ResultColumn::Title), 333);
      header->moveSection(kCol(ResultColumn::Monitored), 1);
      w.close();
    }
    MainWindow again(Offscreen(dir.path()));
    QHeaderView* header = again.resultsView()->horizontalHeader();
    QCOMPARE(header->sectionSize(kCol(ResultColumn::Title)), 333);
    QCOMPARE(header->visualIndex(kCol(ResultColumn::Monitored)), 1);
    // The store's order is shown until the seller sorts.
    QCOMPARE(header->sortIndicatorSection(), -1);
  }
};

QTEST_MAIN(ResultsViewTest)
#include "results_view_test.moc"
