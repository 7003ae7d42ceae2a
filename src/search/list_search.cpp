#include "search/list_search.h"

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
    for (const std::string& line : lines) {
      if (run.stopped()) break;
      SubmitItemAddress(run, line, SubmitVariant::Numbered);
    }
  } else {
    run.askPages(static_cast<int>(lines.size()));
    for (const std::string& line : lines) {
      if (run.stopped()) break;
      host.startAccountRefresh();
      std::string address = line;
      std::string cookie = "2";  // the stored marketplace cookie
      ParseSearchResultPage(run, HttpFetch(address, "", cookie));
      run.pageDone();
    }
  }
  host.startAccountRefresh();
  host.setStatus(SearchText(SearchTextId::ListEnd));
  host.setQueryEnabled(LIST_QUERY_BUTTON, true);
}

}  // namespace kelvora
