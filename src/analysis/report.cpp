#include "analysis/report.h"

#include <cmath>
#include <vector>

#include "net/text.h"

namespace kelvora {
namespace {

constexpr int64_t kDay = 86400;
constexpr char kTableOpen[] = "<table border='1' cellpadding='10' cellspacing='1'>";
constexpr char kDateHead[] = "<tr><td>\xc8\xd5\xc6\xda</td>";  // 日期

// A delisting of the coming week: its day number u (1 = today) and its point text.
struct WeekdayPoints {
  std::array<std::string, kWeekdayDays> points;  // "[14.7,2],[3.0,2],"
};

std::string DayLabel(DateTime today, int d) { return DateText(today + d); }

// Seconds offset of a delisting from today's midnight, when it lies in the report's days.
bool ReportOffset(int64_t xiajia, int64_t base, int64_t& offset) {
  if (xiajia < base || xiajia - base >= kReportDays * kDay) return false;
  offset = xiajia - base;
  return true;
}

void AddCount(DelistingCounts& counts, int64_t offset) {
  counts.hours[offset / kDay][offset % kDay / 3600]++;
  counts.quarters[offset / kDay][offset % kDay / 900]++;
}

void AddPoint(WeekdayPoints& points, int64_t offset) {
  const int64_t k = offset / kDay;  // whole days after today
  if (k >= kWeekdayDays) return;
  const int64_t inDay = offset % kDay;
  std::string& p = points.points[k];
  p += '[';
  p += std::to_string(inDay / 3600);
  p += '.';
  p += static_cast<char>('0' + inDay % 3600 / 60 / 6);
  p += ',';
  p += std::to_string(k + 1);
  p += "],";
}

// Both formatted from counts, so the one-pass and the per-query report share them.
void FormatHourSeriesAndTable(const DelistingCounts& counts, DateTime today, std::string& series, std::string& table) {
  table = kDateHead;
  for (int h = 0; h < 24; ++h) table += "<td>" + std::to_string(h) + "H</td>";
  table += "</tr>";
  series = "[";
  for (int d = 0; d < kReportDays; ++d) {
    const std::string label = DayLabel(today, d);
    table += "<tr><td width=115>" + label + "</td>";
    if (d > 0) series += ',';
    series += "{name: '" + label + "',data: [";
    for (int h = 0; h < 24; ++h) {
      const std::string n = std::to_string(counts.hours[d][h]);
      series += n + ",";
      table += "<td width=25>" + n + "</td>";
    }
    series += "]}";
    table += "</tr>";
  }
  series += "]";
}

std::string FormatQuarterTable(const DelistingCounts& counts, DateTime today) {
  std::string out = std::string(kTableOpen) + kDateHead;
  for (int h = 0; h < 24; ++h)
    for (int q = 0; q < 4; ++q)
      out += "<td width=35>" + PadZeros(std::to_string(h), 2) + ":" + PadZeros(std::to_string(15 * q), 2) + "</td>";
  out += "</tr>";
  for (int d = 0; d < kReportDays; ++d) {
    out += "<tr><td >" + DayLabel(today, d) + "</td>";
    for (int i = 0; i < 96; ++i) out += "<td>" + std::to_string(counts.quarters[d][i]) + "</td>";
    out += "</tr>";
  }
  out += "</table>";
  return out;
}

std::string FormatWeekdaySeries(WeekdayPoints points, DateTime today) {
  std::string out = "[";
  for (int u = 1; u <= kWeekdayDays; ++u) {
    std::string& p = points.points[u - 1];
    if (!p.empty() && p.back() == ',') p.pop_back();
    if (u > 1) out += ',';
    out += "{ name: '" + WeekdayName(today + (u - 1)) + "', data: [" + p + "] }";
  }
  out += "]";
  return out;
}

AnalysisReport Assemble(const DelistingCounts& counts, WeekdayPoints points, DateTime today) {
  AnalysisReport report;
  report.counts = counts;
  std::string hourTable;
  FormatHourSeriesAndTable(counts, today, report.hourSeries, hourTable);
  report.tables = std::string(kTableOpen) + hourTable + "</table>" + "<br/>" + FormatQuarterTable(counts, today);
  report.weekdaySeries = FormatWeekdaySeries(std::move(points), today);
  return report;
}

// The one pass: every delisting of the table lands in its buckets and points.
void Scan(const AnalysisDb& db, DateTime today, DelistingCounts* counts, WeekdayPoints* points) {
  const int64_t base = DateToUnix(today);
  db.forEachDelisting([&](int64_t xiajia) {
    int64_t offset;
    if (!ReportOffset(xiajia, base, offset)) return;
    if (counts) AddCount(*counts, offset);
    if (points) AddPoint(*points, offset);
  });
}

}  // namespace

DelistingCounter::DelistingCounter(DateTime today) : base_(DateToUnix(std::floor(today))) {}

void DelistingCounter::add(int64_t xiajia) {
  int64_t offset;
  if (ReportOffset(xiajia, base_, offset)) AddCount(counts_, offset);
}

DateTime TodayUtc8() { return std::floor(NowUtc8()); }

std::string PadZeros(std::string_view text, int width) {
  if (static_cast<int64_t>(text.size()) >= width) return std::string(text);
  return std::string(static_cast<size_t>(width) - text.size(), '0') + std::string(text);
}

std::string WeekdayName(DateTime day) {
  static constexpr const char* kNames[] = {"\xc8\xd5", "\xd2\xbb", "\xb6\xfe", "\xc8\xfd",
                                           "\xcb\xc4", "\xce\xe5", "\xc1\xf9"};  // 日 一 二 三 四 五 六
  // Day 0 of a DateTime, 1899-12-30, was a Saturday.
  const int64_t days = static_cast<int64_t>(std::floor(day));
  const int64_t weekday = ((days + 6) % 7 + 7) % 7;  // 0 = Sunday
  return std::string("\xd6\xdc") + kNames[weekday];  // 周
}

AnalysisReport BuildAnalysisReport(const AnalysisDb& db, DateTime today) {
  today = std::floor(today);
  DelistingCounts counts;
  WeekdayPoints points;
  Scan(db, today, &counts, &points);
  return Assemble(counts, std::move(points), today);
}

std::string BuildQuarterHourTable(const AnalysisDb& db, DateTime today) {
  today = std::floor(today);
  DelistingCounts counts;
  Scan(db, today, &counts, nullptr);
  return FormatQuarterTable(counts, today);
}

std::string BuildWeekdaySeries(const AnalysisDb& db, DateTime today) {
  today = std::floor(today);
  WeekdayPoints points;
  Scan(db, today, nullptr, &points);
  return FormatWeekdaySeries(std::move(points), today);
}

AnalysisReport BuildAnalysisReportByQueries(const AnalysisDb& db, DateTime today) {
  today = std::floor(today);
  DelistingCounts counts;
  for (int d = 0; d < kReportDays; ++d) {
    for (int h = 0; h < 24; ++h) {
      const int64_t s = DateToUnix(today + d + h / 24.0);
      const int64_t e = DateToUnix(today + d + (h + 1) / 24.0) - 1;
      counts.hours[d][h] = db.countBetween(s, e);
    }
    for (int i = 0; i < 96; ++i) {
      const int64_t s = DateToUnix(today) + kDay * d + 900 * i;
      counts.quarters[d][i] = db.countBetween(s, s + 899);
    }
  }
  // The weekday series row by row, through the date of each delisting.
  WeekdayPoints points;
  db.forEachDelisting([&](int64_t xiajia) {
    const DateTime t = UnixToDate(xiajia);
    const int64_t k = static_cast<int64_t>(std::floor(t)) - static_cast<int64_t>(today);
    const int64_t u = k + 1;
    if (u < 1 || u > kWeekdayDays) return;
    const DateParts p = SplitDateTime(t);
    points.points[u - 1] +=
        "[" + std::to_string(p.hour) + "." + std::to_string(p.minute / 6) + "," + std::to_string(u) + "],";
  });
  return Assemble(counts, std::move(points), today);
}

}  // namespace kelvora
