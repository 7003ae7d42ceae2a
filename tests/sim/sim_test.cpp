// kelvora-sim as the clients see it: login and lookup, item pages and their
// dynamic data read by the client's rules, paging, the login wall, faults.
#include <gtest/gtest.h>
#include <httplib.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
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
      if (t_[pos_] == ',') { ++pos_; continue; }
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
          if (key == path[i]) { found = true; break; }
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
  void ws() { while (pos_ < t_.size() && std::isspace(static_cast<unsigned char>(t_[pos_]))) ++pos_; }
  std::string str() {
    std::string out;
    ++pos_;
    while (pos_ < t_.size() && t_[pos_] != '"') {
      if (t_[pos_] == '\\') { out += t_[pos_]; ++pos_; }
      out += t_[pos_++];
    }
    ++pos_;
    return out;
  }
  void skip() {
    ws();
    char c = t_[pos_];
    if (c == '"') { str(); return; }
    if (c == '{' || c == '[') {
      int depth = 0;
      while (pos_ < t_.size()) {
        char d = t_[pos_];
        if (d == '"') { str(); continue; }
        if (d == '{' || d == '[') ++depth;
        if (d == '}' || d == ']') { --depth; if (depth == 0) { ++pos_; return; } }
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
      std::string answer = Get(Path(Between(page, "\"initApi\":\"", "\"") + "&callback=setMdskip&timestamp=1415107601378"));
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
      if (answer.find("g_config.") != std::string::npos) f.price = Between(answer, "g_config.Price=\"", "\"");
      else f.price = MiniJson(json).get({"data", "price"}).value_or("");
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
        "LOGIN_SITE=" + base + "/login/member/login.jhtml", std::string("TMALL_LINK_MARKER=<link title=\"tmall.com天猫\"")})
    EXPECT_NE(text.find(line + "\n"), std::string::npos) << line;
}

}  // namespace
}  // namespace kelvora::test
