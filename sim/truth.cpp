// What a correct client shows for each item, for the tests (/sim/...).
#include <cstdlib>

#include "app.h"
#include "util.h"

namespace kelvora::sim {

namespace {

std::string Str(const std::string& key, const std::string& value) { return JsonQuote(key) + ":" + JsonQuote(value); }

std::string TruthJson(const App& app, const Item& it) {
  const Seller& seller = app.catalogue().sellerOf(it);
  std::string url = app.base() + (it.kind == ItemKind::Tmall ? "/detail/item.htm?id=" : "/item/item.htm?id=") + it.id;
  std::string link = it.kind == ItemKind::Alt ? app.base() + "/ny/item.htm?id=" + it.id : url;
  std::string title = it.title, itemId, sellerName, shopType = "店铺", sales, stock, price, location;
  bool asked = true;
  switch (it.kind) {
    case ItemKind::Removed:
      title = "该商品已下架。";
      asked = false;
      break;
    case ItemKind::Unsupported:
      asked = false;
      break;
    case ItemKind::Tmall:
      itemId = it.id;
      sellerName = seller.nick;
      shopType = "天猫";
      sales = std::to_string(it.sales);
      stock = std::to_string(it.stock);
      price = it.promo == PromoForm::Plain ? it.price + " -> " + it.promoPrice : it.price;
      location = it.location;
      break;
    case ItemKind::Taobao:
    case ItemKind::Alt:
      itemId = it.id.size() >= 5 && it.id.size() <= 15 ? it.id : "";
      sellerName = seller.nick;
      sales = std::to_string(it.sales);
      if (it.stock > 0 || (it.stock == 0 && it.sib == SibForm::Json)) stock = std::to_string(it.stock);
      price = it.price;
      location = it.location;
      break;
  }
  std::string listed = "null", delist = "null";
  if (asked) {
    int64_t l = 0, d = 0;
    if (!itemId.empty()) {
      if (it.timeForm != TimeForm::None) d = app.catalogue().delistAt(it);
      if (it.timeForm != TimeForm::None && it.timeForm != TimeForm::OnlyDelist) l = it.listedAt;
    }
    listed = std::to_string(l);
    delist = std::to_string(d);
  }
  return "{" + Str("id", it.id) + "," + Str("kind", KindName(it.kind)) + "," + Str("url", url) + "," +
         Str("link", link) + "," + Str("title", title) + "," + Str("itemId", itemId) + "," + Str("seller", sellerName) +
         "," + Str("shopType", shopType) + "," + Str("sales", sales) + "," + Str("stock", stock) + "," +
         Str("price", price) + "," + Str("location", location) + ",\"listedAt\":" + listed + ",\"delistAt\":" + delist +
         "}";
}

}  // namespace

void App::routeTruth(Server& server) {
  server.Get(R"(/sim/item/(\d+)\.json)", wrap(
                                             [this](const httplib::Request& req, httplib::Response& res) {
                                               const Item* it = catalogue().find(req.matches[1]);
                                               if (!it) {
                                                 res.status = 404;
                                                 return SendUtf8Json(res, "{\"error\":\"no such item\"}");
                                               }
                                               SendUtf8Json(res, TruthJson(*this, *it));
                                             },
                                             false));

  server.Get("/sim/catalogue.json",
             wrap(
                 [this](const httplib::Request& req, httplib::Response& res) {
                   const auto& items = catalogue().items();
                   long offset = std::strtol(req.get_param_value("offset").c_str(), nullptr, 10);
                   long limit =
                       req.has_param("limit") ? std::strtol(req.get_param_value("limit").c_str(), nullptr, 10) : 100;
                   if (offset < 0) offset = 0;
                   if (limit < 0) limit = 0;
                   std::string t = "{\"total\":" + std::to_string(items.size()) +
                                   ",\"offset\":" + std::to_string(offset) + ",\"items\":[";
                   for (size_t i = static_cast<size_t>(offset);
                        i < items.size() && i < static_cast<size_t>(offset + limit); ++i) {
                     const Item& it = items[i];
                     if (i > static_cast<size_t>(offset)) t += ",";
                     t += "{" + Str("id", it.id) + "," + Str("kind", KindName(it.kind)) + "," +
                          Str("seller", catalogue().sellerOf(it).nick) + ",\"top\":" + std::to_string(it.top) +
                          ",\"sub\":" + std::to_string(it.sub) + "}";
                   }
                   t += "]}";
                   SendUtf8Json(res, t);
                 },
                 false));

  server.Get("/sim/sellers.json", wrap(
                                      [this](const httplib::Request&, httplib::Response& res) {
                                        std::string t = "{\"sellers\":[";
                                        bool first = true;
                                        for (const Seller& s : catalogue().sellers()) {
                                          t += (first ? "{" : ",{") + Str("nick", s.nick) + "," +
                                               Str("pageNick", s.pageNick) +
                                               ",\"tmall\":" + (s.tmall ? "true" : "false") +
                                               ",\"items\":" + std::to_string(s.items.size()) + "}";
                                          first = false;
                                        }
                                        SendUtf8Json(res, t + "]}");
                                      },
                                      false));

  server.Get("/sim/keyword.json", wrap(
                                      [this](const httplib::Request& req, httplib::Response& res) {
                                        std::string t = "{\"ids\":[";
                                        bool first = true;
                                        for (size_t i : catalogue().keywordResults(req.get_param_value("q"))) {
                                          t += (first ? "" : ",") + JsonQuote(catalogue().items()[i].id);
                                          first = false;
                                        }
                                        SendUtf8Json(res, t + "]}");
                                      },
                                      false));

  server.Get("/sim/faults.json",
             wrap([this](const httplib::Request&, httplib::Response& res) { SendUtf8Json(res, faultsJson()); }, false));

  server.Get("/sim/info.json",
             wrap(
                 [this](const httplib::Request&, httplib::Response& res) {
                   SendUtf8Json(res,
                                "{\"seed\":" + std::to_string(options().seed) +
                                    ",\"items\":" + std::to_string(catalogue().items().size()) +
                                    ",\"now\":" + std::to_string(catalogue().now()) +
                                    ",\"marketCookie\":\"cookie2=kelvorademo0000; _tb_token_=kelvora; t=kelvorademo\"" +
                                    ",\"serviceCookie\":\"kv_auth=" + kDemoServiceToken + "\"}");
                 },
                 false));
}

}  // namespace kelvora::sim
