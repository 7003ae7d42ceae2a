#include "search/list_search.h"

#include "net/codec.h"
#include "net/http.h"
#include "net/text.h"
#include "search/keyword_search.h"

namespace kelvora {

std::vector<std::string> ListAddressLines(const std::string& text) {
  std::vector<std::string> lines = Split(text, "\r\n");
  for (std::string& line : lines) line = Trim(line);
  return lines;
}

void ListAddressSearch(SearchRun& run, const std::string& text, int modeIndex) {
  Host& host = run.host;
  if (text.empty()) {
    host.message(SearchText(SearchTextId::NoAddress));
    return;
  }
  host.setQueryEnabled(LIST_QUERY_BUTTON, false);
  host.setStatus(SearchText(SearchTextId::Started));
  const std::vector<std::string> lines = ListAddressLines(text);
  if (modeIndex != LIST_MODE_LIST_PAGES) {
    run.askPages(0);
    run.askItems(static_cast<int>(lines.size()));
    for (const std::string& line : lines) {
      if (run.stopped()) break;
      SubmitItemAddress(run, line, SubmitVariant::Numbered);
    }
  } else {
    run.askPages(static_cast<int>(lines.size()));
    int page = 0;
    for (const std::string& line : lines) {
      if (run.stopped()) break;
      host.startAccountRefresh();
      ++page;  // the line's number, so a failed one can be found in the box
      // A blank line is no page to fetch, nor one that failed. "2": the stored
      // marketplace cookie goes out.
      ParseSearchResultPage(run, line.empty() ? std::string() : run.fetchResultPage(page, line, "", "2"));
      run.pageDone();
    }
  }
  host.startAccountRefresh();
  host.setStatus(SearchText(SearchTextId::ListEnd) + Utf8ToGbk("共获取到 ") +
                 NumberText(static_cast<int64_t>(run.itemsDone)) + SearchText(SearchTextId::KeywordEndSuffix) +
                 run.endNote());
  host.setQueryEnabled(LIST_QUERY_BUTTON, true);
}

}  // namespace kelvora
