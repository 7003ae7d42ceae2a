#include "net/text.h"

#include <opencc/MarisaDict.hpp>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include "net/codec.h"
#include "net/gbk_scan.h"

#ifndef KELVORA_OPENCC_DIR
#define KELVORA_OPENCC_DIR "/usr/share/opencc"
#endif

namespace kelvora {
namespace {

inline unsigned char Byte(std::string_view s, size_t i) { return static_cast<unsigned char>(s[i]); }

// Width of the character starting at byte i: a byte of 0x80 or above starts a
// two-byte character (a lone lead byte at the very end counts as one byte).
inline size_t CharWidth(std::string_view s, size_t i) { return (Byte(s, i) >= 0x80 && i + 1 < s.size()) ? 2 : 1; }

// 0-based position of `sought` at or after the character start `from`, matching
// only at character starts; npos when absent. `sought` must not be empty.
size_t FindAt(std::string_view text, std::string_view sought, size_t from) {
  size_t known = from;  // a character start at or before every candidate
  while (from < text.size()) {
    size_t p = FindBytes(text, sought, from);
    if (p == std::string_view::npos || IsCharacterStart(text, known, p)) return p;
    // The candidate began on a trail byte; the next character starts after it.
    known = from = p + 1;
  }
  return std::string_view::npos;
}

// Folds full-width digits, signs, letters and blanks to their ASCII forms.
std::string FoldFullWidth(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    unsigned char c = Byte(text, i);
    if (c < 0x80 || i + 1 >= text.size()) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    unsigned char t = Byte(text, i + 1);
    if (c == 0xA3 && t >= 0xA1 && t <= 0xFE) {
      out.push_back(static_cast<char>(t - 0x80));
    } else if ((c == 0xA1 && t == 0xA1) || (c == 0xA3 && t == 0xA0)) {
      out.push_back(' ');
    } else {
      out.push_back(static_cast<char>(c));
      out.push_back(static_cast<char>(t));
    }
    i += 2;
  }
  return out;
}

// Leading decimal number of already folded text, saturated to [lo, hi].
int64_t LeadingNumber(std::string_view s, int64_t lo, int64_t hi) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r' || s[i] == '\v' || s[i] == '\f'))
    ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    negative = s[i] == '-';
    ++i;
  }
  // Accumulate towards the sign so that the most negative value fits.
  int64_t value = 0;
  bool saturated = false;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    if (saturated) continue;
    int digit = s[i] - '0';
    if (negative) {
      if (value < (lo + digit) / 10) {
        value = lo;
        saturated = true;
      } else {
        value = value * 10 - digit;
        if (value < lo) {
          value = lo;
          saturated = true;
        }
      }
    } else {
      if (value > (hi - digit) / 10) {
        value = hi;
        saturated = true;
      } else {
        value = value * 10 + digit;
      }
    }
  }
  return value;
}

int HexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

// glibc's memmem skips ahead on byte pairs, where a search that stops at every
// occurrence of the first byte crawls over markup ('<', '"') and Chinese text.
size_t FindBytes(std::string_view text, std::string_view sought, size_t from) {
  if (from > text.size() || sought.size() > text.size() - from) return std::string_view::npos;
  const void* hit = ::memmem(text.data() + from, text.size() - from, sought.data(), sought.size());
  return hit ? static_cast<size_t>(static_cast<const char*>(hit) - text.data()) : std::string_view::npos;
}

int Find(std::string_view text, std::string_view sought, int start) {
  if (start < 1) start = 1;
  if (static_cast<size_t>(start) > text.size()) return -1;
  if (sought.empty()) return 1;
  size_t p = FindAt(text, sought, static_cast<size_t>(start - 1));
  return p == std::string_view::npos ? -1 : static_cast<int>(p + 1);
}

std::string Mid(std::string_view text, int start, int count) {
  if (start < 1 || count <= 0 || static_cast<size_t>(start) > text.size()) return {};
  return std::string(text.substr(static_cast<size_t>(start - 1), static_cast<size_t>(count)));
}

std::string Left(std::string_view text, int n) {
  if (n <= 0) return {};
  return std::string(text.substr(0, static_cast<size_t>(n)));
}

std::string Right(std::string_view text, int n) {
  if (n <= 0) return {};
  size_t k = std::min(text.size(), static_cast<size_t>(n));
  return std::string(text.substr(text.size() - k));
}

std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to) {
  if (from.empty()) return std::string(text);
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    size_t p = FindAt(text, from, pos);
    if (p == std::string_view::npos) break;
    out.append(text.substr(pos, p - pos));
    out.append(to);
    pos = p + from.size();
  }
  if (pos < text.size()) out.append(text.substr(pos));
  return out;
}

std::string Trim(std::string_view text) { return std::string(TrimView(text)); }

std::string_view TrimView(std::string_view text) {
  auto blankAt = [&](size_t i) -> size_t {  // width of a blank at i, 0 when none
    if (text[i] == ' ') return 1;
    if (Byte(text, i) == 0xA1 && i + 1 < text.size() && Byte(text, i + 1) == 0xA1) return 2;
    return 0;
  };
  size_t begin = 0;
  while (begin < text.size()) {
    size_t w = blankAt(begin);
    if (w == 0) break;
    begin += w;
  }
  // A blank ends in 0x20 or 0xA1; any other last byte ends a non-blank character.
  if (begin < text.size() && text.back() != ' ' && Byte(text, text.size() - 1) != 0xA1) return text.substr(begin);
  // Walk the remaining characters to know where the last non-blank one ends.
  size_t end = begin;
  for (size_t i = begin; i < text.size();) {
    size_t w = blankAt(i);
    if (w == 0) {
      w = CharWidth(text, i);
      end = i + w;
    }
    i += w;
  }
  return text.substr(begin, end - begin);
}

std::vector<std::string> Split(std::string_view text, std::string_view separator) {
  std::vector<std::string> pieces;
  if (text.empty()) return pieces;
  if (separator.empty()) {
    pieces.emplace_back(text);
    return pieces;
  }
  size_t pos = 0;
  while (true) {
    size_t p = FindAt(text, separator, pos);
    if (p == std::string_view::npos) {
      if (pos < text.size()) pieces.emplace_back(text.substr(pos));
      break;
    }
    pieces.emplace_back(text.substr(pos, p - pos));
    pos = p + separator.size();
  }
  return pieces;
}

std::string Upper(std::string_view text) {
  std::string out(text);
  for (size_t i = 0; i < out.size();) {
    unsigned char c = static_cast<unsigned char>(out[i]);
    if (c >= 0x80) {
      i += 2;
      continue;
    }
    if (c >= 'a' && c <= 'z') out[i] = static_cast<char>(c - 'a' + 'A');
    ++i;
  }
  return out;
}

int32_t ToInt32(std::string_view text) {
  return static_cast<int32_t>(
      LeadingNumber(FoldFullWidth(text), std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

int64_t ToInt64(std::string_view text) {
  return LeadingNumber(FoldFullWidth(text), std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max());
}

std::string NumberText(int64_t value) { return std::to_string(value); }

std::string NumberText(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.13g", value);
  return buffer;
}

std::string TextBetween(std::string_view text, std::string_view left, std::string_view right, int start) {
  if (start < 1) start = 1;
  int a = Find(text, left, start);
  if (a == -1) return {};
  int b = a + static_cast<int>(left.size());
  int c = Find(text, right, b);
  if (c == -1) return {};
  return Mid(text, b, c - b);
}

std::string PercentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    if (text[i] == '%' && i + 2 < text.size()) {
      int hi = HexValue(Byte(text, i + 1));
      int lo = HexValue(Byte(text, i + 2));
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 3;
        continue;
      }
    }
    // A '%' without two hexadecimal digits after it is kept as it is.
    out.push_back(text[i]);
    ++i;
  }
  return out;
}

std::string UnescapeJavaText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::u16string units;  // consecutive escapes, converted together so pairs join
  auto flush = [&] {
    if (!units.empty()) {
      out += Utf16ToGbk(units);
      units.clear();
    }
  };
  for (size_t i = 0; i < text.size();) {
    if (text[i] == '\\' && i + 6 <= text.size() && text[i + 1] == 'u') {
      int d0 = HexValue(Byte(text, i + 2)), d1 = HexValue(Byte(text, i + 3));
      int d2 = HexValue(Byte(text, i + 4)), d3 = HexValue(Byte(text, i + 5));
      if (d0 >= 0 && d1 >= 0 && d2 >= 0 && d3 >= 0) {
        units.push_back(static_cast<char16_t>((d0 << 12) | (d1 << 8) | (d2 << 4) | d3));
        i += 6;
        continue;
      }
    }
    flush();
    out.push_back(text[i]);
    ++i;
  }
  flush();
  return out;
}

namespace {

// OpenCC's character table alone, without its phrase table: the conversion is
// character by character, whatever the neighbours.
const opencc::MarisaDict* CharacterTable() {
  static const opencc::MarisaDictPtr table = []() -> opencc::MarisaDictPtr {
    try {
      std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(KELVORA_OPENCC_DIR "/TSCharacters.ocd2", "rb"),
                                                           &std::fclose);
      if (!file) return nullptr;
      return opencc::MarisaDict::NewFromFile(file.get());
    } catch (...) {
      return nullptr;
    }
  }();
  return table.get();
}

// A character of the GB2312 set (its symbols and its hanzi): already simplified,
// or at least the form a simplified text uses, so it is never converted.
bool IsGb2312(unsigned char lead, unsigned char trail) {
  const bool leadOk = (lead >= 0xA1 && lead <= 0xA9) || (lead >= 0xB0 && lead <= 0xF7);
  return leadOk && trail >= 0xA1 && trail <= 0xFE;
}

// Splits GBK text into characters; four-byte GB18030 sequences count as one.
std::vector<std::string_view> GbkChars(std::string_view s) {
  std::vector<std::string_view> chars;
  for (size_t i = 0; i < s.size();) {
    size_t len = 1;
    unsigned char c = Byte(s, i);
    if (c >= 0x81 && c <= 0xFE && i + 3 < s.size() && Byte(s, i + 1) >= 0x30 && Byte(s, i + 1) <= 0x39 &&
        Byte(s, i + 2) >= 0x81 && Byte(s, i + 2) <= 0xFE && Byte(s, i + 3) >= 0x30 && Byte(s, i + 3) <= 0x39) {
      len = 4;
    } else if (c >= 0x80) {
      len = CharWidth(s, i);
    }
    chars.push_back(s.substr(i, len));
    i += len;
  }
  return chars;
}

// The simplified form of a two-byte character (itself when the table has none
// of two bytes), looked up once per character and kept for every thread: names
// repeat the same few characters, and a lookup converts twice.
uint16_t SimplifiedCode(const opencc::MarisaDict& table, unsigned char lead, unsigned char trail) {
  const auto same = static_cast<uint16_t>(lead << 8 | trail);
  auto lookUp = [&] {
    const std::string from = GbkToUtf8(std::string{static_cast<char>(lead), static_cast<char>(trail)});
    const opencc::Optional<const opencc::DictEntry*> entry = table.Match(from.c_str(), from.size());
    if (entry.IsNull()) return same;
    const std::string gbk = Utf8ToGbk(entry.Get()->GetDefault());
    if (gbk.size() != 2 || Byte(gbk, 0) < 0x81) return same;
    return static_cast<uint16_t>(Byte(gbk, 0) << 8 | Byte(gbk, 1));
  };
  constexpr unsigned kTrails = 0xFE - 0x40 + 1;
  if (lead < 0x81 || lead > 0xFE || trail < 0x40 || trail > 0xFE) return lookUp();
  // 0 until looked up: every code kept has a lead byte of 0x81 or above.
  static std::atomic<uint16_t> known[(0xFE - 0x81 + 1) * kTrails];
  std::atomic<uint16_t>& slot = known[(lead - 0x81) * kTrails + (trail - 0x40)];
  uint16_t code = slot.load(std::memory_order_relaxed);
  if (code == 0) {
    code = lookUp();  // the same answer whichever thread asks first
    slot.store(code, std::memory_order_relaxed);
  }
  return code;
}

bool IsAscii(std::string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

}  // namespace

std::string TraditionalToSimplified(std::string_view text) {
  if (IsAscii(text)) return std::string(text);
  const opencc::MarisaDict* table = CharacterTable();
  if (table == nullptr) return std::string(text);
  try {
    std::string out;
    out.reserve(text.size());
    for (std::string_view ch : GbkChars(text)) {
      // Only two-byte characters outside GB2312 can be traditional forms with a
      // two-byte simplified form; everything else keeps its bytes.
      if (ch.size() != 2 || IsGb2312(static_cast<unsigned char>(ch[0]), static_cast<unsigned char>(ch[1]))) {
        out.append(ch);
        continue;
      }
      const uint16_t code = SimplifiedCode(*table, Byte(ch, 0), Byte(ch, 1));
      out += static_cast<char>(code >> 8);
      out += static_cast<char>(code & 0xFF);
    }
    return out;
  } catch (...) {
    return std::string(text);
  }
}

std::string EscapeTsvCell(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (char c : utf8) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace kelvora
