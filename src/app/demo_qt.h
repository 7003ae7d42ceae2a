#pragma once
// `kelvora --demo`: a kelvora-sim of our own on a free loopback port, and the
// account that its login and cookie windows come pre-filled with.
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <memory>

#include "session/session_qt.h"

namespace kelvora {

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
  QString configPath() const;   // settings whose endpoints all point at it
  QString baseUrl() const { return baseUrl_; }  // "http://127.0.0.1:PORT"

 private:
  std::unique_ptr<QTemporaryDir> dir_;
  std::unique_ptr<QProcess> process_;
  QString baseUrl_;
};

}  // namespace kelvora
