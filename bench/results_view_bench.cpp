// The results view under load, each figure beside its baseline:
//  - a flood: 100 000 rows reach the shown view from a worker the way the
//    per-item driver writes them (the row, its link, the filled columns and the
//    row count label); the longest time the UI thread could not serve its event
//    loop and the 99th percentile of the gaps between 1 ms heartbeats, in the
//    store's order and again while the view is sorted; beside them, one paint of
//    the quiet table and the heartbeat of the idle machine;
//  - a click on a caption (numbers, a price range, times, pinyin text) and a
//    filter over every row: the time from the call to the first paint of the
//    changed view.
// Each figure is the median of the rounds, with the least and the most.
//
//   results_view_bench [--rows N] [--writers T] [--rounds R]
//   (offscreen unless QT_QPA_PLATFORM is set)
#include <time.h>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QTableView>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/main_window.h"
#include "net/codec.h"
#include "net/text.h"
#include "ui/browser_pane_qt.h"
#include "ui/desktop_host_qt.h"
#include "ui/results_model.h"

using namespace kelvora;
using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

uint32_t Mix(uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352d;
  x ^= x >> 15;
  x *= 0x846ca68b;
  x ^= x >> 16;
  return x;
}

// Rows like a search's: titles of a few dozen words in any order, a few hundred
// sellers, times over a year (some 无时间 or none), prices with ranges.
RowCells SampleCells(int32_t row) {
  static const std::vector<std::string> words = [] {
    std::vector<std::string> w;
    for (const char* s :
         {"春季", "新款", "女装", "连衣裙", "韩版",   "宽松",   "短袖", "T恤",  "上衣", "夏季", "男士",   "休闲",
          "裤子", "阿胶", "草帽", "白衬衫", "Dress",  "旗舰店", "正品", "包邮", "加厚", "保暖", "羽绒服", "牛仔",
          "运动", "鞋",   "儿童", "老人",   "手机壳", "充电宝", "茶叶", "蜂蜜", "零食", "大码"})
      w.push_back(Utf8ToGbk(s));
    return w;
  }();
  static const std::vector<std::string> places = [] {
    std::vector<std::string> p;
    for (const char* s : {"浙江 杭州", "广东 广州", "广东 汕头", "上海", "北京", "江苏 苏州", "福建 泉州", "山东 临沂"})
      p.push_back(Utf8ToGbk(s));
    return p;
  }();
  const uint32_t h = Mix(static_cast<uint32_t>(row) + 1);
  RowCells c;
  c[0] = NumberText(static_cast<int64_t>(row) + 1);
  c[1] = NumberText(static_cast<int64_t>(520000000000LL + Mix(h) % 100000000));
  for (int k = 0; k < 5; ++k) c[2] += words[Mix(h + k) % words.size()];
  c[2] += NumberText(static_cast<int64_t>(row % 1000));
  c[3] = "http://127.0.0.1:1/item/item.htm?id=" + c[1];
  c[4] = Utf8ToGbk("小铺") + NumberText(static_cast<int64_t>(h % 500));
  auto time = [](uint32_t v) {
    return NumberText(static_cast<int64_t>(2025 + v % 2)) + Utf8ToGbk("年") +
           NumberText(static_cast<int64_t>(1 + v / 2 % 12)) + Utf8ToGbk("月") +
           NumberText(static_cast<int64_t>(1 + v / 24 % 28)) + Utf8ToGbk("日") +
           NumberText(static_cast<int64_t>(v / 700 % 24)) + Utf8ToGbk("时") +
           NumberText(static_cast<int64_t>(v / 9000 % 60)) + Utf8ToGbk("分") +
           NumberText(static_cast<int64_t>(v / 99000 % 60)) + Utf8ToGbk("秒");
  };
  c[5] = time(Mix(h ^ 5));
  c[6] = h % 97 == 0 ? Utf8ToGbk("无时间") : h % 89 == 0 ? std::string() : time(Mix(h ^ 6));
  c[7] = NumberText(static_cast<int64_t>(h % 168));
  c[8] = h % 3 ? Utf8ToGbk("店铺") : Utf8ToGbk("天猫");
  c[9] = NumberText(static_cast<int64_t>(Mix(h ^ 9) % 9000));
  c[10] = NumberText(static_cast<int64_t>(Mix(h ^ 10) % 300));
  const int64_t cents = 500 + Mix(h ^ 11) % 50000;
  c[11] = NumberText(static_cast<double>(cents) / 100);
  if (h % 4 == 0) c[11] += " - " + NumberText(static_cast<double>(cents * 2) / 100);
  c[12] = places[Mix(h ^ 12) % places.size()];
  return c;
}

// Counts and times the paints of a widget.
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

// The calling thread's own processor time: a stall longer than it was spent
// waiting (for the processor, taken by other programs, or for a lock).
double ThreadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// The calling thread's time spent ready to run but waiting for a processor
// (the scheduler's own count, from /proc).
double RunQueueMs() {
  FILE* f = std::fopen("/proc/thread-self/schedstat", "r");
  if (!f) return 0;
  unsigned long long onCpu = 0, waiting = 0;
  const int read = std::fscanf(f, "%llu %llu", &onCpu, &waiting);
  std::fclose(f);
  return read == 2 ? static_cast<double>(waiting) / 1e6 : 0;
}

// Times each event the UI thread handles (the outermost only), to name what
// stalled it: the longest few of a flood are printed with their receivers.
class TimedApplication : public QApplication {
 public:
  using QApplication::QApplication;
  bool notify(QObject* receiver, QEvent* event) override {
    if (!recording || depth > 0 || QThread::currentThread() != thread()) return QApplication::notify(receiver, event);
    ++depth;
    const auto start = Clock::now();
    const double cpuStart = ThreadCpuMs(), queueStart = RunQueueMs();
    const int type = event->type();
    const char* cls = receiver->metaObject()->className();
    const QString name = receiver->objectName();
    const bool result = QApplication::notify(receiver, event);
    const double ms = Ms(Clock::now() - start);
    const double cpu = ThreadCpuMs() - cpuStart;
    const double queued = RunQueueMs() - queueStart;
    --depth;
    ownLongest = std::max(ownLongest, cpu);
    if (ms >= 4) {
      char what[200];
      std::snprintf(what, sizeof what, "%6.2f on the processor, %6.2f waiting for one: event %d to %s %s", cpu, queued,
                    type, cls, name.toUtf8().constData());
      longest.emplace_back(ms, what);
    }
    return result;
  }
  bool recording = false;
  int depth = 0;
  double ownLongest = 0;  // the most processor time one event took
  std::vector<std::pair<double, std::string>> longest;
};

struct Figures {
  std::vector<double> values;
  void add(double v) { values.push_back(v); }
  std::string text() const {
    if (values.empty()) return "-";
    std::vector<double> s = values;
    std::sort(s.begin(), s.end());
    const double median = s.size() % 2 ? s[s.size() / 2] : (s[s.size() / 2 - 1] + s[s.size() / 2]) / 2;
    char out[96];
    std::snprintf(out, sizeof out, "%8.2f ms  (%.2f - %.2f, %zu runs)", median, s.front(), s.back(), s.size());
    return out;
  }
};

// The caption padded to 40 columns of a terminal (a Chinese character takes two).
std::string Caption(const char* utf8) {
  std::string out = utf8;
  int width = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(utf8); *p; ++p)
    if ((*p & 0xc0) != 0x80) width += *p >= 0xe0 ? 2 : 1;
  out.append(static_cast<size_t>(std::max(1, 40 - width)), ' ');
  return out;
}

void Print(const char* what, const Figures& f) { std::printf("%s%s\n", Caption(what).c_str(), f.text().c_str()); }

void Wait(int ms) {
  // A local loop: QApplication::quit would close the window as well.
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  int rows = 100000;
  int writers = 1;
  int rounds = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--rows")) rows = std::max(1, std::atoi(argv[i + 1]));
    if (!std::strcmp(argv[i], "--writers")) writers = std::max(1, std::atoi(argv[i + 1]));
    if (!std::strcmp(argv[i], "--rounds")) rounds = std::max(1, std::atoi(argv[i + 1]));
  }
  TimedApplication app(argc, argv);
  BrowserPane::setBrowsersEnabled(false);  // no notice page: only the view is measured
  MainWindowOptions options;
  options.networkProbe = false;
  MainWindow window(options);
  window.show();
  QApplication::processEvents();
  ResultsTable& table = window.table();
  Host& host = window.host();
  QTableView* view = window.resultsView();
  PaintTimer paints;
  view->viewport()->installEventFilter(&paints);

  // The machine's own noise: a 1 ms heartbeat with nothing else to do.
  Figures idle;
  for (int r = 0; r < rounds; ++r) {
    QTimer beat;
    beat.setTimerType(Qt::PreciseTimer);
    Clock::time_point last = Clock::now();
    double longest = 0;
    QObject::connect(&beat, &QTimer::timeout, [&] {
      const auto now = Clock::now();
      longest = std::max(longest, Ms(now - last));
      last = now;
    });
    beat.start(1);
    Wait(300);
    idle.add(longest);
  }

  // One flood: the heartbeat on the UI thread while the writers fill the store.
  Figures stall[2], p99[2], done[2], shown[2], insert[2], paintLongest[2], own[2];
  int batches[2] = {0, 0};
  auto flood = [&](int kind) {
    table.clearRows();
    window.model().flush();
    QApplication::processEvents();
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
    int inserts = 0;
    double longestInsert = 0;
    Clock::time_point insertStart;
    auto c1 = QObject::connect(&window.model(), &QAbstractItemModel::rowsAboutToBeInserted,
                               [&] { insertStart = Clock::now(); });
    auto c2 = QObject::connect(&window.model(), &QAbstractItemModel::rowsInserted, [&] {
      ++inserts;
      longestInsert = std::max(longestInsert, Ms(Clock::now() - insertStart));
    });
    paints.longest = 0;
    QEventLoop runLoop;
    std::atomic<int> written{0};
    Clock::time_point start, writersDone, allShown;
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
            table.writeColumns(row, cells, 1, 12, table.epoch());
            host.setRowCountLabel(RowCountLabelText(table.rowCount()));
            host.setProgress({0, 0, row + 1, rows});
          }
          if (++written == writers) writersDone = Clock::now();
        });
      }
    });
    app.recording = true;
    app.ownLongest = 0;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
      if (written == writers && window.model().rowCount() == rows) {
        allShown = Clock::now();
        runLoop.quit();
      }
    });
    watch.start(1);
    runLoop.exec();
    beat.stop();
    app.recording = false;
    for (auto& t : threads) t.join();
    QObject::disconnect(c1);
    QObject::disconnect(c2);
    std::sort(gaps.begin(), gaps.end());
    stall[kind].add(gaps.empty() ? 0 : gaps.back());
    p99[kind].add(gaps.empty() ? 0 : gaps[static_cast<size_t>(0.99 * static_cast<double>(gaps.size() - 1))]);
    done[kind].add(Ms(writersDone - start));
    shown[kind].add(Ms(allShown - start));
    insert[kind].add(longestInsert);
    paintLongest[kind].add(paints.longest);
    own[kind].add(app.ownLongest);
    batches[kind] = inserts;
  };
  for (int r = 0; r < rounds; ++r) {
    view->sortByColumn(-1, Qt::AscendingOrder);
    flood(0);
    view->sortByColumn(static_cast<int>(ResultColumn::Sales), Qt::DescendingOrder);
    flood(1);
  }
  view->sortByColumn(-1, Qt::AscendingOrder);
  QApplication::processEvents();

  // A paint of the full, quiet table: what drawing a screenful costs by itself.
  Figures quiet;
  for (int i = 0; i < 2 * rounds + 1; ++i) {
    window.model().flush();  // drops the model's row cache, as a batch does
    const auto t0 = Clock::now();
    view->viewport()->repaint();
    quiet.add(Ms(Clock::now() - t0));
  }

  // From the call to the first paint of the changed view through the event loop.
  auto toPaint = [&](const std::function<void()>& change) {
    QApplication::processEvents();
    const int before = paints.count;
    const auto t0 = Clock::now();
    change();
    view->viewport()->update();
    while (paints.count == before) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return Ms(Clock::now() - t0);
  };
  auto sortBy = [&](ResultColumn c, Qt::SortOrder o) { return [=] { view->sortByColumn(static_cast<int>(c), o); }; };
  // The store filled afresh, the view told at once: nothing has been read for a sort yet.
  auto refill = [&] {
    view->sortByColumn(-1, Qt::AscendingOrder);
    table.clearRows();
    for (int i = 0; i < rows; ++i) table.setRow(table.addRow(), SampleCells(i));
    window.model().flush();
  };
  window.showFilter();
  auto* filter = window.findChild<QLineEdit*>(QStringLiteral("筛选框"));
  Figures sales, salesBack, price, delist, titleCold, titleSoon, title, seller, filterOn, filterOff, filterSorted;
  int filtered = 0;
  for (int r = 0; r < rounds; ++r) {
    // The worst case: a click on 标题 before the view had an idle moment to rank titles.
    refill();
    titleCold.add(toPaint(sortBy(ResultColumn::Title, Qt::AscendingOrder)));
    // Half a second after the rows came.
    refill();
    Wait(500);
    titleSoon.add(toPaint(sortBy(ResultColumn::Title, Qt::AscendingOrder)));
    view->sortByColumn(-1, Qt::AscendingOrder);
    Wait(2000);  // the seller looks at the rows before clicking
    sales.add(toPaint(sortBy(ResultColumn::Sales, Qt::AscendingOrder)));
    salesBack.add(toPaint(sortBy(ResultColumn::Sales, Qt::DescendingOrder)));
    price.add(toPaint(sortBy(ResultColumn::Price, Qt::AscendingOrder)));
    delist.add(toPaint(sortBy(ResultColumn::DelistAt, Qt::AscendingOrder)));
    title.add(toPaint(sortBy(ResultColumn::Title, Qt::AscendingOrder)));
    seller.add(toPaint(sortBy(ResultColumn::Seller, Qt::AscendingOrder)));
    filterSorted.add(toPaint([&] { filter->setText(QStringLiteral("99")); }));
    filterOff.add(toPaint([&] { filter->clear(); }));
    view->sortByColumn(-1, Qt::AscendingOrder);
    filterOn.add(toPaint([&] { filter->setText(QStringLiteral("99")); }));
    filtered = view->model()->rowCount();
    filterOff.add(toPaint([&] { filter->clear(); }));
  }

  std::printf("rows %d, %d writer thread%s (3 store changes, a label and a progress per row), %d rounds\n", rows,
              writers, writers == 1 ? "" : "s", rounds);
  std::printf("-- flood, store order --\n");
  Print("writers done after", done[0]);
  Print("all rows in the view after", shown[0]);
  std::printf("%s%d (model batch interval %d ms)\n", Caption("row insert batches (last run)").c_str(), batches[0],
              ResultsModel::kBatchMs);
  Print("longest UI-thread stall", stall[0]);
  Print("99th percentile heartbeat gap", p99[0]);
  Print("longest UI event, its own CPU time", own[0]);
  Print("longest insert handling", insert[0]);
  Print("longest paint of the table", paintLongest[0]);
  std::printf("-- flood, sorted by 当前销量 --\n");
  Print("all rows in the view after", shown[1]);
  Print("longest UI-thread stall", stall[1]);
  Print("99th percentile heartbeat gap", p99[1]);
  Print("longest UI event, its own CPU time", own[1]);
  Print("longest insert handling", insert[1]);
  Print("longest paint of the table", paintLongest[1]);
  std::sort(app.longest.rbegin(), app.longest.rend());
  std::printf("-- the longest UI events of the floods (4 ms and more: %zu), ms --\n", app.longest.size());
  for (size_t i = 0; i < app.longest.size() && i < 8; ++i)
    std::printf("  %7.2f ms  %s\n", app.longest[i].first, app.longest[i].second.c_str());
  std::printf("-- baselines --\n");
  Print("paint of the quiet table", quiet);
  Print("idle heartbeat, longest gap", idle);
  std::printf("-- to first paint after the click --\n");
  Print("sort by 当前销量 (numbers)", sales);
  Print("reverse it", salesBack);
  Print("sort by 售价 (ranges)", price);
  Print("sort by 下架时间 (times)", delist);
  Print("sort by 标题 (pinyin)", title);
  Print("  the same at once after the rows came", titleCold);
  Print("  the same 0.5 s after the rows came", titleSoon);
  Print("sort by 卖家 (pinyin, repeated)", seller);
  Print("filter \"99\", store order", filterOn);
  Print("filter \"99\", sorted by 卖家", filterSorted);
  Print("filter cleared", filterOff);
  std::printf("%s%d\n", Caption("rows shown by the filter").c_str(), filtered);
  std::printf("%s%s\n", Caption("label shows").c_str(),
              window.findChild<QLabel*>(QStringLiteral("透明标签13"))->text().toUtf8().constData());
  return window.model().rowCount() == rows ? 0 : 1;
}
