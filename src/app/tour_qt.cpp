#include "app/tour_qt.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QEventLoop>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <QWebEngineView>
#include <cstdio>

#include "app/desktop_calls_qt.h"
#include "app/desktop_host_qt.h"
#include "app/main_window.h"
#include "app/results_model.h"
#include "lookup/lookup_service.h"
#include "net/codec.h"
#include "net/http.h"
#include "net/json.h"
#include "net/text.h"

namespace kelvora {

Tour::Tour(QString dir, QObject* parent) : QObject(parent), dir_(std::move(dir)) {}

void Tour::addStep(const QString& name, StepFn run) { steps_.push_back({name, std::move(run)}); }

void Tour::addDialogStep(const QString& objectName, const QString& shotName, DialogFn act) {
  dialogSteps_[objectName] = {shotName, std::move(act)};
}

void Tour::watchDialogs() {
  if (dialogTimer_) return;
  dialogTimer_ = new QTimer(this);
  dialogTimer_->setInterval(200);
  connect(dialogTimer_, &QTimer::timeout, this, &Tour::checkDialogs);
  dialogTimer_->start();
}

void Tour::checkDialogs() {
  QWidget* modal = QApplication::activeModalWidget();
  if (!modal || !modal->isVisible() || dialogsSeen_.count(modal)) return;
  dialogsSeen_.insert(modal);
  const auto it = dialogSteps_.find(modal->objectName());
  if (it == dialogSteps_.end()) {
    // A message nobody expected: keep its picture, close it, and go on.
    shoot(modal, QStringLiteral("message"));
    if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->accept();
    return;
  }
  shoot(modal, it->second.shotName);
  if (!it->second.act(modal) && failedDialog_.isEmpty()) failedDialog_ = it->second.shotName;
}

void Tour::start() {
  // The watcher stays on: a message that comes up during a step is photographed
  // and closed instead of holding up the tour.
  watchDialogs();
  QTimer::singleShot(0, this, &Tour::runNext);
}

void Tour::fail(const QString& step) {
  std::fprintf(stderr, "kelvora: tour step \"%s\" failed\n", step.toUtf8().constData());
  QCoreApplication::exit(1);
}

void Tour::runNext() {
  if (!failedDialog_.isEmpty()) {
    fail(failedDialog_);
    return;
  }
  if (next_ >= steps_.size()) {
    std::fprintf(stderr, "kelvora: tour done, %d pictures in %s\n", shots_, dir_.toUtf8().constData());
    QCoreApplication::exit(0);
    return;
  }
  const Step& step = steps_[next_++];
  if (!step.run()) {
    fail(step.name);
    return;
  }
  // A short breath between steps lets the window draw what the step changed.
  QTimer::singleShot(150, this, &Tour::runNext);
}

bool Tour::save(const QPixmap& picture, const QString& name) {
  QDir().mkpath(dir_);
  const QString file = QDir(dir_).filePath(QStringLiteral("%1-%2.png").arg(++shots_, 2, 10, QLatin1Char('0')).arg(name));
  return !picture.isNull() && picture.save(file, "PNG");
}

bool Tour::shoot(QWidget* widget, const QString& name) { return widget && save(widget->grab(), name); }

bool Tour::waitUntil(const std::function<bool()>& condition, int timeoutMs) {
  QEventLoop loop;
  QTimer deadline;
  deadline.setSingleShot(true);
  QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (condition()) loop.quit();
  });
  if (condition()) return true;
  deadline.start(timeoutMs);
  poll.start(50);
  loop.exec();
  return condition();
}

namespace {

// Addresses of a few simulator items of each kind, read from its catalogue.
std::vector<std::string> PickItems(const std::string& simBase) {
  std::string url = simBase + "/sim/catalogue.json?offset=0&limit=200";
  std::string cookie;
  const std::string body = HttpFetch(url, "", cookie);
  JsonReader json;
  json.load("c", body);
  const std::vector<std::pair<std::string, int>> wanted = {{"taobao", 4}, {"tmall", 3}, {"alt", 1}, {"removed", 1}};
  std::map<std::string, int> taken;
  std::vector<std::string> addresses;
  const int32_t n = json.getLength("c.items");
  for (int32_t i = 0; i < n; ++i) {
    const std::string prefix = "c.items[" + NumberText(static_cast<int64_t>(i)) + "]";
    const std::string kind = json.getText(prefix + ".kind");
    const std::string id = json.getText(prefix + ".id");
    for (const auto& [k, count] : wanted) {
      if (k != kind || taken[k] >= count) continue;
      ++taken[k];
      addresses.push_back(simBase + (kind == "tmall" ? "/detail/item.htm?id=" : "/item/item.htm?id=") + id);
    }
  }
  return addresses;
}

}  // namespace

void AddMainWindowSteps(Tour& tour, MainWindow& window, const QString& simBase) {
  tour.addStep(QStringLiteral("main-window"), [&tour, &window] {
    if (QWebEngineView* notice = window.noticeView()) {
      bool loaded = false;
      auto connection = QObject::connect(notice, &QWebEngineView::loadFinished, [&loaded] { loaded = true; });
      Tour::waitUntil([&] { return loaded || !notice->page()->isLoading(); }, 10000);
      QObject::disconnect(connection);
      Tour::waitUntil([] { return false; }, 500);  // let the page paint
    }
    Tour::waitUntil([&] { return !window.findChild<QLabel*>(QStringLiteral("标签_yhxx"))->text().isEmpty(); }, 3000);
    return tour.shoot(&window, QStringLiteral("main-window"));
  });

  tour.addStep(QStringLiteral("lookups"), [&tour, &window, simBase] {
    const std::string base = ToGbk(simBase);
    ResultsTable& table = window.table();
    DesktopHost& host = window.host();
    const bool started = window.startOperation([base, &table, &host](std::stop_token) {
      const std::vector<std::string> addresses = PickItems(base);
      for (size_t n = 0; n < addresses.size() && !host.stopRequested(); ++n) {
        if (n > 0) host.pause(200 + 1);  // the grab delay between items
        // As a search hands over an address: the row, its link, then the driver.
        const int32_t row = table.addRow(NumberText(static_cast<int64_t>(table.rowCount()) + 1));
        table.setCell(row, ResultColumn::Link, addresses[n]);
        FillResultRow(table, row, host);
        host.setProgress(0, 0, static_cast<int>(n + 1));
      }
    });
    if (!started) return false;
    if (!Tour::waitUntil([&] { return !window.operationRunning(); }, 120000)) return false;
    window.model().flush();
    if (table.rowCount() < 5) return false;
    // At least the ordinary items must have come back with their titles.
    int titled = 0;
    for (int32_t r = 0; r < table.rowCount(); ++r)
      if (!table.cellText(r, ResultColumn::Title).empty() && !table.cellText(r, ResultColumn::ItemId).empty()) ++titled;
    if (titled < 4) return false;
    host.setStatus(ToGbk(QStringLiteral("演示：已查询 %1 个商品").arg(table.rowCount())));
    Tour::waitUntil([] { return false; }, 200);
    return tour.shoot(&window, QStringLiteral("lookups"));
  });

  tour.addStep(QStringLiteral("row-menu"), [&tour, &window] {
    QTableView* view = window.resultsView();
    view->selectRow(1);
    const QRect cell = view->visualRect(window.model().index(1, 3));
    emit view->customContextMenuRequested(cell.center());
    auto* menu = window.findChild<QMenu*>(QStringLiteral("右键"));
    if (!menu || !Tour::waitUntil([menu] { return menu->isVisible(); }, 2000)) return false;
    // The menu is a window of its own: draw it onto the main window's picture.
    QPixmap picture = window.grab();
    QPainter painter(&picture);
    painter.drawPixmap(menu->pos() - window.mapToGlobal(QPoint(0, 0)), menu->grab());
    painter.end();
    menu->hide();
    return tour.save(picture, QStringLiteral("row-menu"));
  });

  tour.addStep(QStringLiteral("retry"), [&tour, &window] {
    auto* retry = window.findChild<QPushButton*>(QStringLiteral("按钮13"));
    if (!retry || !retry->isEnabled()) return false;
    retry->click();
    if (!window.operationRunning()) return false;
    tour.shoot(&window, QStringLiteral("retry-running"));
    if (!Tour::waitUntil([&] { return !window.operationRunning(); }, 120000)) return false;
    window.model().flush();
    return retry->isEnabled() && tour.shoot(&window, QStringLiteral("retry-done"));
  });
}

}  // namespace kelvora
