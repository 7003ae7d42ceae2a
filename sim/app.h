#pragma once
// The simulator's state and its HTTP routes.
#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "catalogue.h"
#include "filler.h"
#include "server.h"

namespace kelvora::sim {

struct Options {
  int port = 0;
  uint64_t seed = 1;
  int items = 2000;
  std::string writeConfig;
  std::string logPath;
  int latencyMs = 0;
  double failRate = 0;
  double hangRate = 0;
  double malformedRate = 0;
  int64_t now = 0;          // Unix seconds
  bool tls = false;         // https instead of http
  std::string caFile;       // with tls: the authority the settings file tells clients to trust
  bool smallPages = false;  // item pages without the filler that gives them their real size
};

// The fixed marketplace cookie value that is always accepted (the demo cookie text).
inline constexpr const char* kDemoMarketCookie2 = "kelvorademo0000";
// A lookup-service session token that is always accepted (for --service-cookie).
inline constexpr const char* kDemoServiceToken = "kelvorademo-session";

class App {
 public:
  App(const Options& options, int port);
  ~App();

  void registerRoutes(Server& server);
  // Writes one line of the request log.
  void logRequest(const RawRequest& req);
  // Releases every request that was told to hang.
  void shutdown();

  const std::string& base() const { return base_; }  // "http://127.0.0.1:P" (https with tls)
  // "//127.0.0.1:P"; with tls "https://127.0.0.1:P", since a client puts http:
  // before an address that starts with "//".
  const std::string& pbase() const { return pbase_; }
  std::string settingsText() const;

  // --- shared by the route files ---
  const Options& options() const { return options_; }
  const Catalogue& catalogue() const { return catalogue_; }
  // The blocks that give item pages their real size; null with small pages.
  const PageFiller* filler() const { return filler_.get(); }
  bool hasMarketLogin(const httplib::Request& req);
  std::string issueMarketCookie();
  std::string issueServiceSession(const std::string& user, int uid);
  // The account of the request's service session, or nullptr.
  bool serviceUser(const httplib::Request& req, std::string& user, int& uid);
  uint64_t nextToken();
  // The faults dealt so far, as {"faults":[{"method","target","fault"},...]} (UTF-8 JSON).
  std::string faultsJson();

  std::string loginSite() const { return base_ + "/login/member/login.jhtml"; }

 private:
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;
  Handler wrap(Handler handler, bool faults = true);
  void routeMarket(Server& server);
  void routeItems(Server& server);
  void routeService(Server& server);
  void routeTruth(Server& server);
  void routeSearch(Server& server);
  void routeList(Server& server);

  Options options_;
  std::string base_, pbase_;
  Catalogue catalogue_;
  std::unique_ptr<PageFiller> filler_;

  std::mutex mutex_;
  std::set<std::string> marketCookies_;
  std::map<std::string, std::pair<std::string, int>> sessions_;  // token -> user, uid
  std::map<std::string, uint64_t> seen_;                         // fault key -> times asked
  struct Fault {
    std::string method, target;
    const char* kind;  // "500", "drop", "hang", "cut", "corrupt"
  };
  std::vector<Fault> faults_;
  void noteFault(const httplib::Request& req, const char* kind);
  uint64_t tokens_ = 0;

  std::mutex logMutex_;
  std::FILE* log_ = nullptr;

  std::mutex hangMutex_;
  std::condition_variable hangCv_;
  bool stopping_ = false;
};

// Helpers shared by the route files.
void SendGbk(httplib::Response& res, const std::string& utf8, const char* type = "text/html");
// Sends text that is GBK already.
void SendGbkBytes(httplib::Response& res, std::string gbk, const char* type = "text/html");
void SendUtf8Json(httplib::Response& res, const std::string& json);
std::string Esc(const std::string& text);  // HTML escaping

// Page texts of the marketplace (market.cpp, item_pages.cpp, item_answers.cpp,
// search.cpp): the ...Text ones UTF-8, the item pages GBK.
std::string LoginPageText(const App& app, const std::string& message);
std::string TaobaoPage(const App& app, const Item& it, const Seller& seller);
std::string TmallPage(const App& app, const Item& it, const Seller& seller);
std::string SibAnswerText(const App& app, const Item& it);
std::string MdskipAnswerText(const App& app, const Item& it);
// The address of an item page as lists give it: protocol-relative, or http: when `absolute`.
std::string ItemAddress(const App& app, const Item& it, bool absolute);

}  // namespace kelvora::sim
