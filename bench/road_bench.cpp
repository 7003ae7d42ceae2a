// Items per second of the whole per-item road (FillResultRow against kelvora-sim on
// loopback) next to a bare libcurl loop that makes the same requests, one easy
// handle per request, with the same headers. Prints the ratio road / bare.
//
//   road_bench [--items N] [--rounds R] [--only road|bare]
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
#include <vector>

#include "app/host.h"
#include "app/results_table.h"
#include "lookup/lookup_service.h"
#include "net/codec.h"
#include "net/endpoints.h"
#include "net/http.h"
#include "net/json.h"
#include "net/settings.h"
#include "net/shared_state.h"
#include "session/login.h"

namespace {

using Clock = std::chrono::steady_clock;

class QuietHost : public kelvora::Host {
 public:
  void setStatus(const std::string&) override {}
  void setRowCountLabel(const std::string&) override {}
  void message(const std::string&) override {}
  void pause(int) override {}
  bool stopRequested() const override { return false; }
};

struct Sim {
  pid_t pid = -1;
  std::string base;  // "http://127.0.0.1:PORT/"
  std::filesystem::path dir;
  std::filesystem::path config() const { return dir / "sim.ini"; }
  std::filesystem::path log() const { return dir / "sim.log"; }

  bool start() {
    char pattern[] = "/tmp/road_bench.XXXXXX";
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
      execl(sim.c_str(), sim.c_str(), "--port", "0", "--write-config", config.c_str(), "--log",
            logFile.c_str(), static_cast<char*>(nullptr));
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
    base = line.substr(at + marker.size());
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

// The same GETs, each on a fresh easy handle, as a program without the road would make them.
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
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION,
                     +[](char* p, size_t size, size_t n, void* out) -> size_t {
                       static_cast<std::string*>(out)->append(p, size * n);
                       return size * n;
                     });
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_easy_perform(curl);
    curl_slist_free_all(list);
    curl_easy_cleanup(curl);
  }
}

std::vector<std::string> CatalogueAddresses(const std::string& base, int count) {
  std::string url = base + "sim/catalogue.json?offset=0&limit=" + std::to_string(count);
  std::string cookie = "-";
  kelvora::JsonReader reader;
  reader.load("c", kelvora::HttpFetch(url, "", cookie));
  std::vector<std::string> addresses;
  const std::string list = reader.getLength("c.items") > 0 ? "c.items" : "c";
  for (int i = 0; i < reader.getLength(list); ++i) {
    const std::string at = list + "[" + std::to_string(i) + "]";
    const bool tmall = reader.getText(at + ".kind") == "tmall";
    addresses.push_back(base + (tmall ? "detail/item.htm?id=" : "item/item.htm?id=") +
                        reader.getText(at + ".id"));
  }
  return addresses;
}

// The requests the road made since `offset` bytes of the simulator's log.
std::vector<Request> LoggedRequests(const std::filesystem::path& log, size_t offset) {
  std::ifstream in(log, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::vector<Request> requests;
  std::string line;
  while (std::getline(in, line)) {
    kelvora::JsonReader entry;
    entry.load("e", line);
    Request r;
    r.target = entry.getText("e.target");
    if (r.target.empty() || entry.getText("e.method") != "GET") continue;
    const int n = entry.getLength("e.headers");
    for (int i = 0; i < n; ++i) {
      const std::string at = "e.headers[" + std::to_string(i) + "]";
      std::string name = entry.getText(at + "[0]"), value = entry.getText(at + "[1]");
      if (name.empty()) {
        name = entry.getText(at + ".name");
        value = entry.getText(at + ".value");
      }
      // libcurl writes Host itself; an empty value is sent as "Name;".
      if (name.empty() || name == "Host") continue;
      r.headers.push_back(value.empty() ? name + ";" : name + ": " + value);
    }
    requests.push_back(std::move(r));
  }
  return requests;
}

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int items = 300, rounds = 5;
  std::string only;  // "road" or "bare": one side alone, for a profiler
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--only")) only = argv[i + 1];
    if (!std::strcmp(argv[i], "--items")) items = std::atoi(argv[i + 1]);
    if (!std::strcmp(argv[i], "--rounds")) rounds = std::atoi(argv[i + 1]);
  }
  curl_global_init(CURL_GLOBAL_ALL);
  Sim sim;
  if (!sim.start()) {
    std::fprintf(stderr, "road_bench: kelvora-sim did not start\n");
    return 1;
  }
  kelvora::Settings settings;
  std::string error;
  if (!kelvora::LoadSettingsFile(sim.config().string(), settings, error) ||
      !kelvora::ApplySettings(settings, error)) {
    std::fprintf(stderr, "road_bench: %s\n", error.c_str());
    return 1;
  }
  if (kelvora::ServiceLogin("demo", "demo123").outcome != kelvora::LoginOutcome::Success) {
    std::fprintf(stderr, "road_bench: demo sign-in failed\n");
    return 1;
  }
  kelvora::SetMarketCookie("cookie2=kelvorademo0000; _tb_token_=kelvora; t=kelvorademo");
  const std::vector<std::string> addresses = CatalogueAddresses(sim.base, items);
  if (addresses.empty()) {
    std::fprintf(stderr, "road_bench: empty catalogue\n");
    return 1;
  }
  const std::string origin = sim.base.substr(0, sim.base.size() - 1);

  QuietHost host;
  // A first run of the road records its requests in the simulator's log; they are
  // cut into one group per item at each item page request.
  const size_t logOffset =
      std::filesystem::exists(sim.log()) ? std::filesystem::file_size(sim.log()) : 0;
  {
    kelvora::ResultsTable table;
    for (const std::string& address : addresses) {
      const int32_t row = table.addRow();
      table.setCell(row, kelvora::ResultColumn::Link, address);
      kelvora::FillResultRow(table, row, host);
    }
  }
  usleep(300 * 1000);  // the log line of the last answer may still be on its way
  const std::vector<Request> logged = LoggedRequests(sim.log(), logOffset);
  std::vector<std::vector<Request>> groups(addresses.size());
  size_t item = 0;
  for (const Request& r : logged) {
    while (item + 1 < addresses.size() && origin + r.target == addresses[item + 1]) ++item;
    if (item == 0 && groups[0].empty() && origin + r.target != addresses[0]) continue;
    groups[item].push_back(r);
  }

  // Road and bare loop take turns item by item, so that both see the same load of
  // a shared machine.
  std::vector<double> ratios, roadRates, bareRates;
  for (int round = 0; round < rounds; ++round) {
    kelvora::ResultsTable table;
    Clock::duration road{}, bare{};
    double roadCpu = 0, bareCpu = 0;
    for (size_t i = 0; i < addresses.size(); ++i) {
      auto runRoad = [&] {
        const auto t0 = Clock::now();
        const double c0 = ThreadCpuSeconds();
        const int32_t row = table.addRow();
        table.setCell(row, kelvora::ResultColumn::Link, addresses[i]);
        kelvora::FillResultRow(table, row, host);
        road += Clock::now() - t0;
        roadCpu += ThreadCpuSeconds() - c0;
      };
      auto runBare = [&] {
        const auto t0 = Clock::now();
        const double c0 = ThreadCpuSeconds();
        BareLoop(origin, groups[i]);
        bare += Clock::now() - t0;
        bareCpu += ThreadCpuSeconds() - c0;
      };
      // Each goes first every other item, so neither always meets the server
      // still busy closing the other's connections.
      if (only == "road") { runRoad(); continue; }
      if (only == "bare") { runBare(); continue; }
      if (i % 2 == 0) { runRoad(); runBare(); } else { runBare(); runRoad(); }
    }
    const double roadSeconds = std::chrono::duration<double>(road).count();
    const double bareSeconds = std::chrono::duration<double>(bare).count();
    roadRates.push_back(addresses.size() / roadSeconds);
    bareRates.push_back(addresses.size() / bareSeconds);
    ratios.push_back(roadSeconds / bareSeconds);
    std::printf("round %d: road %.1f items/s, bare %.1f items/s, road/bare %.3f; "
                "client CPU per item: road %.0f us, bare %.0f us\n",
                round + 1, roadRates.back(), bareRates.back(), ratios.back(),
                roadCpu * 1e6 / addresses.size(), bareCpu * 1e6 / addresses.size());
  }
  std::printf("items %zu, requests per item %.2f\n", addresses.size(),
              static_cast<double>(logged.size()) / addresses.size());
  std::printf("road  %.1f items/s (median of %d rounds)\n", Median(roadRates), rounds);
  std::printf("bare  %.1f items/s (median of %d rounds)\n", Median(bareRates), rounds);
  std::printf("ratio road/bare time %.3f (median; goal <= 1.10)\n", Median(ratios));
  curl_global_cleanup();
  return 0;
}
