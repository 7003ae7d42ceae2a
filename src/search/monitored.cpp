#include "search/monitored.h"

#include <cstring>
#include <fstream>
#include <iterator>

#include "net/shared_state.h"
#include "net/text.h"

namespace kelvora {
namespace {

bool IsStrippedByte(unsigned char c) {
  return (c >= 32 && c <= 47) || (c >= 58 && c <= 64) || (c >= 91 && c <= 96);
}

}  // namespace

std::string StripMonitorText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      // A double-byte character is kept whole: its trail byte may look like "@" or "[".
      out += text[i];
      if (i + 1 < text.size()) out += text[++i];
    } else if (!IsStrippedByte(c)) {
      out += text[i];
    }
  }
  return out;
}

std::vector<std::string> LoadMonitoredItems(const std::string& path) {
  std::string bytes;
  if (std::ifstream in{path, std::ios::binary}) {
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // The text ends at the first zero byte.
  bytes.resize(std::strlen(bytes.c_str()));
  // Lines end with CR LF; a file edited with a plain LF editor reads the same way.
  std::string text = ReplaceAll(StripMonitorText(bytes), "\r\n", "\n");
  std::vector<std::string> ids = Split(text, "\n");
  SetMonitoredItemIds(ids);
  return ids;
}

}  // namespace kelvora
