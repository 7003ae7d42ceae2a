// No byte of a marketplace cookie reaches the disk. A child process runs the
// desktop program's start-up in demo mode with fresh home, configuration, cache,
// data, runtime and temporary folders: the service login, then the cookie window,
// where the capture window's browser signs in at the simulator and visits a page
// that sets long-lived cookies of random marker values; the cookies are read,
// tested, handed over and accepted. Once the child has ended, every file in those
// folders (and what changed beside the programs) is searched for the values.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineView>
#include <QtTest>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>

#include "app/demo_qt.h"
#include "app/main_window.h"
#include "net/endpoints.h"
#include "net/http.h"
#include "net/settings.h"
#include "net/shared_state.h"
#include "session/cookie_capture_window.h"
#include "session/cookie_entry_window.h"
#include "session/login_window.h"
#include "session/session_qt.h"
#include "support/recording_server.h"
#include "ui/browser_pane_qt.h"
#include "ui/desktop_calls_qt.h"
#include "ui/disk_scan.h"
#include "ui/web_page_support.h"

using namespace kelvora;
namespace fs = std::filesystem;

namespace {

constexpr const char* kSessionFlag = "--cookie-session";

template <typename T>
T* Child(QWidget* window, const char* name) {
  return window ? window->findChild<T*>(QString::fromUtf8(name)) : nullptr;
}

using kelvora::test::RunScript;
bool WaitForLoad(QWebEngineView* view, const QString& address) {
  return kelvora::test::WaitForLoad(view, address, 30000);
}

// ---- The child: the desktop program's start-up with a captured cookie ----

bool Step(bool ok, const char* step, QString& failed) {
  if (!ok && failed.isEmpty()) failed = QString::fromUtf8(step);
  return ok;
}

// Drives the cookie window and its capture window as a user does. Runs inside the
// cookie window's modal loop; false with `failed` naming the step that failed.
bool CaptureCookies(const QString& user, const std::string& markPage, const std::string& persistentMark,
                    const std::string& scriptMark, QString& failed) {
  CookieEntryWindow* entry = nullptr;
  if (!Step(QTest::qWaitFor([&] { return (entry = CookieEntryWindow::current()) != nullptr; }, 10000), "cookie window",
            failed))
    return false;
  QPushButton* captureButton = Child<QPushButton>(entry, "按钮3");
  if (!Step(captureButton != nullptr, "按钮3", failed)) return false;
  captureButton->click();
  QPointer<CookieCaptureWindow> capture = CookieCaptureWindow::instance();
  if (!Step(capture && capture->browser()->view(), "capture window browser", failed)) return false;
  QWebEngineView* view = capture->browser()->view();
  if (!Step(view->page()->profile()->isOffTheRecord(), "off-the-record profile", failed)) return false;
  const std::string root = CurrentEndpoints()->MARKET_ROOT_URL;
  if (!Step(WaitForLoad(view, QString::fromStdString(CurrentEndpoints()->LOGIN_SITE)) &&
                QTest::qWaitFor([&] { return RunScript(view->page(), "document.forms.length").toInt() > 0; }, 10000),
            "login page", failed))
    return false;

  // Sign in at the simulator's login page with the marker as the member name.
  RunScript(view->page(), QStringLiteral("var f=document.forms[0];f.elements['user'].value='%1';"
                                         "f.elements['password'].value='pw';f.submit();")
                              .arg(user));
  if (!Step(
          QTest::qWaitFor(
              [&] { return capture->readBrowserCookies(root).value_or("").find("uc1=") != std::string::npos; }, 30000),
          "login cookies", failed))
    return false;
  // A page of the same host sets long-lived cookies, one HTTP-only and one by script.
  capture->browser()->navigate(QString::fromStdString(markPage));
  if (!Step(QTest::qWaitFor(
                [&] {
                  const std::string header = capture->readBrowserCookies(root).value_or("");
                  return header.find("kv_mark=" + persistentMark) != std::string::npos &&
                         header.find("kv_js=" + scriptMark) != std::string::npos;
                },
                30000),
            "marker cookies", failed))
    return false;

  Child<QPushButton>(capture, "按钮1")->click();  // read the browser's cookies
  const QString text = Child<QPlainTextEdit>(capture, "编辑框1")->toPlainText();
  if (!Step(Child<QGroupBox>(capture, "分组框1")->isVisible() && text.contains(QString::fromStdString(persistentMark)),
            "cookie text read", failed))
    return false;
  QSignalSpy tested(capture.data(), &CookieCaptureWindow::cartTestFinished);
  Child<QPushButton>(capture, "按钮4")->click();  // the cart test
  if (!Step(tested.count() == 1 || tested.wait(30000), "cart test", failed)) return false;
  Child<QPushButton>(capture, "按钮5")->click();  // copy and hand over
  if (!Step(!capture->isVisible(), "capture window hidden", failed)) return false;
  if (!Step(Child<QPlainTextEdit>(entry, "编辑框1")->toPlainText() == text, "text handed over", failed)) return false;
  Child<QPushButton>(entry, "按钮1")->click();  // confirm: the window closes
  return Step(MarketCookie() == ToGbk(text), "cookie accepted", failed);
}

int RunCookieSession(int argc, char** argv) {
  // argv: program --cookie-session PROGRAM_DIR USER PERSISTENT_MARK SCRIPT_MARK
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("kelvora"));
  QApplication::setApplicationVersion(QStringLiteral("3.3"));
  if (argc != 6) return 2;
  const QString programDir = QString::fromLocal8Bit(argv[2]);
  const QString user = QString::fromLatin1(argv[3]);
  const std::string persistentMark = argv[4];
  const std::string scriptMark = argv[5];
  QStringList messages;
  SetMessageInterceptor([&](const QString&, const QString& text) { messages << text; });

  DemoSimulator sim;
  QString error;
  if (!sim.start(QStringLiteral(KELVORA_BIN_DIR "/kelvora-sim"), error)) {
    std::fprintf(stderr, "session: %s\n", qPrintable(error));
    return 3;
  }
  Settings settings;
  std::string settingsError;
  if (!LoadSettingsFile(QFile::encodeName(sim.configPath()).toStdString(), settings, settingsError) ||
      !ApplySettings(settings, settingsError)) {
    std::fprintf(stderr, "session: %s\n", settingsError.c_str());
    return 3;
  }

  test::RecordingServer markServer;
  test::CannedResponse markPage;
  markPage.headers = {{"Content-Type", "text/html; charset=utf-8"},
                      {"Set-Cookie", "kv_mark=" + persistentMark + "; Path=/; Max-Age=31536000; HttpOnly"}};
  markPage.body =
      "<!DOCTYPE html><html><head><title>mark</title></head><body><script>document.cookie='kv_js=" + scriptMark +
      "; path=/; max-age=31536000';</script>ok</body></html>";
  markServer.on("/mark", markPage);

  const DemoAccount demo;
  MainWindowOptions options;
  options.programDir = programDir;
  options.networkProbe = false;
  MainWindow window(options);
  QString failed;
  StartupHooks hooks;
  hooks.signIn = [&] {
    QTimer::singleShot(0, [&] {
      LoginWindow* login = nullptr;
      (void)QTest::qWaitFor(
          [&] { return (login = qobject_cast<LoginWindow*>(QApplication::activeModalWidget())) != nullptr; }, 10000);
      QPushButton* button = Child<QPushButton>(login, "按钮1");
      if (!Step(button != nullptr, "login window", failed)) {
        if (login) login->reject();
        return;
      }
      button->click();
      if (!Step(QTest::qWaitFor([&] { return !ServiceCookie().empty(); }, 30000), "service login", failed))
        login->reject();
    });
    return SignInAtStartup(&window, &demo);
  };
  hooks.enterCookies = [&] {
    QTimer::singleShot(0, [&] {
      if (!CaptureCookies(user, markServer.url("/mark"), persistentMark, scriptMark, failed))
        if (CookieEntryWindow* entry = CookieEntryWindow::current()) entry->reject();
    });
    return EnterCookiesAtStartup(&window, &demo);
  };
  const StartupOutcome outcome = window.startUp(hooks);
  if (!outcome.running || !failed.isEmpty()) {
    std::fprintf(stderr, "session: start-up failed at \"%s\"; messages: %s\n", qPrintable(failed),
                 qPrintable(messages.join(QStringLiteral(" | "))));
    return 4;
  }
  // The hidden capture window keeps the login alive: its browser revisits the home
  // page with the cookies (every minute; here at once).
  QPointer<CookieCaptureWindow> capture = CookieCaptureWindow::instance();
  QTimer* keepAlive = capture ? capture->findChild<QTimer*>(QStringLiteral("时钟1")) : nullptr;
  if (!keepAlive || !keepAlive->isActive() || capture->isVisible()) {
    std::fprintf(stderr, "session: the capture window does not keep the login alive\n");
    return 5;
  }
  QSignalSpy visits(capture->browser(), &BrowserPane::navigated);
  keepAlive->start(100);
  const QString home = QString::fromStdString(CurrentEndpoints()->MARKET_HOME_URL);
  if (!QTest::qWaitFor([&] { return visits.count() >= 2; }, 10000) || !WaitForLoad(capture->browser()->view(), home)) {
    std::fprintf(stderr, "session: no keep-alive visit of the home page\n");
    return 5;
  }
  // The program's own requests send the accepted text.
  std::string cartAddress = CurrentEndpoints()->CART_SITE + "/cart.htm";
  std::string explicitCookie;  // none: the request falls back to MarketCookie
  const std::string cart = HttpFetch(cartAddress, "", explicitCookie);
  if (cart.find("\xce\xd2\xb5\xc4\xb9\xba\xce\xef\xb3\xb5</title>") == std::string::npos) {  // 我的购物车</title>
    std::fprintf(stderr, "session: the accepted cookie does not open the cart\n");
    return 5;
  }
  std::printf("market-cookie\t%s\nservice-cookie\t%s\n", MarketCookie().c_str(), ServiceCookie().c_str());
  std::fflush(stdout);

  // The program ends as when its main window closes: the hidden capture window goes
  // with the application, then the windows and the application object.
  window.close();
  QTimer::singleShot(0, &app, &QCoreApplication::quit);
  app.exec();
  SetMessageInterceptor({});
  return 0;
}

// ---- The parent: the folders, the child, the scan ----

QString RandomMark() {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  QString mark = QStringLiteral("kvmark");
  for (int i = 0; i < 58; ++i) mark += QLatin1Char(alphabet[QRandomGenerator::system()->bounded(62)]);
  return mark;
}

// The values of a Cookie header or of the service's cookie text ("a=1; path=/;b=2").
std::vector<std::string> CookieValues(const std::string& text) {
  std::vector<std::string> values;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(';', start);
    if (end == std::string::npos) end = text.size();
    const std::string piece = text.substr(start, end - start);
    const size_t eq = piece.find('=');
    if (eq != std::string::npos) values.push_back(piece.substr(eq + 1));
    start = end + 1;
  }
  return values;
}

// Files changed since `since`, for folders shared with other programs.
auto ChangedSince(fs::file_time_type since) {
  return [since](const fs::directory_entry& e) {
    std::error_code ec;
    const auto t = e.last_write_time(ec);
    return !ec && t >= since;
  };
}

}  // namespace

class CookieDiskWebTest : public QObject {
  Q_OBJECT

 private slots:
  void scannerFindsEveryForm() {
    // A scan that misses a form would pass for the wrong reason.
    const std::string secret = "kvmarkScannerSelfTest0123456789abcdefXYZ";
    const auto patterns = test::PatternsFor(secret);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    struct Case {
      const char* form;
      std::string bytes;
    };
    std::string utf16;
    for (char c : secret) utf16 += std::string{c, '\0'};
    std::vector<Case> cases = {
        {"raw", "prefix " + secret + " suffix"},
        // every byte escaped, as a form encoder that trusts no character writes it
        {"percent", "q=" + QUrl::toPercentEncoding(QString::fromStdString(secret), {},
                                                   "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789")
                               .toStdString()},
        {"utf-16le", "\xff\xfe" + utf16},
    };
    for (int offset = 0; offset < 3; ++offset)
      cases.push_back(
          {"base64", QByteArray((std::string(offset, 'x') + secret + "tail").c_str()).toBase64().toStdString()});
    cases.push_back(
        {"base64url", QByteArray(("?>" + secret).c_str()).toBase64(QByteArray::Base64UrlEncoding).toStdString()});
    for (size_t i = 0; i < cases.size(); ++i) {
      QFile f(dir.filePath(QStringLiteral("case%1").arg(i)));
      QVERIFY(f.open(QIODevice::WriteOnly));
      f.write(QByteArray::fromStdString(std::string(5000 * i, 'z') + cases[i].bytes));
    }
    test::ScanResult result;
    test::ScanTree(dir.path().toStdString(), patterns, result);
    QCOMPARE(result.files, static_cast<int>(cases.size()));
    for (size_t i = 0; i < cases.size(); ++i) {
      const std::string file = dir.filePath(QStringLiteral("case%1").arg(i)).toStdString();
      bool hit = false;
      for (const test::ScanHit& h : result.hits) hit = hit || (h.file == file && h.form.rfind(cases[i].form, 0) == 0);
      QVERIFY2(hit, cases[i].form);
    }
    // A secret cut by the edge of a read is found too.
    QTemporaryDir big;
    QFile f(big.filePath(QStringLiteral("big")));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QByteArray::fromStdString(std::string((4 << 20) - 10, 'z') + secret));
    f.close();
    test::ScanResult bigResult;
    test::ScanTree(big.path().toStdString(), patterns, bigResult);
    QCOMPARE(bigResult.hits.size(), size_t{1});
  }

  void noCookieByteOnDisk() {
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QDir base(root.path());
    for (const char* name : {"home", "config", "cache", "data", "runtime", "tmp", "program/res"})
      QVERIFY(base.mkpath(QString::fromLatin1(name)));
    QFile::setPermissions(base.filePath("runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    {
      QFile page(base.filePath("program/res/b.html"));
      QVERIFY(page.open(QIODevice::WriteOnly));
      page.write("<html><body></body></html>");
    }
    const QString user = RandomMark();
    const QString persistentMark = RandomMark();
    const QString scriptMark = RandomMark();

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", base.filePath("home"));
    env.insert("XDG_CONFIG_HOME", base.filePath("config"));
    env.insert("XDG_CACHE_HOME", base.filePath("cache"));
    env.insert("XDG_DATA_HOME", base.filePath("data"));
    env.insert("XDG_RUNTIME_DIR", base.filePath("runtime"));
    env.insert("TMPDIR", base.filePath("tmp"));
    const auto started = fs::file_time_type::clock::now() - std::chrono::seconds(2);

    QProcess session;
    session.setProcessEnvironment(env);
    session.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    session.start(QCoreApplication::applicationFilePath(),
                  {QString::fromLatin1(kSessionFlag), base.filePath("program"), user, persistentMark, scriptMark});
    QVERIFY(session.waitForStarted(10000));
    QVERIFY(session.waitForFinished(240000));
    QCOMPARE(session.exitStatus(), QProcess::NormalExit);
    QCOMPARE(session.exitCode(), 0);

    // The capture did obtain the markers: the accepted text holds them.
    std::string marketCookie, serviceCookie;
    for (const QByteArray& line : session.readAllStandardOutput().split('\n')) {
      if (line.startsWith("market-cookie\t")) marketCookie = line.mid(14).toStdString();
      if (line.startsWith("service-cookie\t")) serviceCookie = line.mid(15).toStdString();
    }
    for (const QString& part : {"kv_mark=" + persistentMark, "kv_js=" + scriptMark, "_nk_=" + user})
      QVERIFY2(marketCookie.find(part.toStdString()) != std::string::npos, marketCookie.c_str());
    QVERIFY2(!serviceCookie.empty(), "no service cookie");

    // Every value of either cookie text, long enough to be told from chance.
    std::set<std::string> secrets = {user.toStdString(), persistentMark.toStdString(), scriptMark.toStdString()};
    for (const std::string& text : {marketCookie, serviceCookie})
      for (const std::string& value : CookieValues(text))
        if (value.size() >= 12) secrets.insert(value);
    std::vector<test::ScanPattern> patterns;
    for (const std::string& s : secrets)
      for (test::ScanPattern& p : test::PatternsFor(s)) patterns.push_back(std::move(p));

    // The browser engine's helper processes end with the session; give them a moment.
    QTest::qWait(1000);
    test::ScanResult result;
    test::ScanTree(root.path().toStdString(), patterns, result);
    // Nothing of our own folders may escape the scan; files of others may vanish under it.
    QCOMPARE(result.unreadable, std::vector<std::string>{});
    const auto changed = ChangedSince(started);
    for (const QString& shared :
         {QCoreApplication::applicationDirPath(), QStringLiteral(KELVORA_BIN_DIR), QStringLiteral("/dev/shm")})
      test::ScanTree(shared.toStdString(), patterns, result, changed);
    qInfo("cookie scan: %zu secrets, %zu patterns, %d files, %lld bytes, %zu hits, %zu unreadable", secrets.size(),
          patterns.size(), result.files, result.bytes, result.hits.size(), result.unreadable.size());
    QStringList hits;
    for (const test::ScanHit& h : result.hits)
      hits << QStringLiteral("%1 (%2 of %3...)")
                  .arg(QString::fromStdString(h.file), QString::fromStdString(h.form),
                       QString::fromStdString(h.secret.substr(0, 12)));
    QCOMPARE(hits, QStringList{});
  }
};

int main(int argc, char** argv) {
  if (argc > 1 && qstrcmp(argv[1], kSessionFlag) == 0) return RunCookieSession(argc, argv);
  QApplication app(argc, argv);
  CookieDiskWebTest test;
  return QTest::qExec(&test, argc, argv);
}
#include "cookie_disk_web_test.moc"
