#include "ui/desktop_host_qt.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <chrono>

#include "net/request_stop.h"
#include "ui/desktop_calls_qt.h"

namespace kelvora {

DesktopHost::DesktopHost(Controls controls, QObject* parent) : QObject(parent), controls_(controls) {
  applyTimer_ = new QTimer(this);
  applyTimer_->setObjectName(QStringLiteral("labels"));
  applyTimer_->setSingleShot(true);
  connect(applyTimer_, &QTimer::timeout, this, &DesktopHost::applyLatest);
}

DesktopHost::~DesktopHost() {
  std::vector<Refresh> refreshes;
  {
    std::lock_guard lock(refreshMutex_);
    refreshes.swap(refreshes_);
  }
  for (Refresh& r : refreshes) r.thread.request_stop();
  refreshes.clear();  // joins; a stopped request ends at once
}

bool DesktopHost::onUiThread() const { return QThread::currentThread() == thread(); }

template <typename Fn>
void DesktopHost::onUi(Fn&& fn) {
  if (onUiThread()) {
    fn();
  } else {
    QMetaObject::invokeMethod(this, std::forward<Fn>(fn), Qt::QueuedConnection);
  }
}

void DesktopHost::applyLatest() {
  Latest l;
  {
    std::lock_guard lock(latestMutex_);
    l = std::move(latest_);
    latest_ = {};
    applyPosted_ = false;
  }
  applyTimer_->stop();
  lastApply_.start();
  if (l.statusSet && controls_.status) controls_.status->setText(FromGbk(l.status));
  if (l.countSet && controls_.rowCount) controls_.rowCount->setText(FromGbk(l.count));
  if (l.progressSet) showProgress(l.progress);
}

void DesktopHost::postApply() {
  if (applyPosted_) return;
  applyPosted_ = true;
  // A worker writing a row at a time changes the labels thousands of times a
  // second; each repaint takes the search area with it, so they are gathered.
  QMetaObject::invokeMethod(
      this,
      [this] {
        const qint64 since = lastApply_.isValid() ? lastApply_.elapsed() : kApplyIntervalMs;
        if (since >= kApplyIntervalMs)
          applyLatest();
        else if (!applyTimer_->isActive())
          applyTimer_->start(static_cast<int>(kApplyIntervalMs - since));
      },
      Qt::QueuedConnection);
}

// Pages when the run reads result pages, else items when their number is known
// beforehand; otherwise a busy bar and the items so far.
void DesktopHost::showProgress(const Progress& p) {
  QString text, tip;
  int done = 0, asked = 0;
  if (p.pagesAsked > 0) {
    done = std::min(p.pagesDone, p.pagesAsked);
    asked = p.pagesAsked;
    // The page being read, the last one once all are done.
    text = QStringLiteral("%1 / %2 页").arg(std::min(p.pagesDone + 1, asked)).arg(asked);
    tip = QStringLiteral("第 %1/%2 页，%3 条").arg(p.pagesDone).arg(p.pagesAsked).arg(p.itemsDone);
  } else if (p.itemsAsked > 0) {
    done = std::min(p.itemsDone, p.itemsAsked);
    asked = p.itemsAsked;
    text = QStringLiteral("%1 / %2").arg(done).arg(asked);
    tip = QStringLiteral("第 %1/%2 条").arg(p.itemsDone).arg(p.itemsAsked);
  } else {
    text = QStringLiteral("%1 条").arg(p.itemsDone);
    tip = text;
  }
  if (QProgressBar* bar = controls_.progress) {
    bar->setRange(0, asked);  // 0..0: a busy bar
    if (asked > 0) bar->setValue(done);
    bar->setToolTip(tip);
  }
  if (QLabel* label = controls_.progressText) {
    label->setText(text);
    label->setToolTip(tip);
  }
}

void DesktopHost::setStatus(const std::string& text) {
  if (onUiThread()) {
    applyLatest();  // an older value from a worker must not land after this one
    if (controls_.status) controls_.status->setText(FromGbk(text));
    return;
  }
  std::lock_guard lock(latestMutex_);
  latest_.statusSet = true;
  latest_.status = text;
  postApply();
}

void DesktopHost::setRowCountLabel(const std::string& text) {
  if (onUiThread()) {
    applyLatest();
    if (controls_.rowCount) controls_.rowCount->setText(FromGbk(text));
    return;
  }
  std::lock_guard lock(latestMutex_);
  latest_.countSet = true;
  latest_.count = text;
  postApply();
}

void DesktopHost::setProgress(const Progress& progress) {
  std::lock_guard lock(latestMutex_);
  latest_.progressSet = true;
  latest_.progress = progress;
  postApply();
}

void DesktopHost::message(const std::string& text) {
  const QString shown = FromGbk(text);
  // Off the UI thread the worker goes on without waiting for the user: a worker
  // that waited here could hold up the window's own shutdown.
  onUi([this, shown] { ShowMessage(controls_.window, shown); });
}

void DesktopHost::notice(const std::string& text) {
  const QString shown = FromGbk(text);
  onUi([shown] { ShowNotice(shown); });
}

void DesktopHost::pause(int ms) {
  if (ms <= 0 || stopRequested()) return;
  if (onUiThread()) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    connect(this, &DesktopHost::stopAsked, &loop, &QEventLoop::quit);
    loop.exec();
    return;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!stopRequested()) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(10)));
  }
}

void DesktopHost::processEvents() {
  if (onUiThread()) QCoreApplication::processEvents();
}

bool DesktopHost::stopRequested() const { return stop_ || closing_; }

void DesktopHost::requestStop() {
  stop_ = true;
  emit stopAsked();
}

void DesktopHost::clearStop() { stop_ = false; }

void DesktopHost::setClosing() {
  closing_ = true;
  emit stopAsked();
}

void DesktopHost::setAccountTextSource(std::function<std::string()> source) {
  std::lock_guard lock(refreshMutex_);
  accountSource_ = std::move(source);
}

void DesktopHost::startAccountRefresh() {
  std::lock_guard lock(refreshMutex_);
  if (closing_) return;
  // Finished refreshes are joined here, so a long search does not pile them up.
  std::erase_if(refreshes_, [](const Refresh& r) { return r.finished->load(); });
  auto source = accountSource_;
  if (!source) return;  // nothing says what the account is
  auto finished = std::make_shared<std::atomic<bool>>(false);
  try {
    refreshes_.push_back({finished, std::jthread([this, finished, source](std::stop_token stop) {
                            SetThreadStopToken(stop);
                            const std::string text = source ? source() : std::string();
                            // The refresh that finishes last decides the label.
                            if (!stop.stop_requested())
                              QMetaObject::invokeMethod(
                                  this,
                                  [this, text] {
                                    if (controls_.account) controls_.account->setText(FromGbk(text));
                                  },
                                  Qt::QueuedConnection);
                            *finished = true;
                          })});
  } catch (const std::system_error&) {
    // No thread to be had: the label keeps its text.
  }
}

void DesktopHost::waitForAccountRefreshes() {
  std::vector<Refresh> refreshes;
  {
    std::lock_guard lock(refreshMutex_);
    refreshes.swap(refreshes_);
  }
  refreshes.clear();
}

void DesktopHost::setQueryEnabled(const std::string& button, bool enabled) {
  const QString name = FromGbk(button);
  onUi([this, name, enabled] {
    if (!controls_.window) return;
    if (auto* b = controls_.window->findChild<QPushButton*>(name)) b->setEnabled(enabled);
  });
}

}  // namespace kelvora
