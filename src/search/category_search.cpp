#include "search/category_search.h"

#include "net/endpoints.h"
#include "net/http.h"
#include "net/json.h"
#include "net/text.h"
#include "search/shop_search.h"

namespace kelvora {
namespace {

std::string Index(int32_t i) { return "[" + NumberText(static_cast<int64_t>(i)) + "]"; }

// The category lists come from the item list itself, asked for one item.
std::string CategoryListAddress(int32_t cat) {
  return CurrentEndpoints()->LIST_SITE + "/itemlist/default.htm?_input_charset=utf-8&json=on&ratesumto=20&cat=" +
         NumberText(static_cast<int64_t>(cat)) + "&fromPage=adSearch&ratesumfrom=0&viewIndex=1&spm=" + "&pSize=1";
}

std::string FetchMarketPage(std::string address) {
  std::string cookie = "2";  // the stored marketplace cookie
  return HttpFetch(address, "", cookie);
}

void AddCatList(const JsonReader& reader, const std::string& listPath, std::vector<CategoryEntry>& out) {
  const int32_t n = reader.getLength(listPath);
  for (int32_t i = 0; i < n; ++i) {
    const std::string at = listPath + Index(i);
    out.push_back({reader.getText(at + ".name"), ToInt32(reader.getText(at + ".value"))});
  }
}

}  // namespace

std::vector<CategoryEntry> ParseCategoryAnswer(const std::string& answer, bool groupsAllowed) {
  JsonReader reader;
  reader.load("data", answer);
  std::vector<CategoryEntry> entries;
  if (groupsAllowed && reader.getText("data.cat.hasGroup") == "1") {
    // Groups are flattened in order; their names are not shown.
    const int32_t groups = reader.getLength("data.cat.catGroupList");
    for (int32_t a = 0; a < groups; ++a) AddCatList(reader, "data.cat.catGroupList" + Index(a) + ".catList", entries);
  } else {
    AddCatList(reader, "data.cat.catList", entries);
  }
  return entries;
}

std::vector<CategoryEntry> LoadTopCategories(Host& host) {
  host.setStatus(SearchText(SearchTextId::LoadingTopCategories));
  host.processEvents();
  const std::string answer = FetchMarketPage(CategoryListAddress(0));
  host.processEvents();
  std::vector<CategoryEntry> entries{{SearchText(SearchTextId::TopPlaceholder), 0}};
  for (CategoryEntry& e : ParseCategoryAnswer(answer, false)) entries.push_back(std::move(e));
  host.processEvents();
  host.setStatus({});
  return entries;
}

std::vector<CategoryEntry> LoadSubCategories(Host& host, int32_t topValue) {
  host.setStatus(SearchText(SearchTextId::LoadingSubCategories));
  host.processEvents();
  const std::string answer = FetchMarketPage(CategoryListAddress(topValue));
  host.processEvents();
  std::vector<CategoryEntry> entries{{SearchText(SearchTextId::SubPlaceholder), 0}};
  for (CategoryEntry& e : ParseCategoryAnswer(answer, true)) entries.push_back(std::move(e));
  host.setStatus({});
  return entries;
}

std::string CategoryRefusal(int topIndex) {
  return topIndex < 1 ? SearchText(SearchTextId::NoTopCategory) : std::string();
}

std::string CategoryPageAddress(const std::string& cat, const std::string& keywordPart, const std::string& spm,
                                int page) {
  // "fromPage" and "viewIndex" twice and the "&&" are what the list site's own form sends.
  return CurrentEndpoints()->LIST_SITE + "/itemlist/default.htm?_input_charset=utf-8&json=on&ratesumto=20&cat=" + cat +
         "&fromPage=adSearch&ratesumfrom=0&viewIndex=1" + keywordPart + "&fromPage=adSearch&&viewIndex=1&spm=" + spm +
         "&pSize=" + NumberText(static_cast<int64_t>(CATEGORY_PAGE_SIZE)) +
         "&data-key=s&data-value=" + NumberText(static_cast<int64_t>(page - 1) * CATEGORY_PAGE_SIZE) +
         "&module=page&style=list";
}

void ParseItemListJson(SearchRun& run, const std::string& answer) {
  if (Trim(answer).empty()) return;
  JsonReader reader;
  reader.load("data", answer);
  const int32_t n = reader.getLength("data.itemList");
  for (int32_t k = 0; k < n && !run.stopped(); ++k)
    SubmitItemAddress(run, reader.getText("data.itemList" + Index(k) + ".href"), SubmitVariant::Numbered);
}

void CategorySearchWorker(SearchRun& run, const CategoryQuery& query) {
  Host& host = run.host;
  // The keyword goes out as typed; only its blanks decide whether it is sent.
  const std::string keywordPart = Trim(query.keyword).empty() ? std::string() : "&q=" + EncodeUtf8Query(query.keyword);
  host.setStatus(SearchText(SearchTextId::FetchingList));
  const std::string spm = FetchSpmToken();
  const std::string cat = NumberText(static_cast<int64_t>(query.subValue ? *query.subValue : query.topValue));
  int32_t pages = ToInt32(query.pagesText);
  if (pages < 1) {
    pages = 1;
    if (query.setPagesText) query.setPagesText("1");
  }
  run.askPages(pages);
  for (int page = 1; page <= pages && !run.stopped(); ++page) {
    host.processEvents();
    ParseItemListJson(run, run.fetchResultPage(page, CategoryPageAddress(cat, keywordPart, spm, page), "", "2"));
    run.pageDone();
    host.startAccountRefresh();
  }
  host.setStatus(run.countEndText());
}

}  // namespace kelvora
