#include "session/session_qt.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QWidget>

#include <vector>

#include "net/codec.h"
#include "net/shared_state.h"
#include "session/cookie_entry_window.h"
#include "session/login_window.h"

namespace kelvora {
namespace {

MessageSink& Sink() {
  static MessageSink sink;
  return sink;
}

UrlOpener& Opener() {
  static UrlOpener opener;
  return opener;
}

struct RetiredWorkers {
  std::mutex mutex;
  std::vector<std::jthread> workers;

  void joinAll() {
    std::vector<std::jthread> taken;
    {
      std::lock_guard lock(mutex);
      taken.swap(workers);
    }
    for (std::jthread& worker : taken) worker.request_stop();
    taken.clear();  // joins; a stopped worker ends its request early
  }
  ~RetiredWorkers() { joinAll(); }
};

RetiredWorkers& Retired() {
  static RetiredWorkers retired;
  return retired;
}

void JoinRetiredWorkers() { Retired().joinAll(); }

}  // namespace

QString QStringFromGbk(const std::string& gbk) { return QString::fromStdString(GbkToUtf8(gbk)); }

std::string GbkFromQString(const QString& text) { return Utf8ToGbk(text.toStdString()); }

void ShowMessage(QWidget* parent, const QString& text, bool foreground, const QString& caption) {
  if (Sink()) {
    Sink()(caption, text);
    return;
  }
  QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, parent);
  if (foreground) {
    box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
    box.raise();
    box.activateWindow();
  }
  box.exec();
}

void SetMessageSink(MessageSink sink) { Sink() = std::move(sink); }

bool OpenWebAddress(const QString& address) {
  const QUrl url(address.trimmed());
  const QString scheme = url.scheme().toLower();
  if (!url.isValid() || (scheme != "http" && scheme != "https") || url.host().isEmpty()) return false;
  if (Opener()) {
    Opener()(url);
  } else {
    QDesktopServices::openUrl(url);
  }
  return true;
}

void SetUrlOpener(UrlOpener opener) { Opener() = std::move(opener); }

void UiLink::close() {
  std::lock_guard lock(mutex_);
  target_ = nullptr;
}

bool UiLink::post(std::function<void()> call) {
  // Held while posting, so the target cannot be destroyed between the check and the post.
  std::lock_guard lock(mutex_);
  if (!target_) return false;
  auto self = shared_from_this();
  return QMetaObject::invokeMethod(
      target_,
      [self, call = std::move(call)] {
        // Closed after the post (the window gave up on this answer): drop it.
        bool open;
        {
          std::lock_guard lock(self->mutex_);
          open = self->target_ != nullptr;
        }
        if (open) call();
      },
      Qt::QueuedConnection);
}

void RetireWorker(std::jthread worker, bool letFinish) {
  if (!worker.joinable()) return;
  if (!letFinish) worker.request_stop();
  static const bool registered = [] {
    // Join before the application object goes, while everything a worker uses still exists.
    qAddPostRoutine(JoinRetiredWorkers);
    return true;
  }();
  (void)registered;
  std::lock_guard lock(Retired().mutex);
  Retired().workers.push_back(std::move(worker));
}

bool SignInAtStartup(QWidget* parent, const DemoAccount* demo) {
  LoginWindow window(parent);
  if (demo) window.prefill(demo->user, demo->password);
  window.exec();
  return !ServiceCookie().empty();
}

bool EnterCookiesAtStartup(QWidget* parent, const DemoAccount* demo) {
  CookieEntryWindow window(parent);
  if (demo && MarketCookie().empty()) window.prefill(demo->cookie);
  window.exec();
  return !MarketCookie().empty();
}

void OpenCookieWindow(QWidget* parent) {
  CookieEntryWindow window(parent);
  window.exec();
  // Closing without a cookie ends the program; once one was accepted it never empties.
  if (MarketCookie().empty()) QCoreApplication::exit(0);
}

}  // namespace kelvora
