// Workbooks written by the export, read back by independent readers (xlrd for
// .xls, openpyxl for .xlsx): the sheet layout, texts that span records or exceed
// Excel's cell limit, and the refusals that must leave no file behind.
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <set>
#include <stop_token>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <xlsxwriter.h>

#include "analysis/workbook.h"
#include "analysis/workbook_io.h"
#include "net/codec.h"
#include "net/datetime.h"
#include "support/fixtures.h"
#include "support/workbook_reader.h"

namespace kelvora {
namespace {

namespace fs = std::filesystem;
using test::G;

std::string Repeat(const std::string& piece, size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (size_t i = 0; i < times; ++i) out += piece;
  return out;
}

RowCells Row(std::initializer_list<std::string> utf8) {
  RowCells row;
  size_t c = 0;
  for (const std::string& text : utf8) row[c++] = G(text);
  return row;
}

class ScratchDir {
 public:
  ScratchDir() {
    char name[] = "/tmp/kelvora-workbook-XXXXXX";
    path_ = ::mkdtemp(name);
  }
  ~ScratchDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, ec);
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(path_)) names.push_back(e.path().filename().string());
    return names;
  }

 private:
  fs::path path_;
};

bool IsXlsx(const fs::path& path) { return WorkbookFormatOf(path.string()) == WorkbookFormat::Xlsx; }

test::WorkbookContents ReadBack(const fs::path& path, int64_t maxRows = -1) {
  test::WorkbookContents contents;
  std::string error;
  EXPECT_TRUE(test::ReadWorkbookIndependently(path.string(), contents, error, maxRows)) << error;
  // The .xls is all text on one sheet; the .xlsx stores numbers and times as such
  // and has the sheet of delistings by hour beside the data.
  EXPECT_EQ(contents.sheets, IsXlsx(path) ? 2 : 1);
  if (!IsXlsx(path)) {
    EXPECT_TRUE(contents.allText);
  }
  EXPECT_EQ(contents.log.find("WARNING"), std::string::npos) << contents.log;
  return contents;
}

const std::vector<std::string> kHeaderUtf8 = {"序号a",     "itemIDa",   "标题a",       "链接a",     "卖家a",
                                              "上架时间a", "下架时间a", "剩余小时数a", "店铺类型a", "当前销量a",
                                              "当前库存a", "售价a",     "所在地a",     "监测a"};

// Row 1 as the format holds it: each caption followed by "a" in .xls, as it is in .xlsx.
std::vector<std::string> HeaderGbk(const std::string& ext = ".xls") {
  std::vector<std::string> header;
  for (const std::string& h : kHeaderUtf8) header.push_back(G(ext == ".xlsx" ? h.substr(0, h.size() - 1) : h));
  return header;
}

TEST(WorkbookLayout, HeaderCaptionsEndInAAndOnlyCrLfBecomesABlank) {
  const RowCells header = SheetHeaderRow();
  EXPECT_EQ(std::vector<std::string>(header.begin(), header.end()), HeaderGbk());

  struct Case {
    std::string in, out;
  } cases[] = {
      {"a\r\nb", "a b"},
      {"a\nb", "a\nb"},
      {"a\rb", "a\rb"},
      {"\r\n\r\n", "  "},
      {"a\r\r\nb", "a\r b"},
      {"a\r", "a\r"},
      {G("标题\r\n二"), G("标题 二")},
  };
  for (const Case& c : cases) EXPECT_EQ(SheetCellText(c.in), c.out) << c.in;
}

TEST(WorkbookLayout, FormatFollowsTheExtensionInAnyCase) {
  struct Case {
    const char* path;
    WorkbookFormat format;
  } cases[] = {
      {"/a/b.xls", WorkbookFormat::Xls},   {"b.XLS", WorkbookFormat::Xls},       {"b.xlsx", WorkbookFormat::Xlsx},
      {"/a/b.XlSx", WorkbookFormat::Xlsx}, {"b.csv", WorkbookFormat::Unknown},   {"b.xls.txt", WorkbookFormat::Unknown},
      {"xls", WorkbookFormat::Unknown},    {"/a/.xls", WorkbookFormat::Unknown}, {"b.xlsm", WorkbookFormat::Unknown},
      {"", WorkbookFormat::Unknown},
  };
  for (const Case& c : cases) EXPECT_EQ(WorkbookFormatOf(c.path), c.format) << c.path;

  ScratchDir dir;
  const std::string path = (dir.path() / "rows.csv").string();
  const WorkbookResult r = WriteWorkbook(path, {Row({"1"})});
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.message.find(path), std::string::npos) << GbkToUtf8(r.message);
  EXPECT_TRUE(dir.entries().empty());
}

// What openpyxl sees of an .xlsx: sheet names, the frozen caption row, the filter,
// bold captions, and each cell's type, value and number format.
std::string XlsxLayout(const fs::path& path, int rows) {
  const std::string command = "/usr/bin/python3 " + std::string(KELVORA_FIXTURES_DIR) + "/../support/xlsx_layout.py '" +
                              path.string() + "' " + std::to_string(rows) + " 2>&1";
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
    ::pclose(p);
  }
  return out;
}

TEST(WorkbookLayout, XlsxIsReadyForWork) {
  SetNowOverride(MakeDateTime(2026, 12, 11, 9, 0, 0));
  const std::vector<RowCells> rows = {
      Row({"1", "45383717461", "春秋新款", "https://item.example/1", "卖家", "2026年12月11日10时",
           "2026年12月12日8时5分", "12", "天猫", "35", "100", "59.00", "浙江 杭州", "√"}),
      // Not numbers or times as a whole: text. A price range stays text.
      Row({"2", "7", "x", "", "", "无时间", "2026-12-12 08:05:00", "-3", "店铺", "007", "1e3", "50.80 - 99.00", "",
           ""}),
      Row({"3", "8", "y", "", "", "2026年12月11日", "2026年12月12日8时30分15秒", "0", "店铺", "0", "2.5", "9.9", "",
           ""}),
  };
  ScratchDir dir;
  const fs::path path = dir.path() / "ready.xlsx";
  ASSERT_TRUE(WriteWorkbook(path.string(), rows).ok);
  const std::string time = "yyyy\"年\"m\"月\"d\"日\"h\"时\"mm\"分\"ss\"秒\"";
  const std::string expected =
      "sheets 数据|下架时间分布\n"
      "freeze A2 filter A1:N4 bold captions True\n"
      "1 text:序号 text:itemID text:标题 text:链接 text:卖家 text:上架时间 text:下架时间 text:剩余小时数 "
      "text:店铺类型 text:当前销量 text:当前库存 text:售价 text:所在地 text:监测\n"
      "2 number:1 text:45383717461 text:春秋新款 text:https://item.example/1 text:卖家 time:2026-12-11 10:00:00:" +
      time + " time:2026-12-12 08:05:00:" + time + " number:12 text:天猫 number:35 number:100 number:59:0.00 " +
      "text:浙江 杭州 text:√\n"
      "3 number:2 text:7 text:x - - text:无时间 text:2026-12-12 08:05:00 number:-3 text:店铺 text:007 text:1e3 "
      "text:50.80 - 99.00 - -\n"
      "4 number:3 text:8 text:y - - time:2026-12-11 00:00:00:" +
      time + " time:2026-12-12 08:30:15:" + time +
      " number:0 text:店铺 number:0 number:2.5 number:9.9 - -\n"
      "charts 1\n"
      "text:日期 text:0时 text:1时 text:2时 text:3时 text:4时 text:5时 text:6时 text:7时 text:8时 text:9时 text:10时 "
      "text:11时 text:12时 text:13时 text:14时 text:15时 text:16时 text:17时 text:18时 text:19时 text:20时 text:21时 "
      "text:22时 text:23时\n"
      "text:12月11日 周五 number:0 number:0 number:0 number:0 number:0 number:0 number:0 number:0 number:0 number:0 "
      "number:0 number:0 number:0 number:0 number:0 number:0 number:0 number:0 number:0 number:0 number:0 number:0 "
      "number:0 number:0\n"
      // 8时 of the 12th: the three delistings, as the report counts them (its own
      // reading also takes "2026-12-12 08:05:00").
      "text:12月12日 周六 number:0 number:0 number:0 number:0 number:0 number:0 number:0 number:0 number:3 number:0 "
      "number:0 number:0 number:0 number:0 number:0 number:0 number:0 number:0 number:0 number:0 number:0 number:0 "
      "number:0 number:0\n"
      "sheets deflated fastest 2 True\n";
  EXPECT_EQ(XlsxLayout(path, 4), expected);
  SetNowOverride(std::nullopt);
}

class WorkbookFormats : public ::testing::TestWithParam<const char*> {
 protected:
  std::string ext() const { return GetParam(); }
};

INSTANTIATE_TEST_SUITE_P(Both, WorkbookFormats, ::testing::Values(".xls", ".xlsx"),
                         [](const auto& info) { return std::string(info.param + 1); });

TEST_P(WorkbookFormats, ReaderFindsHeaderRowsAndWholeTexts) {
  const std::string chinese30000 = Repeat("上架", 15000);
  const std::string ascii30000 = Repeat("0123456789", 3000);
  // Excel keeps 32 767 UTF-16 units; a character outside the BMP takes two and
  // is never split.
  const std::string ascii32766 = Repeat("x", 32766);
  const std::vector<RowCells> rows = {
      Row({"1", "45383717461", "春秋新款\r\n女装\r\n连衣裙", "https://item.example/item.htm?id=1", "卖家甲",
           "2019年3月1日10时", "2019年3月8日10时", "12", "天猫", "35", "100", "59.00", "浙江 杭州", "√"}),
      Row({"2", "", "第一行\n第二行", "", "𠀀 😀 䶵", "", "", "", "店铺", "", "", "", "", ""}),
      Row({"3", ascii30000, chinese30000, Repeat("字", 40000), ascii32766 + "😀", Repeat("y", 32767), "", "", "", "", "",
           "", "", ""}),
  };
  ScratchDir dir;
  fs::create_directory(dir.path() / "导出");
  const fs::path path = dir.path() / "导出" / ("结果" + ext());
  const WorkbookResult result = WriteWorkbook(path.string(), rows);
  ASSERT_TRUE(result.ok) << GbkToUtf8(result.message);
  EXPECT_EQ(result.cutCells, 2);
  EXPECT_NE(result.warning.find("2"), std::string::npos);
  EXPECT_EQ(std::vector<std::string>{"导出"}, dir.entries());
  EXPECT_EQ(std::vector<std::string>{"结果" + ext()},
            std::vector<std::string>{fs::directory_iterator(dir.path() / "导出")->path().filename().string()});

  const test::WorkbookContents book = ReadBack(path);
  ASSERT_EQ(book.rowCount, 4);
  EXPECT_EQ(book.columnCount, kResultColumnCount);
  EXPECT_EQ(book.rows[0], HeaderGbk(ext()));
  std::vector<std::vector<std::string>> expected = {
      {"1", "45383717461", G("春秋新款 女装 连衣裙"), "https://item.example/item.htm?id=1", G("卖家甲"),
       G("2019年3月1日10时"), G("2019年3月8日10时"), "12", G("天猫"), "35", "100", "59.00", G("浙江 杭州"), G("√")},
      {"2", "", G("第一行\n第二行"), "", G("𠀀 😀 䶵"), "", "", "", G("店铺"), "", "", "", "", ""},
      {"3", ascii30000, G(chinese30000), G(Repeat("字", 32767)), ascii32766, Repeat("y", 32767), "", "", "", "", "", "",
       "", ""},
  };
  if (ext() == ".xlsx") {  // the times and the price read back as date-times and a number
    expected[0][5] = "2019-03-01 10:00:00";
    expected[0][6] = "2019-03-08 10:00:00";
    expected[0][11] = "59";
  }
  for (size_t r = 0; r < expected.size(); ++r)
    for (int c = 0; c < kResultColumnCount; ++c)
      EXPECT_EQ(book.rows[r + 1][c], expected[r][c]) << "row " << r + 1 << " column " << c;
}

TEST_P(WorkbookFormats, EmptyTableGivesOnlyTheHeader) {
  ScratchDir dir;
  const fs::path path = dir.path() / ("empty" + ext());
  const WorkbookResult result = WriteWorkbook(path.string(), {});
  ASSERT_TRUE(result.ok) << GbkToUtf8(result.message);
  EXPECT_EQ(result.cutCells, 0);
  EXPECT_TRUE(result.warning.empty());
  const test::WorkbookContents book = ReadBack(path);
  ASSERT_EQ(book.rowCount, 1);
  EXPECT_EQ(book.rows[0], HeaderGbk(ext()));
}

// Thousands of texts of every length and width, so that the shared strings of
// .xls cross record boundaries at every possible offset: a header at the end of a
// record, one byte left before a two-byte character, repeated texts.
TEST_P(WorkbookFormats, ManyMixedTextsReadBackExactly) {
  std::mt19937 random(20240611);
  const std::vector<std::string> pieces = {"a", "Z", "9", " ", "é", "丝", "袜", "·", "𠀀", "€", "\n"};
  std::vector<RowCells> rows(2500);
  for (RowCells& row : rows)
    for (std::string& cell : row) {
      const size_t length = random() % 60;
      std::string utf8;
      const bool narrow = random() % 3 == 0;
      for (size_t i = 0; i < length; ++i) utf8 += pieces[random() % (narrow ? 5 : pieces.size())];
      cell = G(utf8);
    }
  rows[7][3] = rows[1][2];  // the same text twice

  ScratchDir dir;
  const fs::path path = dir.path() / ("mixed" + ext());
  const WorkbookResult result = WriteWorkbook(path.string(), rows);
  ASSERT_TRUE(result.ok) << GbkToUtf8(result.message);
  const test::WorkbookContents book = ReadBack(path);
  ASSERT_EQ(book.rowCount, static_cast<int64_t>(rows.size()) + 1);
  for (size_t r = 0; r < rows.size(); ++r)
    ASSERT_EQ(book.rows[r + 1], std::vector<std::string>(rows[r].begin(), rows[r].end())) << "row " << r + 1;
}

// Writes as a user without root rights, so the folder's permissions apply also
// when the tests run as root. Returns the result's message; `ok` tells success.
std::string WriteAsNobody(const std::string& path, const std::vector<RowCells>& rows, bool& ok) {
  int fds[2];
  if (::pipe(fds) != 0) return "no pipe";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
    const WorkbookResult r = WriteWorkbook(path, rows);
    (void)!::write(fds[1], r.message.data(), r.message.size());
    ::_exit(r.ok ? 0 : 1);
  }
  ::close(fds[1]);
  std::string message;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) message.append(buffer, static_cast<size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) <= 1) << "writer child failed: " << status;
  return message;
}

TEST_P(WorkbookFormats, UnwritablePathsAreRefusedNamingPathAndReasonAndLeaveNoFile) {
  const std::vector<RowCells> rows = {Row({"1", "2", "标题"})};
  ScratchDir dir;
  fs::permissions(dir.path(), fs::perms::others_exec, fs::perm_options::add);

  const std::string missing = (dir.path() / "no-such-folder" / ("x" + ext())).string();
  WorkbookResult r = WriteWorkbook(missing, rows);
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.message.find(missing), std::string::npos) << GbkToUtf8(r.message);
  EXPECT_NE(r.message.find(G("文件夹不存在")), std::string::npos) << GbkToUtf8(r.message);

  const fs::path locked = dir.path() / "locked";
  fs::create_directory(locked);
  fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                              fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  const std::string lockedPath = (locked / ("x" + ext())).string();
  bool ok = true;
  const std::string message = WriteAsNobody(lockedPath, rows, ok);
  EXPECT_FALSE(ok);
  EXPECT_NE(message.find(lockedPath), std::string::npos) << GbkToUtf8(message);
  EXPECT_NE(message.find(G("权限")), std::string::npos) << GbkToUtf8(message);
  EXPECT_TRUE(fs::is_empty(locked));

  // A folder under the chosen name fails only at the very end, after the whole
  // workbook was written: the temporary file must go too.
  const fs::path folder = dir.path() / ("taken" + ext());
  fs::create_directory(folder);
  r = WriteWorkbook(folder.string(), rows);
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.message.find(folder.string()), std::string::npos) << GbkToUtf8(r.message);
  EXPECT_TRUE(fs::is_directory(folder));
  std::vector<std::string> left = dir.entries();
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"locked", "taken" + ext()}));
}

TEST_P(WorkbookFormats, ExistingFileIsReplacedWhole) {
  ScratchDir dir;
  const fs::path path = dir.path() / ("again" + ext());
  ASSERT_TRUE(WriteWorkbook(path.string(), {Row({"1"}), Row({"2"}), Row({"3"})}).ok);
  ASSERT_TRUE(WriteWorkbook(path.string(), {Row({"9"})}).ok);
  const test::WorkbookContents book = ReadBack(path);
  ASSERT_EQ(book.rowCount, 2);
  EXPECT_EQ(book.rows[1][0], "9");
  EXPECT_EQ(dir.entries().size(), 1u);
}

TEST_P(WorkbookFormats, StopRequestLeavesTheTargetAsItWas) {
  ScratchDir dir;
  const fs::path path = dir.path() / ("kept" + ext());
  test::WriteFile(path.string(), "the workbook of yesterday");
  std::stop_source stop;
  stop.request_stop();
  const WorkbookResult r =
      WriteWorkbook(path.string(), {Row({"1"}), Row({"2"})}, WorkbookFormat::Unknown, stop.get_token());
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(r.stopped);
  EXPECT_NE(r.message.find(path.string()), std::string::npos) << GbkToUtf8(r.message);
  EXPECT_EQ(test::ReadFile(path.string()), "the workbook of yesterday");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"kept" + ext()});
}

// An export that was killed left its temporary file, up to a workbook's size: the
// next export into that folder removes it, but not the file of one still running.
TEST_P(WorkbookFormats, LeftoversOfEndedExportsGo) {
  ScratchDir dir;
  const std::string stale = TempName(workbook::ExportTempNames(), test::EndedProcessId(), "0");
  const std::string running = TempName(workbook::ExportTempNames(), ::getpid(), "999999");
  test::WriteFile((dir.path() / stale).string(), "half a workbook");
  test::WriteFile((dir.path() / running).string(), "a workbook being written");
  ASSERT_TRUE(WriteWorkbook((dir.path() / ("new" + ext())).string(), {Row({"1"})}).ok);
  std::vector<std::string> left = dir.entries();
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{running, "new" + ext()}));
}

// Excel reads "_xHHHH_" in an .xlsx text as a character code; such a text is
// stored with its underscore escaped, as Excel stores it, also at the cell limit.
// (openpyxl shows the stored form; .xls has no such codes.)
TEST(XlsxWorkbook, TextsThatLookLikeCharacterCodesAreStoredEscaped) {
  ScratchDir dir;
  const fs::path path = dir.path() / "codes.xlsx";
  const std::string nearLimit = "_x0041_" + Repeat("y", 32760);
  const WorkbookResult result = WriteWorkbook(path.string(), {Row({"_x0041_", "_x00zz_ _X0041_", nearLimit})});
  ASSERT_TRUE(result.ok) << GbkToUtf8(result.message);
  EXPECT_EQ(result.cutCells, 1);
  const test::WorkbookContents book = ReadBack(path);
  ASSERT_EQ(book.rowCount, 2);
  EXPECT_EQ(book.rows[1][0], "_x005F_x0041_");
  EXPECT_EQ(book.rows[1][1], "_x00zz_ _X0041_");
  EXPECT_EQ(book.rows[1][2], "_x005F_x0041_" + Repeat("y", 32754));
}

// The zero character would cut a cell short, and control characters have no place in
// XML 1.0: both are stored as character codes (U+FFFE and U+FFFF: see the export test
// of kelvora-cli, whose rows can carry them).
TEST(XlsxWorkbook, ControlCharactersAreStoredAsCodes) {
  ScratchDir dir;
  const fs::path path = dir.path() / "forbidden.xlsx";
  const WorkbookResult result = WriteWorkbook(path.string(), {Row({std::string("c\0d", 3), std::string("e\x01"
                                                                                                       "f")})});
  ASSERT_TRUE(result.ok) << GbkToUtf8(result.message);
  const test::WorkbookContents book = ReadBack(path);
  ASSERT_EQ(book.rowCount, 2);
  EXPECT_EQ(book.rows[1][0], "c_x0000_d");
  EXPECT_EQ(book.rows[1][1], "e_x0001_f");
}

// One part of an .xlsx (zip) file, through Python's own zip reader.
std::string XlsxPart(const fs::path& path, const std::string& part) {
  const std::string command =
      "/usr/bin/python3 -c 'import sys, zipfile; "
      "sys.stdout.buffer.write(zipfile.ZipFile(sys.argv[1]).read(sys.argv[2]))' '" +
      path.string() + "' '" + part + "' 2>&1";
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buffer[65536];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
    ::pclose(p);
  }
  return out;
}

std::string SheetData(const std::string& sheetXml) {
  const size_t begin = sheetXml.find("<sheetData>"), end = sheetXml.find("</sheetData>");
  return begin == std::string::npos || end == std::string::npos ? "no sheetData in: " + sheetXml.substr(0, 300)
                                                                : sheetXml.substr(begin, end - begin);
}

// The data sheet's rows are our own XML: byte for byte what libxlsxwriter writes
// for the same cells (a number, a time, a text), with the same styles, through
// texts that need escaping or keep their spaces, numbers of every form, and
// enough rows that the sheet is compressed in several pieces.
TEST(XlsxWorkbook, RowsAreStoredAsTheLibraryStoresThem) {
  const std::vector<std::vector<std::string>> table = {
      // 序号 .. 监测, UTF-8
      {"1", "45383717461", "plain", "https://a.example/?a=1&b=<2>", "卖家", "2026年12月11日10时",
       "2026年12月12日8时30分15秒", "12", "天猫", "35", "100", "59.00", "浙江 杭州", "√"},
      {"2", " lead", "trail ", "\ttab", "nl\n", "a\rb", "\r", "-3", "\x01x\x1f", "123456789012345678", "-0", "9.9",
       "\x0b", "a \"b' > c"},
      {"3", "😀 𠀀", "<&>", "", "", "无时间", "2026-12-12 08:05:00", "0", "\x7f", "0.1", "1e3", "0.1234567890123456789",
       "x\n", "\t"},
      {"", "", "", "", "", "", "", "", "", "", "", "", "", ""},  // no cell: no row
      {"99999999999999", "007", "50.80 - 99.00", "", "", "2026年1月1日", "", "1234567.891", "", "4503599627370497", "",
       "1000000000000000", "", ""},
  };
  std::vector<RowCells> rows;
  for (const auto& cells : table) {
    RowCells row;
    for (size_t c = 0; c < cells.size(); ++c) row[c] = G(cells[c]);
    rows.push_back(row);
  }
  std::mt19937 random(7);
  for (int r = 0; r < 4000; ++r) {
    RowCells row;
    for (int c = 0; c < kResultColumnCount; ++c) row[c] = std::to_string(random() % 100000);
    row[2] = G("标题 " + std::to_string(random()) + (r % 7 ? "" : " & <更多>"));
    row[5] = G("2026年3月" + std::to_string(r % 28 + 1) + "日10时" + std::to_string(r % 60) + "分");
    row[11] = std::to_string(random() % 1000) + "." + std::to_string(random() % 90 + 10);
    rows.push_back(row);
  }
  ScratchDir dir;
  const fs::path ours = dir.path() / "ours.xlsx";
  ASSERT_TRUE(WriteWorkbook(ours.string(), rows).ok);

  // The same cells, each through the library as the type it has in our sheet.
  const fs::path library = dir.path() / "library.xlsx";
  lxw_workbook_options options{};
  options.constant_memory = LXW_TRUE;
  lxw_workbook* book = workbook_new_opt(library.c_str(), &options);
  ASSERT_NE(book, nullptr);
  lxw_worksheet* sheet = workbook_add_worksheet(book, "数据");
  lxw_format* bold = workbook_add_format(book);
  format_set_bold(bold);
  lxw_format* twoDecimals = workbook_add_format(book);
  format_set_num_format(twoDecimals, "0.00");
  lxw_format* dateTime = workbook_add_format(book);
  format_set_num_format(dateTime, "yyyy\"年\"m\"月\"d\"日\"h\"时\"mm\"分\"ss\"秒\"");
  for (lxw_format* f : {bold, twoDecimals, dateTime}) lxw_format_get_xf_index(f);
  for (int c = 0; c < kResultColumnCount; ++c)
    worksheet_write_string(sheet, 0, c, GbkToUtf8(ResultColumns()[c].caption).c_str(), bold);
  const std::set<int> numbers = {0, 7, 9, 10, 11};
  for (size_t r = 0; r < rows.size(); ++r) {
    for (int c = 0; c < kResultColumnCount; ++c) {
      const std::string& gbk = rows[r][c];
      const std::string utf8 = GbkToUtf8(gbk);
      const bool number = numbers.count(c) && !utf8.empty() &&
                          utf8.find_first_not_of("-.0123456789") == std::string::npos &&
                          utf8.find(" ") == std::string::npos && utf8 != "007";
      const DateTime time = TextToDate(gbk);
      if (number) {
        const bool cents = c == 11 && utf8.size() > 3 && utf8[utf8.size() - 3] == '.';
        worksheet_write_number(sheet, r + 1, c, std::strtod(utf8.c_str(), nullptr), cents ? twoDecimals : nullptr);
      } else if ((c == 5 || c == 6) && time != kSmallestDate && DateText(time) == gbk) {
        worksheet_write_number(sheet, r + 1, c, time, dateTime);
      } else if (!utf8.empty()) {
        worksheet_write_string(sheet, r + 1, c, utf8.c_str(), nullptr);
      }
    }
  }
  ASSERT_EQ(workbook_close(book), LXW_NO_ERROR);

  const std::string expected = SheetData(XlsxPart(library, "xl/worksheets/sheet1.xml"));
  ASSERT_GT(expected.size(), 300000u);  // several pieces of compression
  const std::string got = SheetData(XlsxPart(ours, "xl/worksheets/sheet1.xml"));
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected) << "first difference at byte "
                               << std::mismatch(got.begin(), got.end(), expected.begin(), expected.end()).first -
                                      got.begin();
  EXPECT_NE(got.find("<c r=\"C3\" t=\"inlineStr\"><is><t xml:space=\"preserve\">trail </t>"), std::string::npos);
  EXPECT_NE(got.find("<c r=\"L4\"><v>0.1234567890123457</v>"), std::string::npos);

  // Taken in row by row, the same workbook.
  XlsxRows streamed;
  for (const RowCells& row : rows) streamed.add(row);
  EXPECT_EQ(streamed.rowCount(), rows.size());
  const fs::path again = dir.path() / "streamed.xlsx";
  ASSERT_TRUE(streamed.write(again.string()).ok);
  for (const char* part : {"xl/worksheets/sheet1.xml", "xl/worksheets/sheet2.xml", "xl/styles.xml"})
    EXPECT_EQ(XlsxPart(again, part), XlsxPart(ours, part)) << part;
}

// 65 536 sheet rows fill an .xls sheet (and need the compound document's
// extended allocation table); one more data row is refused, not cut.
TEST(XlsWorkbook, FullSheetIsWrittenAndOneRowMoreIsRefused) {
  std::vector<RowCells> rows(kMaxXlsDataRows);
  for (size_t r = 0; r < rows.size(); ++r) {
    for (int c = 0; c < kResultColumnCount; ++c) rows[r][c] = "c" + std::to_string(c);
    rows[r][0] = std::to_string(r + 1);
    rows[r][2] = G("标题 ") + std::to_string(r % 1000);
    rows[r][13] = r % 2 ? "" : G("√");
  }
  ScratchDir dir;
  const fs::path full = dir.path() / "full.xls";
  const WorkbookResult result = WriteWorkbook(full.string(), rows);
  ASSERT_TRUE(result.ok) << GbkToUtf8(result.message);
  EXPECT_GT(fs::file_size(full), 109u * 128 * 512);
  const test::WorkbookContents book = ReadBack(full, 2);
  EXPECT_EQ(book.rowCount, 65536);
  ASSERT_EQ(book.lastRow.size(), 14u);
  EXPECT_EQ(book.lastRow[0], "65535");
  EXPECT_EQ(book.lastRow[2], G("标题 534"));
  EXPECT_EQ(book.lastRow[13], G("√"));

  rows.push_back(rows.back());
  const fs::path over = dir.path() / "over.xls";
  const WorkbookResult refused = WriteWorkbook(over.string(), rows);
  EXPECT_FALSE(refused.ok);
  EXPECT_NE(refused.message.find(over.string()), std::string::npos) << GbkToUtf8(refused.message);
  EXPECT_NE(refused.message.find("65536"), std::string::npos) << GbkToUtf8(refused.message);
  EXPECT_NE(refused.message.find(".xlsx"), std::string::npos) << GbkToUtf8(refused.message);
  EXPECT_FALSE(fs::exists(over));
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"full.xls"});
}

}  // namespace
}  // namespace kelvora
