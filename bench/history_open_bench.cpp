// 历史记录's 打开 of a 10 000-row run in a history of 1 000 000 observations: the
// time from the click's call until the results view shows every row (read on the
// history's reader thread, converted, appended, and the view told by the model's
// own batch timer). The file is made once and kept for later runs.
//
//   history_open_bench [--file PATH] [--runs N] [--rows-per-run M] [--repeat K]
//   (offscreen unless QT_QPA_PLATFORM is set)
#include <QApplication>
#include <QElapsedTimer>
#include <QTableView>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "history/history_file.h"
#include "history/history_recorder.h"
#include "net/text.h"
#include "ui/desktop_history_qt.h"
#include "ui/history_window.h"
#include "ui/results_model.h"
#include "ui/results_sort_model.h"

using namespace kelvora;

namespace {

RowCells SampleCells(int64_t n) {
  RowCells c;
  c[0] = NumberText(n % 10000 + 1);
  c[1] = NumberText(static_cast<int64_t>(520000000000LL + n % 50000));
  c[2] = "\xb4\xba\xbc\xbe\xd0\xc2\xbf\xee\xc5\xae\xd7\xb0\xc1\xac\xd2\xc2\xc8\xb9 " + NumberText(n % 50000);
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
  c[7] = NumberText(n % 168);
  c[8] = "\xb5\xea\xc6\xcc";
  c[9] = NumberText(n % 9000);
  c[10] = NumberText(n % 300);
  c[11] = "59.00-" + NumberText(60 + n % 40) + ".00";
  c[12] = "\xd5\xe3\xbd\xad \xba\xbc\xd6\xdd";
  return c;
}

bool MakeFile(const std::string& path, int runs, int rowsPerRun) {
  std::string error;
  auto file = history::HistoryFile::open(path, error);
  if (!file) {
    std::fprintf(stderr, "history_open_bench: %s\n", error.c_str());
    return false;
  }
  history::HistoryRecorder recorder(std::move(file), nullptr);
  int64_t n = 0;
  for (int r = 0; r < runs; ++r) {
    recorder.beginRun("keyword", "bench " + std::to_string(r));
    for (int i = 0; i < rowsPerRun; ++i) {
      recorder.addRow(SampleCells(n++), {});
      // The writer's queue is bounded: let it keep up.
      if (i % 10000 == 9999) recorder.flush();
    }
    recorder.endRun(history::RunState::Done);
    recorder.flush();
  }
  return recorder.flush();
}

}  // namespace

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  std::string path = (std::filesystem::temp_directory_path() / "kelvora-history-open-bench.sqlite3").string();
  int runs = 100, rowsPerRun = 10000, repeat = 9;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--file")) path = argv[i + 1];
    if (!std::strcmp(argv[i], "--runs")) runs = std::atoi(argv[i + 1]);
    if (!std::strcmp(argv[i], "--rows-per-run")) rowsPerRun = std::atoi(argv[i + 1]);
    if (!std::strcmp(argv[i], "--repeat")) repeat = std::atoi(argv[i + 1]);
  }
  QApplication app(argc, argv);

  // A file of the asked size is used again; any other is made anew.
  {
    std::string error;
    auto file = history::HistoryFile::open(path, error);
    const auto existing = file ? file->runs() : std::vector<history::RunInfo>{};
    file.reset();
    const bool fits =
        static_cast<int>(existing.size()) == runs &&
        std::all_of(existing.begin(), existing.end(), [&](const auto& r) { return r.rows == rowsPerRun; });
    if (!fits) {
      for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
      std::fprintf(stderr, "history_open_bench: writing %d runs of %d rows to %s\n", runs, rowsPerRun, path.c_str());
      if (!MakeFile(path, runs, rowsPerRun)) return 1;
    }
  }

  MainWindowOptions options;
  options.networkProbe = false;
  options.historyPath = path;
  MainWindow window(options);
  window.show();
  QEventLoop wait;
  QObject::connect(window.history(), &DesktopHistory::opened, &wait, &QEventLoop::quit);
  wait.exec();
  auto* history = new HistoryWindow(
      *window.history(), window.table(), [] { return false; }, &window);
  history->show();
  QObject::connect(history, &HistoryWindow::runsShown, &wait, &QEventLoop::quit);
  wait.exec();
  // The middle run of the file.
  const int64_t run = history->shownRuns()[history->shownRuns().size() / 2].id;

  std::vector<double> times;
  for (int k = 0; k < repeat; ++k) {
    window.table().clearRows();
    window.model().flush();
    QCoreApplication::processEvents();
    if (window.resultsView()->model()->rowCount() != 0) return 1;
    QElapsedTimer timer;
    timer.start();
    history->openRun(run, PutMode::Replace);
    while (window.resultsView()->model()->rowCount() < rowsPerRun)
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    times.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    QCoreApplication::processEvents();
  }
  std::vector<double> sorted = times;
  std::sort(sorted.begin(), sorted.end());
  std::printf("open a %d-row run of %d runs into the results view: median %.1f ms (min %.1f, max %.1f) over %d\n",
              rowsPerRun, runs, sorted[sorted.size() / 2], sorted.front(), sorted.back(), repeat);
  std::printf("each, in order:");
  for (double t : times) std::printf(" %.1f", t);
  std::printf(" ms\n");
  return 0;
}
