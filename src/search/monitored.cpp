#include "search/monitored.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "net/shared_state.h"
#include "net/text.h"

namespace kelvora {
namespace {

// An id list of this size is not one a person keeps.
constexpr std::uintmax_t kMaxFileBytes = 16u << 20;

bool IsStrippedByte(unsigned char c) {
  return (c >= 32 && c <= 47) || (c >= 58 && c <= 64) || (c >= 91 && c <= 96);
}

}  // namespace

std::string StripMonitorText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      // A double-byte character is kept whole: its trail byte may look like "@" or "[".
      out += text[i];
      if (i + 1 < text.size()) out += text[++i];
    } else if (!IsStrippedByte(c)) {
      out += text[i];
    }
  }
  return out;
}

std::string ReadMonitoredFile(const std::string& path) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec) || std::filesystem::file_size(path, ec) > kMaxFileBytes || ec)
    return {};
  std::string bytes;
  if (std::ifstream in{path, std::ios::binary}) {
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // The text ends at the first zero byte.
  bytes.resize(std::strlen(bytes.c_str()));
  return bytes;
}

bool SaveMonitoredItems(const std::string& path, const std::string& editText) {
  const std::string text = StripMonitorText(editText);
  const std::string temp = path + ".tmp-" + std::to_string(::getpid());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = true;
  for (size_t done = 0; ok && done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else done += static_cast<size_t>(n);
  }
  // On disk before the rename, so a crash leaves either the old list or the new one.
  if (ok && ::fsync(fd) != 0) ok = false;
  if (::close(fd) != 0) ok = false;
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

std::vector<std::string> LoadMonitoredItems(const std::string& path) {
  const std::string bytes = ReadMonitoredFile(path);
  // Lines end with CR LF; a file edited with a plain LF editor reads the same way.
  std::string text = ReplaceAll(StripMonitorText(bytes), "\r\n", "\n");
  std::vector<std::string> ids = Split(text, "\n");
  SetMonitoredItemIds(ids);
  return ids;
}

}  // namespace kelvora
