#pragma once
// The start-up check that the marketplace answers at all: one ICMP echo.
#include <stop_token>
#include <string>

namespace kelvora {

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

// Probes MARKET_HOST with the start-up time-out. True when the echo did not come
// back (not when stopped first): the seller is to be told the network is poor.
bool MarketUnreachable(std::stop_token stop = {});

}  // namespace kelvora
