#pragma once
// The start-up check that the marketplace answers at all: one ICMP echo.
#include <stop_token>
#include <string>

#include "app/host.h"

namespace kelvora {

// "您的网络质量不好或者不通畅\r\n请稍后再试" (GBK).
inline constexpr const char* NETWORK_PROBE_MESSAGE =
    "\xc4\xfa\xb5\xc4\xcd\xf8\xc2\xe7\xd6\xca\xc1\xbf\xb2\xbb\xba\xc3\xbb\xf2\xd5\xdf\xb2\xbb\xcd\xa8"
    "\xb3\xa9\r\n\xc7\xeb\xc9\xd4\xba\xf3\xd4\xd9\xca\xd4";
inline constexpr int kProbeTimeoutMs = 1000;

enum class ProbeOutcome {
  Answered,       // an echo reply came back in time
  NotResolved,    // the host name gave no address
  NoEchoService,  // neither a raw nor an unprivileged ICMP socket could be opened
  NoAnswer,       // sent (or not sendable), but no reply in time
  Stopped,        // the caller asked to stop first
};

// Resolves `hostName` and sends one ICMP echo request, waiting at most `timeoutMs`
// for the reply. Uses a raw socket when the process may, else an unprivileged ICMP
// datagram socket. Never throws.
ProbeOutcome ProbeEcho(const std::string& hostName, int timeoutMs, std::stop_token stop = {});

// Probes MARKET_HOST with the start-up time-out; tells the user through
// host.message when the echo did not come back (not when stopped).
void NetworkProbe(Host& host, std::stop_token stop = {});

}  // namespace kelvora
