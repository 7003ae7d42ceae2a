#include "app/demo_qt.h"

#include <QDeadlineTimer>
#include <QRegularExpression>

namespace kelvora {

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
  dir_ = std::make_unique<QTemporaryDir>();
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
