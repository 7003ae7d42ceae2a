#include "search/keyword_search.h"

#include <array>
#include <string_view>

#include "net/codec.h"
#include "net/endpoints.h"
#include "net/http.h"
#include "net/json.h"
#include "net/text.h"

namespace kelvora {
namespace {

constexpr const char* kAuctionsPath = "data.mods.itemlist.data.auctions";

// The two shapes of an auction link in result-page markup. A link opens at a word
// start with `lead` (then, in the first shape, one ASCII digit and `afterDigit`);
// each gap that follows holds at least one byte of anything, line breaks included,
// and ends at the first `closers[g]` after its first byte. Gap `hrefGap` is the
// item address.
struct LinkShape {
  std::string_view lead;
  bool digit;
  std::string_view afterDigit;
  std::array<std::string_view, 3> closers;
  size_t gaps;
  size_t hrefGap;
};

constexpr LinkShape kTraceNumShape{"a trace=\"auction\"  traceNum=\"",
                                   true,
                                   "\"  data-pid=\"",
                                   {"\" href=\"", "\" target=\"_blank\" class=\"s", "\">"},
                                   3,
                                   1};
constexpr LinkShape kTraceIdxShape{"a trace=\"auction\" traceidx=\"", false, "", {"\" href=\"", "\"", ""}, 2, 1};

bool IsWordByte(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

// Every link of `shape` in page order, each search going on from the end of the
// previous link, in one pass over the page. Taking the first closer of each gap
// finds the shortest link from an opening; and when an opening cannot be closed,
// no later one can either (its gaps would start later and can only end at the same
// closers or later), so the scan stops there. That keeps hostile markup that opens
// links by the thousand and never closes them linear in its size.
std::vector<std::string> ScanLinks(std::string_view page, const LinkShape& shape) {
  std::vector<std::string> found;
  size_t from = 0;
  for (;;) {
    const size_t start = page.find(shape.lead, from);
    if (start == std::string_view::npos) break;
    size_t pos = start + shape.lead.size();
    bool opens = start == 0 || !IsWordByte(static_cast<unsigned char>(page[start - 1]));
    if (opens && shape.digit) {
      opens = pos < page.size() && page[pos] >= '0' && page[pos] <= '9' &&
              page.substr(pos + 1).starts_with(shape.afterDigit);
      pos += 1 + shape.afterDigit.size();
    }
    if (!opens) {
      from = start + 1;
      continue;
    }
    size_t hrefBegin = 0;
    size_t hrefEnd = 0;
    bool closed = true;
    for (size_t g = 0; g < shape.gaps && closed; ++g) {
      const size_t close = page.find(shape.closers[g], pos + 1);
      closed = close != std::string_view::npos;
      if (closed && g == shape.hrefGap) {
        hrefBegin = pos;
        hrefEnd = close;
      }
      if (closed) pos = close + shape.closers[g].size();
    }
    if (!closed) break;
    found.emplace_back(page.substr(hrefBegin, hrefEnd - hrefBegin));
    from = pos;
  }
  return found;
}

}  // namespace

std::string PercentEncodeKeyword(const std::string& gbk) {
  static const char* const hex = "0123456789ABCDEF";
  std::string out;
  out.reserve(gbk.size() * 3);
  for (unsigned char c : gbk) {
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::vector<std::string> AuctionLinkAddresses(const std::string& page, AuctionLinkForm form) {
  return ScanLinks(page, form == AuctionLinkForm::TraceNum ? kTraceNumShape : kTraceIdxShape);
}

std::vector<std::string> SearchResultAddresses(const std::string& page) {
  std::vector<std::string> addresses;
  const int marker = Find(page, "g_page_config");
  if (marker != -1) {
    // The page script assigns one object literal: from its "{" to the "};" that ends it.
    const int open = Find(page, "{", marker);
    const int close = open == -1 ? -1 : Find(page, "};", open);
    if (close == -1) return addresses;
    JsonReader reader;
    reader.load("data", Mid(page, open, close - open + 1));
    const int32_t n = reader.getLength(kAuctionsPath);
    addresses.reserve(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i)
      addresses.push_back(
          reader.getText(std::string(kAuctionsPath) + "[" + NumberText(static_cast<int64_t>(i)) + "].detail_url"));
    // An empty auctions array means no results, whatever links the markup holds.
    return addresses;
  }
  addresses = AuctionLinkAddresses(page, AuctionLinkForm::TraceNum);
  if (addresses.empty()) addresses = AuctionLinkAddresses(page, AuctionLinkForm::TraceIdx);
  return addresses;
}

int ParseSearchResultPage(SearchRun& run, const std::string& page) {
  const std::vector<std::string> addresses = SearchResultAddresses(page);
  for (const std::string& address : addresses) {
    if (run.stopped()) break;
    SubmitItemAddress(run, address, SubmitVariant::ShortCaption);
  }
  return static_cast<int>(addresses.size());
}

bool IsBlankText(const std::string& gbk) {
  for (size_t i = 0; i < gbk.size(); ++i) {
    const char c = gbk[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    // The ideographic space (GBK A1 A1) that Chinese input methods type.
    if (c == '\xa1' && i + 1 < gbk.size() && gbk[i + 1] == '\xa1') {
      ++i;
      continue;
    }
    return false;
  }
  return true;
}

std::string KeywordRefusal(const std::string& keyword) {
  if (IsBlankText(keyword)) return SearchText(SearchTextId::NoKeyword);
  const std::string& suffix = CurrentEndpoints()->MARKET_DOMAIN_SUFFIX;
  // Case-sensitive on purpose: "HTTPS://" in capitals is searched as a keyword.
  if (Find(keyword, "http://") != -1 || Find(keyword, "https://") != -1 ||
      (!suffix.empty() && Find(keyword, suffix) != -1))
    return SearchText(SearchTextId::AddressAsKeyword);
  return {};
}

std::string KeywordSearchAddress(const std::string& keyword, int page) {
  return CurrentEndpoints()->SEARCH_SITE + "/search?q=" + PercentEncodeKeyword(keyword) +
         "&source=tbsy&style=list&tab=all&s=" + NumberText(static_cast<int64_t>(page - 1) * KEYWORD_PAGE_SIZE);
}

void KeywordSearchWorker(SearchRun& run, const std::string& keyword, const std::string& pagesText) {
  Host& host = run.host;
  host.setQueryEnabled(KEYWORD_QUERY_BUTTON, false);
  int32_t pages = ToInt32(pagesText);
  host.setStatus(SearchText(SearchTextId::Started));
  if (pages >= 100) pages = KEYWORD_MAX_PAGES;
  if (pages == 0) pages = 1;
  if (pages > 0) {
    run.askPages(pages);
    int failedInARow = 0;
    for (int page = 1; page <= pages && !run.stopped(); ++page) {
      const size_t failedBefore = run.failedPages.size();
      // A cookie shorter than two bytes: the stored marketplace cookie goes out.
      const std::string text = run.fetchResultPage(page, KeywordSearchAddress(keyword, page), "", "2");
      const int count = ParseSearchResultPage(run, text);
      run.pageDone();
      if (run.failedPages.size() > failedBefore) {
        // A page that did not come is not the end of the results: the next one is
        // asked, unless the marketplace is plainly unreachable.
        if (++failedInARow >= kResultPagesFailedInARow) break;
        continue;
      }
      failedInARow = 0;
      if (count == 0) break;
      host.startAccountRefresh();
    }
    host.setStatus(run.countEndText());
  } else {
    // A negative page count asks for nothing; the line still says the search ended.
    host.setStatus(run.countEndText() + Utf8ToGbk("（页数小于 0，未查询）"));
  }
  host.setQueryEnabled(KEYWORD_QUERY_BUTTON, true);
}

}  // namespace kelvora
