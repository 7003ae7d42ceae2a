#pragma once
// What the two workbook writers share: cell texts converted from GBK and cut to
// Excel's limit, the temporary file beside the target, and the failure texts.
#include <cstddef>
#include <cstdint>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>

#include "net/temp_files.h"

namespace kelvora::workbook {

// The sheet text of a results cell (CR LF made one blank) in UTF-8, cut to the
// cell limit without splitting a character. True when it was cut.
bool CellUtf8(std::string_view gbk, std::string& utf8);
// UTF-16 code units of UTF-8 text.
size_t Utf16Units(std::string_view utf8);
// Cuts UTF-8 text to at most `maxUnits` UTF-16 code units, never inside a
// character. True when it cut.
bool CutToUnits(std::string& utf8, size_t maxUnits);
// The same as UTF-16 code units; `compressible` tells whether every unit is below
// 0x100, so the text can be stored one byte a character.
bool CellUtf16(std::string_view gbk, std::u16string& utf16, bool& compressible);

// The temporary names of exports: ".kelvora-export-PID-N.tmp".
const TempNamePattern& ExportTempNames();

// A file created under a fresh name in the target's folder, renamed over the
// target once it is complete. Creating one first removes the temporary files that
// exports of processes that are gone left in that folder.
class TempFile {
 public:
  explicit TempFile(std::string targetUtf8) : target_(std::move(targetUtf8)) {}
  ~TempFile();  // removes the file unless committed
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  // Creates the file; false with error() set.
  bool create();
  // Buffered writes to the open file; false (and error() set) once a write failed.
  bool write(const void* data, size_t size);
  bool write(std::string_view bytes) { return write(bytes.data(), bytes.size()); }
  // Closes the descriptor, leaving the file for someone else to fill by path.
  bool closeForReuse();
  // Flushes, syncs and renames into place; false with error() set (the
  // temporary file is then removed). A stop request that came meanwhile leaves
  // the target as it was: false with stopped() set.
  bool commit(const std::stop_token& stop = {});
  bool stopped() const { return stopped_; }

  const std::string& path() const { return path_; }
  int error() const { return error_; }

 private:
  bool flush();
  std::string target_;
  std::string path_;
  int fd_ = -1;
  int error_ = 0;
  bool committed_ = false;
  bool stopped_ = false;
  std::string buffer_;
};

// "无法写入文件“PATH”：REASON" (GBK); REASON from errno.
std::string WriteFailure(const std::string& pathUtf8, int error);
// "无法写入文件“PATH”：" followed by `reasonGbk`.
std::string WriteFailureText(const std::string& pathUtf8, const std::string& reasonGbk);
// The note on cells cut to the cell limit (GBK); empty when none was cut.
std::string CutCellsWarning(int64_t cutCells);

}  // namespace kelvora::workbook
