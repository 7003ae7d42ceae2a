// Appending rows to the results view while it is shown: how long 100 000 rows
// take to reach the view, and the longest time the UI thread could not serve its
// event loop meanwhile. Rows come from a worker the way the per-item driver
// writes them: the row, its link, the filled columns and the row count label.
//
//   results_view_bench [--rows N] [--writers T]     (offscreen unless QT_QPA_PLATFORM is set)
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QTableView>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/main_window.h"
#include "net/text.h"
#include "ui/browser_pane_qt.h"
#include "ui/desktop_host_qt.h"
#include "ui/results_model.h"

using namespace kelvora;
using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

RowCells SampleCells(int32_t row) {
  RowCells c;
  c[0] = NumberText(static_cast<int64_t>(row));
  c[1] = NumberText(static_cast<int64_t>(520000000000LL + row));
  c[2] = "\xb4\xba\xbc\xbe\xd0\xc2\xbf\xee\xc5\xae\xd7\xb0\xc1\xac\xd2\xc2\xc8\xb9 " +
         NumberText(static_cast<int64_t>(row));
  c[3] = "http://127.0.0.1:1/item/item.htm?id=" + c[1];
  c[4] = "\xc0\xb6\xcc\xec\xd0\xa1\xc6\xcc";
  c[5] =
      "2018\xc4\xea"
      "3\xd4\xc2"
      "4\xc8\xd5"
      "21\xca\xb1"
      "26\xb7\xd6"
      "41\xc3\xeb";
  c[6] =
      "2018\xc4\xea"
      "3\xd4\xc2"
      "11\xc8\xd5"
      "21\xca\xb1"
      "26\xb7\xd6"
      "41\xc3\xeb";
  c[7] = NumberText(static_cast<int64_t>(row % 168));
  c[8] = "\xb5\xea\xc6\xcc";
  c[9] = NumberText(static_cast<int64_t>(row % 9000));
  c[10] = NumberText(static_cast<int64_t>(row % 300));
  c[11] = "58.00";
  c[12] = "\xd5\xe3\xbd\xad\xba\xbc\xd6\xdd";
  return c;
}

// Measures the paints of the results view from the UI thread's side.
class PaintTimer : public QObject {
 public:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::Paint) return false;
    const auto start = Clock::now();
    static_cast<QWidget*>(watched)->removeEventFilter(this);
    QCoreApplication::sendEvent(watched, event);
    watched->installEventFilter(this);
    longest = std::max(longest, Ms(Clock::now() - start));
    ++count;
    return true;
  }
  double longest = 0;
  int count = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  int rows = 100000;
  int writers = 1;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--rows")) rows = std::max(1, std::atoi(argv[i + 1]));
    if (!std::strcmp(argv[i], "--writers")) writers = std::max(1, std::atoi(argv[i + 1]));
  }
  QApplication app(argc, argv);
  BrowserPane::setBrowsersEnabled(false);  // no notice page: only the view is measured
  MainWindowOptions options;
  options.networkProbe = false;
  MainWindow window(options);
  window.show();
  QApplication::processEvents();
  ResultsTable& table = window.table();
  Host& host = window.host();

  // The heartbeat: a 1 ms timer on the UI thread. A gap between two beats is the
  // time the thread spent on something else (drawing, applying batches).
  std::vector<double> gaps;
  gaps.reserve(200000);
  Clock::time_point lastBeat = Clock::now();
  QTimer beat;
  beat.setTimerType(Qt::PreciseTimer);
  QObject::connect(&beat, &QTimer::timeout, [&] {
    const auto now = Clock::now();
    gaps.push_back(Ms(now - lastBeat));
    lastBeat = now;
  });

  // The UI thread's own share: how long the view takes over a batch of inserted
  // rows, and how long one paint of the table takes.
  int inserts = 0;
  double longestInsert = 0;
  Clock::time_point insertStart;
  QObject::connect(&window.model(), &QAbstractItemModel::rowsAboutToBeInserted, [&] { insertStart = Clock::now(); });
  QObject::connect(&window.model(), &QAbstractItemModel::rowsInserted, [&] {
    ++inserts;
    longestInsert = std::max(longestInsert, Ms(Clock::now() - insertStart));
  });
  PaintTimer paints;
  window.resultsView()->viewport()->installEventFilter(&paints);

  // The machine's own noise: the same heartbeat with nothing else to do.
  double idleLongest = 0;
  {
    QTimer idle;
    idle.setTimerType(Qt::PreciseTimer);
    Clock::time_point last = Clock::now();
    QObject::connect(&idle, &QTimer::timeout, [&] {
      const auto now = Clock::now();
      idleLongest = std::max(idleLongest, Ms(now - last));
      last = now;
    });
    idle.start(1);
    // A local loop: QApplication::quit would close the window as well.
    QEventLoop loop;
    QTimer::singleShot(500, &loop, &QEventLoop::quit);
    loop.exec();
  }

  QEventLoop runLoop;
  std::atomic<int> written{0};
  Clock::time_point start, writersDone, shown;
  std::vector<std::thread> threads;
  QTimer::singleShot(0, [&] {
    start = Clock::now();
    lastBeat = start;
    beat.start(1);
    const int share = rows / writers;
    for (int t = 0; t < writers; ++t) {
      const int count = t == writers - 1 ? rows - share * (writers - 1) : share;
      threads.emplace_back([&, count] {
        for (int i = 0; i < count; ++i) {
          const int32_t row = table.addRow(NumberText(static_cast<int64_t>(table.rowCount()) + 1));
          RowCells cells = SampleCells(row);
          table.setCell(row, ResultColumn::Link, cells[3]);
          table.writeColumns(row, cells, 0, 12, table.epoch());
          host.setRowCountLabel(RowCountLabelText(table.rowCount()));
        }
        if (++written == writers) writersDone = Clock::now();
      });
    }
  });
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (written == writers && window.model().rowCount() == rows) {
      shown = Clock::now();
      window.resultsView()->scrollToBottom();
      window.resultsView()->repaint();
      runLoop.quit();
    }
  });
  watch.start(1);
  runLoop.exec();
  for (auto& t : threads) t.join();
  // The same paint with the store quiet: what drawing a screenful costs by itself.
  double quietPaint = 1e9;
  for (int i = 0; i < 5; ++i) {
    window.model().flush();  // drops the model's row cache, as a batch does
    const auto t0 = Clock::now();
    window.resultsView()->viewport()->repaint();
    quietPaint = std::min(quietPaint, Ms(Clock::now() - t0));
  }

  std::vector<double> sorted = gaps;
  std::sort(sorted.begin(), sorted.end());
  const double longest = sorted.empty() ? 0 : sorted.back();
  const double p99 = sorted.empty() ? 0 : sorted[static_cast<size_t>(0.99 * static_cast<double>(sorted.size() - 1))];
  std::printf("rows                         %d (%d writer thread%s, 3 store changes and a label per row)\n", rows,
              writers, writers == 1 ? "" : "s");
  std::printf("writers done after           %.1f ms\n", Ms(writersDone - start));
  std::printf("all rows in the view after   %.1f ms\n", Ms(shown - start));
  std::printf("row insert batches           %d (model batch interval %d ms)\n", inserts, ResultsModel::kBatchMs);
  std::printf("UI heartbeats (1 ms timer)   %zu\n", gaps.size());
  std::printf("longest UI-thread stall      %.2f ms\n", longest);
  std::printf("99th percentile beat gap     %.2f ms\n", p99);
  std::printf("longest insert handling      %.2f ms\n", longestInsert);
  std::printf("paints of the table          %d, longest %.2f ms\n", paints.count, paints.longest);
  std::printf("paint with the store quiet   %.2f ms (best of 5)\n", quietPaint);
  std::printf("idle heartbeat, longest gap  %.2f ms (the machine's own noise, before the run)\n", idleLongest);
  std::printf("label shows                  %s\n",
              window.findChild<QLabel*>(QStringLiteral("透明标签13"))->text().toUtf8().constData());

  // A click on a caption and a filter over every row: from the call to the first
  // paint of the changed view (the UI thread is busy the whole time).
  QTableView* view = window.resultsView();
  auto timed = [&](const char* what, auto change) {
    const auto t0 = Clock::now();
    change();
    view->viewport()->repaint();
    std::printf("%-28s %.1f ms\n", what, Ms(Clock::now() - t0));
  };
  timed("sort by 当前销量 to paint",
        [&] { view->sortByColumn(static_cast<int>(ResultColumn::Sales), Qt::AscendingOrder); });
  timed("reverse it to paint", [&] { view->sortByColumn(static_cast<int>(ResultColumn::Sales), Qt::DescendingOrder); });
  timed("sort by 标题 (pinyin) to paint",
        [&] { view->sortByColumn(static_cast<int>(ResultColumn::Title), Qt::AscendingOrder); });
  timed("sort by 下架时间 to paint",
        [&] { view->sortByColumn(static_cast<int>(ResultColumn::DelistAt), Qt::AscendingOrder); });
  window.showFilter();
  auto* filter = window.findChild<QLineEdit*>(QStringLiteral("筛选框"));
  timed("filter \"99\" to paint", [&] { filter->setText(QStringLiteral("99")); });
  std::printf("rows shown by the filter     %d\n", view->model()->rowCount());
  timed("filter cleared to paint", [&] { filter->clear(); });
  return window.model().rowCount() == rows ? 0 : 1;
}
