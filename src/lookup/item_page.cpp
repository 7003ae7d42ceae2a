#include "lookup/item_page.h"

#include <boost/regex.hpp>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cctype>
#include <cstring>
#include <exception>
#include <iterator>

#include "lookup/lookup_service.h"
#include "net/datetime.h"
#include "net/endpoints.h"
#include "net/gbk_scan.h"
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
      boost::regex("<input type=\"hidden\" name=\"seller_nickname\" value=\"(.+?)\" />", boost::regex::perl)};
  return p;
}

// Capture group 1 of the first match, empty when there is none. No match starts
// before the first prefix, and without a suffix after it there is no match at all:
// the search starts at that prefix, and checking the suffix first keeps a page full
// of unclosed prefixes from costing a scan of the rest per prefix. A search that
// still exhausts the engine counts as no match.
std::string FirstGroup(std::string_view text, const WrappedValuePattern& p) {
  const size_t a = FindBytes(text, p.prefix);
  if (a == std::string_view::npos || FindBytes(text, p.suffix, a + p.prefix.size() + 1) == std::string_view::npos)
    return {};
  try {
    boost::cmatch m;
    if (boost::regex_search(text.data() + a, text.data() + text.size(), m, p.re, boost::match_default) &&
        m.size() > 1 && m[1].matched)
      return m[1].str();
  } catch (const std::exception&) {
  }
  return {};
}

// The secondary answers are script text; their values are read with their quoting,
// line breaks (CR LF) and blanks taken out. One pass does what removing each in turn
// would: only whole characters go, so the characters after them stay as they were.
std::string Flatten(std::string_view answer, bool apostrophesToo) {
  std::string t(answer.size(), '\0');
  char* out = t.data();
  const size_t n = answer.size();
  for (size_t i = 0; i < n;) {
    const char c = answer[i];
    if (static_cast<unsigned char>(c) < 0x80 && c != '\r') {
      // The common case, written whatever the byte and kept by moving on or not.
      *out = c;
      out += c != '"' && c != ' ' && !(apostrophesToo && c == '\'');
      ++i;
    } else if (static_cast<unsigned char>(c) >= 0x80 && i + 1 < n) {
      out[0] = c;  // a double-byte character, whatever its trail byte
      out[1] = answer[i + 1];
      out += 2;
      i += 2;
    } else if (c == '\r' && i + 1 < n && answer[i + 1] == '\n') {
      i += 2;
    } else {
      if (c != '"' && c != ' ' && !(apostrophesToo && c == '\'')) *out++ = c;
      ++i;
    }
  }
  t.resize(static_cast<size_t>(out - t.data()));
  return t;
}

#if defined(__SSE2__)
// Writes the bytes of `src` (16 of `size` bytes left) whose bits in `drop` are
// clear, in order, at `out`; returns the end. Writes up to 16 bytes past it.
char* KeepBytes(const char* src, size_t size, unsigned drop, char* out) {
  for (unsigned keep = ~drop & 0xFFFFu; keep != 0;) {
    const unsigned start = static_cast<unsigned>(__builtin_ctz(keep));
    const unsigned run = static_cast<unsigned>(__builtin_ctz(~(keep >> start)));
    if (start + 16 <= size)
      std::memcpy(out, src + start, 16);
    else
      std::memcpy(out, src + start, run);
    out += run;
    keep &= ~(((1u << run) - 1) << start);
  }
  return out;
}
#endif

// Both flattenings of an answer in one pass: `kept` keeps the apostrophes,
// `bare` (when asked for) takes them out too. Sixteen bytes at a time where they
// are all ASCII without CR; the rest a character at a time.
void FlattenBoth(std::string_view answer, std::string& kept, std::string* bare) {
  const size_t n = answer.size();
  kept.assign(n + 16, '\0');
  if (bare) bare->assign(n + 16, '\0');
  // Without `bare`, its pointer stays on a spare character pair.
  char spare[2];
  char* k = kept.data();
  char* b = bare ? bare->data() : spare;
  const bool withBare = bare != nullptr;
  const char* in = answer.data();
  size_t i = 0;
  // One character the slow way: a double-byte one whole, CR LF dropped.
  auto step = [&] {
    const char c = in[i];
    if (static_cast<unsigned char>(c) < 0x80 && c != '\r') {
      *k = *b = c;
      k += c != '"' && c != ' ';
      b += withBare && c != '"' && c != ' ' && c != '\'';
      ++i;
    } else if (static_cast<unsigned char>(c) >= 0x80 && i + 1 < n) {
      k[0] = b[0] = c;
      k[1] = b[1] = in[i + 1];
      k += 2;
      b += withBare ? 2 : 0;
      i += 2;
    } else if (c == '\r' && i + 1 < n && in[i + 1] == '\n') {
      i += 2;
    } else {
      if (c != '"' && c != ' ') {
        *k++ = c;
        if (c != '\'' && withBare) *b++ = c;
      }
      ++i;
    }
  };
  while (i < n) {
#if defined(__SSE2__)
    if (i + 16 <= n) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
      const auto special = static_cast<unsigned>(_mm_movemask_epi8(block) |
                                                 _mm_movemask_epi8(_mm_cmpeq_epi8(block, _mm_set1_epi8('\r'))));
      // The ASCII bytes before the first special one (all sixteen without one).
      const unsigned plain = special == 0 ? 16 : static_cast<unsigned>(__builtin_ctz(special));
      if (plain > 0) {
        const unsigned beyond = plain == 16 ? 0 : (0xFFFFu << plain) & 0xFFFFu;
        const auto blanks = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_or_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8('"')), _mm_cmpeq_epi8(block, _mm_set1_epi8(' ')))));
        const auto apostrophes = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, _mm_set1_epi8('\''))));
        k = KeepBytes(in + i, n - i, blanks | beyond, k);
        if (withBare) b = KeepBytes(in + i, n - i, blanks | apostrophes | beyond, b);
        i += plain;
        if (plain == 16) continue;
      }
    }
#endif
    step();
  }
  kept.resize(static_cast<size_t>(k - kept.data()));
  if (bare) bare->resize(static_cast<size_t>(b - bare->data()));
}

// The mdskip values, each from the flattening it is read from.
std::string TmallSalesCount(std::string_view kept) { return TextBetween(kept, "sellCount:", "},"); }

std::string TaobaoSalesCount(std::string_view kept) {
  return TextBetween(kept, "quanity:", ",");  // sic: the answer spells the key so
}

std::string TmallPrice(std::string_view bare) {
  int m = Find(bare, "priceInfo");
  std::string base = TextBetween(bare, "price:", ",", m);
  int v = Find(bare, "promotionList", m);
  if (v == -1) return base;
  std::string promo = TextBetween(bare, "price:", ",", v);
  // A promotion whose price runs into an object is not a plain price.
  if (Find(promo, "{") != -1 || Find(promo, "}") != -1) return base;
  return base + " -> " + promo;
}

std::string TmallLocation(std::string_view bare) { return TextBetween(bare, "deliveryAddress:", ","); }

// The markers of page kinds that end the analysis early, or that say which
// marketplace the page is of, looked for in one pass over the page: most pages
// hold none of them.
struct PageMarkers {
  bool altHost = false;  // the page sends the item to the alternate item host
  bool removed = false;
  bool guide = false;  // the page asks to register first
  bool tmall = false;
};

PageMarkers FindPageMarkers(std::string_view page, const std::shared_ptr<const Endpoints>& ep) {
  // The set follows the endpoints it was made for; each thread keeps its own.
  struct Cached {
    std::shared_ptr<const Endpoints> endpoints;
    std::unique_ptr<MarkerSet> markers;
  };
  thread_local Cached cached;
  if (!cached.markers || cached.endpoints != ep) {
    cached.endpoints = ep;
    cached.markers = std::make_unique<MarkerSet>(
        std::vector<std::string>{"if('" + ep->ITEM_NY_SITE + "/item.htm'){", kRemovedMarker,
                                 "\"" + ep->BANG_SITE + "/register/guide.htm", ep->TMALL_LINK_MARKER});
  }
  const std::vector<bool> found = cached.markers->occurring(page);
  return {found[0], found[1], found[2], found[3]};
}

// The argument of a script answer `name(...)`, with what may follow the call (a
// semicolon, blanks); false when the answer is not that one call.
bool CallArgument(std::string_view answer, std::string_view name, std::string_view& argument) {
  std::string_view t = TrimView(answer);
  if (t.substr(0, name.size()) != name || t.size() <= name.size() || t[name.size()] != '(') return false;
  argument = t.substr(name.size());  // "(...);": the JSON reader takes off the call's wrapping
  return true;
}

// The values read from the sib JSON, loaded as the variable "data".
constexpr std::string_view kSibPricePath = "data.data.price";
constexpr std::string_view kSibStockPath = "data.data.dynStock.sellableQuantity";

// The JSON wrapped in the sib callback. Parsed on the first read and only once,
// however many values the analysis takes from it.
class SibJson {
 public:
  explicit SibJson(const std::string& answer) : answer_(answer) {}
  std::string text(std::string_view path) {
    whole();
    return reader_.getText(path);
  }
  // True when the answer is the callback and the JSON in it parses.
  bool whole() {
    if (!parsed_) {
      parsed_ = true;
      std::string_view argument;
      // Of the answer, only the values read from it are kept.
      whole_ = CallArgument(answer_, "onSibRequestSuccess", argument) &&
               reader_.loadAlong("data", argument, {kSibPricePath, kSibStockPath});
    }
    return whole_;
  }

 private:
  const std::string& answer_;
  bool parsed_ = false;
  bool whole_ = false;
  JsonReader reader_;
};

// The older Taobao answer: lines of the form g_config.Member.Member=JSON;
bool IsConfigAssignments(std::string_view answer) {
  bool any = false;
  size_t at = 0;
  while (at <= answer.size()) {
    size_t end = answer.find('\n', at);
    if (end == std::string_view::npos) end = answer.size();
    std::string_view line = answer.substr(at, end - at);
    at = end + 1;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    if (line.empty()) continue;
    constexpr std::string_view kConfig = "g_config";
    if (line.substr(0, kConfig.size()) != kConfig) return false;
    size_t i = kConfig.size();
    bool member = false;
    while (i < line.size() && line[i] == '.') {
      const size_t first = ++i;
      while (i < line.size() && (std::isalnum(static_cast<unsigned char>(line[i])) || line[i] == '_' || line[i] == '$'))
        ++i;
      if (i == first) return false;
      member = true;
    }
    while (i < line.size() && line[i] == ' ') ++i;
    if (!member || i >= line.size() || line[i] != '=') return false;
    std::string_view value = line.substr(i + 1);
    if (value.empty() || value.back() != ';') return false;
    JsonReader reader;
    if (!reader.load("v", value)) return false;
    any = true;
  }
  return any;
}

// A number field as the readers take it: absent, or a number at its start.
bool StartsAsNumber(std::string_view text) {
  const size_t i = !text.empty() && text[0] == '-' ? 1 : 0;
  return text.empty() || (i < text.size() && text[i] >= '0' && text[i] <= '9');
}

// A whole integer: digits, with a minus sign before them or not.
bool IsIntegerText(std::string_view text) {
  if (!text.empty() && text[0] == '-') text.remove_prefix(1);
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

// The text between `left` and the next `right`; false when either is missing.
bool FindBetween(std::string_view text, std::string_view left, std::string_view right, std::string& value) {
  const int a = Find(text, left);
  if (a == -1) return false;
  const int b = a + static_cast<int>(left.size());
  const int c = Find(text, right, b);
  if (c == -1) return false;
  value = Mid(text, b, c - b);
  return true;
}

// The same, with `left` found already at 0-based `leftAt` (npos: it was not).
bool ValueAfter(std::string_view text, size_t leftAt, std::string_view left, std::string_view right,
                std::string& value) {
  if (leftAt == std::string_view::npos) return false;
  const int b = static_cast<int>(leftAt + left.size()) + 1;
  const int c = Find(text, right, b);
  if (c == -1) return false;
  value = Mid(text, b, c - b);
  return true;
}

// An address as a page script writes it: no blanks, quotes, markup or braces.
bool IsAddressText(std::string_view text) {
  if (text.empty()) return false;
  for (char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c == 0x7f || c == '"' || c == '<' || c == '>' || c == '\\' || c == '{' || c == '}') return false;
  }
  return true;
}

// Text that markup holds as text: a raw '<' or quote means the markup around it broke.
bool IsPlainMarkupText(std::string_view text, bool quoteToo) {
  for (char c : text)
    if (c == '<' || (quoteToo && c == '"')) return false;
  return true;
}

// The seller nickname of the Taobao page script: percent-encoded GBK or plain
// text, inside apostrophes.
bool IsNicknameText(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '<' || c == '>' || c == '"' || c == '\\') return false;
    if (c == '%' && (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
                     !std::isxdigit(static_cast<unsigned char>(text[i + 2]))))
      return false;
  }
  return true;
}

std::string ReadTaobaoPrice(const std::string& answer, SibJson& json) {
  // Every price marker starts with "g_config.": the search goes on from the first one.
  const int config = Find(answer, "g_config.");
  if (config != -1) return TextBetween(answer, "g_config.Price=\"", "\"", config);
  return json.text(kSibPricePath);
}

std::string ReadTaobaoStock(const std::string& answer, SibJson& json) {
  int32_t n = ToInt32(TextBetween(answer, "virtQuantity\":\"", "\""));
  if (n != 0) return NumberText(static_cast<int64_t>(n));
  return json.text(kSibStockPath);
}

// The markers every Tmall item page has, with values of their form. The stock is
// the page's own.
bool ReadTmallPage(std::string_view page, ResultRow& row, std::string& mdskipAddress) {
  row.seller = FirstGroup(page, TmallSellerPattern());
  if (row.seller.empty() || !IsPlainMarkupText(row.seller, true)) return false;
  // The three keys of the page's setup data, looked for together.
  static constexpr std::string_view kKeys[] = {"\"initApi\":\"", "\"quantity\":", "\"itemId\":\""};
  size_t at[std::size(kKeys)];
  FindEach(page, kKeys, at);
  std::string itemId;
  if (!ValueAfter(page, at[0], kKeys[0], "\"", mdskipAddress) || !IsAddressText(mdskipAddress) ||
      !ValueAfter(page, at[1], kKeys[1], ",", row.stock) || !IsIntegerText(row.stock) ||
      !ValueAfter(page, at[2], kKeys[2], "\"", itemId) || !IsIntegerText(itemId) || itemId[0] == '-')
    return false;
  row.seller = TraditionalToSimplified(row.seller);
  row.stock = NumberText(static_cast<int64_t>(ToInt32(row.stock)));
  row.itemId = NumberText(ToInt64(itemId));
  return true;
}

// The same for a Taobao item page: the page script's nickname and sib address,
// and the bid form's item id.
bool ReadTaobaoPage(std::string_view page, ResultRow& row, std::string& sibAddress) {
  std::string nick;
  if (!FindBetween(page, kSellerNickMarker, "'", nick) || !IsNicknameText(nick) ||
      !FindBetween(page, kSibUrlMarker, "'", sibAddress) || !IsAddressText(sibAddress) ||
      !FindBetween(page, kItemIdInputMarker, "\"", row.itemId) || !IsIntegerText(row.itemId) || row.itemId[0] == '-')
    return false;
  // The page script writes the nickname percent-encoded in GBK.
  row.seller = PercentDecode(nick);
  if (row.itemId.size() > 15 || row.itemId.size() < 5) row.itemId.clear();
  return true;
}

// Reads the mdskip answer; false when it is not whole.
bool ReadMdskip(const std::string& answer, ResultRow& row) {
  // Whole when it is the callback around JSON; its values are read from the
  // flattened text, so the JSON is only checked, not kept.
  std::string_view argument;
  if (!CallArgument(answer, "setMdskip", argument) || !IsJsonValue(argument)) return false;
  std::string kept, bare;
  FlattenBoth(answer, kept, &bare);
  const std::string sales = TmallSalesCount(kept);
  if (!StartsAsNumber(sales)) return false;
  row.sales = NumberText(static_cast<int64_t>(ToInt32(sales)));
  row.price = TmallPrice(bare);
  row.location = TmallLocation(bare);
  return true;
}

// Reads the sib answer; false when it is not whole.
bool ReadSib(const std::string& answer, ResultRow& row) {
  SibJson json(answer);
  const bool configForm = TrimView(answer).substr(0, 9) == "g_config.";
  if (configForm ? !IsConfigAssignments(answer) : !json.whole()) return false;
  std::string kept;
  FlattenBoth(answer, kept, nullptr);
  const std::string sales = TaobaoSalesCount(kept);
  const std::string virtQuantity = TextBetween(answer, "virtQuantity\":\"", "\"");
  if (!StartsAsNumber(sales) || !StartsAsNumber(virtQuantity)) return false;
  row.sales = NumberText(static_cast<int64_t>(ToInt32(sales)));
  row.price = ReadTaobaoPrice(answer, json);
  row.location = ReadLocation(answer, false);
  row.stock = ReadTaobaoStock(answer, json);
  if (!StartsAsNumber(row.stock)) return false;
  if (ToInt32(row.stock) < 0) row.stock.clear();
  return true;
}

// The cells a secondary answer leaves when it failed or was not whole: what an
// empty answer reads as.
void ReadFailedSecondary(ResultRow& row) {
  row.sales = "0";
  row.price.clear();
  row.location.clear();
  if (!row.isTmall) row.stock.clear();
}

// The row of a page that could not be read: the failed-request cells.
void SetFailedPageRow(ResultRow& row, const std::string& url) {
  row = ResultRow{};
  row.title = FETCH_FAILED_TITLE;
  row.listedAt = NO_TIME_TEXT;
  row.delistAt = NO_TIME_TEXT;
  row.itemId = "0";
  row.link = url;
}

}  // namespace

ItemPageReading AnalyseFetchedPage(std::string_view page, const std::string& url, bool viaAltHost,
                                   const SecondaryFetch& fetch) {
  ItemPageReading out;
  ResultRow& row = out.row;
  if (page.empty()) {
    SetFailedPageRow(row, url);
    return out;
  }
  const std::shared_ptr<const Endpoints> ep = CurrentEndpoints();

  const PageMarkers markers = FindPageMarkers(page, ep);

  // Some items live on the alternate item host; the page says so in a script.
  if (!viaAltHost && markers.altHost) {
    int q = Find(url, "?");
    out.altHostUrl = ep->ITEM_NY_SITE + "/item.htm?" + Right(url, static_cast<int>(url.size()) - q);
    return out;
  }

  row.link = url;
  if (markers.removed) {
    row.title = REMOVED_ITEM_TITLE;
    return out;
  }
  // Every page of the marketplace has its title; one broken by markup is not read.
  std::string title;
  if (!FindBetween(page, "<title>", "</title>", title) || title.empty() || !IsPlainMarkupText(title, false)) {
    SetFailedPageRow(row, url);
    out.pageMalformed = true;
    return out;
  }
  row.title = ReplaceAll(ReplaceAll(title, kTaobaoTitleSuffix), ep->TMALL_TITLE_SUFFIX);
  if (markers.guide) return out;

  row.isTmall = markers.tmall;
  std::string address;
  if (!(row.isTmall ? ReadTmallPage(page, row, address) : ReadTaobaoPage(page, row, address))) {
    SetFailedPageRow(row, url);
    out.pageMalformed = true;
    return out;
  }
  address += row.isTmall ? kMdskipCallback : kSibCallback;
  std::string answer = fetch ? fetch(address, url) : std::string();
  if (!(row.isTmall ? ReadMdskip(answer, row) : ReadSib(answer, row))) {
    ReadFailedSecondary(row);
    out.secondaryMalformed = true;
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
  // Item pages are a few hundred KB: each thread keeps the memory of its last one
  // for the next, unless it was unusually large.
  thread_local std::string room;
  std::string fetched = HttpFetch(url, "", cookie, &pageReport, &room);
  struct GiveBack {
    std::string& from;
    ~GiveBack() {
      constexpr size_t kKeepUpTo = size_t{4} << 20;
      if (from.capacity() <= kKeepUpTo && from.capacity() > room.capacity()) room = std::move(from);
    }
  } giveBack{fetched};
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
  if (reading.pageMalformed && pageReport.failure == FailureKind::None)
    reading.row.failures[pagePart] = FailureKind::Malformed;
  reading.row.failures[RequestPart::Secondary] = secondaryReport.failure;
  if (reading.secondaryMalformed && secondaryReport.failure == FailureKind::None)
    reading.row.failures[RequestPart::Secondary] = FailureKind::Malformed;
  if (secondaryAsked) reading.row.markRequested(RequestPart::Secondary);
  if (reading.wantsTimes) {
    LookupService::queryTimes(reading.row.itemId, reading.row);
    reading.row.markRequested(RequestPart::Lookup);
  }
  return reading.row;
}

std::string ReadSalesCount(const std::string& answer, bool isTmall) {
  std::string t = Flatten(answer, false);
  return isTmall ? TmallSalesCount(t) : TaobaoSalesCount(t);
}

std::string ReadPrice(const std::string& answer, bool isTmall) {
  if (isTmall) return TmallPrice(Flatten(answer, true));
  SibJson json(answer);
  return ReadTaobaoPrice(answer, json);
}

std::string ReadLocation(const std::string& answer, bool isTmall) {
  if (isTmall) return TmallLocation(Flatten(answer, true));
  std::string loc = TextBetween(answer, "sendCity\":\"", "\"");
  if (Find(loc, "\\u") != -1) loc = UnescapeJavaText(loc);
  return loc;
}

std::string ReadStock(const std::string& answer) {
  SibJson json(answer);
  return ReadTaobaoStock(answer, json);
}

bool IsWholeSecondaryAnswer(std::string_view answer, bool isTmall) {
  ResultRow row;
  const std::string text(answer);
  return isTmall ? ReadMdskip(text, row) : ReadSib(text, row);
}

}  // namespace kelvora
