// kelvora-cli export: rows from a file or stdin, in either printed form, into a
// workbook that an independent reader opens; refusals exit 2 with a message.
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "net/codec.h"
#include "support/fixtures.h"
#include "support/workbook_reader.h"

namespace kelvora {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;

struct CliRun {
  int exitCode = -1;
  std::string err;
};

// kelvora-cli started with stdin from /dev/null and stderr into `errFile`; killed
// unless it finished. In a sanitizer build the leak check at the exit would scan
// every row kept until then, a second that is no part of stopping: it is left out.
class RunningCli {
 public:
  RunningCli(const fs::path& errFile, std::vector<std::string> args) {
    args.insert(args.begin(), std::string(KELVORA_BIN_DIR) + "/kelvora-cli");
    const std::string err = errFile.string();
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::vector<std::string> env = {"ASAN_OPTIONS=" + (asan && *asan ? std::string(asan) + ":" : std::string()) +
                                    "detect_leaks=0"};
    for (char** e = environ; *e; ++e)
      if (std::strncmp(*e, "ASAN_OPTIONS=", 13) != 0) env.emplace_back(*e);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      const int i = open("/dev/null", O_RDONLY), e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(i, 0);
      dup2(e, 2);
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
  }
  ~RunningCli() {
    if (pid_ > 0 && !finished_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool running() {
    if (!finished_ && waitpid(pid_, &status_, WNOHANG) == pid_) finished_ = true;
    return !finished_;
  }
  void signal(int sig) const { kill(pid_, sig); }
  // The exit code, 128 + the signal when one killed it.
  int finish() {
    if (!finished_) waitpid(pid_, &status_, 0);
    finished_ = true;
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
  }

 private:
  pid_t pid_ = -1;
  int status_ = 0;
  bool finished_ = false;
};

CliRun RunCli(const fs::path& dir, const std::vector<std::string>& args, const std::string& input) {
  std::ofstream(dir / "stdin", std::ios::binary) << input;
  std::vector<std::string> all = {std::string(KELVORA_BIN_DIR) + "/kelvora-cli"};
  all.insert(all.end(), args.begin(), args.end());
  const std::string in = (dir / "stdin").string(), err = (dir / "stderr").string();
  const pid_t pid = fork();
  if (pid == 0) {
    const int i = open(in.c_str(), O_RDONLY), e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(i, 0);
    dup2(open("/dev/null", O_WRONLY), 1);
    dup2(e, 2);
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(dir / "stderr")};
}

class ExportCli : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/kelvora-export-cli-XXXXXX";
    dir_ = mkdtemp(name);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

const std::string kCaptions =
    "序号\titemID\t标题\t链接\t卖家\t上架时间\t下架时间\t剩余小时数\t店铺类型\t当前销量\t当前库存\t售价\t所在地\t监测\n";

TEST_F(ExportCli, RowsFromFileOrStdinReachTheWorkbook) {
  std::ofstream(dir_ / "rows.jsonl")
      << "[\"1\",\"45383717461\",\"春秋\\r\\n新款\",\"https://item.example/1\",\"卖家\",\"\",\"\",\"\",\"天猫\",\"\",\"\",\"\",\"\",\"√\"]\n"
      << "[\"2\",\"7\",\"" << std::string(40000, 'x') << "\",\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"\"]\n";
  const fs::path xls = dir_ / "out.xls";
  CliRun run = RunCli(dir_, {"export", "--out", xls.string(), (dir_ / "rows.jsonl").string()}, "");
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.err.find("32767"), std::string::npos) << run.err;  // the cut cell is reported
  test::WorkbookContents book;
  std::string error;
  ASSERT_TRUE(test::ReadWorkbookIndependently(xls.string(), book, error)) << error;
  ASSERT_EQ(book.rowCount, 3);
  EXPECT_EQ(GbkToUtf8(book.rows[0][0]), "序号a");
  EXPECT_EQ(GbkToUtf8(book.rows[1][2]), "春秋 新款");
  EXPECT_EQ(GbkToUtf8(book.rows[1][13]), "√");
  EXPECT_EQ(book.rows[2][2], std::string(32767, 'x'));

  // tsv on stdin, escapes and all, to .xlsx.
  const fs::path xlsx = dir_ / "OUT.XLSX";
  run = RunCli(dir_, {"--quiet", "export", "--out=" + xlsx.string()},
               kCaptions + "1\t2\t第一行\\n第二行\t\t\t\t\t\t\t\t\t\t\t\n");
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.err, "");
  ASSERT_TRUE(test::ReadWorkbookIndependently(xlsx.string(), book, error)) << error;
  ASSERT_EQ(book.rowCount, 2);
  EXPECT_EQ(GbkToUtf8(book.rows[1][2]), "第一行\n第二行");

  // U+FFFE and U+FFFF have no place in XML: stored as character codes, the workbook
  // still opens (openpyxl refused the file when they were written as they are).
  std::ofstream(dir_ / "odd.jsonl")
      << "[\"a\\ufffeb\",\"\\uffff\",\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"\"]\n";
  const fs::path odd = dir_ / "odd.xlsx";
  run = RunCli(dir_, {"--quiet", "export", "--out", odd.string(), (dir_ / "odd.jsonl").string()}, "");
  ASSERT_EQ(run.exitCode, 0) << run.err;
  ASSERT_TRUE(test::ReadWorkbookIndependently(odd.string(), book, error)) << error;
  ASSERT_EQ(book.rowCount, 2);
  EXPECT_EQ(book.rows[1][0], "a_xFFFE_b");
  EXPECT_EQ(book.rows[1][1], "_xFFFF_");
}

TEST_F(ExportCli, RefusalsExitTwoWithAMessageAndWriteNothing) {
  const std::string rows = kCaptions + "1\t2\t3\t4\t5\t6\t7\t8\t9\t10\t11\t12\t13\t14\n";
  struct Case {
    std::vector<std::string> args;
    std::string input, expected;
  } cases[] = {
      {{"export"}, rows, "--out"},
      {{"export", "--out"}, rows, "--out"},
      {{"export", "--out", (dir_ / "a.csv").string()}, rows, (dir_ / "a.csv").string()},
      {{"export", "--out", (dir_ / "no" / "a.xls").string()}, rows, (dir_ / "no" / "a.xls").string()},
      {{"export", "--out", (dir_ / "a.xls").string()}, "not rows\n", "line 1"},
      {{"export", "--out", (dir_ / "a.xls").string(), (dir_ / "absent.tsv").string()}, "", "absent.tsv"},
      {{"export", "--out", (dir_ / "a.xls").string(), "--sheet", "x"}, rows, "--sheet"},
  };
  for (const Case& c : cases) {
    const CliRun run = RunCli(dir_, c.args, c.input);
    EXPECT_EQ(run.exitCode, 2) << c.args.back();
    EXPECT_NE(run.err.find(c.expected), std::string::npos) << run.err;
  }
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(dir_)) left.push_back(e.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"stderr", "stdin"}));
}

std::vector<std::string> Entries(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A table that takes seconds to write: `count` rows whose titles are random
// letters, which the compression cannot shorten much.
std::string LargeTable(size_t count) {
  std::mt19937 random(7);
  const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string table = kCaptions;
  table.reserve(count * 330);
  for (size_t r = 0; r < count; ++r) {
    table += std::to_string(r) + "\t" + std::to_string(40000000000 + r) + "\t";
    for (int i = 0; i < 250; ++i) table += letters[random() % 62];
    table += "\thttp://item.example/" + std::to_string(r) + "\t卖家\t\t\t\t\t" + std::to_string(random() % 5000) +
             "\t\t9.90\t\t\n";
  }
  return table;
}

// Ctrl-C or SIGTERM ends an export within moments, also while the library
// compresses the workbook (seconds for this table): the file that was there stays
// byte for byte, no temporary file stays beside it, and the exit code tells.
TEST_F(ExportCli, SignalEndsALargeExportAtOnceAndLeavesTheTargetAsItWas) {
  const fs::path rows = dir_ / "large.tsv";
  std::ofstream(rows, std::ios::binary) << LargeTable(200000);
  const fs::path out = dir_ / "out", target = out / "table.xlsx";
  fs::create_directory(out);
  const std::string before = "the workbook of yesterday";
  struct Moment {
    const char* name;
    int signal;
    bool compressing;
  } moments[] = {
      {"reading or laying out the rows", SIGTERM, false},
      {"compressing the workbook", SIGINT, true},
  };
  for (const Moment& m : moments) {
    SCOPED_TRACE(m.name);
    std::ofstream(target, std::ios::binary) << before;
    RunningCli cli(dir_ / "stderr", {"--quiet", "export", "--out", target.string(), rows.string()});
    if (m.compressing) {
      // The library fills our temporary file only when it compresses the sheet.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
      bool compressing = false;
      while (!compressing && cli.running() && std::chrono::steady_clock::now() < deadline) {
        for (const auto& e : fs::directory_iterator(out)) {
          std::error_code ec;
          if (e.path() != target && fs::file_size(e.path(), ec) > 0 && !ec) compressing = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      ASSERT_TRUE(compressing);
    } else {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      ASSERT_TRUE(cli.running());
    }
    const auto signalled = std::chrono::steady_clock::now();
    cli.signal(m.signal);
    EXPECT_EQ(cli.finish(), 128 + m.signal);
    // Left alone it goes on for seconds in either phase.
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::milliseconds(1500));
    EXPECT_EQ(ReadFile(target), before);
    EXPECT_EQ(Entries(out), std::vector<std::string>{"table.xlsx"});
    EXPECT_NE(ReadFile(dir_ / "stderr").find("导出已中断"), std::string::npos) << ReadFile(dir_ / "stderr");
  }
}

// An .xls sheet holds 65 535 rows below its captions: the row after them is
// refused as soon as it is read. The malformed line after it is never reached.
TEST_F(ExportCli, XlsRefusesTheRowPastItsLimitWithoutReadingOn) {
  std::string rows = kCaptions;
  const std::string row = "1\t2\t3\t4\t5\t6\t7\t8\t9\t10\t11\t12\t13\t14\n";
  rows.reserve(row.size() * 65540);
  for (int i = 0; i < 65536; ++i) rows += row;
  rows += "never read\n";
  std::ofstream(dir_ / "rows.tsv", std::ios::binary) << rows;
  const fs::path xls = dir_ / "out.xls";
  CliRun run = RunCli(dir_, {"export", "--out", xls.string(), (dir_ / "rows.tsv").string()}, "");
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_NE(run.err.find("无法导出到“" + xls.string() + "”：表格超过 .xls 文件最多容纳的 65535 行"), std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("line 65537: row 65536, one too many"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("line 65538"), std::string::npos) << run.err;
  EXPECT_FALSE(fs::exists(xls));

  // One row fewer fits; .xlsx takes more.
  rows.erase(rows.size() - row.size() - std::string("never read\n").size());
  std::ofstream(dir_ / "rows.tsv", std::ios::binary) << rows;
  for (const char* name : {"full.xls", "more.xlsx"}) {
    run = RunCli(dir_, {"--quiet", "export", "--out", (dir_ / name).string(), (dir_ / "rows.tsv").string()}, "");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(fs::exists(dir_ / name)) << name;
  }
}

// A small file system that fills up: where the workbook (or the report page) does
// not fit, the user reads our message naming the path, not the library's lines,
// and the file that was there stays. Mounting needs the superuser.
class FullDisk : public ExportCli {
 protected:
  void SetUp() override {
    ExportCli::SetUp();
    disk_ = dir_ / "disk";
    fs::create_directory(disk_);
    if (::mount("tmpfs", disk_.c_str(), "tmpfs", 0, "size=64k") != 0)
      GTEST_SKIP() << "cannot mount a small file system here: " << std::strerror(errno);
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) ::umount2(disk_.c_str(), MNT_DETACH);
    ExportCli::TearDown();
  }
  fs::path disk_;
  bool mounted_ = false;
};

TEST_F(FullDisk, WritersSayTheDiskIsFullNamingThePath) {
  std::string rows = kCaptions;
  for (int i = 0; i < 3000; ++i)
    rows += std::to_string(i) + "\t" + std::to_string(40000000000 + i) + "\t春秋新款 第" + std::to_string(i) +
            "号\thttp://item.example/" + std::to_string(i) + "\t卖家\t\t\t\t\t\t\t\t\t\n";
  std::ofstream(dir_ / "rows.tsv", std::ios::binary) << rows;
  for (const char* name : {"table.xlsx", "table.xls"}) {
    SCOPED_TRACE(name);
    const fs::path target = disk_ / name;
    std::ofstream(target) << "before";
    const CliRun run = RunCli(dir_, {"--quiet", "export", "--out", target.string(), (dir_ / "rows.tsv").string()}, "");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("无法写入文件“" + target.string() + "”：磁盘空间不足"), std::string::npos) << run.err;
    for (const char* libraryWords : {"[ERROR]", "ZIP_ERRNO", "packager"})
      EXPECT_EQ(run.err.find(libraryWords), std::string::npos) << run.err;
    EXPECT_EQ(ReadFile(target), "before");
    EXPECT_EQ(Entries(disk_), std::vector<std::string>{name});
    fs::remove(target);
  }

  // The report page of these rows is larger than the disk as well.
  const fs::path page = disk_ / "report.html";
  const CliRun run = RunCli(dir_, {"--quiet", "report", (dir_ / "rows.tsv").string(), "--html", page.string()}, "");
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_NE(run.err.find("report: " + page.string() + ": No space left on device"), std::string::npos) << run.err;
  EXPECT_TRUE(Entries(disk_).empty());
}

}  // namespace
}  // namespace kelvora
