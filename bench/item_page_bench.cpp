// CPU time of reading one item page: the real Taobao item excerpt with its two
// omitted spans filled back to a page of 250 KB, analysed with a canned sib answer,
// and a Tmall page of the same size around the real Setup data with the real
// mdskip answer (no network, no lookup).
//
//   item_page_bench [--benchmark_min_time=2]
//   item_page_bench --benchmark_filter='Analyse(Fetched|Tmall)Page'
//     --benchmark_repetitions=9 --benchmark_report_aggregates_only=true
//   (Taobao beside Tmall: median, min and max of the repetitions)
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "lookup/item_page.h"
#include "net/codec.h"
#include "net/http.h"
#include "net/text.h"

namespace {

std::string ReadFile(const std::string& relative) {
  std::ifstream in(std::string(KELVORA_FIXTURES_DIR) + "/" + relative, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Shop decoration and description markup, mixed ASCII and Chinese, holding none
// of the markers the analysis looks for.
std::string Filler(size_t bytes) {
  const std::string chunk = kelvora::Utf8ToGbk(
      "<li class=\"item\"><a href=\"//item.taobao.com/item.htm?spm=a1z10.1&id=521234567890\" "
      "target=\"_blank\"><img src=\"//img.alicdn.com/bao/uploaded/i4/TB1x.jpg_240x240.jpg\" />"
      "<span class=\"title\">夏季新款 女装 连衣裙 修身显瘦 雪纺 碎花 长裙</span>"
      "<span class=\"price\"><em>¥</em>128.00</span></a></li>\n");
  std::string out;
  while (out.size() < bytes) out += chunk;
  return out;
}

struct Page {
  std::string text;
  std::string answer;
};

const Page& BenchPage() {
  static const Page page = [] {
    Page p;
    std::string html = kelvora::Utf8ToGbk(ReadFile("real/taobao-item-45383717461-excerpt.html"));
    const size_t target = 250 * 1024;
    const std::string first = "<!-- fixture excerpt: stored page characters";
    const std::string rest = "<!-- fixture excerpt: the rest of the stored page";
    size_t a = html.find(first);
    if (a != std::string::npos) html.insert(a, Filler(26 * 1024));
    size_t b = html.find(rest);
    if (b != std::string::npos && html.size() < target) html.insert(b, Filler(target - html.size()));
    p.text = kelvora::Trim(html);
    std::string sib = ReadFile("real/sib-answer-563661869008.txt");
    p.answer = "onSibRequestSuccess(" + sib.substr(0, sib.size() - 1) + ");";
    return p;
  }();
  return page;
}

void BM_AnalyseFetchedPage(benchmark::State& state) {
  const Page& page = BenchPage();
  const std::string url = "http://item.taobao.com/item.htm?id=45383717461";
  kelvora::SecondaryFetch fetch = [&](std::string&, const std::string&) { return page.answer; };
  size_t checked = 0;
  for (auto _ : state) {
    kelvora::ItemPageReading r = kelvora::AnalyseFetchedPage(page.text, url, false, fetch);
    checked += r.row.itemId.size();
    benchmark::DoNotOptimize(r);
  }
  if (checked != 11 * static_cast<size_t>(state.iterations())) state.SkipWithError("the page did not analyse");
  state.SetBytesProcessed(static_cast<int64_t>(page.text.size() * state.iterations()));
  state.counters["page_bytes"] = static_cast<double>(page.text.size());
}
// Medians with the fastest and slowest repetition, for the two marketplaces side
// by side: --benchmark_repetitions=9 --benchmark_report_aggregates_only=true.
benchmark::internal::Benchmark* WithSpread(benchmark::internal::Benchmark* b) {
  return b->Unit(benchmark::kMicrosecond)
      ->ComputeStatistics("min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); })
      ->ComputeStatistics("max", [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); });
}

BENCHMARK(BM_AnalyseFetchedPage)->Apply([](benchmark::internal::Benchmark* b) { WithSpread(b); });

// A Tmall page of 250 KB around the real Setup data (the seller form and the
// Setup at 26 KB, as the marketplace has them), analysed with the real mdskip
// answer: the page markers and the answer's three values.
void BM_AnalyseTmallPage(benchmark::State& state) {
  static const Page page = [] {
    Page p;
    const std::string setup = ReadFile("real/tmall-setup-540216229552.json");
    std::string html = kelvora::Utf8ToGbk("<html><head><title>美特斯邦威夹克-tmall.com天猫</title>") +
                       "<link title=\"tmall.com\xCC\xEC\xC3\xA8\" href=\"x\"></head><body>" + Filler(26 * 1024) +
                       "<input type=\"hidden\" name=\"seller_nickname\" value=\"" +
                       kelvora::Utf8ToGbk("美特斯邦威東門") + "\" />\n<script>TShop.Setup(" + setup + ");</script>";
    html += Filler(250 * 1024 - html.size()) + "</body></html>";
    p.text = html;
    p.answer = kelvora::Utf8ToGbk(ReadFile("real/mdskip-answer-20181020.txt"));
    return p;
  }();
  const std::string url = "http://detail.tmall.com/item.htm?id=540216229552";
  kelvora::SecondaryFetch fetch = [&](std::string&, const std::string&) { return page.answer; };
  for (auto _ : state) {
    kelvora::ItemPageReading r = kelvora::AnalyseFetchedPage(page.text, url, false, fetch);
    if (r.row.itemId != "540216229552" || r.row.sales != "67") state.SkipWithError("the page did not analyse");
    benchmark::DoNotOptimize(r);
  }
  state.counters["page_bytes"] = static_cast<double>(page.text.size());
}
BENCHMARK(BM_AnalyseTmallPage)->Apply([](benchmark::internal::Benchmark* b) { WithSpread(b); });

// The road's own work on one item page as it arrives: the body written out of the
// receive buffer, decoded to GBK by its declared charset, trimmed and analysed.
// Arg 0: declared GBK in the Content-Type, as the marketplace serves it; 1: declared
// only by the page's <meta charset="gbk">; 2: the same page in UTF-8.
void BM_RoadOfOneItemPage(benchmark::State& state) {
  const Page& page = BenchPage();
  static const std::string utf8 = kelvora::GbkToUtf8(page.text);
  const std::string& wire = state.range(0) == 2 ? utf8 : page.text;
  const char* contentType = state.range(0) == 0   ? "text/html;charset=GBK"
                            : state.range(0) == 1 ? "text/html"
                                                  : "text/html; charset=utf-8";
  const std::string url = "http://item.taobao.com/item.htm?id=45383717461";
  kelvora::SecondaryFetch fetch = [&](std::string&, const std::string&) { return page.answer; };
  size_t checked = 0;
  for (auto _ : state) {
    std::string received(wire.data(), wire.size());
    const std::string text = kelvora::DecodeBody(std::move(received), contentType);
    kelvora::ItemPageReading r = kelvora::AnalyseFetchedPage(kelvora::TrimView(text), url, false, fetch);
    checked += r.row.itemId.size();
    benchmark::DoNotOptimize(r);
  }
  if (checked != 11 * static_cast<size_t>(state.iterations())) state.SkipWithError("the page did not analyse");
  state.SetBytesProcessed(static_cast<int64_t>(wire.size() * state.iterations()));
}
BENCHMARK(BM_RoadOfOneItemPage)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

// A Tmall page of 1 MB whose seller inputs are never closed: the seller pattern
// must not turn into a search of every start against the rest of the page.
void BM_AnalyseUnclosedTmallSeller(benchmark::State& state) {
  std::string page = "<title>t</title><link title=\"tmall.com\xcc\xec\xc3\xa8\">";
  while (page.size() < 1024 * 1024) page += "<input type=\"hidden\" name=\"seller_nickname\" value=\"x";
  kelvora::SecondaryFetch fetch = [](std::string&, const std::string&) { return std::string(); };
  for (auto _ : state) {
    kelvora::ItemPageReading r = kelvora::AnalyseFetchedPage(page, "http://a/", false, fetch);
    if (!r.pageMalformed || !r.row.seller.empty()) state.SkipWithError("unexpected reading");
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_AnalyseUnclosedTmallSeller)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
