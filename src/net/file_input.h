#pragma once
// The one way the programs read a file the user names: settings, cookie texts,
// monitored ids, rows. What is not a regular file (a folder, a device, a pipe)
// is refused before a byte is read, and small files have a size limit, so that
// no input can hang the program, exhaust its memory or throw past the caller.
#include <cstddef>
#include <cstdio>
#include <string>

namespace kelvora {

// Settings, cookie and monitored-id files.
inline constexpr size_t kSmallFileLimit = size_t{16} << 20;

enum class FileReadStatus { Ok, Missing, NotRegular, TooLarge, Unreadable };

struct FileReadResult {
  FileReadStatus status = FileReadStatus::Ok;
  std::string error;  // "PATH: what is wrong" (UTF-8, as the path was given); empty when Ok
  bool ok() const { return status == FileReadStatus::Ok; }
};

// Reads all of the regular file `path` into `out` when it holds at most `limit` bytes.
FileReadResult ReadInputFile(const std::string& path, size_t limit, std::string& out);

// A line-by-line reader for inputs without a size limit (row files): a regular
// file by path, or standard input for "-". Only one line is held at a time.
class LineInput {
 public:
  // A line longer than this is an error: no row comes near it, and it keeps an
  // endless stream without line breaks (stdin from /dev/zero) from eating memory.
  static constexpr size_t kMaxLine = size_t{64} << 20;

  LineInput() = default;
  ~LineInput();
  LineInput(const LineInput&) = delete;
  LineInput& operator=(const LineInput&) = delete;

  // Opens `path` ("-" for standard input). False with error() set when refused.
  bool open(const std::string& path);
  // The next line without its LF (a CR before it is kept). False at the end or on
  // an error; error() tells them apart.
  bool next(std::string& line);
  const std::string& error() const { return error_; }
  // "stdin" or the path, for messages.
  const std::string& name() const { return name_; }

 private:
  std::FILE* file_ = nullptr;
  bool ownsFile_ = false;
  std::string error_;
  std::string name_;
};

}  // namespace kelvora
