#include "net/settings.h"

#include <atomic>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "net/codec.h"
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

std::string Where(const std::string& fileName, size_t line) {
  return fileName + ":" + std::to_string(line) + ": ";
}

// A whole number >= 1 (blanks around it allowed); false for anything else.
bool ParsePositive(std::string_view text, unsigned long long& value) {
  text = StripSpaces(text);
  if (text.empty() || text.size() > 18) return false;
  unsigned long long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  if (v == 0) return false;
  value = v;
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

}  // namespace

bool ParseShopHours(std::string_view text, ShopHours& out) {
  const size_t dash = text.find('-');
  if (dash == std::string_view::npos) return false;
  ShopHours h;
  if (!ParseHour(text.substr(0, dash), h.first) || !ParseHour(text.substr(dash + 1), h.last))
    return false;
  if (h.last - h.first < 2) return false;
  out = h;
  return true;
}

ShopHours CurrentShopHours() {
  const int v = g_shopHours.load(std::memory_order_acquire);
  return {v / 100, v % 100};
}

bool ParseSettingsText(const std::string& text, const std::string& fileName, Settings& out,
                       std::string& error) {
  Settings result = out;
  std::string_view rest(text);
  // A UTF-8 byte order mark written by some editors.
  if (rest.substr(0, 3) == "\xEF\xBB\xBF") rest.remove_prefix(3);
  std::string section;
  size_t lineNo = 0;
  while (!rest.empty()) {
    ++lineNo;
    size_t nl = rest.find('\n');
    std::string_view line = rest.substr(0, nl);
    rest = nl == std::string_view::npos ? std::string_view{} : rest.substr(nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

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
    std::string_view key = eq == std::string_view::npos ? std::string_view{}
                                                         : StripSpaces(line.substr(0, eq));
    if (key.empty()) {
      error = Where(fileName, lineNo) +
              "expected a [section], NAME=value, a comment or a blank line";
      return false;
    }
    // The value is everything after the first '=', untouched.
    std::string_view value = line.substr(eq + 1);
    if (section == "endpoints") {
      std::string* field = EndpointField(result.endpoints, key);
      if (!field) {
        error = Where(fileName, lineNo) + "unknown key '" + std::string(key) +
                "' in [endpoints]";
        return false;
      }
      *field = Utf8ToGbk(value);
    } else {
      result.sections[section][std::string(key)] = std::string(value);
    }
  }
  out = std::move(result);
  return true;
}

bool LoadSettingsFile(const std::string& path, Settings& out, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": cannot be read";
    return false;
  }
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) {
    error = path + ": cannot be read";
    return false;
  }
  return ParseSettingsText(buffer.str(), path, out, error);
}

bool ApplySettings(const Settings& settings, std::string& error) {
  HttpLimits limits = CurrentHttpLimits();
  auto http = settings.sections.find("http");
  if (http != settings.sections.end()) {
    struct Key {
      const char* name;
      unsigned long long* target;
    };
    unsigned long long connect = static_cast<unsigned long long>(limits.connectTimeoutSeconds);
    unsigned long long stall = static_cast<unsigned long long>(limits.stallTimeoutSeconds);
    unsigned long long body = limits.maxBodyBytes;
    const Key keys[] = {{"connect_timeout", &connect}, {"stall_timeout", &stall},
                        {"max_body", &body}};
    for (const Key& k : keys) {
      auto it = http->second.find(k.name);
      if (it == http->second.end()) continue;
      if (!ParsePositive(it->second, *k.target)) {
        error = std::string("[http] ") + k.name + ": not a positive whole number: '" +
                it->second + "'";
        return false;
      }
    }
    limits.connectTimeoutSeconds = static_cast<long>(connect);
    limits.stallTimeoutSeconds = static_cast<long>(stall);
    limits.maxBodyBytes = static_cast<size_t>(body);
  }
  ShopHours shopHours = CurrentShopHours();
  if (auto report = settings.sections.find("report"); report != settings.sections.end()) {
    if (auto it = report->second.find("shop_hours"); it != report->second.end() &&
                                                     !ParseShopHours(it->second, shopHours)) {
      error = "[report] shop_hours: not FIRST-LAST whole hours 0-23 spanning three hours or more: '" +
              it->second + "'";
      return false;
    }
  }
  SetEndpoints(settings.endpoints);
  SetHttpLimits(limits);
  g_shopHours.store(shopHours.first * 100 + shopHours.last, std::memory_order_release);
  return true;
}

bool LoadProgramSettings(const std::string& configOption, const std::string& programDir,
                         Settings& out, std::string& error) {
  if (!configOption.empty()) return LoadSettingsFile(configOption, out, error);
  std::error_code ec;
  std::filesystem::path local = std::filesystem::path(programDir) / "kelvora.ini";
  if (std::filesystem::is_regular_file(local, ec)) return LoadSettingsFile(local.string(), out, error);
  return true;
}

}  // namespace kelvora
