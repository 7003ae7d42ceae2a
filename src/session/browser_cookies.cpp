#include "session/browser_cookies.h"

#include <algorithm>
#include <cctype>

namespace kelvora {
namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string NormalPath(const std::string& path) { return path.empty() ? "/" : path; }

bool SameCookie(const BrowserCookie& a, const BrowserCookie& b) {
  return a.name == b.name && Lower(a.domain) == Lower(b.domain) && NormalPath(a.path) == NormalPath(b.path);
}

struct Address {
  bool secure = false;
  std::string host;
  std::string path;
};

bool ParseAddress(const std::string& url, Address& out) {
  const std::string lower = Lower(url);
  size_t rest;
  if (lower.rfind("http://", 0) == 0) {
    rest = 7;
  } else if (lower.rfind("https://", 0) == 0) {
    rest = 8;
    out.secure = true;
  } else {
    return false;
  }
  const size_t end = lower.find_first_of("/?#", rest);
  std::string authority = lower.substr(rest, end == std::string::npos ? std::string::npos : end - rest);
  if (const size_t at = authority.rfind('@'); at != std::string::npos) authority.erase(0, at + 1);
  if (!authority.empty() && authority.front() == '[') {
    const size_t close = authority.find(']');
    out.host = authority.substr(0, close == std::string::npos ? std::string::npos : close + 1);
  } else {
    out.host = authority.substr(0, authority.find(':'));
  }
  if (out.host.empty()) return false;
  if (end != std::string::npos && url[end] == '/') {
    const size_t queryStart = url.find_first_of("?#", end);
    out.path.assign(url, end, queryStart == std::string::npos ? url.size() - end : queryStart - end);
  } else {
    out.path.assign(1, '/');
  }
  return true;
}

bool DomainMatches(const std::string& cookieDomain, const std::string& host) {
  const std::string domain = Lower(cookieDomain);
  if (domain.empty()) return false;
  if (domain.front() != '.') return host == domain;
  const std::string bare = domain.substr(1);
  return host == bare ||
         (host.size() > domain.size() && host.compare(host.size() - domain.size(), domain.size(), domain) == 0);
}

bool PathMatches(const std::string& cookiePath, const std::string& requestPath) {
  const std::string path = NormalPath(cookiePath);
  if (requestPath.compare(0, path.size(), path) != 0) return false;
  return requestPath.size() == path.size() || path.back() == '/' || requestPath[path.size()] == '/';
}

}  // namespace

void BrowserCookieJar::add(const BrowserCookie& cookie) {
  for (BrowserCookie& stored : cookies_) {
    if (SameCookie(stored, cookie)) {
      // A browser keeps the creation order of a cookie whose value is replaced.
      stored = cookie;
      return;
    }
  }
  cookies_.push_back(cookie);
}

void BrowserCookieJar::remove(const BrowserCookie& cookie) {
  std::erase_if(cookies_, [&](const BrowserCookie& stored) { return SameCookie(stored, cookie); });
}

std::string BrowserCookieJar::headerFor(const std::string& url) const {
  Address address;
  if (!ParseAddress(url, address)) return {};
  std::vector<const BrowserCookie*> sent;
  for (const BrowserCookie& cookie : cookies_) {
    if (cookie.secure && !address.secure) continue;
    if (!DomainMatches(cookie.domain, address.host)) continue;
    if (!PathMatches(cookie.path, address.path)) continue;
    sent.push_back(&cookie);
  }
  std::stable_sort(sent.begin(), sent.end(), [](const BrowserCookie* a, const BrowserCookie* b) {
    return NormalPath(a->path).size() > NormalPath(b->path).size();
  });
  std::string header;
  for (const BrowserCookie* cookie : sent) {
    if (!header.empty()) header += "; ";
    if (!cookie->name.empty()) header += cookie->name + "=";
    header += cookie->value;
  }
  return header;
}

}  // namespace kelvora
