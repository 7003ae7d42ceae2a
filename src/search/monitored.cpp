#include "search/monitored.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "net/codec.h"
#include "net/file_input.h"
#include "net/shared_state.h"
#include "net/text.h"

namespace kelvora {
namespace {

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

std::string ReadMonitoredFile(const std::string& path, std::string* statusText) {
  std::string bytes;
  const FileReadResult read = ReadInputFile(path, kSmallFileLimit, bytes);
  if (statusText) statusText->clear();
  if (!read.ok()) {
    bytes.clear();
    if (read.status != FileReadStatus::Missing && statusText) {
      // 监测列表无法读取，按空列表处理：
      *statusText = "\xbc\xe0\xb2\xe2\xc1\xd0\xb1\xed\xce\xde\xb7\xa8\xb6\xc1\xc8\xa1\xa3\xac"
                    "\xb0\xb4\xbf\xd5\xc1\xd0\xb1\xed\xb4\xa6\xc0\xed\xa3\xba" + Utf8ToGbk(read.error);
    }
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

std::vector<std::string> LoadMonitoredItems(const std::string& path, std::string* statusText) {
  const std::string bytes = ReadMonitoredFile(path, statusText);
  // Lines end with CR LF; a file edited with a plain LF editor reads the same way.
  std::string text = ReplaceAll(StripMonitorText(bytes), "\r\n", "\n");
  std::vector<std::string> ids = Split(text, "\n");
  SetMonitoredItemIds(ids);
  return ids;
}

}  // namespace kelvora
