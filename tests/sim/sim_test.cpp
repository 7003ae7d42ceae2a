// kelvora-sim as the clients see it: login and lookup, item pages and their
// dynamic data read by the client's rules, paging, the login wall, faults.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "net/codec.h"
#include "support/sim_process.h"

namespace kelvora::test {
namespace {

const char* kMarketCookie = "cookie2=kelvorademo0000; _tb_token_=kelvora; t=kelvorademo";

// ---- a minimal JSON reader for the checks: the text of a value at a member path ----
class MiniJson {
 public:
  explicit MiniJson(std::string text) : t_(std::move(text)) {}
  // Path like {"data","dynStock","sellableQuantity"} or {"items","3","id"}; nullopt when absent.
  std::optional<std::string> get(const std::vector<std::string>& path) {
    pos_ = 0;
    return walk(path, 0);
  }
  size_t length(const std::vector<std::string>& path) {
    pos_ = 0;
    if (!seek(path, 0)) return 0;
    ws();
    if (pos_ >= t_.size() || t_[pos_] != '[') return 0;
    ++pos_;
    size_t n = 0;
    ws();
    if (t_[pos_] == ']') return 0;
    while (true) {
      skip();
      ++n;
      ws();
      if (t_[pos_] == ',') {
        ++pos_;
        continue;
      }
      return n;
    }
  }

 private:
  std::optional<std::string> walk(const std::vector<std::string>& path, size_t i) {
    if (!seek(path, i)) return std::nullopt;
    ws();
    size_t start = pos_;
    if (t_[pos_] == '"') return str();
    skip();
    return t_.substr(start, pos_ - start);
  }
  bool seek(const std::vector<std::string>& path, size_t i) {
    for (; i < path.size(); ++i) {
      ws();
      if (pos_ >= t_.size()) return false;
      if (t_[pos_] == '{') {
        ++pos_;
        bool found = false;
        while (true) {
          ws();
          if (t_[pos_] == '}') return false;
          std::string key = str();
          ws();
          ++pos_;  // ':'
          if (key == path[i]) {
            found = true;
            break;
          }
          skip();
          ws();
          if (t_[pos_] == ',') ++pos_;
        }
        if (!found) return false;
      } else if (t_[pos_] == '[') {
        ++pos_;
        int want = std::stoi(path[i]);
        for (int k = 0; k < want; ++k) {
          ws();
          if (t_[pos_] == ']') return false;
          skip();
          ws();
          if (t_[pos_] == ',') ++pos_;
        }
        ws();
        if (t_[pos_] == ']') return false;
      } else {
        return false;
      }
    }
    return true;
  }
  void ws() {
    while (pos_ < t_.size() && std::isspace(static_cast<unsigned char>(t_[pos_]))) ++pos_;
  }
  std::string str() {
    std::string out;
    ++pos_;
    while (pos_ < t_.size() && t_[pos_] != '"') {
      if (t_[pos_] == '\\') {
        out += t_[pos_];
        ++pos_;
      }
      out += t_[pos_++];
    }
    ++pos_;
    return out;
  }
  void skip() {
    ws();
    char c = t_[pos_];
    if (c == '"') {
      str();
      return;
    }
    if (c == '{' || c == '[') {
      int depth = 0;
      while (pos_ < t_.size()) {
        char d = t_[pos_];
        if (d == '"') {
          str();
          continue;
        }
        if (d == '{' || d == '[') ++depth;
        if (d == '}' || d == ']') {
          --depth;
          if (depth == 0) {
            ++pos_;
            return;
          }
        }
        ++pos_;
      }
      return;
    }
    while (pos_ < t_.size() && t_[pos_] != ',' && t_[pos_] != '}' && t_[pos_] != ']') ++pos_;
  }
  std::string t_;
  size_t pos_ = 0;
};

// ---- the client's reading rules on GBK text, written out plainly ----
std::string Between(const std::string& t, const std::string& l, const std::string& r, size_t from = 0) {
  size_t a = t.find(l, from);
  if (a == std::string::npos) return "";
  size_t b = a + l.size();
  size_t c = t.find(r, b);
  return c == std::string::npos ? "" : t.substr(b, c - b);
}
std::string Without(std::string t, const std::vector<std::string>& gone) {
  for (const auto& g : gone)
    for (size_t p; (p = t.find(g)) != std::string::npos;) t.erase(p, g.size());
  return t;
}
long long ToInt(const std::string& t) { return std::strtoll(t.c_str(), nullptr, 10); }
std::string PercentDecode(const std::string& t) {
  std::string out;
  for (size_t i = 0; i < t.size(); ++i) {
    if (t[i] == '%' && i + 2 < t.size()) {
      out += static_cast<char>(std::stoi(t.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += t[i];
    }
  }
  return out;
}
std::string UnescapeU(const std::string& t) {
  std::u16string units;
  std::string out;
  for (size_t i = 0; i < t.size();) {
    if (t.compare(i, 2, "\\u") == 0 && i + 6 <= t.size()) {
      units += static_cast<char16_t>(std::stoi(t.substr(i + 2, 4), nullptr, 16));
      i += 6;
    } else {
      out += Utf16ToGbk(units);
      units.clear();
      out += t[i++];
    }
  }
  return out + Utf16ToGbk(units);
}
std::string CallbackJson(const std::string& answer, const std::string& name) {
  std::smatch m;
  std::regex re(name + R"(\(([\s\S]+?)\);)");
  return std::regex_search(answer, m, re) ? m[1].str() : "";
}
std::string Pct(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    char buf[4];
    std::snprintf(buf, sizeof buf, std::isalnum(c) ? "%c" : "%%%02X", c);
    out += buf;
  }
  return out;
}
std::string G(const std::string& utf8) { return Utf8ToGbk(utf8); }
std::string U(const std::string& gbk) { return GbkToUtf8(gbk); }

struct Fields {
  std::string title, itemId, seller, shopType, sales, stock, price, location;
};

class SimTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { sim_ = new SimProcess({"--seed", "3", "--items", "500"}); }
  static void TearDownTestSuite() { delete sim_; }

  static httplib::Client Client() {
    httplib::Client c("127.0.0.1", sim_->port());
    c.set_keep_alive(true);
    c.set_read_timeout(10, 0);
    return c;
  }
  static std::string Get(const std::string& target, const std::string& cookie = kMarketCookie,
                         httplib::Headers extra = {}) {
    auto c = Client();
    httplib::Headers h = extra;
    if (!cookie.empty()) h.emplace("Cookie", cookie);
    auto r = c.Get(target.c_str(), h);
    return r ? r->body : "";
  }
  static std::string Path(const std::string& url) {  // "//host:port/x" or "http://host:port/x" -> "/x"
    size_t p = url.find("127.0.0.1:");
    return p == std::string::npos ? url : url.substr(url.find('/', p));
  }

  // Reads an item as the client does and returns the fields (UTF-8).
  static Fields Read(const std::string& url) {
    std::string page = Get(Path(url));
    Fields f;
    std::string base = sim_->baseUrl();
    if (page.find("if('" + base + "/ny/item.htm'){") != std::string::npos) {
      return Read(base + "/ny/item.htm" + url.substr(url.find('?')));
    }
    std::string title = Without(Between(page, "<title>", "</title>"), {G("-淘宝网"), G("-tmall.com天猫")});
    if (page.find(G("很抱歉，您查看的宝贝不存在，可能已下架或者被转移")) != std::string::npos) {
      f.title = "该商品已下架。";
      f.shopType = "店铺";
      return f;
    }
    f.title = U(title);
    f.shopType = "店铺";
    if (page.find("\"" + base + "/bang/register/guide.htm") != std::string::npos) return f;
    bool tmall = page.find(G("<link title=\"tmall.com天猫\"")) != std::string::npos;
    if (tmall) {
      std::smatch m;
      std::regex re("<input type=\"hidden\" name=\"seller_nickname\" value=\"(.+?)\" />");
      f.seller = std::regex_search(page, m, re) ? U(m[1].str()) : "";  // traditional; compared after t2s below
      std::string answer =
          Get(Path(Between(page, "\"initApi\":\"", "\"") + "&callback=setMdskip&timestamp=1415107601378"));
      std::string t = Without(answer, {"\r\n", "'", "\"", " "});
      f.sales = std::to_string(ToInt(Between(t, "sellCount:", "},")));
      size_t m0 = t.find("priceInfo");
      if (m0 == std::string::npos) m0 = 0;
      std::string price = Between(t, "price:", ",", m0);
      size_t v = t.find("promotionList", m0);
      if (v != std::string::npos) {
        std::string promo = Between(t, "price:", ",", v);
        if (promo.find_first_of("{}") == std::string::npos) price += " -> " + promo;
      }
      f.price = U(price);
      f.location = U(Between(t, "deliveryAddress:", ","));
      f.stock = std::to_string(ToInt(Between(page, "\"quantity\":", ",")));
      f.itemId = std::to_string(ToInt(Between(page, "\"itemId\":\"", "\"")));
      f.shopType = "天猫";
    } else {
      f.seller = U(PercentDecode(Between(page, "sellerNick       : '", "'")));
      std::string answer = Get(Path(Between(page, "sibUrl           : '", "'") + "&callback=onSibRequestSuccess"));
      std::string t = Without(answer, {"\r\n", "\"", " "});
      f.sales = std::to_string(ToInt(Between(t, "quanity:", ",")));
      std::string json = CallbackJson(answer, "onSibRequestSuccess");
      if (answer.find("g_config.") != std::string::npos)
        f.price = Between(answer, "g_config.Price=\"", "\"");
      else
        f.price = MiniJson(json).get({"data", "price"}).value_or("");
      std::string loc = Between(answer, "sendCity\":\"", "\"");
      f.location = U(loc.find("\\u") != std::string::npos ? UnescapeU(loc) : loc);
      long long n = ToInt(Between(answer, "virtQuantity\":\"", "\""));
      f.stock = n != 0 ? std::to_string(n) : MiniJson(json).get({"data", "dynStock", "sellableQuantity"}).value_or("");
      f.itemId = Between(page, "<input type=\"hidden\" name=\"item_id\" value=\"", "\"");
      if (f.itemId.size() > 15 || f.itemId.size() < 5) f.itemId = "";
      if (ToInt(f.stock) < 0) f.stock = "";
    }
    f.price = Without(f.price, {"\""});
    return f;
  }

  static SimProcess* sim_;
};
SimProcess* SimTest::sim_ = nullptr;

TEST_F(SimTest, WritesSettingsPointingAtItself) {
  ASSERT_TRUE(sim_->running());
  std::ifstream in(sim_->configPath());
  std::stringstream ss;
  ss << in.rdbuf();
  std::string text = ss.str();
  std::string base = sim_->baseUrl();
  for (const std::string& line :
       {"SERVICE_BASE=" + base + "/service/", "ITEM_NY_SITE=" + base + "/ny", "BANG_SITE=" + base + "/bang",
        "LOGIN_SITE=" + base + "/login/member/login.jhtml",
        std::string("TMALL_LINK_MARKER=<link title=\"tmall.com天猫\""), std::string("MARKET_COOKIE_DOMAINS=.localhost"),
        "ITEM_PAGE_URL=" + base + "/item/item.htm?id={id}"})
    EXPECT_NE(text.find(line + "\n"), std::string::npos) << line;
}

// The cookie text a client keeps after a login: every Set-Cookie value plus ";".
std::string ServiceCookieOf(const httplib::Result& r) {
  std::string cookie;
  for (size_t i = 0; i < r->get_header_value_count("Set-Cookie"); ++i)
    cookie += r->get_header_value("Set-Cookie", i) + ";";
  return cookie;
}

std::string Seconds(const std::string& t) { return t.size() == 10 ? t : t.substr(0, 10); }

TEST_F(SimTest, LoginAnswersAndLookupWithTheSession) {
  struct Case {
    std::string body;
    std::string err;
  };
  const Case cases[] = {
      {"username_box=demo&password_box=demo123", "0"},
      {"username_box=special&password_box=a%26b%3Dc%2Bd%25e+f", "0"},
      {"username_box=special&password_box=a&b=c+d%e f", "2"},  // not encoded: the password breaks up
      {"username_box=demo&password_box=demo124", "2"},
      {"username_box=nobody&password_box=whatever", "1"},
      {"username_box=broken&password_box=whatever", "-1"},
      {"username_box=expired&password_box=whatever", "3"},
  };
  for (const Case& c : cases) {
    auto r = Client().Post("/service/index.php/Login/handle_login", c.body, "application/x-www-form-urlencoded");
    ASSERT_TRUE(r) << c.body;
    EXPECT_EQ(MiniJson(r->body).get({"err"}).value_or("?"), c.err) << c.body;
    EXPECT_EQ(r->get_header_value_count("Set-Cookie"), c.err == "0" ? 2u : 0u) << c.body;
  }

  auto login = Client().Post("/service/index.php/Login/handle_login", "username_box=demo&password_box=demo123",
                             "application/x-www-form-urlencoded");
  ASSERT_TRUE(login);
  EXPECT_EQ(MiniJson(login->body).get({"login_uid"}), "1001");
  std::string session = ServiceCookieOf(login);

  MiniJson who(Get("/service/index.php/Getinfo/getJifen", session));
  EXPECT_EQ(who.get({"err"}), "0");
  EXPECT_EQ(who.get({"login_user"}), "demo");
  EXPECT_NE(MiniJson(Get("/service/index.php/Getinfo/getJifen", "")).get({"err"}).value_or("0"), "0");

  // Times of a few items: with the session they match the truth, without it there are none.
  MiniJson cat(Get("/sim/catalogue.json?offset=0&limit=40", ""));
  const long long now = std::stoll(*MiniJson(Get("/sim/info.json", "")).get({"now"}));
  int withBoth = 0;
  for (int i = 0; i < 40; ++i) {
    std::string id = *cat.get({"items", std::to_string(i), "id"});
    MiniJson truth(Get("/sim/item/" + id + ".json", ""));
    MiniJson answer(Get("/service/index.php/Getinfo/get?tid=" + id + "&_=123456", session));
    std::string listed = *truth.get({"listedAt"}), delist = *truth.get({"delistAt"});
    if (listed == "null" || truth.get({"itemId"}) == "") continue;  // the client never asks for these
    EXPECT_EQ(Seconds(answer.get({"data", "sjsj"}).value_or("0")), listed) << id;
    EXPECT_EQ(Seconds(answer.get({"data", "xjsj"}).value_or("0")), delist) << id;
    if (listed != "0") {
      ++withBoth;
      EXPECT_EQ(std::stoll(delist) - std::stoll(listed), 7 * 86400) << id;
      EXPECT_GT(std::stoll(listed), now - 7 * 86400) << id;  // listed during the last seven days
      EXPECT_LT(std::stoll(listed), now) << id;
    }
    EXPECT_FALSE(MiniJson(Get("/service/index.php/Getinfo/get?tid=" + id + "&_=1", "")).get({"data", "sjsj"})) << id;
  }
  EXPECT_GT(withBoth, 20);
}

TEST_F(SimTest, EveryKindOfItemReadsAsItsTruth) {
  MiniJson sellers(Get("/sim/sellers.json", ""));
  std::map<std::string, std::string> pageNick;
  for (size_t i = 0, n = sellers.length({"sellers"}); i < n; ++i)
    pageNick[*sellers.get({"sellers", std::to_string(i), "nick"})] =
        *sellers.get({"sellers", std::to_string(i), "pageNick"});

  MiniJson cat(Get("/sim/catalogue.json?offset=0&limit=300", ""));
  std::map<std::string, int> kinds;
  int traditional = 0, promos = 0, emptyIds = 0;
  for (size_t i = 0, n = cat.length({"items"}); i < n; ++i) {
    std::string id = *cat.get({"items", std::to_string(i), "id"});
    MiniJson truth(Get("/sim/item/" + id + ".json", ""));
    std::string kind = *truth.get({"kind"});
    ++kinds[kind];
    Fields f = Read(*truth.get({"url"}));
    SCOPED_TRACE(id + " " + kind);
    EXPECT_EQ(f.title, truth.get({"title"}));
    EXPECT_EQ(f.itemId, truth.get({"itemId"}));
    EXPECT_EQ(f.shopType, truth.get({"shopType"}));
    EXPECT_EQ(f.sales, truth.get({"sales"}));
    EXPECT_EQ(f.stock, truth.get({"stock"}));
    EXPECT_EQ(f.price, truth.get({"price"}));
    EXPECT_EQ(f.location, truth.get({"location"}));
    std::string seller = *truth.get({"seller"});
    if (kind == "tmall") {
      EXPECT_EQ(f.seller, pageNick[seller]);  // the client turns it into simplified characters
      traditional += f.seller != seller;
      promos += truth.get({"price"})->find(" -> ") != std::string::npos;
    } else {
      EXPECT_EQ(f.seller, seller);
    }
    emptyIds += kind == "taobao" && truth.get({"itemId"}) == "";
  }
  for (const char* k : {"taobao", "tmall", "removed", "unsupported", "alt"}) EXPECT_GT(kinds[k], 0) << k;
  EXPECT_GT(traditional, 0);
  EXPECT_GT(promos, 0);
  EXPECT_EQ(emptyIds, 2);  // the ids of four and of sixteen digits
}

TEST_F(SimTest, LoginWallAndCart) {
  MiniJson cat(Get("/sim/catalogue.json?offset=0&limit=20", ""));
  std::string taobao;
  for (int i = 0; i < 20 && taobao.empty(); ++i)
    if (cat.get({"items", std::to_string(i), "kind"}) == "taobao")
      taobao = *cat.get({"items", std::to_string(i), "id"});
  ASSERT_FALSE(taobao.empty());
  const std::string page = "/item/item.htm?id=" + taobao;
  const std::string sib = "/detailskip/json/sib.htm?itemId=" + taobao + "&callback=onSibRequestSuccess";
  const std::string cart = "/cart/cart.htm";
  for (const std::string& cookie :
       {std::string(""), std::string("cookie2=forged; t=1"), std::string("t=kelvorademo0000")}) {
    EXPECT_EQ(Get(page, cookie).find("sibUrl"), std::string::npos) << cookie;
    EXPECT_EQ(Get(sib, cookie).find("quanity"), std::string::npos) << cookie;
    EXPECT_EQ(Get(cart, cookie).find(G("我的购物车</title>")), std::string::npos) << cookie;
  }
  EXPECT_NE(Get(cart).find(G("我的购物车</title>")), std::string::npos);

  // A login on the marketplace's login page issues a cookie2 that opens the wall.
  auto r = Client().Get("/login/member/login.jhtml?user=buyer&password=secret");
  ASSERT_TRUE(r);
  std::string cookie;
  for (size_t i = 0; i < r->get_header_value_count("Set-Cookie"); ++i) {
    std::string v = r->get_header_value("Set-Cookie", i);
    cookie += v.substr(0, v.find(';')) + "; ";
    if (v.rfind("cookie2=", 0) == 0) {
      EXPECT_NE(v.find("HttpOnly"), std::string::npos);
    }
  }
  EXPECT_NE(Get(page, cookie).find("sibUrl           : '"), std::string::npos);
  EXPECT_NE(Get(cart, cookie).find(G("我的购物车</title>")), std::string::npos);
  auto refused = Client().Get("/login/member/login.jhtml?user=buyer&password=wrong");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->get_header_value_count("Set-Cookie"), 0u);
}

TEST_F(SimTest, PagingOfSearchListAndShop) {
  // Keyword pages of 44: the pages together give the keyword's items in order, then an empty page.
  std::string kw = "机械手表 a";  // no title holds it: a fixed share of the catalogue answers
  MiniJson expected(Get("/sim/keyword.json?q=" + Pct(kw), ""));
  size_t total = expected.length({"ids"});
  ASSERT_GT(total, 44u);
  std::string q = Pct(G(kw));  // the client's keyword encoding: letters and digits stay, other bytes %XX
  std::vector<std::string> ids;
  for (size_t s = 0;; s += 44) {
    std::string page = Get("/s/search?q=" + q + "&source=tbsy&style=list&tab=all&s=" + std::to_string(s));
    size_t a = page.find('{', page.find("g_page_config"));
    std::string json = page.substr(a, page.find("};", a) + 1 - a);
    MiniJson j(json);
    size_t n = j.length({"mods", "itemlist", "data", "auctions"});
    EXPECT_EQ(n, std::min<size_t>(44, total - std::min(total, s))) << s;
    for (size_t i = 0; i < n; ++i) {
      std::string url = *j.get({"mods", "itemlist", "data", "auctions", std::to_string(i), "detail_url"});
      ids.push_back(url.substr(url.find("id=") + 3));
    }
    if (n == 0) break;
  }
  ASSERT_EQ(ids.size(), total);
  for (size_t i = 0; i < total; ++i) EXPECT_EQ(ids[i], *expected.get({"ids", std::to_string(i)}));

  // The two markup forms carry one matching link per item.
  std::string old1 = Get("/s/search?q=" + std::string("%BE%C9%B0%E6") + "&s=0");  // 旧版
  std::string old2 = Get("/s/search?q=" + std::string("%C0%CF%B0%E6") + "&s=0");  // 老版
  std::regex first(
      R"re(<a trace="auction"  traceNum="\d"  data-pid="(?:[\s\S]+?)" href="([\s\S]+?)" target="_blank" class="s([\s\S]+?)">)re");
  std::regex second(R"re(<a trace="auction" traceidx="(?:[\s\S]+?)" href="([\s\S]+?)")re");
  EXPECT_EQ(old1.find("g_page_config"), std::string::npos);
  EXPECT_EQ(std::distance(std::sregex_iterator(old1.begin(), old1.end(), first), std::sregex_iterator()), 44);
  EXPECT_EQ(std::distance(std::sregex_iterator(old2.begin(), old2.end(), first), std::sregex_iterator()), 0);
  EXPECT_EQ(std::distance(std::sregex_iterator(old2.begin(), old2.end(), second), std::sregex_iterator()), 44);

  // Shop list: the first seller holds 200 items with --items >= 400; 95 a page.
  std::string nick = *MiniJson(Get("/sim/sellers.json", "")).get({"sellers", "0", "nick"});
  std::vector<size_t> counts;
  for (size_t s = 0; s <= 285; s += 95) {
    std::string answer = Get("/list/itemlist/default.htm?_input_charset=utf-8&json=on&atype=b&cat=0&nick=" + Pct(nick) +
                             "&pSize=95&s=" + std::to_string(s) + "&callback=jsonp60");
    // Long answers come broken into lines, also inside the JSON.
    if (s < 190) {
      EXPECT_NE(answer.find("\r\n", 2), std::string::npos);
    }
    answer = Without(answer, {"\r\n"});
    ASSERT_EQ(answer.rfind("jsonp60(", 0), 0u);
    counts.push_back(MiniJson(answer.substr(8, answer.size() - 9)).length({"itemList"}));
  }
  EXPECT_EQ(counts, (std::vector<size_t>{95, 95, 10, 0}));

  // Category lists: grouped and flat sub-lists, 40 items a page at data-value offsets.
  MiniJson tops(Get("/list/itemlist/default.htm?_input_charset=utf-8&json=on&cat=0&pSize=1"));
  ASSERT_EQ(tops.get({"cat", "catList", "0", "value"}), "16");
  MiniJson grouped(Get("/list/itemlist/default.htm?_input_charset=utf-8&json=on&cat=16&pSize=1"));
  EXPECT_EQ(grouped.get({"cat", "hasGroup"}), "1");
  EXPECT_EQ(grouped.length({"cat", "catGroupList"}), 3u);
  MiniJson flat(Get("/list/itemlist/default.htm?_input_charset=utf-8&json=on&cat=30&pSize=1"));
  EXPECT_EQ(flat.get({"cat", "hasGroup"}), "0");
  EXPECT_EQ(flat.length({"cat", "catList"}), 5u);
  size_t listed = 0;
  for (size_t off = 0;; off += 40) {
    MiniJson page(
        Get("/list/itemlist/default.htm?_input_charset=utf-8&json=on&ratesumto=20&cat=16&fromPage=adSearch"
            "&fromPage=adSearch&&viewIndex=1&spm=&pSize=40&data-key=s&data-value=" +
            std::to_string(off) + "&module=page&style=list"));
    size_t n = page.length({"itemList"});
    listed += n;
    if (n < 40) break;
  }
  MiniJson all(Get("/sim/catalogue.json?offset=0&limit=1000", ""));
  size_t inCat = 0;
  for (size_t i = 0, n = all.length({"items"}); i < n; ++i)
    inCat += all.get({"items", std::to_string(i), "top"}) == "16";
  EXPECT_EQ(listed, inCat);
}

// Outcome of each request of a fixed sequence: 'o' ok, 'f' 500, 'x' dropped, cut short or
// no answer in time, 'm' corrupted.
std::string Outcomes(const std::vector<std::string>& args, int requests) {
  auto sim = std::make_unique<SimProcess>(args);
  EXPECT_TRUE(sim->running());
  httplib::Client c("127.0.0.1", sim->port());
  c.set_read_timeout(0, 300000);
  std::string out;
  for (int i = 0; i < requests; ++i) {
    auto r = c.Get(("/service/index.php/Login/Notice?ver=3.3&n=" + std::to_string(i % 50)).c_str());
    if (!r)
      out += 'x';
    else if (r->status == 500)
      out += 'f';
    else if (r->body.find("</html>\n") == std::string::npos || r->body.find("<corrupt>") != std::string::npos)
      out += 'm';
    else
      out += 'o';
  }
  // The simulator's own list of the faults it dealt agrees with what the client met.
  auto faults = c.Get("/sim/faults.json");
  EXPECT_TRUE(faults);
  if (faults) {
    auto dealt = [&](const char* kind) {
      const std::string needle = std::string("\"fault\":\"") + kind + "\"";
      long n = 0;
      for (size_t at = faults->body.find(needle); at != std::string::npos; at = faults->body.find(needle, at + 1)) ++n;
      return n;
    };
    auto met = [&](char k) { return static_cast<long>(std::count(out.begin(), out.end(), k)); };
    EXPECT_EQ(met('f'), dealt("500"));
    EXPECT_EQ(met('m'), dealt("corrupt"));
    EXPECT_EQ(met('x'), dealt("drop") + dealt("hang") + dealt("cut"));
  }
  // Requests still held must not delay the stop.
  auto t0 = std::chrono::steady_clock::now();
  sim.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
  return out;
}

TEST_F(SimTest, SearchPageLinksKeepTheirRefinements) {
  // The links clicked in the wizard's browser keep every refinement in force, and
  // the page addresses built from the address they end on serve those pages.
  struct Auction {
    std::string url;
    long long sales;
  };
  auto Auctions = [](const std::string& page) {
    std::vector<Auction> out;
    size_t a = page.find('{', page.find("g_page_config"));
    if (a == std::string::npos) return out;
    MiniJson j(page.substr(a, page.find("};", a) + 1 - a));
    for (size_t i = 0, n = j.length({"mods", "itemlist", "data", "auctions"}); i < n; ++i) {
      const std::vector<std::string> at = {"mods", "itemlist", "data", "auctions", std::to_string(i)};
      auto field = [&](const char* name) {
        auto path = at;
        path.push_back(name);
        return j.get(path).value_or("");
      };
      out.push_back({field("detail_url"), ToInt(field("view_sales"))});
    }
    return out;
  };
  auto Href = [](const std::string& page, const std::string& id) {
    return Between(page, "<a id=\"" + id + "\" href=\"", "\"");
  };
  auto Urls = [](const std::vector<Auction>& list) {
    std::vector<std::string> out;
    for (const Auction& a : list) out.push_back(a.url);
    return out;
  };
  const std::string q = Pct(G("机械手表 a"));
  const std::string self = sim_->baseUrl() + "/s/search?q=" + q + "&commend=all&search_type=item";

  const std::string sorted = Get("/s/search?q=" + q + "&sort=sale-desc");
  const std::string tmallLink = Href(sorted, "filter-tmall");
  EXPECT_EQ(tmallLink, self + "&sort=sale-desc&filter_tianmao=tmall");
  const std::string tmallPage = Get(Path(tmallLink));
  EXPECT_EQ(Href(tmallPage, "sort-price-asc"), self + "&sort=price-asc&filter_tianmao=tmall");
  EXPECT_EQ(Href(tmallPage, "filter-all"), self + "&sort=sale-desc");
  const std::vector<Auction> tmall = Auctions(tmallPage);
  ASSERT_FALSE(tmall.empty());
  for (size_t i = 0; i < tmall.size(); ++i) {
    EXPECT_NE(tmall[i].url.find("/detail/item.htm"), std::string::npos) << tmall[i].url;
    if (i) {
      EXPECT_GE(tmall[i - 1].sales, tmall[i].sales);
    }
  }

  // Page 2 of the sorted list: the pager's link, and the wizard's address with its
  // offset at the front of the query (also when the address already held one).
  std::smatch m;
  ASSERT_TRUE(std::regex_search(sorted, m, std::regex("<a href=\"([^\"]+)\">2</a>")));
  EXPECT_EQ(m[1].str(), self + "&sort=sale-desc&s=44");
  const std::vector<Auction> first = Auctions(sorted), second = Auctions(Get(Path(m[1].str())));
  ASSERT_EQ(first.size(), 44u);
  ASSERT_FALSE(second.empty());
  EXPECT_GE(first.back().sales, second.front().sales);
  const std::string query = "q=" + q + "&commend=all&search_type=item&sort=sale-desc";
  EXPECT_EQ(Urls(Auctions(Get("/s/search?s=44&" + query))), Urls(second));
  EXPECT_EQ(Urls(Auctions(Get("/s/search?s=0&" + query + "&s=44"))), Urls(first));
}

TEST(SimFaults, HappenAtTheAskedRateAndRepeatWithTheSeed) {
  std::string a = Outcomes({"--seed", "9", "--fail-rate", "0.2", "--malformed-rate", "0.1"}, 400);
  std::string b = Outcomes({"--seed", "9", "--fail-rate", "0.2", "--malformed-rate", "0.1"}, 400);
  std::string c = Outcomes({"--seed", "10", "--fail-rate", "0.2", "--malformed-rate", "0.1"}, 400);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  auto count = [&](char k) { return std::count(a.begin(), a.end(), k); };
  // 500s and dropped connections (80), and the half of the malformed answers that
  // is cut short on the way (20).
  EXPECT_NEAR(count('f') + count('x'), 100, 30);
  EXPECT_NEAR(count('m'), 20, 12);  // corrupted but complete

  {
    SimProcess slow({"--latency-ms", "150"});
    httplib::Client client("127.0.0.1", slow.port());
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(client.Get("/www/"));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(150));
  }

  std::string h = Outcomes({"--seed", "9", "--hang-rate", "0.25"}, 40);
  EXPECT_NEAR(std::count(h.begin(), h.end(), 'x'), 10, 7);
  EXPECT_EQ(std::count(h.begin(), h.end(), 'o') + std::count(h.begin(), h.end(), 'x'), 40);
}

TEST(SimPages, HaveTheRealSizeAndAreTheSameFromRunToRun) {
  // The pages carry times counted back from the simulator's clock, so both runs
  // get the same one: two starts a second apart would otherwise differ.
  const std::vector<std::string> run = {"--seed", "5", "--items", "200", "--now", "2026-03-01 10:00:00"};
  std::vector<std::string> smallRun = run;
  smallRun.insert(smallRun.end(), {"--page-size", "small"});
  SimProcess first(run), second(run), small(smallRun);
  ASSERT_TRUE(first.running() && second.running() && small.running());
  auto page = [](const SimProcess& sim, const std::string& target) {
    httplib::Client c("127.0.0.1", sim.port());
    auto r = c.Get(target.c_str(), {{"Cookie", kMarketCookie}});
    // The port is the one thing that differs between two runs.
    return r ? std::regex_replace(r->body, std::regex("127\\.0\\.0\\.1:" + std::to_string(sim.port())), "HOST") : "";
  };
  httplib::Client c("127.0.0.1", first.port());
  auto cat = c.Get("/sim/catalogue.json?limit=60");
  ASSERT_TRUE(cat);
  MiniJson items(cat->body);
  std::set<size_t> sizes;
  int full = 0, answers = 0;
  for (size_t i = 0, n = items.length({"items"}); i < n; ++i) {
    const std::string id = *items.get({"items", std::to_string(i), "id"});
    const std::string kind = *items.get({"items", std::to_string(i), "kind"});
    const std::string target = (kind == "tmall" ? "/detail/item.htm?id="
                                : kind == "alt" ? "/ny/item.htm?id="
                                                : "/item/item.htm?id=") +
                               id;
    SCOPED_TRACE(kind + " " + id);
    const std::string body = page(first, target);
    EXPECT_EQ(page(second, target), body);
    EXPECT_LT(page(small, target).size(), 8u * 1024);
    if (kind == "taobao" || kind == "tmall" || kind == "alt") {
      ++full;
      EXPECT_GE(body.size(), 100u * 1024);
      EXPECT_LE(body.size(), 300u * 1024);
      sizes.insert(body.size());
      // The answer with the item's dynamic data has the real one's size too,
      // but for the old script form, which is small at the marketplace as well.
      const std::string address =
          kind == "tmall" ? Between(body, "\"initApi\":\"", "\"") : Between(body, "sibUrl           : '", "'");
      const std::string secondary = address.substr(address.find("HOST") + 4);
      const std::string answer = page(first, secondary);
      EXPECT_EQ(page(second, secondary), answer);
      EXPECT_LT(page(small, secondary).size(), 1024u);
      if (answer.find("g_config.") == std::string::npos) {
        ++answers;
        EXPECT_GE(answer.size(), 3u * 1024) << answer;
        EXPECT_LE(answer.size(), 8u * 1024);
      }
    }
  }
  EXPECT_GT(full, 40);
  EXPECT_GT(answers, 20);
  EXPECT_GT(sizes.size(), static_cast<size_t>(full) * 9 / 10);  // each item its own filler
}

TEST(SimNow, IsReadAsUtc8WallClockAndFixesTheTimes) {
  std::string first, second;
  for (std::string* truth : {&first, &second}) {
    SimProcess sim({"--now", "2014-11-04 21:26:41", "--items", "50"});
    httplib::Client c("127.0.0.1", sim.port());
    auto info = c.Get("/sim/info.json");
    ASSERT_TRUE(info);
    EXPECT_EQ(MiniJson(info->body).get({"now"}), "1415107601");
    auto cat = c.Get("/sim/catalogue.json?limit=1");
    ASSERT_TRUE(cat);
    auto item = c.Get(("/sim/item/" + *MiniJson(cat->body).get({"items", "0", "id"}) + ".json").c_str());
    ASSERT_TRUE(item);
    *truth = item->body;
  }
  // Same seed and now: the same item with the same times (the addresses differ by port).
  for (const char* field : {"id", "title", "listedAt", "delistAt"})
    EXPECT_EQ(MiniJson(first).get({field}), MiniJson(second).get({field})) << field;
}

TEST(SimLog, KeepsHeadersInOrderAndSpellingAndTheBody) {
  char dir[] = "/tmp/kelvora-simlog-XXXXXX";
  ASSERT_TRUE(::mkdtemp(dir));
  std::string log = std::string(dir) + "/requests.jsonl";
  const std::string body = "username_box=a&password_box=b";
  {
    SimProcess sim({"--log", log});
    // A raw request, so that the order on the wire is known.
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(sim.port()));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    std::string req =
        "POST /service/index.php/Login/handle_login HTTP/1.1\r\nZeta: 1\r\nAccept: */*\r\n"
        "content-type: application/x-www-form-urlencoded\r\nCookie: \r\nContent-Length: " +
        std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    ASSERT_EQ(::send(fd, req.data(), req.size(), 0), static_cast<ssize_t>(req.size()));
    char buf[4096];
    std::string answer;
    for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) answer.append(buf, static_cast<size_t>(n));
    ::close(fd);
    EXPECT_NE(answer.find("\"err\":1"), std::string::npos);
  }
  std::ifstream in(log);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line,
            "{\"method\":\"POST\",\"target\":\"/service/index.php/Login/handle_login\",\"headers\":"
            "[[\"Zeta\",\"1\"],[\"Accept\",\"*/*\"],[\"content-type\",\"application/x-www-form-urlencoded\"],"
            "[\"Cookie\",\"\"],[\"Content-Length\",\"29\"],[\"Connection\",\"close\"]],"
            "\"body\":\"username_box=a&password_box=b\",\"conn\":1}");
  std::filesystem::remove_all(dir);
}

// A simulator started with --exit-with-parent ends, cleanly, once the reading end
// of its stdout closes: what a crashed starter leaves behind. Without the option
// it keeps serving.
TEST(SimExitWithParent, EndsWhenItsStarterStopsReading) {
  for (const bool withOption : {true, false}) {
    SCOPED_TRACE(withOption ? "--exit-with-parent" : "without the option");
    std::string sim = std::string(KELVORA_BIN_DIR) + "/kelvora-sim";
    std::vector<std::string> args = {sim, "--port", "0", "--items", "10"};
    if (withOption) args.push_back("--exit-with-parent");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    pid_t pid = -1;
    ASSERT_EQ(::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    std::string line;
    char c = 0;
    while (line.size() < 200 && ::read(fds[0], &c, 1) == 1 && c != '\n') line += c;
    EXPECT_EQ(line.rfind("kelvora-sim listening on http://127.0.0.1:", 0), 0u) << line;
    ::close(fds[0]);  // as if the starter had died

    int status = 0;
    pid_t done = 0;
    const int polls = withOption ? 50 : 10;  // 5 s to end; 1 s to show it did not
    for (int i = 0; i < polls && done == 0; ++i) {
      done = ::waitpid(pid, &status, WNOHANG);
      if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (withOption) {
      ASSERT_EQ(done, pid) << "still running 5 s after its reader went";
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    } else {
      EXPECT_EQ(done, 0) << "ended without the option";
      ::kill(pid, SIGTERM);
      ::waitpid(pid, &status, 0);
    }
  }
}

}  // namespace
}  // namespace kelvora::test
