// The capture window without a browser engine: its life (shown, hidden with the
// keep-alive running, unloaded), the failed read, the cart test and the hand-over.
#include <QApplication>
#include <QClipboard>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <thread>

#include "net/endpoints.h"
#include "net/shared_state.h"
#include "session/cookie_capture_window.h"
#include "session/cookie_entry_window.h"
#include "session/session_qt.h"
#include "support/recording_server.h"
#include "ui/browser_pane_qt.h"
#include "ui/desktop_calls_qt.h"

using namespace kelvora;
using test::CannedResponse;
using test::RecordingServer;

namespace {

template <typename T>
T* Child(QWidget* window, const char* name) {
  T* child = window->findChild<T*>(QString::fromUtf8(name));
  if (!child) qFatal("no control %s", name);
  return child;
}

}  // namespace

class CookieCaptureWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    SetMessageInterceptor([this](const QString&, const QString& text) { messages_.push_back(text); });
  }

  void init() {
    server_ = std::make_unique<RecordingServer>();
    server_->on("/service/index.php/Getinfo/get", CannedResponse{.headers = {}, .body = "{}"});
    Endpoints e = DefaultEndpoints();
    e.SERVICE_BASE = server_->url("/service/");
    e.CART_SITE = server_->url("/cart");
    e.LOGIN_SITE = server_->url("/login/member/login.jhtml");
    e.MARKET_HOME_URL = server_->url("/www/");
    e.MARKET_ROOT_URL = server_->url("/");
    SetEndpoints(e);
    SetMarketCookie("");
    messages_.clear();
  }

  void cleanup() {
    delete CookieCaptureWindow::instance();
    release_ = true;
    server_.reset();
    SetEndpoints(DefaultEndpoints());
    SetMarketCookie("");
  }

  void closingUnloadsAnEmptyWindowAndHidesAFullOne() {
    QPointer<CookieCaptureWindow> window = CookieCaptureWindow::open();
    QVERIFY(window->isVisible());
    QCOMPARE(window->browser()->lastAddress(), QString::fromStdString(server_->url("/login/member/login.jhtml")));
    auto* timer = window->findChild<QTimer*>(QStringLiteral("时钟1"));
    QVERIFY(timer && !timer->isActive());
    QVERIFY(!Child<QGroupBox>(window, "分组框1")->isVisible());

    window->close();
    QTRY_VERIFY(window.isNull());

    window = CookieCaptureWindow::open();
    Child<QPlainTextEdit>(window, "编辑框1")->setPlainText("cookie2=abc; t=1");
    window->close();
    QVERIFY(!window.isNull());
    QVERIFY(!window->isVisible());
    timer = window->findChild<QTimer*>(QStringLiteral("时钟1"));
    QVERIFY(timer->isActive());
    QCOMPARE(timer->interval(), 60000);

    // Reopened while hidden: the same window, its keep-alive still running.
    QCOMPARE(CookieCaptureWindow::open(), window.data());
    QVERIFY(window->isVisible() && timer->isActive());

    // Each tick revisits the home page (a short interval stands in for the minute).
    window->hide();
    timer->setInterval(10);
    QTRY_COMPARE(window->browser()->lastAddress(), QString::fromStdString(server_->url("/www/")));
  }

  void aFailedReadShowsTheScriptCookiesAndKeepsThePanel() {
    CookieCaptureWindow* window = CookieCaptureWindow::open();
    QTest::mouseClick(Child<QPushButton>(window, "按钮1"), Qt::LeftButton);
    QCOMPARE(messages_, QStringList{QStringLiteral(
                            "取值失败！您的浏览器不支持此操作。\r\n请查看网页框内显示的文字。请复制所有内容。\r\n"
                            "如果没有显示或者不是纯粹的文字请手动取值。")});
    QCOMPARE(window->browser()->lastAddress(), QStringLiteral("javascript:document.cookie;"));
    QVERIFY(!Child<QGroupBox>(window, "分组框1")->isVisible());
    QCOMPARE(Child<QPlainTextEdit>(window, "编辑框1")->toPlainText(), QString());
  }

  void cartTestRunsBesideTheWindow() {
    release_ = false;
    server_->on("/cart/cart.htm", [this](const test::RecordedRequest&) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (!release_ && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      return CannedResponse{.headers = {{"Content-Type", "text/html; charset=utf-8"}},
                            .body = "<html><head><title>淘宝网 - 我的购物车</title></head></html>"};
    });
    CookieCaptureWindow* window = CookieCaptureWindow::open();
    Child<QPlainTextEdit>(window, "编辑框1")->setPlainText("cookie2=abc; t=1");
    auto* testButton = Child<QPushButton>(window, "按钮4");
    QSignalSpy finished(window, &CookieCaptureWindow::cartTestFinished);
    QTest::mouseClick(testButton, Qt::LeftButton);
    QVERIFY(window->testing());
    QVERIFY(!testButton->isEnabled());
    QVERIFY(server_->waitForRequests(1, std::chrono::seconds(5)));
    QVERIFY(messages_.empty());

    release_ = true;
    QVERIFY(finished.wait(10000) || finished.count() == 1);
    QCOMPARE(messages_, QStringList{QStringLiteral("恭喜您。该数据可用。请复制。")});
    QVERIFY(testButton->isEnabled());
    QVERIFY(Child<QPlainTextEdit>(window, "编辑框2")->toPlainText().contains(QStringLiteral("我的购物车</title>")));
    QCOMPARE(server_->requests()[0].header("Cookie").value_or(""), std::string("cookie2=abc; t=1"));

    // An empty box tests the accepted cookie instead; the login page lacks the marker.
    server_->on("/cart/cart.htm", CannedResponse{.headers = {}, .body = "<title>login</title>"});
    SetMarketCookie("cookie2=accepted");
    Child<QPlainTextEdit>(window, "编辑框1")->setPlainText("");
    messages_.clear();
    QTest::mouseClick(testButton, Qt::LeftButton);
    QVERIFY(finished.wait(10000) || finished.count() == 2);
    QCOMPARE(messages_, QStringList{QStringLiteral("当前数据可能不正确。请重试或比对调试数据")});
    QCOMPARE(Child<QPlainTextEdit>(window, "编辑框2")->toPlainText(), QStringLiteral("<title>login</title>"));
    QCOMPARE(server_->requests().back().header("Cookie").value_or(""), std::string("cookie2=accepted"));
  }

  void copyAndUseHandsTheTextToTheCookieWindow() {
    CookieEntryWindow entry;
    entry.show();
    CookieCaptureWindow* window = CookieCaptureWindow::open();
    const QString text = QStringLiteral("cookie2=abc; _tb_token_=x; t=1");
    Child<QPlainTextEdit>(window, "编辑框1")->setPlainText(text);
    QTest::mouseClick(Child<QPushButton>(window, "按钮5"), Qt::LeftButton);

    QCOMPARE(QGuiApplication::clipboard()->text(), text);
    QCOMPARE(
        messages_,
        QStringList{QStringLiteral("已复制。软件会在后台自动刷新以保持会话\r\n请在半小时后重新取值以保证正常使用。")});
    QCOMPARE(Child<QPlainTextEdit>(&entry, "编辑框1")->toPlainText(), text);
    QVERIFY(!window->isVisible());
    QCOMPARE(window->findChild<QTimer*>(QStringLiteral("时钟1"))->interval(), 60000);
    QCOMPARE(MarketCookie(), std::string());  // the user still confirms in the cookie window

    // With an empty box the window stays.
    CookieCaptureWindow::open();
    Child<QPlainTextEdit>(window, "编辑框1")->setPlainText("");
    QTest::mouseClick(Child<QPushButton>(window, "按钮5"), Qt::LeftButton);
    QVERIFY(window->isVisible());
  }

 private:
  std::unique_ptr<RecordingServer> server_;
  QStringList messages_;
  std::atomic<bool> release_{true};
};

QTEST_MAIN(CookieCaptureWindowTest)
#include "cookie_capture_window_test.moc"
