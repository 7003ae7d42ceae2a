#include "net/gbk_scan.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "net/text.h"

namespace kelvora {
namespace {

// Random GBK-like text from a few bytes: ASCII that also serves as trail bytes,
// lead bytes, and bytes >= 0x80 that trail them. Few distinct bytes give many
// candidates on trail bytes.
std::string RandomText(std::mt19937& rng, size_t size) {
  static const char kBytes[] = {'a', 'b', '<', '\x81', '\xA1', '\xB0', '\xFE'};
  std::string text(size, ' ');
  for (char& c : text) c = kBytes[rng() % sizeof kBytes];
  return text;
}

// The character starts of `text` from `from`, walked forwards character by character.
std::vector<bool> StartsWalkedForwards(const std::string& text, size_t from) {
  std::vector<bool> starts(text.size(), false);
  for (size_t i = from; i < text.size();) {
    starts[i] = true;
    i += static_cast<unsigned char>(text[i]) >= 0x80 && i + 1 < text.size() ? 2 : 1;
  }
  return starts;
}

// Find as the forward walk defines it: the first byte match at or after `start`
// (1-based) that starts a character counted from `start`.
int FindWalkedForwards(const std::string& text, const std::string& sought, int start) {
  if (start < 1) start = 1;
  if (static_cast<size_t>(start) > text.size()) return -1;
  const std::vector<bool> starts = StartsWalkedForwards(text, static_cast<size_t>(start - 1));
  for (size_t p = static_cast<size_t>(start - 1); p + sought.size() <= text.size(); ++p)
    if (starts[p] && text.compare(p, sought.size(), sought) == 0) return static_cast<int>(p + 1);
  return -1;
}

TEST(GbkScan, CharacterStartsReadBackwardsAreTheForwardWalks) {
  std::mt19937 rng(20261211);
  for (int round = 0; round < 300; ++round) {
    const std::string text = RandomText(rng, 1 + rng() % 48);
    for (size_t from = 0; from < text.size(); ++from) {
      const std::vector<bool> starts = StartsWalkedForwards(text, from);
      for (size_t at = from; at < text.size(); ++at)
        ASSERT_EQ(IsCharacterStart(text, from, at), starts[at]) << "from " << from << " at " << at;
    }
  }
}

TEST(GbkScan, FindAgreesWithTheForwardWalk) {
  std::mt19937 rng(7);
  int found = 0;
  for (int round = 0; round < 20000; ++round) {
    const std::string text = RandomText(rng, rng() % 40);
    const std::string sought = RandomText(rng, 1 + rng() % 3);
    const int start = static_cast<int>(rng() % (text.size() + 2));
    const int expected = FindWalkedForwards(text, sought, start);
    ASSERT_EQ(Find(text, sought, start), expected) << "round " << round;
    found += expected != -1;
  }
  EXPECT_GT(found, 2000);  // the comparison covers hits, not only misses
}

TEST(GbkScan, MarkerSetAgreesWithFind) {
  std::mt19937 rng(42);
  const std::vector<std::string> markers = {
      "if('http://item.ny.example.com/item.htm'){",
      "\xba\xdc\xb1\xa7\xc7\xb8\xa3\xac\xc4\xfa\xb2\xe9\xbf\xb4\xb5\xc4\xb1\xa6\xb1\xb4",  // GBK text
      "<link title=\"a.example\xCC\xEC\xC3\xA8\"",
      "short<",  // looked for on its own
      "",        // never occurs
  };
  const MarkerSet set(markers);
  int planted = 0, onTrail = 0;
  for (int round = 0; round < 3000; ++round) {
    // Every tenth text is long enough for several blocks of samples, and for the
    // gap between them to widen once the shortest marker is found.
    const bool longText = round % 10 == 0;
    std::string text = RandomText(rng, longText ? 2000 + rng() % 20000 : rng() % 400);
    // Plant markers, some right after a lead byte, where they are no match.
    for (int n = longText ? 5 + rng() % 20 : rng() % 4; n > 0; --n) {
      const std::string& m = markers[rng() % markers.size()];
      const size_t at = text.empty() ? 0 : rng() % text.size();
      text.insert(at, m);
      ++planted;
    }
    const std::vector<bool> found = set.occurring(text);
    ASSERT_EQ(found.size(), markers.size());
    for (size_t k = 0; k < markers.size(); ++k) {
      const bool expected = !markers[k].empty() && Find(text, markers[k]) != -1;
      ASSERT_EQ(found[k], expected) << "round " << round << " marker " << k;
      onTrail += !expected && !markers[k].empty() && text.find(markers[k]) != std::string::npos;
    }
  }
  EXPECT_GT(planted, 3000);
  EXPECT_GT(onTrail, 100);  // present only on trail bytes: no match, as Find says
}

// Each of a few texts found in one pass where Find finds it: texts sharing their
// first bytes or not, of one to five bytes, more distinct first bytes than the
// pass compares at once, on trail bytes, in the last sixteen bytes.
TEST(GbkScan, FindEachAgreesWithFind) {
  std::mt19937 rng(99);
  int hits = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string text = RandomText(rng, rng() % 120);
    std::vector<std::string> sought(1 + rng() % 6);
    for (std::string& s : sought) s = RandomText(rng, rng() % 6);
    for (int n = rng() % 3; n > 0 && !text.empty(); --n)
      text.insert(rng() % text.size(), sought[rng() % sought.size()]);
    const std::vector<std::string_view> views(sought.begin(), sought.end());
    std::vector<size_t> at(sought.size(), 0);
    FindEach(text, views, at);
    for (size_t k = 0; k < sought.size(); ++k) {
      const int expected = sought[k].empty() ? -1 : Find(text, sought[k]);
      ASSERT_EQ(at[k], expected == -1 ? std::string::npos : static_cast<size_t>(expected - 1))
          << "round " << round << " text " << k;
      hits += expected != -1;
    }
  }
  EXPECT_GT(hits, 20000);
  // The page's keys, far into a long page and after look-alikes.
  std::string page(40000, 'x');
  page += "\"itemIdx\"\"initApi\":\"a\",\"quantity\":5,\"itemId\":\"9\"";
  const std::string_view keys[] = {"\"initApi\":\"", "\"quantity\":", "\"itemId\":\"", "\"absent\""};
  size_t at[4];
  FindEach(page, keys, at);
  for (size_t k = 0; k < 4; ++k) EXPECT_EQ(at[k], k < 3 ? page.find(keys[k]) : std::string::npos) << k;
}

// A marker at the very start, at the very end, and one byte short of the end.
TEST(GbkScan, MarkerSetAtTheEdgesOfTheText) {
  const std::string m = "<link title=\"a.example.com\">";
  const MarkerSet set({m});
  EXPECT_TRUE(set.occurring(m)[0]);
  EXPECT_TRUE(set.occurring(std::string(1000, 'x') + m)[0]);
  EXPECT_TRUE(set.occurring(m + std::string(1000, 'x'))[0]);
  EXPECT_FALSE(set.occurring(std::string(1000, 'x') + m.substr(0, m.size() - 1))[0]);
  EXPECT_FALSE(set.occurring(std::string(999, 'x') + "\xB0" + m)[0]);  // on a trail byte
  EXPECT_TRUE(set.occurring(std::string(998, 'x') + "\xB0\xB0" + m)[0]);
  EXPECT_FALSE(set.occurring("")[0]);
}

// A marker planted at every position of a text of several blocks of samples, once
// with the gap between samples as the shortest marker sets it, and once widened
// after that marker was found near the start.
TEST(GbkScan, MarkerSetAtEveryPosition) {
  const std::string shortest = "<link title=\"a.example\">";
  const std::string longer = "if('http://item.ny.example.com/item.htm'){";
  const MarkerSet set({shortest, longer});
  const std::string blank(7000, 'x');
  int misses = 0;
  for (size_t at = 0; at + longer.size() <= blank.size(); ++at) {
    std::string alone = blank;
    alone.replace(at, shortest.size(), shortest);
    misses += !set.occurring(alone)[0];
    std::string widened = blank;
    widened.replace(0, shortest.size(), shortest);
    if (at >= shortest.size()) {
      widened.replace(at, longer.size(), longer);
      misses += !set.occurring(widened)[1];
    }
  }
  EXPECT_EQ(misses, 0);
}

}  // namespace
}  // namespace kelvora
