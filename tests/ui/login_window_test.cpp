// The sign-in window against a loopback service: every answer's message, the
// start-up hook, the desktop links, and a window that stays responsive meanwhile.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <thread>

#include "app/demo_qt.h"
#include "net/codec.h"
#include "net/endpoints.h"
#include "net/shared_state.h"
#include "session/login_window.h"
#include "session/session_qt.h"
#include "support/recording_server.h"
#include "ui/desktop_calls_qt.h"

using namespace kelvora;
using test::CannedResponse;
using test::RecordingServer;

namespace {

struct Message {
  QString caption, text;
};

template <typename T>
T* Child(QWidget* window, const char* name) {
  T* child = window->findChild<T*>(QString::fromUtf8(name));
  if (!child) qFatal("no control %s", name);
  return child;
}

// Holds a request until the test lets it go, or 5 s: a window that waited for the
// answer would then find it already there and fail its busy checks instead of hanging.
void HoldUntil(const std::atomic<bool>& release) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!release && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

LoginWindow* OpenLoginWindow() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* login = qobject_cast<LoginWindow*>(w); login && login->isVisible()) return login;
  return nullptr;
}

}  // namespace

class LoginWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    SetMessageInterceptor([this](const QString& caption, const QString& text) {
      messages_.push_back({caption, text});
    });
    SetOpenUrlInterceptor([this](const QUrl& url) { opened_.push_back(url); });
  }

  void init() {
    server_ = std::make_unique<RecordingServer>();
    Endpoints e = DefaultEndpoints();
    e.SERVICE_BASE = server_->url("/service/");
    SetEndpoints(e);
    SetServiceCookie("");
    messages_.clear();
    opened_.clear();
  }

  void cleanup() {
    release_ = true;
    server_.reset();
    SetEndpoints(DefaultEndpoints());
    SetServiceCookie("");
  }

  void eachAnswerGivesItsMessage_data() {
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("message");  // empty: none
    QTest::addColumn<bool>("sent");
    QTest::newRow("user of one byte") << " a "
                                      << "123456"
                                      << ""
                                      << "请输入正确的用户名和密码" << false;
    QTest::newRow("password of five bytes") << "demo"
                                            << "  12345  "
                                            << ""
                                            << "请输入正确的用户名和密码" << false;
    QTest::newRow("err 2") << "demo"
                           << "wrong1"
                           << R"({"err":2})"
                           << "用户密码错误。请重新输入" << true;
    QTest::newRow("err 1") << "nobody"
                           << "123456"
                           << R"({"err":1})"
                           << "用户名不存在。请重新输入" << true;
    QTest::newRow("err -1") << "broken"
                            << "123456"
                            << R"({"err":-1})"
                            << "登录错误请重试" << true;
    QTest::newRow("err 0, uid 0") << "demo"
                                  << "demo123"
                                  << R"({"err":0,"login_uid":0,"login_user":"demo"})"
                                  << "登录失败请重试" << true;
    QTest::newRow("not JSON") << "demo"
                              << "demo123"
                              << "<html>busy</html>"
                              << "登录失败请重试" << true;
    QTest::newRow("err 3") << "expired"
                           << "123456"
                           << R"({"err":3,"login_uid":5})"
                           << "" << true;
  }

  void eachAnswerGivesItsMessage() {
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QString, answer);
    QFETCH(QString, message);
    QFETCH(bool, sent);
    server_->on("/service/index.php/Login/handle_login",
                CannedResponse{.headers = {{"Set-Cookie", "PHPSESSID=never; path=/"}}, .body = answer.toStdString()});
    LoginWindow window;
    window.show();
    Child<QLineEdit>(&window, "编辑框1")->setText(user);
    Child<QLineEdit>(&window, "编辑框2")->setText(password);
    QSignalSpy finished(&window, &LoginWindow::attemptFinished);
    QTest::mouseClick(Child<QPushButton>(&window, "按钮1"), Qt::LeftButton);
    QVERIFY(finished.wait(10000) || finished.count() == 1);

    if (message.isEmpty()) {
      QVERIFY(messages_.empty());
    } else {
      QCOMPARE(messages_.size(), size_t(1));
      QCOMPARE(messages_[0].caption, QStringLiteral("信息："));
      QCOMPARE(messages_[0].text, message);
    }
    QCOMPARE(server_->requestCount(), size_t(sent ? 1 : 0));
    // A failure leaves the window open for another try, with the trimmed values.
    QVERIFY(window.isVisible());
    QVERIFY(Child<QPushButton>(&window, "按钮1")->isEnabled());
    QCOMPARE(Child<QLineEdit>(&window, "编辑框1")->text(), user.trimmed());
    QCOMPARE(Child<QLineEdit>(&window, "编辑框2")->text(), password.trimmed());
    QCOMPARE(ServiceCookie(), std::string());
    // A wrong password is selected, ready to be typed over.
    if (answer.contains(QStringLiteral("\"err\":2")))
      QCOMPARE(Child<QLineEdit>(&window, "编辑框2")->selectedText(), password.trimmed());
  }

  // The answer of a sign-in came, but the window closed before it showed it: no
  // session, so start-up ends as after a window closed without signing in.
  void closingAsTheAnswerArrivesTakesNoSession() {
    server_->on("/service/index.php/Login/handle_login",
                CannedResponse{.headers = {{"Set-Cookie", "kv_auth=late; path=/"}},
                               .body = R"({"err":0,"login_uid":1001,"login_user":"demo"})"});
    QTimer::singleShot(0, this, [this] {
      LoginWindow* w = OpenLoginWindow();
      if (!w) return;
      Child<QLineEdit>(w, "编辑框1")->setText("demo");
      Child<QLineEdit>(w, "编辑框2")->setText("demo123");
      QTest::mouseClick(Child<QPushButton>(w, "按钮1"), Qt::LeftButton);
      // The answer is in and waits for the window, which is closed before it gets to it.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (server_->requestCount() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      w->close();
    });
    QVERIFY(!SignInAtStartup(nullptr, nullptr));
    QTest::qWait(100);
    QCOMPARE(ServiceCookie(), std::string());
    QVERIFY(messages_.empty());
  }

  void successTakesBothCookiesWelcomesAndCloses() {
    server_->on("/service/index.php/Login/handle_login",
                CannedResponse{.headers = {{"Content-Type", "application/json; charset=utf-8"},
                                           {"Set-Cookie", "PHPSESSID=abc; path=/"},
                                           {"Set-Cookie", "kv_auth=xyz; path=/; HttpOnly"}},
                               .body = R"({"err":0,"login_uid":1002,"login_user":"特别"})"});
    LoginWindow window;
    window.show();
    Child<QLineEdit>(&window, "编辑框1")->setText("special");
    Child<QLineEdit>(&window, "编辑框2")->setText("a&b=c+d%e f");
    QSignalSpy finished(&window, &LoginWindow::attemptFinished);
    QTest::mouseClick(Child<QPushButton>(&window, "按钮1"), Qt::LeftButton);
    QVERIFY(finished.wait(10000) || finished.count() == 1);

    QCOMPARE(messages_.size(), size_t(1));
    QCOMPARE(messages_[0].text, QStringLiteral("特别  您好\r\n感谢您使用本软件！\r\n"));
    QCOMPARE(ServiceCookie(), std::string("PHPSESSID=abc; path=/;kv_auth=xyz; path=/; HttpOnly;"));
    QVERIFY(!window.isVisible());
    QCOMPARE(window.result(), int(QDialog::Accepted));
    const auto seen = server_->requests();
    QCOMPARE(seen.size(), size_t(1));
    // The password's form characters arrive encoded, so the service reads the same password.
    QCOMPARE(seen[0].body, std::string("username_box=special&password_box=a%26b%3Dc%2Bd%25e+f"));
  }

  void hookIsTrueOnlyAfterASignIn() {
    server_->on("/service/index.php/Login/handle_login",
                CannedResponse{.headers = {{"Set-Cookie", "kv_auth=1; path=/"}},
                               .body = R"({"err":0,"login_uid":1001,"login_user":"demo"})"});
    // Closed without signing in.
    QTimer::singleShot(0, this, [] {
      if (LoginWindow* w = OpenLoginWindow()) w->close();
    });
    QVERIFY(!SignInAtStartup(nullptr, nullptr));
    QCOMPARE(server_->requestCount(), size_t(0));

    // Demo mode: the boxes come filled, a click signs in.
    const DemoAccount demo{"demo", "demo123", "cookie2=kelvorademo0000; _tb_token_=kelvora; t=kelvorademo"};
    QString shownUser;
    QTimer::singleShot(0, this, [&shownUser] {
      LoginWindow* w = OpenLoginWindow();
      if (!w) return;
      shownUser = Child<QLineEdit>(w, "编辑框1")->text();
      QTest::mouseClick(Child<QPushButton>(w, "按钮1"), Qt::LeftButton);
    });
    QVERIFY(SignInAtStartup(nullptr, &demo));
    QCOMPARE(shownUser, QStringLiteral("demo"));
    QCOMPARE(ServiceCookie(), std::string("kv_auth=1; path=/;"));
  }

  void windowStaysResponsiveWhileTheServiceIsSlow() {
    release_ = false;
    server_->on("/service/index.php/Login/handle_login", [this](const test::RecordedRequest&) {
      HoldUntil(release_);
      return CannedResponse{.headers = {{"Set-Cookie", "kv_auth=slow; path=/"}},
                            .body = R"({"err":0,"login_uid":1001,"login_user":"demo"})"};
    });
    LoginWindow window;
    window.show();
    Child<QLineEdit>(&window, "编辑框1")->setText("demo");
    Child<QLineEdit>(&window, "编辑框2")->setText("demo123");
    QTest::mouseClick(Child<QPushButton>(&window, "按钮1"), Qt::LeftButton);

    // The click has returned while the service holds the request: the window is busy, not frozen.
    QVERIFY(window.busy());
    QVERIFY(!Child<QPushButton>(&window, "按钮1")->isEnabled());
    QVERIFY(!Child<QLineEdit>(&window, "编辑框2")->isEnabled());
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
    ticker.start(5);
    QTRY_VERIFY_WITH_TIMEOUT(server_->requestCount() == 1 && ticks >= 5, 10000);
    QVERIFY(messages_.empty());
    QVERIFY(window.busy());

    release_ = true;
    QTRY_VERIFY_WITH_TIMEOUT(!messages_.empty(), 10000);
    QCOMPARE(messages_[0].text, QStringLiteral("demo  您好\r\n感谢您使用本软件！\r\n"));
    QVERIFY(!window.isVisible());
  }

  void closingWhileBusyAbandonsTheAttempt() {
    release_ = false;
    server_->on("/service/index.php/Login/handle_login", [this](const test::RecordedRequest&) {
      HoldUntil(release_);
      return CannedResponse{.headers = {{"Set-Cookie", "kv_auth=late; path=/"}},
                            .body = R"({"err":0,"login_uid":1001,"login_user":"demo"})"};
    });
    QTimer::singleShot(0, this, [this] {
      LoginWindow* w = OpenLoginWindow();
      if (!w) return;
      Child<QLineEdit>(w, "编辑框1")->setText("demo");
      Child<QLineEdit>(w, "编辑框2")->setText("demo123");
      QTest::mouseClick(Child<QPushButton>(w, "按钮1"), Qt::LeftButton);
      QTRY_VERIFY(server_->requestCount() == 1);
      w->close();
    });
    QVERIFY(!SignInAtStartup(nullptr, nullptr));
    release_ = true;
    QTest::qWait(300);
    QCOMPARE(ServiceCookie(), std::string());
    QVERIFY(messages_.empty());
  }

  void linksOpenServicePagesOnlyOverTheWeb() {
    {
      LoginWindow window;
      emit Child<QLabel>(&window, "超级链接框1")->linkActivated("#");
      emit Child<QLabel>(&window, "超级链接框2")->linkActivated("#");
    }
    QCOMPARE(opened_.size(), size_t(2));
    QCOMPARE(opened_[0].toString(), QString::fromStdString(server_->url("/service/index.php/register")));
    QCOMPARE(opened_[1].toString(), QString::fromStdString(server_->url("/service/index.php/Login/Findpwd")));

    Endpoints e = DefaultEndpoints();
    e.SERVICE_BASE = "file:///tmp/";
    SetEndpoints(e);
    LoginWindow window;
    emit Child<QLabel>(&window, "超级链接框1")->linkActivated("#");
    QCOMPARE(opened_.size(), size_t(2));
  }

 private:
  std::unique_ptr<RecordingServer> server_;
  std::vector<Message> messages_;
  std::vector<QUrl> opened_;
  std::atomic<bool> release_{true};
};

QTEST_MAIN(LoginWindowTest)
#include "login_window_test.moc"
