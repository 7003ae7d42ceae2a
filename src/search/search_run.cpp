#include "search/search_run.h"

#include <algorithm>

#include "lookup/lookup_service.h"
#include "net/codec.h"
#include "net/http.h"
#include "net/text.h"

namespace kelvora {

const std::string& SearchText(SearchTextId id) {
  static const std::string texts[] = {
      Utf8ToGbk("操作已开始，请稍后。。。"),
      Utf8ToGbk("操作已结束.共获取到 "),
      Utf8ToGbk(" 条记录"),
      Utf8ToGbk("操作已结束。。"),
      Utf8ToGbk("请输入关键词"),
      Utf8ToGbk("请输入关键词。\r\n使用网址请转到高级搜索"),
      Utf8ToGbk("更多内容请使用  高级搜索  功能。并使用其中的 向导 功能\r\n方法请点击 查询 按钮上面的教程"),
      Utf8ToGbk("请输入网址"),
      Utf8ToGbk("获取一级分类中。。。"),
      Utf8ToGbk("正在获取子类目请稍后。。"),
      Utf8ToGbk("请选择一级分类"),
      Utf8ToGbk("请先选择一级分类"),
      Utf8ToGbk("请选择二级分类"),
      Utf8ToGbk("请选择一级分类。"),
      Utf8ToGbk("正在获取列表。。。"),
      Utf8ToGbk("昵称不能为空"),
      Utf8ToGbk("已保存"),
      Utf8ToGbk("保存失败 请重试"),
  };
  return texts[static_cast<int>(id)];
}

void SearchRun::askPages(int pages) {
  pagesAsked = std::max(pages, 0);
  pagesDone = 0;
  host.setProgress(progress());
}

void SearchRun::askItems(int items) {
  itemsAsked = std::max(items, 0);
  host.setProgress(progress());
}

void SearchRun::pageDone() {
  ++pagesDone;
  host.setProgress(progress());
}

std::string SearchRun::fetchResultPage(int page, std::string address, const std::string& referer, std::string cookie) {
  HttpReport report;
  std::string text = HttpFetch(address, referer, cookie, &report);
  if (report.failure == FailureKind::None) return text;
  // A page stopped by the user has not failed: the end text says it was stopped.
  if (stopped()) return {};
  FailedPage failed{page, address, report.failure};
  if (pageFailed) pageFailed(failed);
  failedPages.push_back(std::move(failed));
  return {};
}

std::string FailedPageText(const FailedPage& page) {
  return Utf8ToGbk("第 ") + NumberText(static_cast<int64_t>(page.page)) + Utf8ToGbk(" 页 ") + page.address +
         Utf8ToGbk("（") + FailureKindLabel(page.kind) + Utf8ToGbk("）");
}

std::string SearchRun::endNote() const {
  std::string note;
  if (stopped()) note = Utf8ToGbk("已停止");
  if (!failedPages.empty()) {
    if (!note.empty()) note += Utf8ToGbk("；");
    note += Utf8ToGbk("第 ");
    const size_t shown = std::min<size_t>(failedPages.size(), 5);
    for (size_t i = 0; i < shown; ++i) {
      if (i > 0) note += Utf8ToGbk("、");
      note += NumberText(static_cast<int64_t>(failedPages[i].page));
    }
    if (shown < failedPages.size()) note += Utf8ToGbk(" 等 ") + NumberText(static_cast<int64_t>(failedPages.size()));
    note += Utf8ToGbk(" 页获取失败");
  }
  return note.empty() ? note : Utf8ToGbk("（") + note + Utf8ToGbk("）");
}

std::string SearchRun::countEndText() const {
  return SearchText(SearchTextId::KeywordEndPrefix) + NumberText(static_cast<int64_t>(itemsDone)) +
         SearchText(SearchTextId::KeywordEndSuffix) + endNote();
}

void SubmitItemAddress(SearchRun& run, const std::string& address, SubmitVariant variant) {
  const std::string caption =
      variant == SubmitVariant::Numbered ? NumberText(static_cast<int64_t>(run.table.rowCount()) + 1) : std::string();
  const int32_t row = run.table.addRow(caption);
  run.table.setCell(row, ResultColumn::Link, address);
  FillResultRow(run.table, row, run.host);
  ++run.itemsDone;
  run.host.setProgress(run.progress());
  if (run.rowDone) run.rowDone(row);
  if (variant == SubmitVariant::ShortCaption) {
    // The box is read for every item, so a change takes effect at once.
    const int64_t delay = static_cast<int64_t>(ToInt32(run.grabDelayText ? run.grabDelayText() : std::string())) + 1;
    run.host.pause(static_cast<int>(std::clamp<int64_t>(delay, 0, 1 << 30)));
  } else {
    run.host.pause(5);
  }
}

}  // namespace kelvora
