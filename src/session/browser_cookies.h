#pragma once
// The embedded browser's cookies as a jar, and the Cookie header text the browser
// would send to one address (what the capture window hands to the user).
#include <string>
#include <vector>

namespace kelvora {

struct BrowserCookie {
  std::string name;
  std::string value;
  std::string domain;  // "host" for a host-only cookie, ".example.com" for a domain cookie
  std::string path;    // empty counts as "/"
  bool secure = false;
  bool httpOnly = false;
};

class BrowserCookieJar {
 public:
  // A cookie with the same name, domain and path replaces the stored one.
  void add(const BrowserCookie& cookie);
  void remove(const BrowserCookie& cookie);
  void clear() { cookies_.clear(); }
  size_t size() const { return cookies_.size(); }

  // "name=value; name=value" of every cookie the browser sends to `url`, HTTP-only
  // ones included: longer paths first, then in the order they were set. Empty when
  // none matches or `url` is not an http/https address.
  std::string headerFor(const std::string& url) const;

 private:
  std::vector<BrowserCookie> cookies_;
};

}  // namespace kelvora
