#include "search/keyword_search.h"

#include <boost/regex.hpp>

#include "net/endpoints.h"
#include "net/http.h"
#include "net/json.h"
#include "net/text.h"

namespace kelvora {
namespace {

constexpr const char* kAuctionsPath = "data.mods.itemlist.data.auctions";

// The result pages' link patterns, kept as the page markup writes them with
// apostrophes for its double quotation marks.
boost::regex AuctionLinkPattern(std::string stored) {
  for (char& c : stored)
    if (c == '\'') c = '"';
  return boost::regex(stored, boost::regex::perl);
}

const boost::regex& FirstLinkPattern() {
  static const boost::regex re = AuctionLinkPattern(
      "\\<a trace\\='auction'  traceNum\\='\\d'  data-pid\\='(?:.+?)' href\\='(.+?)' target\\='_blank' "
      "class\\='s(.+?)'>");
  return re;
}

const boost::regex& SecondLinkPattern() {
  static const boost::regex re =
      AuctionLinkPattern("\\<a trace\\='auction' traceidx\\='(?:.+?)' href\\='(.+?)'");
  return re;
}

// Group 1 of every match; a search that exhausts the engine yields what it found
// before that.
std::vector<std::string> AllFirstGroups(const std::string& text, const boost::regex& re) {
  std::vector<std::string> found;
  try {
    for (boost::sregex_iterator it(text.begin(), text.end(), re), end; it != end; ++it)
      found.push_back((*it)[1].str());
  } catch (const std::exception&) {
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
  addresses = AllFirstGroups(page, FirstLinkPattern());
  if (addresses.empty()) addresses = AllFirstGroups(page, SecondLinkPattern());
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

std::string KeywordRefusal(const std::string& keyword) {
  if (keyword.empty()) return SearchText(SearchTextId::NoKeyword);
  const std::string& suffix = CurrentEndpoints()->MARKET_DOMAIN_SUFFIX;
  // Case-sensitive on purpose: "HTTPS://" in capitals is searched as a keyword.
  if (Find(keyword, "http://") != -1 || Find(keyword, "https://") != -1 ||
      (!suffix.empty() && Find(keyword, suffix) != -1))
    return SearchText(SearchTextId::AddressAsKeyword);
  return {};
}

std::string KeywordSearchAddress(const std::string& keyword, int page) {
  return CurrentEndpoints()->SEARCH_SITE + "/search?q=" + PercentEncodeKeyword(keyword) +
         "&source=tbsy&style=list&tab=all&s=" +
         NumberText(static_cast<int64_t>(page - 1) * KEYWORD_PAGE_SIZE);
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
    int32_t total = 0;
    for (int page = 1; page <= pages && !run.stopped(); ++page) {
      std::string address = KeywordSearchAddress(keyword, page);
      std::string cookie = "2";  // shorter than two bytes: the stored marketplace cookie goes out
      const std::string text = HttpFetch(address, "", cookie);
      const int count = ParseSearchResultPage(run, text);
      total += count;
      run.pageDone();
      if (count == 0) break;
      host.startAccountRefresh();
    }
    host.setStatus(SearchText(SearchTextId::KeywordEndPrefix) + NumberText(static_cast<int64_t>(total)) +
                   SearchText(SearchTextId::KeywordEndSuffix));
  }
  // A negative page count requests nothing and leaves the start text in place.
  host.setQueryEnabled(KEYWORD_QUERY_BUTTON, true);
}

}  // namespace kelvora
