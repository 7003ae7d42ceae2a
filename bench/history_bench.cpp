// The history file at scale: a file of 1 000 000 observations (100 runs of 10 000
// rows over 50 000 items, cells the size of real ones), then the time of
// `history item ID` and of `history diff` of two 10 000-row runs, in process (open
// the file, query, format) and as kelvora-cli commands (process start included),
// and the file's size per 10 000 rows. Medians with min and max.
//
//   history_bench [--file PATH] [--repeat N]     PATH is made when missing, kept after
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "history/history_diff.h"
#include "history/history_file.h"
#include "history/history_recorder.h"
#include "net/codec.h"

namespace {

using Clock = std::chrono::steady_clock;
using kelvora::ResultColumn;
namespace h = kelvora::history;

constexpr int kRuns = 100;
constexpr int kRowsPerRun = 10000;
constexpr int kItems = 50000;

std::string Id(int item) { return std::to_string(520000000000LL + item * 7919LL); }

// A row as a search gives it (GBK cells), item `item` seen in run `run`.
kelvora::RowCells MakeRow(int run, int index, int item) {
  using kelvora::Utf8ToGbk;
  kelvora::RowCells c;
  auto set = [&](ResultColumn col, const std::string& utf8) { c[static_cast<size_t>(col)] = Utf8ToGbk(utf8); };
  set(ResultColumn::Index, std::to_string(index + 1));
  set(ResultColumn::ItemId, Id(item));
  set(ResultColumn::Title, "2018新品韩版宽松百搭长袖连衣裙女装秋冬款 " + std::to_string(item));
  set(ResultColumn::Link, "https://item.taobao.com/item.htm?id=" + Id(item));
  set(ResultColumn::Seller, "花花旗舰店" + std::to_string(item % 300));
  const int day = 1 + item % 7, hour = item % 24, minute = item % 60;
  set(ResultColumn::ListedAt, "2026年12月" + std::to_string(day) + "日" + std::to_string(hour) + "时" +
                                  std::to_string(minute) + "分" + std::to_string(run % 60) + "秒");
  set(ResultColumn::DelistAt, "2026年12月" + std::to_string(day + 7) + "日" + std::to_string(hour) + "时" +
                                  std::to_string(minute) + "分" + std::to_string(run % 60) + "秒");
  set(ResultColumn::HoursLeft, std::to_string(item % 168));
  set(ResultColumn::ShopType, item % 3 ? "天猫" : "店铺");
  set(ResultColumn::Sales, std::to_string(item % 5000 + run));
  set(ResultColumn::Stock, std::to_string(9999 - run));
  set(ResultColumn::Price, std::to_string(10 + item % 300) + ".00");
  set(ResultColumn::Location, "浙江 杭州");
  return c;
}

void Build(const std::string& path) {
  std::string error;
  auto file = h::HistoryFile::open(path, error);
  if (!file) {
    std::fprintf(stderr, "history_bench: %s\n", error.c_str());
    std::exit(1);
  }
  h::HistoryRecorder recorder(std::move(file), [](const std::string& t) { std::fprintf(stderr, "%s\n", t.c_str()); });
  const auto t0 = Clock::now();
  for (int run = 0; run < kRuns; ++run) {
    recorder.beginRun("keyword", "连衣裙 --pages 100");
    // Each run sees a window of 10 000 of the 50 000 items, moving on by 500 a run.
    for (int i = 0; i < kRowsPerRun; ++i) recorder.addRow(MakeRow(run, i, (run * 500 + i) % kItems), {});
    recorder.endRun(h::RunState::Done);
    recorder.flush();  // the bounded queue: a producer this fast would outrun it
  }
  std::printf("built %d observations in %.1f s\n", kRuns * kRowsPerRun,
              std::chrono::duration<double>(Clock::now() - t0).count());
}

double Ms(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

std::string Summary(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, "median %.2f ms (min %.2f, max %.2f, %zu runs)", v[v.size() / 2], v.front(),
                v.back(), v.size());
  return buffer;
}

// Wall time of one kelvora-cli command, output to /dev/null; its CPU time (user and
// kernel) is added to `cpuMs`: on a shared machine wall time includes waiting for a core.
double CliMs(const std::vector<std::string>& args, std::vector<double>& cpuMs) {
  std::vector<std::string> all = {std::string(KELVORA_BIN_DIR) + "/kelvora-cli"};
  all.insert(all.end(), args.begin(), args.end());
  const auto t0 = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    std::freopen("/dev/null", "w", stdout);
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  const double ms = Ms(t0);
  cpuMs.push_back((usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                  (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::fprintf(stderr, "history_bench: kelvora-cli failed\n");
  return ms;
}

}  // namespace

int main(int argc, char** argv) {
  std::string path = (std::filesystem::temp_directory_path() / "kelvora-history-bench.sqlite3").string();
  int repeat = 21;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--file")
      path = argv[i + 1];
    else if (arg == "--repeat")
      repeat = std::max(1, std::atoi(argv[i + 1]));
  }
  if (!std::filesystem::exists(path)) Build(path);
  std::error_code ec;
  const auto bytes = std::filesystem::file_size(path, ec);
  std::printf("file %s: %.1f MB, %.2f MB per 10 000 rows\n", path.c_str(), bytes / 1e6,
              bytes / 1e6 / (double(kRuns) * kRowsPerRun / 10000));

  std::string error;
  const std::string item = Id(12345);
  std::vector<double> itemMs, diffMs, openMs;
  size_t itemRows = 0, diffLines = 0;
  for (int r = 0; r < repeat; ++r) {
    auto t0 = Clock::now();
    auto file = h::HistoryFile::open(path, error);
    openMs.push_back(Ms(t0));
    t0 = Clock::now();
    std::string out;
    for (const h::StoredRow& row : file->rowsOfItem(item)) {
      out += h::TimeText(row.observed) + "\t" + std::to_string(row.run);
      for (ResultColumn c : {ResultColumn::Price, ResultColumn::Sales, ResultColumn::Stock, ResultColumn::ListedAt,
                             ResultColumn::DelistAt, ResultColumn::Title})
        out += "\t" + row.cells[static_cast<size_t>(c)];
      out += "\n";
      ++itemRows;
    }
    itemMs.push_back(Ms(t0));
    t0 = Clock::now();
    const std::vector<h::DiffRow> a = file->diffRowsOfRun(1), b = file->diffRowsOfRun(2);
    out.clear();
    const auto lines = h::DiffRows(a, b);
    for (const h::DiffLine& l : lines) out += h::DiffLineText(l) + "\n";
    diffLines = lines.size();
    diffMs.push_back(Ms(t0));
  }
  std::printf("open the file:                 %s\n", Summary(openMs).c_str());
  std::printf("item %s (%zu rows):  %s\n", item.c_str(), itemRows / repeat, Summary(itemMs).c_str());
  std::printf("diff 1 2 (10 000 rows each, %zu lines): %s\n", diffLines, Summary(diffMs).c_str());

  std::vector<double> cliItem, cliDiff, cliTrue, cpuItem, cpuDiff, cpuTrue;
  for (int r = 0; r < repeat; ++r) {
    cliTrue.push_back(CliMs({"--help"}, cpuTrue));
    cliItem.push_back(CliMs({"--history", path, "history", "item", item}, cpuItem));
    cliDiff.push_back(CliMs({"--history", path, "history", "diff", "1", "2"}, cpuDiff));
  }
  std::printf("kelvora-cli --help (process start alone): wall %s; CPU %s\n", Summary(cliTrue).c_str(),
              Summary(cpuTrue).c_str());
  std::printf("kelvora-cli history item ID:              wall %s; CPU %s\n", Summary(cliItem).c_str(),
              Summary(cpuItem).c_str());
  std::printf("kelvora-cli history diff 1 2:             wall %s; CPU %s\n", Summary(cliDiff).c_str(),
              Summary(cpuDiff).c_str());
  return 0;
}
