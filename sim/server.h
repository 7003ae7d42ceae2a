#pragma once
// The simulator's HTTP/1.1 transport: loopback only, keep-alive, one thread per
// connection. It reads each request byte by byte off the socket, so the request
// log sees the headers in the order and spelling they were sent. Handlers use
// httplib's Request and Response types.
#include <httplib.h>

#include <atomic>
#include <condition_variable>
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
  HeaderList headers;  // as received
  std::string body;    // after de-chunking
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
  void serve(int fd);
  bool dispatch(httplib::Request& req, httplib::Response& res);

  std::vector<Route> routes_;
  std::function<void(const RawRequest&)> logger_;
  int listenFd_ = -1;
  int wakePipe_[2] = {-1, -1};
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::condition_variable idle_;
  int connections_ = 0;
};

}  // namespace kelvora::sim
