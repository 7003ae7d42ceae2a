#pragma once
// `kelvora --demo`: a kelvora-sim of our own on a free loopback port, and the
// account that its login and cookie windows come pre-filled with.
#include <QProcess>
#include <QSocketNotifier>
#include <QString>
#include <QTemporaryDir>
#include <memory>

#include "session/session_qt.h"

namespace kelvora {

// SIGTERM and SIGINT end the demo as closing its window does: the event loops
// quit and the normal clean-up runs, which stops the simulator and removes its
// settings folder. A second signal ends the program at once.
class QuitOnStopSignals {
 public:
  QuitOnStopSignals();   // needs the application object
  ~QuitOnStopSignals();  // the signals act as before again
  QuitOnStopSignals(const QuitOnStopSignals&) = delete;
  QuitOnStopSignals& operator=(const QuitOnStopSignals&) = delete;

  // The signal that came, 0 while none did.
  int received() const;
  // 128 + the signal, the exit code after one.
  int exitCode() const { return 128 + received(); }

 private:
  std::unique_ptr<QSocketNotifier> notifier_;
};

// The simulator's settings live in QDir::tempPath()/kelvora-demo-PID-XXXXXX; a
// start first removes the folders of demos whose process is gone (killed).
class DemoSimulator {
 public:
  DemoSimulator() = default;
  // Stops the simulator (SIGTERM, then a kill after two seconds).
  ~DemoSimulator();
  DemoSimulator(const DemoSimulator&) = delete;
  DemoSimulator& operator=(const DemoSimulator&) = delete;

  // Starts `simulator` (kelvora-sim) with a settings file of its own and waits
  // for its listening line. False with `error` when it does not come up.
  bool start(const QString& simulator, QString& error);
  QString configPath() const;                   // settings whose endpoints all point at it
  QString baseUrl() const { return baseUrl_; }  // "http://127.0.0.1:PORT"

 private:
  std::unique_ptr<QTemporaryDir> dir_;
  std::unique_ptr<QProcess> process_;
  QString baseUrl_;
};

}  // namespace kelvora
