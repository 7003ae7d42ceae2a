#include "net/http.h"

#include <curl/curl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <httplib.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <thread>

#include "net/endpoints.h"
#include "net/settings.h"
#include "net/shared_state.h"
#include "support/client_state.h"
#include "support/fixtures.h"
#include "support/recording_server.h"

namespace kelvora {
namespace {

using test::CannedResponse;
using test::G;
using test::HeaderList;
using test::RecordedRequest;
using test::RecordingServer;
using ::testing::ElementsAre;
using ::testing::Pair;

class HttpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Endpoints e = DefaultEndpoints();
    e.SERVICE_BASE = server.url("/svc/");
    SetEndpoints(e);
    SetHttpLimits(test::QuickHttpLimits());
    SetMarketCookie("");
    SetServiceCookie("");
  }

  std::string Fetch(std::string url, std::string referer = "", std::string cookie = "2") {
    return HttpFetch(url, referer, cookie);
  }
  RecordedRequest Only() {
    auto seen = server.requests();
    EXPECT_EQ(seen.size(), 1u);
    return seen.empty() ? RecordedRequest{} : seen.front();
  }
  std::string Host() const { return "127.0.0.1:" + std::to_string(server.port()); }

  test::ClientStateGuard restore_;
  RecordingServer server;
};

TEST_F(HttpTest, EachShapeSendsItsHeadersInOrder) {
  SetMarketCookie("t=market");
  SetServiceCookie("PHPSESSID=svc");
  server.on("/p", CannedResponse{.body = "ok"});
  server.on("/svc/q", CannedResponse{.body = "ok"});

  std::string url = server.url("/p"), cookie = "2";
  HttpFetch(url, "http://ref/", cookie);
  FetchResponseHeaders(server.url("/p"), "");
  std::string path = "q";
  ServiceGet(path);
  ServicePost("q", "username_box=u&password_box=p");

  auto seen = server.requests();
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_THAT(seen[0].headers,
              ElementsAre(Pair("Host", Host()), Pair("Accept", ACCEPT_VALUE), Pair("Accept-Language", "zh-CN"),
                          Pair("Connection", "Keep-Alive"), Pair("User-Agent", DESKTOP_UA),
                          Pair("Referer", "http://ref/"), Pair("Cookie", "t=market")));
  EXPECT_THAT(seen[1].headers,
              ElementsAre(Pair("Host", Host()), Pair("Accept", ACCEPT_VALUE), Pair("Accept-Language", "zh-CN"),
                          Pair("Connection", "Keep-Alive"), Pair("User-Agent", DESKTOP_UA), Pair("Referer", ""),
                          Pair("Cookie", "t=market")));
  EXPECT_THAT(seen[2].headers,
              ElementsAre(Pair("Host", Host()), Pair("Accept", ACCEPT_VALUE), Pair("Accept-Language", "zh-CN"),
                          Pair("User-Agent", SERVICE_UA), Pair("Cookie", "PHPSESSID=svc")));
  // The service UA ends with a blank that must reach the wire.
  EXPECT_NE(seen[2].head.find("qrn_v3.3) like Gecko \r\n"), std::string::npos);
  EXPECT_EQ(seen[3].method, "POST");
  EXPECT_EQ(seen[3].target, "/svc/q");
  EXPECT_EQ(seen[3].body, "username_box=u&password_box=p");
  EXPECT_THAT(seen[3].headers,
              ElementsAre(Pair("Host", Host()), Pair("Accept", ACCEPT_VALUE), Pair("Accept-Language", "zh-CN"),
                          Pair("Connection", "Keep-Alive"), Pair("User-Agent", SERVICE_LOGIN_UA),
                          Pair("content-type", "application/x-www-form-urlencoded"), Pair("Cookie", "PHPSESSID=svc"),
                          Pair("Content-Length", "29")));
  for (const auto& r : seen) EXPECT_EQ(r.version, "HTTP/1.1");
}

TEST_F(HttpTest, CookieArgumentOrStoredMarketCookie) {
  struct Case {
    std::string argument, market, sent, leftInArgument;
  } cases[] = {
      {"2", "t=m", "t=m", "2"},
      {"", "t=m", "t=m", ""},
      {" ", "t=m", "t=m", ""},
      {"\xA1\xA1"
       "x \xA1\xA1",
       "t=m", "t=m", "x"},
      {"ab", "t=m", "ab", "ab"},
      {"  x=9; y=8 ", "t=m", "x=9; y=8", "x=9; y=8"},
      {"2", "", "", "2"},
  };
  server.on("/c", CannedResponse{.body = "ok"});
  for (const Case& c : cases) {
    server.clearRequests();
    SetMarketCookie(c.market);
    std::string url = server.url("/c"), cookie = c.argument;
    EXPECT_EQ(HttpFetch(url, "", cookie), "ok");
    EXPECT_EQ(cookie, c.leftInArgument) << c.argument;
    // An empty Cookie still goes out, with nothing after the colon.
    EXPECT_EQ(Only().header("Cookie"), c.sent) << c.argument;
  }

  // Line breaks inside a pasted cookie text never start a header of their own.
  server.clearRequests();
  EXPECT_EQ(Fetch(server.url("/c"), "r\r\nX-Referer-Line: 1", "a=1\r\nX-Cookie-Line: 1"), "ok");
  RecordedRequest r = Only();
  EXPECT_EQ(r.header("Cookie"), "a=1X-Cookie-Line: 1");
  EXPECT_EQ(r.header("X-Cookie-Line"), std::nullopt);
  EXPECT_EQ(r.header("X-Referer-Line"), std::nullopt);
}

TEST_F(HttpTest, AddressIsTrimmedAndProtocolRelativeBecomesHttp) {
  const std::string hostPath = "//" + Host() + "/item.htm?id=1";
  struct Case {
    std::string given, stored, target;
  } cases[] = {
      {"  " + hostPath + " ", "http:" + hostPath, "/item.htm?id=1"},
      {"\xA1\xA1" + hostPath + "\xA1\xA1", "http:" + hostPath, "/item.htm?id=1"},
      {" " + server.url("/item.htm?id=1"), server.url("/item.htm?id=1"), "/item.htm?id=1"},
      {server.url("/a b"), server.url("/a b"), "/a%20b"},
  };
  server.on("/item.htm", CannedResponse{.body = "item"});
  server.on("/a%20b", CannedResponse{.body = "item"});
  for (const Case& c : cases) {
    server.clearRequests();
    std::string url = c.given, cookie = "2";
    EXPECT_EQ(HttpFetch(url, "", cookie), "item") << c.given;
    EXPECT_EQ(url, c.stored);
    EXPECT_EQ(Only().target, c.target);
  }
}

TEST_F(HttpTest, RedirectsAreFollowedWithTheSameHeaders) {
  SetMarketCookie("t=m");
  server.on("/r1", CannedResponse::Redirect("/r2"));
  server.on("/r2", CannedResponse::Redirect(server.url("/r3?x=1"), 301));
  server.on("/r3", CannedResponse{.headers = {{"X-Final", "yes"}}, .body = "final"});
  EXPECT_EQ(Fetch(server.url("/r1"), "http://ref/"), "final");
  auto seen = server.requests();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[2].target, "/r3?x=1");
  EXPECT_EQ(seen[2].header("Cookie"), "t=m");
  EXPECT_EQ(seen[2].header("Referer"), "http://ref/");

  // A redirect loop ends in failure rather than running on.
  server.on("/loop", CannedResponse::Redirect("/loop"));
  EXPECT_EQ(Fetch(server.url("/loop")), "");
}

TEST_F(HttpTest, CookieDoesNotFollowARedirectToAnotherHost) {
  RecordingServer other;
  other.on("/there", CannedResponse{.body = "there"});
  server.on("/away", CannedResponse::Redirect("http://localhost:" + std::to_string(other.port()) + "/there"));
  SetMarketCookie("t=secret");
  SetServiceCookie("s=secret");
  EXPECT_EQ(Fetch(server.url("/away")), "there");
  server.on("/svc/away", CannedResponse::Redirect("http://localhost:" + std::to_string(other.port()) + "/there"));
  std::string path = "away";
  EXPECT_EQ(ServiceGet(path), "there");
  auto seen = other.requests();
  ASSERT_EQ(seen.size(), 2u);
  for (const auto& r : seen) {
    EXPECT_EQ(r.header("Cookie"), std::nullopt);
    EXPECT_EQ(r.header("Accept"), ACCEPT_VALUE);
  }
}

TEST_F(HttpTest, BodyIsHandedBackAsGbk) {
  const std::string gbk = G("天猫商品");
  const std::string utf8 = "\xE5\xA4\xA9\xE7\x8C\xAB\xE5\x95\x86\xE5\x93\x81";  // 天猫商品
  const std::string big5 = "\xBB\x4F\xC6\x57";                                  // 臺灣
  struct Case {
    const char* name;
    std::string contentType, body, expected;
  } cases[] = {
      {"declared gbk", "text/html; charset=GBK", "<p>" + gbk, "<p>" + gbk},
      {"json utf-8", "application/json;charset=utf-8", "{\"t\":\"" + utf8 + "\"}", "{\"t\":\"" + gbk + "\"}"},
      {"undeclared utf-8", "text/html", utf8, gbk},
      {"undeclared gbk", "text/html", gbk, gbk},
      {"meta charset", "text/html",
       "<html><head><META HTTP-EQUIV=\"Content-Type\" content=\"text/html; charset=big5\">" + big5,
       "<html><head><META HTTP-EQUIV=\"Content-Type\" content=\"text/html; charset=big5\">" + G("臺灣")},
      {"meta charset short form", "", "<meta charset='utf-8'>" + utf8, "<meta charset='utf-8'>" + gbk},
      {"header wins over meta", "text/html; charset=\"utf-8\"", "<meta charset=gbk>" + utf8,
       "<meta charset=gbk>" + gbk},
      {"utf-8 byte order mark", "text/plain", "\xEF\xBB\xBF" + utf8, gbk},
  };
  for (const Case& c : cases) {
    CannedResponse r{.body = c.body};
    if (!c.contentType.empty()) r.headers = {{"Content-Type", c.contentType}};
    server.on("/page", r);
    EXPECT_EQ(Fetch(server.url("/page")), c.expected) << c.name;
  }
}

TEST_F(HttpTest, ErrorStatusStillHandsBackTheBody) {
  server.on("/gone", CannedResponse{.status = 404, .body = "no such item"});
  server.on("/svc/boom", CannedResponse{.status = 500, .body = "{\"err\":1}"});
  EXPECT_EQ(Fetch(server.url("/gone")), "no such item");
  std::string path = "boom";
  EXPECT_EQ(ServiceGet(path), "{\"err\":1}");
}

TEST_F(HttpTest, ResponseHeadersOfTheFinalAnswerKeepTheRedirectsCookies) {
  SetMarketCookie("t=m");
  server.on("/browse/ad_search.htm",
            CannedResponse{.status = 302,
                           .headers = {{"Location", "/next"}, {"Set-Cookie", "cna=abc; path=/"}, {"X-Hop", "1"}},
                           .body = "x"});
  server.on("/next",
            CannedResponse{.status = 301, .headers = {{"Location", "/final"}, {"set-cookie", "t=1"}}, .body = ""});
  server.on("/final", CannedResponse{.headers = {{"Set-Cookie", "v=2"}, {"X-Final", "yes"}}, .body = "ok"});
  HttpReport report;
  EXPECT_EQ(FetchResponseHeaders(server.url("/browse/ad_search.htm"), "", &report),
            "Set-Cookie: cna=abc; path=/\r\nset-cookie: t=1\r\n"
            "Set-Cookie: v=2\r\nX-Final: yes\r\nContent-Length: 2\r\nConnection: close\r\n");
  EXPECT_EQ(report.failure, FailureKind::None);
  auto seen = server.requests();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[2].target, "/final");
  EXPECT_EQ(seen[2].header("Cookie"), "t=m");

  // Without a redirect the block is the answer's own.
  EXPECT_EQ(FetchResponseHeaders(server.url("/final"), ""),
            "Set-Cookie: v=2\r\nX-Final: yes\r\nContent-Length: 2\r\nConnection: close\r\n");
}

TEST_F(HttpTest, MarketCookieStaysWithinTheMarketplacesDomains) {
  RecordingServer other;  // reached as "localhost", another host than 127.0.0.1
  other.on("/there", CannedResponse{.body = "there"});
  server.on("/away", CannedResponse::Redirect("http://localhost:" + std::to_string(other.port()) + "/there"));
  SetMarketCookie("t=secret");
  struct Case {
    std::string domainSuffix, cookieDomains;
    bool kept;
  } cases[] = {
      {".127.0.0.1", ".localhost", true},
      {".127.0.0.1", ".tmall.com, localhost", true},  // blanks around, dot put in front
      {".127.0.0.1", "", false},
      {".127.0.0.1", ".host", false},  // "localhost" does not end in ".host"
      {".taobao.com", ".tmall.com", false},
  };
  for (const Case& c : cases) {
    Endpoints e = *CurrentEndpoints();
    e.MARKET_DOMAIN_SUFFIX = c.domainSuffix;
    e.MARKET_COOKIE_DOMAINS = c.cookieDomains;
    SetEndpoints(e);
    other.clearRequests();
    EXPECT_EQ(Fetch(server.url("/away")), "there");
    FetchResponseHeaders(server.url("/away"), "");
    auto seen = other.requests();
    ASSERT_EQ(seen.size(), 2u);
    for (const auto& r : seen)
      EXPECT_EQ(r.header("Cookie"), c.kept ? std::optional<std::string>("t=secret") : std::nullopt)
          << c.domainSuffix << " " << c.cookieDomains;
  }
  // The service session never goes to another host.
  other.clearRequests();
  SetServiceCookie("s=secret");
  server.on("/svc/away", CannedResponse::Redirect("http://localhost:" + std::to_string(other.port()) + "/there"));
  std::string path = "away";
  EXPECT_EQ(ServiceGet(path), "there");
  ASSERT_EQ(other.requestCount(), 1u);
  EXPECT_EQ(other.requests()[0].header("Cookie"), std::nullopt);
}

TEST_F(HttpTest, EachFailureIsReportedAndTheTextStaysThePartsText) {
  HttpLimits limits = CurrentHttpLimits();
  limits.stallTimeoutSeconds = 1;
  limits.maxBodyBytes = 1000;
  SetHttpLimits(limits);
  server.on("/ok", CannedResponse{.body = "page"});
  server.on("/404", CannedResponse{.status = 404, .body = "no such item"});
  server.on("/500", CannedResponse{.status = 500, .body = "boom"});
  server.on("/dropped", CannedResponse{.body = "", .contentLength = 900});
  server.on("/cut", CannedResponse{.body = "<html><title>half", .contentLength = 900});
  server.on("/hang", CannedResponse{.hang = true});
  server.on("/big", CannedResponse{.body = std::string(1001, 'x')});
  server.on("/big-unsized", CannedResponse{.body = std::string(1001, 'x'), .sendContentLength = false});
  server.on("/limit", CannedResponse{.body = std::string(1000, 'y'), .sendContentLength = false});
  server.on("/to-file", CannedResponse::Redirect("file:///etc/passwd"));
  int closedPort;
  {
    RecordingServer gone;
    closedPort = gone.port();
  }
  const std::string noScheme = "127.0.0.1:" + std::to_string(server.port()) + "/ok";
  struct Case {
    std::string url, text;
    FailureKind failure;
    long status;
    size_t requests;
  } cases[] = {
      {server.url("/ok"), "page", FailureKind::None, 200, 1},
      {server.url("/404"), "no such item", FailureKind::ErrorStatus, 404, 1},
      {server.url("/500"), "boom", FailureKind::ErrorStatus, 500, 1},
      {server.url("/dropped"), "", FailureKind::CutShort, 200, 1},
      {server.url("/cut"), "", FailureKind::CutShort, 200, 1},
      {server.url("/hang"), "", FailureKind::NoAnswer, 0, 1},
      {"http://127.0.0.1:" + std::to_string(closedPort) + "/", "", FailureKind::NoAnswer, 0, 0},
      {server.url("/big"), "", FailureKind::Refused, 200, 1},
      {server.url("/big-unsized"), "", FailureKind::Refused, 200, 1},
      {server.url("/limit"), std::string(1000, 'y'), FailureKind::None, 200, 1},
      {server.url("/to-file"), "", FailureKind::Refused, 302, 1},
      // Only http and https addresses are requested: curl would guess "http" here.
      {noScheme, "", FailureKind::Refused, 0, 0},
      {"item.taobao.com/item.htm?id=1", "", FailureKind::Refused, 0, 0},
      {"ftp://127.0.0.1/", "", FailureKind::Refused, 0, 0},
      {"", "", FailureKind::Refused, 0, 0},
      {"HTTP://127.0.0.1:" + std::to_string(server.port()) + "/ok", "page", FailureKind::None, 200, 1},
  };
  for (const Case& c : cases) {
    server.clearRequests();
    std::string url = c.url, cookie = "2";
    HttpReport report;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(HttpFetch(url, "", cookie, &report), c.text) << c.url;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6)) << c.url;
    EXPECT_EQ(report.failure, c.failure) << c.url;
    EXPECT_EQ(report.status, c.status) << c.url;
    EXPECT_EQ(report.attempts, 1) << c.url;
    EXPECT_EQ(server.requestCount(), c.requests) << c.url;
  }
  HttpReport report;
  EXPECT_EQ(FetchResponseHeaders(server.url("/hang"), "", &report), "");
  EXPECT_EQ(report.failure, FailureKind::NoAnswer);
  EXPECT_EQ(ServicePost("../big", "", &report).body, "");
  EXPECT_EQ(report.failure, FailureKind::Refused);
}

TEST_F(HttpTest, RetriesResendAFailedGetWithGrowingPauses) {
  HttpLimits limits = CurrentHttpLimits();
  limits.stallTimeoutSeconds = 1;
  limits.retries = 2;
  SetHttpLimits(limits);
  // Each path fails its first `failures` requests in its own way, then answers.
  auto failingThenOk = [&](const std::string& path, CannedResponse failure, int failures) {
    auto count = std::make_shared<int>(0);
    server.on(path, RecordingServer::Handler([=](const RecordedRequest&) {
                return (*count)++ < failures ? failure : CannedResponse{.body = "fine"};
              }));
  };
  struct Case {
    std::string path;
    CannedResponse failure;
    int failures;
    std::string text;
    FailureKind reported;
    int attempts;
  } cases[] = {
      {"/500-twice", {.status = 500, .body = "boom"}, 2, "fine", FailureKind::None, 3},
      {"/503-always", {.status = 503, .body = "busy"}, 9, "busy", FailureKind::ErrorStatus, 3},
      {"/dropped-once", {.body = "", .contentLength = 100}, 1, "fine", FailureKind::None, 2},
      {"/hang-once", {.hang = true}, 1, "fine", FailureKind::None, 2},
      {"/404-once", {.status = 404, .body = "gone"}, 1, "gone", FailureKind::ErrorStatus, 1},
  };
  for (const Case& c : cases) {
    failingThenOk(c.path, c.failure, c.failures);
    server.clearRequests();
    HttpReport report;
    std::string url = server.url(c.path), cookie = "2";
    EXPECT_EQ(HttpFetch(url, "", cookie, &report), c.text) << c.path;
    EXPECT_EQ(report.failure, c.reported) << c.path;
    EXPECT_EQ(report.attempts, c.attempts) << c.path;
    EXPECT_EQ(server.requestCount(), static_cast<size_t>(c.attempts)) << c.path;
  }

  // The lookup service's GETs are resent as well.
  failingThenOk("/svc/flaky", {.status = 500, .body = "boom"}, 1);
  server.clearRequests();
  std::string path = "flaky";
  EXPECT_EQ(ServiceGet(path), "fine");
  EXPECT_EQ(server.requestCount(), 2u);

  // The login POST goes out once, whatever the setting.
  failingThenOk("/svc/login", {.status = 500, .body = "boom"}, 1);
  server.clearRequests();
  HttpReport report;
  EXPECT_EQ(ServicePost("login", "a=1", &report).body, "boom");
  EXPECT_EQ(report.attempts, 1);
  EXPECT_EQ(server.requestCount(), 1u);

  // retries=0 sends once.
  limits.retries = 0;
  SetHttpLimits(limits);
  failingThenOk("/once", {.status = 500, .body = "boom"}, 1);
  server.clearRequests();
  EXPECT_EQ(Fetch(server.url("/once")), "boom");
  EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(HttpTest, TotalTimeoutAndStallEndATricklingAnswer) {
  // 100 bytes every 100 ms: fast enough never to stall at 30 s, slow enough to
  // take 20 s in all.
  server.on("/trickle", CannedResponse{.body = std::string(20000, 'a'), .trickleBytes = 100, .trickleIntervalMs = 100});
  // 10 bytes every 300 ms: under 1 KB a second.
  server.on("/drip", CannedResponse{.body = std::string(2000, 'b'), .trickleBytes = 10, .trickleIntervalMs = 300});
  struct Case {
    const char* path;
    long stall, total;
  } cases[] = {{"/trickle", 30, 1}, {"/drip", 1, 60}};
  for (const Case& c : cases) {
    HttpLimits limits = CurrentHttpLimits();
    limits.stallTimeoutSeconds = c.stall;
    limits.totalTimeoutSeconds = c.total;
    SetHttpLimits(limits);
    HttpReport report;
    const auto start = std::chrono::steady_clock::now();
    std::string url = server.url(c.path), cookie = "2";
    EXPECT_EQ(HttpFetch(url, "", cookie, &report), "") << c.path;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8)) << c.path;
    EXPECT_EQ(report.failure, FailureKind::CutShort) << c.path;
  }
}

TEST_F(HttpTest, ServiceGetReplacesThePathByTheFullAddress) {
  server.on("/svc/index.php/Getinfo/getJifen", CannedResponse{.body = "{\"err\":0}"});
  std::string path = " index.php/Getinfo/getJifen\xA1\xA1";
  EXPECT_EQ(ServiceGet(path), "{\"err\":0}");
  EXPECT_EQ(path, server.url("/svc/index.php/Getinfo/getJifen"));
  EXPECT_EQ(Only().target, "/svc/index.php/Getinfo/getJifen");
}

TEST_F(HttpTest, ServicePostFollowsToTheFinalAnswer) {
  server.on("/svc/index.php/Login/handle_login",
            CannedResponse{.status = 302, .headers = {{"Location", "/svc/done"}}, .body = ""});
  server.on("/svc/done", CannedResponse{.headers = {{"Set-Cookie", "PHPSESSID=42; path=/"},
                                                    {"Content-Type", "text/html; charset=utf-8"}},
                                        .body = "{\"data\":{\"err\":0}}"});
  auto result = ServicePost("index.php/Login/handle_login", "username_box=a&password_box=b");
  EXPECT_EQ(result.body, "{\"data\":{\"err\":0}}");
  EXPECT_EQ(result.headers,
            "Set-Cookie: PHPSESSID=42; path=/\r\nContent-Type: text/html; charset=utf-8\r\n"
            "Content-Length: 18\r\nConnection: close\r\n");
  auto seen = server.requests();
  ASSERT_EQ(seen.size(), 2u);
  // After a 302 the browser convention applies: the follow-up is a GET without a body.
  EXPECT_EQ(seen[1].method, "GET");
  EXPECT_EQ(seen[1].header("content-type"), std::nullopt);
  EXPECT_EQ(seen[1].body, "");
}

TEST_F(HttpTest, StopTokenAbortsARequestInFlight) {
  HttpLimits limits = CurrentHttpLimits();
  limits.stallTimeoutSeconds = 60;
  SetHttpLimits(limits);
  server.on("/hang", CannedResponse{.hang = true});
  std::stop_source source;
  auto result = std::async(std::launch::async, [&] {
    SetThreadStopToken(source.get_token());
    return Fetch(server.url("/hang"));
  });
  ASSERT_TRUE(server.waitForRequests(1, std::chrono::seconds(5)));
  source.request_stop();
  ASSERT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(result.get(), "");

  // A stopped token makes later requests on the thread fail at once.
  SetThreadStopToken(source.get_token());
  server.on("/ok", CannedResponse{.body = "ok"});
  EXPECT_EQ(Fetch(server.url("/ok")), "");
  SetThreadStopToken({});
  EXPECT_EQ(Fetch(server.url("/ok")), "ok");

  // A stop also ends the pause before a resend (ten resends would take minutes).
  limits.retries = 10;
  SetHttpLimits(limits);
  server.on("/busy", CannedResponse{.status = 503, .body = "busy"});
  server.clearRequests();
  std::stop_source second;
  auto busy = std::async(std::launch::async, [&] {
    SetThreadStopToken(second.get_token());
    return Fetch(server.url("/busy"));
  });
  ASSERT_TRUE(server.waitForRequests(2, std::chrono::seconds(5)));
  second.request_stop();
  ASSERT_EQ(busy.wait_for(std::chrono::seconds(3)), std::future_status::ready);
  busy.get();  // the last answer, or nothing when the stop cut the second one off
  EXPECT_LE(server.requestCount(), 3u);
}

// An https server on loopback with a certificate of our own authority, made
// fresh with the openssl tool for each run.
class HttpsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("kelvora-tls-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    const std::string d = dir_.string();
    const std::string script =
        "cd '" + d +
        "' && "
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
        "-subj /CN=KelvoraTestCA -keyout ca.key -out ca.pem "
        "-addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign >/dev/null 2>&1 && "
        "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=127.0.0.1 "
        "-keyout server.key -out server.csr >/dev/null 2>&1 && "
        "printf 'subjectAltName=IP:127.0.0.1\\n' > ext.cnf && "
        "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
        "-extfile ext.cnf -out server.pem >/dev/null 2>&1";
    if (std::system(script.c_str()) != 0) GTEST_SKIP() << "openssl cannot make test certificates";
    tls_ = std::make_unique<httplib::SSLServer>((d + "/server.pem").c_str(), (d + "/server.key").c_str());
    ASSERT_TRUE(tls_->is_valid());
    // The client keeps its connection; the server must not wait for it when it stops.
    tls_->set_keep_alive_timeout(0);
    tls_->Get("/ok", [](const httplib::Request&, httplib::Response& res) { res.set_content("secure", "text/plain"); });
    tls_->Get("/down", [this](const httplib::Request&, httplib::Response& res) {
      res.status = 302;
      res.set_header("Location", plain_.url("/plain"));
      res.set_header("Set-Cookie", "hop=1");
    });
    port_ = tls_->bind_to_any_port("127.0.0.1");
    // The socket listens once bound: a client may connect before the thread runs.
    thread_ = std::thread([this] { tls_->listen_after_bind(); });
    plain_.on("/plain", CannedResponse{.headers = {{"X-Plain", "1"}}, .body = "plain"});
    SetMarketCookie("t=m");
  }
  void TearDown() override {
    if (tls_) tls_->stop();
    if (thread_.joinable()) thread_.join();
    std::filesystem::remove_all(dir_);
  }
  std::string url(const std::string& path) const { return "https://127.0.0.1:" + std::to_string(port_) + path; }
  // Settings naming the test authority as [http] ca_file.
  void TrustTestAuthority() {
    std::ofstream(dir_ / "k.ini") << "[http]\nca_file=ca.pem\n";
    Settings settings;
    std::string error;
    ASSERT_TRUE(LoadSettingsFile((dir_ / "k.ini").string(), settings, error)) << error;
    ASSERT_TRUE(ApplySettings(settings, error)) << error;
  }

  std::filesystem::path dir_;
  std::unique_ptr<httplib::SSLServer> tls_;
  std::thread thread_;
  int port_ = 0;
  test::ClientStateGuard restore_;
  RecordingServer plain_;
};

TEST_F(HttpsTest, ExtraAuthorityIsTrustedBesideTheSystemOnes) {
  HttpReport report;
  std::string address = url("/ok"), cookie = "2";
  EXPECT_EQ(HttpFetch(address, "", cookie, &report), "");
  EXPECT_EQ(report.failure, FailureKind::Refused);  // an unknown authority

  TrustTestAuthority();
  address = url("/ok");
  EXPECT_EQ(HttpFetch(address, "", cookie, &report), "secure");
  EXPECT_EQ(report.failure, FailureKind::None);

  // The bundle handed to curl is the system's with ours after it, not ours alone.
  std::ifstream in(dir_ / "ca.pem", std::ios::binary);
  const std::string pem{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const std::string bundle = *CurrentHttpLimits().caBundle;
  ASSERT_GE(bundle.size(), pem.size());
  EXPECT_EQ(bundle.substr(bundle.size() - pem.size()), pem);
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  if (info->cainfo && std::filesystem::is_regular_file(info->cainfo)) {
    EXPECT_GT(bundle.size(), pem.size() + 1000);
    EXPECT_NE(bundle.find("-----BEGIN CERTIFICATE-----"), bundle.size() - pem.size());
  }
}

// The handle keeps its trust between requests, and follows the settings when
// they change: withdrawn, the authority is unknown again; given back, trusted.
TEST_F(HttpsTest, TrustFollowsTheSettingsFromOneRequestToTheNext) {
  HttpReport report;
  std::string cookie = "2";
  const struct Step {
    bool trusted;
    std::string body;
    FailureKind failure;
  } steps[] = {{true, "secure", FailureKind::None},
               {true, "secure", FailureKind::None},
               {false, "", FailureKind::Refused},
               {true, "secure", FailureKind::None},
               {false, "", FailureKind::Refused}};
  int n = 0;
  for (const Step& step : steps) {
    if (step.trusted)
      TrustTestAuthority();
    else
      SetHttpLimits(HttpLimits{});
    std::string address = url("/ok");
    EXPECT_EQ(HttpFetch(address, "", cookie, &report), step.body) << "step " << n;
    EXPECT_EQ(report.failure, step.failure) << "step " << n;
    ++n;
  }
}

TEST_F(HttpsTest, HeaderRequestDoesNotFollowFromHttpsToHttp) {
  TrustTestAuthority();
  // As the client does by default, the redirect to http is the answer itself.
  const std::string block = FetchResponseHeaders(url("/down"), "");
  EXPECT_NE(block.find("Location: " + plain_.url("/plain") + "\r\n"), std::string::npos) << block;
  EXPECT_NE(block.find("Set-Cookie: hop=1\r\n"), std::string::npos) << block;
  EXPECT_EQ(plain_.requestCount(), 0u);
  // The page request follows it, as its redirect options say.
  std::string address = url("/down"), cookie = "2";
  EXPECT_EQ(HttpFetch(address, "", cookie), "plain");
  EXPECT_EQ(plain_.requestCount(), 1u);
}

// Text that needs no conversion keeps the buffer it arrived in; the rest is converted.
TEST(DecodeBody, GbkAndAsciiBodiesAreHandedOverWithoutACopy) {
  const std::string gbk = G("夏季新款连衣裙") + std::string(64, '-');
  const std::string utf8 = "\xE5\xA4\x8F" + std::string(64, '-');  // 夏
  struct Case {
    const char* name;
    std::string contentType, body, expected;
    bool sameBuffer;
  } cases[] = {
      {"declared gbk", "text/html;charset=GBK", gbk, gbk, true},
      {"gbk by its meta tag", "text/html", "<meta charset=\"gbk\">" + gbk, "<meta charset=\"gbk\">" + gbk, true},
      {"undeclared gbk", "", gbk, gbk, true},
      {"ascii declared utf-8", "application/json; charset=utf-8", std::string(80, 'a'), std::string(80, 'a'), true},
      {"utf-8", "text/html; charset=utf-8", utf8, G("夏") + std::string(64, '-'), false},
      {"byte order mark", "text/html;charset=GBK", "\xEF\xBB\xBF" + utf8, G("夏") + std::string(64, '-'), false},
  };
  for (const Case& c : cases) {
    std::string body = c.body;
    const char* buffer = body.data();
    const std::string text = DecodeBody(std::move(body), c.contentType);
    EXPECT_EQ(text, c.expected) << c.name;
    EXPECT_EQ(text.data() == buffer, c.sameBuffer) << c.name;
  }
}

}  // namespace
}  // namespace kelvora
