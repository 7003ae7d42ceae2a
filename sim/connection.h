#pragma once
// One connection of the simulator's server: the socket with its TLS session, if
// any, and the buffered reading of requests off it. For server.cpp.
#include <sys/types.h>

#include <openssl/ssl.h>

#include <atomic>
#include <cstddef>
#include <string>

namespace kelvora::sim {

// How long a connection may stay silent before the server gives it up.
inline constexpr int kIdleTimeoutMs = 10000;
// The most a request's head may take: a longer head is answered 431, a longer
// line ends the connection.
inline constexpr size_t kMaxHead = 64 * 1024;

// One accepted connection: the socket, and the TLS session on it when the
// server speaks https. A TLS socket is non-blocking; a plain one blocks as it
// always did.
class Channel {
 public:
  Channel(int fd, const std::atomic<bool>& stopping) : fd_(fd), stopping_(stopping) {}
  ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // The TLS handshake; false when it fails, the server stops or the peer stays
  // silent too long.
  bool accept(SSL_CTX* ctx);

  // Reads some bytes into `out`: >0 bytes, 0 on close or error, -1 when the
  // wait of about 100 ms passed with nothing to read.
  ssize_t readSome(char* out, size_t size);

  bool sendAll(const std::string& data);
  // The head and the body of an answer, without copying a large body behind the head.
  bool sendAll(const std::string& head, const std::string& body);

  // Ends the sending side: after the last answer of a connection that is not kept alive.
  void finish();
  // Breaks the connection off without a TLS goodbye: a dropped connection.
  void drop();

 private:
  // Waits for the socket as an OpenSSL call asked; false on a real error, on
  // stop, or after the idle timeout.
  bool waitFor(int sslError, int& waited);

  int fd_;
  const std::atomic<bool>& stopping_;
  SSL* ssl_ = nullptr;
};

// Buffered reading from one connection that gives up when the server stops or
// the peer stays silent too long.
class Reader {
 public:
  Reader(Channel& channel, const std::atomic<bool>& stopping) : channel_(channel), stopping_(stopping) {}
  std::string buf;

  // Reads more bytes into buf; false on close, error, stop or idle timeout.
  bool fill();
  bool need(size_t n);
  // A CRLF-terminated line (without the CRLF).
  bool line(std::string& out);

 private:
  Channel& channel_;
  const std::atomic<bool>& stopping_;
};

}  // namespace kelvora::sim
