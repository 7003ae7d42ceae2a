// Excel 97-2003 workbooks: one BIFF8 sheet of text cells (shared strings and
// LABELSST records) in the Workbook stream of an OLE2 compound document.
#include <algorithm>
#include <cstdint>
#include <exception>
#include <functional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/workbook.h"
#include "analysis/workbook_io.h"
#include "net/codec.h"

namespace kelvora {
namespace {

using workbook::TempFile;

void Put8(std::string& b, uint8_t v) { b += static_cast<char>(v); }
void Put16(std::string& b, uint16_t v) {
  b += static_cast<char>(v & 0xFF);
  b += static_cast<char>(v >> 8);
}
void Put32(std::string& b, uint32_t v) {
  Put16(b, static_cast<uint16_t>(v & 0xFFFF));
  Put16(b, static_cast<uint16_t>(v >> 16));
}
void Set32(std::string& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

void Record(std::string& b, uint16_t type, const std::string& data) {
  Put16(b, type);
  Put16(b, static_cast<uint16_t>(data.size()));
  b += data;
}

// ---- BIFF8 record contents ----

constexpr uint16_t kBof = 0x0809, kEof = 0x000A, kCodePage = 0x0042, kWindow1 = 0x003D, kFont = 0x0031, kXf = 0x00E0,
                   kStyle = 0x0293, kBoundSheet = 0x0085, kSst = 0x00FC, kContinue = 0x003C, kExtSst = 0x00FF,
                   kDimensions = 0x0200, kLabelSst = 0x00FD, kWindow2 = 0x023E;
// Longest record body BIFF8 allows; longer ones go on in CONTINUE records.
constexpr size_t kMaxRecordData = 8224;
// Cells use the default cell format, which comes after the 15 style formats.
constexpr uint16_t kCellXf = 15;
constexpr uint32_t kNoString = 0xFFFFFFFF;

std::string Bof(uint16_t kind) {
  std::string d;
  Put16(d, 0x0600);  // BIFF8
  Put16(d, kind);    // 0x0005 workbook globals, 0x0010 worksheet
  Put16(d, 0x0DBB);  // build and year of the Excel 97 format
  Put16(d, 0x07CC);
  Put32(d, 0);
  Put32(d, 0x06);
  return d;
}

std::string Window1() {
  std::string d;
  Put16(d, 0x0000);  // position and size in twips
  Put16(d, 0x0000);
  Put16(d, 0x4000);
  Put16(d, 0x2000);
  Put16(d, 0x0038);  // horizontal and vertical scroll bars, sheet tabs
  Put16(d, 0);       // active sheet
  Put16(d, 0);       // first visible tab
  Put16(d, 1);       // selected tabs
  Put16(d, 0x0258);  // tab bar width ratio
  return d;
}

// 宋体 12 pt, the default of Chinese Excel.
std::string Font() {
  std::string d;
  Put16(d, 240);     // height in twips
  Put16(d, 0);       // attributes
  Put16(d, 0x7FFF);  // automatic colour
  Put16(d, 400);     // normal weight
  Put16(d, 0);       // no super- or subscript
  Put8(d, 0);        // no underline
  Put8(d, 0);        // family
  Put8(d, 134);      // GB2312 character set
  Put8(d, 0);
  Put8(d, 2);  // name: two characters, UTF-16
  Put8(d, 1);
  Put16(d, 0x5B8B);
  Put16(d, 0x4F53);
  return d;
}

std::string Xf(bool style, uint8_t usedAttributes) {
  std::string d;
  Put16(d, 0);                        // font
  Put16(d, 0);                        // number format: General
  Put16(d, style ? 0xFFF5 : 0x0001);  // locked; a style has no parent
  Put8(d, 0x20);                      // aligned to the bottom
  Put8(d, 0);                         // no rotation
  Put8(d, 0);                         // no indent
  Put8(d, usedAttributes);
  Put32(d, 0);  // no borders
  Put32(d, 0);
  Put16(d, 0x20C0);  // window text and background colours
  return d;
}

std::string Style() {
  std::string d;
  Put16(d, 0x8000);  // built-in style on format 0
  Put8(d, 0);        // Normal
  Put8(d, 0xFF);
  return d;
}

std::string Dimensions(uint32_t rows, uint16_t columns) {
  std::string d;
  Put32(d, 0);
  Put32(d, rows);
  Put16(d, 0);
  Put16(d, columns);
  Put16(d, 0);
  return d;
}

std::string Window2() {
  std::string d;
  Put16(d, 0x06B6);  // grid, headers, zeros, outline symbols; sheet selected and shown
  Put16(d, 0);       // top row
  Put16(d, 0);       // left column
  Put32(d, 64);      // default grid colour
  Put16(d, 0);
  Put16(d, 0);
  Put32(d, 0);
  return d;
}

// ---- shared strings ----

// The distinct cell texts in first-seen order, each kept as the option byte
// followed by its characters (one byte each when compressible, else UTF-16LE).
class SharedStrings {
 public:
  // Room for `cells` texts of `bytes` GBK bytes in all: address space only, the
  // pages are touched as texts arrive, and nothing is copied while it grows.
  void reserve(size_t cells, size_t bytes) {
    pool_.reserve(2 * bytes + cells);
    starts_.reserve(cells + 1);
    hashes_.reserve(cells);
  }

  uint32_t intern(const std::u16string& units, bool compressible) {
    key_.resize(1 + units.size() * (compressible ? 1 : 2));
    char* k = key_.data();
    *k++ = static_cast<char>(compressible ? 0 : 1);
    for (char16_t u : units) {
      *k++ = static_cast<char>(u & 0xFF);
      if (!compressible) *k++ = static_cast<char>(u >> 8);
    }
    const uint32_t hash = static_cast<uint32_t>(std::hash<std::string_view>{}(key_));
    if ((hashes_.size() + 1) * 2 > slots_.size()) grow();
    size_t slot = hash & (slots_.size() - 1);
    while (slots_[slot] != 0) {
      const uint32_t index = slots_[slot] - 1;
      if (hashes_[index] == hash && entry(index) == key_) return index;
      slot = (slot + 1) & (slots_.size() - 1);
    }
    const uint32_t index = static_cast<uint32_t>(hashes_.size());
    slots_[slot] = index + 1;
    hashes_.push_back(hash);
    pool_ += key_;
    starts_.push_back(pool_.size());
    return index;
  }

  uint32_t size() const { return static_cast<uint32_t>(hashes_.size()); }
  // The option byte and the characters of string `index`.
  std::string_view entry(uint32_t index) const {
    return std::string_view(pool_).substr(starts_[index], starts_[index + 1] - starts_[index]);
  }

 private:
  void grow() {
    std::vector<uint32_t> slots(std::max<size_t>(1024, slots_.size() * 2), 0);
    for (uint32_t index = 0; index < hashes_.size(); ++index) {
      size_t slot = hashes_[index] & (slots.size() - 1);
      while (slots[slot] != 0) slot = (slot + 1) & (slots.size() - 1);
      slots[slot] = index + 1;
    }
    slots_.swap(slots);
  }

  std::string key_;
  std::string pool_;
  std::vector<size_t> starts_{0};
  std::vector<uint32_t> hashes_;
  std::vector<uint32_t> slots_;  // open addressing; 0 is empty, else index + 1
};

// Counts what would be written, to place the sheet before writing the strings.
struct ByteCounter {
  uint64_t bytes = 0;
  void write(std::string_view data) { bytes += data.size(); }
};

// Records written to `sink` one body at a time, starting CONTINUE records
// whenever a body is full. `position` is the stream position of the first one.
template <typename Sink>
class RecordStream {
 public:
  RecordStream(Sink& sink, uint64_t position) : sink_(sink), start_(position) {}
  void begin(uint16_t type) {
    record_.clear();
    Put16(record_, type);
    Put16(record_, 0);
  }
  void end() {
    const size_t body = record_.size() - 4;
    record_[2] = static_cast<char>(body & 0xFF);
    record_[3] = static_cast<char>(body >> 8);
    sink_.write(record_);
    start_ += record_.size();
    record_.clear();
  }
  size_t room() const { return kMaxRecordData - (record_.size() - 4); }
  void next() {
    end();
    begin(kContinue);
  }
  std::string& body() { return record_; }
  uint64_t position() const { return start_ + record_.size(); }
  // Offset of the next byte from the start of the record it goes in.
  size_t offsetInRecord() const { return record_.size(); }

 private:
  Sink& sink_;
  std::string record_;
  uint64_t start_;
};

bool IsHighSurrogate(std::string_view utf16le, size_t at) {
  const auto high = static_cast<unsigned char>(utf16le[at + 1]);
  return high >= 0xD8 && high <= 0xDB;
}

// Bytes of the first character (a surrogate pair counts as one).
size_t FirstCharacterBytes(std::string_view chars, size_t width) {
  if (chars.empty()) return 0;
  return width == 2 && IsHighSurrogate(chars, 0) ? 4 : width;
}

// SST with its CONTINUE records, then EXTSST with the position of every
// `bucket`-th string. A string's header never ends a record; its characters may
// go on in the next record, which then starts with the option byte again.
// False, part-way, on a stop request.
template <typename Sink>
bool WriteSharedStrings(Sink& sink, uint64_t position, const SharedStrings& strings, uint32_t references,
                        const std::stop_token& stop) {
  const uint32_t count = strings.size();
  const uint32_t bucket = std::max<uint32_t>(8, (count + 127) / 128);
  std::string extSst;
  Put16(extSst, static_cast<uint16_t>(bucket));

  RecordStream<Sink> s(sink, position);
  std::string& out = s.body();
  s.begin(kSst);
  Put32(out, references);
  Put32(out, count);
  for (uint32_t i = 0; i < count; ++i) {
    if (i % 4096 == 0 && stop.stop_requested()) return false;
    const std::string_view e = strings.entry(i);
    const uint8_t option = static_cast<uint8_t>(e[0]);
    const size_t width = option ? 2 : 1;
    std::string_view chars = e.substr(1);
    const size_t length = chars.size() / width;
    if (s.room() < 3 + FirstCharacterBytes(chars, width)) s.next();
    if (i % bucket == 0) {
      Put32(extSst, static_cast<uint32_t>(s.position()));
      Put16(extSst, static_cast<uint16_t>(s.offsetInRecord()));
      Put16(extSst, 0);
    }
    Put16(out, static_cast<uint16_t>(length));
    Put8(out, option);
    for (;;) {
      size_t take = std::min(chars.size(), s.room() / width * width);
      // Readers decode each record's part on its own: keep surrogate pairs together.
      if (take >= 2 && take < chars.size() && width == 2 && IsHighSurrogate(chars, take - 2)) take -= 2;
      out.append(chars.substr(0, take));
      chars.remove_prefix(take);
      if (chars.empty()) break;
      s.next();
      Put8(out, option);
    }
  }
  s.end();
  std::string record;
  Record(record, kExtSst, extSst);
  sink.write(record);
  return true;
}

// ---- compound document ----

constexpr uint32_t kSectorSize = 512;
constexpr uint32_t kFreeSector = 0xFFFFFFFF, kEndOfChain = 0xFFFFFFFE, kFatSector = 0xFFFFFFFD,
                   kDifatSector = 0xFFFFFFFC, kNoStream = 0xFFFFFFFF;
constexpr uint32_t kIdsPerSector = kSectorSize / 4;
constexpr uint32_t kHeaderFatIds = 109;
// A stream shorter than this would belong in the mini stream, which we do not write.
constexpr uint64_t kMinStreamSize = 4096;

struct Layout {
  uint32_t streamSectors = 0, fatSectors = 0, difatSectors = 0;
  uint32_t dirSector() const { return streamSectors; }
  uint32_t firstFat() const { return streamSectors + 1; }
  uint32_t firstDifat() const { return firstFat() + fatSectors; }
  uint32_t total() const { return streamSectors + 1 + fatSectors + difatSectors; }
};

Layout PlanLayout(uint64_t streamSize) {
  Layout l;
  l.streamSectors = static_cast<uint32_t>((streamSize + kSectorSize - 1) / kSectorSize);
  for (l.fatSectors = 1;; ++l.fatSectors) {
    l.difatSectors =
        l.fatSectors > kHeaderFatIds ? (l.fatSectors - kHeaderFatIds + kIdsPerSector - 2) / (kIdsPerSector - 1) : 0;
    if (static_cast<uint64_t>(l.fatSectors) * kIdsPerSector >= l.total()) return l;
  }
}

std::string Header(const Layout& l) {
  std::string h;
  h += std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
  h.append(16, '\0');  // class id
  Put16(h, 0x003E);    // minor version
  Put16(h, 0x0003);    // major version 3: 512-byte sectors
  Put16(h, 0xFFFE);    // little-endian
  Put16(h, 9);         // sector size 2^9
  Put16(h, 6);         // mini sector size 2^6
  h.append(6, '\0');
  Put32(h, 0);  // directory sectors (always 0 in version 3)
  Put32(h, l.fatSectors);
  Put32(h, l.dirSector());
  Put32(h, 0);  // transactions: none
  Put32(h, static_cast<uint32_t>(kMinStreamSize));
  Put32(h, kEndOfChain);  // no mini FAT
  Put32(h, 0);
  Put32(h, l.difatSectors ? l.firstDifat() : kEndOfChain);
  Put32(h, l.difatSectors);
  for (uint32_t i = 0; i < kHeaderFatIds; ++i) Put32(h, i < l.fatSectors ? l.firstFat() + i : kFreeSector);
  return h;
}

void DirectoryEntry(std::string& d, std::u16string_view name, uint8_t type, uint32_t child, uint32_t start,
                    uint64_t size) {
  const size_t begin = d.size();
  for (char16_t c : name) Put16(d, c);
  if (!name.empty()) Put16(d, 0);
  d.resize(begin + 64, '\0');
  Put16(d, name.empty() ? 0 : static_cast<uint16_t>((name.size() + 1) * 2));
  Put8(d, type);
  Put8(d, type == 0 ? 0 : 1);  // black
  Put32(d, kNoStream);         // left sibling
  Put32(d, kNoStream);         // right sibling
  Put32(d, child);
  d.append(16, '\0');  // class id
  Put32(d, 0);         // state bits
  d.append(16, '\0');  // creation and modification times
  Put32(d, start);
  Put32(d, static_cast<uint32_t>(size));
  Put32(d, 0);
}

std::string DirectorySector(uint64_t streamSize) {
  std::string d;
  DirectoryEntry(d, u"Root Entry", 5, 1, kEndOfChain, 0);
  DirectoryEntry(d, u"Workbook", 2, kNoStream, 0, streamSize);
  DirectoryEntry(d, u"", 0, kNoStream, 0, 0);
  DirectoryEntry(d, u"", 0, kNoStream, 0, 0);
  return d;
}

std::string AllocationTables(const Layout& l) {
  std::string t;
  t.reserve(static_cast<size_t>(l.fatSectors + l.difatSectors) * kSectorSize);
  for (uint32_t s = 0; s < l.fatSectors * kIdsPerSector; ++s) {
    uint32_t v = kFreeSector;
    if (s + 1 < l.streamSectors)
      v = s + 1;
    else if (s + 1 == l.streamSectors || s == l.dirSector())
      v = kEndOfChain;
    else if (s >= l.firstFat() && s < l.firstDifat())
      v = kFatSector;
    else if (s >= l.firstDifat() && s < l.total())
      v = kDifatSector;
    Put32(t, v);
  }
  // FAT sectors past the 109 of the header are listed in DIFAT sectors, 127 a
  // sector, each ending with the next one's number.
  uint32_t fat = kHeaderFatIds;
  for (uint32_t k = 0; k < l.difatSectors; ++k) {
    for (uint32_t i = 0; i < kIdsPerSector - 1; ++i, ++fat)
      Put32(t, fat < l.fatSectors ? l.firstFat() + fat : kFreeSector);
    Put32(t, k + 1 < l.difatSectors ? l.firstDifat() + k + 1 : kEndOfChain);
  }
  return t;
}

}  // namespace

// The texts of the sheet so far: each cell's shared string, or kNoString.
struct XlsRows::State {
  std::vector<uint32_t> cellStrings;
  SharedStrings strings;
  uint32_t references = 0;
  int64_t cutCells = 0;
  size_t rows = 0;  // sheet rows, the header's included
  std::u16string units;

  void add(const RowCells& cells) {
    for (int c = 0; c < kResultColumnCount; ++c) {
      bool compressible = true;
      if (workbook::CellUtf16(cells[c], units, compressible)) ++cutCells;
      // An empty text is an empty cell, as Excel itself stores it.
      cellStrings.push_back(units.empty() ? kNoString : strings.intern(units, compressible));
      if (!units.empty()) ++references;
    }
    ++rows;
  }
};

XlsRows::XlsRows() : state_(std::make_unique<State>()) { state_->add(SheetHeaderRow()); }
XlsRows::~XlsRows() = default;

void XlsRows::reserve(size_t rows, size_t textBytes) {
  state_->cellStrings.reserve((rows + 1) * kResultColumnCount);
  state_->strings.reserve((rows + 1) * kResultColumnCount, textBytes + 256);
}

void XlsRows::add(const RowCells& row) { state_->add(row); }

size_t XlsRows::rowCount() const { return state_->rows - 1; }

namespace {

WorkbookResult WriteXlsSheet(const std::string& pathUtf8, const XlsRows::State& sheet, const std::stop_token& stop) {
  if (sheet.rows - 1 > kMaxXlsDataRows)
    return WorkbookResult::Failure(Utf8ToGbk("无法导出到“" + pathUtf8 + "”：表格有 " + std::to_string(sheet.rows - 1) +
                                             " 行，.xls 文件最多容纳 " + std::to_string(kMaxXlsDataRows) +
                                             " 行（另有标题行）。请改存为 .xlsx 文件。"));
  const size_t sheetRows = sheet.rows;
  const std::vector<uint32_t>& cellStrings = sheet.cellStrings;
  const SharedStrings& strings = sheet.strings;
  const uint32_t references = sheet.references;
  WorkbookResult result;
  result.cutCells = sheet.cutCells;

  std::string globals;
  Record(globals, kBof, Bof(0x0005));
  Record(globals, kCodePage, std::string("\xB0\x04", 2));  // 1200: UTF-16
  Record(globals, kWindow1, Window1());
  for (int i = 0; i < 4; ++i) Record(globals, kFont, Font());
  Record(globals, kXf, Xf(true, 0x00));
  for (int i = 1; i < 15; ++i) Record(globals, kXf, Xf(true, 0xF4));
  Record(globals, kXf, Xf(false, 0x00));
  Record(globals, kStyle, Style());
  std::string sheetEntry;
  Put32(sheetEntry, 0);  // position of the sheet, filled in below
  Put8(sheetEntry, 0);   // visible
  Put8(sheetEntry, 0);   // worksheet
  Put8(sheetEntry, 6);
  Put8(sheetEntry, 0);
  sheetEntry += "Sheet1";
  const size_t sheetPositionAt = globals.size() + 4;
  Record(globals, kBoundSheet, sheetEntry);
  // The strings go straight to the file; counting them first places the sheet.
  ByteCounter sharedStringBytes;
  if (!WriteSharedStrings(sharedStringBytes, globals.size(), strings, references, stop))
    return WorkbookResult::Stopped(pathUtf8);
  const uint64_t sheetPosition = globals.size() + sharedStringBytes.bytes + 4;
  Set32(globals, sheetPositionAt, static_cast<uint32_t>(sheetPosition));

  const std::string sheetHead = [&] {
    std::string s;
    Record(s, kBof, Bof(0x0010));
    Record(s, kDimensions, Dimensions(static_cast<uint32_t>(sheetRows), kResultColumnCount));
    return s;
  }();
  const std::string sheetTail = [] {
    std::string s;
    Record(s, kWindow2, Window2());
    Record(s, kEof, {});
    return s;
  }();
  const uint64_t cellBytes = static_cast<uint64_t>(references) * 14;
  const uint64_t used = sheetPosition + sheetHead.size() + cellBytes + sheetTail.size();
  // Stream positions are 32-bit and compound documents of this version stop at 2 GB.
  if (used > 0x7FFF0000)
    return WorkbookResult::Failure(
        Utf8ToGbk("无法导出到“" + pathUtf8 + "”：内容超出 .xls 文件的容量。请改存为 .xlsx 文件。"));
  const uint64_t streamSize = std::max(used, kMinStreamSize);
  const Layout layout = PlanLayout(streamSize);

  TempFile file(pathUtf8);
  if (!file.create()) return WorkbookResult::Failure(workbook::WriteFailure(pathUtf8, file.error()));
  file.write(Header(layout));
  file.write(globals);
  if (!WriteSharedStrings(file, globals.size(), strings, references, stop)) return WorkbookResult::Stopped(pathUtf8);
  file.write(std::string("\x0A\x00\x00\x00", 4));  // EOF of the globals
  file.write(sheetHead);
  std::string cell;
  for (size_t r = 0; r < sheetRows; ++r) {
    if (stop.stop_requested()) return WorkbookResult::Stopped(pathUtf8);
    for (int c = 0; c < kResultColumnCount; ++c) {
      const uint32_t index = cellStrings[r * kResultColumnCount + c];
      if (index == kNoString) continue;
      cell.clear();
      Put16(cell, kLabelSst);
      Put16(cell, 10);
      Put16(cell, static_cast<uint16_t>(r));
      Put16(cell, static_cast<uint16_t>(c));
      Put16(cell, kCellXf);
      Put32(cell, index);
      file.write(cell);
    }
  }
  file.write(sheetTail);
  file.write(std::string(static_cast<size_t>(uint64_t{layout.streamSectors} * kSectorSize - used), '\0'));
  file.write(DirectorySector(streamSize));
  file.write(AllocationTables(layout));
  if (!file.commit(stop))
    return file.stopped() ? WorkbookResult::Stopped(pathUtf8)
                          : WorkbookResult::Failure(workbook::WriteFailure(pathUtf8, file.error()));

  result.ok = true;
  result.warning = workbook::CutCellsWarning(result.cutCells);
  return result;
}

}  // namespace

WorkbookResult XlsRows::write(const std::string& pathUtf8, std::stop_token stop) {
  try {
    return WriteXlsSheet(pathUtf8, *state_, stop);
  } catch (const std::exception&) {  // allocation failures of a huge table
    return WorkbookResult::Failure(workbook::WriteFailureText(pathUtf8, Utf8ToGbk("内存不足")));
  }
}

WorkbookResult WriteXls(const std::string& pathUtf8, const std::vector<RowCells>& rows, std::stop_token stop) {
  if (rows.size() > kMaxXlsDataRows)
    return WorkbookResult::Failure(Utf8ToGbk("无法导出到“" + pathUtf8 + "”：表格有 " + std::to_string(rows.size()) +
                                             " 行，.xls 文件最多容纳 " + std::to_string(kMaxXlsDataRows) +
                                             " 行（另有标题行）。请改存为 .xlsx 文件。"));
  try {
    XlsRows sheet;
    size_t bytes = 0;
    for (const RowCells& row : rows)
      for (const std::string& cell : row) bytes += cell.size();
    sheet.reserve(rows.size(), bytes);
    for (const RowCells& row : rows) {
      if (stop.stop_requested()) return WorkbookResult::Stopped(pathUtf8);
      sheet.add(row);
    }
    return sheet.write(pathUtf8, stop);
  } catch (const std::exception&) {  // allocation failures of a huge table
    return WorkbookResult::Failure(workbook::WriteFailureText(pathUtf8, Utf8ToGbk("内存不足")));
  }
}

}  // namespace kelvora
