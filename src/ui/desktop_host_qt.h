#pragma once
// The desktop's Host: the core calls it from worker threads and from the UI
// thread alike; every change of a control happens on the UI thread.
#include <QElapsedTimer>
#include <QLabel>
#include <QObject>
#include <QPointer>
#include <QProgressBar>
#include <QTimer>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "results/host.h"

class QWidget;

namespace kelvora {

class DesktopHost : public QObject, public Host {
  Q_OBJECT

 public:
  struct Controls {
    QWidget* window = nullptr;         // owner of message boxes; query buttons are found under it
    QLabel* status = nullptr;          // 透明标签10
    QLabel* rowCount = nullptr;        // 透明标签13
    QLabel* account = nullptr;         // 标签_yhxx
    QProgressBar* progress = nullptr;  // 进度条
    QLabel* progressText = nullptr;    // 标签_进度: "x / y" beside the bar
  };

  explicit DesktopHost(Controls controls, QObject* parent = nullptr);
  // Stops and waits for the account refreshes still running.
  ~DesktopHost() override;

  void setStatus(const std::string& text) override;
  void setRowCountLabel(const std::string& text) override;
  void message(const std::string& text) override;
  // A message that blocks nothing and belongs to no window (ShowNotice).
  void notice(const std::string& text);
  // Off the UI thread: sleeps in short steps and returns early on a stop request.
  // On the UI thread: runs the event loop meanwhile, so the window stays usable.
  void pause(int ms) override;
  void processEvents() override;
  bool stopRequested() const override;
  // RefreshAccountLabel: AccountLabelText on a thread of its own, the answer
  // written into 标签_yhxx by the UI thread; the refresh that ends last wins.
  void startAccountRefresh() override;
  void setProgress(const Progress& progress) override;
  void setQueryEnabled(const std::string& button, bool enabled) override;

  // 停止: the running operation ends after its current item.
  void requestStop();
  // The labels and the bar a worker changed show what it set last, at once (the
  // UI thread: an operation ends, a test reads them). Otherwise they are repainted
  // at most once per kApplyIntervalMs however often workers change them.
  void applyPending() { applyLatest(); }
  static constexpr int kApplyIntervalMs = 40;

  // A new operation starts: an earlier 停止 no longer counts.
  void clearStop();
  // The main window closes: every operation stops, for good.
  void setClosing();
  bool closing() const { return closing_; }

  // What an account refresh shows (the main window gives the session's
  // AccountLabelText; tests give their own). Without one a refresh does nothing.
  void setAccountTextSource(std::function<std::string()> source);
  // Waits until every account refresh started so far has finished (tests, tour).
  void waitForAccountRefreshes();

 signals:
  void stopAsked();

 private:
  bool onUiThread() const;
  template <typename Fn>
  void onUi(Fn&& fn);
  void applyLatest();
  // With latestMutex_ held: the latest values reach the controls on the UI thread
  // once, at most one frame interval after the last time they did.
  void postApply();
  void showProgress(const Progress& p);

  Controls controls_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> closing_{false};

  // Labels and progress written from workers keep only their latest value until
  // the UI thread applies it: a fast search does not flood the event queue.
  struct Latest {
    bool statusSet = false, countSet = false, progressSet = false;
    std::string status, count;
    Progress progress;
  };
  std::mutex latestMutex_;
  Latest latest_;
  bool applyPosted_ = false;
  QTimer* applyTimer_ = nullptr;
  QElapsedTimer lastApply_;

  struct Refresh {
    std::shared_ptr<std::atomic<bool>> finished;
    std::jthread thread;
  };
  std::mutex refreshMutex_;
  std::vector<Refresh> refreshes_;
  std::function<std::string()> accountSource_;
};

}  // namespace kelvora
