#include "support/sim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

extern char** environ;

namespace kelvora::test {

namespace {

// Waits up to `ms` for the child to end; true when it has been reaped.
bool WaitFor(pid_t pid, int ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (true) {
    int status = 0;
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno == ECHILD)) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

SimProcess::SimProcess(std::vector<std::string> extraArgs) {
  char dirTemplate[] = "/tmp/kelvora-sim-XXXXXX";
  if (!::mkdtemp(dirTemplate)) return;
  tempDir_ = dirTemplate;

  // --exit-with-parent: a test that dies without running this destructor takes
  // its simulator along instead of leaving it holding ctest's output open.
  std::vector<std::string> args = {std::string(KELVORA_BIN_DIR) + "/kelvora-sim",
                                   "--port",
                                   "0",
                                   "--exit-with-parent",
                                   "--write-config",
                                   configPath()};
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  // The child starts with no blocked signals, whatever the test's threads block.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(fds[1]);
  outFd_ = fds[0];
  if (rc != 0) {
    std::fprintf(stderr, "SimProcess: cannot start %s\n", argv[0]);
    return;
  }
  pid_ = pid;

  // Read the first line: "kelvora-sim listening on http://127.0.0.1:PORT/".
  std::string line;
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (line.find('\n') == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{outFd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buf[256];
    ssize_t n = ::read(outFd_, buf, sizeof buf);
    if (n <= 0) break;
    line.append(buf, static_cast<size_t>(n));
  }
  const std::string prefix = "kelvora-sim listening on http://127.0.0.1:";
  const std::string tlsPrefix = "kelvora-sim listening on https://127.0.0.1:";
  if (line.rfind(prefix, 0) == 0) port_ = std::atoi(line.c_str() + prefix.size());
  if (line.rfind(tlsPrefix, 0) == 0) {
    port_ = std::atoi(line.c_str() + tlsPrefix.size());
    tls_ = true;
  }
  if (port_ <= 0) std::fprintf(stderr, "SimProcess: no listening line from kelvora-sim (got \"%s\")\n", line.c_str());
}

SimProcess::~SimProcess() {
  if (pid_ > 0 && !exited_) {
    ::kill(pid_, SIGTERM);
    if (!WaitFor(pid_, 5000)) {
      ::kill(pid_, SIGKILL);
      WaitFor(pid_, 5000);
    }
  }
  if (outFd_ >= 0) ::close(outFd_);
  if (!tempDir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(tempDir_, ec);
  }
}

bool SimProcess::running() const {
  if (pid_ <= 0 || port_ <= 0 || exited_) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == 0) return true;
  exited_ = true;  // reaped: the destructor must not signal that pid again
  return false;
}

std::string SimProcess::baseUrl() const {
  return (tls_ ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port_);
}
std::string SimProcess::caPath() const { return tempDir_ + "/kelvora-sim-ca.pem"; }
std::string SimProcess::configPath() const { return tempDir_ + "/kelvora.ini"; }

}  // namespace kelvora::test
