// kelvora-cli against kelvora-sim: complete rows equal to what the simulator
// knows about its items, in both printed forms, and the sign-in and cookie refusals.
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>

#include "net/codec.h"
#include "net/datetime.h"
#include "net/json.h"
#include "support/fixtures.h"
#include "support/sim_process.h"

namespace kelvora {
namespace {

using test::SimProcess;
namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

const std::string kDemoCookie = "cookie2=kelvorademo0000; _tb_token_=kelvora; t=kelvorademo";
const std::string kNoTime = "无时间";

struct CliRun {
  int exitCode = -1;
  std::string out, err;
};

// Starts kelvora-cli with `args`, stdin from `input`, stdout and stderr into files of `dir`.
pid_t StartCli(const fs::path& dir, const std::vector<std::string>& args, const std::string& input) {
  WriteFile(dir / "stdin", input);
  std::vector<std::string> all = {std::string(KELVORA_BIN_DIR) + "/kelvora-cli"};
  all.insert(all.end(), args.begin(), args.end());
  const std::string in = (dir / "stdin").string(), out = (dir / "stdout").string(), err = (dir / "stderr").string();
  const pid_t pid = fork();
  if (pid == 0) {
    const int i = open(in.c_str(), O_RDONLY), o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644),
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
  run.out = ReadFile(dir / "stdout");
  run.err = ReadFile(dir / "stderr");
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

using Row = std::vector<std::string>;

Row TsvCells(const std::string& line) {
  Row cells(1);
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '\t') {
      cells.emplace_back();
    } else if (line[i] == '\\' && i + 1 < line.size()) {
      const char n = line[++i];
      cells.back() += n == 't' ? '\t' : n == 'r' ? '\r' : n == 'n' ? '\n' : n;
    } else {
      cells.back() += line[i];
    }
  }
  return cells;
}

Row JsonlCells(const std::string& line) {
  JsonReader reader;
  reader.load("r", Utf8ToGbk(line));
  Row cells;
  for (int i = 0; i < reader.getLength("r"); ++i)
    cells.push_back(GbkToUtf8(reader.getText("r[" + std::to_string(i) + "]")));
  return cells;
}

// "YYYY-MM-DD HH:MM:SS" of a Unix time on the UTC+8 wall clock.
std::string WallClockText(int64_t unix) {
  const DateParts p = SplitDateTime(UnixToDate(unix));
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", p.year, p.month, p.day, p.hour, p.minute, p.second);
  return text;
}

class CliAgainstSim : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = sim_.tempDir();
    client_ = std::make_unique<httplib::Client>("127.0.0.1", sim_.port());
    JsonReader info = get("/sim/info.json");
    simNow_ = std::stoll(GbkToUtf8(info.getText("i.now")));
    // Two hours and a bit after the simulator's now, so that the hours left are not trivial.
    now_ = simNow_ + 2 * 3600 + 1234;
    JsonReader catalogue = get("/sim/catalogue.json?offset=0&limit=200");
    for (int i = 0; i < catalogue.getLength("i.items"); ++i) {
      const std::string at = "i.items[" + std::to_string(i) + "]";
      const std::string kind = catalogue.getText(at + ".kind"), id = catalogue.getText(at + ".id");
      if (kind == "taobao" && taobao_.empty()) taobao_ = id;
      if (kind == "tmall" && tmall_.empty()) tmall_ = id;
      if (kind == "removed" && removed_.empty()) removed_ = id;
    }
    ASSERT_FALSE(taobao_.empty() || tmall_.empty() || removed_.empty());
  }

  JsonReader get(const std::string& target) {
    JsonReader reader;
    auto answer = client_->Get(target.c_str());
    EXPECT_TRUE(answer && answer->status == 200) << target;
    if (answer) reader.load("i", Utf8ToGbk(answer->body));
    return reader;
  }

  std::string url(const std::string& id) { return truthText(id, "url"); }
  std::string truthText(const std::string& id, const std::string& member) {
    return GbkToUtf8(get("/sim/item/" + id + ".json").getText("i." + member));
  }

  // The fourteen cells a correct run shows for item `id` in row `index`.
  Row expectedRow(const std::string& id, int index) {
    JsonReader t = get("/sim/item/" + id + ".json");
    auto text = [&](const char* m) { return GbkToUtf8(t.getText(std::string("i.") + m)); };
    auto timeCell = [&](const char* m) -> std::string {
      const std::string v = text(m);
      if (v.empty()) return "";  // never asked
      if (std::stoll(v) == 0) return kNoTime;
      return GbkToUtf8(DateText(UnixToDate(std::stoll(v))));
    };
    const std::string delist = text("delistAt");
    const int64_t left = delist.empty() || std::stoll(delist) == 0 ? 0 : std::stoll(delist) - now_;
    return {std::to_string(index), text("itemId"),
            text("title"),         text("link"),
            text("seller"),        timeCell("listedAt"),
            timeCell("delistAt"),  std::to_string(left > 0 ? left / 3600 : 0),
            text("shopType"),      text("sales"),
            text("stock"),         text("price"),
            text("location"),      ""};
  }

  std::vector<std::string> common(const std::string& format) {
    return {"--config",
            sim_.configPath(),
            "--login",
            "demo:demo123",
            "--market-cookie",
            kDemoCookie,
            "--now",
            WallClockText(now_),
            "--delay",
            "0",
            "--format",
            format,
            "--quiet",
            "--monitor",
            (fs::path(dir_) / "no-such-file.txt").string()};
  }

  CliRun run(std::vector<std::string> args, const std::string& input = {}) {
    return FinishCli(dir_, StartCli(dir_, args, input));
  }

  static std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }

  SimProcess sim_;
  fs::path dir_;
  std::unique_ptr<httplib::Client> client_;
  int64_t simNow_ = 0, now_ = 0;
  std::string taobao_, tmall_, removed_;
};

TEST_F(CliAgainstSim, ItemRowsEqualTheSimulatorsItemsInBothForms) {
  const std::vector<std::string> ids = {taobao_, tmall_, removed_};
  std::vector<Row> expected;
  for (size_t i = 0; i < ids.size(); ++i) expected.push_back(expectedRow(ids[i], static_cast<int>(i)));
  const std::vector<std::string> items = {"item", url(taobao_), url(tmall_), url(removed_)};

  const CliRun tsv = run(Concat(common("tsv"), items));
  ASSERT_EQ(tsv.exitCode, 0) << tsv.err;
  const auto lines = Lines(tsv.out);
  ASSERT_EQ(lines.size(), 4u) << tsv.out;
  EXPECT_EQ(lines[0],
            "序号\titemID\t标题\t链接\t卖家\t上架时间\t下架时间\t剩余小时数\t店铺类型\t当前销量\t当前库存\t售价"
            "\t所在地\t监测");
  for (size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(TsvCells(lines[i + 1]), expected[i]) << ids[i];

  const CliRun jsonl = run(Concat(common("jsonl"), items));
  ASSERT_EQ(jsonl.exitCode, 0) << jsonl.err;
  const auto jsonLines = Lines(jsonl.out);
  ASSERT_EQ(jsonLines.size(), 3u) << jsonl.out;
  for (size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(JsonlCells(jsonLines[i]), expected[i]) << ids[i];
  EXPECT_NE(expected[0][5], kNoTime);  // the demo session really reached the lookup
}

TEST_F(CliAgainstSim, MonitoredIdsMarkTheirRows) {
  // A hand-edited file: blanks and a dash are not part of an id, an empty line is no id,
  // and a line may end with a plain LF.
  WriteFile(fs::path(dir_) / "ids.txt", "12-3\r\n\r\n " + tmall_ + " \n");
  auto args = common("jsonl");
  args.back() = (fs::path(dir_) / "ids.txt").string();
  const CliRun r = run(Concat(args, {"item", url(taobao_), url(tmall_)}));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(JsonlCells(lines[0])[13], "");
  EXPECT_EQ(JsonlCells(lines[1])[13], "√");
}

TEST_F(CliAgainstSim, RetryRefillsOnlyTheRowWithoutTime) {
  // Rows 0 and 2 carry made-up cells that a re-run would overwrite.
  const std::string kept0 = "0\t1\tKEPT ROW\\tA\t" + url(taobao_) + "\tx\t2014年11月4日21时\t\t0\t店铺\t\t\t\t\t";
  const std::string failed = "1\t\t获取数据失败！\t" + url(tmall_) + "\t\t无时间\t无时间\t0\t店铺\t\t\t\t\t";
  const std::string kept2 = "2\t3\tKEPT ROW C\t" + url(taobao_) + "\tz\t无时间 \t\t0\t店铺\t\t\t\t\t";
  const std::string input =
      "序号\titemID\t标题\t链接\t卖家\t上架时间\t下架时间\t剩余小时数\t店铺类型\t当前销量\t当前库存\t售价\t所在地"
      "\t监测\r\n" +
      kept0 + "\r\n" + failed + "\r\n" + kept2 + "\r\n";
  const CliRun r = run(Concat(common("tsv"), {"retry"}), input);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 4u) << r.out;
  EXPECT_EQ(lines[1], kept0);
  EXPECT_EQ(TsvCells(lines[2]), expectedRow(tmall_, 1));
  EXPECT_EQ(lines[3], kept2);

  // The same rows as JSON lines from a file.
  std::string jsonInput;
  for (const std::string& line : {kept0, failed, kept2}) {
    std::string json = "[";
    for (const std::string& cell : TsvCells(line)) {
      std::string escaped;
      for (char c : cell) escaped += c == '\t' ? std::string("\\t") : std::string(1, c);
      json += (json.size() > 1 ? ",\"" : "\"") + escaped + "\"";
    }
    jsonInput += json + "]\n";
  }
  WriteFile(fs::path(dir_) / "rows.jsonl", jsonInput);
  const CliRun j = run(Concat(common("jsonl"), {"retry", (fs::path(dir_) / "rows.jsonl").string()}));
  ASSERT_EQ(j.exitCode, 0) << j.err;
  const auto jl = Lines(j.out);
  ASSERT_EQ(jl.size(), 3u) << j.out;
  EXPECT_EQ(JsonlCells(jl[0]), TsvCells(kept0));
  EXPECT_EQ(JsonlCells(jl[1]), expectedRow(tmall_, 1));
  EXPECT_EQ(JsonlCells(jl[2]), TsvCells(kept2));
}

TEST_F(CliAgainstSim, SignInAndCookieRefusals) {
  struct Case {
    std::vector<std::string> options;
    int exitCode;
    std::string message;
  } cases[] = {
      {{"--login", "demo:wrongpass"}, 3, "用户密码错误。请重新输入"},
      {{"--login", "nobody:whatever1"}, 3, "用户名不存在。请重新输入"},
      {{"--login", "broken:whatever1"}, 3, "登录错误请重试"},
      {{"--login", "demo:12345"}, 3, "请输入正确的用户名和密码"},
      {{"--login", "demo:demo123", "--market-cookie", "t=short"},
       2,
       "您提供的值可能不正确。请重新提取\n此处不是填写任何帐号或者密码信息\n详情请看窗口上的说明"},
      {{"--login", "demo:demo123", "--market-cookie", " \t "}, 2, "请输入内容"},
      // A file holding only the line break an editor adds is as blank as an empty box.
      {{"--login", "demo:demo123", "--market-cookie-file", "blank.txt"}, 2, "请输入内容"},
  };
  WriteFile(fs::path(dir_) / "blank.txt", "\n \n");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options[1]);
    std::vector<std::string> options = c.options;
    if (options.back() == "blank.txt") options.back() = (fs::path(dir_) / "blank.txt").string();
    const CliRun r = run(Concat(Concat({"--config", sim_.configPath()}, options), {"item", url(taobao_)}));
    EXPECT_EQ(r.exitCode, c.exitCode);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  // A settings file with an unknown endpoint name is refused before anything is sent.
  WriteFile(fs::path(dir_) / "bad.ini", "[endpoints]\r\nSERVICE_BASE=http://127.0.0.1:1/\r\nSERVICE_BAES=x\r\n");
  const CliRun badConfig = run({"--config", (fs::path(dir_) / "bad.ini").string(), "item", url(taobao_)});
  EXPECT_EQ(badConfig.exitCode, 2);
  EXPECT_NE(badConfig.err.find("bad.ini:3"), std::string::npos) << badConfig.err;
  const CliRun unknown = run({"--config", sim_.configPath(), "frobnicate"});
  EXPECT_EQ(unknown.exitCode, 2);
  EXPECT_NE(unknown.err.find("unknown command frobnicate"), std::string::npos) << unknown.err;

  // Rows to retry must be fourteen text cells; anything else is refused before a request.
  struct BadRows {
    const char* name;
    std::string text;
    const char* message;
  } badRows[] = {
      {"number.jsonl", "[\"0\",1,\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"\"]\n", "line 1"},
      {"object.jsonl", "{\"a\":\"b\"}\n", "line 1"},
      {"short.jsonl", "[\"a\"]\n", "line 1"},
      {"broken.jsonl", "[\"a\",\n", "line 1"},
  };
  for (const auto& b : badRows) {
    WriteFile(fs::path(dir_) / b.name, b.text);
    const CliRun r =
        run({"--config", sim_.configPath(), "--service-cookie", "x", "retry", (fs::path(dir_) / b.name).string()});
    EXPECT_EQ(r.exitCode, 2) << b.name;
    EXPECT_NE(r.err.find(b.message), std::string::npos) << b.name << ": " << r.err;
    EXPECT_EQ(r.out, "") << b.name;
  }

  // err 3 has no message of its own, but it is no sign-in either.
  const CliRun expired = run({"--config", sim_.configPath(), "--login", "expired:whatever1", "item", url(taobao_)});
  EXPECT_EQ(expired.exitCode, 3);
  EXPECT_EQ(expired.out, "");
}

TEST_F(CliAgainstSim, PasswordWithFormCharactersSignsIn) {
  auto args = common("jsonl");
  args[3] = "special:a&b=c+d%e f";
  const CliRun r = run(Concat(args, {"item", url(tmall_)}));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 1u) << r.out;
  EXPECT_EQ(JsonlCells(lines[0]), expectedRow(tmall_, 0));
}

// Passwords and cookies can be kept off the command line, and those given on it are
// wiped from what other users of the machine can read while the command runs.
TEST_F(CliAgainstSim, SecretsStayOffTheCommandLine) {
  const fs::path dir(dir_);
  WriteFile(dir / "login.txt", "demo:demo123\r\nignored\n");
  WriteFile(dir / "session.txt", "kv_auth=kelvorademo-session\n");
  auto withLogin = [&](std::vector<std::string> login) {
    auto args = common("jsonl");
    args.erase(args.begin() + 2, args.begin() + 4);
    args.insert(args.begin() + 2, login.begin(), login.end());
    return Concat(args, {"item", url(taobao_)});
  };
  for (const auto& login : std::vector<std::vector<std::string>>{
           {"--login-file", (dir / "login.txt").string()}, {"--service-cookie-file", (dir / "session.txt").string()}}) {
    const CliRun r = run(withLogin(login));
    ASSERT_EQ(r.exitCode, 0) << login[0] << ": " << r.err;
    EXPECT_EQ(JsonlCells(Lines(r.out).at(0)), expectedRow(taobao_, 0)) << login[0];
  }
  ::setenv("KELVORA_PASSWORD", "demo123", 1);
  const CliRun fromEnvironment = run(withLogin({"--login", "demo"}));
  ::setenv("KELVORA_PASSWORD", "wrongpass", 1);
  const CliRun wrongFromEnvironment = run(withLogin({"--login", "demo"}));
  ::unsetenv("KELVORA_PASSWORD");
  EXPECT_EQ(fromEnvironment.exitCode, 0) << fromEnvironment.err;
  EXPECT_EQ(wrongFromEnvironment.exitCode, 3) << wrongFromEnvironment.err;
  // No password anywhere and no terminal to ask at.
  const CliRun none = run(withLogin({"--login", "demo"}));
  EXPECT_EQ(none.exitCode, 2);
  EXPECT_NE(none.err.find("no password"), std::string::npos) << none.err;
  EXPECT_EQ(run(withLogin({"--login-file", (dir / "session.txt").string()})).exitCode, 2);  // no USER:PASSWORD

  // While a command runs, its command line no longer holds the password or the cookie.
  auto args = common("tsv");
  args[9] = "4000";
  const pid_t pid = StartCli(dir_, Concat(args, {"item", url(taobao_), url(tmall_)}), "");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (Lines(ReadFile(dir / "stdout")).size() < 2 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::string cmdline = ReadFile(fs::path("/proc") / std::to_string(pid) / "cmdline");
  kill(pid, SIGINT);
  FinishCli(dir_, pid);
  std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
  EXPECT_NE(cmdline.find("--login demo:"), std::string::npos) << cmdline;
  EXPECT_EQ(cmdline.find("demo123"), std::string::npos) << cmdline;
  EXPECT_EQ(cmdline.find("kelvorademo0000"), std::string::npos) << cmdline;
}

TEST_F(CliAgainstSim, CookieTableFileWithPlainLineBreaksIsFlattened) {
  // A cookie table saved by a Unix editor: the session cookie sits on its second line.
  WriteFile(fs::path(dir_) / "cookie.txt", "键 值\nCookie\tt=kelvorademo;\nCookie\tcookie2=kelvorademo0000\n");
  auto args = common("jsonl");
  args[4] = "--market-cookie-file";
  args[5] = (fs::path(dir_) / "cookie.txt").string();
  const CliRun r = run(Concat(args, {"item", url(taobao_)}));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 1u) << r.out;
  EXPECT_EQ(JsonlCells(lines[0]), expectedRow(taobao_, 0));
}

// stderr on a terminal: one line rewritten in place that counts the items; into a
// file: the plain status and row-count lines; with --quiet: nothing.
TEST_F(CliAgainstSim, ProgressIsOneLineOnATerminal) {
  auto args = common("tsv");
  args.erase(std::find(args.begin(), args.end(), "--quiet"));
  args = Concat(args, {"item", url(taobao_), url(tmall_), url(removed_)});

  auto onTerminal = [&](std::vector<std::string> a) {
    int terminal = -1;
    const std::string out = (fs::path(dir_) / "stdout").string();
    a.insert(a.begin(), std::string(KELVORA_BIN_DIR) + "/kelvora-cli");
    const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid == 0) {
      const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(o, 1);
      std::vector<char*> argv;
      for (std::string& x : a) argv.push_back(x.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    std::string shown;
    char buffer[4096];
    for (ssize_t n; (n = read(terminal, buffer, sizeof buffer)) > 0;) shown.append(buffer, static_cast<size_t>(n));
    close(terminal);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0) << shown;
    EXPECT_EQ(Lines(ReadFile(out)).size(), 4u);  // the rows go to stdout all the same
    return shown;
  };

  const std::string shown = onTerminal(args);
  for (const char* step : {"1 / 3 items", "2 / 3 items", "3 / 3 items"})
    EXPECT_NE(shown.find(std::string("\r\x1b[K") + step), std::string::npos) << step << " in " << shown;
  EXPECT_EQ(shown.find("条数"), std::string::npos) << shown;                          // no line per row
  EXPECT_EQ(shown.substr(shown.size() - std::min<size_t>(shown.size(), 2)), "\r\n");  // the last state stays

  const CliRun piped = run(args);
  EXPECT_EQ(piped.exitCode, 0) << piped.err;
  EXPECT_EQ(piped.err.find('\x1b'), std::string::npos) << piped.err;
  for (const char* count : {"条数：1\n", "条数：2\n", "条数：3\n"})
    EXPECT_NE(piped.err.find(count), std::string::npos) << count << " in " << piped.err;

  auto quiet = args;
  quiet.insert(quiet.begin(), "--quiet");
  EXPECT_EQ(onTerminal(quiet), "");
}

TEST_F(CliAgainstSim, InterruptKeepsThePrintedRows) {
  auto args = common("tsv");
  args[9] = "4000";  // --delay: long enough to interrupt during the pause
  const pid_t pid = StartCli(dir_, Concat(args, {"item", url(taobao_), url(tmall_), url(removed_)}), "");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (Lines(ReadFile(fs::path(dir_) / "stdout")).size() < 2 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const auto interrupted = std::chrono::steady_clock::now();
  kill(pid, SIGINT);
  const CliRun r = FinishCli(dir_, pid);
  EXPECT_LT(std::chrono::steady_clock::now() - interrupted, std::chrono::seconds(3));
  EXPECT_EQ(r.exitCode, 130) << r.err;
  const auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 2u) << r.out;
  EXPECT_EQ(TsvCells(lines[1]), expectedRow(taobao_, 0));
}

TEST_F(CliAgainstSim, SearchCommandsPrintTheirRows) {
  // shop: every row of the first seller as the driver writes it; the keyword search
  // and the list address of the same result page give the same rows.
  JsonReader sellers = get("/sim/sellers.json");
  const std::string nick = GbkToUtf8(sellers.getText("i.sellers[0].nick"));
  const CliRun shop = run(Concat(common("jsonl"), {"shop", nick, "--pages", "1"}));
  ASSERT_EQ(shop.exitCode, 0) << shop.err;
  const auto shopLines = Lines(shop.out);
  ASSERT_EQ(shopLines.size(), 95u);
  const Row first = JsonlCells(shopLines[0]);
  const std::string firstId = first[1];
  ASSERT_FALSE(firstId.empty());
  EXPECT_EQ(first, expectedRow(firstId, 0));

  const CliRun keyword = run(Concat(common("tsv"), {"keyword", "连衣裙", "--pages", "1"}));
  ASSERT_EQ(keyword.exitCode, 0) << keyword.err;
  const std::string page = sim_.baseUrl() + "/s/search?q=%C1%AC%D2%C2%C8%B9&source=tbsy&style=list&tab=all&s=0";
  const CliRun list = run(Concat(common("tsv"), {"list"}), page + "\n");
  ASSERT_EQ(list.exitCode, 0) << list.err;
  EXPECT_EQ(list.out, keyword.out);
  EXPECT_EQ(Lines(keyword.out).size(), 20u);

  const CliRun items = run(Concat(common("tsv"), {"list", "--mode", "item"}), " " + url(taobao_) + "\n" + url(tmall_));
  ASSERT_EQ(items.exitCode, 0) << items.err;
  ASSERT_EQ(Lines(items.out).size(), 3u);
  EXPECT_EQ(TsvCells(Lines(items.out)[2]), expectedRow(tmall_, 1));
}

TEST_F(CliAgainstSim, CategoryCommands) {
  const CliRun tops = run(Concat(common("tsv"), {"categories"}));
  ASSERT_EQ(tops.exitCode, 0) << tops.err;
  const auto lines = Lines(tops.out);
  ASSERT_EQ(lines.size(), 11u);
  EXPECT_EQ(lines[0], "0\t请选择一级分类");
  EXPECT_EQ(lines[1].rfind("16\t", 0), 0u);
  const CliRun subs = run(Concat(common("tsv"), {"categories", "--cat", "30"}));
  ASSERT_EQ(subs.exitCode, 0) << subs.err;
  EXPECT_EQ(Lines(subs.out)[0], "0\t请选择二级分类");
  EXPECT_GT(Lines(subs.out).size(), 1u);

  const std::string sub = TsvCells(Lines(subs.out)[1])[0];
  const CliRun category = run(Concat(common("jsonl"), {"category", "--cat", "30", "--sub", sub, "--pages", "1"}));
  ASSERT_EQ(category.exitCode, 0) << category.err;
  for (const std::string& line : Lines(category.out)) EXPECT_EQ(JsonlCells(line).size(), 14u);
}

TEST_F(CliAgainstSim, RefusedSearchInputs) {
  struct Case {
    std::vector<std::string> command;
    std::string input, message;
  };
  const Case cases[] = {
      {{"keyword", ""}, "", "请输入关键词"},
      {{"keyword", "see http://x"}, "", "请输入关键词。\n使用网址请转到高级搜索"},
      {{"keyword", "a.127.0.0.1"}, "", "请输入关键词。\n使用网址请转到高级搜索"},
      {{"shop", "  "}, "", "昵称不能为空"},
      {{"list"}, "", "请输入网址"},
      {{"category", "--cat", "0"}, "", "请选择一级分类。"},
      {{"category"}, "", "请选择一级分类。"},
  };
  for (const Case& c : cases) {
    const CliRun r = run(Concat(common("tsv"), c.command), c.input);
    EXPECT_EQ(r.exitCode, 2) << c.command[0];
    EXPECT_EQ(r.err, c.message + "\n") << c.command[0];
    EXPECT_EQ(r.out, "") << c.command[0];
  }
  // "HTTPS://" in capitals is a keyword like any other.
  const CliRun upper = run(Concat(common("tsv"), {"keyword", "HTTPS://x", "--pages", "1"}));
  EXPECT_EQ(upper.exitCode, 0) << upper.err;
}

TEST_F(CliAgainstSim, InterruptedShopSearchEndsAfterTheCurrentRow) {
  JsonReader sellers = get("/sim/sellers.json");
  auto args = common("tsv");
  args[9] = "4000";  // --delay, which the shop search does not use: its waits are 5 ms
  const pid_t pid = StartCli(dir_, Concat(args, {"shop", GbkToUtf8(sellers.getText("i.sellers[0].nick"))}), "");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (Lines(ReadFile(fs::path(dir_) / "stdout")).size() < 3 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  kill(pid, SIGTERM);
  const CliRun r = FinishCli(dir_, pid);
  EXPECT_EQ(r.exitCode, 143) << r.err;
  const auto lines = Lines(r.out);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_LT(lines.size(), 201u);
  for (size_t i = 1; i < lines.size(); ++i) EXPECT_EQ(TsvCells(lines[i]).size(), 14u) << lines[i];
}

TEST_F(CliAgainstSim, PagesPrintsOneAddressAPage) {
  const CliRun r = run({"--config", sim_.configPath(), "pages", "--first", "２", "--last", "3", " http://h/s?q=a "});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "http://h/s?s=44&q=a\nhttp://h/s?s=88&q=a\n");
  EXPECT_EQ(run({"--config", sim_.configPath(), "pages", "--first", "5", "http://h/s?q=a"}).out, "");
  EXPECT_EQ(run({"--config", sim_.configPath(), "pages", "--first", "1"}).exitCode, 2);
}

}  // namespace
}  // namespace kelvora
