#pragma once
// Date-times are doubles counting days since 1899-12-30 00:00:00 (the fraction is
// the time of day), without a zone. Times shown to users are UTC+8 wall-clock.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelvora {

using DateTime = double;

// 100-01-01 00:00:00: the value of any text that is not a date.
extern const DateTime kSmallestDate;
inline constexpr const char* NO_TIME_TEXT = "\xce\xde\xca\xb1\xbc\xe4";  // 无时间 in GBK

DateTime MakeDateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);
struct DateParts {
  int year, month, day, hour, minute, second;
};
DateParts SplitDateTime(DateTime value);

// "%d年%d月%d日" and the time of day down to its last non-zero part (GBK).
std::string DateText(DateTime value);
// Reads "1970年1月1日", "1970-01-01 08:00:00", every DateText output; else kSmallestDate.
DateTime TextToDate(std::string_view text);
// 1970-01-01 08:00:00 plus `seconds` (the UTC+8 wall-clock time of a Unix time).
DateTime UnixToDate(int64_t seconds);
// Inverse of UnixToDate, whole seconds.
int64_t DateToUnix(DateTime value);
// A lookup-service time (10 digits seconds or 13 digits milliseconds) to a date.
DateTime ServiceTimeToDate(std::string_view text);
// The results-table text of a lookup-service time: DateText, or NO_TIME_TEXT for 1970.
std::string ServiceTimeCellText(std::string_view text);

// Now as UTC+8 wall-clock time, whatever the computer's zone. A fixed value can be
// set for the command line's --now and for tests.
DateTime NowUtc8();
void SetNowOverride(std::optional<DateTime> fixedNow);

}  // namespace kelvora
