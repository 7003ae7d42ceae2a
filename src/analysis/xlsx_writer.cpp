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

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <vector>

#include "analysis/analysis_db.h"
#include "analysis/report.h"
#include "analysis/workbook.h"
#include "analysis/workbook_io.h"
#include "net/codec.h"
#include "net/datetime.h"

namespace {
// The stop request of the workbook being closed on this thread, if any.
thread_local const std::stop_token* tZipStop = nullptr;
// Set while this thread closes one of our workbooks.
thread_local bool tClosingWorkbook = false;
}  // namespace

// libxlsxwriter deflates every part at zlib's level 6 and has no setting for it.
// Level 1 takes about half the time on a large sheet for a file a fifth larger,
// and every reader opens it the same, so the sheets of our workbooks are added at
// level 1 through this function, which the program defines before minizip does
// (minizip 1.1's signature). The small parts, and any other caller, keep theirs.
extern "C" int zipOpenNewFileInZip4_64(void* file, const char* filename, const void* zipfi, const void* extrafieldLocal,
                                       unsigned sizeExtrafieldLocal, const void* extrafieldGlobal,
                                       unsigned sizeExtrafieldGlobal, const char* comment, int method, int level,
                                       int raw, int windowBits, int memLevel, int strategy, const char* password,
                                       unsigned long crcForCrypting, unsigned long versionMadeBy,
                                       unsigned long flagBase, int zip64) {
  using Open = int (*)(void*, const char*, const void*, const void*, unsigned, const void*, unsigned, const char*, int,
                       int, int, int, int, int, const char*, unsigned long, unsigned long, unsigned long, int);
  static const Open minizipOpen = reinterpret_cast<Open>(::dlsym(RTLD_NEXT, "zipOpenNewFileInZip4_64"));
  constexpr int kZipParamError = -102;  // ZIP_PARAMERROR
  constexpr int kDeflated = 8;          // Z_DEFLATED
  if (!minizipOpen) return kZipParamError;
  if (tClosingWorkbook && method == kDeflated && level != 0 && filename &&
      std::strncmp(filename, "xl/worksheets/", 14) == 0)
    level = 1;
  return minizipOpen(file, filename, zipfi, extrafieldLocal, sizeExtrafieldLocal, extrafieldGlobal,
                     sizeExtrafieldGlobal, comment, method, level, raw, windowBits, memLevel, strategy, password,
                     crcForCrypting, versionMadeBy, flagBase, zip64);
}

// libxlsxwriter compresses the whole sheet inside workbook_close (seconds for a
// million rows) and offers no way to stop there. Its writes into the zip file
// come through this function, which the program defines before minizip does: a
// stop request fails the next write, and workbook_close gives up at once. Where
// the library did not come through here, a stop just waits for the close.
extern "C" int zipWriteInFileInZip(void* file, const void* data, unsigned length) {
  using Write = int (*)(void*, const void*, unsigned);
  static const Write minizipWrite = reinterpret_cast<Write>(::dlsym(RTLD_NEXT, "zipWriteInFileInZip"));
  constexpr int kZipErrno = -1;  // ZIP_ERRNO
  if (tZipStop && tZipStop->stop_requested()) return kZipErrno;
  return minizipWrite ? minizipWrite(file, data, length) : kZipErrno;
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
  value = std::strtod(std::string(text).c_str(), nullptr);
  return true;
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

// Columns as wide as their usual texts: a Chinese character counts two.
std::array<double, kResultColumnCount> FittingWidths(const std::vector<RowCells>& rows) {
  std::array<double, kResultColumnCount> widths{};
  const size_t sample = std::min<size_t>(rows.size(), 2000);
  auto measure = [](std::string_view gbk) {
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
  };
  for (int c = 0; c < kResultColumnCount; ++c) {
    double w = measure(ResultColumns()[static_cast<size_t>(c)].caption) + 3;  // and the filter's button
    for (size_t r = 0; r < sample; ++r) w = std::max(w, measure(rows[r][static_cast<size_t>(c)]));
    widths[static_cast<size_t>(c)] = std::clamp(w + 1, 6.0, 50.0);
  }
  return widths;
}

}  // namespace

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

WorkbookResult WriteXlsxUnguarded(const std::string& pathUtf8, const std::vector<RowCells>& rows,
                                  const std::stop_token& stop) {
  if (rows.size() > kMaxXlsxDataRows)
    return WorkbookResult::Failure(Utf8ToGbk("无法导出到“" + pathUtf8 + "”：表格有 " + std::to_string(rows.size()) +
                                             " 行，超出 .xlsx 文件最多容纳的 " + std::to_string(kMaxXlsxDataRows) +
                                             " 行。"));

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
  std::string text, escaped, encoded;
  const char* stored = nullptr;
  bool stopped = false;

  lxw_format* bold = workbook_add_format(book.get());
  format_set_bold(bold);
  lxw_format* dateTime = workbook_add_format(book.get());
  format_set_num_format(dateTime, "yyyy\"年\"m\"月\"d\"日\"h\"时\"mm\"分\"ss\"秒\"");
  lxw_format* twoDecimals = workbook_add_format(book.get());
  format_set_num_format(twoDecimals, "0.00");
  if (error == LXW_NO_ERROR) {
    const auto widths = FittingWidths(rows);
    for (int c = 0; c < kResultColumnCount; ++c)
      worksheet_set_column(sheet, static_cast<lxw_col_t>(c), static_cast<lxw_col_t>(c), widths[static_cast<size_t>(c)],
                           nullptr);
    worksheet_freeze_panes(sheet, 1, 0);
    worksheet_autofilter(sheet, 0, 0, static_cast<lxw_row_t>(rows.size()), kResultColumnCount - 1);
  }
  // Row 1: the captions as they are.
  for (int c = 0; error == LXW_NO_ERROR && c < kResultColumnCount; ++c) {
    workbook::CellUtf8(ResultColumns()[static_cast<size_t>(c)].caption, text);
    error = worksheet_write_string(sheet, 0, static_cast<lxw_col_t>(c), text.c_str(), bold);
  }
  // The second sheet's counts are gathered on the way through the rows.
  DelistingCounter delistings(TodayUtc8());
  for (size_t r = 1; error == LXW_NO_ERROR && r <= rows.size(); ++r) {
    if (stop.stop_requested()) {
      stopped = true;
      break;
    }
    const RowCells& cells = rows[r - 1];
    delistings.add(TimeTextSeconds(cells[static_cast<size_t>(kCol(ResultColumn::DelistAt))]));
    for (int c = 0; c < kResultColumnCount; ++c) {
      const std::string& cell = cells[static_cast<size_t>(c)];
      const auto row = static_cast<lxw_row_t>(r);
      const auto col = static_cast<lxw_col_t>(c);
      double number = 0;
      DateTime time = 0;
      if (IsNumberColumn(c) && WholeNumber(cell, number)) {
        const bool cents = c == kCol(ResultColumn::Price) && cell.size() > 3 && cell[cell.size() - 3] == '.';
        error = worksheet_write_number(sheet, row, col, number, cents ? twoDecimals : nullptr);
      } else if ((c == kCol(ResultColumn::ListedAt) || c == kCol(ResultColumn::DelistAt)) && TimeCell(cell, time)) {
        error = worksheet_write_number(sheet, row, col, time, dateTime);
      } else {
        if (StoredText(cell, text, escaped, encoded, stored)) ++result.cutCells;
        // An empty text is an empty cell, as Excel itself stores it.
        if (*stored == '\0') continue;
        error = worksheet_write_string(sheet, row, col, stored, nullptr);
      }
      if (error != LXW_NO_ERROR) break;
    }
  }
  if (error == LXW_NO_ERROR && !stopped) error = WriteDelistingSheet(book.get(), delistings.counts(), bold);

  // Closing also frees the workbook, so it runs even after a failed write or a
  // stop; a stop (also one that comes now) cuts the compression short.
  lxw_error closeError = LXW_NO_ERROR;
  int closeErrno = 0;
  {
    LibraryStderr quiet;
    tZipStop = &stop;
    tClosingWorkbook = true;
    errno = 0;
    closeError = workbook_close(book.release());
    closeErrno = errno;
    tClosingWorkbook = false;
    tZipStop = nullptr;
  }
  if (stopped || stop.stop_requested()) return WorkbookResult::Stopped(pathUtf8);
  if (error != LXW_NO_ERROR) return WorkbookResult::Failure(workbook::WriteFailureText(pathUtf8, lxw_strerror(error)));
  if (closeError != LXW_NO_ERROR) return WorkbookResult::Failure(CloseFailure(pathUtf8, closeError, closeErrno));
  if (!file.commit(stop))
    return file.stopped() ? WorkbookResult::Stopped(pathUtf8)
                          : WorkbookResult::Failure(workbook::WriteFailure(pathUtf8, file.error()));

  result.ok = true;
  result.warning = workbook::CutCellsWarning(result.cutCells);
  return result;
}

}  // namespace

WorkbookResult WriteXlsx(const std::string& pathUtf8, const std::vector<RowCells>& rows, std::stop_token stop) {
  try {
    return WriteXlsxUnguarded(pathUtf8, rows, stop);
  } catch (const std::exception&) {  // allocation failures of a huge table
    return WorkbookResult::Failure(workbook::WriteFailureText(pathUtf8, Utf8ToGbk("内存不足")));
  }
}

}  // namespace kelvora
