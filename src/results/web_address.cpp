#include "results/web_address.h"

#include <string_view>

namespace kelvora {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

// The authority after "scheme://" must name a host: no blank, no backslash
// (browsers read it as a slash), and something left after user info and port.
bool HasHost(std::string_view rest) {
  const size_t end = rest.find_first_of("/?#");
  const std::string_view authority = rest.substr(0, end);
  if (authority.find_first_of(" \\") != std::string_view::npos) return false;
  std::string_view host = authority;
  const size_t at = host.rfind('@');
  if (at != std::string_view::npos) host = host.substr(at + 1);
  if (!host.empty() && host.front() == '[') {
    const size_t close = host.find(']');
    return close != std::string_view::npos && close > 1;
  }
  const size_t colon = host.find(':');
  if (colon != std::string_view::npos) host = host.substr(0, colon);
  return !host.empty();
}

}  // namespace

std::string BrowsableAddress(const std::string& link) {
  size_t first = 0;
  size_t last = link.size();
  while (first < last && IsBlank(link[first])) ++first;
  while (last > first && IsBlank(link[last - 1])) --last;
  std::string text = link.substr(first, last - first);
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7f) return {};
  if (text.rfind("//", 0) == 0) text.insert(0, "http:");
  size_t rest;
  if (StartsWithNoCase(text, "http://")) {
    rest = 7;
  } else if (StartsWithNoCase(text, "https://")) {
    rest = 8;
  } else {
    return {};
  }
  if (!HasHost(std::string_view(text).substr(rest))) return {};
  return text;
}

}  // namespace kelvora
