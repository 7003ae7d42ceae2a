#include "analysis/report.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <random>

#include "analysis/listing_advice.h"
#include "net/codec.h"
#include "support/fixtures.h"

namespace kelvora {
namespace {

using test::G;

// 2024-03-03 was a Sunday.
const DateTime kSunday = MakeDateTime(2024, 3, 3);

RowCells Delisting(const std::string& gbkTime) {
  RowCells r;
  r[static_cast<int>(ResultColumn::ItemId)] = "1";
  r[static_cast<int>(ResultColumn::DelistAt)] = gbkTime;
  return r;
}

std::string At(DateTime day, int d, int h, int m = 0, int s = 0) {
  const DateParts p = SplitDateTime(day + d);
  return DateText(MakeDateTime(p.year, p.month, p.day, h, m, s));
}

AnalysisReport ReportOf(const std::vector<RowCells>& rows, DateTime today) {
  AnalysisDb db;
  EXPECT_EQ(db.load(rows), AnalysisLoadStatus::Ok);
  return BuildAnalysisReport(db, today);
}

// The texts as the page receives them, written out from their description:
// hour counts per (day, hour), quarter counts per (day, quarter), weekday points.
struct Expected {
  std::map<std::pair<int, int>, int> hours, quarters;
  std::vector<std::string> labels;  // UTF-8 day labels

  std::string HourSeries() const {
    std::string out = "[";
    for (int d = 0; d < 8; ++d) {
      out += std::string(d ? "," : "") + "{name: '" + labels[d] + "',data: [";
      for (int h = 0; h < 24; ++h) out += std::to_string(Count(hours, d, h)) + ",";
      out += "]}";
    }
    return out + "]";
  }
  std::string Tables() const {
    std::string out = "<table border='1' cellpadding='10' cellspacing='1'><tr><td>日期</td>";
    for (int h = 0; h < 24; ++h) out += "<td>" + std::to_string(h) + "H</td>";
    out += "</tr>";
    for (int d = 0; d < 8; ++d) {
      out += "<tr><td width=115>" + labels[d] + "</td>";
      for (int h = 0; h < 24; ++h) out += "<td width=25>" + std::to_string(Count(hours, d, h)) + "</td>";
      out += "</tr>";
    }
    out += "</table><br/><table border='1' cellpadding='10' cellspacing='1'><tr><td>日期</td>";
    static const char* kMinutes[] = {"00", "15", "30", "45"};
    for (int h = 0; h < 24; ++h)
      for (const char* m : kMinutes)
        out += std::string("<td width=35>") + (h < 10 ? "0" : "") + std::to_string(h) + ":" + m + "</td>";
    out += "</tr>";
    for (int d = 0; d < 8; ++d) {
      out += "<tr><td >" + labels[d] + "</td>";
      for (int i = 0; i < 96; ++i) out += "<td>" + std::to_string(Count(quarters, d, i)) + "</td>";
      out += "</tr>";
    }
    return out + "</table>";
  }
  static int Count(const std::map<std::pair<int, int>, int>& m, int a, int b) {
    auto it = m.find({a, b});
    return it == m.end() ? 0 : it->second;
  }
};

const std::vector<std::string> kSundayLabels = {"2024年3月3日", "2024年3月4日", "2024年3月5日", "2024年3月6日",
                                                "2024年3月7日", "2024年3月8日", "2024年3月9日", "2024年3月10日"};

TEST(ReportTest, EmptyTableGivesZerosAndEmptyWeekdays) {
  const AnalysisReport r = ReportOf({}, kSunday);
  const Expected e{{}, {}, kSundayLabels};
  EXPECT_EQ(GbkToUtf8(r.hourSeries), e.HourSeries());
  EXPECT_EQ(GbkToUtf8(r.tables), e.Tables());
  // The first series is named after today, a Sunday.
  EXPECT_EQ(GbkToUtf8(r.weekdaySeries),
            "[{ name: '周日', data: [] },{ name: '周一', data: [] },{ name: '周二', data: [] },"
            "{ name: '周三', data: [] },{ name: '周四', data: [] },{ name: '周五', data: [] },"
            "{ name: '周六', data: [] }]");
}

TEST(ReportTest, BucketEdgesDaysAndRowsWithoutTime) {
  // Now is 10:00 on the Sunday; the 02:00 item has already delisted today.
  const std::vector<RowCells> rows = {
      Delisting(At(kSunday, 1, 14)),           // Monday 14:00:00
      Delisting(At(kSunday, 1, 14, 59, 59)),   // Monday 14:59:59
      Delisting(At(kSunday, 0, 2)),            // today 02:00
      Delisting(At(kSunday, 7, 23, 59, 59)),   // day 7, last second: tables only
      Delisting(At(kSunday, 6, 0, 5, 59)),     // Saturday 00:05:59
      Delisting(At(kSunday, -1, 23, 59, 59)),  // yesterday
      Delisting(At(kSunday, 8, 0)),            // after the eighth day
      Delisting(G("无时间")),
      Delisting(""),
  };
  SetNowOverride(kSunday + 10 / 24.0);
  const AnalysisReport r = ReportOf(rows, TodayUtc8());
  SetNowOverride(std::nullopt);

  Expected e{{{{1, 14}, 2}, {{0, 2}, 1}, {{7, 23}, 1}, {{6, 0}, 1}},
             {{{1, 56}, 1}, {{1, 59}, 1}, {{0, 8}, 1}, {{7, 95}, 1}, {{6, 0}, 1}},
             kSundayLabels};
  EXPECT_EQ(GbkToUtf8(r.hourSeries), e.HourSeries());
  EXPECT_EQ(GbkToUtf8(r.tables), e.Tables());
  EXPECT_EQ(GbkToUtf8(r.weekdaySeries),
            "[{ name: '周日', data: [[2.0,1]] },{ name: '周一', data: [[14.0,2],[14.9,2]] },"
            "{ name: '周二', data: [] },{ name: '周三', data: [] },{ name: '周四', data: [] },"
            "{ name: '周五', data: [] },{ name: '周六', data: [[0.0,7]] }]");
}

TEST(ReportTest, QuarterTableAndWeekdaySeriesAlone) {
  AnalysisDb db;
  ASSERT_EQ(db.load({Delisting(At(kSunday, 2, 23, 47, 10)), Delisting(At(kSunday, 2, 9, 5))}), AnalysisLoadStatus::Ok);
  Expected e{{}, {{{2, 95}, 1}, {{2, 36}, 1}}, kSundayLabels};
  const std::string tables = e.Tables();
  EXPECT_EQ(GbkToUtf8(BuildQuarterHourTable(db, kSunday)), tables.substr(tables.find("<br/>") + 5));
  // Points keep the order of the rows, minutes cut to tenths of an hour.
  EXPECT_EQ(GbkToUtf8(BuildWeekdaySeries(db, kSunday + 0.99)),
            "[{ name: '周日', data: [] },{ name: '周一', data: [] },"
            "{ name: '周二', data: [[23.7,3],[9.0,3]] },{ name: '周三', data: [] },"
            "{ name: '周四', data: [] },{ name: '周五', data: [] },{ name: '周六', data: [] }]");
}

TEST(ReportTest, OnePassEqualsOneQueryPerBucket) {
  // Times around every kind of edge, and many random ones, across ten days.
  std::mt19937 random(7);
  const DateTime today = MakeDateTime(2023, 12, 28);  // the weekday series crosses a year
  std::vector<RowCells> rows;
  for (int d = -1; d <= 8; ++d)
    for (int h : {0, 23})
      for (int m : {0, 59})
        for (int s : {0, 59}) rows.push_back(Delisting(At(today, d, h, m, s)));
  for (int i = 0; i < 3000; ++i) {
    std::uniform_int_distribution<int> day(-2, 9), hour(0, 23), minute(0, 59);
    rows.push_back(Delisting(At(today, day(random), hour(random), minute(random), minute(random))));
  }
  rows.push_back(Delisting(G("无时间")));
  AnalysisDb db;
  ASSERT_EQ(db.load(rows), AnalysisLoadStatus::Ok);
  const AnalysisReport fast = BuildAnalysisReport(db, today);
  const AnalysisReport slow = BuildAnalysisReportByQueries(db, today);
  EXPECT_EQ(fast.counts, slow.counts);
  EXPECT_EQ(fast.hourSeries, slow.hourSeries);
  EXPECT_EQ(fast.weekdaySeries, slow.weekdaySeries);
  EXPECT_EQ(fast.tables, slow.tables);
  // Counted row by row without the database (the .xlsx's second sheet).
  DelistingCounter counter(today + 0.75);
  for (const RowCells& r : rows) counter.add(TimeTextSeconds(r[static_cast<int>(ResultColumn::DelistAt)]));
  EXPECT_EQ(counter.counts(), fast.counts);
  int64_t total = 0;
  for (const auto& day : fast.counts.hours)
    for (int64_t n : day) total += n;
  EXPECT_GT(total, 2000);
}

TEST(ReportTest, TodayIsTheUtc8DateWhateverTheLocalZone) {
  // A computer in New York at 20:30 on Saturday is already at Sunday 09:30 in UTC+8.
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  setenv("TZ", "America/New_York", 1);
  tzset();
  SetNowOverride(kSunday + 9.5 / 24);
  EXPECT_EQ(TodayUtc8(), kSunday);
  EXPECT_EQ(GbkToUtf8(WeekdayName(TodayUtc8())), "周日");
  SetNowOverride(kSunday + (23 * 3600 + 59 * 60 + 59.5) / 86400.0);
  EXPECT_EQ(TodayUtc8(), kSunday);
  SetNowOverride(std::nullopt);
  if (old)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

TEST(ReportTest, PadZerosAndWeekdayNames) {
  EXPECT_EQ(PadZeros("5", 2), "05");
  EXPECT_EQ(PadZeros("", 2), "00");
  EXPECT_EQ(PadZeros("45", 2), "45");
  EXPECT_EQ(PadZeros("123", 2), "123");
  const char* names[] = {"周日", "周一", "周二", "周三", "周四", "周五", "周六"};
  for (int k = 0; k < 7; ++k) EXPECT_EQ(GbkToUtf8(WeekdayName(kSunday + k + 0.7)), names[k]);
  EXPECT_EQ(GbkToUtf8(WeekdayName(MakeDateTime(1899, 12, 30))), "周六");
}

TEST(ListingAdviceTest, FewestDelistingsWithinShopHoursTiesToTheEarlierHour) {
  DelistingCounts c;
  for (auto& day : c.hours) day.fill(5);
  // Sunday: 10, 12 and 13 have none; 09 and 11 tie with 1 behind them. The quiet
  // small hours are outside the shop hours.
  c.hours[0] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0, 0, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3};
  c.hours[1].fill(0);  // Monday: all equal, the first three hours
  c.hours[2][23] = 0;  // Tuesday: the last hour, then 09 and 10 at 5
  c.hours[3][9] = 2;   // Wednesday: 2 at 09, then the next two at 5
  c.hours[3][17] = 4;
  c.hours[7].fill(0);  // the eighth day is not a day of the advice
  const auto advice = RecommendListingHours(c, kSunday, ShopHours{9, 23});
  ASSERT_EQ(advice.size(), 7u);
  EXPECT_EQ(GbkToUtf8(AdviceLines(advice)),
            "周日 10:00 (0) 12:00 (0) 13:00 (0)\n"
            "周一 09:00 (0) 10:00 (0) 11:00 (0)\n"
            "周二 23:00 (0) 09:00 (5) 10:00 (5)\n"
            "周三 09:00 (2) 17:00 (4) 10:00 (5)\n"
            "周四 09:00 (5) 10:00 (5) 11:00 (5)\n"
            "周五 09:00 (5) 10:00 (5) 11:00 (5)\n"
            "周六 09:00 (5) 10:00 (5) 11:00 (5)\n");
  // Evening shop hours: only 20-23 count.
  const auto evening = RecommendListingHours(c, kSunday, ShopHours{20, 23});
  EXPECT_EQ(evening[0].hours, (std::vector<AdviceHour>{{20, 3}, {21, 3}, {22, 3}}));
  EXPECT_EQ(GbkToUtf8(AdviceSeries({evening[0]}, ShopHours{20, 23})),
            "{hours: [20,23],days: [{name: '周日',date: '2024年3月3日',data: [[20,3],[21,3],[22,3]]}]}");
}

// The advice counts the week from now: today's hours already past are not offered,
// and they are counted from the same weekday a week on.
TEST(ListingAdviceTest, TodayOffersOnlyHoursStillToCome) {
  DelistingCounts c;
  for (auto& day : c.hours) day.fill(4);
  c.hours[0][9] = 0;  // the quietest hour of today, but past at 20:00
  c.hours[0][21] = 1;
  c.hours[0][22] = 3;
  c.hours[0][23] = 2;
  c.hours[1][9] = 0;
  struct Case {
    DateTime now;
    std::string today;
  };
  const Case cases[] = {
      {kSunday + 8.0 / 24, "周日 09:00 (0) 21:00 (1) 23:00 (2)\n"},   // 08:00: 09 still to come
      {kSunday + 20.0 / 24, "周日 21:00 (1) 23:00 (2) 22:00 (3)\n"},  // 20:00 sharp: 20 counts, is dearer
      {kSunday + 20.5 / 24, "周日 21:00 (1) 23:00 (2) 22:00 (3)\n"},
      {kSunday + 23.5 / 24, "周日 今日营业时段已过\n"},  // then tomorrow's line follows
  };
  for (const Case& k : cases) {
    const auto advice = RecommendListingHours(c, k.now, ShopHours{9, 23});
    ASSERT_EQ(advice.size(), 7u);
    const std::string lines = GbkToUtf8(AdviceLines(advice));
    EXPECT_EQ(lines.substr(0, lines.find('\n') + 1), k.today) << k.now;
    EXPECT_EQ(lines.substr(lines.find('\n') + 1, lines.find('\n', lines.find('\n') + 1) - lines.find('\n')),
              "周一 09:00 (0) 10:00 (4) 11:00 (4)\n");
  }
  const auto late = RecommendListingHours(c, kSunday + 23.5 / 24, ShopHours{9, 23});
  EXPECT_TRUE(late[0].hoursPassed);
  EXPECT_EQ(GbkToUtf8(AdviceSeries({late[0]}, ShopHours{9, 23})),
            "{hours: [9,23],days: [{name: '周日',date: '2024年3月3日',passed: 1,data: []}]}");
}

TEST(ListingAdviceTest, NoDelistingInTheWeekGivesNoAdvice) {
  DelistingCounts c;  // no rows at all
  EXPECT_TRUE(RecommendListingHours(c, kSunday + 20.0 / 24, ShopHours{9, 23}).empty());
  EXPECT_EQ(GbkToUtf8(AdviceLines({})), "无下架时间数据，暂无推荐\n");
  EXPECT_EQ(GbkToUtf8(AdviceSeries({}, ShopHours{9, 23})), "{hours: [9,23],days: [],note: '无下架时间数据，暂无推荐'}");
  // Delistings only before now today, and on the eighth day after it: none falls in the
  // week from now, so there is still nothing to advise on.
  c.hours[0][8] = 5;
  c.hours[7][22] = 5;
  EXPECT_TRUE(RecommendListingHours(c, kSunday + 20.0 / 24, ShopHours{9, 23}).empty());
  // The eighth day's hours before now belong to the week from now.
  c.hours[7][19] = 1;
  EXPECT_EQ(RecommendListingHours(c, kSunday + 20.0 / 24, ShopHours{9, 23}).size(), 7u);
}

}  // namespace
}  // namespace kelvora
