#pragma once
// The tree of values behind JsonReader (net/json.h), for its own use: simdjson
// finds the structure and checks the UTF-8, and the values are copied into a
// small tree of our own so that nothing in an answer can run.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kelvora {

// Number holds its token (integers beyond 64 bits, doubles out of range);
// Int, Uint and Double hold the parsed value in off/len.
enum class JsonKind : uint8_t { Null, False, True, Int, Uint, Double, Number, String, Array, Object };

struct JsonNode {
  JsonKind kind = JsonKind::Null;
  uint32_t next = 0;   // index of the node after this one's subtree
  uint32_t count = 0;  // elements of an array, members of an object
  uint32_t off = 0;    // text of a string (decoded UTF-8) or number (token)
  uint32_t len = 0;
  uint32_t keyOff = 0;  // member name (decoded UTF-8) when the parent is an object
  uint32_t keyLen = 0;

  uint64_t bits() const { return uint64_t{off} | uint64_t{len} << 32; }
  void setBits(uint64_t v) {
    off = static_cast<uint32_t>(v);
    len = static_cast<uint32_t>(v >> 32);
  }
  double asDouble() const {
    uint64_t b = bits();
    double d;
    std::memcpy(&d, &b, sizeof d);
    return d;
  }
};

struct JsonDoc {
  std::vector<JsonNode> nodes;  // document order; nodes[0] is the root
  std::string arena;            // every string, number token and member name
  // Long arrays: array node -> offset in `elements` of its elements' node indices.
  std::unordered_map<uint32_t, uint32_t> elementTable;
  std::vector<uint32_t> elements;

  void indexArrays();

  std::string_view text(const JsonNode& n) const { return {arena.data() + n.off, n.len}; }
  std::string_view key(const JsonNode& n) const { return {arena.data() + n.keyOff, n.keyLen}; }
};

inline bool IsAsciiText(std::string_view s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

// Without the blanks, tabs and line breaks around `s`.
std::string_view TrimJsonSpace(std::string_view s);

// Member names (UTF-8) from a value down to one inside it.
using JsonPaths = std::vector<std::vector<std::string>>;

// The tree of `gbk`, JSON text with the wrapping the marketplace puts around
// it; null when the text is not such a value. Uses this thread's parsers, whose
// buffers stay for the next text. May throw std::bad_alloc on a huge text.
// With `along`, only the values along those paths are kept: at each object on a
// path, the members of the path's next name (every one of that name), and below
// a path's last name the whole value; arrays and strings on a path are kept
// whole. The text is checked whole all the same.
std::shared_ptr<const JsonDoc> ParseJsonTree(std::string_view gbk, const JsonPaths* along = nullptr);

// Whether ParseJsonTree would give a tree of `gbk`, without making it.
bool IsJsonTree(std::string_view gbk);

// The parsers grow to the largest text they read; after a text of `inputSize`
// bytes this gives their memory back when the text was unusually large.
void ReleaseJsonParsersAfter(size_t inputSize);

}  // namespace kelvora
