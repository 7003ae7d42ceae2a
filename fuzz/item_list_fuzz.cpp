// The list site's answers: the category list JSON and the shop's JSONP, read as the
// searches read them (addresses parsed, never fetched: the host asks to stop).
#include <string>

#include "fuzz_support.h"
#include "net/json.h"
#include "net/text.h"
#include "results/results_table.h"
#include "search/category_search.h"
#include "search/shop_search.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kelvora;
  const std::string answer(reinterpret_cast<const char*>(data), size);
  ResultsTable table;
  fuzz::StoppedHost host;
  SearchRun run(table, host);
  ParseItemListJson(run, answer);
  const std::string json = ShopAnswerJson(answer);
  for (const std::string* text : {&answer, &json}) {
    JsonReader reader;
    reader.load("data", *text);
    const int32_t n = reader.getLength("data.itemList");
    for (int32_t k = 0; k < n && k < 64; ++k)
      (void)reader.getText("data.itemList[" + NumberText(static_cast<int64_t>(k)) + "].href");
  }
  return 0;
}
