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

#include "search/keyword_search.h"
#include "net/text.h"
#include "search/shop_search.h"

namespace {

using kelvora::AuctionLinkForm;

const boost::regex& Pattern(AuctionLinkForm form) {
  static const boost::regex traceNum(
      "\\<a trace\\=\"auction\"  traceNum\\=\"\\d\"  data-pid\\=\"(?:.+?)\" href\\=\"(.+?)\" target\\=\"_blank\" "
      "class\\=\"s(.+?)\">",
      boost::regex::perl);
  static const boost::regex traceIdx("\\<a trace\\=\"auction\" traceidx\\=\"(?:.+?)\" href\\=\"(.+?)\"",
                                     boost::regex::perl);
  return form == AuctionLinkForm::TraceNum ? traceNum : traceIdx;
}

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
      for (boost::sregex_iterator it(page.begin(), page.end(), Pattern(form)), end; it != end; ++it)
        expected.push_back((*it)[1].str());
    } catch (const std::runtime_error&) {
      continue;
    }
    const std::vector<std::string> found = kelvora::AuctionLinkAddresses(page, form);
    if (found != expected)
      Differs(form == AuctionLinkForm::TraceNum ? "traceNum links" : "traceidx links", found.size(), expected.size());
  }

  // The shop answer, with its CR LF pairs dropped as the reader drops them (a pair
  // whose CR ends a double-byte character stays).
  static const boost::regex jsonp("json(.+?)\\((.+?)\\)$", boost::regex::perl);
  const std::string text = kelvora::ReplaceAll(page, "\r\n");
  try {
    boost::smatch m;
    const std::string expected = boost::regex_search(text, m, jsonp) ? m[2].str() : std::string();
    const std::string found = kelvora::ShopAnswerJson(page);
    if (found != expected) Differs("jsonp", found.size(), expected.size());
  } catch (const std::runtime_error&) {
  }
  return 0;
}
