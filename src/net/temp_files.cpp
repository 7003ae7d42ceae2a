#include "net/temp_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <limits>
#include <system_error>
#include <vector>

namespace kelvora {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsTagCharacter(char c) { return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

}  // namespace

std::string TempName(const TempNamePattern& pattern, pid_t pid, std::string_view tag) {
  std::string name = pattern.prefix + std::to_string(pid);
  if (pattern.tagged) {
    name += '-';
    name += tag;
  }
  return name + pattern.suffix;
}

pid_t TempNameOwner(const TempNamePattern& pattern, std::string_view name) {
  const std::string_view& prefix = pattern.prefix;
  const std::string_view& suffix = pattern.suffix;
  if (name.size() < prefix.size() + suffix.size() + 1 || name.substr(0, prefix.size()) != prefix ||
      name.substr(name.size() - suffix.size()) != suffix)
    return 0;
  std::string_view rest = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
  size_t digits = 0;
  while (digits < rest.size() && IsDigit(rest[digits])) ++digits;
  // No leading zero: the name must be the one TempName made.
  if (digits == 0 || digits > 10 || rest[0] == '0') return 0;
  const std::string_view tail = rest.substr(digits);
  if (pattern.tagged) {
    if (tail.size() < 2 || tail[0] != '-') return 0;
    for (char c : tail.substr(1))
      if (!IsTagCharacter(c)) return 0;
  } else if (!tail.empty()) {
    return 0;
  }
  long long pid = 0;
  for (char c : rest.substr(0, digits)) pid = pid * 10 + (c - '0');
  if (pid > std::numeric_limits<pid_t>::max()) return 0;
  return static_cast<pid_t>(pid);
}

bool ProcessIsGone(pid_t pid) {
  if (pid <= 0) return false;
  return ::kill(pid, 0) == -1 && errno == ESRCH;
}

size_t RemoveStaleTemporaries(const std::string& folder, const TempNamePattern& pattern) {
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (!dir) return 0;
  std::vector<std::string> stale;
  const int descriptor = ::dirfd(dir);
  while (const dirent* entry = ::readdir(dir)) {
    const pid_t owner = TempNameOwner(pattern, entry->d_name);
    if (owner == 0 || owner == ::getpid()) continue;
    struct stat st {};
    if (::fstatat(descriptor, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (st.st_uid != ::geteuid()) continue;
    if (pattern.folders ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) continue;
    if (!ProcessIsGone(owner)) continue;
    stale.push_back(entry->d_name);
  }
  ::closedir(dir);
  size_t removed = 0;
  const std::string base = folder.empty() ? std::string(".") : folder;
  for (const std::string& name : stale) {
    const std::filesystem::path path = std::filesystem::path(base) / name;
    std::error_code ec;
    // remove_all never follows a symbolic link: a link inside goes, not its target.
    if (pattern.folders ? std::filesystem::remove_all(path, ec) != static_cast<std::uintmax_t>(-1) && !ec
                        : std::filesystem::remove(path, ec))
      ++removed;
  }
  return removed;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseNameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace kelvora
