// The hand-written readers of search answers against the Boost patterns they stand
// in for: the auction-link scanner of result pages and the shop's JSONP reader. Any
// difference aborts. Inputs stop at 4 KB, where the patterns are still quick; an
// input on which a pattern gives up (its complexity limit) is not compared.
#include <boost/regex.hpp>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "net/text.h"
#include "search/keyword_search.h"
#include "search/shop_search.h"
#include "support/search_patterns.h"

namespace {

using kelvora::AuctionLinkForm;

[[noreturn]] void Differs(const char* what, size_t found, size_t expected) {
  std::fprintf(stderr, "%s: the reader found %zu, the pattern %zu\n", what, found, expected);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return -1;  // keep such inputs out of the corpus
  const std::string page(reinterpret_cast<const char*>(data), size);
  for (AuctionLinkForm form : {AuctionLinkForm::TraceNum, AuctionLinkForm::TraceIdx}) {
    std::vector<std::string> expected;
    try {
      expected = kelvora::test::PatternLinks(page, form);
    } catch (const std::runtime_error&) {
      continue;
    }
    const std::vector<std::string> found = kelvora::AuctionLinkAddresses(page, form);
    if (found != expected)
      Differs(form == AuctionLinkForm::TraceNum ? "traceNum links" : "traceidx links", found.size(), expected.size());
  }

  // The shop answer, its CR LF pairs dropped as the reader drops them.
  try {
    const std::string expected = kelvora::test::PatternJsonp(page);
    const std::string found = kelvora::ShopAnswerJson(page);
    if (found != expected) Differs("jsonp", found.size(), expected.size());
  } catch (const std::runtime_error&) {
  }
  return 0;
}
