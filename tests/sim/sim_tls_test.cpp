// kelvora-sim --tls: https that a client trusting the authority it wrote accepts,
// the same rows for kelvora-cli as over plain http, and the connection of each
// request in the log.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "certificate.h"
#include "support/fixtures.h"
#include "support/sim_process.h"

namespace kelvora::test {
namespace {

const char* kMarketCookie = "cookie2=kelvorademo0000; _tb_token_=kelvora; t=kelvorademo";

std::string Quote(const std::string& arg) {
  std::string q = "'";
  for (char c : arg) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Runs a command line made of `args`, stdout into `out`; returns its exit status.
int RunCommand(const std::vector<std::string>& args, const std::string& out) {
  std::string line;
  for (const std::string& a : args) line += Quote(a) + " ";
  line += "> " + Quote(out) + " 2>&1";
  const int status = std::system(line.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t p = 0; (p = text.find(from, p)) != std::string::npos; p += to.size()) text.replace(p, from.size(), to);
  return text;
}

// A directory of the test's own, removed at the end.
struct TempDir {
  TempDir() {
    char pattern[] = "/tmp/kelvora-simtls-XXXXXX";
    if (::mkdtemp(pattern)) path = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
  std::string path;
};

TEST(SimTls, CurlTrustingTheWrittenAuthorityGetsItemPagesOnOneConnection) {
  TempDir logDir;
  ASSERT_FALSE(logDir.path.empty());
  const std::string log = logDir.path + "/requests.jsonl";
  SimProcess sim({"--tls", "--seed", "3", "--items", "60", "--log", log});
  ASSERT_TRUE(sim.running());
  ASSERT_TRUE(sim.tls());
  const std::string settings = ReadFile(sim.configPath());
  EXPECT_NE(settings.find("SERVICE_BASE=" + sim.baseUrl() + "/service/\n"), std::string::npos) << settings;
  EXPECT_NE(settings.find("\n[http]\nca_file=" + sim.caPath() + "\n"), std::string::npos) << settings;
  ASSERT_NE(ReadFile(sim.caPath()).find("-----BEGIN CERTIFICATE-----"), std::string::npos);

  // Ids of a Taobao and a Tmall item, from the truth over https.
  const std::string dir = sim.tempDir();
  ASSERT_EQ(RunCommand({"curl", "-sS", "--cacert", sim.caPath(), sim.baseUrl() + "/sim/catalogue.json?limit=60", "-o",
                        dir + "/catalogue.json"},
                       dir + "/curl.txt"),
            0)
      << ReadFile(dir + "/curl.txt");
  const std::string catalogue = ReadFile(dir + "/catalogue.json");
  std::smatch taobao, tmall;
  ASSERT_TRUE(std::regex_search(catalogue, taobao, std::regex(R"re(\{"id":"(\d+)","kind":"taobao")re")));
  ASSERT_TRUE(std::regex_search(catalogue, tmall, std::regex(R"re(\{"id":"(\d+)","kind":"tmall")re")));

  // Two item pages in one curl run: one connection, HTTP/1.1 although curl offers h2.
  const std::string page = dir + "/page.html", page2 = dir + "/page2.html";
  ASSERT_EQ(RunCommand({"curl", "-sS", "--cacert", sim.caPath(), "-H", std::string("Cookie: ") + kMarketCookie, "-w",
                        "%{http_version} %{http_code}\\n", sim.baseUrl() + "/item/item.htm?id=" + taobao[1].str(), "-o",
                        page, sim.baseUrl() + "/detail/item.htm?id=" + tmall[1].str(), "-o", page2},
                       dir + "/curl.txt"),
            0)
      << ReadFile(dir + "/curl.txt");
  EXPECT_EQ(ReadFile(dir + "/curl.txt"), "1.1 200\n1.1 200\n");
  const std::string body = ReadFile(page);
  EXPECT_NE(body.find("<input type=\"hidden\" name=\"item_id\" value=\"" + taobao[1].str() + "\">"), std::string::npos);
  // With https the page's own addresses are https too: "//" would be read as http.
  EXPECT_NE(body.find("sibUrl           : '" + sim.baseUrl() + "/detailskip/"), std::string::npos);
  EXPECT_GE(body.size(), 100u * 1024);
  EXPECT_NE(ReadFile(page2).find("\"initApi\":\"" + sim.baseUrl() + "/mdskip/"), std::string::npos);

  // Without the authority the certificate is refused (curl's 60); that connection
  // carries no request. The next run opens a third connection.
  EXPECT_EQ(RunCommand({"curl", "-sS", sim.baseUrl() + "/sim/info.json"}, dir + "/curl.txt"), 60)
      << ReadFile(dir + "/curl.txt");
  ASSERT_EQ(RunCommand({"curl", "-sS", "--cacert", sim.caPath(), sim.baseUrl() + "/sim/info.json"}, dir + "/curl.txt"),
            0);

  std::vector<std::string> connections;
  for (const std::string& line : Lines(ReadFile(log))) {
    std::smatch m;
    if (std::regex_search(line, m, std::regex(R"re("conn":(\d+)\}$)re"))) connections.push_back(m[1]);
  }
  EXPECT_EQ(connections, (std::vector<std::string>{"1", "2", "2", "4"}));
}

TEST(SimTls, ServesGivenCertificateFilesAndRefusesAKeyOfAnotherCertificate) {
  const sim::Certificates mine = sim::MakeLoopbackCertificates(), other = sim::MakeLoopbackCertificates();
  ASSERT_TRUE(mine.ok() && other.ok());
  TempDir dir;
  const std::string cert = dir.path + "/server.pem", key = dir.path + "/server.key", otherKey = dir.path + "/other.key",
                    ca = dir.path + "/ca.pem";
  WriteFile(cert, mine.serverCertPem);
  WriteFile(key, mine.serverKeyPem);
  WriteFile(otherKey, other.serverKeyPem);
  WriteFile(ca, mine.caPem);

  {
    SimProcess sim({"--tls-cert", cert, "--tls-key", key});
    ASSERT_TRUE(sim.running());
    ASSERT_TRUE(sim.tls());
    EXPECT_NE(ReadFile(sim.configPath()).find("\n[http]\nca_file=" + cert + "\n"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(sim.caPath()));  // no authority of its own
    EXPECT_EQ(RunCommand({"curl", "-sS", "--cacert", ca, sim.baseUrl() + "/sim/info.json"}, dir.path + "/curl.txt"), 0)
        << ReadFile(dir.path + "/curl.txt");
  }
  // A key that does not belong to the certificate, or a missing file: no start.
  for (const std::string& badKey : {otherKey, dir.path + "/missing.key"}) {
    const std::string sim = std::string(KELVORA_BIN_DIR) + "/kelvora-sim";
    EXPECT_EQ(RunCommand({sim, "--tls-cert", cert, "--tls-key", badKey}, dir.path + "/sim.txt"), 1) << badKey;
    EXPECT_NE(ReadFile(dir.path + "/sim.txt").find(badKey), std::string::npos) << ReadFile(dir.path + "/sim.txt");
  }
  EXPECT_EQ(RunCommand({std::string(KELVORA_BIN_DIR) + "/kelvora-sim", "--tls-cert", cert}, dir.path + "/sim.txt"), 2);
}

TEST(SimTls, CliRowsOverHttpsEqualThoseOverHttp) {
  const std::vector<std::string> common = {"--seed", "3", "--items", "120", "--now", "2018-10-20 12:00:00"};
  SimProcess plain(common);
  std::vector<std::string> tlsArgs = common;
  tlsArgs.push_back("--tls");
  SimProcess tls(tlsArgs);
  ASSERT_TRUE(plain.running() && tls.running());

  // One item of every kind; their addresses by the plain simulator's truth.
  httplib::Client client("127.0.0.1", plain.port());
  auto catalogue = client.Get("/sim/catalogue.json?limit=120");
  ASSERT_TRUE(catalogue);
  std::vector<std::string> addresses;
  for (const char* kind : {"taobao", "tmall", "removed", "unsupported", "alt"}) {
    std::smatch m;
    ASSERT_TRUE(std::regex_search(catalogue->body, m,
                                  std::regex("\\{\"id\":\"(\\d+)\",\"kind\":\"" + std::string(kind) + "\"")))
        << kind;
    auto truth = client.Get(("/sim/item/" + m[1].str() + ".json").c_str());
    ASSERT_TRUE(truth);
    std::smatch url;
    ASSERT_TRUE(std::regex_search(truth->body, url, std::regex(R"re("url":"([^"]+)")re")));
    addresses.push_back(url[1]);
  }

  auto rows = [&](const SimProcess& sim) {
    std::vector<std::string> args = {std::string(KELVORA_BIN_DIR) + "/kelvora-cli",
                                     "--config",
                                     sim.configPath(),
                                     "--login",
                                     "demo:demo123",
                                     "--market-cookie",
                                     kMarketCookie,
                                     "--now",
                                     "2018-10-20 14:00:00",
                                     "--delay",
                                     "0",
                                     "--format",
                                     "jsonl",
                                     "--quiet",
                                     "--monitor",
                                     sim.tempDir() + "/none.txt",
                                     "item"};
    for (const std::string& a : addresses) args.push_back(Replace(a, plain.baseUrl(), sim.baseUrl()));
    const std::string out = sim.tempDir() + "/rows.jsonl";
    EXPECT_EQ(RunCommand(args, out), 0) << ReadFile(out);
    return Replace(ReadFile(out), sim.baseUrl(), "BASE");
  };
  const std::string overHttp = rows(plain), overHttps = rows(tls);
  ASSERT_EQ(Lines(overHttp).size(), addresses.size()) << overHttp;
  EXPECT_EQ(overHttps, overHttp);
  // The rows are whole: the Taobao and Tmall items got their times from the lookup.
  for (size_t i : {0, 1}) EXPECT_EQ(Lines(overHttp)[i].find("无时间"), std::string::npos) << Lines(overHttp)[i];
}

}  // namespace
}  // namespace kelvora::test
