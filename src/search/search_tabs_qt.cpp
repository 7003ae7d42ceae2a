#include "search/search_tabs_qt.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QCoreApplication>
#include <QEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextEdit>
#include <QWidget>
#include <chrono>

#include "net/codec.h"
#include "net/endpoints.h"
#include "net/request_stop.h"
#include "net/text.h"
#include "search/category_search.h"
#include "search/keyword_search.h"
#include "search/list_search.h"
#include "search/monitored.h"
#include "search/monitored_ids_editor_window.h"
#include "search/shop_search.h"
#include "ui/desktop_calls_qt.h"
#include "ui/desktop_history_qt.h"

namespace kelvora {
namespace {

// The text of an edit box of any kind; multi-line boxes give CR LF line breaks,
// as the searches split them.
QString TextOf(QWidget* w) {
  if (auto* line = qobject_cast<QLineEdit*>(w)) return line->text();
  if (auto* plain = qobject_cast<QPlainTextEdit*>(w)) return WithCrLf(plain->toPlainText());
  if (auto* rich = qobject_cast<QTextEdit*>(w)) return WithCrLf(rich->toPlainText());
  return {};
}

void SetTextOf(QWidget* w, const QString& text) {
  if (auto* line = qobject_cast<QLineEdit*>(w))
    line->setText(text);
  else if (auto* plain = qobject_cast<QPlainTextEdit*>(w))
    plain->setPlainText(text);
  else if (auto* rich = qobject_cast<QTextEdit*>(w))
    rich->setPlainText(text);
}

void FillCombo(QComboBox* combo, const std::vector<CategoryEntry>& entries) {
  combo->clear();
  for (const CategoryEntry& e : entries) combo->addItem(FromGbk(e.name), e.value);
  // Nothing is chosen until the user chooses: an unchosen second list means
  // "the first-level category".
  combo->setCurrentIndex(-1);
}

}  // namespace

// The host a worker reports through: forwards texts and progress, waits without
// touching the window, and stops on 停止 or when the window closes.
class SearchTabsController::WorkerHost : public Host {
 public:
  explicit WorkerHost(Host& inner) : inner_(inner) {}
  void setStatus(const std::string& text) override { inner_.setStatus(text); }
  void setRowCountLabel(const std::string& text) override { inner_.setRowCountLabel(text); }
  void message(const std::string& text) override { inner_.message(text); }
  void pause(int ms) override {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stopRequested()) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= until) break;
      std::this_thread::sleep_for(
          std::min<std::chrono::steady_clock::duration>(until - now, std::chrono::milliseconds(10)));
    }
  }
  bool stopRequested() const override { return stop.load() || token.stop_requested(); }
  void startAccountRefresh() override { inner_.startAccountRefresh(); }
  void setProgress(const Progress& progress) override { inner_.setProgress(progress); }
  // Every query button is held disabled for the whole search by the controller.
  void setQueryEnabled(const std::string&, bool) override {}

  std::atomic<bool> stop{false};
  std::stop_token token;  // set on the worker before it reports anything

 private:
  Host& inner_;
};

SearchTabsController::SearchTabsController(QWidget* mainWindow, ResultsTable& table, Host& host,
                                           std::function<void(bool running)> setRunning)
    : QObject(mainWindow), window_(mainWindow), table_(table), host_(host), setRunning_(std::move(setRunning)) {
  monitoredPath_ = MonitoredFilePath(QCoreApplication::applicationDirPath());

  auto connectButton = [this](const char* name, void (SearchTabsController::*handler)()) {
    if (auto* button = qobject_cast<QAbstractButton*>(find(name)))
      connect(button, &QAbstractButton::clicked, this, handler);
  };
  connectButton("按钮1", &SearchTabsController::onKeywordQuery);
  connectButton("按钮6", &SearchTabsController::onHotWords);
  connectButton("按钮7", &SearchTabsController::onSortHint);
  connectButton("按钮8", &SearchTabsController::onListQuery);
  connectButton("按钮9", &SearchTabsController::onCategoryQuery);
  connectButton("按钮10", &SearchTabsController::onShopQuery);
  connectButton("按钮2", &SearchTabsController::openMonitoredIdsEditor);
  connectButton("按钮停止", &SearchTabsController::stop);

  if (auto* delay = qobject_cast<QLineEdit*>(find("编辑框8"))) {
    grabDelay_ = ToGbk(delay->text());
    connect(delay, &QLineEdit::textChanged, this, [this](const QString& text) {
      std::lock_guard<std::mutex> lock(delayMutex_);
      grabDelay_ = ToGbk(text);
    });
  }

  topCombo_ = qobject_cast<QComboBox*>(find("组合框3"));
  subCombo_ = qobject_cast<QComboBox*>(find("组合框4"));
  if (topCombo_) {
    topCombo_->installEventFilter(this);
    connect(topCombo_, &QComboBox::activated, this, &SearchTabsController::onTopCategoryChosen);
  }
}

SearchTabsController::~SearchTabsController() {
  if (workerHost_) workerHost_->stop = true;
  if (loaderHost_) loaderHost_->stop = true;
  worker_.request_stop();
  loader_.request_stop();
  if (worker_.joinable()) worker_.join();
  if (loader_.joinable()) loader_.join();
}

QWidget* SearchTabsController::find(const char* name) const {
  return window_ ? window_->findChild<QWidget*>(QString::fromUtf8(name)) : nullptr;
}

std::string SearchTabsController::grabDelayText() const {
  std::lock_guard<std::mutex> lock(delayMutex_);
  return grabDelay_;
}

void SearchTabsController::stop() {
  if (workerHost_) workerHost_->stop = true;
}

void SearchTabsController::loadMonitoredItems() {
  // An unreadable id file counts as missing; the status line says why.
  std::string status;
  LoadMonitoredItems(monitoredPath_.toStdString(), &status);
  if (!status.empty()) host_.setStatus(status);
}

void SearchTabsController::startSearch(const char* kind, std::string query, std::function<void(SearchRun&)> body) {
  // One search at a time: two searches would interleave their rows in one table.
  if (running_) return;
  if (worker_.joinable()) worker_.join();
  running_ = true;
  if (setRunning_) setRunning_(true);
  workerHost_ = std::make_unique<WorkerHost>(host_);
  WorkerHost* host = workerHost_.get();
  worker_ = std::jthread([this, host, history = history_, kind = std::string(kind), query = std::move(query),
                          body = std::move(body)](std::stop_token token) {
    host->token = token;
    // Closing the window abandons the request in flight.
    SetThreadStopToken(token);
    SearchRun run(table_, *host);
    run.grabDelayText = [this] { return grabDelayText(); };
    if (history) {
      history->beginRun(kind, query);
      run.rowDone = [history, &run](int32_t row) {
        run.table.visitRow(
            row, [history](const RowCells& cells, const RowFailures& failures) { history->addRow(cells, failures); });
      };
    }
    history::RunState state = history::RunState::Done;
    try {
      body(run);
      if (host->stopRequested()) state = history::RunState::Stopped;
    } catch (...) {
      // The core does not throw; should anything else, the run is failed and the window not locked.
      state = history::RunState::Failed;
    }
    if (history) history->endRun(state);
    SetThreadStopToken({});
    QMetaObject::invokeMethod(
        this, [this] { finishSearch(); }, Qt::QueuedConnection);
  });
}

void SearchTabsController::finishSearch() {
  if (worker_.joinable()) worker_.join();
  workerHost_.reset();
  running_ = false;
  if (setRunning_) setRunning_(false);
  emit searchFinished();
}

void SearchTabsController::onKeywordQuery() {
  const std::string keyword = ToGbk(TextOf(find("编辑框1")));
  if (const std::string refusal = KeywordRefusal(keyword); !refusal.empty()) {
    host_.message(refusal);
    return;
  }
  const std::string pages = ToGbk(TextOf(find("编辑框3")));
  startSearch("keyword", GbkToUtf8(keyword) + " --pages " + GbkToUtf8(pages),
              [keyword, pages](SearchRun& run) { KeywordSearchWorker(run, keyword, pages); });
}

void SearchTabsController::onHotWords() { OpenWebAddress(FromGbk(CurrentEndpoints()->TOP_SITE)); }

void SearchTabsController::onSortHint() { host_.message(SearchText(SearchTextId::SortHint)); }

void SearchTabsController::onListQuery() {
  const std::string text = ToGbk(TextOf(find("编辑框2")));
  if (text.empty()) {
    host_.message(SearchText(SearchTextId::NoAddress));
    return;
  }
  auto* mode = qobject_cast<QComboBox*>(find("组合框1"));
  const int modeIndex = mode ? mode->currentIndex() : LIST_MODE_LIST_PAGES;
  // The addresses, one a line in the box, as one line.
  std::string query = modeIndex == LIST_MODE_LIST_PAGES ? "--mode list" : "--mode item";
  std::string line;
  for (char c : GbkToUtf8(text) + "\n") {
    if (c != '\r' && c != '\n') {
      line += c;
    } else if (!line.empty()) {
      query += " " + line;
      line.clear();
    }
  }
  startSearch("list", std::move(query), [text, modeIndex](SearchRun& run) { ListAddressSearch(run, text, modeIndex); });
}

void SearchTabsController::onShopQuery() {
  const std::string nickname = ToGbk(TextOf(find("编辑框7")));
  if (const std::string refusal = ShopRefusal(nickname); !refusal.empty()) {
    host_.message(refusal);
    return;
  }
  const std::string pages = ToGbk(TextOf(find("编辑框6")));
  startSearch("shop", GbkToUtf8(nickname) + " --pages " + GbkToUtf8(pages), [nickname, pages](SearchRun& run) {
    ShopSearch(run, nickname, pages);
    run.host.startAccountRefresh();
  });
}

void SearchTabsController::onCategoryQuery() {
  const int topIndex = topCombo_ ? topCombo_->currentIndex() : -1;
  if (const std::string refusal = CategoryRefusal(topIndex); !refusal.empty()) {
    host_.message(refusal);
    return;
  }
  CategoryQuery query;
  query.topValue = topCombo_->itemData(topIndex).toInt();
  if (subCombo_ && subCombo_->currentIndex() != -1)
    query.subValue = subCombo_->itemData(subCombo_->currentIndex()).toInt();
  query.keyword = ToGbk(TextOf(find("编辑框4")));
  QWidget* pagesBox = find("编辑框5");
  query.pagesText = ToGbk(TextOf(pagesBox));
  // The worker corrects the box through the UI thread; the box may be gone by then.
  query.setPagesText = [this, box = QPointer<QWidget>(pagesBox)](const std::string& text) {
    const QString value = FromGbk(text);
    QMetaObject::invokeMethod(
        this,
        [box, value] {
          if (box) SetTextOf(box, value);
        },
        Qt::QueuedConnection);
  };
  std::string recorded = "--cat " + std::to_string(query.topValue);
  if (query.subValue) recorded += " --sub " + std::to_string(*query.subValue);
  if (!query.keyword.empty()) recorded += " --keyword " + GbkToUtf8(query.keyword);
  recorded += " --pages " + GbkToUtf8(query.pagesText);
  startSearch("category", std::move(recorded), [query](SearchRun& run) { CategorySearchWorker(run, query); });
}

bool SearchTabsController::eventFilter(QObject* watched, QEvent* event) {
  if (watched == topCombo_ && topCombo_->count() == 0) {
    bool opens = event->type() == QEvent::MouseButtonPress;
    if (event->type() == QEvent::KeyPress) {
      const auto* key = static_cast<QKeyEvent*>(event);
      opens = key->key() == Qt::Key_F4 || key->key() == Qt::Key_Space ||
              ((key->key() == Qt::Key_Down || key->key() == Qt::Key_Up) && (key->modifiers() & Qt::AltModifier));
    }
    if (opens) {
      // The list is loaded the first time it is opened, then drops down filled.
      loadTopCategories();
      return true;
    }
  }
  return QObject::eventFilter(watched, event);
}

void SearchTabsController::startCategoryLoad(std::function<void(WorkerHost&)> body) {
  if (loader_.joinable()) loader_.join();
  loadingCategories_ = true;
  loaderHost_ = std::make_unique<WorkerHost>(host_);
  WorkerHost* host = loaderHost_.get();
  loader_ = std::jthread([host, body = std::move(body)](std::stop_token token) {
    host->token = token;
    SetThreadStopToken(token);
    body(*host);
    SetThreadStopToken({});
  });
}

void SearchTabsController::loadTopCategories() {
  if (loadingCategories_ || !topCombo_) return;
  startCategoryLoad([this](WorkerHost& host) {
    std::vector<CategoryEntry> entries = LoadTopCategories(host);
    QMetaObject::invokeMethod(
        this,
        [this, entries = std::move(entries)] {
          loadingCategories_ = false;
          if (topCombo_) FillCombo(topCombo_, entries);
          if (subCombo_) {
            FillCombo(subCombo_, {{SearchText(SearchTextId::SubPlaceholderFirst), 0}});
          }
          emit categoriesLoaded();
          if (topCombo_ && topCombo_->isVisible()) topCombo_->showPopup();
          takePendingChoice();
        },
        Qt::QueuedConnection);
  });
}

void SearchTabsController::onTopCategoryChosen(int index) {
  if (!topCombo_ || index < 0) return;
  const int32_t value = topCombo_->itemData(index).toInt();
  if (loadingCategories_) {
    // Chosen while another list loads: loaded once that one is in.
    pendingTop_ = index;
    return;
  }
  startCategoryLoad([this, value](WorkerHost& host) {
    std::vector<CategoryEntry> entries = LoadSubCategories(host, value);
    QMetaObject::invokeMethod(
        this,
        [this, entries = std::move(entries)] {
          loadingCategories_ = false;
          if (subCombo_) FillCombo(subCombo_, entries);
          emit categoriesLoaded();
          takePendingChoice();
        },
        Qt::QueuedConnection);
  });
}

void SearchTabsController::takePendingChoice() {
  if (pendingTop_ < 0) return;
  const int index = pendingTop_;
  pendingTop_ = -1;
  onTopCategoryChosen(index);
}

void SearchTabsController::openMonitoredIdsEditor() {
  MonitoredIdsEditor editor(window_, monitoredPath_, host_);
  editor.exec();
}

}  // namespace kelvora
