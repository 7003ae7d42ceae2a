#include "net/file_input.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace kelvora {
namespace {

namespace fs = std::filesystem;

class FileInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kelvora-input-" + std::to_string(::getpid()));
    fs::create_directories(dir_ / "folder");
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string write(const std::string& name, const std::string& bytes) {
    std::ofstream(dir_ / name, std::ios::binary) << bytes;
    return (dir_ / name).string();
  }
  fs::path dir_;
};

TEST_F(FileInputTest, OnlyRegularFilesWithinTheLimitAreRead) {
  const std::string ten = write("ten", "0123456789");
  const std::string fifo = (dir_ / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);  // nobody writes: opening must not wait
  const std::string link = (dir_ / "link").string();
  fs::create_symlink(ten, link);
  struct Case {
    std::string path;
    size_t limit;
    FileReadStatus status;
    std::string content, error;
  } cases[] = {
      {ten, 10, FileReadStatus::Ok, "0123456789", ""},
      {link, 10, FileReadStatus::Ok, "0123456789", ""},
      {ten, 9, FileReadStatus::TooLarge, "", ten + ": larger than 9 bytes"},
      {write("empty", ""), 1, FileReadStatus::Ok, "", ""},
      {(dir_ / "none").string(), 10, FileReadStatus::Missing, "", (dir_ / "none").string() + ": no such file"},
      {(dir_ / "folder").string(), 10, FileReadStatus::NotRegular, "",
       (dir_ / "folder").string() + ": is a folder, not a regular file"},
      {"/dev/zero", kSmallFileLimit, FileReadStatus::NotRegular, "", "/dev/zero: is a device, not a regular file"},
      {fifo, 10, FileReadStatus::NotRegular, "", fifo + ": is a pipe, not a regular file"},
      {"", 10, FileReadStatus::Missing, "", "(empty name): no file named"},
  };
  for (const Case& c : cases) {
    std::string out = "stale";
    const FileReadResult r = ReadInputFile(c.path, c.limit, out);
    EXPECT_EQ(r.status, c.status) << c.path;
    EXPECT_EQ(r.error, c.error) << c.path;
    EXPECT_EQ(out, c.content) << c.path;
  }
  // A sparse file just over 16 MiB is refused before it is read.
  const fs::path big = dir_ / "big";
  std::ofstream(big).put('x');
  fs::resize_file(big, kSmallFileLimit + 1);
  std::string out;
  EXPECT_EQ(ReadInputFile(big.string(), kSmallFileLimit, out).status, FileReadStatus::TooLarge);
  EXPECT_TRUE(out.empty());
}

TEST_F(FileInputTest, LineInputStreamsLinesAndRefusesWhatIsNoFile) {
  LineInput in;
  ASSERT_TRUE(in.open(write("rows", "a\r\n\nb\nlast")));
  std::vector<std::string> lines;
  std::string line;
  while (in.next(line)) lines.push_back(line);
  EXPECT_EQ(lines, (std::vector<std::string>{"a\r", "", "b", "last"}));
  EXPECT_EQ(in.error(), "");

  // Lines are taken from the read-ahead in pieces: lines longer than it, line
  // breaks right at its edges and zero bytes come through whole.
  std::vector<std::string> expected;
  std::string text;
  for (size_t n : {size_t{0}, size_t{1}, size_t{4095}, size_t{4096}, size_t{4097}, size_t{70000}, size_t{3}}) {
    std::string l(n, 'x');
    for (size_t k = 0; k < n; k += 1000) l[k] = static_cast<char>('a' + k % 26);
    if (n > 2) l[1] = '\0';
    expected.push_back(l);
    text += l + "\n";
  }
  LineInput pieces;
  ASSERT_TRUE(pieces.open(write("long", text)));
  lines.clear();
  while (pieces.next(line)) lines.push_back(line);
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(pieces.error(), "");

  for (const std::string& path : {(dir_ / "folder").string(), std::string("/dev/zero"), (dir_ / "none").string()}) {
    LineInput refused;
    EXPECT_FALSE(refused.open(path)) << path;
    EXPECT_EQ(refused.error().rfind(path + ": ", 0), 0u) << refused.error();
  }
}

}  // namespace
}  // namespace kelvora
