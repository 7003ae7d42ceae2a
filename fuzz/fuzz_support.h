#pragma once
// Shared pieces of the fuzz programs: a host that asks every run to stop (so no
// parsed address is ever fetched) and a splitter of one input into parts.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "results/host.h"

namespace kelvora::fuzz {

class StoppedHost : public Host {
 public:
  void setStatus(const std::string&) override {}
  void setRowCountLabel(const std::string&) override {}
  void message(const std::string&) override {}
  void pause(int) override {}
  bool stopRequested() const override { return true; }
};

// Splits the input at every "\n-----\n" so one input can carry a page and its
// secondary answer, or a text and the markers to look for in it.
inline std::vector<std::string> SplitParts(const uint8_t* data, size_t size) {
  static constexpr std::string_view kSeparator = "\n-----\n";
  const std::string_view all(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> parts;
  size_t from = 0;
  while (true) {
    const size_t at = all.find(kSeparator, from);
    if (at == std::string_view::npos) break;
    parts.emplace_back(all.substr(from, at - from));
    from = at + kSeparator.size();
  }
  parts.emplace_back(all.substr(from));
  return parts;
}

inline std::string Part(const std::vector<std::string>& parts, size_t n) {
  return n < parts.size() ? parts[n] : std::string();
}

}  // namespace kelvora::fuzz
