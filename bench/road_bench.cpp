// Cost per item of the whole per-item road (FillResultRow against kelvora-sim on
// loopback, item pages of real size) next to its honest limit: the same requests
// with the same headers, replayed by a libcurl loop that keeps its connection
// alive (one easy handle for a whole round). Over http and over https; road and
// replay take turns every 20 items, each going first every other turn, after a
// pass that is not measured (connections, first-use loads, the requests to replay).
//
// Per mode it prints wall time per item, the road's own CPU per item (user CPU of
// the road's turns minus user CPU of the replay of the same requests, both from
// getrusage(RUSAGE_SELF) around each turn: what the road spends beyond libcurl,
// OpenSSL and the kernel on the requests a client cannot avoid), kernel CPU per
// item, and the connections each side opened per 100 items (counted by the
// simulator: the distinct "conn" numbers of its request log).
//
//   road_bench [--items N] [--rounds R] [--tls | --no-tls | --both] [--only road|replay]
//   road_bench --history-cost [--items N] [--rounds R] [--tls | --no-tls | --both]
//
// --history-cost: the road as it is next to the road recording every row into a
// history file (one run per pass, the recorder's last write waited for inside the
// measured time), the two taking turns; wall time per item, median with min and max.
#include <curl/curl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "history/history_recorder.h"
#include "lookup/lookup_service.h"
#include "net/codec.h"
#include "net/endpoints.h"
#include "net/http.h"
#include "net/json.h"
#include "net/settings.h"
#include "net/shared_state.h"
#include "results/host.h"
#include "results/results_table.h"
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
  std::string base;  // "http://127.0.0.1:PORT/" or "https://..."
  std::filesystem::path dir;
  std::filesystem::path config() const { return dir / "sim.ini"; }
  std::filesystem::path log() const { return dir / "sim.log"; }

  bool start(bool tls) {
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
      execl(sim.c_str(), sim.c_str(), "--port", "0", "--write-config", config.c_str(), "--log", logFile.c_str(),
            tls ? "--tls" : static_cast<char*>(nullptr), static_cast<char*>(nullptr));
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

size_t Collect(char* p, size_t size, size_t n, void* out) {
  static_cast<std::string*>(out)->append(p, size * n);
  return size * n;
}

// The replaying client: one easy handle for a whole round, so that libcurl
// keeps its connection from chunk to chunk. `caFile` holds the trust the road has
// (the system's authorities and the simulator's), read by name as the road's
// handle reads it.
class Replayer {
 public:
  explicit Replayer(const std::string& caFile) : curl_(curl_easy_init()) {
    curl_easy_setopt(curl_, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &body_);
    if (!caFile.empty()) curl_easy_setopt(curl_, CURLOPT_CAINFO, caFile.c_str());
  }
  ~Replayer() { curl_easy_cleanup(curl_); }
  Replayer(const Replayer&) = delete;
  Replayer& operator=(const Replayer&) = delete;

  // The same GETs with the same headers; returns the bytes of the bodies received.
  size_t replay(const std::string& origin, const std::vector<Request>& requests) {
    size_t received = 0;
    for (const Request& r : requests) {
      curl_slist* list = nullptr;
      for (const std::string& h : r.headers) list = curl_slist_append(list, h.c_str());
      const std::string url = origin + r.target;
      body_.clear();
      curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
      curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, list);
      if (curl_easy_perform(curl_) != CURLE_OK) std::fprintf(stderr, "road_bench: replay of %s failed\n", url.c_str());
      received += body_.size();
      curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, nullptr);
      curl_slist_free_all(list);
    }
    return received;
  }

 private:
  CURL* curl_;
  std::string body_;
};

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
    addresses.push_back(base + (tmall ? "detail/item.htm?id=" : "item/item.htm?id=") + reader.getText(at + ".id"));
  }
  return addresses;
}

// The simulator's log lines from byte `offset` on: the GETs made, and the
// connection number of every request.
struct LogPart {
  std::vector<Request> gets;
  std::vector<long long> connections;
};

LogPart ReadLog(const std::filesystem::path& log, size_t offset) {
  std::ifstream in(log, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  LogPart part;
  std::string line;
  while (std::getline(in, line)) {
    kelvora::JsonReader entry;
    entry.load("e", line);
    part.connections.push_back(std::atoll(entry.getText("e.conn").c_str()));
    Request r;
    r.target = entry.getText("e.target");
    if (r.target.empty() || entry.getText("e.method") != "GET") continue;
    const int n = entry.getLength("e.headers");
    for (int i = 0; i < n; ++i) {
      const std::string at = "e.headers[" + std::to_string(i) + "]";
      const std::string name = entry.getText(at + "[0]"), value = entry.getText(at + "[1]");
      // libcurl writes Host itself; an empty value is sent as "Name;".
      if (name.empty() || name == "Host") continue;
      r.headers.push_back(value.empty() ? name + ";" : name + ": " + value);
    }
    part.gets.push_back(std::move(r));
  }
  return part;
}

size_t LogSize(const std::filesystem::path& log) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(log, ec);
  return ec ? 0 : static_cast<size_t>(size);
}

struct Cpu {
  double user = 0, kernel = 0;
};
Cpu ProcessCpu() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return {u.ru_utime.tv_sec + u.ru_utime.tv_usec * 1e-6, u.ru_stime.tv_sec + u.ru_stime.tv_usec * 1e-6};
}

// One side's turns of a round: wall time, CPU and the connections the simulator accepted for them.
struct RunResult {
  double wall = 0;
  Cpu cpu;
  size_t connections = 0;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// "median (min-max)" of the rounds' figures.
std::string Spread(const std::vector<double>& v, const char* format) {
  if (v.empty()) return "-";
  char m[32], lo[32], hi[32], out[128];
  std::snprintf(m, sizeof m, format, Median(v));
  std::snprintf(lo, sizeof lo, format, *std::min_element(v.begin(), v.end()));
  std::snprintf(hi, sizeof hi, format, *std::max_element(v.begin(), v.end()));
  std::snprintf(out, sizeof out, "%s (%s-%s)", m, lo, hi);
  return out;
}

// Runs the bench over one protocol; false when the simulator or the sign-in fails.
bool RunMode(bool tls, int items, int rounds, const std::string& only) {
  const char* mode = tls ? "https" : "http";
  Sim sim;
  if (!sim.start(tls)) {
    std::fprintf(stderr, "road_bench: kelvora-sim did not start\n");
    return false;
  }
  kelvora::Settings settings;
  std::string error;
  if (!kelvora::LoadSettingsFile(sim.config().string(), settings, error) || !kelvora::ApplySettings(settings, error)) {
    std::fprintf(stderr, "road_bench: %s\n", error.c_str());
    return false;
  }
  if (kelvora::ServiceLogin("demo", "demo123").outcome != kelvora::LoginOutcome::Success) {
    std::fprintf(stderr, "road_bench: demo sign-in failed over %s\n", mode);
    return false;
  }
  kelvora::SetMarketCookie("cookie2=kelvorademo0000; _tb_token_=kelvora; t=kelvorademo");
  const std::vector<std::string> addresses = CatalogueAddresses(sim.base, items);
  if (addresses.empty()) {
    std::fprintf(stderr, "road_bench: empty catalogue over %s\n", mode);
    return false;
  }
  const std::string origin = sim.base.substr(0, sim.base.size() - 1);
  std::string caFile;
  if (const auto bundle = kelvora::CurrentHttpLimits().caBundle) {
    caFile = (sim.dir / "ca-bundle.pem").string();
    std::ofstream(caFile, std::ios::binary) << *bundle;
  }
  const double n = static_cast<double>(addresses.size());

  QuietHost host;
  // The road over items [first, last) of the catalogue, into a table of its own.
  auto road = [&](size_t first, size_t last) {
    kelvora::ResultsTable table;
    for (size_t i = first; i < last; ++i) {
      const int32_t row = table.addRow();
      table.setCell(row, kelvora::ResultColumn::Link, addresses[i]);
      kelvora::FillResultRow(table, row, host);
    }
  };
  // The two sides take turns chunk by chunk, so that both meet the same moods of
  // a shared machine (its speed drifts by half from one second to the next): the
  // difference of their CPU is then the road's own, not the drift.
  constexpr size_t kChunk = 20;
  const size_t chunks = (addresses.size() + kChunk - 1) / kChunk;
  auto chunkEnd = [&](size_t c) { return std::min(addresses.size(), (c + 1) * kChunk); };

  // A first pass, not measured, opens the connections, loads what loads on first
  // use and records each chunk's requests from the simulator's log.
  std::vector<std::vector<Request>> requests(chunks);
  size_t requestCount = 0;
  for (size_t c = 0; c < chunks; ++c) {
    const size_t offset = LogSize(sim.log());
    road(c * kChunk, chunkEnd(c));
    requests[c] = ReadLog(sim.log(), offset).gets;
    requestCount += requests[c].size();
  }
  long long lastConnection = 0;
  for (long long conn : ReadLog(sim.log(), 0).connections) lastConnection = std::max(lastConnection, conn);
  size_t received = 0;

  // Adds one side's run of one chunk to `sum`.
  auto measure = [&](RunResult& sum, auto&& work) {
    const size_t offset = LogSize(sim.log());
    const Cpu c0 = ProcessCpu();
    const auto t0 = Clock::now();
    work();
    sum.wall += std::chrono::duration<double>(Clock::now() - t0).count();
    const Cpu c1 = ProcessCpu();
    sum.cpu.user += c1.user - c0.user;
    sum.cpu.kernel += c1.kernel - c0.kernel;
    std::set<long long> opened;
    for (long long conn : ReadLog(sim.log(), offset).connections)
      if (conn > lastConnection) opened.insert(conn);
    if (!opened.empty()) lastConnection = *opened.rbegin();
    sum.connections += opened.size();
  };

  std::printf("== %s: %zu items, the two sides taking turns every %zu items\n", mode, addresses.size(), kChunk);
  std::vector<double> roadWall, replayWall, ratio, roadUser, replayUser, ownUser, ownTotal, roadKernel, replayKernel,
      roadConn, replayConn;
  for (int round = 0; round < rounds; ++round) {
    RunResult rr, pr;
    Replayer replayer(caFile);
    received = 0;
    for (size_t c = 0; c < chunks; ++c) {
      auto runRoad = [&] { measure(rr, [&] { road(c * kChunk, chunkEnd(c)); }); };
      auto runReplay = [&] { measure(pr, [&] { received += replayer.replay(origin, requests[c]); }); };
      if (only == "road") {
        runRoad();
      } else if (only == "replay") {
        runReplay();
      } else if ((round + c) % 2 == 0) {
        runRoad();
        runReplay();
      } else {
        runReplay();
        runRoad();
      }
    }
    roadWall.push_back(rr.wall / n * 1e3);
    replayWall.push_back(pr.wall / n * 1e3);
    if (rr.wall > 0 && pr.wall > 0) ratio.push_back(rr.wall / pr.wall);
    roadUser.push_back(rr.cpu.user / n * 1e6);
    replayUser.push_back(pr.cpu.user / n * 1e6);
    ownUser.push_back((rr.cpu.user - pr.cpu.user) / n * 1e6);
    ownTotal.push_back((rr.cpu.user + rr.cpu.kernel - pr.cpu.user - pr.cpu.kernel) / n * 1e6);
    roadKernel.push_back(rr.cpu.kernel / n * 1e6);
    replayKernel.push_back(pr.cpu.kernel / n * 1e6);
    roadConn.push_back(rr.connections * 100.0 / n);
    replayConn.push_back(pr.connections * 100.0 / n);
    std::printf(
        "round %d: wall/item road %.3f ms, replay %.3f ms; user CPU/item road %.0f us, replay %.0f us; "
        "connections/100 items road %.1f, replay %.1f\n",
        round + 1, roadWall.back(), replayWall.back(), roadUser.back(), replayUser.back(), roadConn.back(),
        replayConn.back());
  }
  std::printf("%-5s figures below: median (min-max) of %d rounds\n", mode, rounds);
  std::printf("%-5s wall/item:            road %s ms, replay %s ms\n", mode, Spread(roadWall, "%.3f").c_str(),
              Spread(replayWall, "%.3f").c_str());
  std::printf("%-5s road/replay wall:     %s (per round; goal <= 1.10)\n", mode, Spread(ratio, "%.2f").c_str());
  // The kernel measures a process's CPU exactly, but splits it into user and
  // kernel time by sampling at its clock ticks: over turns of a few milliseconds
  // the split is rough, the sum is not.
  std::printf(
      "%-5s road's own CPU/item:  %s us (road CPU - replay CPU of the same requests, user and kernel, "
      "getrusage(RUSAGE_SELF) around each side's turns; goal <= 30)\n",
      mode, Spread(ownTotal, "%.0f").c_str());
  std::printf("%-5s   of it user CPU:     %s us (the kernel's tick-sampled split)\n", mode,
              Spread(ownUser, "%.0f").c_str());
  std::printf(
      "%-5s user CPU/item:        road %.0f us, replay %.0f us; kernel CPU/item: road %.0f us, replay %.0f us\n", mode,
      Median(roadUser), Median(replayUser), Median(roadKernel), Median(replayKernel));
  std::printf("%-5s connections/100 items: road %.1f, replay %.1f (distinct \"conn\" numbers in the simulator's log)\n",
              mode, Median(roadConn), Median(replayConn));
  std::printf("%-5s requests per item:    %.2f", mode, requestCount / n);
  if (received > 0) std::printf(", %.1f KB of bodies (replay)", received / n / 1024);
  std::printf("\n");
  std::fflush(stdout);
  return true;
}

std::string MinMedMax(const std::vector<double>& v) {
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, "%.3f ms (min %.3f, max %.3f)", Median(v), *std::min_element(v.begin(), v.end()),
                *std::max_element(v.begin(), v.end()));
  return buffer;
}

// The road with and without recording into a history file, passes taking turns.
bool RunHistoryCost(bool tls, int items, int rounds) {
  const char* mode = tls ? "https" : "http";
  Sim sim;
  if (!sim.start(tls)) return false;
  kelvora::Settings settings;
  std::string error;
  if (!kelvora::LoadSettingsFile(sim.config().string(), settings, error) || !kelvora::ApplySettings(settings, error) ||
      kelvora::ServiceLogin("demo", "demo123").outcome != kelvora::LoginOutcome::Success) {
    std::fprintf(stderr, "road_bench: %s\n", error.empty() ? "sign-in failed" : error.c_str());
    return false;
  }
  kelvora::SetMarketCookie("cookie2=kelvorademo0000; _tb_token_=kelvora; t=kelvorademo");
  const std::vector<std::string> addresses = CatalogueAddresses(sim.base, items);
  if (addresses.empty()) return false;
  const std::string historyPath = (sim.dir / "history.sqlite3").string();
  auto recorder = std::make_unique<kelvora::history::HistoryRecorder>(
      kelvora::history::HistoryFile::open(historyPath, error), nullptr);
  QuietHost host;
  auto road = [&](bool record) {
    kelvora::ResultsTable table;
    if (record) recorder->beginRun("item", "bench");
    for (const std::string& address : addresses) {
      const int32_t row = table.addRow();
      table.setCell(row, kelvora::ResultColumn::Link, address);
      kelvora::FillResultRow(table, row, host);
      if (record) recorder->addRow(table.row(row), table.failures(row));
    }
    if (record) {
      recorder->endRun(kelvora::history::RunState::Done);
      recorder->flush();
    }
  };
  road(false);  // warm-up: connections and caches
  // Wall time, and this process's CPU (user and kernel, every thread, the writer's
  // too): on a shared machine the CPU says more than the wall time.
  std::vector<double> plain, recorded, plainCpu, recordedCpu;
  const double n = static_cast<double>(addresses.size());
  for (int round = 0; round < rounds; ++round) {
    for (int pass = 0; pass < 2; ++pass) {
      const bool record = (pass == 0) == (round % 2 == 1);
      const Cpu c0 = ProcessCpu();
      const auto t0 = Clock::now();
      road(record);
      (record ? recorded : plain).push_back(std::chrono::duration<double>(Clock::now() - t0).count() / n * 1e3);
      const Cpu c1 = ProcessCpu();
      (record ? recordedCpu : plainCpu).push_back((c1.user + c1.kernel - c0.user - c0.kernel) / n * 1e3);
    }
  }
  std::printf("%-5s wall/item without history: %s\n", mode, MinMedMax(plain).c_str());
  std::printf("%-5s wall/item with history:    %s\n", mode, MinMedMax(recorded).c_str());
  std::printf("%-5s CPU/item without history:  %s\n", mode, MinMedMax(plainCpu).c_str());
  std::printf("%-5s CPU/item with history:     %s\n", mode, MinMedMax(recordedCpu).c_str());
  std::printf("%-5s cost of recording: wall %+.2f %%, CPU %+.2f %% (medians of %d rounds of %zu items)\n", mode,
              (Median(recorded) / Median(plain) - 1) * 100, (Median(recordedCpu) / Median(plainCpu) - 1) * 100, rounds,
              addresses.size());
  recorder.reset();
  return recorder == nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  int items = 150, rounds = 3;
  bool plain = true, tls = true;
  std::string only;  // "road" or "replay": one side alone, for a profiler
  bool historyCost = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--tls") {
      plain = false;
      tls = true;
    } else if (arg == "--no-tls") {
      plain = true;
      tls = false;
    } else if (arg == "--history-cost") {
      historyCost = true;
    } else if (arg == "--both") {
      plain = tls = true;
    } else if (arg == "--items" && hasValue) {
      items = std::atoi(argv[++i]);
    } else if (arg == "--rounds" && hasValue) {
      rounds = std::atoi(argv[++i]);
    } else if (arg == "--only" && hasValue) {
      only = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: road_bench [--items N] [--rounds R] [--tls | --no-tls | --both] [--only road|replay]\n");
      return 2;
    }
  }
  if (items < 1 || rounds < 1 || (!only.empty() && only != "road" && only != "replay")) {
    std::fprintf(stderr, "road_bench: --items and --rounds want a positive number, --only road or replay\n");
    return 2;
  }
  curl_global_init(CURL_GLOBAL_ALL);
  bool ok = true;
  if (historyCost) {
    if (plain) ok = RunHistoryCost(false, items, rounds) && ok;
    if (tls) ok = RunHistoryCost(true, items, rounds) && ok;
    curl_global_cleanup();
    return ok ? 0 : 1;
  }
  if (plain) ok = RunMode(false, items, rounds, only) && ok;
  if (tls) ok = RunMode(true, items, rounds, only) && ok;
  curl_global_cleanup();
  return ok ? 0 : 1;
}
