#include "lookup/item_page.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "net/datetime.h"
#include "net/endpoints.h"
#include "net/http.h"
#include "net/shared_state.h"
#include "net/text.h"
#include "support/client_state.h"
#include "support/fixtures.h"
#include "support/recording_server.h"

namespace kelvora {
namespace {

using test::CannedResponse;
using test::G;
using test::ReadFixture;
using test::ReadFixtureAsGbk;
using test::RecordingServer;

CannedResponse Gbk(std::string body) {
  return {.headers = {{"Content-Type", "text/html; charset=gbk"}}, .body = std::move(body)};
}

// A Taobao item page in the layout the marketplace served: the page script's
// aligned keys and the bid form's hidden item id.
std::string TaobaoPage(const std::string& title, const std::string& nick, const std::string& sibUrl,
                       const std::string& itemId) {
  return "<html><head><meta charset=\"gbk\"><title>" + title +
         "</title></head><body><script>\nvar g_config = {\n    sellerNick       : '" + nick +
         "',\n    sibUrl           : '" + sibUrl +
         "',\n};\n</script><form id=\"J_FrmBid\"><input type=\"hidden\" name=\"item_id\" value=\"" + itemId +
         "\"></form></body></html>";
}

// A sib answer in its callback, with the misspelt sales key the marketplace uses.
std::string SibAnswer(const std::string& quanity, const std::string& virtQuantity, const std::string& price,
                      const std::string& sellable) {
  return "onSibRequestSuccess({\"data\":{\"quanity\":\"" + quanity + "\",\"virtQuantity\":\"" + virtQuantity +
         "\",\"price\":\"" + price + "\",\"sendCity\":\"\\u676d\\u5dde\"," +
         "\"dynStock\":{\"sellableQuantity\":" + sellable + "}}});";
}

class ItemPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Endpoints e = *CurrentEndpoints();
    e.ITEM_NY_SITE = server_.url("/ny");
    e.BANG_SITE = server_.url("/bang");
    e.SERVICE_BASE = server_.url("/svc/");
    SetEndpoints(e);
    SetMarketCookie("t=1");
    // 2014-11-04 21:26:41 and 2014-11-18 21:20:01 (UTC+8).
    server_.on("/svc/index.php/Getinfo/get", Gbk("{\"data\":{\"sjsj\":\"1415107601\",\"xjsj\":1416316801000}}"));
    SetNowOverride(MakeDateTime(2014, 11, 18, 18, 0, 0));
  }

  std::vector<std::string> Targets() const {
    std::vector<std::string> out;
    for (const auto& r : server_.requests()) out.push_back(r.target);
    return out;
  }
  size_t LookupCount() const {
    size_t n = 0;
    for (const auto& r : server_.requests()) n += r.path() == "/svc/index.php/Getinfo/get";
    return n;
  }

  test::ClientStateGuard restore_;
  RecordingServer server_;
};

TEST_F(ItemPageTest, TaobaoItemReadsPageAndSibAnswer) {
  server_.on("/item.htm", Gbk(TaobaoPage(G("风镜-淘宝网"), "%C4%E3%BA%C3", server_.url("/sib?itemId=45383"), "45383")));
  server_.on("/sib", Gbk(SibAnswer("35", "", "\\\" 12.50 ", "7")));

  ResultRow r = AnalyseItemPage(server_.url("/item.htm?id=45383"), false);

  EXPECT_EQ(r.title, G("风镜"));
  EXPECT_EQ(r.link, server_.url("/item.htm?id=45383"));
  EXPECT_EQ(r.seller, G("你好"));  // percent-encoded GBK decoded
  EXPECT_EQ(r.itemId, "45383");
  EXPECT_FALSE(r.isTmall);
  EXPECT_EQ(r.sales, "35");
  EXPECT_EQ(r.price, "12.50");  // quotes and blanks trimmed
  EXPECT_EQ(r.location, G("杭州"));
  EXPECT_EQ(r.stock, "7");
  EXPECT_EQ(r.listedAt, G("2014年11月4日21时26分41秒"));
  EXPECT_EQ(r.delistAt, G("2014年11月18日21时20分1秒"));
  EXPECT_EQ(r.hoursLeft, 3);

  auto seen = server_.requests();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[1].target, "/sib?itemId=45383&callback=onSibRequestSuccess");
  EXPECT_EQ(seen[1].header("Referer").value_or("-"), r.link);
  EXPECT_EQ(seen[1].header("Cookie").value_or("-"), "t=1");
  EXPECT_EQ(seen[2].target.rfind("/svc/index.php/Getinfo/get?tid=45383&_=", 0), 0u);
}

TEST_F(ItemPageTest, TaobaoStockAndItemIdRules) {
  struct Case {
    std::string itemId, virtQuantity, sellable;
    std::string wantId, wantStock;
  } cases[] = {
      {"1234", "", "5", "", "5"},  // four digits: too short
      {"12345", "", "5", "12345", "5"},
      {"123456789012345", "", "5", "123456789012345", "5"},
      {"1234567890123456", "", "5", "", "5"},  // sixteen digits: too long
      {"12345", "9", "5", "12345", "9"},       // the page's own stock wins
      {"12345", "-3", "5", "12345", ""},       // negative stock shows nothing
      {"12345", "", "-2", "12345", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.itemId + " " + c.virtQuantity + " " + c.sellable);
    server_.clearRequests();
    server_.on("/item.htm", Gbk(TaobaoPage("t", "n", server_.url("/sib?x=1"), c.itemId)));
    server_.on("/sib", Gbk(SibAnswer("1", c.virtQuantity, "1.00", c.sellable)));
    ResultRow r = AnalyseItemPage(server_.url("/item.htm"), false);
    EXPECT_EQ(r.itemId, c.wantId);
    EXPECT_EQ(r.stock, c.wantStock);
    // The lookup is asked with whatever id was kept, empty included.
    auto seen = server_.requests();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2].target.rfind("/svc/index.php/Getinfo/get?tid=" + c.wantId + "&_=", 0), 0u);
  }
}

TEST_F(ItemPageTest, TmallItemFromRealSetupAndMdskipAnswer) {
  // The real page data, with its mdskip address moved to the test server
  // (protocol-relative, as the page writes it).
  std::string setup = ReadFixture("real/tmall-setup-540216229552.json");
  const std::string from = "//mdskip.taobao.com/core/initItemDetail.htm?";
  ASSERT_NE(setup.find(from), std::string::npos);
  setup.replace(setup.find(from), from.size(), "//127.0.0.1:" + std::to_string(server_.port()) + "/mdskip?");
  std::string page = "<html><head><title>" + G("美特斯邦威夹克-tmall.com天猫") + "</title>" +
                     CurrentEndpoints()->TMALL_LINK_MARKER + " href=\"x\"></head><body>" +
                     "<input type=\"hidden\" name=\"seller_nickname\" value=\"" + G("美特斯邦威東門") +
                     "\" />\n<script>TShop.Setup(" + setup + ");</script></body></html>";
  server_.on("/tm.htm", Gbk(page));
  server_.on("/mdskip", Gbk(ReadFixtureAsGbk("real/mdskip-answer-20181020.txt")));

  ResultRow r = AnalyseItemPage(server_.url("/tm.htm?id=540216229552"), false);

  EXPECT_TRUE(r.isTmall);
  EXPECT_EQ(r.title, G("美特斯邦威夹克"));
  EXPECT_EQ(r.seller, G("美特斯邦威东门"));  // traditional characters converted
  EXPECT_EQ(r.itemId, "540216229552");
  EXPECT_EQ(r.stock, "2846");
  EXPECT_EQ(r.sales, "67");
  EXPECT_EQ(r.price, "128.00 -> 125.00");
  EXPECT_EQ(r.location, G("日本"));
  auto seen = server_.requests();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[1].path(), "/mdskip");
  EXPECT_NE(seen[1].target.find("&callback=setMdskip&timestamp=1415107601378"), std::string::npos);
  EXPECT_EQ(seen[1].header("Referer").value_or("-"), r.link);
}

TEST_F(ItemPageTest, TaobaoNicknameIsNotConverted) {
  server_.on("/item.htm", Gbk(TaobaoPage("t", G("東門"), server_.url("/sib"), "12345")));
  ResultRow r = AnalyseItemPage(server_.url("/item.htm"), false);
  EXPECT_EQ(r.seller, G("東門"));
}

TEST_F(ItemPageTest, PageKindsThatEndEarly) {
  const std::string bang = "<a href=\"" + server_.url("/bang") + "/register/guide.htm\">" + G("注册");
  struct Case {
    const char* name;
    std::string body;
    std::string wantTitle, wantItemId, wantTimes;
  } cases[] = {
      {"blank answer", "  \xa1\xa1 ", G("获取数据失败！"), "0", G("无时间")},
      {"removed", "<title>x-" + G("淘宝网") + "</title>" + ReadFixtureAsGbk("real/removed-item-fragment.html"),
       G("该商品已下架。"), "", ""},
      {"unsupported", "<title>" + G("帮派-淘宝网") + "</title>" + bang, G("帮派"), "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server_.clearRequests();
    server_.on("/k.htm", Gbk(c.body));
    ResultRow r = AnalyseItemPage(server_.url("/k.htm?id=9"), false);
    EXPECT_EQ(r.title, c.wantTitle);
    EXPECT_EQ(r.link, server_.url("/k.htm?id=9"));
    EXPECT_EQ(r.itemId, c.wantItemId);
    EXPECT_EQ(r.listedAt, c.wantTimes);
    EXPECT_EQ(r.delistAt, c.wantTimes);
    EXPECT_EQ(r.seller, "");
    EXPECT_EQ(r.sales, "");
    EXPECT_EQ(r.hoursLeft, 0);
    EXPECT_EQ(server_.requestCount(), 1u);  // no secondary request, no lookup
  }
}

TEST_F(ItemPageTest, AlternateHostIsAskedOnceWithTheQuery) {
  const std::string marker = "<script>if('" + server_.url("/ny") + "/item.htm'){location.href='x'}</script>";
  server_.on("/item.htm", Gbk(marker));
  // The second page holds the marker too; it is read as an item all the same.
  server_.on("/ny/item.htm", Gbk(marker + TaobaoPage("ny", "n", server_.url("/sib"), "77777")));

  ResultRow r = AnalyseItemPage(server_.url("/item.htm?id=77777&a=1"), false);

  EXPECT_EQ(r.link, server_.url("/ny/item.htm?id=77777&a=1"));
  EXPECT_EQ(r.title, "ny");
  EXPECT_EQ(r.itemId, "77777");
  auto t = Targets();
  ASSERT_EQ(t.size(), 4u);
  EXPECT_EQ(t[0], "/item.htm?id=77777&a=1");
  EXPECT_EQ(t[1], "/ny/item.htm?id=77777&a=1");
  EXPECT_EQ(t[2].rfind("/sib", 0), 0u);
}

TEST_F(ItemPageTest, AddressesAreNormalisedBeforeUse) {
  server_.on("/n.htm", Gbk(TaobaoPage("t", "n", server_.url("/sib"), "12345")));
  const std::string plain = server_.url("/n.htm?id=1");
  struct Case {
    std::string given, wantLink;
  } cases[] = {
      {plain + "\" target=\"_blank", plain},  // cut before the quote
      {"  //127.0.0.1:" + std::to_string(server_.port()) + "/n.htm?id=1 ", plain},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.given);
    server_.clearRequests();
    ResultRow r = AnalyseItemPage(c.given, false);
    EXPECT_EQ(r.link, c.wantLink);
    EXPECT_EQ(r.itemId, "12345");
    ASSERT_GE(server_.requestCount(), 1u);
    EXPECT_EQ(server_.requests()[0].target, "/n.htm?id=1");
  }
  // A quote in the first position leaves no address at all.
  server_.clearRequests();
  ResultRow r = AnalyseItemPage("\"" + plain, false);
  EXPECT_EQ(r.title, G("获取数据失败！"));
  EXPECT_EQ(r.link, "");
  EXPECT_EQ(server_.requestCount(), 0u);
}

// Every request of an item failing in each of the ways a network fails: the row
// shows what the failed request leaves (the cells of a working client that got
// empty text or an error page), and records which request failed and how.
TEST_F(ItemPageTest, EachFailedRequestGivesThePartsRowAndIsRecorded) {
  HttpLimits limits;
  limits.stallTimeoutSeconds = 1;  // a hanging answer ends after about a second
  SetHttpLimits(limits);
  const std::string page = TaobaoPage("t", "n", server_.url("/sib?x=1"), "12345");
  const std::string stub = "<script>if('" + server_.url("/ny") + "/item.htm'){location.href='x'}</script>";
  const std::string sib = SibAnswer("25", "7", "9.90", "7");
  const std::string lookup = "{\"data\":{\"sjsj\":\"1415107601\",\"xjsj\":1416316801000}}";
  const std::string listed = G("2014年11月4日21时26分41秒");
  const std::string none = G("无时间"), failedTitle = G("获取数据失败！");

  enum class Fault { Status500, Dropped, CutShort, Hang };
  auto faulty = [](Fault f, const std::string& good) -> CannedResponse {
    switch (f) {
      case Fault::Status500:
        return {.status = 500, .body = "<html><body>boom</body></html>"};
      case Fault::Dropped:
        return {.body = "", .contentLength = 5000};
      case Fault::CutShort:
        return {.body = good.substr(0, good.size() / 3), .contentLength = good.size()};
      case Fault::Hang:
        return {.hang = true};
    }
    return {};
  };
  auto kindOf = [](Fault f) {
    switch (f) {
      case Fault::Status500:
        return FailureKind::ErrorStatus;
      case Fault::Hang:
        return FailureKind::NoAnswer;
      default:
        return FailureKind::CutShort;
    }
  };

  struct Expected {
    std::string title, itemId, sales, stock, price, listedAt;
  };
  const Expected whole{"t", "12345", "25", "7", "9.90", listed};
  const Expected pageLost{failedTitle, "0", "", "", "", none};
  const Expected secondaryLost{"t", "12345", "0", "", "", listed};
  const Expected lookupLost{"t", "12345", "25", "7", "9.90", none};

  for (RequestPart part : {RequestPart::Page, RequestPart::Alternate, RequestPart::Secondary, RequestPart::Lookup}) {
    for (Fault fault : {Fault::Status500, Fault::Dropped, Fault::CutShort, Fault::Hang}) {
      const bool viaAlt = part == RequestPart::Alternate;
      server_.on("/item.htm", part == RequestPart::Page ? faulty(fault, page) : Gbk(viaAlt ? stub : page));
      server_.on("/ny/item.htm", viaAlt ? faulty(fault, page) : Gbk(page));
      server_.on("/sib", part == RequestPart::Secondary ? faulty(fault, sib) : Gbk(sib));
      server_.on("/svc/index.php/Getinfo/get", part == RequestPart::Lookup ? faulty(fault, lookup) : Gbk(lookup));

      const std::string address = server_.url("/item.htm?id=12345");
      const ResultRow r = AnalyseItemPage(address, false);

      Expected want = whole;
      RowFailures failures;
      failures[part] = kindOf(fault);
      // An error page is no item page: nothing behind it is asked.
      if (part == RequestPart::Page || viaAlt) want = pageLost;
      if (part == RequestPart::Secondary) want = secondaryLost;
      if (part == RequestPart::Lookup) want = lookupLost;
      const std::string trace = std::string(RequestPartName(part)) + " " + FailureKindName(kindOf(fault)) +
                                (fault == Fault::Dropped ? " (dropped)" : "");
      EXPECT_EQ(r.title, want.title) << trace;
      EXPECT_EQ(r.itemId, want.itemId) << trace;
      EXPECT_EQ(r.sales, want.sales) << trace;
      EXPECT_EQ(r.stock, want.stock) << trace;
      EXPECT_EQ(r.price, want.price) << trace;
      EXPECT_EQ(r.listedAt, want.listedAt) << trace;
      EXPECT_EQ(r.link, viaAlt ? server_.url("/ny/item.htm?id=12345") : address) << trace;
      EXPECT_EQ(r.failures, failures) << trace;
    }
  }

  // An address without http://, https:// or a leading "//" is not requested.
  server_.clearRequests();
  const std::string bare = "127.0.0.1:" + std::to_string(server_.port()) + "/item.htm?id=12345";
  const ResultRow r = AnalyseItemPage(bare, false);
  EXPECT_EQ(r.title, failedTitle);
  EXPECT_EQ(r.listedAt, none);
  EXPECT_EQ(r.failures[RequestPart::Page], FailureKind::Refused);
  EXPECT_EQ(server_.requestCount(), 0u);
}

// The real Taobao page, analysed without the network; the sib answer is a real one
// of another item, given back in its callback.
TEST(ItemPageRealPage, TaobaoExcerpt) {
  const std::string page = Trim(ReadFixtureAsGbk("real/taobao-item-45383717461-excerpt.html"));
  std::string answer = ReadFixture("real/sib-answer-563661869008.txt");
  answer = "onSibRequestSuccess(" + answer.substr(0, answer.size() - 1) + ");";
  const std::string url = "http://item.taobao.com/item.htm?id=45383717461";
  std::vector<std::pair<std::string, std::string>> asked;
  ItemPageReading reading = AnalyseFetchedPage(page, url, false, [&](std::string& address, const std::string& referer) {
    asked.emplace_back(address, referer);
    return answer;
  });
  const ResultRow& r = reading.row;
  EXPECT_EQ(r.title, G("AMZ小贝同款头盔镜片哈雷三扣式带框架复古风镜飞行盔多色泡泡镜"));
  EXPECT_EQ(r.seller, G("amz品牌工作室"));
  EXPECT_EQ(r.itemId, "45383717461");
  EXPECT_FALSE(r.isTmall);
  EXPECT_EQ(r.link, url);
  EXPECT_EQ(r.price, "6.90");
  EXPECT_EQ(r.stock, "744");
  EXPECT_EQ(r.location, G("广东汕头"));
  EXPECT_TRUE(reading.wantsTimes);
  EXPECT_TRUE(reading.altHostUrl.empty());
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(
      asked[0].first.rfind("//detailskip.taobao.com/service/getData/1/p1/item/detail/sib.htm?itemId=45383717461", 0),
      0u);
  EXPECT_EQ(Right(asked[0].first, 29), "&callback=onSibRequestSuccess");
  EXPECT_EQ(asked[0].second, url);
}

// What the readers give on the real answers, as stored.
TEST(ItemPageReaders, RealAnswers) {
  const std::string sib1 = ReadFixture("real/sib-answer-563661869008.txt");  // no callback name
  const std::string sib2 = ReadFixture("real/sib-answer-566923463991.txt");  // "({...});"
  const std::string sib3 = ReadFixture("real/sib-answer-576700654210.txt");  // broken JSON
  const std::string mdskip = ReadFixtureAsGbk("real/mdskip-answer-20181020.txt");
  struct Case {
    const char* name;
    std::string answer;
    bool tmall;
    std::string sales, price, location, stock;
    bool whole;  // as the marketplace sends it: in its callback, with JSON that parses
  } cases[] = {
      {"sib 563661869008", sib1, false, "", "", G("广东汕头"), "", false},
      {"sib 566923463991", sib2, false, "", "", G("广东汕头"), "", false},
      {"sib 566923463991 in its callback", "onSibRequestSuccess" + sib2, false, "", "9.80", G("广东汕头"), "2676",
       true},
      {"sib 576700654210", sib3, false, "", "", G("广东佛山"), "", false},  // a span is missing
      {"mdskip", mdskip, true, "67,success:true", "128.00 -> 125.00", G("日本"), "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ReadSalesCount(c.answer, c.tmall), c.sales);
    EXPECT_EQ(ReadPrice(c.answer, c.tmall), c.price);
    EXPECT_EQ(ReadLocation(c.answer, c.tmall), c.location);
    if (!c.tmall) {
      EXPECT_EQ(ReadStock(c.answer), c.stock);
    }
    EXPECT_EQ(IsWholeSecondaryAnswer(c.answer, c.tmall), c.whole);
  }
  EXPECT_EQ(ToInt32(ReadSalesCount(mdskip, true)), 67);
}

TEST(ItemPageReaders, SmallAnswers) {
  struct Case {
    const char* name;
    std::string answer;
    bool tmall;
    std::string sales, price, location;
  } cases[] = {
      {"tmall promotion",
       "{\"sellCountDO\":{\"sellCount\":\"12\"},\r\n\"priceInfo\":{\"def\":{\"price\":\"99.00\","
       "\"promotionList\":[{\"price\":\"80.00\",\"type\":1}]}},\"deliveryAddress\":'\xba\xbc\xd6\xdd',",
       true, "12", "99.00 -> 80.00", "\xba\xbc\xd6\xdd"},
      {"tmall promotion price with a brace",
       "{\"priceInfo\":{\"def\":{\"price\":\"99.00\",\"promotionList\":"
       "[{\"price\":{\"amount\":80}},{\"x\":1}]}}}",
       true, "", "99.00", ""},
      {"tmall without promotion", "{\"priceInfo\":{\"d\":{\"price\":\"99.00\",\"tag\":1}}}", true, "", "99.00", ""},
      {"tmall price before priceInfo is skipped", "{\"price\":\"1.00\",\"priceInfo\":{\"price\":\"2.00\",}}", true, "",
       "2.00", ""},
      {"taobao g_config price", "g_config.Price=\"15.00\";onSibRequestSuccess({\"data\":{\"price\":\"1\"}});", false,
       "", "15.00", ""},
      {"taobao sales with blanks and line breaks", "{\"quanity\" : \r\n 42 ,\"sendCity\":\"\xba\xbc\"}", false, "42",
       "", "\xba\xbc"},
      {"taobao callback with line breaks", "onSibRequestSuccess({\n\"data\":{\"price\":\"3.00\"}\n});", false, "",
       "3.00", ""},
      {"taobao callback never closed", "x);onSibRequestSuccess({\"data\":{\"price\":\"3.00\"}})", false, "", "", ""},
      {"taobao not JSON in the callback", "onSibRequestSuccess({data:);", false, "", "", ""},
      // Only CR LF pairs and whole characters are taken out.
      {"tmall lone line breaks stay", "{\"deliveryAddress\":\"a\r\r\n\nb\",", true, "", "", "a\r\nb"},
      {"tmall quote as a trail byte stays", "{\"deliveryAddress\":\"\xb1\"\xba\xbc\",", true, "", "", "\xb1\"\xba\xbc"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ReadSalesCount(c.answer, c.tmall), c.sales);
    EXPECT_EQ(ReadPrice(c.answer, c.tmall), c.price);
    EXPECT_EQ(ReadLocation(c.answer, c.tmall), c.location);
  }
}

// Answers that arrive whole but with bytes overwritten, as a faulty proxy or
// server sends them. Wherever the damage falls, the row reads exactly as the
// clean one or the damaged part is marked: never a row that looks right and is not.
struct Reading {
  std::string title, link, itemId, stock, sales, seller, price, location, altHostUrl;
  bool isTmall = false, wantsTimes = false, pageMalformed = false, secondaryMalformed = false;
  bool operator==(const Reading&) const = default;
  friend std::ostream& operator<<(std::ostream& out, const Reading& r) {
    return out << "{" << r.title << "|" << r.itemId << "|" << r.seller << "|" << r.stock << "|" << r.sales << "|"
               << r.price << "|" << r.location << "|" << r.altHostUrl << "|" << r.isTmall << r.wantsTimes << "}";
  }
};

Reading Read(std::string_view page, const std::string& url, const std::string& answer) {
  ItemPageReading r = AnalyseFetchedPage(page, url, false, [&](std::string&, const std::string&) { return answer; });
  return {r.row.title,    r.row.link,   r.row.itemId,  r.row.stock,  r.row.sales,     r.row.seller,        r.row.price,
          r.row.location, r.altHostUrl, r.row.isTmall, r.wantsTimes, r.pageMalformed, r.secondaryMalformed};
}

std::string Corrupted(std::string text, size_t at) {
  text.replace(at, std::min<size_t>(24, text.size() - at), "#!<corrupt>%\"{)];\\u00");
  return text;
}

// The analysis reads the secondary answer's values from one flattening of it;
// whole answers full of the characters flattening takes out (quotes, apostrophes,
// blanks, CR LF, escaped quotes, double-byte characters) read as the readers say.
TEST(ItemPageReaders, SecondaryValuesOfTheAnalysisAreTheReaders) {
  const std::string tmallPage = "<title>t-tmall.com" + G("天猫") + "</title>" + CurrentEndpoints()->TMALL_LINK_MARKER +
                                "><input type=\"hidden\" name=\"seller_nickname\" value=\"s\" />"
                                "\"initApi\":\"//127.0.0.1:9/mdskip?id=1\",\"itemId\":\"123456\",\"quantity\":5,";
  const std::string taobaoPage = TaobaoPage("t", "nick", "//127.0.0.1:9/sib?id=1", "123456");
  const std::vector<std::string> tmallKeys = {"sellCount",     "price",           "priceInfo",
                                              "promotionList", "deliveryAddress", "x"};
  const std::vector<std::string> taobaoKeys = {"quanity", "virtQuantity", "price", "sendCity", "x", "data"};
  const std::vector<std::string> pieces = {"12", "9.90", "'", " ", "\\\"", G("日本"), ",", "},", "{", "price:", "a'b"};
  const std::vector<std::string> blanks = {"", " ", "\r\n", "\r\n ", "", " ", "  "};
  std::mt19937 rng(99);
  // Half the answers without line breaks: long runs of plain bytes, read in blocks.
  bool lineBreaks = true;
  const std::vector<std::string>* keys = &tmallKeys;
  auto pick = [&](const std::vector<std::string>& v) {
    return v[rng() % (&v == &blanks && !lineBreaks ? 2 : v.size())];
  };
  std::function<std::string(int)> object = [&](int depth) {
    std::string o = "{" + pick(blanks);
    for (int n = 1 + rng() % 4; n > 0; --n) {
      o += "\"" + pick(*keys) + "\"" + pick(blanks) + ":" + pick(blanks);
      const int kind = rng() % 3;
      if (kind == 0) {
        o += std::to_string(rng() % 500);
      } else if (kind == 1 && depth < 2) {
        o += object(depth + 1);
      } else {
        o += "\"";
        for (int m = rng() % 5; m > 0; --m) o += pick(pieces);
        o += "\"";
      }
      o += pick(blanks) + (n > 1 ? "," : "") + pick(blanks);
    }
    return o + "}";
  };
  for (const bool tmall : {true, false}) {
    keys = tmall ? &tmallKeys : &taobaoKeys;
    int whole = 0, withPrice = 0;
    for (int round = 0; round < 4000; ++round) {
      lineBreaks = round % 2 == 0;
      const std::string answer =
          (tmall ? "setMdskip(" : "onSibRequestSuccess(") + object(0) + ")" + (tmall ? "" : ";") + pick(blanks);
      const Reading r = Read(tmall ? tmallPage : taobaoPage, "http://a/item.htm?id=123456", answer);
      ASSERT_EQ(r.isTmall, tmall) << answer;
      if (r.secondaryMalformed) {
        EXPECT_FALSE(IsWholeSecondaryAnswer(answer, tmall)) << answer;
        continue;
      }
      ++whole;
      withPrice += !r.price.empty();
      const std::string sales = ReadSalesCount(answer, tmall);
      EXPECT_EQ(r.sales, NumberText(static_cast<int64_t>(ToInt32(sales)))) << answer;
      EXPECT_EQ(r.price, Trim(ReplaceAll(ReadPrice(answer, tmall), "\""))) << answer;
      EXPECT_EQ(r.location, ReadLocation(answer, tmall)) << answer;
    }
    EXPECT_GT(whole, tmall ? 1000 : 200) << tmall;
    EXPECT_GT(withPrice, tmall ? 200 : 50) << tmall;
  }
}

TEST(ItemPageForms, DamagedAnswersAreReadWholeOrMarked) {
  const std::string tmallSetup = ReadFixture("real/tmall-setup-540216229552.json");
  const std::string tmallPage = "<html><head><title>" + G("美特斯邦威夹克-tmall.com天猫") + "</title>" +
                                CurrentEndpoints()->TMALL_LINK_MARKER + " href=\"x\"></head><body>" +
                                "<input type=\"hidden\" name=\"seller_nickname\" value=\"" + G("美特斯邦威") +
                                "\" />\n<script>TShop.Setup(" + tmallSetup + ");</script></body></html>";
  const std::string mdskip = ReadFixtureAsGbk("real/mdskip-answer-20181020.txt");
  const std::string taobaoPage =
      TaobaoPage(G("风镜-淘宝网"), "%C4%E3%BA%C3", "http://127.0.0.1:9/sib?itemId=45383", "45383");
  const std::string realPage = Trim(ReadFixtureAsGbk("real/taobao-item-45383717461-excerpt.html"));
  const std::string sib = SibAnswer("35", "", "12.50", "7");
  const std::string oldSib =
      "g_config.Price=\"12.50\";\r\ng_config.DynStock={\"stock\":7,\"virtQuantity\":\"7\"};\n"
      "g_config.vdata.soldQuantity={\"quanity\":35};\ng_config.deliveryFee={\"sendCity\":\"" +
      G("杭州") + "\"};\n";
  const std::string url = "http://item.taobao.com/item.htm?id=45383";
  struct Case {
    const char* name;
    std::string page, answer;
    bool damagePage;
  } cases[] = {
      {"tmall page", tmallPage, mdskip, true},         {"mdskip answer", tmallPage, mdskip, false},
      {"taobao page", taobaoPage, sib, true},          {"sib answer", taobaoPage, sib, false},
      {"older sib answer", taobaoPage, oldSib, false}, {"real taobao page", realPage, sib, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Reading clean = Read(c.page, url, c.answer);
    ASSERT_TRUE(clean.wantsTimes);
    ASSERT_FALSE(clean.pageMalformed || clean.secondaryMalformed);
    ASSERT_FALSE(clean.itemId.empty() || clean.seller.empty() || clean.price.empty());
    const std::string& target = c.damagePage ? c.page : c.answer;
    int marked = 0;
    for (size_t at = 0; at < target.size(); ++at) {
      const std::string damaged = Corrupted(target, at);
      const Reading r = c.damagePage ? Read(damaged, url, c.answer) : Read(c.page, url, damaged);
      const bool isMarked = c.damagePage ? r.pageMalformed : r.secondaryMalformed;
      marked += isMarked;
      if (!isMarked) {
        ASSERT_EQ(r, clean) << "damage at byte " << at << ": " << damaged.substr(at >= 40 ? at - 40 : 0, 100);
      } else if (c.damagePage) {
        ASSERT_EQ(r.title, G("获取数据失败！"));  // a page that is not read shows as failed
        ASSERT_FALSE(r.wantsTimes);
      } else {
        ASSERT_EQ(r.title, clean.title);  // the page stands; the answer's cells are empty
        ASSERT_EQ(r.sales, "0");
        ASSERT_EQ(r.price, "");
        ASSERT_EQ(r.location, "");
      }
    }
    // Damage to a secondary answer always shows; on a page, only where it hits what is read.
    if (!c.damagePage)
      EXPECT_EQ(marked, static_cast<int>(target.size()));
    else
      EXPECT_GT(marked, 0);
  }
}

}  // namespace
}  // namespace kelvora
