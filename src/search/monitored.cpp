#include "search/monitored.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "net/codec.h"
#include "net/file_input.h"
#include "net/shared_state.h"
#include "net/temp_files.h"
#include "net/text.h"

namespace kelvora {
namespace {

bool IsStrippedByte(unsigned char c) { return (c >= 32 && c <= 47) || (c >= 58 && c <= 64) || (c >= 91 && c <= 96); }

// Ids never hold these: each one ends an id, as a line break does.
std::string SeparatorsToLineBreaks(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80 && i + 1 < text.size()) {
      const unsigned char t = static_cast<unsigned char>(text[i + 1]);
      // "，" (A3 AC) and the ideographic space (A1 A1)
      if ((c == 0xa3 && t == 0xac) || (c == 0xa1 && t == 0xa1))
        out += '\n';
      else
        out.append(text, i, 2);
      ++i;
    } else if (c == ',' || c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      out += '\n';
    } else {
      out += text[i];
    }
  }
  return out;
}

bool ExistingFileIsReadOnly(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;  // a new file
  // The mode bits first: the superuser may write anything, but a seller who made
  // the list read-only means it.
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return true;
  return ::access(path.c_str(), W_OK) != 0;
}

}  // namespace

std::vector<std::string> MonitoredIdsOfText(const std::string& text) {
  std::vector<std::string> ids;
  for (std::string& piece : Split(StripMonitorText(SeparatorsToLineBreaks(text)), "\n"))
    if (!piece.empty()) ids.push_back(std::move(piece));
  return ids;
}

std::string MonitoredFilePath(const std::string& programDir) {
  const std::string name = "cfg_jsid.txt";
  if (::access(programDir.c_str(), W_OK) == 0) return programDir + "/" + name;
  std::string data;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/')
    data = xdg;
  else if (const char* home = std::getenv("HOME"); home && *home)
    data = std::string(home) + "/.local/share";
  if (data.empty()) return programDir + "/" + name;
  const std::string dir = data + "/kelvora";
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  return dir + "/" + name;
}

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
      *statusText =
          "\xbc\xe0\xb2\xe2\xc1\xd0\xb1\xed\xce\xde\xb7\xa8\xb6\xc1\xc8\xa1\xa3\xac"
          "\xb0\xb4\xbf\xd5\xc1\xd0\xb1\xed\xb4\xa6\xc0\xed\xa3\xba" +
          Utf8ToGbk(read.error);
    }
  }
  // The text ends at the first zero byte.
  bytes.resize(std::strlen(bytes.c_str()));
  return bytes;
}

bool SaveMonitoredItems(const std::string& path, const std::string& editText) {
  if (ExistingFileIsReadOnly(path)) return false;
  const std::vector<std::string> ids = MonitoredIdsOfText(editText);
  std::string text;
  for (const std::string& id : ids) text += id + "\r\n";
  // "cfg_jsid.txt.tmp-PID"; a save that was killed left one, which goes now.
  const TempNamePattern tempNames{BaseNameOf(path) + ".tmp-", ""};
  RemoveStaleTemporaries(FolderOf(path), tempNames);
  const std::string temp = path + ".tmp-" + std::to_string(::getpid());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = true;
  // The new file keeps the old one's permissions.
  if (struct stat st{}; ::stat(path.c_str(), &st) == 0) ok = ::fchmod(fd, st.st_mode & 07777) == 0;
  for (size_t done = 0; ok && done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      ok = false;
    else
      done += static_cast<size_t>(n);
  }
  // On disk before the rename, so a crash leaves either the old list or the new one.
  if (ok && ::fsync(fd) != 0) ok = false;
  if (::close(fd) != 0) ok = false;
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) ::unlink(temp.c_str());
  if (ok) SetMonitoredItemIds(ids);
  return ok;
}

std::vector<std::string> LoadMonitoredItems(const std::string& path, std::string* statusText) {
  // Lines end with CR LF; a file edited with a plain LF editor, or ids pasted on one
  // line with commas, read the same way.
  std::vector<std::string> ids = MonitoredIdsOfText(ReadMonitoredFile(path, statusText));
  SetMonitoredItemIds(ids);
  return ids;
}

}  // namespace kelvora
