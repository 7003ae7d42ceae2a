// The search tabs in a stand-in window holding the named controls, against kelvora-sim.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>

#include "net/codec.h"
#include "net/endpoints.h"
#include "net/settings.h"
#include "net/shared_state.h"
#include "search/monitored_ids_editor_window.h"
#include "search/search_tabs_qt.h"
#include "support/sim_process.h"
#include "ui/desktop_calls_qt.h"

namespace kelvora {
namespace {

const char* const kQueryButtons[] = {"按钮1", "按钮8", "按钮9", "按钮10"};

// Records what the tabs report; worker-thread calls reach the status label through the UI thread.
struct StandInHost : Host {
  explicit StandInHost(QLabel* status) : status(status) {}
  void setStatus(const std::string& text) override {
    const QString t = QString::fromStdString(GbkToUtf8(text));
    QMetaObject::invokeMethod(
        status, [this, t] { status->setText(t); }, Qt::QueuedConnection);
  }
  void setRowCountLabel(const std::string&) override {}
  void message(const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex);
    messages << QString::fromStdString(GbkToUtf8(text));
  }
  void pause(int) override {}
  bool stopRequested() const override { return false; }
  void startAccountRefresh() override { ++refreshes; }
  QStringList takeMessages() {
    std::lock_guard<std::mutex> lock(mutex);
    QStringList out = messages;
    messages.clear();
    return out;
  }

  QLabel* status;
  std::mutex mutex;
  QStringList messages;
  std::atomic<int> refreshes{0};
};

// The controls of the search tabs, named as in the main window.
struct StandInWindow {
  StandInWindow() {
    auto edit = [&](const char* name, const char* text) {
      auto* e = new QLineEdit(QString::fromUtf8(text), &window);
      e->setObjectName(QString::fromUtf8(name));
      return e;
    };
    auto button = [&](const char* name) {
      auto* b = new QPushButton(QString::fromUtf8(name), &window);
      b->setObjectName(QString::fromUtf8(name));
      return b;
    };
    auto combo = [&](const char* name) {
      auto* c = new QComboBox(&window);
      c->setObjectName(QString::fromUtf8(name));
      return c;
    };
    edit("编辑框1", "");
    edit("编辑框3", "3");
    for (const char* b : {"按钮1", "按钮6", "按钮7", "按钮8", "按钮14", "按钮9", "按钮10", "按钮2", "按钮停止"})
      button(b);
    auto* list = new QPlainTextEdit(&window);
    list->setObjectName(QStringLiteral("编辑框2"));
    auto* kind = combo("组合框1");
    kind->addItems({QStringLiteral("列表页"), QStringLiteral("商品页")});
    combo("组合框3");
    combo("组合框4");
    edit("编辑框4", "");
    edit("编辑框5", "3");
    edit("编辑框7", "");
    edit("编辑框6", "5");
    edit("编辑框8", "0");
    status = new QLabel(&window);
    status->setObjectName(QStringLiteral("透明标签10"));
    window.resize(600, 400);
  }
  template <typename T = QWidget>
  T* get(const char* name) {
    return window.findChild<T*>(QString::fromUtf8(name));
  }
  void setRunning(bool running) {
    for (const char* b : kQueryButtons) get<QPushButton>(b)->setEnabled(!running);
  }
  bool queryButtonsEnabled() {
    for (const char* b : kQueryButtons)
      if (!get<QPushButton>(b)->isEnabled()) return false;
    return true;
  }

  QWidget window;
  QLabel* status = nullptr;
};

}  // namespace

class SearchTabsTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QVERIFY(sim_.running());
    Settings settings;
    std::string error;
    QVERIFY(LoadSettingsFile(sim_.configPath(), settings, error));
    QVERIFY(ApplySettings(settings, error));
    SetMarketCookie("cookie2=kelvorademo0000; _tb_token_=kelvora; t=kelvorademo");
    SetServiceCookie("kv_auth=kelvorademo-session");
  }

  void refusalsAndHints() {
    StandInWindow w;
    StandInHost host(w.status);
    ResultsTable table;
    SearchTabsController tabs(&w.window, table, host, [&](bool r) { w.setRunning(r); });
    QString opened;
    SetOpenUrlInterceptor([&](const QUrl& url) { opened = url.toString(); });

    struct Case {
      const char* box;
      const char* text;
      const char* button;
      const char* message;
    };
    const Case cases[] = {
        {"编辑框1", "", "按钮1", "请输入关键词"},
        {"编辑框1", "x https://y", "按钮1", "请输入关键词。\r\n使用网址请转到高级搜索"},
        {"编辑框7", "   ", "按钮10", "昵称不能为空"},
        {"编辑框1", "", "按钮9", "请选择一级分类。"},
        {"编辑框1", "", "按钮7",
         "更多内容请使用  高级搜索  功能。并使用其中的 向导 功能\r\n方法请点击 查询 按钮上面的教程"},
    };
    for (const Case& c : cases) {
      w.get<QLineEdit>(c.box)->setText(QString::fromUtf8(c.text));
      QTest::mouseClick(w.get<QPushButton>(c.button), Qt::LeftButton);
      QCOMPARE(host.takeMessages(), QStringList{QString::fromUtf8(c.message)});
      QVERIFY(!tabs.running());
    }
    w.get<QPlainTextEdit>("编辑框2")->setPlainText(QString());
    QTest::mouseClick(w.get<QPushButton>("按钮8"), Qt::LeftButton);
    QCOMPARE(host.takeMessages(), QStringList{QStringLiteral("请输入网址")});
    QTest::mouseClick(w.get<QPushButton>("按钮6"), Qt::LeftButton);
    SetOpenUrlInterceptor({});
    QCOMPARE(opened, QString::fromStdString(GbkToUtf8(CurrentEndpoints()->TOP_SITE)));
    QCOMPARE(table.rowCount(), 0);
  }

  void listSearchLeavesTheWindowResponsiveAndStops() {
    // Every answer of this simulator takes 300 ms: an item takes several of them.
    test::SimProcess slow({"--latency-ms", "300"});
    QVERIFY(slow.running());
    const std::string base = slow.baseUrl();
    Endpoints saved = *CurrentEndpoints();
    Settings settings;
    std::string error;
    QVERIFY(LoadSettingsFile(slow.configPath(), settings, error));
    QVERIFY(ApplySettings(settings, error));

    StandInWindow w;
    StandInHost host(w.status);
    ResultsTable table;
    SearchTabsController tabs(&w.window, table, host, [&](bool r) { w.setRunning(r); });
    QSignalSpy finished(&tabs, &SearchTabsController::searchFinished);
    QStringList lines;
    for (const char* id : {"1", "2", "3", "4"}) lines << QString::fromStdString(base + "/item/item.htm?id=" + id);
    w.get<QPlainTextEdit>("编辑框2")->setPlainText(lines.join(QLatin1Char('\n')));
    w.get<QComboBox>("组合框1")->setCurrentIndex(1);

    int ticks = 0;
    QTimer timer;
    connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(10);
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(w.get<QPushButton>("按钮8"), Qt::LeftButton);
    QVERIFY(clock.elapsed() < 100);  // the click returns at once
    QVERIFY(tabs.running());
    QVERIFY(!w.queryButtonsEnabled());
    // A second query while one runs starts nothing, even when its button is reached.
    w.get<QPushButton>("按钮1")->setEnabled(true);
    w.get<QLineEdit>("编辑框1")->setText(QStringLiteral("x"));
    QTest::mouseClick(w.get<QPushButton>("按钮1"), Qt::LeftButton);
    w.get<QPushButton>("按钮1")->setEnabled(false);
    QTRY_COMPARE_WITH_TIMEOUT(w.status->text(), QStringLiteral("操作已开始，请稍后。。。"), 5000);

    // Stop while the second item is being fetched: it is completed, the rest is not.
    QTRY_COMPARE_WITH_TIMEOUT(table.rowCount(), 2, 10000);
    const int ticksBefore = ticks;
    QTest::mouseClick(w.get<QPushButton>("按钮停止"), Qt::LeftButton);
    QVERIFY(finished.wait(10000));
    QVERIFY(ticks > ticksBefore);  // the window went on handling its events
    QCOMPARE(table.rowCount(), 2);
    QCOMPARE(QString::fromStdString(GbkToUtf8(table.cellText(1, ResultColumn::Link))), lines[1]);
    QVERIFY(!table.cellText(1, ResultColumn::Title).empty());
    QVERIFY(w.queryButtonsEnabled());
    QVERIFY(!tabs.running());
    QCOMPARE(w.status->text(), QStringLiteral("操作已结束。。共获取到 2 条记录（已停止）"));
    SetEndpoints(saved);
  }

  void categoryListsAndQuery() {
    StandInWindow w;
    StandInHost host(w.status);
    ResultsTable table;
    SearchTabsController tabs(&w.window, table, host, [&](bool r) { w.setRunning(r); });
    QSignalSpy loaded(&tabs, &SearchTabsController::categoriesLoaded);
    QSignalSpy finished(&tabs, &SearchTabsController::searchFinished);
    auto* top = w.get<QComboBox>("组合框3");
    auto* sub = w.get<QComboBox>("组合框4");

    // Opening the empty list loads it once.
    QTest::keyClick(top, Qt::Key_F4);
    QVERIFY(loaded.wait(5000));
    QCOMPARE(top->count(), 11);
    QCOMPARE(top->itemText(0), QStringLiteral("请选择一级分类"));
    QCOMPARE(top->itemData(0).toInt(), 0);
    QCOMPARE(top->itemData(1).toInt(), 16);
    QCOMPARE(top->currentIndex(), -1);
    QCOMPARE(sub->count(), 1);
    QCOMPARE(sub->itemText(0), QStringLiteral("请先选择一级分类"));
    top->hidePopup();
    QTest::keyClick(top, Qt::Key_F4);  // already filled: no second load
    top->hidePopup();
    QVERIFY(!loaded.wait(300));

    // The placeholder loads cat=0 into the second list, and the query still refuses.
    top->setCurrentIndex(0);
    emit top->activated(0);
    QVERIFY(loaded.wait(5000));
    QCOMPARE(sub->itemText(0), QStringLiteral("请选择二级分类"));
    QTest::mouseClick(w.get<QPushButton>("按钮9"), Qt::LeftButton);
    QCOMPARE(host.takeMessages(), QStringList{QStringLiteral("请选择一级分类。")});

    top->setCurrentIndex(2);  // 男装 (30), listed flat
    emit top->activated(2);
    QVERIFY(loaded.wait(5000));
    QVERIFY(sub->count() > 1);
    QCOMPARE(sub->currentIndex(), -1);
    sub->setCurrentIndex(1);

    w.get<QLineEdit>("编辑框5")->setText(QStringLiteral("-5"));
    QTest::mouseClick(w.get<QPushButton>("按钮9"), Qt::LeftButton);
    QVERIFY(!w.get<QPushButton>("按钮9")->isEnabled());  // held disabled until the worker ends
    QVERIFY(finished.wait(20000));
    QCOMPARE(w.get<QLineEdit>("编辑框5")->text(), QStringLiteral("1"));
    QVERIFY(table.rowCount() > 0);
    QVERIFY(w.queryButtonsEnabled());
    QCOMPARE(w.status->text(), QStringLiteral("操作已结束.共获取到 %1 条记录").arg(table.rowCount()));
  }

  void shopSearchRunsOnTheWorker() {
    StandInWindow w;
    StandInHost host(w.status);
    ResultsTable table;
    table.addRow("earlier");
    SearchTabsController tabs(&w.window, table, host, [&](bool r) { w.setRunning(r); });
    QSignalSpy finished(&tabs, &SearchTabsController::searchFinished);
    w.get<QLineEdit>("编辑框7")->setText(QString::fromUtf8(" 蓝天小铺 "));
    w.get<QLineEdit>("编辑框6")->setText(QStringLiteral("1"));
    QTest::mouseClick(w.get<QPushButton>("按钮10"), Qt::LeftButton);
    QVERIFY(tabs.running());
    QVERIFY(finished.wait(30000));
    QCOMPARE(table.rowCount(), 95);
    QVERIFY(host.refreshes >= 1);
  }

  void monitoredIdsEditorSavesCrLf() {
    const std::filesystem::path path = std::filesystem::path(sim_.tempDir()) / "cfg_jsid.txt";
    std::ofstream(path, std::ios::binary) << "1 2\r\nx";
    QLabel status;
    StandInHost host(&status);
    MonitoredIdsEditor editor(nullptr, QString::fromStdString(path.string()), host);
    auto* edit = editor.findChild<QPlainTextEdit*>(QStringLiteral("编辑框1"));
    QVERIFY(edit);
    QCOMPARE(edit->toPlainText(), QStringLiteral("1 2\nx"));
    QCOMPARE(editor.size(), QSize(292, 329));
    QTest::mouseClick(editor.findChild<QPushButton*>(QStringLiteral("按钮2")), Qt::LeftButton);
    QCOMPARE(edit->toPlainText(), QString());
    edit->setPlainText(QStringLiteral("7, 8\n\n0123"));
    QTest::mouseClick(editor.findChild<QPushButton*>(QStringLiteral("按钮1")), Qt::LeftButton);
    QCOMPARE(host.takeMessages(), QStringList{QStringLiteral("已保存")});
    QCOMPARE(editor.result(), int(QDialog::Accepted));
    std::ifstream in(path, std::ios::binary);
    QCOMPARE(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()),
             std::string("7\r\n8\r\n0123\r\n"));  // one id a line, the comma separating two
    QCOMPARE(*MonitoredItemIds(), (std::vector<std::string>{"7", "8", "0123"}));  // in effect at once
    QCOMPARE(edit->toPlainText(), QStringLiteral("7, 8\n\n0123"));                // the box keeps what was typed

    // A file that cannot be written: the window stays with its text.
    MonitoredIdsEditor failing(nullptr, QString::fromStdString((path.parent_path() / "no-dir" / "f.txt").string()),
                               host);
    failing.findChild<QPlainTextEdit*>(QStringLiteral("编辑框1"))->setPlainText(QStringLiteral("1"));
    QTest::mouseClick(failing.findChild<QPushButton*>(QStringLiteral("按钮1")), Qt::LeftButton);
    QCOMPARE(host.takeMessages(), QStringList{QStringLiteral("保存失败 请重试")});
    QCOMPARE(failing.result(), int(QDialog::Rejected));
  }

 private:
  test::SimProcess sim_;
};

}  // namespace kelvora

QTEST_MAIN(kelvora::SearchTabsTest)
#include "search_tabs_test.moc"
