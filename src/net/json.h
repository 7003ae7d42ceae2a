#pragma once
// Reads JSON answers by member paths such as data.itemList[3].href. The text is
// parsed as data, never run. Every failure reads as empty text or 0.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kelvora {

// A JSON string literal of UTF-8 text. Bytes that are not UTF-8 are written as
// \u00XX escapes of their value, so the result is always valid JSON.
std::string JsonQuote(std::string_view utf8);

// True exactly when JsonReader::load would read `json` (GBK text), without
// keeping its values: for an answer that is only checked for being whole.
bool IsJsonValue(std::string_view json);

class JsonReader {
 public:
  JsonReader();
  ~JsonReader();
  // Copies share the loaded variables.
  JsonReader(const JsonReader&);
  JsonReader& operator=(const JsonReader&);

  // Defines variable `name` from `json` (GBK text). Invalid JSON defines nothing:
  // a variable loaded before keeps its value. True when `json` was read.
  bool load(std::string_view name, std::string_view json);
  // The same, keeping only what `paths` (as getText takes them) lead to: reading
  // those paths gives what it would after load(). Plain dotted paths are kept
  // alone; with any other, or none, the whole value is kept.
  bool loadAlong(std::string_view name, std::string_view json, const std::vector<std::string_view>& paths);
  // Strings as they are, numbers as decimal text, null/missing as empty text. GBK.
  std::string getText(std::string_view path) const;
  // Length of the array or string at `path`; 0 otherwise.
  int32_t getLength(std::string_view path) const;
  int32_t getMemberCount(std::string_view path) const;
  // Member names joined by ",,".
  std::string getKeyList(std::string_view path) const;
  int32_t getKeys(std::string_view path, std::vector<std::string>& keys) const;
  // The kind of value at `path`, for callers that accept only one kind.
  bool isString(std::string_view path) const;
  bool isArray(std::string_view path) const;

 private:
  bool hasKind(std::string_view path, uint8_t kind) const;
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace kelvora
