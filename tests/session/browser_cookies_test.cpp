#include "session/browser_cookies.h"

#include <gtest/gtest.h>

namespace kelvora {
namespace {

BrowserCookie C(std::string name, std::string value, std::string domain, std::string path = "/", bool secure = false,
                bool httpOnly = false) {
  return {std::move(name), std::move(value), std::move(domain), std::move(path), secure, httpOnly};
}

TEST(BrowserCookieJar, SendsWhatABrowserSendsToTheAddress) {
  BrowserCookieJar jar;
  jar.add(C("cookie2", "c2", ".taobao.com", "/", false, true));  // HTTP-only: still taken
  jar.add(C("t", "tt", ".taobao.com"));
  jar.add(C("host", "h", "taobao.com"));              // host-only on the bare domain
  jar.add(C("www", "w", "www.taobao.com"));           // another host
  jar.add(C("deep", "d", ".taobao.com", "/member"));  // longer path, set later
  jar.add(C("sec", "s", ".taobao.com", "/", true));   // https only
  jar.add(C("other", "o", ".tmall.com"));
  jar.add(C("evil", "e", ".nottaobao.com"));
  jar.add(C("", "bare", "taobao.com"));

  struct Case {
    const char* url;
    const char* header;
  } cases[] = {
      {"http://taobao.com/", "cookie2=c2; t=tt; host=h; bare"},
      {"HTTP://TAOBAO.COM", "cookie2=c2; t=tt; host=h; bare"},
      {"https://taobao.com/", "cookie2=c2; t=tt; host=h; sec=s; bare"},
      {"http://www.taobao.com/index.htm?x=1", "cookie2=c2; t=tt; www=w"},
      {"http://login.taobao.com/member/login.jhtml", "deep=d; cookie2=c2; t=tt"},
      {"http://login.taobao.com/members", "cookie2=c2; t=tt"},
      {"http://user@taobao.com:8080/", "cookie2=c2; t=tt; host=h; bare"},
      {"http://tmall.com/", "other=o"},
      {"http://example.com/", ""},
      {"file:///etc/passwd", ""},
      {"javascript:document.cookie", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(jar.headerFor(c.url), c.header);
  }
}

TEST(BrowserCookieJar, ReplacesAndRemovesByNameDomainAndPath) {
  BrowserCookieJar jar;
  jar.add(C("a", "1", "127.0.0.1"));
  jar.add(C("b", "2", "127.0.0.1"));
  jar.add(C("a", "3", "127.0.0.1", ""));    // same cookie: empty path is "/"
  jar.add(C("a", "4", "127.0.0.1", "/x"));  // another cookie
  EXPECT_EQ(jar.size(), 3u);
  EXPECT_EQ(jar.headerFor("http://127.0.0.1:8080/"), "a=3; b=2");
  jar.remove(C("a", "", "127.0.0.1", "/"));
  EXPECT_EQ(jar.headerFor("http://127.0.0.1:8080/x/y"), "a=4; b=2");
  jar.remove(C("b", "", "127.0.0.2"));  // another host's cookie: nothing removed
  EXPECT_EQ(jar.size(), 2u);
}

TEST(BrowserCookieJar, HasNoSizeLimit) {
  BrowserCookieJar jar;
  const std::string big(3000, 'v');
  jar.add(C("one", big, "127.0.0.1"));
  jar.add(C("two", big, "127.0.0.1"));
  EXPECT_EQ(jar.headerFor("http://127.0.0.1/"), "one=" + big + "; two=" + big);
}

}  // namespace
}  // namespace kelvora
