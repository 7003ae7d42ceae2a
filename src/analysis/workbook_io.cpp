#include "analysis/workbook_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "analysis/workbook.h"
#include "net/codec.h"
#include "net/temp_files.h"

namespace kelvora::workbook {
namespace {

// The sheet text of a cell in UTF-8 through the converter, not yet cut.
void SheetUtf8(std::string_view gbk, std::string& utf8) {
  std::string laidOut;
  if (gbk.find('\r') != std::string_view::npos) {
    laidOut = SheetCellText(gbk);
    gbk = laidOut;
  }
  utf8 = GbkToUtf8(gbk);
}

size_t Utf8SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  return 4;
}

constexpr unsigned kTrailCount = 0xFE - 0x40 + 1;

// The characters of every two-byte sequence, as the converter decodes them; 0
// where a sequence is no character. A whole table costs a few milliseconds once;
// a workbook has up to a million cells, and the converter costs a call per cell.
const std::vector<char16_t>& TwoByteCharacters() {
  static const std::vector<char16_t> table = [] {
    std::vector<char16_t> t((0xFE - 0x81 + 1) * kTrailCount, 0);
    for (unsigned lead = 0x81; lead <= 0xFE; ++lead)
      for (unsigned trail = 0x40; trail <= 0xFE; ++trail) {
        if (trail == 0x7F) continue;
        const char pair[2] = {static_cast<char>(lead), static_cast<char>(trail)};
        const std::string utf8 = GbkToUtf8(std::string_view(pair, 2));
        uint32_t cp = 0;
        if (!utf8.empty() && DecodeUtf8(utf8, 0, cp) == utf8.size() && cp != 0xFFFD && cp < 0x10000)
          t[(lead - 0x81) * kTrailCount + (trail - 0x40)] = static_cast<char16_t>(cp);
      }
    return t;
  }();
  return table;
}

// Hands the characters of the sheet text of `gbk` (CR LF made one blank) to
// `put`. False, part-way, at anything but ASCII and two-byte characters (the
// four-byte ones, broken bytes): the caller then goes through the converter.
template <typename Put>
bool DecodeSheetText(std::string_view gbk, Put&& put) {
  const char16_t* table = TwoByteCharacters().data();
  const size_t n = gbk.size();
  for (size_t i = 0; i < n;) {
    const auto b = static_cast<unsigned char>(gbk[i]);
    if (b < 0x80) {
      if (b == '\r' && i + 1 < n && gbk[i + 1] == '\n') {
        put(u' ');
        i += 2;
      } else {
        put(static_cast<char16_t>(b));
        ++i;
      }
      continue;
    }
    if (b < 0x81 || b > 0xFE || i + 1 >= n) return false;
    const auto t = static_cast<unsigned char>(gbk[i + 1]);
    if (t < 0x40 || t > 0xFE) return false;
    const char16_t ch = table[(b - 0x81) * kTrailCount + (t - 0x40)];
    if (ch == 0) return false;
    put(ch);
    i += 2;
  }
  return true;
}

std::string ErrnoText(int error) {
  char buffer[256];
  // GNU strerror_r returns the text, which need not be in the buffer.
  return strerror_r(error, buffer, sizeof buffer);
}

}  // namespace

size_t Utf16Units(std::string_view utf8) {
  size_t units = 0;
  for (size_t i = 0; i < utf8.size();) {
    const size_t n = Utf8SequenceLength(static_cast<unsigned char>(utf8[i]));
    units += n == 4 ? 2 : 1;
    i += n;
  }
  return units;
}

bool CutToUnits(std::string& utf8, size_t maxUnits) {
  // UTF-8 never takes fewer bytes than UTF-16 code units.
  if (utf8.size() <= maxUnits) return false;
  size_t units = 0;
  for (size_t i = 0; i < utf8.size();) {
    const size_t n = Utf8SequenceLength(static_cast<unsigned char>(utf8[i]));
    const size_t u = n == 4 ? 2 : 1;
    if (units + u > maxUnits) {
      utf8.resize(i);
      return true;
    }
    units += u;
    i += n;
  }
  return false;
}

bool CellUtf8(std::string_view gbk, std::string& utf8) {
  utf8.clear();
  const bool fast = DecodeSheetText(gbk, [&](char16_t ch) {
    if (ch < 0x80)
      utf8 += static_cast<char>(ch);
    else
      AppendUtf8(utf8, ch);
  });
  if (!fast) SheetUtf8(gbk, utf8);
  return CutToUnits(utf8, kMaxCellChars);
}

bool CellUtf16(std::string_view gbk, std::u16string& utf16, bool& compressible) {
  utf16.clear();
  char16_t widest = 0;
  const bool fast = DecodeSheetText(gbk, [&](char16_t ch) {
    utf16.push_back(ch);
    widest |= ch;
  });
  if (!fast) {
    utf16.clear();
    widest = 0;
    std::string utf8;
    SheetUtf8(gbk, utf8);
    uint32_t cp = 0;
    for (size_t i = 0; i < utf8.size();) {
      size_t n = DecodeUtf8(utf8, i, cp);
      if (n == 0) {  // the converter writes valid UTF-8; be safe anyway
        cp = 0xFFFD;
        n = 1;
      }
      if (cp >= 0x10000) {
        utf16.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
        utf16.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        widest = 0xFFFF;
      } else {
        utf16.push_back(static_cast<char16_t>(cp));
        widest |= static_cast<char16_t>(cp);
      }
      i += n;
    }
  }
  compressible = widest < 0x100;
  if (utf16.size() <= kMaxCellChars) return false;
  size_t keep = kMaxCellChars;
  // Never keep half of a surrogate pair.
  if (utf16[keep - 1] >= 0xD800 && utf16[keep - 1] <= 0xDBFF) --keep;
  utf16.resize(keep);
  return true;
}

const TempNamePattern& ExportTempNames() {
  static const TempNamePattern pattern{".kelvora-export-", ".tmp", true};
  return pattern;
}

TempFile::~TempFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!path_.empty() && !committed_) ::unlink(path_.c_str());
}

bool TempFile::create() {
  static std::atomic<unsigned> counter{0};
  const size_t slash = target_.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string(".") : target_.substr(0, slash + 1);
  // What an export that was killed left here goes first: up to a workbook's size.
  RemoveStaleTemporaries(folder, ExportTempNames());
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate = folder;
    if (candidate.back() != '/') candidate += '/';
    candidate += TempName(ExportTempNames(), ::getpid(), std::to_string(counter.fetch_add(1)));
    const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      fd_ = fd;
      path_ = std::move(candidate);
      return true;
    }
    if (errno != EEXIST) {
      error_ = errno;
      return false;
    }
  }
  error_ = EEXIST;
  return false;
}

bool TempFile::flush() {
  size_t done = 0;
  while (done < buffer_.size()) {
    const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      error_ = errno;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  buffer_.clear();
  return true;
}

bool TempFile::write(const void* data, size_t size) {
  if (error_ != 0 || fd_ < 0) return false;
  constexpr size_t kChunk = 1 << 20;
  if (buffer_.capacity() < kChunk) buffer_.reserve(kChunk);
  buffer_.append(static_cast<const char*>(data), size);
  return buffer_.size() < kChunk || flush();
}

bool TempFile::closeForReuse() {
  if (fd_ >= 0 && ::close(fd_) != 0 && error_ == 0) error_ = errno;
  fd_ = -1;
  return error_ == 0;
}

bool TempFile::commit(const std::stop_token& stop) {
  if (error_ == 0 && fd_ < 0) {
    // Filled by someone else through the path: open it again to sync it.
    fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) error_ = errno;
  }
  if (error_ == 0) flush();
  // The data must be on disk before the name points at it, or a crash could
  // leave an empty workbook under the user's name.
  if (error_ == 0 && ::fsync(fd_) != 0) error_ = errno;
  if (fd_ >= 0 && ::close(fd_) != 0 && error_ == 0) error_ = errno;
  fd_ = -1;
  // Syncing a large file takes a while: a stop that came meanwhile still counts.
  if (error_ == 0 && stop.stop_requested()) {
    stopped_ = true;
    ::unlink(path_.c_str());
    return false;
  }
  if (error_ == 0 && ::rename(path_.c_str(), target_.c_str()) != 0) error_ = errno;
  if (error_ != 0) {
    ::unlink(path_.c_str());
    return false;
  }
  committed_ = true;
  return true;
}

std::string WriteFailureText(const std::string& pathUtf8, const std::string& reasonGbk) {
  return Utf8ToGbk("无法写入文件“" + pathUtf8 + "”：") + reasonGbk;
}

std::string WriteFailure(const std::string& pathUtf8, int error) {
  const char* reason = nullptr;
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      reason = "文件夹不存在";
      break;
    case EACCES:
    case EPERM:
      reason = "没有写入这个文件夹的权限";
      break;
    case EROFS:
      reason = "文件系统只读";
      break;
    case ENOSPC:
    case EDQUOT:
      reason = "磁盘空间不足";
      break;
    case EISDIR:
      reason = "同名的文件夹已存在";
      break;
    case ENAMETOOLONG:
      reason = "文件名太长";
      break;
    case EFBIG:
      reason = "文件太大";
      break;
    default:
      break;
  }
  std::string text = reason ? std::string(reason) + "（" + ErrnoText(error) + "）" : ErrnoText(error);
  return WriteFailureText(pathUtf8, Utf8ToGbk(text));
}

std::string CutCellsWarning(int64_t cutCells) {
  if (cutCells <= 0) return {};
  return Utf8ToGbk("有 " + std::to_string(cutCells) + " 个单元格超过 Excel 的 " + std::to_string(kMaxCellChars) +
                   " 个字符上限，已截断。");
}

}  // namespace kelvora::workbook
