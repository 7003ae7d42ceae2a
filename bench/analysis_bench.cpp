// Opening the delisting report on a large results table: loading the in-memory
// database and building the three page texts in one pass, against the same texts
// from one count query per bucket (960 full scans), measured in the same run.
//
//   analysis_bench [--rows N] [--rounds R]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "analysis/analysis_db.h"
#include "analysis/listing_advice.h"
#include "analysis/report.h"
#include "net/codec.h"
#include "net/datetime.h"

namespace {

using namespace kelvora;
using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Rows as the per-item driver writes them: most with times spread over the days
// around now, some without a time.
std::vector<RowCells> MakeRows(int n, DateTime today) {
  static const char* kPlaces[] = {"浙江 杭州", "广东 广州", "上海",      "江苏 苏州", "福建 泉州",
                                  "北京",      "广东 深圳", "浙江 义乌", "山东 青岛", "四川 成都"};
  std::mt19937 random(42);
  std::uniform_int_distribution<int64_t> offset(-86400, 9 * 86400);
  std::uniform_int_distribution<int> place(0, 9), sales(0, 5000);
  const int64_t base = DateToUnix(today);
  const std::string title = Utf8ToGbk("2024新款春装女装连衣裙韩版宽松显瘦中长款");
  const std::string noTime = NO_TIME_TEXT;
  std::vector<RowCells> rows(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    RowCells& r = rows[static_cast<size_t>(i)];
    const std::string id = std::to_string(520000000000LL + i * 7919LL);
    r[0] = std::to_string(i);
    r[1] = id;
    r[2] = title;
    r[3] = "https://item.taobao.com/item.htm?id=" + id;
    r[4] = Utf8ToGbk("小店") + std::to_string(i % 997);
    const bool timed = i % 20 != 0;
    const int64_t delist = base + offset(random);
    r[5] = timed ? DateText(UnixToDate(delist - 7 * 86400)) : noTime;
    r[6] = timed ? DateText(UnixToDate(delist)) : noTime;
    r[7] = std::to_string(std::max<int64_t>(0, (delist - base) / 3600));
    r[8] = Utf8ToGbk(i % 3 ? "店铺" : "天猫");
    r[9] = std::to_string(sales(random));
    r[10] = std::to_string(sales(random) * 3);
    r[11] = "129.00";
    r[12] = Utf8ToGbk(kPlaces[place(random)]);
  }
  return rows;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int rowCount = 100000, rounds = 5;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--rows"))
      rowCount = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--rounds"))
      rounds = std::max(1, std::atoi(argv[i + 1]));
  }
  const DateTime today = TodayUtc8();
  const std::vector<RowCells> rows = MakeRows(rowCount, today);

  std::vector<double> load, report, open, queries;
  std::string checkFast, checkSlow;
  for (int round = 0; round < rounds; ++round) {
    // The way the window opens: load, then the texts in one pass.
    const auto t0 = Clock::now();
    AnalysisDb db;
    if (db.load(rows) != AnalysisLoadStatus::Ok) {
      std::fprintf(stderr, "analysis_bench: the database did not load\n");
      return 1;
    }
    const auto t1 = Clock::now();
    const AnalysisReport fast = BuildAnalysisReport(db, today);
    const auto advice = RecommendListingHours(fast.counts, today, ShopHours{});
    const auto t2 = Clock::now();
    // The same texts with one count query per bucket.
    const AnalysisReport slow = BuildAnalysisReportByQueries(db, today);
    const auto t3 = Clock::now();
    load.push_back(Ms(t1 - t0));
    report.push_back(Ms(t2 - t1));
    open.push_back(Ms(t2 - t0));
    queries.push_back(Ms(t3 - t2));
    checkFast = fast.hourSeries + fast.weekdaySeries + fast.tables;
    checkSlow = slow.hourSeries + slow.weekdaySeries + slow.tables;
    if (advice.size() != 7) return 1;
  }
  if (checkFast != checkSlow) {
    std::fprintf(stderr, "analysis_bench: the two ways gave different texts\n");
    return 1;
  }
  const double slowOpen = Median(load) + Median(queries);
  std::printf("rows                       %d (%d rounds, medians)\n", rowCount, rounds);
  std::printf("database load              %8.1f ms\n", Median(load));
  std::printf("texts, one pass            %8.1f ms\n", Median(report));
  std::printf("open (load + texts)        %8.1f ms\n", Median(open));
  std::printf("texts, 960 count queries   %8.1f ms\n", Median(queries));
  std::printf("open the 960-query way     %8.1f ms\n", slowOpen);
  std::printf("texts: one pass is %.0fx faster; opening is %.1fx faster\n", Median(queries) / Median(report),
              slowOpen / Median(open));
  return 0;
}
