// Item pages per second from kelvora-sim on loopback: persistent keep-alive
// connections, one per client thread, each request a full GBK item page behind
// the login wall.
//
//   build-sim/bench/sim_bench --benchmark_min_time=3
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <memory>
#include <string>
#include <vector>

// The bench links no test library; take the test helper that starts the simulator as source.
#include "support/sim_process.cpp"

namespace {

kelvora::test::SimProcess& Sim() {
  static kelvora::test::SimProcess sim({"--items", "2000"});
  return sim;
}

std::vector<std::string> ItemTargets() {
  // Ids of the first items, whatever their kind; most are full Taobao or Tmall pages.
  httplib::Client c("127.0.0.1", Sim().port());
  auto r = c.Get("/sim/catalogue.json?offset=0&limit=200");
  std::vector<std::string> targets;
  if (!r) return targets;
  const std::string& body = r->body;
  for (size_t p = 0; (p = body.find("\"id\":\"", p)) != std::string::npos;) {
    p += 6;
    targets.push_back("/item/item.htm?id=" + body.substr(p, body.find('"', p) - p));
  }
  return targets;
}

void BM_ItemPage(benchmark::State& state) {
  static const std::vector<std::string> targets = ItemTargets();
  if (!Sim().running() || targets.empty()) {
    state.SkipWithError("kelvora-sim did not start");
    return;
  }
  httplib::Client client("127.0.0.1", Sim().port());
  client.set_keep_alive(true);
  httplib::Headers headers = {{"Cookie", "cookie2=kelvorademo0000; _tb_token_=kelvora; t=kelvorademo"},
                              {"Connection", "Keep-Alive"}};
  size_t i = static_cast<size_t>(state.thread_index()) * 37;
  int64_t bytes = 0;
  for (auto _ : state) {
    auto r = client.Get(targets[i++ % targets.size()].c_str(), headers);
    if (!r || r->status != 200) {
      state.SkipWithError("request failed");
      break;
    }
    bytes += static_cast<int64_t>(r->body.size());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_ItemPage)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
