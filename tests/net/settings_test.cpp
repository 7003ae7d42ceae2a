#include "net/settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "net/http.h"
#include "support/client_state.h"
#include "support/fixtures.h"

namespace kelvora {
namespace {

using test::G;

TEST(SettingsTest, EndpointValuesOverrideTheBuiltIns) {
  Settings s;
  std::string error;
  ASSERT_TRUE(
      ParseSettingsText("; demo settings\r\n"
                        "# written by hand\n"
                        "\n"
                        "   \n"
                        "[endpoints]\n"
                        "SERVICE_BASE=http://127.0.0.1:9000/\r\n"
                        "LIST_SITE= http://list.example?x=1&y=2 \n"
                        "TMALL_TITLE_SUFFIX=-tmall.com天猫\n"
                        "  BANG_SITE = http://bang\n"
                        "MARKET_HOST=\n"
                        "[ui]\n"
                        "theme = dark = yes\r\n",
                        "a.ini", s, error))
      << error;
  EXPECT_EQ(s.endpoints.SERVICE_BASE, "http://127.0.0.1:9000/");
  // Only the trailing CR goes: blanks and '=' in the value stay.
  EXPECT_EQ(s.endpoints.LIST_SITE, " http://list.example?x=1&y=2 ");
  EXPECT_EQ(s.endpoints.TMALL_TITLE_SUFFIX, "-tmall.com" + G("天猫"));
  EXPECT_EQ(s.endpoints.BANG_SITE, " http://bang");
  EXPECT_EQ(s.endpoints.MARKET_HOST, "");
  EXPECT_EQ(s.endpoints.SEARCH_SITE, DefaultEndpoints().SEARCH_SITE);
  EXPECT_EQ(s.sections["ui"]["theme"], " dark = yes");

  // A file whose lines end with a lone CR is read line by line.
  Settings cr;
  ASSERT_TRUE(
      ParseSettingsText("[endpoints]\rSERVICE_BASE=http://cr/\r\rCART_SITE=HTTPS://cart\r", "cr.ini", cr, error))
      << error;
  EXPECT_EQ(cr.endpoints.SERVICE_BASE, "http://cr/");
  EXPECT_EQ(cr.endpoints.CART_SITE, "HTTPS://cart");
}

TEST(SettingsTest, BadLinesNameFileAndLine) {
  struct Case {
    std::string text, error;
  } cases[] = {
      {"[endpoints]\nSERVICE_BASE=http://x\nSERVICE_URL=y\n", "k.ini:3: unknown key 'SERVICE_URL' in [endpoints]"},
      // An address the program would request or open must be a web address.
      {"[endpoints]\nSERVICE_BASE=file:///etc/\n",
       "k.ini:2: SERVICE_BASE must be an http:// or https:// address, not 'file:///etc/'"},
      {"[endpoints]\nLIST_SITE=gopher://x\n",
       "k.ini:2: LIST_SITE must be an http:// or https:// address, not 'gopher://x'"},
      // Our own sections know their keys, and take values exactly as written.
      {"[http]\nretires=2\n", "k.ini:2: unknown key 'retires' in [http]"},
      {"[HTTP]\rretries=1\rretires=2\r", "k.ini:3: unknown key 'retires' in [http]"},  // lone CR line ends
      {"[report]\nshop_hours= 9-23\n",
       "k.ini:2: [report] shop_hours: the value has a leading or trailing blank: ' 9-23'"},
      {"[history]\nenabled=1\t\n", "k.ini:2: [history] enabled: the value has a leading or trailing blank: '1\t'"},
      {"[history]\nkeep=3\n", "k.ini:2: unknown key 'keep' in [history]"},
      {"[endpoints]\nservice_base=x\n", "k.ini:2: unknown key 'service_base' in [endpoints]"},
      {"; c\n\njust words\n", "k.ini:3: expected a [section], NAME=value, a comment or a blank line"},
      {"[endpoints]\r\n=x\r\n", "k.ini:2: expected a [section], NAME=value, a comment or a blank line"},
      {"[endpoints\n", "k.ini:1: malformed section header"},
  };
  for (const Case& c : cases) {
    Settings s;
    s.endpoints.SERVICE_BASE = "kept";
    std::string error;
    EXPECT_FALSE(ParseSettingsText(c.text, "k.ini", s, error)) << c.text;
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(s.endpoints.SERVICE_BASE, "kept") << "a bad file changes nothing";
  }
}

TEST(SettingsTest, HttpBoundsAndEndpointsTakeEffect) {
  test::ClientStateGuard restore;
  Settings s;
  std::string error;
  ASSERT_TRUE(
      ParseSettingsText("[endpoints]\nSEARCH_SITE=http://127.0.0.1:1\nMARKET_COOKIE_DOMAINS=.tmall.com,.tmall.hk\n"
                        "[http]\nconnect_timeout=5\nstall_timeout=7\ntotal_timeout=9\nmax_body=1073741824\nretries=0\n",
                        "h.ini", s, error))
      << error;
  ASSERT_TRUE(ApplySettings(s, error)) << error;
  EXPECT_EQ(CurrentEndpoints()->SEARCH_SITE, "http://127.0.0.1:1");
  EXPECT_EQ(CurrentEndpoints()->MARKET_COOKIE_DOMAINS, ".tmall.com,.tmall.hk");
  HttpLimits limits = CurrentHttpLimits();
  EXPECT_EQ(limits.connectTimeoutSeconds, 5);
  EXPECT_EQ(limits.stallTimeoutSeconds, 7);
  EXPECT_EQ(limits.totalTimeoutSeconds, 9);
  EXPECT_EQ(limits.maxBodyBytes, kMaxBodyLimit);
  EXPECT_EQ(limits.retries, 0);
  EXPECT_EQ(limits.caBundle, nullptr);

  // Keys a file does not set keep the built-in bounds.
  Settings defaults;
  ASSERT_TRUE(ParseSettingsText("[http]\nretries=2\n", "d.ini", defaults, error));
  ASSERT_TRUE(ApplySettings(defaults, error));
  EXPECT_EQ(CurrentHttpLimits().retries, 2);
  EXPECT_EQ(CurrentHttpLimits().totalTimeoutSeconds, 120);
  EXPECT_EQ(CurrentHttpLimits().maxBodyBytes, size_t{64} << 20);

  // A value that is not a whole number in range names the file and line.
  for (const char* bad : {"stall_timeout=soon", "max_body=-1", "connect_timeout=0", "total_timeout=0",
                          "max_body=1073741825", "retries=-1", "retries=1.5", "total_timeout=99999999"}) {
    Settings b;
    b.endpoints.SEARCH_SITE = "http://other";
    EXPECT_FALSE(ParseSettingsText(std::string("[endpoints]\n[http]\n") + bad + "\n", "b.ini", b, error)) << bad;
    const std::string key(bad, std::string(bad).find('='));
    EXPECT_EQ(error.rfind("b.ini:3: [http] " + key + " wants a whole number", 0), 0u) << error;
    EXPECT_EQ(b.endpoints.SEARCH_SITE, "http://other") << "a bad file changes nothing";
  }
}

TEST(SettingsTest, CaFileIsReadBesideTheSettingsFile) {
  test::ClientStateGuard restore;
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("kelvora-ca-" + std::to_string(::getpid()));
  fs::create_directories(dir / "sub");
  const std::string pem = "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n";
  std::ofstream(dir / "sub" / "extra.pem") << pem;
  std::ofstream(dir / "sub" / "junk.pem") << "not a certificate\n";
  std::ofstream(dir / "ok.ini") << "[http]\nca_file=sub/extra.pem\n";
  std::ofstream(dir / "missing.ini") << "\n[http]\nca_file=sub/none.pem\n";
  std::ofstream(dir / "folder.ini") << "[http]\nca_file=sub\n";
  std::ofstream(dir / "junk.ini") << "[http]\nca_file=sub/junk.pem\n";
  std::string error;
  Settings ok;
  ASSERT_TRUE(LoadSettingsFile((dir / "ok.ini").string(), ok, error)) << error;
  ASSERT_TRUE(ApplySettings(ok, error)) << error;
  ASSERT_NE(CurrentHttpLimits().caBundle, nullptr);
  const std::string& bundle = *CurrentHttpLimits().caBundle;
  EXPECT_EQ(bundle.substr(bundle.size() - pem.size()), pem);

  struct Case {
    const char* file;
    std::string error;
  } cases[] = {
      {"missing.ini", ":3: [http] ca_file: " + (dir / "sub" / "none.pem").string() + ": no such file"},
      {"folder.ini", ":2: [http] ca_file: " + (dir / "sub").string() + ": is a folder, not a regular file"},
      {"junk.ini", ":2: [http] ca_file: " + (dir / "sub" / "junk.pem").string() + ": holds no PEM certificate"},
  };
  for (const Case& c : cases) {
    Settings s;
    ASSERT_TRUE(LoadSettingsFile((dir / c.file).string(), s, error)) << error;
    EXPECT_FALSE(ApplySettings(s, error)) << c.file;
    EXPECT_EQ(error, (dir / c.file).string() + c.error);
  }
  fs::remove_all(dir);
}

TEST(SettingsTest, ShopHoursOfTheReport) {
  struct Case {
    std::string text;
    bool ok;
    ShopHours hours;
  } cases[] = {
      {"9-23", true, {9, 23}}, {" 20 - 23 ", true, {20, 23}}, {"0-2", true, {0, 2}}, {"21-23", true, {21, 23}},
      {"22-23", false, {}},    {"9-24", false, {}},           {"23-9", false, {}},   {"9", false, {}},
      {"a-b", false, {}},      {"-1-5", false, {}},           {"", false, {}},
  };
  for (const Case& c : cases) {
    ShopHours h{1, 4};
    EXPECT_EQ(ParseShopHours(c.text, h), c.ok) << c.text;
    EXPECT_EQ(h, (c.ok ? c.hours : ShopHours{1, 4})) << c.text;
  }

  ASSERT_EQ(CurrentShopHours(), (ShopHours{9, 23}));
  Settings s;
  std::string error;
  ASSERT_TRUE(ParseSettingsText("[report]\nshop_hours=19-23\n", "r.ini", s, error)) << error;
  ASSERT_TRUE(ApplySettings(s, error)) << error;
  EXPECT_EQ(CurrentShopHours(), (ShopHours{19, 23}));
  ASSERT_TRUE(ParseSettingsText("[report]\nshop_hours=late\n", "r.ini", s, error));
  EXPECT_FALSE(ApplySettings(s, error));
  EXPECT_EQ(error, "[report] shop_hours: not FIRST-LAST whole hours 0-23 spanning three hours or more: 'late'");
  EXPECT_EQ(CurrentShopHours(), (ShopHours{19, 23})) << "a refused file changes nothing";
  ASSERT_TRUE(ApplySettings(Settings{}, error));
  EXPECT_EQ(CurrentShopHours(), (ShopHours{19, 23})) << "a file without the key keeps the value";
  s.sections["report"]["shop_hours"] = "9-23";
  ASSERT_TRUE(ApplySettings(s, error));
}

TEST(SettingsTest, ProgramSettingsComeFromOptionThenProgramDirectory) {
  namespace fs = std::filesystem;
  fs::path dir = fs::temp_directory_path() / ("kelvora-settings-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "kelvora.ini") << "[endpoints]\nCART_SITE=http://local\n";
  std::ofstream(dir / "other.ini") << "[endpoints]\nCART_SITE=http://option\n";
  std::string error;

  Settings fromDir;
  ASSERT_TRUE(LoadProgramSettings("", dir.string(), fromDir, error)) << error;
  EXPECT_EQ(fromDir.endpoints.CART_SITE, "http://local");

  Settings fromOption;
  ASSERT_TRUE(LoadProgramSettings((dir / "other.ini").string(), dir.string(), fromOption, error));
  EXPECT_EQ(fromOption.endpoints.CART_SITE, "http://option");

  Settings builtIn;
  ASSERT_TRUE(LoadProgramSettings("", (dir / "none").string(), builtIn, error));
  EXPECT_EQ(builtIn.endpoints.CART_SITE, DefaultEndpoints().CART_SITE);

  Settings missing;
  std::string missingPath = (dir / "missing.ini").string();
  EXPECT_FALSE(LoadProgramSettings(missingPath, dir.string(), missing, error));
  EXPECT_EQ(error.rfind(missingPath + ":", 0), 0u) << error;

  // What is not a regular file, or is over 16 MiB, is refused with its name.
  fs::create_directories(dir / "folder");
  fs::path big = dir / "big.ini";
  std::ofstream(big) << "[endpoints]\n";
  fs::resize_file(big, (size_t{16} << 20) + 1);
  struct Refusal {
    std::string path, message;
  } refusals[] = {
      {(dir / "folder").string(), "is a folder, not a regular file"},
      {"/dev/zero", "is a device, not a regular file"},
      {big.string(), "larger than 16 MiB"},
  };
  for (const Refusal& r : refusals) {
    Settings s;
    EXPECT_FALSE(LoadProgramSettings(r.path, dir.string(), s, error)) << r.path;
    EXPECT_EQ(error, r.path + ": " + r.message);
  }
  // kelvora.ini beside the program is read when it exists, so a folder of that
  // name is an error rather than silently no settings.
  fs::remove(dir / "kelvora.ini");
  fs::create_directories(dir / "kelvora.ini");
  Settings beside;
  EXPECT_FALSE(LoadProgramSettings("", dir.string(), beside, error));
  EXPECT_EQ(error, (dir / "kelvora.ini").string() + ": is a folder, not a regular file");
  fs::remove_all(dir);
}

}  // namespace
}  // namespace kelvora
