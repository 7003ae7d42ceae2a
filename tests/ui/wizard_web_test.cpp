// The wizard's browser against kelvora-sim: its three notifications, a click on a
// sort link of the result page, and the addresses that come of it.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTabWidget>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <QtTest>

#include "net/codec.h"
#include "net/endpoints.h"
#include "net/settings.h"
#include "net/shared_state.h"
#include "results/results_table.h"
#include "search/search_tabs_qt.h"
#include "support/quiet_host.h"
#include "support/sim_process.h"
#include "wizard/search_wizard_walk_qt.h"
#include "wizard/search_wizard_window.h"

namespace kelvora {
namespace {

QString S(const char* utf8) { return QString::fromUtf8(utf8); }

struct StandInMain {
  StandInMain() {
    kind = new QComboBox(&window);
    kind->setObjectName(S("组合框1"));
    kind->addItems({S("列表页"), S("商品页")});
    addresses = new QPlainTextEdit(&window);
    addresses->setObjectName(S("编辑框2"));
    for (const char* name : {"按钮8", "按钮14"}) {
      auto* b = new QPushButton(S(name), &window);
      b->setObjectName(S(name));
      // As the main window does: 按钮14 opens the wizard over it.
      if (S(name) == S("按钮14"))
        QObject::connect(b, &QPushButton::clicked, &window, [this] { OpenSearchWizard(&window); });
    }
    auto* delay = new QLineEdit(S("0"), &window);
    delay->setObjectName(S("编辑框8"));
  }
  QPushButton* button(const char* name) { return window.findChild<QPushButton*>(S(name)); }

  QWidget window;
  QComboBox* kind;
  QPlainTextEdit* addresses;
};

using test::QuietHost;

template <typename T = QWidget>
T* Control(QWidget* window, const char* name) {
  return window->findChild<T*>(S(name));
}

}  // namespace

class WizardWebTest : public QObject {
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
    QVERIFY(SearchWizardWindow::browsersEnabled());
  }

  void notificationsAndAClickInThePage() {
    StandInMain main;
    QuietHost host;
    ResultsTable table;
    SearchTabsController tabs(&main.window, table, host,
                              [&](bool running) { main.button("按钮8")->setEnabled(!running); });
    main.window.show();
    QTest::mouseClick(main.button("按钮14"), Qt::LeftButton);
    QPointer<SearchWizardWindow> wizard = main.window.findChild<SearchWizardWindow*>();
    QVERIFY(wizard && wizard->isVisible());
    auto* status = Control<QLabel>(wizard, "标签6");
    auto* address = Control<QLineEdit>(wizard, "编辑框3");

    // What 标签6 says right after each start and end of a load (connected after the
    // window's own handlers, as soon as the browser exists).
    QStringList seen;
    connect(wizard, &SearchWizardWindow::searchAddressReady, this, [&] {
      QWebEngineView* view = wizard->browserView();
      QVERIFY(view);
      connect(view, &QWebEngineView::loadStarted, this, [&] { seen << status->text(); });
      connect(view, &QWebEngineView::loadFinished, this, [&](bool ok) { seen << status->text() + (ok ? "" : "!"); });
    });
    Control<QLineEdit>(wizard, "编辑框2")->setText(S("连衣裙"));
    QTest::mouseClick(Control<QPushButton>(wizard, "按钮2"), Qt::LeftButton);
    QCOMPARE(Control<QTabWidget>(wizard, "高级选择夹1")->currentIndex(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(seen.size(), 2, 20000);
    QCOMPARE(seen, (QStringList{S("载入中。。。"), S("载入完毕。")}));
    const QString search = QString::fromStdString(GbkToUtf8(CurrentEndpoints()->SEARCH_SITE));
    QVERIFY2(address->text().startsWith(search + S("/search?q=%C1%AC%D2%C2%C8%B9&commend=all&ssid=s5-e&")),
             qPrintable(address->text()));
    QVERIFY(address->text().contains(S("&spm=a21bo.50862.201856-taobao-item.1&initiative_id=tbindexz_")));

    // Step ③: the user clicks 销量 in the page; the address follows the browser.
    wizard->browserView()->page()->runJavaScript(QStringLiteral("document.getElementById('sort-sale-desc').click();"));
    QTRY_COMPARE_WITH_TIMEOUT(seen.size(), 4, 20000);
    QCOMPARE(seen.mid(2), (QStringList{S("载入中。。。"), S("载入完毕。")}));
    const QString sorted = search + S("/search?q=%C1%AC%D2%C2%C8%B9&commend=all&search_type=item&sort=sale-desc");
    QCOMPARE(address->text(), sorted);

    // Steps ②, ④ and ⑤, then 按钮8 of the main window.
    QTest::mouseClick(Control<QPushButton>(wizard, "按钮3"), Qt::LeftButton);
    QCOMPARE(Control<QTabWidget>(wizard, "高级选择夹1")->currentIndex(), 2);
    Control<QLineEdit>(wizard, "编辑框12")->setText(S("2"));
    QTest::mouseClick(Control<QPushButton>(wizard, "按钮4"), Qt::LeftButton);
    const QString pages = search + S("/search?s=0&q=%C1%AC%D2%C2%C8%B9&commend=all&search_type=item&sort=sale-desc\n") +
                          search + S("/search?s=44&q=%C1%AC%D2%C2%C8%B9&commend=all&search_type=item&sort=sale-desc\n");
    QCOMPARE(Control<QPlainTextEdit>(wizard, "编辑框5")->toPlainText(), pages);
    QTest::mouseClick(Control<QPushButton>(wizard, "按钮5"), Qt::LeftButton);
    QTRY_VERIFY(wizard.isNull());
    QCOMPARE(main.addresses->toPlainText(), pages);
    QCOMPARE(main.kind->currentIndex(), 0);

    QTest::mouseClick(main.button("按钮8"), Qt::LeftButton);
    QVERIFY(!main.button("按钮8")->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(main.button("按钮8")->isEnabled(), 60000);
    QVERIFY(table.rowCount() > 0);
  }

  void walkWithTheBrowser() {
    StandInMain main;
    QuietHost host;
    ResultsTable table;
    SearchTabsController tabs(&main.window, table, host, {});
    main.window.show();
    WizardWalk walk;
    walk.keyword = S("连衣裙");
    walk.refinement = S("&filter_tianmao=tmall");
    walk.firstPage = S("3");
    walk.lastPage = S("3");
    walk.runSearch = false;
    QCOMPARE(WalkSearchWizard(&main.window, walk), QString());
    const QString text = main.addresses->toPlainText();
    QVERIFY2(text.contains(S("/search?s=88&q=%C1%AC%D2%C2%C8%B9&commend=all&ssid=s5-e&")), qPrintable(text));
    QVERIFY(text.endsWith(S("&filter_tianmao=tmall\n")));
    QCOMPARE(table.rowCount(), 0);
  }

 private:
  test::SimProcess sim_;
};

}  // namespace kelvora

QTEST_MAIN(kelvora::WizardWebTest)
#include "wizard_web_test.moc"
