#include "catalogue.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "util.h"

namespace kelvora::sim {

const char* KindName(ItemKind kind) {
  switch (kind) {
    case ItemKind::Taobao:
      return "taobao";
    case ItemKind::Tmall:
      return "tmall";
    case ItemKind::Removed:
      return "removed";
    case ItemKind::Unsupported:
      return "unsupported";
    case ItemKind::Alt:
      return "alt";
  }
  return "taobao";
}

namespace {

std::vector<Category> MakeCategories() {
  return {
      {16,
       "女装/女士精品",
       true,
       {{50000671, "T恤", "上装"},
        {162104, "衬衫", "上装"},
        {50000697, "毛针织衫", "上装"},
        {50010850, "连衣裙", "裙装"},
        {1623, "半身裙", "裙装"},
        {162201, "休闲裤", "裤装"},
        {162205, "牛仔裤", "裤装"}}},
      {30,
       "男装",
       false,
       {{50000436, "T恤", ""},
        {50010402, "Polo衫", ""},
        {3035, "休闲裤", ""},
        {50010167, "牛仔裤", ""},
        {50011123, "衬衫", ""}}},
      {50006843,
       "女鞋",
       false,
       {{50012027, "单鞋", ""}, {50012028, "凉鞋", ""}, {50012825, "帆布鞋", ""}, {50012033, "靴子", ""}}},
      {50006842,
       "箱包皮具/热销女包/男包",
       true,
       {{50012010, "单肩包", "女包"},
        {50012019, "双肩包", "女包"},
        {50012018, "拉杆箱", "旅行"},
        {50072688, "旅行包", "旅行"}}},
      {50008090,
       "3C数码配件",
       false,
       {{50003312, "手机壳", ""}, {50008846, "移动电源", ""}, {50012475, "数据线", ""}, {50005050, "耳机", ""}}},
      {50008164, "住宅家具", false, {{50020808, "沙发", ""}, {50020611, "餐桌", ""}, {50020873, "书架", ""}}},
      {50010788,
       "彩妆/香水/美妆工具",
       true,
       {{50010792, "口红", "彩妆"},
        {50010794, "粉底液", "彩妆"},
        {50011977, "面膜", "护肤"},
        {50011980, "爽肤水", "护肤"}}},
      {50002766, "零食/坚果/特产", false, {{50008055, "坚果", ""}, {50010550, "牛肉干", ""}, {50016092, "饼干", ""}}},
      {35, "奶粉/辅食/营养品", false, {{50018813, "婴儿奶粉", ""}, {50012547, "米粉", ""}}},
      {50010728, "运动/瑜伽/健身", false, {{50019775, "瑜伽垫", ""}, {50017082, "跳绳", ""}, {50018963, "哑铃", ""}}},
  };
}

const std::vector<std::string> kPrefixes = {"2015夏季", "2016春装", "2017秋冬", "2018新品", "",         "",
                                            "【包邮】", "[正品]",   "特价",     "",         "2014冬季", ""};
const std::vector<std::string> kAdjectives = {"新款", "韩版", "修身", "显瘦", "百搭", "简约", "复古", "潮流", "休闲",
                                              "时尚", "加厚", "纯棉", "真皮", "正品", "包邮", "清仓", "大码", "宽松",
                                              "气质", "原创", "日系", "欧美", "高端", "轻薄", "防水", "便携", "实木",
                                              "北欧", "网红", "同款", "爆款", "经典", "学生", "情侣", "进口", "手工"};
const std::vector<std::string> kSuffixes = {"女",   "男",       "中长款", "两件套", "特价", "包邮",
                                            "送礼", "厂家直销", "",       "",       "套装", "现货"};
const std::vector<std::string> kNickHeads = {"小",   "阿",   "甜心", "米兰", "花花", "柠檬", "木子", "橘子",
                                             "蓝天", "阳光", "晴天", "夏天", "秋叶", "布丁", "糖果", "星星"};
const std::vector<std::string> kNickTails = {"小铺",   "的店", "家居馆", "工作室", "精品屋", "服饰", "衣橱",
                                             "杂货铺", "百货", "1988",   "2008",   "_shop",  "数码", "生活馆"};
const std::vector<std::string> kAsciiNicks = {"uz1114",   "xinyi1008", "amz_studio", "kitty_mm",
                                              "lily2010", "tb8848",    "mori_girl",  "dandan521"};
const std::vector<std::string> kBrands = {"韩都衣舍", "裂帛", "茵曼",       "骆驼",   "百雀羚", "三只松鼠", "良品铺子",
                                          "罗莱",     "森马", "美特斯邦威", "南极人", "安踏",   "飞利浦",   "欧莱雅"};
const std::vector<std::string> kShopTails = {"旗舰店", "官方旗舰店", "专卖店", "专营店"};
// Tmall shops whose pages write the nickname in traditional characters.
const std::vector<std::pair<std::string, std::string>> kTraditionalShops = {
    {"國貨東方旗艦店", "国货东方旗舰店"},
    {"華藝電器專賣店", "华艺电器专卖店"},
    {"樂風運動旗艦店", "乐风运动旗舰店"},
    {"東門飾品專賣店", "东门饰品专卖店"},
    {"書香門第家居專營店", "书香门第家居专营店"}};
const std::vector<std::string> kLocations = {"浙江杭州", "浙江金华", "广东广州", "广东深圳", "广东汕头", "江苏苏州",
                                             "上海",     "北京",     "福建泉州", "山东青岛", "湖北武汉", "四川成都"};

std::string Money(int cents) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%d.%02d", cents / 100, cents % 100);
  return buf;
}

int PriceCents(Rng& rng) {
  static const int endings[] = {0, 0, 0, 90, 80, 0, 50, 99};
  int yuan = 5 + static_cast<int>(rng.below(1000) * rng.below(1000) / 1000);  // skewed towards cheap
  return yuan * 100 + endings[rng.below(8)];
}

}  // namespace

Catalogue::Catalogue(uint64_t seed, int itemCount, int64_t now) : seed_(seed), now_(now) {
  categories_ = MakeCategories();
  Rng rng(Mix64(seed) ^ 0x5EEDull);
  if (itemCount < 1) itemCount = 1;
  const size_t n = static_cast<size_t>(itemCount);

  // Sellers: seller 0 is a Taobao shop with a fixed, larger share.
  size_t sellerCount = std::max<size_t>(4, n / 25);
  std::set<std::string> nicks;
  size_t traditional = 0;
  for (size_t s = 0; s < sellerCount; ++s) {
    Seller seller;
    seller.tmall = s != 0 && (s % 3 == 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string nick;
      std::string pageNick;
      if (s == 0) {
        nick = "蓝天小铺";
      } else if (seller.tmall) {
        if (s % 6 == 4 && traditional < kTraditionalShops.size()) {
          pageNick = kTraditionalShops[traditional].first;
          nick = kTraditionalShops[traditional].second;
        } else {
          nick = rng.pick(kBrands) + rng.pick(kShopTails);
        }
      } else if (rng.chance(0.2)) {
        nick = rng.pick(kAsciiNicks) + std::to_string(rng.below(100));
      } else {
        nick = rng.pick(kNickHeads) + rng.pick(kNickTails);
      }
      if (attempt > 10) nick += std::to_string(s);
      if (nicks.insert(nick).second) {
        if (!pageNick.empty()) ++traditional;
        seller.nick = nick;
        seller.pageNick = pageNick.empty() ? nick : pageNick;
        break;
      }
    }
    seller.sellerId = 100000000ull + rng.below(3000000000ull);
    seller.shopId = 10000000ull + rng.below(500000000ull);
    seller.shopName = seller.tmall ? seller.nick : seller.nick + "的小店";
    sellers_.push_back(std::move(seller));
  }

  size_t firstSellerShare = n >= 400 ? 200 : n / 4;
  std::set<std::string> ids;
  items_.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    Item it;
    it.seller = i < firstSellerShare * 2 && i % 2 == 0 ? 0 : 1 + rng.below(sellerCount - 1);
    if (i == 5 || i == 9) {  // the edge ids belong to ordinary Taobao shops
      it.seller = 2;
      while (it.seller < sellerCount && sellers_[it.seller].tmall) ++it.seller;
      if (it.seller >= sellerCount) it.seller = 0;
    }
    Seller& seller = sellers_[it.seller];

    // Item id: 11-12 digits; two items carry the edge lengths 4 and 16.
    do {
      if (i == 5)
        it.id = std::to_string(1000 + rng.below(9000));
      else if (i == 9)
        it.id = std::to_string(1000000000000000ull + rng.below(8000000000000000ull));
      else
        it.id = std::to_string(10000000000ull + rng.below(590000000000ull));
    } while (!ids.insert(it.id).second);

    // Kind.
    double k = rng.unit();
    // Items 5 and 9 (ids of the extreme lengths) are always plain Taobao items.
    if (i == 5 || i == 9)
      it.kind = ItemKind::Taobao;  // NOLINT(bugprone-branch-clone)
    else if (seller.tmall)
      it.kind = k < 0.06 ? ItemKind::Removed : ItemKind::Tmall;
    else if (k < 0.06)
      it.kind = ItemKind::Removed;
    else if (k < 0.11)
      it.kind = ItemKind::Unsupported;
    else if (k < 0.20)
      it.kind = ItemKind::Alt;
    else
      it.kind = ItemKind::Taobao;

    const Category& cat = categories_[rng.below(categories_.size())];
    const SubCategory& sub = cat.subs[rng.below(cat.subs.size())];
    it.top = cat.value;
    it.sub = sub.value;

    std::string title = rng.pick(kPrefixes);
    if (seller.tmall && rng.chance(0.5)) title += rng.pick(kBrands);
    title += rng.pick(kAdjectives);
    title += rng.pick(kAdjectives);
    if (rng.chance(0.5)) title += rng.pick(kAdjectives);
    title += sub.name;
    title += rng.pick(kSuffixes);
    it.title = title;

    double u = rng.unit();
    it.sales = it.kind == ItemKind::Removed ? 0 : static_cast<int>(u * u * u * 20000);
    double s = rng.unit();
    if (seller.tmall)
      it.stock = s < 0.05 ? 0 : 1 + static_cast<int>(rng.below(99999));
    else if (s < 0.04)
      it.stock = -1 - static_cast<int>(rng.below(50));
    else if (s < 0.09)
      it.stock = 0;
    else
      it.stock = 1 + static_cast<int>(rng.below(9999));

    int cents = PriceCents(rng);
    if (!seller.tmall && rng.chance(0.15))
      it.price = Money(cents) + "-" + Money(cents + 2000 + PriceCents(rng));
    else
      it.price = Money(cents);
    if (seller.tmall) {
      double p = rng.unit();
      if (p < 0.12)
        it.promo = PromoForm::Braced;
      else if (p < 0.50)
        it.promo = PromoForm::Plain;
      if (it.promo != PromoForm::None) it.promoPrice = Money(cents * (70 + static_cast<int>(rng.below(25))) / 100);
    }
    it.location = rng.pick(kLocations);
    it.locationEscaped = rng.chance(0.5);
    it.nickEncoded = rng.chance(0.3);
    it.sib = rng.chance(0.5) ? SibForm::Script : SibForm::Json;

    double t = rng.unit();
    if (t < 0.30)
      it.timeForm = TimeForm::SecondsText;
    else if (t < 0.50)
      it.timeForm = TimeForm::SecondsNumber;
    else if (t < 0.70)
      it.timeForm = TimeForm::MillisText;
    else if (t < 0.85)
      it.timeForm = TimeForm::MillisNumber;
    else if (t < 0.95)
      it.timeForm = TimeForm::Mixed;
    else if (t < 0.98)
      it.timeForm = TimeForm::OnlyDelist;
    else
      it.timeForm = TimeForm::None;
    it.listedAt = now - 1 - static_cast<int64_t>(HashText(seed, it.id) % (7 * 86400 - 1));
    it.millis = static_cast<int>(rng.below(1000));

    seller.items.push_back(i);
    byId_[it.id] = i;
    items_.push_back(std::move(it));
  }
}

const Item* Catalogue::find(const std::string& id) const {
  auto it = byId_.find(id);
  return it == byId_.end() ? nullptr : &items_[it->second];
}

std::vector<size_t> Catalogue::keywordResults(const std::string& keyword) const {
  std::vector<size_t> out;
  if (keyword.empty()) return out;
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i].title.find(keyword) != std::string::npos) out.push_back(i);
  if (!out.empty()) return out;
  uint64_t h = HashText(seed_, keyword);
  for (size_t i = 0; i < items_.size(); ++i)
    if (Mix64(h ^ i) % 7 == 0) out.push_back(i);
  return out;
}

}  // namespace kelvora::sim
