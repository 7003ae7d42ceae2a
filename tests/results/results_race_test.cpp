// A keyword search against kelvora-sim fills the results table on a worker while
// other threads read its rows, clear it, come and go as listeners and replace the
// marketplace cookie. Meant for every build; the thread-sanitizer build is where a
// data race among them fails the run.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "net/codec.h"
#include "net/json.h"
#include "net/settings.h"
#include "net/shared_state.h"
#include "net/text.h"
#include "results/results_table.h"
#include "search/keyword_search.h"
#include "support/quiet_host.h"
#include "support/sim_process.h"

namespace kelvora {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using test::QuietHost;

// Counts what it hears and notes a call that starts while another is under way.
struct CountingListener : ResultsTable::Listener {
  void rowsAppended(int32_t first, int32_t last) override {
    Enter();
    appended += last - first + 1;
    Leave();
  }
  void rowChanged(int32_t) override {
    Enter();
    ++changed;
    Leave();
  }
  void rowsCleared() override {
    Enter();
    ++cleared;
    Leave();
  }
  void Enter() {
    if (inside.fetch_add(1) != 0) ++overlaps;
    ++calls;
    std::this_thread::yield();  // widens the window a removal must wait through
  }
  void Leave() { --inside; }

  std::atomic<int> inside{0}, overlaps{0}, calls{0}, appended{0}, changed{0}, cleared{0};
};

// Every marketplace cookie the test swaps in: each one opens the simulator's login
// wall, and each is long enough that a torn copy could not pass for another.
std::vector<std::string> CookieTexts() {
  std::vector<std::string> texts;
  for (char c : {'a', 'b', 'c'})
    texts.push_back("cookie2=kelvorademo0000; _tb_token_=kelvora; t=" + std::string(1500 + (c - 'a') * 300, c));
  return texts;
}

// The Cookie headers of the marketplace requests in the simulator's request log.
std::vector<std::string> LoggedMarketCookies(const std::string& logPath, int& requests) {
  std::vector<std::string> cookies;
  requests = 0;
  std::ifstream in(logPath);
  for (std::string line; std::getline(in, line);) {
    JsonReader r;
    r.load("r", Utf8ToGbk(line));
    const std::string target = r.getText("r.target");
    if (target.rfind("/sim/", 0) == 0 || target.rfind("/service/", 0) == 0) continue;
    ++requests;
    std::string cookie = "(none)";
    for (int32_t h = 0; h < r.getLength("r.headers"); ++h) {
      const std::string at = "r.headers[" + std::to_string(h) + "]";
      if (r.getText(at + "[0]") == "Cookie") cookie = r.getText(at + "[1]");
    }
    cookies.push_back(cookie);
  }
  return cookies;
}

// What a row may look like at any moment: not yet filled (only its link, or not
// even that), or filled as a whole by the per-item driver for this very position.
std::string RowProblem(const RowCells& cells, int32_t row) {
  const std::string& index = cells[static_cast<size_t>(ResultColumn::Index)];
  const std::string& id = cells[static_cast<size_t>(ResultColumn::ItemId)];
  const std::string& link = cells[static_cast<size_t>(ResultColumn::Link)];
  const std::string& shop = cells[static_cast<size_t>(ResultColumn::ShopType)];
  if (index.empty()) return shop.empty() ? "" : "a shop type without an index";
  if (index != NumberText(static_cast<int64_t>(row))) return "index " + index + " at row " + std::to_string(row);
  if (shop != TMALL_SHOP_TEXT && shop != TAOBAO_SHOP_TEXT) return "filled row without a shop type";
  if (!id.empty() && id != "0" && link.find("id=" + id) == std::string::npos)
    return "item " + id + " beside link " + link;
  return "";
}

TEST(ResultsRaceTest, SearchOnAWorkerWhileOthersReadClearListenAndSwapTheCookie) {
  const std::string logPath =
      (fs::temp_directory_path() / ("kelvora-race-" + std::to_string(::getpid()) + ".jsonl")).string();
  fs::remove(logPath);
  test::SimProcess sim({"--log", logPath, "--now", "2014-11-18 18:00:00"});
  ASSERT_TRUE(sim.running());
  Settings settings;
  std::string error;
  ASSERT_TRUE(LoadSettingsFile(sim.configPath(), settings, error)) << error;
  ASSERT_TRUE(ApplySettings(settings, error)) << error;
  const std::vector<std::string> cookies = CookieTexts();
  SetMarketCookie(cookies[0]);
  SetServiceCookie("kv_auth=kelvorademo-session");

  ResultsTable table;
  CountingListener witness;  // stays for the whole run
  table.addListener(&witness);
  QuietHost host;
  SearchRun run(table, host);
  std::atomic<bool> searching{true};

  std::thread search([&] {
    KeywordSearchWorker(run, "kelvora demo", "2");  // two result pages: 88 items
    searching = false;
  });

  // Reads rows, single cells and whole snapshots; a row count never shrinks
  // unless a clear came in between.
  std::atomic<int> reads{0};
  std::vector<std::string> rowProblems;
  auto note = [&](const std::string& problem) {
    if (!problem.empty() && rowProblems.size() < 20) rowProblems.push_back(problem);
  };
  std::thread reader([&] {
    uint64_t lastEpoch = table.epoch();
    int32_t lastCount = 0;
    while (searching) {
      const uint64_t before = table.epoch();
      const int32_t count = table.rowCount();
      if (before == table.epoch() && before == lastEpoch && count < lastCount)
        note("count fell from " + std::to_string(lastCount) + " to " + std::to_string(count));
      lastEpoch = before;
      lastCount = count;
      for (int32_t r = count - 1; r >= 0 && r >= count - 8; --r) {
        note(RowProblem(table.row(r), r));
        table.cellText(r, ResultColumn::Title);
      }
      if (reads % 50 == 0) {
        const std::vector<RowCells> rows = table.snapshot();
        for (size_t r = 0; r < rows.size(); ++r) {
          const std::string problem = RowProblem(rows[r], static_cast<int32_t>(r));
          if (!problem.empty()) note("snapshot: " + problem);
        }
      }
      ++reads;
    }
  });

  // Clears the table whenever it has gathered a dozen rows, as a user pressing
  // 清空结果 during a search does.
  std::atomic<int> clears{0};
  std::thread clearer([&] {
    while (searching) {
      if (table.rowCount() >= 12 && clears < 5) {
        table.clearRows();
        ++clears;
      }
      std::this_thread::sleep_for(1ms);
    }
  });

  // Listeners come and go; once removeListener returns, no call is under way and
  // none follows, so the listener may be destroyed at once.
  std::atomic<int> churns{0}, lateCalls{0}, removedInside{0}, overlaps{0};
  std::thread churner([&] {
    while (searching) {
      auto listener = std::make_unique<CountingListener>();
      table.addListener(listener.get());
      const auto until = std::chrono::steady_clock::now() + 50ms;
      while (searching && listener->calls == 0 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
      table.removeListener(listener.get());
      if (listener->inside != 0) ++removedInside;
      const int calls = listener->calls;
      std::this_thread::sleep_for(200us);
      if (listener->calls != calls) ++lateCalls;
      overlaps += listener->overlaps;
      ++churns;
    }
  });

  // Swaps the marketplace cookie while the search's requests read it, and reads it
  // the way they do: always one whole text.
  std::atomic<int> swaps{0}, tornCookies{0};
  std::thread swapper([&] {
    const std::set<std::string> known(cookies.begin(), cookies.end());
    while (searching) {
      SetMarketCookie(cookies[static_cast<size_t>(swaps % 3)]);
      ++swaps;
      if (!known.count(MarketCookie())) ++tornCookies;
      std::this_thread::sleep_for(100us);
    }
  });

  search.join();
  reader.join();
  clearer.join();
  churner.join();
  swapper.join();
  table.removeListener(&witness);

  EXPECT_EQ(run.itemsDone, 88);
  EXPECT_GT(reads, 0);
  EXPECT_GT(churns, 0);
  EXPECT_GT(swaps, 1);
  EXPECT_EQ(rowProblems, std::vector<std::string>{});
  EXPECT_EQ(removedInside, 0) << "a listener was still being called after its removal returned";
  EXPECT_EQ(lateCalls, 0) << "a listener was called after its removal returned";
  EXPECT_EQ(overlaps + witness.overlaps, 0) << "a listener was called twice at once";
  EXPECT_EQ(tornCookies, 0);

  // Every appended row and every clear reached the listener that stayed.
  EXPECT_EQ(witness.appended, 88);
  EXPECT_EQ(witness.cleared, clears);
  EXPECT_GE(clears, 1);

  // What is left, the rows since the last clear, is whole.
  const int32_t left = table.rowCount();
  EXPECT_LE(left, 88);
  for (int32_t r = 0; r < left; ++r) {
    const RowCells cells = table.row(r);
    EXPECT_EQ(RowProblem(cells, r), "");
    EXPECT_EQ(cells[static_cast<size_t>(ResultColumn::Index)], NumberText(static_cast<int64_t>(r)));
    EXPECT_FALSE(cells[static_cast<size_t>(ResultColumn::Title)].empty()) << "row " << r;
  }

  // Each marketplace request sent one of the texts whole, and the swaps reached them.
  int requests = 0;
  const std::vector<std::string> sent = LoggedMarketCookies(logPath, requests);
  EXPECT_GE(requests, 2 + 88);
  std::set<std::string> distinct;
  for (const std::string& c : sent) {
    EXPECT_TRUE(c == cookies[0] || c == cookies[1] || c == cookies[2])
        << c.substr(0, 80) << " (" << c.size() << " bytes)";
    distinct.insert(c);
  }
  EXPECT_GE(distinct.size(), 2u);

  SetMarketCookie("");
  SetServiceCookie("");
  SetEndpoints(DefaultEndpoints());
  fs::remove(logPath);
}

}  // namespace
}  // namespace kelvora
