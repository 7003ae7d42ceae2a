// The settings file reader, over the defaults.
#include <string>

#include "net/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  kelvora::Settings settings;
  std::string error;
  (void)kelvora::ParseSettingsText(text, "fuzz.ini", settings, error);
  kelvora::ShopHours hours;
  (void)kelvora::ParseShopHours(text, hours);
  return 0;
}
