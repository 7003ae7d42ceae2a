// The requests of the cookie windows: the cart test and the warm-up lookups.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "net/endpoints.h"
#include "net/http.h"
#include "net/shared_state.h"
#include "session/cart_test.h"
#include "session/warm_up.h"
#include "support/fixtures.h"
#include "support/recording_server.h"

namespace kelvora {
namespace {

using test::CannedResponse;
using test::G;
using test::RecordingServer;

class SessionRequestsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Endpoints e = DefaultEndpoints();
    e.SERVICE_BASE = server_.url("/service/");
    e.CART_SITE = server_.url("/cart");
    SetEndpoints(e);
    SetMarketCookie("");
    SetServiceCookie("");
  }
  void TearDown() override {
    SetEndpoints(DefaultEndpoints());
    SetMarketCookie("");
    SetServiceCookie("");
  }
  void cartAnswers(const std::string& gbkBody) {
    server_.on("/cart/cart.htm",
               CannedResponse{.headers = {{"Content-Type", "text/html; charset=GBK"}}, .body = gbkBody});
  }
  RecordingServer server_;
};

TEST_F(SessionRequestsTest, CartTestLooksForTheCartTitle) {
  const std::string ok = G("恭喜您。该数据可用。请复制。");
  const std::string doubtful = G("当前数据可能不正确。请重试或比对调试数据");
  struct Case {
    const char* name;
    std::string page;
    bool usable;
  } cases[] = {
      {"cart page", G("<html><head><title>淘宝网 - 我的购物车</title></head><body></body></html>"), true},
      {"login page", G("<html><head><title>淘宝网 - 淘！我喜欢</title></head></html>"), false},
      {"marker in other case", G("<title>淘宝网 - 我的购物车</TITLE>"), false},
      {"empty answer", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cartAnswers(c.page);
    const CartTestResult r = TestCartCookie(" cookie2=abc; t=1 ");
    EXPECT_EQ(r.usable, c.usable);
    EXPECT_EQ(r.message, c.usable ? ok : doubtful);
    EXPECT_EQ(r.debugText, c.page);
  }
  const auto seen = server_.requests();
  ASSERT_EQ(seen.size(), std::size(cases));
  EXPECT_EQ(seen[0].method, "GET");
  EXPECT_EQ(seen[0].target, "/cart/cart.htm");
  EXPECT_EQ(seen[0].header("Cookie").value_or("<none>"), "cookie2=abc; t=1");
  EXPECT_EQ(seen[0].header("Referer").value_or(""), "");
}

TEST_F(SessionRequestsTest, CartTestShowsOnlyThePageStartAndFallsBackToTheStoredCookie) {
  // A marker past the first 1000 bytes still counts; only the debug text is cut.
  const std::string page = std::string(1200, 'x') + G("我的购物车</title>");
  cartAnswers(page);
  SetMarketCookie("cookie2=stored");
  const CartTestResult r = TestCartCookie("a");
  EXPECT_TRUE(r.usable);
  EXPECT_EQ(r.debugText, std::string(1000, 'x'));
  ASSERT_EQ(server_.requestCount(), 1u);
  EXPECT_EQ(server_.requests()[0].header("Cookie").value_or(""), "cookie2=stored");

  server_.stop();
  const CartTestResult down = TestCartCookie("cookie2=abc");
  EXPECT_FALSE(down.usable);
  EXPECT_EQ(down.debugText, "");
  EXPECT_EQ(down.message, G("当前数据可能不正确。请重试或比对调试数据"));
}

TEST(WarmUpPath, WritesTheProductAsARealNumber) {
  EXPECT_EQ(WarmUpPath(0, 0), "index.php/Getinfo/get?tid=9999&_=0");
  EXPECT_EQ(WarmUpPath(3, 5), "index.php/Getinfo/get?tid=9999&_=15");
  EXPECT_EQ(WarmUpPath(32767, 32767), "index.php/Getinfo/get?tid=9999&_=1073676289");
}

TEST_F(SessionRequestsTest, WarmUpSendsTwoLookupsWithTheServiceCookie) {
  SetServiceCookie("PHPSESSID=1; path=/;kv_auth=2;");
  server_.on("/service/index.php/Getinfo/get", CannedResponse{.headers = {}, .body = R"({"err":0,"data":{}})"});
  WarmUpLookups();
  const auto seen = server_.requests();
  ASSERT_EQ(seen.size(), 2u);
  for (const auto& request : seen) {
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.path(), "/service/index.php/Getinfo/get");
    const std::string prefix = "/service/index.php/Getinfo/get?tid=9999&_=";
    ASSERT_EQ(request.target.compare(0, prefix.size(), prefix), 0) << request.target;
    const std::string number = request.target.substr(prefix.size());
    ASSERT_FALSE(number.empty());
    EXPECT_EQ(number.find_first_not_of("0123456789"), std::string::npos) << number;
    EXPECT_LE(std::strtoll(number.c_str(), nullptr, 10), 32767LL * 32767LL);
    EXPECT_EQ(request.header("Cookie").value_or(""), "PHPSESSID=1; path=/;kv_auth=2;");
    EXPECT_EQ(request.header("User-Agent").value_or(""), SERVICE_UA);
  }
}

}  // namespace
}  // namespace kelvora
