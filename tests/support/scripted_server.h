#pragma once
// A small scripted HTTP server on loopback for tests that need exact requests
// and exact (or broken) responses.
//
// Each connection is read up to the blank line that ends the request headers
// (at most kMaxRequestBytes, for at most kRequestTimeout), recorded as raw
// bytes, and answered by the script of its request target; every answer ends
// by closing the connection. Unknown targets get a 404 with a small body.
// Connections are served on threads of their own, so a connection that is
// never answered holds up neither the others nor the destructor; every wait
// of the server is bounded and the destructor closes every socket.
//
// Serving fictitious hosts (links in pages cannot carry a port): route them to
// the server with a connect-to override; the Host header and request line stay
// as a real fetch sends them.
//
//   tovarin::test::ScriptedServer server;
//   server.add_page("/", "<a href=\"http://site.test/b\">b</a>");
//   server.add_page("/b", "page b");
//   tovarin::fetch_testing::ScopedFetchOverrides guard(
//       {.connect_to = {server.connect_to_rule("site.test")}});
//   // or {.connect_to = {server.connect_all_rule()}} for every host and port
//   tovarin::Bytes body = tovarin::fetch_page("http://site.test/");
//   EXPECT_EQ(server.request_targets(), std::vector<std::string>{"/"});
//
// Scripts may be added while the server runs; a script with a host
// (add_raw_for_host) wins over one without for requests whose Host header
// equals that host exactly.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tovarin::test {

// How a scripted connection is answered.
struct ServerReply {
  enum class Kind {
    kRaw,          // send `bytes`, then close
    kResetAfter,   // send the first `count` bytes of `bytes`, then reset (RST)
    kCloseAfter,   // send the first `count` bytes of `bytes`, then close cleanly
    kNeverAnswer,  // read the request, then keep the connection open, silent,
                   // until the server stops
    kDrip,         // send `bytes` in pieces of `count` bytes, `interval` apart
  };
  Kind kind = Kind::kRaw;
  std::string bytes;
  std::size_t count = 0;
  std::chrono::milliseconds interval{0};
};

class ScriptedServer {
 public:
  static constexpr std::size_t kMaxRequestBytes = 64 * 1024;
  static constexpr std::chrono::milliseconds kRequestTimeout{5000};

  // Listens on `address` (a loopback IPv4 address) and `port` (0: a free one).
  explicit ScriptedServer(const std::string& address = "127.0.0.1", std::uint16_t port = 0);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  std::uint16_t port() const { return port_; }
  const std::string& address() const { return address_; }
  // "http://ADDRESS:PORT" followed by `target`.
  std::string url(const std::string& target = "/") const;
  // Connect-to rule sending fetches of host:host_port to this server.
  std::string connect_to_rule(const std::string& host, std::uint16_t host_port = 80) const;
  // Connect-to rule sending every fetch, whatever host and port, here.
  std::string connect_all_rule() const;

  // 200 OK with Content-Type, Content-Length and Connection: close.
  void add_page(const std::string& target, const std::string& body,
                const std::string& content_type = "text/html");
  // Exactly these bytes, then close.
  void add_raw(const std::string& target, std::string raw_response);
  void add_raw_for_host(const std::string& host, const std::string& target, std::string raw_response);
  // A redirection (status 301, 302, ...) to `location`, with a small body.
  void add_redirect(const std::string& target, const std::string& location, int status = 302);
  void add_fault(const std::string& target, ServerReply reply);
  void add_reply_for_host(const std::string& host, const std::string& target, ServerReply reply);

  // Raw bytes of every request received, in arrival order (a copy).
  std::vector<std::string> requests() const;
  // The target of each request line, in arrival order.
  std::vector<std::string> request_targets() const;
  std::size_t request_count() const;
  // Waits until at least `count` requests have arrived or `timeout` passed;
  // whether they did.
  bool wait_for_requests(std::size_t count, std::chrono::milliseconds timeout) const;

  // Builds "HTTP/1.0 <status> <reason>" + headers + blank line + body.
  static std::string response(int status, const std::string& body,
                              const std::vector<std::pair<std::string, std::string>>& headers = {});

 private:
  void accept_loop();
  void serve(int fd);
  ServerReply reply_for(const std::string& request) const;
  bool send_all(int fd, const char* data, std::size_t size);
  bool wait_until_stopped(std::chrono::milliseconds timeout);

  std::string address_;
  std::uint16_t port_ = 0;
  int listen_fd_ = -1;
  int wake_pipe_[2] = {-1, -1};
  std::atomic<bool> stopping_{false};

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::map<std::pair<std::string, std::string>, ServerReply> scripts_;  // (host, target)
  std::vector<std::string> requests_;
  // One thread per connection; finished ones are joined as new ones start.
  struct Worker {
    std::thread thread;
    std::atomic<bool> done{false};
  };
  std::list<Worker> workers_;  // only the accept thread and the destructor
  std::thread acceptor_;
};

// The target of a raw request's request line ("GET /a HTTP/1.0" -> "/a").
std::string request_target(const std::string& raw_request);
// Every header line of a raw request whose name equals `name` (ASCII case
// ignored), as "Name: value" exactly as received.
std::vector<std::string> header_lines(const std::string& raw_request, const std::string& name);

}  // namespace tovarin::test
