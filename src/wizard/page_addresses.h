#pragma once
// What the advanced search wizard builds: the keyword search address it opens,
// and one list-page address per result page of a page range.
#include <cstdint>
#include <string>
#include <vector>

#include "net/datetime.h"

namespace kelvora {

// A range may name at most this many pages in all; the marketplace shows 100.
inline constexpr size_t WIZARD_MAX_PAGES = 10000;

// SEARCH_SITE search address of `keyword` (GBK) with the home page's spm token and
// the UTC+8 date of `today` as eight digits.
std::string WizardSearchAddress(const std::string& keyword, const std::string& spm, DateTime today);
// The same with the spm token fetched from the home page and today's UTC+8 date.
std::string BuildWizardSearchAddress(const std::string& keyword);

// Full-width ASCII forms (digits, comma, minus ...) and the full-width blank as ASCII.
std::string FoldFullWidthForms(const std::string& gbk);
// Page numbers of a page text such as "1-3,5": single pages and ranges, in the order
// written, duplicates kept; at most WIZARD_MAX_PAGES pages.
std::vector<int32_t> ParsePageSpec(const std::string& text);
// The first "?" of `listAddress` becomes "?s=OFFSET&"; an address without "?" stays.
std::string BuildPageAddress(const std::string& listAddress, int32_t page);
// The page boxes' texts joined by "-", folded and parsed: one address a page.
std::vector<std::string> WizardPageAddresses(const std::string& firstPage, const std::string& lastPage,
                                             const std::string& listAddress);

}  // namespace kelvora
