#include "net/codec.h"

#include <iconv.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

namespace kelvora {
namespace {

// iconv_open reports failure with this value.
const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);  // NOLINT(performance-no-int-to-ptr)

// Opening a converter loads glibc's gconv module each time, which costs more than
// converting a whole page; each thread keeps the few converters it uses open
// (a descriptor must not be shared between threads).
class ConverterCache {
 public:
  ~ConverterCache() {
    for (auto& e : entries_)
      if (e.cd != kNoConverter) iconv_close(e.cd);
  }
  iconv_t get(const char* from, const char* to) {
    for (auto& e : entries_)
      if (e.from == from && e.to == to) return e.cd;
    iconv_t cd = iconv_open(to, from);
    // Remember failures too, so an unknown charset is not looked up again and again;
    // keep the cache small since charsets come from the network.
    if (entries_.size() >= 16) {
      if (entries_.front().cd != kNoConverter) iconv_close(entries_.front().cd);
      entries_.erase(entries_.begin());
    }
    entries_.push_back({from, to, cd});
    return cd;
  }

 private:
  struct Entry {
    std::string from, to;
    iconv_t cd;
  };
  std::vector<Entry> entries_;
};

iconv_t CachedConverter(const char* from, const char* to) {
  thread_local ConverterCache cache;
  return cache.get(from, to);
}

// One conversion with iconv. Input that cannot be converted is replaced by
// `replacement` (already in the target charset), one input unit at a time.
std::optional<std::string> Convert(std::string_view input, const char* from, const char* to,
                                   std::string_view replacement, size_t skipUnit) {
  iconv_t cd = CachedConverter(from, to);
  if (cd == kNoConverter) return std::nullopt;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);  // start from the initial shift state
  std::string out;
  out.reserve(input.size() * 3 / 2 + 16);
  char* in = const_cast<char*>(input.data());
  size_t inLeft = input.size();
  char buffer[4096];
  while (inLeft > 0) {
    char* outPtr = buffer;
    size_t outLeft = sizeof buffer;
    size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    out.append(buffer, outPtr - buffer);
    if (rc != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) continue;
    // EILSEQ (invalid or unrepresentable) or EINVAL (truncated at the end).
    out.append(replacement);
    size_t skip = skipUnit < inLeft ? skipUnit : inLeft;
    in += skip;
    inLeft -= skip;
  }
  char* outPtr = buffer;
  size_t outLeft = sizeof buffer;
  iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
  out.append(buffer, outPtr - buffer);
  return out;
}

// Index of the first byte of 0x80 or above at or after `i`, or s.size().
size_t NextNonAscii(std::string_view s, size_t i) {
  for (; i + 8 <= s.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, s.data() + i, 8);
    if (word & 0x8080808080808080ULL) break;
  }
  while (i < s.size() && static_cast<unsigned char>(s[i]) < 0x80) ++i;
  return i;
}

// UTF-8 to GB18030 as Convert does it, with long ASCII runs copied as they are:
// pages are mostly ASCII markup, and ASCII is the same bytes in both. A byte below
// 0x80 is a character of its own in UTF-8, so converting the pieces between such
// runs one by one gives the bytes of converting the whole text at once (an
// unfinished sequence before an ASCII byte is replaced the same way either way).
std::string Utf8ToGb18030(std::string_view input) {
  iconv_t cd = CachedConverter("UTF-8", "GB18030");
  if (cd == kNoConverter) return std::string(input);
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  std::string out;
  out.reserve(input.size() + input.size() / 4 + 16);
  size_t i = 0;
  while (i < input.size()) {
    const size_t run = NextNonAscii(input, i);
    out.append(input.substr(i, run - i));
    i = run;
    // Short ASCII gaps (the blanks between words) go along with the run: each
    // iconv call costs more than converting a few ASCII bytes.
    size_t end = i;
    while (true) {
      while (end < input.size() && static_cast<unsigned char>(input[end]) >= 0x80) ++end;
      const size_t next = NextNonAscii(input, end);
      if (next == input.size() || next - end > 32) break;
      end = next;
    }
    if (end == i) break;
    // At most four bytes out per byte in (a two-byte character may take four).
    const size_t at = out.size();
    out.resize(at + (end - i) * 4);
    char* in = const_cast<char*>(input.data() + i);
    size_t inLeft = end - i;
    char* outPtr = out.data() + at;
    size_t outLeft = (end - i) * 4;
    while (inLeft > 0) {
      if (iconv(cd, &in, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1)) break;
      if (errno == E2BIG || outLeft == 0) {  // cannot happen at four a byte; grow all the same
        const size_t used = static_cast<size_t>(outPtr - out.data());
        out.resize(out.size() + inLeft * 4 + 16);
        outPtr = out.data() + used;
        outLeft = out.size() - used;
        if (errno == E2BIG) continue;
      }
      // EILSEQ (invalid) or EINVAL (unfinished at the end of the run): one '?' a byte.
      *outPtr++ = '?';
      --outLeft;
      ++in;
      --inLeft;
    }
    out.resize(static_cast<size_t>(outPtr - out.data()));
    i = end;
  }
  return out;
}

}  // namespace

namespace {

// The UTF-8 of every two-byte GB18030 character, as iconv gives it one character
// at a time (GB18030 has no shift state, so a character converts alone as it does
// in a stream). A lead byte's row is filled on first use. An entry holds up to
// three bytes and their count in the top byte; 0 stands for "ask iconv".
constexpr unsigned kFirstLead = 0x81, kLeads = 0xFE - 0x81 + 1;
constexpr unsigned kFirstTrail = 0x40, kTrails = 0xFE - 0x40 + 1;

struct TwoByteTable {
  std::once_flag filled[kLeads];
  uint32_t utf8[kLeads][kTrails] = {};
};

const uint32_t* TwoByteRow(unsigned lead) {
  static TwoByteTable table;
  const unsigned row = lead - kFirstLead;
  std::call_once(table.filled[row], [&] {
    iconv_t cd = CachedConverter("GB18030", "UTF-8");
    if (cd == kNoConverter) return;
    for (unsigned t = 0; t < kTrails; ++t) {
      if (kFirstTrail + t == 0x7F) continue;
      char in[2] = {static_cast<char>(lead), static_cast<char>(kFirstTrail + t)};
      char out[8];
      char* inPtr = in;
      char* outPtr = out;
      size_t inLeft = 2, outLeft = sizeof out;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
      if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1) || inLeft != 0) continue;
      const auto n = static_cast<size_t>(outPtr - out);
      if (n < 1 || n > 3) continue;
      uint32_t e = static_cast<uint32_t>(n) << 24;
      for (size_t k = 0; k < n; ++k) e |= static_cast<uint32_t>(static_cast<unsigned char>(out[k])) << (8 * k);
      table.utf8[row][t] = e;
    }
  });
  return table.utf8[row];
}

}  // namespace

std::string GbkToUtf8(std::string_view gbk) {
  // ASCII runs are copied and two-byte characters read from the table; anything
  // else (four-byte characters, bytes that start none) goes to iconv whole, so
  // the result is always that of one iconv pass.
  std::string out;
  out.resize(gbk.size() / 2 * 3 + gbk.size() % 2);  // a two-byte character gives at most three
  char* o = out.data();
  const size_t n = gbk.size();
  size_t i = 0;
  while (i < n) {
    const size_t run = NextNonAscii(gbk, i);
    std::memcpy(o, gbk.data() + i, run - i);
    o += run - i;
    i = run;
    while (i + 1 < n) {
      const auto lead = static_cast<unsigned char>(gbk[i]);
      const auto trail = static_cast<unsigned char>(gbk[i + 1]);
      if (lead < kFirstLead || lead > 0xFE || trail < kFirstTrail || trail > 0xFE) break;
      const uint32_t e = TwoByteRow(lead)[trail - kFirstTrail];
      if (e == 0) break;
      o[0] = static_cast<char>(e);
      o[1] = static_cast<char>(e >> 8);
      o[2] = static_cast<char>(e >> 16);
      o += e >> 24;
      i += 2;
    }
    if (i < n && static_cast<unsigned char>(gbk[i]) >= 0x80)
      return *Convert(gbk, "GB18030", "UTF-8", "\xEF\xBF\xBD", 1);
  }
  out.resize(static_cast<size_t>(o - out.data()));
  return out;
}

std::string Utf8ToGbk(std::string_view utf8) { return Utf8ToGb18030(utf8); }

std::string Utf16ToGbk(std::u16string_view utf16) {
  std::string_view bytes(reinterpret_cast<const char*>(utf16.data()), utf16.size() * 2);
  // A lone surrogate is an error for iconv; step over one code unit.
  return *Convert(bytes, "UTF-16LE", "GB18030", "?", 2);
}

size_t DecodeUtf8(std::string_view s, size_t i, uint32_t& cp) {
  const auto b = static_cast<unsigned char>(s[i]);
  size_t n;
  if (b < 0x80) {
    cp = b;
    return 1;
  }
  if ((b & 0xE0) == 0xC0) {
    cp = b & 0x1F;
    n = 2;
  } else if ((b & 0xF0) == 0xE0) {
    cp = b & 0x0F;
    n = 3;
  } else if ((b & 0xF8) == 0xF0) {
    cp = b & 0x07;
    n = 4;
  } else
    return 0;
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    const auto c = static_cast<unsigned char>(s[i + k]);
    if ((c & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (c & 0x3F);
  }
  if ((n == 2 && cp < 0x80) || (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || cp > 0x10FFFF ||
      (cp >= 0xD800 && cp <= 0xDFFF))
    return 0;
  return n;
}

size_t FirstInvalidUtf8(std::string_view s) {
  uint32_t cp;
  for (size_t i = 0; i < s.size();) {
    i = NextNonAscii(s, i);
    if (i == s.size()) break;
    const size_t n = DecodeUtf8(s, i, cp);
    if (n == 0) return i;
    i += n;
  }
  return std::string_view::npos;
}

bool IsValidUtf8(std::string_view s) { return FirstInvalidUtf8(s) == std::string_view::npos; }

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool IsGbkCharset(std::string_view charset) {
  // GBK and GB2312 pages are read as GB18030, their superset.
  static constexpr std::string_view kNames[] = {"GBK", "GB2312", "GB18030", "CP936", "X-GBK"};
  for (std::string_view name : kNames) {
    if (name.size() != charset.size()) continue;
    bool same = true;
    for (size_t i = 0; same && i < name.size(); ++i)
      same = std::toupper(static_cast<unsigned char>(charset[i])) == name[i];
    if (same) return true;
  }
  return false;
}

bool AllBytesAscii(std::string_view s) { return NextNonAscii(s, 0) == s.size(); }

std::optional<std::string> ConvertToGbk(std::string_view bytes, std::string_view charset) {
  if (IsGbkCharset(charset)) return std::string(bytes);
  std::string name(charset);
  for (auto& ch : name) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  if (name == "UTF-8" || name == "UTF8") return Utf8ToGb18030(bytes);
  return Convert(bytes, name.c_str(), "GB18030", "?", 1);
}

}  // namespace kelvora
