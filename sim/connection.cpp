#include "connection.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <openssl/err.h>

#include <algorithm>
#include <cerrno>

namespace kelvora::sim {

Channel::~Channel() {
  if (ssl_) SSL_free(ssl_);
}

bool Channel::accept(SSL_CTX* ctx) {
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

ssize_t Channel::readSome(char* out, size_t size) {
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

bool Channel::sendAll(const std::string& data) {
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

bool Channel::sendAll(const std::string& head, const std::string& body) {
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

void Channel::finish() {
  if (ssl_) {
    ERR_clear_error();
    SSL_shutdown(ssl_);
  }
  ::shutdown(fd_, SHUT_WR);
}

void Channel::drop() { ::shutdown(fd_, SHUT_RDWR); }

bool Channel::waitFor(int sslError, int& waited) {
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

bool Reader::fill() {
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

bool Reader::need(size_t n) {
  while (buf.size() < n)
    if (!fill()) return false;
  return true;
}

bool Reader::line(std::string& out) {
  size_t p;
  while ((p = buf.find("\r\n")) == std::string::npos) {
    if (buf.size() > kMaxHead || !fill()) return false;
  }
  out = buf.substr(0, p);
  buf.erase(0, p + 2);
  return true;
}

}  // namespace kelvora::sim
