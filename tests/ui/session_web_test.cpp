// The session windows with their browser, against kelvora-sim: the notice page of
// the login window, and signing in to the marketplace inside the capture window
// with the cookies read from the browser itself (HTTP-only ones included).
#include <QApplication>
#include <QClipboard>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QWebEngineCookieStore>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineView>
#include <QtTest>

#include "net/settings.h"
#include "net/shared_state.h"
#include "session/cookie_capture_window.h"
#include "session/login_window.h"
#include "session/session_qt.h"
#include "support/sim_process.h"
#include "ui/browser_pane_qt.h"
#include "ui/desktop_calls_qt.h"
#include "ui/web_page_support.h"

using namespace kelvora;

namespace {

template <typename T>
T* Child(QWidget* window, const char* name) {
  T* child = window->findChild<T*>(QString::fromUtf8(name));
  if (!child) qFatal("no control %s", name);
  return child;
}

using kelvora::test::RunScript;
bool WaitForLoad(QWebEngineView* view, const QString& address) {
  return kelvora::test::WaitForLoad(view, address, 20000);
}

}  // namespace

class SessionWebTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QVERIFY(sim_.running());
    Settings settings;
    std::string error;
    QVERIFY2(LoadSettingsFile(sim_.configPath(), settings, error), error.c_str());
    QVERIFY2(ApplySettings(settings, error), error.c_str());
    root_ = QString::fromStdString(sim_.baseUrl());
    SetMessageInterceptor([this](const QString&, const QString& text) { messages_.push_back(text); });
    QVERIFY(BrowserPane::browsersEnabled());
  }

  void init() { messages_.clear(); }

  void loginWindowShowsTheNoticePage() {
    LoginWindow window;
    window.show();
    QWebEngineView* view = Child<BrowserPane>(&window, "超文本浏览框1")->view();
    QVERIFY(view);
    QVERIFY(view->page()->profile()->isOffTheRecord());
    const QString notice = root_ + "/service/index.php/Login/Notice?ver=3.3";
    QVERIFY(WaitForLoad(view, notice));
    QCOMPARE(view->title(), QStringLiteral("公告"));
    QVERIFY(RunScript(view->page(), "document.body.textContent").toString().contains("Kelvora 3.3"));
  }

  void capturedCookiesOpenTheCart() {
    QPointer<CookieCaptureWindow> window = CookieCaptureWindow::open();
    QWebEngineView* view = window->browser()->view();
    QVERIFY(view);
    QVERIFY(view->page()->profile()->isOffTheRecord());
    const QString login = root_ + "/login/member/login.jhtml";
    QVERIFY(WaitForLoad(view, login));

    // Sign in as a user would, by submitting the page's form.
    RunScript(view->page(),
              "var f=document.forms[0];f.elements['user'].value='buyer';"
              "f.elements['password'].value='pw';f.submit();");
    QVERIFY(QTest::qWaitFor(
        [&] { return window->readBrowserCookies(sim_.baseUrl() + "/").value_or("").find("uc1=") != std::string::npos; },
        20000));

    // Every browser of the program shares that sign-in (the wizard's searches need it).
    BrowserPane other(QStringLiteral("other"), nullptr);
    QVERIFY(other.ensureView());
    QCOMPARE(other.view()->page()->profile(), view->page()->profile());
    QCOMPARE(other.view()->page()->profile(), SharedBrowserProfile());
    other.navigate(login);
    QVERIFY(WaitForLoad(other.view(), login));
    QVERIFY(RunScript(other.view()->page(), "document.cookie").toString().contains("_tb_token_="));

    QTest::mouseClick(Child<QPushButton>(window, "按钮1"), Qt::LeftButton);
    const QString cookie = Child<QPlainTextEdit>(window, "编辑框1")->toPlainText();
    QVERIFY(Child<QGroupBox>(window, "分组框1")->isVisible());
    QVERIFY2(cookie.contains("cookie2=") && cookie.contains("uc1=cookie14=") && cookie.contains("_tb_token_="),
             qPrintable(cookie));
    // cookie2 and uc1 are HTTP-only: the page's script cannot see them.
    const QString scriptVisible = RunScript(view->page(), "document.cookie").toString();
    QVERIFY(!scriptVisible.contains("cookie2=") && !scriptVisible.contains("uc1="));
    QVERIFY(messages_.empty());

    QSignalSpy tested(window.data(), &CookieCaptureWindow::cartTestFinished);
    QTest::mouseClick(Child<QPushButton>(window, "按钮4"), Qt::LeftButton);
    QVERIFY(tested.wait(20000) || tested.count() == 1);
    QCOMPARE(messages_, QStringList{QStringLiteral("恭喜您。该数据可用。请复制。")});

    QTest::mouseClick(Child<QPushButton>(window, "按钮5"), Qt::LeftButton);
    QCOMPARE(QGuiApplication::clipboard()->text(), cookie);
    QVERIFY(!window->isVisible());
    delete window.data();
  }

  void aFailedReadShowsWhatTheScriptSees() {
    // The browsers share one session: it starts afresh here, without cookies.
    SharedBrowserProfile()->cookieStore()->deleteAllCookies();
    QTest::qWait(200);
    QPointer<CookieCaptureWindow> window = CookieCaptureWindow::open();
    QWebEngineView* view = window->browser()->view();
    const QString login = root_ + "/login/member/login.jhtml";
    QVERIFY(WaitForLoad(view, login));
    // A cookie the root address does not get, visible to the page's script.
    RunScript(view->page(), "document.cookie='only_here=1; path=/login';");
    QTest::mouseClick(Child<QPushButton>(window, "按钮1"), Qt::LeftButton);
    QCOMPARE(messages_.size(), 1);
    QVERIFY(messages_[0].startsWith(QStringLiteral("取值失败！")));
    QVERIFY(!Child<QGroupBox>(window, "分组框1")->isVisible());
    QVERIFY(QTest::qWaitFor(
        [&] {
          return RunScript(view->page(), "document.body ? document.body.textContent : ''").toString() == "only_here=1";
        },
        10000));
    delete window.data();
  }

 private:
  test::SimProcess sim_;
  QString root_;
  QStringList messages_;
};

int main(int argc, char** argv) {
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication app(argc, argv);
  SessionWebTest test;
  return QTest::qExec(&test, argc, argv);
}
#include "session_web_test.moc"
