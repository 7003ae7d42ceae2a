#include "util.h"

#include <cstdio>

#include "net/codec.h"
#include "net/json.h"

namespace kelvora::sim {

uint64_t HashText(uint64_t seed, std::string_view text) {
  uint64_t h = Mix64(seed ^ 0x6B656C766F7261ull);
  for (unsigned char c : text) h = Mix64(h ^ c);
  return h;
}

std::string JavaEscape(std::string_view s) {
  std::string out;
  char buf[16];
  for (size_t i = 0; i < s.size();) {
    uint32_t cp = 0;
    size_t n = DecodeUtf8(s, i, cp);
    if (n == 0) {
      ++i;
      continue;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x10000) {
      std::snprintf(buf, sizeof buf, "\\u%04X", cp);
      out += buf;
    } else {
      uint32_t v = cp - 0x10000;
      std::snprintf(buf, sizeof buf, "\\u%04X\\u%04X", 0xD800 + (v >> 10), 0xDC00 + (v & 0x3FF));
      out += buf;
    }
    i += n;
  }
  return out;
}

std::string PercentEncodeAll(std::string_view bytes) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string FormDecode(std::string_view t) {
  auto val = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  for (size_t i = 0; i < t.size(); ++i) {
    if (t[i] == '+') {
      out += ' ';
    } else if (t[i] == '%' && i + 2 < t.size() && val(t[i + 1]) >= 0 && val(t[i + 2]) >= 0) {
      out += static_cast<char>(val(t[i + 1]) * 16 + val(t[i + 2]));
      i += 2;
    } else {
      out += t[i];
    }
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> ParseForm(std::string_view body) {
  std::vector<std::pair<std::string, std::string>> out;
  size_t pos = 0;
  while (pos <= body.size()) {
    size_t amp = body.find('&', pos);
    if (amp == std::string_view::npos) amp = body.size();
    std::string_view piece = body.substr(pos, amp - pos);
    if (!piece.empty()) {
      size_t eq = piece.find('=');
      if (eq == std::string_view::npos)
        out.emplace_back(FormDecode(piece), "");
      else
        out.emplace_back(FormDecode(piece.substr(0, eq)), FormDecode(piece.substr(eq + 1)));
    }
    pos = amp + 1;
  }
  return out;
}

std::string CookieValue(std::string_view header, std::string_view name) {
  size_t pos = 0;
  while (pos < header.size()) {
    size_t semi = header.find(';', pos);
    if (semi == std::string_view::npos) semi = header.size();
    std::string_view piece = header.substr(pos, semi - pos);
    while (!piece.empty() && (piece.front() == ' ' || piece.front() == '\t')) piece.remove_prefix(1);
    while (!piece.empty() && (piece.back() == ' ' || piece.back() == '\t')) piece.remove_suffix(1);
    size_t eq = piece.find('=');
    if (eq != std::string_view::npos && piece.substr(0, eq) == name) return std::string(piece.substr(eq + 1));
    pos = semi + 1;
  }
  return "";
}

std::string ToGbk(std::string_view utf8) { return Utf8ToGbk(utf8); }
std::string FromGbk(std::string_view gbk) { return GbkToUtf8(gbk); }

std::string Hex(uint64_t v, int digits) {
  static const char* hex = "0123456789abcdef";
  std::string out(static_cast<size_t>(digits), '0');
  for (int i = digits - 1; i >= 0; --i) {
    out[static_cast<size_t>(i)] = hex[v & 15];
    v >>= 4;
  }
  return out;
}

}  // namespace kelvora::sim
