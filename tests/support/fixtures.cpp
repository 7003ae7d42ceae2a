#include "support/fixtures.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "net/codec.h"

namespace kelvora::test {

std::string ReadFixture(const std::string& relativePath) {
  std::ifstream in(std::string(KELVORA_FIXTURES_DIR) + "/" + relativePath, std::ios::binary);
  if (!in) {
    ADD_FAILURE() << "missing fixture " << relativePath;
    return {};
  }
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string ReadFixtureAsGbk(const std::string& relativePath) { return Utf8ToGbk(ReadFixture(relativePath)); }

std::string G(const std::string& utf8) { return Utf8ToGbk(utf8); }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

pid_t EndedProcessId() {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  ::waitpid(pid, nullptr, 0);
  return pid;
}

}  // namespace kelvora::test
