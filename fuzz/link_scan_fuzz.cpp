// The auction-link scanner of result pages against the Boost patterns it stands in
// for: any difference in the addresses found aborts. Inputs stop at 4 KB, where the
// patterns are still quick and never give up on their complexity limit.
#include <boost/regex.hpp>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "search/keyword_search.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return -1;  // keep such inputs out of the corpus
  const std::string page(reinterpret_cast<const char*>(data), size);
  for (AuctionLinkForm form : {AuctionLinkForm::TraceNum, AuctionLinkForm::TraceIdx}) {
    std::vector<std::string> expected;
    for (boost::sregex_iterator it(page.begin(), page.end(), Pattern(form)), end; it != end; ++it)
      expected.push_back((*it)[1].str());
    const std::vector<std::string> found = kelvora::AuctionLinkAddresses(page, form);
    if (found != expected) {
      std::fprintf(stderr, "form %d: the scanner found %zu links, the pattern %zu\n", static_cast<int>(form),
                   found.size(), expected.size());
      std::abort();
    }
  }
  return 0;
}
