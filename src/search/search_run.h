#pragma once
// What every search mode shares: the context of one run, the hand-off of one item
// address to the results table, and the texts the modes show.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "results/host.h"
#include "results/results_table.h"

namespace kelvora {

// Query buttons by their control names (UTF-8 objectNames), as passed to
// Host::setQueryEnabled.
inline constexpr const char* KEYWORD_QUERY_BUTTON = "按钮1";
inline constexpr const char* LIST_QUERY_BUTTON = "按钮8";
inline constexpr const char* CATEGORY_QUERY_BUTTON = "按钮9";
inline constexpr const char* SHOP_QUERY_BUTTON = "按钮10";

// Texts of the search modes; SearchText() gives them as GBK.
enum class SearchTextId {
  Started,               // 操作已开始，请稍后。。。
  KeywordEndPrefix,      // 操作已结束.共获取到   (+ total + KeywordEndSuffix)
  KeywordEndSuffix,      //  条记录
  ListEnd,               // 操作已结束。。
  NoKeyword,             // 请输入关键词
  AddressAsKeyword,      // 请输入关键词。\r\n使用网址请转到高级搜索
  SortHint,              // 更多内容请使用  高级搜索  功能。...
  NoAddress,             // 请输入网址
  LoadingTopCategories,  // 获取一级分类中。。。
  LoadingSubCategories,  // 正在获取子类目请稍后。。
  TopPlaceholder,        // 请选择一级分类
  SubPlaceholderFirst,   // 请先选择一级分类
  SubPlaceholder,        // 请选择二级分类
  NoTopCategory,         // 请选择一级分类。
  FetchingList,          // 正在获取列表。。。
  NoNickname,            // 昵称不能为空
  Saved,                 // 已保存
  SaveFailed,            // 保存失败 请重试
};
const std::string& SearchText(SearchTextId id);

// After this many result pages in a row failed to come, a search that would end at
// an empty page gives up.
inline constexpr int kResultPagesFailedInARow = 3;

// A result page that could not be fetched.
struct FailedPage {
  int page = 0;         // 1-based number in its search
  std::string address;  // as requested (GBK)
  FailureKind kind = FailureKind::None;
};
// "第 2 页 ADDRESS（无应答）" (GBK), the line a failed page gets.
std::string FailedPageText(const FailedPage& page);

// One running search: where its rows go, whom it reports to, and how far it got.
struct SearchRun {
  SearchRun(ResultsTable& table, Host& host) : table(table), host(host) {}

  ResultsTable& table;
  Host& host;
  // The grab-delay box's text, read anew before every wait after an item of a
  // result page; unset reads as empty text (a 1 ms wait).
  std::function<std::string()> grabDelayText;
  // Called after the per-item driver has completed a row (the command line prints it).
  std::function<void(int32_t row)> rowDone;

  // Called once per result page that could not be fetched (the command line prints it).
  std::function<void(const FailedPage& page)> pageFailed;

  int pagesAsked = 0;
  int pagesDone = 0;
  // Rows this run submitted: what its end text counts.
  int itemsDone = 0;
  // Items the run will submit, when its address list says so beforehand (else 0).
  int itemsAsked = 0;
  std::vector<FailedPage> failedPages;

  bool stopped() const { return host.stopRequested(); }
  void askPages(int pages);
  void askItems(int items);
  Progress progress() const { return {pagesDone, pagesAsked, itemsDone, itemsAsked}; }
  void pageDone();
  // GET of result page `page` (1-based) through HttpFetch; a page whose request
  // failed (after the configured retries) is recorded and reads as empty text.
  std::string fetchResultPage(int page, std::string address, const std::string& referer, std::string cookie);
  // "（已停止；第 2、5 页获取失败）" and the like (GBK): empty when the run went to
  // its end and every page came.
  std::string endNote() const;
  // "操作已结束.共获取到 N 条记录" with N the rows submitted, then endNote() (GBK).
  std::string countEndText() const;
};

enum class SubmitVariant {
  ShortCaption,  // no caption; waits the grab delay + 1 ms
  Numbered,      // caption = row count + 1; waits 5 ms
};

// Appends a row holding `address` in 链接, runs the per-item driver on it, then waits.
void SubmitItemAddress(SearchRun& run, const std::string& address, SubmitVariant variant);

}  // namespace kelvora
