// kelvora-cli's history against kelvora-sim: watch's exit codes, what a run that
// is killed leaves, and that no secret of the run reaches the file.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>

#include "support/fixtures.h"
#include "support/sim_process.h"

namespace kelvora {
namespace {

using test::ReadFile;
using test::SimProcess;
using test::WriteFile;
namespace fs = std::filesystem;

const std::string kDemoCookie = "cookie2=kelvorademo0000; _tb_token_=kelvora; t=kelvorademo";

struct CliRun {
  int exitCode = -1;
  std::string out, err;
};

pid_t StartCli(const fs::path& dir, const std::vector<std::string>& args) {
  std::vector<std::string> all = {std::string(KELVORA_BIN_DIR) + "/kelvora-cli"};
  all.insert(all.end(), args.begin(), args.end());
  const std::string out = (dir / "stdout").string(), err = (dir / "stderr").string();
  const pid_t pid = fork();
  if (pid == 0) {
    const int i = open("/dev/null", O_RDONLY), o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644),
              e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(i, 0);
    dup2(o, 1);
    dup2(e, 2);
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

CliRun FinishCli(const fs::path& dir, pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  CliRun run;
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.out = ReadFile((dir / "stdout").string());
  run.err = ReadFile((dir / "stderr").string());
  return run;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

class HistoryCliTest : public ::testing::Test {
 protected:
  explicit HistoryCliTest(std::vector<std::string> simArgs = {}) : sim_(std::move(simArgs)) {}
  void SetUp() override {
    ASSERT_TRUE(sim_.running());
    dir_ = fs::path(sim_.tempDir()) / ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::create_directories(dir_);
    history_ = (dir_ / "h.sqlite3").string();
  }
  // The simulator's settings, the demo cookies and the history file, then `args`.
  std::vector<std::string> with(std::vector<std::string> args, bool history = true) const {
    std::vector<std::string> all = {
        "--config",        sim_.configPath(), "--service-cookie", "kv_auth=kelvorademo-session",
        "--market-cookie", kDemoCookie,       "--delay",          "0",
        "--quiet"};
    if (history) all.insert(all.end(), {"--history", history_});
    all.insert(all.end(), args.begin(), args.end());
    return all;
  }
  CliRun cli(const std::vector<std::string>& args) { return FinishCli(dir_, StartCli(dir_, args)); }
  std::vector<std::string> catalogueIds(int n) {
    httplib::Client client("127.0.0.1", sim_.port());
    auto r = client.Get(("/sim/catalogue.json?limit=" + std::to_string(n)).c_str());
    std::vector<std::string> ids;
    if (!r) return ids;
    const std::regex id("\"id\":\"([0-9]+)\"");
    for (auto it = std::sregex_iterator(r->body.begin(), r->body.end(), id); it != std::sregex_iterator(); ++it)
      ids.push_back((*it)[1]);
    return ids;
  }
  std::string itemAddress(const std::string& id) const { return sim_.baseUrl() + "/item/item.htm?id=" + id; }

  SimProcess sim_;
  fs::path dir_;
  std::string history_;
};

TEST_F(HistoryCliTest, WatchSaysWhetherAnythingChanged) {
  const auto ids = catalogueIds(3);
  ASSERT_EQ(ids.size(), 3u);
  const std::string monitor = (dir_ / "ids.txt").string();
  WriteFile(monitor, ids[1] + "\r\n" + ids[2] + "\r\n");
  const auto watch = [&] { return with({"--monitor", monitor, "watch"}); };

  // Without a history file there is nothing to compare with.
  const CliRun none = cli(with({"--monitor", monitor, "watch"}, false));
  EXPECT_EQ(none.exitCode, 2);
  EXPECT_NE(none.err.find("needs a history file"), std::string::npos) << none.err;

  const CliRun first = cli(watch());
  ASSERT_EQ(first.exitCode, 1) << first.err;
  const auto added = Lines(first.out);
  ASSERT_EQ(added.size(), 2u) << first.out;
  EXPECT_EQ(added[0].rfind("+\t" + ids[1] + "\t", 0), 0u) << added[0];
  EXPECT_EQ(added[1].rfind("+\t" + ids[2] + "\t", 0), 0u) << added[1];

  const CliRun same = cli(watch());
  EXPECT_EQ(same.exitCode, 0) << same.err;
  EXPECT_EQ(same.out, "");

  WriteFile(monitor, ids[2] + "\n");
  const CliRun gone = cli(watch());
  EXPECT_EQ(gone.exitCode, 1) << gone.err;
  ASSERT_EQ(Lines(gone.out).size(), 1u) << gone.out;
  EXPECT_EQ(gone.out.rfind("-\t" + ids[1] + "\t", 0), 0u) << gone.out;

  // Refused input records nothing; the three watches are there, newest first.
  EXPECT_EQ(cli(with({"keyword", ""})).exitCode, 2);
  const CliRun runs = cli(with({"history", "runs"}));
  ASSERT_EQ(runs.exitCode, 0) << runs.err;
  const auto lines = Lines(runs.out);
  ASSERT_EQ(lines.size(), 3u) << runs.out;
  const std::regex line("([0-9]+)\t[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\twatch\t\t([0-9]+)\t0\tdone");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[0], m, line)) << lines[0];
  EXPECT_EQ(m[1], "3");
  EXPECT_EQ(m[2], "1");
  EXPECT_TRUE(std::regex_match(lines[2], m, line)) << lines[2];
  // diff of the first and last watch is what the last one printed.
  EXPECT_EQ(cli(with({"history", "diff", "1", "3"})).out, gone.out);
  EXPECT_EQ(cli(with({"history", "show", "9"})).exitCode, 2);
}

// Rows and queries go into the file; the password, the cookies and the session do not.
TEST_F(HistoryCliTest, NoSecretReachesTheFile) {
  const auto ids = catalogueIds(2);
  ASSERT_EQ(ids.size(), 2u);
  WriteFile((dir_ / "login").string(), "demo:demo123\n");
  std::vector<std::string> args = {"--config",
                                   sim_.configPath(),
                                   "--login-file",
                                   (dir_ / "login").string(),
                                   "--market-cookie",
                                   kDemoCookie,
                                   "--quiet",
                                   "--history",
                                   history_,
                                   "--format",
                                   "jsonl",
                                   "item",
                                   itemAddress(ids[0]),
                                   itemAddress(ids[1])};
  const CliRun run = cli(args);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  // A failed sign-in records nothing.
  WriteFile((dir_ / "login").string(), "demo:wrong-password\n");
  EXPECT_EQ(cli(args).exitCode, 3);

  const CliRun shown = cli(with({"--format", "jsonl", "history", "show", "1"}));
  EXPECT_EQ(shown.out, run.out);
  EXPECT_EQ(Lines(cli(with({"history", "runs"})).out).size(), 1u);

  std::string bytes;
  for (const auto& e : fs::directory_iterator(dir_))
    if (e.path().filename().string().rfind("h.sqlite3", 0) == 0) bytes += ReadFile(e.path().string());
  ASSERT_NE(bytes.find(ids[0]), std::string::npos);  // the scan reads the rows
  for (const std::string secret : {"demo123", "wrong-password", "kelvorademo", "_tb_token_", "kv_auth", "PHPSESSID"})
    EXPECT_EQ(bytes.find(secret), std::string::npos) << secret;
}

class SlowSimHistoryTest : public HistoryCliTest {
 protected:
  SlowSimHistoryTest() : HistoryCliTest({"--latency-ms", "3", "--page-size", "small"}) {}
};

// kill -9 in the middle of a run: the next open shows it interrupted, holding the
// rows printed before (less at most those of the last quarter second). SIGTERM: stopped.
TEST_F(SlowSimHistoryTest, KilledRunShowsInterruptedWithItsRows) {
  const auto ids = catalogueIds(400);
  ASSERT_EQ(ids.size(), 400u);
  std::vector<std::string> addresses = {"item"};
  for (const std::string& id : ids) addresses.push_back(itemAddress(id));
  for (const int sig : {SIGKILL, SIGTERM}) {
    WriteFile((dir_ / "stdout").string(), "");
    const pid_t pid = StartCli(dir_, with(addresses));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (Lines(ReadFile((dir_ / "stdout").string())).size() < 41 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ::kill(pid, sig);
    const CliRun killed = FinishCli(dir_, pid);
    EXPECT_EQ(killed.exitCode, 128 + sig);
    const auto printed = Lines(killed.out);
    ASSERT_GT(printed.size(), 40u);
    ASSERT_LT(printed.size(), 401u);

    const CliRun runs = cli(with({"history", "runs"}));
    const std::string state = sig == SIGKILL ? "interrupted" : "stopped";
    const std::string run = sig == SIGKILL ? "1" : "2";
    ASSERT_NE(runs.out.find("\t" + state + "\n"), std::string::npos) << runs.out;
    const auto recorded = Lines(cli(with({"history", "show", run})).out);
    // Recorded just before printed: at most one row ahead of the screen, and
    // (rows taking well over 2 ms each here) not more than a quarter second behind.
    EXPECT_LE(recorded.size(), printed.size() + 1);
    EXPECT_GE(recorded.size() + 100, printed.size());
    for (size_t i = 0; i < std::min(recorded.size(), printed.size()); ++i) ASSERT_EQ(recorded[i], printed[i]) << i;
    if (sig == SIGTERM) {
      EXPECT_EQ(recorded.size(), printed.size());
    }
  }
}

}  // namespace
}  // namespace kelvora
