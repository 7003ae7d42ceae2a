// Reading a rows file as kelvora-cli's report, export and retry do, beside a bare
// simdjson pass over the same file; then the report's work on it the way the
// program does it (rows into the database as they are read, the texts in one
// pass) beside the plain way (the same database, one count query per bucket:
// 960 of them), all in the same run. Medians with min and max.
//
//   rows_bench [--rows N] [--rounds R] [--file ROWS.jsonl]
// Without --file, N rows (default 100 000) are written to a temporary jsonl file
// first, shaped like real results.
#include <simdjson.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "analysis/analysis_db.h"
#include "analysis/report.h"
#include "cli/rows.h"
#include "net/codec.h"
#include "net/datetime.h"

namespace {

using namespace kelvora;
using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Figures {
  std::vector<double> ms;
  void add(double v) { ms.push_back(v); }
  double median() const {
    std::vector<double> v = ms;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  }
  void print(const char* what) const {
    std::printf("%-44s %9.1f ms  (min %.1f, max %.1f)\n", what, median(), *std::min_element(ms.begin(), ms.end()),
                *std::max_element(ms.begin(), ms.end()));
  }
};

// Rows as the per-item driver writes them, times spread over the days around today.
void WriteRowsFile(const std::string& path, int n, DateTime today) {
  static const char* kPlaces[] = {"浙江 杭州", "广东 广州", "上海",      "江苏 苏州", "福建 泉州",
                                  "北京",      "广东 深圳", "浙江 义乌", "山东 青岛", "四川 成都"};
  std::mt19937 random(42);
  std::uniform_int_distribution<int64_t> offset(-86400, 9 * 86400);
  std::uniform_int_distribution<int> place(0, 9), sales(0, 5000);
  const int64_t base = DateToUnix(today);
  const std::string title = Utf8ToGbk("2024新款春装女装连衣裙韩版宽松显瘦中长款");
  std::ofstream out(path, std::ios::binary);
  for (int i = 0; i < n; ++i) {
    RowCells r;
    const std::string id = std::to_string(520000000000LL + i * 7919LL);
    const int64_t delist = base + offset(random);
    const bool timed = i % 20 != 0;
    r[0] = std::to_string(i + 1);
    r[1] = id;
    r[2] = title + " " + std::to_string(i);
    r[3] = "https://item.taobao.com/item.htm?id=" + id;
    r[4] = Utf8ToGbk("小店") + std::to_string(i % 997);
    r[5] = timed ? DateText(UnixToDate(delist - 7 * 86400)) : Utf8ToGbk("无时间");
    r[6] = timed ? DateText(UnixToDate(delist)) : Utf8ToGbk("无时间");
    r[7] = std::to_string(std::max<int64_t>(0, (delist - base) / 3600));
    r[8] = Utf8ToGbk(i % 3 ? "店铺" : "天猫");
    r[9] = std::to_string(sales(random));
    r[10] = std::to_string(sales(random) * 3);
    r[11] = std::to_string(sales(random) % 999 + 1) + ".00";
    r[12] = Utf8ToGbk(kPlaces[place(random)]);
    RowFailures failures;
    if (i % 50 == 7) failures[RequestPart::Page] = FailureKind::NoAnswer;
    out << cli::FormatRow(r, cli::RowFormat::Jsonl, failures) << '\n';
  }
}

// The bare pass: the file read whole, each line parsed and every string of its
// array visited. What no reader of rows can undercut by much.
size_t BareSimdjson(const std::string& path) {
  simdjson::padded_string text;
  if (simdjson::padded_string::load(path).get(text)) return 0;
  simdjson::dom::parser parser;
  simdjson::dom::document_stream stream;
  if (parser.parse_many(text).get(stream)) return 0;
  size_t bytes = 0;
  for (auto doc : stream) {
    simdjson::dom::array array;
    if (doc.get_array().get(array)) return 0;
    for (simdjson::dom::element e : array) {
      std::string_view s;
      if (!e.get_string().get(s)) bytes += s.size();
    }
  }
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  int rowCount = 100000, rounds = 5;
  std::string file;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--rows"))
      rowCount = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--rounds"))
      rounds = std::max(1, std::atoi(argv[i + 1]));
    else if (!std::strcmp(argv[i], "--file"))
      file = argv[i + 1];
  }
  const DateTime today = TodayUtc8();
  bool own = false;
  if (file.empty()) {
    file = (std::filesystem::temp_directory_path() / "kelvora-rows-bench.jsonl").string();
    WriteRowsFile(file, rowCount, today);
    own = true;
  }
  std::error_code ec;
  std::printf("%s: %.1f MB, %d rounds\n", file.c_str(), std::filesystem::file_size(file, ec) / 1e6, rounds);

  Figures bare, read, readGbk, load, onePass, queries;
  size_t rowsRead = 0;
  std::string fast, slow;
  for (int round = 0; round < rounds; ++round) {
    auto t0 = Clock::now();
    const size_t bytes = BareSimdjson(file);
    bare.add(Ms(Clock::now() - t0));

    // The reading alone: every cell seen, none converted.
    std::string error;
    size_t seen = 0, cellBytes = 0;
    t0 = Clock::now();
    if (cli::ReadRows(
            file,
            [&](const cli::RowView& row) {
              ++seen;
              for (std::string_view c : row.cells) cellBytes += c.size();
            },
            error) != cli::RowsRead::Ok) {
      std::fprintf(stderr, "rows_bench: %s\n", error.c_str());
      return 1;
    }
    read.add(Ms(Clock::now() - t0));
    if (cellBytes > bytes) return 1;  // the bare pass saw every string too

    // As retry does: every cell in GBK.
    t0 = Clock::now();
    std::vector<cli::ParsedRow> all;
    if (cli::ReadRows(file, all, error) != cli::RowsRead::Ok) return 1;
    readGbk.add(Ms(Clock::now() - t0));
    rowsRead = all.size();
    all = {};

    // As report does: the five cells into the database while reading.
    t0 = Clock::now();
    AnalysisDb db;
    cli::RowsIntoAnalysis intoDb(db, {});
    if (cli::ReadRows(file, std::ref(intoDb), error) != cli::RowsRead::Ok || intoDb.finish() != AnalysisLoadStatus::Ok)
      return 1;
    load.add(Ms(Clock::now() - t0));
    t0 = Clock::now();
    const AnalysisReport one = BuildAnalysisReport(db, today);
    onePass.add(Ms(Clock::now() - t0));
    t0 = Clock::now();
    const AnalysisReport plain = BuildAnalysisReportByQueries(db, today);
    queries.add(Ms(Clock::now() - t0));
    fast = one.hourSeries + one.weekdaySeries + one.tables;
    slow = plain.hourSeries + plain.weekdaySeries + plain.tables;
    (void)seen;
  }
  if (own) std::filesystem::remove(file, ec);
  if (fast != slow) {
    std::fprintf(stderr, "rows_bench: the two ways gave different texts\n");
    return 1;
  }
  std::printf("%zu rows\n", rowsRead);
  bare.print("bare simdjson pass (whole file, all strings)");
  read.print("rows read, no cell converted");
  readGbk.print("rows read, every cell to GBK (retry)");
  load.print("rows read into the database (report)");
  onePass.print("report texts, one pass");
  queries.print("report texts, 960 count queries");
  std::printf("reading / bare simdjson: %.2fx\n", read.median() / bare.median());
  std::printf("report texts: one pass is %.0fx faster than the 960 queries\n", queries.median() / onePass.median());
  std::printf("report whole (read + texts): %.1f ms against %.1f ms the plain way: %.1fx\n",
              load.median() + onePass.median(), load.median() + queries.median(),
              (load.median() + queries.median()) / (load.median() + onePass.median()));
  return 0;
}
