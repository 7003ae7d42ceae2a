#pragma once
// The session windows as the rest of the desktop program sees them: the start-up
// hooks, the cookie window of the main window, and the small pieces the windows
// share (text conversion, message boxes, desktop links, worker hand-back).
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class QWidget;

namespace kelvora {

// The pre-filled account of `kelvora --demo`.
struct DemoAccount {
  QString user, password, cookie;
};

// Opens the login window modally (pre-filled with `demo` when given); true when the
// service session cookie is set once it has closed.
bool SignInAtStartup(QWidget* parent, const DemoAccount* demo);
// Opens the cookie window modally (pre-filled with `demo` when given); true when a
// marketplace cookie text was accepted. The caller ends the program on false.
bool EnterCookiesAtStartup(QWidget* parent, const DemoAccount* demo);
// The main window's "更改COOKIES": the cookie window again, modally.
void OpenCookieWindow(QWidget* parent);

QString QStringFromGbk(const std::string& gbk);
std::string GbkFromQString(const QString& text);

inline const char* const DEFAULT_MESSAGE_CAPTION = "信息：";
// A message box with an OK button and no icon; `foreground` keeps it above other windows.
void ShowMessage(QWidget* parent, const QString& text, bool foreground = false,
                 const QString& caption = QString::fromUtf8(DEFAULT_MESSAGE_CAPTION));
// Tests: receive the messages instead of showing boxes (an empty sink restores the boxes).
using MessageSink = std::function<void(const QString& caption, const QString& text)>;
void SetMessageSink(MessageSink sink);

// Opens `address` in the desktop's browser when it is an http or https address;
// anything else is ignored. Returns whether it was handed over.
bool OpenWebAddress(const QString& address);
// Tests: receive the addresses instead of the desktop (an empty opener restores it).
using UrlOpener = std::function<void(const QUrl&)>;
void SetUrlOpener(UrlOpener opener);

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
