#pragma once
// Turns one item page address into a filled row: page kind, title, seller, item id,
// and the secondary answer's sales, price, stock and location; then the lookup.
#include <functional>
#include <string>
#include <string_view>

#include "results/results_table.h"

namespace kelvora {

ResultRow AnalyseItemPage(std::string url, bool viaAltHost);

// The secondary request of an item page: GET of `address` with `referer`, body as GBK.
using SecondaryFetch = std::function<std::string(std::string& address, const std::string& referer)>;

// What the analysis of one fetched item page ends with.
struct ItemPageReading {
  ResultRow row;
  // Not empty when the page sends the item to the alternate item host: the address
  // to analyse instead.
  std::string altHostUrl;
  // True when the item id should now be looked up for its times.
  bool wantsTimes = false;
  // The page, or the secondary answer, arrived but not in the form of its kind:
  // the row holds what a failed request leaves, and the part is marked malformed.
  bool pageMalformed = false;
  bool secondaryMalformed = false;
};

// The analysis of an already fetched (and trimmed) item page at the normalised
// address `url`, making the secondary request through `fetch`. The alternate-host
// re-request and the lookup are left to the caller (AnalyseItemPage does both).
ItemPageReading AnalyseFetchedPage(std::string_view page, const std::string& url, bool viaAltHost,
                                   const SecondaryFetch& fetch);

std::string ReadSalesCount(const std::string& answer, bool isTmall);
std::string ReadPrice(const std::string& answer, bool isTmall);
std::string ReadLocation(const std::string& answer, bool isTmall);
std::string ReadStock(const std::string& answer);

// Whether a secondary answer has the whole form its reader expects: the JSON in
// its callback (onSibRequestSuccess, setMdskip) parses, or, for the older Taobao
// form, every line assigns a JSON value to a g_config member.
bool IsWholeSecondaryAnswer(std::string_view answer, bool isTmall);

}  // namespace kelvora
