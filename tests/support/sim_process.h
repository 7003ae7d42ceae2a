#pragma once
// Starts kelvora-sim for a test and stops it at the end.
//
//   kelvora::test::SimProcess sim({"--seed", "7"});
//   ASSERT_TRUE(sim.running());
//   std::string url = sim.baseUrl() + "/item/item.htm?id=...";   // http://127.0.0.1:PORT
//   LoadSettingsFile(sim.configPath(), ...);                        // every endpoint points at the sim
//
//   kelvora::test::SimProcess tls({"--tls"});                        // https://127.0.0.1:PORT
//   curl --cacert tls.caPath() ...                                   // the authority it made up
#include <sys/types.h>
#include <string>
#include <vector>

namespace kelvora::test {

class SimProcess {
 public:
  // Starts KELVORA_BIN_DIR/kelvora-sim --port 0 --write-config <fresh temp dir>/kelvora.ini plus
  // extraArgs, and waits (at most 10 s) for its "listening" line.
  explicit SimProcess(std::vector<std::string> extraArgs = {});
  ~SimProcess();  // SIGTERM, waitpid; removes the temp dir
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  bool running() const;
  int port() const { return port_; }
  std::string baseUrl() const;                      // "http://127.0.0.1:PORT" ("https://..." with --tls)
  bool tls() const { return tls_; }                 // it serves https
  std::string caPath() const;                       // with --tls: the authority it wrote beside the settings file
  std::string configPath() const;                   // the written settings file
  std::string tempDir() const { return tempDir_; }  // scratch dir for the test (removed at the end)

 private:
  pid_t pid_ = -1;
  int outFd_ = -1;
  int port_ = 0;
  mutable bool exited_ = false;
  bool tls_ = false;
  std::string tempDir_;
};

}  // namespace kelvora::test
