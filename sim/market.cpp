// The marketplace: item pages and their dynamic data, search and list pages,
// the home, login, cart and hot-words pages.
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "app.h"
#include "filler.h"
#include "net/codec.h"
#include "util.h"

namespace kelvora::sim {

namespace {

const char* const kDescriptionParagraphs[] = {
    "<p>本店所有商品均为实物拍摄，因显示器不同可能存在轻微色差，请以实物为准。</p>",
    "<p>亲，下单前请咨询客服库存情况，我们会在48小时内安排发货，节假日顺延。</p>",
    "<p>七天无理由退换货，非质量问题退换货来回邮费由买家承担，质量问题由本店承担。</p>",
    "<p>收到宝贝后如有任何问题请先联系客服，我们一定会给您满意的答复，请不要直接给中差评。</p>"};

std::string DescriptionHead(const Item& it, const Seller& seller) {
  std::string d = "<ul class=\"attributes-list\">\n";
  d += "<li title=\"" + Esc(seller.shopName) + "\">品牌:&nbsp;" + Esc(seller.shopName) + "</li>\n";
  d += "<li>货号:&nbsp;KV" + it.id.substr(0, std::min<size_t>(6, it.id.size())) + "</li>\n";
  d += "<li>产地:&nbsp;" + it.location + "</li>\n</ul>\n<div class=\"content\">\n";
  return d;
}

std::string DescriptionBody() {
  std::string d;
  for (int r = 0; r < 6; ++r)
    for (const char* p : kDescriptionParagraphs) d += std::string(p) + "\n";
  return d + "</div>\n";
}

std::string Description(const Item& it, const Seller& seller) { return DescriptionHead(it, seller) + DescriptionBody(); }

// The same text in GBK; the part that is the same on every page is converted once.
std::string DescriptionGbk(const Item& it, const Seller& seller) {
  static const std::string body = ToGbk(DescriptionBody());
  return ToGbk(DescriptionHead(it, seller)) + body;
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

// The page of a Taobao item, GBK. The texts a client reads come in the order
// and at about the places of a real page: the title and g_config (with
// sellerNick and sibUrl) early in the head, the buy form with item_id after
// the head styles, the site navigation and the shop header, then the shop's
// decoration and scripts that make up most of the page.
std::string TaobaoPage(const App& app, const Item& it, const Seller& seller) {
  const std::string& p = app.pbase();
  const PageFiller* filler = app.filler();
  const uint64_t h = HashText(app.options().seed, it.id);
  const std::string sellerId = std::to_string(seller.sellerId), shopId = std::to_string(seller.shopId);
  std::string nickOnPage = it.nickEncoded ? PercentEncodeAll(ToGbk(seller.nick)) : seller.nick;
  std::string t;
  std::string out;  // GBK
  if (filler) {
    t += "<!DOCTYPE html>\n<html>\n<head>\n<meta http-equiv=\"X-UA-Compatible\" content=\"IE=edge\">\n"
         "<meta charset=\"gbk\">\n<meta name=\"format-detection\" content=\"telephone=no, address=no\">\n";
    out = ToGbk(t);
    out += filler->taobaoHeadLinks();
    t.clear();
    t += "<link href=\"" + p + "/item/item.htm?id=" + it.id + "\" rel=\"canonical\">\n";
    t += "<meta name=\"description\" content=\"欢迎前来淘宝网实力旺铺，选购" + Esc(it.title) + ",想了解更多" +
         Esc(it.title) + "，请进入" + Esc(seller.nick) + "的" + Esc(seller.shopName) + "实力旺铺，更多商品任你选购\">\n";
    t += "<meta name=\"keywords\" content=\"淘宝,掏宝,网上购物,店铺, " + Esc(it.title) + ".\">\n";
    t += "<meta name=\"data-spm\" content=\"2013\">\n<meta name=\"microscope-data\" content=\"pageId=" +
         std::to_string(1000000000 + seller.shopId % 900000000) + ";prototypeId=2;siteId=4;shopId=" + shopId +
         ";userid=" + sellerId + ";\">\n";
  } else {
    t += "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"gbk\">\n";
    t += "<meta name=\"keywords\" content=\"" + Esc(it.title) + "\">\n";
  }
  t += "<title>" + it.title + "-淘宝网</title>\n";
  t += "<link rel=\"shortcut icon\" href=\"" + p + "/favicon.ico\" type=\"image/x-icon\">";
  if (filler)
    t += "<link rel=\"stylesheet\" href=\"" + p + "/static/??tb/global/3.5.35/global-min.css,item-detail/7.18.1/index-min.css\">";
  t += "\n<script>\n    var g_config = {\n";
  t += "        startTime        : +new Date,\n";
  t += "        ver              : '7.18.1',\n";
  t += "        st               : '',\n";
  t += "        online           : true,\n";
  t += "        shopVer          : 2,\n";
  t += "        appId            : 1 ,\n";
  t += "        itemId           : '" + it.id + "',\n";
  t += "        shopId           : '" + shopId + "',\n";
  t += "        shopName         : '" + JavaEscape(seller.shopName) + "',\n";
  t += "        sellerId         : '" + sellerId + "',\n";
  t += "        sellerNick       : '" + nickOnPage + "',\n";
  t += "        sibUrl           : '" + p + "/detailskip/json/sib.htm?itemId=" + it.id + "&sellerId=" + sellerId +
       "&modules=dynStock,qrcode,viewer,price,duty,xmpPromotion,delivery,upp,activity,fqg,zjys,couponActivity,"
       "soldQuantity,contract,tradeContract',  \n";
  t += "        descUrl          : '" + p + "/desc/" + it.id + ".desc',  \n";
  t += "        counterApi       : '" + p + "/count/counter3?inc=ICVT_7_" + it.id + "&keys=DFX_200_1_" + it.id +
       ",ICVT_7_" + it.id + "',\n";
  t += "        rateCounterApi   : '" + p + "/rate/detailCount.do?itemId=" + it.id + "',\n";
  if (filler)
    t += "        areaPrice        : false,\n        \n";
  t += "        lazyload         : '#J_DivItemDesc',\n";
  if (filler)
    t += "        \n        tadComponetCdn   : true,\n        delayInsurance   : false,\n        fuwubao          : false,\n"
         "        \n        cdn              : true,\n        sibFirst         : true,\n        \n"
         "        webp             : true,\n        descWebP         : false,\n        \n"
         "        newDomain        : true,\n";
  t += "        asyncStock       : true,\n";
  if (filler) t += "        enable           : true,\n        \n        m_ratio          : 20,\n        \n        beacon           : {},\n";
  t += "        DyBase           : {\n            iurl : '" + p + "/item',\n";
  if (filler) t += "            purl : '" + p + "/paimai',\n            durl : '" + p + "/siteadmin',\n";
  t += "            lgurl: '" + app.loginSite() + "'\n        },\n";
  t += "        idata            : {\n            item: {\n";
  t += "                id               : '" + it.id + "',\n";
  t += "                title            : '" + JavaEscape(it.title) + "',\n";
  if (filler)
    t += "                pic              : '" + p + "/img/imgextra/i3/0/TB1" + Hex(h, 12) + "XX_!!0-item_pic.jpg',\n";
  t += "                price            : '',\n";
  t += "                status           : 0,\n";
  if (filler) t += "                sellerNick       : '" + nickOnPage + "',\n";
  t += "                sellerNickGBK    : '" + PercentEncodeAll(ToGbk(seller.nick)) + "',\n";
  if (filler) t += "                skuComponentFirst: 'true',\n                \n";
  t += "                rcid             : '" + std::to_string(it.top) + "',\n";
  t += "                cid              : '" + std::to_string(it.sub) + "',\n";
  t += "                virtQuantity     : '',\n";
  if (filler) {
    t += "                holdQuantity     : '',\n                \n                quickAdd         : 1,\n                \n"
         "                edit             : true, \n                \n                bnow             : true,\n"
         "                dbst             : " + std::to_string((it.listedAt - 86400 * (h % 700)) * 1000) + ",\n"
         "                auctionImages    : [";
    for (int k = 0; k < 5; ++k)
      t += std::string(k ? "," : "") + "\"" + p + "/img/imgextra/i" + std::to_string(k % 4 + 1) + "/" + sellerId + "/TB2" +
           Hex(Mix64(h + k), 12) + "XX_!!" + sellerId + ".jpg\"";
    t += "]\n            },\n            seller: {\n                id          : '" + sellerId +
         "',\n                mode        : 0,\n                shopAge     : '" + std::to_string(1 + h % 9) +
         "'\n                ,status      : 0\n                ,goldSeller  : " + (h & 1 ? "true" : "false") +
         "\n            },\n            shop  : {\n                id  : '" + shopId + "',\n                url : '" + p +
         "/shop/view_shop.htm?user_number_id=" + sellerId + "'\n                ,sid: 4\n                ,xshop: true\n"
         "            }\n        },\n        vdata :{\n        }\n        \n    };\n\n    \n"
         "    g_config.tadInfo = {\"tad_second_area\":[{\"name\":\"掌柜推荐\",\"type\":4}],\"tad_first_area\":[{\"name\":\"掌柜推荐\","
         "\"type\":4},{\"name\":\"搭配套餐\",\"type\":8}]};\n    \n    g_config.favoriteVersion = \"1.1.1\";\n\n    \n"
         "    g_config.hasContract = true;\n    \n    g_config.showBuyerDetail = true;\n\n    \n</script>\n";
  } else {
    t += "                holdQuantity     : ''\n            }\n        }\n    };\n</script>\n";
  }
  t += "<script>\n    function onSibRequestSuccess(res){g_config.sibRequest = {success: true, data: res&&res.data}}\n";
  t += "    (function(){ var sibUrl= g_config.sibUrl;sibUrl+=\"&callback=onSibRequestSuccess\";"
       "var s=document.createElement('script');s.src=sibUrl;document.head.appendChild(s);})();\n</script>\n";
  if (filler) {
    out += ToGbk(t);
    t.clear();
    out += filler->style(h);
    out += filler->style(Mix64(h));
    out += ToGbk("</head>\n<body class=\"ks-webkit\">\n");
    out += filler->siteNav();
    t += "<div id=\"shop-hd\" class=\"tb-shop-hd\"><div class=\"shop-name\"><a href=\"" + p +
         "/shop/view_shop.htm?user_number_id=" + sellerId + "\" class=\"shop-name-link\">" + Esc(seller.shopName) +
         "</a></div><div class=\"shop-rank\"><a href=\"" + p + "/rate/rate.htm?user_id=" + sellerId +
         "\" target=\"_blank\"><img src=\"" + p + "/static/newrank/s_red_" + std::to_string(1 + h % 5) +
         ".gif\"></a></div><div class=\"shop-summary\"><span>掌柜：" + Esc(seller.nick) + "</span><span>所在地：" +
         Esc(it.location) + "</span></div></div>\n";
    out += ToGbk(t);
    t.clear();
    filler->appendBody(out, Mix64(h + 2), out.size() + 1);  // the shop's banner module
  } else {
    t += "</head>\n<body class=\"ks-webkit\">\n";
  }
  t += "<div id=\"page\">\n<div class=\"tb-item-info\">\n";
  t += "<h3 class=\"tb-main-title\" data-title=\"" + Esc(it.title) + "\">" + Esc(it.title) + "</h3>\n";
  t += "<ul class=\"tb-meta\">\n<li id=\"J_StrPriceModBox\"><span class=\"tb-property-type\">价格</span>"
       "<strong id=\"J_StrPrice\"><em class=\"tb-rmb\">&yen;</em><em class=\"tb-rmb-num\"></em></strong></li>\n";
  t += "<li><span class=\"tb-property-type\">配送</span><span id=\"J-From\"></span></li>\n</ul>\n";
  t += "<form id=\"J_FrmBid\" action=\"\" method=\"post\">\n";
  if (filler)
    t += "<input type=\"hidden\" value=\"\" name=\"onekey\">\n<input type=\"hidden\" value=\"\" name=\"gmtCreate\">\n"
         "<input type=\"hidden\" name=\"tb_token\" value=\"" + Hex(h, 13) + "\" id=\"J_frmTokenField\">\n";
  t += "<input type=\"hidden\" name=\"item_id\" value=\"" + it.id + "\">\n";
  if (filler) t += "<input type=\"hidden\" name=\"item_id_num\" value=\"" + it.id + "\">\n";
  t += "<input type=\"hidden\" name=\"auction_type\" value=\"b\">\n";
  t += "<input type=\"hidden\" name=\"from\" value=\"item_detail\">\n";
  t += "<input type=\"hidden\" name=\"frm\" value=\"\">\n";
  if (filler)
    t += "<input type=\"hidden\" name=\"current_price\" value=\"" + it.price.substr(0, it.price.find('-')) + "\">\n"
         "<input type=\"hidden\" name=\"quantity\" value=\"1\" id=\"quantity\">\n"
         "<input type=\"hidden\" name=\"skuId\" value=\"\" id=\"skuId\">\n";
  t += "</form>\n</div>\n";
  t += "<div class=\"tb-shop-info\"><a class=\"tb-shop-name\" href=\"" + p + "/shop/view_shop.htm?user_number_id=" +
       sellerId + "\">" + Esc(seller.shopName) + "</a>" + "<span class=\"tb-seller-name\">掌柜：" + Esc(seller.nick) +
       "</span></div>\n";
  if (!filler) {
    t += "<div id=\"J_DivItemDesc\">\n" + Description(it, seller) + "</div>\n</div>\n</body>\n</html>\n";
    return ToGbk(t);
  }
  out += ToGbk(t);
  const std::string desc = ToGbk("<div id=\"J_DivItemDesc\">\n") + DescriptionGbk(it, seller) + ToGbk("</div>\n</div>\n");
  const std::string& footer = filler->footer(h);
  const size_t size = PageFiller::PageSize(h);
  filler->appendBody(out, Mix64(h + 1), size > desc.size() + footer.size() ? size - desc.size() - footer.size() : 0);
  out += desc;
  out += footer;
  return out;
}

// The page of a Tmall item, GBK: the title and the Tmall link early in the
// head, the seller's nickname in the buy form, TShop.Setup (initApi, itemId,
// quantity) after the item's main block, then recommendations and scripts.
std::string TmallPage(const App& app, const Item& it, const Seller& seller) {
  const std::string& p = app.pbase();
  const PageFiller* filler = app.filler();
  const uint64_t h = HashText(app.options().seed, it.id);
  const std::string sellerId = std::to_string(seller.sellerId);
  std::string t, out;
  t += "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"gbk\" />\n";
  t += "<title>" + it.title + "-tmall.com天猫</title>\n";
  t += "<meta name=\"keywords\" content=\"" + Esc(it.title) + "\" />\n";
  if (filler)
    t += "<meta name=\"description\" content=\"" + Esc(it.title) + "，欢迎来" + Esc(seller.shopName) +
         "选购，天猫正品保障，提供" + Esc(it.location) + "发货，七天无理由退换。\" />\n";
  t += "<link title=\"tmall.com天猫\" rel=\"search\" type=\"application/opensearchdescription+xml\" href=\"" + p +
       "/opensearch.xml\" />\n";
  t += "<link rel=\"stylesheet\" href=\"" + p + "/static/detail.css\" />\n";
  if (filler) {
    out = ToGbk(t);
    t.clear();
    out += filler->tmallHeadLinks();
    out += filler->style(h);
    out += filler->style(Mix64(h));
    out += ToGbk("</head>\n<body class=\"detail\">\n");
    out += filler->siteNav();
  } else {
    t += "</head>\n<body class=\"detail\">\n";
  }
  t += "<div id=\"header\"><a class=\"slogo-shopname\" href=\"" + p + "/shop/view_shop.htm?user_number_id=" + sellerId +
       "\"><strong>" + Esc(seller.pageNick) + "</strong></a></div>\n";
  if (filler) {
    out += ToGbk(t);
    t.clear();
    filler->appendBody(out, Mix64(h + 2), out.size() + 1);  // the shop's banner module
  }
  t += "<div id=\"detail\">\n<div class=\"tb-detail-hd\">\n<h1 data-spm=\"1000983\">\n" + Esc(it.title) +
       "\n</h1>\n</div>\n";
  if (filler)
    t += "<div class=\"tm-fcs-panel\"><dl class=\"tm-price-panel\"><dt class=\"tb-metatit\">价格</dt><dd><em class=\"tm-yen\">&yen;</em>"
         "<span class=\"tm-price\">" + it.price + "</span></dd></dl><dl class=\"tm-delivery-panel\"><dt class=\"tb-metatit\">运费</dt>"
         "<dd>" + Esc(it.location) + " 至 <span class=\"mui_addr_tri_1\">北京</span> 快递: 0.00</dd></dl>"
         "<ul class=\"tm-ind-panel\"><li class=\"tm-ind-item tm-ind-sellCount\"><div class=\"tm-indcon\"><span class=\"tm-label\">月销量</span>"
         "<span class=\"tm-count\"></span></div></li><li class=\"tm-ind-item tm-ind-reviewCount\"><div class=\"tm-indcon\">"
         "<span class=\"tm-label\">累计评价</span><span class=\"tm-count\"></span></div></li></ul></div>\n";
  t += "<form id=\"J_FrmBid\" name=\"bidForm\" method=\"post\" action=\"\">\n";
  t += "<input type=\"hidden\" name=\"seller_nickname\" value=\"" + seller.pageNick + "\" />\n";
  t += "<input type=\"hidden\" name=\"region\" value=\"true\" />\n";
  t += "<input type=\"hidden\" name=\"buy_param\" value=\"\" />\n</form>\n</div>\n";
  std::string desc = "<div id=\"description\">\n" + Description(it, seller) + "</div>\n";
  if (!filler) t += desc;
  t += "<script>\nTShop.Setup(";
  t += "{\"api\":{\"descUrl\":\"" + p + "/desc/" + it.id + ".desc\",\"fetchDcUrl\":\"" + p + "/hdc/asyn.htm?userId=" +
       sellerId + "\"},";
  t += "\"apiAddCart\":\"" + p + "/cart/add_cart_item.htm?item_id=" + it.id + "\",";
  if (filler)
    t += "\"apiBeans\":\"" + p + "/count/counter3?keys=SM_368_dsr-" + sellerId + ",ICCP_1_" + it.id + "\",";
  t += "\"apiBidCount\":\"" + p + "/tbskip/json/show_bid_count.htm?itemNumId=" + it.id + "&old_quantity=" +
       std::to_string(it.sales + 17) + "\",";
  if (filler)
    t += "\"apiItemViews\":\"" + p + "/count/counter2?keys=ICVT_7_" + it.id + "&inc=ICVT_7_" + it.id + "&sign=" +
         Hex(Mix64(h + 3), 16) + "\",";
  t += "\"cartEnable\":true,";
  if (filler)
    t += "\"changeLocationApi\":\"" + p + "/mdskip/core/changeLocation.htm?tgTag=true&cartEnable=true&service3C=false"
         "&isSecKill=false&isUseInventoryCenter=false&household=false&addressLevel=2\",";
  t += "\"cmCatId\":\"" + std::to_string(it.sub) + "\",";
  if (filler)
    t += "\"detail\":{\"allowRate\":true,\"autoccUser\":false,\"cdn75\":false,\"defaultItemPrice\":\"" + it.price +
         "\",\"goNewAuctionFlow\":false,\"isAllowReport\":true,\"isHkItem\":false,\"isMeilihui\":false,"
         "\"isSuperMarket\":false,\"loginBeforeCart\":false,\"showDiscountRecommend\":false,\"timeKillAuction\":false},"
         "\"getProgressiveInfoApi\":\"" + p + "/mdskip/core/getProgressiveInfo.htm\",";
  t += "\"initApi\":\"" + p + "/mdskip/core/initItemDetail.htm?itemId=" + it.id +
       "&isUseInventoryCenter=false&tmallBuySupport=true&isAreaSell=false&service3C=false&cartEnable=true"
       "&cachedTimestamp=1481286011479&addressLevel=2&isSecKill=false\",";
  if (filler)
    t += "\"initCspuExtraApi\":\"" + p + "/mdskip/core/initCspuExtra.htm\",\"initExtensionApi\":\"" + p +
         "/mdskip/core/initExtension.htm\",\"isAreaSell\":false,\"isDoubleElevenItem\":false,\"isMeiz\":false,"
         "\"isService\":false,";
  t += "\"itemDO\":{\"brand\":" + JsonQuote(seller.nick) + ",\"categoryId\":\"" + std::to_string(it.sub) +
       "\",\"hasSku\":false,\"isOnline\":true,\"itemId\":\"" + it.id + "\",\"prov\":" + JsonQuote(it.location) +
       ",\"quantity\":" + std::to_string(it.stock) + ",\"reservePrice\":\"" + it.price + "\",\"rootCatId\":\"" +
       std::to_string(it.top) + "\",\"sellerNickName\":\"" + PercentEncodeAll(seller.nick) + "\",\"title\":" +
       JsonQuote(it.title) + ",\"userId\":\"" + sellerId + "\"},";
  if (filler) {
    t += "\"propertyPics\":{\"default\":[";
    for (int k = 0; k < 5; ++k)
      t += std::string(k ? "," : "") + "\"" + p + "/img/bao/uploaded/i" + std::to_string(k % 4 + 1) + "/" + sellerId +
           "/TB2" + Hex(Mix64(h + 10 + k), 12) + "XX_!!" + sellerId + ".jpg\"";
    t += "]},\"rateConfig\":{\"itemId\":" + it.id + ",\"rateScoreCacheDisable\":false,\"rateScoreUseTair\":true,"
         "\"sellerId\":" + sellerId + ",\"spuId\":\"" + std::to_string(Mix64(h) % 900000000 + 100000000) + "\"},"
         "\"serviceIconList\":[{\"title\":\"正品保证\",\"link\":\"" + p + "/www/service.htm\"},{\"title\":\"极速退款\","
         "\"link\":\"" + p + "/www/service.htm\"},{\"title\":\"赠运费险\",\"link\":\"" + p + "/www/service.htm\"},"
         "{\"title\":\"七天无理由退换\",\"link\":\"" + p + "/www/service.htm\"}],\"tradeConfig\":{\"1\":\"" + p +
         "/buy/order/confirm_order.htm\",\"2\":\"" + p + "/buy/order/confirm_order.htm\"},";
  }
  t += "\"isSevenDaysRefundment\":true,\"isTmallComboSupport\":false,\"rstShopId\":" + std::to_string(seller.shopId) +
       "});\n</script>\n";
  if (!filler) {
    t += "</body>\n</html>\n";
    return ToGbk(t);
  }
  out += ToGbk(t);
  const std::string descGbk = ToGbk("<div id=\"description\">\n") + DescriptionGbk(it, seller) + ToGbk("</div>\n");
  const std::string& footer = filler->footer(h);
  const size_t size = PageFiller::PageSize(h);
  filler->appendBody(out, Mix64(h + 1), size > descGbk.size() + footer.size() ? size - descGbk.size() - footer.size() : 0);
  out += descGbk;
  out += footer;
  return out;
}

// The marketplace's "no such item" page, GBK; with the site's frame around it
// when pages have their real size.
std::string RemovedPage(const App& app, const std::string& id) {
  const PageFiller* filler = app.filler();
  std::string head = "<!DOCTYPE html>\n<html><head><meta charset=\"gbk\"><title>淘宝网 - 淘！我喜欢</title>";
  std::string t = "<div class=\"error-notice\">\n<div class=\"error-notice-hd\">\n"
                  "<div class=\"error-notice-text\">\n<h2>很抱歉，您查看的宝贝不存在，可能已下架或者被转移。</h2>\n"
                  "<p class=\"error-notice-desc\">您可以：</p>\n<ul>\n<li>1. 看看其他宝贝，去 <a href=\"" +
                  app.base() + "/www/\">淘宝首页</a></li>\n<li>2. 在淘宝<a href=\"" + app.base() +
                  "/s/search\">搜索</a>同类宝贝</li>\n</ul>\n</div>\n</div>\n</div>\n";
  if (!filler) return ToGbk(head + "</head>\n<body>\n" + t + "</body></html>\n");
  const uint64_t h = HashText(app.options().seed, id);
  std::string out = ToGbk(head + "\n");
  out += filler->taobaoHeadLinks();
  out += filler->style(h);
  out += ToGbk("</head>\n<body>\n");
  out += filler->siteNav();
  out += ToGbk(t);
  filler->appendScripts(out, h, 2);
  out += filler->footer(h);
  return out;
}

// An auction item's page, which the client does not read beyond its title, GBK.
std::string UnsupportedPage(const App& app, const Item& it) {
  const PageFiller* filler = app.filler();
  std::string t = "<!DOCTYPE html>\n<html><head><meta charset=\"gbk\"><title>" + it.title + "-淘宝网</title>";
  std::string body = "<div class=\"paimai-detail\">\n<h1>" + Esc(it.title) +
                     "</h1>\n<p>此宝贝为拍卖宝贝，参与竞拍前请先完成报名。</p>\n"
                     "<a class=\"reg-guide\" href=\"" + app.base() +
                     "/bang/register/guide.htm\" target=\"_blank\">报名须知</a>\n</div>\n";
  if (!filler) return ToGbk(t + "</head>\n<body>\n" + body + "</body></html>\n");
  const uint64_t h = HashText(app.options().seed, it.id);
  std::string out = ToGbk(t + "\n");
  out += filler->taobaoHeadLinks();
  out += filler->style(h);
  out += ToGbk("</head>\n<body>\n");
  out += filler->siteNav();
  out += ToGbk(body);
  filler->appendBody(out, Mix64(h + 1), PageFiller::PageSize(h) / 2);
  out += filler->footer(h);
  return out;
}

std::string AltStubPageText(const App& app, const Item& it) {
  std::string ny = app.base() + "/ny/item.htm";
  return "<!DOCTYPE html>\n<html><head><meta charset=\"gbk\"><title>淘宝网 - 淘！我喜欢</title>\n<script>\n"
         "if('" + ny + "'){ location.replace('" + ny + "' + location.search); }\n</script>\n</head>\n"
         "<body><p>正在跳转，请稍候……</p><a href=\"" + ny + "?id=" + it.id + "\">如果没有跳转请点这里</a></body></html>\n";
}

namespace {

// An address of the simulator as JSON strings of the answers write it ("\/\/127.0.0.1:P").
std::string JsonSlashes(const std::string& address) {
  std::string out;
  for (char c : address) {
    if (c == '/') out += '\\';
    out += c;
  }
  return out;
}

std::string ReplaceAllOf(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) text.replace(at, from.size(), to);
  return text;
}

// How many kinds (colours, sizes) an item is sold in: 1 to 5.
int SkuCount(uint64_t hash) { return 1 + static_cast<int>(hash % 5); }
// The property key of kind k of an item (distinct for its kinds).
std::string SkuKey(uint64_t hash, int k) {
  return ";1627207:" + std::to_string(28320 + Mix64(hash) % 9000 * 8 + static_cast<uint64_t>(k)) + ";";
}

// The stock of each of an item's kinds; they add up to the item's stock.
std::vector<int> KindShares(int stock, int kinds) {
  std::vector<int> shares;
  for (int k = 0, left = stock; k < kinds; ++k) {
    shares.push_back(k + 1 == kinds ? left : left / (kinds - k));
    left -= shares.back();
  }
  return shares;
}

// The parts of a real sib answer that carry nothing the client reads: the ways
// to pay and the service promises (ICON stands for the picture host).
const char* const kSibPayments =
    R"J("tradeContract":{"pay":[{"icons":["ICON\/tfs\/TB1KTHfQFXXXXbnXFXXXXXXXXXX-16-16.png","ICON\/tfs\/TB1XeDvQFXXXXc5XXXXXXXXXXXX-32-32.png"],"title":"\u8682\u8681\u82B1\u5457","url":"\/\/payservice.alipay.com\/intro\/index.htm?c=hb"},{"icons":["ICON\/tfs\/TB1w6O3QFXXXXX4aXXXXXXXXXXX-16-16.png","ICON\/tfs\/TB1c7HAQFXXXXakXXXXXXXXXXXX-32-32.png"],"title":"\u4FE1\u7528\u5361\u652F\u4ED8","url":"\/\/payservice.alipay.com\/intro\/index.htm?c=xyk"},{"icons":["ICON\/tfs\/TB1dvGWQFXXXXcFaXXXXXXXXXXX-16-16.png","ICON\/tfs\/TB1FdDlQFXXXXa5XpXXXXXXXXXX-32-32.png"],"title":"\u96C6\u5206\u5B9D","url":"\/\/jf.alipay.com"}],"service":[)J";
const char* const kSibServices[] = {
    R"J({"desc":"\u5546\u54C1\u5728\u8FD0\u8F93\u9014\u4E2D\u51FA\u73B0\u7834\u635F\u7684\uFF0C\u6D88\u8D39\u8005\u53EF\u5411\u5356\u5BB6\u63D0\u51FA\u8865\u5BC4\u7533\u8BF7\uFF0C\u53EF\u8865\u5BC41\u6B21\uFF0C\u8865\u5BC4\u90AE\u8D39\u7531\u5356\u5BB6\u627F\u62C5","icons":["ICON\/tps\/i1\/TB1skruGpXXXXagXFXXAz6UFXXX-16-16.png",null],"linkType":1,"title":"1\u6B21\u7834\u635F\u8865\u5BC4"})J",
    R"J({"desc":"\u6EE1\u8DB37\u5929\u65E0\u7406\u7531\u9000\u6362\u8D27\u7533\u8BF7\u7684\u524D\u63D0\u4E0B\uFF0C\u5305\u90AE\u5546\u54C1\u9700\u8981\u4E70\u5BB6\u627F\u62C5\u9000\u8D27\u90AE\u8D39\uFF0C\u975E\u5305\u90AE\u5546\u54C1\u9700\u8981\u4E70\u5BB6\u627F\u62C5\u53D1\u8D27\u548C\u9000\u8D27\u90AE\u8D39\u3002","icons":["ICON\/tps\/i1\/T1EQA5FpVgXXceOP_X-16-16.jpg",null],"linkType":1,"title":"7\u5929\u65E0\u7406\u7531"})J",
    R"J({"desc":"\u5356\u5BB6\u627F\u8BFA48\u5C0F\u65F6\u5185\u53D1\u8D27","icons":["ICON\/tps\/i4\/TB1ZmB3QFXXXXcYaXXXXXXXXXXX-16-16.png",null],"linkType":1,"title":"48\u5C0F\u65F6\u53D1\u8D27"})J",
    R"J({"desc":"\u5356\u5BB6\u4E3A\u60A8\u8D2D\u4E70\u7684\u5546\u54C1\u6295\u4FDD\u9000\u8D27\u8FD0\u8D39\u9669","icons":["ICON\/tps\/TB1xupxMXXXXXb3XFXXXXXXXXXX-16-16.png",null],"linkType":1,"title":"\u8FD0\u8D39\u9669"})J"};

// The sib answer at the marketplace's size (3 to 8 KB), its texts in the real
// order: sendCity in the delivery block, the prices of the kinds before the
// price, the payments and promises, dynStock with each kind's stock, the
// coupon strip, the sold quantities and the promotions of the kinds.
std::string FullSibAnswerText(const App& app, const Item& it, const std::string& city) {
  const uint64_t h = HashText(app.options().seed, "sib" + it.id);
  const std::string p = JsonSlashes(app.pbase());
  const std::string icons = p + "\\/img";
  const int kinds = SkuCount(h);
  std::string t = R"J(onSibRequestSuccess({"code":{"code":0,"message":"SUCCESS"},"data":{)J";
  t += R"J("viewer":{"admin":false,"bs":")J" + std::to_string(100 + h % 90) +
       R"J(","buyDomain":"buy.taobao.com","buyerId":"","cartDomain":"cart.taobao.com","cc":false,"countryCode":"CN","ctUser":false,"lgin":true,"serviceTab":"ITEM","tkn":")J" +
       Hex(Mix64(it.sales), 13) + "\"},";
  t += R"J("deliveryFee":{"data":{"areaId":110100,"areaName":"\u5317\u4EAC","sendCity":")J" + city +
       R"J(","serviceInfo":{"list":[{"id":"100_-4","info":"\u5FEB\u9012 <span class=\"wl-yen\">&yen;<\/span>10.00","isDefault":true},{"id":"100_-7","info":"EMS <span class=\"wl-yen\">&yen;<\/span>20.00"}]}},"dataUrl":")J" +
       p + R"J(\/detailskip\/json\/deliveryFee.htm","message":"ok","success":true},)J";
  t += R"J("activity":{},"originalPrice":{"def":{"price":")J" + it.price + "\"}";
  for (int k = 0; k < kinds; ++k) t += ",\"" + SkuKey(h, k) + R"J(":{"price":")J" + it.price + "\"}";
  t += R"J(},"price":")J" + it.price + "\",";
  t += ReplaceAllOf(kSibPayments, "ICON", icons);
  const int services = 2 + static_cast<int>((h >> 8) % 3);
  for (int k = 0; k < services; ++k) t += (k ? "," : "") + ReplaceAllOf(kSibServices[k], "ICON", icons);
  t += "]},";
  t += R"J("dynStock":{"holdQuantity":0,"sellableQuantity":)J" + std::to_string(it.stock) + R"J(,"sku":{)J";
  const std::vector<int> shares = KindShares(it.stock, kinds);
  for (int k = 0; k < kinds; ++k)
    t += (k ? ",\"" : "\"") + SkuKey(h, k) + R"J(":{"holdQuantity":0,"oversold":false,"sellableQuantity":)J" +
         std::to_string(shares[k]) + ",\"stock\":" + std::to_string(shares[k]) + "}";
  t += R"J(},"stock":)J" + std::to_string(it.stock) + R"J(,"stockType":"normal"},)J";
  t += R"J("qrcodeImgUrl":")J" + p + R"J(\/qrcode.do?biz_code=xcode&short_name=a.)J" + Hex(h, 4) +
       "&cmd=createSub&param=id:" + it.id + R"J(;scm:20140619.pc_detail.itemId.0",)J";
  t += R"J("couponActivity":{"buyerHasMianxi":false,"coupon":{},"shopProm":[{"icon":[")J" + icons +
       R"J(\/tfs\/TB1Kz8VQFXXXXa6XFXXXXXXXXXX-56-16.png",")J" + icons +
       R"J(\/tfs\/TB1CDp8QFXXXXakXpXXXXXXXXXX-112-32.png"],"title":"\u6EE1)J" + std::to_string(50 + 50 * (h % 4)) +
       R"J(,\u4EAB\u90E8\u5206\u5730\u533A\u5305\u90AE"}],"showMianxiTips":false},)J";
  t += R"J("soldQuantity":{"quanity":)J" + std::to_string(it.sales) + R"J(,"confirmGoodsCount":")J" +
       std::to_string(it.sales * 4 / 5) + R"J(","soldTotalCount":")J" + std::to_string(it.sales) + "\"},";
  t += R"J("promotion":{"promoData":{)J";
  for (int k = 0; k < kinds; ++k)
    t += (k ? ",\"" : "\"") + SkuKey(h, k) +
         R"J(":[{"amountRestriction":"","basePriceType":"IcPrice","endTime":)J" +
         std::to_string((it.listedAt + 30 * 86400) * 1000) +
         R"J(,"limitProm":false,"postageFree":false,"promType":"normal","startTime":)J" +
         std::to_string(it.listedAt * 1000) + R"J(,"status":2,"type":"\u5E97\u94FA\u4F18\u60E0"}])J";
  t += "},\"saleDetailMap\":{}}}}); \n";
  return t;
}

}  // namespace

std::string SibAnswerText(const App& app, const Item& it) {
  std::string city = it.locationEscaped ? JavaEscape(it.location) : it.location;
  if (it.sib == SibForm::Json && app.filler()) return FullSibAnswerText(app, it, city);
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

namespace {

// The service promises of a Tmall answer; each item shows two to four of them.
const char* const kTmallPromises[] = {
    R"J({"description":"承诺正品保障，假一赔十","displayText":"正品保障","icon":"ICON/tps/TB1pSTEIFXXXXX7XpXXXXXXXXXX.png","link":"//rule.tmall.com/tdetail-4400.htm","rank":-1})J",
    R"J({"description":"确认收货之日15天(含)内，如有商品质量问题、描述不符或溢漏损失缺发等（不包括因主观原因导致不想要）可申请退货","displayText":"15天售后无忧","icon":"ICON/tfscom/TB1FWIuQVXXXXcVXXXXXXXXXXXX.png","link":"//rule.tmall.com/tdetail-5440.htm","rank":-1})J",
    R"J({"description":"满足7天无理由退换货申请的前提下，包邮商品需要买家承担退货邮费，非包邮商品需要买家承担发货和退货邮费","displayText":"七天无理由退换","icon":"ICON/tps/TB1x2HmIFXXXXcUXpXXXXXXXXXX.png","link":"//pages.tmall.com/wow/seller/act/seven-day","rank":-1})J",
    R"J({"description":"卖家为您购买的商品投保退货运费险","displayText":"赠运费险","icon":"ICON/tps/TB1xupxMXXXXXb3XFXXXXXXXXXX-80-80.png","link":"//service.taobao.com/support/knowledge-7602600.htm","rank":-1})J"};

// The mdskip answer at the marketplace's size (4 to 8 KB), in the real order:
// deliveryAddress first in the delivery block, the prices under priceInfo, the
// member, misc and sold-count blocks, the promises, the areas it sold to and
// the trade block.
std::string FullMdskipAnswerText(const App& app, const Item& it) {
  const uint64_t h = HashText(app.options().seed, "mdskip" + it.id);
  const std::string icons = app.pbase() + "/img";
  const int kinds = SkuCount(h);
  std::vector<std::string> skus;
  for (int k = 0; k < kinds; ++k)  // distinct SKU ids of the item's kinds
    skus.push_back(std::to_string(3220516048299ULL + Mix64(h) % 100000 * 10 + static_cast<uint64_t>(k)));
  const std::string delivery = R"J([{"arrivalNextDay":false,"arrivalThisDay":false,"forceMocked":false,"money":"0.00","name":"运费","postageFree":true,"signText":"24:00前付款，预计3天内送达","skuDeliveryAddress":)J" +
                               JsonQuote(it.location) + R"J(,"type":1}])J";
  std::string t = R"J(setMdskip({"defaultModel":{"bannerDO":{"success":true},)J";
  t += R"J("deliveryDO":{"areaId":110101,"deliveryAddress":)J" + JsonQuote(it.location) +
       R"J(,"deliverySkuMap":{"default":)J" + delivery;
  for (const std::string& sku : skus) t += ",\"" + sku + "\":" + delivery;
  t += R"J(},"destination":"北京市","expressServiceMap":{)J";
  for (int k = 0; k < kinds; ++k) t += (k ? ",\"" : "\"") + skus[k] + R"J(":["911"])J";
  t += R"J(},"success":true,"tips":{"text":"24:00前付款，预计3天内送达"}},)J";
  t += R"J("detailPageTipsDO":{"crowdType":0,"hasCoupon":)J" + std::string(h & 2 ? "true" : "false") +
       R"J(,"hideIcons":false,"jhs99":false,"minicartSurprise":0,"onlyShowOnePrice":false,"priceDisplayType":4,"primaryPicIcons":[],"prime":false,"showCuntaoIcon":false,"showDou11Style":false,"showDou11SugPromPrice":false,"showDou12CornerIcon":false,"showDuo11Stage":0,"showJuIcon":false,"showMaskedDou11SugPrice":false,"success":true,"trueDuo11Prom":false},)J";
  t += R"J("doubleEleven2014":{"doubleElevenItem":false,"halfOffItem":false,"showAtmosphere":false,"showRightRecommendedArea":false,"step":0,"success":true},"extendedData":{},"extras":{},)J";
  t += R"J("gatewayDO":{"changeLocationGateway":{"queryDelivery":true,"i_channel":"1110006525315001","queryProm":true},"success":true,"trade":{"addToBuyNow":{},"addToCart":{}}},)J";
  t += R"J("inventoryDO":{"hidden":false,"icTotalQuantity":)J" + std::to_string(it.stock) + R"J(,"skuQuantity":{)J";
  const std::vector<int> shares = KindShares(it.stock, kinds);
  for (int k = 0; k < kinds; ++k)
    t += (k ? ",\"" : "\"") + skus[k] + R"J(":{"quantity":)J" + std::to_string(shares[k]) + ",\"totalQuantity\":" +
         std::to_string(shares[k]) + ",\"type\":1}";
  t += R"J(},"success":true,"totalQuantity":)J" + std::to_string(it.stock) + R"J(,"type":1},)J";
  t += R"J("itemPriceResultDO":{"areaId":110100,"duo11Item":false,"duo11Stage":0,"extraPromShowRealPrice":false,"halfOffItem":false,"hasDPromotion":false,"hasMobileProm":false,"hasTmallappProm":false,"hiddenNonBuyPrice":false,"hitOnePrice":false,"isUnitPrice":false,)J";
  t += R"J("priceInfo":{"def":{"areaSold":true,"onlyShowOnePrice":false,"price":")J" + it.price + "\",";
  if (it.promo == PromoForm::Plain)
    t += R"J("promotionList":[{"amountPromLimit":0,"amountRestriction":"","basePriceType":"IcPrice","canBuyCouponNum":0,"endTime":1540223999000,"extraPromTextType":0,"extraPromType":0,"limitProm":false,"postageFree":false,"price":")J" +
         it.promoPrice + R"J(","promType":"normal","start":false,"status":2,"tfCartSupport":false,"tmallCartSupport":false,"type":"限时促销","unLogBrandMember":false,"unLogShopVip":false,"unLogTbvip":false}],)J";
  else if (it.promo == PromoForm::Braced)
    t += R"J("promotionList":[{"amountPromLimit":0,"price":{"amount":")J" + it.promoPrice +
         R"J(","currency":"CNY"},"promType":"member","status":2,"type":"会员价"}],)J";
  t += R"J("sortOrder":0}},"queryProm":false,"success":true,"successCall":true,"tmallShopProm":[]},)J";
  t += R"J("memberRightDO":{"activityType":0,"level":0,"postageFree":false,"shopMember":false,"success":true,"time":0,"value":0.0},)J";
  t += R"J("miscDO":{"bucketId":)J" + std::to_string(h % 20) +
       R"J(,"city":"北京","cityId":110100,"debug":{},"hasCoupon":false,"region":"东城区","regionId":110101,"rn":")J" +
       Hex(Mix64(h), 16) + Hex(Mix64(h + 1), 16) +
       R"J(","smartBannerFlag":"top","success":true,"supportCartRecommend":false,"systemTime":")J" +
       std::to_string(app.catalogue().now() * 1000) +
       R"J(","town":"东华门街道","townId":110101001},"regionalizedData":{"success":true},)J";
  t += R"J("sellCountDO":{"sellCount":")J" + std::to_string(it.sales) + R"J(","success":true},)J";
  t += R"J("servicePromise":{"has3CPromise":false,"servicePromiseList":[)J";
  const int promises = 2 + static_cast<int>((h >> 8) % 3);
  for (int k = 0; k < promises; ++k) t += (k ? "," : "") + ReplaceAllOf(kTmallPromises[k], "ICON", icons);
  t += R"J(],"show":true,"success":true,"titleInformation":[]},)J";
  // The cities it sold to: 100 to 340 six-digit area codes.
  t += R"J("soldAreaDataDO":{"cityData":{"allAreaSold":false,"soldAreas":[)J";
  const int areas = 100 + static_cast<int>((h >> 16) % 241);
  for (int k = 0; k < areas; ++k)
    t += (k ? "," : "") + std::to_string(110000 + (Mix64(h + 7 * k) % 540) * 1000 + 100 * (1 + Mix64(h ^ k) % 9));
  t += R"J(]},"currentAreaEnable":true,"regionData":{"allAreaSold":false,"soldAreas":[110101,110102,110105,110106,110107,110108,110109,110111,110112,110113,110114,110115,110116,110117]},"success":true,"useNewRegionalSales":true},)J";
  t += R"J("tradeResult":{"cartEnable":true,"cartType":2,"miniTmallCartEnable":true,"startTime":)J" +
       std::to_string(it.listedAt * 1000) + R"J(,"success":true,"tradeEnable":true,"tradeType":2},)J";
  t += R"J("userInfoDO":{"activeStatus":0,"companyPurchaseUser":false,"loginMember":false,"loginUserType":"buyer","success":true,"userId":0}},"isSuccess":true}))J";
  return t;
}

}  // namespace

std::string MdskipAnswerText(const App& app, const Item& it) {
  if (app.filler()) return FullMdskipAnswerText(app, it);
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
      const std::string id = req.get_param_value("id");
      const Item* it = catalogue().find(id);
      if (!it || it->kind == ItemKind::Removed) return SendGbkBytes(res, RemovedPage(*this, id));
      const Seller& seller = catalogue().sellerOf(*it);
      switch (it->kind) {
        case ItemKind::Unsupported: return SendGbkBytes(res, UnsupportedPage(*this, *it));
        case ItemKind::Alt:
          if (!altHost) return SendGbk(res, AltStubPageText(*this, *it));
          return SendGbkBytes(res, TaobaoPage(*this, *it, seller));
        case ItemKind::Tmall: return SendGbkBytes(res, TmallPage(*this, *it, seller));
        default: return SendGbkBytes(res, TaobaoPage(*this, *it, seller));
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
    SendGbk(res, SibAnswerText(*this, *it), "text/javascript");
  }));
  server.Get("/mdskip/core/initItemDetail.htm", wrap([this](const httplib::Request& req, httplib::Response& res) {
    if (!hasMarketLogin(req)) return SendGbk(res, LoginPageText(*this, ""));
    const Item* it = catalogue().find(req.get_param_value("itemId"));
    if (!it) return SendGbk(res, "setMdskip({\"isSuccess\":false})", "text/javascript");
    SendGbk(res, MdskipAnswerText(*this, *it), "text/javascript");
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
