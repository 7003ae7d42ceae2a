#include "session/login.h"

#include <gtest/gtest.h>

#include "net/endpoints.h"
#include "net/shared_state.h"
#include "support/fixtures.h"
#include "support/recording_server.h"

namespace kelvora {
namespace {

using test::CannedResponse;
using test::G;
using test::RecordingServer;

TEST(CollectSetCookies, TakesEveryExactlySpelledLineInOrder) {
  struct Case {
    const char* name;
    std::string block;
    std::string expected;
  } cases[] = {
      {"two lines in header order",
       "HTTP/1.1 200 OK\r\nSet-Cookie: a=1; path=/\r\nContent-Type: text/html\r\nSet-Cookie: b=2 \r\n",
       "a=1; path=/;b=2;"},
      {"lower-case name not taken", "set-cookie: c=3\r\nSet-Cookie:d=4\r\nSET-COOKIE: e=5\r\n", "d=4;"},
      {"none", "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n", ""},
      {"empty text", "", ""},
      {"header not at a line start", "X-Set-Cookie: f=6\r\n", ""},
      {"an empty value does not swallow the next line", "Set-Cookie:\r\nX-Evil: 1\r\nSet-Cookie: g=7", "g=7;"},
      {"plain LF lines", "Set-Cookie: h=8\nSet-Cookie: i=9\n", "h=8;i=9;"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CollectSetCookies(c.block), c.expected);
  }
}

TEST(FormEncode, EncodesLikeABrowserForm) {
  EXPECT_EQ(FormEncode("a&b=c+d%e f"), "a%26b%3Dc%2Bd%25e+f");
  EXPECT_EQ(FormEncode("Az09-._~"), "Az09-._~");
  EXPECT_EQ(FormEncode(G("张三")), "%D5%C5%C8%FD");  // the GBK bytes
  EXPECT_EQ(FormEncode("\r\n/?#"), "%0D%0A%2F%3F%23");
}

class ServiceLoginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Endpoints e = DefaultEndpoints();
    e.SERVICE_BASE = server_.url("/");
    SetEndpoints(e);
    SetServiceCookie("");
  }
  void TearDown() override {
    SetEndpoints(DefaultEndpoints());
    SetServiceCookie("");
  }
  void answer(std::string body, test::HeaderList headers = {}) {
    headers.insert(headers.begin(), {"Content-Type", "text/html; charset=gbk"});
    server_.on("/index.php/Login/handle_login", CannedResponse{.headers = headers, .body = body});
  }
  RecordingServer server_;
};

TEST_F(ServiceLoginTest, ShortValuesSendNothing) {
  answer(R"({"err":0,"login_uid":7,"login_user":"demo"})", {{"Set-Cookie", "s=1"}});
  const std::pair<std::string, std::string> inputs[] = {
      {"a", "123456"}, {"ab", "12345"}, {"  a  ", "  123456  "}, {" ab ", G("　12345　")}, {"", ""}};
  for (const auto& [user, password] : inputs) {
    SCOPED_TRACE(user + ":" + password);
    const LoginResult r = ServiceLogin(user, password);
    EXPECT_EQ(r.outcome, LoginOutcome::BadInput);
    EXPECT_EQ(r.message, G("请输入正确的用户名和密码"));
  }
  EXPECT_EQ(server_.requestCount(), 0u);
  EXPECT_EQ(ServiceCookie(), "");
}

TEST_F(ServiceLoginTest, EachAnswerGivesItsMessageAndFailuresKeepTheCookieEmpty) {
  struct Case {
    std::string body;
    LoginOutcome outcome;
    std::string message;
  } cases[] = {
      {R"({"err":2})", LoginOutcome::WrongPassword, G("用户密码错误。请重新输入")},
      {R"({"err":"1"})", LoginOutcome::NoSuchUser, G("用户名不存在。请重新输入")},
      {R"({"err":-1})", LoginOutcome::LoginError, G("登录错误请重试")},
      {R"({"err":0,"login_uid":0,"login_user":"demo"})", LoginOutcome::Failed, G("登录失败请重试")},
      {"<html>maintenance</html>", LoginOutcome::Failed, G("登录失败请重试")},
      {"", LoginOutcome::Failed, G("登录失败请重试")},
      {R"({"err":3,"login_uid":7})", LoginOutcome::Silent, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    answer(c.body, {{"Set-Cookie", "PHPSESSID=should-not-be-kept"}});
    const LoginResult r = ServiceLogin("  demo ", " demo123  ");
    EXPECT_EQ(r.outcome, c.outcome);
    EXPECT_EQ(r.message, c.message);
    EXPECT_EQ(r.user, "demo");
    EXPECT_EQ(r.password, "demo123");
    EXPECT_EQ(ServiceCookie(), "");
  }
  // Every attempt went out without a session cookie, since none ever succeeded.
  const auto seen = server_.requests();
  ASSERT_EQ(seen.size(), std::size(cases));
  for (const auto& request : seen) {
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.header("Cookie").value_or(""), "");
    EXPECT_EQ(request.body, "username_box=demo&password_box=demo123");
  }
}

TEST_F(ServiceLoginTest, SuccessTakesTheSessionCookiesAndWelcomes) {
  answer(G(R"({"err":0,"login_uid":"12","login_user":"演示账号"})"),
         {{"Set-Cookie", "PHPSESSID=abc123; path=/"}, {"set-cookie", "lower=no"}, {"Set-Cookie", "uid=12"}});
  const LoginResult r = ServiceLogin("special", "a&b=c+d%e f");
  EXPECT_EQ(r.outcome, LoginOutcome::Success);
  EXPECT_EQ(r.message, G("演示账号  您好\r\n感谢您使用本软件！\r\n"));
  EXPECT_EQ(r.cookie, "PHPSESSID=abc123; path=/;uid=12;");
  EXPECT_EQ(ServiceCookie(), "PHPSESSID=abc123; path=/;uid=12;");
  const auto seen = server_.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].body, "username_box=special&password_box=a%26b%3Dc%2Bd%25e+f");
  EXPECT_EQ(seen[0].header("content-type").value_or(""), "application/x-www-form-urlencoded");
}

TEST_F(ServiceLoginTest, AccountLabelNamesOnlyAConfirmedAccount) {
  struct Case {
    std::string body;
    std::string label;
  } cases[] = {
      {R"({"err":0,"login_uid":3,"login_user":"demo"})", G("用户名： demo")},
      {R"({"err":0,"login_uid":0,"login_user":"demo"})", ""},
      {R"({"err":1,"login_uid":3,"login_user":"demo"})", ""},
      {"not json", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    server_.on("/index.php/Getinfo/getJifen", CannedResponse{.body = c.body});
    EXPECT_EQ(AccountLabelText(), c.label);
  }
  server_.stop();
  EXPECT_EQ(AccountLabelText(), "");
}

}  // namespace
}  // namespace kelvora
