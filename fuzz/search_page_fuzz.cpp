// One keyword result page: its g_page_config object or its auction links. The host
// asks to stop, so the addresses are parsed but never fetched.
#include <string>

#include "fuzz_support.h"
#include "results/results_table.h"
#include "search/keyword_search.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kelvora;
  const std::string page(reinterpret_cast<const char*>(data), size);
  ResultsTable table;
  fuzz::StoppedHost host;
  SearchRun run(table, host);
  (void)ParseSearchResultPage(run, page);
  return 0;
}
