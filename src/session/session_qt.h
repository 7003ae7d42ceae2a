#pragma once
// The session windows as the rest of the desktop program sees them: the start-up
// hooks, the cookie window of the main window, and the worker hand-back the
// windows share.
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class QWidget;

namespace kelvora {

// The simulator's demo account, which the login and cookie windows of
// `kelvora --demo` come pre-filled with.
struct DemoAccount {
  QString user = QStringLiteral("demo");
  QString password = QStringLiteral("demo123");
  QString cookie = QStringLiteral("cookie2=kelvorademo0000; _tb_token_=kelvora; t=kelvorademo");
};

// Opens the login window modally (pre-filled with `demo` when given); true when the
// service session cookie is set once it has closed.
bool SignInAtStartup(QWidget* parent, const DemoAccount* demo);
// Opens the cookie window modally (pre-filled with `demo` when given); true when a
// marketplace cookie text was accepted. The caller ends the program on false.
bool EnterCookiesAtStartup(QWidget* parent, const DemoAccount* demo);
// The main window's "更改COOKIES": the cookie window again, modally.
void OpenCookieWindow(QWidget* parent);

// Carries a worker's result back to a window on the UI thread. The window closes
// the link when it goes away; a result that arrives later is dropped.
class UiLink : public std::enable_shared_from_this<UiLink> {
 public:
  explicit UiLink(QObject* target) : target_(target) {}
  void close();
  // Runs `call` on the target's thread unless the link is closed by then; false when
  // already closed. Make links with std::make_shared.
  bool post(std::function<void()> call);

 private:
  std::mutex mutex_;
  QObject* target_;
};

// Hands a worker that may still be waiting for the network to the program's end,
// so that the UI thread never waits for it: asks it to stop (unless `letFinish`),
// and joins it when the application object goes (asking it to stop then).
void RetireWorker(std::jthread worker, bool letFinish = false);

}  // namespace kelvora
