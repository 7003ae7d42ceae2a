// The vendor's lookup service (under /service/) and the vendor's web site (/vendor).
#include "app.h"
#include "net/codec.h"
#include "util.h"

namespace kelvora::sim {

namespace {

struct Account {
  const char* user;
  const char* password;
  int uid;
};

// Demo accounts of the lookup service. "special" proves that the client encodes its form.
const Account kAccounts[] = {
    {"demo", "demo123", 1001},
    {"special", "a&b=c+d%e f", 1002},
    {"测试员", "ceshi123", 1003},
};

std::string TimeValue(int64_t seconds, int millis, bool inMillis, bool asText) {
  std::string digits = std::to_string(seconds);
  if (inMillis) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%03d", millis);
    digits += buf;
  }
  return asText ? "\"" + digits + "\"" : digits;
}

std::string SimplePage(const std::string& title, const std::string& body) {
  return "<!DOCTYPE html>\n<html><head><meta charset=\"gbk\"><title>" + title + "</title></head>\n<body>\n" + body +
         "\n</body></html>\n";
}

}  // namespace

void App::routeService(Server& server) {
  server.Post("/service/index.php/Login/handle_login",
              wrap([this](const httplib::Request& req, httplib::Response& res) {
                std::string user, password;
                bool haveUser = false;
                for (auto& [k, v] : ParseForm(req.body)) {
                  if (k == "username_box" && !haveUser) {
                    user = v;
                    haveUser = true;
                  } else if (k == "password_box")
                    password = v;
                }
                // A client may send a non-ASCII name in GBK or in UTF-8; accept both.
                std::string userUtf8 = IsValidUtf8(user) ? user : FromGbk(user);
                std::string passUtf8 = IsValidUtf8(password) ? password : FromGbk(password);
                if (userUtf8 == "broken") return SendUtf8Json(res, "{\"err\":-1,\"msg\":\"login error\"}");
                if (userUtf8 == "expired") return SendUtf8Json(res, "{\"err\":3}");
                for (const Account& a : kAccounts) {
                  if (userUtf8 != a.user) continue;
                  if (passUtf8 != a.password) return SendUtf8Json(res, "{\"err\":2,\"msg\":\"wrong password\"}");
                  std::string token = issueServiceSession(a.user, a.uid);
                  res.set_header("Set-Cookie", "PHPSESSID=" + Hex(nextToken(), 16) + Hex(nextToken(), 10) + "; path=/");
                  res.set_header("Set-Cookie", "kv_auth=" + token + "; path=/; HttpOnly");
                  return SendUtf8Json(res, "{\"err\":0,\"login_uid\":" + std::to_string(a.uid) +
                                               ",\"login_user\":" + JsonQuote(a.user) + ",\"msg\":\"ok\"}");
                }
                SendUtf8Json(res, "{\"err\":1,\"msg\":\"no such user\"}");
              }));

  server.Get("/service/index.php/Getinfo/get", wrap([this](const httplib::Request& req, httplib::Response& res) {
               std::string user;
               int uid = 0;
               if (!serviceUser(req, user, uid)) return SendUtf8Json(res, "{\"err\":-1,\"msg\":\"please log in\"}");
               const Item* item = catalogue().find(req.get_param_value("tid"));
               if (!item) return SendUtf8Json(res, "{\"err\":0,\"msg\":\"no record\",\"data\":{}}");
               int64_t listed = item->listedAt;
               int64_t delist = catalogue().delistAt(*item);
               std::string sj, xj;
               switch (item->timeForm) {
                 case TimeForm::SecondsText:
                   sj = TimeValue(listed, 0, false, true);
                   xj = TimeValue(delist, 0, false, true);
                   break;
                 case TimeForm::SecondsNumber:
                   sj = TimeValue(listed, 0, false, false);
                   xj = TimeValue(delist, 0, false, false);
                   break;
                 case TimeForm::MillisText:
                   sj = TimeValue(listed, item->millis, true, true);
                   xj = TimeValue(delist, item->millis, true, true);
                   break;
                 case TimeForm::MillisNumber:
                   sj = TimeValue(listed, item->millis, true, false);
                   xj = TimeValue(delist, item->millis, true, false);
                   break;
                 case TimeForm::Mixed:
                   sj = TimeValue(listed, 0, false, true);
                   xj = TimeValue(delist, item->millis, true, false);
                   break;
                 case TimeForm::OnlyDelist:
                   xj = TimeValue(delist, 0, false, true);
                   break;
                 case TimeForm::None:
                   break;
               }
               std::string data = "{\"tid\":\"" + item->id + "\"";
               if (!sj.empty()) data += ",\"sjsj\":" + sj;
               if (!xj.empty()) data += ",\"xjsj\":" + xj;
               data += "}";
               SendUtf8Json(res, "{\"err\":0,\"data\":" + data + "}");
             }));

  server.Get("/service/index.php/Getinfo/getJifen", wrap([this](const httplib::Request& req, httplib::Response& res) {
               std::string user;
               int uid = 0;
               if (!serviceUser(req, user, uid))
                 return SendUtf8Json(res, "{\"err\":-1,\"login_uid\":0,\"msg\":\"please log in\"}");
               SendUtf8Json(res, "{\"err\":0,\"login_uid\":" + std::to_string(uid) +
                                     ",\"login_user\":" + JsonQuote(user) + ",\"jifen\":\"100\"}");
             }));

  server.Get("/service/index.php/Login/Notice", wrap([](const httplib::Request& req, httplib::Response& res) {
               SendGbk(res, SimplePage("公告", "<div style=\"font-size:12px\">欢迎使用 Kelvora " +
                                                   Esc(req.get_param_value("ver")) +
                                                   "。本地演示服务：演示帐号 demo，密码 demo123。</div>"));
             }));
  server.Get("/service/index.php/register", wrap([](const httplib::Request&, httplib::Response& res) {
               SendGbk(res,
                       SimplePage("注册帐号",
                                  "<h2>注册帐号</h2><p>演示服务不接受新注册。请使用演示帐号 demo / demo123。</p>"));
             }));
  server.Get("/service/index.php/Login/Findpwd", wrap([](const httplib::Request&, httplib::Response& res) {
               SendGbk(res, SimplePage("找回密码", "<h2>找回密码</h2><p>演示帐号 demo 的密码是 demo123。</p>"));
             }));

  auto vendorHome = wrap([](const httplib::Request&, httplib::Response& res) {
    SendGbk(res, SimplePage("Kelvora 公告",
                            "<h2>Kelvora 3.3</h2><p>公告：这是本地演示环境，所有商品数据均为模拟数据。</p>"
                            "<p><a href=\"help.htm\">使用帮助</a></p>"));
  });
  server.Get("/vendor", vendorHome);
  server.Get("/vendor/", vendorHome);
  server.Get("/vendor/notice.htm", vendorHome);
  // The addresses the desktop program shows: its notice pane and its help button.
  server.Get("/vendor/softdir/vandel/xzs.htm", wrap([](const httplib::Request& req, httplib::Response& res) {
               SendGbk(res, SimplePage("Kelvora 公告", "<div style=\"font-size:12px\"><b>Kelvora " +
                                                           Esc(req.get_param_value("ver")) +
                                                           " 公告</b><p>这是本地演示环境，所有商品数据均为模拟数据。"
                                                           "演示帐号 demo，密码 demo123。</p></div>"));
             }));
  auto help = wrap([](const httplib::Request&, httplib::Response& res) {
    SendGbk(res, SimplePage("Kelvora 帮助",
                            "<h2>使用帮助</h2><ol><li>登录查询服务。</li><li>提供淘宝登录后的 cookies。</li>"
                            "<li>选择搜索方式并点击 查 询。</li></ol>"));
  });
  server.Get("/vendor/softdir/vandel/help.htm", help);
  server.Get("/vendor/help.htm", help);
}

}  // namespace kelvora::sim
