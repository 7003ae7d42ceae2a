#include "net/json.h"

#include <cstdio>

#include <simdjson.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>

#include "net/codec.h"

// Answers are read the way a browser's script engine would read them, but as
// data: simdjson finds the structure and checks the UTF-8, and the values are
// copied into a small tree of our own so that nothing in an answer can run.
//
// What load accepts besides strict JSON, because the marketplace sends it and
// reading it is harmless: blanks, tabs and line breaks around the text, a
// leading byte-order mark, any number of trailing ";", and outer parentheses
// "( ... )" around the value.
// Unquoted keys, single-quoted strings, comments, NaN and the like are refused.
//
// Values that strict parsers refuse but script engines read:
//   - integers beyond 64 bits read back as their digits;
//   - numbers beyond the double range read "Infinity" (or 0 when too small);
//   - a lone UTF-16 surrogate in a \u escape reads as "?".
// Objects read as text give "[object Object]" and arrays their elements'
// texts joined with "," (what a script engine prints for them).

namespace kelvora {
namespace {

// Number holds its token (integers beyond 64 bits, doubles out of range);
// Int, Uint and Double hold the parsed value in off/len.
enum class Kind : uint8_t { Null, False, True, Int, Uint, Double, Number, String, Array, Object };

struct Node {
  Kind kind = Kind::Null;
  uint32_t next = 0;   // index of the node after this one's subtree
  uint32_t count = 0;  // elements of an array, members of an object
  uint32_t off = 0;    // text of a string (decoded UTF-8) or number (token)
  uint32_t len = 0;
  uint32_t keyOff = 0;  // member name (decoded UTF-8) when the parent is an object
  uint32_t keyLen = 0;
};

uint64_t Bits(const Node& n) { return uint64_t{n.off} | uint64_t{n.len} << 32; }
void SetBits(Node& n, uint64_t v) {
  n.off = static_cast<uint32_t>(v);
  n.len = static_cast<uint32_t>(v >> 32);
}

double AsDouble(const Node& n) {
  uint64_t bits = Bits(n);
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

// Arrays longer than this get a table of where each element starts, so that
// reading element k of a long list does not walk the k elements before it.
constexpr uint32_t kIndexedArrayMin = 64;

struct Doc {
  std::vector<Node> nodes;  // document order; nodes[0] is the root
  std::string arena;        // every string, number token and member name
  // Long arrays: array node -> offset in `elements` of its elements' node indices.
  std::unordered_map<uint32_t, uint32_t> elementTable;
  std::vector<uint32_t> elements;

  void indexArrays() {
    for (uint32_t i = 0; i < nodes.size(); ++i) {
      const Node& n = nodes[i];
      if (n.kind != Kind::Array || n.count < kIndexedArrayMin) continue;
      elementTable.emplace(i, static_cast<uint32_t>(elements.size()));
      for (uint32_t k = 0, at = i + 1; k < n.count; ++k, at = nodes[at].next) elements.push_back(at);
    }
  }

  std::string_view text(const Node& n) const { return {arena.data() + n.off, n.len}; }
  std::string_view key(const Node& n) const { return {arena.data() + n.keyOff, n.keyLen}; }
};

// Containers nested deeper than this are refused: answers nest a dozen levels
// at most, and a hostile one must not exhaust the stack. It stays below the
// parsers' own limit (1024), which the slower path must never reach.
constexpr int kMaxDepth = 1000;
// Offsets are 32-bit; answers are far smaller.
constexpr size_t kMaxInput = size_t{1} << 30;

bool IsAscii(std::string_view s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

// Length of the GB18030 character at `i` (a byte of 0x80 or above): 2 or 4 bytes,
// or 1 for a byte that starts no character.
size_t GbCharLength(std::string_view s, size_t i) {
  auto at = [&](size_t k) { return k < s.size() ? static_cast<unsigned char>(s[k]) : 0; };
  unsigned char b = at(i);
  if (b < 0x81 || b == 0xFF) return 1;
  unsigned char c = at(i + 1);
  if ((c >= 0x40 && c <= 0x7E) || (c >= 0x80 && c <= 0xFE)) return 2;
  if (c >= 0x30 && c <= 0x39 && at(i + 2) >= 0x81 && at(i + 2) <= 0xFE && at(i + 3) >= 0x30 && at(i + 3) <= 0x39)
    return 4;
  return 1;
}

// GBK to UTF-8 for answers that are mostly ASCII: the ASCII runs are copied and
// only the Chinese runs go through the converter, all in one call, joined by line
// breaks (which no run contains and no run decodes to).
std::string GbkTextToUtf8(std::string_view gbk) {
  std::string runs;
  std::vector<std::pair<size_t, size_t>> spans;  // ASCII run before each Chinese run
  size_t i = 0, asciiStart = 0;
  while (i < gbk.size()) {
    if (static_cast<unsigned char>(gbk[i]) < 0x80) {
      ++i;
      continue;
    }
    spans.emplace_back(asciiStart, i - asciiStart);
    if (!runs.empty()) runs += '\n';
    while (i < gbk.size() && static_cast<unsigned char>(gbk[i]) >= 0x80) {
      size_t len = GbCharLength(gbk, i);
      len = std::min(len, gbk.size() - i);
      runs.append(gbk.substr(i, len));
      i += len;
    }
    asciiStart = i;
  }
  std::string converted = GbkToUtf8(runs);
  if (static_cast<size_t>(std::count(converted.begin(), converted.end(), '\n')) + 1 != spans.size())
    return GbkToUtf8(gbk);  // never expected; stay correct
  std::string out;
  out.reserve(gbk.size() + converted.size() + simdjson::SIMDJSON_PADDING);
  size_t from = 0;
  for (const auto& [start, len] : spans) {
    out.append(gbk.substr(start, len));
    size_t end = std::min(converted.find('\n', from), converted.size());
    out.append(converted, from, end - from);
    from = end + 1;
  }
  out.append(gbk.substr(asciiStart));
  return out;
}

std::string ToGbk(std::string_view utf8) { return IsAscii(utf8) ? std::string(utf8) : Utf8ToGbk(utf8); }

bool IsJsonSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view TrimSpace(std::string_view s) {
  while (!s.empty() && IsJsonSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsJsonSpace(s.back())) s.remove_suffix(1);
  return s;
}

// Blanks, trailing semicolons and outer parentheses around the value, and a
// byte-order mark in front (a UTF-8 answer with one keeps it through the
// conversion to GBK).
std::string_view StripWrapping(std::string_view s) {
  constexpr std::string_view kByteOrderMark = "\x84\x31\x95\x33";
  if (s.substr(0, kByteOrderMark.size()) == kByteOrderMark) s.remove_prefix(kByteOrderMark.size());
  s = TrimSpace(s);
  while (!s.empty() && s.back() == ';') s = TrimSpace(s.substr(0, s.size() - 1));
  while (s.size() >= 2 && s.front() == '(' && s.back() == ')') s = TrimSpace(s.substr(1, s.size() - 2));
  return s;
}

// -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
bool IsJsonNumber(std::string_view s) {
  size_t i = 0, n = s.size();
  auto digits = [&] {
    size_t start = i;
    while (i < n && s[i] >= '0' && s[i] <= '9') ++i;
    return i > start;
  };
  if (i < n && s[i] == '-') ++i;
  if (i < n && s[i] == '0') ++i;
  else if (!digits()) return false;
  if (i < n && s[i] == '.') {
    ++i;
    if (!digits()) return false;
  }
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
    if (!digits()) return false;
  }
  return i == n;
}

bool Hex4(std::string_view s, size_t i, uint32_t& v) {
  if (i + 4 > s.size()) return false;
  v = 0;
  for (size_t k = i; k < i + 4; ++k) {
    char c = s[k];
    v <<= 4;
    if (c >= '0' && c <= '9') v |= c - '0';
    else if (c >= 'a' && c <= 'f') v |= c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v |= c - 'A' + 10;
    else return false;
  }
  return true;
}

// Decodes the inside of a JSON string (already valid UTF-8) onto `out`.
bool Unescape(std::string_view s, std::string& out) {
  size_t i = 0;
  while (i < s.size()) {
    size_t slash = s.find('\\', i);
    if (slash == std::string_view::npos) {
      out.append(s.substr(i));
      return true;
    }
    out.append(s.substr(i, slash - i));
    if (slash + 1 >= s.size()) return false;
    char c = s[slash + 1];
    i = slash + 2;
    switch (c) {
      case '"': out += '"'; break;
      case '\\': out += '\\'; break;
      case '/': out += '/'; break;
      case 'b': out += '\b'; break;
      case 'f': out += '\f'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'u': {
        uint32_t cp;
        if (!Hex4(s, i, cp)) return false;
        i += 4;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          uint32_t low;
          if (i + 1 < s.size() && s[i] == '\\' && s[i + 1] == 'u' && Hex4(s, i + 2, low) &&
              low >= 0xDC00 && low <= 0xDFFF) {
            i += 6;
            AppendUtf8(out, 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00));
          } else {
            out += '?';  // a lone surrogate has no character to become
          }
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
          out += '?';
        } else {
          AppendUtf8(out, cp);
        }
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

// Position of the closing quote of a string whose content starts at `begin`.
size_t ClosingQuote(std::string_view buf, size_t begin) {
  for (size_t i = begin; i < buf.size(); ++i) {
    if (buf[i] == '\\') ++i;
    else if (buf[i] == '"') return i;
  }
  return std::string_view::npos;
}

class TreeBuilder {
 public:
  TreeBuilder(Doc& doc, std::string_view buf) : doc_(doc), buf_(buf) {}

  bool addString(std::string_view content, Node& node) {
    node.kind = Kind::String;
    node.off = static_cast<uint32_t>(doc_.arena.size());
    if (!Unescape(content, doc_.arena)) return false;
    node.len = static_cast<uint32_t>(doc_.arena.size() - node.off);
    return true;
  }

  bool addNumber(std::string_view token, Node& node) {
    if (!IsJsonNumber(token)) return false;
    node.kind = Kind::Number;
    node.off = static_cast<uint32_t>(doc_.arena.size());
    node.len = static_cast<uint32_t>(token.size());
    doc_.arena.append(token);
    return true;
  }

  // A value at the top level that is not an object or array.
  bool addScalar(std::string_view text) {
    Node node;
    bool ok;
    if (text == "null") ok = true;
    else if (text == "true") node.kind = Kind::True, ok = true;
    else if (text == "false") node.kind = Kind::False, ok = true;
    else if (!text.empty() && text.front() == '"')
      ok = text.size() >= 2 && ClosingQuote(text, 1) == text.size() - 1 && IsValidUtf8(text) &&
           addString(text.substr(1, text.size() - 2), node);
    else ok = addNumber(text, node);
    node.next = 1;
    doc_.nodes.push_back(node);
    return ok;
  }

  // The root object or array; `open` gets it from the document.
  template <typename Container, typename Open>
  bool addRoot(Open open) {
    Container c;
    if (open().get(c)) return false;
    doc_.nodes.emplace_back();
    Node node;
    bool ok;
    if constexpr (std::is_same_v<Container, simdjson::ondemand::object>) ok = addMembers(c, 0, node);
    else ok = addElements(c, 0, node);
    if (!ok) return false;
    node.next = static_cast<uint32_t>(doc_.nodes.size());
    doc_.nodes[0] = node;
    return true;
  }

  bool addMembers(simdjson::ondemand::object& obj, int depth, Node& node) {
    node.kind = Kind::Object;
    for (auto member : obj) {
      simdjson::ondemand::field field;
      if (std::move(member).get(field)) return false;
      // The raw key points just after its opening quote inside our buffer.
      const char* raw = field.key().raw();
      if (raw <= buf_.data() || raw > buf_.data() + buf_.size()) return false;
      size_t begin = static_cast<size_t>(raw - buf_.data());
      if (buf_[begin - 1] != '"') return false;
      size_t end = ClosingQuote(buf_, begin);
      if (end == std::string_view::npos) return false;
      uint32_t off = static_cast<uint32_t>(doc_.arena.size());
      if (!Unescape(buf_.substr(begin, end - begin), doc_.arena)) return false;
      uint32_t len = static_cast<uint32_t>(doc_.arena.size() - off);
      if (!add(field.value(), depth + 1, off, len)) return false;
      ++node.count;
    }
    return true;
  }

  bool addElements(simdjson::ondemand::array& arr, int depth, Node& node) {
    node.kind = Kind::Array;
    for (auto element : arr) {
      simdjson::ondemand::value child;
      if (std::move(element).get(child)) return false;
      if (!add(child, depth + 1, 0, 0)) return false;
      ++node.count;
    }
    return true;
  }

  template <typename Value>
  bool add(Value& v, int depth, uint32_t keyOff, uint32_t keyLen) {
    using namespace simdjson;
    ondemand::json_type type;
    if (v.type().get(type)) return false;
    size_t index = doc_.nodes.size();
    doc_.nodes.emplace_back();
    Node node;
    node.keyOff = keyOff;
    node.keyLen = keyLen;
    switch (type) {
      case ondemand::json_type::object: {
        ondemand::object obj;
        if (depth >= kMaxDepth || v.get_object().get(obj) || !addMembers(obj, depth, node)) return false;
        break;
      }
      case ondemand::json_type::array: {
        ondemand::array arr;
        if (depth >= kMaxDepth || v.get_array().get(arr) || !addElements(arr, depth, node)) return false;
        break;
      }
      case ondemand::json_type::string: {
        std::string_view token = TrimSpace(v.raw_json_token());
        if (token.size() < 2 || token.front() != '"' || token.back() != '"') return false;
        if (!addString(token.substr(1, token.size() - 2), node)) return false;
        break;
      }
      case ondemand::json_type::number: {
        if (!addNumber(TrimSpace(v.raw_json_token()), node)) return false;
        break;
      }
      case ondemand::json_type::boolean: {
        bool b;
        if (v.get_bool().get(b)) return false;
        node.kind = b ? Kind::True : Kind::False;
        break;
      }
      case ondemand::json_type::null: {
        bool isNull;
        if (v.is_null().get(isNull) || !isNull) return false;
        break;
      }
      default:
        return false;
    }
    node.next = static_cast<uint32_t>(doc_.nodes.size());
    doc_.nodes[index] = node;
    return true;
  }

 private:
  Doc& doc_;
  std::string_view buf_;
};

// Copies a parsed document into the tree; simdjson has checked it all.
class DomCopier {
 public:
  explicit DomCopier(Doc& doc) : doc_(doc) {}

  void add(simdjson::dom::element e, uint32_t keyOff, uint32_t keyLen) {
    using simdjson::dom::element_type;
    size_t index = doc_.nodes.size();
    doc_.nodes.emplace_back();
    Node node;
    node.keyOff = keyOff;
    node.keyLen = keyLen;
    switch (e.type()) {
      case element_type::ARRAY: {
        node.kind = Kind::Array;
        simdjson::dom::array array;
        if (e.get_array().get(array)) break;
        for (simdjson::dom::element child : array) {
          add(child, 0, 0);
          ++node.count;
        }
        break;
      }
      case element_type::OBJECT: {
        node.kind = Kind::Object;
        simdjson::dom::object object;
        if (e.get_object().get(object)) break;
        for (simdjson::dom::key_value_pair member : object) {
          uint32_t off = static_cast<uint32_t>(doc_.arena.size());
          doc_.arena.append(member.key);
          add(member.value, off, static_cast<uint32_t>(member.key.size()));
          ++node.count;
        }
        break;
      }
      case element_type::STRING: {
        std::string_view s = e.get_string().value_unsafe();
        node.kind = Kind::String;
        node.off = static_cast<uint32_t>(doc_.arena.size());
        node.len = static_cast<uint32_t>(s.size());
        doc_.arena.append(s);
        break;
      }
      case element_type::INT64:
        node.kind = Kind::Int;
        SetBits(node, static_cast<uint64_t>(e.get_int64().value_unsafe()));
        break;
      case element_type::UINT64:
        node.kind = Kind::Uint;
        SetBits(node, e.get_uint64().value_unsafe());
        break;
      case element_type::DOUBLE: {
        node.kind = Kind::Double;
        double d = e.get_double().value_unsafe();
        uint64_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        SetBits(node, bits);
        break;
      }
      case element_type::BOOL:
        node.kind = e.get_bool().value_unsafe() ? Kind::True : Kind::False;
        break;
      case element_type::NULL_VALUE:
        break;
    }
    node.next = static_cast<uint32_t>(doc_.nodes.size());
    doc_.nodes[index] = node;
  }

 private:
  Doc& doc_;
};

// ---- reading --------------------------------------------------------------

// Where a path leads: a node, the length of an array or string (".length"),
// or nowhere.
struct Target {
  const Doc* doc = nullptr;
  const Node* node = nullptr;
  bool isLength = false;
  uint32_t length = 0;
  bool found() const { return node || isLength; }
};

uint32_t Utf16Length(std::string_view utf8) {
  uint32_t n = 0;
  for (unsigned char c : utf8) {
    if ((c & 0xC0) != 0x80) ++n;
    if (c >= 0xF0) ++n;  // outside the basic plane: a surrogate pair
  }
  return n;
}

// A canonical array index: "0" or digits without a leading zero.
bool ParseIndex(std::string_view s, uint32_t& index) {
  if (s.empty() || s.size() > 10 || (s.size() > 1 && s[0] == '0')) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v >= 0xFFFFFFFFu) return false;
  index = static_cast<uint32_t>(v);
  return true;
}

// One member access, `key` in UTF-8. A missing member gives no target.
Target Member(const Target& from, std::string_view key) {
  Target out;
  out.doc = from.doc;
  if (!from.node) return out;
  const Doc& doc = *from.doc;
  const Node& n = *from.node;
  if (n.kind == Kind::Object) {
    // Of repeated names the last one wins, as when a script reads the object.
    const Node* first = &n + 1;
    const Node* nodes = doc.nodes.data();
    for (uint32_t i = 0, at = static_cast<uint32_t>(first - nodes); i < n.count; ++i) {
      const Node& child = nodes[at];
      if (doc.key(child) == key) out.node = &child;
      at = child.next;
    }
  } else if (n.kind == Kind::Array) {
    uint32_t index;
    if (ParseIndex(key, index)) {
      if (index < n.count) {
        const Node* nodes = doc.nodes.data();
        const uint32_t self = static_cast<uint32_t>(&n - nodes);
        uint32_t at = self + 1;
        if (auto table = doc.elementTable.find(self); table != doc.elementTable.end()) {
          at = doc.elements[table->second + index];
        } else {
          for (uint32_t i = 0; i < index; ++i) at = nodes[at].next;
        }
        out.node = &nodes[at];
      }
    } else if (key == "length") {
      out.isLength = true;
      out.length = n.count;
    }
  } else if (n.kind == Kind::String && key == "length") {
    out.isLength = true;
    out.length = Utf16Length(doc.text(n));
  }
  return out;
}

bool IsIdentStart(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$' || c >= 0x80;
}
bool IsIdentPart(unsigned char c) { return IsIdentStart(c) || (c >= '0' && c <= '9'); }

// A name: identifier characters; a GBK double-byte character counts whole.
size_t ScanIdent(std::string_view s, size_t i) {
  if (i >= s.size() || !IsIdentStart(static_cast<unsigned char>(s[i]))) return i;
  while (i < s.size() && IsIdentPart(static_cast<unsigned char>(s[i])))
    i += static_cast<unsigned char>(s[i]) >= 0x81 && i + 1 < s.size() ? 2 : 1;
  return i;
}

void SkipBlanks(std::string_view s, size_t& i) {
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
}

// One set per thread, so that every reader's loads reuse the parsers' buffers
// (readers live on one thread and a load calls nothing that could load again).
struct Parsers {
  simdjson::dom::parser dom;
  simdjson::ondemand::parser fallback;
};

}  // namespace

struct JsonReader::State {
  std::unordered_map<std::string, std::shared_ptr<const Doc>> variables;

  // Follows a path such as data.list[3]["name"]; no target when it is malformed,
  // names an unloaded variable or passes through something missing.
  Target resolve(std::string_view path) const {
    Target none;
    size_t i = 0;
    SkipBlanks(path, i);
    size_t end = ScanIdent(path, i);
    if (end == i) return none;
    auto var = variables.find(std::string(path.substr(i, end - i)));
    if (var == variables.end()) return none;
    Target t;
    t.doc = var->second.get();
    t.node = t.doc->nodes.data();
    i = end;
    std::string key;
    while (true) {
      SkipBlanks(path, i);
      if (i == path.size()) return t;
      if (!t.found()) return none;  // reading a member of undefined fails
      if (t.isLength) return none;  // members of a number: nothing we keep
      key.clear();
      if (path[i] == '.') {
        ++i;
        SkipBlanks(path, i);
        size_t e = ScanIdent(path, i);
        if (e == i) return none;
        key.assign(path.substr(i, e - i));
        i = e;
      } else if (path[i] == '[') {
        ++i;
        SkipBlanks(path, i);
        if (i >= path.size()) return none;
        char q = path[i];
        if (q == '"' || q == '\'') {
          ++i;
          while (true) {
            if (i >= path.size()) return none;
            unsigned char c = static_cast<unsigned char>(path[i]);
            if (c == static_cast<unsigned char>(q)) break;
            if (c >= 0x81 && i + 1 < path.size()) {
              key.append(path.substr(i, 2));
              i += 2;
            } else if (c == '\\') {
              // Only the quote and the backslash themselves may be escaped.
              if (i + 1 >= path.size() || (path[i + 1] != q && path[i + 1] != '\\')) return none;
              key += path[i + 1];
              i += 2;
            } else {
              key += static_cast<char>(c);
              ++i;
            }
          }
          ++i;
        } else {
          size_t e = i;
          while (e < path.size() && path[e] >= '0' && path[e] <= '9') ++e;
          if (e == i) return none;
          key.assign(path.substr(i, e - i));
          uint32_t index;
          if (!ParseIndex(key, index)) return none;  // 007 is not a decimal index
          i = e;
        }
        SkipBlanks(path, i);
        if (i >= path.size() || path[i] != ']') return none;
        ++i;
      } else {
        return none;
      }
      t = Member(t, IsAscii(key) ? std::string_view(key) : std::string_view(GbkToUtf8(key)));
    }
  }
};

namespace {

// Shortest decimal form of a double that reads back the same, laid out the
// way script engines print numbers: no exponent from 1e-7 up to 1e21.
void AppendDouble(std::string& out, double d) {
  if (std::isnan(d)) {
    out += "NaN";
    return;
  }
  if (d == 0) {
    out += '0';
    return;
  }
  if (d < 0) {
    out += '-';
    d = -d;
  }
  if (std::isinf(d)) {
    out += "Infinity";
    return;
  }
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<size_t>(res.ptr - buf));
  size_t e = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e))
    if (c != '.') digits += c;
  int exp = 0;
  std::from_chars(sci.data() + e + (sci[e + 1] == '+' ? 2 : 1), sci.data() + sci.size(), exp);
  int k = static_cast<int>(digits.size());
  int n = exp + 1;
  if (k <= n && n <= 21) {
    out += digits;
    out.append(static_cast<size_t>(n - k), '0');
  } else if (0 < n && n <= 21) {
    out.append(digits, 0, static_cast<size_t>(n));
    out += '.';
    out.append(digits, static_cast<size_t>(n));
  } else if (-6 < n && n <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-n), '0');
    out += digits;
  } else {
    out += digits[0];
    if (k > 1) {
      out += '.';
      out.append(digits, 1);
    }
    out += 'e';
    out += n - 1 >= 0 ? '+' : '-';
    out += std::to_string(std::abs(n - 1));
  }
}

double TokenToDouble(std::string_view token) {
  double d = 0;
  auto res = std::from_chars(token.data(), token.data() + token.size(), d);
  if (res.ec == std::errc::result_out_of_range) {
    // Too large or too small for a double: the exponent's sign tells which.
    size_t e = token.find_first_of("eE");
    bool tiny = e != std::string_view::npos ? token.substr(e + 1, 1) == "-"
                                            : token.substr(token[0] == '-', 2) == "0.";
    d = tiny ? 0.0 : std::numeric_limits<double>::infinity();
    if (token[0] == '-') d = -d;
  }
  return d;
}

void AppendNumber(std::string& out, std::string_view token) {
  if (token.find_first_of(".eE") == std::string_view::npos) {
    // Integers keep all their digits, even beyond 64 bits.
    out += token == "-0" ? std::string_view("0") : token;
    return;
  }
  AppendDouble(out, TokenToDouble(token));
}

// The value as text, in UTF-8.
void AppendText(std::string& out, const Doc& doc, const Node& n) {
  switch (n.kind) {
    case Kind::Null: break;
    case Kind::False: out += "false"; break;
    case Kind::True: out += "true"; break;
    case Kind::Int: out += std::to_string(static_cast<int64_t>(Bits(n))); break;
    case Kind::Uint: out += std::to_string(Bits(n)); break;
    case Kind::Double: AppendDouble(out, AsDouble(n)); break;
    case Kind::Number: AppendNumber(out, doc.text(n)); break;
    case Kind::String: out += doc.text(n); break;
    case Kind::Object: out += "[object Object]"; break;
    case Kind::Array: {
      const Node* nodes = doc.nodes.data();
      uint32_t at = static_cast<uint32_t>(&n - nodes) + 1;
      for (uint32_t i = 0; i < n.count; ++i) {
        if (i) out += ',';
        AppendText(out, doc, nodes[at]);
        at = nodes[at].next;
      }
      break;
    }
  }
}

// A value read as a 32-bit count: numbers and numeric strings cut toward zero.
int32_t ToInt32(const Doc& doc, const Node& n) {
  double d = 0;
  if (n.kind == Kind::Int) {
    d = static_cast<double>(static_cast<int64_t>(Bits(n)));
  } else if (n.kind == Kind::Uint) {
    d = static_cast<double>(Bits(n));
  } else if (n.kind == Kind::Double) {
    d = AsDouble(n);
  } else if (n.kind == Kind::Number || n.kind == Kind::String) {
    std::string_view s = TrimSpace(doc.text(n));
    auto res = std::from_chars(s.data(), s.data() + s.size(), d);
    if (s.empty() || res.ec != std::errc() || res.ptr != s.data() + s.size()) return 0;
  } else {
    return 0;
  }
  d = std::trunc(d);
  if (!(d >= std::numeric_limits<int32_t>::min() && d <= std::numeric_limits<int32_t>::max())) return 0;
  return static_cast<int32_t>(d);
}

int32_t ClampCount(uint32_t n) {
  return n > static_cast<uint32_t>(std::numeric_limits<int32_t>::max()) ? std::numeric_limits<int32_t>::max()
                                                                       : static_cast<int32_t>(n);
}

std::shared_ptr<const Doc> Parse(Parsers& parsers, std::string_view gbk) {
  std::string_view text = StripWrapping(gbk);
  if (text.empty() || text.size() > kMaxInput) return nullptr;
  std::string buf;
  if (IsAscii(text)) {
    buf.reserve(text.size() + simdjson::SIMDJSON_PADDING);
    buf.assign(text);
  } else {
    buf = GbkTextToUtf8(text);
    if (buf.size() > kMaxInput) return nullptr;
    buf.reserve(buf.size() + simdjson::SIMDJSON_PADDING);
  }
  auto doc = std::make_shared<Doc>();
  doc->arena.reserve(buf.size());
  doc->nodes.reserve(buf.size() / 16 + 4);  // about one value in 20 to 30 bytes of an answer

  simdjson::dom::element root;
  auto error = parsers.dom.parse(buf.data(), buf.size(), false).get(root);
  if (!error) {
    DomCopier(*doc).add(root, 0, 0);
    doc->indexArrays();
    return doc;
  }
  // Integers beyond 64 bits, numbers beyond the double range and lone
  // surrogates are valid for a script engine: read the text once more on the
  // slower path that keeps such values. Every other error is final.
  if (error != simdjson::NUMBER_ERROR && error != simdjson::STRING_ERROR)
    return nullptr;
  TreeBuilder builder(*doc, buf);
  char first = buf.front();
  if (first != '{' && first != '[') return builder.addScalar(buf) ? doc : nullptr;
  simdjson::ondemand::document json;
  if (parsers.fallback.iterate(buf.data(), buf.size(), buf.capacity()).get(json)) return nullptr;
  bool ok = first == '{'
                ? builder.addRoot<simdjson::ondemand::object>([&] { return json.get_object(); })
                : builder.addRoot<simdjson::ondemand::array>([&] { return json.get_array(); });
  // Anything after the value makes the text invalid.
  if (!ok || json.current_location().error() != simdjson::OUT_OF_BOUNDS) return nullptr;
  doc->indexArrays();
  return doc;
}

}  // namespace

JsonReader::JsonReader() : state_(std::make_shared<State>()) {}
JsonReader::~JsonReader() = default;
JsonReader::JsonReader(const JsonReader&) = default;
JsonReader& JsonReader::operator=(const JsonReader&) = default;

bool JsonReader::load(std::string_view name, std::string_view json) {
  // A variable name is one identifier; anything else defines nothing.
  if (name.empty() || ScanIdent(name, 0) != name.size()) return false;
  thread_local Parsers parsers;
  bool read = false;
  try {
    auto doc = Parse(parsers, json);
    if (doc) {
      state_->variables[std::string(name)] = std::move(doc);
      read = true;
    }
  } catch (...) {
    // Out of memory on a huge answer: it defines nothing, like any unreadable one.
  }
  // The parsers grow to the largest text they read; an unusually large one
  // should not keep its memory for the rest of the thread's life.
  constexpr size_t kKeepBuffersUpTo = size_t{16} << 20;
  if (json.size() > kKeepBuffersUpTo) {
    parsers.dom = simdjson::dom::parser();
    parsers.fallback = simdjson::ondemand::parser();
  }
  return read;
}

std::string JsonReader::getText(std::string_view path) const {
  try {
    Target t = state_->resolve(path);
    if (t.isLength) return std::to_string(t.length);
    if (!t.node) return {};
    std::string utf8;
    AppendText(utf8, *t.doc, *t.node);
    return ToGbk(utf8);
  } catch (...) {
    return {};
  }
}

int32_t JsonReader::getLength(std::string_view path) const {
  try {
    Target t = state_->resolve(path);
    if (!t.node) return 0;
    const Node& n = *t.node;
    if (n.kind == Kind::Array) return ClampCount(n.count);
    if (n.kind == Kind::String) return ClampCount(Utf16Length(t.doc->text(n)));
    if (n.kind == Kind::Object) {
      // An object's "length" is whatever its member of that name holds.
      Target member = Member(t, "length");
      return member.node ? ToInt32(*member.doc, *member.node) : 0;
    }
  } catch (...) {
  }
  return 0;
}

bool JsonReader::hasKind(std::string_view path, uint8_t kind) const {
  try {
    Target t = state_->resolve(path);
    return t.node && static_cast<uint8_t>(t.node->kind) == kind;
  } catch (...) {
    return false;
  }
}

bool JsonReader::isString(std::string_view path) const {
  return hasKind(path, static_cast<uint8_t>(Kind::String));
}

bool JsonReader::isArray(std::string_view path) const {
  return hasKind(path, static_cast<uint8_t>(Kind::Array));
}

int32_t JsonReader::getMemberCount(std::string_view path) const {
  std::vector<std::string> keys;
  return getKeys(path, keys);
}

std::string JsonReader::getKeyList(std::string_view path) const {
  try {
    Target t = state_->resolve(path);
    if (!t.node) return {};
    const Node& n = *t.node;
    std::string list;
    if (n.kind == Kind::Array) {
      for (uint32_t i = 0; i < n.count; ++i) {
        if (i) list += ",,";
        list += std::to_string(i);
      }
      return list;
    }
    if (n.kind != Kind::Object) return {};
    // Member names in the order they first appear; a repeated name counts once.
    std::unordered_set<std::string_view> seen;
    seen.reserve(n.count);
    const Node* nodes = t.doc->nodes.data();
    bool firstName = true;
    for (uint32_t i = 0, at = static_cast<uint32_t>(&n - nodes) + 1; i < n.count; ++i) {
      std::string_view key = t.doc->key(nodes[at]);
      if (seen.insert(key).second) {
        if (!firstName) list += ",,";
        list += key;
        firstName = false;
      }
      at = nodes[at].next;
    }
    return ToGbk(list);
  } catch (...) {
    return {};
  }
}

int32_t JsonReader::getKeys(std::string_view path, std::vector<std::string>& keys) const {
  keys.clear();
  try {
    std::string list = getKeyList(path);
    // Pieces between ",," separators; no pieces for empty text, and an empty
    // last piece is dropped.
    size_t start = 0;
    while (start < list.size()) {
      size_t sep = list.find(",,", start);
      if (sep == std::string::npos) {
        keys.push_back(list.substr(start));
        break;
      }
      keys.push_back(list.substr(start, sep - start));
      start = sep + 2;
    }
  } catch (...) {
  }
  return ClampCount(static_cast<uint32_t>(keys.size()));
}

std::string JsonQuote(std::string_view s) {
  std::string out = "\"";
  char buf[8];
  for (size_t i = 0; i < s.size();) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x80) {
      uint32_t cp = 0;
      size_t n = DecodeUtf8(s, i, cp);
      if (n == 0) {
        std::snprintf(buf, sizeof buf, "\\u%04x", c);
        out += buf;
        ++i;
      } else {
        out.append(s.substr(i, n));
        i += n;
      }
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  out += '"';
  return out;
}

}  // namespace kelvora
