// The hand-written readers of search answers against the Boost patterns they stand
// in for: the auction-link scanner of result pages and the shop's JSONP reader.
// Every case is read by both, and both must give the listed result.
#include <gtest/gtest.h>

#include <boost/regex.hpp>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "net/text.h"
#include "search/keyword_search.h"
#include "search/shop_search.h"
#include "support/fixtures.h"
#include "support/search_patterns.h"

namespace kelvora {
namespace {

namespace fs = std::filesystem;
using V = std::vector<std::string>;

using test::PatternJsonp;
using test::PatternLinks;

// A link of the first form; each argument replaces one part of a well-formed link.
std::string Num(const std::string& href, const std::string& pid = "7", const std::string& cls = "summary-img",
                const std::string& digit = "3") {
  return "<a trace=\"auction\"  traceNum=\"" + digit + "\"  data-pid=\"" + pid + "\" href=\"" + href +
         "\" target=\"_blank\" class=\"s" + cls + "\">";
}
std::string Idx(const std::string& href, const std::string& idx = "0") {
  return "<a trace=\"auction\" traceidx=\"" + idx + "\" href=\"" + href + "\" target=\"_blank\">";
}
const std::string kNumOpening = "<a trace=\"auction\"  traceNum=\"1\"  data-pid=\"";
const std::string kIdxOpening = "<a trace=\"auction\" traceidx=\"";

TEST(AuctionLinkScan, AgreesWithThePatternsOnTrickyMarkup) {
  struct Case {
    const char* name;
    AuctionLinkForm form;
    std::string page;
    V expected;
  };
  const AuctionLinkForm N = AuctionLinkForm::TraceNum, I = AuctionLinkForm::TraceIdx;
  const std::string gbk = "\xD6\xD0";  // one double-byte character
  const Case cases[] = {
      {"at the page start", N, Num("//h/a").substr(1), {"//h/a"}},
      {"two links back to back", N, Num("//h/a") + Num("//h/b"), {"//h/a", "//h/b"}},
      {"letter before the a", N, "x" + Num("//h/a").substr(1) + Num("//h/b"), {"//h/b"}},
      {"digit or underscore before the a", N, "9" + Num("//h/a").substr(1) + "_" + Num("//h/b").substr(1), {}},
      {"GBK bytes before the a", N, gbk + Num("//h/a").substr(1) + "\xFF" + Num("//h/b").substr(1), {"//h/a", "//h/b"}},
      {"line breaks inside every part", N, Num("//h/\r\na", "1\n2", "um\nx"), {"//h/\r\na"}},
      {"NUL and high bytes in the address", N, Num(std::string("//h/\0", 5) + gbk), {std::string("//h/\0", 5) + gbk}},
      {"two digits, a letter, a full-width digit",
       N,
       Num("//h/a", "7", "x", "12") + Num("//h/b", "7", "x", "x") + Num("//h/c", "7", "x", "\xA3\xB1"),
       {}},
      {"no digit", N, Num("//h/a", "7", "x", "") + Num("//h/b"), {"//h/b"}},
      {"empty pid reaches into the next link", N, Num("//h/a", "") + Num("//h/b"), {"//h/b"}},
      {"empty address reaches into the next link",
       N,
       Num("") + Num("//h/b"),
       {"\" target=\"_blank\" class=\"ssummary-img\"><a trace=\"auction\"  traceNum=\"3\"  data-pid=\"7\" "
        "href=\"//h/b"}},
      {"empty class tail reaches to the next closing", N, Num("//h/a", "7", "") + "x\">", {"//h/a"}},
      {"class not beginning with s",
       N,
       "<a trace=\"auction\"  traceNum=\"3\"  data-pid=\"7\" href=\"//h/a\" target=\"_blank\" class=\"pic\">",
       {}},
      {"a second opening inside the pid", N, kNumOpening + Num("//h/a"), {"//h/a"}},
      {"a half opening closes on the next link",
       N,
       Num("//h/a") + kNumOpening + "x\" href=\"y" + Num("//h/b"),
       {"//h/a", "y" + Num("//h/b").substr(0, Num("//h/b").find("\" target"))}},
      {"unclosed tail after a link",
       N,
       Num("//h/a") + kNumOpening + "x\" href=\"y\" target=\"_blank\" class=\"s",
       {"//h/a"}},
      {"a broken opening is passed over",
       N,
       "a trace=\"auction\"  traceNum=\"1\" data-pid=\"x" + Num("//h/a"),
       {"//h/a"}},
      {"apostrophes", N, "<a trace='auction'  traceNum='1'  data-pid='1' href='//h/a' target='_blank' class='sx'>", {}},
      {"second form", I, Idx("//h/c") + "\n" + Idx("//h/d", "1"), {"//h/c", "//h/d"}},
      {"second form, empty index and address", I, Idx("//h/c", "") + Idx(""), {"\" target="}},
      {"second form, word before the a", I, "b" + Idx("//h/c").substr(1) + gbk + Idx("//h/d").substr(1), {"//h/d"}},
      {"second form, nested opening", I, kIdxOpening + Idx("//h/c"), {"//h/c"}},
      {"second form, address to the page end", I, kIdxOpening + "1\" href=\"//h/c", {}},
      {"no markup", N, "", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PatternLinks(c.page, c.form), c.expected) << c.name << " (the pattern)";
    EXPECT_EQ(AuctionLinkAddresses(c.page, c.form), c.expected) << c.name;
  }
}

// Pages stitched from pieces of both forms, the shapes where a shortcut would go
// wrong: openings, closings and word bytes in every order.
TEST(AuctionLinkScan, AgreesWithThePatternsOnStitchedPages) {
  const std::vector<std::string> pieces = {"<a trace=\"auction\"  traceNum=\"",
                                           "a trace=\"auction\"  traceNum=\"",
                                           "1",
                                           "x",
                                           "\"  data-pid=\"",
                                           "\" href=\"",
                                           "\" target=\"_blank\" class=\"s",
                                           "\">",
                                           "\"",
                                           ">",
                                           "<",
                                           "a",
                                           "_",
                                           "\xD6",
                                           "\n",
                                           "//h/i",
                                           kIdxOpening,
                                           "a trace=\"auction\" traceidx=\"",
                                           Num("//h/n"),
                                           Idx("//h/d")};
  std::mt19937 random(14);
  std::uniform_int_distribution<size_t> pick(0, pieces.size() - 1), length(1, 24);
  int withLinks = 0;
  for (int round = 0; round < 4000; ++round) {
    std::string page;
    for (size_t k = length(random); k > 0; --k) page += pieces[pick(random)];
    for (AuctionLinkForm form : {AuctionLinkForm::TraceNum, AuctionLinkForm::TraceIdx}) {
      const V expected = PatternLinks(page, form);
      withLinks += !expected.empty();
      ASSERT_EQ(AuctionLinkAddresses(page, form), expected) << "round " << round << ": " << page;
    }
  }
  EXPECT_GT(withLinks, 1000);  // the pieces do make links, so agreement means something
}

TEST(AuctionLinkScan, AgreesWithThePatternsOnStoredPages) {
  std::vector<fs::path> files;
  const fs::path roots[] = {fs::path(KELVORA_FIXTURES_DIR), fs::path(KELVORA_FIXTURES_DIR) / "../../fuzz/corpus"};
  for (const fs::path& root : roots)
    for (const auto& entry : fs::recursive_directory_iterator(root))
      if (entry.is_regular_file()) files.push_back(entry.path());
  ASSERT_GT(files.size(), 10u);
  size_t links = 0;
  for (const fs::path& file : files) {
    const std::string page = test::ReadFile(file.string());
    for (AuctionLinkForm form : {AuctionLinkForm::TraceNum, AuctionLinkForm::TraceIdx}) {
      const V expected = PatternLinks(page, form);
      links += expected.size();
      EXPECT_EQ(AuctionLinkAddresses(page, form), expected) << file;
    }
  }
  EXPECT_GT(links, 0u);  // the search page seeds hold links
}

TEST(JsonpScan, AgreesWithThePattern) {
  const std::pair<std::string, std::string> cases[] = {
      {"jsonp60({\"a\":1})", "{\"a\":1}"},
      {"json({\"a\":1})", ""},  // the callback name needs a byte
      {"jsonp(x)\ny", "x"},
      {"jsonp(x)\fy", "x"},
      {"jsonp(x)\ry", "x"},
      {"jsonp(x)\r\ny", ""},  // the pair is dropped first: ")y"
      {"jsonp(x)y", ""},
      {"jsonp(x) \n", ""},
      {"jsonp(a\r\n)\n", "a"},
      {"jsonp(\xD6\r\n)\n", "\xD6\r\n"},  // a CR ending a character stays
      {"jsonp()\n", ""},                  // an empty argument reaches on
      {"jsonp()\n)\n", ")\n"},
      {"jsonp(a)b)\n", "a)b"},
      {"jsonp(a)\nb)\n", "a"},
      {"jsonA(b jsonp(a)\n", "b jsonp(a"},  // the first "json" starts it
      {"jsonp60((a))", "(a)"},
      {"jsonp60(a\n(b)\n", "a\n(b"},
      {"JSONP(a)", ""},
      {"", ""},
  };
  for (const auto& [answer, json] : cases) {
    EXPECT_EQ(PatternJsonp(answer), json) << answer << " (the pattern)";
    EXPECT_EQ(ShopAnswerJson(answer), json) << answer;
  }
  // Stitched answers.
  const std::vector<std::string> pieces = {"jsonp6(", "json", "p6", "(", ")",    ")",        "\n",
                                           "\r",      "\r\n", "\f", "x", "\xD6", "{\"a\":1}"};
  std::mt19937 random(60);
  std::uniform_int_distribution<size_t> pick(0, pieces.size() - 1), length(1, 16);
  int found = 0;
  for (int round = 0; round < 4000; ++round) {
    std::string answer;
    for (size_t k = length(random); k > 0; --k) answer += pieces[pick(random)];
    const std::string expected = PatternJsonp(answer);
    found += !expected.empty();
    ASSERT_EQ(ShopAnswerJson(answer), expected) << "round " << round << ": " << answer;
  }
  EXPECT_GT(found, 400) << "of 4000";
}

}  // namespace
}  // namespace kelvora
