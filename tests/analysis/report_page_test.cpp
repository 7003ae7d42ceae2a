#include "analysis/report_page.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "support/fixtures.h"

namespace kelvora {
namespace {

namespace fs = std::filesystem;

TEST(JsStringLiteralTest, EscapesWhatWouldEndTheStringOrTheScript) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"{name: '2024年3月3日',data: [0,]}", "'{name: \\'2024年3月3日\\',data: [0,]}'"},
      {"a\\b", "'a\\\\b'"},
      {"line\r\nbreak\n", "'line\\r\\nbreak\\n'"},
      {"tab\there\x01\x7f", "'tab\\there\\x01\\x7F'"},
      {"x</script><script>alert(1)</SCRIPT>", "'x<\\/script><script>alert(1)<\\/SCRIPT>'"},
      {"<!-- c --><p>", "'<\\!-- c --><p>'"},
      {"\xE2\x80\xA8|\xE2\x80\xA9|\xE2\x80\xA6", "'\\u2028|\\u2029|\xE2\x80\xA6'"},  // … stays
      {"\"double\"", "'\"double\"'"},
      {"", "''"},
  };
  for (const Case& c : cases) EXPECT_EQ(JsStringLiteral(c.in), c.out) << c.in;
}

TEST(ReportPageTest, FunctionCallConvertsGbkText) {
  EXPECT_EQ(PageFunctionCall("fgh", test::G("[{ name: '周日', data: [] }]")),
            "fgh('[{ name: \\'周日\\', data: [] }]');");
}

TEST(ReportPageTest, StandalonePageInlinesTheLibraryAndRunsTheCalls) {
  const std::string page =
      "<html><head><script src=\"echarts.min.js\"></script><style>p{}</style></head>"
      "<body><p>report</p><script>function asd(t){}</script></BODY></html>";
  std::string out, error;
  ASSERT_TRUE(BuildStandaloneReportPage(page, "var lib='</script>';", "asd('x');", out, error)) << error;
  EXPECT_EQ(out,
            "<html><head><script>var lib='<\\/script>';</script><style>p{}</style></head>"
            "<body><p>report</p><script>function asd(t){}</script><script>\nasd('x');\n</script>\n"
            "</BODY></html>");

  EXPECT_FALSE(BuildStandaloneReportPage("<html><body></body></html>", "lib", "", out, error));
  EXPECT_EQ(error, "the report page does not load echarts.min.js");
  EXPECT_FALSE(BuildStandaloneReportPage("<script src=\"echarts.min.js\"></script>", "lib", "", out, error));
}

TEST(ReportPageTest, WriteFileReplacingLeavesWholeFilesOnly) {
  const fs::path dir = fs::temp_directory_path() / ("kelvora-page-" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string target = (dir / "report.html").string();
  std::string error;
  ASSERT_TRUE(WriteFileReplacing(target, "first", error)) << error;
  ASSERT_TRUE(WriteFileReplacing(target, std::string(100000, 'x'), error)) << error;
  std::ifstream in(target, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), std::string(100000, 'x'));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1) << "no temporary file left";

  EXPECT_FALSE(WriteFileReplacing((dir / "missing" / "r.html").string(), "x", error));
  EXPECT_NE(error.find("missing/r.html"), std::string::npos) << error;

  // The temporary file of a run that was killed goes with the next write beside
  // it; that of a process still writing stays.
  const std::string stale = target + ".tmp-" + std::to_string(test::EndedProcessId()) + "-0";
  const std::string running = target + ".tmp-" + std::to_string(getpid()) + "-999";
  test::WriteFile(stale, "half a page");
  test::WriteFile(running, "a page being written");
  ASSERT_TRUE(WriteFileReplacing(target, "third", error)) << error;
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_EQ(test::ReadFile(running), "a page being written");
  fs::remove_all(dir);
}

}  // namespace
}  // namespace kelvora
