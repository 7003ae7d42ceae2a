#pragma once
// A loopback HTTP/1.1 server for tests that records every request byte-exactly
// (header order and spelling as sent) and answers with canned responses.
//
//   kelvora::test::RecordingServer server;              // listening at once
//   server.on("/item.htm", {.body = "<html>..."});      // by exact target or by path
//   server.on("/old", CannedResponse::Redirect("/new"));
//   server.on("/slow", {.hang = true});                 // accepts, never answers
//   server.on("/cut", {.body = "ab", .contentLength = 10});   // closes 8 bytes short
//   server.on("/drip", {.body = big, .trickleBytes = 2, .trickleIntervalMs = 1000});
//   std::string url = server.url("/item.htm?id=1");     // http://127.0.0.1:PORT/item.htm?id=1
//   ... run the code under test ...
//   auto seen = server.requests();                      // in arrival order
//   seen[0].headers[0].first == "Accept"
//
// A target without a canned answer gets 404 "not found". By default every answer
// carries "Connection: close", so each request arrives on a fresh connection;
// RecordingServer({.keepAlive = true}) keeps connections open and numbers them
// (RecordedRequest::connection), and {.tls = true} speaks https with a certificate
// for 127.0.0.1 and localhost signed by caPem(). The server stops (and hanging
// answers end) in stop() or the destructor.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace kelvora::test {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct RecordedRequest {
  std::string method;
  std::string target;   // as in the request line, query included
  std::string version;  // "HTTP/1.1"
  HeaderList headers;   // names and values as sent, in order (value without the blanks after ':')
  std::string body;
  std::string head;         // raw request line and header lines, up to the blank line
  int connection = 0;       // which connection it came on: 1 for the first one accepted
  int onConnection = 0;     // how many requests that connection carried before it
  std::string alpnOffered;  // https: the protocols the client offered, comma-separated

  // First value of the header called `name` (any case); nullopt when it was not sent.
  std::optional<std::string> header(std::string_view name) const;
  // Header names in the order sent.
  std::vector<std::string> headerNames() const;
  // The target without its query.
  std::string path() const;
};

struct CannedResponse {
  int status = 200;
  HeaderList headers;  // sent in this order before Content-Length
  std::string body;
  int delayMs = 0;                // wait before answering
  bool hang = false;              // read the request, never answer
  bool sendContentLength = true;  // false: the body ends when the connection closes
  // Announce this Content-Length instead of the body's size; a larger one makes an
  // answer cut short (the connection closes after the body).
  std::optional<size_t> contentLength;
  // Send the body this many bytes at a time, one piece every trickleIntervalMs.
  size_t trickleBytes = 0;
  int trickleIntervalMs = 0;
  // Close the connection once the request is read, without a byte of answer.
  bool dropConnection = false;
  // Keep-alive servers: close the connection after this answer without saying so
  // in it, as a server does that lets an idle connection go.
  bool closeAfter = false;

  static CannedResponse Redirect(std::string location, int status = 302);
};

struct ServerOptions {
  bool keepAlive = false;  // answer without "Connection: close" and wait for more
  bool tls = false;        // https
};

class RecordingServer {
 public:
  using Handler = std::function<CannedResponse(const RecordedRequest&)>;

  // Binds a free port on 127.0.0.1 and starts answering.
  RecordingServer() : RecordingServer(ServerOptions{}) {}
  explicit RecordingServer(ServerOptions options);
  ~RecordingServer();
  RecordingServer(const RecordingServer&) = delete;
  RecordingServer& operator=(const RecordingServer&) = delete;

  int port() const { return port_; }
  std::string baseUrl() const;                     // "http://127.0.0.1:PORT" (https with tls)
  std::string url(std::string_view target) const;  // baseUrl() + target

  // Answers for a target: an exact target ("/a?b=1") wins over a path ("/a").
  void on(const std::string& target, CannedResponse response);
  void on(const std::string& target, Handler handler);

  std::vector<RecordedRequest> requests() const;
  size_t requestCount() const;
  // Waits until at least `count` requests arrived; false on time-out.
  bool waitForRequests(size_t count, std::chrono::milliseconds timeout) const;
  void clearRequests();

  // The authority that signed the https certificate (PEM); empty without tls.
  const std::string& caPem() const { return caPem_; }
  // Connections accepted so far.
  int connectionCount() const;

  void stop();

 private:
  struct Connection;
  void acceptLoop();
  void serve(int fd, int number);
  bool answer(Connection& conn, const RecordedRequest& request, const CannedResponse& answer);
  CannedResponse answerFor(const RecordedRequest& request);
  bool waitWhileRunning(std::chrono::milliseconds duration);  // false once stopping

  ServerOptions options_;
  std::string caPem_;
  void* tlsContext_ = nullptr;  // SSL_CTX
  int listenFd_ = -1;
  int port_ = 0;
  int accepted_ = 0;
  std::thread acceptThread_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool stopping_ = false;
  std::vector<std::thread> connections_;
  std::vector<int> openFds_;
  std::map<std::string, Handler> handlers_;
  std::vector<RecordedRequest> requests_;
};

}  // namespace kelvora::test
