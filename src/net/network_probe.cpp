#include "net/network_probe.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "net/endpoints.h"

namespace kelvora {

namespace {

using Clock = std::chrono::steady_clock;

// A name lookup can hang for many seconds on a broken resolver; it runs on a
// thread of its own so that the probe can give up (or be stopped) without it.
constexpr auto kResolveLimit = std::chrono::seconds(10);

struct Resolution {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  bool found = false;
  sockaddr_storage address{};
  socklen_t length = 0;
};

bool Resolve(const std::string& hostName, std::stop_token stop, sockaddr_storage& address, socklen_t& length) {
  auto state = std::make_shared<Resolution>();
  try {
    std::thread([state, hostName] {
      addrinfo hints{};
      hints.ai_family = AF_UNSPEC;
      hints.ai_socktype = SOCK_DGRAM;
      addrinfo* list = nullptr;
      const bool ok = getaddrinfo(hostName.c_str(), nullptr, &hints, &list) == 0 && list;
      std::lock_guard lock(state->mutex);
      if (ok) {
        // IPv4 first: the marketplace has always answered echo there.
        const addrinfo* pick = list;
        for (const addrinfo* a = list; a; a = a->ai_next)
          if (a->ai_family == AF_INET) {
            pick = a;
            break;
          }
        if ((pick->ai_family == AF_INET || pick->ai_family == AF_INET6) && pick->ai_addrlen <= sizeof(state->address)) {
          std::memcpy(&state->address, pick->ai_addr, pick->ai_addrlen);
          state->length = pick->ai_addrlen;
          state->found = true;
        }
      }
      if (list) freeaddrinfo(list);
      state->finished = true;
      state->done.notify_all();
    }).detach();
  } catch (...) {
    return false;
  }
  const auto deadline = Clock::now() + kResolveLimit;
  std::unique_lock lock(state->mutex);
  while (!state->finished) {
    if (stop.stop_requested() || Clock::now() >= deadline) return false;
    state->done.wait_for(lock, std::chrono::milliseconds(50));
  }
  if (!state->found) return false;
  address = state->address;
  length = state->length;
  return true;
}

uint16_t Checksum(const uint8_t* data, size_t size) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < size; i += 2) sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
  if (size % 2) sum += static_cast<uint32_t>(data[size - 1] << 8);
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

struct Socket {
  int fd = -1;
  bool raw = false;
  ~Socket() {
    if (fd >= 0) close(fd);
  }
};

Socket OpenEchoSocket(int family) {
  const int protocol = family == AF_INET ? static_cast<int>(IPPROTO_ICMP) : static_cast<int>(IPPROTO_ICMPV6);
  Socket s;
  s.fd = socket(family, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, protocol);
  if (s.fd >= 0) {
    s.raw = true;
    return s;
  }
  // Without CAP_NET_RAW: the kernel's ping sockets (net.ipv4.ping_group_range).
  s.fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, protocol);
  return s;
}

// True when `packet` is the reply to our request. A raw IPv4 socket hands us the
// IP header and every ICMP packet of the host; a ping socket rewrites the
// identifier, so only the sequence number tells ours apart there.
bool IsOurReply(const uint8_t* packet, size_t size, int family, bool raw, uint16_t id, uint16_t seq) {
  if (family == AF_INET && raw) {
    if (size < 20) return false;
    const size_t headerLength = static_cast<size_t>(packet[0] & 0x0f) * 4;
    if (headerLength < 20 || size < headerLength) return false;
    packet += headerLength;
    size -= headerLength;
  }
  if (size < 8) return false;
  const uint8_t replyType = family == AF_INET ? 0 : 129;
  if (packet[0] != replyType) return false;
  const uint16_t gotId = static_cast<uint16_t>(packet[4] << 8 | packet[5]);
  const uint16_t gotSeq = static_cast<uint16_t>(packet[6] << 8 | packet[7]);
  return gotSeq == seq && (!raw || gotId == id);
}

}  // namespace

ProbeOutcome ProbeEcho(const std::string& hostName, int timeoutMs, std::stop_token stop) {
  if (stop.stop_requested()) return ProbeOutcome::Stopped;
  if (hostName.empty()) return ProbeOutcome::NotResolved;
  sockaddr_storage address{};
  socklen_t length = 0;
  if (!Resolve(hostName, stop, address, length))
    return stop.stop_requested() ? ProbeOutcome::Stopped : ProbeOutcome::NotResolved;

  const int family = address.ss_family;
  Socket s = OpenEchoSocket(family);
  if (s.fd < 0) return ProbeOutcome::NoEchoService;

  static std::atomic<uint16_t> counter{0};
  const uint16_t id = static_cast<uint16_t>((getpid() & 0xffff) ^ 0x4b56);
  const uint16_t seq = static_cast<uint16_t>(++counter);
  // Type, code, checksum, identifier, sequence, then 32 bytes of payload.
  std::array<uint8_t, 40> request{};
  request[0] = family == AF_INET ? 8 : 128;
  request[4] = static_cast<uint8_t>(id >> 8);
  request[5] = static_cast<uint8_t>(id);
  request[6] = static_cast<uint8_t>(seq >> 8);
  request[7] = static_cast<uint8_t>(seq);
  for (size_t i = 8; i < request.size(); ++i) request[i] = static_cast<uint8_t>('a' + (i - 8) % 23);
  if (family == AF_INET) {  // ICMPv6 checksums are the kernel's
    const uint16_t sum = Checksum(request.data(), request.size());
    request[2] = static_cast<uint8_t>(sum >> 8);
    request[3] = static_cast<uint8_t>(sum);
  }
  if (sendto(s.fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&address), length) < 0)
    return ProbeOutcome::NoAnswer;  // no route: as good as no answer

  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::array<uint8_t, 1500> reply{};
  for (;;) {
    if (stop.stop_requested()) return ProbeOutcome::Stopped;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return ProbeOutcome::NoAnswer;
    pollfd p{s.fd, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 50)));
    if (ready <= 0) continue;
    for (;;) {
      const ssize_t got = recv(s.fd, reply.data(), reply.size(), 0);
      if (got < 0) break;
      if (IsOurReply(reply.data(), static_cast<size_t>(got), family, s.raw, id, seq)) return ProbeOutcome::Answered;
    }
  }
}

bool MarketUnreachable(std::stop_token stop) {
  const ProbeOutcome outcome = ProbeEcho(CurrentEndpoints()->MARKET_HOST, kProbeTimeoutMs, stop);
  return outcome != ProbeOutcome::Answered && outcome != ProbeOutcome::Stopped;
}

}  // namespace kelvora
