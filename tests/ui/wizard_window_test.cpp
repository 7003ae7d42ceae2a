// The advanced search wizard over a stand-in main window, without a browser engine.
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTabWidget>
#include <QtTest>
#include <set>

#include "net/codec.h"
#include "net/datetime.h"
#include "net/endpoints.h"
#include "net/json.h"
#include "net/settings.h"
#include "net/shared_state.h"
#include "results/results_table.h"
#include "search/search_tabs_qt.h"
#include "support/recording_server.h"
#include "support/sim_process.h"
#include "wizard/search_wizard_walk_qt.h"
#include "wizard/search_wizard_window.h"

#include <httplib.h>

namespace kelvora {
namespace {

QString S(const char* utf8) { return QString::fromUtf8(utf8); }

// The 高级搜索 tab of the main window as the wizard and the search tabs see it:
// its controls inside a tab page, as in the real window.
struct StandInMain {
  StandInMain() {
    tabs = new QTabWidget(&window);
    auto* page = new QWidget;
    kind = new QComboBox(page);
    kind->setObjectName(S("组合框1"));
    kind->addItems({S("列表页"), S("商品页")});
    addresses = new QPlainTextEdit(page);
    addresses->setObjectName(S("编辑框2"));
    for (const char* name : {"按钮8", "按钮14"}) {
      auto* b = new QPushButton(S(name), page);
      b->setObjectName(S(name));
      // As the main window does: 按钮14 opens the wizard over it.
      if (S(name) == S("按钮14"))
        QObject::connect(b, &QPushButton::clicked, &window, [this] { OpenSearchWizard(&window); });
    }
    auto* delay = new QLineEdit(S("0"), page);
    delay->setObjectName(S("编辑框8"));
    tabs->addTab(page, S("高级搜索"));
    window.resize(500, 300);
  }
  QPushButton* button(const char* name) { return window.findChild<QPushButton*>(S(name)); }

  QWidget window;
  QTabWidget* tabs;
  QComboBox* kind;
  QPlainTextEdit* addresses;
};

// Quiet host for the search tabs: the flow test reads the table, not the texts.
struct QuietHost : Host {
  void setStatus(const std::string&) override {}
  void setRowCountLabel(const std::string&) override {}
  void message(const std::string& text) override { messages.push_back(text); }
  void pause(int) override {}
  bool stopRequested() const override { return false; }
  std::vector<std::string> messages;
};

template <typename T = QWidget>
T* Control(QWidget* window, const char* name) {
  T* w = window->findChild<T*>(S(name));
  if (!w) qWarning("no control %s", name);
  return w;
}

// Key presses carrying each character, full-width ones included (as an input method sends them).
void Type(QWidget* box, const QString& text) {
  for (const QChar c : text) {
    const int key = c.unicode() < 0x80 ? c.toUpper().unicode() : int(Qt::Key_unknown);
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, QString(c));
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, QString(c));
    QApplication::sendEvent(box, &press);
    QApplication::sendEvent(box, &release);
  }
}

test::CannedResponse Hanging() {
  test::CannedResponse r;
  r.hang = true;
  return r;
}

void Click(QWidget* window, const char* name) { QTest::mouseClick(Control<QPushButton>(window, name), Qt::LeftButton); }

}  // namespace

class WizardWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QVERIFY(sim_.running());
    Settings settings;
    std::string error;
    QVERIFY(LoadSettingsFile(sim_.configPath(), settings, error));
    QVERIFY(ApplySettings(settings, error));
    simEndpoints_ = *CurrentEndpoints();
    SetMarketCookie("cookie2=kelvorademo0000; _tb_token_=kelvora; t=kelvorademo");
    SetServiceCookie("kv_auth=kelvorademo-session");
    QVERIFY(!SearchWizardWindow::browsersEnabled());  // offscreen: no engine is started
  }

  void controlsAndTexts() {
    StandInMain main;
    SearchWizardWindow wizard(&main.window);
    QCOMPARE(wizard.windowTitle(), S("高级搜索功能简易使用向导"));
    QCOMPARE(wizard.size(), QSize(891, 617));
    auto* tabs = Control<QTabWidget>(&wizard, "高级选择夹1");
    QVERIFY(tabs);
    QCOMPARE(tabs->count(), 3);
    QCOMPARE(tabs->tabText(0), S("使用向导起始页"));
    QCOMPARE(tabs->tabText(1), S("选择列表页属性"));
    QCOMPARE(tabs->tabText(2), S("列表地址生成"));
    QCOMPARE(tabs->currentIndex(), 0);

    struct Case {
      int page;
      const char* name;
      const char* text;
    };
    const Case labels[] = {
        {0, "分组框1", " 搜索列表页面 "},
        {0, "标签7", "请按照标号数字 ①②③④⑤ 操作，"},
        {0, "标签1", "请输入要查询的关键词："},
        {0, "按钮2", "① 下一步"},
        {0, "分组框2", " 搜索指定商品页 "},
        {0, "标签2", "请在下面输入需要查询的商品页地址，一行一个。"},
        {0, "按钮1", "确认输入并关闭"},
        {0, "透明标签1", "向导将会清除现有内容。在本窗口确认后需要手动点击查询"},
        {1, "标签3", "地址："},
        {1, "按钮3", "② 确认并进入下一步"},
        {1, "标签4",
         "③ 请在下方选择商品属性和排序方式。然后点击右侧的 下一步 按钮。请不要点击商品属性、分类、排序以外区域。"},
        {1, "标签6", ""},
        {2, "分组框3", ""},
        {2, "标签5", "所需分页：  第         页 —— 第         页"},
        {2, "按钮4", "④ 生成地址"},
        {2, "按钮5", "⑤ 确认并关闭"},
        {1, "编辑框3", ""},
        {0, "编辑框2", ""},
        {2, "编辑框11", "1"},
        {2, "编辑框12", "3"},
    };
    for (const Case& c : labels) {
      QWidget* w = Control(&wizard, c.name);
      QVERIFY2(w, c.name);
      QVERIFY2(tabs->widget(c.page)->isAncestorOf(w), c.name);
      QString text;
      if (auto* l = qobject_cast<QLabel*>(w))
        text = l->text();
      else if (auto* b = qobject_cast<QPushButton*>(w))
        text = b->text();
      else if (auto* g = qobject_cast<QGroupBox*>(w))
        text = g->title();
      else if (auto* e = qobject_cast<QLineEdit*>(w))
        text = e->text();
      QCOMPARE(text, S(c.text));
    }
    QVERIFY(Control<QLineEdit>(&wizard, "编辑框3")->isReadOnly());
    QVERIFY(Control<QPlainTextEdit>(&wizard, "编辑框5")->isReadOnly());
    QVERIFY(!Control<QPlainTextEdit>(&wizard, "编辑框1")->isReadOnly());
    QCOMPARE(Control(&wizard, "超文本浏览框1")->size(), QSize(856, 505));
    // The browser area stays empty until step ① sends it somewhere.
    QVERIFY(!wizard.browserView());
  }

  void keysInTheBoxes() {
    StandInMain main;
    SearchWizardWindow wizard(&main.window);
    wizard.show();
    auto* tabs = Control<QTabWidget>(&wizard, "高级选择夹1");
    // Enter in the keyword box presses no button: a dialog would press its first one, step ①.
    QTest::keyClick(Control<QLineEdit>(&wizard, "编辑框2"), Qt::Key_Return);
    QCOMPARE(tabs->currentIndex(), 0);
    QVERIFY(!wizard.busy());
    auto* first = Control<QLineEdit>(&wizard, "编辑框11");
    const struct {
      const char* typed;
      const char* kept;
    } cases[] = {{"123", "12"}, {"a7", "7"}, {"-1", "-1"}, {"２", "２"}, {"－３", "－３"}, {" 4", "4"}};
    for (const auto& c : cases) {
      first->clear();
      Type(first, S(c.typed));
      QCOMPARE(first->text(), S(c.kept));
    }
  }

  void stepFourBuildsOneAddressAPage() {
    StandInMain main;
    main.kind->setCurrentIndex(1);
    SearchWizardWindow wizard(&main.window);
    auto* result = Control<QPlainTextEdit>(&wizard, "编辑框5");
    const QString list = S("http://h/s?q=a&sort=sale-desc");
    struct Case {
      const char* first;
      const char* last;
      QString address;
      QString expected;
    };
    const Case cases[] = {
        {"1", "3", S("  ") + list + S(" "),
         S("http://h/s?s=0&q=a&sort=sale-desc\nhttp://h/s?s=44&q=a&sort=sale-desc\n"
           "http://h/s?s=88&q=a&sort=sale-desc\n")},
        {"5", "3", list, S("")},  // also empties what the last click wrote
        {"", "3", list, S("")},
        {"1", "", list, S("")},
        {"２", "３", list, S("http://h/s?s=44&q=a&sort=sale-desc\nhttp://h/s?s=88&q=a&sort=sale-desc\n")},
        {"0", "1", list, S("")},
        {"2", "2", S("http://h/s?q=x&s=88"), S("http://h/s?s=44&q=x&s=88\n")},
        {"1", "2", S("http://h/list"), S("http://h/list\nhttp://h/list\n")},
        {"1", "2", S(""), S("\n\n")},
    };
    for (const Case& c : cases) {
      // Step ② takes the browser's address; without an engine, the one asked for.
      wizard.navigate(c.address);
      Click(&wizard, "按钮3");
      QCOMPARE(Control<QTabWidget>(&wizard, "高级选择夹1")->currentIndex(), 2);
      QCOMPARE(Control<QLineEdit>(&wizard, "编辑框3")->text(), c.address);
      Control<QLineEdit>(&wizard, "编辑框11")->setText(S(c.first));
      Control<QLineEdit>(&wizard, "编辑框12")->setText(S(c.last));
      Click(&wizard, "按钮4");
      QCOMPARE(result->toPlainText(), c.expected);
    }
    // Nothing reaches the main window before step ⑤.
    QCOMPARE(main.kind->currentIndex(), 1);
    QCOMPARE(main.addresses->toPlainText(), QString());
  }

  void stepFiveHandsOverTheResultBox() {
    for (const bool empty : {true, false}) {
      StandInMain main;
      main.kind->setCurrentIndex(1);
      main.addresses->setPlainText(S("http://earlier\nhttp://lines"));
      QPointer<SearchWizardWindow> wizard = OpenSearchWizard(&main.window);
      QVERIFY(wizard->isVisible());
      QVERIFY(wizard->isModal());
      // The main window's controls are found by name even when its tab page is
      // raised above the wizard among the main window's children.
      main.tabs->raise();
      QString expected;
      if (!empty) {
        wizard->navigate(S("http://h/s?q=a"));
        Click(wizard, "按钮3");
        Click(wizard, "按钮4");
        expected = S("http://h/s?s=0&q=a\nhttp://h/s?s=44&q=a\nhttp://h/s?s=88&q=a\n");
        QCOMPARE(Control<QPlainTextEdit>(wizard, "编辑框5")->toPlainText(), expected);
      }
      Click(wizard, "按钮5");
      QCOMPARE(main.kind->currentIndex(), 0);
      QCOMPARE(main.addresses->toPlainText(), expected);
      QCOMPARE(Control<QLineEdit>(wizard, "编辑框2")->text(), QString());  // its own box is untouched
      QVERIFY(!wizard->isVisible());
      QTRY_VERIFY(wizard.isNull());  // it deletes itself once closed
    }
  }

  void itemAddressesNeedText() {
    StandInMain main;
    main.addresses->setPlainText(S("keep"));
    QPointer<SearchWizardWindow> wizard = OpenSearchWizard(&main.window);
    Click(wizard, "按钮1");
    QVERIFY(wizard->isVisible());
    QCOMPARE(main.kind->currentIndex(), 0);
    QCOMPARE(main.addresses->toPlainText(), S("keep"));

    // Taken as typed: blanks, empty lines and all.
    const QString typed = S(" http://127.0.0.1/item.htm?id=1 \n\nhttp://127.0.0.1/item.htm?id=2");
    Control<QPlainTextEdit>(wizard, "编辑框1")->setPlainText(typed);
    Click(wizard, "按钮1");
    QCOMPARE(main.kind->currentIndex(), 1);
    QCOMPARE(main.addresses->toPlainText(), typed);
    QVERIFY(!wizard->isVisible());

    // Closed any other way, the wizard changes nothing.
    main.addresses->setPlainText(S("keep"));
    wizard = OpenSearchWizard(&main.window);
    Control<QPlainTextEdit>(wizard, "编辑框1")->setPlainText(S("http://x"));
    wizard->navigate(S("http://h/s?q=a"));
    Click(wizard, "按钮3");
    Click(wizard, "按钮4");
    wizard->close();
    QCOMPARE(main.kind->currentIndex(), 1);
    QCOMPARE(main.addresses->toPlainText(), S("keep"));
  }

  void stepOneFetchesTheTokenOnAWorker() {
    // The home page never answers: the click returns and the window goes on.
    test::RecordingServer slow;
    slow.on("/www/", Hanging());
    Endpoints hanging = simEndpoints_;
    hanging.MARKET_HOME_URL = slow.url("/www/");
    SetEndpoints(hanging);
    SetNowOverride(MakeDateTime(2015, 3, 5, 0, 30, 0));

    StandInMain main;
    SearchWizardWindow wizard(&main.window);
    QSignalSpy ready(&wizard, &SearchWizardWindow::searchAddressReady);
    Control<QLineEdit>(&wizard, "编辑框2")->setText(S("dress"));
    Click(&wizard, "按钮2");
    QCOMPARE(Control<QTabWidget>(&wizard, "高级选择夹1")->currentIndex(), 1);
    QVERIFY(wizard.busy());
    QVERIFY(slow.waitForRequests(1, std::chrono::seconds(10)));
    int ticks = 0;
    QTimer timer;
    connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(5);
    QTRY_VERIFY(ticks >= 10);  // events are handled while the request hangs
    QCOMPARE(wizard.currentAddress(), QString());
    QCOMPARE(ready.count(), 0);

    // A second click wins; the first fetch's answer is dropped when it comes.
    SetEndpoints(simEndpoints_);
    Click(&wizard, "按钮2");
    QVERIFY(ready.wait(10000));
    const QString expected = QString::fromStdString(
        GbkToUtf8(simEndpoints_.SEARCH_SITE + "/search?q=dress&commend=all&ssid=s5-e&search_type=item&sourceId=tb.index"
                                              "&spm=a21bo.50862.201856-taobao-item.1&initiative_id=tbindexz_20150305"));
    QCOMPARE(ready.takeFirst().at(0).toString(), expected);
    QCOMPARE(wizard.currentAddress(), expected);
    QVERIFY(!wizard.busy());
    slow.stop();  // the first request ends now, with empty text
    QTest::qWait(300);
    QCOMPARE(ready.count(), 0);
    QCOMPARE(wizard.currentAddress(), expected);
    // Without an engine no notification comes: the address box and status stay as they were.
    QCOMPARE(Control<QLineEdit>(&wizard, "编辑框3")->text(), QString());
    QCOMPARE(Control<QLabel>(&wizard, "标签6")->text(), QString());
    SetNowOverride(std::nullopt);
  }

  void closingWhileTheTokenIsFetchedDoesNotWait() {
    test::RecordingServer slow;
    slow.on("/www/", Hanging());
    Endpoints hanging = simEndpoints_;
    hanging.MARKET_HOME_URL = slow.url("/www/");
    SetEndpoints(hanging);
    StandInMain main;
    QPointer<SearchWizardWindow> wizard = OpenSearchWizard(&main.window);
    Click(wizard, "按钮2");
    QVERIFY(slow.waitForRequests(1, std::chrono::seconds(10)));
    wizard->close();
    QTRY_VERIFY(wizard.isNull());
    QCOMPARE(main.addresses->toPlainText(), QString());
    SetEndpoints(simEndpoints_);
  }

  void wizardPagesRunThroughTheListSearch() {
    // From 按钮14 to rows: the keyword's sorted result page, two page addresses,
    // 按钮8 in list-page mode.
    StandInMain main;
    QuietHost host;
    ResultsTable table;
    SearchTabsController tabs(&main.window, table, host,
                              [&](bool running) { main.button("按钮8")->setEnabled(!running); });
    WizardWalk walk;
    walk.keyword = S("连衣裙");
    walk.refinement = S("&sort=sale-desc");
    walk.firstPage = S("1");
    walk.lastPage = S("2");
    QStringList shots;
    walk.shoot = [&](QWidget*, const QString& name) { shots << name; };
    QCOMPARE(WalkSearchWizard(&main.window, walk), QString());
    QCOMPARE(shots, (QStringList{S("wizard-start"), S("wizard-browser"), S("wizard-addresses"), S("list-search")}));

    const QStringList lines = main.addresses->toPlainText().split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 3);  // two addresses, each with its line break
    const QString base = QString::fromStdString(simEndpoints_.SEARCH_SITE) + S("/search?s=");
    QVERIFY2(lines[0].startsWith(base + S("0&q=%C1%AC%D2%C2%C8%B9&")), qPrintable(lines[0]));
    QVERIFY2(lines[1].startsWith(base + S("44&q=%C1%AC%D2%C2%C8%B9&")), qPrintable(lines[1]));
    QVERIFY(lines[0].endsWith(S("&sort=sale-desc")));
    QCOMPARE(main.kind->currentIndex(), 0);
    QVERIFY(host.messages.empty());

    // Every result of the keyword is a row (they fit on the first page).
    httplib::Client truth("127.0.0.1", sim_.port());
    auto answer = truth.Get("/sim/keyword.json?q=%E8%BF%9E%E8%A1%A3%E8%A3%99");
    QVERIFY(answer && answer->status == 200);
    JsonReader reader;
    reader.load("k", answer->body);
    const int count = reader.getLength("k.ids");
    QVERIFY(count > 0 && count <= 44);
    std::set<std::string> expected, seen;
    for (int i = 0; i < count; ++i) expected.insert(reader.getText("k.ids[" + std::to_string(i) + "]"));
    QCOMPARE(table.rowCount(), count);
    for (int r = 0; r < table.rowCount(); ++r) {
      const std::string link = table.cellText(r, ResultColumn::Link);
      seen.insert(link.substr(link.find("id=") + 3));
    }
    QVERIFY(seen == expected);
  }

 private:
  test::SimProcess sim_;
  Endpoints simEndpoints_;
};

}  // namespace kelvora

QTEST_MAIN(kelvora::WizardWindowTest)
#include "wizard_window_test.moc"
