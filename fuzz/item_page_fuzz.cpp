// The analysis of a fetched item page. Part 0 is the page, part 1 the secondary
// answer the stub returns, part 2 (if any) the page address.
#include <string>

#include "fuzz_support.h"
#include "lookup/item_page.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kelvora;
  const auto parts = fuzz::SplitParts(data, size);
  const std::string secondary = fuzz::Part(parts, 1);
  std::string url = fuzz::Part(parts, 2);
  if (url.empty()) url = "https://item.taobao.com/item.htm?id=520223599219";
  const bool viaAltHost = size > 0 && (data[0] & 1);
  const SecondaryFetch fetch = [&secondary](std::string& address, const std::string&) {
    (void)address;
    return secondary;
  };
  const ItemPageReading reading = AnalyseFetchedPage(parts[0], url, viaAltHost, fetch);
  (void)reading;
  for (bool isTmall : {false, true}) {
    (void)ReadSalesCount(secondary, isTmall);
    (void)ReadPrice(secondary, isTmall);
    (void)ReadLocation(secondary, isTmall);
  }
  (void)ReadStock(secondary);
  return 0;
}
