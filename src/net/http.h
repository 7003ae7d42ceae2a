#pragma once
// The request shapes of the program. Every failure hands back empty text; no call throws.
#include <cstddef>
#include <stop_token>
#include <string>

namespace kelvora {

inline constexpr const char* DESKTOP_UA =
    "Mozilla/5.0 (Windows NT 6.3; WOW64; Trident/7.0; rv:11.1) like Gecko";
inline constexpr const char* SERVICE_UA = "Mozilla/5.0 (Trident/7.0; rv:11.1; qrn_v3.3) like Gecko ";
inline constexpr const char* SERVICE_LOGIN_UA =
    "Mozilla/5.0 (Trident/7.0; rv:11.1; qrn_v3.3) like Gecko";
inline constexpr const char* ACCEPT_VALUE = "text/html, application/xhtml+xml, */*";

// Bounds of every request; the [http] section of the settings file sets them.
struct HttpLimits {
  long connectTimeoutSeconds = 60;   // [http] connect_timeout
  long stallTimeoutSeconds = 30;     // [http] stall_timeout: fail after this long without data
  size_t maxBodyBytes = 64u << 20;   // [http] max_body: a larger body is a failure
};
HttpLimits CurrentHttpLimits();
void SetHttpLimits(const HttpLimits& limits);

// Requests made on this thread end early (empty text) once `token` asks to stop.
// Pass a default-constructed token to clear.
void SetThreadStopToken(std::stop_token token);

// GET of a marketplace page; `url` and `cookie` are trimmed in place and a leading
// "//" becomes "http://". A cookie shorter than 2 bytes means "use MarketCookie".
// The body is handed back as GBK.
std::string HttpFetch(std::string& url, const std::string& referer, std::string& cookie);
// Same GET (no trimming, no redirects) returning the response's header block:
// its "Name: value" lines as received, each ending with CR LF, without the status
// line. Headers with an empty value go out as "Name:" with nothing after the colon.
// Redirects that the other shapes follow keep the Cookie header only on the same
// host or, for marketplace requests, within MARKET_DOMAIN_SUFFIX.
std::string FetchResponseHeaders(const std::string& url, const std::string& referer);
// GET of SERVICE_BASE + trimmed `path`; `path` is replaced by the full address.
std::string ServiceGet(std::string& path);

struct ServicePostResult {
  std::string body;     // GBK
  std::string headers;  // header block of the final response, as FetchResponseHeaders
};
// The login POST to SERVICE_BASE + `path` with a form-encoded `body` (already encoded).
ServicePostResult ServicePost(const std::string& path, const std::string& body);

}  // namespace kelvora
