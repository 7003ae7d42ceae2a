#pragma once
// The shop search (a seller's items from the list site's JSON pages), and the
// UTF-8 query encoder and home-page token that the category search shares.
#include <string>

#include "search/search_run.h"

namespace kelvora {

inline constexpr int SHOP_PAGE_SIZE = 95;

// GBK text as percent-encoded UTF-8: "*,-./", digits, "@", letters and "_" kept.
std::string EncodeUtf8Query(const std::string& gbk);
// The value of the marketplace home page's hidden input "spm".
std::string FetchSpmToken();

// The message refusing the nickname box's text (GBK), or empty text.
std::string ShopRefusal(const std::string& nicknameBoxText);
// The list-site addresses of one page of `nickname`'s items: the request and its referer.
std::string ShopPageAddress(const std::string& nickname, int page);
std::string ShopPageReferer(const std::string& nickname);
// The JSON text inside a JSONP answer (line breaks removed first); empty when none.
std::string ShopAnswerJson(const std::string& answer);

// Clears the table, collects the list site's cookies, then requests `pagesText`
// pages of the trimmed nickname's items until one comes back empty.
void ShopSearch(SearchRun& run, const std::string& nicknameBoxText, const std::string& pagesText);

}  // namespace kelvora
