#pragma once
// The category search: two levels of list-site categories loaded on demand, and
// the chosen category's JSON item list page by page.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "search/search_run.h"

namespace kelvora {

inline constexpr int CATEGORY_PAGE_SIZE = 40;

// One entry of a category drop-down: display text (GBK) and category id.
struct CategoryEntry {
  std::string name;
  int32_t value = 0;
  bool operator==(const CategoryEntry&) const = default;
};

// The first-level list: the placeholder "请选择一级分类" (value 0), then the
// categories of the cat=0 answer. Shows "获取一级分类中。。。" while it loads.
std::vector<CategoryEntry> LoadTopCategories(Host& host);
// The second-level list of `topValue`: the placeholder "请选择二级分类" (value 0),
// then the categories of the answer, grouped or flat.
std::vector<CategoryEntry> LoadSubCategories(Host& host, int32_t topValue);
// The categories of one category answer (without placeholder).
std::vector<CategoryEntry> ParseCategoryAnswer(const std::string& answer, bool groupsAllowed);

struct CategoryQuery {
  int32_t topValue = 0;             // the chosen first-level entry's value
  std::optional<int32_t> subValue;  // the chosen second-level entry's value; none when unchosen
  std::string keyword;              // as typed
  std::string pagesText;            // the page-count box
  // Writes the page-count box back when the count is corrected to "1".
  std::function<void(const std::string&)> setPagesText;
};

// The message refusing a query with the first-level list at `topIndex` (-1 when
// nothing is chosen, 0 the placeholder), or empty text.
std::string CategoryRefusal(int topIndex);
// The list address of page `page` (1-based).
std::string CategoryPageAddress(const std::string& cat, const std::string& keywordPart, const std::string& spm,
                                int page);
// Submits the addresses of one list answer (numbered variant).
void ParseItemListJson(SearchRun& run, const std::string& answer);
// Requests every asked page of the category, also after a page without items.
void CategorySearchWorker(SearchRun& run, const CategoryQuery& query);

}  // namespace kelvora
