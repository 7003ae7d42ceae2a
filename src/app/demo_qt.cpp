#include "app/demo_qt.h"

#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <atomic>
#include <cerrno>
#include <csignal>

#include "net/temp_files.h"

namespace kelvora {
namespace {

std::atomic<int> gReceivedSignal{0};
int gSignalPipe[2] = {-1, -1};

// Only what a handler may do: note the signal and wake the event loop.
extern "C" void OnDemoStopSignal(int sig) {
  const int savedErrno = errno;
  int none = 0;
  gReceivedSignal.compare_exchange_strong(none, sig);
  const char byte = static_cast<char>(sig);
  [[maybe_unused]] const ssize_t n = ::write(gSignalPipe[1], &byte, 1);
  errno = savedErrno;
}

const TempNamePattern& DemoFolderNames() {
  static const TempNamePattern pattern{"kelvora-demo-", "", true, true};
  return pattern;
}

}  // namespace

QuitOnStopSignals::QuitOnStopSignals() {
  if (gSignalPipe[0] < 0 && ::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  notifier_ = std::make_unique<QSocketNotifier>(gSignalPipe[0], QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, [] {
    char bytes[16];
    while (::read(gSignalPipe[0], bytes, sizeof bytes) > 0) {
    }
    // Every event loop ends, the modal ones of start-up included.
    QCoreApplication::exit(128 + gReceivedSignal.load());
  });
  struct sigaction action {};
  action.sa_handler = OnDemoStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

QuitOnStopSignals::~QuitOnStopSignals() {
  if (!notifier_) return;
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
}

int QuitOnStopSignals::received() const { return gReceivedSignal.load(); }

DemoSimulator::~DemoSimulator() {
  if (!process_ || process_->state() == QProcess::NotRunning) return;
  process_->terminate();
  if (!process_->waitForFinished(2000)) {
    process_->kill();
    process_->waitForFinished(2000);
  }
}

QString DemoSimulator::configPath() const { return dir_ ? dir_->filePath(QStringLiteral("kelvora.ini")) : QString(); }

bool DemoSimulator::start(const QString& simulator, QString& error) {
  const QString temp = QDir::tempPath();
  RemoveStaleTemporaries(QFile::encodeName(temp).toStdString(), DemoFolderNames());
  dir_ = std::make_unique<QTemporaryDir>(
      QDir(temp).filePath(QString::fromStdString(TempName(DemoFolderNames(), ::getpid(), "XXXXXX"))));
  if (!dir_->isValid()) {
    error = QStringLiteral("no temporary folder for the simulator's settings");
    return false;
  }
  process_ = std::make_unique<QProcess>();
  process_->setProcessChannelMode(QProcess::ForwardedErrorChannel);
  // --exit-with-parent: should this program end abruptly, the simulator ends with it.
  process_->start(simulator, {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--exit-with-parent"),
                              QStringLiteral("--write-config"), configPath()});
  if (!process_->waitForStarted(5000)) {
    error = QStringLiteral("cannot start %1: %2").arg(simulator, process_->errorString());
    return false;
  }
  static const QRegularExpression listening(QStringLiteral("^kelvora-sim listening on (http://127\\.0\\.0\\.1:\\d+)/"));
  QDeadlineTimer deadline(10000);
  QByteArray seen;
  while (!deadline.hasExpired()) {
    if (process_->canReadLine() || process_->waitForReadyRead(static_cast<int>(deadline.remainingTime()))) {
      while (process_->canReadLine()) {
        const QString line = QString::fromUtf8(process_->readLine()).trimmed();
        const QRegularExpressionMatch m = listening.match(line);
        if (m.hasMatch()) {
          baseUrl_ = m.captured(1);
          return true;
        }
      }
    }
    if (process_->state() == QProcess::NotRunning) break;
  }
  error = QStringLiteral("%1 did not start listening").arg(simulator);
  return false;
}

}  // namespace kelvora
