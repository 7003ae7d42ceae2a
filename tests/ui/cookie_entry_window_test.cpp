// The cookie window: the paste rules through the window, the warm-up lookups it
// starts, and the start-up hook that ends the program without a cookie.
#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include "app/demo_qt.h"
#include "net/endpoints.h"
#include "net/shared_state.h"
#include "session/cookie_entry_window.h"
#include "session/session_qt.h"
#include "support/recording_server.h"
#include "ui/desktop_calls_qt.h"

using namespace kelvora;
using test::CannedResponse;
using test::RecordingServer;

namespace {

const QString kDemoCookie = QStringLiteral("cookie2=kelvorademo0000; _tb_token_=kelvora; t=kelvorademo");
const QString kLongRefusal =
    QStringLiteral("您提供的值可能不正确。请重新提取\r\n此处不是填写任何帐号或者密码信息\r\n详情请看窗口上的说明");

template <typename T>
T* Child(QWidget* window, const char* name) {
  T* child = window->findChild<T*>(QString::fromUtf8(name));
  if (!child) qFatal("no control %s", name);
  return child;
}

CookieEntryWindow* OpenEntryWindow() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* entry = qobject_cast<CookieEntryWindow*>(w); entry && entry->isVisible()) return entry;
  return nullptr;
}

}  // namespace

class CookieEntryWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    SetMessageInterceptor([this](const QString& caption, const QString& text) {
      captions_.push_back(caption);
      messages_.push_back(text);
    });
  }

  void init() {
    server_ = std::make_unique<RecordingServer>();
    server_->on("/service/index.php/Getinfo/get", CannedResponse{.headers = {}, .body = R"({"err":0})"});
    Endpoints e = DefaultEndpoints();
    e.SERVICE_BASE = server_->url("/service/");
    SetEndpoints(e);
    SetMarketCookie("");
    SetServiceCookie("kv_auth=1; path=/;");
    messages_.clear();
    captions_.clear();
  }

  void cleanup() {
    server_.reset();
    SetEndpoints(DefaultEndpoints());
    SetMarketCookie("");
    SetServiceCookie("");
  }

  void confirmCleansAndAcceptsOrRefuses_data() {
    QTest::addColumn<QString>("pasted");   // as the paste box holds it (LF line breaks)
    QTest::addColumn<QString>("message");  // empty: accepted
    QTest::addColumn<QString>("cookie");   // MarketCookie afterwards
    QTest::addColumn<QString>("shown");    // the paste box afterwards
    const QString twentyFour = QStringLiteral("cookie2=kelvorademo00000");
    QTest::newRow("blanks and line breaks") << " \n\t\n  "
                                            << "请输入内容"
                                            << ""
                                            << "    ";
    QTest::newRow("24 bytes with =") << twentyFour << kLongRefusal << "" << twentyFour;
    QTest::newRow("25 bytes with =") << twentyFour + "1"
                                     << "" << twentyFour + "1" << twentyFour + "1";
    QTest::newRow("one header line, trimmed") << "  " + kDemoCookie + " \n"
                                              << "" << kDemoCookie << "  " + kDemoCookie + " ";
    QTest::newRow("table pasted from a browser")
        << "键 值\nCookie\tcookie2=kelvorademo0000;\nCookie\tt=kelvorademo;\tpath=/\n"
        << ""
        << "cookie2=kelvorademo0000;t=kelvorademo; path=/"
        << "cookie2=kelvorademo0000;t=kelvorademo; path=/";
    QTest::newRow("no =") << "cookie2 kelvorademo0000 and more" << kLongRefusal << ""
                          << "cookie2 kelvorademo0000 and more";
  }

  void confirmCleansAndAcceptsOrRefuses() {
    QFETCH(QString, pasted);
    QFETCH(QString, message);
    QFETCH(QString, cookie);
    QFETCH(QString, shown);
    CookieEntryWindow window;
    window.show();
    Child<QPlainTextEdit>(&window, "编辑框1")->setPlainText(pasted);
    QTest::mouseClick(Child<QPushButton>(&window, "按钮1"), Qt::LeftButton);

    QCOMPARE(Child<QPlainTextEdit>(&window, "编辑框1")->toPlainText(), shown);
    QCOMPARE(FromGbk(MarketCookie()), cookie);
    if (message.isEmpty()) {
      QVERIFY(messages_.empty());
      QVERIFY(!window.isVisible());
      QCOMPARE(window.result(), int(QDialog::Accepted));
    } else {
      QCOMPARE(messages_, QStringList{message});
      QCOMPARE(captions_, QStringList{QStringLiteral("信息：")});
      QVERIFY(window.isVisible());
    }
  }

  void opensWithTheCurrentCookieAndWarmsUpTheService() {
    SetMarketCookie("cookie2=current; t=1234567890123");
    CookieEntryWindow window;
    QCOMPARE(Child<QPlainTextEdit>(&window, "编辑框1")->toPlainText(),
             QStringLiteral("cookie2=current; t=1234567890123"));
    QVERIFY(server_->waitForRequests(2, std::chrono::seconds(10)));
    for (const auto& request : server_->requests()) {
      QCOMPARE(request.path(), std::string("/service/index.php/Getinfo/get"));
      QVERIFY(request.target.find("tid=9999&_=") != std::string::npos);
      QCOMPARE(request.header("Cookie").value_or(""), std::string("kv_auth=1; path=/;"));
    }
  }

  void hookIsFalseWhenClosedWithoutACookie() {
    QTimer::singleShot(0, this, [] {
      if (CookieEntryWindow* w = OpenEntryWindow()) w->close();
    });
    QVERIFY(!EnterCookiesAtStartup(nullptr, nullptr));
    QCOMPARE(MarketCookie(), std::string());

    // Demo mode: the demo cookie is in the box, a click accepts it.
    const DemoAccount demo{"demo", "demo123", kDemoCookie};
    QTimer::singleShot(0, this, [] {
      if (CookieEntryWindow* w = OpenEntryWindow()) QTest::mouseClick(Child<QPushButton>(w, "按钮1"), Qt::LeftButton);
    });
    QVERIFY(EnterCookiesAtStartup(nullptr, &demo));
    QCOMPARE(FromGbk(MarketCookie()), kDemoCookie);

    // Later, closing without confirming keeps the accepted cookie.
    QTimer::singleShot(0, this, [] {
      CookieEntryWindow* w = OpenEntryWindow();
      if (!w) return;
      Child<QPlainTextEdit>(w, "编辑框1")->setPlainText("cookie2=changed-but-not-confirmed");
      w->close();
    });
    OpenCookieWindow(nullptr);
    QCOMPARE(FromGbk(MarketCookie()), kDemoCookie);
  }

 private:
  std::unique_ptr<RecordingServer> server_;
  QStringList messages_, captions_;
};

QTEST_MAIN(CookieEntryWindowTest)
#include "cookie_entry_window_test.moc"
