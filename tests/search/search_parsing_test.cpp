// The search modes' encoders and parsers, and the monitored id file, without a network.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "net/endpoints.h"
#include "net/shared_state.h"
#include "search/category_search.h"
#include "search/keyword_search.h"
#include "search/list_search.h"
#include "search/monitored.h"
#include "search/shop_search.h"
#include "support/fixtures.h"

namespace kelvora {
namespace {

namespace fs = std::filesystem;
using test::G;

TEST(SearchEncoders, KeywordAndUtf8QueryEncodings) {
  struct Case {
    std::string gbk, keyword, utf8Query;
  };
  const Case cases[] = {
      {"a b" + G("中"), "a%20b%D6%D0", "a%20b%E4%B8%AD"},
      {"a-b", "a%2Db", "a-b"},
      {"a+b c", "a%2Bb%20c", "a%2Bb%20c"},
      {"Az09", "Az09", "Az09"},
      {"._~*,/@", "%2E%5F%7E%2A%2C%2F%40", "._%7E*,/@"},
      {"\n:?[^`{", "%0A%3A%3F%5B%5E%60%7B", "%0A%3A%3F%5B%5E%60%7B"},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PercentEncodeKeyword(c.gbk), c.keyword) << c.gbk;
    EXPECT_EQ(EncodeUtf8Query(c.gbk), c.utf8Query) << c.gbk;
  }
}

TEST(SearchEncoders, KeywordRefusals) {
  Endpoints e = DefaultEndpoints();
  e.MARKET_DOMAIN_SUFFIX = ".taobao.com";
  SetEndpoints(e);
  const std::string noKeyword = G("请输入关键词");
  const std::string address = G("请输入关键词。\r\n使用网址请转到高级搜索");
  const std::pair<std::string, std::string> cases[] = {
      {"", noKeyword},
      {"x http://y", address},
      {"https://", address},
      {"shop.taobao.com/x", address},
      {"HTTPS://x", ""},
      {"Http://x", ""},
      {"taobao.com", ""},
      // Blanks alone would search for unrelated items.
      {" ", noKeyword},
      {" \t\r\n", noKeyword},
      {G("　 　"), noKeyword},
      {G(" 连衣裙 "), ""},
      {G("连衣裙"), ""},
  };
  for (const auto& [keyword, refusal] : cases) EXPECT_EQ(KeywordRefusal(keyword), refusal) << keyword;
  SetEndpoints(DefaultEndpoints());
}

std::string ConfigPage(const std::string& auctions, const std::string& markup = {}) {
  return "<html>" + markup +
         "<script>\n g_page_config = {\"pageName\":\"mainsrp\",\"mods\":{\"itemlist\":" + "{\"data\":{\"auctions\":[" +
         auctions + "]}}}};\n g_srp_loadCss();</script></html>";
}

std::string FirstFormLink(const std::string& href, const std::string& pid = "1") {
  return "<a trace=\"auction\"  traceNum=\"3\"  data-pid=\"" + pid + "\" href=\"" + href +
         "\" target=\"_blank\" class=\"summary-img\">";
}

TEST(SearchResultPage, BothRoutesInPageOrder) {
  using V = std::vector<std::string>;
  const std::string a1 = "{\"detail_url\":\"//h/item.htm?id=1\"}", a2 = "{\"detail_url\":\"http://h/x?id=2\"}";
  struct Case {
    const char* name;
    std::string page;
    V expected;
  };
  const Case cases[] = {
      {"config object",
       ConfigPage(a1 + "," + a2 + "," + a1),
       {"//h/item.htm?id=1", "http://h/x?id=2", "//h/item.htm?id=1"}},
      {"empty auctions hide the links", ConfigPage("", FirstFormLink("//h/a")), {}},
      {"object without its end", "g_page_config = {\"mods\":{}}" + FirstFormLink("//h/a"), {}},
      {"first link form",
       "<div>" + FirstFormLink("//h/a") + "\n" + FirstFormLink("//h/b", "9") + "</div>",
       {"//h/a", "//h/b"}},
      {"second link form",
       "<a trace=\"auction\" traceidx=\"0\" href=\"//h/c\" target=\"_blank\"><a trace=\"auction\" traceidx=\"1\" "
       "href=\"//h/d\">",
       {"//h/c", "//h/d"}},
      {"first form wins over the second",
       FirstFormLink("//h/a") + "<a trace=\"auction\" traceidx=\"1\" href=\"//h/d\">",
       {"//h/a"}},
      {"a class not beginning with s",
       "<a trace=\"auction\"  traceNum=\"3\"  data-pid=\"1\" href=\"//h/a\" "
       "target=\"_blank\" class=\"pic\">",
       {}},
      {"apostrophes are not the page's quotes", "<a trace='auction' traceidx='0' href='//h/c'>", {}},
      {"nothing", "<html>no results</html>", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(SearchResultAddresses(c.page), c.expected) << c.name;
}

TEST(ShopAnswer, JsonpWithLineBreaksAnywhere) {
  const std::pair<std::string, std::string> cases[] = {
      {"\r\njsonp60({\"itemList\":[{\"href\":\"//h/i\r\ntem\"}]})", "{\"itemList\":[{\"href\":\"//h/item\"}]}"},
      {"jsonp60({\"a\":\"(x)\"})", "{\"a\":\"(x)\"}"},
      {"jsonp60({\"a\":1})\n", "{\"a\":1}"},
      {"{\"itemList\":[]}", ""},
      {"", ""},
  };
  for (const auto& [answer, json] : cases) EXPECT_EQ(ShopAnswerJson(answer), json) << answer;
}

TEST(CategoryAnswer, GroupedAndFlatLists) {
  const std::string grouped =
      "{\"cat\":{\"hasGroup\":\"1\",\"catGroupList\":[{\"name\":\"g1\",\"catList\":[{\"name\":\"a\",\"value\":\"1\"},"
      "{\"name\":\"b\",\"value\":\"2\"},{\"name\":\"c\",\"value\":\"3\"}]},{\"name\":\"g2\",\"catList\":["
      "{\"name\":\"d\",\"value\":4},{\"name\":\"e\",\"value\":\"x\"}]}],\"catList\":[{\"name\":\"flat\",\"value\":\"9\"}]}}";
  const std::vector<CategoryEntry> groupedEntries{{"a", 1}, {"b", 2}, {"c", 3}, {"d", 4}, {"e", 0}};
  EXPECT_EQ(ParseCategoryAnswer(grouped, true), groupedEntries);
  // The first level never reads groups.
  EXPECT_EQ(ParseCategoryAnswer(grouped, false), (std::vector<CategoryEntry>{{"flat", 9}}));
  const std::string flat =
      "{\"cat\":{\"hasGroup\":\"0\",\"catList\":[{\"name\":\"" + G("男装") + "\",\"value\":\"30\"}]}}";
  EXPECT_EQ(ParseCategoryAnswer(flat, true), (std::vector<CategoryEntry>{{G("男装"), 30}}));
  EXPECT_TRUE(ParseCategoryAnswer("not json", true).empty());
}

TEST(ListAddressLines, SplitAsTheEditBoxText) {
  using V = std::vector<std::string>;
  EXPECT_EQ(ListAddressLines(" a \r\n\r\nb\r\n"), (V{"a", "", "b"}));
  EXPECT_EQ(ListAddressLines("\r\n"), (V{""}));
  EXPECT_EQ(ListAddressLines("a\nb"), (V{"a\nb"}));  // only CR LF separates lines
}

class MonitoredFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kelvora-monitored-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    path_ = (dir_ / "cfg_jsid.txt").string();
  }
  void TearDown() override {
    fs::remove_all(dir_);
    SetMonitoredItemIds({});
  }
  std::string Read() {
    std::ifstream in(path_, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  void Write(const std::string& bytes) { std::ofstream(path_, std::ios::binary) << bytes; }
  fs::path dir_;
  std::string path_;
};

TEST_F(MonitoredFileTest, SaveStripsAndLoadSplits) {
  using V = std::vector<std::string>;
  struct Case {
    std::string edited, stored;
    V loaded;
  };
  const Case cases[] = {
      // Ids pasted on one line: commas, full-width commas, blanks and tabs separate them.
      {"7, 8", "7\r\n8\r\n", {"7", "8"}},
      {"11,22" + G("，") + "33 44\t55" + G("　") + "66,,",
       "11\r\n22\r\n33\r\n44\r\n55\r\n66\r\n",
       {"11", "22", "33", "44", "55", "66"}},
      {"1-2\r\n\r\na_b", "12\r\nab\r\n", {"12", "ab"}},
      {"123\r\n456\r\n", "123\r\n456\r\n", {"123", "456"}},
      {"{|}~\t" + G("中文") + "!\"#$%&'()*+./:;<=>?@[\\]^`", "{|}~\r\n" + G("中文") + "\r\n", {"{|}~", G("中文")}},
      {"", "", {}},
  };
  for (const Case& c : cases) {
    SetMonitoredItemIds({"stale"});
    ASSERT_TRUE(SaveMonitoredItems(path_, c.edited)) << c.edited;
    // The saved list is in effect at once: the next rows are marked by it.
    EXPECT_EQ(*MonitoredItemIds(), c.loaded) << c.edited;
    EXPECT_EQ(Read(), c.stored) << c.edited;
    EXPECT_EQ(LoadMonitoredItems(path_), c.loaded) << c.edited;
    EXPECT_EQ(*MonitoredItemIds(), c.loaded) << c.edited;
  }
  // No temporary file stays behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(MonitoredFileTest, DoubleByteTrailBytesSurviveStripping) {
  // 丂 is 81 40: its trail byte is "@", which alone would be stripped.
  const std::string text = G("丂") + "@";
  EXPECT_EQ(StripMonitorText(text), G("丂"));
}

TEST_F(MonitoredFileTest, EditorTextIsTheFileUnfilteredUpToAZeroByte) {
  Write(std::string("1 2\r\nx-y\0tail", 13));
  EXPECT_EQ(ReadMonitoredFile(path_), "1 2\r\nx-y");
  EXPECT_EQ(LoadMonitoredItems(path_), (std::vector<std::string>{"1", "2", "xy"}));
  // A missing file is an empty list without a word; a directory is no id file, and says so.
  std::string status = "stale";
  EXPECT_EQ(ReadMonitoredFile((dir_ / "missing.txt").string(), &status), "");
  EXPECT_EQ(status, "");
  EXPECT_EQ(ReadMonitoredFile(dir_.string(), &status), "");
  EXPECT_EQ(status, G("监测列表无法读取，按空列表处理：") + dir_.string() + ": is a folder, not a regular file");
}

TEST_F(MonitoredFileTest, FailedSaveKeepsTheOldFile) {
  Write("111\r\n222");
  // The temporary name is taken by a directory, so the new list cannot be written.
  fs::create_directory(path_ + ".tmp-" + std::to_string(::getpid()));
  EXPECT_FALSE(SaveMonitoredItems(path_, "333"));
  EXPECT_EQ(Read(), "111\r\n222");
  EXPECT_FALSE(SaveMonitoredItems((dir_ / "no-such-dir" / "cfg_jsid.txt").string(), "1"));
}

// A save that was killed left its temporary file: the next save removes it, but
// not that of a process still running.
TEST_F(MonitoredFileTest, SaveRemovesTheTemporaryFilesOfEndedProcessesOnly) {
  const std::string stale = path_ + ".tmp-" + std::to_string(test::EndedProcessId());
  const std::string running = path_ + ".tmp-" + std::to_string(::getppid());
  test::WriteFile(stale, "111\r\n");
  test::WriteFile(running, "222\r\n");
  ASSERT_TRUE(SaveMonitoredItems(path_, "333"));
  EXPECT_EQ(Read(), "333\r\n");
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_EQ(test::ReadFile(running), "222\r\n");
}

TEST_F(MonitoredFileTest, AReadOnlyListIsNotReplacedAndPermissionsStay) {
  Write("111\r\n");
  SetMonitoredItemIds({"111"});
  fs::permissions(path_, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  EXPECT_FALSE(SaveMonitoredItems(path_, "333"));  // also for the superuser
  EXPECT_EQ(Read(), "111\r\n");
  EXPECT_EQ(*MonitoredItemIds(), std::vector<std::string>{"111"});
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);

  fs::permissions(path_, fs::perms::owner_read | fs::perms::owner_write);
  ASSERT_TRUE(SaveMonitoredItems(path_, "333"));
  EXPECT_EQ(fs::status(path_).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(MonitoredFileTest, OneFileRuleForTheDesktopAndTheCommandLine) {
  EXPECT_EQ(MonitoredFilePath(dir_.string()), (dir_ / "cfg_jsid.txt").string());
  const char* old = std::getenv("XDG_DATA_HOME");
  const std::string saved = old ? old : "";
  ::setenv("XDG_DATA_HOME", (dir_ / "data").c_str(), 1);
  // A program folder that cannot be written (here: one that is not there).
  EXPECT_EQ(MonitoredFilePath((dir_ / "gone").string()), (dir_ / "data" / "kelvora" / "cfg_jsid.txt").string());
  EXPECT_TRUE(fs::is_directory(dir_ / "data" / "kelvora"));
  if (old)
    ::setenv("XDG_DATA_HOME", saved.c_str(), 1);
  else
    ::unsetenv("XDG_DATA_HOME");
}

}  // namespace
}  // namespace kelvora
