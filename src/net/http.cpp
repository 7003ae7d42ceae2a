#include "net/http.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/mman.h>
#endif

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "net/codec.h"
#include "net/endpoints.h"
#include "net/file_input.h"
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

std::atomic<uint64_t> gConnectionsOpened{0};

size_t OnBody(char* data, size_t size, size_t count, void* user);
size_t OnHeader(char* data, size_t size, size_t count, void* user);
int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

// The name curl reads a certificate bundle by, so that it compares names rather
// than whole bundles on every request, and may keep what it parsed. On Linux the
// bundle goes to a memory file of this process; empty elsewhere, or when that
// fails. Each distinct bundle gets its file once and keeps it while the process
// runs: a name never comes to stand for another bundle, so neither a kept
// connection nor curl's certificate cache takes one bundle for another.
std::string CaBundlePath(const std::string& bundle) {
#ifdef __linux__
  static std::mutex mutex;
  static std::vector<std::pair<std::string, std::string>> files;  // bundle, name
  std::lock_guard lock(mutex);
  for (const auto& [content, name] : files)
    if (content == bundle) return name;
  const int fd = memfd_create("kelvora-ca-bundle", MFD_CLOEXEC);
  if (fd < 0) return {};
  size_t written = 0;
  while (written < bundle.size()) {
    const ssize_t n = ::write(fd, bundle.data() + written, bundle.size() - written);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  std::string name = "/proc/self/fd/" + std::to_string(fd);
  // The name must open (a process without /proc cannot).
  const int check = written == bundle.size() ? ::open(name.c_str(), O_RDONLY | O_CLOEXEC) : -1;
  if (check < 0) {
    ::close(fd);
    return {};
  }
  ::close(check);
  files.emplace_back(bundle, name);
  return name;
#else
  (void)bundle;
  return {};
#endif
}

// One curl handle per thread, so that its requests share curl's connection,
// name and TLS session caches (as a browser keeps its connections alive); the
// handle goes with its thread. The options that are the same for every request
// are set when the handle is made, and again only when the trust changes.
class ThreadHandle {
 public:
  ~ThreadHandle() {
    if (curl_) curl_easy_cleanup(curl_);
  }
  // The handle, trusting what `limits` says; null when curl has none to give.
  CURL* get(const HttpLimits& limits) {
    if (!curl_) {
      EnsureCurl();
      curl_ = curl_easy_init();
      if (!curl_) return nullptr;
      setUp(limits.caBundle);
    } else if (limits.caBundle != bundle_) {
      curl_easy_reset(curl_);
      setUp(limits.caBundle);
    }
    return curl_;
  }

 private:
  void setUp(std::shared_ptr<const std::string> bundle) {
    bundle_ = std::move(bundle);
    curl_easy_setopt(curl_, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(curl_, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl_, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl_, CURLOPT_FOLLOWLOCATION, 0L);  // followed by the request, hop by hop
    curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(curl_, CURLOPT_XFERINFOFUNCTION, OnProgress);
    curl_easy_setopt(curl_, CURLOPT_NOPROGRESS, 0L);
    if (!bundle_ || bundle_->empty()) return;  // curl's own bundle and folder
    // The system's certificate folder stays in use beside the bundle, as curl has it.
    const std::string path = CaBundlePath(*bundle_);
    if (!path.empty()) {
      curl_easy_setopt(curl_, CURLOPT_CAINFO, path.c_str());
    } else {
      curl_blob ca{};
      ca.data = const_cast<char*>(bundle_->data());  // kept alive by bundle_
      ca.len = bundle_->size();
      ca.flags = CURL_BLOB_NOCOPY;
      curl_easy_setopt(curl_, CURLOPT_CAINFO_BLOB, &ca);
    }
  }

  CURL* curl_ = nullptr;
  std::shared_ptr<const std::string> bundle_;  // the trust the handle is set up for
};

CURL* ThreadCurl(const HttpLimits& limits) {
  thread_local ThreadHandle handle;
  return handle.get(limits);
}

constexpr int kMaxRedirects = 20;
// The system's certificate bundle is a few hundred KB; this bounds a wrong path.
constexpr size_t kSystemBundleLimit = size_t{64} << 20;
// The first resend waits about this long; each further one twice as long.
constexpr int kRetryBaseMs = 200;
constexpr int kRetryMaxMs = 10000;

// ASCII letters only, whatever locale the program runs in: what is compared here
// (header names, schemes, charsets, tag names) is ASCII.
std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// `lower` is in lower case already.
bool EqualsNoCase(std::string_view s, std::string_view lower) {
  if (s.size() != lower.size()) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

// `prefix` is in lower case already.
bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
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
  // Follow a redirect from https to http (the other shapes' options); when false
  // such a redirect is the final answer, as the client does by default.
  bool allowDowngrade = true;
  // A redirect to another host keeps the Cookie header only when both hosts end
  // with one of these domain suffixes (none: only the same host gets it).
  std::vector<std::string> cookieDomainSuffixes;
  // Put the Set-Cookie lines of the redirects before the final header block.
  bool keepRedirectCookies = false;
  // Resend on failure as [http] retries says (GETs only).
  bool mayRetry = false;
  // Memory for the body, taken by the first attempt (its text is discarded).
  std::string* room = nullptr;
};

struct Outcome {
  bool ok = false;  // an answer came whole (its status may still be an error)
  std::string body;
  std::string headerBlock;
  std::string contentType;
  FailureKind failure = FailureKind::None;
  long status = 0;
};

struct Transfer {
  std::string body;
  std::string headers;
  size_t maxBody = 0;
  bool tooLarge = false;
  bool answered = false;  // a final status line of this hop arrived
  size_t received = 0;    // bytes of this hop's answer, header lines included
  std::stop_token stop;
  CURL* curl = nullptr;
};

// Beyond this size a body of unknown length is given room up to [http] max_body.
constexpr size_t kGrowToLimitFrom = size_t{4} << 20;

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  size_t n = size * count;
  t->received += n;
  if (t->body.size() + n > t->maxBody) {
    t->tooLarge = true;
    return 0;  // too large: abort the transfer
  }
  if (t->body.empty()) {
    // Room for the announced body at once, rather than growing by copies.
    curl_off_t announced = -1;
    if (curl_easy_getinfo(t->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK && announced > 0)
      t->body.reserve(std::min(static_cast<size_t>(announced), t->maxBody));
  }
  if (t->body.size() + n > t->body.capacity()) {
    // Small bodies grow by doubling. A large one of unknown length gets room up to
    // the limit at once: pages are only resident once written, and growing by
    // copies would hold the old and the new buffer, twice the limit near its end.
    const size_t wanted = t->body.size() + n;
    t->body.reserve(wanted > kGrowToLimitFrom ? t->maxBody
                                              : std::min(std::max(t->body.capacity() * 2, wanted), t->maxBody));
  }
  t->body.append(data, n);
  return n;
}

// Keeps the header lines of the latest response only: every status line
// (an interim 1xx, a redirect) starts the block afresh.
size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  size_t n = size * count;
  t->received += n;
  std::string_view line(data, n);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (line.substr(0, 5) == "HTTP/") {
    t->headers.clear();
    const size_t blank = line.find(' ');
    if (blank != std::string_view::npos && blank + 1 < line.size() && line[blank + 1] != '1') t->answered = true;
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

bool InDomain(const std::string& host, const std::string& suffix) {
  return EndsWith(host, suffix) || host == suffix.substr(1);
}

bool CookieMayFollow(const std::string& firstHost, const std::string& host, const std::vector<std::string>& suffixes) {
  if (host.empty()) return false;
  if (host == firstHost) return true;
  auto inAny = [&](const std::string& h) {
    for (const std::string& s : suffixes)
      if (InDomain(h, s)) return true;
    return false;
  };
  return inAny(firstHost) && inAny(host);
}

// MARKET_DOMAIN_SUFFIX and the suffixes listed in MARKET_COOKIE_DOMAINS, in lower
// case, each with its leading dot (one is put in front where it is missing, so
// that "tmall.com" never matches "eviltmall.com").
std::vector<std::string> MarketCookieSuffixes() {
  const auto ep = CurrentEndpoints();
  std::vector<std::string> out;
  auto add = [&](std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    if (s.empty() || s == ".") return;
    std::string suffix = Lower(s);
    if (suffix.front() != '.') suffix.insert(suffix.begin(), '.');
    out.push_back(std::move(suffix));
  };
  add(ep->MARKET_DOMAIN_SUFFIX);
  std::string_view list = ep->MARKET_COOKIE_DOMAINS;
  while (true) {
    const size_t comma = list.find(',');
    add(list.substr(0, comma));
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return out;
}

std::string HeaderValue(const std::string& block, std::string_view lowerName) {
  size_t pos = 0;
  while (pos < block.size()) {
    size_t end = block.find("\r\n", pos);
    if (end == std::string::npos) end = block.size();
    std::string_view line(block.data() + pos, end - pos);
    size_t colon = line.find(':');
    if (colon != std::string_view::npos && Lower(line.substr(0, colon)) == lowerName) {
      std::string_view v = line.substr(colon + 1);
      while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
      return std::string(v);
    }
    pos = end + 2;
  }
  return {};
}

// The Set-Cookie lines of a header block, each with its CR LF.
std::string SetCookieLines(const std::string& block) {
  std::string out;
  size_t pos = 0;
  while (pos < block.size()) {
    size_t end = block.find("\r\n", pos);
    if (end == std::string::npos) end = block.size();
    std::string_view line(block.data() + pos, end - pos);
    size_t colon = line.find(':');
    if (colon != std::string_view::npos && Lower(line.substr(0, colon)) == "set-cookie") {
      out.append(line);
      out.append("\r\n");
    }
    pos = end + 2;
  }
  return out;
}

// One header line for curl. An empty value goes out as "Name:" with nothing after
// it ("Name;" is curl's way to say so); line breaks never reach the wire.
std::string HeaderLine(const Header& h) {
  std::string line;
  line.reserve(h.name.size() + 2 + h.value.size());
  line += h.name;
  const size_t nameEnd = line.size();
  line += ": ";
  for (char c : h.value)
    if (c != '\r' && c != '\n') line += c;
  if (line.size() == nameEnd + 2) line.replace(nameEnd, 2, ";");  // an empty value is sent as "Name;"
  return line;
}

// How a transfer that curl ended with `rc` failed.
FailureKind FailureOf(CURLcode rc, const Transfer& t) {
  if (t.tooLarge) return FailureKind::Refused;
  switch (rc) {
    case CURLE_FILESIZE_EXCEEDED:
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
    case CURLE_TOO_MANY_REDIRECTS:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
      return FailureKind::Refused;
    default:
      return t.answered ? FailureKind::CutShort : FailureKind::NoAnswer;
  }
}

long RemainingMs(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return static_cast<long>(left.count());
}

// One exchange on `curl` as it is set up, counting the connections it opened.
CURLcode PerformHop(CURL* curl, Transfer& t) {
  t.body.clear();
  t.headers.clear();
  t.answered = false;
  t.received = 0;
  const CURLcode rc = curl_easy_perform(curl);
  long opened = 0;
  if (curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &opened) == CURLE_OK && opened > 0)
    gConnectionsOpened.fetch_add(static_cast<uint64_t>(opened), std::memory_order_relaxed);
  return rc;
}

// The last exchange went out on a connection kept from an earlier one.
bool LastHopReusedConnection(CURL* curl) {
  long opened = 0;
  return curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &opened) == CURLE_OK && opened == 0;
}

// How a request on a connection the server had already closed ends.
bool MayBeDeadConnection(CURLcode rc) {
  return rc == CURLE_GOT_NOTHING || rc == CURLE_SEND_ERROR || rc == CURLE_RECV_ERROR;
}

Outcome PerformOnce(const Request& req, const HttpLimits& limits, const std::stop_token& stop) {
  Outcome outcome;
  // Only web addresses are requested; curl would guess a scheme for the rest.
  if (!StartsWithNoCase(req.url, "http://") && !StartsWithNoCase(req.url, "https://")) {
    outcome.failure = FailureKind::Refused;
    return outcome;
  }
  outcome.failure = FailureKind::NoAnswer;
  if (stop.stop_requested()) return outcome;
  CURL* curl = ThreadCurl(limits);
  if (!curl) return outcome;

  Transfer t;
  if (req.room) {
    t.body.swap(*req.room);
    t.body.clear();
  }
  t.maxBody = limits.maxBodyBytes;
  t.stop = stop;
  t.curl = curl;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limits.totalTimeoutSeconds);
  const long stall = std::max(1L, limits.stallTimeoutSeconds);

  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, limits.connectTimeoutSeconds);
  // Less than 1 KB in `stall` seconds is a stall.
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, (1024L + stall - 1) / stall);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, stall);
  curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBodyBytes));
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &t);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &t);

  std::string url = WireUrl(req.url);
  std::string firstHost;  // parsed only when a redirect asks where the cookie may go
  std::string redirectCookies;
  bool post = req.post;
  bool ok = false;
  for (int hop = 0;; ++hop) {
    const long remaining = RemainingMs(deadline);
    if (remaining <= 0) break;  // the redirects used up the time
    const bool keepCookie = hop == 0 || CookieMayFollow(firstHost, HostOf(url), req.cookieDomainSuffixes);
    curl_slist* list = nullptr;
    bool listOk = true;
    auto add = [&](const std::string& line) {
      curl_slist* next = curl_slist_append(list, line.c_str());
      if (!next)
        listOk = false;
      else
        list = next;
    };
    for (const Header& h : req.headers) {
      if (!keepCookie && EqualsNoCase(h.name, "cookie")) continue;
      if (!post && EqualsNoCase(h.name, "content-type")) continue;
      add(HeaderLine(h));
    }
    if (post) add("Expect:");  // no "100-continue" round trip
    if (!listOk) {
      curl_slist_free_all(list);
      break;
    }
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, remaining);
    if (post) {
      curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(req.body.size()));
      curl_easy_setopt(curl, CURLOPT_POSTFIELDS, req.body.data());
    } else {
      curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    }
    // The login is never sent twice: curl resends a request whose kept connection
    // turned out dead, so a POST gets a connection of its own that nobody reuses.
    curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, post ? 1L : 0L);
    curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, post ? 1L : 0L);
    CURLcode rc = PerformHop(curl, t);
    // A kept connection that the server closed while the request went out looks
    // like a server that took the request and said nothing. A GET that got not a
    // byte back that way goes out once more on a connection of its own; a failure
    // there is the real one.
    if (!post && rc != CURLE_OK && t.received == 0 && !stop.stop_requested() && LastHopReusedConnection(curl) &&
        MayBeDeadConnection(rc) && RemainingMs(deadline) > 0) {
      curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
      curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, std::max(1L, RemainingMs(deadline)));
      rc = PerformHop(curl, t);
      curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 0L);
    }
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(list);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    outcome.status = status;
    if (rc != CURLE_OK) {
      outcome.failure = FailureOf(rc, t);
      break;
    }

    const bool redirect = status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
    if (!req.followRedirects || !redirect) {
      ok = true;
      break;
    }
    char* next = nullptr;
    curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &next);
    if (!next) {
      // A redirect without a Location is the final answer; one whose address
      // curl cannot resolve fails.
      ok = HeaderValue(t.headers, "location").empty();
      if (!ok) outcome.failure = FailureKind::Refused;
      break;
    }
    if (!StartsWithNoCase(next, "http://") && !StartsWithNoCase(next, "https://")) {
      outcome.failure = FailureKind::Refused;  // a scheme we never request
      break;
    }
    if (!req.allowDowngrade && StartsWithNoCase(url, "https://") && StartsWithNoCase(next, "http://")) {
      ok = true;  // not followed: this redirect is the answer
      break;
    }
    if (hop >= kMaxRedirects) {
      outcome.failure = FailureKind::Refused;
      break;
    }
    if (hop == 0) firstHost = HostOf(url);
    if (req.keepRedirectCookies) redirectCookies += SetCookieLines(t.headers);
    url = WireUrl(next);
    if (post && status != 307 && status != 308) post = false;
  }
  if (ok) {
    char* type = nullptr;
    if (curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type) outcome.contentType = type;
    outcome.ok = true;
    outcome.failure = outcome.status >= 400 ? FailureKind::ErrorStatus : FailureKind::None;
    outcome.body = std::move(t.body);
    outcome.headerBlock = std::move(redirectCookies) + t.headers;
  }
  return outcome;
}

// A failure that a second try may mend: nothing came, the answer broke off, or
// the server said it failed (5xx). A refusal or a 4xx answer would only repeat.
bool WorthRetrying(const Outcome& o) {
  return o.failure == FailureKind::NoAnswer || o.failure == FailureKind::CutShort ||
         (o.failure == FailureKind::ErrorStatus && o.status >= 500);
}

// Waits `ms` unless `stop` asks to end first; false when it did.
bool SleepUnlessStopped(int ms, const std::stop_token& stop) {
  std::mutex m;
  std::condition_variable_any cv;
  std::unique_lock lock(m);
  cv.wait_for(lock, stop, std::chrono::milliseconds(ms), [] { return false; });
  return !stop.stop_requested();
}

int BackoffMs(int attempt) {
  thread_local std::minstd_rand engine{
      static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count() ^
                            std::hash<std::thread::id>{}(std::this_thread::get_id()))};
  const int base = std::min(kRetryMaxMs, kRetryBaseMs << std::min(attempt, 16));
  // Between half and all of the step, so that clients failed together do not
  // come back together.
  return base / 2 + std::uniform_int_distribution<int>(0, base / 2)(engine);
}

Outcome Perform(const Request& req, HttpReport* report) {
  const std::stop_token stop = tStopToken;
  const HttpLimits limits = CurrentHttpLimits();
  const int tries = 1 + (req.mayRetry && !req.post ? std::max(0, limits.retries) : 0);
  Outcome outcome;
  int attempt = 0;
  while (true) {
    outcome = PerformOnce(req, limits, stop);
    ++attempt;
    if (attempt >= tries || !WorthRetrying(outcome) || stop.stop_requested()) break;
    if (!SleepUnlessStopped(BackoffMs(attempt - 1), stop)) break;
  }
  if (report) {
    report->failure = outcome.failure;
    report->status = outcome.status;
    report->attempts = attempt;
  }
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
      while (i < end && (lower[i] == ' ' || lower[i] == '\t' || lower[i] == '"' || lower[i] == '\'')) ++i;
      size_t start = i;
      while (i < end && (std::isalnum(static_cast<unsigned char>(lower[i])) || lower[i] == '-' || lower[i] == '_' ||
                         lower[i] == '.' || lower[i] == ':'))
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

bool IsUtf8Charset(std::string_view lowerCharset) { return lowerCharset == "utf-8" || lowerCharset == "utf8"; }

}  // namespace

std::string DecodeBody(std::string&& body, std::string_view contentType) {
  const std::string_view bytes(body);
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") return *ConvertToGbk(bytes.substr(3), "UTF-8");
  const std::string lowerType = Lower(contentType);
  std::string charset = CharsetAfter(lowerType, 0, lowerType.size());
  if (charset.empty()) charset = MetaCharset(bytes);
  // GBK pages, and pages whose every byte is ASCII, are already the text we keep.
  if (!charset.empty()) {
    if (IsGbkCharset(charset) || (IsUtf8Charset(charset) && AllBytesAscii(bytes))) return std::move(body);
    if (auto converted = ConvertToGbk(bytes, charset)) return std::move(*converted);
  }
  if (AllBytesAscii(bytes)) return std::move(body);
  if (IsValidUtf8(bytes)) return *ConvertToGbk(bytes, "UTF-8");
  return std::move(body);
}

namespace {

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
  gLimits.maxBodyBytes = std::min(gLimits.maxBodyBytes, kMaxBodyLimit);
}

std::string CaBundleWith(const std::string& extraPem) {
  EnsureCurl();
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  std::string system;
  if (info && info->age >= CURLVERSION_SEVENTH && info->cainfo) {
    if (!ReadInputFile(info->cainfo, kSystemBundleLimit, system).ok()) system.clear();
  }
  if (!system.empty() && system.back() != '\n') system += '\n';
  return system + extraPem;
}

void SetThreadStopToken(std::stop_token token) { tStopToken = std::move(token); }

uint64_t HttpConnectionsOpened() { return gConnectionsOpened.load(std::memory_order_relaxed); }

std::string HttpFetch(std::string& url, const std::string& referer, std::string& cookie, HttpReport* report,
                      std::string* room) {
  cookie = Trim(cookie);
  url = Trim(url);
  if (url.compare(0, 2, "//") == 0) url = "http:" + url;
  Request req;
  req.url = url;
  req.headers = MarketHeaders(referer);
  // Callers pass "2" (anything under two bytes) for "the stored marketplace cookies".
  req.headers.push_back({"Cookie", cookie.size() < 2 ? MarketCookie() : cookie});
  req.followRedirects = true;
  req.cookieDomainSuffixes = MarketCookieSuffixes();
  req.mayRetry = true;
  req.room = room;
  Outcome out = Perform(req, report);
  return out.ok ? DecodeBody(std::move(out.body), out.contentType) : std::string();
}

std::string FetchResponseHeaders(const std::string& url, const std::string& referer, HttpReport* report) {
  Request req;
  req.url = url;
  req.headers = MarketHeaders(referer);
  req.headers.push_back({"Cookie", MarketCookie()});
  req.followRedirects = true;
  req.allowDowngrade = false;
  req.keepRedirectCookies = true;
  req.cookieDomainSuffixes = MarketCookieSuffixes();
  req.mayRetry = true;
  Outcome out = Perform(req, report);
  return out.ok ? out.headerBlock : std::string();
}

std::string ServiceGet(std::string& path, HttpReport* report) {
  path = CurrentEndpoints()->SERVICE_BASE + Trim(path);
  Request req;
  req.url = path;
  req.headers = {
      {"Accept", ACCEPT_VALUE}, {"Accept-Language", "zh-CN"}, {"User-Agent", SERVICE_UA}, {"Cookie", ServiceCookie()}};
  req.followRedirects = true;
  req.mayRetry = true;
  Outcome out = Perform(req, report);
  return out.ok ? DecodeBody(std::move(out.body), out.contentType) : std::string();
}

ServicePostResult ServicePost(const std::string& path, const std::string& body, HttpReport* report) {
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
  Outcome out = Perform(req, report);
  ServicePostResult result;
  if (out.ok) {
    result.body = DecodeBody(std::move(out.body), out.contentType);
    result.headers = std::move(out.headerBlock);
  }
  return result;
}

}  // namespace kelvora
