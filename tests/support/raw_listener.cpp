#include "tests/support/raw_listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace tovarin::test {

namespace {
using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kSlice{100};
}  // namespace

RawListener::RawListener(Handler handler, const std::string& address)
    : address_(address), handler_(std::move(handler)) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) throw std::runtime_error("RawListener: socket failed");
  const int one = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  if (::inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1 ||
      ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(listen_fd_, 64) != 0) {
    ::close(listen_fd_);
    throw std::runtime_error("RawListener: cannot listen on " + address);
  }
  socklen_t len = sizeof sa;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&sa), &len);
  port_ = ntohs(sa.sin_port);
  if (::pipe2(wake_pipe_, O_CLOEXEC) != 0) {
    ::close(listen_fd_);
    throw std::runtime_error("RawListener: pipe failed");
  }
  acceptor_ = std::thread([this] { accept_loop(); });
}

RawListener::~RawListener() {
  stopping_ = true;
  const char byte = 0;
  [[maybe_unused]] ssize_t ignored = ::write(wake_pipe_[1], &byte, 1);
  acceptor_.join();
  {
    std::lock_guard lock(mutex_);
    for (int fd : open_fds_) ::shutdown(fd, SHUT_RDWR);
  }
  for (std::thread& worker : workers_) worker.join();
  ::close(listen_fd_);
  ::close(wake_pipe_[0]);
  ::close(wake_pipe_[1]);
}

void RawListener::accept_loop() {
  while (!stopping_) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_pipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, 1000) <= 0) continue;
    if (fds[1].revents != 0) break;
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++accepted_;
    std::lock_guard lock(mutex_);
    auto where = open_fds_.insert(open_fds_.end(), fd);
    workers_.emplace_back([this, fd, where] {
      Connection connection(*this, fd);
      handler_(connection);
      std::lock_guard inner(mutex_);
      open_fds_.erase(where);
      ::close(fd);
    });
  }
}

std::string RawListener::Connection::read_request() {
  std::string request;
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  char buffer[4096];
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < 64 * 1024 && Clock::now() < deadline &&
         !owner_.stopping_) {
    pollfd pfd{fd_, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(kSlice.count())) <= 0) continue;
    const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    request.append(buffer, static_cast<std::size_t>(got));
  }
  return request;
}

bool RawListener::Connection::send(std::string_view data) {
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (!data.empty()) {
    if (owner_.stopping_ || Clock::now() >= deadline) return false;
    pollfd pfd{fd_, POLLOUT, 0};
    const int ready = ::poll(&pfd, 1, static_cast<int>(kSlice.count()));
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) continue;
    if ((pfd.revents & (POLLERR | POLLHUP)) != 0) return false;
    const ssize_t sent = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      return false;
    }
    owner_.bytes_sent_ += static_cast<std::size_t>(sent);
    data.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

bool RawListener::Connection::wait_until_stopped(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!owner_.stopping_) {
    const auto now = Clock::now();
    if (now >= deadline) return false;
    std::this_thread::sleep_for(std::min<Clock::duration>(kSlice, deadline - now));
  }
  return true;
}

}  // namespace tovarin::test
