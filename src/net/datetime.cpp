#include "net/datetime.h"

#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>

#include "net/text.h"

namespace kelvora {
namespace {

// Days from 1970-01-01 to the given day of the proleptic Gregorian calendar.
constexpr int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

struct Civil {
  int64_t y;
  int m, d;
};

constexpr Civil CivilFromDays(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  return {yoe + era * 400 + (m <= 2), m, d};
}

constexpr int64_t kBaseDay = DaysFromCivil(1899, 12, 30);                // day 0 of a DateTime
constexpr int64_t kUnixEpochDay = DaysFromCivil(1970, 1, 1) - kBaseDay;  // 25569
constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kUtc8Offset = 8 * 3600;
// Every date-time is kept between 100-01-01 00:00:00 and 9999-12-31 23:59:59.
constexpr int64_t kMinSecond = (DaysFromCivil(100, 1, 1) - kBaseDay) * kSecondsPerDay;
constexpr int64_t kMaxSecond = (DaysFromCivil(10000, 1, 1) - kBaseDay) * kSecondsPerDay - 1;

// Whole seconds since 1899-12-30 00:00:00, rounded to the nearest second and held
// within the supported range.
int64_t WholeSeconds(DateTime value) {
  if (std::isnan(value)) return kMinSecond;
  double seconds = std::round(value * static_cast<double>(kSecondsPerDay));
  if (seconds <= static_cast<double>(kMinSecond)) return kMinSecond;
  if (seconds >= static_cast<double>(kMaxSecond)) return kMaxSecond;
  return static_cast<int64_t>(seconds);
}

DateTime FromSeconds(int64_t seconds) {
  int64_t day = seconds / kSecondsPerDay;
  int64_t rest = seconds % kSecondsPerDay;
  if (rest < 0) {
    rest += kSecondsPerDay;
    --day;
  }
  return static_cast<double>(day) + static_cast<double>(rest) / kSecondsPerDay;
}

bool IsLeap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int64_t y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// The separators of a written date: 年 月 日 时 分 秒 (GBK) and - / . :
size_t SeparatorWidth(std::string_view s, size_t i) {
  static constexpr std::string_view kWide[] = {"\xC4\xEA", "\xD4\xC2", "\xC8\xD5", "\xCA\xB1", "\xB7\xD6", "\xC3\xEB"};
  char c = s[i];
  if (c == '-' || c == '/' || c == '.' || c == ':') return 1;
  if (i + 1 >= s.size()) return 0;
  for (std::string_view w : kWide)
    if (s[i] == w[0] && s[i + 1] == w[1]) return 2;
  return 0;
}

std::atomic<double> g_nowOverride{std::numeric_limits<double>::quiet_NaN()};

}  // namespace

extern const DateTime kSmallestDate = static_cast<double>(DaysFromCivil(100, 1, 1) - kBaseDay);

DateTime MakeDateTime(int year, int month, int day, int hour, int minute, int second) {
  // Months outside 1..12 roll into neighbouring years; days, hours, minutes and
  // seconds past their ranges roll over in the same way.
  int64_t y = year, m = month - 1;
  y += m >= 0 ? m / 12 : (m - 11) / 12;
  m = ((m % 12) + 12) % 12 + 1;
  int64_t seconds = (DaysFromCivil(y, m, 1) - kBaseDay + (static_cast<int64_t>(day) - 1)) * kSecondsPerDay +
                    static_cast<int64_t>(hour) * 3600 + static_cast<int64_t>(minute) * 60 + second;
  if (seconds < kMinSecond) seconds = kMinSecond;
  if (seconds > kMaxSecond) seconds = kMaxSecond;
  return FromSeconds(seconds);
}

DateParts SplitDateTime(DateTime value) {
  int64_t seconds = WholeSeconds(value);
  int64_t day = seconds / kSecondsPerDay;
  int64_t rest = seconds % kSecondsPerDay;
  if (rest < 0) {
    rest += kSecondsPerDay;
    --day;
  }
  Civil c = CivilFromDays(day + kBaseDay);
  return {static_cast<int>(c.y),      c.m, c.d, static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
          static_cast<int>(rest % 60)};
}

std::string DateText(DateTime value) {
  const DateParts p = SplitDateTime(value);
  // "Y年M月D日", then hours, minutes and seconds down to the last one not zero.
  char buffer[96];
  char* out = buffer;
  char* const end = buffer + sizeof buffer;
  auto put = [&](int number, const char* unit) {
    out = std::to_chars(out, end, number).ptr;
    *out++ = unit[0];
    *out++ = unit[1];
  };
  put(p.year, "\xC4\xEA");
  put(p.month, "\xD4\xC2");
  put(p.day, "\xC8\xD5");
  if (p.hour != 0 || p.minute != 0 || p.second != 0) put(p.hour, "\xCA\xB1");
  if (p.minute != 0 || p.second != 0) put(p.minute, "\xB7\xD6");
  if (p.second != 0) put(p.second, "\xC3\xEB");
  return std::string(buffer, out);
}

DateTime TextToDate(std::string_view text) {
  // Runs of digits (year, month, day, then optionally hour, minute, second), each
  // pair separated by blanks and at most one separator; one trailing separator
  // (such as the 日 of "1970年1月1日") and surrounding blanks are allowed.
  int64_t parts[6] = {0, 0, 0, 0, 0, 0};
  int count = 0;
  size_t i = 0;
  auto skipBlanks = [&] {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  };
  skipBlanks();
  while (i < text.size()) {
    if (text[i] < '0' || text[i] > '9') return kSmallestDate;
    if (count == 6) return kSmallestDate;
    int64_t value = 0;
    int digits = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
      if (++digits > 9) return kSmallestDate;
      value = value * 10 + (text[i] - '0');
    }
    parts[count++] = value;
    size_t before = i;
    skipBlanks();
    if (i < text.size()) {
      size_t w = SeparatorWidth(text, i);
      i += w;
      skipBlanks();
    }
    if (i < text.size() && i == before) return kSmallestDate;  // digits run into other text
  }
  if (count < 3) return kSmallestDate;
  int64_t y = parts[0], m = parts[1], d = parts[2];
  if (y < 100 || y > 9999 || m < 1 || m > 12 || d < 1 || d > DaysInMonth(y, static_cast<int>(m))) return kSmallestDate;
  if (parts[3] > 23 || parts[4] > 59 || parts[5] > 59) return kSmallestDate;
  return MakeDateTime(static_cast<int>(y), static_cast<int>(m), static_cast<int>(d), static_cast<int>(parts[3]),
                      static_cast<int>(parts[4]), static_cast<int>(parts[5]));
}

DateTime UnixToDate(int64_t seconds) {
  // The whole 64-bit count is used, so times after January 2038 stay right.
  constexpr int64_t kLow = kMinSecond - kUnixEpochDay * kSecondsPerDay - kUtc8Offset;
  constexpr int64_t kHigh = kMaxSecond - kUnixEpochDay * kSecondsPerDay - kUtc8Offset;
  if (seconds < kLow) seconds = kLow;
  if (seconds > kHigh) seconds = kHigh;
  return FromSeconds(seconds + kUnixEpochDay * kSecondsPerDay + kUtc8Offset);
}

int64_t DateToUnix(DateTime value) { return WholeSeconds(value) - kUnixEpochDay * kSecondsPerDay - kUtc8Offset; }

DateTime ServiceTimeToDate(std::string_view text) {
  if (text.size() > 20 || text.size() < 9) return MakeDateTime(1970, 1, 1);
  int64_t n = text.size() == 10 ? ToInt64(text) : ToInt64(Left(text, 10));
  return UnixToDate(n);
}

std::string ServiceTimeCellText(std::string_view text) {
  std::string s = DateText(ServiceTimeToDate(text));
  if (Find(s, "1970") != -1) return NO_TIME_TEXT;
  return s;
}

DateTime NowUtc8() {
  double fixed = g_nowOverride.load(std::memory_order_acquire);
  if (!std::isnan(fixed)) return fixed;
  // Whole seconds, like the clock the hours left were defined on: a fraction of a
  // second would let a time exactly N hours ahead read N-1.
  const auto seconds = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
  return UnixToDate(static_cast<int64_t>(seconds.time_since_epoch().count()));
}

void SetNowOverride(std::optional<DateTime> fixedNow) {
  g_nowOverride.store(fixedNow && !std::isnan(*fixedNow) ? *fixedNow : std::numeric_limits<double>::quiet_NaN(),
                      std::memory_order_release);
}

}  // namespace kelvora
