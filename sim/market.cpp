// The marketplace: item pages and their dynamic data, search and list pages,
// the home, login, cart and hot-words pages.
#include <algorithm>
#include <cstdlib>

#include "app.h"
#include "net/codec.h"
#include "util.h"

namespace kelvora::sim {

namespace {

std::string Description(const Item& it, const Seller& seller) {
  std::string d = "<ul class=\"attributes-list\">\n";
  d += "<li title=\"" + Esc(seller.shopName) + "\">品牌:&nbsp;" + Esc(seller.shopName) + "</li>\n";
  d += "<li>货号:&nbsp;KV" + it.id.substr(0, std::min<size_t>(6, it.id.size())) + "</li>\n";
  d += "<li>产地:&nbsp;" + it.location + "</li>\n</ul>\n<div class=\"content\">\n";
  static const char* paras[] = {
      "<p>本店所有商品均为实物拍摄，因显示器不同可能存在轻微色差，请以实物为准。</p>",
      "<p>亲，下单前请咨询客服库存情况，我们会在48小时内安排发货，节假日顺延。</p>",
      "<p>七天无理由退换货，非质量问题退换货来回邮费由买家承担，质量问题由本店承担。</p>",
      "<p>收到宝贝后如有任何问题请先联系客服，我们一定会给您满意的答复，请不要直接给中差评。</p>"};
  for (int r = 0; r < 6; ++r)
    for (const char* p : paras) d += std::string(p) + "\n";
  d += "</div>\n";
  return d;
}

}  // namespace

// ---------------------------------------------------------------------------
// Page texts (UTF-8; sent as GBK)

std::string LoginPageText(const App& app, const std::string& message) {
  return "<!DOCTYPE html>\n<html><head><meta charset=\"gbk\"><title>淘宝网 - 淘！我喜欢</title></head>\n"
         "<body class=\"login\">\n<div class=\"login-box\">\n<h2>密码登录</h2>\n" +
         (message.empty() ? std::string() : "<div class=\"error\">" + Esc(message) + "</div>\n") +
         "<form id=\"J_Form\" action=\"" + app.loginSite() + "\" method=\"post\">\n"
         "<label>会员名/邮箱/手机号</label><input type=\"text\" name=\"user\" value=\"\">\n"
         "<label>登录密码</label><input type=\"password\" name=\"password\" value=\"\">\n"
         "<button type=\"submit\">登 录</button>\n</form>\n"
         "<p class=\"tip\">演示环境：任意会员名与密码即可登录（密码为 wrong 时拒绝）。</p>\n</div>\n</body></html>\n";
}

std::string TaobaoPageText(const App& app, const Item& it, const Seller& seller) {
  const std::string& p = app.pbase();
  std::string nickOnPage = it.nickEncoded ? PercentEncodeAll(ToGbk(seller.nick)) : seller.nick;
  std::string t;
  t += "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"gbk\">\n";
  t += "<meta name=\"keywords\" content=\"" + Esc(it.title) + "\">\n";
  t += "<title>" + it.title + "-淘宝网</title>\n";
  t += "<link rel=\"shortcut icon\" href=\"" + p + "/favicon.ico\" type=\"image/x-icon\">\n";
  t += "<script>\n    var g_config = {\n";
  t += "        startTime        : +new Date,\n";
  t += "        ver              : '7.18.1',\n";
  t += "        st               : '',\n";
  t += "        online           : true,\n";
  t += "        shopVer          : 2,\n";
  t += "        appId            : 1 ,\n";
  t += "        itemId           : '" + it.id + "',\n";
  t += "        shopId           : '" + std::to_string(seller.shopId) + "',\n";
  t += "        shopName         : '" + JavaEscape(seller.shopName) + "',\n";
  t += "        sellerId         : '" + std::to_string(seller.sellerId) + "',\n";
  t += "        sellerNick       : '" + nickOnPage + "',\n";
  t += "        sibUrl           : '" + p + "/detailskip/json/sib.htm?itemId=" + it.id + "&sellerId=" +
       std::to_string(seller.sellerId) +
       "&modules=dynStock,qrcode,viewer,price,duty,xmpPromotion,delivery,upp,activity,fqg,zjys,couponActivity,"
       "soldQuantity,contract,tradeContract',  \n";
  t += "        descUrl          : '" + p + "/desc/" + it.id + ".desc',  \n";
  t += "        counterApi       : '" + p + "/count/counter3?inc=ICVT_7_" + it.id + "&keys=DFX_200_1_" + it.id +
       ",ICVT_7_" + it.id + "',\n";
  t += "        rateCounterApi   : '" + p + "/rate/detailCount.do?itemId=" + it.id + "',\n";
  t += "        lazyload         : '#J_DivItemDesc',\n";
  t += "        asyncStock       : true,\n";
  t += "        DyBase           : {\n            iurl : '" + p + "/item',\n            lgurl: '" + app.loginSite() +
       "'\n        },\n";
  t += "        idata            : {\n            item: {\n";
  t += "                id               : '" + it.id + "',\n";
  t += "                title            : '" + JavaEscape(it.title) + "',\n";
  t += "                price            : '',\n";
  t += "                status           : 0,\n";
  t += "                sellerNickGBK    : '" + PercentEncodeAll(ToGbk(seller.nick)) + "',\n";
  t += "                rcid             : '" + std::to_string(it.top) + "',\n";
  t += "                cid              : '" + std::to_string(it.sub) + "',\n";
  t += "                virtQuantity     : '',\n";
  t += "                holdQuantity     : ''\n            }\n        }\n    };\n</script>\n";
  t += "<script>\n    function onSibRequestSuccess(res){g_config.sibRequest = {success: true, data: res&&res.data}}\n";
  t += "    (function(){ var sibUrl= g_config.sibUrl;sibUrl+=\"&callback=onSibRequestSuccess\";"
       "var s=document.createElement('script');s.src=sibUrl;document.head.appendChild(s);})();\n</script>\n";
  t += "</head>\n<body class=\"ks-webkit\">\n<div id=\"page\">\n<div class=\"tb-item-info\">\n";
  t += "<h3 class=\"tb-main-title\" data-title=\"" + Esc(it.title) + "\">" + Esc(it.title) + "</h3>\n";
  t += "<ul class=\"tb-meta\">\n<li id=\"J_StrPriceModBox\"><span class=\"tb-property-type\">价格</span>"
       "<strong id=\"J_StrPrice\"><em class=\"tb-rmb\">&yen;</em><em class=\"tb-rmb-num\"></em></strong></li>\n";
  t += "<li><span class=\"tb-property-type\">配送</span><span id=\"J-From\"></span></li>\n</ul>\n";
  t += "<form id=\"J_FrmBid\" action=\"\" method=\"post\">\n";
  t += "<input type=\"hidden\" name=\"item_id\" value=\"" + it.id + "\">\n";
  t += "<input type=\"hidden\" name=\"auction_type\" value=\"b\">\n";
  t += "<input type=\"hidden\" name=\"from\" value=\"item_detail\">\n";
  t += "<input type=\"hidden\" name=\"frm\" value=\"\">\n</form>\n</div>\n";
  t += "<div class=\"tb-shop-info\"><a class=\"tb-shop-name\" href=\"" + p + "/shop/view_shop.htm?user_number_id=" +
       std::to_string(seller.sellerId) + "\">" + Esc(seller.shopName) + "</a>" + "<span class=\"tb-seller-name\">掌柜：" +
       Esc(seller.nick) + "</span></div>\n";
  t += "<div id=\"J_DivItemDesc\">\n" + Description(it, seller) + "</div>\n</div>\n</body>\n</html>\n";
  return t;
}

std::string TmallPageText(const App& app, const Item& it, const Seller& seller) {
  const std::string& p = app.pbase();
  std::string t;
  t += "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"gbk\" />\n";
  t += "<title>" + it.title + "-tmall.com天猫</title>\n";
  t += "<meta name=\"keywords\" content=\"" + Esc(it.title) + "\" />\n";
  t += "<link title=\"tmall.com天猫\" rel=\"search\" type=\"application/opensearchdescription+xml\" href=\"" + p +
       "/opensearch.xml\" />\n";
  t += "<link rel=\"stylesheet\" href=\"" + p + "/static/detail.css\" />\n</head>\n<body class=\"detail\">\n";
  t += "<div id=\"header\"><a class=\"slogo-shopname\" href=\"" + p + "/shop/view_shop.htm?user_number_id=" +
       std::to_string(seller.sellerId) + "\"><strong>" + Esc(seller.pageNick) + "</strong></a></div>\n";
  t += "<div id=\"detail\">\n<div class=\"tb-detail-hd\">\n<h1 data-spm=\"1000983\">\n" + Esc(it.title) +
       "\n</h1>\n</div>\n";
  t += "<form id=\"J_FrmBid\" name=\"bidForm\" method=\"post\" action=\"\">\n";
  t += "<input type=\"hidden\" name=\"seller_nickname\" value=\"" + seller.pageNick + "\" />\n";
  t += "<input type=\"hidden\" name=\"region\" value=\"true\" />\n";
  t += "<input type=\"hidden\" name=\"buy_param\" value=\"\" />\n</form>\n</div>\n";
  t += "<div id=\"description\">\n" + Description(it, seller) + "</div>\n";
  t += "<script>\nTShop.Setup(";
  t += "{\"api\":{\"descUrl\":\"" + p + "/desc/" + it.id + ".desc\",\"fetchDcUrl\":\"" + p + "/hdc/asyn.htm?userId=" +
       std::to_string(seller.sellerId) + "\"},";
  t += "\"apiAddCart\":\"" + p + "/cart/add_cart_item.htm?item_id=" + it.id + "\",";
  t += "\"apiBidCount\":\"" + p + "/tbskip/json/show_bid_count.htm?itemNumId=" + it.id + "&old_quantity=" +
       std::to_string(it.sales + 17) + "\",";
  t += "\"cartEnable\":true,\"cmCatId\":\"" + std::to_string(it.sub) + "\",";
  t += "\"initApi\":\"" + p + "/mdskip/core/initItemDetail.htm?itemId=" + it.id +
       "&isUseInventoryCenter=false&tmallBuySupport=true&isAreaSell=false&service3C=false&cartEnable=true"
       "&cachedTimestamp=1481286011479&addressLevel=2&isSecKill=false\",";
  t += "\"itemDO\":{\"brand\":" + JsonQuote(seller.nick) + ",\"categoryId\":\"" + std::to_string(it.sub) +
       "\",\"hasSku\":false,\"isOnline\":true,\"itemId\":\"" + it.id + "\",\"prov\":" + JsonQuote(it.location) +
       ",\"quantity\":" + std::to_string(it.stock) + ",\"reservePrice\":\"" + it.price + "\",\"rootCatId\":\"" +
       std::to_string(it.top) + "\",\"sellerNickName\":\"" + PercentEncodeAll(seller.nick) + "\",\"title\":" +
       JsonQuote(it.title) + ",\"userId\":\"" + std::to_string(seller.sellerId) + "\"},";
  t += "\"isSevenDaysRefundment\":true,\"isTmallComboSupport\":false,\"rstShopId\":" + std::to_string(seller.shopId) +
       "});\n</script>\n</body>\n</html>\n";
  return t;
}

std::string RemovedPageText(const App& app) {
  return "<!DOCTYPE html>\n<html><head><meta charset=\"gbk\"><title>淘宝网 - 淘！我喜欢</title></head>\n<body>\n"
         "<div class=\"error-notice\">\n<div class=\"error-notice-hd\">\n"
         "<div class=\"error-notice-text\">\n<h2>很抱歉，您查看的宝贝不存在，可能已下架或者被转移。</h2>\n"
         "<p class=\"error-notice-desc\">您可以：</p>\n<ul>\n<li>1. 看看其他宝贝，去 <a href=\"" +
         app.base() + "/www/\">淘宝首页</a></li>\n<li>2. 在淘宝<a href=\"" + app.base() +
         "/s/search\">搜索</a>同类宝贝</li>\n</ul>\n</div>\n</div>\n</div>\n</body></html>\n";
}

std::string UnsupportedPageText(const App& app, const Item& it) {
  return "<!DOCTYPE html>\n<html><head><meta charset=\"gbk\"><title>" + it.title +
         "-淘宝网</title></head>\n<body>\n<div class=\"paimai-detail\">\n<h1>" + Esc(it.title) +
         "</h1>\n<p>此宝贝为拍卖宝贝，参与竞拍前请先完成报名。</p>\n"
         "<a class=\"reg-guide\" href=\"" +
         app.base() + "/bang/register/guide.htm\" target=\"_blank\">报名须知</a>\n</div>\n</body></html>\n";
}

std::string AltStubPageText(const App& app, const Item& it) {
  std::string ny = app.base() + "/ny/item.htm";
  return "<!DOCTYPE html>\n<html><head><meta charset=\"gbk\"><title>淘宝网 - 淘！我喜欢</title>\n<script>\n"
         "if('" + ny + "'){ location.replace('" + ny + "' + location.search); }\n</script>\n</head>\n"
         "<body><p>正在跳转，请稍候……</p><a href=\"" + ny + "?id=" + it.id + "\">如果没有跳转请点这里</a></body></html>\n";
}

std::string SibAnswerText(const Item& it) {
  std::string city = it.locationEscaped ? JavaEscape(it.location) : it.location;
  if (it.sib == SibForm::Script) {
    std::string t;
    t += "g_config.vdata.viewer={\"admin\":false,\"buyerId\":\"\",\"lgin\":true,\"tkn\":\"" + Hex(Mix64(it.sales), 13) +
         "\"};\n";
    t += "g_config.SibRequest=true;\n";
    t += "g_config.Price=\"" + it.price + "\";\n";
    t += "g_config.DynStock={\"stock\":" + std::to_string(it.stock) + ",\"virtQuantity\":\"" +
         std::to_string(it.stock) + "\",\"holdQuantity\":\"0\",\"stockType\":\"normal\"};\n";
    t += "g_config.vdata.soldQuantity={\"quanity\":" + std::to_string(it.sales) + ",\"confirmGoodsCount\":" +
         std::to_string(it.sales * 4 / 5) + "};\n";
    t += "g_config.deliveryFee={\"sendCity\":\"" + city + "\",\"areaId\":110100,\"areaName\":\"北京\"};\n";
    return t;
  }
  std::string t = "onSibRequestSuccess({\"code\":{\"code\":0,\"message\":\"SUCCESS\"},\"data\":{";
  t += "\"viewer\":{\"admin\":false,\"bs\":\"\",\"buyerId\":\"\",\"lgin\":true,\"serviceTab\":\"ITEM\",\"tkn\":\"" +
       Hex(Mix64(it.sales), 13) + "\"},";
  t += "\"deliveryFee\":{\"data\":{\"areaId\":110100,\"areaName\":\"\\u5317\\u4EAC\",\"sendCity\":\"" + city +
       "\",\"serviceInfo\":{\"list\":[{\"id\":\"100_-4\",\"info\":\"\\u5FEB\\u9012 10.00\",\"isDefault\":true}]}},"
       "\"message\":\"ok\",\"success\":true},";
  t += "\"originalPrice\":{\"def\":{\"price\":\"" + it.price + "\"}},\"price\":\"" + it.price + "\",";
  t += "\"dynStock\":{\"holdQuantity\":0,\"sellableQuantity\":" + std::to_string(it.stock) + ",\"stock\":" +
       std::to_string(it.stock) + ",\"stockType\":\"normal\"},";
  t += "\"soldQuantity\":{\"quanity\":" + std::to_string(it.sales) + ",\"confirmGoodsCount\":\"" +
       std::to_string(it.sales * 4 / 5) + "\",\"soldTotalCount\":\"" + std::to_string(it.sales) + "\"},";
  t += "\"promotion\":{\"promoData\":{},\"saleDetailMap\":{}}}});\n";
  return t;
}

std::string MdskipAnswerText(const Item& it) {
  std::string t = "setMdskip({\"defaultModel\":{\"bannerDO\":{\"success\":true},";
  t += "\"deliveryDO\":{\"areaId\":110101,\"deliveryAddress\":" + JsonQuote(it.location) +
       ",\"deliverySkuMap\":{\"default\":[{\"money\":\"0.00\",\"name\":\"运费\",\"postageFree\":true,"
       "\"skuDeliveryAddress\":" + JsonQuote(it.location) + ",\"type\":1}]},\"destination\":\"北京市\",\"success\":true},";
  t += "\"inventoryDO\":{\"hidden\":false,\"icTotalQuantity\":" + std::to_string(it.stock) +
       ",\"success\":true,\"totalQuantity\":" + std::to_string(it.stock) + ",\"type\":1},";
  t += "\"itemPriceResultDO\":{\"areaId\":110100,\"priceInfo\":{\"def\":{\"areaSold\":true,\"onlyShowOnePrice\":false,"
       "\"price\":\"" + it.price + "\",";
  if (it.promo == PromoForm::Plain)
    t += "\"promotionList\":[{\"amountPromLimit\":0,\"basePriceType\":\"IcPrice\",\"endTime\":1540223999000,"
         "\"limitProm\":false,\"postageFree\":false,\"price\":\"" + it.promoPrice +
         "\",\"promType\":\"normal\",\"status\":2,\"type\":\"限时促销\"}],";
  else if (it.promo == PromoForm::Braced)
    t += "\"promotionList\":[{\"amountPromLimit\":0,\"price\":{\"amount\":\"" + it.promoPrice +
         "\",\"currency\":\"CNY\"},\"promType\":\"member\",\"status\":2,\"type\":\"会员价\"}],";
  t += "\"sortOrder\":0}},\"queryProm\":false,\"success\":true},";
  t += "\"sellCountDO\":{\"sellCount\":\"" + std::to_string(it.sales) + "\",\"success\":true},";
  t += "\"tradeResult\":{\"cartEnable\":true,\"cartType\":2,\"success\":true,\"tradeEnable\":true}},"
       "\"isSuccess\":true})";
  return t;
}

// ---------------------------------------------------------------------------
// Routes

void App::routeMarket(Server& server) {
  // Item pages: the two usual hosts and the alternate host.
  auto itemPage = [this](bool altHost) {
    return wrap([this, altHost](const httplib::Request& req, httplib::Response& res) {
      if (!hasMarketLogin(req)) return SendGbk(res, LoginPageText(*this, ""));
      const Item* it = catalogue().find(req.get_param_value("id"));
      if (!it || it->kind == ItemKind::Removed) return SendGbk(res, RemovedPageText(*this));
      const Seller& seller = catalogue().sellerOf(*it);
      switch (it->kind) {
        case ItemKind::Unsupported: return SendGbk(res, UnsupportedPageText(*this, *it));
        case ItemKind::Alt:
          return SendGbk(res, altHost ? TaobaoPageText(*this, *it, seller) : AltStubPageText(*this, *it));
        case ItemKind::Tmall: return SendGbk(res, TmallPageText(*this, *it, seller));
        default: return SendGbk(res, TaobaoPageText(*this, *it, seller));
      }
    });
  };
  server.Get("/item/item.htm", itemPage(false));
  server.Get("/detail/item.htm", itemPage(false));
  server.Get("/ny/item.htm", itemPage(true));

  server.Get("/detailskip/json/sib.htm", wrap([this](const httplib::Request& req, httplib::Response& res) {
    if (!hasMarketLogin(req)) return SendGbk(res, LoginPageText(*this, ""));
    const Item* it = catalogue().find(req.get_param_value("itemId"));
    if (!it) return SendGbk(res, "onSibRequestSuccess({\"code\":{\"code\":1,\"message\":\"ITEM_NOT_FOUND\"}});\n",
                            "text/javascript");
    SendGbk(res, SibAnswerText(*it), "text/javascript");
  }));
  server.Get("/mdskip/core/initItemDetail.htm", wrap([this](const httplib::Request& req, httplib::Response& res) {
    if (!hasMarketLogin(req)) return SendGbk(res, LoginPageText(*this, ""));
    const Item* it = catalogue().find(req.get_param_value("itemId"));
    if (!it) return SendGbk(res, "setMdskip({\"isSuccess\":false})", "text/javascript");
    SendGbk(res, MdskipAnswerText(*it), "text/javascript");
  }));

  // Marketplace login, cart and home page.
  auto login = wrap([this](const httplib::Request& req, httplib::Response& res) {
    std::string user, password;
    bool submitted = false;
    auto take = [&](const std::string& k, const std::string& v) {
      if (k == "user" || k == "TPL_username") { user = v; submitted = true; }
      if (k == "password" || k == "TPL_password") { password = v; submitted = true; }
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
    SendGbk(res, "<!DOCTYPE html>\n<html><head><meta charset=\"gbk\"><title>登录成功</title>"
                 "<meta http-equiv=\"refresh\" content=\"1;url=" + base() + "/www/\"></head>\n<body><p>" +
                     Esc(user) + "，登录成功。正在返回淘宝首页……</p></body></html>\n");
  });
  server.Get("/login/member/login.jhtml", login);
  server.Post("/login/member/login.jhtml", login);

  server.Get("/cart/cart.htm", wrap([this](const httplib::Request& req, httplib::Response& res) {
    if (!hasMarketLogin(req)) return SendGbk(res, LoginPageText(*this, ""));
    SendGbk(res, "<!DOCTYPE html>\n<html><head><meta charset=\"gbk\"><title>淘宝网 - 我的购物车</title></head>\n"
                 "<body><div id=\"J_Cart\"><h2>购物车（0）</h2><p>您的购物车还是空的，赶紧行动吧！</p></div></body></html>\n");
  }));

  auto home = wrap([this](const httplib::Request& req, httplib::Response& res) {
    bool in = hasMarketLogin(req);
    std::string nick = CookieValue(req.get_header_value("Cookie"), "_nk_");
    std::string t = "<!DOCTYPE html>\n<html><head><meta charset=\"gbk\"><title>淘宝网 - 淘！我喜欢</title></head>\n<body>\n";
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
    static const char* words[] = {"连衣裙", "T恤", "牛仔裤", "帆布鞋", "双肩包", "手机壳", "移动电源",
                                  "口红",   "面膜", "坚果",   "瑜伽垫", "沙发"};
    std::string t = "<!DOCTYPE html>\n<html><head><meta charset=\"gbk\"><title>淘宝排行榜</title></head>\n<body>\n"
                    "<h2>今日热门搜索</h2>\n<ol>\n";
    for (const char* w : words)
      t += "<li><a href=\"" + base() + "/s/search?q=" + PercentEncodeAll(ToGbk(w)) + "\">" + w + "</a></li>\n";
    t += "</ol>\n</body></html>\n";
    SendGbk(res, t);
  });
  server.Get("/top", top);
  server.Get("/top/", top);

  server.Get("/bang/register/guide.htm", wrap([](const httplib::Request&, httplib::Response& res) {
    SendGbk(res, "<!DOCTYPE html>\n<html><head><meta charset=\"gbk\"><title>报名须知</title></head>\n"
                 "<body><h2>报名须知</h2><p>参与竞拍前请阅读并同意竞拍规则。</p></body></html>\n");
  }));

  server.Get("/list/browse/ad_search.htm", wrap([this](const httplib::Request&, httplib::Response& res) {
    res.set_header("Set-Cookie", "cna=" + Hex(nextToken(), 12) + "; path=/; expires=Thu, 01-Jan-2037 00:00:00 GMT");
    res.set_header("Set-Cookie", "_tb_token_=" + Hex(nextToken(), 13) + "; path=/");
    res.set_header("Set-Cookie", "v=0; path=/");
    SendGbk(res, "<!DOCTYPE html>\n<html><head><meta charset=\"gbk\"><title>淘宝网 - 高级搜索</title></head>\n"
                 "<body><h2>高级搜索</h2></body></html>\n");
  }));

  routeSearch(server);
  routeList(server);
}

}  // namespace kelvora::sim
