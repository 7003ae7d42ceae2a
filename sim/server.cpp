#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/pem.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace kelvora::sim {

namespace {

constexpr int kIdleTimeoutMs = 10000;
constexpr size_t kMaxHead = 64 * 1024;
constexpr size_t kMaxBody = 16 * 1024 * 1024;

const char* Reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 302: return "Found";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 413: return "Payload Too Large";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    default: return "Unknown";
  }
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

std::string Trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return "";
  size_t b = s.find_last_not_of(" \t");
  return s.substr(a, b - a + 1);
}

// One accepted connection: the socket, and the TLS session on it when the
// server speaks https. A TLS socket is non-blocking; a plain one blocks as it
// always did.
class Channel {
 public:
  Channel(int fd, const std::atomic<bool>& stopping) : fd_(fd), stopping_(stopping) {}
  ~Channel() {
    if (ssl_) SSL_free(ssl_);
  }
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // The TLS handshake; false when it fails, the server stops or the peer stays
  // silent too long.
  bool accept(SSL_CTX* ctx) {
    ssl_ = SSL_new(ctx);
    if (!ssl_) return false;
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    SSL_set_fd(ssl_, fd_);
    SSL_set_mode(ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    int waited = 0;
    while (true) {
      ERR_clear_error();
      int r = SSL_accept(ssl_);
      if (r == 1) return true;
      if (!waitFor(SSL_get_error(ssl_, r), waited)) return false;
    }
  }

  // Reads some bytes into `out`: >0 bytes, 0 on close or error, -1 when the
  // wait of about 100 ms passed with nothing to read.
  ssize_t readSome(char* out, size_t size) {
    if (!ssl_) {
      pollfd p{fd_, POLLIN, 0};
      int r = ::poll(&p, 1, 100);
      if (r < 0 && errno == EINTR) return -1;
      if (r < 0) return 0;
      if (r == 0) return -1;
      ssize_t n = ::recv(fd_, out, size, 0);
      if (n < 0 && errno == EINTR) return -1;
      return n < 0 ? 0 : n;
    }
    while (true) {
      ERR_clear_error();
      int n = SSL_read(ssl_, out, static_cast<int>(std::min<size_t>(size, 1 << 30)));
      if (n > 0) return n;
      int err = SSL_get_error(ssl_, n);
      if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) return 0;
      pollfd p{fd_, static_cast<short>(err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
      int r = ::poll(&p, 1, 100);
      if (r < 0 && errno != EINTR) return 0;
      if (r == 0) return -1;
    }
  }

  bool sendAll(const std::string& data) {
    size_t sent = 0;
    int waited = 0;
    while (sent < data.size()) {
      if (!ssl_) {
        ssize_t n = ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
        continue;
      }
      ERR_clear_error();
      int n = SSL_write(ssl_, data.data() + sent, static_cast<int>(std::min<size_t>(data.size() - sent, 1 << 30)));
      if (n > 0) {
        sent += static_cast<size_t>(n);
        waited = 0;
        continue;
      }
      if (!waitFor(SSL_get_error(ssl_, n), waited)) return false;
    }
    return true;
  }

  // The head and the body of an answer, without copying a large body behind the head.
  bool sendAll(const std::string& head, const std::string& body) {
    if (body.size() < 16384) return sendAll(head + body);
    if (ssl_) return sendAll(head) && sendAll(body);
    const size_t total = head.size() + body.size();
    size_t sent = 0;
    while (sent < total) {
      iovec iov[2];
      size_t count = 0;
      if (sent < head.size()) iov[count++] = {const_cast<char*>(head.data()) + sent, head.size() - sent};
      const size_t inBody = sent < head.size() ? 0 : sent - head.size();
      iov[count++] = {const_cast<char*>(body.data()) + inBody, body.size() - inBody};
      msghdr message{};
      message.msg_iov = iov;
      message.msg_iovlen = count;
      ssize_t n = ::sendmsg(fd_, &message, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }

  // Ends the sending side: after the last answer of a connection that is not kept alive.
  void finish() {
    if (ssl_) {
      ERR_clear_error();
      SSL_shutdown(ssl_);
    }
    ::shutdown(fd_, SHUT_WR);
  }
  // Breaks the connection off without a TLS goodbye: a dropped connection.
  void drop() { ::shutdown(fd_, SHUT_RDWR); }

 private:
  // Waits for the socket as an OpenSSL call asked; false on a real error, on
  // stop, or after the idle timeout.
  bool waitFor(int sslError, int& waited) {
    if (sslError != SSL_ERROR_WANT_READ && sslError != SSL_ERROR_WANT_WRITE) return false;
    while (true) {
      if (stopping_ || waited >= kIdleTimeoutMs) return false;
      pollfd p{fd_, static_cast<short>(sslError == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
      int r = ::poll(&p, 1, 100);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return false;
      if (r > 0) return true;
      waited += 100;
    }
  }

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
  bool fill() {
    int waited = 0;
    while (true) {
      if (stopping_) return false;
      char tmp[16384];
      ssize_t n = channel_.readSome(tmp, sizeof tmp);
      if (n < 0) {
        waited += 100;
        if (waited >= kIdleTimeoutMs) return false;
        continue;
      }
      if (n == 0) return false;
      buf.append(tmp, static_cast<size_t>(n));
      return true;
    }
  }
  bool need(size_t n) {
    while (buf.size() < n)
      if (!fill()) return false;
    return true;
  }
  // A CRLF-terminated line (without the CRLF).
  bool line(std::string& out) {
    size_t p;
    while ((p = buf.find("\r\n")) == std::string::npos) {
      if (buf.size() > kMaxHead || !fill()) return false;
    }
    out = buf.substr(0, p);
    buf.erase(0, p + 2);
    return true;
  }

 private:
  Channel& channel_;
  const std::atomic<bool>& stopping_;
};

// Picks HTTP/1.1 when the client offers it; without it the handshake goes on
// without a protocol choice.
int SelectHttp11(SSL*, const unsigned char** out, unsigned char* outlen, const unsigned char* in,
                 unsigned int inlen, void*) {
  static const unsigned char kHttp11[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
  unsigned char* chosen = nullptr;
  if (SSL_select_next_proto(&chosen, outlen, kHttp11, sizeof kHttp11, in, inlen) != OPENSSL_NPN_NEGOTIATED)
    return SSL_TLSEXT_ERR_NOACK;
  *out = chosen;
  return SSL_TLSEXT_ERR_OK;
}

std::string OpenSslError(const std::string& what) {
  std::string text = what;
  char buf[256];
  for (unsigned long e; (e = ERR_get_error()) != 0;) {
    ERR_error_string_n(e, buf, sizeof buf);
    text += std::string(": ") + buf;
  }
  return text;
}

}  // namespace

Server::Server() {
  if (::pipe2(wakePipe_, O_CLOEXEC) != 0) wakePipe_[0] = wakePipe_[1] = -1;
}

Server::~Server() {
  stop();
  if (listenFd_ >= 0) ::close(listenFd_);
  // A connection thread still running (stop() timed out) keeps its reference.
  if (ctx_) SSL_CTX_free(ctx_);
  for (int fd : wakePipe_)
    if (fd >= 0) ::close(fd);
}

void Server::add(const std::string& method, const std::string& pattern, Handler handler) {
  Route r;
  r.method = method;
  r.isLiteral = pattern.find_first_not_of(
                    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/_.-") == std::string::npos;
  r.literal = pattern;
  if (!r.isLiteral) r.re = std::regex(pattern);
  r.handler = std::move(handler);
  routes_.push_back(std::move(r));
}

bool Server::newTlsContext(std::string& error) {
  if (ctx_) SSL_CTX_free(ctx_);
  ctx_ = SSL_CTX_new(TLS_server_method());
  if (!ctx_) {
    error = OpenSslError("cannot make a TLS context");
    return false;
  }
  SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
  SSL_CTX_set_alpn_select_cb(ctx_, SelectHttp11, nullptr);
  return true;
}

bool Server::useTls(const std::string& certPem, const std::string& keyPem, std::string& error) {
  if (!newTlsContext(error)) return false;
  BIO* certs = BIO_new_mem_buf(certPem.data(), static_cast<int>(certPem.size()));
  BIO* keyBio = BIO_new_mem_buf(keyPem.data(), static_cast<int>(keyPem.size()));
  X509* cert = certs ? PEM_read_bio_X509(certs, nullptr, nullptr, nullptr) : nullptr;
  EVP_PKEY* key = keyBio ? PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr) : nullptr;
  bool ok = cert && key && SSL_CTX_use_certificate(ctx_, cert) == 1 && SSL_CTX_use_PrivateKey(ctx_, key) == 1 &&
            SSL_CTX_check_private_key(ctx_) == 1;
  // Further certificates in the text are the chain.
  while (ok) {
    X509* more = PEM_read_bio_X509(certs, nullptr, nullptr, nullptr);
    if (!more) break;
    if (SSL_CTX_add0_chain_cert(ctx_, more) != 1) {
      X509_free(more);
      ok = false;
    }
  }
  ERR_clear_error();  // the end of the chain reads as an error
  if (cert) X509_free(cert);
  if (key) EVP_PKEY_free(key);
  if (certs) BIO_free(certs);
  if (keyBio) BIO_free(keyBio);
  if (!ok) {
    error = OpenSslError("the certificate or its key is not usable");
    SSL_CTX_free(ctx_);
    ctx_ = nullptr;
  }
  return ok;
}

bool Server::useTlsFiles(const std::string& certFile, const std::string& keyFile, std::string& error) {
  if (!newTlsContext(error)) return false;
  if (SSL_CTX_use_certificate_chain_file(ctx_, certFile.c_str()) != 1) {
    error = OpenSslError("cannot use the certificate file " + certFile);
  } else if (SSL_CTX_use_PrivateKey_file(ctx_, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    error = OpenSslError("cannot use the key file " + keyFile);
  } else if (SSL_CTX_check_private_key(ctx_) != 1) {
    error = OpenSslError("the key in " + keyFile + " does not belong to the certificate in " + certFile);
  } else {
    return true;
  }
  SSL_CTX_free(ctx_);
  ctx_ = nullptr;
  return false;
}

int Server::bind(int port) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) return -1;
  int yes = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listenFd_, 512) != 0)
    return -1;
  socklen_t len = sizeof addr;
  if (::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return -1;
  return ntohs(addr.sin_port);
}

void Server::run() {
  while (!stopping_) {
    pollfd p[2] = {{listenFd_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
    int r = ::poll(p, 2, -1);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 || stopping_ || (p[1].revents & POLLIN)) break;
    if (!(p[0].revents & POLLIN)) continue;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    int yes = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++connections_;
    }
    const uint64_t connection = ++accepted_;
    std::thread([this, fd, connection] {
      serve(fd, connection);
      ::close(fd);
      std::lock_guard<std::mutex> lock(mutex_);
      if (--connections_ == 0) idle_.notify_all();
    }).detach();
  }
}

bool Server::stop() {
  if (stopping_.exchange(true)) return true;
  if (wakePipe_[1] >= 0) {
    char c = 1;
    [[maybe_unused]] ssize_t n = ::write(wakePipe_[1], &c, 1);
  }
  std::unique_lock<std::mutex> lock(mutex_);
  return idle_.wait_for(lock, std::chrono::milliseconds(1200), [this] { return connections_ == 0; });
}

bool Server::dispatch(httplib::Request& req, httplib::Response& res) {
  for (const Route& r : routes_) {
    if (r.method != req.method && !(req.method == "HEAD" && r.method == "GET")) continue;
    if (r.isLiteral ? req.path == r.literal : std::regex_match(req.path, req.matches, r.re)) {
      r.handler(req, res);
      return true;
    }
  }
  return false;
}

void Server::serve(int fd, uint64_t connection) {
  sockaddr_in peer{};
  socklen_t plen = sizeof peer;
  ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &plen);
  char peerAddr[INET_ADDRSTRLEN] = "";
  ::inet_ntop(AF_INET, &peer.sin_addr, peerAddr, sizeof peerAddr);

  Channel channel(fd, stopping_);
  if (ctx_ && !channel.accept(ctx_)) return;
  Reader in(channel, stopping_);
  while (!stopping_) {
    RawRequest raw;
    raw.connection = connection;
    std::string line;
    do {  // tolerate blank lines between requests
      if (!in.line(line)) return;
    } while (line.empty());
    size_t s1 = line.find(' '), s2 = line.rfind(' ');
    if (s1 == std::string::npos || s2 == s1) {
      channel.sendAll("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
      return;
    }
    raw.method = line.substr(0, s1);
    raw.target = line.substr(s1 + 1, s2 - s1 - 1);
    raw.version = line.substr(s2 + 1);
    size_t headBytes = 0;
    while (true) {
      if (!in.line(line)) return;
      if (line.empty()) break;
      headBytes += line.size();
      if (headBytes > kMaxHead) {
        channel.sendAll("HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        return;
      }
      size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      raw.headers.emplace_back(line.substr(0, colon), Trim(line.substr(colon + 1)));
    }

    bool keepAlive = raw.version == "HTTP/1.1";
    bool chunked = false, expectContinue = false;
    size_t length = 0;
    for (const auto& [name, value] : raw.headers) {
      std::string n = Lower(name);
      if (n == "connection") {
        std::string v = Lower(value);
        if (v.find("close") != std::string::npos) keepAlive = false;
        else if (v.find("keep-alive") != std::string::npos) keepAlive = true;
      } else if (n == "content-length") {
        length = std::strtoull(value.c_str(), nullptr, 10);
      } else if (n == "transfer-encoding" && Lower(value).find("chunked") != std::string::npos) {
        chunked = true;
      } else if (n == "expect" && Lower(value) == "100-continue") {
        expectContinue = true;
      }
    }
    if (expectContinue && (chunked || length > 0) && in.buf.empty() &&
        !channel.sendAll("HTTP/1.1 100 Continue\r\n\r\n"))
      return;
    if (chunked) {
      while (true) {
        if (!in.line(line)) return;
        size_t size = std::strtoull(line.c_str(), nullptr, 16);
        if (size == 0) {
          do {
            if (!in.line(line)) return;
          } while (!line.empty());
          break;
        }
        if (raw.body.size() + size > kMaxBody || !in.need(size + 2)) return;
        raw.body.append(in.buf, 0, size);
        in.buf.erase(0, size + 2);
      }
    } else if (length > 0) {
      if (length > kMaxBody) {
        channel.sendAll("HTTP/1.1 413 Payload Too Large\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        return;
      }
      if (!in.need(length)) return;
      raw.body = in.buf.substr(0, length);
      in.buf.erase(0, length);
    }

    if (logger_) logger_(raw);

    httplib::Request req;
    req.method = raw.method;
    req.target = raw.target;
    req.version = raw.version;
    req.body = raw.body;
    req.remote_addr = peerAddr;
    req.remote_port = ntohs(peer.sin_port);
    size_t q = raw.target.find('?');
    req.path = httplib::detail::decode_url(raw.target.substr(0, q), false);
    if (q != std::string::npos) httplib::detail::parse_query_text(raw.target.substr(q + 1), req.params);
    for (const auto& [name, value] : raw.headers) req.headers.emplace(name, value);

    httplib::Response res;
    if (!dispatch(req, res)) {
      res.status = 404;
      res.set_content("not found", "text/plain");
    }
    if (res.status < 0) res.status = 200;
    bool drop = res.has_header(kDropHeader);
    std::string head = "HTTP/1.1 " + std::to_string(res.status) + " " + Reason(res.status) + "\r\n";
    for (const auto& [name, value] : res.headers)
      if (name != kDropHeader && Lower(name) != "content-length" && Lower(name) != "connection")
        head += name + ": " + value + "\r\n";
    size_t announced = res.body.size();
    if (drop) {
      announced = res.body.size() + 4096;
      const std::string value = res.get_header_value(kDropHeader);
      char* end = nullptr;
      const unsigned long long n = std::strtoull(value.c_str(), &end, 10);
      if (end != value.c_str() && *end == '\0' && n > res.body.size()) announced = static_cast<size_t>(n);
    }
    head += "Content-Length: " + std::to_string(announced) + "\r\n";
    head += keepAlive && !drop ? "Connection: keep-alive\r\nKeep-Alive: timeout=10\r\n" : "Connection: close\r\n";
    head += "\r\n";
    if (drop) {
      if (raw.method != "HEAD") head += res.body;
      channel.sendAll(head);
      channel.drop();
      return;
    }
    if (!channel.sendAll(head, raw.method != "HEAD" ? res.body : std::string()) || !keepAlive) {
      if (!keepAlive) channel.finish();
      return;
    }
  }
}

}  // namespace kelvora::sim
