#pragma once
// Our advice on when to list: for each day of the coming week, the whole hours
// within the shop hours in which the fewest items of the market reach their
// delisting time, so a newly listed item meets the least competition when its
// own delisting comes round.
#include <cstdint>
#include <string>
#include <vector>

#include "analysis/report.h"
#include "net/settings.h"

namespace kelvora {

struct AdviceHour {
  int hour;
  int64_t count;
  bool operator==(const AdviceHour&) const = default;
};

struct DayAdvice {
  std::string weekday;            // 周日 ... 周六 (GBK)
  std::string date;               // the day's date text (GBK)
  std::vector<AdviceHour> hours;  // fewest first, ties to the earlier hour
  // Today only: no shop hour is left to come, so `hours` is empty.
  bool hoursPassed = false;
};

// One entry per day of the coming week from `now` (UTC+8), today first, three hours
// each, chosen from the hours of `shop`; today's only from the next whole hour on.
// Each weekday and hour is counted once over [now, now + 7 days): today's hours still
// to come from today, those already past from the same weekday a week on. Empty when
// no delisting time falls in that week: there is nothing to advise on.
std::vector<DayAdvice> RecommendListingHours(const DelistingCounts& counts, DateTime now, ShopHours shop);

// One line per day: the weekday name, then "HH:00 (count)" per hour, blank-separated,
// or a line saying today's shop hours are past; without advice, one line saying there
// is no data (GBK).
std::string AdviceLines(const std::vector<DayAdvice>& advice);

// The text of the report page's function tj, read like the series texts:
// {hours: [9,23],days: [{name: '周三',date: '2024年1月3日',data: [[10,0],[11,0],[12,1]]},...]}
std::string AdviceSeries(const std::vector<DayAdvice>& advice, ShopHours shop);

}  // namespace kelvora
