// Time and peak memory of writing a full results table as a workbook, .xls and
// .xlsx. Each round runs in a fresh process, so the peak (VmHWM) is that of one
// export: the rows themselves plus what the writer needs on top of them. Beside
// the .xlsx, bare libxlsxwriter writes the same cells (as texts, already UTF-8,
// its own settings) as the yardstick. Medians with min and max.
//
//   export_bench [--rows N] [--rounds R] [--dir DIR] [--only xls|xlsx|bare]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <xlsxwriter.h>

#include "analysis/workbook.h"
#include "net/codec.h"

namespace {

using kelvora::RowCells;

// kB of a line such as "VmHWM:   12345 kB" in /proc/self/status.
long StatusKb(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(key);
  while (std::getline(in, line))
    if (line.compare(0, n, key) == 0) return std::atol(line.c_str() + n + 1);
  return -1;
}

// Rows shaped like real results: long Chinese titles, links, dates, a few
// repeated texts (shop type, location, mark).
std::vector<RowCells> MakeRows(size_t count) {
  const char* titles[] = {"2019春秋新款韩版女装宽松显瘦长袖连衣裙中长款气质打底裙子",
                          "男士休闲裤夏季薄款直筒宽松运动长裤青年潮流百搭九分裤",
                          "儿童保温杯带吸管316不锈钢小学生幼儿园水杯宝宝防摔水壶",
                          "家用多功能电饭煲智能预约4L大容量不粘内胆煮饭锅正品"};
  const char* places[] = {"浙江 杭州", "广东 广州", "江苏 苏州", "上海", "福建 泉州"};
  const std::string tmall = kelvora::Utf8ToGbk("天猫"), shop = kelvora::Utf8ToGbk("店铺"),
                    mark = kelvora::Utf8ToGbk("√");
  std::vector<std::string> titleGbk, placeGbk;
  for (const char* t : titles) titleGbk.push_back(kelvora::Utf8ToGbk(t));
  for (const char* p : places) placeGbk.push_back(kelvora::Utf8ToGbk(p));
  std::vector<RowCells> rows(count);
  for (size_t r = 0; r < count; ++r) {
    RowCells& c = rows[r];
    const std::string id = std::to_string(520000000000ull + r * 7919);
    c[0] = std::to_string(r + 1);
    c[1] = id;
    c[2] = titleGbk[r % 4] + " " + std::to_string(r);
    c[3] = "https://item.taobao.com/item.htm?id=" + id;
    c[4] = kelvora::Utf8ToGbk("旗舰店" + std::to_string(r % 5000));
    c[5] = kelvora::Utf8ToGbk("2019年3月" + std::to_string(r % 28 + 1) + "日10时" + std::to_string(r % 60) + "分");
    c[6] = kelvora::Utf8ToGbk("2019年4月" + std::to_string(r % 28 + 1) + "日10时" + std::to_string(r % 60) + "分");
    c[7] = std::to_string(r % 168);
    c[8] = r % 3 ? shop : tmall;
    c[9] = std::to_string(r % 9000);
    c[10] = std::to_string(r % 500);
    c[11] = std::to_string(r % 300) + ".00";
    c[12] = placeGbk[r % 5];
    c[13] = r % 10 ? "" : mark;
  }
  return rows;
}

// The same cells through libxlsxwriter alone: one sheet, every cell a text, in
// its constant-memory mode as ours, nothing else.
kelvora::WorkbookResult WriteBare(const std::string& path,
                                  const std::vector<std::array<std::string, kelvora::kResultColumnCount>>& rows) {
  kelvora::WorkbookResult result;
  lxw_workbook_options options{};
  options.constant_memory = LXW_TRUE;
  lxw_workbook* book = workbook_new_opt(path.c_str(), &options);
  if (!book) return kelvora::WorkbookResult::Failure("cannot start the workbook");
  lxw_worksheet* sheet = workbook_add_worksheet(book, nullptr);
  for (size_t r = 0; r < rows.size(); ++r)
    for (size_t c = 0; c < rows[r].size(); ++c)
      if (!rows[r][c].empty())
        worksheet_write_string(sheet, static_cast<lxw_row_t>(r + 1), static_cast<lxw_col_t>(c), rows[r][c].c_str(),
                               nullptr);
  result.ok = workbook_close(book) == LXW_NO_ERROR;
  if (!result.ok) result.message = "workbook_close failed";
  return result;
}

struct Sample {
  double seconds = 0, cpuSeconds = 0;
  long rowsKb = 0, peakKb = 0, fileBytes = 0;
  bool ok = false;
};

// One export in a child process; its figures come back through a pipe.
Sample RunOnce(const std::string& path, size_t rowCount) {
  int fds[2];
  Sample s;
  if (::pipe(fds) != 0) return s;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    Sample c;
    const bool bare = path.size() > 5 && path.compare(path.size() - 5, 5, ".bare") == 0;
    const std::vector<RowCells> rows = MakeRows(rowCount);
    std::vector<std::array<std::string, kelvora::kResultColumnCount>> utf8;
    if (bare) {
      for (const RowCells& row : rows) {
        auto& out = utf8.emplace_back();
        for (size_t k = 0; k < row.size(); ++k) out[k] = kelvora::GbkToUtf8(row[k]);
      }
    }
    c.rowsKb = StatusKb("VmHWM:");
    rusage before{}, after{};
    ::getrusage(RUSAGE_SELF, &before);
    const auto start = std::chrono::steady_clock::now();
    const kelvora::WorkbookResult result = bare ? WriteBare(path, utf8) : kelvora::WriteWorkbook(path, rows);
    c.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ::getrusage(RUSAGE_SELF, &after);
    auto cpu = [](const rusage& u) {
      return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    };
    c.cpuSeconds = cpu(after) - cpu(before);
    c.peakKb = StatusKb("VmHWM:");
    c.ok = result.ok;
    if (!result.ok) std::fprintf(stderr, "%s\n", kelvora::GbkToUtf8(result.message).c_str());
    std::error_code ec;
    c.fileBytes = static_cast<long>(std::filesystem::file_size(path, ec));
    (void)!::write(fds[1], &c, sizeof c);
    ::_exit(0);
  }
  ::close(fds[1]);
  if (::read(fds[0], &s, sizeof s) != static_cast<ssize_t>(sizeof s)) s.ok = false;
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  size_t rows = kelvora::kMaxXlsDataRows;
  int rounds = 5;
  std::string dir = std::filesystem::temp_directory_path().string();
  std::string only;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--rows"))
      rows = std::strtoul(argv[i + 1], nullptr, 10);
    else if (!std::strcmp(argv[i], "--rounds"))
      rounds = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--dir"))
      dir = argv[i + 1];
    else if (!std::strcmp(argv[i], "--only"))
      only = std::string(".") + argv[i + 1];
  }
  std::printf("%zu rows x 14 columns, %d rounds each, one process per round, files in %s\n", rows, rounds, dir.c_str());
  std::printf("%-6s %10s %10s %10s %12s %12s %12s %10s\n", "format", "median s", "min s", "max s", "cpu s (med)",
              "rows MB", "peak MB", "file MB");
  int failures = 0;
  double xlsxMedian = 0, bareMedian = 0;
  for (const char* ext : {".xls", ".xlsx", ".bare"}) {
    if (!only.empty() && only != ext) continue;
    const std::string path = dir + "/kelvora-export-bench" + ext;
    std::vector<Sample> samples;
    for (int r = 0; r < rounds; ++r) samples.push_back(RunOnce(path, rows));
    std::filesystem::remove(path);
    if (std::any_of(samples.begin(), samples.end(), [](const Sample& s) { return !s.ok; })) {
      std::printf("%-6s failed\n", ext);
      ++failures;
      continue;
    }
    std::vector<double> times, cpus;
    long peak = 0;
    for (const Sample& s : samples) {
      times.push_back(s.seconds);
      cpus.push_back(s.cpuSeconds);
      peak = std::max(peak, s.peakKb);
    }
    std::sort(times.begin(), times.end());
    std::sort(cpus.begin(), cpus.end());
    if (std::strcmp(ext, ".xlsx") == 0) xlsxMedian = times[times.size() / 2];
    if (std::strcmp(ext, ".bare") == 0) bareMedian = times[times.size() / 2];
    std::printf("%-6s %10.3f %10.3f %10.3f %12.3f %12.1f %12.1f %10.1f\n", ext, times[times.size() / 2], times.front(),
                times.back(), cpus[cpus.size() / 2], samples[0].rowsKb / 1024.0, peak / 1024.0,
                samples[0].fileBytes / 1048576.0);
  }
  std::printf(".bare: libxlsxwriter alone writing the same cells as texts (an .xlsx file)\n");
  if (xlsxMedian > 0 && bareMedian > 0)
    std::printf(".xlsx against .bare: %.3f s / %.3f s = %.2f (medians)\n", xlsxMedian, bareMedian,
                xlsxMedian / bareMedian);
  return failures ? 1 : 0;
}
