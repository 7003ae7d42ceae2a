#include "search/shop_search.h"

#include "net/codec.h"
#include "net/endpoints.h"
#include "net/http.h"
#include "net/json.h"
#include "net/text.h"
#include "session/login.h"

namespace kelvora {

std::string EncodeUtf8Query(const std::string& gbk) {
  static const char* const hex = "0123456789ABCDEF";
  const std::string utf8 = GbkToUtf8(gbk);
  std::string out;
  out.reserve(utf8.size() * 3);
  for (unsigned char c : utf8) {
    const bool kept = (c >= 0x2A && c <= 0x2F && c != 0x2B) || (c >= '0' && c <= '9') || c == '@' ||
                      (c >= 'A' && c <= 'Z') || c == '_' || (c >= 'a' && c <= 'z');
    if (kept) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string FetchSpmToken() {
  std::string address = CurrentEndpoints()->MARKET_HOME_URL;
  std::string cookie = "2";  // the stored marketplace cookie
  const std::string page = HttpFetch(address, "", cookie);
  return TextBetween(page, "<input type=\"hidden\" name=\"spm\" value=\"", "\"");
}

std::string ShopRefusal(const std::string& nicknameBoxText) {
  return Trim(nicknameBoxText).empty() ? SearchText(SearchTextId::NoNickname) : std::string();
}

std::string ShopPageAddress(const std::string& nickname, int page) {
  return CurrentEndpoints()->LIST_SITE +
         "/itemlist/default.htm?_input_charset=utf-8&json=on&atype=b&cat=0&nick=" + EncodeUtf8Query(nickname) +
         "&style=list&as=0&viewIndex=1&spm=a2106.ad1.1000572.d2&same_info=1&isnew=2&commend=all&pSize=" +
         NumberText(static_cast<int64_t>(SHOP_PAGE_SIZE)) +
         "&s=" + NumberText(static_cast<int64_t>(page - 1) * SHOP_PAGE_SIZE) +
         "&_ksTS=1421844656556_59&callback=jsonp60";
}

std::string ShopPageReferer(const std::string& nickname) {
  return CurrentEndpoints()->LIST_SITE +
         "/itemlist/default.htm?cat=0&viewIndex=1&as=0&spm=a2106.ad1.1000572.d2&commend=all&atype=b&style=list&nick=" +
         EncodeUtf8Query(nickname) + "&same_info=1&isnew=2&tid=0&_input_charset=utf-8";
}

std::string ShopAnswerJson(const std::string& answer) {
  // The list site breaks long JSONP answers into lines, even inside strings.
  const std::string text = ReplaceAll(answer, "\r\n");
  // "json", a callback name of at least one byte, "(", then the shortest stretch of
  // at least one byte up to a ")" that ends a line (a line break, CR, form feed or
  // the end of the text follows it). Taking the first "json" and the first "(" after
  // it is exact: a later start can only find the same closings or fewer. One pass,
  // however many unclosed openings an answer holds.
  const size_t start = text.find("json");
  if (start == std::string::npos) return {};
  const size_t open = text.find('(', start + 5);
  if (open == std::string::npos) return {};
  for (size_t close = text.find(')', open + 2); close != std::string::npos; close = text.find(')', close + 1)) {
    const char next = close + 1 < text.size() ? text[close + 1] : '\n';
    if (next == '\n' || next == '\r' || next == '\f') return text.substr(open + 1, close - open - 1);
  }
  return {};
}

void ShopSearch(SearchRun& run, const std::string& nicknameBoxText, const std::string& pagesText) {
  const std::string nickname = Trim(nicknameBoxText);
  run.table.clearRows();
  run.host.setStatus(SearchText(SearchTextId::Started));

  // Fresh list-site cookies; with none, the stored marketplace cookie goes out instead.
  const Endpoints endpoints = *CurrentEndpoints();
  const std::string cookies =
      CollectSetCookies(FetchResponseHeaders(endpoints.LIST_SITE + "/browse/ad_search.htm", endpoints.MARKET_HOME_URL));

  const int32_t pages = ToInt32(pagesText);
  run.askPages(pages);
  int failedInARow = 0;
  for (int page = 1; page <= pages && !run.stopped(); ++page) {
    const size_t failedBefore = run.failedPages.size();
    const std::string answer =
        run.fetchResultPage(page, ShopPageAddress(nickname, page), ShopPageReferer(nickname), cookies);
    if (run.failedPages.size() > failedBefore) {
      // A page that did not come does not mean the shop has no more items.
      run.pageDone();
      if (++failedInARow >= kResultPagesFailedInARow) break;
      continue;
    }
    failedInARow = 0;
    // A reader per page: a failed page must read as empty, not as the page before it.
    JsonReader reader;
    reader.load("data", ShopAnswerJson(answer));
    const int32_t n = reader.getLength("data.itemList");
    if (n == 0) break;
    for (int32_t k = 0; k < n && !run.stopped(); ++k)
      SubmitItemAddress(run, reader.getText("data.itemList[" + NumberText(static_cast<int64_t>(k)) + "].href"),
                        SubmitVariant::Numbered);
    run.pageDone();
  }
  run.host.setStatus(pages > 0 ? run.countEndText() : run.countEndText() + Utf8ToGbk("（页数小于 1，未查询）"));
}

}  // namespace kelvora
