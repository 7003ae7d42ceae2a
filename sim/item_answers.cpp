// The secondary answers of item pages: sib for Taobao items (JSON or script)
// and mdskip for Tmall items, at the marketplace's size or small.
#include <algorithm>
#include <string>
#include <vector>

#include "app.h"
#include "util.h"

namespace kelvora::sim {

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
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
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
  shares.reserve(static_cast<size_t>(std::max(kinds, 0)));
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
  t +=
      R"J("viewer":{"admin":false,"bs":")J" + std::to_string(100 + h % 90) +
      R"J(","buyDomain":"buy.taobao.com","buyerId":"","cartDomain":"cart.taobao.com","cc":false,"countryCode":"CN","ctUser":false,"lgin":true,"serviceTab":"ITEM","tkn":")J" +
      Hex(Mix64(it.sales), 13) + "\"},";
  t +=
      R"J("deliveryFee":{"data":{"areaId":110100,"areaName":"\u5317\u4EAC","sendCity":")J" + city +
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
    t += (k ? ",\"" : "\"") + SkuKey(h, k) + R"J(":[{"amountRestriction":"","basePriceType":"IcPrice","endTime":)J" +
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
    t += "g_config.vdata.soldQuantity={\"quanity\":" + std::to_string(it.sales) +
         ",\"confirmGoodsCount\":" + std::to_string(it.sales * 4 / 5) + "};\n";
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
  t += "\"dynStock\":{\"holdQuantity\":0,\"sellableQuantity\":" + std::to_string(it.stock) +
       ",\"stock\":" + std::to_string(it.stock) + ",\"stockType\":\"normal\"},";
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
  skus.reserve(static_cast<size_t>(kinds));
  for (int k = 0; k < kinds; ++k)  // distinct SKU ids of the item's kinds
    skus.push_back(std::to_string(3220516048299ULL + Mix64(h) % 100000 * 10 + static_cast<uint64_t>(k)));
  const std::string delivery =
      R"J([{"arrivalNextDay":false,"arrivalThisDay":false,"forceMocked":false,"money":"0.00","name":"运费","postageFree":true,"signText":"24:00前付款，预计3天内送达","skuDeliveryAddress":)J" +
      JsonQuote(it.location) + R"J(,"type":1}])J";
  std::string t = R"J(setMdskip({"defaultModel":{"bannerDO":{"success":true},)J";
  t += R"J("deliveryDO":{"areaId":110101,"deliveryAddress":)J" + JsonQuote(it.location) +
       R"J(,"deliverySkuMap":{"default":)J" + delivery;
  for (const std::string& sku : skus) t += ",\"" + sku + "\":" + delivery;
  t += R"J(},"destination":"北京市","expressServiceMap":{)J";
  for (int k = 0; k < kinds; ++k) t += (k ? ",\"" : "\"") + skus[k] + R"J(":["911"])J";
  t += R"J(},"success":true,"tips":{"text":"24:00前付款，预计3天内送达"}},)J";
  t +=
      R"J("detailPageTipsDO":{"crowdType":0,"hasCoupon":)J" + std::string(h & 2 ? "true" : "false") +
      R"J(,"hideIcons":false,"jhs99":false,"minicartSurprise":0,"onlyShowOnePrice":false,"priceDisplayType":4,"primaryPicIcons":[],"prime":false,"showCuntaoIcon":false,"showDou11Style":false,"showDou11SugPromPrice":false,"showDou12CornerIcon":false,"showDuo11Stage":0,"showJuIcon":false,"showMaskedDou11SugPrice":false,"success":true,"trueDuo11Prom":false},)J";
  t +=
      R"J("doubleEleven2014":{"doubleElevenItem":false,"halfOffItem":false,"showAtmosphere":false,"showRightRecommendedArea":false,"step":0,"success":true},"extendedData":{},"extras":{},)J";
  t +=
      R"J("gatewayDO":{"changeLocationGateway":{"queryDelivery":true,"i_channel":"1110006525315001","queryProm":true},"success":true,"trade":{"addToBuyNow":{},"addToCart":{}}},)J";
  t += R"J("inventoryDO":{"hidden":false,"icTotalQuantity":)J" + std::to_string(it.stock) + R"J(,"skuQuantity":{)J";
  const std::vector<int> shares = KindShares(it.stock, kinds);
  for (int k = 0; k < kinds; ++k)
    t += (k ? ",\"" : "\"") + skus[k] + R"J(":{"quantity":)J" + std::to_string(shares[k]) +
         ",\"totalQuantity\":" + std::to_string(shares[k]) + ",\"type\":1}";
  t += R"J(},"success":true,"totalQuantity":)J" + std::to_string(it.stock) + R"J(,"type":1},)J";
  t +=
      R"J("itemPriceResultDO":{"areaId":110100,"duo11Item":false,"duo11Stage":0,"extraPromShowRealPrice":false,"halfOffItem":false,"hasDPromotion":false,"hasMobileProm":false,"hasTmallappProm":false,"hiddenNonBuyPrice":false,"hitOnePrice":false,"isUnitPrice":false,)J";
  t += R"J("priceInfo":{"def":{"areaSold":true,"onlyShowOnePrice":false,"price":")J" + it.price + "\",";
  if (it.promo == PromoForm::Plain)
    t +=
        R"J("promotionList":[{"amountPromLimit":0,"amountRestriction":"","basePriceType":"IcPrice","canBuyCouponNum":0,"endTime":1540223999000,"extraPromTextType":0,"extraPromType":0,"limitProm":false,"postageFree":false,"price":")J" +
        it.promoPrice +
        R"J(","promType":"normal","start":false,"status":2,"tfCartSupport":false,"tmallCartSupport":false,"type":"限时促销","unLogBrandMember":false,"unLogShopVip":false,"unLogTbvip":false}],)J";
  else if (it.promo == PromoForm::Braced)
    t += R"J("promotionList":[{"amountPromLimit":0,"price":{"amount":")J" + it.promoPrice +
         R"J(","currency":"CNY"},"promType":"member","status":2,"type":"会员价"}],)J";
  t += R"J("sortOrder":0}},"queryProm":false,"success":true,"successCall":true,"tmallShopProm":[]},)J";
  t +=
      R"J("memberRightDO":{"activityType":0,"level":0,"postageFree":false,"shopMember":false,"success":true,"time":0,"value":0.0},)J";
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
  t +=
      R"J(]},"currentAreaEnable":true,"regionData":{"allAreaSold":false,"soldAreas":[110101,110102,110105,110106,110107,110108,110109,110111,110112,110113,110114,110115,110116,110117]},"success":true,"useNewRegionalSales":true},)J";
  t += R"J("tradeResult":{"cartEnable":true,"cartType":2,"miniTmallCartEnable":true,"startTime":)J" +
       std::to_string(it.listedAt * 1000) + R"J(,"success":true,"tradeEnable":true,"tradeType":2},)J";
  t +=
      R"J("userInfoDO":{"activeStatus":0,"companyPurchaseUser":false,"loginMember":false,"loginUserType":"buyer","success":true,"userId":0}},"isSuccess":true}))J";
  return t;
}

}  // namespace

std::string MdskipAnswerText(const App& app, const Item& it) {
  if (app.filler()) return FullMdskipAnswerText(app, it);
  std::string t = "setMdskip({\"defaultModel\":{\"bannerDO\":{\"success\":true},";
  t += "\"deliveryDO\":{\"areaId\":110101,\"deliveryAddress\":" + JsonQuote(it.location) +
       ",\"deliverySkuMap\":{\"default\":[{\"money\":\"0.00\",\"name\":\"运费\",\"postageFree\":true,"
       "\"skuDeliveryAddress\":" +
       JsonQuote(it.location) + ",\"type\":1}]},\"destination\":\"北京市\",\"success\":true},";
  t += "\"inventoryDO\":{\"hidden\":false,\"icTotalQuantity\":" + std::to_string(it.stock) +
       ",\"success\":true,\"totalQuantity\":" + std::to_string(it.stock) + ",\"type\":1},";
  t += "\"itemPriceResultDO\":{\"areaId\":110100,\"priceInfo\":{\"def\":{\"areaSold\":true,\"onlyShowOnePrice\":false,"
       "\"price\":\"" +
       it.price + "\",";
  if (it.promo == PromoForm::Plain)
    t += "\"promotionList\":[{\"amountPromLimit\":0,\"basePriceType\":\"IcPrice\",\"endTime\":1540223999000,"
         "\"limitProm\":false,\"postageFree\":false,\"price\":\"" +
         it.promoPrice + "\",\"promType\":\"normal\",\"status\":2,\"type\":\"限时促销\"}],";
  else if (it.promo == PromoForm::Braced)
    t += "\"promotionList\":[{\"amountPromLimit\":0,\"price\":{\"amount\":\"" + it.promoPrice +
         "\",\"currency\":\"CNY\"},\"promType\":\"member\",\"status\":2,\"type\":\"会员价\"}],";
  t += "\"sortOrder\":0}},\"queryProm\":false,\"success\":true},";
  t += "\"sellCountDO\":{\"sellCount\":\"" + std::to_string(it.sales) + "\",\"success\":true},";
  t += "\"tradeResult\":{\"cartEnable\":true,\"cartType\":2,\"success\":true,\"tradeEnable\":true}},"
       "\"isSuccess\":true})";
  return t;
}

}  // namespace kelvora::sim
