// Item pages: the Taobao and Tmall pages, the missing-item, auction and
// alternate-host pages, and the routes of the pages and of their secondary
// answers (item_answers.cpp).
#include <algorithm>
#include <string>

#include "app.h"
#include "filler.h"
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

std::string Description(const Item& it, const Seller& seller) {
  return DescriptionHead(it, seller) + DescriptionBody();
}

// The same text in GBK; the part that is the same on every page is converted once.
std::string DescriptionGbk(const Item& it, const Seller& seller) {
  static const std::string body = ToGbk(DescriptionBody());
  return ToGbk(DescriptionHead(it, seller)) + body;
}

}  // namespace

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
         Esc(it.title) + "，请进入" + Esc(seller.nick) + "的" + Esc(seller.shopName) +
         "实力旺铺，更多商品任你选购\">\n";
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
    t += "<link rel=\"stylesheet\" href=\"" + p +
         "/static/??tb/global/3.5.35/global-min.css,item-detail/7.18.1/index-min.css\">";
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
  if (filler) t += "        areaPrice        : false,\n        \n";
  t += "        lazyload         : '#J_DivItemDesc',\n";
  if (filler)
    t +=
        "        \n        tadComponetCdn   : true,\n        delayInsurance   : false,\n        fuwubao          : false,\n"
        "        \n        cdn              : true,\n        sibFirst         : true,\n        \n"
        "        webp             : true,\n        descWebP         : false,\n        \n"
        "        newDomain        : true,\n";
  t += "        asyncStock       : true,\n";
  if (filler)
    t +=
        "        enable           : true,\n        \n        m_ratio          : 20,\n        \n        beacon           : {},\n";
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
    t +=
        "                holdQuantity     : '',\n                \n                quickAdd         : 1,\n                \n"
        "                edit             : true, \n                \n                bnow             : true,\n"
        "                dbst             : " +
        std::to_string((it.listedAt - 86400 * (h % 700)) * 1000) +
        ",\n"
        "                auctionImages    : [";
    for (int k = 0; k < 5; ++k)
      t += std::string(k ? "," : "") + "\"" + p + "/img/imgextra/i" + std::to_string(k % 4 + 1) + "/" + sellerId +
           "/TB2" + Hex(Mix64(h + k), 12) + "XX_!!" + sellerId + ".jpg\"";
    t +=
        "]\n            },\n            seller: {\n                id          : '" + sellerId +
        "',\n                mode        : 0,\n                shopAge     : '" + std::to_string(1 + h % 9) +
        "'\n                ,status      : 0\n                ,goldSeller  : " + (h & 1 ? "true" : "false") +
        "\n            },\n            shop  : {\n                id  : '" + shopId + "',\n                url : '" +
        p + "/shop/view_shop.htm?user_number_id=" + sellerId +
        "'\n                ,sid: 4\n                ,xshop: true\n"
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
         "<input type=\"hidden\" name=\"tb_token\" value=\"" +
         Hex(h, 13) + "\" id=\"J_frmTokenField\">\n";
  t += "<input type=\"hidden\" name=\"item_id\" value=\"" + it.id + "\">\n";
  if (filler) t += "<input type=\"hidden\" name=\"item_id_num\" value=\"" + it.id + "\">\n";
  t += "<input type=\"hidden\" name=\"auction_type\" value=\"b\">\n";
  t += "<input type=\"hidden\" name=\"from\" value=\"item_detail\">\n";
  t += "<input type=\"hidden\" name=\"frm\" value=\"\">\n";
  if (filler)
    t += "<input type=\"hidden\" name=\"current_price\" value=\"" + it.price.substr(0, it.price.find('-')) +
         "\">\n"
         "<input type=\"hidden\" name=\"quantity\" value=\"1\" id=\"quantity\">\n"
         "<input type=\"hidden\" name=\"skuId\" value=\"\" id=\"skuId\">\n";
  t += "</form>\n</div>\n";
  t += "<div class=\"tb-shop-info\"><a class=\"tb-shop-name\" href=\"" + p +
       "/shop/view_shop.htm?user_number_id=" + sellerId + "\">" + Esc(seller.shopName) + "</a>" +
       "<span class=\"tb-seller-name\">掌柜：" + Esc(seller.nick) + "</span></div>\n";
  if (!filler) {
    t += "<div id=\"J_DivItemDesc\">\n" + Description(it, seller) + "</div>\n</div>\n</body>\n</html>\n";
    return ToGbk(t);
  }
  out += ToGbk(t);
  const std::string desc =
      ToGbk("<div id=\"J_DivItemDesc\">\n") + DescriptionGbk(it, seller) + ToGbk("</div>\n</div>\n");
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
    t +=
        "<div class=\"tm-fcs-panel\"><dl class=\"tm-price-panel\"><dt class=\"tb-metatit\">价格</dt><dd><em class=\"tm-yen\">&yen;</em>"
        "<span class=\"tm-price\">" +
        it.price +
        "</span></dd></dl><dl class=\"tm-delivery-panel\"><dt class=\"tb-metatit\">运费</dt>"
        "<dd>" +
        Esc(it.location) +
        " 至 <span class=\"mui_addr_tri_1\">北京</span> 快递: 0.00</dd></dl>"
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
  t += "{\"api\":{\"descUrl\":\"" + p + "/desc/" + it.id + ".desc\",\"fetchDcUrl\":\"" + p +
       "/hdc/asyn.htm?userId=" + sellerId + "\"},";
  t += "\"apiAddCart\":\"" + p + "/cart/add_cart_item.htm?item_id=" + it.id + "\",";
  if (filler) t += "\"apiBeans\":\"" + p + "/count/counter3?keys=SM_368_dsr-" + sellerId + ",ICCP_1_" + it.id + "\",";
  t += "\"apiBidCount\":\"" + p + "/tbskip/json/show_bid_count.htm?itemNumId=" + it.id +
       "&old_quantity=" + std::to_string(it.sales + 17) + "\",";
  if (filler)
    t += "\"apiItemViews\":\"" + p + "/count/counter2?keys=ICVT_7_" + it.id + "&inc=ICVT_7_" + it.id +
         "&sign=" + Hex(Mix64(h + 3), 16) + "\",";
  t += "\"cartEnable\":true,";
  if (filler)
    t += "\"changeLocationApi\":\"" + p +
         "/mdskip/core/changeLocation.htm?tgTag=true&cartEnable=true&service3C=false"
         "&isSecKill=false&isUseInventoryCenter=false&household=false&addressLevel=2\",";
  t += "\"cmCatId\":\"" + std::to_string(it.sub) + "\",";
  if (filler)
    t += "\"detail\":{\"allowRate\":true,\"autoccUser\":false,\"cdn75\":false,\"defaultItemPrice\":\"" + it.price +
         "\",\"goNewAuctionFlow\":false,\"isAllowReport\":true,\"isHkItem\":false,\"isMeilihui\":false,"
         "\"isSuperMarket\":false,\"loginBeforeCart\":false,\"showDiscountRecommend\":false,\"timeKillAuction\":false},"
         "\"getProgressiveInfoApi\":\"" +
         p + "/mdskip/core/getProgressiveInfo.htm\",";
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
       std::to_string(it.top) + "\",\"sellerNickName\":\"" + PercentEncodeAll(seller.nick) +
       "\",\"title\":" + JsonQuote(it.title) + ",\"userId\":\"" + sellerId + "\"},";
  if (filler) {
    t += "\"propertyPics\":{\"default\":[";
    for (int k = 0; k < 5; ++k)
      t += std::string(k ? "," : "") + "\"" + p + "/img/bao/uploaded/i" + std::to_string(k % 4 + 1) + "/" + sellerId +
           "/TB2" + Hex(Mix64(h + 10 + k), 12) + "XX_!!" + sellerId + ".jpg\"";
    t += "]},\"rateConfig\":{\"itemId\":" + it.id +
         ",\"rateScoreCacheDisable\":false,\"rateScoreUseTair\":true,"
         "\"sellerId\":" +
         sellerId + ",\"spuId\":\"" + std::to_string(Mix64(h) % 900000000 + 100000000) +
         "\"},"
         "\"serviceIconList\":[{\"title\":\"正品保证\",\"link\":\"" +
         p +
         "/www/service.htm\"},{\"title\":\"极速退款\","
         "\"link\":\"" +
         p + "/www/service.htm\"},{\"title\":\"赠运费险\",\"link\":\"" + p +
         "/www/service.htm\"},"
         "{\"title\":\"七天无理由退换\",\"link\":\"" +
         p + "/www/service.htm\"}],\"tradeConfig\":{\"1\":\"" + p + "/buy/order/confirm_order.htm\",\"2\":\"" + p +
         "/buy/order/confirm_order.htm\"},";
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
  filler->appendBody(out, Mix64(h + 1),
                     size > descGbk.size() + footer.size() ? size - descGbk.size() - footer.size() : 0);
  out += descGbk;
  out += footer;
  return out;
}

// The marketplace's "no such item" page, GBK; with the site's frame around it
// when pages have their real size.
std::string RemovedPage(const App& app, const std::string& id) {
  const PageFiller* filler = app.filler();
  std::string head = "<!DOCTYPE html>\n<html><head><meta charset=\"gbk\"><title>淘宝网 - 淘！我喜欢</title>";
  std::string t =
      "<div class=\"error-notice\">\n<div class=\"error-notice-hd\">\n"
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
                     "<a class=\"reg-guide\" href=\"" +
                     app.base() + "/bang/register/guide.htm\" target=\"_blank\">报名须知</a>\n</div>\n";
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
         "if('" +
         ny + "'){ location.replace('" + ny +
         "' + location.search); }\n</script>\n</head>\n"
         "<body><p>正在跳转，请稍候……</p><a href=\"" +
         ny + "?id=" + it.id + "\">如果没有跳转请点这里</a></body></html>\n";
}

void App::routeItems(Server& server) {
  // Item pages: the two usual hosts and the alternate host.
  auto itemPage = [this](bool altHost) {
    return wrap([this, altHost](const httplib::Request& req, httplib::Response& res) {
      if (!hasMarketLogin(req)) return SendGbk(res, LoginPageText(*this, ""));
      const std::string id = req.get_param_value("id");
      const Item* it = catalogue().find(id);
      if (!it || it->kind == ItemKind::Removed) return SendGbkBytes(res, RemovedPage(*this, id));
      const Seller& seller = catalogue().sellerOf(*it);
      switch (it->kind) {
        case ItemKind::Unsupported:
          return SendGbkBytes(res, UnsupportedPage(*this, *it));
        case ItemKind::Alt:
          if (!altHost) return SendGbk(res, AltStubPageText(*this, *it));
          return SendGbkBytes(res, TaobaoPage(*this, *it, seller));
        case ItemKind::Tmall:
          return SendGbkBytes(res, TmallPage(*this, *it, seller));
        default:
          return SendGbkBytes(res, TaobaoPage(*this, *it, seller));
      }
    });
  };
  server.Get("/item/item.htm", itemPage(false));
  server.Get("/detail/item.htm", itemPage(false));
  server.Get("/ny/item.htm", itemPage(true));

  server.Get("/detailskip/json/sib.htm", wrap([this](const httplib::Request& req, httplib::Response& res) {
               if (!hasMarketLogin(req)) return SendGbk(res, LoginPageText(*this, ""));
               const Item* it = catalogue().find(req.get_param_value("itemId"));
               if (!it)
                 return SendGbk(res, "onSibRequestSuccess({\"code\":{\"code\":1,\"message\":\"ITEM_NOT_FOUND\"}});\n",
                                "text/javascript");
               SendGbk(res, SibAnswerText(*this, *it), "text/javascript");
             }));
  server.Get("/mdskip/core/initItemDetail.htm", wrap([this](const httplib::Request& req, httplib::Response& res) {
               if (!hasMarketLogin(req)) return SendGbk(res, LoginPageText(*this, ""));
               const Item* it = catalogue().find(req.get_param_value("itemId"));
               if (!it) return SendGbk(res, "setMdskip({\"isSuccess\":false})", "text/javascript");
               SendGbk(res, MdskipAnswerText(*this, *it), "text/javascript");
             }));
}

}  // namespace kelvora::sim
