// Answers built to hurt the readers: sizes and shapes no marketplace sends, each
// read without a crash, in bounded memory and with a sound result. How long each
// takes shows in the test's own time (gtest prints it); only the link markup below,
// which once took the readers tens of seconds, is held to a time.
#include <gtest/gtest.h>

#include <chrono>

#include <string>
#include <vector>

#include "net/json.h"
#include "search/keyword_search.h"
#include "search/shop_search.h"

namespace kelvora {
namespace {

std::string Repeat(const std::string& piece, size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (size_t k = 0; k < times; ++k) out += piece;
  return out;
}

std::string FirstFormLink(size_t k) {
  return "<a trace=\"auction\"  traceNum=\"" + std::to_string(k % 10) + "\"  data-pid=\"" + std::to_string(k) +
         "\" href=\"//h/item.htm?id=" + std::to_string(k) + "\" target=\"_blank\" class=\"summary-img\">\n";
}

TEST(HostilePages, TwoHundredThousandAuctionLinks) {
  constexpr size_t kLinks = 200000;
  std::string page = "<html><div class=\"items\">\n";
  for (size_t k = 0; k < kLinks; ++k) page += FirstFormLink(k);
  page += "</div></html>";
  const std::vector<std::string> found = SearchResultAddresses(page);
  ASSERT_EQ(found.size(), kLinks);
  EXPECT_EQ(found.front(), "//h/item.htm?id=0");
  EXPECT_EQ(found.back(), "//h/item.htm?id=199999");
}

TEST(HostilePages, TwoHundredThousandAuctionsInThePageObject) {
  constexpr size_t kAuctions = 200000;
  std::string auctions;
  for (size_t k = 0; k < kAuctions; ++k)
    auctions +=
        (k ? ",{\"detail_url\":\"//h/item.htm?id=" : "{\"detail_url\":\"//h/item.htm?id=") + std::to_string(k) + "\"}";
  const std::string page =
      "<script>g_page_config = {\"mods\":{\"itemlist\":{\"data\":{\"auctions\":[" + auctions + "]}}}};</script>";
  const std::vector<std::string> found = SearchResultAddresses(page);
  ASSERT_EQ(found.size(), kAuctions);
  EXPECT_EQ(found[123456], "//h/item.htm?id=123456");
}

// Markup that opens every attribute and never closes the tag reads as a page
// without links.
TEST(HostilePages, BacktrackingMarkupOfTheFirstLinkForm) {
  const std::string page =
      "<a trace=\"auction\"  traceNum=\"1\"  data-pid=\"" + Repeat("x\" href=\"y\" target=\"_blank\" class=\"s", 2000);
  EXPECT_TRUE(SearchResultAddresses(page).empty());
}

TEST(HostilePages, BacktrackingMarkupOfTheSecondLinkForm) {
  const std::string page = Repeat("<a trace=\"auction\" traceidx=\"" + Repeat("a\" href=", 50), 400);
  EXPECT_TRUE(SearchResultAddresses(page).empty());
}

// 780 KB of link openings that never close, in each shape a lazy pattern would
// retry from every opening to the page end: read in one pass, well under a second
// even in a sanitizer build (the patterns took 18 s and more).
TEST(HostilePages, LinkOpeningsThatNeverCloseReadInLinearTime) {
  const std::string openings[] = {
      "<a trace=\"auction\"  traceNum=\"1\"  data-pid=\"x",
      "<a trace=\"auction\"  traceNum=\"1\"  data-pid=\"x\" href=\"y\" target=\"_blank\" class=\"s",
      "<a trace=\"auction\" traceidx=\"x",
  };
  for (const std::string& opening : openings) {
    const std::string page = Repeat(opening, 780000 / opening.size());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(SearchResultAddresses(page).empty()) << opening;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << opening;
  }
  // The same openings with a closing at the very end: one link, the rest its parts.
  const std::string page = Repeat(openings[0], 10000) + "\" href=\"//h/a\" target=\"_blank\" class=\"sx\">";
  EXPECT_EQ(SearchResultAddresses(page), std::vector<std::string>{"//h/a"});
}

// Shop answers of 8 MB that open callbacks and never close them on a line end:
// one pass each (a lazy pattern took 9 s and then gave up). With a closing at the
// very end the whole stretch is the answer, however long.
TEST(HostilePages, UnclosedJsonpOpenings) {
  EXPECT_EQ(ShopAnswerJson(Repeat("json(((", 100000)), "");
  for (const std::string piece : {"jsonx", "json((", "json(x)y"}) {
    const std::string answer = Repeat(piece, 8000000 / piece.size());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ShopAnswerJson(answer), "") << piece;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << piece;
  }
  const std::string opened = Repeat("json(", 200000);
  EXPECT_EQ(ShopAnswerJson(opened + ")"), opened.substr(10));
}

TEST(HostilePages, DeepNestingAndHugeNumbersInAnswers) {
  const std::string deep = Repeat("{\"a\":", 100000) + "1" + std::string(100000, '}');
  const std::string digits(1000000, '7');
  // Too deep for the page object: no addresses, whatever else the page holds.
  EXPECT_TRUE(SearchResultAddresses("g_page_config = " + deep + ";" + FirstFormLink(1)).empty());
  JsonReader reader;
  reader.load("data", "{\"ok\":1}");
  reader.load("data", deep);
  EXPECT_EQ(reader.getText("data.ok"), "1");  // refused: the earlier value stays
  // A number of a million digits is refused or read back as its digits, never cut.
  reader.load("n", "{\"a\":" + digits + ",\"b\":-" + digits + "." + digits + "e-" + digits + "}");
  const std::string a = reader.getText("n.a");
  EXPECT_TRUE(a.empty() || a == digits) << a.size();
  EXPECT_EQ(ShopAnswerJson("jsonp1({\"itemList\":[{\"href\":" + digits + "}]})").size(), digits.size() + 24);
}

}  // namespace
}  // namespace kelvora
