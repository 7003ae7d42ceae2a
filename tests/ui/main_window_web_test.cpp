// The main window with its notice browser, under Xvfb.
#include <QSignalSpy>
#include <QTest>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineView>

#include "app/main_window.h"
#include "net/settings.h"
#include "net/shared_state.h"
#include "support/sim_process.h"
#include "ui/desktop_host_qt.h"
#include "ui/ui_support.h"

using namespace kelvora;

class MainWindowWebTest : public QObject {
  Q_OBJECT

 private slots:
  void noticePageIsShownAndNothingIsStored() {
    test::SimProcess sim;
    QVERIFY(sim.running());
    Settings settings;
    std::string error;
    QVERIFY(LoadSettingsFile(sim.configPath(), settings, error) && ApplySettings(settings, error));
    SetServiceCookie("kv_auth=kelvorademo-session");
    test::DesktopRecorder desktop;
    test::ScratchSettings registry;
    test::ProgramDir dir;
    MainWindowOptions options;
    options.programDir = dir.path();
    options.networkProbe = false;
    MainWindow w(options);
    QWebEngineView* notice = w.noticeView();
    QVERIFY(notice);
    auto* area = w.findChild<QWidget*>(QStringLiteral("超文本界面框1"));
    QVERIFY(area && notice->parentWidget() == area);
    QCOMPARE(area->geometry(), QRect(550, 13, 344, 128));
    QVERIFY(notice->page()->profile()->isOffTheRecord());

    QSignalSpy loaded(notice, &QWebEngineView::loadFinished);
    QVERIFY(w.startUp({}).running);
    QVERIFY(loaded.wait(20000));
    QCOMPARE(loaded.first().first().toBool(), true);
    QCOMPARE(notice->url().toString(),
             QString::fromStdString(sim.baseUrl()) + QStringLiteral("/vendor/softdir/vandel/xzs.htm?ver=3.3"));
    QVERIFY2(notice->title().contains(QStringLiteral("公告")), qPrintable(notice->title()));
    QVERIFY(!notice->grab().isNull());
    QVERIFY(desktop.messages.empty());
    w.host().waitForAccountRefreshes();
  }
};

QTEST_MAIN(MainWindowWebTest)
#include "main_window_web_test.moc"
