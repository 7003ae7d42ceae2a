#include "net/http.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "net/endpoints.h"
#include "net/shared_state.h"
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
    HttpLimits limits;
    limits.connectTimeoutSeconds = 2;
    limits.stallTimeoutSeconds = 2;
    SetHttpLimits(limits);
    SetMarketCookie("");
    SetServiceCookie("");
  }
  void TearDown() override {
    SetEndpoints(DefaultEndpoints());
    SetHttpLimits(HttpLimits{});
    SetThreadStopToken({});
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
              ElementsAre(Pair("Host", Host()), Pair("Accept", ACCEPT_VALUE),
                          Pair("Accept-Language", "zh-CN"), Pair("Connection", "Keep-Alive"),
                          Pair("User-Agent", DESKTOP_UA), Pair("Referer", "http://ref/"),
                          Pair("Cookie", "t=market")));
  EXPECT_THAT(seen[1].headers,
              ElementsAre(Pair("Host", Host()), Pair("Accept", ACCEPT_VALUE),
                          Pair("Accept-Language", "zh-CN"), Pair("Connection", "Keep-Alive"),
                          Pair("User-Agent", DESKTOP_UA), Pair("Referer", ""),
                          Pair("Cookie", "t=market")));
  EXPECT_THAT(seen[2].headers,
              ElementsAre(Pair("Host", Host()), Pair("Accept", ACCEPT_VALUE),
                          Pair("Accept-Language", "zh-CN"), Pair("User-Agent", SERVICE_UA),
                          Pair("Cookie", "PHPSESSID=svc")));
  // The service UA ends with a blank that must reach the wire.
  EXPECT_NE(seen[2].head.find("qrn_v3.3) like Gecko \r\n"), std::string::npos);
  EXPECT_EQ(seen[3].method, "POST");
  EXPECT_EQ(seen[3].target, "/svc/q");
  EXPECT_EQ(seen[3].body, "username_box=u&password_box=p");
  EXPECT_THAT(seen[3].headers,
              ElementsAre(Pair("Host", Host()), Pair("Accept", ACCEPT_VALUE),
                          Pair("Accept-Language", "zh-CN"), Pair("Connection", "Keep-Alive"),
                          Pair("User-Agent", SERVICE_LOGIN_UA),
                          Pair("content-type", "application/x-www-form-urlencoded"),
                          Pair("Cookie", "PHPSESSID=svc"), Pair("Content-Length", "29")));
  for (const auto& r : seen) EXPECT_EQ(r.version, "HTTP/1.1");
}

TEST_F(HttpTest, CookieArgumentOrStoredMarketCookie) {
  struct Case {
    std::string argument, market, sent, leftInArgument;
  } cases[] = {
      {"2", "t=m", "t=m", "2"},
      {"", "t=m", "t=m", ""},
      {" ", "t=m", "t=m", ""},
      {"\xA1\xA1" "x \xA1\xA1", "t=m", "t=m", "x"},
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
  server.on("/away", CannedResponse::Redirect("http://localhost:" + std::to_string(other.port()) +
                                              "/there"));
  SetMarketCookie("t=secret");
  SetServiceCookie("s=secret");
  EXPECT_EQ(Fetch(server.url("/away")), "there");
  server.on("/svc/away", CannedResponse::Redirect("http://localhost:" +
                                                  std::to_string(other.port()) + "/there"));
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
      {"json utf-8", "application/json;charset=utf-8", "{\"t\":\"" + utf8 + "\"}",
       "{\"t\":\"" + gbk + "\"}"},
      {"undeclared utf-8", "text/html", utf8, gbk},
      {"undeclared gbk", "text/html", gbk, gbk},
      {"meta charset", "text/html",
       "<html><head><META HTTP-EQUIV=\"Content-Type\" content=\"text/html; charset=big5\">" + big5,
       "<html><head><META HTTP-EQUIV=\"Content-Type\" content=\"text/html; charset=big5\">" +
           G("臺灣")},
      {"meta charset short form", "", "<meta charset='utf-8'>" + utf8,
       "<meta charset='utf-8'>" + gbk},
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

TEST_F(HttpTest, FailuresGiveEmptyTextWithinTheBounds) {
  HttpLimits limits = CurrentHttpLimits();
  limits.stallTimeoutSeconds = 1;
  limits.maxBodyBytes = 1000;
  SetHttpLimits(limits);
  server.on("/hang", CannedResponse{.hang = true});
  server.on("/big", CannedResponse{.body = std::string(1001, 'x')});
  server.on("/big-unsized", CannedResponse{.body = std::string(1001, 'x'), .sendContentLength = false});
  server.on("/to-file", CannedResponse::Redirect("file:///etc/passwd"));
  server.on("/limit", CannedResponse{.body = std::string(1000, 'y'), .sendContentLength = false});
  int closedPort;
  {
    RecordingServer gone;
    closedPort = gone.port();
  }
  struct Case {
    std::string url, expected;
  } cases[] = {
      {server.url("/hang"), ""},
      {server.url("/big"), ""},
      {server.url("/big-unsized"), ""},
      {server.url("/limit"), std::string(1000, 'y')},
      {"file:///etc/passwd", ""},
      {server.url("/to-file"), ""},
      {"http://127.0.0.1:" + std::to_string(closedPort) + "/", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Fetch(c.url), c.expected) << c.url;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6)) << c.url;
  }
  EXPECT_EQ(FetchResponseHeaders(server.url("/hang"), ""), "");
  EXPECT_EQ(ServicePost("../big", "").body, "");
}

TEST_F(HttpTest, ResponseHeaderBlockOfTheAnswerItself) {
  server.on("/browse/ad_search.htm",
            CannedResponse{.status = 302,
                           .headers = {{"Location", "/elsewhere"},
                                       {"Set-Cookie", "cna=abc; path=/"},
                                       {"set-cookie", "t=1"}},
                           .body = "x"});
  EXPECT_EQ(FetchResponseHeaders(server.url("/browse/ad_search.htm"), ""),
            "Location: /elsewhere\r\nSet-Cookie: cna=abc; path=/\r\nset-cookie: t=1\r\n"
            "Content-Length: 1\r\nConnection: close\r\n");
  EXPECT_EQ(server.requestCount(), 1u);  // the redirect is not followed
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
}

}  // namespace
}  // namespace kelvora
