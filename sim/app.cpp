#include "app.h"

#include <chrono>
#include <thread>

#include "util.h"

namespace kelvora::sim {

App::App(const Options& options, int port)
    : options_(options),
      base_((options.tls ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port)),
      pbase_(options.tls ? base_ : "//127.0.0.1:" + std::to_string(port)),
      catalogue_(options.seed, options.items, options.now) {
  if (!options_.smallPages) filler_ = std::make_unique<PageFiller>(options_.seed, pbase_);
  if (!options_.logPath.empty()) log_ = std::fopen(options_.logPath.c_str(), "a");
}

App::~App() {
  if (log_) std::fclose(log_);
}

std::string App::settingsText() const {
  std::string t = "; Written by kelvora-sim: every endpoint points at the simulator.\n[endpoints]\n";
  auto line = [&](const char* name, const std::string& value) { t += std::string(name) + "=" + value + "\n"; };
  line("SERVICE_BASE", base_ + "/service/");
  line("VENDOR_SITE", base_ + "/vendor");
  line("MARKET_HOME_URL", base_ + "/www/");
  line("MARKET_HOST", "127.0.0.1");
  line("MARKET_ROOT_URL", base_ + "/");
  line("LIST_SITE", base_ + "/list");
  line("SEARCH_SITE", base_ + "/s");
  line("TOP_SITE", base_ + "/top");
  line("LOGIN_SITE", loginSite());
  line("CART_SITE", base_ + "/cart");
  line("ITEM_NY_SITE", base_ + "/ny");
  line("BANG_SITE", base_ + "/bang");
  line("MARKET_DOMAIN_SUFFIX", ".127.0.0.1");
  line("TMALL_TITLE_SUFFIX", "-tmall.com天猫");
  line("TMALL_LINK_MARKER", "<link title=\"tmall.com天猫\"");
  // Its other loopback name: a redirect between the two keeps the marketplace cookie.
  line("MARKET_COOKIE_DOMAINS", ".localhost");
  // Every catalogue item, whatever its kind, has a page at this address.
  line("ITEM_PAGE_URL", base_ + "/item/item.htm?id={id}");
  if (options_.tls && !options_.caFile.empty()) {
    t += "[http]\n";
    line("ca_file", options_.caFile);
  }
  return t;
}

void App::noteFault(const httplib::Request& req, const char* kind) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.push_back({req.method, req.target, kind});
}

std::string App::faultsJson() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string t = "{\"faults\":[";
  for (size_t i = 0; i < faults_.size(); ++i) {
    if (i) t += ",";
    t += "{\"method\":" + JsonQuote(faults_[i].method) + ",\"target\":" + JsonQuote(faults_[i].target) +
         ",\"fault\":" + JsonQuote(faults_[i].kind) + "}";
  }
  return t + "]}";
}

uint64_t App::nextToken() {
  std::lock_guard<std::mutex> lock(mutex_);
  return Mix64(options_.seed * 0x100000001B3ull + ++tokens_);
}

bool App::hasMarketLogin(const httplib::Request& req) {
  std::string value = CookieValue(req.get_header_value("Cookie"), "cookie2");
  if (value.empty()) return false;
  if (value == kDemoMarketCookie2) return true;
  std::lock_guard<std::mutex> lock(mutex_);
  return marketCookies_.count(value) > 0;
}

std::string App::issueMarketCookie() {
  std::string value = Hex(nextToken(), 32);
  std::lock_guard<std::mutex> lock(mutex_);
  marketCookies_.insert(value);
  return value;
}

std::string App::issueServiceSession(const std::string& user, int uid) {
  std::string token = Hex(nextToken(), 16) + Hex(nextToken(), 16);
  std::lock_guard<std::mutex> lock(mutex_);
  sessions_[token] = {user, uid};
  return token;
}

bool App::serviceUser(const httplib::Request& req, std::string& user, int& uid) {
  std::string token = CookieValue(req.get_header_value("Cookie"), "kv_auth");
  if (token.empty()) return false;
  if (token == kDemoServiceToken) {
    user = "demo";
    uid = 1001;
    return true;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = sessions_.find(token);
  if (it == sessions_.end()) return false;
  user = it->second.first;
  uid = it->second.second;
  return true;
}

void App::shutdown() {
  std::lock_guard<std::mutex> lock(hangMutex_);
  stopping_ = true;
  hangCv_.notify_all();
}

void App::logRequest(const RawRequest& req) {
  if (!log_) return;
  std::string line = "{\"method\":" + JsonQuote(req.method) + ",\"target\":" + JsonQuote(req.target) + ",\"headers\":[";
  bool first = true;
  for (const auto& [name, value] : req.headers) {
    if (!first) line += ",";
    first = false;
    line += "[" + JsonQuote(name) + "," + JsonQuote(value) + "]";
  }
  line += "],\"body\":" + JsonQuote(req.body) + ",\"conn\":" + std::to_string(req.connection) + "}\n";
  std::lock_guard<std::mutex> lock(logMutex_);
  std::fwrite(line.data(), 1, line.size(), log_);
  std::fflush(log_);
}

namespace {

// The fault key of a request: method and target without its cache-busting "_" parameter.
std::string FaultKey(const httplib::Request& req) {
  std::string target = req.target;
  size_t q = target.find('?');
  if (q == std::string::npos) return req.method + " " + target;
  std::string out = req.method + " " + target.substr(0, q + 1);
  std::string query = target.substr(q + 1);
  size_t pos = 0;
  bool first = true;
  while (pos <= query.size()) {
    size_t amp = query.find('&', pos);
    if (amp == std::string::npos) amp = query.size();
    std::string piece = query.substr(pos, amp - pos);
    if (piece.rfind("_=", 0) != 0) {
      if (!first) out += "&";
      out += piece;
      first = false;
    }
    pos = amp + 1;
  }
  return out;
}

}  // namespace

App::Handler App::wrap(Handler handler, bool faults) {
  return [this, handler = std::move(handler), faults](const httplib::Request& req, httplib::Response& res) {
    if (!faults) {
      handler(req, res);
      return;
    }
    uint64_t count;
    std::string key = FaultKey(req);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      count = seen_[key]++;
    }
    uint64_t h = Mix64(HashText(options_.seed, key) ^ Mix64(count + 1));
    double u = static_cast<double>(h >> 11) / 9007199254740992.0;
    uint64_t h2 = Mix64(h);

    if (options_.latencyMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(options_.latencyMs));

    if (u < options_.failRate) {
      if (h2 & 1) {
        noteFault(req, "500");
        res.status = 500;
        res.set_content("<html><body><h1>500 Internal Server Error</h1></body></html>", "text/html");
      } else {
        // Drop the connection: the head goes out, then the body never comes.
        noteFault(req, "drop");
        res.set_header(kDropHeader, "4096");
        res.set_content("", "text/html");
      }
      return;
    }
    u -= options_.failRate;
    if (u >= 0 && u < options_.hangRate) {
      noteFault(req, "hang");
      std::unique_lock<std::mutex> lock(hangMutex_);
      hangCv_.wait_for(lock, std::chrono::seconds(120), [this] { return stopping_; });
      res.set_header(kDropHeader, "4096");
      res.set_content("", "text/html");
      return;
    }
    u -= options_.hangRate;
    handler(req, res);
    if (u >= 0 && u < options_.malformedRate && !res.body.empty()) {
      size_t len = res.body.size();
      if (h2 & 2) {
        // Cut short on the way: the head announces the whole body, the connection
        // closes after part of it.
        noteFault(req, "cut");
        res.set_header(kDropHeader, std::to_string(len));
        res.body.resize(len / 4 + (h2 >> 8) % (len / 2 + 1));
      } else {
        // Corrupted at the source: a whole answer with wrong bytes in it.
        noteFault(req, "corrupt");
        size_t pos = (h2 >> 8) % len;
        res.body.replace(pos, std::min<size_t>(24, len - pos), "#!<corrupt>%\"{)];\\u00");
      }
    }
  };
}

void App::registerRoutes(Server& server) {
  routeTruth(server);
  routeService(server);
  routeMarket(server);
  auto notFound = wrap([](const httplib::Request&, httplib::Response& res) {
    res.status = 404;
    SendGbk(res, "<html><head><meta charset=\"gbk\"><title>404</title></head><body>页面不存在</body></html>");
    res.status = 404;
  });
  server.Get(".*", notFound);
  server.Post(".*", notFound);
}

void SendGbk(httplib::Response& res, const std::string& utf8, const char* type) {
  res.set_content(ToGbk(utf8), std::string(type) + ";charset=GBK");
}

void SendGbkBytes(httplib::Response& res, std::string gbk, const char* type) {
  res.body = std::move(gbk);
  res.set_header("Content-Type", std::string(type) + ";charset=GBK");
}

void SendUtf8Json(httplib::Response& res, const std::string& json) {
  res.set_content(json, "application/json; charset=utf-8");
}

std::string Esc(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace kelvora::sim
