#pragma once
// The INI settings file shared by the three programs.
#include <map>
#include <string>
#include <string_view>

#include "net/endpoints.h"

namespace kelvora {

struct Settings {
  Endpoints endpoints = DefaultEndpoints();
  // Every other section, raw UTF-8 values: sections["http"]["connect_timeout"].
  std::map<std::string, std::map<std::string, std::string>> sections;
};

// Parses `path` over `out` (which keeps its values for keys the file does not set).
// Returns false and sets `error` to "FILE:LINE: message" for a bad file.
bool LoadSettingsFile(const std::string& path, Settings& out, std::string& error);
bool ParseSettingsText(const std::string& text, const std::string& fileName, Settings& out,
                       std::string& error);

// The hours of the day when buyers shop: [report] shop_hours=FIRST-LAST, whole
// hours 0-23, both included, at least three of them (default 9-23).
struct ShopHours {
  int first = 9;
  int last = 23;
  bool operator==(const ShopHours&) const = default;
};
bool ParseShopHours(std::string_view text, ShopHours& out);
// The shop hours in effect (set by ApplySettings).
ShopHours CurrentShopHours();

// Puts the settings into effect: endpoints, the [http] bounds and [report] values.
// Returns false and sets `error` when an [http] or [report] value is not valid.
bool ApplySettings(const Settings& settings, std::string& error);

// The settings a program starts with: the file `configOption` (--config) when it is
// not empty, else "kelvora.ini" in `programDir` when that file exists, else the
// built-in values. Only loads; ApplySettings puts them into effect.
bool LoadProgramSettings(const std::string& configOption, const std::string& programDir,
                         Settings& out, std::string& error);

}  // namespace kelvora
