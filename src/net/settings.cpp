#include "net/settings.h"

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "net/codec.h"
#include "net/file_input.h"
#include "net/http.h"

namespace kelvora {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t'; }

std::string_view StripSpaces(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string Where(const std::string& fileName, size_t line) { return fileName + ":" + std::to_string(line) + ": "; }

// A whole number in [low, high], blanks around it allowed; false for anything else.
bool ParseWhole(std::string_view text, unsigned long long low, unsigned long long high, unsigned long long& value) {
  text = StripSpaces(text);
  if (text.empty() || text.size() > 18) return false;
  unsigned long long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  if (v < low || v > high) return false;
  value = v;
  return true;
}

constexpr unsigned long long kMaxSeconds = 86400;
constexpr unsigned long long kMaxRetries = 100;

// Reads one [http] line into `http`; false with `error` set for a bad value.
// Keys of later versions are left alone.
bool ReadHttpKey(std::string_view key, std::string_view value, const std::string& where, const std::string& fileName,
                 HttpSettings& http, std::string& error) {
  struct Number {
    const char* name;
    unsigned long long low, high;
  };
  static const Number numbers[] = {
      {"connect_timeout", 1, kMaxSeconds}, {"stall_timeout", 1, kMaxSeconds}, {"total_timeout", 1, kMaxSeconds},
      {"max_body", 1, kMaxBodyLimit},      {"retries", 0, kMaxRetries},
  };
  if (key == "ca_file") {
    std::string path(StripSpaces(value));
    if (path.empty()) {
      http.caFile.clear();
      return true;
    }
    std::filesystem::path p(path);
    if (p.is_relative()) p = std::filesystem::path(fileName).parent_path() / p;
    http.caFile = p.string();
    http.caFileWhere = where;
    return true;
  }
  for (const Number& n : numbers) {
    if (key != n.name) continue;
    unsigned long long v = 0;
    if (!ParseWhole(value, n.low, n.high, v)) {
      error = where + "[http] " + n.name + " wants a whole number from " + std::to_string(n.low) + " to " +
              std::to_string(n.high) + ", not '" + std::string(value) + "'";
      return false;
    }
    if (key == "connect_timeout")
      http.connectTimeoutSeconds = static_cast<long>(v);
    else if (key == "stall_timeout")
      http.stallTimeoutSeconds = static_cast<long>(v);
    else if (key == "total_timeout")
      http.totalTimeoutSeconds = static_cast<long>(v);
    else if (key == "max_body")
      http.maxBodyBytes = static_cast<size_t>(v);
    else
      http.retries = static_cast<int>(v);
    return true;
  }
  return true;
}

constexpr unsigned long long kMaxKeepDays = 100000;

// Reads one [history] line into `history`; false with `error` set for a bad value.
bool ReadHistoryKey(std::string_view key, std::string_view value, const std::string& where, const std::string& fileName,
                    HistorySettings& history, std::string& error) {
  if (key == "enabled") {
    if (value != "0" && value != "1") {
      error = where + "[history] enabled wants 0 or 1, not '" + std::string(value) + "'";
      return false;
    }
    history.enabled = value == "1";
  } else if (key == "keep_days") {
    unsigned long long v = 0;
    if (!ParseWhole(value, 0, kMaxKeepDays, v)) {
      error = where + "[history] keep_days wants a whole number from 0 to " + std::to_string(kMaxKeepDays) + ", not '" +
              std::string(value) + "'";
      return false;
    }
    history.keepDays = static_cast<int>(v);
  } else if (key == "file") {
    if (value.empty()) {
      history.file.clear();
      return true;
    }
    std::filesystem::path p{std::string(value)};
    if (p.is_relative()) p = std::filesystem::path(fileName).parent_path() / p;
    history.file = p.string();
  }
  return true;
}

// first * 100 + last, one value so that a reader never sees half a change.
std::atomic<int> g_shopHours{9 * 100 + 23};

bool ParseHour(std::string_view text, int& hour) {
  text = StripSpaces(text);
  if (text.empty() || text.size() > 2) return false;
  hour = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    hour = hour * 10 + (c - '0');
  }
  return hour <= 23;
}

// The keys of our own sections; any other key there is a typo worth saying so.
const std::set<std::string_view>* OwnSectionKeys(const std::string& section) {
  static const std::set<std::string_view> http{"connect_timeout", "stall_timeout", "total_timeout",
                                               "max_body",        "retries",       "ca_file"};
  static const std::set<std::string_view> report{"shop_hours"};
  static const std::set<std::string_view> history{"enabled", "file", "keep_days"};
  if (section == "http") return &http;
  if (section == "report") return &report;
  if (section == "history") return &history;
  return nullptr;
}

// The endpoints that are host names or texts found in pages; every other one is an
// address the program requests or opens.
bool IsAddressEndpoint(std::string_view name) {
  return name != "MARKET_HOST" && name != "MARKET_DOMAIN_SUFFIX" && name != "TMALL_TITLE_SUFFIX" &&
         name != "TMALL_LINK_MARKER" && name != "MARKET_COOKIE_DOMAINS";
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  return true;
}

}  // namespace

bool ParseShopHours(std::string_view text, ShopHours& out) {
  const size_t dash = text.find('-');
  if (dash == std::string_view::npos) return false;
  ShopHours h;
  if (!ParseHour(text.substr(0, dash), h.first) || !ParseHour(text.substr(dash + 1), h.last)) return false;
  if (h.last - h.first < 2) return false;
  out = h;
  return true;
}

ShopHours CurrentShopHours() {
  const int v = g_shopHours.load(std::memory_order_acquire);
  return {v / 100, v % 100};
}

bool ParseSettingsText(const std::string& text, const std::string& fileName, Settings& out, std::string& error) {
  Settings result = out;
  std::string_view rest(text);
  // A UTF-8 byte order mark written by some editors.
  if (rest.substr(0, 3) == "\xEF\xBB\xBF") rest.remove_prefix(3);
  std::string section;
  size_t lineNo = 0;
  while (!rest.empty()) {
    ++lineNo;
    // Lines end at LF, CR LF or a lone CR.
    const size_t nl = rest.find_first_of("\r\n");
    std::string_view line = rest.substr(0, nl);
    size_t next = nl == std::string_view::npos ? rest.size() : nl + 1;
    if (nl != std::string_view::npos && rest[nl] == '\r' && nl + 1 < rest.size() && rest[nl + 1] == '\n') ++next;
    rest.remove_prefix(next);

    std::string_view stripped = StripSpaces(line);
    if (stripped.empty() || stripped.front() == ';' || stripped.front() == '#') continue;
    if (stripped.front() == '[') {
      if (stripped.back() != ']' || stripped.size() < 3) {
        error = Where(fileName, lineNo) + "malformed section header";
        return false;
      }
      section = Lower(StripSpaces(stripped.substr(1, stripped.size() - 2)));
      if (section.empty()) {
        error = Where(fileName, lineNo) + "malformed section header";
        return false;
      }
      continue;
    }
    size_t eq = line.find('=');
    std::string_view key = eq == std::string_view::npos ? std::string_view{} : StripSpaces(line.substr(0, eq));
    if (key.empty()) {
      error = Where(fileName, lineNo) + "expected a [section], NAME=value, a comment or a blank line";
      return false;
    }
    // The value is everything after the first '=', untouched.
    std::string_view value = line.substr(eq + 1);
    if (section == "endpoints") {
      std::string* field = EndpointField(result.endpoints, key);
      if (!field) {
        error = Where(fileName, lineNo) + "unknown key '" + std::string(key) + "' in [endpoints]";
        return false;
      }
      // Requests trim their addresses, so blanks around one are no reason to refuse it.
      const std::string_view address = StripSpaces(value);
      if (IsAddressEndpoint(key) && !StartsWithNoCase(address, "http://") && !StartsWithNoCase(address, "https://")) {
        error = Where(fileName, lineNo) + std::string(key) + " must be an http:// or https:// address, not '" +
                std::string(value) + "'";
        return false;
      }
      *field = Utf8ToGbk(value);
    } else {
      if (const auto* keys = OwnSectionKeys(section)) {
        if (!keys->count(key)) {
          error = Where(fileName, lineNo) + "unknown key '" + std::string(key) + "' in [" + section + "]";
          return false;
        }
        if (!value.empty() &&
            (value.front() == ' ' || value.front() == '\t' || value.back() == ' ' || value.back() == '\t')) {
          error = Where(fileName, lineNo) + "[" + section + "] " + std::string(key) +
                  ": the value has a leading or trailing blank: '" + std::string(value) + "'";
          return false;
        }
      }
      if (section == "http" && !ReadHttpKey(key, value, Where(fileName, lineNo), fileName, result.http, error))
        return false;
      if (section == "history" && !ReadHistoryKey(key, value, Where(fileName, lineNo), fileName, result.history, error))
        return false;
      result.sections[section][std::string(key)] = std::string(value);
    }
  }
  out = std::move(result);
  return true;
}

bool LoadSettingsFile(const std::string& path, Settings& out, std::string& error) {
  std::string text;
  const FileReadResult read = ReadInputFile(path, kSmallFileLimit, text);
  if (!read.ok()) {
    error = read.error;
    return false;
  }
  return ParseSettingsText(text, path, out, error);
}

bool ApplySettings(const Settings& settings, std::string& error) {
  HttpLimits limits;
  const HttpSettings& http = settings.http;
  if (http.connectTimeoutSeconds) limits.connectTimeoutSeconds = *http.connectTimeoutSeconds;
  if (http.stallTimeoutSeconds) limits.stallTimeoutSeconds = *http.stallTimeoutSeconds;
  if (http.totalTimeoutSeconds) limits.totalTimeoutSeconds = *http.totalTimeoutSeconds;
  if (http.maxBodyBytes) limits.maxBodyBytes = *http.maxBodyBytes;
  if (http.retries) limits.retries = *http.retries;
  if (!http.caFile.empty()) {
    std::string pem;
    const FileReadResult read = ReadInputFile(http.caFile, kSmallFileLimit, pem);
    if (!read.ok()) {
      error = http.caFileWhere + "[http] ca_file: " + read.error;
      return false;
    }
    if (pem.find("-----BEGIN CERTIFICATE-----") == std::string::npos) {
      error = http.caFileWhere + "[http] ca_file: " + http.caFile + ": holds no PEM certificate";
      return false;
    }
    limits.caBundle = std::make_shared<const std::string>(CaBundleWith(pem));
  }
  ShopHours shopHours = CurrentShopHours();
  if (auto report = settings.sections.find("report"); report != settings.sections.end()) {
    if (auto it = report->second.find("shop_hours");
        it != report->second.end() && !ParseShopHours(it->second, shopHours)) {
      error = "[report] shop_hours: not FIRST-LAST whole hours 0-23 spanning three hours or more: '" + it->second + "'";
      return false;
    }
  }
  SetEndpoints(settings.endpoints);
  SetHttpLimits(limits);
  g_shopHours.store(shopHours.first * 100 + shopHours.last, std::memory_order_release);
  return true;
}

std::string DefaultHistoryPath() {
  const char* data = std::getenv("XDG_DATA_HOME");
  std::filesystem::path base;
  if (data && *data == '/') {
    base = data;
  } else {
    const char* home = std::getenv("HOME");
    base = std::filesystem::path(home && *home ? home : ".") / ".local" / "share";
  }
  return (base / "kelvora" / "history.sqlite3").string();
}

bool LoadProgramSettings(const std::string& configOption, const std::string& programDir, Settings& out,
                         std::string& error) {
  if (!configOption.empty()) return LoadSettingsFile(configOption, out, error);
  std::error_code ec;
  std::filesystem::path local = std::filesystem::path(programDir) / "kelvora.ini";
  if (!std::filesystem::exists(local, ec)) return true;
  return LoadSettingsFile(local.string(), out, error);
}

}  // namespace kelvora
