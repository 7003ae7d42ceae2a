// kelvora-sim: a local stand-in for the marketplace and the vendor's lookup service.
#include <malloc.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>
#include <csignal>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>

#include "app.h"
#include "certificate.h"
#include "kelvora_version.h"
#include "server.h"

namespace {

using kelvora::sim::Options;

int Usage(const char* message) {
  if (message) std::fprintf(stderr, "kelvora-sim: %s\n", message);
  std::fprintf(stderr,
               "usage: kelvora-sim [--port N] [--seed N] [--items N] [--now \"YYYY-MM-DD HH:MM:SS\"]\n"
               "                   [--write-config FILE] [--log FILE] [--latency-ms N] [--fail-rate P]\n"
               "                   [--hang-rate P] [--malformed-rate P] [--page-size real|small]\n"
               "                   [--tls [--tls-cert FILE --tls-key FILE]] [--exit-with-parent]\n"
               "       kelvora-sim --version\n");
  return 2;
}

bool ParseNow(const std::string& text, int64_t& out) {
  std::tm tm{};
  int y, mo, d, h, mi, s;
  if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s) != 6) return false;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 60) return false;
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  out = static_cast<int64_t>(timegm(&tm)) - 8 * 3600;  // the text is UTC+8 wall-clock time
  return true;
}

bool WriteFile(const std::string& path, const std::string& text) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  bool ok = f && std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (f && std::fclose(f) != 0) ok = false;
  return ok;
}

// Ends the simulator (as SIGTERM does) once nobody reads its standard output any
// more: a pipe's writing end reports an error as soon as its last reader closed,
// which happens when the program that started it ends, even by a crash.
void StopWhenStdoutReaderGoes() {
  std::thread([] {
    while (true) {
      pollfd p{STDOUT_FILENO, 0, 0};
      const int n = ::poll(&p, 1, -1);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL))) break;
    }
    ::kill(::getpid(), SIGTERM);
  }).detach();
}

bool ParseNumber(const char* text, double& out) {
  char* end = nullptr;
  out = std::strtod(text, &end);
  return end != text && *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  options.now = static_cast<int64_t>(std::time(nullptr));
  std::string tlsCert, tlsKey;
  bool exitWithParent = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    const char* v = nullptr;
    double n = 0;
    if (arg == "--help" || arg == "-h") {
      Usage(nullptr);
      return 0;
    }
    if (arg == "--version") {
      std::fputs("kelvora-sim " KELVORA_VERSION_TEXT "\n", stdout);
      return 0;
    }
    if (arg == "--tls") {
      options.tls = true;
      continue;
    }
    if (arg == "--exit-with-parent") {
      exitWithParent = true;
      continue;
    }
    if (!(v = value())) return Usage(("missing value after " + arg).c_str());
    if (arg == "--write-config") {
      options.writeConfig = v;
      continue;
    }
    if (arg == "--log") {
      options.logPath = v;
      continue;
    }
    if (arg == "--tls-cert") {
      tlsCert = v;
      options.tls = true;
      continue;
    }
    if (arg == "--tls-key") {
      tlsKey = v;
      options.tls = true;
      continue;
    }
    if (arg == "--page-size") {
      if (std::strcmp(v, "real") != 0 && std::strcmp(v, "small") != 0) return Usage("--page-size wants real or small");
      options.smallPages = std::strcmp(v, "small") == 0;
      continue;
    }
    if (arg == "--now") {
      if (!ParseNow(v, options.now)) return Usage("--now wants \"YYYY-MM-DD HH:MM:SS\"");
      continue;
    }
    if (arg == "--seed") {
      char* end = nullptr;
      errno = 0;
      options.seed = std::strtoull(v, &end, 10);
      if (end == v || *end != '\0' || errno != 0 || *v == '-') return Usage("bad value for --seed");
      continue;
    }
    if (!ParseNumber(v, n) || n < 0) return Usage(("bad value for " + arg).c_str());
    if (arg == "--port" && n <= 65535)
      options.port = static_cast<int>(n);
    else if (arg == "--items" && n >= 1 && n <= 1000000)
      options.items = static_cast<int>(n);
    else if (arg == "--latency-ms")
      options.latencyMs = static_cast<int>(n);
    else if (arg == "--fail-rate" && n <= 1)
      options.failRate = n;
    else if (arg == "--hang-rate" && n <= 1)
      options.hangRate = n;
    else if (arg == "--malformed-rate" && n <= 1)
      options.malformedRate = n;
    else
      return Usage(("unknown option or value out of range: " + arg).c_str());
  }

  // Signals are taken by sigwait on the main thread; every other thread blocks them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  // Item pages are a few hundred KB: keep such buffers on the heap for reuse
  // instead of mapping fresh (and faulting in) pages for every answer.
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);

  if (tlsCert.empty() != tlsKey.empty()) return Usage("--tls-cert and --tls-key go together");

  kelvora::sim::Server server;
  // With --tls: the server's certificate, and the authority that clients are to
  // trust, which the settings file names. A made-up authority goes beside the
  // settings file, or into a directory of its own that is removed at the end.
  std::string caTempDir;
  if (options.tls) {
    std::string error;
    if (!tlsCert.empty()) {
      if (!server.useTlsFiles(tlsCert, tlsKey, error)) {
        std::fprintf(stderr, "kelvora-sim: %s\n", error.c_str());
        return 1;
      }
      options.caFile = std::filesystem::absolute(tlsCert).lexically_normal().string();
    } else {
      kelvora::sim::Certificates certs = kelvora::sim::MakeLoopbackCertificates();
      if (!certs.ok() || !server.useTls(certs.serverCertPem, certs.serverKeyPem, error)) {
        std::fprintf(stderr, "kelvora-sim: cannot make a certificate: %s\n", error.c_str());
        return 1;
      }
      std::filesystem::path dir;
      if (!options.writeConfig.empty()) {
        dir = std::filesystem::absolute(options.writeConfig).lexically_normal().parent_path();
      } else {
        char pattern[] = "/tmp/kelvora-sim-ca-XXXXXX";
        if (!::mkdtemp(pattern)) {
          std::fprintf(stderr, "kelvora-sim: cannot make a directory for the CA: %s\n", std::strerror(errno));
          return 1;
        }
        dir = caTempDir = pattern;
      }
      options.caFile = (dir / "kelvora-sim-ca.pem").string();
      if (!WriteFile(options.caFile, certs.caPem)) {
        std::fprintf(stderr, "kelvora-sim: cannot write %s: %s\n", options.caFile.c_str(), std::strerror(errno));
        return 1;
      }
      if (!caTempDir.empty()) std::fprintf(stderr, "kelvora-sim: CA certificate in %s\n", options.caFile.c_str());
    }
  }

  int port = server.bind(options.port);
  if (port <= 0) {
    std::fprintf(stderr, "kelvora-sim: cannot listen on 127.0.0.1:%d: %s\n", options.port, std::strerror(errno));
    return 1;
  }

  kelvora::sim::App app(options, port);
  if (!options.writeConfig.empty()) {
    if (!WriteFile(options.writeConfig, app.settingsText())) {
      std::fprintf(stderr, "kelvora-sim: cannot write %s: %s\n", options.writeConfig.c_str(), std::strerror(errno));
      return 1;
    }
  }
  app.registerRoutes(server);
  server.setLogger([&app](const kelvora::sim::RawRequest& req) { app.logRequest(req); });

  // The socket listens already: connections made now wait in the backlog.
  std::thread loop([&server] { server.run(); });
  std::printf("kelvora-sim listening on %s/\n", app.base().c_str());
  std::fflush(stdout);
  if (exitWithParent) StopWhenStdoutReaderGoes();

  int sig = 0;
  sigwait(&stopSignals, &sig);
  app.shutdown();  // releases held ("hanging") requests first
  bool idle = server.stop();
  loop.join();
  if (!caTempDir.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(caTempDir, ignored);
  }
  if (!idle) {  // a connection thread still runs: don't tear the state down under it
    std::fflush(nullptr);
    std::_Exit(0);
  }
  return 0;
}
