// kelvora-cli report: the page texts and the advice printed from a rows file,
// and the standalone page written whole.
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/fixtures.h"

namespace kelvora {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;

const char kCaptions[] =
    "序号\titemID\t标题\t链接\t卖家\t上架时间\t下架时间\t剩余小时数\t店铺类型\t当前销量\t当前库存\t售价\t所在地\t监测\n";

std::string Row(int n, const std::string& delist, const std::string& location = "浙江 杭州") {
  return std::to_string(n) + "\t" + std::to_string(1000 + n) + "\t标题\thttp://x/" + std::to_string(n) +
         "\t卖家\t无时间\t" + delist + "\t0\t店铺\t0\t1\t9.90\t" + location + "\t\n";
}

class ReportCli : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kelvora-report-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs kelvora-cli with `args` (each quoted for the shell), stdin from `input`.
  int Run(const std::vector<std::string>& args, const std::string& input) {
    std::ofstream(dir_ / "in", std::ios::binary) << input;
    std::string command = std::string("'") + KELVORA_BIN_DIR + "/kelvora-cli'";
    for (const std::string& a : args) command += " '" + a + "'";
    command +=
        " <'" + (dir_ / "in").string() + "' >'" + (dir_ / "out").string() + "' 2>'" + (dir_ / "err").string() + "'";
    const int status = std::system(command.c_str());
    out_ = ReadFile(dir_ / "out");
    err_ = ReadFile(dir_ / "err");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  fs::path dir_;
  std::string out_, err_;
};

TEST_F(ReportCli, PrintsTheFourSectionsFromTsvAndJsonl) {
  // Today is Sunday 2024-03-03 in UTC+8.
  const std::string tsv = std::string(kCaptions) + Row(0, "2024年3月4日14时") +
                          Row(1, "2024年3月4日14时59分59秒", "O'Brien") + Row(2, "无时间") + Row(3, "") +
                          Row(4, "2024年3月10日9时");
  ASSERT_EQ(Run({"--now", "2024-03-03 10:00:00", "report"}, tsv), 0) << err_;

  const size_t asd = out_.find("== asd ==\n"), fgh = out_.find("\n== fgh ==\n"), nr1 = out_.find("\n== nr1 ==\n"),
               advice = out_.find("\n== 推荐 ==\n");
  ASSERT_EQ(asd, 0u) << out_;
  ASSERT_TRUE(fgh != std::string::npos && nr1 > fgh && advice > nr1) << out_;
  const std::string hourSeries = out_.substr(10, fgh - 10);
  EXPECT_EQ(hourSeries.rfind("[{name: '2024年3月3日',data: [0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,]},", 0),
            0u)
      << hourSeries;
  EXPECT_NE(hourSeries.find("{name: '2024年3月4日',data: [0,0,0,0,0,0,0,0,0,0,0,0,0,0,2,0,"), std::string::npos);
  EXPECT_NE(hourSeries.find("{name: '2024年3月10日',data: [0,0,0,0,0,0,0,0,0,1,0,"), std::string::npos);
  EXPECT_EQ(out_.substr(fgh + 11, nr1 - fgh - 11),
            "[{ name: '周日', data: [] },{ name: '周一', data: [[14.0,2],[14.9,2]] },"
            "{ name: '周二', data: [] },{ name: '周三', data: [] },{ name: '周四', data: [] },"
            "{ name: '周五', data: [] },{ name: '周六', data: [] }]");
  EXPECT_EQ(out_.find("<table border='1' cellpadding='10' cellspacing='1'><tr><td>日期</td><td>0H</td><td>1H</td>"),
            nr1 + 11);
  EXPECT_EQ(out_.substr(advice),
            "\n== 推荐 ==\n"
            "周日 10:00 (0) 11:00 (0) 12:00 (0)\n"  // at 10:00, from 10:00 on
            "周一 09:00 (0) 10:00 (0) 11:00 (0)\n"
            "周二 09:00 (0) 10:00 (0) 11:00 (0)\n"
            "周三 09:00 (0) 10:00 (0) 11:00 (0)\n"
            "周四 09:00 (0) 10:00 (0) 11:00 (0)\n"
            "周五 09:00 (0) 10:00 (0) 11:00 (0)\n"
            "周六 09:00 (0) 10:00 (0) 11:00 (0)\n");

  // The same rows as jsonl, from a file, with evening shop hours from the settings.
  std::ofstream(dir_ / "k.ini") << "[report]\nshop_hours=13-16\n";
  std::string jsonl;
  for (const char* t : {"2024年3月4日14时", "2024年3月4日13时", "2024年3月4日15时30分"})
    jsonl += std::string("[\"0\",\"1\",\"t\",\"l\",\"s\",\"\",\"") + t +
             "\",\"0\",\"店铺\",\"0\",\"\",\"1\",\"北京\",\"\"]\n";
  std::ofstream(dir_ / "rows.jsonl") << jsonl;
  ASSERT_EQ(Run({"--config", (dir_ / "k.ini").string(), "--now", "2024-03-03 23:59:59", "report",
                 (dir_ / "rows.jsonl").string()},
                ""),
            0)
      << err_;
  // A second before midnight no shop hour is left today: tomorrow's line follows.
  EXPECT_NE(out_.find("\n== 推荐 ==\n周日 今日营业时段已过\n周一 16:00 (0) 13:00 (1) 14:00 (1)\n"), std::string::npos)
      << out_;
}

TEST_F(ReportCli, HtmlIsOneStandaloneFile) {
  const std::string tsv = std::string(kCaptions) + Row(0, "2024年3月4日14时");
  const std::string page = (dir_ / "report.html").string();
  std::ofstream(page) << "old";
  ASSERT_EQ(Run({"--now", "2024-03-03 10:00:00", "report", "-", "--html", page}, tsv), 0) << err_;
  const std::string html = ReadFile(page);
  EXPECT_EQ(html.find("src=\"echarts.min.js\""), std::string::npos);
  EXPECT_NE(html.find("Licensed to the Apache Software Foundation"), std::string::npos) << "library inlined";
  EXPECT_NE(html.find("asd('[{name: \\'2024年3月3日\\',data: [0,"), std::string::npos);
  EXPECT_NE(html.find("fgh('[{ name: \\'周日\\', data: [] },{ name: \\'周一\\', data: [[14.0,2]] }"),
            std::string::npos);
  EXPECT_NE(html.find("nr1('<table border=\\'1\\'"), std::string::npos);
  // At 10:00 today's advice starts at 10:00.
  EXPECT_NE(html.find("tj('{hours: [9,23],days: [{name: \\'周日\\',date: \\'2024年3月3日\\',data: [[10,0],"),
            std::string::npos);
  EXPECT_LT(html.find("function asd("), html.find("asd('[{name:")) << "the calls come after the functions";
  size_t files = 0;
  for (const auto& e : fs::directory_iterator(dir_)) files += e.path().filename().string().rfind("report.html", 0) == 0;
  EXPECT_EQ(files, 1u) << "no temporary file left beside the page";
}

TEST_F(ReportCli, RefusedInputs) {
  EXPECT_EQ(Run({"report"}, "not rows\n"), 2);
  EXPECT_NE(err_.find("report: stdin:"), std::string::npos) << err_;
  EXPECT_EQ(Run({"report", "a", "b"}, ""), 2);
  EXPECT_EQ(Run({"report", "--html"}, ""), 2);
  EXPECT_EQ(Run({"report", "--pdf", "x"}, ""), 2);
  EXPECT_EQ(Run({"report", (dir_ / "missing.tsv").string()}, ""), 2);
  EXPECT_EQ(out_, "");
  // A page that cannot be written is refused output, as a workbook is.
  const std::string nowhere = (dir_ / "missing" / "r.html").string();
  EXPECT_EQ(Run({"report", "-", "--html", nowhere}, std::string(kCaptions) + Row(0, "")), 2);
  EXPECT_NE(err_.find("report: " + nowhere + ": "), std::string::npos) << err_;
}

}  // namespace
}  // namespace kelvora
