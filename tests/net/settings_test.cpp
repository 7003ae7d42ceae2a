#include "net/settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "net/http.h"
#include "support/fixtures.h"

namespace kelvora {
namespace {

using test::G;

TEST(SettingsTest, EndpointValuesOverrideTheBuiltIns) {
  Settings s;
  std::string error;
  ASSERT_TRUE(ParseSettingsText(
      "; demo settings\r\n"
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
}

TEST(SettingsTest, BadLinesNameFileAndLine) {
  struct Case {
    std::string text, error;
  } cases[] = {
      {"[endpoints]\nSERVICE_BASE=x\nSERVICE_URL=y\n", "k.ini:3: unknown key 'SERVICE_URL' in [endpoints]"},
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
  Settings s;
  std::string error;
  ASSERT_TRUE(ParseSettingsText(
      "[endpoints]\nSEARCH_SITE=http://127.0.0.1:1\n"
      "[http]\nconnect_timeout=5\nstall_timeout= 7\nmax_body=1024\n",
      "h.ini", s, error));
  ASSERT_TRUE(ApplySettings(s, error)) << error;
  EXPECT_EQ(CurrentEndpoints()->SEARCH_SITE, "http://127.0.0.1:1");
  HttpLimits limits = CurrentHttpLimits();
  EXPECT_EQ(limits.connectTimeoutSeconds, 5);
  EXPECT_EQ(limits.stallTimeoutSeconds, 7);
  EXPECT_EQ(limits.maxBodyBytes, 1024u);

  for (const char* bad : {"stall_timeout=soon", "max_body=-1", "connect_timeout=0"}) {
    Settings b;
    b.endpoints.SEARCH_SITE = "http://other";
    ASSERT_TRUE(ParseSettingsText(std::string("[http]\n") + bad + "\n", "b.ini", b, error));
    EXPECT_FALSE(ApplySettings(b, error)) << bad;
    std::string key(bad, std::string(bad).find('='));
    EXPECT_NE(error.find(key), std::string::npos) << error;
    EXPECT_EQ(CurrentEndpoints()->SEARCH_SITE, "http://127.0.0.1:1") << "nothing applied";
    EXPECT_EQ(CurrentHttpLimits().maxBodyBytes, 1024u);
  }
  SetEndpoints(DefaultEndpoints());
  SetHttpLimits(HttpLimits{});
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
  fs::remove_all(dir);
}

}  // namespace
}  // namespace kelvora
