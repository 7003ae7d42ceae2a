#include "net/text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "net/codec.h"
#include "support/fixtures.h"

namespace kelvora {
namespace {

using test::G;

// 乥 is 81 62 in GBK: its trail byte is the ASCII letter 'b'.
const std::string kTrailB = "\x81\x62";

TEST(TextFind, PositionsAndDoubleByteRules) {
  struct Case {
    std::string text, sought;
    int start, expected;
  };
  const std::vector<Case> cases = {
      {"a" + G("中") + "b", "b", 1, 4},
      {"a" + G("中") + "b", "\xD0", 1, -1},  // trail byte of 中
      {kTrailB, "b", 1, -1},                 // 'b' as a trail byte is no match
      {kTrailB + "b", "b", 1, 3},
      {G("中文中文"), G("文"), 1, 3},
      {G("中文中文"), G("文"), 5, 7},
      {"abcabc", "abc", 1, 1},
      {"abcabc", "abc", 2, 4},
      {"abcabc", "abc", 0, 1},
      {"abcabc", "abc", -7, 1},
      {"abcabc", "abc", 5, -1},
      {"abcabc", "c", 6, 6},
      {"abcabc", "c", 7, -1},
      {"abc", "ABC", 1, -1},  // case-sensitive
      {"abc", "abcd", 1, -1},
      {"abc", "", 1, 1},
      {"abc", "", 3, 1},
      {"abc", "", 4, -1},
      {"", "", 1, -1},
      {"", "a", 1, -1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Find(c.text, c.sought, c.start), c.expected)
        << "find \"" << c.sought << "\" in \"" << c.text << "\" from " << c.start;
}

TEST(TextFind, FindsMarkerNearTheEndOfALongPage) {
  std::string page;
  while (page.size() < 100000) page += G("价格") + kTrailB + "<b>";
  page += "price:9.90,";
  EXPECT_EQ(Find(page, "price:"), static_cast<int>(page.size()) - 10);
  EXPECT_EQ(Find(page, "b>", 1), 8);
  EXPECT_EQ(Find(page, "b<"), -1);  // only ever present as 62 3C across 乥<
}

TEST(TextSlices, MidLeftRight) {
  EXPECT_EQ(Mid("abcdef", 2, 3), "bcd");
  EXPECT_EQ(Mid("abcdef", 5, 10), "ef");
  EXPECT_EQ(Mid("abcdef", 6, 1), "f");
  EXPECT_EQ(Mid("abcdef", 7, 1), "");
  EXPECT_EQ(Mid("abcdef", 0, 3), "");
  EXPECT_EQ(Mid("abcdef", 2, 0), "");
  EXPECT_EQ(Mid("abcdef", 2, -1), "");
  EXPECT_EQ(Left("abcdef", 2), "ab");
  EXPECT_EQ(Left("abcdef", 20), "abcdef");
  EXPECT_EQ(Left("abcdef", 0), "");
  EXPECT_EQ(Left("abcdef", -3), "");
  EXPECT_EQ(Right("abcdef", 2), "ef");
  EXPECT_EQ(Right("abcdef", 20), "abcdef");
  EXPECT_EQ(Right("abcdef", -1), "");
}

TEST(TextReplace, EveryOccurrenceAtCharacterStarts) {
  EXPECT_EQ(ReplaceAll("aaaa", "aa", "b"), "bb");
  EXPECT_EQ(ReplaceAll("aaa", "aa", "b"), "ba");
  EXPECT_EQ(ReplaceAll("a-b-c", "-"), "abc");
  EXPECT_EQ(ReplaceAll("abc", "x", "y"), "abc");
  EXPECT_EQ(ReplaceAll("abc", "", "y"), "abc");
  EXPECT_EQ(ReplaceAll("ABab", "a", "x"), "ABxb");
  EXPECT_EQ(ReplaceAll(kTrailB + "b" + kTrailB, "b", "c"), kTrailB + "c" + kTrailB);
  EXPECT_EQ(ReplaceAll(G("一，二，三"), G("，"), ","), G("一,二,三"));
}

TEST(TextTrim, AsciiAndFullWidthBlanksOnly) {
  const std::string wide = "\xA1\xA1";
  EXPECT_EQ(Trim("  ab c  "), "ab c");
  EXPECT_EQ(Trim(wide + " " + G("你好") + " " + wide + wide), G("你好"));
  EXPECT_EQ(Trim("\tab\n"), "\tab\n");
  EXPECT_EQ(Trim(" \tab\r\n "), "\tab\r\n");
  EXPECT_EQ(Trim("   "), "");
  EXPECT_EQ(Trim(wide), "");
  EXPECT_EQ(Trim(""), "");
  // 啊 is B0 A1: its trail byte and a following A1 must not read as a blank.
  EXPECT_EQ(Trim("\xB0\xA1\xA1"), "\xB0\xA1\xA1");
  EXPECT_EQ(Trim(" \xB0\xA1" + wide), "\xB0\xA1");
}

TEST(TextSplit, PiecesBetweenSeparators) {
  using V = std::vector<std::string>;
  EXPECT_EQ(Split("a,b,,c", ","), (V{"a", "b", "", "c"}));
  EXPECT_EQ(Split("a,b,", ","), (V{"a", "b"}));
  EXPECT_EQ(Split(",a", ","), (V{"", "a"}));
  EXPECT_EQ(Split("abc", ","), (V{"abc"}));
  EXPECT_EQ(Split("", ","), V{});
  EXPECT_EQ(Split("a||b", "||"), (V{"a", "b"}));
  EXPECT_EQ(Split(kTrailB + "bx", "b"), (V{kTrailB, "x"}));
  EXPECT_EQ(Split(G("一，二，"), G("，")), (V{G("一"), G("二")}));
  EXPECT_EQ(Split("1\r\n2\r\n", "\r\n"), (V{"1", "2"}));
}

TEST(TextUpper, AsciiOnly) {
  EXPECT_EQ(Upper("abcXYZ09-z"), "ABCXYZ09-Z");
  EXPECT_EQ(Upper(kTrailB + "b" + G("中")), kTrailB + "B" + G("中"));
}

TEST(TextToInteger, LeadingNumberAfterFoldingFullWidth) {
  struct Case {
    std::string text;
    int32_t expected;
  };
  const std::vector<Case> cases = {
      {"123", 123},
      {"  -45abc", -45},
      {"+7", 7},
      {"\t\r\n 9", 9},
      {"3.9", 3},
      {"12 34", 12},
      {"abc", 0},
      {"", 0},
      {"- 5", 0},
      {"--5", 0},
      {G("１２３"), 123},
      {G("－１２"), -12},
      {G("＋５元"), 5},
      {G("　　４２"), 42},
      {"\xA3\xA0"
       "7",
       7},
      {G("库存") + "12", 0},
      {G("１2３"), 123},
      {"2147483647", std::numeric_limits<int32_t>::max()},
      {"2147483648", std::numeric_limits<int32_t>::max()},  // saturates
      {"99999999999999999999", std::numeric_limits<int32_t>::max()},
      {"-2147483648", std::numeric_limits<int32_t>::min()},
      {"-2147483649", std::numeric_limits<int32_t>::min()},
  };
  for (const auto& c : cases) EXPECT_EQ(ToInt32(c.text), c.expected) << c.text;

  EXPECT_EQ(ToInt64("1415107601378"), 1415107601378);
  EXPECT_EQ(ToInt64(G("１４１５１０７６０１")), 1415107601);
  EXPECT_EQ(ToInt64("9223372036854775807"), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(ToInt64("9223372036854775808"), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(ToInt64("-9223372036854775808"), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(ToInt64("-99999999999999999999"), std::numeric_limits<int64_t>::min());
}

TEST(TextNumber, IntegersAndThirteenSignificantDigits) {
  EXPECT_EQ(NumberText(int64_t{0}), "0");
  EXPECT_EQ(NumberText(int64_t{-5}), "-5");
  EXPECT_EQ(NumberText(int64_t{1415107601378}), "1415107601378");
  EXPECT_EQ(NumberText(12.5), "12.5");
  EXPECT_EQ(NumberText(0.1), "0.1");
  EXPECT_EQ(NumberText(3.0), "3");
  EXPECT_EQ(NumberText(1.0 / 3.0), "0.3333333333333");
  EXPECT_EQ(NumberText(123456789012345.0), "1.234567890123e+14");
  EXPECT_EQ(NumberText(-0.5), "-0.5");
}

TEST(TextBetweenMarkers, Cases) {
  const std::string prices = "price:12.50,price:9.90,end";
  EXPECT_EQ(TextBetween(prices, "price:", ","), "12.50");
  EXPECT_EQ(TextBetween(prices, "price:", ",", 8), "9.90");
  EXPECT_EQ(TextBetween(prices, "price:", ",", 0), "12.50");
  EXPECT_EQ(TextBetween(prices, "price:", ";"), "");
  EXPECT_EQ(TextBetween(prices, "price:", ",", 20), "");
  EXPECT_EQ(TextBetween("a[]b", "[", "]"), "");
  EXPECT_EQ(TextBetween(G("卖家：张三，店铺"), G("卖家："), G("，")), G("张三"));
  // A missing left marker gives nothing, not text from the start of the page.
  EXPECT_EQ(TextBetween("abcdef,gh", "zz", ","), "");
  EXPECT_EQ(TextBetween("abcdef,gh", "zzzz", ","), "");
}

TEST(TextPercentDecode, Cases) {
  EXPECT_EQ(PercentDecode("%C4%E3%BA%C3"), G("你好"));
  EXPECT_EQ(PercentDecode("%c4%e3%ba%c3"), G("你好"));
  EXPECT_EQ(PercentDecode("nick=%C4%e3x"), "nick=\xC4\xE3x");
  EXPECT_EQ(PercentDecode("a+b"), "a+b");
  EXPECT_EQ(PercentDecode("100%"), "100%");
  EXPECT_EQ(PercentDecode("%4"), "%4");
  EXPECT_EQ(PercentDecode("%zz%41"), "%zzA");
  EXPECT_EQ(PercentDecode("%%41"), "%A");
  EXPECT_EQ(PercentDecode(""), "");
}

TEST(TextUnescapeJava, Cases) {
  EXPECT_EQ(UnescapeJavaText("\\u4f60\\u597D"), G("你好"));
  EXPECT_EQ(UnescapeJavaText("a\\u4F60b"), "a" + G("你") + "b");
  EXPECT_EQ(UnescapeJavaText("\\u0041\\u0062"), "Ab");
  // A pair of surrogates is one character outside the basic plane.
  EXPECT_EQ(UnescapeJavaText("\\ud83d\\ude00!"), Utf8ToGbk("\xF0\x9F\x98\x80") + "!");
  EXPECT_EQ(UnescapeJavaText("\\ud83dx"), "?x");
  EXPECT_EQ(UnescapeJavaText("\\u12G4 \\n \\u12"), "\\u12G4 \\n \\u12");
  EXPECT_EQ(UnescapeJavaText(G("中") + "\\u6587"), G("中文"));
  EXPECT_EQ(UnescapeJavaText(""), "");
}

TEST(TextTraditionalToSimplified, Cases) {
  EXPECT_EQ(TraditionalToSimplified(G("國門東臺鬆")), G("国门东台松"));
  EXPECT_EQ(TraditionalToSimplified(G("国门东台松")), G("国门东台松"));
  EXPECT_EQ(TraditionalToSimplified("abc " + G("國") + "1"), "abc " + G("国") + "1");
  EXPECT_EQ(TraditionalToSimplified("plain ascii"), "plain ascii");
  // Bytes that are no character are copied as they are.
  EXPECT_EQ(TraditionalToSimplified(G("國") + "\xFF\xFF" + G("門") + "\x81"), G("国") + "\xFF\xFF" + G("门") + "\x81");
  // 俓 simplifies to a character outside GBK, so it stays as it was.
  EXPECT_EQ(TraditionalToSimplified(G("俓國")), G("俓国"));
  // A four-byte character (written by the codec for text outside GBK) survives.
  const std::string emoji = Utf8ToGbk("\xF0\x9F\x98\x80");
  ASSERT_EQ(emoji.size(), 4u);
  EXPECT_EQ(TraditionalToSimplified(emoji + G("東")), emoji + G("东"));
}

TEST(TextTraditionalToSimplified, CharacterByCharacterAndSimplifiedTextStays) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      // The same character converts the same way whatever its neighbours.
      {"乾", "乾"},
      {"乾隆", "乾隆"},
      {"乾國", "乾国"},
      {"國乾", "国乾"},
      // Characters of GB2312 are already simplified text and stay as they are,
      // although a phrase table would change some of them.
      {"吒", "吒"},
      {"薹", "薹"},
      {"榘", "榘"},
      {"醣", "醣"},
      {"哪吒", "哪吒"},
      {"醣類", "醣类"},
      {"國貨東方旗艦店", "国货东方旗舰店"},
  };
  for (const Case& c : cases) EXPECT_EQ(GbkToUtf8(TraditionalToSimplified(G(c.in))), c.out) << c.in;
}

}  // namespace
}  // namespace kelvora
