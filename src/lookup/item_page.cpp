#include "lookup/item_page.h"

#include <boost/regex.hpp>

#include <exception>

#include "lookup/lookup_service.h"
#include "net/datetime.h"
#include "net/endpoints.h"
#include "net/http.h"
#include "net/json.h"
#include "net/text.h"

namespace kelvora {
namespace {

// 很抱歉，您查看的宝贝不存在，可能已下架或者被转移 (GBK)
constexpr const char* kRemovedMarker =
    "\xba\xdc\xb1\xa7\xc7\xb8\xa3\xac\xc4\xfa\xb2\xe9\xbf\xb4\xb5\xc4\xb1\xa6\xb1\xb4\xb2\xbb"
    "\xb4\xe6\xd4\xda\xa3\xac\xbf\xc9\xc4\xdc\xd2\xd1\xcf\xc2\xbc\xdc\xbb\xf2\xd5\xdf\xb1\xbb"
    "\xd7\xaa\xd2\xc6";
// -淘宝网 (GBK), the suffix of Taobao page titles.
constexpr const char* kTaobaoTitleSuffix = "-\xcc\xd4\xb1\xa6\xcd\xf8";

// The blanks in these page-script markers are exact: the page aligns its keys.
constexpr const char* kSellerNickMarker = "sellerNick       : '";
constexpr const char* kSibUrlMarker = "sibUrl           : '";
constexpr const char* kItemIdInputMarker = "<input type=\"hidden\" name=\"item_id\" value=\"";
constexpr const char* kSibCallback = "&callback=onSibRequestSuccess";
// The Tmall page script asks with this fixed timestamp, the same on every request.
constexpr const char* kMdskipCallback = "&callback=setMdskip&timestamp=1415107601378";

// A pattern of the form prefix(.+?)suffix, with the two literals kept beside it.
struct WrappedValuePattern {
  std::string prefix, suffix;
  boost::regex re;
};

const WrappedValuePattern& TmallSellerPattern() {
  static const WrappedValuePattern p{
      "<input type=\"hidden\" name=\"seller_nickname\" value=\"", "\" />",
      boost::regex("<input type=\"hidden\" name=\"seller_nickname\" value=\"(.+?)\" />",
                   boost::regex::perl)};
  return p;
}

const WrappedValuePattern& SibCallbackPattern() {
  static const WrappedValuePattern p{"onSibRequestSuccess(", ");",
                                     boost::regex("onSibRequestSuccess\\((.+?)\\);", boost::regex::perl)};
  return p;
}

// Capture group 1 of the first match, empty when there is none. No match starts
// before the first prefix, and without a suffix after it there is no match at all:
// the search starts at that prefix, and checking the suffix first keeps a page full
// of unclosed prefixes from costing a scan of the rest per prefix. A search that
// still exhausts the engine counts as no match.
std::string FirstGroup(std::string_view text, const WrappedValuePattern& p) {
  const size_t a = FindBytes(text, p.prefix);
  if (a == std::string_view::npos ||
      FindBytes(text, p.suffix, a + p.prefix.size() + 1) == std::string_view::npos)
    return {};
  try {
    boost::cmatch m;
    if (boost::regex_search(text.data() + a, text.data() + text.size(), m, p.re,
                            boost::match_default) &&
        m.size() > 1 && m[1].matched)
      return m[1].str();
  } catch (const std::exception&) {
  }
  return {};
}

bool Contains(std::string_view text, std::string_view sought) {
  return !sought.empty() && Find(text, sought) != -1;
}

// The secondary answers are script text; their values are read with their quoting,
// line breaks (CR LF) and blanks taken out. One pass does what removing each in turn
// would: only whole characters go, so the characters after them stay as they were.
std::string Flatten(std::string_view answer, bool apostrophesToo) {
  std::string t;
  t.reserve(answer.size());
  for (size_t i = 0; i < answer.size();) {
    const char c = answer[i];
    if (static_cast<unsigned char>(c) >= 0x80 && i + 1 < answer.size()) {
      t.append(answer.substr(i, 2));  // a double-byte character, whatever its trail byte
      i += 2;
    } else if (c == '\r' && i + 1 < answer.size() && answer[i + 1] == '\n') {
      i += 2;
    } else {
      if (c != '"' && c != ' ' && !(apostrophesToo && c == '\'')) t.push_back(c);
      ++i;
    }
  }
  return t;
}

// The JSON wrapped in the sib callback. Parsed on the first read and only once,
// however many values the analysis takes from it.
class SibJson {
 public:
  explicit SibJson(const std::string& answer) : answer_(answer) {}
  std::string text(const char* path) {
    if (!parsed_) {
      parsed_ = true;
      const std::string json = FirstGroup(answer_, SibCallbackPattern());
      if (!json.empty()) reader_.load("data", json);
    }
    return reader_.getText(path);
  }

 private:
  const std::string& answer_;
  bool parsed_ = false;
  JsonReader reader_;
};

std::string ReadTaobaoPrice(const std::string& answer, SibJson& json) {
  // Every price marker starts with "g_config.": the search goes on from the first one.
  const int config = Find(answer, "g_config.");
  if (config != -1) return TextBetween(answer, "g_config.Price=\"", "\"", config);
  return json.text("data.data.price");
}

std::string ReadTaobaoStock(const std::string& answer, SibJson& json) {
  int32_t n = ToInt32(TextBetween(answer, "virtQuantity\":\"", "\""));
  if (n != 0) return NumberText(static_cast<int64_t>(n));
  return json.text("data.data.dynStock.sellableQuantity");
}

void ReadTmall(std::string_view page, const std::string& url, const SecondaryFetch& fetch,
               ResultRow& row) {
  row.seller = TraditionalToSimplified(row.seller);
  std::string address = TextBetween(page, "\"initApi\":\"", "\"") + kMdskipCallback;
  std::string answer = fetch ? fetch(address, url) : std::string();
  row.sales = NumberText(static_cast<int64_t>(ToInt32(ReadSalesCount(answer, true))));
  row.price = ReadPrice(answer, true);
  row.location = ReadLocation(answer, true);
  // Tmall pages carry the stock themselves.
  row.stock = NumberText(static_cast<int64_t>(ToInt32(TextBetween(page, "\"quantity\":", ","))));
  row.itemId = NumberText(ToInt64(TextBetween(page, "\"itemId\":\"", "\"")));
}

void ReadTaobao(std::string_view page, const SecondaryFetch& fetch, ResultRow& row) {
  std::string address = TextBetween(page, kSibUrlMarker, "'") + kSibCallback;
  std::string answer = fetch ? fetch(address, row.link) : std::string();
  row.sales = NumberText(static_cast<int64_t>(ToInt32(ReadSalesCount(answer, false))));
  SibJson json(answer);
  row.price = ReadTaobaoPrice(answer, json);
  row.location = ReadLocation(answer, false);
  row.stock = ReadTaobaoStock(answer, json);
  row.itemId = TextBetween(page, kItemIdInputMarker, "\"");
  if (row.itemId.size() > 15 || row.itemId.size() < 5) row.itemId.clear();
  if (ToInt32(row.stock) < 0) row.stock.clear();
}

}  // namespace

ItemPageReading AnalyseFetchedPage(std::string_view page, const std::string& url, bool viaAltHost,
                                   const SecondaryFetch& fetch) {
  ItemPageReading out;
  ResultRow& row = out.row;
  if (page.empty()) {
    row.title = FETCH_FAILED_TITLE;
    row.listedAt = NO_TIME_TEXT;
    row.delistAt = NO_TIME_TEXT;
    row.itemId = "0";
    row.link = url;
    return out;
  }
  const std::shared_ptr<const Endpoints> ep = CurrentEndpoints();

  // Some items live on the alternate item host; the page says so in a script.
  if (!viaAltHost && Contains(page, "if('" + ep->ITEM_NY_SITE + "/item.htm'){")) {
    int q = Find(url, "?");
    out.altHostUrl = ep->ITEM_NY_SITE + "/item.htm?" +
                     Right(url, static_cast<int>(url.size()) - q);
    return out;
  }

  row.title = TextBetween(page, "<title>", "</title>");
  row.title = ReplaceAll(row.title, kTaobaoTitleSuffix);
  row.title = ReplaceAll(row.title, ep->TMALL_TITLE_SUFFIX);
  row.link = url;

  if (Contains(page, kRemovedMarker)) {
    row.title = REMOVED_ITEM_TITLE;
    return out;
  }
  if (Contains(page, "\"" + ep->BANG_SITE + "/register/guide.htm")) return out;

  row.isTmall = Contains(page, ep->TMALL_LINK_MARKER);
  if (row.isTmall) {
    row.seller = FirstGroup(page, TmallSellerPattern());
    ReadTmall(page, url, fetch, row);
  } else {
    // The page script writes the nickname percent-encoded in GBK.
    row.seller = PercentDecode(TextBetween(page, kSellerNickMarker, "'"));
    ReadTaobao(page, fetch, row);
  }
  row.price = Trim(ReplaceAll(row.price, "\""));
  out.wantsTimes = true;
  return out;
}

ResultRow AnalyseItemPage(std::string url, bool viaAltHost) {
  // Addresses copied out of page markup may carry the rest of the attribute.
  int quote = Find(url, "\"");
  if (quote != -1) url = Left(url, quote - 1);

  std::string cookie = "2";
  HttpReport pageReport;
  const std::string fetched = HttpFetch(url, "", cookie, &pageReport);
  const std::string_view page = TrimView(fetched);
  HttpReport secondaryReport;
  bool secondaryAsked = false;
  SecondaryFetch fetch = [&secondaryReport, &secondaryAsked](std::string& address, const std::string& referer) {
    secondaryAsked = true;
    std::string cookie = "2";
    return HttpFetch(address, referer, cookie, &secondaryReport);
  };
  ItemPageReading reading = AnalyseFetchedPage(page, url, viaAltHost, fetch);
  if (!reading.altHostUrl.empty()) {
    ResultRow row = AnalyseItemPage(reading.altHostUrl, true);
    row.failures[RequestPart::Page] = pageReport.failure;
    row.markRequested(RequestPart::Page);
    return row;
  }
  const RequestPart pagePart = viaAltHost ? RequestPart::Alternate : RequestPart::Page;
  reading.row.failures[pagePart] = pageReport.failure;
  reading.row.markRequested(pagePart);
  reading.row.failures[RequestPart::Secondary] = secondaryReport.failure;
  if (secondaryAsked) reading.row.markRequested(RequestPart::Secondary);
  if (reading.wantsTimes) {
    LookupService::queryTimes(reading.row.itemId, reading.row);
    reading.row.markRequested(RequestPart::Lookup);
  }
  return reading.row;
}

std::string ReadSalesCount(const std::string& answer, bool isTmall) {
  std::string t = Flatten(answer, false);
  if (isTmall) return TextBetween(t, "sellCount:", "},");
  return TextBetween(t, "quanity:", ",");  // sic: the answer spells the key so
}

std::string ReadPrice(const std::string& answer, bool isTmall) {
  if (isTmall) {
    std::string t = Flatten(answer, true);
    int m = Find(t, "priceInfo");
    std::string base = TextBetween(t, "price:", ",", m);
    int v = Find(t, "promotionList", m);
    if (v == -1) return base;
    std::string promo = TextBetween(t, "price:", ",", v);
    // A promotion whose price runs into an object is not a plain price.
    if (Find(promo, "{") != -1 || Find(promo, "}") != -1) return base;
    return base + " -> " + promo;
  }
  SibJson json(answer);
  return ReadTaobaoPrice(answer, json);
}

std::string ReadLocation(const std::string& answer, bool isTmall) {
  if (isTmall) return TextBetween(Flatten(answer, true), "deliveryAddress:", ",");
  std::string loc = TextBetween(answer, "sendCity\":\"", "\"");
  if (Find(loc, "\\u") != -1) loc = UnescapeJavaText(loc);
  return loc;
}

std::string ReadStock(const std::string& answer) {
  SibJson json(answer);
  return ReadTaobaoStock(answer, json);
}

}  // namespace kelvora
