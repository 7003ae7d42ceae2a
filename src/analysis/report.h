#pragma once
// The delisting report: counts of delisting times per hour and per quarter hour
// over today and the next seven days, and where each delisting of the coming week
// falls by weekday and time of day. The texts are what the report page's
// functions asd, fgh and nr1 receive (GBK).
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "analysis/analysis_db.h"
#include "net/datetime.h"

namespace kelvora {

inline constexpr int kReportDays = 8;   // today and the seven following days
inline constexpr int kWeekdayDays = 7;  // today and the six following days

struct DelistingCounts {
  std::array<std::array<int64_t, 24>, kReportDays> hours{};
  std::array<std::array<int64_t, 96>, kReportDays> quarters{};
  bool operator==(const DelistingCounts&) const = default;
};

// The report's counts gathered delisting by delisting, as rows go by, without a
// database: the same figures as BuildAnalysisReport's over the same rows.
class DelistingCounter {
 public:
  explicit DelistingCounter(DateTime today);
  // One row's delisting time (TimeTextSeconds of its 下架时间).
  void add(int64_t xiajia);
  const DelistingCounts& counts() const { return counts_; }

 private:
  int64_t base_;
  DelistingCounts counts_;
};

struct AnalysisReport {
  std::string hourSeries;     // asd
  std::string weekdaySeries;  // fgh
  std::string tables;         // nr1
  DelistingCounts counts;
};

// Midnight of today's UTC+8 date (NowUtc8, so the command line's --now applies).
DateTime TodayUtc8();

// "0" repeated in front of `text` up to `width` bytes; longer texts unchanged.
std::string PadZeros(std::string_view text, int width);
// "周" and the weekday character of `day` (GBK): 周日, 周一 ... 周六.
std::string WeekdayName(DateTime day);

// Everything in one pass over the table.
AnalysisReport BuildAnalysisReport(const AnalysisDb& db, DateTime today);
std::string BuildQuarterHourTable(const AnalysisDb& db, DateTime today);
std::string BuildWeekdaySeries(const AnalysisDb& db, DateTime today);

// The same report with one count query per bucket (960 of them) and the weekday
// series read row by row: the slow, literal way, kept as the yardstick the
// one-pass report is measured and checked against.
AnalysisReport BuildAnalysisReportByQueries(const AnalysisDb& db, DateTime today);

}  // namespace kelvora
