// The wizard's page text ("1-3,5"), also after folding full-width forms.
#include <string>

#include "wizard/page_addresses.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  (void)kelvora::ParsePageSpec(text);
  (void)kelvora::ParsePageSpec(kelvora::FoldFullWidthForms(text));
  return 0;
}
