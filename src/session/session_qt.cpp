#include "session/session_qt.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QWidget>

#include <vector>

#include "net/shared_state.h"
#include "session/cookie_entry_window.h"
#include "session/login_window.h"

namespace kelvora {
namespace {

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
