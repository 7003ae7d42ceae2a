#include "support/recording_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <stdexcept>

namespace kelvora::test {
namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

const char* Reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
  }
}

bool SendAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Reads one request; false when the peer closed or sent garbage first.
bool ReadRequest(int fd, RecordedRequest& req) {
  std::string data;
  char buffer[8192];
  size_t headEnd;
  while ((headEnd = data.find("\r\n\r\n")) == std::string::npos) {
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.append(buffer, static_cast<size_t>(n));
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
    std::string_view line = head.substr(start, lineEnd == std::string_view::npos
                                                   ? std::string_view::npos
                                                   : lineEnd - start);
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    req.headers.emplace_back(std::string(line.substr(0, colon)), std::string(value));
    if (Lower(line.substr(0, colon)) == "content-length")
      contentLength = static_cast<size_t>(std::stoull(std::string(value)));
  }
  req.body = data.substr(headEnd + 4);
  while (req.body.size() < contentLength) {
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    req.body.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

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

RecordingServer::RecordingServer() {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  if (listenFd_ < 0) throw std::runtime_error("socket failed");
  int one = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listenFd_, 64) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(listenFd_);
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  port_ = ntohs(addr.sin_port);
  // The socket listens already, so clients may connect before the thread runs.
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

RecordingServer::~RecordingServer() { stop(); }

std::string RecordingServer::baseUrl() const {
  return "http://127.0.0.1:" + std::to_string(port_);
}

std::string RecordingServer::url(std::string_view target) const {
  return baseUrl() + std::string(target);
}

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
    connections_.emplace_back([this, fd] { serve(fd); });
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

void RecordingServer::serve(int fd) {
  RecordedRequest request;
  if (ReadRequest(fd, request)) {
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(request);
    }
    changed_.notify_all();
    CannedResponse answer = answerFor(request);
    bool running = true;
    if (answer.hang) running = waitWhileRunning(std::chrono::hours(24));
    else if (answer.delayMs > 0) running = waitWhileRunning(std::chrono::milliseconds(answer.delayMs));
    if (running) {
      std::string out = "HTTP/1.1 " + std::to_string(answer.status) + " " + Reason(answer.status) + "\r\n";
      for (const auto& [name, value] : answer.headers) out += name + ": " + value + "\r\n";
      if (answer.sendContentLength)
        out += "Content-Length: " + std::to_string(answer.contentLength.value_or(answer.body.size())) + "\r\n";
      out += "Connection: close\r\n\r\n";
      const bool withBody = request.method != "HEAD";
      if (answer.trickleBytes == 0 || !withBody) {
        if (withBody) out += answer.body;
        SendAll(fd, out);
      } else if (SendAll(fd, out)) {
        std::string_view rest(answer.body);
        while (!rest.empty()) {
          const size_t n = std::min(answer.trickleBytes, rest.size());
          if (!SendAll(fd, rest.substr(0, n))) break;
          rest.remove_prefix(n);
          if (!rest.empty() && !waitWhileRunning(std::chrono::milliseconds(answer.trickleIntervalMs))) break;
        }
      }
      ::shutdown(fd, SHUT_WR);
      // Let the client read to the end before the socket goes away.
      char sink[1024];
      while (::recv(fd, sink, sizeof sink, 0) > 0) {
      }
    }
  }
  std::lock_guard lock(mutex_);
  openFds_.erase(std::find(openFds_.begin(), openFds_.end(), fd));
  ::close(fd);
}

}  // namespace kelvora::test
