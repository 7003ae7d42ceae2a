// kelvora-cli export: rows from a file or stdin, in either printed form, into a
// workbook that an independent reader opens; refusals exit 2 with a message.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
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

CliRun RunCli(const fs::path& dir, const std::vector<std::string>& args, const std::string& input) {
  std::ofstream(dir / "stdin", std::ios::binary) << input;
  std::vector<std::string> all = {std::string(KELVORA_BIN_DIR) + "/kelvora-cli"};
  all.insert(all.end(), args.begin(), args.end());
  const std::string in = (dir / "stdin").string(), err = (dir / "stderr").string();
  const pid_t pid = fork();
  if (pid == 0) {
    const int i = open(in.c_str(), O_RDONLY), e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(i, 0);
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
  std::ofstream(dir_ / "odd.jsonl") << "[\"a\\ufffeb\",\"\\uffff\",\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"\"]\n";
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

}  // namespace
}  // namespace kelvora
