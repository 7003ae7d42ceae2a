// kelvora: the desktop program.
//
//   kelvora [--config FILE] [--demo [--tour DIR]]
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QIcon>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <optional>
#include <thread>

#include "app/demo_qt.h"
#include "app/desktop_calls_qt.h"
#include "app/main_window.h"
#include "app/tour_qt.h"
#include "net/settings.h"
#include "net/shared_state.h"
#include "session/cookie_text.h"
#include "session/login.h"

namespace {

using namespace kelvora;

struct Arguments {
  QString config;
  bool demo = false;
  QString tourDir;
};

bool ParseArguments(const QApplication& app, Arguments& out, QString& error) {
  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral("Kelvora: listing and delisting times of marketplace items"));
  parser.addHelpOption();
  QCommandLineOption config(QStringLiteral("config"), QStringLiteral("Settings file (default: kelvora.ini beside the program)."),
                            QStringLiteral("FILE"));
  QCommandLineOption demo(QStringLiteral("demo"), QStringLiteral("Run against a local kelvora-sim with the demo account."));
  QCommandLineOption tour(QStringLiteral("tour"), QStringLiteral("With --demo: walk through the program and save pictures to DIR."),
                          QStringLiteral("DIR"));
  parser.addOptions({config, demo, tour});
  if (!parser.parse(app.arguments())) {
    error = parser.errorText();
    return false;
  }
  if (parser.isSet(QStringLiteral("help"))) parser.showHelp(0);  // exits
  if (!parser.positionalArguments().isEmpty()) {
    error = QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first());
    return false;
  }
  out.config = parser.value(config);
  out.demo = parser.isSet(demo);
  out.tourDir = parser.value(tour);
  if (parser.isSet(tour) && !out.demo) {
    error = QStringLiteral("--tour needs --demo");
    return false;
  }
  if (parser.isSet(tour) && out.tourDir.isEmpty()) {
    error = QStringLiteral("--tour needs a folder");
    return false;
  }
  return true;
}

// Runs `work` on a thread of its own while the window stays responsive.
template <typename Fn>
void RunBeside(Fn work) {
  QEventLoop loop;
  std::jthread worker([&] {
    work();
    QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
  });
  loop.exec();
}

// The sign-in and cookie steps of start-up. Until the login and cookie windows
// are wired here, the demo signs in with its account through the core and an
// ordinary start skips both steps.
StartupHooks MakeStartupHooks(MainWindow& window, const std::optional<DemoAccount>& demo) {
  StartupHooks hooks;
  (void)window;
  if (!demo) return hooks;
  hooks.signIn = [account = *demo] {
    LoginResult result;
    RunBeside([&] { result = ServiceLogin(account.user, account.password); });
    return result.outcome == LoginOutcome::Success;
  };
  hooks.enterCookies = [account = *demo] {
    const CookieTextResult cookie = NormalizeCookieText(account.marketCookie);
    if (!cookie.accepted) return false;
    SetMarketCookie(cookie.cookie);
    return true;
  };
  return hooks;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("kelvora"));
  QApplication::setApplicationVersion(QStringLiteral("3.3"));
  QGuiApplication::setDesktopFileName(QStringLiteral("kelvora"));
  QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("kelvora")));

  Arguments args;
  QString error;
  if (!ParseArguments(app, args, error)) {
    std::fprintf(stderr, "kelvora: %s\n", error.toUtf8().constData());
    return 2;
  }
  const QString programDir = QCoreApplication::applicationDirPath();

  std::unique_ptr<DemoSimulator> sim;
  std::string configFile = QFile::encodeName(args.config).toStdString();
  bool demoSettings = false;  // the simulator's own settings file is in use
  if (args.demo) {
    sim = std::make_unique<DemoSimulator>();
    if (!sim->start(QDir(programDir).filePath(QStringLiteral("kelvora-sim")), error)) {
      std::fprintf(stderr, "kelvora: %s\n", error.toUtf8().constData());
      if (args.tourDir.isEmpty()) ShowMessage(nullptr, error);
      return 1;
    }
    if (configFile.empty()) {
      configFile = QFile::encodeName(sim->configPath()).toStdString();
      demoSettings = true;
    }
  }

  Settings settings;
  std::string settingsError;
  const bool loaded = LoadProgramSettings(configFile, QFile::encodeName(programDir).toStdString(), settings, settingsError);
  // The demo sends a request that got no whole answer again, twice at most.
  if (loaded && demoSettings && !settings.http.retries) settings.http.retries = 2;
  if (!loaded || !ApplySettings(settings, settingsError)) {
    const QString text = QString::fromStdString(settingsError);
    std::fprintf(stderr, "kelvora: %s\n", settingsError.c_str());
    if (args.tourDir.isEmpty()) ShowMessage(nullptr, text);  // a tour has nobody to click OK
    return 2;
  }

  MainWindow window;
  std::optional<DemoAccount> demoAccount;
  if (args.demo) demoAccount = DemoAccount{};

  std::unique_ptr<Tour> tour;
  if (!args.tourDir.isEmpty()) {
    tour = std::make_unique<Tour>(args.tourDir);
    tour->watchDialogs();
  }

  const StartupOutcome outcome = window.startUp(MakeStartupHooks(window, demoAccount));
  if (!outcome.running) {
    if (tour) {
      std::fprintf(stderr, "kelvora: tour step \"start-up\" failed\n");
      return 1;
    }
    return outcome.exitCode;
  }
  if (tour) {
    if (!tour->failedDialogStep().isEmpty()) {
      std::fprintf(stderr, "kelvora: tour step \"%s\" failed\n", tour->failedDialogStep().toUtf8().constData());
      return 1;
    }
    AddMainWindowSteps(*tour, window, sim->baseUrl());
    tour->start();
  }
  return app.exec();
}
