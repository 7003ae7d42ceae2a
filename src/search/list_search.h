#pragma once
// The list-address search: pasted list-page or item-page addresses, one a line.
#include <string>
#include <vector>

#include "search/search_run.h"

namespace kelvora {

// Index of the mode drop-down: anything but ListPages means item pages.
inline constexpr int LIST_MODE_LIST_PAGES = 0;
inline constexpr int LIST_MODE_ITEM_PAGES = 1;

// The lines of the edit box's text (CR LF breaks), each trimmed. An empty line
// between two breaks counts; a break at the very end adds none.
std::vector<std::string> ListAddressLines(const std::string& text);

// Runs the search over `text`; an empty text shows "请输入网址" and does nothing.
// List pages are fetched once each and parsed as result pages; item pages go
// straight to the per-item driver.
void ListAddressSearch(SearchRun& run, const std::string& text, int modeIndex);

}  // namespace kelvora
