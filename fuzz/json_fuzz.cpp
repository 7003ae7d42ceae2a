// JsonReader: load one answer, then read it along paths taken from the answer's
// own member names and from the second part of the input.
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "net/json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto parts = kelvora::fuzz::SplitParts(data, size);
  kelvora::JsonReader reader;
  reader.load("data", parts[0]);
  std::vector<std::string> paths = {"data", "data[0]", "data.a", "data[0].href", "data.itemList[0].href"};
  for (size_t n = 1; n < parts.size() && n < 8; ++n) paths.push_back(parts[n]);
  std::vector<std::string> keys;
  reader.getKeys("data", keys);
  for (size_t n = 0; n < keys.size() && n < 16; ++n) paths.push_back("data." + keys[n]);
  for (const std::string& path : paths) {
    (void)reader.getText(path);
    (void)reader.getLength(path);
    (void)reader.getMemberCount(path);
    (void)reader.getKeyList(path);
    (void)reader.isString(path);
    (void)reader.isArray(path);
    std::vector<std::string> sub;
    reader.getKeys(path, sub);
  }
  // A copy shares the variables; a second, maybe invalid load keeps the first.
  kelvora::JsonReader copy = reader;
  copy.load("data", parts.size() > 1 ? parts[1] : std::string("{"));
  (void)copy.getText("data");
  (void)kelvora::JsonQuote(parts[0]);
  return 0;
}
