// kelvora-cli when things go wrong: failed requests marked and re-run, inputs that
// are no files, answers that never end, and signals while rows are being printed.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>

#include "net/codec.h"
#include "net/datetime.h"
#include "net/json.h"
#include "support/fixtures.h"
#include "support/recording_server.h"
#include "support/sim_process.h"

namespace kelvora {
namespace {

using test::CannedResponse;
using test::RecordingServer;
using test::SimProcess;
namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;
using Clock = std::chrono::steady_clock;

const std::string kDemoCookie = "cookie2=kelvorademo0000; _tb_token_=kelvora; t=kelvorademo";
const std::string kServiceCookie = "kv_auth=kelvorademo-session";

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

std::vector<std::string> TsvCells(const std::string& line) {
  std::vector<std::string> cells(1);
  for (char c : line) {
    if (c == '\t')
      cells.emplace_back();
    else
      cells.back() += c;
  }
  return cells;
}

// The cells of a jsonl row (UTF-8) and the names in its fifteenth element.
struct JsonRow {
  std::vector<std::string> cells;
  std::vector<std::string> failed;
  bool hasFifteenth = false;
};
JsonRow ReadJsonRow(const std::string& line) {
  JsonReader reader;
  reader.load("r", Utf8ToGbk(line));
  JsonRow row;
  const int n = reader.getLength("r");
  for (int i = 0; i < n && i < 14; ++i) row.cells.push_back(GbkToUtf8(reader.getText("r[" + std::to_string(i) + "]")));
  row.hasFifteenth = n == 15;
  for (int i = 0; i < reader.getLength("r[14].failed"); ++i)
    row.failed.push_back(reader.getText("r[14].failed[" + std::to_string(i) + "]"));
  return row;
}

// How a kelvora-cli process is started: stdin from `input` (or the file
// `stdinPath`), stdout into a file (or `stdoutFd`).
struct Launch {
  std::string input;
  std::string stdinPath;
  int stdoutFd = -1;
  std::string program = std::string(KELVORA_BIN_DIR) + "/kelvora-cli";
};

class Cli {
 public:
  Cli(const fs::path& dir, std::vector<std::string> args, const Launch& how = {}) : dir_(dir) {
    WriteFile(dir / "stdin", how.input);
    args.insert(args.begin(), how.program);
    const std::string in = how.stdinPath.empty() ? (dir / "stdin").string() : how.stdinPath;
    const std::string out = (dir / "stdout").string(), err = (dir / "stderr").string();
    pid_ = fork();
    if (pid_ == 0) {
      const int i = open(in.c_str(), O_RDONLY);
      const int o = how.stdoutFd >= 0 ? how.stdoutFd : open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(i, 0);
      dup2(o, 1);
      dup2(e, 2);
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
  }
  ~Cli() {
    if (pid_ > 0 && !finished_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  void signal(int sig) const { kill(pid_, sig); }
  // Waits for the end; the exit code (128 + signal when a signal killed it).
  int finish() {
    int status = 0;
    waitpid(pid_, &status, 0);
    finished_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  std::string out() const { return ReadFile(dir_ / "stdout"); }
  std::string err() const { return ReadFile(dir_ / "stderr"); }

 private:
  fs::path dir_;
  pid_t pid_ = -1;
  bool finished_ = false;
};

struct Result {
  int code;
  std::string out, err;
};
Result RunCli(const fs::path& dir, const std::vector<std::string>& args, const Launch& how = {}) {
  Cli cli(dir, args, how);
  const int code = cli.finish();
  return {code, cli.out(), cli.err()};
}

class CliReliability : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kelvora-cli-rel-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(CliReliability, FileInputsThatAreNoFilesOrTooLargeAreRefused) {
  fs::create_directories(dir_ / "folder");
  const fs::path big = dir_ / "big";
  std::ofstream(big).put('[');
  fs::resize_file(big, (size_t{16} << 20) + 1);
  WriteFile(dir_ / "none.ini", "");
  const std::string folder = (dir_ / "folder").string(), bigPath = big.string();
  const std::string closed = "http://127.0.0.1:1/item.htm?id=1";  // fails at once, a row all the same
  const std::vector<std::string> base = {"--config", (dir_ / "none.ini").string(), "--monitor",
                                         (dir_ / "no-ids.txt").string()};
  auto with = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = base;
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  };
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } refused[] = {
      {{"--config", folder, "item", closed}, folder + ": is a folder, not a regular file"},
      {{"--config", "/dev/zero", "item", closed}, "/dev/zero: is a device, not a regular file"},
      {{"--config", bigPath, "item", closed}, bigPath + ": larger than 16 MiB"},
      {with({"--market-cookie-file", folder, "item", closed}), folder + ": is a folder, not a regular file"},
      {with({"--market-cookie-file", "/dev/zero", "item", closed}), "/dev/zero: is a device, not a regular file"},
      {with({"--market-cookie-file", bigPath, "item", closed}), bigPath + ": larger than 16 MiB"},
      {with({"retry", folder}), folder + ": is a folder, not a regular file"},
      {with({"retry", "/dev/zero"}), "/dev/zero: is a device, not a regular file"},
      // Row files have no size limit; this one is one long line that is no row.
      {with({"retry", bigPath}), bigPath + ": line 1: not a JSON array of strings"},
      // The other row and address inputs go through the same reader.
      {with({"report", folder}), folder + ": is a folder, not a regular file"},
      {with({"export", "--out", (dir_ / "out.xlsx").string(), "/dev/zero"}),
       "/dev/zero: is a device, not a regular file"},
      {with({"list", folder}), folder + ": is a folder, not a regular file"},
      {with({"list", "--mode", "item", "/dev/zero"}), "/dev/zero: is a device, not a regular file"},
      {with({"list", bigPath}), bigPath + ": larger than 16 MiB"},
  };
  for (const Case& c : refused) {
    const Result r = RunCli(dir_, c.args);
    EXPECT_EQ(r.code, 2) << c.message;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "") << c.message;
  }
  // Rows and addresses from a stdin that is a folder.
  for (const char* command : {"retry", "report", "list"}) {
    const Result fromFolder = RunCli(dir_, with({command}), {.stdinPath = folder});
    EXPECT_EQ(fromFolder.code, 2) << command;
    EXPECT_NE(fromFolder.err.find("stdin: cannot be read"), std::string::npos) << command << fromFolder.err;
  }
  EXPECT_FALSE(fs::exists(dir_ / "out.xlsx"));

  // An id file that cannot be read is an empty list: the run goes on and says why.
  for (const std::string& ids : {folder, std::string("/dev/zero"), bigPath}) {
    const Result r = RunCli(dir_, {"--config", (dir_ / "none.ini").string(), "--monitor", ids, "item", closed});
    EXPECT_EQ(r.code, 0) << ids << r.err;
    EXPECT_EQ(Lines(r.out).size(), 2u) << r.out;
    EXPECT_NE(r.err.find("监测列表无法读取，按空列表处理：" + ids + ": "), std::string::npos) << r.err;
  }
  // The same for a cfg_jsid.txt folder beside the program.
  fs::create_directories(dir_ / "bin" / "cfg_jsid.txt");
  fs::copy_file(std::string(KELVORA_BIN_DIR) + "/kelvora-cli", dir_ / "bin" / "kelvora-cli");
  Cli beside(dir_, {"--config", (dir_ / "none.ini").string(), "item", closed},
             {.program = (dir_ / "bin" / "kelvora-cli").string()});
  EXPECT_EQ(beside.finish(), 0) << beside.err();
  EXPECT_EQ(Lines(beside.out()).size(), 2u);
  EXPECT_NE(beside.err().find("cfg_jsid.txt: is a folder, not a regular file"), std::string::npos) << beside.err();
}

// Bytes that are not UTF-8 (a file saved as GBK, a cut character) and the zero
// character are refused by every command that reads rows, once, naming the line:
// converted as they were, they became "?" and a cell cut short without a word.
TEST_F(CliReliability, RowsThatAreNotTextAreRefusedNamingTheLine) {
  const std::string captions =
      "序号\titemID\t标题\t链接\t卖家\t上架时间\t下架时间\t剩余小时数\t店铺类型\t当前销量\t当前库存\t售价\t所在地\t监测\n";
  const std::string good = "1\t2\t标题\t\t\t\t\t\t\t\t\t\t\t\n";
  const std::string goodJson = R"(["1","2","标题","","","","","","","","","","",""])"
                               "\n";
  struct Case {
    std::string name, input, message;
  } cases[] = {
      {"GBK bytes", captions + good + "1\t2\t\xB1\xEA\xCC\xE2\t\t\t\t\t\t\t\t\t\t\t\n",
       "line 3: not UTF-8 (byte 0xB1 at byte 5 of the line)"},
      {"a character cut short", captions + "1\t2\t\xE6\xA0\n", "line 2: not UTF-8 (byte 0xE6 at byte 5 of the line)"},
      {"an overlong form", goodJson + "[\"\xC0\xAF\"]\n", "line 2: not UTF-8 (byte 0xC0 at byte 3 of the line)"},
      {"a surrogate", "[\"\xED\xA0\x80\"]\n", "line 1: not UTF-8 (byte 0xED at byte 3 of the line)"},
      {"an escaped zero",
       goodJson + R"(["1","2","a\u0000b","","","","","","","","","","",""])"
                  "\n",
       "line 2: a zero character (\\u0000) in the cell 标题"},
      {"a zero byte", captions + good + good + std::string("1\t2\t\t\t\0\t\t\t\t\t\t\t\t\t\n", 17),
       "line 4: a zero character (\\u0000) in the cell 卖家"},
  };
  const fs::path workbook = dir_ / "out.xlsx";
  const std::vector<std::vector<std::string>> commands = {
      {"retry"}, {"report"}, {"export", "--out", workbook.string()}};
  for (const Case& c : cases) {
    for (const auto& command : commands) {
      SCOPED_TRACE(c.name + ", " + command[0]);
      std::vector<std::string> args = {"--monitor", (dir_ / "none").string(), "--quiet"};
      args.insert(args.end(), command.begin(), command.end());
      const Result r = RunCli(dir_, args, {.input = c.input});
      EXPECT_EQ(r.code, 2);
      EXPECT_EQ(r.err, "kelvora-cli: " + command[0] + ": stdin: " + c.message + "\n");
      EXPECT_EQ(r.out, "");
      EXPECT_FALSE(fs::exists(workbook));
    }
  }
}

// The simulator on a fixed port, first failing every answer, then answering all:
// the rows of the first run carry their failed requests, and retry mends them.
TEST_F(CliReliability, FailedRequestsAreMarkedAndRetryRerunsThemFromJsonl) {
  int port = 0;
  std::string taobao, tmall, titles[2];
  {
    SimProcess clean;
    ASSERT_TRUE(clean.running());
    port = clean.port();
    httplib::Client c("127.0.0.1", port);
    auto cat = c.Get("/sim/catalogue.json?offset=0&limit=100");
    ASSERT_TRUE(cat);
    JsonReader items;
    items.load("i", Utf8ToGbk(cat->body));
    // The first Taobao and Tmall items that have both times, with their titles.
    for (int i = 0; i < items.getLength("i.items") && (taobao.empty() || tmall.empty()); ++i) {
      const std::string at = "i.items[" + std::to_string(i) + "]";
      const std::string kind = items.getText(at + ".kind"), id = items.getText(at + ".id");
      std::string* slot = kind == "taobao" ? &taobao : kind == "tmall" ? &tmall : nullptr;
      if (!slot || !slot->empty()) continue;
      auto truth = c.Get(("/sim/item/" + id + ".json").c_str());
      ASSERT_TRUE(truth);
      JsonReader t;
      t.load("t", Utf8ToGbk(truth->body));
      if (t.getText("t.listedAt") == "0" || t.getText("t.itemId").empty()) continue;
      *slot = id;
      (kind == "taobao" ? titles[0] : titles[1]) = GbkToUtf8(t.getText("t.title"));
    }
    ASSERT_FALSE(taobao.empty() || tmall.empty());
  }
  const std::string ini = (dir_ / "sim.ini").string();
  auto common = [&](const std::string& format) {
    return std::vector<std::string>{"--config",        ini,         "--service-cookie", kServiceCookie,
                                    "--market-cookie", kDemoCookie, "--delay",          "0",
                                    "--format",        format,      "--monitor",        (dir_ / "no-ids.txt").string()};
  };
  std::string firstRun;
  std::string urls[2];
  {
    SimProcess failing({"--port", std::to_string(port), "--fail-rate", "1"});
    ASSERT_TRUE(failing.running());
    fs::copy_file(failing.configPath(), ini, fs::copy_options::overwrite_existing);
    std::ofstream(ini, std::ios::app) << "[http]\nstall_timeout=2\n";
    urls[0] = failing.baseUrl() + "/item/item.htm?id=" + taobao;
    urls[1] = failing.baseUrl() + "/detail/item.htm?id=" + tmall;
    auto args = common("jsonl");
    args.insert(args.end(), {"item", urls[0], urls[1]});
    const Result r = RunCli(dir_, args);
    ASSERT_EQ(r.code, 0) << r.err;
    const auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    for (int i = 0; i < 2; ++i) {
      const JsonRow row = ReadJsonRow(lines[i]);
      // A dropped page reads 获取数据失败！; a 500 page is read as a page (whose other
      // requests then fail too). Either way the page is named.
      ASSERT_FALSE(row.failed.empty()) << lines[i];
      EXPECT_EQ(row.failed[0], "page");
      EXPECT_NE(r.err.find("kelvora-cli: row " + std::to_string(i) + ": page ("), std::string::npos) << r.err;
    }
    firstRun = r.out;
  }
  SimProcess clean({"--port", std::to_string(port)});
  ASSERT_TRUE(clean.running());
  ASSERT_EQ(clean.port(), port);

  // Re-run as they were written: both rows now whole, without a fifteenth element.
  // A third row with a date and a failed secondary request is re-run too; a fourth
  // with made-up cells and no mark is left as it was read.
  const std::string kept = R"(["3","1","KEPT","x","","2014年11月4日21时","","0","店铺","","","","",""])";
  const std::string marked = R"(["2","0","x",")" + urls[0] +
                             R"(","","2014年11月4日21时","","0","店铺","0","","","","",{"failed":["secondary"]}])";
  WriteFile(dir_ / "rows.jsonl", firstRun + marked + "\n" + kept + "\n");
  auto args = common("jsonl");
  args.insert(args.end(), {"retry", (dir_ / "rows.jsonl").string()});
  const Result r = RunCli(dir_, args);
  ASSERT_EQ(r.code, 0) << r.err;
  const auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 4u) << r.out;
  for (int i = 0; i < 3; ++i) {
    const JsonRow row = ReadJsonRow(lines[i]);
    EXPECT_FALSE(row.hasFifteenth) << lines[i];
    EXPECT_EQ(row.cells[0], std::to_string(i));
    EXPECT_NE(row.cells[5], "无时间") << lines[i];
  }
  EXPECT_EQ(ReadJsonRow(lines[0]).cells[1], taobao);
  EXPECT_EQ(ReadJsonRow(lines[1]).cells[1], tmall);
  EXPECT_EQ(ReadJsonRow(lines[0]).cells[2], titles[0]);
  EXPECT_EQ(ReadJsonRow(lines[1]).cells[2], titles[1]);
  // The marked row names the first item: it reads as the first row does.
  std::vector<std::string> first = ReadJsonRow(lines[0]).cells, third = ReadJsonRow(lines[2]).cells;
  first[0] = third[0] = "";
  EXPECT_EQ(third, first);
  EXPECT_EQ(lines[3], kept);
  EXPECT_EQ(r.err.find("failed"), std::string::npos) << r.err;

  // A fifteenth element that is not the failure list is refused, naming the line.
  for (const std::string& bad :
       {std::string(R"(,{"failed":["nope"]}])"), std::string(R"(,{"failed":"page"}])"), std::string(R"(,5])")}) {
    WriteFile(dir_ / "bad.jsonl", kept + "\n" + kept.substr(0, kept.size() - 1) + bad + "\n");
    auto badArgs = common("jsonl");
    badArgs.insert(badArgs.end(), {"retry", (dir_ / "bad.jsonl").string()});
    const Result b = RunCli(dir_, badArgs);
    EXPECT_EQ(b.code, 2) << bad;
    EXPECT_NE(b.err.find("line 2"), std::string::npos) << b.err;
    EXPECT_EQ(b.out, "");
  }
}

// The search commands print their rows as the driver completes them: with their
// failed requests in jsonl and a stderr line, as item does.
TEST_F(CliReliability, SearchRowsCarryTheirFailedRequests) {
  WriteFile(dir_ / "none.ini", "");
  const std::string closed = "http://127.0.0.1:1/item.htm?id=1";
  const Result r = RunCli(dir_,
                          {"--config", (dir_ / "none.ini").string(), "--monitor", (dir_ / "none").string(), "--delay",
                           "0", "--format", "jsonl", "list", "--mode", "item"},
                          {.input = closed + "\n" + closed});
  EXPECT_EQ(r.code, 0) << r.err;
  const auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 2u) << r.out;
  for (int i = 0; i < 2; ++i) {
    const JsonRow row = ReadJsonRow(lines[i]);
    EXPECT_EQ(row.cells[2], "获取数据失败！");
    ASSERT_FALSE(row.failed.empty()) << lines[i];
    EXPECT_EQ(row.failed[0], "page");
    EXPECT_NE(r.err.find("kelvora-cli: row " + std::to_string(i) + ": page (no answer) failed"), std::string::npos)
        << r.err;
  }
}

// A page that sends 100 bytes every 100 ms for half a minute: never a stall, so
// only the total time-out or a signal ends it.
TEST_F(CliReliability, TricklingAnswerEndsByTotalTimeoutOrBySignal) {
  RecordingServer server;
  server.on("/drip.htm",
            CannedResponse{.body = std::string(30000, 'a'), .trickleBytes = 100, .trickleIntervalMs = 100});
  WriteFile(dir_ / "short.ini", "[http]\ntotal_timeout=1\n");
  WriteFile(dir_ / "long.ini", "");
  const std::string url = server.url("/drip.htm");
  auto args = [&](const char* ini) {
    return std::vector<std::string>{"--config", (dir_ / ini).string(), "--monitor", (dir_ / "none").string(), "item",
                                    url};
  };
  auto start = Clock::now();
  const Result r = RunCli(dir_, args("short.ini"));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(r.code, 0) << r.err;
  auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 2u) << r.out;
  EXPECT_EQ(TsvCells(lines[1])[2], "获取数据失败！");
  EXPECT_NE(r.err.find("row 0: page (cut short) failed"), std::string::npos) << r.err;

  // A signal aborts the request in flight, of item and of a search command alike.
  struct Run {
    const char* name;
    std::vector<std::string> args;
    Launch how;
  };
  std::vector<std::string> listArgs = args("long.ini");
  listArgs.pop_back();
  listArgs.back() = "list";
  listArgs.insert(listArgs.end(), {"--mode", "item"});
  const Run runs[] = {{"item", args("long.ini"), {}}, {"list --mode item", listArgs, {.input = url}}};
  for (const Run& run : runs) {
    for (int sig : {SIGINT, SIGTERM}) {
      SCOPED_TRACE(std::string(run.name) + ", signal " + std::to_string(sig));
      server.clearRequests();
      Cli cli(dir_, run.args, run.how);
      ASSERT_TRUE(server.waitForRequests(1, std::chrono::seconds(10)));
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      start = Clock::now();
      cli.signal(sig);
      EXPECT_EQ(cli.finish(), 128 + sig);
      EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
      lines = Lines(cli.out());
      ASSERT_EQ(lines.size(), 2u) << cli.out();
      EXPECT_EQ(TsvCells(lines[1]).size(), 14u);
      EXPECT_EQ(cli.out().back(), '\n');
    }
  }
}

// Rows of over 100 KB written into a pipe that nobody reads yet, and a signal
// while the program is blocked writing: the row being written is finished and
// the run ends with 130. The signal meets a write that has sent part of its row,
// and, with the pipe filled up beforehand, one that has sent nothing yet.
TEST_F(CliReliability, InterruptedRunIntoASlowPipeLeavesOnlyWholeRows) {
  RecordingServer server;
  const std::string title(100000, 't');
  server.on("/big.htm", CannedResponse{.headers = {{"Content-Type", "text/html; charset=gbk"}},
                                       .body = "<title>" + title + "</title><script>\n  sellerNick       : 'n',\n" +
                                               "  sibUrl           : '" + server.url("/sib?") + "',\n</script>" +
                                               "<input type=\"hidden\" name=\"item_id\" value=\"123456\">"});
  server.on("/sib", CannedResponse{.body = R"(onSibRequestSuccess({"data":{"quanity":"6","price":"1.50"}});)"});
  server.on("/svc/index.php/Getinfo/get", CannedResponse{.body = R"({"data":{"sjsj":"1415107601"}})"});
  WriteFile(dir_ / "k.ini", "[endpoints]\nSERVICE_BASE=" + server.url("/svc/") + "\n");
  std::vector<std::string> args = {
      "--config", (dir_ / "k.ini").string(), "--monitor", (dir_ / "none").string(), "--delay", "0", "--quiet", "item"};
  for (int i = 0; i < 6; ++i) args.push_back(server.url("/big.htm?n=" + std::to_string(i)));

  for (const bool prefilled : {false, true}) {
    SCOPED_TRACE(prefilled ? "pipe full before the first write" : "signal in the middle of a row");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string filler;
    if (prefilled) {
      // Fill the pipe to the last byte, so the caption line cannot go out at all.
      const int flags = fcntl(fds[1], F_GETFL);
      fcntl(fds[1], F_SETFL, flags | O_NONBLOCK);
      while (write(fds[1], "f", 1) == 1) filler += 'f';
      fcntl(fds[1], F_SETFL, flags);
    }
    Cli cli(dir_, args, {.stdoutFd = fds[1]});
    close(fds[1]);
    // Wait until the pipe is (about) full and stays so: the program is blocked
    // in a write.
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    const int capacity = fcntl(fds[0], F_GETPIPE_SZ);
    int queued = 0, before = -1;
    while (Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      if (ioctl(fds[0], FIONREAD, &queued) != 0) break;
      if (queued >= capacity / 2 && queued == before) break;
      before = queued;
    }
    ASSERT_GE(queued, capacity / 2);
    cli.signal(SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    // Now read, slowly.
    std::string out;
    char buffer[4096];
    for (;;) {
      const ssize_t n = read(fds[0], buffer, sizeof buffer);
      if (n <= 0) break;
      out.append(buffer, static_cast<size_t>(n));
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    close(fds[0]);
    EXPECT_EQ(cli.finish(), 130) << cli.err();
    ASSERT_EQ(out.compare(0, filler.size(), filler), 0);
    out.erase(0, filler.size());
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back(), '\n');
    const auto lines = Lines(out);
    EXPECT_EQ(TsvCells(lines[0]).size(), 14u);  // the caption
    EXPECT_EQ(TsvCells(lines[0])[1], "itemID");
    EXPECT_LT(lines.size(), 7u);  // it ended early
    if (!prefilled) {
      EXPECT_GE(lines.size(), 2u);
    }
    for (size_t i = 1; i < lines.size(); ++i) {
      const auto cells = TsvCells(lines[i]);
      ASSERT_EQ(cells.size(), 14u) << i;
      EXPECT_EQ(cells[2], title) << i;
    }
  }
}

}  // namespace
}  // namespace kelvora
