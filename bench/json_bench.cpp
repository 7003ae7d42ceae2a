// Loading a keyword-search answer of about 1 MB and reading the item addresses
// of one page (44 items), as the keyword search does for every result page.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "net/codec.h"
#include "net/json.h"

namespace {

// A search answer shaped like the marketplace's: data.mods.itemlist.data.auctions
// with the members the search reads, Chinese titles and places written raw (GBK)
// and some text \u-escaped. Deterministic.
std::string SearchAnswer(size_t targetBytes) {
  const char* places[] = {"广东 广州", "浙江 杭州", "上海", "江苏 苏州", "福建 泉州"};
  const char* words[] = {"夏季", "新款", "男士", "纯棉", "短袖", "T恤", "宽松", "休闲", "韩版", "潮流"};
  std::string utf8 =
      R"({"pageName":"mainsrp","mods":{"itemlist":{"status":"show","data":{"postFeeText":"运费","auctions":[)";
  uint32_t seed = 12345;
  auto next = [&] { return seed = seed * 1103515245u + 12345u; };
  for (int i = 0; utf8.size() < targetBytes; ++i) {
    if (i) utf8 += ',';
    uint64_t nid = 520000000000ull + next() % 100000000ull;
    std::string title;
    for (int w = 0; w < 8; ++w) title += words[next() % 10];
    const char* place = places[next() % 5];
    utf8 += R"({"p4p":1,"nid":")" + std::to_string(nid) + R"(","category":"50000436","pid":"",)";
    utf8 += R"("title":")" + title + R"(<span class=H>\u7537\u88c5<\/span>",)";
    utf8 += R"("raw_title":")" + title + R"(","pic_url":"\/\/g-search1.alicdn.com\/img\/bao\/uploaded\/i4\/i2\/TB1)" +
            std::to_string(next()) + R"(.jpg",)";
    utf8 += R"("detail_url":"\/\/item.taobao.com\/item.htm?id=)" + std::to_string(nid) + R"(&ns=1&abbucket=)" +
            std::to_string(next() % 20) + R"(",)";
    utf8 += R"("view_price":")" + std::to_string(next() % 500) + "." + std::to_string(next() % 90 + 10) + R"(",)";
    utf8 += R"("view_fee":"0.00","item_loc":")" + std::string(place) + R"(","view_sales":")" +
            std::to_string(next() % 10000) + R"(人付款","comment_count":")" + std::to_string(next() % 5000) + R"(",)";
    utf8 += R"("user_id":")" + std::to_string(next()) + R"(","nick":"旗舰店)" + std::to_string(i) + R"(",)";
    utf8 += R"("shopcard":{"levelClasses":[{"levelClass":"icon-supple-level-jinguan"}],"isTmall":)" +
            std::string(next() % 2 ? "true" : "false") + R"(,"delivery":[489,1,)" + std::to_string(next() % 3000) +
            R"(],"description":[492,1,1203],"service":[489,1,952],"encryptedUserId":"UvFxbvGgYMCcuvQTT"},)";
    utf8 += R"("icon":[{"title":"尚天猫，就购了","dom_class":"icon-service-tianmao","position":"1","show":"1"}],)";
    utf8 += R"("comment_url":"\/\/item.taobao.com\/item.htm?id=)" + std::to_string(nid) +
            R"(&on_comment=1","shopLink":"\/\/store.taobao.com\/shop\/view_shop.htm?user_number_id=)" +
            std::to_string(next()) + R"("})";
  }
  utf8 += R"(]},"pager":{"pageSize":44,"totalPage":100,"currentPage":1}}}})";
  return kelvora::Utf8ToGbk(utf8);
}

const std::string& Answer() {
  static const std::string answer = SearchAnswer(1 << 20);
  return answer;
}

std::vector<std::string> Paths() {
  std::vector<std::string> paths;
  for (int i = 0; i < 44; ++i)
    paths.push_back("data.mods.itemlist.data.auctions[" + std::to_string(i) + "].detail_url");
  return paths;
}

void BM_Load(benchmark::State& state) {
  const std::string& json = Answer();
  for (auto _ : state) {
    kelvora::JsonReader reader;
    reader.load("data", json);
    benchmark::DoNotOptimize(reader);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * json.size()));
  state.counters["auctions"] = [&] {
    kelvora::JsonReader reader;
    reader.load("data", json);
    return reader.getLength("data.mods.itemlist.data.auctions");
  }();
}
BENCHMARK(BM_Load)->Unit(benchmark::kMillisecond);

void BM_LoadAndRead44(benchmark::State& state) {
  const std::string& json = Answer();
  const std::vector<std::string> paths = Paths();
  for (auto _ : state) {
    kelvora::JsonReader reader;
    reader.load("data", json);
    for (const auto& path : paths) benchmark::DoNotOptimize(reader.getText(path));
  }
}
BENCHMARK(BM_LoadAndRead44)->Unit(benchmark::kMillisecond);

void BM_Read44(benchmark::State& state) {
  kelvora::JsonReader reader;
  reader.load("data", Answer());
  const std::vector<std::string> paths = Paths();
  for (auto _ : state)
    for (const auto& path : paths) benchmark::DoNotOptimize(reader.getText(path));
}
BENCHMARK(BM_Read44)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
