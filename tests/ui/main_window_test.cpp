// The main window on the offscreen platform: layout, start-up, the results
// view's actions and 重试失败 against kelvora-sim.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <map>
#include <thread>

#include "analysis/analysis_window.h"
#include "analysis/export_qt.h"
#include "analysis/grid_model.h"
#include "app/main_window.h"
#include "lookup/lookup_service.h"
#include "net/datetime.h"
#include "net/network_probe.h"
#include "net/settings.h"
#include "net/shared_state.h"
#include "search/monitored_ids_editor_window.h"
#include "search/search_tabs_qt.h"
#include "session/cookie_entry_window.h"
#include "support/fixtures.h"
#include "support/sim_process.h"
#include "ui/desktop_host_qt.h"
#include "ui/results_model.h"
#include "ui/ui_support.h"

using namespace kelvora;
using kelvora::test::DesktopRecorder;
using kelvora::test::Find;
using kelvora::test::ProgramDir;
using kelvora::test::ScratchSettings;
using kelvora::test::SignInToSim;
using kelvora::test::UseSim;

namespace {

MainWindowOptions Offscreen(const QString& programDir) {
  MainWindowOptions o;
  o.programDir = programDir;
  o.networkProbe = false;
  return o;
}

// Rows waiting for 重试失败: the address in 链接 and 无时间 in 上架时间.
void AddFailedRows(ResultsTable& table, const std::vector<std::string>& addresses) {
  for (const std::string& a : addresses) {
    const int32_t row = table.addRow();
    table.setCell(row, ResultColumn::Link, a);
    table.setCell(row, ResultColumn::ListedAt, NO_TIME_TEXT);
  }
}

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox"); }

  void layout() {
    ProgramDir dir;
    MainWindow w(Offscreen(dir.path()));
    QCOMPARE(w.size(), QSize(930, 661));
    QCOMPARE(w.pos(), QPoint(50, 50));

    struct Control {
      const char* name;
      const char* text;
    };
    // Every control of the form by its name, with its caption or default text.
    const Control buttons[] = {{"按钮1", "查 询"},         {"按钮6", "选择热门词"},   {"按钮7", "选择排序和属性"},
                               {"按钮8", "查 询"},         {"按钮14", "使用向导"},    {"按钮9", "查 询"},
                               {"按钮10", "查询"},         {"按钮11", "点击打开"},    {"按钮3", "系统设置"},
                               {"按钮4", "导出数据/分析"}, {"按钮2", "列表监测"},     {"按钮12", "清空结果"},
                               {"按钮13", "重试失败"},     {"按钮15", "更改COOKIES"}, {"按钮停止", "停止"}};
    for (const Control& c : buttons) {
      auto* b = Find<QPushButton>(w, c.name);
      QVERIFY2(b, c.name);
      QCOMPARE(b->text(), QString::fromUtf8(c.text));
    }
    const Control labels[] = {{"透明标签1", "关键词"},
                              {"透明标签5", "页数"},
                              {"标签2", ""},
                              {"透明标签2", "抓取网页"},
                              {"透明标签8", "一级分类"},
                              {"透明标签9", "二级分类"},
                              {"透明标签3", "关键词："},
                              {"透明标签6", "页数"},
                              {"透明标签4", "卖家昵称"},
                              {"透明标签7", "页数"},
                              {"标签3", "暂时还没有工具"},
                              {"标签4", "抓取延时         毫秒。太低可能出错"},
                              {"透明标签10", "如需使用各种排序以及属性等请用高级搜索"},
                              {"透明标签13", ""},
                              {"标签_yhxx", ""}};
    for (const Control& c : labels) {
      auto* l = Find<QLabel>(w, c.name);
      QVERIFY2(l, c.name);
      QCOMPARE(l->text(), QString::fromUtf8(c.text));
    }
    const Control edits[] = {{"编辑框1", ""}, {"编辑框3", "3"}, {"编辑框4", ""},   {"编辑框5", "3"},
                             {"编辑框7", ""}, {"编辑框6", "5"}, {"编辑框8", "200"}};
    for (const Control& c : edits) {
      auto* e = Find<QLineEdit>(w, c.name);
      QVERIFY2(e, c.name);
      QCOMPARE(e->text(), QString::fromUtf8(c.text));
    }
    QVERIFY(Find<QPlainTextEdit>(w, "编辑框2"));
    auto* kind = Find<QComboBox>(w, "组合框1");
    QVERIFY(kind && kind->count() == 2);
    QCOMPARE(kind->itemText(0), QStringLiteral("列表页"));
    QCOMPARE(kind->itemText(1), QStringLiteral("商品页"));
    QVERIFY(Find<QComboBox>(w, "组合框3") && Find<QComboBox>(w, "组合框4"));
    QCOMPARE(Find<QLabel>(w, "标签1")->text(), QString::fromStdString(GbkToUtf8(CurrentEndpoints()->VENDOR_SITE)) +
                                                   QStringLiteral("/softdir/vandel/help.htm"));

    auto* group = Find<QGroupBox>(w, "分组框1");
    QCOMPARE(group->title(), QStringLiteral(" 搜索模式选择 "));
    QCOMPARE(group->geometry(), QRect(2, 3, 904, 165));
    auto* tabs = Find<QTabWidget>(w, "选择夹1");
    QCOMPARE(tabs->geometry(), QRect(7, 15, 445, 123));
    const char* tabCaptions[] = {"标准搜索", "高级搜索", "分类搜索", "店铺搜索", "小工具", "# 教程与互助 #"};
    QCOMPARE(tabs->count(), 6);
    for (int i = 0; i < 6; ++i) QCOMPARE(tabs->tabText(i), QString::fromUtf8(tabCaptions[i]));
    QCOMPARE(Find<QPushButton>(w, "按钮11")->geometry(), QRect(15, 30, 408, 48));
    QCOMPARE(Find<QLabel>(w, "标签_yhxx")->geometry(), QRect(424, 608, 400, 19));
    QCOMPARE(Find<QLabel>(w, "透明标签10")->geometry().topLeft(), QPoint(13, 144));
    QCOMPARE(Find<QLabel>(w, "透明标签13")->geometry().topLeft(), QPoint(328, 144));
    QCOMPARE(Find<QLineEdit>(w, "编辑框8")->geometry().topLeft(), QPoint(731, 142));
    QCOMPARE(Find<QPushButton>(w, "按钮15")->geometry().topLeft(), QPoint(550, 141));
    QCOMPARE(Find<QWidget>(w, "按钮4")->geometry().left(), 457);

    QCOMPARE(Find<QWidget>(w, "超文本界面框1")->geometry(), QRect(550, 13, 344, 128));
    auto* view = Find<QTableView>(w, "超级列表框1");
    QCOMPARE(view->geometry(), QRect(1, 168, 904, 440));
    QCOMPARE(view->model()->columnCount(), kResultColumnCount);
    for (int c = 0; c < kResultColumnCount; ++c) {
      QCOMPARE(view->model()->headerData(c, Qt::Horizontal).toString(),
               QString::fromStdString(GbkToUtf8(ResultColumns()[c].caption)));
      // Never narrower than the usual width, and wide enough for a whole time.
      QVERIFY(view->columnWidth(c) >= ResultColumns()[c].width);
    }
    const int wholeTime = view->fontMetrics().horizontalAdvance(QStringLiteral("2026年12月31日23时59分59秒"));
    QVERIFY(view->columnWidth(static_cast<int>(ResultColumn::DelistAt)) > wholeTime);
    QVERIFY(view->columnWidth(static_cast<int>(ResultColumn::ListedAt)) > wholeTime);

    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    // Never shown: the settings button, the template check box, the empty label.
    QVERIFY(!Find<QPushButton>(w, "按钮3")->isVisible());
    QVERIFY(!Find<QCheckBox>(w, "选择框1")->isVisible());
    QVERIFY(!Find<QLabel>(w, "标签2")->isVisibleTo(tabs->widget(0)));
    QVERIFY(Find<QPushButton>(w, "按钮13")->isEnabled());
    QVERIFY(!Find<QPushButton>(w, "按钮停止")->isEnabled());
    QVERIFY(Find<QProgressBar>(w, "进度条"));
  }

  void startUpWithoutSupportFileEndsBeforeSignIn() {
    DesktopRecorder desktop;
    ScratchSettings registry;
    ProgramDir dir(false);
    MainWindow w(Offscreen(dir.path()));
    int signIns = 0;
    const StartupOutcome outcome = w.startUp({[&] { return ++signIns, true; }, [] { return true; }});
    QVERIFY(!outcome.running);
    QCOMPARE(outcome.exitCode, 1);
    QCOMPARE(signIns, 0);
    QCOMPARE(desktop.messages.size(), size_t(1));
    QCOMPARE(desktop.messages[0].caption, QStringLiteral("信息："));
    QCOMPARE(desktop.messages[0].text, QStringLiteral("您可能未解压本软件。请解压后再使用。"));
    QVERIFY(w.windowTitle() != QStringLiteral("Kelvora V3.3"));
    QVERIFY(!registry.versionStamp().isValid());
  }

  void startUpEndsQuietlyWhenAStepIsRefused_data() {
    QTest::addColumn<bool>("signIn");
    QTest::addColumn<bool>("cookies");
    QTest::addColumn<int>("cookieCalls");
    QTest::newRow("login window closed") << false << true << 0;
    QTest::newRow("cookie window closed") << true << false << 1;
  }

  void startUpEndsQuietlyWhenAStepIsRefused() {
    QFETCH(bool, signIn);
    QFETCH(bool, cookies);
    QFETCH(int, cookieCalls);
    DesktopRecorder desktop;
    ScratchSettings registry;
    ProgramDir dir;
    MainWindow w(Offscreen(dir.path()));
    int cookieAsked = 0;
    const StartupOutcome outcome = w.startUp({[&] { return signIn; }, [&] { return ++cookieAsked, cookies; }});
    QVERIFY(!outcome.running);
    QCOMPARE(outcome.exitCode, 0);
    QCOMPARE(cookieAsked, cookieCalls);
    QVERIFY(desktop.messages.empty());
    QCOMPARE(w.windowTitle(), QStringLiteral("Kelvora V3.3"));
    QVERIFY(w.noticeAddress().isEmpty());
    QVERIFY(!registry.versionStamp().isValid());
  }

  void startUpToRunningAgainstSim() {
    test::SimProcess sim;
    QVERIFY(sim.running());
    QVERIFY(UseSim(sim));
    SetServiceCookie("");
    SetMonitoredItemIds({});
    DesktopRecorder desktop;
    ScratchSettings registry;
    ProgramDir dir;
    dir.write(QStringLiteral("cfg_jsid.txt"), "12345\r\n678\r\n");
    MainWindowOptions options = Offscreen(dir.path());
    options.networkProbe = true;
    MainWindow w(options);

    std::vector<QString> order;
    bool visibleAtSignIn = false;
    bool stampAtCookies = true;
    StartupHooks hooks;
    hooks.signIn = [&] {
      order.push_back(QStringLiteral("signIn"));
      visibleAtSignIn = w.isVisible();
      SetServiceCookie("kv_auth=kelvorademo-session");
      return true;
    };
    hooks.enterCookies = [&] {
      order.push_back(QStringLiteral("enterCookies"));
      stampAtCookies = registry.versionStamp().isValid();
      return true;
    };
    const StartupOutcome outcome = w.startUp(hooks);
    QVERIFY(outcome.running);
    QCOMPARE(order, (std::vector<QString>{QStringLiteral("signIn"), QStringLiteral("enterCookies")}));
    QVERIFY2(visibleAtSignIn, "the main window stands behind the login window");
    QVERIFY2(!stampAtCookies, "the version stamp is written after the cookie window");
    QCOMPARE(w.windowTitle(), QStringLiteral("Kelvora V3.3"));
    QCOMPARE(w.noticeAddress(),
             QString::fromStdString(sim.baseUrl()) + QStringLiteral("/vendor/softdir/vandel/xzs.htm?ver=3.3"));
    QCOMPARE(registry.versionStamp().toString(), QStringLiteral("3.3"));
    QCOMPARE(*MonitoredItemIds(), (std::vector<std::string>{"12345", "678"}));
    // The account refresh asks the simulator on a worker and writes the label here.
    QTRY_COMPARE_WITH_TIMEOUT(Find<QLabel>(w, "标签_yhxx")->text(), QStringLiteral("用户名： demo"), 10000);
    // The probe of 127.0.0.1 answers wherever the process may send an echo.
    w.host().waitForAccountRefreshes();
    QTest::qWait(kProbeTimeoutMs + 300);
    const bool echoUsable = ProbeEcho("127.0.0.1", kProbeTimeoutMs) != ProbeOutcome::NoEchoService;
    QCOMPARE(desktop.messages.size(), size_t(echoUsable ? 0 : 1));
    SetServiceCookie("");
  }

  void networkProbeMessageReachesTheUiThread() {
    const Endpoints saved = *CurrentEndpoints();
    Endpoints e = saved;
    e.MARKET_HOST = "";  // resolves to nothing
    SetEndpoints(e);
    DesktopRecorder desktop;
    ProgramDir dir;
    MainWindowOptions options = Offscreen(dir.path());
    options.networkProbe = true;
    MainWindow w(options);
    w.host().setAccountTextSource([] { return std::string(); });
    QVERIFY(w.startUp({}).running);
    QTRY_COMPARE(desktop.messages.size(), size_t(1));
    QCOMPARE(desktop.messages[0].text, QStringLiteral("您的网络质量不好或者不通畅\r\n请稍后再试"));
    QCOMPARE(desktop.messages[0].caption, QStringLiteral("信息："));
    QVERIFY(desktop.messages[0].onUiThread);
    SetEndpoints(saved);
  }

  // Another top-level window left open (as the capture window stays, hidden, to keep
  // its session) does not keep the program running once the main window is closed.
  void closingTheMainWindowEndsTheProgram() {
    ProgramDir dir;
    MainWindow w(Offscreen(dir.path()));
    int quits = 0;
    w.quitApplicationWhenClosed([&] { ++quits; });
    w.show();
    QWidget other;
    other.show();
    w.close();
    QVERIFY(other.isVisible());  // not the last window: closing it alone would not quit
    QTRY_COMPARE(quits, 1);
  }

  // The probe's message belongs to no window and blocks none: the seller goes on.
  void networkProbeMessageBlocksNothing() {
    const Endpoints saved = *CurrentEndpoints();
    Endpoints e = saved;
    e.MARKET_HOST = "";  // resolves to nothing
    SetEndpoints(e);
    SetMessageInterceptor({});
    ProgramDir dir;
    MainWindowOptions options = Offscreen(dir.path());
    options.networkProbe = true;
    MainWindow w(options);
    w.host().setAccountTextSource([] { return std::string(); });
    QVERIFY(w.startUp({}).running);
    QMessageBox* box = nullptr;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
          for (QWidget* top : QApplication::topLevelWidgets())
            if (auto* b = qobject_cast<QMessageBox*>(top); b && b->isVisible()) box = b;
          return box != nullptr;
        }(),
        5000);
    QCOMPARE(box->text(), QStringLiteral("您的网络质量不好或者不通畅\r\n请稍后再试"));
    QVERIFY(box->parentWidget() == nullptr);
    QVERIFY(QApplication::activeModalWidget() == nullptr);
    // The main window still takes a click while the message is up.
    w.table().addRow();
    QTest::mouseClick(Find<QPushButton>(w, "按钮12"), Qt::LeftButton);
    QCOMPARE(w.table().rowCount(), 0);
    box->close();
    SetEndpoints(saved);
  }

  void clearLeavesTheCountLabel() {
    ProgramDir dir;
    MainWindow w(Offscreen(dir.path()));
    w.show();
    for (int i = 0; i < 25; ++i) w.table().addRow();
    // Written from a worker, as the per-item driver does, and shown by the UI thread.
    std::thread([&] { w.host().setRowCountLabel(RowCountLabelText(25)); }).join();
    auto* count = Find<QLabel>(w, "透明标签13");
    QTRY_COMPARE(count->text(), QStringLiteral("条数：25"));
    QTRY_COMPARE(w.model().rowCount(), 25);

    QTest::mouseClick(Find<QPushButton>(w, "按钮12"), Qt::LeftButton);
    QCOMPARE(w.table().rowCount(), 0);
    QTRY_COMPARE(w.model().rowCount(), 0);
    QCOMPARE(count->text(), QStringLiteral("条数：25"));

    // The next row the per-item driver writes, on a worker as a search does, sets
    // the count afresh (the item page is refused at once: the row still counts).
    const int32_t row = w.table().addRow();
    w.table().setCell(row, ResultColumn::Link, "http://127.0.0.1:9/item.htm?id=1");
    std::thread driver([&] { FillResultRow(w.table(), row, w.host()); });
    QTRY_COMPARE_WITH_TIMEOUT(count->text(), QStringLiteral("条数：1"), 30000);
    driver.join();
    QCOMPARE(w.table().cellText(row, ResultColumn::Index), std::string("0"));
  }

  // The page and delay boxes take a minus sign and ASCII digits, up to their length.
  void numberBoxesTakeOnlyShortIntegers_data() {
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("shown");
    for (const char* box : {"编辑框3", "编辑框5", "编辑框6"}) {
      const QByteArray b(box);
      QTest::newRow(b + " letters") << box << "abc"
                                    << "";
      QTest::newRow(b + " too long") << box << "99999"
                                     << "99";
      QTest::newRow(b + " negative") << box << "-1"
                                     << "-1";
      QTest::newRow(b + " full-width digits") << box << "１２"
                                              << "";
      QTest::newRow(b + " minus after a digit") << box << "1-"
                                                << "1";
      QTest::newRow(b + " mixed") << box << "4a2"
                                  << "42";
    }
    QTest::newRow("编辑框8 letters") << "编辑框8"
                                     << "abc"
                                     << "";
    QTest::newRow("编辑框8 too long") << "编辑框8"
                                      << "99999"
                                      << "9999";
    QTest::newRow("编辑框8 full-width digits") << "编辑框8"
                                               << "５００"
                                               << "";
    QTest::newRow("编辑框8 decimal") << "编辑框8"
                                     << "1.5"
                                     << "15";
  }
  void numberBoxesTakeOnlyShortIntegers() {
    QFETCH(QString, box);
    QFETCH(QString, typed);
    QFETCH(QString, shown);
    ProgramDir dir;
    MainWindow w(Offscreen(dir.path()));
    auto* edit = w.findChild<QLineEdit*>(box);
    QVERIFY(edit);
    edit->clear();
    // Key by key with the character as the key's text: QTest::keyClicks takes Latin-1 only.
    for (const QChar ch : typed) {
      QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(ch));
      QApplication::sendEvent(edit, &press);
    }
    QCOMPARE(edit->text(), shown);
    if (box != QStringLiteral("编辑框8")) QCOMPARE(edit->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
  }

  void enterInAQueryBoxRunsItsQuery() {
    ProgramDir dir;
    MainWindow w(Offscreen(dir.path()));
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    // Count the clicks instead of running the searches.
    std::map<QString, int> clicks;
    for (const char* name : {"按钮1", "按钮8", "按钮9", "按钮10"}) {
      auto* b = Find<QPushButton>(w, name);
      QObject::disconnect(b, &QPushButton::clicked, nullptr, nullptr);
      connect(b, &QPushButton::clicked, [&clicks, n = QString::fromUtf8(name)] { ++clicks[n]; });
    }
    auto* tabs = Find<QTabWidget>(w, "选择夹1");
    struct Case {
      const char* edit;
      const char* button;
      int tab;
    };
    for (const Case c : {Case{"编辑框1", "按钮1", 0}, Case{"编辑框3", "按钮1", 0}, Case{"编辑框4", "按钮9", 2},
                         Case{"编辑框5", "按钮9", 2}, Case{"编辑框7", "按钮10", 3}, Case{"编辑框6", "按钮10", 3}}) {
      clicks.clear();
      tabs->setCurrentIndex(c.tab);
      auto* edit = Find<QLineEdit>(w, c.edit);
      auto* button = Find<QPushButton>(w, c.button);
      edit->setFocus();
      QTest::keyClick(edit, Qt::Key_Return);
      QTest::keyClick(edit, Qt::Key_Enter);  // the keypad's
      QCOMPARE(clicks[QString::fromUtf8(c.button)], 2);
      QCOMPARE(clicks.size(), size_t(1));
      // A query already running (its button disabled) is not started again.
      button->setEnabled(false);
      QTest::keyClick(edit, Qt::Key_Return);
      button->setEnabled(true);
      QCOMPARE(clicks[QString::fromUtf8(c.button)], 2);
    }
    // The address list takes Enter as a line break.
    clicks.clear();
    tabs->setCurrentIndex(1);
    auto* list = Find<QPlainTextEdit>(w, "编辑框2");
    list->setFocus();
    QTest::keyClicks(list, "a");
    QTest::keyClick(list, Qt::Key_Return);
    QTest::keyClicks(list, "b");
    QCOMPARE(list->toPlainText(), QStringLiteral("a\nb"));
    QVERIFY(clicks.empty());
  }

  // The menu is for the row under the pointer: it selects that row, and the area
  // below the rows shows nothing, whatever was selected before.
  void rowMenuFollowsThePointer() {
    DesktopRecorder desktop;
    ProgramDir dir;
    MainWindow w(Offscreen(dir.path()));
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    for (int i = 0; i < 3; ++i)
      w.table().setCell(w.table().addRow(), ResultColumn::Link, "http://127.0.0.1:9/item.htm?id=" + std::to_string(i));
    w.model().flush();
    QTableView* view = w.resultsView();
    auto* menu = Find<QMenu>(w, "右键");
    auto rightClick = [&](QPoint at) {
      QContextMenuEvent event(QContextMenuEvent::Mouse, at, view->viewport()->mapToGlobal(at));
      QApplication::sendEvent(view->viewport(), &event);
    };

    view->selectRow(0);
    rightClick(QPoint(100, view->viewport()->height() - 5));
    QTest::qWait(20);
    QVERIFY(!menu->isVisible());

    const QPoint onRow2 = view->visualRect(view->model()->index(2, 1)).center();
    rightClick(onRow2);
    QTRY_VERIFY(menu->isVisible());
    QCOMPARE(w.table().selectedRow(), 2);
    QCOMPARE(view->selectionModel()->selectedRows().size(), 1);
    QCOMPARE(menu->pos(), view->viewport()->mapToGlobal(onRow2) + QPoint(3, 3));
    menu->actions()[0]->trigger();
    menu->hide();
    QCOMPARE(desktop.opened.size(), size_t(1));
    QCOMPARE(desktop.opened[0].toString(), QStringLiteral("http://127.0.0.1:9/item.htm?id=2"));
  }

  // Each button's caption has the style's margin on both sides at the window's font.
  void buttonCaptionsFit() {
    ProgramDir dir;
    MainWindow w(Offscreen(dir.path()));
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const QList<QPushButton*> buttons = w.findChildren<QPushButton*>();
    QVERIFY(buttons.size() >= 15);
    for (QPushButton* b : buttons) {
      if (!b->objectName().startsWith(QStringLiteral("按钮"))) continue;
      QStyleOptionButton opt;
      opt.initFrom(b);
      opt.text = b->text();
      opt.rect = b->rect();
      const QRect contents = b->style()->subElementRect(QStyle::SE_PushButtonContents, &opt, b);
      const int margin = b->style()->pixelMetric(QStyle::PM_ButtonMargin, &opt, b);
      const int needed = b->fontMetrics().horizontalAdvance(b->text()) + 2 * margin;
      QVERIFY2(needed <= b->width(), qPrintable(QStringLiteral("%1 「%2」 needs %3 of %4 px")
                                                    .arg(b->objectName(), b->text())
                                                    .arg(needed)
                                                    .arg(b->width())));
      QVERIFY2(b->fontMetrics().height() <= contents.height(), qPrintable(b->objectName()));
    }
  }

  void rowMenuOpensOnlyWebAddresses() {
    DesktopRecorder desktop;
    ProgramDir dir;
    MainWindow w(Offscreen(dir.path()));
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const char* links[] = {"http://127.0.0.1:9/item.htm?id=1", "file:///etc/passwd", "//127.0.0.1:9/item.htm?id=3",
                           "javascript:alert(1)", ""};
    for (const char* link : links) w.table().setCell(w.table().addRow(), ResultColumn::Link, link);
    w.model().flush();
    QTableView* view = w.resultsView();
    auto* menu = Find<QMenu>(w, "右键");
    QVERIFY(menu);
    QCOMPARE(menu->actions()[0]->text(), QStringLiteral("打开网页"));  // first, as it always was

    // No row selected: right-clicking shows nothing.
    const QPoint below(100, view->viewport()->height() - 5);
    emit view->customContextMenuRequested(below);
    QVERIFY(!menu->isVisible());
    w.openSelectedItemPage();
    QVERIFY(desktop.opened.empty());

    const QUrl expected[] = {QUrl(QStringLiteral("http://127.0.0.1:9/item.htm?id=1")), QUrl(),
                             QUrl(QStringLiteral("http://127.0.0.1:9/item.htm?id=3")), QUrl(), QUrl()};
    for (int row = 0; row < 5; ++row) {
      desktop.opened.clear();
      view->selectRow(row);
      QCOMPARE(w.table().selectedRow(), row);
      const QPoint at = view->visualRect(view->model()->index(row, 3)).center();
      emit view->customContextMenuRequested(at);
      QTRY_VERIFY(menu->isVisible());
      QCOMPARE(menu->pos(), view->viewport()->mapToGlobal(at) + QPoint(3, 3));
      menu->actions()[0]->trigger();
      menu->hide();
      if (expected[row].isEmpty()) {
        QVERIFY2(desktop.opened.empty(), links[row]);
      } else {
        QCOMPARE(desktop.opened.size(), size_t(1));
        QCOMPARE(desktop.opened[0], expected[row]);
      }
    }
    // A clear leaves no row selected: the menu does not come back.
    w.table().clearRows();
    w.model().flush();
    QCOMPARE(w.table().selectedRow(), -1);
    emit view->customContextMenuRequested(below);
    QVERIFY(!menu->isVisible());
  }

  void helpButtonOpensTheHelpPage() {
    DesktopRecorder desktop;
    ProgramDir dir;
    MainWindow w(Offscreen(dir.path()));
    QTest::mouseClick(Find<QPushButton>(w, "按钮11"), Qt::LeftButton);
    QCOMPARE(desktop.opened.size(), size_t(1));
    QCOMPARE(desktop.opened[0].toString(), QString::fromStdString(GbkToUtf8(CurrentEndpoints()->VENDOR_SITE)) +
                                               QStringLiteral("/softdir/vandel/help.htm?ver=3.3"));
  }

  // Without a browser the address is shown, selectable, so it can be copied; a
  // browser that opens it gets no message.
  void unopenedAddressIsShownForCopying() {
    ProgramDir dir;
    MainWindow w(Offscreen(dir.path()));
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const QString help = FromGbk(CurrentEndpoints()->VENDOR_SITE) + QStringLiteral("/softdir/vandel/help.htm?ver=3.3");
    for (const bool browser : {false, true}) {
      QList<QUrl> handed;
      SetDesktopOpener([&](const QUrl& url) {
        handed.append(url);
        return browser;
      });
      QString caption, text;
      Qt::TextInteractionFlags flags;
      QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        caption = box->windowTitle();
        text = box->text();
        flags = box->textInteractionFlags();
        box->button(QMessageBox::Ok)->click();
      });
      QTest::mouseClick(Find<QPushButton>(w, "按钮11"), Qt::LeftButton);
      QTest::qWait(20);
      SetDesktopOpener({});
      QCOMPARE(handed.size(), 1);
      QCOMPARE(handed[0].toString(), help);
      if (browser) {
        QVERIFY2(text.isEmpty(), qPrintable(text));
        continue;
      }
      QCOMPARE(caption, QStringLiteral("信息："));
      QVERIFY2(text.contains(help) && text.contains(QStringLiteral("无法打开")), qPrintable(text));
      QVERIFY(flags.testFlag(Qt::TextSelectableByMouse));
      QVERIFY(flags.testFlag(Qt::TextSelectableByKeyboard));
    }

    // The row menu's 打开网页 goes the same way.
    DesktopRecorder messages;
    SetOpenUrlInterceptor({});
    SetDesktopOpener([](const QUrl&) { return false; });
    w.table().setCell(w.table().addRow(), ResultColumn::Link, "http://127.0.0.1:9/item.htm?id=7");
    w.model().flush();
    w.resultsView()->selectRow(0);
    w.openSelectedItemPage();
    SetDesktopOpener({});
    QCOMPARE(messages.messages.size(), size_t(1));
    QVERIFY(messages.messages[0].text.contains(QStringLiteral("http://127.0.0.1:9/item.htm?id=7")));
  }

  void retryKeepsTheWindowResponsive() {
    test::SimProcess sim({"--latency-ms", "150"});
    QVERIFY(sim.running());
    QVERIFY(UseSim(sim));
    SignInToSim();
    const auto items = test::SimItems(sim.baseUrl(), "taobao", 3);
    QCOMPARE(items.size(), size_t(3));
    ProgramDir dir;
    MainWindow w(Offscreen(dir.path()));
    w.show();
    AddFailedRows(w.table(), items);

    auto* retry = Find<QPushButton>(w, "按钮13");
    auto* stop = Find<QPushButton>(w, "按钮停止");
    int ticks = 0;
    QTimer heartbeat;
    connect(&heartbeat, &QTimer::timeout, [&] { ++ticks; });
    heartbeat.start(20);
    QTest::mouseClick(retry, Qt::LeftButton);
    QVERIFY(w.operationRunning());
    QVERIFY(!retry->isEnabled());
    QVERIFY(stop->isEnabled());
    for (const char* name : {"按钮1", "按钮8", "按钮9", "按钮10"})
      QVERIFY2(!Find<QPushButton>(w, name)->isEnabled(), name);
    // A second click while it runs starts nothing.
    QVERIFY(!w.startOperation([](std::stop_token) {}));
    // The status line says what runs, and the bar how far it got.
    QTRY_COMPARE(Find<QLabel>(w, "透明标签10")->text(), QStringLiteral("正在重试失败的行，请稍后。。。"));
    QTRY_VERIFY(Find<QLabel>(w, "标签_进度")->text().endsWith(QLatin1String(" / 3")));

    QTRY_VERIFY_WITH_TIMEOUT(!w.operationRunning(), 60000);
    QVERIFY(Find<QLabel>(w, "透明标签10")->text().startsWith(QStringLiteral("重试结束：重试 3 行")));
    // Three items of three requests each, every answer 150 ms late: the event loop
    // ran all along.
    QVERIFY2(ticks > 10, qPrintable(QString::number(ticks)));
    QVERIFY(retry->isEnabled());
    QVERIFY(!stop->isEnabled());
    for (int32_t r = 0; r < 3; ++r) {
      QVERIFY(!w.table().cellText(r, ResultColumn::Title).empty());
      QCOMPARE(w.table().cellText(r, ResultColumn::Index), NumberText(static_cast<int64_t>(r)));
    }
    QCOMPARE(Find<QLabel>(w, "透明标签13")->text(), QStringLiteral("条数：3"));
  }

  void stopEndsTheRetryAfterTheCurrentItem() {
    test::SimProcess sim({"--latency-ms", "150"});
    QVERIFY(sim.running());
    QVERIFY(UseSim(sim));
    SignInToSim();
    const auto items = test::SimItems(sim.baseUrl(), "taobao", 4);
    QCOMPARE(items.size(), size_t(4));
    ProgramDir dir;
    MainWindow w(Offscreen(dir.path()));
    w.show();
    AddFailedRows(w.table(), items);
    w.retryFailed();
    QTRY_VERIFY_WITH_TIMEOUT(!w.table().cellText(0, ResultColumn::Title).empty(), 30000);
    QTest::mouseClick(Find<QPushButton>(w, "按钮停止"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!w.operationRunning(), 30000);
    // The item under way when 停止 came may finish; the last ones are not touched.
    QVERIFY(w.table().cellText(2, ResultColumn::Title).empty());
    QVERIFY(w.table().cellText(3, ResultColumn::Title).empty());
    QCOMPARE(w.table().cellText(3, ResultColumn::ListedAt), std::string(NO_TIME_TEXT));
    // The next run starts afresh: 停止 belonged to the one before.
    w.retryFailed();
    QTRY_VERIFY_WITH_TIMEOUT(!w.operationRunning(), 60000);
    QVERIFY(!w.table().cellText(3, ResultColumn::Title).empty());
  }

  void closingEndsARetryStuckOnARequest() {
    test::SimProcess sim({"--hang-rate", "1"});
    QVERIFY(sim.running());
    QVERIFY(UseSim(sim));
    SignInToSim();
    ProgramDir dir;
    auto w = std::make_unique<MainWindow>(Offscreen(dir.path()));
    w->show();
    AddFailedRows(w->table(), {sim.baseUrl() + "/item/item.htm?id=1"});
    w->retryFailed();
    QTest::qWait(300);  // the item page request now hangs
    QVERIFY(w->operationRunning());
    const auto start = std::chrono::steady_clock::now();
    w->close();
    w.reset();  // joins the worker: the hanging request must end at once
    QVERIFY(std::chrono::steady_clock::now() - start < std::chrono::seconds(20));
  }

  // The real window's buttons reach the other windows' pieces: 按钮4 the analysis
  // window over this table and its export, 按钮15 the cookie window, 按钮2 the
  // monitored ids, and a query button a search that holds the other buttons
  // until 停止 ends it.
  void buttonsReachTheirPieces() {
    test::SimProcess sim({"--latency-ms", "100"});
    QVERIFY(sim.running());
    QVERIFY(UseSim(sim));
    SignInToSim();
    DesktopRecorder desktop;
    ProgramDir dir;
    MainWindow w(Offscreen(dir.path()));
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    w.table().setCell(w.table().addRow("1"), ResultColumn::Title, "t");
    QTest::mouseClick(Find<QPushButton>(w, "按钮4"), Qt::LeftButton);
    QPointer<AnalysisWindow> analysis = w.findChild<AnalysisWindow*>();
    QVERIFY(analysis && analysis->isVisible());
    QCOMPARE(&analysis->resultsTable(), &w.table());
    QTRY_VERIFY(!analysis->isLoading());
    QCOMPARE(analysis->gridModel()->rowCount(), 2);  // captions and the one row
    int asked = 0;
    QWidget* askedFrom = nullptr;
    ExportPrompts prompts;
    prompts.choosePath = [&](QWidget* parent) {
      ++asked;
      askedFrom = parent;
      return QString();  // cancelled
    };
    prompts.message = [](QWidget*, const QString&, const QString&) {};
    SetExportPrompts(&prompts);
    QTest::mouseClick(analysis->findChild<QPushButton*>(QStringLiteral("按钮1")), Qt::LeftButton);
    SetExportPrompts(nullptr);
    QCOMPARE(asked, 1);
    QCOMPARE(askedFrom, analysis.data());
    analysis->close();
    QTRY_VERIFY(analysis.isNull());

    QString cookieWindow;
    QTimer::singleShot(0, this, [&] {
      if (CookieEntryWindow* c = CookieEntryWindow::current()) {
        cookieWindow = c->windowTitle();
        c->close();
      }
    });
    QTest::mouseClick(Find<QPushButton>(w, "按钮15"), Qt::LeftButton);
    QCOMPARE(cookieWindow, QStringLiteral("使用cookies登录"));

    bool editorShown = false;
    QTimer::singleShot(0, this, [&] {
      if (auto* editor = qobject_cast<MonitoredIdsEditor*>(QApplication::activeModalWidget())) {
        editorShown = true;
        editor->reject();
      }
    });
    QTest::mouseClick(Find<QPushButton>(w, "按钮2"), Qt::LeftButton);
    QVERIFY(editorShown);

    // A keyword no title holds: a page of 44 items, each answer 100 ms late.
    w.table().clearRows();
    Find<QLineEdit>(w, "编辑框1")->setText(QStringLiteral("kelvora"));
    Find<QLineEdit>(w, "编辑框3")->setText(QStringLiteral("1"));
    QTest::mouseClick(Find<QPushButton>(w, "按钮1"), Qt::LeftButton);
    QVERIFY(w.operationRunning());
    QVERIFY(w.searchTabs().running());
    for (const char* name : {"按钮1", "按钮8", "按钮9", "按钮10", "按钮13"})
      QVERIFY2(!Find<QPushButton>(w, name)->isEnabled(), name);
    QVERIFY(Find<QPushButton>(w, "按钮停止")->isEnabled());
    QVERIFY(Find<QProgressBar>(w, "进度条")->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(w.table().rowCount() >= 1, 20000);
    QTest::mouseClick(Find<QPushButton>(w, "按钮停止"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!w.operationRunning(), 20000);
    QVERIFY(!w.searchTabs().running());
    QVERIFY2(w.table().rowCount() < 44, qPrintable(QString::number(w.table().rowCount())));
    for (const char* name : {"按钮1", "按钮8", "按钮9", "按钮10", "按钮13"})
      QVERIFY2(Find<QPushButton>(w, name)->isEnabled(), name);
    QVERIFY(!Find<QPushButton>(w, "按钮停止")->isEnabled());
    QVERIFY(!Find<QProgressBar>(w, "进度条")->isVisible());
    QVERIFY(desktop.messages.empty());
  }

  // cfg_jsid.txt stays beside the program unless that folder cannot be written; then
  // it lives where kelvora-cli looks for it too.
  void monitoredFileFollowsAWritableFolder() {
    ProgramDir dir;
    QCOMPARE(MonitoredFilePath(dir.path()), dir.path() + QStringLiteral("/cfg_jsid.txt"));
    const QByteArray saved = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", (dir.path() + QStringLiteral("/data")).toUtf8());
    const QString elsewhere = MonitoredFilePath(dir.path() + QStringLiteral("/missing"));
    QCOMPARE(elsewhere, dir.path() + QStringLiteral("/data/kelvora/cfg_jsid.txt"));
    QVERIFY(QFileInfo(dir.path() + QStringLiteral("/data/kelvora")).isDir());  // made, so that a save can land there
    if (saved.isEmpty())
      qunsetenv("XDG_DATA_HOME");
    else
      qputenv("XDG_DATA_HOME", saved);
  }

  void pauseKeepsTheUiThreadServingEvents() {
    ProgramDir dir;
    MainWindow w(Offscreen(dir.path()));
    DesktopHost& host = w.host();
    int ticks = 0;
    QTimer heartbeat;
    connect(&heartbeat, &QTimer::timeout, [&] { ++ticks; });
    heartbeat.start(10);
    host.pause(200);
    QVERIFY(ticks > 0);

    // 停止 during a pause on the UI thread ends it early; on a worker likewise.
    QTimer::singleShot(50, &host, [&] { host.requestStop(); });
    const auto start = std::chrono::steady_clock::now();
    host.pause(60000);
    QVERIFY(std::chrono::steady_clock::now() - start < std::chrono::seconds(30));
    QVERIFY(host.stopRequested());
    host.clearStop();
    std::thread worker([&] { host.pause(60000); });
    QTest::qWait(50);
    host.requestStop();
    worker.join();
    host.clearStop();
    QVERIFY(!host.stopRequested());
    // Closing the window stops everything for good.
    w.close();
    QVERIFY(host.stopRequested());
    host.clearStop();
    QVERIFY(host.stopRequested());
  }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
