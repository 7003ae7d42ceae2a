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

// The item addresses of one result page, in page order: from the page's
// g_page_config object when it has one, else from its auction links.
std::vector<std::string> SearchResultAddresses(const std::string& page);
// Submits the addresses of one result page (short-caption variant) and returns how
// many the page holds. Stops submitting once the host asks to stop.
int ParseSearchResultPage(SearchRun& run, const std::string& page);

// The message refusing `keyword` (GBK), or empty text when it can be searched.
std::string KeywordRefusal(const std::string& keyword);
// SEARCH_SITE result page `page` (1-based) of `keyword`.
std::string KeywordSearchAddress(const std::string& keyword, int page);
// Pages the keyword's result pages until `pagesText` pages are done or a page
// yields nothing; the status line ends with the number of addresses found.
void KeywordSearchWorker(SearchRun& run, const std::string& keyword, const std::string& pagesText);

}  // namespace kelvora
