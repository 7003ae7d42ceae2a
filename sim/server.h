#pragma once
// The simulator's HTTP/1.1 transport: loopback only, keep-alive, one thread per
// connection, plain or TLS. It reads each request byte by byte off the socket,
// so the request log sees the headers in the order and spelling they were sent.
// Handlers use httplib's Request and Response types.
#include <httplib.h>

#include <openssl/ssl.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <regex>
#include <string>
#include <utility>
#include <vector>

namespace kelvora::sim {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct RawRequest {
  std::string method;
  std::string target;
  std::string version;
  HeaderList headers;       // as received
  std::string body;         // after de-chunking
  uint64_t connection = 0;  // which accepted connection it came on (1, 2, ...)
};

// A response header that makes the transport announce a body of the header's
// value in bytes, send the head and the body it has (maybe none), and close the
// connection: an answer cut short.
inline constexpr const char* kDropHeader = "X-Kelvora-Sim-Drop";

class Server {
 public:
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

  Server();
  ~Server();

  // Patterns match the whole path; a pattern of letters, digits and "/_.-" is
  // compared literally, any other as a regular expression (captures in req.matches).
  void Get(const std::string& pattern, Handler handler) { add("GET", pattern, std::move(handler)); }
  void Post(const std::string& pattern, Handler handler) { add("POST", pattern, std::move(handler)); }
  // Called for every request before its handler.
  void setLogger(std::function<void(const RawRequest&)> logger) { logger_ = std::move(logger); }

  // Serves https from now on: HTTP/1.1 over TLS with this certificate (chain)
  // and key, PEM text or files. False, with `error` set, when OpenSSL refuses them.
  bool useTls(const std::string& certPem, const std::string& keyPem, std::string& error);
  bool useTlsFiles(const std::string& certFile, const std::string& keyFile, std::string& error);
  bool tls() const { return ctx_ != nullptr; }

  // Binds 127.0.0.1:port (0: a free port); returns the port, or -1.
  int bind(int port);
  // Accepts connections until stop(); returns when the accept loop ends.
  void run();
  // Ends the accept loop and every connection; waits up to about a second for
  // them and returns false when some are still busy.
  bool stop();

 private:
  struct Route {
    std::string method;
    std::string literal;
    bool isLiteral;
    std::regex re;
    Handler handler;
  };
  void add(const std::string& method, const std::string& pattern, Handler handler);
  bool newTlsContext(std::string& error);
  void serve(int fd, uint64_t connection);
  bool dispatch(httplib::Request& req, httplib::Response& res);

  std::vector<Route> routes_;
  std::function<void(const RawRequest&)> logger_;
  int listenFd_ = -1;
  int wakePipe_[2] = {-1, -1};
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::condition_variable idle_;
  int connections_ = 0;
  uint64_t accepted_ = 0;  // connections accepted so far (run() alone counts them)
  SSL_CTX* ctx_ = nullptr;
};

}  // namespace kelvora::sim
