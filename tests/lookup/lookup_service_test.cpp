#include "lookup/lookup_service.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "net/datetime.h"
#include "net/endpoints.h"
#include "net/http.h"
#include "net/settings.h"
#include "net/shared_state.h"
#include "support/client_state.h"
#include "support/fixtures.h"
#include "support/recording_server.h"

namespace kelvora {
namespace {

using test::CannedResponse;
using test::G;
using test::RecordingServer;

CannedResponse Gbk(std::string body) {
  return {.headers = {{"Content-Type", "text/html; charset=gbk"}}, .body = std::move(body)};
}

struct RecordingHost : Host {
  void setStatus(const std::string&) override {}
  void setRowCountLabel(const std::string& text) override { labels.push_back(text); }
  void message(const std::string&) override {}
  void pause(int ms) override { pauses.push_back(ms); }
  void processEvents() override { ++events; }
  bool stopRequested() const override { return stopAfterEvents >= 0 && events > stopAfterEvents; }
  std::vector<std::string> labels;
  std::vector<int> pauses;
  int events = 0;
  int stopAfterEvents = -1;
};

std::string ItemPage(const std::string& itemId) {
  return "<title>item " + itemId + "</title><script>\n  sellerNick       : 'nick',\n" +
         "  sibUrl           : 'http://127.0.0.1:1/sib?',\n</script>" +
         "<input type=\"hidden\" name=\"item_id\" value=\"" + itemId + "\">";
}

class LookupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Endpoints e = *CurrentEndpoints();
    e.SERVICE_BASE = server_.url("/svc/");
    SetEndpoints(e);
    SetNowOverride(MakeDateTime(2014, 11, 18, 18, 0, 0));
  }
  void TearDown() override { SetMonitoredItemIds({}); }
  void Answer(const std::string& json) { server_.on("/svc/index.php/Getinfo/get", Gbk(json)); }

  test::ClientStateGuard restore_;
  RecordingServer server_;
};

TEST_F(LookupTest, AnswersToCellTexts) {
  const std::string listed = G("2014年11月4日21时26分41秒");
  const std::string delisted = G("2014年11月18日21时20分1秒");
  const std::string none = G("无时间");
  const FailureKind fine = FailureKind::None, malformed = FailureKind::Malformed;
  struct Case {
    const char* name;
    std::string answer, listedAt, delistAt;
    int hours;
    FailureKind failure;
  } cases[] = {
      {"seconds as strings", R"({"data":{"sjsj":"1415107601","xjsj":"1416316801"}})", listed, delisted, 3, fine},
      {"milliseconds as numbers", R"({"data":{"sjsj":1415107601000,"xjsj":1416316801000}})", listed, delisted, 3, fine},
      {"listing time missing", R"({"data":{"xjsj":"1416316801"}})", none, delisted, 3, fine},
      {"delisting time zero", R"({"data":{"sjsj":"1415107601","xjsj":0}})", listed, none, 0, fine},
      {"no data member", R"({"code":1})", none, none, 0, fine},
      // Answers that are not the service's JSON, or whose times are not times: not read.
      {"not JSON", "<html>error</html>", none, none, 0, malformed},
      {"empty", "", none, none, 0, malformed},
      {"damaged JSON", R"({"data":{"sjsj":"1415107601","xj#!<corrupt>%"{)];\u00316801"}})", none, none, 0, malformed},
      {"a time that is not a number", R"({"data":{"sjsj":"1415107601","xjsj":"14163x6801"}})", none, none, 0,
       malformed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Answer(c.answer);
    ResultRow row;
    LookupService::queryTimes("45383717461", row);
    EXPECT_EQ(row.listedAt, c.listedAt);
    EXPECT_EQ(row.delistAt, c.delistAt);
    EXPECT_EQ(row.hoursLeft, c.hours);
    EXPECT_EQ(row.failures[RequestPart::Lookup], c.failure);
  }
}

TEST_F(LookupTest, RequestCarriesTheIdAndADecimalCacheBuster) {
  SetServiceCookie("PHPSESSID=abc");
  Answer("{}");
  for (std::string id : {"12345", ""}) {
    server_.clearRequests();
    ResultRow row;
    LookupService::queryTimes(id, row);
    ASSERT_EQ(server_.requestCount(), 1u);
    auto req = server_.requests()[0];
    const std::string prefix = "/svc/index.php/Getinfo/get?tid=" + id + "&_=";
    ASSERT_EQ(req.target.rfind(prefix, 0), 0u) << req.target;
    std::string bust = req.target.substr(prefix.size());
    ASSERT_FALSE(bust.empty());
    EXPECT_EQ(bust.find_first_not_of("0123456789"), std::string::npos) << bust;
    EXPECT_LE(std::stoll(bust), 32767LL * 32767LL);
    EXPECT_EQ(req.header("Cookie").value_or("-"), "PHPSESSID=abc");
  }
}

TEST_F(LookupTest, HoursLeftCountsFromUtc8Now) {
  const DateTime now = MakeDateTime(2014, 11, 18, 12, 0, 0);
  struct Case {
    std::string delist;
    int hours;
  } cases[] = {
      {G("2014年11月18日14时30分"), 2},  // two and a half hours ahead
      {G("2014年11月18日11时"), 0},      // an hour past
      {G("2014年11月18日15时"), 3},      // exactly on the hour
      {G("2014年11月18日12时"), 0},     {G("无时间"), 0},
  };
  for (const Case& c : cases) EXPECT_EQ(LookupService::HoursLeft(c.delist, now), c.hours) << c.delist;

  // The lookup takes now from the UTC+8 clock (here fixed), not the computer's zone.
  Answer(R"({"data":{"sjsj":"1415107601","xjsj":"1416290400"}})");  // 2014-11-18 14:00:00 UTC+8
  for (auto [hour, want] : {std::pair{11, 2}, {15, 0}}) {
    SetNowOverride(MakeDateTime(2014, 11, 18, hour, 30, 0));
    ResultRow row;
    LookupService::queryTimes("12345", row);
    EXPECT_EQ(row.hoursLeft, want) << hour;
  }
}

TEST_F(LookupTest, FillResultRowWritesEveryCell) {
  Answer(R"({"data":{"sjsj":"1415107601","xjsj":"1416316801"}})");
  server_.on("/a.htm", Gbk(ItemPage("11111")));
  ResultsTable table;
  RecordingHost host;
  table.addRow("1");
  table.setCell(0, ResultColumn::Link, server_.url("/a.htm"));
  table.setCell(0, ResultColumn::Monitored, "kept");
  table.addRow("2");  // empty address: read as an empty page
  FillResultRow(table, 0, host);
  FillResultRow(table, 1, host);

  RowCells first = table.row(0);
  RowCells expect = {"0",
                     "11111",
                     "item 11111",
                     server_.url("/a.htm"),
                     "nick",
                     G("2014年11月4日21时26分41秒"),
                     G("2014年11月18日21时20分1秒"),
                     "3",
                     G("店铺"),
                     "0",
                     "",
                     "",
                     "",
                     "kept"};
  EXPECT_EQ(first, expect);
  RowCells second = table.row(1);
  RowCells failed = {"1", "0", G("获取数据失败！"), "", "", G("无时间"), G("无时间"), "0", G("店铺"), "", "", "",
                     "",  ""};
  EXPECT_EQ(second, failed);
  EXPECT_EQ(host.labels, (std::vector<std::string>{G("条数：2"), G("条数：2")}));

  // The label keeps its text over a clear; the next completed row rewrites it.
  table.clearRows();
  table.addRow();
  FillResultRow(table, 0, host);
  EXPECT_EQ(host.labels.back(), G("条数：1"));
}

TEST_F(LookupTest, MonitoredMark) {
  Answer("{}");
  server_.on("/m.htm", Gbk(ItemPage("22222")));
  server_.on("/short.htm", Gbk(ItemPage("2222")));  // too short: the id reads empty
  SetMonitoredItemIds({"", "2222", "22222 ", "22222"});
  ResultsTable table;
  RecordingHost host;
  for (const char* path : {"/m.htm", "/short.htm"}) {
    int32_t r = table.addRow();
    table.setCell(r, ResultColumn::Link, server_.url(path));
    FillResultRow(table, r, host);
  }
  EXPECT_EQ(table.cellText(0, ResultColumn::ItemId), "22222");
  EXPECT_EQ(table.cellText(0, ResultColumn::Monitored), G("√"));
  EXPECT_EQ(table.cellText(1, ResultColumn::ItemId), "");
  EXPECT_EQ(table.cellText(1, ResultColumn::Monitored), "");
}

TEST_F(LookupTest, ClearDuringTheRequestsLeavesNewRowsAlone) {
  Answer("{}");
  ResultsTable table;
  RecordingHost host;
  table.addRow();
  table.setCell(0, ResultColumn::Link, server_.url("/slow.htm"));
  server_.on("/slow.htm", [&](const test::RecordedRequest&) {
    // Another search clears the table and appends its own row meanwhile.
    table.clearRows();
    int32_t r = table.addRow("other");
    table.setCell(r, ResultColumn::Link, "http://other");
    return Gbk(ItemPage("33333"));
  });
  FillResultRow(table, 0, host);
  EXPECT_EQ(table.rowCount(), 1);
  EXPECT_EQ(table.cellText(0, ResultColumn::Index), "other");
  EXPECT_EQ(table.cellText(0, ResultColumn::Link), "http://other");
  EXPECT_EQ(table.cellText(0, ResultColumn::ItemId), "");
  EXPECT_EQ(host.labels, std::vector<std::string>{G("条数：1")});
}

TEST_F(LookupTest, RetryVisitsRowsWithoutTimeAndRowsWithFailedRequests) {
  Answer(R"({"data":{"sjsj":"1415107601","xjsj":"1416316801"}})");
  ResultsTable table;
  // A date, 无时间, a date with a failed secondary request, empty (a removed item),
  // and a date with a failed lookup (a time read back although the lookup failed).
  const std::string listed[] = {G("2014年"), G("无时间"), G("2014年"), "", G("2014年")};
  RowFailures secondaryFailed, lookupFailed;
  secondaryFailed[RequestPart::Secondary] = FailureKind::CutShort;
  lookupFailed[RequestPart::Lookup] = FailureKind::NoAnswer;
  const RowFailures failures[] = {{}, {}, secondaryFailed, {}, lookupFailed};
  for (int i = 0; i < 5; ++i) {
    server_.on("/r" + std::to_string(i) + ".htm", Gbk(ItemPage("4444" + std::to_string(i))));
    table.addRow();
    table.setCell(i, ResultColumn::Link, server_.url("/r" + std::to_string(i) + ".htm"));
    table.setCell(i, ResultColumn::ListedAt, listed[i]);
    table.setFailures(i, failures[i]);
  }
  RecordingHost host;
  const RetrySummary summary = RetryFailedRows(table, host, [] { return 200; });
  EXPECT_EQ(host.events, 5);
  EXPECT_EQ(summary.retried, 3);
  // The grab delay spaces the retried rows' requests, as it does a search's.
  EXPECT_EQ(host.pauses, (std::vector<int>{201, 201}));
  std::vector<std::string> pages;
  for (const auto& r : server_.requests())
    if (r.path() != "/svc/index.php/Getinfo/get") pages.push_back(r.target);
  EXPECT_EQ(pages, (std::vector<std::string>{"/r1.htm", "/r2.htm", "/r4.htm"}));
  for (int i : {1, 2, 4}) {
    EXPECT_EQ(table.cellText(i, ResultColumn::ItemId), "4444" + std::to_string(i));
    EXPECT_EQ(table.cellText(i, ResultColumn::ListedAt), G("2014年11月4日21时26分41秒"));
    // The secondary address of ItemPage points at a closed port. Only row 2 had no
    // good secondary values before, so only there the failure shows; rows 1 and 4
    // keep the values of their earlier successful request.
    RowFailures now;
    if (i == 2) now[RequestPart::Secondary] = FailureKind::NoAnswer;
    EXPECT_EQ(table.failures(i), now) << i;
  }
  EXPECT_EQ(summary.complete, 2);
  EXPECT_EQ(summary.stillFailed, 1);
  EXPECT_EQ(table.cellText(0, ResultColumn::ItemId), "");
  EXPECT_EQ(table.cellText(3, ResultColumn::ItemId), "");

  // A stop request ends the retry between rows.
  server_.clearRequests();
  table.setCell(1, ResultColumn::ListedAt, G("无时间"));
  RecordingHost stopping;
  stopping.stopAfterEvents = 1;
  RetryFailedRows(table, stopping);
  EXPECT_EQ(server_.requestCount(), 0u);
}

// A retry never makes a row worse: a cell takes the new attempt's value only where
// the request behind it succeeded this time and gave no failure text.
TEST(RetryMerge, KeepsEarlierValuesWhereTheNewAttemptFailed) {
  const double now = MakeDateTime(2014, 11, 18, 18, 0, 0);
  auto col = [](ResultColumn c) { return static_cast<size_t>(c); };
  RowCells good{"0",
                "123456",
                "T",
                "http://x/i.htm",
                "S",
                G("2014年11月4日21时26分41秒"),
                G("2014年11月19日21时26分41秒"),
                "27",
                G("店铺"),
                "5",
                "7",
                "1.00",
                G("杭州"),
                ""};
  RowCells failedPage = good;
  failedPage[col(ResultColumn::ItemId)] = "0";
  failedPage[col(ResultColumn::Title)] = G("获取数据失败！");
  failedPage[col(ResultColumn::ListedAt)] = failedPage[col(ResultColumn::DelistAt)] = G("无时间");
  for (ResultColumn c :
       {ResultColumn::Seller, ResultColumn::Sales, ResultColumn::Stock, ResultColumn::Price, ResultColumn::Location})
    failedPage[col(c)] = "";
  failedPage[col(ResultColumn::HoursLeft)] = "0";

  // What one attempt gives: every request made and fine, unless changed below.
  ResultRow fine;
  fine.itemId = "123456";
  fine.title = "T2";
  fine.link = "http://x/i.htm";
  fine.seller = "S2";
  fine.listedAt = G("2014年11月11日21时26分41秒");
  fine.delistAt = G("2014年11月25日21时26分41秒");
  fine.hoursLeft = 171;
  fine.sales = "9";
  fine.stock = "8";
  fine.price = "2.00";
  fine.location = G("上海");
  for (RequestPart p : {RequestPart::Page, RequestPart::Secondary, RequestPart::Lookup}) fine.markRequested(p);
  ResultRow pageFails;  // what the driver gives when the page does not come
  pageFails.title = FETCH_FAILED_TITLE;
  pageFails.itemId = "0";
  pageFails.link = fine.link;
  pageFails.listedAt = pageFails.delistAt = NO_TIME_TEXT;
  pageFails.failures[RequestPart::Page] = FailureKind::NoAnswer;
  pageFails.markRequested(RequestPart::Page);
  ResultRow lookupFails = fine;
  lookupFails.listedAt = lookupFails.delistAt = NO_TIME_TEXT;
  lookupFails.hoursLeft = 0;
  lookupFails.failures[RequestPart::Lookup] = FailureKind::ErrorStatus;
  ResultRow noTimeKnown = fine;  // the service answered but knows no time
  noTimeKnown.listedAt = noTimeKnown.delistAt = NO_TIME_TEXT;
  noTimeKnown.hoursLeft = 0;
  ResultRow secondaryFails = fine;
  secondaryFails.sales = "0";
  secondaryFails.stock = secondaryFails.price = secondaryFails.location = "";
  secondaryFails.failures[RequestPart::Secondary] = FailureKind::CutShort;
  ResultRow removed;
  removed.title = REMOVED_ITEM_TITLE;
  removed.link = fine.link;
  removed.markRequested(RequestPart::Page);

  RowFailures none, secondaryBefore, lookupBefore, pageBefore, secondaryNow, lookupNow, pageNow;
  secondaryBefore[RequestPart::Secondary] = FailureKind::NoAnswer;
  lookupBefore[RequestPart::Lookup] = FailureKind::NoAnswer;
  pageBefore[RequestPart::Page] = FailureKind::CutShort;
  secondaryNow[RequestPart::Secondary] = FailureKind::CutShort;
  lookupNow[RequestPart::Lookup] = FailureKind::ErrorStatus;
  pageNow[RequestPart::Page] = FailureKind::NoAnswer;

  const RowCells fresh = [&] {
    RowCells c{"0", "123456", "T2",   "http://x/i.htm", "S2", fine.listedAt, fine.delistAt, "171", G("店铺"),
               "9", "8",      "2.00", G("上海"),        ""};
    return c;
  }();
  RowCells goodTimesFreshRest = fresh;  // new page and secondary values, the earlier times
  goodTimesFreshRest[col(ResultColumn::ListedAt)] = good[col(ResultColumn::ListedAt)];
  goodTimesFreshRest[col(ResultColumn::DelistAt)] = good[col(ResultColumn::DelistAt)];
  goodTimesFreshRest[col(ResultColumn::HoursLeft)] = "27";
  RowCells freshWithGoodSecondary = fresh;
  for (ResultColumn c : {ResultColumn::Sales, ResultColumn::Stock, ResultColumn::Price, ResultColumn::Location})
    freshWithGoodSecondary[col(c)] = good[col(c)];
  RowCells freshWithFailedSecondary = fresh;
  freshWithFailedSecondary[col(ResultColumn::Sales)] = "0";
  for (ResultColumn c : {ResultColumn::Stock, ResultColumn::Price, ResultColumn::Location})
    freshWithFailedSecondary[col(c)] = "";

  struct Case {
    const char* what;
    RowCells before;
    RowFailures failedBefore;
    ResultRow attempt;
    RowCells expected;
    RowFailures expectedFailures;
  };
  const Case cases[] = {
      {"lookup fails now, times from before stay", good, secondaryBefore, lookupFails, goodTimesFreshRest, none},
      {"service knows no time now: 无时间 never replaces a time", good, secondaryBefore, noTimeKnown,
       goodTimesFreshRest, none},
      {"page fails now: every cell stays, the earlier failure too", good, lookupBefore, pageFails, good, lookupBefore},
      {"secondary fails now after a good one", good, lookupBefore, secondaryFails, freshWithGoodSecondary, none},
      {"secondary failed before and now: the failure stays", good, secondaryBefore, secondaryFails,
       freshWithFailedSecondary, secondaryNow},
      {"a failed page row comes whole", failedPage, pageBefore, fine, fresh, none},
      {"a failed page row: its new secondary failure shows", failedPage, pageBefore, secondaryFails,
       freshWithFailedSecondary, secondaryNow},
      {"page failed before and now: the newest failure", failedPage, pageBefore, pageFails, failedPage, pageNow},
  };
  for (const Case& c : cases) {
    RowFailures after;
    const RowCells merged = MergeRetriedRow(c.before, c.failedBefore, c.attempt, 0, now, after);
    EXPECT_EQ(merged, c.expected) << c.what;
    EXPECT_EQ(after, c.expectedFailures) << c.what;
  }

  // A page that now says the item is gone decides: no old sales or times beside it.
  RowFailures after;
  const RowCells gone = MergeRetriedRow(good, lookupBefore, removed, 3, now, after);
  EXPECT_EQ(gone[col(ResultColumn::Index)], "3");
  EXPECT_EQ(gone[col(ResultColumn::Title)], REMOVED_ITEM_TITLE);
  EXPECT_EQ(gone[col(ResultColumn::ListedAt)], "");
  EXPECT_EQ(gone[col(ResultColumn::Sales)], "");
  EXPECT_FALSE(after.any());
}

// The whole retry against a server that now fails: values kept, failures recorded,
// the summary counts what the seller sees.
TEST_F(LookupTest, RetryAgainstAFailingServerKeepsWhatRowsHad) {
  server_.on("/svc/index.php/Getinfo/get", CannedResponse{.status = 500});
  server_.on("/p.htm", CannedResponse{.status = 502});
  ResultsTable table;
  const RowCells good{"0",
                      "123456",
                      "T",
                      server_.url("/p.htm"),
                      "S",
                      G("2014年11月4日21时26分41秒"),
                      G("2014年11月19日21时26分41秒"),
                      "99",
                      G("店铺"),
                      "5",
                      "7",
                      "1.00",
                      G("杭州"),
                      ""};
  RowFailures secondaryBefore;
  secondaryBefore[RequestPart::Secondary] = FailureKind::CutShort;
  table.addRow();
  table.setRow(0, good);
  table.setFailures(0, secondaryBefore);
  RecordingHost host;
  const RetrySummary s = RetryFailedRows(table, host);
  RowCells expected = good;
  expected[static_cast<size_t>(ResultColumn::HoursLeft)] = "27";  // counted again from now
  EXPECT_EQ(table.row(0), expected);
  EXPECT_EQ(table.failures(0), secondaryBefore);  // the page did not come: still to be retried
  EXPECT_EQ(s.retried, 1);
  EXPECT_EQ(s.complete, 0);
  EXPECT_EQ(s.stillFailed, 1);
  EXPECT_EQ(RetrySummaryText(s), G("重试结束：重试 1 行，0 行已完整，1 行仍失败"));

  // Now every request works: the row is whole, and the summary says so.
  server_.on("/p.htm",
             Gbk("<title>p</title><script>\n  sellerNick       : 'nick',\n  sibUrl           : '" +
                 server_.url("/sib?") + "',\n</script><input type=\"hidden\" name=\"item_id\" value=\"123456\">"));
  server_.on("/sib", Gbk(R"(onSibRequestSuccess({"data":{"quanity":"6","price":"1.50"}});)"));
  Answer(R"({"data":{"sjsj":"1415107601","xjsj":"1416316801"}})");
  const RetrySummary again = RetryFailedRows(table, host);
  EXPECT_EQ(table.cellText(0, ResultColumn::Sales), "6");
  EXPECT_FALSE(table.failures(0).any());
  EXPECT_EQ(RetrySummaryText(again), G("重试结束：重试 1 行，1 行已完整，0 行仍失败"));
  EXPECT_EQ(RetrySummaryText(RetryFailedRows(table, host)), G("重试结束：没有需要重试的行"));
}

TEST_F(LookupTest, FailuresGoWithTheCellsAndASuccessfulRunClearsThem) {
  Answer(R"({"data":{"sjsj":"1415107601","xjsj":"1416316801"}})");
  // The sib answer is cut short the first time and whole the second.
  const std::string sib = R"(onSibRequestSuccess({"data":{"quanity":"5","price":"1.00"}});)";
  int asked = 0;
  server_.on("/sib", [&](const test::RecordedRequest&) {
    return ++asked == 1 ? CannedResponse{.body = sib.substr(0, 10), .contentLength = sib.size()} : Gbk(sib);
  });
  server_.on("/p.htm",
             Gbk("<title>p</title><script>\n  sellerNick       : 'nick',\n  sibUrl           : '" +
                 server_.url("/sib?") + "',\n</script><input type=\"hidden\" name=\"item_id\" value=\"55555\">"));
  struct Changes : ResultsTable::Listener {
    void rowsAppended(int32_t, int32_t) override {}
    void rowsCleared() override {}
    void rowChanged(int32_t) override { ++count; }
    int count = 0;
  } changes;
  ResultsTable table;
  RecordingHost host;
  table.addRow();
  table.setCell(0, ResultColumn::Link, server_.url("/p.htm"));
  table.addListener(&changes);

  FillResultRow(table, 0, host);
  EXPECT_EQ(table.cellText(0, ResultColumn::Sales), "0");  // what a failed answer always showed
  EXPECT_EQ(table.failures(0)[RequestPart::Secondary], FailureKind::CutShort);
  EXPECT_EQ(changes.count, 1);  // cells and failures in one change

  FillResultRow(table, 0, host);
  EXPECT_EQ(table.cellText(0, ResultColumn::Sales), "5");
  EXPECT_FALSE(table.failures(0).any());
  table.removeListener(&changes);
}

// The whole road of one item over https: the page, its sib answer and the lookup,
// with the server's authority named as [http] ca_file.
TEST(HttpsRoad, AnItemOverHttpsGivesTheRowItGivesOverHttp) {
  test::ClientStateGuard restore;
  SetNowOverride(MakeDateTime(2014, 11, 18, 18, 0, 0));
  auto serve = [](RecordingServer& s) {
    s.on("/a.htm", Gbk("<title>" + G("风镜-淘宝网") + "</title><script>\n  sellerNick       : '%C4%E3',\n" +
                       "  sibUrl           : '" + s.url("/sib?id=45383") + "',\n</script>" +
                       "<input type=\"hidden\" name=\"item_id\" value=\"45383\">"));
    s.on("/sib", Gbk(R"(onSibRequestSuccess({"data":{"quanity":"35","price":"12.50",)"
                     R"("sendCity":"\u676d\u5dde","dynStock":{"sellableQuantity":7}}});)"));
    s.on("/svc/index.php/Getinfo/get", Gbk(R"({"data":{"sjsj":"1415107601","xjsj":1416316801000}})"));
  };
  // One row through `s` (its lookup service too); the 链接 cell is left out of the cells.
  auto fill = [](RecordingServer& s) {
    Endpoints e = *CurrentEndpoints();
    e.SERVICE_BASE = s.url("/svc/");
    SetEndpoints(e);
    ResultsTable table;
    RecordingHost host;
    table.addRow();
    table.setCell(0, ResultColumn::Link, s.url("/a.htm"));
    FillResultRow(table, 0, host);
    RowCells cells = table.row(0);
    EXPECT_EQ(cells[static_cast<int>(ResultColumn::Link)], s.url("/a.htm"));
    cells[static_cast<int>(ResultColumn::Link)].clear();
    return std::make_pair(cells, table.failures(0));
  };
  RecordingServer plain({.keepAlive = true});
  RecordingServer secure({.keepAlive = true, .tls = true});
  serve(plain);
  serve(secure);

  // Without the authority the page is refused: the row says the fetch failed and records why.
  const auto [refused, refusedFailures] = fill(secure);
  EXPECT_EQ(refused[static_cast<int>(ResultColumn::Title)], G("获取数据失败！"));
  EXPECT_EQ(refused[static_cast<int>(ResultColumn::ListedAt)], G("无时间"));
  EXPECT_EQ(refusedFailures[RequestPart::Page], FailureKind::Refused);
  EXPECT_EQ(secure.requestCount(), 0u);

  const std::string dir = std::filesystem::temp_directory_path() / ("kelvora-road-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  test::WriteFile(dir + "/ca.pem", secure.caPem());
  test::WriteFile(dir + "/k.ini", "[http]\nca_file=ca.pem\nconnect_timeout=5\n");
  Settings settings;
  std::string error;
  ASSERT_TRUE(LoadSettingsFile(dir + "/k.ini", settings, error)) << error;
  ASSERT_TRUE(ApplySettings(settings, error)) << error;

  const auto [overHttp, httpFailures] = fill(plain);
  const auto [overHttps, httpsFailures] = fill(secure);
  EXPECT_EQ(overHttps, overHttp);
  EXPECT_EQ(overHttps[static_cast<int>(ResultColumn::ItemId)], "45383");
  EXPECT_EQ(overHttps[static_cast<int>(ResultColumn::Price)], "12.50");
  EXPECT_EQ(overHttps[static_cast<int>(ResultColumn::DelistAt)], G("2014年11月18日21时20分1秒"));
  EXPECT_FALSE(httpsFailures.any());
  // Page, sib answer and lookup went out on one connection.
  const auto seen = secure.requests();
  ASSERT_EQ(seen.size(), 3u);
  for (const auto& r : seen) EXPECT_EQ(r.connection, seen[0].connection);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kelvora
