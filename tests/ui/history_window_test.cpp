// The desktop's history on the offscreen platform: searches and retries recorded
// as runs, 历史记录's 打开 (replace, append), 对比 and 保留, and the tooltip of a
// monitored row whose delisting time moved.
#include <sqlite3.h>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <memory>
#include <optional>

#include "app/main_window.h"
#include "history/history_file.h"
#include "history/history_recorder.h"
#include "net/codec.h"
#include "net/datetime.h"
#include "net/settings.h"
#include "net/shared_state.h"
#include "support/sim_process.h"
#include "ui/desktop_history_qt.h"
#include "ui/history_window.h"
#include "ui/results_model.h"
#include "ui/ui_support.h"

using namespace kelvora;
using kelvora::history::HistoryFile;
using kelvora::history::HistoryRecorder;
using kelvora::history::RunState;
using kelvora::test::DesktopRecorder;
using kelvora::test::Find;
using kelvora::test::ProgramDir;
using kelvora::test::ScratchSettings;
using kelvora::test::SignInToSim;
using kelvora::test::UseSim;

namespace {

// A row of the history as a test writes it (UTF-8 texts, as the table holds GBK).
RowCells Row(const std::string& id, const std::string& title, const std::string& price,
             const std::string& delist = "2027年1月10日20时0分0秒", bool monitored = false) {
  RowCells c;
  c[static_cast<size_t>(ResultColumn::ItemId)] = id;
  c[static_cast<size_t>(ResultColumn::Title)] = Utf8ToGbk(title);
  c[static_cast<size_t>(ResultColumn::Link)] = "http://127.0.0.1:9/item.htm?id=" + id;
  c[static_cast<size_t>(ResultColumn::Price)] = price;
  c[static_cast<size_t>(ResultColumn::Sales)] = "10";
  c[static_cast<size_t>(ResultColumn::Stock)] = "99";
  c[static_cast<size_t>(ResultColumn::DelistAt)] = Utf8ToGbk(delist);
  if (monitored) c[static_cast<size_t>(ResultColumn::Monitored)] = MONITORED_MARK;
  return c;
}

// Writes runs into `path` as kelvora-cli would; each a kind, a query and its rows.
struct PreparedRun {
  std::string kind, query;
  std::vector<RowCells> rows;
};
bool Prepare(const std::string& path, const std::vector<PreparedRun>& runs) {
  std::string error;
  auto file = HistoryFile::open(path, error);
  if (!file) return false;
  HistoryRecorder recorder(std::move(file), nullptr);
  for (const PreparedRun& run : runs) {
    recorder.beginRun(run.kind, run.query);
    for (const RowCells& row : run.rows) recorder.addRow(row, {});
    recorder.endRun(RunState::Done);
  }
  return recorder.flush();
}

std::vector<history::RunInfo> Runs(const std::string& path) {
  std::string error;
  auto file = HistoryFile::open(path, error);
  return file ? file->runs() : std::vector<history::RunInfo>{};
}

MainWindowOptions WithHistory(const QString& programDir, const std::string& historyPath, int keepDays = 0) {
  MainWindowOptions o;
  o.programDir = programDir;
  o.networkProbe = false;
  o.historyPath = historyPath;
  o.historyKeepDays = keepDays;
  return o;
}

// 历史记录 clicked; the window once it lists the runs.
HistoryWindow* OpenHistoryWindow(MainWindow& w) {
  auto* button = Find<QPushButton>(w, "按钮历史");
  if (!button || !button->isEnabled()) return nullptr;
  QTest::mouseClick(button, Qt::LeftButton);
  auto* window = w.findChild<HistoryWindow*>();
  if (!window) return nullptr;
  QSignalSpy shown(window, &HistoryWindow::runsShown);
  if (!shown.wait(10000)) return nullptr;
  return window;
}

}  // namespace

class HistoryWindowTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir scratch_;
  std::string historyPath() const { return (scratch_.path() + "/h/history.sqlite3").toStdString(); }

 private slots:
  void init() {
    QDir(scratch_.path() + "/h").removeRecursively();
    SetMonitoredItemIds({});
  }

  // A list search and a retry from the window each become a run holding exactly
  // the rows the table got, in their order, with the query kelvora-cli would give.
  void searchAndRetryAreRecorded() {
    test::SimProcess sim;
    QVERIFY(sim.running());
    QVERIFY(UseSim(sim));
    SignInToSim();
    ScratchSettings registry;
    ProgramDir dir;
    const auto items = test::SimItems(sim.baseUrl(), "taobao", 3);
    QCOMPARE(items.size(), size_t(3));
    MainWindow w(WithHistory(dir.path(), historyPath()));
    w.show();

    Find<QTabWidget>(w, "选择夹1")->setCurrentIndex(1);
    Find<QPlainTextEdit>(w, "编辑框2")->setPlainText(QString::fromStdString(items[0] + "\n" + items[1]));
    Find<QComboBox>(w, "组合框1")->setCurrentIndex(1);
    QTest::mouseClick(Find<QPushButton>(w, "按钮8"), Qt::LeftButton);
    QVERIFY(w.operationRunning());
    QTRY_VERIFY_WITH_TIMEOUT(!w.operationRunning(), 60000);
    QCOMPARE(w.table().rowCount(), 2);

    // Two rows to retry: one fresh address, one of the search's rows spoiled.
    const int32_t failed = w.table().addRow();
    w.table().setCell(failed, ResultColumn::Link, items[2]);
    w.table().setCell(failed, ResultColumn::ListedAt, NO_TIME_TEXT);
    w.table().setCell(0, ResultColumn::ListedAt, NO_TIME_TEXT);
    w.retryFailed();
    QTRY_VERIFY_WITH_TIMEOUT(!w.operationRunning(), 60000);
    QVERIFY(w.history()->flush());

    std::string error;
    auto file = HistoryFile::open(historyPath(), error);
    QVERIFY2(file, error.c_str());
    const auto runs = file->runs();
    QCOMPARE(runs.size(), size_t(2));
    const history::RunInfo& retry = runs[0];
    const history::RunInfo& list = runs[1];
    QCOMPARE(list.kind, std::string("list"));
    QCOMPARE(list.query, "--mode item " + items[0] + " " + items[1]);
    QCOMPARE(retry.kind, std::string("retry"));
    QTRY_COMPARE_WITH_TIMEOUT(Runs(historyPath())[0].state, RunState::Done, 5000);
    QCOMPARE(Runs(historyPath())[1].state, RunState::Done);

    const auto listRows = file->rowsOfRun(list.id);
    QCOMPARE(listRows.size(), size_t(2));
    QCOMPARE(listRows[1].cells[static_cast<size_t>(ResultColumn::Title)],
             GbkToUtf8(w.table().cellText(1, ResultColumn::Title)));
    QVERIFY(!listRows[1].cells[static_cast<size_t>(ResultColumn::Title)].empty());
    // The retry recorded the rows it fetched again, as they are now, and no other.
    const auto retryRows = file->rowsOfRun(retry.id);
    QCOMPARE(retryRows.size(), size_t(2));
    for (size_t i = 0; i < 2; ++i) {
      const int32_t tableRow = i == 0 ? 0 : failed;
      for (int c = 0; c < kResultColumnCount; ++c)
        QCOMPARE(retryRows[i].cells[static_cast<size_t>(c)], GbkToUtf8(w.table().cellText(tableRow, c)));
    }
  }

  void openPutsARunIntoTheTable_data() {
    QTest::addColumn<bool>("replace");
    QTest::newRow("replace") << true;
    QTest::newRow("append") << false;
  }

  void openPutsARunIntoTheTable() {
    QFETCH(bool, replace);
    ScratchSettings registry;
    QVERIFY(Prepare(historyPath(), {{"keyword", "a --pages 1", {Row("1", "一", "5.00"), Row("2", "二", "6.00")}},
                                    {"keyword", "b --pages 1", {Row("3", "三", "7.00")}}}));
    DesktopRecorder desktop;
    ProgramDir dir;
    MainWindow w(WithHistory(dir.path(), historyPath()));
    w.show();
    w.table().setRow(w.table().addRow(), Row("9", "已有", "1.00"));

    HistoryWindow* window = OpenHistoryWindow(w);
    QVERIFY(window);
    // Newest first.
    QCOMPARE(window->runList()->rowCount(), 2);
    QCOMPARE(window->runList()->item(0, 3)->text(), QStringLiteral("b --pages 1"));
    QCOMPARE(window->runList()->item(1, 2)->text(), QStringLiteral("标准搜索"));
    QCOMPARE(window->runList()->item(1, 6)->text(), QStringLiteral("完成"));

    int asked = 0;
    HistoryPrompts prompts;
    prompts.putMode = [&](QWidget*) -> std::optional<PutMode> {
      ++asked;
      return replace ? PutMode::Replace : PutMode::Append;
    };
    SetHistoryPrompts(&prompts);
    window->runList()->selectRow(1);
    QSignalSpy put(window, &HistoryWindow::rowsPut);
    QTest::mouseClick(Find<QPushButton>(*window, "打开"), Qt::LeftButton);
    QVERIFY(put.wait(10000));
    SetHistoryPrompts(nullptr);
    QCOMPARE(asked, 1);
    QVERIFY(desktop.messages.empty());

    const std::vector<std::string> expected =
        replace ? std::vector<std::string>{"1", "2"} : std::vector<std::string>{"9", "1", "2"};
    QCOMPARE(w.table().rowCount(), static_cast<int32_t>(expected.size()));
    QCOMPARE(Find<QLabel>(w, "透明标签13")->text(), QStringLiteral("条数：%1").arg(expected.size()));
    for (size_t r = 0; r < expected.size(); ++r)
      QCOMPARE(w.table().cellText(static_cast<int32_t>(r), ResultColumn::ItemId), expected[r]);
    QCOMPARE(w.table().cellText(replace ? 1 : 2, ResultColumn::Title), Utf8ToGbk("二"));
  }

  // 对比 of two selected runs: each list holds its items; 放入结果表 puts a list's
  // items in, the gone ones from the older run.
  void compareListsTheChangesAndPutsThemIn() {
    ScratchSettings registry;
    const std::string d = "2027年1月10日20时0分0秒";
    QVERIFY(Prepare(historyPath(), {{"shop",
                                     "s --pages 1",
                                     {Row("1", "留", "5.00", d), Row("2", "走", "6.00", d), Row("3", "周", "7.00", d),
                                      Row("4", "价", "8.00", d), Row("5", "旧题", "9.00", d)}},
                                    {"shop",
                                     "s --pages 1",
                                     {Row("1", "留", "5.00", "2027年1月11日8时0分0秒"),
                                      Row("3", "周", "7.00", "2027年1月17日20时0分0秒"), Row("4", "价", "8.50", d),
                                      Row("5", "新题", "9.00", d), Row("6", "新", "1.00", d)}}}));
    ProgramDir dir;
    MainWindow w(WithHistory(dir.path(), historyPath()));
    w.show();
    HistoryWindow* window = OpenHistoryWindow(w);
    QVERIFY(window);
    window->selectRuns({window->shownRuns()[0].id, window->shownRuns()[1].id});
    QTest::mouseClick(Find<QPushButton>(*window, "对比"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(window->findChild<RunComparisonWindow*>(), 10000);
    auto* comparison = window->findChild<RunComparisonWindow*>();

    // Captions and the ids of each list, in the window's order.
    const std::vector<std::pair<QString, std::vector<std::string>>> expected = {
        {QStringLiteral("新增商品 (1)"), {"6"}}, {QStringLiteral("消失商品 (1)"), {"2"}},
        {QStringLiteral("重新上架 (1)"), {"1"}}, {QStringLiteral("价格变化 (1)"), {"4"}},
        {QStringLiteral("销量变化 (0)"), {}},    {QStringLiteral("库存变化 (0)"), {}},
        {QStringLiteral("标题变化 (1)"), {"5"}}};
    QCOMPARE(comparison->lists().size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
      const auto& list = comparison->lists()[i];
      QCOMPARE(list.caption, expected[i].first);
      std::vector<std::string> ids;
      for (const auto& line : list.lines) ids.push_back(line.id);
      QCOMPARE(ids, expected[i].second);
      QCOMPARE(comparison->tabs()->tabText(static_cast<int>(i)), expected[i].first);
    }
    QCOMPARE(comparison->lists()[3].lines[0].oldText, std::string("8.00"));
    QCOMPARE(comparison->lists()[3].lines[0].newText, std::string("8.50"));

    QSignalSpy put(comparison, &RunComparisonWindow::rowsPut);
    comparison->putList(1, PutMode::Replace);  // gone: the row of the older run
    QVERIFY(put.wait(10000));
    QCOMPARE(w.table().rowCount(), 1);
    QCOMPARE(w.table().cellText(0, ResultColumn::Title), Utf8ToGbk("走"));
    comparison->putList(6, PutMode::Append);  // title changed: the newer row
    QVERIFY(put.wait(10000));
    QCOMPARE(w.table().rowCount(), 2);
    QCOMPARE(w.table().cellText(1, ResultColumn::Title), Utf8ToGbk("新题"));
  }

  // keep_days removes the older runs when the file is opened; 保留 saves its number,
  // which the next start uses, and deletes at once (after the seller agrees).
  void keepDaysPrunesOldRuns() {
    ScratchSettings registry;
    SetNowOverride(MakeDateTime(2027, 1, 1, 8));
    QVERIFY(Prepare(historyPath(), {{"keyword", "old", {Row("1", "一", "5.00")}}}));
    SetNowOverride(MakeDateTime(2027, 1, 8, 8));
    QVERIFY(Prepare(historyPath(), {{"keyword", "week", {Row("2", "二", "5.00")}}}));
    SetNowOverride(MakeDateTime(2027, 1, 12, 8));
    QVERIFY(Prepare(historyPath(), {{"keyword", "new", {Row("3", "三", "5.00")}}}));
    ProgramDir dir;
    {
      MainWindow w(WithHistory(dir.path(), historyPath(), 10));
      HistoryWindow* window = OpenHistoryWindow(w);
      QVERIFY(window);
      QCOMPARE(window->shownRuns().size(), size_t(2));
      QCOMPARE(window->shownRuns()[1].query, std::string("week"));

      int confirmed = 0;
      HistoryPrompts prompts;
      prompts.confirm = [&](QWidget*, const QString&) { return ++confirmed, true; };
      SetHistoryPrompts(&prompts);
      window->applyKeepDays(2);
      SetHistoryPrompts(nullptr);
      QCOMPARE(confirmed, 1);
      QTRY_COMPARE_WITH_TIMEOUT(window->shownRuns().size(), size_t(1), 10000);
      QCOMPARE(window->shownRuns()[0].query, std::string("new"));
    }
    // The saved number outweighs the settings file's.
    SetNowOverride(MakeDateTime(2027, 1, 20, 8));
    QVERIFY(Prepare(historyPath(), {{"keyword", "later", {Row("4", "四", "5.00")}}}));
    {
      MainWindow w(WithHistory(dir.path(), historyPath(), 30));
      QSignalSpy opened(w.history(), &DesktopHistory::opened);
      QVERIFY(opened.wait(10000));
      const auto runs = Runs(historyPath());
      QCOMPARE(runs.size(), size_t(1));
      QCOMPARE(runs[0].query, std::string("later"));
    }
    SetNowOverride(std::nullopt);
  }

  // A file that cannot be read as a history: the program starts, says so once, and
  // goes on, recording into a new file when the old one was damaged (moved aside,
  // never deleted) and without history when it was written by a newer version.
  void unusableFileIsSaidOnceAndTheProgramGoesOn_data() {
    QTest::addColumn<bool>("newer");
    QTest::newRow("damaged") << false;
    QTest::newRow("newer") << true;
  }

  void unusableFileIsSaidOnceAndTheProgramGoesOn() {
    QFETCH(bool, newer);
    ScratchSettings registry;
    QDir().mkpath(scratch_.path() + "/h");
    if (newer) {
      QVERIFY(Prepare(historyPath(), {}));
      std::string error;
      auto file = HistoryFile::open(historyPath(), error);
      QVERIFY(file);
      QCOMPARE(sqlite3_exec(file->handle(), "PRAGMA user_version=99", nullptr, nullptr, nullptr), SQLITE_OK);
    } else {
      QFile f(QString::fromStdString(historyPath()));
      QVERIFY(f.open(QIODevice::WriteOnly));
      f.write(QByteArray(8192, 'x'));
    }
    DesktopRecorder desktop;
    ProgramDir dir;
    MainWindow w(WithHistory(dir.path(), historyPath()));
    QSignalSpy opened(w.history(), &DesktopHistory::opened);
    QVERIFY(opened.wait(10000));
    QTest::qWait(50);
    QCOMPARE(desktop.messages.size(), size_t(1));
    QVERIFY2(desktop.messages[0].text.contains(newer ? QStringLiteral("newer") : QStringLiteral("moved aside")),
             qPrintable(desktop.messages[0].text));
    QCOMPARE(w.history()->enabled(), !newer);
    // A search still records, or quietly does not.
    w.history()->beginRun("item", "x");
    w.history()->addRow(Row("1", "一", "5.00"), {});
    w.history()->endRun(RunState::Done);
    QCOMPARE(w.history()->flush(), !newer);
    if (!newer) {
      QCOMPARE(Runs(historyPath()).size(), size_t(1));
      QCOMPARE(QDir(scratch_.path() + "/h").entryList({"history.sqlite3.damaged-*"}, QDir::Files).size(), 1);
    }
    QCOMPARE(desktop.messages.size(), size_t(1));
  }

  // A monitored row whose delisting time moved since the item's last recorded
  // row says so in its tooltip; a move by whole weeks is no relisting, and an
  // unmonitored row says nothing.
  void movedDelistingTimeShowsInTheTooltip() {
    test::SimProcess sim;
    QVERIFY(sim.running());
    QVERIFY(UseSim(sim));
    SignInToSim();
    ScratchSettings registry;
    ProgramDir dir;
    const auto items = test::SimItems(sim.baseUrl(), "taobao", 3);
    QCOMPARE(items.size(), size_t(3));
    MainWindow w(WithHistory(dir.path(), historyPath()));
    w.show();
    auto search = [&] {
      Find<QTabWidget>(w, "选择夹1")->setCurrentIndex(1);
      Find<QPlainTextEdit>(w, "编辑框2")
          ->setPlainText(QString::fromStdString(items[0] + "\n" + items[1] + "\n" + items[2]));
      Find<QComboBox>(w, "组合框1")->setCurrentIndex(1);
      QTest::mouseClick(Find<QPushButton>(w, "按钮8"), Qt::LeftButton);
      QTRY_VERIFY_WITH_TIMEOUT(!w.operationRunning(), 60000);
    };
    search();
    QCOMPARE(w.table().rowCount(), 3);
    std::vector<std::string> ids, delists;
    for (int32_t r = 0; r < 3; ++r) {
      ids.push_back(w.table().cellText(r, ResultColumn::ItemId));
      delists.push_back(GbkToUtf8(w.table().cellText(r, ResultColumn::DelistAt)));
      QVERIFY(!ids.back().empty());
    }
    // What an earlier check saw: the first a day earlier, the second a week earlier,
    // the third (not monitored) a day earlier.
    auto shifted = [](const std::string& utf8, int64_t seconds) {
      return GbkToUtf8(DateText(UnixToDate(DateToUnix(TextToDate(Utf8ToGbk(utf8))) + seconds)));
    };
    QVERIFY(w.history()->flush());
    QVERIFY(Prepare(historyPath(), {{"watch",
                                     "",
                                     {Row(ids[0], "x", "1", shifted(delists[0], -86400), true),
                                      Row(ids[1], "y", "1", shifted(delists[1], -604800), true),
                                      Row(ids[2], "z", "1", shifted(delists[2], -86400))}}}));
    SetMonitoredItemIds({ids[0], ids[1]});
    w.table().clearRows();
    search();
    QCOMPARE(w.table().rowCount(), 3);
    QCOMPARE(w.table().cellText(0, ResultColumn::Monitored), std::string(MONITORED_MARK));
    QCOMPARE(w.table().cellText(2, ResultColumn::Monitored), std::string());
    w.model().flush();
    const QAbstractItemModel& m = w.model();
    const int delistColumn = static_cast<int>(ResultColumn::DelistAt);
    QTRY_VERIFY_WITH_TIMEOUT(m.data(m.index(0, delistColumn), Qt::ToolTipRole).isValid(), 5000);
    QCOMPARE(m.data(m.index(0, 1), Qt::ToolTipRole).toString(),
             QStringLiteral("下架时间已变：%1 → %2")
                 .arg(QString::fromStdString(shifted(delists[0], -86400)), QString::fromStdString(delists[0])));
    QVERIFY(!m.data(m.index(1, delistColumn), Qt::ToolTipRole).isValid());
    QVERIFY(!m.data(m.index(2, delistColumn), Qt::ToolTipRole).isValid());
    SetMonitoredItemIds({});
  }
};

QTEST_MAIN(HistoryWindowTest)
#include "history_window_test.moc"
