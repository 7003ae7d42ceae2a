#pragma once
// Addresses and page texts of the two outside services. Built-in defaults are
// the marketplace's public hosts; a settings file can override every one.
// SERVICE_BASE and VENDOR_SITE belong to an installation: their built-ins are
// loopback placeholders that the settings file (or --demo) replaces.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kelvora {

// All values are GBK text (the settings file is UTF-8 and is converted on load).
struct Endpoints {
  std::string SERVICE_BASE;  // ends with "/"
  std::string VENDOR_SITE;
  std::string MARKET_HOME_URL;
  std::string MARKET_HOST;
  std::string MARKET_ROOT_URL;
  std::string LIST_SITE;
  std::string SEARCH_SITE;
  std::string TOP_SITE;
  std::string LOGIN_SITE;
  std::string CART_SITE;
  std::string ITEM_NY_SITE;
  std::string BANG_SITE;
  std::string MARKET_DOMAIN_SUFFIX;
  std::string TMALL_TITLE_SUFFIX;
  std::string TMALL_LINK_MARKER;
  // Further domain suffixes of the marketplace, comma-separated, each with its
  // leading dot: a redirect between hosts in these (or MARKET_DOMAIN_SUFFIX)
  // keeps the marketplace cookie.
  std::string MARKET_COOKIE_DOMAINS;
  // An item page's address, "{id}" standing for the item id: where a monitored item
  // that was never recorded is looked up.
  std::string ITEM_PAGE_URL;
};

// ITEM_PAGE_URL with every "{id}" replaced by `itemId` (GBK).
std::string ItemPageAddress(const Endpoints& endpoints, const std::string& itemId);

const Endpoints& DefaultEndpoints();
// The process-wide endpoints; a reader gets a whole value, never half of an update.
std::shared_ptr<const Endpoints> CurrentEndpoints();
void SetEndpoints(Endpoints endpoints);

// The constant names in the order of the struct ("SERVICE_BASE", ...).
const std::vector<std::string>& EndpointNames();
// The member called `name`, or nullptr for an unknown name.
std::string* EndpointField(Endpoints& endpoints, std::string_view name);
const std::string* EndpointField(const Endpoints& endpoints, std::string_view name);

}  // namespace kelvora
