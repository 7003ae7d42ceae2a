// .xlsx workbooks through libxlsxwriter, in its constant-memory mode: rows go to
// a temporary file as they come, so a large table costs no more memory than a row.
// The .xlsx is ready for work: sheet "数据" has the captions (bold, frozen, with a
// filter), numbers and times stored as such, columns as wide as their texts; sheet
// "下架时间分布" the report's delistings by hour and day, with a chart of them.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <xlsxwriter.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "analysis/analysis_db.h"
#include "analysis/report.h"
#include "analysis/workbook.h"
#include "analysis/workbook_io.h"
#include "net/codec.h"
#include "net/datetime.h"

namespace kelvora {
class SheetRows;
class SheetSplice;
}  // namespace kelvora

namespace {
// The stop request of the workbook being closed on this thread, if any.
thread_local const std::stop_token* tZipStop = nullptr;
// Set while this thread closes one of our workbooks.
thread_local bool tClosingWorkbook = false;
// The rows of sheet "数据", compressed as they came, which take the place of the
// library's own rows in that sheet's part while this thread closes the workbook.
thread_local kelvora::SheetSplice* tSplice = nullptr;

constexpr int kZipOk = 0;                // ZIP_OK
constexpr int kZipErrno = -1;            // ZIP_ERRNO
constexpr int kZipParamError = -102;     // ZIP_PARAMERROR
constexpr int kZipInternalError = -104;  // ZIP_INTERNALERROR
constexpr int kDeflated = 8;             // Z_DEFLATED
constexpr const char* kDataSheetPart = "xl/worksheets/sheet1.xml";

using ZipWrite = int (*)(void*, const void*, unsigned);
using ZipClose = int (*)(void*);
using ZipCloseRaw = int (*)(void*, unsigned long long, unsigned long);

ZipWrite MinizipWrite() {
  static const ZipWrite write = reinterpret_cast<ZipWrite>(::dlsym(RTLD_NEXT, "zipWriteInFileInZip"));
  return write;
}
}  // namespace

namespace kelvora {
// The sheet part being replaced: what the library wrote into it (the sheet
// without its data rows) is kept, and on closing the part our rows go in.
class SheetSplice {
 public:
  explicit SheetSplice(SheetRows& rows) : rows_(rows) {}
  bool owns(const void* file) const { return file && file == file_; }
  void open(void* file) {
    file_ = file;
    libraryPart_.clear();
  }
  void take(const void* data, unsigned length) { libraryPart_.append(static_cast<const char*>(data), length); }
  // Writes the whole part, compressed, and closes it.
  int close(void* file);

 private:
  SheetRows& rows_;
  void* file_ = nullptr;
  std::string libraryPart_;
};
}  // namespace kelvora

// libxlsxwriter deflates every part at zlib's level 6 and has no setting for it.
// Level 1 takes about half the time on a large sheet for a file a fifth larger,
// and every reader opens it the same, so the sheets of our workbooks are added at
// level 1 through this function, which the program defines before minizip does
// (minizip 1.1's signature). The small parts, and any other caller, keep theirs.
// The part of sheet "数据" is opened raw: its rows come already deflated.
extern "C" int zipOpenNewFileInZip4_64(void* file, const char* filename, const void* zipfi, const void* extrafieldLocal,
                                       unsigned sizeExtrafieldLocal, const void* extrafieldGlobal,
                                       unsigned sizeExtrafieldGlobal, const char* comment, int method, int level,
                                       int raw, int windowBits, int memLevel, int strategy, const char* password,
                                       unsigned long crcForCrypting, unsigned long versionMadeBy,
                                       unsigned long flagBase, int zip64) {
  using Open = int (*)(void*, const char*, const void*, const void*, unsigned, const void*, unsigned, const char*, int,
                       int, int, int, int, int, const char*, unsigned long, unsigned long, unsigned long, int);
  static const Open minizipOpen = reinterpret_cast<Open>(::dlsym(RTLD_NEXT, "zipOpenNewFileInZip4_64"));
  if (!minizipOpen) return kZipParamError;
  const bool ours = tClosingWorkbook && method == kDeflated && level != 0 && filename;
  if (ours && std::strncmp(filename, "xl/worksheets/", 14) == 0) level = 1;
  const bool spliced = ours && tSplice && std::strcmp(filename, kDataSheetPart) == 0 && !password;
  const int result = minizipOpen(file, filename, zipfi, extrafieldLocal, sizeExtrafieldLocal, extrafieldGlobal,
                                 sizeExtrafieldGlobal, comment, method, level, spliced ? 1 : raw, windowBits, memLevel,
                                 strategy, password, crcForCrypting, versionMadeBy, flagBase, zip64);
  if (spliced && result == kZipOk) tSplice->open(file);
  return result;
}

// libxlsxwriter compresses the whole sheet inside workbook_close (seconds for a
// million rows) and offers no way to stop there. Its writes into the zip file
// come through this function, which the program defines before minizip does: a
// stop request fails the next write, and workbook_close gives up at once. Where
// the library did not come through here, a stop just waits for the close.
extern "C" int zipWriteInFileInZip(void* file, const void* data, unsigned length) {
  if (tZipStop && tZipStop->stop_requested()) return kZipErrno;
  if (tSplice && tSplice->owns(file)) {
    tSplice->take(data, length);
    return kZipOk;
  }
  const ZipWrite minizipWrite = MinizipWrite();
  return minizipWrite ? minizipWrite(file, data, length) : kZipErrno;
}

// The end of a part: the sheet "数据" gets its rows here.
extern "C" int zipCloseFileInZip(void* file) {
  static const ZipClose minizipClose = reinterpret_cast<ZipClose>(::dlsym(RTLD_NEXT, "zipCloseFileInZip"));
  if (tSplice && tSplice->owns(file)) return tSplice->close(file);
  return minizipClose ? minizipClose(file) : kZipParamError;
}

namespace kelvora {
namespace {

// libxlsxwriter prints its own lines ("[ERROR][./src/packager.c:...]") on stderr
// when a write fails; the user gets our message instead. While one of these
// lives, whatever reaches descriptor 2 is kept aside; other lines that came in
// meanwhile (another thread's) are passed on afterwards, the library's dropped.
class LibraryStderr {
 public:
  LibraryStderr() : lock_(Mutex()) {
    capture_ = ::memfd_create("kelvora-xlsxwriter-stderr", MFD_CLOEXEC);
    if (capture_ < 0) return;
    std::fflush(stderr);
    saved_ = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (saved_ < 0 || ::dup2(capture_, STDERR_FILENO) < 0) {
      if (saved_ >= 0) ::close(saved_);
      saved_ = -1;
    }
  }
  ~LibraryStderr() {
    if (capture_ < 0) return;
    if (saved_ >= 0) {
      std::fflush(stderr);
      const int savedErrno = errno;
      ::dup2(saved_, STDERR_FILENO);
      ::close(saved_);
      passOnOtherLines();
      errno = savedErrno;
    }
    ::close(capture_);
  }
  LibraryStderr(const LibraryStderr&) = delete;
  LibraryStderr& operator=(const LibraryStderr&) = delete;

 private:
  static std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
  }
  static bool IsLibraryLine(const std::string& line) {
    return line.rfind("[ERROR]", 0) == 0 || line.rfind("[WARNING]", 0) == 0;
  }
  void passOnOtherLines() {
    std::string text;
    char buffer[4096];
    for (off_t at = 0;;) {
      const ssize_t n = ::pread(capture_, buffer, sizeof buffer, at);
      if (n <= 0) break;
      text.append(buffer, static_cast<size_t>(n));
      at += n;
    }
    std::string others;
    for (size_t start = 0; start < text.size();) {
      size_t end = text.find('\n', start);
      end = end == std::string::npos ? text.size() : end + 1;
      const std::string line = text.substr(start, end - start);
      if (!IsLibraryLine(line)) others += line;
      start = end;
    }
    for (size_t done = 0; done < others.size();) {
      const ssize_t n = ::write(STDERR_FILENO, others.data() + done, others.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
  }

  std::unique_lock<std::mutex> lock_;
  int capture_ = -1;
  int saved_ = -1;
};

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Excel reads "_xHHHH_" in a text as the character HHHH; a text that holds such
// a sequence keeps it when its underscore is written "_x005F", as Excel saves it.
// False when the text has none.
bool EscapeCharacterCodes(const std::string& text, std::string& escaped) {
  if (text.find("_x") == std::string::npos) return false;
  escaped.clear();
  bool any = false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '_' && i + 6 < text.size() && text[i + 1] == 'x' && IsHex(text[i + 2]) && IsHex(text[i + 3]) &&
        IsHex(text[i + 4]) && IsHex(text[i + 5]) && text[i + 6] == '_') {
      escaped += "_x005F";
      any = true;
    }
    escaped += text[i];
  }
  return any;
}

// XML 1.0 has no place for the zero character nor for U+FFFE and U+FFFF (the library
// writes the other control characters as codes itself): they are stored as the
// codes Excel reads back as those characters, so the sheet stays a valid file.
// False when the text has none.
bool EncodeForbiddenCharacters(const std::string& text, std::string& encoded) {
  const bool any = text.find('\0') != std::string::npos || text.find("\xEF\xBF\xBE") != std::string::npos ||
                   text.find("\xEF\xBF\xBF") != std::string::npos;
  if (!any) return false;
  encoded.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\0') {
      encoded += "_x0000_";
    } else if (text.compare(i, 3, "\xEF\xBF\xBE") == 0 || text.compare(i, 3, "\xEF\xBF\xBF") == 0) {
      encoded += text[i + 2] == '\xBE' ? "_xFFFE_" : "_xFFFF_";
      i += 2;
    } else {
      encoded += text[i];
    }
  }
  return true;
}

// The cell text as the sheet stores it; true when it had to be cut.
bool StoredText(std::string_view gbk, std::string& text, std::string& escaped, std::string& encoded,
                const char*& stored) {
  bool cut = workbook::CellUtf8(gbk, text);
  for (;;) {
    const std::string* out = &text;
    if (EscapeCharacterCodes(*out, escaped)) out = &escaped;
    if (EncodeForbiddenCharacters(*out, encoded)) out = &encoded;
    stored = out->c_str();
    if (out == &text) break;
    // The limit counts the characters Excel reads, but the library counts the
    // stored ones.
    const size_t units = workbook::Utf16Units(*out);
    if (units <= kMaxCellChars) break;
    workbook::CutToUnits(text, workbook::Utf16Units(text) - (units - kMaxCellChars));
    cut = true;
  }
  return cut;
}

constexpr int kCol(ResultColumn c) { return static_cast<int>(c); }

// A whole cell that is one number as a program writes it: an optional minus,
// digits without a leading zero (or a lone 0), and decimals or not.
bool WholeNumber(std::string_view text, double& value) {
  size_t i = !text.empty() && text[0] == '-' ? 1 : 0;
  const size_t first = i;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
  if (i == first || (text[first] == '0' && i - first > 1)) return false;
  if (i < text.size() && text[i] == '.') {
    const size_t decimals = ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    if (i == decimals) return false;
  }
  if (i != text.size()) return false;
  // Rounded as strtod rounds, without its copy of the text.
  return std::from_chars(text.data(), text.data() + text.size(), value).ec == std::errc();
}

bool IsNumberColumn(int c) {
  return c == kCol(ResultColumn::Index) || c == kCol(ResultColumn::HoursLeft) || c == kCol(ResultColumn::Sales) ||
         c == kCol(ResultColumn::Stock) || c == kCol(ResultColumn::Price);
}

// A time cell as the program writes it ("2026年12月11日8时5分"): its date-time,
// which Excel counts in the same days since 1899-12-30.
bool TimeCell(std::string_view gbk, DateTime& value) {
  if (gbk.empty()) return false;
  value = TextToDate(gbk);
  return value != kSmallestDate && DateText(value) == gbk;
}

// How wide a column must be for a text: a Chinese character counts two.
double TextWidth(std::string_view gbk) {
  double w = 0;
  for (size_t i = 0; i < gbk.size(); ++i) {
    if (static_cast<unsigned char>(gbk[i]) >= 0x80) {
      w += 2;
      ++i;
    } else {
      w += 1.1;
    }
  }
  return w;
}

// Columns are as wide as their texts in this many first rows.
constexpr size_t kWidthSampleRows = 2000;

void AppendInteger(std::string& out, uint64_t value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, static_cast<size_t>(end - digits));
}

// A number as the library writes it (printf's "%.16G").
void AppendNumber(std::string& out, double value) {
  if (value == std::trunc(value) && std::fabs(value) < 1e15 && !(value == 0 && std::signbit(value))) {
    if (value < 0) out += '-';
    AppendInteger(out, static_cast<uint64_t>(std::fabs(value)));
    return;
  }
  char text[40];
  char* end = std::to_chars(text, text + sizeof text, value, std::chars_format::general, 16).ptr;
  for (char* c = text; c != end; ++c)
    if (*c == 'e') *c = 'E';
  out.append(text, static_cast<size_t>(end - text));
}

// A cell's reference: its column letter and its row number.
void AppendCellStart(std::string& out, int column, uint64_t sheetRow) {
  out += "<c r=\"";
  out += static_cast<char>('A' + column);
  AppendInteger(out, sheetRow);
  out += '"';
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// A text as the library stores it inline: the control characters XML 1.0 has no
// place for as "_xHHHH_" codes (tab and line feed stay), then &, < and > as
// entities; a text with white space at either end keeps it.
void AppendInlineString(std::string& out, std::string_view text, std::string& escaped) {
  auto plain = [](unsigned char c) { return c >= 0x20 ? c != '&' && c != '<' && c != '>' : c == '\t' || c == '\n'; };
  std::string_view stored = text;
  if (!std::all_of(text.begin(), text.end(), [&](char c) { return plain(static_cast<unsigned char>(c)); })) {
    escaped.clear();
    for (const char ch : text) {
      const auto c = static_cast<unsigned char>(ch);
      if (plain(c)) {
        escaped += ch;
      } else if (c < 0x20) {
        static constexpr char kHex[] = "0123456789ABCDEF";
        const char code[] = {'_', 'x', '0', '0', kHex[c >> 4], kHex[c & 15], '_'};
        escaped.append(code, sizeof code);
      } else {
        escaped += c == '&' ? "&amp;" : c == '<' ? "&lt;" : "&gt;";
      }
    }
    stored = escaped;
  }
  out += stored.empty() || (!IsSpace(stored.front()) && !IsSpace(stored.back()))
             ? " t=\"inlineStr\"><is><t>"
             : " t=\"inlineStr\"><is><t xml:space=\"preserve\">";
  out.append(stored.data(), stored.size());
  out += "</t></is></c>";
}

}  // namespace

namespace {
// Fixed style numbers of the data sheet: the library numbers the formats in
// the order they are first asked for, and these are asked for first.
constexpr int kBoldStyle = 1;
constexpr int kTwoDecimalsStyle = 2;
constexpr int kDateTimeStyle = 3;

// A raw deflate stream at minizip's settings but the fastest level, kept in
// memory. Ended with a sync flush it can be followed by another such stream in
// one part; the last one ends with finish().
class Deflater {
 public:
  Deflater() {
    ok_ = deflateInit2(&z_, 1, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    started_ = ok_;
  }
  ~Deflater() {
    if (started_) deflateEnd(&z_);
  }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  bool add(std::string_view data) { return deflateSome(data, Z_NO_FLUSH); }
  // Ends the stream on a byte boundary without a last block.
  bool flush(std::string_view data = {}) { return deflateSome(data, Z_SYNC_FLUSH); }
  bool finish(std::string_view data = {}) { return deflateSome(data, Z_FINISH); }

  bool ok() const { return ok_; }
  uLong crc() const { return crc_; }
  uint64_t size() const { return size_; }
  const std::vector<std::string>& chunks() const { return chunks_; }
  void release() { std::vector<std::string>().swap(chunks_); }

 private:
  static constexpr size_t kChunk = 1 << 20;

  bool deflateSome(std::string_view data, int flush) {
    if (!ok_) return false;
    crc_ = crc32_z(crc_, reinterpret_cast<const Bytef*>(data.data()), data.size());
    size_ += data.size();
    z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z_.avail_in = static_cast<uInt>(data.size());
    for (;;) {
      if (chunks_.empty() || used_ == chunks_.back().size()) {
        chunks_.emplace_back(kChunk, '\0');
        used_ = 0;
      }
      std::string& chunk = chunks_.back();
      z_.next_out = reinterpret_cast<Bytef*>(chunk.data() + used_);
      z_.avail_out = static_cast<uInt>(chunk.size() - used_);
      const int rc = deflate(&z_, flush);
      used_ = chunk.size() - z_.avail_out;
      if (rc == Z_STREAM_ERROR) return ok_ = false;
      if (z_.avail_out != 0) break;  // all taken in and all given out
    }
    if (flush != Z_NO_FLUSH) chunks_.back().resize(used_);
    return true;
  }

  z_stream z_{};
  bool ok_ = false, started_ = false;
  uLong crc_ = crc32_z(0, nullptr, 0);
  uint64_t size_ = 0;
  std::vector<std::string> chunks_;
  size_t used_ = 0;
};

// A Deflater fed from a thread of its own: while one batch of text is
// compressed, the next is written, so the rows cost about the slower of the two
// rather than both. Where no thread can be had, each batch is compressed at once.
class PipelinedDeflater {
 public:
  PipelinedDeflater() = default;
  ~PipelinedDeflater() { join(); }
  PipelinedDeflater(const PipelinedDeflater&) = delete;
  PipelinedDeflater& operator=(const PipelinedDeflater&) = delete;

  // Takes the batch and gives back an empty string to fill with the next.
  void add(std::string& batch) {
    if (inline_) {
      deflater_.add(batch);
      batch.clear();
      return;
    }
    std::unique_lock lock(mutex_);
    if (!worker_.joinable()) {
      try {
        worker_ = std::thread([this] { run(); });
      } catch (const std::system_error&) {
        inline_ = true;
        lock.unlock();
        add(batch);
        return;
      }
    }
    taken_.wait(lock, [&] { return !full_; });
    slot_.swap(batch);
    full_ = true;
    batch.clear();
    lock.unlock();
    ready_.notify_one();
  }

  // Compresses the rest and ends the stream on a byte boundary; false when the
  // compression failed anywhere.
  bool flush(std::string_view rest) {
    join();
    return !failed_ && deflater_.flush(rest);
  }

  Deflater& deflater() { return deflater_; }

 private:
  void run() {
    std::string work;
    for (;;) {
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return full_ || done_; });
        if (!full_) return;
        work.swap(slot_);
        full_ = false;
      }
      taken_.notify_one();
      if (!deflater_.add(work)) failed_ = true;
      work.clear();
    }
  }
  void join() {
    if (!worker_.joinable()) return;
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    ready_.notify_one();
    worker_.join();
  }

  Deflater deflater_;
  std::thread worker_;
  std::mutex mutex_;
  std::condition_variable ready_, taken_;
  std::string slot_;
  bool full_ = false, done_ = false, inline_ = false;
  bool failed_ = false;  // the worker's, read after it ended
};

}  // namespace

// The rows of sheet "数据" as the sheet's XML, deflated as they come; the rest of
// the sheet (columns, frozen captions, filter) is the library's.
class SheetRows {
 public:
  SheetRows() : delistings_(TodayUtc8()) {
    for (int c = 0; c < kResultColumnCount; ++c)  // and the filter's button
      widths_[static_cast<size_t>(c)] = TextWidth(ResultColumns()[static_cast<size_t>(c)].caption) + 3;
    xml_.reserve(kXmlBatch + 4096);
  }

  void add(const RowCells& cells) {
    ++rows_;
    const uint64_t sheetRow = rows_ + 1;
    if (rows_ <= kWidthSampleRows)
      for (int c = 0; c < kResultColumnCount; ++c)
        widths_[static_cast<size_t>(c)] =
            std::max(widths_[static_cast<size_t>(c)], TextWidth(cells[static_cast<size_t>(c)]));
    delistings_.add(TimeTextSeconds(cells[static_cast<size_t>(kCol(ResultColumn::DelistAt))]));

    const size_t rowStart = xml_.size();
    xml_ += "<row r=\"";
    AppendInteger(xml_, sheetRow);
    xml_ += "\">";
    const size_t cellsStart = xml_.size();
    for (int c = 0; c < kResultColumnCount; ++c) {
      const std::string& cell = cells[static_cast<size_t>(c)];
      double number = 0;
      DateTime time = 0;
      if (IsNumberColumn(c) && WholeNumber(cell, number)) {
        const bool cents = c == kCol(ResultColumn::Price) && cell.size() > 3 && cell[cell.size() - 3] == '.';
        AppendCellStart(xml_, c, sheetRow);
        xml_ += cents ? " s=\"2\"><v>" : "><v>";
        static_assert(kTwoDecimalsStyle == 2);
        AppendNumber(xml_, number);
        xml_ += "</v></c>";
      } else if ((c == kCol(ResultColumn::ListedAt) || c == kCol(ResultColumn::DelistAt)) && TimeCell(cell, time)) {
        AppendCellStart(xml_, c, sheetRow);
        static_assert(kDateTimeStyle == 3);
        xml_ += " s=\"3\"><v>";
        AppendNumber(xml_, time);
        xml_ += "</v></c>";
      } else {
        if (StoredText(cell, text_, escaped_, encoded_, stored_)) ++cutCells_;
        // An empty text is an empty cell, as Excel itself stores it.
        if (*stored_ == '\0') continue;
        AppendCellStart(xml_, c, sheetRow);
        AppendInlineString(xml_, stored_, xmlText_);
      }
    }
    if (xml_.size() == cellsStart) {  // no cell: no row
      xml_.resize(rowStart);
    } else {
      xml_ += "</row>";
    }
    if (xml_.size() >= kXmlBatch) body_.add(xml_);
  }

  // The rows are all in; false when the compression failed.
  bool finish() {
    const bool ok = body_.flush(xml_);
    std::string().swap(xml_);
    return ok;
  }

  uint64_t rowCount() const { return rows_; }
  int64_t cutCells() const { return cutCells_; }
  const DelistingCounts& delistings() const { return delistings_.counts(); }
  double width(int column) const { return std::clamp(widths_[static_cast<size_t>(column)] + 1, 6.0, 50.0); }
  Deflater& body() { return body_.deflater(); }

 private:
  static constexpr size_t kXmlBatch = 256 * 1024;

  uint64_t rows_ = 0;
  int64_t cutCells_ = 0;
  std::array<double, kResultColumnCount> widths_{};
  DelistingCounter delistings_;
  PipelinedDeflater body_;
  std::string xml_, text_, escaped_, encoded_, xmlText_;
  const char* stored_ = nullptr;
};

int SheetSplice::close(void* file) {
  file_ = nullptr;
  static const ZipCloseRaw minizipCloseRaw =
      reinterpret_cast<ZipCloseRaw>(::dlsym(RTLD_NEXT, "zipCloseFileInZipRaw64"));
  const ZipWrite minizipWrite = MinizipWrite();
  if (!minizipCloseRaw || !minizipWrite) return kZipParamError;
  // The library's sheet holds the caption row alone: the rows go after it, and
  // the sheet's dimension is made to cover them.
  // The library's sheet holds the caption row alone: the rows go after it. Its
  // dimension already spans them, as the filter does.
  const size_t rowsEnd = libraryPart_.rfind("</sheetData>");
  if (rowsEnd == std::string::npos) return kZipInternalError;
  const std::string_view head = std::string_view(libraryPart_).substr(0, rowsEnd);
  const std::string dimension =
      "<dimension ref=\"A1:" + std::string(1, static_cast<char>('A' + kResultColumnCount - 1)) +
      std::to_string(rows_.rowCount() + 1) + "\"/>";
  if (head.find(dimension) == std::string_view::npos) return kZipInternalError;
  Deflater before, after;
  if (!before.flush(head) || !after.finish(std::string_view(libraryPart_).substr(rowsEnd))) return kZipInternalError;
  Deflater& body = rows_.body();
  for (const Deflater* part : {&before, &body, &after}) {
    for (const std::string& chunk : part->chunks()) {
      if (tZipStop && tZipStop->stop_requested()) return kZipErrno;
      if (chunk.empty()) continue;
      const int written = minizipWrite(file, chunk.data(), static_cast<unsigned>(chunk.size()));
      if (written != kZipOk) return written;
    }
  }
  body.release();
  const uLong crc = crc32_combine(crc32_combine(before.crc(), body.crc(), static_cast<z_off_t>(body.size())),
                                  after.crc(), static_cast<z_off_t>(after.size()));
  return minizipCloseRaw(file, before.size() + body.size() + after.size(), crc);
}

namespace {

// Why workbook_close failed, for the user: the system's reason when a file
// operation failed (a full disk above all), else the library's.
std::string CloseFailure(const std::string& pathUtf8, lxw_error error, int closeErrno) {
  switch (error) {
    case LXW_ERROR_CREATING_XLSX_FILE:
    case LXW_ERROR_CREATING_TMPFILE:
    case LXW_ERROR_READING_TMPFILE:
    case LXW_ERROR_ZIP_FILE_OPERATION:
    case LXW_ERROR_ZIP_FILE_ADD:
    case LXW_ERROR_ZIP_CLOSE:
      if (closeErrno != 0) return workbook::WriteFailure(pathUtf8, closeErrno);
      break;
    default:
      break;
  }
  return workbook::WriteFailureText(pathUtf8, lxw_strerror(error));
}

// Sheet "下架时间分布": the report's delistings per hour of today and the next seven
// days (row 1 the hours, column A the days), and a line per day over the hours.
lxw_error WriteDelistingSheet(lxw_workbook* book, const DelistingCounts& counts, lxw_format* bold) {
  constexpr const char* kSheet = "下架时间分布";
  lxw_worksheet* sheet = workbook_add_worksheet(book, kSheet);
  if (!sheet) return LXW_ERROR_CREATING_TMPFILE;
  worksheet_set_column(sheet, 0, 0, 14, nullptr);
  lxw_error error = worksheet_write_string(sheet, 0, 0, "日期", bold);
  for (int h = 0; error == LXW_NO_ERROR && h < 24; ++h)
    error = worksheet_write_string(sheet, 0, static_cast<lxw_col_t>(h + 1), (std::to_string(h) + "时").c_str(), bold);
  const DateTime today = TodayUtc8();
  for (int d = 0; error == LXW_NO_ERROR && d < kReportDays; ++d) {
    const DateParts day = SplitDateTime(today + d);
    const std::string name =
        std::to_string(day.month) + "月" + std::to_string(day.day) + "日 " + GbkToUtf8(WeekdayName(today + d));
    error = worksheet_write_string(sheet, static_cast<lxw_row_t>(d + 1), 0, name.c_str(), nullptr);
    for (int h = 0; error == LXW_NO_ERROR && h < 24; ++h)
      error = worksheet_write_number(sheet, static_cast<lxw_row_t>(d + 1), static_cast<lxw_col_t>(h + 1),
                                     static_cast<double>(counts.hours[static_cast<size_t>(d)][static_cast<size_t>(h)]),
                                     nullptr);
  }
  if (error != LXW_NO_ERROR) return error;
  lxw_chart* chart = workbook_add_chart(book, LXW_CHART_LINE);
  if (!chart) return LXW_ERROR_MEMORY_MALLOC_FAILED;
  chart_title_set_name(chart, "下架时间分布（每小时）");
  for (int d = 0; d < kReportDays; ++d) {
    lxw_chart_series* series = chart_add_series(chart, nullptr, nullptr);
    if (!series) return LXW_ERROR_MEMORY_MALLOC_FAILED;
    chart_series_set_categories(series, kSheet, 0, 1, 0, 24);
    chart_series_set_values(series, kSheet, static_cast<lxw_row_t>(d + 1), 1, static_cast<lxw_row_t>(d + 1), 24);
    chart_series_set_name_range(series, kSheet, static_cast<lxw_row_t>(d + 1), 0);
  }
  lxw_chart_options placement{};
  placement.x_scale = 2.2;
  placement.y_scale = 1.6;
  return worksheet_insert_chart_opt(sheet, kReportDays + 2, 0, chart, &placement);
}

WorkbookResult WriteXlsxUnguarded(const std::string& pathUtf8, SheetRows& rows, const std::stop_token& stop) {
  if (rows.rowCount() > kMaxXlsxDataRows)
    return WorkbookResult::Failure(Utf8ToGbk("无法导出到“" + pathUtf8 + "”：表格有 " + std::to_string(rows.rowCount()) +
                                             " 行，超出 .xlsx 文件最多容纳的 " + std::to_string(kMaxXlsxDataRows) +
                                             " 行。"));
  if (stop.stop_requested()) return WorkbookResult::Stopped(pathUtf8);
  if (!rows.finish()) return WorkbookResult::Failure(workbook::WriteFailureText(pathUtf8, "cannot compress the sheet"));

  // The name is taken first, so the library writes into a file of ours that
  // disappears again whatever happens.
  workbook::TempFile file(pathUtf8);
  if (!file.create() || !file.closeForReuse())
    return WorkbookResult::Failure(workbook::WriteFailure(pathUtf8, file.error()));

  lxw_workbook_options options{};
  options.constant_memory = LXW_TRUE;
  // Closing is the one way to free a workbook; on an exception its file goes
  // away with the temporary name.
  struct Closer {
    void operator()(lxw_workbook* b) const {
      LibraryStderr quiet;
      workbook_close(b);
    }
  };
  std::unique_ptr<lxw_workbook, Closer> book;
  lxw_worksheet* sheet = nullptr;
  {
    LibraryStderr quiet;
    book.reset(workbook_new_opt(file.path().c_str(), &options));
    if (book) sheet = workbook_add_worksheet(book.get(), "数据");
  }
  if (!book) return WorkbookResult::Failure(workbook::WriteFailureText(pathUtf8, "cannot start the workbook"));
  lxw_error error = sheet ? LXW_NO_ERROR : LXW_ERROR_CREATING_TMPFILE;

  WorkbookResult result;
  result.cutCells = rows.cutCells();
  std::string text;

  lxw_format* bold = workbook_add_format(book.get());
  format_set_bold(bold);
  lxw_format* dateTime = workbook_add_format(book.get());
  format_set_num_format(dateTime, "yyyy\"年\"m\"月\"d\"日\"h\"时\"mm\"分\"ss\"秒\"");
  lxw_format* twoDecimals = workbook_add_format(book.get());
  format_set_num_format(twoDecimals, "0.00");
  // The rows were written with these style numbers.
  if (lxw_format_get_xf_index(bold) != kBoldStyle || lxw_format_get_xf_index(twoDecimals) != kTwoDecimalsStyle ||
      lxw_format_get_xf_index(dateTime) != kDateTimeStyle)
    error = LXW_ERROR_PARAMETER_VALIDATION;
  if (error == LXW_NO_ERROR) {
    for (int c = 0; c < kResultColumnCount; ++c)
      worksheet_set_column(sheet, static_cast<lxw_col_t>(c), static_cast<lxw_col_t>(c), rows.width(c), nullptr);
    worksheet_freeze_panes(sheet, 1, 0);
    worksheet_autofilter(sheet, 0, 0, static_cast<lxw_row_t>(rows.rowCount()), kResultColumnCount - 1);
  }
  // Row 1: the captions as they are. The data rows go in as the sheet is closed.
  for (int c = 0; error == LXW_NO_ERROR && c < kResultColumnCount; ++c) {
    workbook::CellUtf8(ResultColumns()[static_cast<size_t>(c)].caption, text);
    error = worksheet_write_string(sheet, 0, static_cast<lxw_col_t>(c), text.c_str(), bold);
  }
  if (error == LXW_NO_ERROR) error = WriteDelistingSheet(book.get(), rows.delistings(), bold);

  // Closing also frees the workbook, so it runs even after a failed write; a
  // stop (also one that comes now) cuts the compression short.
  lxw_error closeError = LXW_NO_ERROR;
  int closeErrno = 0;
  {
    LibraryStderr quiet;
    SheetSplice splice(rows);
    tZipStop = &stop;
    tClosingWorkbook = true;
    tSplice = error == LXW_NO_ERROR ? &splice : nullptr;
    errno = 0;
    closeError = workbook_close(book.release());
    closeErrno = errno;
    tSplice = nullptr;
    tClosingWorkbook = false;
    tZipStop = nullptr;
  }
  if (stop.stop_requested()) return WorkbookResult::Stopped(pathUtf8);
  if (error != LXW_NO_ERROR) return WorkbookResult::Failure(workbook::WriteFailureText(pathUtf8, lxw_strerror(error)));
  if (closeError != LXW_NO_ERROR) return WorkbookResult::Failure(CloseFailure(pathUtf8, closeError, closeErrno));
  if (!file.commit(stop))
    return file.stopped() ? WorkbookResult::Stopped(pathUtf8)
                          : WorkbookResult::Failure(workbook::WriteFailure(pathUtf8, file.error()));

  result.ok = true;
  result.warning = workbook::CutCellsWarning(result.cutCells);
  return result;
}

WorkbookResult OutOfMemory(const std::string& pathUtf8) {
  return WorkbookResult::Failure(workbook::WriteFailureText(pathUtf8, Utf8ToGbk("内存不足")));
}

}  // namespace

WorkbookResult WriteXlsx(const std::string& pathUtf8, const std::vector<RowCells>& rows, std::stop_token stop) {
  if (rows.size() > kMaxXlsxDataRows)
    return WorkbookResult::Failure(Utf8ToGbk("无法导出到“" + pathUtf8 + "”：表格有 " + std::to_string(rows.size()) +
                                             " 行，超出 .xlsx 文件最多容纳的 " + std::to_string(kMaxXlsxDataRows) +
                                             " 行。"));
  try {
    SheetRows sheet;
    for (const RowCells& row : rows) {
      if (stop.stop_requested()) return WorkbookResult::Stopped(pathUtf8);
      sheet.add(row);
    }
    return WriteXlsxUnguarded(pathUtf8, sheet, stop);
  } catch (const std::exception&) {  // allocation failures of a huge table
    return OutOfMemory(pathUtf8);
  }
}

struct XlsxRows::State {
  SheetRows sheet;
};

XlsxRows::XlsxRows() : state_(std::make_unique<State>()) {}
XlsxRows::~XlsxRows() = default;

void XlsxRows::add(const RowCells& row) { state_->sheet.add(row); }

size_t XlsxRows::rowCount() const { return static_cast<size_t>(state_->sheet.rowCount()); }

WorkbookResult XlsxRows::write(const std::string& pathUtf8, std::stop_token stop) {
  try {
    return WriteXlsxUnguarded(pathUtf8, state_->sheet, stop);
  } catch (const std::exception&) {
    return OutOfMemory(pathUtf8);
  }
}

}  // namespace kelvora
