#include "net/json_tree.h"

#include <simdjson.h>

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "net/codec.h"

// What ParseJsonTree accepts besides strict JSON, because the marketplace sends
// it and reading it is harmless: blanks, tabs and line breaks around the text, a
// leading byte-order mark, any number of trailing ";", and outer parentheses
// "( ... )" around the value.
// Unquoted keys, single-quoted strings, comments, NaN and the like are refused.
//
// Values that strict parsers refuse but script engines read are kept: integers
// beyond 64 bits and numbers beyond the double range as their tokens, and a
// lone UTF-16 surrogate in a \u escape as "?".

namespace kelvora {
namespace {

// Arrays longer than this get a table of where each element starts, so that
// reading element k of a long list does not walk the k elements before it.
constexpr uint32_t kIndexedArrayMin = 64;

// Containers nested deeper than this are refused: answers nest a dozen levels
// at most, and a hostile one must not exhaust the stack. It stays below the
// parsers' own limit (1024), which the slower path must never reach.
constexpr int kMaxDepth = 1000;
// Offsets are 32-bit; answers are far smaller.
constexpr size_t kMaxInput = size_t{1} << 30;

bool IsJsonSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Blanks, trailing semicolons and outer parentheses around the value, and a
// byte-order mark in front (a UTF-8 answer with one keeps it through the
// conversion to GBK).
std::string_view StripWrapping(std::string_view s) {
  constexpr std::string_view kByteOrderMark = "\x84\x31\x95\x33";
  if (s.substr(0, kByteOrderMark.size()) == kByteOrderMark) s.remove_prefix(kByteOrderMark.size());
  s = TrimJsonSpace(s);
  while (!s.empty() && s.back() == ';') s = TrimJsonSpace(s.substr(0, s.size() - 1));
  while (s.size() >= 2 && s.front() == '(' && s.back() == ')') s = TrimJsonSpace(s.substr(1, s.size() - 2));
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
  if (i < n && s[i] == '0')
    ++i;
  else if (!digits())
    return false;
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
    if (c >= '0' && c <= '9')
      v |= c - '0';
    else if (c >= 'a' && c <= 'f')
      v |= c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      v |= c - 'A' + 10;
    else
      return false;
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
      case '"':
        out += '"';
        break;
      case '\\':
        out += '\\';
        break;
      case '/':
        out += '/';
        break;
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'u': {
        uint32_t cp;
        if (!Hex4(s, i, cp)) return false;
        i += 4;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          uint32_t low;
          if (i + 1 < s.size() && s[i] == '\\' && s[i + 1] == 'u' && Hex4(s, i + 2, low) && low >= 0xDC00 &&
              low <= 0xDFFF) {
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
    if (buf[i] == '\\')
      ++i;
    else if (buf[i] == '"')
      return i;
  }
  return std::string_view::npos;
}

class TreeBuilder {
 public:
  TreeBuilder(JsonDoc& doc, std::string_view buf) : doc_(doc), buf_(buf) {}

  bool addString(std::string_view content, JsonNode& node) {
    node.kind = JsonKind::String;
    node.off = static_cast<uint32_t>(doc_.arena.size());
    if (!Unescape(content, doc_.arena)) return false;
    node.len = static_cast<uint32_t>(doc_.arena.size() - node.off);
    return true;
  }

  bool addNumber(std::string_view token, JsonNode& node) {
    if (!IsJsonNumber(token)) return false;
    node.kind = JsonKind::Number;
    node.off = static_cast<uint32_t>(doc_.arena.size());
    node.len = static_cast<uint32_t>(token.size());
    doc_.arena.append(token);
    return true;
  }

  // A value at the top level that is not an object or array.
  bool addScalar(std::string_view text) {
    JsonNode node;
    bool ok;
    if (text == "null")
      ok = true;
    else if (text == "true")
      node.kind = JsonKind::True, ok = true;
    else if (text == "false")
      node.kind = JsonKind::False, ok = true;
    else if (!text.empty() && text.front() == '"')
      ok = text.size() >= 2 && ClosingQuote(text, 1) == text.size() - 1 && IsValidUtf8(text) &&
           addString(text.substr(1, text.size() - 2), node);
    else
      ok = addNumber(text, node);
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
    JsonNode node;
    bool ok;
    if constexpr (std::is_same_v<Container, simdjson::ondemand::object>)
      ok = addMembers(c, 0, node);
    else
      ok = addElements(c, 0, node);
    if (!ok) return false;
    node.next = static_cast<uint32_t>(doc_.nodes.size());
    doc_.nodes[0] = node;
    return true;
  }

  bool addMembers(simdjson::ondemand::object& obj, int depth, JsonNode& node) {
    node.kind = JsonKind::Object;
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

  bool addElements(simdjson::ondemand::array& arr, int depth, JsonNode& node) {
    node.kind = JsonKind::Array;
    for (auto element : arr) {
      simdjson::ondemand::value child;
      if (std::move(element).get(child)) return false;  // NOLINT(performance-move-const-arg): get() takes the result
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
    JsonNode node;
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
        std::string_view token = TrimJsonSpace(v.raw_json_token());
        if (token.size() < 2 || token.front() != '"' || token.back() != '"') return false;
        if (!addString(token.substr(1, token.size() - 2), node)) return false;
        break;
      }
      case ondemand::json_type::number: {
        if (!addNumber(TrimJsonSpace(v.raw_json_token()), node)) return false;
        break;
      }
      case ondemand::json_type::boolean: {
        bool b;
        if (v.get_bool().get(b)) return false;
        node.kind = b ? JsonKind::True : JsonKind::False;
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
  JsonDoc& doc_;
  std::string_view buf_;
};

// Copies a parsed document into the tree; simdjson has checked it all.
class DomCopier {
 public:
  explicit DomCopier(JsonDoc& doc) : doc_(doc) {}

  void add(simdjson::dom::element e, uint32_t keyOff, uint32_t keyLen) {
    using simdjson::dom::element_type;
    size_t index = doc_.nodes.size();
    doc_.nodes.emplace_back();
    JsonNode node;
    node.keyOff = keyOff;
    node.keyLen = keyLen;
    switch (e.type()) {
      case element_type::ARRAY: {
        node.kind = JsonKind::Array;
        simdjson::dom::array array;
        if (e.get_array().get(array)) break;
        for (simdjson::dom::element child : array) {
          add(child, 0, 0);
          ++node.count;
        }
        break;
      }
      case element_type::OBJECT: {
        node.kind = JsonKind::Object;
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
        node.kind = JsonKind::String;
        node.off = static_cast<uint32_t>(doc_.arena.size());
        node.len = static_cast<uint32_t>(s.size());
        doc_.arena.append(s);
        break;
      }
      case element_type::INT64:
        node.kind = JsonKind::Int;
        node.setBits(static_cast<uint64_t>(e.get_int64().value_unsafe()));
        break;
      case element_type::UINT64:
        node.kind = JsonKind::Uint;
        node.setBits(e.get_uint64().value_unsafe());
        break;
      case element_type::DOUBLE: {
        node.kind = JsonKind::Double;
        double d = e.get_double().value_unsafe();
        uint64_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        node.setBits(bits);
        break;
      }
      case element_type::BOOL:
        node.kind = e.get_bool().value_unsafe() ? JsonKind::True : JsonKind::False;
        break;
      case element_type::NULL_VALUE:
        break;
    }
    node.next = static_cast<uint32_t>(doc_.nodes.size());
    doc_.nodes[index] = node;
  }

  // Only the members along `paths` of an object, `depth` names into them;
  // `live` are the paths whose first `depth` names led here.
  void addAlong(simdjson::dom::element e, uint32_t keyOff, uint32_t keyLen, const JsonPaths& paths,
                const std::vector<size_t>& live, size_t depth) {
    simdjson::dom::object object;
    if (e.type() != simdjson::dom::element_type::OBJECT || e.get_object().get(object)) {
      add(e, keyOff, keyLen);
      return;
    }
    const size_t index = doc_.nodes.size();
    doc_.nodes.emplace_back();
    JsonNode node;
    node.kind = JsonKind::Object;
    node.keyOff = keyOff;
    node.keyLen = keyLen;
    std::vector<size_t> next;
    for (simdjson::dom::key_value_pair member : object) {
      next.clear();
      bool whole = false;
      for (size_t k : live) {
        if (paths[k][depth] != member.key) continue;
        if (paths[k].size() == depth + 1)
          whole = true;
        else
          next.push_back(k);
      }
      if (!whole && next.empty()) continue;
      const uint32_t off = static_cast<uint32_t>(doc_.arena.size());
      doc_.arena.append(member.key);
      if (whole)
        add(member.value, off, static_cast<uint32_t>(member.key.size()));
      else
        addAlong(member.value, off, static_cast<uint32_t>(member.key.size()), paths, next, depth + 1);
      ++node.count;
    }
    node.next = static_cast<uint32_t>(doc_.nodes.size());
    doc_.nodes[index] = node;
  }

 private:
  JsonDoc& doc_;
};

// One set per thread, so that every reader's loads reuse the parsers' buffers
// (readers live on one thread and a load calls nothing that could load again).
struct Parsers {
  simdjson::dom::parser dom;
  simdjson::ondemand::parser fallback;
};

Parsers& ThreadParsers() {
  thread_local Parsers parsers;
  return parsers;
}

}  // namespace

std::string_view TrimJsonSpace(std::string_view s) {
  while (!s.empty() && IsJsonSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsJsonSpace(s.back())) s.remove_suffix(1);
  return s;
}

void JsonDoc::indexArrays() {
  for (uint32_t i = 0; i < nodes.size(); ++i) {
    const JsonNode& n = nodes[i];
    if (n.kind != JsonKind::Array || n.count < kIndexedArrayMin) continue;
    elementTable.emplace(i, static_cast<uint32_t>(elements.size()));
    for (uint32_t k = 0, at = i + 1; k < n.count; ++k, at = nodes[at].next) elements.push_back(at);
  }
}

// The answer's JSON (its wrapping taken off) as UTF-8 with room for the parser's
// padding; false when there is none or it is too large.
static bool PaddedUtf8(std::string_view gbk, std::string& buf) {
  const std::string_view text = StripWrapping(gbk);
  if (text.empty() || text.size() > kMaxInput) return false;
  if (IsAsciiText(text)) {
    buf.reserve(text.size() + simdjson::SIMDJSON_PADDING);
    buf.assign(text);
    return true;
  }
  buf = GbkToUtf8(text);
  if (buf.size() > kMaxInput) return false;
  buf.reserve(buf.size() + simdjson::SIMDJSON_PADDING);
  return true;
}

std::shared_ptr<const JsonDoc> ParseJsonTree(std::string_view gbk, const JsonPaths* along) {
  if (along)
    for (const auto& path : *along)
      if (path.empty()) along = nullptr;  // the whole value is wanted
  Parsers& parsers = ThreadParsers();
  std::string buf;
  if (!PaddedUtf8(gbk, buf)) return nullptr;
  auto doc = std::make_shared<JsonDoc>();
  if (!along) {
    doc->arena.reserve(buf.size());
    doc->nodes.reserve(buf.size() / 16 + 4);  // about one value in 20 to 30 bytes of an answer
  }

  simdjson::dom::element root;
  auto error = parsers.dom.parse(buf.data(), buf.size(), false).get(root);
  if (!error) {
    if (along) {
      std::vector<size_t> live(along->size());
      for (size_t k = 0; k < live.size(); ++k) live[k] = k;
      DomCopier(*doc).addAlong(root, 0, 0, *along, live, 0);
    } else {
      DomCopier(*doc).add(root, 0, 0);
    }
    doc->indexArrays();
    return doc;
  }
  // Integers beyond 64 bits, numbers beyond the double range and lone
  // surrogates are valid for a script engine: read the text once more on the
  // slower path that keeps such values (the whole tree). Every other error is final.
  if (error != simdjson::NUMBER_ERROR && error != simdjson::STRING_ERROR) return nullptr;
  TreeBuilder builder(*doc, buf);
  char first = buf.front();
  if (first != '{' && first != '[') return builder.addScalar(buf) ? doc : nullptr;
  simdjson::ondemand::document json;
  if (parsers.fallback.iterate(buf.data(), buf.size(), buf.capacity()).get(json)) return nullptr;
  bool ok = first == '{' ? builder.addRoot<simdjson::ondemand::object>([&] { return json.get_object(); })
                         : builder.addRoot<simdjson::ondemand::array>([&] { return json.get_array(); });
  // Anything after the value makes the text invalid.
  if (!ok || json.current_location().error() != simdjson::OUT_OF_BOUNDS) return nullptr;
  doc->indexArrays();
  return doc;
}

bool IsJsonTree(std::string_view gbk) {
  Parsers& parsers = ThreadParsers();
  std::string buf;
  if (!PaddedUtf8(gbk, buf)) return false;
  simdjson::dom::element root;
  const auto error = parsers.dom.parse(buf.data(), buf.size(), false).get(root);
  if (!error) return true;
  // The values only the slower path keeps, and every other error, as there.
  if (error != simdjson::NUMBER_ERROR && error != simdjson::STRING_ERROR) return false;
  return ParseJsonTree(gbk) != nullptr;
}

void ReleaseJsonParsersAfter(size_t inputSize) {
  // An unusually large text should not keep its memory for the rest of the
  // thread's life.
  constexpr size_t kKeepBuffersUpTo = size_t{16} << 20;
  if (inputSize > kKeepBuffersUpTo) {
    Parsers& parsers = ThreadParsers();
    parsers.dom = simdjson::dom::parser();
    parsers.fallback = simdjson::ondemand::parser();
  }
}

}  // namespace kelvora
