// Kept-alive connections: which connection each request goes out on, and what
// happens when a kept connection dies under a request.
#include <curl/curl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "net/endpoints.h"
#include "net/http.h"
#include "net/settings.h"
#include "net/shared_state.h"
#include "support/client_state.h"
#include "support/recording_server.h"

namespace kelvora {
namespace {

using test::CannedResponse;
using test::RecordedRequest;
using test::RecordingServer;
using ::testing::ElementsAre;
using ::testing::Pair;

std::vector<int> ConnectionsOf(const std::vector<RecordedRequest>& seen) {
  std::vector<int> out;
  for (const auto& r : seen) out.push_back(r.connection);
  return out;
}

class KeepAliveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Endpoints e = DefaultEndpoints();
    e.SERVICE_BASE = server.url("/svc/");
    SetEndpoints(e);
    SetHttpLimits(test::QuickHttpLimits());
    SetMarketCookie("t=m");
    SetServiceCookie("s=1");
    server.on("/ok", CannedResponse{.body = "ok"});
    server.on("/svc/ok", CannedResponse{.body = "svc"});
  }
  std::string Fetch(const std::string& address, HttpReport* report = nullptr) {
    std::string url = address, cookie = "2";
    return HttpFetch(url, "", cookie, report);
  }
  std::string Host() const { return "127.0.0.1:" + std::to_string(server.port()); }

  test::ClientStateGuard restore_;
  RecordingServer server{{.keepAlive = true}};
};

TEST_F(KeepAliveTest, ConsecutiveRequestsToOneHostShareOneConnection) {
  const uint64_t before = HttpConnectionsOpened();
  const int n = 6;
  for (int i = 0; i < n; ++i) {
    EXPECT_EQ(Fetch(server.url("/ok")), "ok");
    std::string path = "ok";
    EXPECT_EQ(ServiceGet(path), "svc");
  }
  EXPECT_NE(FetchResponseHeaders(server.url("/ok"), ""), "");
  EXPECT_EQ(HttpConnectionsOpened() - before, 1u);
  EXPECT_EQ(server.connectionCount(), 1);
  const auto seen = server.requests();
  ASSERT_EQ(seen.size(), 2u * n + 1);
  for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i].onConnection, static_cast<int>(i));
  // The heads are what a fresh connection carries, request after request.
  for (size_t i = 0; i + 1 < seen.size(); i += 2) {
    EXPECT_THAT(seen[i].headers,
                ElementsAre(Pair("Host", Host()), Pair("Accept", ACCEPT_VALUE), Pair("Accept-Language", "zh-CN"),
                            Pair("Connection", "Keep-Alive"), Pair("User-Agent", DESKTOP_UA), Pair("Referer", ""),
                            Pair("Cookie", "t=m")));
    EXPECT_THAT(seen[i + 1].headers,
                ElementsAre(Pair("Host", Host()), Pair("Accept", ACCEPT_VALUE), Pair("Accept-Language", "zh-CN"),
                            Pair("User-Agent", SERVICE_UA), Pair("Cookie", "s=1")));
  }
}

TEST_F(KeepAliveTest, EachHostKeepsItsOwnConnection) {
  const std::string viaName = "http://localhost:" + std::to_string(server.port()) + "/ok";
  const uint64_t before = HttpConnectionsOpened();
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(Fetch(server.url("/ok")), "ok");
    EXPECT_EQ(Fetch(viaName), "ok");
  }
  EXPECT_EQ(HttpConnectionsOpened() - before, 2u);
  const auto seen = server.requests();
  ASSERT_EQ(seen.size(), 8u);
  std::set<int> byAddress, byName;
  for (size_t i = 0; i < seen.size(); ++i) (i % 2 ? byName : byAddress).insert(seen[i].connection);
  EXPECT_EQ(byAddress.size(), 1u);
  EXPECT_EQ(byName.size(), 1u);
  EXPECT_NE(*byAddress.begin(), *byName.begin());
}

// What becomes of a request whose kept connection the server lets go: closed while
// idle, or closed once the request was read without answering. Only a GET is sent
// once more, on a connection of its own; it is not one of the [http] retries.
TEST_F(KeepAliveTest, AConnectionTheServerClosedIsReplaced) {
  struct Case {
    const char* name;
    CannedResponse first;          // the answer on the connection's first request
    bool dropOnReuse, dropAlways;  // later requests: dropped on a kept connection / always
    std::string text;
    FailureKind failure;
    std::vector<int> connections;  // of the requests that arrived
  } cases[] = {
      {"closed while idle", {.body = "one", .closeAfter = true}, false, false, "ok", FailureKind::None, {1, 2}},
      {"dropped on the kept connection", {.body = "one"}, true, false, "ok", FailureKind::None, {1, 1, 2}},
      {"dropped on every connection", {.body = "one"}, false, true, "", FailureKind::NoAnswer, {1, 1, 2}},
  };
  for (const Case& c : cases) {
    RecordingServer s({.keepAlive = true});
    s.on("/p", RecordingServer::Handler([&c](const RecordedRequest& r) {
           if (r.connection == 1 && r.onConnection == 0) return c.first;
           if (c.dropAlways || (c.dropOnReuse && r.onConnection > 0)) return CannedResponse{.dropConnection = true};
           return CannedResponse{.body = "ok"};
         }));
    EXPECT_EQ(Fetch(s.url("/p")), "one") << c.name;
    HttpReport report;
    EXPECT_EQ(Fetch(s.url("/p"), &report), c.text) << c.name;
    EXPECT_EQ(report.failure, c.failure) << c.name;
    EXPECT_EQ(report.attempts, 1) << c.name;
    EXPECT_EQ(ConnectionsOf(s.requests()), c.connections) << c.name;
  }

  // A GET that fails on a connection of its own goes out once.
  RecordingServer s({.keepAlive = true});
  s.on("/p", CannedResponse{.dropConnection = true});
  HttpReport report;
  EXPECT_EQ(Fetch(s.url("/p"), &report), "");
  EXPECT_EQ(report.failure, FailureKind::NoAnswer);
  EXPECT_EQ(s.requestCount(), 1u);
}

TEST_F(KeepAliveTest, TheLoginPostIsNeverSentTwice) {
  server.on("/svc/login", CannedResponse{.dropConnection = true});
  std::string path = "ok";
  ASSERT_EQ(ServiceGet(path), "svc");  // a kept connection to the service now waits

  HttpReport report;
  const ServicePostResult result = ServicePost("login", "username_box=a&password_box=b", &report);
  EXPECT_EQ(result.body, "");
  EXPECT_EQ(result.headers, "");
  EXPECT_EQ(report.failure, FailureKind::NoAnswer);
  const auto seen = server.requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].method, "POST");
  EXPECT_NE(seen[1].connection, seen[0].connection);  // never on a kept connection

  // An answered login leaves no connection behind for the next request.
  server.on("/svc/login", CannedResponse{.body = "{\"err\":0}"});
  server.clearRequests();
  EXPECT_EQ(ServicePost("login", "a=1").body, "{\"err\":0}");
  path = "ok";
  EXPECT_EQ(ServiceGet(path), "svc");
  const auto after = server.requests();
  ASSERT_EQ(after.size(), 2u);
  EXPECT_NE(after[0].connection, after[1].connection);
  EXPECT_EQ(after[0].onConnection, 0);
}

TEST_F(KeepAliveTest, AStoppedRequestLeavesTheThreadsHandleUsable) {
  server.on("/hang", CannedResponse{.hang = true});
  std::stop_source source;
  auto run = std::async(std::launch::async, [&] {
    SetThreadStopToken(source.get_token());
    std::vector<std::string> texts{Fetch(server.url("/hang"))};
    SetThreadStopToken({});
    texts.push_back(Fetch(server.url("/ok")));
    texts.push_back(Fetch(server.url("/ok")));
    return texts;
  });
  ASSERT_TRUE(server.waitForRequests(1, std::chrono::seconds(5)));
  source.request_stop();
  ASSERT_EQ(run.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(run.get(), (std::vector<std::string>{"", "ok", "ok"}));
  // The stopped exchange's connection is not used again; the next two share one.
  const auto seen = server.requests();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_NE(seen[1].connection, seen[0].connection);
  EXPECT_EQ(seen[2].connection, seen[1].connection);
}

TEST_F(KeepAliveTest, ARedirectToAnotherHostLeavesTheCookieBehindOnAKeptConnection) {
  RecordingServer other({.keepAlive = true});
  other.on("/there", CannedResponse{.body = "there"});
  const std::string there = "http://localhost:" + std::to_string(other.port()) + "/there";
  server.on("/away", CannedResponse::Redirect(there));
  EXPECT_EQ(Fetch(there), "there");
  EXPECT_EQ(Fetch(server.url("/away")), "there");
  EXPECT_EQ(Fetch(there), "there");
  const auto seen = other.requests();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(ConnectionsOf(seen), (std::vector<int>{1, 1, 1}));
  EXPECT_EQ(seen[0].header("Cookie"), "t=m");
  EXPECT_EQ(seen[1].header("Cookie"), std::nullopt);
  EXPECT_EQ(seen[2].header("Cookie"), "t=m");
}

// https with a certificate of the test server's own authority, trusted as an
// extra authority beside the system's.
class HttpsClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HttpLimits limits = test::QuickHttpLimits();
    limits.caBundle = std::make_shared<const std::string>(CaBundleWith(server.caPem()));
    SetHttpLimits(limits);
    server.on("/ok", CannedResponse{.body = "secure"});
  }
  std::string Fetch(const std::string& address, HttpReport* report = nullptr) {
    std::string url = address, cookie = "2";
    return HttpFetch(url, "", cookie, report);
  }

  test::ClientStateGuard restore_;
  RecordingServer server{{.keepAlive = true, .tls = true}};
};

TEST_F(HttpsClientTest, SpeaksHttp11OnOneKeptConnection) {
  const uint64_t before = HttpConnectionsOpened();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Fetch(server.url("/ok")), "secure");
  EXPECT_EQ(HttpConnectionsOpened() - before, 1u);
  const auto seen = server.requests();
  ASSERT_EQ(seen.size(), 5u);
  for (const auto& r : seen) {
    EXPECT_EQ(r.connection, 1);
    EXPECT_EQ(r.alpnOffered, "http/1.1");  // never h2: the heads are HTTP/1.1 heads
    EXPECT_EQ(r.version, "HTTP/1.1");
  }
}

TEST_F(HttpsClientTest, AKeptConnectionDroppedUnderAGetIsReplaced) {
  server.on("/p", RecordingServer::Handler([](const RecordedRequest& r) {
              return r.onConnection > 0 ? CannedResponse{.dropConnection = true} : CannedResponse{.body = "fine"};
            }));
  HttpReport report;
  EXPECT_EQ(Fetch(server.url("/p")), "fine");
  EXPECT_EQ(Fetch(server.url("/p"), &report), "fine");
  EXPECT_EQ(report.attempts, 1);
  EXPECT_EQ(ConnectionsOf(server.requests()), (std::vector<int>{1, 1, 2}));
}

TEST_F(HttpsClientTest, ACertificateThatDoesNotVerifyIsRefused) {
  RecordingServer stranger({.tls = true});  // its own authority, which nobody trusts
  stranger.on("/ok", CannedResponse{.body = "secure"});
  struct Case {
    const char* name;
    std::string url;
    bool trusted;  // the server's own authority is trusted
  } cases[] = {
      {"authority not trusted", server.url("/ok"), false},
      {"another authority", stranger.url("/ok"), true},
  };
  for (const Case& c : cases) {
    HttpLimits limits = CurrentHttpLimits();
    if (!c.trusted) limits.caBundle.reset();
    SetHttpLimits(limits);
    HttpReport report;
    EXPECT_EQ(Fetch(c.url, &report), "") << c.name;
    EXPECT_EQ(report.failure, FailureKind::Refused) << c.name;
    EXPECT_EQ(FetchResponseHeaders(c.url, "", &report), "") << c.name;
    EXPECT_EQ(report.failure, FailureKind::Refused) << c.name;
  }
}

}  // namespace
}  // namespace kelvora
