#include "support/workbook_reader.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "net/json.h"

namespace kelvora::test {
namespace {

std::string ReadAll(int fd) {
  std::string out;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0)
      out.append(buffer, static_cast<size_t>(n));
    else if (n == 0 || errno != EINTR)
      break;
  }
  return out;
}

std::vector<std::string> ReadRow(const JsonReader& json, const std::string& path) {
  std::vector<std::string> cells;
  const int32_t n = json.getLength(path);
  for (int32_t c = 0; c < n; ++c) cells.push_back(json.getText(path + "[" + std::to_string(c) + "]"));
  return cells;
}

}  // namespace

bool ReadWorkbookIndependently(const std::string& path, WorkbookContents& out, std::string& error, int64_t maxRows) {
  const std::string script = std::string(KELVORA_FIXTURES_DIR) + "/../support/read_workbook.py";
  char errName[] = "/tmp/kelvora-reader-XXXXXX";
  const int errFd = ::mkstemp(errName);
  int pipeFds[2];
  if (errFd < 0 || ::pipe(pipeFds) != 0) {
    error = "cannot start the reader";
    return false;
  }
  std::vector<std::string> args = {"/usr/bin/python3", script, path};
  if (maxRows >= 0) args.push_back(std::to_string(maxRows));
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipeFds[1], 1);
    ::dup2(errFd, 2);
    ::close(pipeFds[0]);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  const std::string json = ReadAll(pipeFds[0]);
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::lseek(errFd, 0, SEEK_SET);
  const std::string stderrText = ReadAll(errFd);
  ::close(errFd);
  ::unlink(errName);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    error = "reader failed on " + path + ": " + stderrText;
    return false;
  }

  JsonReader reader;
  reader.load("w", json);
  if (reader.getText("w.sheets").empty()) {
    error = "reader printed no workbook: " + json.substr(0, 200) + stderrText;
    return false;
  }
  out = WorkbookContents{};
  out.sheets = std::atoi(reader.getText("w.sheets").c_str());
  out.rowCount = std::atoll(reader.getText("w.nrows").c_str());
  out.columnCount = std::atoi(reader.getText("w.ncols").c_str());
  out.allText = reader.getText("w.all_text") == "1";
  out.log = reader.getText("w.log") + stderrText;
  const int32_t n = reader.getLength("w.rows");
  for (int32_t r = 0; r < n; ++r) out.rows.push_back(ReadRow(reader, "w.rows[" + std::to_string(r) + "]"));
  out.lastRow = ReadRow(reader, "w.last");
  return true;
}

}  // namespace kelvora::test
