// The text primitives: GBK-aware find and cuts, TextBetween, the decoders and the
// traditional-to-simplified conversion. Part 0 is the text, parts 1 and 2 markers.
#include <string>

#include "fuzz_support.h"
#include "net/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kelvora;
  const auto parts = fuzz::SplitParts(data, size);
  const std::string& text = parts[0];
  const std::string left = fuzz::Part(parts, 1);
  const std::string right = fuzz::Part(parts, 2);
  // Positions and counts from the input itself, negative and past the end included.
  const int a = size > 0 ? static_cast<int>(static_cast<int8_t>(data[0])) * 3 : 1;
  const int b = size > 1 ? static_cast<int>(static_cast<int8_t>(data[size - 1])) * 3 : 0;
  (void)Find(text, left, a);
  (void)Find(text, right);
  (void)Mid(text, a, b);
  (void)Left(text, a);
  (void)Right(text, b);
  (void)ReplaceAll(text, left, right);
  (void)Trim(text);
  (void)Split(text, left);
  (void)Upper(text);
  (void)ToInt32(text);
  (void)ToInt64(text);
  (void)TextBetween(text, left, right, a);
  (void)TextBetween(text, left, right);
  (void)PercentDecode(text);
  (void)UnescapeJavaText(text);
  (void)TraditionalToSimplified(text);
  return 0;
}
