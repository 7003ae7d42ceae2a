// The wizard's addresses: page texts, page addresses and the search address of step one.
#include "wizard/page_addresses.h"

#include <gtest/gtest.h>

#include "net/endpoints.h"
#include "support/fixtures.h"

namespace kelvora {
namespace {

using test::G;
using Pages = std::vector<int32_t>;

TEST(ParsePageSpec, PagesAndRanges) {
  struct Case {
    std::string text;
    Pages pages;
  };
  const Case cases[] = {
      {"1-3", {1, 2, 3}},  {"5-3", {}},       {"-3", {}},  // empty first box: the first part reads as 0
      {"1-", {}},                                          // empty last box: fewer than two parts
      {"-", {}},           {"", {}},          {"0", {}},  {"0-2", {}}, {"2", {2}}, {"3,1-2,3", {3, 1, 2, 3}},
      {"1-2-9", {1, 2}},                       // parts after the second are ignored
      {"4x-6", {4, 5, 6}}, {" 2- 3", {2, 3}},  // leading blanks before a number are allowed
      {"a,,7", {7}},
  };
  for (const Case& c : cases) EXPECT_EQ(ParsePageSpec(c.text), c.pages) << c.text;
  // A range past the limit stops at it.
  EXPECT_EQ(ParsePageSpec("1-2000000000").size(), WIZARD_MAX_PAGES);
  EXPECT_EQ(ParsePageSpec("2147483646-2147483647"), (Pages{2147483646, 2147483647}));
}

TEST(WizardPageAddresses, OneAddressAPage) {
  using V = std::vector<std::string>;
  struct Case {
    std::string first, last, address;
    V expected;
  };
  const std::string list = "http://h/search?q=a&sort=sale-desc";
  const Case cases[] = {
      {"1",
       "3",
       list,
       {"http://h/search?s=0&q=a&sort=sale-desc", "http://h/search?s=44&q=a&sort=sale-desc",
        "http://h/search?s=88&q=a&sort=sale-desc"}},
      {"5", "3", list, {}},
      {"", "3", list, {}},
      {"1", "", list, {}},
      {G("１"), G("２"), list, {"http://h/search?s=0&q=a&sort=sale-desc", "http://h/search?s=44&q=a&sort=sale-desc"}},
      {G("－１"), "2", list, {}},  // a full-width minus is a minus
      {"1", "2", " http://h/list ", {"http://h/list", "http://h/list"}},
      {"2", "2", "http://h/s?q=x&s=88", {"http://h/s?s=44&q=x&s=88"}},
      {"2", "2", "http://h/s?q=x?y", {"http://h/s?s=44&q=x?y"}},
      {"1", "2", "", {"", ""}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(WizardPageAddresses(c.first, c.last, c.address), c.expected)
        << c.first << "-" << c.last << " " << c.address;
}

TEST(WizardSearchAddress, KeywordTokenAndPaddedDate) {
  Endpoints e = DefaultEndpoints();
  e.SEARCH_SITE = "http://s.example";
  SetEndpoints(e);
  EXPECT_EQ(WizardSearchAddress("a b" + G("中"), "a21bo.1", MakeDateTime(2015, 3, 5, 23, 59, 59)),
            "http://s.example/search?q=a%20b%D6%D0&commend=all&ssid=s5-e&search_type=item&sourceId=tb.index"
            "&spm=a21bo.1&initiative_id=tbindexz_20150305");
  EXPECT_EQ(WizardSearchAddress("", "", MakeDateTime(2014, 12, 31, 0, 0, 0)),
            "http://s.example/search?q=&commend=all&ssid=s5-e&search_type=item&sourceId=tb.index&spm="
            "&initiative_id=tbindexz_20141231");
  SetEndpoints(DefaultEndpoints());
}

}  // namespace
}  // namespace kelvora
