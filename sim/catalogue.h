#pragma once
// The simulator's deterministic catalogue: sellers, categories and items, all
// derived from the seed. Text here is UTF-8; pages convert it to GBK.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kelvora::sim {

enum class ItemKind { Taobao, Tmall, Removed, Unsupported, Alt };
const char* KindName(ItemKind kind);

// How the lookup service writes an item's two times.
enum class TimeForm { SecondsText, SecondsNumber, MillisText, MillisNumber, Mixed, OnlyDelist, None };
// How a Taobao item's dynamic data answer looks.
enum class SibForm { Script, Json };
// How a Tmall item's promotion looks in its dynamic data answer.
enum class PromoForm { None, Plain, Braced };

struct SubCategory {
  int value;
  std::string name;
  std::string group;  // group name in the grouped form
};

struct Category {
  int value;
  std::string name;
  bool grouped;
  std::vector<SubCategory> subs;
};

struct Seller {
  std::string nick;      // as a correct client shows it (simplified characters)
  std::string pageNick;  // as the Tmall page writes it (traditional for some shops)
  bool tmall = false;
  uint64_t sellerId = 0;
  uint64_t shopId = 0;
  std::string shopName;
  std::vector<size_t> items;  // indexes into Catalogue::items, catalogue order
};

struct Item {
  std::string id;  // decimal digits, as in the item address
  ItemKind kind = ItemKind::Taobao;
  std::string title;
  size_t seller = 0;
  int top = 0;  // category values
  int sub = 0;
  int sales = 0;
  int stock = 0;
  std::string price;  // regular price text ("58.00" or "39.00-59.00")
  PromoForm promo = PromoForm::None;
  std::string promoPrice;  // when promo != None
  std::string location;
  bool locationEscaped = false;  // Taobao: sendCity written with \u escapes
  bool nickEncoded = false;      // Taobao: sellerNick percent-encoded GBK
  SibForm sib = SibForm::Script;
  TimeForm timeForm = TimeForm::SecondsText;
  int64_t listedAt = 0;  // Unix seconds
  int millis = 0;        // the extra milliseconds of the millisecond forms
};

class Catalogue {
 public:
  Catalogue(uint64_t seed, int itemCount, int64_t now);

  const std::vector<Item>& items() const { return items_; }
  const std::vector<Seller>& sellers() const { return sellers_; }
  const std::vector<Category>& categories() const { return categories_; }
  const Item* find(const std::string& id) const;
  const Seller& sellerOf(const Item& item) const { return sellers_[item.seller]; }
  int64_t delistAt(const Item& item) const { return item.listedAt + 7 * 86400; }
  int64_t now() const { return now_; }
  uint64_t seed() const { return seed_; }

  // Items whose title contains `keyword` (UTF-8); when none does, a fixed
  // pseudo-random share of the catalogue chosen by the keyword.
  std::vector<size_t> keywordResults(const std::string& keyword) const;

 private:
  uint64_t seed_;
  int64_t now_;
  std::vector<Category> categories_;
  std::vector<Seller> sellers_;
  std::vector<Item> items_;
  std::map<std::string, size_t> byId_;
};

}  // namespace kelvora::sim
