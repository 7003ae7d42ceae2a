#include "net/http.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <mutex>
#include <vector>

#include "net/codec.h"
#include "net/endpoints.h"
#include "net/shared_state.h"
#include "net/text.h"

namespace kelvora {
namespace {

std::mutex gLimitsMutex;
HttpLimits gLimits;
thread_local std::stop_token tStopToken;

void EnsureCurl() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

constexpr int kMaxRedirects = 20;

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool EndsWith(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

struct Header {
  std::string name;
  std::string value;
};

struct Request {
  bool post = false;
  std::string url;
  std::vector<Header> headers;  // in the order they go out, "Cookie" among them
  std::string body;             // POST only
  bool followRedirects = false;
  // A redirect to another host keeps the Cookie header only when both hosts end
  // with this domain suffix (empty: only the same host gets it).
  std::string cookieDomainSuffix;
};

struct Outcome {
  bool ok = false;
  std::string body;
  std::string headerBlock;
  std::string contentType;
};

struct Transfer {
  std::string body;
  std::string headers;
  size_t maxBody = 0;
  std::stop_token stop;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  size_t n = size * count;
  if (t->body.size() + n > t->maxBody) return 0;  // too large: abort the transfer
  t->body.append(data, n);
  return n;
}

// Keeps the header lines of the latest response only: every status line
// (an interim 1xx, a redirect) starts the block afresh.
size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  size_t n = size * count;
  std::string_view line(data, n);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (line.substr(0, 5) == "HTTP/") {
    t->headers.clear();
  } else if (!line.empty()) {
    t->headers.append(line);
    t->headers.append("\r\n");
  }
  return n;
}

int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* t = static_cast<Transfer*>(user);
  return t->stop.stop_requested() ? 1 : 0;
}

// Bytes that may not stand in a request line are percent-encoded on the wire:
// blanks, controls and the double-byte characters of a GBK address.
std::string WireUrl(std::string_view url) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  out.reserve(url.size());
  for (unsigned char c : url) {
    if (c <= 0x20 || c >= 0x7F) {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string HostOf(const std::string& url) {
  std::string host;
  CURLU* u = curl_url();
  if (!u) return host;
  if (curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
    char* h = nullptr;
    if (curl_url_get(u, CURLUPART_HOST, &h, 0) == CURLUE_OK && h) {
      host = Lower(h);
      curl_free(h);
    }
  }
  curl_url_cleanup(u);
  return host;
}

bool CookieMayFollow(const std::string& firstHost, const std::string& host,
                     const std::string& suffix) {
  if (host.empty()) return false;
  if (host == firstHost) return true;
  if (suffix.empty()) return false;
  std::string s = Lower(suffix);
  auto inDomain = [&](const std::string& h) {
    return EndsWith(h, s) || (s.size() > 1 && s[0] == '.' && h == s.substr(1));
  };
  return inDomain(firstHost) && inDomain(host);
}

std::string LocationOf(const std::string& block) {
  size_t pos = 0;
  while (pos < block.size()) {
    size_t end = block.find("\r\n", pos);
    if (end == std::string::npos) end = block.size();
    std::string_view line(block.data() + pos, end - pos);
    size_t colon = line.find(':');
    if (colon != std::string_view::npos && Lower(line.substr(0, colon)) == "location") {
      std::string_view v = line.substr(colon + 1);
      while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
      return std::string(v);
    }
    pos = end + 2;
  }
  return {};
}

// One header line for curl. An empty value goes out as "Name:" with nothing after
// it ("Name;" is curl's way to say so); line breaks never reach the wire.
std::string HeaderLine(const Header& h) {
  std::string value;
  for (char c : h.value)
    if (c != '\r' && c != '\n') value += c;
  if (value.empty()) return h.name + ";";
  return h.name + ": " + value;
}

Outcome Perform(const Request& req) {
  Outcome outcome;
  std::stop_token stop = tStopToken;
  if (stop.stop_requested()) return outcome;
  EnsureCurl();
  CURL* curl = curl_easy_init();
  if (!curl) return outcome;
  const HttpLimits limits = CurrentHttpLimits();

  Transfer t;
  t.maxBody = limits.maxBodyBytes;
  t.stop = stop;

  curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);  // followed below, hop by hop
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, limits.connectTimeoutSeconds);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, limits.stallTimeoutSeconds);
  curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBodyBytes));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &t);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnProgress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &t);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);

  std::string url = WireUrl(req.url);
  std::string firstHost;  // parsed only when a redirect asks where the cookie may go
  bool post = req.post;
  bool ok = false;
  for (int hop = 0;; ++hop) {
    const bool keepCookie =
        hop == 0 || CookieMayFollow(firstHost, HostOf(url), req.cookieDomainSuffix);
    curl_slist* list = nullptr;
    bool listOk = true;
    auto add = [&](const std::string& line) {
      curl_slist* next = curl_slist_append(list, line.c_str());
      if (!next) listOk = false;
      else list = next;
    };
    for (const Header& h : req.headers) {
      if (!keepCookie && Lower(h.name) == "cookie") continue;
      if (!post && Lower(h.name) == "content-type") continue;
      add(HeaderLine(h));
    }
    if (post) add("Expect:");  // no "100-continue" round trip
    if (!listOk) {
      curl_slist_free_all(list);
      break;
    }
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
    if (post) {
      curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(req.body.size()));
      curl_easy_setopt(curl, CURLOPT_POSTFIELDS, req.body.data());
    } else {
      curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    }
    t.body.clear();
    t.headers.clear();
    CURLcode rc = curl_easy_perform(curl);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(list);
    if (rc != CURLE_OK) break;

    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    const bool redirect = status == 301 || status == 302 || status == 303 || status == 307 ||
                          status == 308;
    if (!req.followRedirects || !redirect) {
      ok = true;
      break;
    }
    char* next = nullptr;
    curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &next);
    if (!next) {
      // A redirect curl cannot resolve (an address of a scheme we do not
      // request) fails; one without a Location is the final answer.
      ok = LocationOf(t.headers).empty();
      break;
    }
    if (hop >= kMaxRedirects) break;
    if (hop == 0) firstHost = HostOf(url);
    url = WireUrl(next);
    if (post && status != 307 && status != 308) post = false;
  }
  if (ok) {
    char* type = nullptr;
    if (curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type)
      outcome.contentType = type;
    outcome.ok = true;
    outcome.body = std::move(t.body);
    outcome.headerBlock = std::move(t.headers);
  }
  curl_easy_cleanup(curl);
  return outcome;
}

// The value after "charset" (then optional blanks and '=') in `text`, from `from`.
std::string CharsetAfter(std::string_view lower, size_t from, size_t end) {
  while (true) {
    size_t pos = lower.find("charset", from);
    if (pos == std::string_view::npos || pos >= end) return {};
    size_t i = pos + 7;
    while (i < end && (lower[i] == ' ' || lower[i] == '\t')) ++i;
    if (i < end && lower[i] == '=') {
      ++i;
      while (i < end && (lower[i] == ' ' || lower[i] == '\t' || lower[i] == '"' || lower[i] == '\''))
        ++i;
      size_t start = i;
      while (i < end && (std::isalnum(static_cast<unsigned char>(lower[i])) || lower[i] == '-' ||
                         lower[i] == '_' || lower[i] == '.' || lower[i] == ':'))
        ++i;
      if (i > start) return std::string(lower.substr(start, i - start));
    }
    from = pos + 7;
  }
}

std::string MetaCharset(std::string_view body) {
  std::string lower = Lower(body.substr(0, 4096));
  size_t pos = 0;
  while ((pos = lower.find("<meta", pos)) != std::string::npos) {
    size_t end = lower.find('>', pos);
    if (end == std::string::npos) end = lower.size();
    std::string charset = CharsetAfter(lower, pos, end);
    if (!charset.empty()) return charset;
    pos = end;
  }
  return {};
}

// The body as GBK text: by the charset that the Content-Type names, else the one a
// <meta> tag near the top names, else UTF-8 when the bytes are valid UTF-8, else as is.
std::string DecodeBody(const std::string& body, const std::string& contentType) {
  if (body.compare(0, 3, "\xEF\xBB\xBF") == 0) return *ConvertToGbk(body.substr(3), "UTF-8");
  std::string lowerType = Lower(contentType);
  std::string charset = CharsetAfter(lowerType, 0, lowerType.size());
  if (charset.empty()) charset = MetaCharset(body);
  if (!charset.empty()) {
    if (auto converted = ConvertToGbk(body, charset)) return *converted;
  }
  if (IsValidUtf8(body)) return *ConvertToGbk(body, "UTF-8");
  return body;
}

std::vector<Header> MarketHeaders(const std::string& referer) {
  return {{"Accept", ACCEPT_VALUE},
          {"Accept-Language", "zh-CN"},
          {"Connection", "Keep-Alive"},
          {"User-Agent", DESKTOP_UA},
          {"Referer", referer}};
}

}  // namespace

HttpLimits CurrentHttpLimits() {
  std::lock_guard lock(gLimitsMutex);
  return gLimits;
}

void SetHttpLimits(const HttpLimits& limits) {
  std::lock_guard lock(gLimitsMutex);
  gLimits = limits;
}

void SetThreadStopToken(std::stop_token token) { tStopToken = std::move(token); }

std::string HttpFetch(std::string& url, const std::string& referer, std::string& cookie) {
  cookie = Trim(cookie);
  url = Trim(url);
  if (url.compare(0, 2, "//") == 0) url = "http:" + url;
  Request req;
  req.url = url;
  req.headers = MarketHeaders(referer);
  // Callers pass "2" (anything under two bytes) for "the stored marketplace cookies".
  req.headers.push_back({"Cookie", cookie.size() < 2 ? MarketCookie() : cookie});
  req.followRedirects = true;
  req.cookieDomainSuffix = CurrentEndpoints()->MARKET_DOMAIN_SUFFIX;
  Outcome out = Perform(req);
  return out.ok ? DecodeBody(out.body, out.contentType) : std::string();
}

std::string FetchResponseHeaders(const std::string& url, const std::string& referer) {
  Request req;
  req.url = url;
  req.headers = MarketHeaders(referer);
  req.headers.push_back({"Cookie", MarketCookie()});
  Outcome out = Perform(req);
  return out.ok ? out.headerBlock : std::string();
}

std::string ServiceGet(std::string& path) {
  path = CurrentEndpoints()->SERVICE_BASE + Trim(path);
  Request req;
  req.url = path;
  req.headers = {{"Accept", ACCEPT_VALUE},
                 {"Accept-Language", "zh-CN"},
                 {"User-Agent", SERVICE_UA},
                 {"Cookie", ServiceCookie()}};
  req.followRedirects = true;
  Outcome out = Perform(req);
  return out.ok ? DecodeBody(out.body, out.contentType) : std::string();
}

ServicePostResult ServicePost(const std::string& path, const std::string& body) {
  Request req;
  req.post = true;
  req.url = CurrentEndpoints()->SERVICE_BASE + path;
  req.headers = {{"Accept", ACCEPT_VALUE},
                 {"Accept-Language", "zh-CN"},
                 {"Connection", "Keep-Alive"},
                 {"User-Agent", SERVICE_LOGIN_UA},
                 {"content-type", "application/x-www-form-urlencoded"},
                 {"Cookie", ServiceCookie()}};
  req.body = body;
  req.followRedirects = true;
  Outcome out = Perform(req);
  ServicePostResult result;
  if (out.ok) {
    result.body = DecodeBody(out.body, out.contentType);
    result.headers = std::move(out.headerBlock);
  }
  return result;
}

}  // namespace kelvora
