#include "net/file_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kelvora {
namespace {

std::string KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISFIFO(mode)) return "a pipe";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a file";
}

std::string MiB(size_t bytes) {
  if (bytes % (size_t{1} << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
  return std::to_string(bytes) + " bytes";
}

FileReadResult Fail(FileReadStatus status, const std::string& path, const std::string& what) {
  return {status, path + ": " + what};
}

// Opens `path` for reading without blocking on a pipe or device and checks that
// it is a regular file. Returns the descriptor, or -1 with `result` set.
int OpenRegular(const std::string& path, FileReadResult& result, struct stat& st) {
  if (path.empty()) {
    result = Fail(FileReadStatus::Missing, "(empty name)", "no file named");
    return -1;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    const int e = errno;
    result = Fail(e == ENOENT || e == ENOTDIR ? FileReadStatus::Missing : FileReadStatus::Unreadable, path,
                  e == ENOENT ? "no such file" : std::string("cannot be read: ") + std::strerror(e));
    return -1;
  }
  if (::fstat(fd, &st) != 0) {
    result = Fail(FileReadStatus::Unreadable, path, std::string("cannot be read: ") + std::strerror(errno));
    ::close(fd);
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    result = Fail(FileReadStatus::NotRegular, path, "is " + KindOf(st.st_mode) + ", not a regular file");
    ::close(fd);
    return -1;
  }
  // A regular file never blocks; reads go back to the ordinary mode.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

}  // namespace

FileReadResult ReadInputFile(const std::string& path, size_t limit, std::string& out) {
  out.clear();
  FileReadResult result;
  struct stat st {};
  const int fd = OpenRegular(path, result, st);
  if (fd < 0) return result;
  const auto tooLarge = [&] { return Fail(FileReadStatus::TooLarge, path, "larger than " + MiB(limit)); };
  if (st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > limit) {
    ::close(fd);
    return tooLarge();
  }
  try {
    out.reserve(static_cast<size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0) {
        if (errno == EINTR) continue;
        result = Fail(FileReadStatus::Unreadable, path, std::string("cannot be read: ") + std::strerror(errno));
        break;
      }
      if (n == 0) break;
      // The file may grow while it is read.
      if (out.size() + static_cast<size_t>(n) > limit) {
        result = tooLarge();
        break;
      }
      out.append(buffer, static_cast<size_t>(n));
    }
  } catch (const std::exception&) {
    result = Fail(FileReadStatus::Unreadable, path, "cannot be read: out of memory");
  }
  ::close(fd);
  if (!result.ok()) out.clear();
  return result;
}

LineInput::~LineInput() {
  if (file_ && ownsFile_) std::fclose(file_);
}

bool LineInput::open(const std::string& path) {
  error_.clear();
  if (path == "-") {
    name_ = "stdin";
    file_ = stdin;
    ownsFile_ = false;
    return true;
  }
  name_ = path;
  FileReadResult result;
  struct stat st {};
  const int fd = OpenRegular(path, result, st);
  if (fd < 0) {
    error_ = result.error;
    return false;
  }
  file_ = ::fdopen(fd, "rb");
  if (!file_) {
    error_ = path + ": cannot be read: " + std::strerror(errno);
    ::close(fd);
    return false;
  }
  ownsFile_ = true;
  return true;
}

bool LineInput::next(std::string& line) {
  line.clear();
  if (!file_ || !error_.empty()) return false;
  bool any = false;
  for (;;) {
#ifdef __GLIBC__
    // What stdio has read ahead is taken in one piece up to the line break
    // rather than a byte at a time; getc below reads on when it is used up.
    if (file_->_IO_read_ptr < file_->_IO_read_end) {
      char* const start = file_->_IO_read_ptr;
      const size_t available = static_cast<size_t>(file_->_IO_read_end - start);
      const char* const lf = static_cast<const char*>(std::memchr(start, '\n', available));
      const size_t take = lf ? static_cast<size_t>(lf - start) : available;
      if (line.size() + take > kMaxLine) {
        error_ = name_ + ": a line longer than " + std::to_string(kMaxLine >> 20) + " MiB";
        return false;
      }
      line.append(start, take);
      file_->_IO_read_ptr = start + take + (lf ? 1 : 0);
      if (lf) return true;
      any = true;
      continue;
    }
#endif
    const int c = getc_unlocked(file_);
    if (c == EOF) {
      if (std::ferror(file_)) {
        error_ = name_ + ": cannot be read: " + std::strerror(errno);
        return false;
      }
      return any;
    }
    any = true;
    if (c == '\n') return true;
    if (line.size() >= kMaxLine) {
      error_ = name_ + ": a line longer than " + std::to_string(kMaxLine >> 20) + " MiB";
      return false;
    }
    line.push_back(static_cast<char>(c));
  }
}

}  // namespace kelvora
