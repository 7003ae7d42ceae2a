// Keyword search result pages and the list site's JSON.
#include <algorithm>
#include <cstdlib>

#include "app.h"
#include "net/codec.h"
#include "util.h"

namespace kelvora::sim {

std::string ItemAddress(const App& app, const Item& it, bool absolute) {
  return (absolute ? app.base() : app.pbase()) +
         (it.kind == ItemKind::Tmall ? "/detail/item.htm?id=" : "/item/item.htm?id=") + it.id;
}

namespace {

constexpr size_t kSearchPageSize = 44;

// Keyword tokens that choose the markup of a result page.
enum class SearchForm { Config, Markup1, Markup2, EmptyConfig };

size_t Offset(const httplib::Request& req, const char* name) {
  std::string v = req.get_param_value(name);  // the first one: a page address may carry two
  long n = std::strtol(v.c_str(), nullptr, 10);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

std::string RemoveAll(std::string text, const std::string& what) {
  for (size_t p; (p = text.find(what)) != std::string::npos;) text.erase(p, what.size());
  return text;
}

// The list site's JSONP answers come broken into lines of about 512 bytes, the
// breaks falling anywhere (inside strings too), never inside a character.
std::string BreakLines(const std::string& utf8) {
  constexpr size_t kLine = 512;
  std::string out;
  out.reserve(utf8.size() + utf8.size() / kLine * 2 + 2);
  size_t run = 0;
  for (char c : utf8) {
    const bool continuation = (static_cast<unsigned char>(c) & 0xC0) == 0x80;
    if (run >= kLine && !continuation) {
      out += "\r\n";
      run = 0;
    }
    out += c;
    ++run;
  }
  return out;
}

std::string Trimmed(std::string t) {
  while (!t.empty() && t.front() == ' ') t.erase(0, 1);
  while (!t.empty() && t.back() == ' ') t.pop_back();
  return t;
}

}  // namespace

void App::routeSearch(Server& server) {
  server.Get(
      "/s/search", wrap([this](const httplib::Request& req, httplib::Response& res) {
        std::string raw = req.get_param_value("q");
        std::string keyword = IsValidUtf8(raw) && req.get_param_value("ie") == "utf8" ? raw : FromGbk(raw);
        SearchForm form = SearchForm::Config;
        if (keyword.find("旧版") != std::string::npos)
          form = SearchForm::Markup1;
        else if (keyword.find("老版") != std::string::npos)
          form = SearchForm::Markup2;
        else if (keyword.find("空页") != std::string::npos)
          form = SearchForm::EmptyConfig;
        std::string match = Trimmed(RemoveAll(RemoveAll(RemoveAll(keyword, "旧版"), "老版"), "空页"));
        std::vector<size_t> found = catalogue().keywordResults(match.empty() ? keyword : match);

        // Refinements a user can click in the result page.
        const auto& items = catalogue().items();
        const bool tmallOnly = req.get_param_value("filter_tianmao") == "tmall";
        if (tmallOnly)
          found.erase(
              std::remove_if(found.begin(), found.end(), [&](size_t i) { return items[i].kind != ItemKind::Tmall; }),
              found.end());
        std::string sort = req.get_param_value("sort");
        if (sort != "sale-desc" && sort != "price-asc" && sort != "price-desc") sort.clear();
        if (sort == "sale-desc")
          std::stable_sort(found.begin(), found.end(),
                           [&](size_t a, size_t b) { return items[a].sales > items[b].sales; });
        else if (sort == "price-asc" || sort == "price-desc")
          std::stable_sort(found.begin(), found.end(), [&](size_t a, size_t b) {
            double pa = std::atof(items[a].price.c_str()), pb = std::atof(items[b].price.c_str());
            return sort == "price-asc" ? pa < pb : pa > pb;
          });

        size_t offset = Offset(req, "s");
        size_t end = std::min(found.size(), offset + kSearchPageSize);
        std::vector<size_t> page;
        for (size_t i = offset; i < end; ++i) page.push_back(found[i]);
        size_t totalPages = (found.size() + kSearchPageSize - 1) / kSearchPageSize;

        std::string q = PercentEncodeAll(ToGbk(keyword));
        // Every link keeps the refinements in force and changes one, as the marketplace's do,
        // so the address the user ends on holds all of them.
        std::string self = base() + "/s/search?q=" + q + "&commend=all&search_type=item";
        const std::string sortPart = sort.empty() ? "" : "&sort=" + sort;
        const std::string tmallPart = tmallOnly ? "&filter_tianmao=tmall" : "";
        auto link = [](const std::string& href, const char* id, const char* text) {
          return "<a id=\"" + std::string(id) + "\" href=\"" + href + "\">" + text + "</a>\n";
        };
        std::string t = "<!DOCTYPE html>\n<html><head><meta charset=\"gbk\"><title>" + Esc(keyword) +
                        "_淘宝搜索</title>\n"
                        // The marketplace's own scripts define the style loader that the page calls.
                        "<script>function g_srp_loadCss() {}</script></head>\n<body>\n";
        t += "<div id=\"J_SortBar\" class=\"sortbar\">\n" + link(self + tmallPart, "sort-default", "综合排序") +
             link(self + "&sort=sale-desc" + tmallPart, "sort-sale-desc", "销量") +
             link(self + "&sort=price-asc" + tmallPart, "sort-price-asc", "价格从低到高") +
             link(self + "&sort=price-desc" + tmallPart, "sort-price-desc", "价格从高到低") +
             link(self + sortPart + "&filter_tianmao=tmall", "filter-tmall", "天猫") +
             link(self + sortPart, "filter-all", "所有宝贝") + "</div>\n";
        t += "<div id=\"mainsrp-itemlist\"><div class=\"items\">\n";
        bool showLinks = form == SearchForm::Markup1 || form == SearchForm::Markup2 || form == SearchForm::EmptyConfig;
        for (size_t k = 0; k < page.size(); ++k) {
          const Item& it = items[page[k]];
          const Seller& seller = catalogue().sellerOf(it);
          std::string href = ItemAddress(*this, it, page[k] % 5 == 3);
          t += "<div class=\"item\">\n";
          if (form == SearchForm::Markup2)
            t += "<a trace=\"auction\" traceidx=\"" + std::to_string(k) + "\" href=\"" + href + "\" target=\"_blank\">";
          else if (showLinks)
            t += "<a trace=\"auction\"  traceNum=\"" + std::to_string(k % 10) + "\"  data-pid=\"" + it.id +
                 "\" href=\"" + href + "\" target=\"_blank\" class=\"summary-img\">";
          else
            t += "<a class=\"pic-link\" href=\"" + href + "\" target=\"_blank\">";
          t += "<img src=\"" + pbase() + "/img/" + it.id + ".jpg\" alt=\"\"></a>\n";
          t += "<div class=\"title\"><a class=\"J_ClickStat\" href=\"" + href + "\" target=\"_blank\">" +
               Esc(it.title) + "</a></div>\n";
          t += "<div class=\"price\">&yen;<strong>" + it.price + "</strong></div><div class=\"deal-cnt\">" +
               std::to_string(it.sales) + "人付款</div>\n";
          t += "<div class=\"shop\"><span class=\"shopname\">" + Esc(seller.nick) + "</span><span class=\"location\">" +
               it.location + "</span></div>\n</div>\n";
        }
        t += "</div></div>\n<div class=\"pager\">";
        for (size_t p = 0; p < totalPages && p < 100; ++p)
          t += "<a href=\"" + self + sortPart + tmallPart + "&s=" + std::to_string(p * kSearchPageSize) + "\">" +
               std::to_string(p + 1) + "</a> ";
        t += "</div>\n";
        if (form == SearchForm::Config || form == SearchForm::EmptyConfig) {
          std::string json =
              "{\"pageName\":\"mainsrp\",\"mods\":{\"itemlist\":{\"status\":\"show\",\"data\":{\"auctions\":[";
          if (form == SearchForm::Config) {
            for (size_t k = 0; k < page.size(); ++k) {
              const Item& it = items[page[k]];
              const Seller& seller = catalogue().sellerOf(it);
              if (k) json += ",";
              json += "{\"p4pTags\":[],\"nid\":\"" + it.id + "\",\"category\":\"" + std::to_string(it.sub) +
                      "\",\"pid\":\"\",\"title\":" + JsonQuote(it.title) + ",\"raw_title\":" + JsonQuote(it.title) +
                      ",\"pic_url\":\"" + pbase() + "/img/" + it.id + ".jpg\",\"detail_url\":\"" +
                      ItemAddress(*this, it, page[k] % 5 == 3) + "\",\"view_price\":\"" + it.price +
                      "\",\"view_fee\":\"0.00\",\"item_loc\":" + JsonQuote(it.location) + ",\"view_sales\":\"" +
                      std::to_string(it.sales) + "人付款\",\"comment_count\":\"" + std::to_string(it.sales / 3) +
                      "\",\"user_id\":\"" + std::to_string(seller.sellerId) + "\",\"nick\":" + JsonQuote(seller.nick) +
                      ",\"shopcard\":{\"isTmall\":" + (seller.tmall ? "true" : "false") + "}}";
            }
          }
          json +=
              "],\"recommendAuctions\":[]}},\"pager\":{\"status\":\"show\",\"data\":{\"pageSize\":44,\"totalPage\":" +
              std::to_string(totalPages) + ",\"currentPage\":" + std::to_string(offset / kSearchPageSize + 1) +
              ",\"totalCount\":" + std::to_string(found.size()) + "}}},\"mainInfo\":{\"currentUrl\":\"" + pbase() +
              "/s/search?q=" + q + "\"}}";
          t += "<script>\n    g_page_config = " + json + ";\n    g_srp_loadCss();\n</script>\n";
        }
        t += "</body></html>\n";
        SendGbk(res, t);
      }));
}

void App::routeList(Server& server) {
  server.Get(
      "/list/itemlist/default.htm", wrap([this](const httplib::Request& req, httplib::Response& res) {
        const auto& items = catalogue().items();
        long cat = std::strtol(req.get_param_value("cat").c_str(), nullptr, 10);
        std::string nick = req.has_param("nick") ? req.get_param_value("nick") : "";
        std::string q = req.has_param("q") ? req.get_param_value("q") : "";
        std::string charset = req.get_param_value("_input_charset");
        if (charset != "utf-8" && charset != "UTF-8") {
          nick = FromGbk(nick);
          q = FromGbk(q);
        }
        size_t offset = 0;
        if (req.has_param("s"))
          offset = Offset(req, "s");
        else if (req.get_param_value("data-key") == "s")
          offset = Offset(req, "data-value");
        long pSize = std::strtol(req.get_param_value("pSize").c_str(), nullptr, 10);
        if (pSize <= 0) pSize = 40;
        if (pSize > 200) pSize = 200;

        // Category part.
        std::string catJson;
        const Category* top = nullptr;
        for (const Category& c : catalogue().categories())
          if (c.value == cat) top = &c;
        auto entry = [](const std::string& name, int value) {
          return "{\"name\":" + JsonQuote(name) + ",\"value\":\"" + std::to_string(value) + "\"}";
        };
        if (cat == 0) {
          catJson = "{\"hasGroup\":\"0\",\"catList\":[";
          bool first = true;
          for (const Category& c : catalogue().categories()) {
            catJson += (first ? "" : ",") + entry(c.name, c.value);
            first = false;
          }
          catJson += "]}";
        } else if (top && top->grouped) {
          catJson = "{\"hasGroup\":\"1\",\"catGroupList\":[";
          std::vector<std::string> groups;
          for (const SubCategory& s : top->subs)
            if (std::find(groups.begin(), groups.end(), s.group) == groups.end()) groups.push_back(s.group);
          for (size_t g = 0; g < groups.size(); ++g) {
            catJson += (g ? ",{" : "{") + std::string("\"name\":") + JsonQuote(groups[g]) + ",\"catList\":[";
            bool first = true;
            for (const SubCategory& s : top->subs)
              if (s.group == groups[g]) {
                catJson += (first ? "" : ",") + entry(s.name, s.value);
                first = false;
              }
            catJson += "]}";
          }
          catJson += "]}";
        } else if (top) {
          catJson = "{\"hasGroup\":\"0\",\"catList\":[";
          for (size_t s = 0; s < top->subs.size(); ++s)
            catJson += (s ? "," : "") + entry(top->subs[s].name, top->subs[s].value);
          catJson += "]}";
        } else {
          catJson = "{\"hasGroup\":\"0\",\"catList\":[]}";
        }

        // Item part.
        std::vector<size_t> found;
        if (!nick.empty()) {
          for (const Seller& s : catalogue().sellers())
            if (s.nick == nick) found = s.items;
        } else {
          for (size_t i = 0; i < items.size(); ++i)
            if (cat == 0 || items[i].top == cat || items[i].sub == cat) found.push_back(i);
        }
        if (!q.empty())
          found.erase(std::remove_if(found.begin(), found.end(),
                                     [&](size_t i) { return items[i].title.find(q) == std::string::npos; }),
                      found.end());
        std::string list = "[";
        size_t end = std::min(found.size(), offset + static_cast<size_t>(pSize));
        for (size_t k = offset; k < end; ++k) {
          const Item& it = items[found[k]];
          const Seller& seller = catalogue().sellerOf(it);
          if (k > offset) list += ",";
          list += "{\"href\":\"" + ItemAddress(*this, it, found[k] % 7 == 2) + "\",\"title\":" + JsonQuote(it.title) +
                  ",\"image\":\"" + pbase() + "/img/" + it.id + ".jpg\",\"price\":\"" + it.price +
                  "\",\"currency\":\"&yen;\",\"nick\":" + JsonQuote(seller.nick) +
                  ",\"loc\":" + JsonQuote(it.location) + ",\"tradeNum\":\"" + std::to_string(it.sales) +
                  "\",\"isTmall\":" + (seller.tmall ? "true" : "false") + "}";
        }
        list += "]";
        size_t totalPages = (found.size() + static_cast<size_t>(pSize) - 1) / static_cast<size_t>(pSize);
        std::string json = "{\"status\":{\"code\":\"200\"},\"page\":{\"totalPage\":\"" + std::to_string(totalPages) +
                           "\",\"currentPage\":\"" + std::to_string(offset / static_cast<size_t>(pSize) + 1) +
                           "\",\"pageSize\":\"" + std::to_string(pSize) + "\",\"totalNumber\":\"" +
                           std::to_string(found.size()) + "\"},\"cat\":" + catJson + ",\"itemList\":" + list + "}";
        std::string callback = req.get_param_value("callback");
        bool safe = !callback.empty() && std::all_of(callback.begin(), callback.end(), [](char c) {
          return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        });
        if (safe)
          SendGbk(res, "\r\n" + callback + "(" + BreakLines(json) + ")", "text/javascript");
        else
          SendGbk(res, json, "application/json");
      }));
}

}  // namespace kelvora::sim
