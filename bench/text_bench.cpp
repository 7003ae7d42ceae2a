// Find and TextBetween over an item page of about 250 KB with the sought markers
// near its end, the worst case of the item-page analysis.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "net/codec.h"
#include "net/text.h"

namespace {

const std::string& ItemPage() {
  static const std::string page = [] {
    std::ifstream in(std::string(KELVORA_FIXTURES_DIR) + "/real/taobao-item-45383717461-excerpt.html",
                     std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    const std::string excerpt = kelvora::Utf8ToGbk(bytes.str());
    if (excerpt.empty()) {
      std::fprintf(stderr, "item page fixture missing\n");
      std::abort();
    }
    std::string text;
    while (text.size() + excerpt.size() < 250 * 1024) text += excerpt;
    // Pad with double-byte text so the page ends at 250 KB, then the markers.
    const std::string pad = kelvora::Utf8ToGbk("\xe5\xae\x9d\xe8\xb4\x9d");  // 宝贝
    while (text.size() < 250 * 1024 - 200) text += pad;
    text += "<script>var g_config={sellerNickEnc : '%C4%E3%BA%C3',";
    text += "delistTime : '1415107601378'};</script></html>";
    return text;
  }();
  return page;
}

void BM_FindNearEnd(benchmark::State& state) {
  const std::string& page = ItemPage();
  for (auto _ : state) benchmark::DoNotOptimize(kelvora::Find(page, "delistTime : '"));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(page.size()));
}
BENCHMARK(BM_FindNearEnd);

void BM_FindAbsent(benchmark::State& state) {
  const std::string& page = ItemPage();
  for (auto _ : state) benchmark::DoNotOptimize(kelvora::Find(page, "nothing-like-this"));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(page.size()));
}
BENCHMARK(BM_FindAbsent);

void BM_TextBetweenNearEnd(benchmark::State& state) {
  const std::string& page = ItemPage();
  for (auto _ : state) {
    std::string nick = kelvora::TextBetween(page, "sellerNickEnc : '", "'");
    benchmark::DoNotOptimize(nick);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(page.size()));
}
BENCHMARK(BM_TextBetweenNearEnd);

}  // namespace

BENCHMARK_MAIN();
