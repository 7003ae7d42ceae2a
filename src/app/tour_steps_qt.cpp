// The steps of `kelvora --demo --tour DIR`, in the order a user meets the program.
#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <cstdio>
#include <map>
#include <memory>

#include "analysis/analysis_window.h"
#include "analysis/export_qt.h"
#include "analysis/grid_model.h"
#include "app/demo_catalogue.h"
#include "app/main_window.h"
#include "app/tour_qt.h"
#include "lookup/lookup_service.h"
#include "net/shared_state.h"
#include "net/text.h"
#include "session/login_window.h"
#include "ui/desktop_calls_qt.h"
#include "ui/desktop_history_qt.h"
#include "ui/desktop_host_qt.h"
#include "ui/history_window.h"
#include "ui/item_history_window.h"
#include "ui/results_model.h"
#include "wizard/search_wizard_walk_qt.h"

namespace kelvora {

namespace {

template <typename W>
W* Child(QWidget* window, const char* name) {
  return window ? window->findChild<W*>(QString::fromUtf8(name)) : nullptr;
}

// Runs one search from its tab as a user does: fills the boxes, clicks the query
// button, waits for the end and pictures the filled table.
bool RunSearch(Tour& tour, MainWindow& window, int tab, const std::vector<std::pair<const char*, QString>>& boxes,
               const char* button, const QString& shotName) {
  auto* tabs = Child<QTabWidget>(&window, "选择夹1");
  auto* query = Child<QPushButton>(&window, button);
  if (!tabs || !query || !query->isEnabled()) return false;
  tabs->setCurrentIndex(tab);
  for (const auto& [name, text] : boxes) {
    auto* box = Child<QLineEdit>(&window, name);
    if (!box) return false;
    box->setText(text);
  }
  const int32_t before = window.table().rowCount();
  query->click();
  if (!window.operationRunning()) return false;
  if (!Tour::waitUntil([&] { return !window.operationRunning(); }, 300000)) return false;
  window.model().flush();
  if (window.table().rowCount() <= before) return false;
  window.resultsView()->scrollToBottom();
  Tour::breathe(300);
  return tour.shoot(&window, shotName);
}

// What the analysis steps share: the window that 按钮4 opened.
struct AnalysisState {
  QPointer<AnalysisWindow> window;
  bool reportShown = false;
};

// Asks the report page whether it has drawn everything; false while it has not
// answered.
bool PageReportsDrawn(QWebEnginePage* page) {
  auto answer = std::make_shared<int>(-1);
  page->runJavaScript(QStringLiteral("typeof reportDrawn === 'function' && reportDrawn()"),
                      [answer](const QVariant& v) { *answer = v.toBool() ? 1 : 0; });
  Tour::waitUntil([&] { return *answer >= 0; }, 2000);
  return *answer == 1;
}

}  // namespace

void AddStartupSteps(Tour& tour) {
  tour.addDialogStep(QStringLiteral("LoginWindow"), QStringLiteral("login"), [&tour](QWidget* dialog) {
    auto* login = qobject_cast<LoginWindow*>(dialog);
    auto* button = Child<QPushButton>(dialog, "按钮1");
    if (!login || !button) return false;
    bool finished = false;
    const auto connection = QObject::connect(login, &LoginWindow::attemptFinished, [&finished] { finished = true; });
    tour.expectMessage(QStringLiteral("welcome"));  // the service greets the account
    button->click();
    Tour::waitUntil([&] { return finished; }, 30000);
    QObject::disconnect(connection);
    if (ServiceCookie().empty()) {
      login->reject();  // start-up ends; the tour names this step
      return false;
    }
    return true;
  });
  tour.addDialogStep(QStringLiteral("CookieEntryWindow"), QStringLiteral("cookies"), [](QWidget* dialog) {
    auto* confirm = Child<QPushButton>(dialog, "按钮1");
    if (!confirm) return false;
    confirm->click();  // accepted at once, or refused with a message
    if (MarketCookie().empty()) {
      if (auto* d = qobject_cast<QDialog*>(dialog)) d->reject();
      return false;
    }
    return true;
  });
}

void AddProgramSteps(Tour& tour, MainWindow& window, const QString& simBase) {
  tour.addStep(QStringLiteral("main-window"), [&tour, &window] {
    if (QWebEngineView* notice = window.noticeView()) {
      Tour::waitUntil([&] { return !notice->page()->isLoading(); }, 10000);
      Tour::breathe(500);  // let the page paint
    }
    Tour::waitUntil([&] { return !Child<QLabel>(&window, "标签_yhxx")->text().isEmpty(); }, 3000);
    return tour.shoot(&window, QStringLiteral("main-window"));
  });

  tour.addStep(QStringLiteral("lookups"), [&tour, &window, simBase] {
    const std::string base = ToGbk(simBase);
    ResultsTable& table = window.table();
    DesktopHost& host = window.host();
    DesktopHistory* history = window.history();
    const bool started = window.startOperation([base, &table, &host, history](std::stop_token) {
      const std::vector<std::string> addresses = DemoItemAddresses(base);
      // Recorded as the list search of these addresses would be.
      if (history) {
        std::string query = "--mode item";
        for (const std::string& a : addresses) query += " " + a;
        history->beginRun("list", query);
      }
      for (size_t n = 0; n < addresses.size() && !host.stopRequested(); ++n) {
        if (n > 0) host.pause(200 + 1);  // the grab delay between items
        // As a search hands over an address: the row, its link, then the driver.
        const int32_t row = table.addRow(NumberText(static_cast<int64_t>(table.rowCount()) + 1));
        table.setCell(row, ResultColumn::Link, addresses[n]);
        FillResultRow(table, row, host);
        if (history) history->addRow(table.row(row), table.failures(row));
        host.setProgress({0, 0, static_cast<int>(n + 1), static_cast<int>(addresses.size())});
      }
      if (history) history->endRun(history::RunState::Done);
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
    Tour::breathe(200);
    return tour.shoot(&window, QStringLiteral("lookups"));
  });

  tour.addStep(QStringLiteral("row-menu"), [&tour, &window] {
    QTableView* view = window.resultsView();
    view->selectRow(1);
    const QRect cell = view->visualRect(view->model()->index(1, 3));
    emit view->customContextMenuRequested(cell.center());
    auto* menu = window.findChild<QMenu*>(QStringLiteral("右键"));
    if (!menu || !Tour::waitUntil([menu] { return menu->isVisible(); }, 2000)) return false;
    const QPixmap picture = Tour::composed(&window, menu);
    menu->hide();
    return tour.save(picture, QStringLiteral("row-menu"));
  });

  tour.addStep(QStringLiteral("keyword-search"), [&tour, &window] {
    return RunSearch(tour, window, 0, {{"编辑框1", QStringLiteral("连衣裙")}, {"编辑框3", QStringLiteral("1")}},
                     "按钮1", QStringLiteral("keyword-search"));
  });

  tour.addStep(QStringLiteral("shop-search"), [&tour, &window] {
    return RunSearch(tour, window, 3, {{"编辑框7", QStringLiteral("蓝天小铺")}, {"编辑框6", QStringLiteral("1")}},
                     "按钮10", QStringLiteral("shop-search"));
  });

  // 高级搜索's wizard: a keyword refined in its browser, two result pages, and the
  // list-address search over the addresses it made.
  tour.addStep(QStringLiteral("wizard"), [&tour, &window] {
    WizardWalk walk;
    walk.keyword = QStringLiteral("连衣裙");
    walk.refinement = QStringLiteral("&sort=sale-desc");
    walk.shoot = [&tour](QWidget* w, const QString& name) { tour.shoot(w, name); };
    const QString failed = WalkSearchWizard(&window, walk);
    if (!failed.isEmpty()) std::fprintf(stderr, "tour: wizard step %s failed\n", qPrintable(failed));
    window.model().flush();
    return failed.isEmpty();
  });

  tour.addStep(QStringLiteral("retry"), [&tour, &window] {
    auto* retry = Child<QPushButton>(&window, "按钮13");
    auto* delay = Child<QLineEdit>(&window, "编辑框8");
    auto* progress = Child<QLabel>(&window, "标签_进度");
    if (!retry || !retry->isEnabled() || !delay || !progress) return false;
    // A longer grab delay holds the retry between its rows long enough to show
    // how far it got.
    const QString keptDelay = delay->text();
    delay->setText(QStringLiteral("1500"));
    retry->click();
    if (!window.operationRunning()) return false;
    Tour::waitUntil([&] { return progress->isVisible() && progress->text().startsWith(QLatin1String("1 / ")); }, 5000);
    window.model().flush();
    tour.shoot(&window, QStringLiteral("retry-running"));
    delay->setText(keptDelay);
    if (!Tour::waitUntil([&] { return !window.operationRunning(); }, 300000)) return false;
    window.model().flush();
    return retry->isEnabled() && tour.shoot(&window, QStringLiteral("retry-done"));
  });

  // The window grown, the rows sorted by their delisting time, then filtered.
  tour.addStep(QStringLiteral("sorted"), [&tour, &window] {
    window.resize(1180, 800);
    QTableView* view = window.resultsView();
    view->sortByColumn(static_cast<int>(ResultColumn::DelistAt), Qt::AscendingOrder);
    Tour::breathe(200);
    return tour.shoot(&window, QStringLiteral("sorted"));
  });
  tour.addStep(QStringLiteral("filtered"), [&tour, &window] {
    window.showFilter();
    auto* edit = Child<QLineEdit>(&window, "筛选框");
    if (!edit) return false;
    edit->setText(QStringLiteral("连衣裙"));
    Tour::breathe(200);
    const bool shot = tour.shoot(&window, QStringLiteral("filtered"));
    window.hideFilter();
    QTableView* view = window.resultsView();
    view->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    window.resize(930, 661);
    return shot;
  });

  auto analysis = std::make_shared<AnalysisState>();
  tour.addStep(QStringLiteral("analysis-table"), [&tour, &window, analysis] {
    auto* button = Child<QPushButton>(&window, "按钮4");
    if (!button) return false;
    button->click();
    analysis->window = window.findChild<AnalysisWindow*>();
    QPointer<AnalysisWindow>& w = analysis->window;
    if (!w || !w->isVisible()) return false;
    QObject::connect(w, &AnalysisWindow::reportShown, w, [analysis] { analysis->reportShown = true; });
    if (!Tour::waitUntil([&w] { return !w || !w->isLoading(); }, 60000) || !w) return false;
    // The snapshot under its caption row.
    if (w->gridModel()->rowCount() != window.table().rowCount() + 1) return false;
    Tour::breathe(300);
    return w && tour.shoot(w, QStringLiteral("analysis-table"));
  });

  tour.addStep(QStringLiteral("analysis-charts"), [&tour, analysis] {
    QPointer<AnalysisWindow>& w = analysis->window;
    auto* tabs = Child<QTabWidget>(w, "选择夹1");
    if (!w || !tabs || !w->reportView()) return false;
    // Roomier than its first size, so that the picture holds the first charts.
    w->resize(1180, 940);
    tabs->setCurrentIndex(1);
    if (!Tour::waitUntil([&] { return analysis->reportShown || !w; }, 30000) || !w) return false;
    // The charts draw once their tab shows; a page that never says so is pictured
    // as it is after a while.
    Tour::waitUntil([&] { return !w || PageReportsDrawn(w->reportView()->page()); }, 8000);
    Tour::breathe(300);
    if (!w || !w->pageErrors().isEmpty()) return false;
    return tour.shoot(w, QStringLiteral("analysis-charts"));
  });

  tour.addStep(QStringLiteral("export"), [&tour, analysis] {
    QPointer<AnalysisWindow>& w = analysis->window;
    auto* button = Child<QPushButton>(w, "按钮1");
    if (!w || !button) return false;
    QString path = QDir(tour.dir()).absoluteFilePath(QStringLiteral("kelvora.xlsx"));
    QFile::remove(path);
    auto said = std::make_shared<QStringList>();
    ExportPrompts prompts;
    prompts.choosePath = [path](QWidget*) { return path; };
    prompts.message = [said](QWidget*, const QString&, const QString& text) { said->append(text); };
    SetExportPrompts(&prompts);
    button->click();
    const bool answered = Tour::waitUntil([&] { return !w || (!said->isEmpty() && w->isEnabled()); }, 60000);
    SetExportPrompts(nullptr);
    if (!answered || !w || said->first() != QStringLiteral("完成操作") || !QFileInfo(path).isFile()) return false;
    // The message the user would have seen, over the table that was written.
    if (auto* tabs = Child<QTabWidget>(w, "选择夹1")) tabs->setCurrentIndex(0);
    QMessageBox box(QMessageBox::NoIcon, MessageCaption(), said->first(), QMessageBox::Ok, w);
    box.setWindowModality(Qt::NonModal);  // drawn, not waited for
    box.show();
    Tour::breathe(300);
    const QPixmap picture = Tour::composed(w, &box);
    box.close();
    w->close();
    return tour.save(picture, QStringLiteral("export"));
  });

  // 历史记录: every run of the tour so far, newest first.
  tour.addStep(QStringLiteral("history-window"), [&tour, &window] {
    if (!window.history() || !window.history()->flush()) return false;
    auto* button = Child<QPushButton>(&window, "按钮历史");
    if (!button || !button->isEnabled()) return false;
    button->click();
    QPointer<HistoryWindow> w = window.findChild<HistoryWindow*>();
    if (!w) return false;
    // The runs are read off the UI thread; the list shows them once they come.
    if (!Tour::waitUntil([&] { return !w || w->shownRuns().size() >= 4; }, 10000) || !w) return false;
    w->selectRuns({w->shownRuns().front().id});
    Tour::breathe(300);
    const bool shot = tour.shoot(w, QStringLiteral("history-window"));
    w->close();
    return shot;
  });

  // The row menu's 历史 of the item recorded most often: its chart and its rows.
  tour.addStep(QStringLiteral("item-history"), [&tour, &window] {
    ResultsTable& table = window.table();
    std::map<std::string, int> seen;
    std::string best;
    for (int32_t r = 0; r < table.rowCount(); ++r) {
      const std::string id = table.cellText(r, ResultColumn::ItemId);
      if (id.empty() || id == "0") continue;
      if (++seen[id] > seen[best] || best.empty()) best = id;
    }
    int32_t row = -1;
    for (int32_t r = 0; r < table.rowCount() && row < 0; ++r)
      if (table.cellText(r, ResultColumn::ItemId) == best) row = r;
    if (row < 0) return false;
    QTableView* view = window.resultsView();
    view->selectRow(row);
    view->scrollTo(view->model()->index(row, 0));
    auto* menu = window.findChild<QMenu*>(QStringLiteral("右键"));
    QAction* action = menu ? menu->findChild<QAction*>(QStringLiteral("历史")) : nullptr;
    if (!action) {
      for (QAction* a : menu ? menu->actions() : QList<QAction*>{})
        if (a->objectName() == QStringLiteral("历史")) action = a;
    }
    if (!action || !action->isVisible()) return false;
    action->trigger();
    QPointer<ItemHistoryWindow> w = window.findChild<ItemHistoryWindow*>();
    if (!w) return false;
    bool loaded = false;
    QObject::connect(w, &ItemHistoryWindow::loaded, w, [&loaded] { loaded = true; });
    if (!Tour::waitUntil([&] { return !w || loaded; }, 10000) || !w || w->rowsShown() < 2) return false;
    if (QWebEngineView* chart = w->chartView()) {
      Tour::waitUntil([&] { return !w || !chart->page()->isLoading(); }, 10000);
      // The chart says when it has drawn; a page that never does is pictured as it is.
      auto drawn = [&] {
        auto answer = std::make_shared<int>(-1);
        chart->page()->runJavaScript(QStringLiteral("typeof historyDrawn === 'function' && historyDrawn()"),
                                     [answer](const QVariant& v) { *answer = v.toBool() ? 1 : 0; });
        Tour::waitUntil([&] { return *answer >= 0; }, 2000);
        return *answer == 1;
      };
      Tour::waitUntil([&] { return !w || drawn(); }, 8000);
    }
    Tour::breathe(300);
    if (!w || !w->pageErrors().isEmpty()) return false;
    const bool shot = tour.shoot(w, QStringLiteral("item-history"));
    w->close();
    return shot;
  });
}

}  // namespace kelvora
