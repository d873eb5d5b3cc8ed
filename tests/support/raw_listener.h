#pragma once
// A bare TCP listener on loopback whose connections are handled by a function
// of the test: for servers that misbehave below HTTP (an endless body, a TLS
// handshake that never comes, a port that must never be reached) and for
// counting every connection made to a port.
//
//   tovarin::test::RawListener silent([](tovarin::test::RawListener::Connection& c) {
//     c.wait_until_stopped(std::chrono::seconds(30));   // accept, never speak
//   });
//   ... fetch something routed to silent.port() ...
//   EXPECT_EQ(silent.accepted(), 1u);
//
// Each connection runs on a thread of its own. Every wait is bounded, and the
// destructor wakes and joins every handler: it shuts the sockets down, so a
// handler blocked in a send or a read returns at once.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace tovarin::test {

class RawListener {
 public:
  class Connection {
   public:
    Connection(RawListener& owner, int fd) : owner_(owner), fd_(fd) {}
    // Reads up to the blank line that ends a request's headers (at most
    // 64 KiB, for at most 5 s); the bytes read, possibly fewer.
    std::string read_request();
    // Sends every byte unless the peer goes, the listener stops or 30 s pass;
    // whether all were sent. Counted in bytes_sent().
    bool send(std::string_view data);
    // Sleeps until the listener stops or `timeout` passes; whether it stopped.
    bool wait_until_stopped(std::chrono::milliseconds timeout);
    bool stopping() const { return owner_.stopping_; }

   private:
    RawListener& owner_;
    int fd_;
  };
  using Handler = std::function<void(Connection&)>;

  // Listens on `address` (loopback) at a free port; throws std::runtime_error
  // when it cannot.
  explicit RawListener(Handler handler, const std::string& address = "127.0.0.1");
  ~RawListener();
  RawListener(const RawListener&) = delete;
  RawListener& operator=(const RawListener&) = delete;

  std::uint16_t port() const { return port_; }
  const std::string& address() const { return address_; }
  std::size_t accepted() const { return accepted_; }
  std::size_t bytes_sent() const { return bytes_sent_; }

 private:
  void accept_loop();

  std::string address_;
  std::uint16_t port_ = 0;
  int listen_fd_ = -1;
  int wake_pipe_[2] = {-1, -1};
  Handler handler_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::size_t> accepted_{0};
  std::atomic<std::size_t> bytes_sent_{0};
  std::mutex mutex_;
  std::list<int> open_fds_;
  std::list<std::thread> workers_;
  std::thread acceptor_;
};

}  // namespace tovarin::test
