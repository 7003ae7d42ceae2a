#include "app/demo_catalogue.h"

#include <map>
#include <utility>

#include "net/http.h"
#include "net/json.h"
#include "net/text.h"

namespace kelvora {

std::vector<std::string> DemoItemAddresses(const std::string& simBase) {
  std::string url = simBase + "/sim/catalogue.json?offset=0&limit=200";
  std::string cookie;
  const std::string body = HttpFetch(url, "", cookie);
  JsonReader json;
  json.load("c", body);
  const std::vector<std::pair<std::string, int>> wanted = {{"taobao", 4}, {"tmall", 3}, {"alt", 1}, {"removed", 1}};
  std::map<std::string, int> taken;
  std::vector<std::string> addresses;
  const int32_t n = json.getLength("c.items");
  for (int32_t i = 0; i < n; ++i) {
    const std::string prefix = "c.items[" + NumberText(static_cast<int64_t>(i)) + "]";
    const std::string kind = json.getText(prefix + ".kind");
    const std::string id = json.getText(prefix + ".id");
    for (const auto& [k, count] : wanted) {
      if (k != kind || taken[k] >= count) continue;
      ++taken[k];
      addresses.push_back(simBase + (kind == "tmall" ? "/detail/item.htm?id=" : "/item/item.htm?id=") + id);
    }
  }
  return addresses;
}

}  // namespace kelvora
