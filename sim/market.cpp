// The marketplace: the home, login, cart and hot-words pages, and the routes
// of every marketplace page (item pages, search and list pages in files of
// their own).
#include <string>

#include "app.h"
#include "util.h"

namespace kelvora::sim {

// ---------------------------------------------------------------------------
// Page texts (UTF-8; sent as GBK)

std::string LoginPageText(const App& app, const std::string& message) {
  return "<!DOCTYPE html>\n<html><head><meta charset=\"gbk\"><title>淘宝网 - 淘！我喜欢</title></head>\n"
         "<body class=\"login\">\n<div class=\"login-box\">\n<h2>密码登录</h2>\n" +
         (message.empty() ? std::string() : "<div class=\"error\">" + Esc(message) + "</div>\n") +
         "<form id=\"J_Form\" action=\"" + app.loginSite() +
         "\" method=\"post\">\n"
         "<label>会员名/邮箱/手机号</label><input type=\"text\" name=\"user\" value=\"\">\n"
         "<label>登录密码</label><input type=\"password\" name=\"password\" value=\"\">\n"
         "<button type=\"submit\">登 录</button>\n</form>\n"
         "<p class=\"tip\">演示环境：任意会员名与密码即可登录（密码为 wrong 时拒绝）。</p>\n</div>\n</body></html>\n";
}

// ---------------------------------------------------------------------------
// Routes

void App::routeMarket(Server& server) {
  routeItems(server);

  // Marketplace login, cart and home page.
  auto login = wrap([this](const httplib::Request& req, httplib::Response& res) {
    std::string user, password;
    bool submitted = false;
    auto take = [&](const std::string& k, const std::string& v) {
      if (k == "user" || k == "TPL_username") {
        user = v;
        submitted = true;
      }
      if (k == "password" || k == "TPL_password") {
        password = v;
        submitted = true;
      }
    };
    for (auto& [k, v] : req.params) take(k, v);
    if (req.method == "POST")
      for (auto& [k, v] : ParseForm(req.body)) take(k, v);
    if (!submitted) return SendGbk(res, LoginPageText(*this, ""));
    if (user.empty() || password.empty()) return SendGbk(res, LoginPageText(*this, "请输入会员名和密码"));
    if (password == "wrong") return SendGbk(res, LoginPageText(*this, "您输入的密码和账户名不匹配"));
    std::string cookie2 = issueMarketCookie();
    res.set_header("Set-Cookie", "cookie2=" + cookie2 + "; Path=/; HttpOnly");
    res.set_header("Set-Cookie", "_tb_token_=" + Hex(nextToken(), 13) + "; Path=/");
    res.set_header("Set-Cookie", "t=" + Hex(nextToken(), 32) + "; Path=/");
    res.set_header("Set-Cookie", "_nk_=" + PercentEncodeAll(user) + "; Path=/");
    res.set_header("Set-Cookie", "uc1=cookie14=UoTdev" + Hex(nextToken(), 6) + "; Path=/; HttpOnly");
    SendGbk(res,
            "<!DOCTYPE html>\n<html><head><meta charset=\"gbk\"><title>登录成功</title>"
            "<meta http-equiv=\"refresh\" content=\"1;url=" +
                base() + "/www/\"></head>\n<body><p>" + Esc(user) +
                "，登录成功。正在返回淘宝首页……</p></body></html>\n");
  });
  server.Get("/login/member/login.jhtml", login);
  server.Post("/login/member/login.jhtml", login);

  server.Get(
      "/cart/cart.htm", wrap([this](const httplib::Request& req, httplib::Response& res) {
        if (!hasMarketLogin(req)) return SendGbk(res, LoginPageText(*this, ""));
        SendGbk(
            res,
            "<!DOCTYPE html>\n<html><head><meta charset=\"gbk\"><title>淘宝网 - 我的购物车</title></head>\n"
            "<body><div id=\"J_Cart\"><h2>购物车（0）</h2><p>您的购物车还是空的，赶紧行动吧！</p></div></body></html>\n");
      }));

  auto home = wrap([this](const httplib::Request& req, httplib::Response& res) {
    bool in = hasMarketLogin(req);
    std::string nick = CookieValue(req.get_header_value("Cookie"), "_nk_");
    std::string t =
        "<!DOCTYPE html>\n<html><head><meta charset=\"gbk\"><title>淘宝网 - 淘！我喜欢</title></head>\n<body>\n";
    t += "<div class=\"site-nav\">" +
         (in ? "亲，" + Esc(FormDecode(nick).empty() ? std::string("会员") : FromGbk(FormDecode(nick))) + "，欢迎回来！"
             : "亲，请<a href=\"" + loginSite() + "\">登录</a>") +
         " <a href=\"" + base() + "/cart/cart.htm\">购物车</a></div>\n";
    t += "<form id=\"J_TSearchForm\" action=\"" + base() + "/s/search\" method=\"get\">\n";
    t += "<input type=\"text\" name=\"q\" value=\"\">\n";
    t += "<input type=\"hidden\" name=\"commend\" value=\"all\">\n";
    t += "<input type=\"hidden\" name=\"ssid\" value=\"s5-e\">\n";
    t += "<input type=\"hidden\" name=\"search_type\" value=\"item\">\n";
    t += "<input type=\"hidden\" name=\"sourceId\" value=\"tb.index\">\n";
    t += "<input type=\"hidden\" name=\"spm\" value=\"a21bo.50862.201856-taobao-item.1\">\n";
    t += "<button type=\"submit\">搜 索</button>\n</form>\n";
    t += "<ul class=\"service\">\n";
    for (const Category& c : catalogue().categories())
      t += "<li><a href=\"" + base() + "/list/itemlist/default.htm?cat=" + std::to_string(c.value) + "\">" + c.name +
           "</a></li>\n";
    t += "</ul>\n</body></html>\n";
    SendGbk(res, t);
  });
  server.Get("/www", home);
  server.Get("/www/", home);
  server.Get("/", home);

  auto top = wrap([this](const httplib::Request&, httplib::Response& res) {
    static const char* words[] = {"连衣裙",   "T恤",  "牛仔裤", "帆布鞋", "双肩包", "手机壳",
                                  "移动电源", "口红", "面膜",   "坚果",   "瑜伽垫", "沙发"};
    std::string t =
        "<!DOCTYPE html>\n<html><head><meta charset=\"gbk\"><title>淘宝排行榜</title></head>\n<body>\n"
        "<h2>今日热门搜索</h2>\n<ol>\n";
    for (const char* w : words)
      t += "<li><a href=\"" + base() + "/s/search?q=" + PercentEncodeAll(ToGbk(w)) + "\">" + w + "</a></li>\n";
    t += "</ol>\n</body></html>\n";
    SendGbk(res, t);
  });
  server.Get("/top", top);
  server.Get("/top/", top);

  server.Get("/bang/register/guide.htm", wrap([](const httplib::Request&, httplib::Response& res) {
               SendGbk(res,
                       "<!DOCTYPE html>\n<html><head><meta charset=\"gbk\"><title>报名须知</title></head>\n"
                       "<body><h2>报名须知</h2><p>参与竞拍前请阅读并同意竞拍规则。</p></body></html>\n");
             }));

  server.Get("/list/browse/ad_search.htm", wrap([this](const httplib::Request&, httplib::Response& res) {
               res.set_header("Set-Cookie",
                              "cna=" + Hex(nextToken(), 12) + "; path=/; expires=Thu, 01-Jan-2037 00:00:00 GMT");
               res.set_header("Set-Cookie", "_tb_token_=" + Hex(nextToken(), 13) + "; path=/");
               res.set_header("Set-Cookie", "v=0; path=/");
               SendGbk(res,
                       "<!DOCTYPE html>\n<html><head><meta charset=\"gbk\"><title>淘宝网 - 高级搜索</title></head>\n"
                       "<body><h2>高级搜索</h2></body></html>\n");
             }));

  routeSearch(server);
  routeList(server);
}

}  // namespace kelvora::sim
