#include "wizard/page_addresses.h"

#include <cstdio>

#include "net/endpoints.h"
#include "net/text.h"
#include "search/keyword_search.h"
#include "search/shop_search.h"

namespace kelvora {

std::string WizardSearchAddress(const std::string& keyword, const std::string& spm, DateTime today) {
  const DateParts d = SplitDateTime(today);
  char date[16];
  std::snprintf(date, sizeof date, "%04d%02d%02d", d.year, d.month, d.day);
  return CurrentEndpoints()->SEARCH_SITE + "/search?q=" + PercentEncodeKeyword(keyword) +
         "&commend=all&ssid=s5-e&search_type=item&sourceId=tb.index&spm=" + spm + "&initiative_id=tbindexz_" + date;
}

std::string BuildWizardSearchAddress(const std::string& keyword) {
  // The token first, then the date: the date is the one when the token came. It is
  // the marketplace's date, whatever zone the computer is set to.
  const std::string spm = FetchSpmToken();
  return WizardSearchAddress(keyword, spm, NowUtc8());
}

std::string FoldFullWidthForms(const std::string& gbk) {
  std::string out;
  out.reserve(gbk.size());
  for (size_t i = 0; i < gbk.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(gbk[i]);
    if (c < 0x80 || i + 1 >= gbk.size()) {
      out += gbk[i];
      continue;
    }
    const unsigned char t = static_cast<unsigned char>(gbk[i + 1]);
    if (c == 0xA3 && t >= 0xA1 && t <= 0xFE)
      out += static_cast<char>(t - 0x80);  // ！ .. ～
    else if (c == 0xA1 && t == 0xA1)
      out += ' ';  // the full-width blank
    else {
      out += gbk[i];
      out += gbk[i + 1];
    }
    ++i;
  }
  return out;
}

std::vector<int32_t> ParsePageSpec(const std::string& text) {
  std::vector<int32_t> pages;
  auto add = [&](int32_t page) {
    if (pages.size() >= WIZARD_MAX_PAGES) return false;
    pages.push_back(page);
    return true;
  };
  for (const std::string& piece : Split(text, ",")) {
    const int32_t single = ToInt32(piece);
    if (single > 0 && Find(piece, "-") == -1) {
      if (!add(single)) break;
      continue;
    }
    if (piece == "0") continue;
    const std::vector<std::string> parts = Split(piece, "-");
    if (parts.size() < 2) continue;
    const int32_t a = ToInt32(parts[0]), b = ToInt32(parts[1]);
    if (a < 1 || b < 1) continue;
    // A range is bounded by the page limit, so "1-2000000000" cannot exhaust memory.
    for (int64_t p = a; p <= b; ++p)
      if (!add(static_cast<int32_t>(p))) return pages;
  }
  return pages;
}

std::string BuildPageAddress(const std::string& listAddress, int32_t page) {
  const size_t mark = listAddress.find('?');
  if (mark == std::string::npos) return listAddress;
  const int64_t offset = (static_cast<int64_t>(page) - 1) * 44;
  return listAddress.substr(0, mark) + "?s=" + NumberText(offset) + "&" + listAddress.substr(mark + 1);
}

std::vector<std::string> WizardPageAddresses(const std::string& firstPage, const std::string& lastPage,
                                             const std::string& listAddress) {
  const std::string address = Trim(listAddress);
  std::vector<std::string> out;
  for (int32_t page : ParsePageSpec(FoldFullWidthForms(firstPage + "-" + lastPage)))
    out.push_back(BuildPageAddress(address, page));
  return out;
}

}  // namespace kelvora
