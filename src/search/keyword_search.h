#pragma once
// The keyword search, and the keyword encoder and result-page parser that other
// search modes share.
#include <string>
#include <vector>

#include "search/search_run.h"

namespace kelvora {

inline constexpr int KEYWORD_PAGE_SIZE = 44;
inline constexpr int KEYWORD_MAX_PAGES = 99;

// Letters and digits kept, every other byte (GBK bytes, blanks, "-._~") as %XX.
std::string PercentEncodeKeyword(const std::string& gbk);

// The two shapes of an auction link in result-page markup:
//   TraceNum: <a trace="auction"  traceNum="D"  data-pid="..." href="ADDRESS" target="_blank" class="s...">
//   TraceIdx: <a trace="auction" traceidx="..." href="ADDRESS"
// (two blanks before traceNum and before data-pid; D is one ASCII digit). The
// opening "a" starts a word: the byte before it is none of A-Z, a-z, 0-9 and "_".
// Each "..." holds at least one byte, line breaks included, and ends at the first
// closing text after its first byte; the next link is sought after the previous one.
enum class AuctionLinkForm { TraceNum, TraceIdx };
// The ADDRESS of every link of `form`, in page order. Linear in the page's size.
std::vector<std::string> AuctionLinkAddresses(const std::string& page, AuctionLinkForm form);

// The item addresses of one result page, in page order: from the page's
// g_page_config object when it has one, else from its auction links.
std::vector<std::string> SearchResultAddresses(const std::string& page);
// Submits the addresses of one result page (short-caption variant) and returns how
// many the page holds. Stops submitting once the host asks to stop.
int ParseSearchResultPage(SearchRun& run, const std::string& page);

// True when `gbk` holds nothing but blanks, tabs, line breaks and ideographic spaces.
bool IsBlankText(const std::string& gbk);
// The message refusing `keyword` (GBK), or empty text when it can be searched: an
// empty or blank keyword, or one that looks like an address.
std::string KeywordRefusal(const std::string& keyword);
// SEARCH_SITE result page `page` (1-based) of `keyword`.
std::string KeywordSearchAddress(const std::string& keyword, int page);
// Pages the keyword's result pages until `pagesText` pages are done or a page
// yields nothing; the status line ends with the number of rows submitted, whether
// the search was stopped and which result pages failed.
void KeywordSearchWorker(SearchRun& run, const std::string& keyword, const std::string& pagesText);

}  // namespace kelvora
