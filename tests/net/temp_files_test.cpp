// Temporary names that carry their process id, and the removal of those whose
// process is gone.
#include "net/temp_files.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/fixtures.h"

namespace kelvora {
namespace {

namespace fs = std::filesystem;

TEST(TempFilesTest, OnlyNamesOfThePatternNameTheirProcess) {
  const TempNamePattern tagged{".kelvora-export-", ".tmp", true};
  const TempNamePattern plain{"cfg_jsid.txt.tmp-", ""};
  EXPECT_EQ(TempName(tagged, 4321, "7"), ".kelvora-export-4321-7.tmp");
  EXPECT_EQ(TempName(plain, 4321), "cfg_jsid.txt.tmp-4321");
  struct Case {
    const TempNamePattern& pattern;
    std::string name;
    pid_t owner;
  } cases[] = {
      {tagged, ".kelvora-export-4321-7.tmp", 4321},
      {tagged, ".kelvora-export-4321-aB9.tmp", 4321},
      {tagged, ".kelvora-export-4321.tmp", 0},      // no tag
      {tagged, ".kelvora-export-4321-.tmp", 0},     // empty tag
      {tagged, ".kelvora-export-4321-7.tmpx", 0},   // other suffix
      {tagged, ".kelvora-export-4321-7-8.tmp", 0},  // a tag of letters and digits only
      {tagged, ".kelvora-export--7.tmp", 0},        // no id
      {tagged, ".kelvora-export-04321-7.tmp", 0},   // not as we write ids
      {tagged, ".kelvora-export-99999999999-7.tmp", 0},
      {tagged, "kelvora-export-4321-7.tmp", 0},
      {plain, "cfg_jsid.txt.tmp-4321", 4321},
      {plain, "cfg_jsid.txt.tmp-4321-1", 0},
      {plain, "cfg_jsid.txt.tmp-", 0},
      {plain, "cfg_jsid.txt", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(TempNameOwner(c.pattern, c.name), c.owner) << c.name;
}

class StaleTemporaries : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/kelvora-temp-files-XXXXXX";
    dir_ = ::mkdtemp(name);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  fs::path dir_;
};

TEST_F(StaleTemporaries, FilesOfEndedProcessesGoOthersStay) {
  const TempNamePattern pattern{"r.html.tmp-", "", true};
  const pid_t ended = test::EndedProcessId();
  ASSERT_TRUE(ProcessIsGone(ended));
  ASSERT_FALSE(ProcessIsGone(::getpid()));
  const std::string gone = TempName(pattern, ended, "0"), mine = TempName(pattern, ::getpid(), "0"),
                    parent = TempName(pattern, ::getppid(), "3");
  for (const std::string& name : {gone, mine, parent, std::string("r.html"), std::string("r.html.tmp-x-0")})
    test::WriteFile((dir_ / name).string(), "x");
  // A link and a folder under a stale name are not ours to remove.
  const std::string link = TempName(pattern, ended, "1"), folder = TempName(pattern, ended, "2");
  fs::create_symlink(dir_ / "r.html", dir_ / link);
  fs::create_directory(dir_ / folder);

  EXPECT_EQ(RemoveStaleTemporaries(dir_.string(), pattern), 1u);
  std::vector<std::string> expected = {mine, parent, "r.html", "r.html.tmp-x-0", link, folder};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(entries(), expected);
  EXPECT_EQ(test::ReadFile((dir_ / "r.html").string()), "x");
}

TEST_F(StaleTemporaries, FoldersGoWithTheirContents) {
  const TempNamePattern pattern{"kelvora-demo-", "", true, true};
  const pid_t ended = test::EndedProcessId();
  const std::string gone = TempName(pattern, ended, "Ab12Cd"), mine = TempName(pattern, ::getpid(), "Ab12Cd");
  fs::create_directories(dir_ / gone / "inner");
  test::WriteFile((dir_ / gone / "kelvora.ini").string(), "[http]\n");
  // A link inside leads out of the folder: the link goes, not what it points at.
  test::WriteFile((dir_ / "outside").string(), "keep");
  fs::create_symlink(dir_ / "outside", dir_ / gone / "link");
  fs::create_directory(dir_ / mine);
  test::WriteFile((dir_ / TempName(pattern, ended, "file")).string(), "a file under a folder name");

  EXPECT_EQ(RemoveStaleTemporaries(dir_.string(), pattern), 1u);
  std::vector<std::string> expected = {mine, "outside", TempName(pattern, ended, "file")};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(entries(), expected);
  EXPECT_EQ(test::ReadFile((dir_ / "outside").string()), "keep");
}

}  // namespace
}  // namespace kelvora
