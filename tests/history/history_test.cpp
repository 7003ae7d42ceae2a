// The history file: its schema guard, damaged files, several writers, a full disk,
// runs whose process died, and the run diff worked by hand.
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "history/history_diff.h"
#include "history/history_file.h"
#include "history/history_recorder.h"
#include "net/datetime.h"
#include "net/settings.h"
#include "support/fixtures.h"

namespace kelvora::history {
namespace {

namespace fs = std::filesystem;
using test::G;
using test::ReadFile;
using test::WriteFile;

class HistoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kelvora-history-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    path_ = (dir_ / "history.sqlite3").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::unique_ptr<HistoryFile> open(std::vector<std::string>* notes = nullptr) {
    std::string error;
    auto file = HistoryFile::open(path_, error, notes);
    EXPECT_TRUE(file) << error;
    return file;
  }

  std::vector<std::string> filesInDir() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir_;
  std::string path_;
};

// A row as the results table holds it (GBK), from UTF-8 texts.
RowCells Row(const std::string& id, const std::string& title, const std::string& price = "10.00",
             const std::string& delist = "2026年12月10日20时0分0秒") {
  RowCells cells;
  cells[static_cast<size_t>(ResultColumn::Index)] = "1";
  cells[static_cast<size_t>(ResultColumn::ItemId)] = id;
  cells[static_cast<size_t>(ResultColumn::Title)] = G(title);
  cells[static_cast<size_t>(ResultColumn::Link)] = "http://127.0.0.1/item/item.htm?id=" + id;
  cells[static_cast<size_t>(ResultColumn::Price)] = price;
  cells[static_cast<size_t>(ResultColumn::DelistAt)] = G(delist);
  return cells;
}

// Records `rows` rows as one run of `kind` and closes the recorder.
void RecordRun(std::unique_ptr<HistoryFile> file, const std::string& kind, int rows, RunState end) {
  HistoryRecorder recorder(std::move(file), nullptr);
  recorder.beginRun(kind, "q");
  for (int i = 0; i < rows; ++i) recorder.addRow(Row(std::to_string(1000 + i), "标题"), {});
  recorder.endRun(end);
}

TEST_F(HistoryTest, RowsReadBackAsRecordedWithFailuresAndTimes) {
  RowFailures failed;
  failed[RequestPart::Lookup] = FailureKind::CutShort;
  {
    HistoryRecorder recorder(open(), nullptr);
    recorder.beginRun("keyword", "连衣裙 --pages 2");
    recorder.addRow(Row("11", "甲\t乙"), {});
    recorder.addRow(Row("12", "丙"), failed);
    recorder.endRun(RunState::Done);
    EXPECT_TRUE(recorder.flush());
  }
  auto file = open();
  const auto runs = file->runs();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].kind, "keyword");
  EXPECT_EQ(runs[0].query, "连衣裙 --pages 2");
  EXPECT_EQ(runs[0].state, RunState::Done);
  EXPECT_EQ(runs[0].rows, 2);
  EXPECT_EQ(runs[0].failed, 1);
  const auto rows = file->rowsOfRun(runs[0].id);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].cells[static_cast<size_t>(ResultColumn::Title)], "甲\t乙");
  EXPECT_EQ(rows[1].failures, failed);
  EXPECT_EQ(file->rowsOfItem("12").size(), 1u);
  // The delisting time is kept as seconds too, for queries over the file.
  sqlite3_stmt* s = nullptr;
  sqlite3_prepare_v2(file->handle(), "SELECT delist_s FROM observations WHERE item='11'", -1, &s, nullptr);
  ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
  EXPECT_EQ(TimeText(sqlite3_column_int64(s, 0)), "2026-12-10 20:00:00");
  sqlite3_finalize(s);
}

// A file made by the first schema stays readable; a later schema's upgrade starts from it.
TEST_F(HistoryTest, FirstSchemaFixtureOpens) {
  WriteFile(path_, test::ReadFixture("history/history_v1.sqlite3"));
  auto file = open();
  const auto runs = file->runs();
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].kind, "watch");
  EXPECT_EQ(runs[1].state, RunState::Done);
  EXPECT_EQ(runs[1].kind, "item");
  EXPECT_EQ(TimeText(runs[1].started), "2026-12-11 12:00:00");
  const auto rows = file->rowsOfRun(runs[1].id);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[2].cells[static_cast<size_t>(ResultColumn::ItemId)], "33836969047");
  const auto seen = file->rowsOfItem("414807259221");
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].cells[static_cast<size_t>(ResultColumn::Title)], "2015夏季宽松气质数据线套装");
  EXPECT_EQ(file->latestLink("383895127817").find("/item/item.htm?id=383895127817") != std::string::npos, true);
}

TEST_F(HistoryTest, NewerSchemaIsRefusedAndLeftAlone) {
  open().reset();
  sqlite3* db = nullptr;
  sqlite3_open(path_.c_str(), &db);
  sqlite3_exec(db, "PRAGMA user_version=99", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  const std::string before = ReadFile(path_);
  std::string error;
  EXPECT_FALSE(HistoryFile::open(path_, error));
  EXPECT_NE(error.find("newer version"), std::string::npos) << error;
  EXPECT_EQ(ReadFile(path_), before);
  EXPECT_EQ(filesInDir(), std::vector<std::string>{"history.sqlite3"});
}

TEST_F(HistoryTest, DamagedFileIsMovedAsideNeverDeleted) {
  // A file that is no SQLite file, and a real history cut short.
  RecordRun(open(), "item", 2000, RunState::Done);
  const std::string whole = ReadFile(path_);
  ASSERT_GT(whole.size(), 100000u);
  for (const std::string& damaged :
       {std::string("just some text, not a database\n"), whole.substr(0, whole.size() / 2)}) {
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    WriteFile(path_, damaged);
    std::vector<std::string> notes;
    auto file = open(&notes);
    ASSERT_TRUE(file);
    EXPECT_TRUE(file->runs().empty());
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find("moved aside as"), std::string::npos) << notes[0];
    const auto names = filesInDir();
    const auto aside = std::find_if(names.begin(), names.end(),
                                    [](const std::string& n) { return n.find(".damaged-") != std::string::npos; });
    ASSERT_NE(aside, names.end());
    EXPECT_EQ(ReadFile((dir_ / *aside).string()), damaged);
    // The new file works.
    file.reset();
    RecordRun(open(), "item", 1, RunState::Done);
    EXPECT_EQ(open()->runs().size(), 1u);
  }
}

TEST_F(HistoryTest, TwoWritersAtOnceBothKeepEveryRow) {
  open().reset();
  constexpr int kRows = 600;
  std::thread a([&] { RecordRun(open(), "watch", kRows, RunState::Done); });
  std::thread b([&] { RecordRun(open(), "keyword", kRows, RunState::Done); });
  a.join();
  b.join();
  auto file = open();
  const auto runs = file->runs();
  ASSERT_EQ(runs.size(), 2u);
  for (const RunInfo& r : runs) {
    EXPECT_EQ(r.state, RunState::Done);
    EXPECT_EQ(r.rows, kRows);
    EXPECT_EQ(file->rowsOfRun(r.id).size(), size_t{kRows});
  }
}

// A process that dies in the middle of a run leaves it interrupted, with the rows
// written up to then; a live writer's run is not touched.
TEST_F(HistoryTest, RunOfADeadProcessShowsInterruptedWithItsRows) {
  open().reset();
  const pid_t child = fork();
  if (child == 0) {
    std::string error;
    auto recorder = new HistoryRecorder(HistoryFile::open(path_, error), nullptr);
    recorder->beginRun("item", "a b");
    for (int i = 0; i < 250; ++i) recorder->addRow(Row(std::to_string(i), "x"), {});
    recorder->flush();
    ::kill(::getpid(), SIGKILL);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));
  {
    HistoryRecorder live(open(), nullptr);
    live.beginRun("keyword", "k");
    live.addRow(Row("1", "x"), {});
    ASSERT_TRUE(live.flush());
    auto file = open();  // a second process opening the file meanwhile
    const auto runs = file->runs();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].state, RunState::Running);
    EXPECT_EQ(runs[1].state, RunState::Interrupted);
    EXPECT_EQ(runs[1].rows, 250);
    EXPECT_EQ(file->rowsOfRun(runs[1].id).size(), 250u);
  }
  EXPECT_EQ(open()->runs()[0].state, RunState::Stopped);  // ended by the recorder's close
}

// The disk fills (a file-size limit in a child process): said once, the rows go on,
// and the file stays a sound history holding what was written.
TEST_F(HistoryTest, FullDiskIsSaidOnceAndRowsGoOn) {
  open().reset();
  const pid_t child = fork();
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlim_t limit = 256 * 1024;
    rlimit r{limit, limit};
    ::setrlimit(RLIMIT_FSIZE, &r);
    std::string error;
    auto file = HistoryFile::open(path_, error);
    if (!file) _exit(10);
    std::atomic<int> notices{0};
    {
      HistoryRecorder recorder(std::move(file), [&](const std::string&) { ++notices; });
      recorder.beginRun("keyword", "big");
      const std::string filler(2000, 'x');
      const auto start = std::chrono::steady_clock::now();
      for (int i = 0; i < 3000; ++i) {
        RowCells cells = Row(std::to_string(i), "t");
        cells[static_cast<size_t>(ResultColumn::Location)] = filler;
        recorder.addRow(cells, {});
        if (i % 100 == 0) recorder.flush();
      }
      if (std::chrono::steady_clock::now() - start > std::chrono::seconds(20)) _exit(11);
      if (recorder.recording()) _exit(12);
    }
    _exit(notices.load() == 1 ? 0 : 20 + notices.load());
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  std::vector<std::string> notes;
  auto file = open(&notes);
  EXPECT_TRUE(notes.empty());
  const auto runs = file->runs();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].state, RunState::Interrupted);
  EXPECT_GT(runs[0].rows, 0);
  EXPECT_LT(runs[0].rows, 3000);
  EXPECT_EQ(file->rowsOfRun(runs[0].id).size(), static_cast<size_t>(runs[0].rows));
}

TEST_F(HistoryTest, PruneRemovesOldRunsOnly) {
  RecordRun(open(), "item", 3, RunState::Done);
  SetNowOverride(MakeDateTime(2027, 1, 20, 8));
  RecordRun(open(), "item", 2, RunState::Done);
  auto file = open();
  EXPECT_EQ(file->pruneStartedBefore(NowSeconds() - 10 * 86400), 1);
  SetNowOverride(std::nullopt);
  const auto runs = file->runs();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].rows, 2);
  EXPECT_EQ(file->rowsOfItem("1000").size(), 1u);
}

// Diff cells are UTF-8, as the file keeps them.
RowCells U(const std::string& id, const std::string& title, const std::string& price, const std::string& sales,
           const std::string& delist) {
  RowCells c;
  c[static_cast<size_t>(ResultColumn::ItemId)] = id;
  c[static_cast<size_t>(ResultColumn::Title)] = title;
  c[static_cast<size_t>(ResultColumn::Price)] = price;
  c[static_cast<size_t>(ResultColumn::Sales)] = sales;
  c[static_cast<size_t>(ResultColumn::DelistAt)] = delist;
  return c;
}

TEST(HistoryDiff, WorkedByHand) {
  // Thursday 2026-12-10 20:00 is the base delisting time.
  const std::vector<RowCells> a = {
      U("1", "same", "10.00", "5", "2026年12月10日20时0分0秒"),
      U("2", "relisted", "10.00", "5", "2026年12月10日20时0分0秒"),
      U("3", "next cycle", "10.00", "5", "2026年12月10日20时0分0秒"),
      U("4", "price range", "10.00-20.00", "5", "无时间"),
      U("5", "failed now", "10.00", "5", "2026年12月10日20时0分0秒"),
      U("6", "gone", "1", "1", ""),
      U("", "no id", "1", "1", ""),
      U("7", "dup old", "1", "1", ""),
      U("7", "dup last", "2", "1", ""),
      U("8", "back a week", "1", "1", "2026年12月17日23时59分59秒"),
  };
  const std::vector<RowCells> b = {
      U("9", "new", "1", "1", ""),
      U("1", "same", "10.00", "5", "2026年12月10日20时0分0秒"),
      // Across the week's end: Sunday to Monday is no whole week.
      U("2", "relisted", "10.00", "6", "2026年12月14日9时30分0秒"),
      U("3", "next cycle", "10.00", "5", "2026年12月17日20时0分0秒"),
      U("4", "price range", "12.00-20.00", "", "2026年12月10日20时0分0秒"),
      U("5", "获取数据失败！", "获取数据失败！", "", "无时间"),
      U("", "no id either", "2", "2", ""),
      U("7", "dup last", "2", "1", ""),
      U("8", "back a week", "1", "1", "2026年12月10日23时59分59秒"),
  };
  std::vector<std::string> lines;
  for (const DiffLine& l : DiffRows(a, b)) lines.push_back(DiffLineText(l));
  const std::vector<std::string> expected = {
      "+\t9\tnew",
      "~\t2\t当前销量\t5\t6",
      "~\t2\t下架时间\t2026年12月10日20时0分0秒\t2026年12月14日9时30分0秒",
      "~\t4\t售价\t10.00-20.00\t12.00-20.00",
      "-\t6\tgone",
  };
  EXPECT_EQ(lines, expected);
  // Nothing changed from a run to itself; against nothing, everything is new.
  EXPECT_TRUE(DiffRows(b, b).empty());
  EXPECT_EQ(DiffRows({}, a).size(), 8u);  // ids 1-8, the duplicate once, the empty id not at all
}

TEST(HistorySettings, CheckedAsRead) {
  struct Case {
    std::string text;
    std::string error;  // empty: accepted
  } cases[] = {
      {"[history]\nenabled=1\nfile=h.db\nkeep_days=30\n", ""},
      {"[history]\nenabled=2\n", "k.ini:2: [history] enabled wants 0 or 1"},
      {"[history]\nkeep_days=-1\n", "k.ini:2: [history] keep_days wants a whole number"},
      {"[history]\n\nfile= h.db\n", "k.ini:3: [history] file: the value has a leading or trailing blank"},
      {"[history]\nenable=1\n", "k.ini:2: unknown key 'enable' in [history]"},
      {"[endpoints]\nITEM_PAGE_URL=ftp://x/{id}\n", "k.ini:2: ITEM_PAGE_URL must be an http:// or https:// address"},
  };
  for (const Case& c : cases) {
    Settings s;
    std::string error;
    const bool ok = ParseSettingsText(c.text, "/cfg/k.ini", s, error);
    if (c.error.empty()) {
      EXPECT_TRUE(ok) << error;
      EXPECT_EQ(s.history.enabled, std::optional<bool>(true));
      EXPECT_EQ(s.history.file, "/cfg/h.db");
      EXPECT_EQ(s.history.keepDays, 30);
    } else {
      EXPECT_FALSE(ok) << c.text;
      EXPECT_NE(error.find("/cfg/" + c.error), std::string::npos) << error;
    }
  }
  Endpoints e = DefaultEndpoints();
  EXPECT_EQ(ItemPageAddress(e, "123"), "https://item.taobao.com/item.htm?id=123");
  e.ITEM_PAGE_URL = "http://h/{id}/x?{id}";
  EXPECT_EQ(ItemPageAddress(e, "9"), "http://h/9/x?9");
}

}  // namespace
}  // namespace kelvora::history
