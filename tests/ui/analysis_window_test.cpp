// The analysis window without the browser view: the grid is a snapshot of the
// results table with its caption row, Ctrl+C copies the selection as
// tab-separated text, and the window's texts and loading panel.
#include <QApplication>
#include <QClipboard>
#include <QGroupBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTableView>
#include <QTest>

#include "analysis/analysis_window.h"
#include "analysis/grid_model.h"
#include "net/codec.h"

using namespace kelvora;

namespace {

RowCells Cells(const std::vector<std::string>& utf8) {
  RowCells r;
  for (size_t i = 0; i < utf8.size() && i < r.size(); ++i) r[i] = Utf8ToGbk(utf8[i]);
  return r;
}

QString Text(QWidget* w, const char* name) {
  auto* child = w->findChild<QWidget*>(QString::fromUtf8(name));
  if (auto* b = qobject_cast<QPushButton*>(child)) return b->text();
  if (auto* l = qobject_cast<QLabel*>(child)) return l->text();
  return QStringLiteral("<missing %1>").arg(QString::fromUtf8(name));
}

}  // namespace

class AnalysisWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    table_.clearRows();
    table_.setRow(table_.addRow(),
                  Cells({"0", "520223599219", "连衣裙\t新款", "http://a/1", "卖家甲", "2014年11月4日21时",
                         "2014年11月11日21时", "12", "天猫", "5", "", "99.00", "O'Brien", "√"}));
    table_.setRow(table_.addRow(), Cells({"1", "41916334072", "\"引号\"开头", "http://a/2", "卖家乙", "无时间",
                                          "无时间", "0", "店铺", "0", "3", "1.50", "浙江 杭州", ""}));
    table_.setRow(table_.addRow(), Cells({"2", "", "第二行\n换行", "", "", "", "", "0", "店铺", "", "", "", "", ""}));
  }

  void gridIsASnapshotWithTheCaptionRow() {
    QPointer<AnalysisWindow> w = new AnalysisWindow(table_, nullptr, AnalysisWindow::ReportView::None);
    QSignalSpy finished(w.data(), &AnalysisWindow::loadFinished);
    w->show();
    QVERIFY(finished.wait(10000));
    table_.setCell(0, 2, "changed later");
    table_.addRow();

    AnalysisGridModel* m = w->gridModel();
    QCOMPARE(m->rowCount(), 4);
    QCOMPARE(m->columnCount(), 14);
    const QStringList captions = {"序号",       "itemID",   "标题",     "链接",     "卖家", "上架时间", "下架时间",
                                  "剩余小时数", "店铺类型", "当前销量", "当前库存", "售价", "所在地",   "监测"};
    for (int c = 0; c < 14; ++c) QCOMPARE(m->index(0, c).data().toString(), captions[c]);
    QCOMPARE(m->index(1, 2).data().toString(), QStringLiteral("连衣裙\t新款"));
    QCOMPARE(m->index(1, 12).data().toString(), QStringLiteral("O'Brien"));
    QCOMPARE(m->index(2, 5).data().toString(), QStringLiteral("无时间"));
    QCOMPARE(m->index(3, 2).data().toString(), QStringLiteral("第二行\n换行"));
    QVERIFY(!w->findChild<QGroupBox*>(QStringLiteral("分组框1"))->isVisible());
    QVERIFY(!w->isLoading());
    w->close();
    QTRY_VERIFY(w.isNull());
  }

  void ctrlCCopiesTheSelectionAsTabSeparatedText() {
    QPointer<AnalysisWindow> w = new AnalysisWindow(table_, nullptr, AnalysisWindow::ReportView::None);
    QSignalSpy finished(w.data(), &AnalysisWindow::loadFinished);
    w->show();
    QVERIFY(finished.wait(10000));
    QTableView* grid = w->gridView();
    QCOMPARE(grid->objectName(), QStringLiteral("高级表格1"));
    grid->setFocus();

    // A rectangle: captions and two rows of columns 1 to 2; cells with a tab, a
    // leading quote or a line break are quoted as spreadsheets expect.
    grid->selectionModel()->select(QItemSelection(grid->model()->index(0, 1), grid->model()->index(3, 2)),
                                   QItemSelectionModel::ClearAndSelect);
    QApplication::clipboard()->clear();
    QTest::keyClick(grid, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(),
             QStringLiteral("itemID\t标题\n520223599219\t\"连衣裙\t新款\"\n41916334072\t\"\"\"引号\"\"开头\"\n"
                            "\t\"第二行\n换行\"\n"));

    // Two separate cells: their rows and columns, the unselected cells empty.
    grid->selectionModel()->select(grid->model()->index(1, 1), QItemSelectionModel::ClearAndSelect);
    grid->selectionModel()->select(grid->model()->index(2, 3), QItemSelectionModel::Select);
    QTest::keyClick(grid, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("520223599219\t\n\thttp://a/2\n"));

    // Everything, as 标签1 tells users to do.
    grid->selectAll();
    QTest::keyClick(grid, Qt::Key_C, Qt::ControlModifier);
    const QStringList lines = QApplication::clipboard()->text().split('\n');
    QCOMPARE(lines.first(), captions().join('\t'));
    QCOMPARE(lines[1], QStringLiteral("0\t520223599219\t\"连衣裙\t新款\"\thttp://a/1\t卖家甲\t2014年11月4日21时\t"
                                      "2014年11月11日21时\t12\t天猫\t5\t\t99.00\tO'Brien\t√"));
    w->close();
  }

  void textsLoadingPanelAndExportButton() {
    QPointer<AnalysisWindow> w = new AnalysisWindow(table_, nullptr, AnalysisWindow::ReportView::None);
    // The work runs on a worker: the window is up and shows its panel first.
    QVERIFY(w->isLoading());
    auto* panel = w->findChild<QGroupBox*>(QStringLiteral("分组框1"));
    QVERIFY(!panel->isHidden());
    QCOMPARE(Text(w, "透明标签1"), QStringLiteral("正在载入数据，请稍后。。。。。"));
    QCOMPARE(Text(w, "透明标签2"), QStringLiteral("载入表格数据。。。"));
    QSignalSpy finished(w.data(), &AnalysisWindow::loadFinished);
    w->show();
    QVERIFY(finished.wait(10000));
    QVERIFY(panel->isHidden());
    QCOMPARE(Text(w, "透明标签2"), QStringLiteral("载入分析图表。。。"));

    QCOMPARE(w->windowTitle(), QStringLiteral("导出/分析"));
    QVERIFY(w->isModal());
    auto* tabs = w->findChild<QTabWidget*>(QStringLiteral("选择夹1"));
    QCOMPARE(tabs->count(), 2);
    QCOMPARE(tabs->tabText(0), QStringLiteral("表格"));
    QCOMPARE(tabs->tabText(1), QStringLiteral("分析"));
    QCOMPARE(Text(w, "按钮1"), QStringLiteral("导出数据 (excel)"));
    QCOMPARE(Text(w, "标签1"),
             QStringLiteral("如果无法直接导出（如未安装office等）可以直接在下表全选复制到wps表格等地方。"));
    QCOMPARE(Text(w, "标签2"), QStringLiteral("以下数据为软件通过一定算法生成。仅供参考。"));
    QVERIFY(w->reportView() == nullptr);

    QSignalSpy exportClicked(w.data(), &AnalysisWindow::exportRequested);
    QTest::mouseClick(w->findChild<QPushButton*>(QStringLiteral("按钮1")), Qt::LeftButton);
    QCOMPARE(exportClicked.count(), 1);
    QCOMPARE(&w->resultsTable(), &table_);

    // Closing drops the grid; the window goes away by itself.
    w->close();
    if (w) QCOMPARE(w->gridModel()->rowCount(), 0);
    QTRY_VERIFY(w.isNull());
  }

  void closingWhileLoadingStopsTheWork() {
    for (int i = 0; i < 30000; ++i) table_.addRow(std::to_string(i));
    QPointer<AnalysisWindow> w = new AnalysisWindow(table_, nullptr, AnalysisWindow::ReportView::None);
    w->show();
    w->close();
    QTRY_VERIFY(w.isNull());  // the destructor waits for the worker, which stops early
  }

 private:
  static QStringList captions() {
    return {"序号",       "itemID",   "标题",     "链接",     "卖家", "上架时间", "下架时间",
            "剩余小时数", "店铺类型", "当前销量", "当前库存", "售价", "所在地",   "监测"};
  }
  ResultsTable table_;
};

QTEST_MAIN(AnalysisWindowTest)
#include "analysis_window_test.moc"
