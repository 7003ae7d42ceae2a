#include "net/json.h"

#include <cstdio>

#include <charconv>
#include <cmath>
#include <limits>
#include <unordered_map>
#include <unordered_set>

#include "net/codec.h"
#include "net/json_tree.h"

// Answers are read the way a browser's script engine would read them, but as
// data: the text becomes a tree of values (net/json_tree.h) and paths such as
// data.list[3]["name"] are followed through it; nothing in an answer can run.
//
// Values that strict parsers refuse but script engines read:
//   - integers beyond 64 bits read back as their digits;
//   - numbers beyond the double range read "Infinity" (or 0 when too small);
//   - a lone UTF-16 surrogate in a \u escape reads as "?".
// Objects read as text give "[object Object]" and arrays their elements'
// texts joined with "," (what a script engine prints for them).

namespace kelvora {
namespace {

std::string ToGbk(std::string_view utf8) { return IsAsciiText(utf8) ? std::string(utf8) : Utf8ToGbk(utf8); }

// Where a path leads: a node, the length of an array or string (".length"),
// or nowhere.
struct Target {
  const JsonDoc* doc = nullptr;
  const JsonNode* node = nullptr;
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
  const JsonDoc& doc = *from.doc;
  const JsonNode& n = *from.node;
  if (n.kind == JsonKind::Object) {
    // Of repeated names the last one wins, as when a script reads the object.
    const JsonNode* first = &n + 1;
    const JsonNode* nodes = doc.nodes.data();
    for (uint32_t i = 0, at = static_cast<uint32_t>(first - nodes); i < n.count; ++i) {
      const JsonNode& child = nodes[at];
      if (doc.key(child) == key) out.node = &child;
      at = child.next;
    }
  } else if (n.kind == JsonKind::Array) {
    uint32_t index;
    if (ParseIndex(key, index)) {
      if (index < n.count) {
        const JsonNode* nodes = doc.nodes.data();
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
  } else if (n.kind == JsonKind::String && key == "length") {
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

}  // namespace

struct JsonReader::State {
  std::unordered_map<std::string, std::shared_ptr<const JsonDoc>> variables;

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
      t = Member(t, IsAsciiText(key) ? std::string_view(key) : std::string_view(GbkToUtf8(key)));
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
    bool tiny = e != std::string_view::npos ? token.substr(e + 1, 1) == "-" : token.substr(token[0] == '-', 2) == "0.";
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
void AppendText(std::string& out, const JsonDoc& doc, const JsonNode& n) {
  switch (n.kind) {
    case JsonKind::Null:
      break;
    case JsonKind::False:
      out += "false";
      break;
    case JsonKind::True:
      out += "true";
      break;
    case JsonKind::Int:
      out += std::to_string(static_cast<int64_t>(n.bits()));
      break;
    case JsonKind::Uint:
      out += std::to_string(n.bits());
      break;
    case JsonKind::Double:
      AppendDouble(out, n.asDouble());
      break;
    case JsonKind::Number:
      AppendNumber(out, doc.text(n));
      break;
    case JsonKind::String:
      out += doc.text(n);
      break;
    case JsonKind::Object:
      out += "[object Object]";
      break;
    case JsonKind::Array: {
      const JsonNode* nodes = doc.nodes.data();
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
int32_t ToInt32(const JsonDoc& doc, const JsonNode& n) {
  double d = 0;
  if (n.kind == JsonKind::Int) {
    d = static_cast<double>(static_cast<int64_t>(n.bits()));
  } else if (n.kind == JsonKind::Uint) {
    d = static_cast<double>(n.bits());
  } else if (n.kind == JsonKind::Double) {
    d = n.asDouble();
  } else if (n.kind == JsonKind::Number || n.kind == JsonKind::String) {
    std::string_view s = TrimJsonSpace(doc.text(n));
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

}  // namespace

JsonReader::JsonReader() : state_(std::make_shared<State>()) {}
JsonReader::~JsonReader() = default;
JsonReader::JsonReader(const JsonReader&) = default;
JsonReader& JsonReader::operator=(const JsonReader&) = default;

bool IsJsonValue(std::string_view json) {
  bool whole = false;
  try {
    whole = IsJsonTree(json);
  } catch (...) {
    // Out of memory on a huge answer: not read, as load() has it.
  }
  ReleaseJsonParsersAfter(json.size());
  return whole;
}

bool JsonReader::load(std::string_view name, std::string_view json) { return loadAlong(name, json, {}); }

bool JsonReader::loadAlong(std::string_view name, std::string_view json, const std::vector<std::string_view>& paths) {
  // A variable name is one identifier; anything else defines nothing.
  if (name.empty() || ScanIdent(name, 0) != name.size()) return false;
  bool read = false;
  try {
    // The member names below the variable of each path of the form name.a.b;
    // paths of other variables read nothing of this one.
    JsonPaths along;
    bool plain = !paths.empty();
    for (std::string_view path : paths) {
      std::vector<std::string> names;
      size_t i = ScanIdent(path, 0);
      const bool ofThis = path.substr(0, i) == name;
      while (plain && i < path.size()) {
        const size_t end = path[i] == '.' ? ScanIdent(path, i + 1) : i;
        if (end == i || end == i + 1) {
          plain = false;  // brackets, blanks or anything else: keep the whole value
          break;
        }
        const std::string_view key = path.substr(i + 1, end - i - 1);
        names.emplace_back(IsAsciiText(key) ? std::string(key) : GbkToUtf8(key));
        i = end;
      }
      if (ofThis) along.push_back(std::move(names));
    }
    auto doc = ParseJsonTree(json, plain ? &along : nullptr);
    if (doc) {
      state_->variables[std::string(name)] = std::move(doc);
      read = true;
    }
  } catch (...) {
    // Out of memory on a huge answer: it defines nothing, like any unreadable one.
  }
  ReleaseJsonParsersAfter(json.size());
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
    const JsonNode& n = *t.node;
    if (n.kind == JsonKind::Array) return ClampCount(n.count);
    if (n.kind == JsonKind::String) return ClampCount(Utf16Length(t.doc->text(n)));
    if (n.kind == JsonKind::Object) {
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

bool JsonReader::isString(std::string_view path) const { return hasKind(path, static_cast<uint8_t>(JsonKind::String)); }

bool JsonReader::isArray(std::string_view path) const { return hasKind(path, static_cast<uint8_t>(JsonKind::Array)); }

int32_t JsonReader::getMemberCount(std::string_view path) const {
  std::vector<std::string> keys;
  return getKeys(path, keys);
}

std::string JsonReader::getKeyList(std::string_view path) const {
  try {
    Target t = state_->resolve(path);
    if (!t.node) return {};
    const JsonNode& n = *t.node;
    std::string list;
    if (n.kind == JsonKind::Array) {
      for (uint32_t i = 0; i < n.count; ++i) {
        if (i) list += ",,";
        list += std::to_string(i);
      }
      return list;
    }
    if (n.kind != JsonKind::Object) return {};
    // Member names in the order they first appear; a repeated name counts once.
    std::unordered_set<std::string_view> seen;
    seen.reserve(n.count);
    const JsonNode* nodes = t.doc->nodes.data();
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
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
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
