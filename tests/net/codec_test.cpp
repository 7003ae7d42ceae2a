#include "net/codec.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <cerrno>
#include <random>
#include <thread>
#include <vector>

namespace kelvora {
namespace {

// One iconv pass over the whole input, each byte it cannot convert replaced by
// `replacement`: what the codec's conversions must give.
std::string OneIconvPass(const std::string& input, const char* from, const char* to, const std::string& replacement) {
  iconv_t cd = iconv_open(to, from);
  std::string out;
  char* in = const_cast<char*>(input.data());
  size_t inLeft = input.size();
  while (inLeft > 0) {
    char buffer[64];
    char* o = buffer;
    size_t oLeft = sizeof buffer;
    const size_t rc = iconv(cd, &in, &inLeft, &o, &oLeft);
    out.append(buffer, static_cast<size_t>(o - buffer));
    if (rc != static_cast<size_t>(-1) || errno == E2BIG) continue;
    out += replacement;
    ++in;
    --inLeft;
  }
  iconv_close(cd);
  return out;
}

// Up to eleven of `pieces` in a row, picked at random.
template <size_t N>
std::string RandomMix(const std::string (&pieces)[N], std::mt19937& random) {
  std::string input;
  for (int n = static_cast<int>(random() % 12); n > 0; --n) input += pieces[random() % N];
  return input;
}

TEST(Codec, GbkAndUtf8RoundTrip) {
  const std::string gbk = "\xc4\xe3\xba\xc3 ok";  // 你好 ok
  EXPECT_EQ(GbkToUtf8(gbk), "\xe4\xbd\xa0\xe5\xa5\xbd ok");
  EXPECT_EQ(Utf8ToGbk(GbkToUtf8(gbk)), gbk);
  // An emoji has no GBK form; GB18030's four-byte form keeps it.
  const std::string emoji = "\xf0\x9f\x98\x80";
  EXPECT_EQ(GbkToUtf8(Utf8ToGbk(emoji)), emoji);
}

TEST(Codec, BadInputIsReplacedNotDropped) {
  EXPECT_EQ(Utf8ToGbk("a\xff"
                      "b"),
            "a?b");
  EXPECT_EQ(GbkToUtf8("a\x81"), "a\xef\xbf\xbd");              // truncated double-byte character at the end
  EXPECT_EQ(Utf16ToGbk(u"\xd800x"), "?x");                     // lone surrogate
  EXPECT_EQ(Utf16ToGbk(u"\u5e7f\u4e1c"), "\xb9\xe3\xb6\xab");  // 广东
}

TEST(Codec, ValidUtf8) {
  struct Case {
    const char* bytes;
    bool valid;
  } cases[] = {
      {"plain", true},
      {"\xe4\xbd\xa0", true},
      {"\xf0\x9f\x98\x80", true},
      {"\xc0\xaf", false},          // overlong '/'
      {"\xed\xa0\x80", false},      // surrogate
      {"\xe4\xbd", false},          // truncated
      {"\xc4\xe3\xba\xc3", false},  // GBK 你好
      {"\xf4\x90\x80\x80", false},  // past U+10FFFF
  };
  for (const auto& c : cases) EXPECT_EQ(IsValidUtf8(c.bytes), c.valid) << c.bytes;
}

TEST(Codec, DeclaredCharsets) {
  EXPECT_EQ(ConvertToGbk("\xc4\xe3", "gb2312").value(), "\xc4\xe3");
  EXPECT_EQ(ConvertToGbk("\xe4\xbd\xa0", "utf-8").value(), "\xc4\xe3");
  EXPECT_EQ(ConvertToGbk("caf\xe9", "ISO-8859-1").value(), "caf\xa8\xa6");
  EXPECT_FALSE(ConvertToGbk("x", "no-such-charset").has_value());
  // A failed lookup does not spoil the next conversion.
  EXPECT_EQ(ConvertToGbk("\xe4\xbd\xa0", "UTF-8").value(), "\xc4\xe3");
}

// UTF-8 text is converted run by run between its ASCII bytes; the bytes must be
// those of one iconv pass over the whole text, bad sequences and all.
TEST(Codec, Utf8ConvertsAsOneWholePass) {
  auto wholePass = [](const std::string& input) { return OneIconvPass(input, "UTF-8", "GB18030", "?"); };
  // Whole characters, pieces of characters and bytes that never start one.
  const std::string pieces[] = {"a",        "<p>",      "\xe4\xbd\xa0",     "\xe4\xbd", "\xe4",
                                "\xbd",     "\xc2\xa5", "\xf0\x9f\x98\x80", "\xf0\x9f", "\xed\xa0\x80",
                                "\xc0\xaf", "\xff",     "\xf4\x90\x80\x80", "\r\n",     std::string(40, 'x')};
  std::mt19937 random(11);
  for (int round = 0; round < 3000; ++round) {
    const std::string input = RandomMix(pieces, random);
    ASSERT_EQ(Utf8ToGbk(input), wholePass(input)) << round;
    ASSERT_EQ(ConvertToGbk(input, "utf-8").value(), wholePass(input)) << round;
  }
}

// GBK text is read through a table of the two-byte characters; the bytes must be
// those of one iconv pass over the whole text, bad sequences and all.
TEST(Codec, GbkConvertsAsOneWholePass) {
  auto wholePass = [](const std::string& input) { return OneIconvPass(input, "GB18030", "UTF-8", "\xef\xbf\xbd"); };
  // Every two-byte code, alone and between ASCII.
  for (int lead = 0x81; lead <= 0xFE; ++lead) {
    std::string row;
    for (int trail = 0x30; trail <= 0xFF; ++trail) {
      const std::string code{static_cast<char>(lead), static_cast<char>(trail)};
      ASSERT_EQ(GbkToUtf8(code), wholePass(code)) << lead << " " << trail;
      row += code + "a";
    }
    ASSERT_EQ(GbkToUtf8(row), wholePass(row)) << lead;
  }
  // Whole characters, pieces of characters and bytes that never start one.
  const std::string pieces[] = {"a",    "<p>",  "\xc4\xe3", "\xb9\xe3", "\x81\x30\x81\x30", "\x95\x32\x82\x36",
                                "\x81", "\xff", "\x80",     "\xa1\x7f", "\x81\x30",         std::string(40, 'x')};
  std::mt19937 random(12);
  for (int round = 0; round < 3000; ++round) {
    const std::string input = RandomMix(pieces, random);
    ASSERT_EQ(GbkToUtf8(input), wholePass(input)) << round;
  }
}

// Converters are kept open per thread; threads converting at once must not mix states.
TEST(Codec, ConcurrentConversions) {
  std::vector<std::thread> threads;
  std::vector<int> wrong(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &wrong] {
      for (int i = 0; i < 2000; ++i) {
        std::string utf8 = "\xe4\xbd\xa0" + std::to_string(t * 10000 + i);
        if (GbkToUtf8(Utf8ToGbk(utf8)) != utf8) ++wrong[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int w : wrong) EXPECT_EQ(w, 0);
}

}  // namespace
}  // namespace kelvora
