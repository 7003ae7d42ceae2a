// Pasted cookie text and a login answer's header block.
#include <string>

#include "session/cookie_text.h"
#include "session/login.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  (void)kelvora::NormalizeCookieText(text);
  (void)kelvora::CollectSetCookies(text);
  return 0;
}
