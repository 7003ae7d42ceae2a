#include "analysis/listing_advice.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kelvora {

std::vector<DayAdvice> RecommendListingHours(const DelistingCounts& counts, DateTime today,
                                             ShopHours shop) {
  today = std::floor(today);
  const int first = std::clamp(shop.first, 0, 23);
  const int last = std::clamp(shop.last, first, 23);
  std::vector<DayAdvice> out;
  for (int d = 0; d < kWeekdayDays; ++d) {
    DayAdvice day{WeekdayName(today + d), DateText(today + d), {}};
    std::vector<AdviceHour> candidates;
    for (int h = first; h <= last; ++h) candidates.push_back({h, counts.hours[d][h]});
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
  std::string out;
  for (const DayAdvice& day : advice) {
    out += day.weekday;
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
  std::string out = "{hours: [" + std::to_string(shop.first) + "," + std::to_string(shop.last) +
                    "],days: [";
  for (size_t i = 0; i < advice.size(); ++i) {
    if (i > 0) out += ',';
    out += "{name: '" + advice[i].weekday + "',date: '" + advice[i].date + "',data: [";
    for (size_t j = 0; j < advice[i].hours.size(); ++j) {
      if (j > 0) out += ',';
      out += "[" + std::to_string(advice[i].hours[j].hour) + "," +
             std::to_string(advice[i].hours[j].count) + "]";
    }
    out += "]}";
  }
  out += "]}";
  return out;
}

}  // namespace kelvora
