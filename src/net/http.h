#pragma once
// The request shapes of the program. Every failure hands back empty text; no call throws.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>

#include "net/request_failure.h"
#include "net/request_stop.h"

namespace kelvora {

inline constexpr const char* DESKTOP_UA = "Mozilla/5.0 (Windows NT 6.3; WOW64; Trident/7.0; rv:11.1) like Gecko";
inline constexpr const char* SERVICE_UA = "Mozilla/5.0 (Trident/7.0; rv:11.1; qrn_v3.3) like Gecko ";
inline constexpr const char* SERVICE_LOGIN_UA = "Mozilla/5.0 (Trident/7.0; rv:11.1; qrn_v3.3) like Gecko";
inline constexpr const char* ACCEPT_VALUE = "text/html, application/xhtml+xml, */*";

// Bounds of every request; the [http] section of the settings file sets them.
struct HttpLimits {
  long connectTimeoutSeconds = 60;  // [http] connect_timeout
  long stallTimeoutSeconds = 30;    // [http] stall_timeout: less than 1 KB in this long fails
  long totalTimeoutSeconds = 120;   // [http] total_timeout: one request, its redirects included
  size_t maxBodyBytes = 64u << 20;  // [http] max_body: a larger body is refused
  int retries = 0;                  // [http] retries: resends of a GET that got no whole answer
  // [http] ca_file: the system's certificate authorities followed by the extra ones,
  // as one PEM bundle; null when no extra authority is set.
  std::shared_ptr<const std::string> caBundle;
};
inline constexpr size_t kMaxBodyLimit = size_t{1} << 30;  // what 32-bit text positions address
HttpLimits CurrentHttpLimits();
void SetHttpLimits(const HttpLimits& limits);

// The system's certificate bundle (the one curl was built to use) followed by
// `extraPem`: curl takes one bundle, so the extra authorities join the system's
// instead of replacing them. The system's certificate folder stays in use as well.
std::string CaBundleWith(const std::string& extraPem);

// Connections opened by the requests of this process so far. Consecutive requests
// of one thread to one host share a kept-alive connection.
uint64_t HttpConnectionsOpened();

// An answer's body as GBK text: by the charset that `contentType` names, else the
// one a <meta> tag near the top names, else UTF-8 when the bytes are valid UTF-8,
// else as is. A UTF-8 byte order mark decides for UTF-8. Text that needs no
// conversion is handed back without a copy.
std::string DecodeBody(std::string&& body, std::string_view contentType);

// How a request ended, for callers that keep a record of failures. The text the
// request shapes hand back does not depend on it.
struct HttpReport {
  FailureKind failure = FailureKind::None;
  long status = 0;   // status of the final answer; 0 when none came
  int attempts = 0;  // how often the request went out (retries included)
};

// GET of a marketplace page; `url` and `cookie` are trimmed in place and a leading
// "//" becomes "http://". A cookie shorter than 2 bytes means "use MarketCookie".
// The body is handed back as GBK. Only http and https addresses are requested.
// `room`, when given, lends its memory to the body and is left empty: a caller
// that fetches page after page hands back each page's string for the next one,
// rather than taking and freeing a large buffer a page.
std::string HttpFetch(std::string& url, const std::string& referer, std::string& cookie, HttpReport* report = nullptr,
                      std::string* room = nullptr);
// Same GET (no trimming) returning the final answer's header block: its "Name: value"
// lines as received, each ending with CR LF, without the status line, after the
// Set-Cookie lines of the redirects that led to it (a browser keeps those cookies).
// Redirects are followed, but not from https to http: such a redirect is the answer.
// Headers with an empty value go out as "Name:" with nothing after the colon.
// On every redirect MarketCookie stays only on the same host or between the
// marketplace's own domains (MARKET_DOMAIN_SUFFIX, MARKET_COOKIE_DOMAINS).
std::string FetchResponseHeaders(const std::string& url, const std::string& referer, HttpReport* report = nullptr);
// GET of SERVICE_BASE + trimmed `path`; `path` is replaced by the full address.
std::string ServiceGet(std::string& path, HttpReport* report = nullptr);

struct ServicePostResult {
  std::string body;     // GBK
  std::string headers;  // header block of the final response, as FetchResponseHeaders
};
// The login POST to SERVICE_BASE + `path` with a form-encoded `body` (already encoded).
// Never sent twice, whatever [http] retries says.
ServicePostResult ServicePost(const std::string& path, const std::string& body, HttpReport* report = nullptr);

}  // namespace kelvora
