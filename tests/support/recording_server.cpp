#include "support/recording_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <stdexcept>

#include "certificate.h"

namespace kelvora::test {
namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

const char* Reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 303:
      return "See Other";
    case 307:
      return "Temporary Redirect";
    case 308:
      return "Permanent Redirect";
    case 404:
      return "Not Found";
    case 500:
      return "Internal Server Error";
    default:
      return "Status";
  }
}

// The protocols an https client offers, comma-separated, for the connection's record.
int SelectAlpn(SSL* ssl, const unsigned char** out, unsigned char* outLen, const unsigned char* in, unsigned int inLen,
               void*) {
  auto* offered = static_cast<std::string*>(SSL_get_app_data(ssl));
  const unsigned char* chosen = nullptr;
  for (unsigned int i = 0; i < inLen;) {
    const unsigned int n = in[i];
    if (i + 1 + n > inLen) break;
    std::string_view name(reinterpret_cast<const char*>(in + i + 1), n);
    if (offered) {
      if (!offered->empty()) *offered += ',';
      offered->append(name);
    }
    if (name == "http/1.1" && !chosen) chosen = in + i;
    i += 1 + n;
  }
  if (!chosen) return SSL_TLSEXT_ERR_NOACK;
  *outLen = chosen[0];
  *out = chosen + 1;
  return SSL_TLSEXT_ERR_OK;
}

SSL_CTX* MakeTlsContext(const kelvora::sim::Certificates& certs) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (!ctx) return nullptr;
  bool ok = false;
  BIO* certBio = BIO_new_mem_buf(certs.serverCertPem.data(), static_cast<int>(certs.serverCertPem.size()));
  BIO* keyBio = BIO_new_mem_buf(certs.serverKeyPem.data(), static_cast<int>(certs.serverKeyPem.size()));
  X509* cert = certBio ? PEM_read_bio_X509(certBio, nullptr, nullptr, nullptr) : nullptr;
  EVP_PKEY* key = keyBio ? PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr) : nullptr;
  if (cert && key && SSL_CTX_use_certificate(ctx, cert) == 1 && SSL_CTX_use_PrivateKey(ctx, key) == 1) ok = true;
  X509_free(cert);
  EVP_PKEY_free(key);
  BIO_free(certBio);
  BIO_free(keyBio);
  if (!ok) {
    SSL_CTX_free(ctx);
    return nullptr;
  }
  SSL_CTX_set_alpn_select_cb(ctx, SelectAlpn, nullptr);
  return ctx;
}

}  // namespace

// One accepted connection, plain or https, with what it read past the last request.
struct RecordingServer::Connection {
  int fd = -1;
  SSL* ssl = nullptr;
  std::string pending;
  std::string alpnOffered;

  ~Connection() { SSL_free(ssl); }

  // False when the handshake fails.
  bool start(SSL_CTX* ctx) {
    if (!ctx) return true;
    ssl = SSL_new(ctx);
    if (!ssl) return false;
    SSL_set_app_data(ssl, &alpnOffered);
    SSL_set_fd(ssl, fd);
    return SSL_accept(ssl) == 1;
  }
  // Bytes read, 0 at the end of the stream or on an error.
  size_t receive(char* buffer, size_t size) {
    while (true) {
      if (ssl) {
        const int n = SSL_read(ssl, buffer, static_cast<int>(size));
        return n > 0 ? static_cast<size_t>(n) : 0;
      }
      const ssize_t n = ::recv(fd, buffer, size, 0);
      if (n < 0 && errno == EINTR) continue;
      return n > 0 ? static_cast<size_t>(n) : 0;
    }
  }
  bool sendAll(std::string_view data) {
    while (!data.empty()) {
      if (ssl) {
        const int n = SSL_write(ssl, data.data(), static_cast<int>(data.size()));
        if (n <= 0) return false;
        data.remove_prefix(static_cast<size_t>(n));
        continue;
      }
      ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }
  // Ends the sending side and lets the client read to the end before the socket goes.
  void finish() {
    if (ssl) SSL_shutdown(ssl);
    ::shutdown(fd, SHUT_WR);
    char sink[1024];
    while (receive(sink, sizeof sink) > 0) {
    }
  }

  // Reads one request; false when the peer closed or sent garbage first.
  bool readRequest(RecordedRequest& req) {
    std::string& data = pending;
    char buffer[8192];
    size_t headEnd;
    while ((headEnd = data.find("\r\n\r\n")) == std::string::npos) {
      const size_t n = receive(buffer, sizeof buffer);
      if (n == 0) return false;
      data.append(buffer, n);
    }
    req.head = data.substr(0, headEnd);
    std::string_view head(req.head);
    size_t lineEnd = head.find("\r\n");
    std::string_view requestLine = head.substr(0, lineEnd);
    size_t s1 = requestLine.find(' ');
    size_t s2 = requestLine.rfind(' ');
    if (s1 == std::string_view::npos || s2 <= s1) return false;
    req.method = std::string(requestLine.substr(0, s1));
    req.target = std::string(requestLine.substr(s1 + 1, s2 - s1 - 1));
    req.version = std::string(requestLine.substr(s2 + 1));
    size_t contentLength = 0;
    while (lineEnd != std::string_view::npos) {
      size_t start = lineEnd + 2;
      lineEnd = head.find("\r\n", start);
      std::string_view line =
          head.substr(start, lineEnd == std::string_view::npos ? std::string_view::npos : lineEnd - start);
      size_t colon = line.find(':');
      if (colon == std::string_view::npos) continue;
      std::string_view value = line.substr(colon + 1);
      while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
      req.headers.emplace_back(std::string(line.substr(0, colon)), std::string(value));
      if (Lower(line.substr(0, colon)) == "content-length")
        contentLength = static_cast<size_t>(std::stoull(std::string(value)));
    }
    data.erase(0, headEnd + 4);
    while (data.size() < contentLength) {
      const size_t n = receive(buffer, sizeof buffer);
      if (n == 0) break;
      data.append(buffer, n);
    }
    const size_t bodySize = std::min(contentLength, data.size());
    req.body = data.substr(0, bodySize);
    data.erase(0, bodySize);
    req.alpnOffered = alpnOffered;
    return true;
  }
};

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
  std::string wanted = Lower(name);
  for (const auto& [n, v] : headers)
    if (Lower(n) == wanted) return v;
  return std::nullopt;
}

std::vector<std::string> RecordedRequest::headerNames() const {
  std::vector<std::string> names;
  for (const auto& h : headers) names.push_back(h.first);
  return names;
}

std::string RecordedRequest::path() const { return target.substr(0, target.find('?')); }

CannedResponse CannedResponse::Redirect(std::string location, int status) {
  CannedResponse r;
  r.status = status;
  r.headers = {{"Location", std::move(location)}};
  r.body = "moved";
  return r;
}

RecordingServer::RecordingServer(ServerOptions options) : options_(options) {
  if (options_.tls) {
    // OpenSSL writes with plain write(): a client gone must not end the test program.
    ::signal(SIGPIPE, SIG_IGN);
    const kelvora::sim::Certificates certs = kelvora::sim::MakeLoopbackCertificates();
    tlsContext_ = certs.ok() ? MakeTlsContext(certs) : nullptr;
    if (!tlsContext_) throw std::runtime_error("cannot make the test certificates");
    caPem_ = certs.caPem;
  }
  listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  if (listenFd_ < 0) throw std::runtime_error("socket failed");
  int one = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listenFd_, 64) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(listenFd_);
    SSL_CTX_free(static_cast<SSL_CTX*>(tlsContext_));
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  port_ = ntohs(addr.sin_port);
  // The socket listens already, so clients may connect before the thread runs.
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

RecordingServer::~RecordingServer() {
  stop();
  SSL_CTX_free(static_cast<SSL_CTX*>(tlsContext_));
}

std::string RecordingServer::baseUrl() const {
  return (options_.tls ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port_);
}

int RecordingServer::connectionCount() const {
  std::lock_guard lock(mutex_);
  return accepted_;
}

std::string RecordingServer::url(std::string_view target) const { return baseUrl() + std::string(target); }

void RecordingServer::on(const std::string& target, CannedResponse response) {
  on(target, Handler([response](const RecordedRequest&) { return response; }));
}

void RecordingServer::on(const std::string& target, Handler handler) {
  std::lock_guard lock(mutex_);
  handlers_[target] = std::move(handler);
}

std::vector<RecordedRequest> RecordingServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

size_t RecordingServer::requestCount() const {
  std::lock_guard lock(mutex_);
  return requests_.size();
}

bool RecordingServer::waitForRequests(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

void RecordingServer::clearRequests() {
  std::lock_guard lock(mutex_);
  requests_.clear();
}

void RecordingServer::stop() {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
    for (int fd : openFds_) ::shutdown(fd, SHUT_RDWR);
  }
  changed_.notify_all();
  ::shutdown(listenFd_, SHUT_RDWR);  // wakes accept()
  if (acceptThread_.joinable()) acceptThread_.join();
  ::close(listenFd_);
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    threads.swap(connections_);
  }
  for (auto& t : threads) t.join();
}

void RecordingServer::acceptLoop() {
  while (true) {
    int fd = ::accept(listenFd_, nullptr, nullptr);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;
    }
    std::lock_guard lock(mutex_);
    if (stopping_) {
      ::close(fd);
      return;
    }
    openFds_.push_back(fd);
    const int number = ++accepted_;
    connections_.emplace_back([this, fd, number] { serve(fd, number); });
  }
}

bool RecordingServer::waitWhileRunning(std::chrono::milliseconds duration) {
  std::unique_lock lock(mutex_);
  return !changed_.wait_for(lock, duration, [&] { return stopping_; });
}

CannedResponse RecordingServer::answerFor(const RecordedRequest& request) {
  Handler handler;
  {
    std::lock_guard lock(mutex_);
    auto it = handlers_.find(request.target);
    if (it == handlers_.end()) it = handlers_.find(request.path());
    if (it != handlers_.end()) handler = it->second;
  }
  if (!handler) {
    CannedResponse missing;
    missing.status = 404;
    missing.body = "not found";
    return missing;
  }
  return handler(request);
}

void RecordingServer::serve(int fd, int number) {
  Connection conn;
  conn.fd = fd;
  if (conn.start(static_cast<SSL_CTX*>(tlsContext_))) {
    for (int index = 0;; ++index) {
      RecordedRequest request;
      if (!conn.readRequest(request)) break;
      request.connection = number;
      request.onConnection = index;
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
      }
      changed_.notify_all();
      if (!answer(conn, request, answerFor(request))) break;
    }
  }
  std::lock_guard lock(mutex_);
  openFds_.erase(std::find(openFds_.begin(), openFds_.end(), fd));
  ::close(fd);
}

// Sends `answer`; true when the connection stays open for another request.
bool RecordingServer::answer(Connection& conn, const RecordedRequest& request, const CannedResponse& answer) {
  if (answer.dropConnection) return false;
  bool running = true;
  if (answer.hang)
    running = waitWhileRunning(std::chrono::hours(24));
  else if (answer.delayMs > 0)
    running = waitWhileRunning(std::chrono::milliseconds(answer.delayMs));
  if (!running) return false;
  // A body that ends with the connection, or one shorter than announced, ends it.
  const bool keep = options_.keepAlive && !answer.closeAfter && answer.sendContentLength &&
                    answer.contentLength.value_or(answer.body.size()) == answer.body.size();
  std::string out = "HTTP/1.1 " + std::to_string(answer.status) + " " + Reason(answer.status) + "\r\n";
  for (const auto& [name, value] : answer.headers) out += name + ": " + value + "\r\n";
  if (answer.sendContentLength)
    out += "Content-Length: " + std::to_string(answer.contentLength.value_or(answer.body.size())) + "\r\n";
  if (!options_.keepAlive) out += "Connection: close\r\n";
  out += "\r\n";
  const bool withBody = request.method != "HEAD";
  bool sent = false;
  if (answer.trickleBytes == 0 || !withBody) {
    if (withBody) out += answer.body;
    sent = conn.sendAll(out);
  } else if ((sent = conn.sendAll(out))) {
    std::string_view rest(answer.body);
    while (!rest.empty()) {
      const size_t n = std::min(answer.trickleBytes, rest.size());
      if (!(sent = conn.sendAll(rest.substr(0, n)))) break;
      rest.remove_prefix(n);
      if (!rest.empty() && !waitWhileRunning(std::chrono::milliseconds(answer.trickleIntervalMs))) {
        sent = false;
        break;
      }
    }
  }
  if (sent && keep) return true;
  conn.finish();
  return false;
}

}  // namespace kelvora::test
