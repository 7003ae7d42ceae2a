#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "connection.h"

namespace kelvora::sim {

namespace {

constexpr size_t kMaxBody = 16 * 1024 * 1024;

const char* Reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 302:
      return "Found";
    case 400:
      return "Bad Request";
    case 404:
      return "Not Found";
    case 413:
      return "Payload Too Large";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    default:
      return "Unknown";
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
  r.isLiteral = pattern.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/_.-") ==
                std::string::npos;
  r.literal = pattern;
  if (!r.isLiteral) r.re = std::regex(pattern);
  r.handler = std::move(handler);
  routes_.push_back(std::move(r));
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
        channel.sendAll(
            "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
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
        if (v.find("close") != std::string::npos)
          keepAlive = false;
        else if (v.find("keep-alive") != std::string::npos)
          keepAlive = true;
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
