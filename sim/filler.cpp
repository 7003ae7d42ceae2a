#include "filler.h"

#include "util.h"

namespace kelvora::sim {

namespace {

// Word lists of the blocks. Text is UTF-8 here and GBK in the blocks.
const std::vector<std::string> kClassWords = {
    "tb",     "tm",     "skin",  "box",   "hd",     "bd",      "ft",    "item", "list",  "grid",   "col",
    "main",   "sub",    "nav",   "menu",  "shop",   "rec",     "pic",   "img",  "price", "sale",   "title",
    "desc",   "attr",   "meta",  "tab",   "panel",  "btn",     "icon",  "mod",  "wrap",  "inner",  "side",
    "layout", "banner", "slide", "promo", "coupon", "tag",     "more",  "link", "crumb", "search", "srch",
    "rate",   "count",  "fav",   "share", "qr",     "gallery", "thumb", "zoom"};
const std::vector<std::string> kCssProps = {"margin:0 auto",
                                            "padding:0",
                                            "padding:4px 8px",
                                            "margin-top:10px",
                                            "float:left",
                                            "float:right",
                                            "display:block",
                                            "display:inline-block",
                                            "display:none",
                                            "overflow:hidden",
                                            "position:relative",
                                            "position:absolute",
                                            "top:0",
                                            "left:0",
                                            "right:10px",
                                            "width:190px",
                                            "width:750px",
                                            "width:100%",
                                            "height:30px",
                                            "height:auto",
                                            "line-height:30px",
                                            "line-height:1.5",
                                            "text-align:center",
                                            "font-size:12px",
                                            "font-size:14px",
                                            "font-weight:700",
                                            "font-family:tahoma,arial,\"宋体\",sans-serif",
                                            "font-family:\"微软雅黑\",\"Microsoft YaHei\"",
                                            "color:#3c3c3c",
                                            "color:#f40",
                                            "color:#6c6c6c",
                                            "color:#ff0036",
                                            "background:#fff",
                                            "background:#f5f5f5",
                                            "border:1px solid #e8e8e8",
                                            "border-bottom:1px dotted #ddd",
                                            "border-radius:3px",
                                            "cursor:pointer",
                                            "zoom:1",
                                            "white-space:nowrap",
                                            "text-overflow:ellipsis",
                                            "vertical-align:middle",
                                            "z-index:100",
                                            "opacity:.8",
                                            "filter:alpha(opacity=80)"};
const std::vector<std::string> kJsWords = {
    "config", "render", "init",  "bind",     "fire",   "data", "node",  "list",    "each",   "mix",    "merge", "query",
    "attr",   "css",    "show",  "hide",     "toggle", "load", "ready", "handler", "widget", "module", "cache", "timer",
    "delay",  "offset", "count", "price",    "shop",   "rate", "tab",   "panel",   "popup",  "tip",    "log",   "track",
    "spm",    "ajax",   "jsonp", "callback", "param",  "url",  "host",  "path",    "view",   "lazy",   "img"};
const std::vector<std::string> kProductWords = {
    "新款",   "韩版",   "修身",   "显瘦",   "百搭",   "简约",   "复古",   "潮流", "休闲", "时尚",
    "加厚",   "纯棉",   "真皮",   "正品",   "包邮",   "清仓",   "大码",   "宽松", "气质", "原创",
    "日系",   "欧美",   "高端",   "轻薄",   "防水",   "便携",   "连衣裙", "T恤",  "外套", "卫衣",
    "牛仔裤", "运动鞋", "双肩包", "手机壳", "保温杯", "收纳盒", "四件套", "毛巾", "面膜", "口红",
    "坚果",   "茶叶",   "蜂蜜",   "衬衫",   "风衣",   "羽绒服", "帆布鞋", "凉鞋", "雨伞", "台灯"};
const std::vector<std::string> kShopTexts = {
    "本店推荐",     "新品上架", "热卖排行", "掌柜推荐", "店铺优惠券", "全店包邮",     "收藏店铺",      "宝贝分类",
    "查看所有宝贝", "按销量",   "按新品",   "按价格",   "按收藏",     "满99元减10元", "满199元减30元", "限时折扣",
    "会员专享",     "买二送一", "今日特价", "镇店之宝", "猜你喜欢",   "看了又看",     "同类推荐",      "搭配套餐"};
const std::vector<std::string> kSentences = {
    "本店所有商品均为实物拍摄，因显示器不同可能存在轻微色差，请以实物为准。",
    "亲，下单前请咨询客服库存情况，我们会在48小时内安排发货，节假日顺延。",
    "七天无理由退换货，非质量问题退换货来回邮费由买家承担，质量问题由本店承担。",
    "收到宝贝后如有任何问题请先联系客服，我们一定会给您满意的答复。",
    "默认发中通快递，偏远地区请联系客服补拍运费差价。",
    "关于尺码：平铺测量，因测量方法不同可能存在1到3厘米的误差，属正常范围。",
    "本店支持信用卡和花呗付款，欢迎选购。",
    "工作时间：周一至周日 9:00-23:00，夜间留言次日处理。",
    "新店开张，全场满就送，收藏店铺优先发货。",
    "所有商品均由厂家直接供货，质量有保证，价格更实惠。",
    "洗涤说明：建议手洗，水温不超过30度，不可漂白，反面晾晒。",
    "温馨提示：签收前请当着快递员的面检查包裹，如有破损请拒签。"};
const std::vector<std::string> kPrompts = {"加入购物车成功",       "库存不足",       "请选择您要的商品信息",
                                           "网络繁忙，请稍后再试", "收藏成功",       "您已经收藏过该宝贝",
                                           "正在加载中",           "请登录后再操作", "该宝贝已下单",
                                           "数量超出范围",         "已领取",         "领取失败"};

std::string ClassName(Rng& rng) {
  std::string n = rng.pick(kClassWords);
  for (int k = static_cast<int>(rng.below(3)); k >= 0; --k) n += "-" + rng.pick(kClassWords);
  return n;
}

std::string Ident(Rng& rng) {
  std::string n = rng.pick(kJsWords);
  std::string next = rng.pick(kJsWords);
  next[0] = static_cast<char>(next[0] - 'a' + 'A');
  return n + next;
}

std::string TbFile(Rng& rng) { return "TB" + std::to_string(rng.below(3) + 1) + Hex(rng.next(), 12) + "XX"; }

std::string Picture(Rng& rng, const std::string& assets) {
  return assets + "/img/imgextra/i" + std::to_string(rng.below(4) + 1) + "/" + TbFile(rng) + "_!!0-item_pic.jpg";
}

std::string ProductTitle(Rng& rng) {
  std::string t;
  for (int k = 0; k < 5 + static_cast<int>(rng.below(5)); ++k) t += rng.pick(kProductWords);
  return t;
}

std::string Price(Rng& rng) { return std::to_string(9 + rng.below(490)) + "." + std::to_string(rng.below(10)) + "0"; }

std::string MakeStyle(Rng& rng, const std::string& assets) {
  std::string t = "<style>\n";
  const size_t size = 6000 + rng.below(9000);
  while (t.size() < size) {
    t += "." + ClassName(rng);
    if (rng.chance(0.4)) t += " ." + ClassName(rng);
    if (rng.chance(0.2)) t += ",." + ClassName(rng) + ":hover";
    t += "{";
    for (int k = 0; k < 2 + static_cast<int>(rng.below(5)); ++k) t += (k ? ";" : "") + rng.pick(kCssProps);
    if (rng.chance(0.15))
      t += ";background:url(" + assets + "/static/tps/i" + std::to_string(rng.below(4) + 1) + "/" + TbFile(rng) +
           ".png) no-repeat 0 -" + std::to_string(rng.below(400)) + "px";
    t += "}\n";
  }
  return t + "</style>\n";
}

std::string MakeScript(Rng& rng, const std::string& assets) {
  std::string t = "<script>\n";
  const size_t size = 4000 + rng.below(12000);
  const std::string mod = rng.pick(kClassWords) + "/" + rng.pick(kClassWords) + "/" + std::to_string(rng.below(5)) +
                          "." + std::to_string(rng.below(20)) + "." + std::to_string(rng.below(10));
  t += "KISSY.add(\"" + mod + "/index\",function(S,DOM,Event,IO){var ";
  bool first = true;
  while (t.size() < size) {
    switch (rng.below(6)) {
      case 0:
        t += (first ? "" : ",") + Ident(rng) + "=function(" + Ident(rng) + "){return " + Ident(rng) + "&&" +
             Ident(rng) + "." + Ident(rng) + "(\"" + ClassName(rng) + "\")}";
        break;
      case 1:
        t += (first ? "" : ",") + Ident(rng) + "={" + Ident(rng) + ":\"" + rng.pick(kPrompts) + "\"," + Ident(rng) +
             ":" + std::to_string(rng.below(10000)) + "," + Ident(rng) + ":!" + std::to_string(rng.below(2)) + "}";
        break;
      case 2:
        t += (first ? "" : ",") + Ident(rng) + "=\"" + assets + "/static/" + mod + "/" + rng.pick(kJsWords) +
             "-min.js?t=" + std::to_string(20140523 + rng.below(40000)) + "\"";
        break;
      case 3:
        t += (first ? "" : ",") + Ident(rng) + "=S.each(DOM.query(\"." + ClassName(rng) +
             "\"),function(n,i){DOM.attr(n,\"data-index\",i);Event.on(n,\"click\",function(e){e.halt();S." +
             Ident(rng) + "(n)})})";
        break;
      case 4:
        t += (first ? "" : ",") + Ident(rng) + "=IO({url:" + Ident(rng) + ",dataType:\"jsonp\",jsonpCallback:\"jsonp" +
             std::to_string(rng.below(2000)) + "\",success:function(r){r&&r." + Ident(rng) + "&&S." + Ident(rng) +
             "(r)},error:function(){S.log(\"" + rng.pick(kPrompts) + "\")}})";
        break;
      default:
        t += (first ? "" : ",") + Ident(rng) + "=[" + std::to_string(rng.below(100)) + "," +
             std::to_string(rng.below(1000)) + "," + std::to_string(rng.below(10000)) + "]";
    }
    first = false;
  }
  t += ";return{init:function(){}}},{requires:[\"dom\",\"event\",\"ajax\"]});\n</script>\n";
  return t;
}

std::string MakeDecoration(Rng& rng, const std::string& assets) {
  std::string t = "<div class=\"J_TModule\" data-widgetid=\"" + std::to_string(1000000000 + rng.below(900000000)) +
                  "\" id=\"shop" + std::to_string(1000000000 + rng.below(900000000)) + "\" data-componentid=\"" +
                  std::to_string(5000 + rng.below(400)) + "\">\n";
  t +=
      "<div class=\"skin-box tb-module tshop-pbsm tshop-pbsm-shop-item-recommend\">\n<s class=\"skin-box-tp\"><b></b></s>\n";
  t += "<div class=\"skin-box-hd\"><h3><span>" + rng.pick(kShopTexts) + "</span></h3><a class=\"more\" href=\"" +
       assets + "/shop/search.htm?orderType=hotsell_desc\">" + rng.pick(kShopTexts) + "</a></div>\n";
  t += "<div class=\"skin-box-bd clear-fix\">\n";
  if (rng.chance(0.3)) {
    t += "<div class=\"custom-area\" style=\"width:950px;height:" + std::to_string(200 + rng.below(400)) +
         "px;position:relative;\">\n";
    for (int k = 0; k < 4 + static_cast<int>(rng.below(8)); ++k)
      t += "<a href=\"" + assets + "/shop/view_shop.htm?spm=a1z10.1-c." + Hex(rng.next(), 6) +
           "\" style=\"position:absolute;left:" + std::to_string(rng.below(900)) +
           "px;top:" + std::to_string(rng.below(500)) + "px;width:" + std::to_string(100 + rng.below(300)) +
           "px;height:120px;\" title=\"" + rng.pick(kShopTexts) + "\"><img src=\"" + Picture(rng, assets) +
           "\" alt=\"" + ProductTitle(rng) + "\"></a>\n";
    t += "<p class=\"notice\">" + rng.pick(kSentences) + rng.pick(kSentences) + "</p>\n</div>\n";
  }
  t += "<div class=\"item4line1\">\n";
  const size_t size = 3000 + rng.below(9000);
  while (t.size() < size) {
    t += "<dl class=\"item\" data-id=\"" + std::to_string(500000000000ull + rng.below(99999999999ull)) + "\">\n";
    t += "<dt class=\"photo\"><a href=\"" + assets + "/shop/view_shop.htm?search=y&amp;spm=a1z10." +
         std::to_string(rng.below(9)) + "-c." + Hex(rng.next(), 6) + "\" target=\"_blank\"><img alt=\"" +
         ProductTitle(rng) + "\" data-ks-lazyload=\"" + Picture(rng, assets) + "_240x240.jpg\" src=\"" + assets +
         "/static/s.gif\"></a></dt>\n";
    t += "<dd class=\"detail\"><a class=\"item-name\" href=\"" + assets + "/shop/view_shop.htm\" target=\"_blank\">" +
         ProductTitle(rng) +
         "</a>\n<div class=\"attribute\"><div class=\"cprice-area\"><span class=\"symbol\">&yen;</span>"
         "<span class=\"c-price\">" +
         Price(rng) + " </span></div>\n<div class=\"sale-area\">已售：<span class=\"sale-num\">" +
         std::to_string(rng.below(5000)) + "</span>件</div></div></dd>\n";
    t += "<dd class=\"rates\"><div class=\"title\"><h4>评价: <a href=\"" + assets +
         "/rate/list.htm\" target=\"_blank\"><span>" + std::to_string(rng.below(900)) +
         "</span></a></h4></div></dd>\n</dl>\n";
    if (rng.chance(0.15)) t += "<p class=\"rec-tip\">" + rng.pick(kSentences) + "</p>\n";
  }
  t += "</div>\n</div>\n<s class=\"skin-box-bt\"><b></b></s>\n</div>\n</div>\n";
  return t;
}

std::string MakeFooter(Rng& rng, const std::string& assets) {
  static const char* group[] = {
      "阿里巴巴集团", "淘宝网",   "天猫",     "聚划算",     "全球速卖通", "阿里巴巴国际交易市场",
      "1688",         "阿里妈妈", "阿里旅行", "阿里云计算", "YunOS",      "万网",
      "高德",         "UC",       "友盟",     "虾米",       "优酷",       "钉钉",
      "支付宝"};
  static const char* links[] = {"关于淘宝", "合作伙伴",    "营销中心", "廉正举报", "联系客服",
                                "开放平台", "诚征英才",    "联系我们", "网站地图", "法律声明及隐私权政策",
                                "知识产权", "规则意见征集"};
  std::string t = "<div id=\"footer\" class=\"footer\">\n<div class=\"footer-hd\"><p>\n";
  for (const char* g : group) t += "<a href=\"" + assets + "/www/\" target=\"_blank\">" + g + "</a><b>|</b>\n";
  t += "</p></div>\n<div class=\"footer-bd\"><p>\n";
  for (const char* l : links) t += "<a href=\"" + assets + "/www/about.htm\" target=\"_blank\">" + l + "</a>\n";
  t +=
      "<span>&copy; 2003-2017 Taobao.com 版权所有</span></p>\n<p><span>网络文化经营许可证：文网文[2010]040号</span>"
      "<span>增值电信业务经营许可证：浙B2-20080224-1</span><span>信息网络传播视听节目许可证：1109364号</span></p>\n</div>\n</div>\n";
  t += MakeScript(rng, assets);
  t +=
      "<script>\nwindow.g_config&&(g_config.loadedTime=+new Date);(function(d){var s=d.createElement(\"script\");s.src=\"" +
      assets +
      "/static/alilog/s/7.4.4/aplus_std.js\";s.async=true;d.getElementsByTagName(\"head\")[0].appendChild(s)})(document);\n"
      "</script>\n</body>\n</html>\n";
  return t;
}

std::string MakeSiteNav(const std::string& assets) {
  static const char* left[] = {"淘宝网首页", "我的淘宝", "购物车",   "收藏夹",
                               "商品分类",   "卖家中心", "联系客服", "网站导航"};
  std::string t =
      "<div id=\"J_SiteNav\" class=\"site-nav\" data-spm=\"a2013.1\">\n<div id=\"J_SiteNavBd\" class=\"site-nav-bd\">\n"
      "<ul id=\"J_SiteNavBdL\" class=\"site-nav-bd-l\">\n<li class=\"site-nav-menu site-nav-login\" id=\"J_SiteNavLogin\">"
      "<div class=\"site-nav-menu-hd\"><div class=\"site-nav-sign\"><a href=\"" +
      assets + "/login/member/login.jhtml\" target=\"_top\" class=\"h\">亲，请登录</a><a href=\"" + assets +
      "/www/reg.htm\" target=\"_top\">免费注册</a></div></div></li>\n"
      "<li class=\"site-nav-menu site-nav-mobile\"><div class=\"site-nav-menu-hd\"><a href=\"" +
      assets +
      "/www/wap.htm\" target=\"_top\"><span>手机逛淘宝</span></a></div></li>\n</ul>\n"
      "<ul id=\"J_SiteNavBdR\" class=\"site-nav-bd-r\">\n";
  for (const char* l : left)
    t += "<li class=\"site-nav-menu\"><div class=\"site-nav-menu-hd\"><a href=\"" + assets +
         "/www/\" target=\"_top\"><span>" + l +
         "</span></a><span class=\"site-nav-arrow\"><span class=\"site-nav-icon\">&#xe605;</span></span></div></li>\n";
  t += "</ul>\n</div>\n</div>\n";
  t +=
      "<div id=\"J_TBar\" class=\"tb-bar\"><form name=\"search\" id=\"J_TSearchForm\" class=\"search-panel-focused\" action=\"" +
      assets +
      "/s/search\"><input id=\"q\" name=\"q\" aria-label=\"请输入搜索文字\" accesskey=\"s\" autocomplete=\"off\" "
      "x-webkit-grammar=\"builtin:translate\" class=\"search-combobox-input\"><button type=\"submit\" class=\"btn-search\">搜 索</button>"
      "<input type=\"hidden\" name=\"commend\" value=\"all\"><input type=\"hidden\" name=\"search_type\" value=\"item\"></form></div>\n";
  return t;
}

std::string MakeHeadLinks(const std::string& assets, bool tmall) {
  std::string t;
  for (const char* host : {"g", "gtms01", "gtms02", "gtms03", "gtms04", "gd1", "gd2", "gd3", "gd4"})
    t += std::string("<link rel=\"dns-prefetch\" href=\"") + assets + "/dns/" + host + "\">\n";
  t += "<meta name=\"renderer\" content=\"webkit\">\n<meta name=\"referrer\" content=\"always\">\n";
  if (tmall) {
    t += "<link rel=\"stylesheet\" href=\"" + assets +
         "/static/??tm/detail/1.9.12/page/index-min.css,tm/mui/1.0.0/global-min.css\" />\n";
    t += "<script src=\"" + assets + "/static/??kissy/k/1.4.8/seed-min.js,tm/detail/1.9.12/config-min.js\"></script>\n";
  }
  return t;
}

}  // namespace

PageFiller::PageFiller(uint64_t seed, const std::string& assets) {
  Rng rng(Mix64(seed ^ 0x46494C4C4552ull));
  taobaoHeadLinks_ = ToGbk(MakeHeadLinks(assets, false));
  tmallHeadLinks_ = ToGbk(MakeHeadLinks(assets, true));
  siteNav_ = ToGbk(MakeSiteNav(assets));
  for (int i = 0; i < 8; ++i) styles_.push_back(ToGbk(MakeStyle(rng, assets)));
  for (int i = 0; i < 24; ++i) decorations_.push_back(ToGbk(MakeDecoration(rng, assets)));
  for (int i = 0; i < 24; ++i) scripts_.push_back(ToGbk(MakeScript(rng, assets)));
  for (int i = 0; i < 4; ++i) footers_.push_back(ToGbk(MakeFooter(rng, assets)));
}

void PageFiller::appendBody(std::string& page, uint64_t hash, size_t size) const {
  page.reserve(size + 32 * 1024);
  // Decoration and script modules take turns, as on a shop's page; the walk
  // through the blocks depends on the item alone.
  uint64_t h = hash;
  for (int turn = 0; page.size() < size; ++turn) {
    h = Mix64(h);
    page += turn % 3 == 2 ? Pick(scripts_, h) : Pick(decorations_, h);
  }
}

void PageFiller::appendScripts(std::string& page, uint64_t hash, int count) const {
  uint64_t h = hash;
  for (int i = 0; i < count; ++i) {
    h = Mix64(h);
    page += Pick(scripts_, h);
  }
}

size_t PageFiller::PageSize(uint64_t hash) { return 100 * 1024 + static_cast<size_t>(Mix64(hash) % (170 * 1024)); }

}  // namespace kelvora::sim
