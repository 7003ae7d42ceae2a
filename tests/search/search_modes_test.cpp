// The search modes against kelvora-sim (checked through its request log) and, where
// exact answers matter, against a recording server.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>

#include "net/codec.h"
#include "net/endpoints.h"
#include "net/http.h"
#include "net/json.h"
#include "net/settings.h"
#include "net/shared_state.h"
#include "net/text.h"
#include "search/category_search.h"
#include "search/keyword_search.h"
#include "search/list_search.h"
#include "search/shop_search.h"
#include "support/client_state.h"
#include "support/fixtures.h"
#include "support/recording_server.h"
#include "support/sim_process.h"

namespace kelvora {
namespace {

namespace fs = std::filesystem;
using test::CannedResponse;
using test::G;
using test::RecordingServer;
using test::SimProcess;
using V = std::vector<std::string>;

constexpr const char* kDemoCookie = "cookie2=kelvorademo0000; _tb_token_=kelvora; t=kelvorademo";

// Records what a search tells its runner; can ask to stop after some rows.
struct RecordingHost : Host {
  void setStatus(const std::string& text) override { statuses.push_back(GbkToUtf8(text)); }
  void setRowCountLabel(const std::string&) override { ++rowsDone; }
  void message(const std::string& text) override { messages.push_back(GbkToUtf8(text)); }
  void pause(int ms) override { pauses.push_back(ms); }
  void processEvents() override { ++events; }
  bool stopRequested() const override { return stopAfterRows >= 0 && rowsDone >= stopAfterRows; }
  void startAccountRefresh() override { ++refreshes; }
  void setProgress(const Progress& p) override { progress = p; }
  void setQueryEnabled(const std::string& button, bool enabled) override {
    buttons.push_back((enabled ? "+" : "-") + button);
  }

  V statuses, messages, buttons;
  std::vector<int> pauses;
  int rowsDone = 0, events = 0, refreshes = 0, stopAfterRows = -1;
  Progress progress;
};

struct Request {
  std::string target, cookie, referer;
};

// Every search page offset ("s=") of the keyword requests, in order.
std::vector<int> Offsets(const std::vector<Request>& requests, const std::string& path) {
  std::vector<int> offsets;
  for (const Request& r : requests) {
    if (r.target.rfind(path, 0) != 0) continue;
    const size_t s = r.target.rfind("&s=");
    offsets.push_back(s == std::string::npos ? -1 : std::stoi(r.target.substr(s + 3)));
  }
  return offsets;
}

V Targets(const std::vector<Request>& requests, const std::string& prefix) {
  V out;
  for (const Request& r : requests)
    if (r.target.rfind(prefix, 0) == 0) out.push_back(r.target);
  return out;
}

class SimSearchTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    logPath_ = new std::string(
        (fs::temp_directory_path() / ("kelvora-search-" + std::to_string(::getpid()) + ".jsonl")).string());
    fs::remove(*logPath_);
    sim_ = new SimProcess({"--log", *logPath_, "--now", "2014-11-18 18:00:00"});
  }
  static void TearDownTestSuite() {
    delete sim_;
    fs::remove(*logPath_);
    delete logPath_;
  }

  void SetUp() override {
    ASSERT_TRUE(sim_->running());
    Settings settings;
    std::string error;
    ASSERT_TRUE(LoadSettingsFile(sim_->configPath(), settings, error)) << error;
    ASSERT_TRUE(ApplySettings(settings, error)) << error;
    SetMarketCookie(kDemoCookie);
    SetServiceCookie("kv_auth=kelvorademo-session");
    logStart_ = LogLines().size();
    client_ = std::make_unique<httplib::Client>("127.0.0.1", sim_->port());
  }
  void TearDown() override {
    SetEndpoints(DefaultEndpoints());
    SetMarketCookie("");
    SetServiceCookie("");
    SetMonitoredItemIds({});
  }

  static V LogLines() {
    V lines;
    std::ifstream in(*logPath_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  // The marketplace requests of this test, from the simulator's log.
  std::vector<Request> Requests() {
    std::vector<Request> out;
    const V lines = LogLines();
    for (size_t i = logStart_; i < lines.size(); ++i) {
      JsonReader r;
      r.load("r", Utf8ToGbk(lines[i]));
      Request req{GbkToUtf8(r.getText("r.target")), "", ""};
      if (req.target.rfind("/sim/", 0) == 0 || req.target.rfind("/service/", 0) == 0) continue;
      for (int32_t h = 0; h < r.getLength("r.headers"); ++h) {
        const std::string at = "r.headers[" + std::to_string(h) + "]";
        if (r.getText(at + "[0]") == "Cookie") req.cookie = GbkToUtf8(r.getText(at + "[1]"));
        if (r.getText(at + "[0]") == "Referer") req.referer = GbkToUtf8(r.getText(at + "[1]"));
      }
      out.push_back(req);
    }
    return out;
  }
  JsonReader Truth(const std::string& target) {
    JsonReader reader;
    auto answer = client_->Get(target.c_str());
    EXPECT_TRUE(answer && answer->status == 200) << target;
    if (answer) reader.load("t", Utf8ToGbk(answer->body));
    return reader;
  }
  V Links(const ResultsTable& table) {
    V links;
    for (const RowCells& row : table.snapshot()) links.push_back(GbkToUtf8(row[3]));
    return links;
  }
  std::string Base() const { return sim_->baseUrl(); }

  static SimProcess* sim_;
  static std::string* logPath_;
  size_t logStart_ = 0;
  std::unique_ptr<httplib::Client> client_;
  ResultsTable table_;
  RecordingHost host_;
};
SimProcess* SimSearchTest::sim_ = nullptr;
std::string* SimSearchTest::logPath_ = nullptr;

TEST_F(SimSearchTest, KeywordSearchFillsThreePagesInResultOrder) {
  // No title holds this word, so the simulator answers with a fixed seventh of its catalogue.
  const std::string keyword = "kelvora demo";
  SearchRun run(table_, host_);
  run.grabDelayText = [] { return std::string("7"); };
  KeywordSearchWorker(run, keyword, "3");

  const auto requests = Requests();
  EXPECT_EQ(Targets(requests, "/s/"), (V{"/s/search?q=kelvora%20demo&source=tbsy&style=list&tab=all&s=0",
                                         "/s/search?q=kelvora%20demo&source=tbsy&style=list&tab=all&s=44",
                                         "/s/search?q=kelvora%20demo&source=tbsy&style=list&tab=all&s=88"}));
  for (const Request& r : requests)
    if (r.target.rfind("/s/", 0) == 0) {
      EXPECT_EQ(r.cookie, kDemoCookie);
      EXPECT_EQ(r.referer, "");
    }

  JsonReader ids = Truth("/sim/keyword.json?q=kelvora%20demo");
  ASSERT_GE(ids.getLength("t.ids"), 133);
  V expected;
  for (int i = 0; i < 132; ++i) {
    JsonReader item = Truth("/sim/item/" + ids.getText("t.ids[" + std::to_string(i) + "]") + ".json");
    expected.push_back(GbkToUtf8(item.getText("t.link")));
  }
  EXPECT_EQ(Links(table_), expected);
  EXPECT_EQ(table_.cellText(0, ResultColumn::Index), "0");  // the driver numbers the row
  EXPECT_EQ(host_.statuses, (V{"操作已开始，请稍后。。。", "操作已结束.共获取到 132 条记录"}));
  EXPECT_EQ(host_.buttons, (V{"-按钮1", "+按钮1"}));
  EXPECT_EQ(host_.pauses, std::vector<int>(132, 8));  // the grab delay plus 1 ms after every item
  EXPECT_EQ(host_.refreshes, 3);
  EXPECT_EQ(host_.progress, (Progress{3, 3, 132, 0}));
}

TEST_F(SimSearchTest, KeywordPagesEndAtTheFirstEmptyPage) {
  // 19 catalogue titles hold 连衣裙: page 2 is empty and page 3 is never asked.
  SearchRun run(table_, host_);
  KeywordSearchWorker(run, G("连衣裙"), "3");
  EXPECT_EQ(Offsets(Requests(), "/s/search"), (std::vector<int>{0, 44}));
  EXPECT_EQ(table_.rowCount(), 19);
  EXPECT_EQ(host_.statuses.back(), "操作已结束.共获取到 19 条记录");
  EXPECT_EQ(host_.refreshes, 1);                     // only after the page that yielded addresses
  EXPECT_EQ(host_.pauses, std::vector<int>(19, 1));  // no grab-delay box: 1 ms
}

TEST_F(SimSearchTest, KeywordResultPagesOfEveryForm) {
  struct Case {
    const char* keyword;
    int rows;
  };
  // 旧版: the first link form; 老版: the second; 空页: an empty auctions array in front
  // of links of the first form, which must not be read.
  const Case cases[] = {{"连衣裙旧版", 19}, {"连衣裙老版", 19}, {"连衣裙空页", 0}, {"连衣裙", 19}};
  V reference;
  for (const Case& c : cases) {
    ResultsTable table;
    RecordingHost host;
    SearchRun run(table, host);
    KeywordSearchWorker(run, G(c.keyword), "1");
    EXPECT_EQ(table.rowCount(), c.rows) << c.keyword;
    if (c.rows && reference.empty()) reference = Links(table);
    if (c.rows) {
      EXPECT_EQ(Links(table), reference) << c.keyword;
    }
  }
}

TEST_F(SimSearchTest, ListPagesAndItemPages) {
  // A result page pasted as a list address gives the rows the keyword search gives.
  const std::string page = Base() + "/s/search?q=%C1%AC%D2%C2%C8%B9&s=0";
  {
    RecordingHost keywordHost;
    ResultsTable keywordTable;
    SearchRun keywordRun(keywordTable, keywordHost);
    KeywordSearchWorker(keywordRun, G("连衣裙"), "1");
    logStart_ = LogLines().size();
    SearchRun run(table_, host_);
    ListAddressSearch(run, " " + page + " \r\n\r\n" + page + "&old=1\r\n", LIST_MODE_LIST_PAGES);
    EXPECT_EQ(Targets(Requests(), "/s/"),
              (V{"/s/search?q=%C1%AC%D2%C2%C8%B9&s=0", "/s/search?q=%C1%AC%D2%C2%C8%B9&s=0&old=1"}));
    V twice = Links(keywordTable);
    const V once = twice;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(Links(table_), twice);
    EXPECT_EQ(host_.refreshes, 4);  // one per line, the empty one too, and one at the end
    EXPECT_EQ(host_.statuses, (V{"操作已开始，请稍后。。。", "操作已结束。。共获取到 38 条记录"}));
    EXPECT_EQ(host_.buttons, (V{"-按钮8", "+按钮8"}));
  }

  // Item pages: trimmed, numbered, 5 ms apart; monitored ids mark only exact ids.
  JsonReader catalogue = Truth("/sim/catalogue.json?offset=0&limit=50");
  V taobao;
  for (int i = 0; i < 50 && taobao.size() < 2; ++i) {
    const std::string id = GbkToUtf8(catalogue.getText("t.items[" + std::to_string(i) + "].id"));
    if (GbkToUtf8(catalogue.getText("t.items[" + std::to_string(i) + "].kind")) == "taobao" && id.size() > 6)
      taobao.push_back(id);
  }
  ASSERT_EQ(taobao.size(), 2u);
  SetMonitoredItemIds({"0" + taobao[0], taobao[1], ""});
  ResultsTable items;
  RecordingHost itemHost;
  SearchRun run(items, itemHost);
  const std::string a = Base() + "/item/item.htm?id=" + taobao[0], b = Base() + "/item/item.htm?id=" + taobao[1];
  ListAddressSearch(run, "  " + a + "\t \r\n" + b, LIST_MODE_ITEM_PAGES);
  ASSERT_EQ(items.rowCount(), 2);
  EXPECT_EQ(Links(items), (V{a + "\t", b}));  // blanks go, a tab stays
  EXPECT_EQ(itemHost.pauses, (std::vector<int>{5, 5}));
  EXPECT_EQ(itemHost.progress, (Progress{0, 0, 2, 2}));  // "2 / 2": the list's length is known
  EXPECT_EQ(items.cellText(0, ResultColumn::Monitored), "");
  EXPECT_EQ(items.cellText(1, ResultColumn::Monitored), MONITORED_MARK);

  // An empty box refuses; a single line break is one empty line.
  RecordingHost emptyHost;
  SearchRun emptyRun(table_, emptyHost);
  ListAddressSearch(emptyRun, "", LIST_MODE_LIST_PAGES);
  EXPECT_EQ(emptyHost.messages, (V{"请输入网址"}));
  EXPECT_TRUE(emptyHost.statuses.empty());
  ListAddressSearch(emptyRun, "\r\n", LIST_MODE_ITEM_PAGES);
  EXPECT_EQ(table_.rowCount(), 2 * 19 + 1);
}

TEST_F(SimSearchTest, CategoryListsGroupedAndFlat) {
  const std::vector<CategoryEntry> top = LoadTopCategories(host_);
  ASSERT_EQ(top.size(), 11u);
  EXPECT_EQ(top[0], (CategoryEntry{G("请选择一级分类"), 0}));
  EXPECT_EQ(top[1].value, 16);
  EXPECT_EQ(host_.statuses, (V{"获取一级分类中。。。", ""}));
  const std::string listPrefix = "/list/itemlist/default.htm?_input_charset=utf-8&json=on&ratesumto=20&cat=";
  const std::string listSuffix = "&fromPage=adSearch&ratesumfrom=0&viewIndex=1&spm=&pSize=1";

  // The simulator groups the sub-categories of 16 and lists those of 30 flat.
  JsonReader cats = Truth("/sim/catalogue.json?offset=0&limit=2000");
  auto expectedSubs = [&](int top) {
    std::set<int> subs;
    for (int i = 0; i < cats.getLength("t.items"); ++i)
      if (ToInt32(cats.getText("t.items[" + std::to_string(i) + "].top")) == top)
        subs.insert(ToInt32(cats.getText("t.items[" + std::to_string(i) + "].sub")));
    return subs;
  };
  for (int topValue : {16, 30, 12345}) {
    logStart_ = LogLines().size();
    const std::vector<CategoryEntry> subs = LoadSubCategories(host_, topValue);
    EXPECT_EQ(Targets(Requests(), "/list/"), (V{listPrefix + std::to_string(topValue) + listSuffix}));
    ASSERT_FALSE(subs.empty());
    EXPECT_EQ(subs[0], (CategoryEntry{G("请选择二级分类"), 0}));
    std::set<int> values;
    for (size_t i = 1; i < subs.size(); ++i) values.insert(subs[i].value);
    // Every category that holds items is listed (a category may also be empty).
    for (int sub : expectedSubs(topValue)) EXPECT_TRUE(values.count(sub)) << topValue << " " << sub;
    if (topValue == 12345) {
      EXPECT_EQ(subs.size(), 1u);
    }
  }
}

TEST_F(SimSearchTest, CategoryPagesAreAllAskedWithTheDoubledParameters) {
  JsonReader cats = Truth("/sim/catalogue.json?offset=0&limit=2000");
  std::map<int, int> perSub;
  for (int i = 0; i < cats.getLength("t.items"); ++i)
    ++perSub[ToInt32(cats.getText("t.items[" + std::to_string(i) + "].sub"))];
  // A sub-category smaller than one page: pages 2 and 3 are empty and still asked.
  int small = 0;
  for (const auto& [sub, n] : perSub)
    if (n > 0 && n < 40) small = sub;
  ASSERT_NE(small, 0);

  std::string written;
  CategoryQuery query{
      .topValue = 16, .subValue = small, .keyword = "", .pagesText = "3", .setPagesText = [&](const std::string& t) {
        written = t;
      }};
  SearchRun run(table_, host_);
  CategorySearchWorker(run, query);
  const std::string spm = "a21bo.50862.201856-taobao-item.1";
  auto page = [&](int cat, const std::string& q, int offset) {
    return "/list/itemlist/default.htm?_input_charset=utf-8&json=on&ratesumto=20&cat=" + std::to_string(cat) +
           "&fromPage=adSearch&ratesumfrom=0&viewIndex=1" + q + "&fromPage=adSearch&&viewIndex=1&spm=" + spm +
           "&pSize=40&data-key=s&data-value=" + std::to_string(offset) + "&module=page&style=list";
  };
  const auto requests = Requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests[0].target, "/www/");  // the spm token first
  EXPECT_EQ(Targets(requests, "/list/"), (V{page(small, "", 0), page(small, "", 40), page(small, "", 80)}));
  EXPECT_EQ(table_.rowCount(), perSub[small]);
  EXPECT_EQ(host_.statuses,
            (V{"正在获取列表。。。", "操作已结束.共获取到 " + std::to_string(perSub[small]) + " 条记录"}));
  EXPECT_EQ(host_.refreshes, 3);
  EXPECT_EQ(written, "");
  EXPECT_TRUE(host_.buttons.empty());

  // Page counts below 1 become one page, written back; a blank keyword sends no "&q=",
  // any other is sent as typed; the second list's placeholder asks for cat=0.
  struct Case {
    std::optional<int> sub;
    std::string keyword, pages, written;
    std::string expected;
  };
  const Case cases[] = {
      {std::nullopt, "  ", "0", "1", page(16, "", 0)},
      {0, "", "", "1", page(0, "", 0)},
      {std::nullopt, G(" 连衣裙"), "-5", "1", page(16, "&q=%20%E8%BF%9E%E8%A1%A3%E8%A3%99", 0)},
  };
  for (const Case& c : cases) {
    logStart_ = LogLines().size();
    written.clear();
    ResultsTable table;
    RecordingHost host;
    SearchRun r(table, host);
    host.stopAfterRows = 3;  // the rows themselves do not matter here
    CategorySearchWorker(r, {.topValue = 16,
                             .subValue = c.sub,
                             .keyword = c.keyword,
                             .pagesText = c.pages,
                             .setPagesText = [&](const std::string& t) { written = t; }});
    EXPECT_EQ(Targets(Requests(), "/list/"), (V{c.expected})) << c.pages;
    EXPECT_EQ(written, c.written) << c.pages;
  }
}

TEST_F(SimSearchTest, ShopSearchPagesUntilAnEmptyList) {
  JsonReader sellers = Truth("/sim/sellers.json");
  const std::string nick = sellers.getText("t.sellers[0].nick");
  ASSERT_EQ(sellers.getText("t.sellers[0].items"), "200");
  table_.addRow("old");  // the shop search starts from an empty table
  SearchRun run(table_, host_);
  ShopSearch(run, "  " + nick + " ", "5");

  const auto requests = Requests();
  ASSERT_GE(requests.size(), 5u);
  EXPECT_EQ(requests[0].target, "/list/browse/ad_search.htm");
  EXPECT_EQ(requests[0].referer, Base() + "/www/");
  const std::string enc = GbkToUtf8(EncodeUtf8Query(nick));
  V expected;
  for (int s : {0, 95, 190, 285})
    expected.push_back("/list/itemlist/default.htm?_input_charset=utf-8&json=on&atype=b&cat=0&nick=" + enc +
                       "&style=list&as=0&viewIndex=1&spm=a2106.ad1.1000572.d2&same_info=1&isnew=2&commend=all&pSize=95"
                       "&s=" +
                       std::to_string(s) + "&_ksTS=1421844656556_59&callback=jsonp60");
  EXPECT_EQ(Targets(requests, "/list/itemlist/"), expected);
  // The list requests carry the list site's own cookies, whole header values joined by ";".
  const std::regex collected(
      "cna=[0-9a-f]+; path=/; expires=Thu, 01-Jan-2037 00:00:00 GMT;_tb_token_=[0-9a-f]+; path=/;v=0; path=/;");
  for (const Request& r : requests)
    if (r.target.rfind("/list/itemlist/", 0) == 0) {
      EXPECT_TRUE(std::regex_match(r.cookie, collected)) << r.cookie;
      EXPECT_EQ(r.referer, Base() +
                               "/list/itemlist/default.htm?cat=0&viewIndex=1&as=0&spm=a2106.ad1.1000572.d2"
                               "&commend=all&atype=b&style=list&nick=" +
                               enc + "&same_info=1&isnew=2&tid=0&_input_charset=utf-8");
    }
  EXPECT_EQ(table_.rowCount(), 200);
  EXPECT_EQ(table_.cellText(0, ResultColumn::Index), "0");
  EXPECT_EQ(host_.pauses, std::vector<int>(200, 5));
  EXPECT_EQ(host_.statuses, (V{"操作已开始，请稍后。。。", "操作已结束.共获取到 200 条记录"}));
  EXPECT_EQ(host_.progress, (Progress{3, 5, 200, 0}));

  // No page asked: the header request is still made and the table still cleared.
  for (const char* pages : {"0", "-3"}) {
    logStart_ = LogLines().size();
    SearchRun r(table_, host_);
    ShopSearch(r, nick, pages);
    EXPECT_EQ(Targets(Requests(), "/list/"), (V{"/list/browse/ad_search.htm"})) << pages;
    EXPECT_EQ(table_.rowCount(), 0);
    EXPECT_EQ(host_.statuses.back(), "操作已结束.共获取到 0 条记录（页数小于 1，未查询）");
  }
}

TEST_F(SimSearchTest, StopEndsAfterTheCurrentItem) {
  host_.stopAfterRows = 2;
  SearchRun run(table_, host_);
  ShopSearch(run, Truth("/sim/sellers.json").getText("t.sellers[0].nick"), "5");
  EXPECT_EQ(table_.rowCount(), 2);
  EXPECT_EQ(Targets(Requests(), "/list/itemlist/").size(), 1u);
  // The end text counts the rows that came, not the 95 addresses of the page.
  EXPECT_EQ(host_.statuses.back(), "操作已结束.共获取到 2 条记录（已停止）");

  ResultsTable table;
  RecordingHost host;
  host.stopAfterRows = 3;
  SearchRun keyword(table, host);
  KeywordSearchWorker(keyword, "kelvora demo", "3");
  EXPECT_EQ(table.rowCount(), 3);
  EXPECT_EQ(host.buttons, (V{"-按钮1", "+按钮1"}));
  EXPECT_EQ(host.statuses.back(), "操作已结束.共获取到 3 条记录（已停止）");

  ResultsTable listTable;
  RecordingHost listHost;
  listHost.stopAfterRows = 1;
  SearchRun list(listTable, listHost);
  ListAddressSearch(list, Base() + "/s/search?q=%C1%AC%D2%C2%C8%B9&s=0", LIST_MODE_LIST_PAGES);
  EXPECT_EQ(listHost.statuses.back(), "操作已结束。。共获取到 1 条记录（已停止）");
}

// Exact answers from a recording server: page-count clamps and the shop's cookie text.
class RecordedSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Endpoints e = DefaultEndpoints();
    e.SEARCH_SITE = server_.url("/s");
    e.LIST_SITE = server_.url("/list");
    e.MARKET_HOME_URL = server_.url("/www/");
    SetEndpoints(e);
    SetMarketCookie("market=1");
    // Every result page holds one item whose page is missing: a quick row.
    server_.on("/s/search", {.headers = {{"Content-Type", "text/html; charset=gbk"}},
                             .body = "<script>g_page_config = {\"mods\":{\"itemlist\":{\"data\":{\"auctions\":["
                                     "{\"detail_url\":\"" +
                                     server_.url("/gone") + "\"}]}}}};</script>"});
  }
  void TearDown() override {
    SetEndpoints(DefaultEndpoints());
    SetMarketCookie("");
  }
  std::vector<Request> Seen() {
    std::vector<Request> out;
    for (const auto& r : server_.requests())
      out.push_back({r.target, r.header("Cookie").value_or(""), r.header("Referer").value_or("")});
    return out;
  }
  RecordingServer server_;
};

TEST_F(RecordedSearchTest, KeywordPageCountClamps) {
  std::vector<int> ninetyNine;
  for (int p = 0; p < 99; ++p) ninetyNine.push_back(p * 44);
  struct Case {
    std::string pages;
    std::vector<int> offsets;
  };
  const Case cases[] = {{"", {0}}, {"0", {0}}, {"-1", {}}, {"2", {0, 44}}, {"99", ninetyNine}, {"100", ninetyNine}};
  for (const Case& c : cases) {
    server_.clearRequests();
    ResultsTable table;
    RecordingHost host;
    SearchRun run(table, host);
    KeywordSearchWorker(run, "x", c.pages);
    EXPECT_EQ(Offsets(Seen(), "/s/search"), c.offsets) << c.pages;
    EXPECT_EQ(host.buttons, (V{"-按钮1", "+按钮1"})) << c.pages;
    if (c.offsets.empty())
      EXPECT_EQ(host.statuses, (V{"操作已开始，请稍后。。。", "操作已结束.共获取到 0 条记录（页数小于 0，未查询）"}));
    else
      EXPECT_EQ(host.statuses.back(), "操作已结束.共获取到 " + std::to_string(c.offsets.size()) + " 条记录");
  }
  EXPECT_EQ(Targets(Seen(), "/s/").back(), "/s/search?q=x&source=tbsy&style=list&tab=all&s=4312");
}

// A result page that does not come is named in the end text and on the command line,
// and does not end a search that would have gone on; [http] retries come first.
TEST_F(RecordedSearchTest, FailedResultPagesAreNamedAndSkipped) {
  test::ClientStateGuard restore;
  SetHttpLimits(test::QuickHttpLimits());
  const std::string item = "{\"detail_url\":\"" + server_.url("/gone") + "\"}";
  const std::string keywordPage =
      "<script>g_page_config = {\"mods\":{\"itemlist\":{\"data\":{\"auctions\":[" + item + "]}}}};</script>";
  std::map<std::string, int> seen;
  std::set<std::string> failing;  // "s=N" values answered with 500
  int failFirstOnly = 0;          // answers of a failing target before it works again (0: never)
  server_.on("/s/search", [&](const test::RecordedRequest& r) {
    const std::string s = r.target.substr(r.target.rfind("&s="));
    const int n = ++seen[s];
    if (failing.count(s) && (failFirstOnly == 0 || n <= failFirstOnly)) return CannedResponse{.status = 500};
    return CannedResponse{.headers = {{"Content-Type", "text/html; charset=gbk"}}, .body = keywordPage};
  });
  struct Case {
    std::set<std::string> failing;
    int retries, failFirstOnly;
    std::string pages;
    std::vector<int> offsets;
    std::string end;
    std::vector<int> failedPages;
  };
  const Case cases[] = {
      {{"&s=44"}, 0, 0, "3", {0, 44, 88}, "操作已结束.共获取到 2 条记录（第 2 页获取失败）", {2}},
      // Three pages in a row that do not come: the marketplace is out of reach.
      {{"&s=0", "&s=44", "&s=88"},
       0,
       0,
       "5",
       {0, 44, 88},
       "操作已结束.共获取到 0 条记录（第 1、2、3 页获取失败）",
       {1, 2, 3}},
      // A page that fails once and comes on the resend has not failed.
      {{"&s=44"}, 1, 1, "2", {0, 44, 44}, "操作已结束.共获取到 2 条记录", {}},
  };
  for (const Case& c : cases) {
    server_.clearRequests();
    seen.clear();
    failing = c.failing;
    failFirstOnly = c.failFirstOnly;
    HttpLimits limits = test::QuickHttpLimits();
    limits.retries = c.retries;
    SetHttpLimits(limits);
    ResultsTable table;
    RecordingHost host;
    SearchRun run(table, host);
    std::vector<int> named;
    run.pageFailed = [&](const FailedPage& p) {
      named.push_back(p.page);
      EXPECT_EQ(p.kind, FailureKind::ErrorStatus);
      EXPECT_NE(p.address.find("/s/search?q=x"), std::string::npos) << p.address;
    };
    KeywordSearchWorker(run, "x", c.pages);
    EXPECT_EQ(Offsets(Seen(), "/s/search"), c.offsets) << c.end;
    EXPECT_EQ(host.statuses.back(), c.end);
    EXPECT_EQ(named, c.failedPages) << c.end;
  }

  // The shop: a first page that fails does not read as a shop without items.
  SetHttpLimits(test::QuickHttpLimits());
  server_.clearRequests();
  server_.on("/list/browse/ad_search.htm", CannedResponse{.body = "ok"});
  server_.on("/list/itemlist/default.htm", [&](const test::RecordedRequest& r) {
    if (r.target.find("&s=0&") != std::string::npos) return CannedResponse{.status = 500};
    const bool more = r.target.find("&s=95&") != std::string::npos;
    return CannedResponse{.body = "jsonp60({\"itemList\":[" +
                                  (more ? "{\"href\":\"" + server_.url("/gone") + "\"}" : std::string()) + "]})"};
  });
  ResultsTable shopTable;
  RecordingHost shopHost;
  SearchRun shop(shopTable, shopHost);
  ShopSearch(shop, "nick", "5");
  EXPECT_EQ(shopTable.rowCount(), 1);
  EXPECT_EQ(shopHost.statuses.back(), "操作已结束.共获取到 1 条记录（第 1 页获取失败）");

  // The category search asks every page; the failed one is named.
  server_.on("/list/itemlist/default.htm", [&](const test::RecordedRequest& r) {
    if (r.target.find("data-value=40&") != std::string::npos) return CannedResponse{.status = 503};
    return CannedResponse{.body = "{\"itemList\":[{\"href\":\"" + server_.url("/gone") + "\"}]}"};
  });
  ResultsTable catTable;
  RecordingHost catHost;
  SearchRun cat(catTable, catHost);
  CategorySearchWorker(
      cat, {.topValue = 16, .subValue = std::nullopt, .keyword = "", .pagesText = "3", .setPagesText = nullptr});
  EXPECT_EQ(catTable.rowCount(), 2);
  EXPECT_EQ(catHost.statuses.back(), "操作已结束.共获取到 2 条记录（第 2 页获取失败）");
}

TEST_F(RecordedSearchTest, ShopCookieTextOrMarketCookie) {
  const std::string list = "\r\njsonp60({\"itemList\":[{\"href\":\"" + server_.url("/go\r\nne") + "\"}]})";
  server_.on("/list/itemlist/default.htm", CannedResponse{.body = list});
  struct Case {
    test::HeaderList headers;
    std::string cookie;
  };
  const Case cases[] = {
      {{{"Set-Cookie", "a=1; path=/"}, {"X", "y"}, {"Set-Cookie", " b=2 "}}, "a=1; path=/;b=2;"},
      {{{"X", "y"}}, "market=1"},
  };
  for (const Case& c : cases) {
    server_.clearRequests();
    server_.on("/list/browse/ad_search.htm", {.headers = c.headers, .body = "ok"});
    ResultsTable table;
    RecordingHost host;
    SearchRun run(table, host);
    ShopSearch(run, "n", "2");
    const auto seen = Seen();
    ASSERT_EQ(seen.size(), 5u);  // header request, then per page its list and the item page
    EXPECT_EQ(seen[0].cookie, "market=1");
    EXPECT_EQ(seen[1].cookie, c.cookie);
    EXPECT_EQ(seen[3].cookie, c.cookie);
    // The line break inside the answer is gone before it is read.
    EXPECT_EQ(table.cellText(0, ResultColumn::Link), server_.url("/gone"));
  }
}

}  // namespace
}  // namespace kelvora
