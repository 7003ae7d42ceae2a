#pragma once
// The INI settings file shared by the three programs.
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "net/endpoints.h"

namespace kelvora {

// The [http] section, checked as it is read. A key that is not set keeps the
// built-in bound.
struct HttpSettings {
  std::optional<long> connectTimeoutSeconds;
  std::optional<long> stallTimeoutSeconds;
  std::optional<long> totalTimeoutSeconds;
  std::optional<size_t> maxBodyBytes;
  std::optional<int> retries;
  std::string caFile;       // a relative path is taken from the settings file's folder
  std::string caFileWhere;  // "FILE:LINE: " of the ca_file line, for a later message
};

// The [history] section, checked as it is read.
struct HistorySettings {
  std::optional<bool> enabled;  // unset: the program's own default
  std::string file;             // empty: DefaultHistoryPath(); a relative path is taken from the settings file's folder
  int keepDays = 0;             // 0 keeps every run
};

// $XDG_DATA_HOME/kelvora/history.sqlite3, with ~/.local/share where XDG_DATA_HOME is unset.
std::string DefaultHistoryPath();

struct Settings {
  Endpoints endpoints = DefaultEndpoints();
  HttpSettings http;
  HistorySettings history;
  // Every other section, raw UTF-8 values: sections["http"]["connect_timeout"].
  std::map<std::string, std::map<std::string, std::string>> sections;
};

// Parses `path` over `out` (which keeps its values for keys the file does not set).
// Returns false and sets `error` to "FILE:LINE: message" for a bad file, and to
// "FILE: message" for one that is not a regular file or is over 16 MiB.
bool LoadSettingsFile(const std::string& path, Settings& out, std::string& error);
bool ParseSettingsText(const std::string& text, const std::string& fileName, Settings& out, std::string& error);

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
// Returns false and sets `error` when the ca_file cannot be read (naming the file
// and line) or a [report] value is not valid.
bool ApplySettings(const Settings& settings, std::string& error);

// The settings a program starts with: the file `configOption` (--config) when it is
// not empty, else "kelvora.ini" in `programDir` when that file exists, else the
// built-in values. Only loads; ApplySettings puts them into effect. A kelvora.ini
// that exists but is not a regular file is an error, not a missing file.
bool LoadProgramSettings(const std::string& configOption, const std::string& programDir, Settings& out,
                         std::string& error);

}  // namespace kelvora
