#include "net/endpoints.h"

#include <mutex>

namespace kelvora {
namespace {

Endpoints MakeDefaults() {
  Endpoints e;
  // The lookup service and the vendor's pages belong to an installation: these
  // loopback placeholders only stand until the settings file (or the demo, which
  // writes one pointing at the simulator) names the real addresses.
  e.SERVICE_BASE = "http://127.0.0.1:8731/";
  e.VENDOR_SITE = "http://127.0.0.1:8731/";
  e.MARKET_HOME_URL = "http://www.taobao.com/";
  e.MARKET_HOST = "www.taobao.com";
  e.MARKET_ROOT_URL = "http://taobao.com";
  e.LIST_SITE = "http://list.taobao.com";
  e.SEARCH_SITE = "http://s.taobao.com";
  e.TOP_SITE = "http://top.taobao.com";
  e.LOGIN_SITE = "https://login.taobao.com/member/login.jhtml";
  e.CART_SITE = "http://cart.taobao.com";
  e.ITEM_NY_SITE = "http://item.ny.taobao.com";
  e.BANG_SITE = "http://bang.taobao.com";
  e.MARKET_DOMAIN_SUFFIX = ".taobao.com";
  // "天猫" in GBK is CC EC C3 A8.
  e.TMALL_TITLE_SUFFIX = "-tmall.com\xCC\xEC\xC3\xA8";
  e.TMALL_LINK_MARKER = "<link title=\"tmall.com\xCC\xEC\xC3\xA8\"";
  e.MARKET_COOKIE_DOMAINS = ".tmall.com";
  e.ITEM_PAGE_URL = "https://item.taobao.com/item.htm?id={id}";
  return e;
}

std::mutex gMutex;
std::shared_ptr<const Endpoints> gCurrent;

struct Field {
  const char* name;
  std::string Endpoints::*member;
};

const Field kFields[] = {
    {"SERVICE_BASE", &Endpoints::SERVICE_BASE},
    {"VENDOR_SITE", &Endpoints::VENDOR_SITE},
    {"MARKET_HOME_URL", &Endpoints::MARKET_HOME_URL},
    {"MARKET_HOST", &Endpoints::MARKET_HOST},
    {"MARKET_ROOT_URL", &Endpoints::MARKET_ROOT_URL},
    {"LIST_SITE", &Endpoints::LIST_SITE},
    {"SEARCH_SITE", &Endpoints::SEARCH_SITE},
    {"TOP_SITE", &Endpoints::TOP_SITE},
    {"LOGIN_SITE", &Endpoints::LOGIN_SITE},
    {"CART_SITE", &Endpoints::CART_SITE},
    {"ITEM_NY_SITE", &Endpoints::ITEM_NY_SITE},
    {"BANG_SITE", &Endpoints::BANG_SITE},
    {"MARKET_DOMAIN_SUFFIX", &Endpoints::MARKET_DOMAIN_SUFFIX},
    {"TMALL_TITLE_SUFFIX", &Endpoints::TMALL_TITLE_SUFFIX},
    {"TMALL_LINK_MARKER", &Endpoints::TMALL_LINK_MARKER},
    {"MARKET_COOKIE_DOMAINS", &Endpoints::MARKET_COOKIE_DOMAINS},
    {"ITEM_PAGE_URL", &Endpoints::ITEM_PAGE_URL},
};

const Field* FindField(std::string_view name) {
  for (const Field& f : kFields)
    if (name == f.name) return &f;
  return nullptr;
}

}  // namespace

std::string ItemPageAddress(const Endpoints& endpoints, const std::string& itemId) {
  static constexpr std::string_view kPlaceholder = "{id}";
  std::string out;
  const std::string& pattern = endpoints.ITEM_PAGE_URL;
  size_t from = 0;
  for (size_t at; (at = pattern.find(kPlaceholder, from)) != std::string::npos; from = at + kPlaceholder.size())
    out.append(pattern, from, at - from).append(itemId);
  return out.append(pattern, from);
}

const Endpoints& DefaultEndpoints() {
  static const Endpoints defaults = MakeDefaults();
  return defaults;
}

std::shared_ptr<const Endpoints> CurrentEndpoints() {
  std::lock_guard lock(gMutex);
  if (!gCurrent) gCurrent = std::make_shared<const Endpoints>(DefaultEndpoints());
  return gCurrent;
}

void SetEndpoints(Endpoints endpoints) {
  auto value = std::make_shared<const Endpoints>(std::move(endpoints));
  std::lock_guard lock(gMutex);
  gCurrent = std::move(value);
}

const std::vector<std::string>& EndpointNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> v;
    for (const Field& f : kFields) v.emplace_back(f.name);
    return v;
  }();
  return names;
}

std::string* EndpointField(Endpoints& endpoints, std::string_view name) {
  const Field* f = FindField(name);
  return f ? &(endpoints.*(f->member)) : nullptr;
}

const std::string* EndpointField(const Endpoints& endpoints, std::string_view name) {
  const Field* f = FindField(name);
  return f ? &(endpoints.*(f->member)) : nullptr;
}

}  // namespace kelvora
