#include "net/network_probe.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "net/endpoints.h"

namespace kelvora {
namespace {

// Probing needs a raw ICMP socket or the kernel's ping sockets; without either
// the machine cannot tell us anything about the echo itself.
bool EchoUsable() { return ProbeEcho("127.0.0.1", kProbeTimeoutMs) != ProbeOutcome::NoEchoService; }

TEST(ProbeEcho, LoopbackAnswersByNameAndAddress) {
  if (!EchoUsable()) GTEST_SKIP() << "no ICMP socket available to this process";
  EXPECT_EQ(ProbeEcho("127.0.0.1", kProbeTimeoutMs), ProbeOutcome::Answered);
  EXPECT_EQ(ProbeEcho("localhost", kProbeTimeoutMs), ProbeOutcome::Answered);
  // Several probes in a row each find their own reply.
  for (int i = 0; i < 5; ++i) EXPECT_EQ(ProbeEcho("127.0.0.1", 1000), ProbeOutcome::Answered) << i;
}

TEST(ProbeEcho, NamesThatGiveNoAddressAndStops) {
  EXPECT_EQ(ProbeEcho("", kProbeTimeoutMs), ProbeOutcome::NotResolved);
  EXPECT_EQ(ProbeEcho("256.1.1.1", kProbeTimeoutMs), ProbeOutcome::NotResolved);
  std::stop_source stop;
  stop.request_stop();
  EXPECT_EQ(ProbeEcho("127.0.0.1", kProbeTimeoutMs, stop.get_token()), ProbeOutcome::Stopped);
}

// Without the raw-socket privilege the probe falls back to the kernel's ping
// sockets, which answer only for the groups of net.ipv4.ping_group_range; when
// neither is open to us, the echo cannot be used.
TEST(ProbeEcho, UnprivilegedProcessUsesPingSocketsOrCannotProbe) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become an unprivileged user";
  constexpr gid_t kNobody = 65534;
  long low = 1, high = 0;
  std::ifstream("/proc/sys/net/ipv4/ping_group_range") >> low >> high;
  const ProbeOutcome expected = (low <= static_cast<long>(kNobody) && static_cast<long>(kNobody) <= high)
                                    ? ProbeOutcome::Answered
                                    : ProbeOutcome::NoEchoService;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(100);
    _exit(static_cast<int>(ProbeEcho("127.0.0.1", kProbeTimeoutMs)));
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_NE(WEXITSTATUS(status), 100) << "could not drop privileges";
  EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(expected));
}

TEST(NetworkProbe, MarketUnreachableOnlyWhenTheEchoFails) {
  const Endpoints saved = *CurrentEndpoints();
  Endpoints e = saved;

  e.MARKET_HOST = "127.0.0.1";
  SetEndpoints(e);
  // "Cannot be used" counts as a failed probe.
  EXPECT_EQ(MarketUnreachable(), !EchoUsable());

  e.MARKET_HOST = "";
  SetEndpoints(e);
  EXPECT_TRUE(MarketUnreachable());

  std::stop_source stop;
  stop.request_stop();
  EXPECT_FALSE(MarketUnreachable(stop.get_token()));
  SetEndpoints(saved);
}

}  // namespace
}  // namespace kelvora
