#include "net/codec.h"

#include <iconv.h>

#include <cerrno>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <vector>

namespace kelvora {
namespace {

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

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

}  // namespace

std::string GbkToUtf8(std::string_view gbk) {
  return *Convert(gbk, "GB18030", "UTF-8", "\xEF\xBF\xBD", 1);
}

std::string Utf8ToGbk(std::string_view utf8) {
  return *Convert(utf8, "UTF-8", "GB18030", "?", 1);
}

std::string Utf16ToGbk(std::u16string_view utf16) {
  std::string_view bytes(reinterpret_cast<const char*>(utf16.data()), utf16.size() * 2);
  // A lone surrogate is an error for iconv; step over one code unit.
  return *Convert(bytes, "UTF-16LE", "GB18030", "?", 2);
}

bool IsValidUtf8(std::string_view s) {
  size_t i = 0, n = s.size();
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  while (i < n) {
    unsigned char c = p[i];
    if (c < 0x80) { ++i; continue; }
    size_t len;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) { len = 2; cp = c & 0x1F; }
    else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; }
    else if ((c & 0xF8) == 0xF0) { len = 4; cp = c & 0x07; }
    else return false;
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
        cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

std::optional<std::string> ConvertToGbk(std::string_view bytes, std::string_view charset) {
  std::string name(charset);
  for (auto& ch : name) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  // GBK and GB2312 pages are read as GB18030, their superset.
  if (name == "GBK" || name == "GB2312" || name == "GB18030" || name == "CP936" || name == "X-GBK")
    return std::string(bytes);
  return Convert(bytes, name.c_str(), "GB18030", "?", 1);
}

}  // namespace kelvora
