#include "analysis/listing_advice.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "net/codec.h"

namespace kelvora {
namespace {

constexpr const char* kNoAdviceUtf8 = "无下架时间数据，暂无推荐";
constexpr const char* kHoursPassedUtf8 = "今日营业时段已过";

}  // namespace

std::vector<DayAdvice> RecommendListingHours(const DelistingCounts& counts, DateTime now, ShopHours shop) {
  const DateTime today = std::floor(now);
  // The first whole hour still to come: now itself when it is exactly on the hour.
  const double hours = (now - today) * 24.0;
  const int nextHour = static_cast<int>(std::ceil(hours - 1e-7));
  const int hourNow = std::clamp(static_cast<int>(std::floor(hours + 1e-7)), 0, 23);
  int64_t inWeek = 0;
  for (int d = 0; d < kWeekdayDays; ++d)
    for (int h = 0; h < 24; ++h) inWeek += d == 0 && h < hourNow ? counts.hours[kWeekdayDays][h] : counts.hours[d][h];
  if (inWeek == 0) return {};

  const int first = std::clamp(shop.first, 0, 23);
  const int last = std::clamp(shop.last, first, 23);
  std::vector<DayAdvice> out;
  for (int d = 0; d < kWeekdayDays; ++d) {
    DayAdvice day{WeekdayName(today + d), DateText(today + d), {}};
    std::vector<AdviceHour> candidates;
    for (int h = d == 0 ? std::max(first, nextHour) : first; h <= last; ++h)
      candidates.push_back({h, counts.hours[d][h]});
    day.hoursPassed = d == 0 && candidates.empty();
    // Stable: among equal counts the earlier hour stays first.
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const AdviceHour& a, const AdviceHour& b) { return a.count < b.count; });
    candidates.resize(std::min<size_t>(3, candidates.size()));
    day.hours = std::move(candidates);
    out.push_back(std::move(day));
  }
  return out;
}

std::string AdviceLines(const std::vector<DayAdvice>& advice) {
  if (advice.empty()) return Utf8ToGbk(kNoAdviceUtf8) + "\n";
  std::string out;
  for (const DayAdvice& day : advice) {
    out += day.weekday;
    if (day.hoursPassed) out += Utf8ToGbk(" " + std::string(kHoursPassedUtf8));
    for (const AdviceHour& h : day.hours) {
      char buffer[48];
      std::snprintf(buffer, sizeof buffer, " %02d:00 (%lld)", h.hour, static_cast<long long>(h.count));
      out += buffer;
    }
    out += '\n';
  }
  return out;
}

std::string AdviceSeries(const std::vector<DayAdvice>& advice, ShopHours shop) {
  std::string out = "{hours: [" + std::to_string(shop.first) + "," + std::to_string(shop.last) + "],days: [";
  for (size_t i = 0; i < advice.size(); ++i) {
    if (i > 0) out += ',';
    out += "{name: '" + advice[i].weekday + "',date: '" + advice[i].date + "'" +
           (advice[i].hoursPassed ? ",passed: 1" : "") + ",data: [";
    for (size_t j = 0; j < advice[i].hours.size(); ++j) {
      if (j > 0) out += ',';
      out += "[" + std::to_string(advice[i].hours[j].hour) + "," + std::to_string(advice[i].hours[j].count) + "]";
    }
    out += "]}";
  }
  out += "]";
  if (advice.empty()) out += ",note: '" + Utf8ToGbk(kNoAdviceUtf8) + "'";
  out += "}";
  return out;
}

}  // namespace kelvora
