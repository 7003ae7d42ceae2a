#include "net/datetime.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "support/fixtures.h"

namespace kelvora {
namespace {

using test::G;

std::string Iso(DateTime value) {
  DateParts p = SplitDateTime(value);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", p.year, p.month, p.day, p.hour, p.minute,
                p.second);
  return buffer;
}

TEST(DateTimeDays, CountsFromTheEndOf1899) {
  EXPECT_EQ(MakeDateTime(1899, 12, 30), 0.0);
  EXPECT_EQ(MakeDateTime(1900, 1, 1), 2.0);
  EXPECT_EQ(MakeDateTime(1970, 1, 1), 25569.0);
  EXPECT_EQ(MakeDateTime(1970, 1, 1, 12), 25569.5);
  EXPECT_EQ(MakeDateTime(9999, 12, 31), 2958465.0);
  EXPECT_EQ(kSmallestDate, -657434.0);
  EXPECT_EQ(Iso(kSmallestDate), "0100-01-01 00:00:00");
  // 1900 is no leap year, 2000 and 1600 are.
  EXPECT_EQ(MakeDateTime(1900, 3, 1) - MakeDateTime(1900, 2, 28), 1.0);
  EXPECT_EQ(MakeDateTime(2000, 3, 1) - MakeDateTime(2000, 2, 28), 2.0);
  EXPECT_EQ(Iso(MakeDateTime(1600, 2, 29)), "1600-02-29 00:00:00");
  EXPECT_EQ(Iso(MakeDateTime(1850, 6, 15, 13, 5, 9)), "1850-06-15 13:05:09");
}

TEST(DateTimeDays, SplitRoundsToTheNearestSecond) {
  const DateTime midnight = MakeDateTime(2014, 11, 4);
  EXPECT_EQ(Iso(midnight - 0.2 / 86400), "2014-11-04 00:00:00");
  EXPECT_EQ(Iso(midnight - 0.7 / 86400), "2014-11-03 23:59:59");
  EXPECT_EQ(Iso(midnight + 59.6 / 86400), "2014-11-04 00:01:00");
  // Every second of a day comes back as itself.
  for (int s = 0; s < 86400; s += 7) {
    DateParts p = SplitDateTime(MakeDateTime(2031, 12, 31, 0, 0, s));
    ASSERT_EQ(p.hour * 3600 + p.minute * 60 + p.second, s);
    ASSERT_EQ(p.day, 31);
  }
}

TEST(DateTimeText, DropsTrailingZeroParts) {
  struct Case {
    DateTime value;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {MakeDateTime(2014, 11, 4, 21, 26, 41), "2014年11月4日21时26分41秒"},
      {MakeDateTime(2014, 11, 4), "2014年11月4日"},
      {MakeDateTime(2014, 11, 4, 21), "2014年11月4日21时"},
      {MakeDateTime(2014, 11, 4, 21, 5), "2014年11月4日21时5分"},
      {MakeDateTime(2014, 11, 4, 0, 5), "2014年11月4日0时5分"},
      {MakeDateTime(2014, 11, 4, 0, 0, 7), "2014年11月4日0时0分7秒"},
      {MakeDateTime(1970, 1, 1), "1970年1月1日"},
      {kSmallestDate, "100年1月1日"},
  };
  for (const auto& c : cases) EXPECT_EQ(DateText(c.value), G(c.expected)) << c.expected;
}

TEST(DateTimeText, ReadsWrittenDates) {
  struct Case {
    std::string text;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {G("1970年1月1日"), "1970-01-01 00:00:00"},
      {"1970-01-01 08:00:00", "1970-01-01 08:00:00"},
      {G("2014年11月4日21时26分41秒"), "2014-11-04 21:26:41"},
      {G("2014年11月4日21时26分41"), "2014-11-04 21:26:41"},
      {G("2014年11月4日21时26分"), "2014-11-04 21:26:00"},
      {G("2014年11月4日21时"), "2014-11-04 21:00:00"},
      {G("2014年11月4日 21时"), "2014-11-04 21:00:00"},
      {"2014/11/4 9:05", "2014-11-04 09:05:00"},
      {"2014.11.04", "2014-11-04 00:00:00"},
      {"2014-11-04", "2014-11-04 00:00:00"},
      {" 2014-2-28  23:59:59 ", "2014-02-28 23:59:59"},
      {"2016-02-29", "2016-02-29 00:00:00"},
      {"9999-12-31 23:59:59", "9999-12-31 23:59:59"},
  };
  for (const auto& c : cases) EXPECT_EQ(Iso(TextToDate(c.text)), c.expected) << c.text;

  const std::vector<std::string> notDates = {
      "",
      "abc",
      "2014",
      "2014-11",
      "2014-13-01",
      "2014-02-30",
      "2015-02-29",
      "2014-00-10",
      "2014-11-00",
      "2014-11-04 24:00:00",
      "2014-11-04 12:60",
      "2014-11-04 12:00:60",
      "2014-11-04x",
      "2014-11-04 12:00:00:00",
      "2014--11-04",
      "99-01-01",
      "10000-01-01",
      "2014-11-04 12:00 pm",
      "1234567890123-1-1",
      G("二零一四年十一月四日"),
      "-2014-11-04",
  };
  for (const auto& text : notDates) EXPECT_EQ(TextToDate(text), kSmallestDate) << text;
}

TEST(DateTimeText, EveryDateTextReadsBack) {
  const std::vector<DateTime> values = {
      MakeDateTime(2014, 11, 4, 21, 26, 41), MakeDateTime(2014, 11, 4),
      MakeDateTime(2014, 11, 4, 21),         MakeDateTime(2014, 11, 4, 0, 5),
      MakeDateTime(2000, 2, 29, 0, 0, 1),    MakeDateTime(2099, 12, 31, 23, 59, 59),
      MakeDateTime(1970, 1, 1, 8),           kSmallestDate,
  };
  for (DateTime v : values) EXPECT_EQ(TextToDate(DateText(v)), v) << Iso(v);
  for (int64_t t = 0; t < 5000000000; t += 98765432) {
    DateTime v = UnixToDate(t);
    ASSERT_EQ(TextToDate(DateText(v)), v) << t;
  }
}

TEST(DateTimeUnix, WallClockOfUtcPlusEight) {
  struct Case {
    int64_t seconds;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {0, "1970-01-01 08:00:00"},
      {-28800, "1970-01-01 00:00:00"},
      {1415107601, "2014-11-04 21:26:41"},
      {2147483647, "2038-01-19 11:14:07"},
      // Past the 32-bit range: the whole count is used, no wrap to 1901.
      {2147483648, "2038-01-19 11:14:08"},
      {4102444800, "2100-01-01 08:00:00"},
      {-1, "1970-01-01 07:59:59"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Iso(UnixToDate(c.seconds)), c.expected) << c.seconds;
    EXPECT_EQ(DateToUnix(UnixToDate(c.seconds)), c.seconds);
  }
  EXPECT_EQ(DateToUnix(MakeDateTime(1970, 1, 1, 8)), 0);
  EXPECT_EQ(DateToUnix(MakeDateTime(2014, 11, 4, 21, 26, 41) + 0.3 / 86400), 1415107601);
  // Far out of range stays a valid date instead of overflowing.
  EXPECT_EQ(Iso(UnixToDate(INT64_MAX)), "9999-12-31 23:59:59");
  EXPECT_EQ(Iso(UnixToDate(INT64_MIN)), "0100-01-01 00:00:00");
}

TEST(DateTimeService, TimesAndCellTexts) {
  struct Case {
    std::string text, date, cell;
  };
  const std::vector<Case> cases = {
      {"1415107601", "2014-11-04 21:26:41", "2014年11月4日21时26分41秒"},
      {"1415107601378", "2014-11-04 21:26:41", "2014年11月4日21时26分41秒"},
      {"12345678", "1970-01-01 00:00:00", "无时间"},
      {"", "1970-01-01 00:00:00", "无时间"},
      {"0", "1970-01-01 00:00:00", "无时间"},
      {"123456789012345678901", "1970-01-01 00:00:00", "无时间"},
      {"123456789", "1973-11-30 05:33:09", "1973年11月30日5时33分9秒"},
      {"0000000000", "1970-01-01 08:00:00", "无时间"},
      {"abcdefghij", "1970-01-01 08:00:00", "无时间"},
      {"2147483648", "2038-01-19 11:14:08", "2038年1月19日11时14分8秒"},
      {"4102444800000", "2100-01-01 08:00:00", "2100年1月1日8时"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Iso(ServiceTimeToDate(c.text)), c.date) << c.text;
    EXPECT_EQ(ServiceTimeCellText(c.text), G(c.cell)) << c.text;
  }
  EXPECT_EQ(std::string(NO_TIME_TEXT), G("无时间"));
}

TEST(DateTimeNow, UtcPlusEightWhateverTheZoneAndOverridable) {
  const char* oldTz = std::getenv("TZ");
  std::string saved = oldTz ? oldTz : "";
  setenv("TZ", "America/New_York", 1);
  tzset();
  const auto unixNow =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  const DateTime now = NowUtc8();
  EXPECT_NEAR((now - UnixToDate(unixNow)) * 86400, 0.0, 3.0);
  // Whole seconds, as the time texts are: a delisting exactly N hours ahead must
  // not read N-1 because now carried a fraction of a second.
  EXPECT_EQ(now, UnixToDate(DateToUnix(now)));
  if (oldTz)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();

  const DateTime fixed = MakeDateTime(2014, 11, 4, 21, 26, 41);
  SetNowOverride(fixed);
  EXPECT_EQ(NowUtc8(), fixed);
  SetNowOverride(std::nullopt);
  EXPECT_NEAR((NowUtc8() - now) * 86400, 0.0, 60.0);
}

}  // namespace
}  // namespace kelvora
