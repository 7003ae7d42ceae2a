// Wall time of a keyword search of three result pages (132 items) against
// kelvora-sim, next to a bare libcurl loop that replays the same requests with the
// same headers, one easy handle per request. Prints the ratio search / bare.
//
//   search_bench [--rounds R]
#include <curl/curl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "net/json.h"
#include "net/settings.h"
#include "net/shared_state.h"
#include "results/host.h"
#include "results/results_table.h"
#include "search/keyword_search.h"
#include "session/login.h"

namespace {

using Clock = std::chrono::steady_clock;

// Sleeps its waits for real, as the command line does, and adds them up.
class TimingHost : public kelvora::Host {
 public:
  void setStatus(const std::string&) override {}
  void setRowCountLabel(const std::string&) override {}
  void message(const std::string&) override {}
  void pause(int ms) override {
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    paused += Clock::now() - t0;
  }
  bool stopRequested() const override { return false; }
  Clock::duration paused{};
};

struct Sim {
  pid_t pid = -1;
  std::string origin;  // "http://127.0.0.1:PORT"
  std::filesystem::path dir;
  std::filesystem::path config() const { return dir / "sim.ini"; }
  std::filesystem::path log() const { return dir / "sim.log"; }

  bool start() {
    char pattern[] = "/tmp/search_bench.XXXXXX";
    if (!mkdtemp(pattern)) return false;
    dir = pattern;
    int out[2];
    if (pipe(out) != 0) return false;
    const std::string sim = std::string(KELVORA_BIN_DIR) + "/kelvora-sim";
    const std::string config = this->config().string(), logFile = log().string();
    pid = fork();
    if (pid == 0) {
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      execl(sim.c_str(), sim.c_str(), "--port", "0", "--write-config", config.c_str(), "--log", logFile.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    const std::string marker = "listening on ";
    const size_t at = line.find(marker);
    if (at == std::string::npos) return false;
    origin = line.substr(at + marker.size());
    while (!origin.empty() && origin.back() == '/') origin.pop_back();
    return true;
  }
  ~Sim() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
    if (!dir.empty()) std::filesystem::remove_all(dir);
  }
};

struct Request {
  std::string target;
  std::vector<std::string> headers;  // "Name: value"
};

std::vector<Request> LoggedRequests(const std::filesystem::path& log, size_t offset) {
  std::ifstream in(log, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::vector<Request> requests;
  for (std::string line; std::getline(in, line);) {
    kelvora::JsonReader entry;
    entry.load("e", line);
    Request r{entry.getText("e.target"), {}};
    if (r.target.empty() || entry.getText("e.method") != "GET") continue;
    for (int i = 0; i < entry.getLength("e.headers"); ++i) {
      const std::string at = "e.headers[" + std::to_string(i) + "]";
      const std::string name = entry.getText(at + "[0]"), value = entry.getText(at + "[1]");
      // libcurl writes Host itself; an empty value is sent as "Name;".
      if (name.empty() || name == "Host") continue;
      r.headers.push_back(value.empty() ? name + ";" : name + ": " + value);
    }
    requests.push_back(std::move(r));
  }
  return requests;
}

void BareLoop(const std::string& origin, const std::vector<Request>& requests) {
  for (const Request& r : requests) {
    CURL* curl = curl_easy_init();
    curl_slist* list = nullptr;
    for (const std::string& h : r.headers) list = curl_slist_append(list, h.c_str());
    std::string body;
    const std::string url = origin + r.target;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION, +[](char* p, size_t size, size_t n, void* out) -> size_t {
          static_cast<std::string*>(out)->append(p, size * n);
          return size * n;
        });
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_easy_perform(curl);
    curl_slist_free_all(list);
    curl_easy_cleanup(curl);
  }
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct SearchTiming {
  double seconds = 0, pausedSeconds = 0;
  int rows = 0;
};

SearchTiming RunSearch() {
  kelvora::ResultsTable table;
  TimingHost host;
  kelvora::SearchRun run(table, host);
  run.grabDelayText = [] { return std::string("0"); };
  const auto t0 = Clock::now();
  kelvora::KeywordSearchWorker(run, "kelvora demo", "3");
  SearchTiming t;
  t.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  t.pausedSeconds = std::chrono::duration<double>(host.paused).count();
  t.rows = table.rowCount();
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 5;
  for (int i = 1; i + 1 < argc; i += 2)
    if (!std::strcmp(argv[i], "--rounds")) rounds = std::max(1, std::atoi(argv[i + 1]));
  curl_global_init(CURL_GLOBAL_ALL);
  Sim sim;
  if (!sim.start()) {
    std::fprintf(stderr, "search_bench: kelvora-sim did not start\n");
    return 1;
  }
  kelvora::Settings settings;
  std::string error;
  if (!kelvora::LoadSettingsFile(sim.config().string(), settings, error) || !kelvora::ApplySettings(settings, error)) {
    std::fprintf(stderr, "search_bench: %s\n", error.c_str());
    return 1;
  }
  if (kelvora::ServiceLogin("demo", "demo123").outcome != kelvora::LoginOutcome::Success) {
    std::fprintf(stderr, "search_bench: demo sign-in failed\n");
    return 1;
  }
  kelvora::SetMarketCookie("cookie2=kelvorademo0000; _tb_token_=kelvora; t=kelvorademo");

  // A first search records its requests in the simulator's log.
  const size_t offset = std::filesystem::exists(sim.log()) ? std::filesystem::file_size(sim.log()) : 0;
  const SearchTiming first = RunSearch();
  usleep(300 * 1000);  // the log line of the last answer may still be on its way
  const std::vector<Request> requests = LoggedRequests(sim.log(), offset);
  if (first.rows != 132) {
    std::fprintf(stderr, "search_bench: the search gave %d rows, not 132\n", first.rows);
    return 1;
  }

  // Search and bare loop take turns, each going first every other round.
  std::vector<double> searchTimes, workTimes, bareTimes, ratios, workRatios;
  for (int round = 0; round < rounds; ++round) {
    SearchTiming s;
    double bare = 0;
    auto runBare = [&] {
      const auto t0 = Clock::now();
      BareLoop(sim.origin, requests);
      bare = std::chrono::duration<double>(Clock::now() - t0).count();
    };
    if (round % 2 == 0) {
      s = RunSearch();
      runBare();
    } else {
      runBare();
      s = RunSearch();
    }
    searchTimes.push_back(s.seconds);
    workTimes.push_back(s.seconds - s.pausedSeconds);
    bareTimes.push_back(bare);
    ratios.push_back(s.seconds / bare);
    workRatios.push_back((s.seconds - s.pausedSeconds) / bare);
    std::printf(
        "round %d: search %.3f s (of which waits %.3f s), bare %.3f s, search/bare %.3f, "
        "without the waits %.3f\n",
        round + 1, s.seconds, s.pausedSeconds, bare, ratios.back(), workRatios.back());
  }
  std::printf("rows %d, requests %zu (%.2f per item)\n", first.rows, requests.size(),
              static_cast<double>(requests.size()) / first.rows);
  std::printf("search %.3f s wall (median of %d rounds; grab delay 0: a 1 ms wait after each item)\n",
              Median(searchTimes), rounds);
  std::printf("bare   %.3f s wall (median)\n", Median(bareTimes));
  std::printf("ratio search/bare %.3f, without the waits %.3f (medians)\n", Median(ratios), Median(workRatios));
  curl_global_cleanup();
  return 0;
}
