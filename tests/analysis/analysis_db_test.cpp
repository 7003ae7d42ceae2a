#include "analysis/analysis_db.h"

#include <gtest/gtest.h>

#include <stop_token>

#include "net/codec.h"
#include "support/fixtures.h"

namespace kelvora {
namespace {

using test::G;
constexpr int64_t kNoDate = -59011488000;

RowCells Row(const std::string& itemId, const std::string& listed, const std::string& delist, const std::string& shop,
             const std::string& location) {
  RowCells r;
  r[0] = "0";
  r[static_cast<int>(ResultColumn::ItemId)] = itemId;
  r[static_cast<int>(ResultColumn::Title)] = G("标题会被忽略");
  r[static_cast<int>(ResultColumn::ListedAt)] = listed;
  r[static_cast<int>(ResultColumn::DelistAt)] = delist;
  r[static_cast<int>(ResultColumn::ShopType)] = shop;
  r[static_cast<int>(ResultColumn::Location)] = location;
  return r;
}

TEST(TimeTextToSecondsTest, DisplayedTimesAndOtherTexts) {
  struct Case {
    std::string text, seconds;
  } cases[] = {
      {G("2014年11月4日21时26分41秒"), "1415107601"},
      {G("2014年11月4日21时26分"), "1415107560"},
      {G("2014年11月4日21时"), "1415106000"},  // hours only: the full hour
      {G("2014年11月4日"), "1415030400"},      // midnight of that day at UTC+8
      {"1970-01-01 08:00:00", "0"},
      {"1970-01-01 07:59:59", "-1"},
      {G("无时间"), "-59011488000"},
      {"", "-59011488000"},
      {"tomorrow", "-59011488000"},
      {G("2014年2月30日"), "-59011488000"},
  };
  for (const Case& c : cases) EXPECT_EQ(TimeTextToSeconds(c.text), c.seconds) << c.text;
}

TEST(SqlTextLiteralTest, DoublesSingleQuotesOnly) {
  EXPECT_EQ(SqlTextLiteral("O'Brien's \"x\" \\"), "O''Brien''s \"x\" \\");
  EXPECT_EQ(SqlTextLiteral(G("浙江 杭州")), G("浙江 杭州"));
  EXPECT_EQ(SqlTextLiteral("''"), "''''");
  EXPECT_EQ(SqlTextLiteral(""), "");
}

TEST(AnalysisDbTest, TableAndRowsAsTheWindowStoresThem) {
  AnalysisDb db;
  ASSERT_EQ(
      db.load({Row("520223599219", G("2014年11月4日21时26分41秒"), G("2014年11月11日21时"), G("天猫"), G("浙江 杭州")),
               Row("1'2", G("无时间"), "", G("店铺"), "O'Brien's ' ; DROP TABLE tab; --"),
               Row("", "1970-01-01 08:00:00", G("2014年11月4日"), "", "")}),
      AnalysisLoadStatus::Ok);

  std::vector<std::string> columns;
  std::vector<std::vector<SqlValue>> rows;
  ASSERT_TRUE(db.select("select sql from sqlite_master where name = 'tab'", columns, rows));
  ASSERT_EQ(rows.size(), 1u);
  // SQLite keeps the statement as given, up to its closing parenthesis.
  EXPECT_EQ(std::get<std::string>(rows[0][0]),
            "CREATE TABLE \"tab\" (\r\n\"id\"  INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,\r\n"
            "\"itemid\"  TEXT,\r\n\"title\"  TEXT,\r\n\"shangjia\"  INTEGER,\r\n"
            "\"xiajia\"  INTEGER,\r\n\"dplx\"  TEXT,\r\n\"loc\"  TEXT\r\n)");
  EXPECT_EQ(std::string(kAnalysisTableSql).substr(std::get<std::string>(rows[0][0]).size()), "\r\n;");

  ASSERT_TRUE(db.select("select * from tab", columns, rows));
  EXPECT_EQ(columns, (std::vector<std::string>{"id", "itemid", "title", "shangjia", "xiajia", "dplx", "loc"}));
  const std::vector<std::vector<SqlValue>> expected = {
      {int64_t{1}, std::string("520223599219"), SqlNull{}, int64_t{1415107601}, int64_t{1415710800},
       std::string("天猫"), std::string("浙江 杭州")},
      // Quotes are stored as they were typed, not doubled and not cut short.
      {int64_t{2}, std::string("1'2"), SqlNull{}, kNoDate, kNoDate, std::string("店铺"),
       std::string("O'Brien's ' ; DROP TABLE tab; --")},
      {int64_t{3}, std::string(""), SqlNull{}, int64_t{0}, int64_t{1415030400}, std::string(""), std::string("")},
  };
  EXPECT_EQ(rows, expected);

  // The times are stored as integers, so range queries compare numbers.
  ASSERT_TRUE(db.select("select typeof(shangjia), typeof(xiajia), typeof(itemid) from tab", columns, rows));
  for (const auto& r : rows)
    EXPECT_EQ(r, (std::vector<SqlValue>{std::string("integer"), std::string("integer"), std::string("text")}));
  EXPECT_EQ(db.countBetween(1415030400, 1415710800), 2);
}

TEST(AnalysisDbTest, ManyRowsKeepTheirOrder) {
  std::vector<RowCells> input;
  for (int i = 0; i < 123; ++i)
    input.push_back(Row(std::to_string(i), "", G("2014年11月4日") + std::to_string(i % 24) + G("时"), "", G("北京")));
  AnalysisDb db;
  ASSERT_EQ(db.load(input), AnalysisLoadStatus::Ok);
  std::vector<std::string> columns;
  std::vector<std::vector<SqlValue>> rows;
  ASSERT_TRUE(db.select("select id, itemid, xiajia, loc from tab", columns, rows));
  ASSERT_EQ(rows.size(), input.size());
  for (int i = 0; i < 123; ++i)
    EXPECT_EQ(rows[i], (std::vector<SqlValue>{int64_t{i + 1}, std::to_string(i), int64_t{1415030400 + 3600 * (i % 24)},
                                              std::string("北京")}));
}

// Rows added one at a time (as a rows file is read) make the same table as a
// load of them all: full batches and the rest, in order, with the same ids.
TEST(AnalysisDbTest, RowsAddedOneByOneMakeTheSameTable) {
  std::vector<RowCells> input;
  for (int i = 0; i < 123; ++i)
    input.push_back(Row(std::to_string(i), G("2014年11月1日"), G("2014年11月4日") + std::to_string(i % 24) + G("时"),
                        G(i % 2 ? "天猫" : "店铺"), G("北京")));
  const std::string all = "select id, itemid, shangjia, xiajia, dplx, loc, title from tab";
  AnalysisDb loaded;
  ASSERT_EQ(loaded.load(input), AnalysisLoadStatus::Ok);
  std::vector<std::string> columns;
  std::vector<std::vector<SqlValue>> expected, rows;
  ASSERT_TRUE(loaded.select(all, columns, expected));

  AnalysisDb added;
  ASSERT_EQ(added.begin(), AnalysisLoadStatus::Ok);
  for (const RowCells& r : input)
    ASSERT_EQ(added.add(r[1], TimeTextSeconds(r[5]), TimeTextSeconds(r[6]), GbkToUtf8(r[8]), GbkToUtf8(r[12])),
              AnalysisLoadStatus::Ok);
  ASSERT_EQ(added.finish(), AnalysisLoadStatus::Ok);
  ASSERT_TRUE(added.select(all, columns, rows));
  EXPECT_EQ(rows.size(), 123u);
  EXPECT_EQ(rows, expected);

  // A stop is heard when the next batch starts: everything is rolled back, and
  // the status stays.
  std::stop_source stop;
  AnalysisDb stopped;
  ASSERT_EQ(stopped.begin(), AnalysisLoadStatus::Ok);
  for (int i = 0; i < 50; ++i) ASSERT_EQ(stopped.add("1", 0, 0, "", "", stop.get_token()), AnalysisLoadStatus::Ok);
  stop.request_stop();
  EXPECT_EQ(stopped.add("1", 0, 0, "", "", stop.get_token()), AnalysisLoadStatus::Stopped);
  EXPECT_EQ(stopped.add("1", 0, 0, "", ""), AnalysisLoadStatus::Stopped);
  EXPECT_EQ(stopped.finish(), AnalysisLoadStatus::Stopped);
  EXPECT_EQ(stopped.countBetween(kNoDate, 1), 0);
}

TEST(AnalysisDbTest, EmptyTableCommitsWithNoRows) {
  AnalysisDb db;
  ASSERT_EQ(db.load({}), AnalysisLoadStatus::Ok);
  EXPECT_EQ(db.countBetween(kNoDate, 0), 0);
  int seen = 0;
  EXPECT_TRUE(db.forEachDelisting([&](int64_t) { ++seen; }));
  EXPECT_EQ(seen, 0);
}

TEST(AnalysisDbTest, StopRequestRollsBack) {
  std::stop_source stop;
  stop.request_stop();
  AnalysisDb db;
  EXPECT_EQ(db.load({Row("1", "", "", "", "")}, stop.get_token()), AnalysisLoadStatus::Stopped);
  EXPECT_EQ(db.countBetween(kNoDate, kNoDate), 0);
}

TEST(AnalysisDbTest, FailureMessages) {
  EXPECT_EQ(AnalysisLoadMessage(AnalysisLoadStatus::OpenFailed), G("加载内存数据库失败！"));
  EXPECT_EQ(AnalysisLoadMessage(AnalysisLoadStatus::CreateFailed), G("建立内存数据库失败！"));
  EXPECT_EQ(AnalysisLoadMessage(AnalysisLoadStatus::InsertFailed), G("建立内存数据库失败1！"));
  EXPECT_EQ(AnalysisLoadMessage(AnalysisLoadStatus::Ok), "");
}

}  // namespace
}  // namespace kelvora
