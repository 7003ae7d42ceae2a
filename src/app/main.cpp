// kelvora: the desktop program.
//
//   kelvora [--config FILE] [--demo [--tour DIR]]
//   kelvora --version
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "app/demo_qt.h"
#include "app/main_window.h"
#include "app/tour_qt.h"
#include "kelvora_version.h"
#include "net/settings.h"
#include "session/session_qt.h"
#include "ui/desktop_calls_qt.h"

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
  QCommandLineOption config(QStringLiteral("config"),
                            QStringLiteral("Settings file (default: kelvora.ini beside the program)."),
                            QStringLiteral("FILE"));
  QCommandLineOption demo(QStringLiteral("demo"),
                          QStringLiteral("Run against a local kelvora-sim with the demo account."));
  QCommandLineOption tour(QStringLiteral("tour"),
                          QStringLiteral("With --demo: walk through the program and save pictures to DIR."),
                          QStringLiteral("DIR"));
  QCommandLineOption version(QStringLiteral("version"),
                             QStringLiteral("Print the version (and the git commit it was built from)."));
  parser.addOptions({config, demo, tour, version});
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

// The sign-in and cookie steps of start-up: the login and cookie windows,
// pre-filled with the demo account in demo mode only.
StartupHooks MakeStartupHooks(MainWindow& window, const std::optional<DemoAccount>& demo) {
  const DemoAccount* account = demo ? &*demo : nullptr;
  StartupHooks hooks;
  hooks.signIn = [&window, account] { return SignInAtStartup(&window, account); };
  hooks.enterCookies = [&window, account] { return EnterCookiesAtStartup(&window, account); };
  return hooks;
}

// --version answers before any window system is opened, so it works without a display.
bool AsksForVersion(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--version") return true;
    if (arg == "--config" || arg == "--tour") ++i;  // their value is a name, not an option
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (AsksForVersion(argc, argv)) {
    std::fputs("kelvora " KELVORA_VERSION_TEXT "\n", stdout);
    return 0;
  }
  // The browser views of the login, cookie and analysis windows share one context.
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("kelvora"));
  QApplication::setApplicationVersion(QStringLiteral(KELVORA_VERSION));
  QGuiApplication::setDesktopFileName(QStringLiteral("kelvora"));
  QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("kelvora")));
  InstallQtTranslations();

  Arguments args;
  QString error;
  if (!ParseArguments(app, args, error)) {
    std::fprintf(stderr, "kelvora: %s\n", error.toUtf8().constData());
    return 2;
  }
  const QString programDir = QCoreApplication::applicationDirPath();

  std::unique_ptr<QuitOnStopSignals> stopSignals;
  std::unique_ptr<DemoSimulator> sim;
  std::string configFile = QFile::encodeName(args.config).toStdString();
  bool demoSettings = false;  // the simulator's own settings file is in use
  if (args.demo) {
    // The demo leaves a simulator and a folder of settings behind unless it ends
    // through its clean-up.
    stopSignals = std::make_unique<QuitOnStopSignals>();
    sim = std::make_unique<DemoSimulator>();
    if (!sim->start(QDir(programDir).filePath(QStringLiteral("kelvora-sim")), error)) {
      std::fprintf(stderr, "kelvora: %s\n", error.toUtf8().constData());
      if (args.tourDir.isEmpty()) ShowMessage(nullptr, QStringLiteral("无法启动演示用的模拟服务器：\n") + error);
      return 1;
    }
    if (configFile.empty()) {
      configFile = QFile::encodeName(sim->configPath()).toStdString();
      demoSettings = true;
    }
  }

  Settings settings;
  std::string settingsError;
  const bool loaded =
      LoadProgramSettings(configFile, QFile::encodeName(programDir).toStdString(), settings, settingsError);
  // The demo sends a request that got no whole answer again, twice at most.
  if (loaded && demoSettings && !settings.http.retries) settings.http.retries = 2;
  if (!loaded || !ApplySettings(settings, settingsError)) {
    // The details name the file, the line and the key as the file spells them.
    const QString text = QStringLiteral("设置文件有误，程序无法启动：\n") + QString::fromStdString(settingsError);
    std::fprintf(stderr, "kelvora: %s\n", settingsError.c_str());
    if (args.tourDir.isEmpty()) ShowMessage(nullptr, text);  // a tour has nobody to click OK
    return 2;
  }

  MainWindowOptions options;
  // The desktop records by default. The demo's runs are the simulator's: they go
  // into the demo's own folder, which goes with it, never into the seller's history.
  if (settings.history.enabled.value_or(true)) {
    options.historyPath =
        sim ? QFile::encodeName(QFileInfo(sim->configPath()).dir().filePath(QStringLiteral("history.sqlite3")))
                  .toStdString()
            : (settings.history.file.empty() ? DefaultHistoryPath() : settings.history.file);
    options.historyKeepDays = settings.history.keepDays;
  }
  MainWindow window(options);
  window.quitApplicationWhenClosed();
  std::optional<DemoAccount> demoAccount;
  if (args.demo) demoAccount = DemoAccount{};

  std::unique_ptr<Tour> tour;
  if (!args.tourDir.isEmpty()) {
    tour = std::make_unique<Tour>(args.tourDir);
    AddStartupSteps(*tour);
    tour->watchDialogs();
  }

  const StartupOutcome outcome = window.startUp(MakeStartupHooks(window, demoAccount));
  // A stop signal during start-up ended its windows' loops; end here as well.
  if (stopSignals && stopSignals->received()) return stopSignals->exitCode();
  if (tour) {
    QString failed = tour->failedDialogStep();
    if (failed.isEmpty() && !outcome.running) failed = QStringLiteral("start-up");
    if (!failed.isEmpty()) {
      std::fprintf(stderr, "kelvora: tour step \"%s\" failed\n", failed.toUtf8().constData());
      return 1;
    }
    AddProgramSteps(*tour, window, sim->baseUrl());
    tour->start();
  }
  if (!outcome.running) return outcome.exitCode;
  const int code = app.exec();
  return stopSignals && stopSignals->received() ? stopSignals->exitCode() : code;
}
