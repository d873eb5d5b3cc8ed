#include "tests/support/scripted_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <list>
#include <stdexcept>

namespace tovarin::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPollSliceMs = 50;
// A client that takes no more bytes for this long is given up.
constexpr std::chrono::seconds kSendStallLimit{30};
// After a full answer, how long the client gets to close its side first.
constexpr std::chrono::milliseconds kLingerForClient{2000};

void set_non_blocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

const char* reason_for(int status) {
  switch (status) {
    case 200: return "OK";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
  }
}

bool iequals(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// The value of the first header `name` of a raw request, "" when absent.
std::string header_value(const std::string& raw, const std::string& name) {
  std::vector<std::string> lines = header_lines(raw, name);
  if (lines.empty()) return {};
  std::string value = lines.front().substr(name.size() + 1);
  std::size_t start = value.find_first_not_of(" \t");
  return start == std::string::npos ? std::string{} : value.substr(start);
}

}  // namespace

std::string request_target(const std::string& raw_request) {
  std::size_t line_end = raw_request.find("\r\n");
  std::string line = raw_request.substr(0, line_end);
  std::size_t first = line.find(' ');
  if (first == std::string::npos) return {};
  std::size_t second = line.rfind(' ');
  if (second == first) return line.substr(first + 1);
  return line.substr(first + 1, second - first - 1);
}

std::vector<std::string> header_lines(const std::string& raw_request, const std::string& name) {
  std::vector<std::string> found;
  std::size_t pos = raw_request.find("\r\n");
  while (pos != std::string::npos) {
    std::size_t start = pos + 2;
    std::size_t end = raw_request.find("\r\n", start);
    if (end == std::string::npos || end == start) break;
    std::string line = raw_request.substr(start, end - start);
    std::size_t colon = line.find(':');
    if (colon != std::string::npos && iequals(line.substr(0, colon), name)) found.push_back(line);
    pos = end;
  }
  return found;
}

std::string ScriptedServer::response(int status, const std::string& body,
                                     const std::vector<std::pair<std::string, std::string>>& headers) {
  std::string out = "HTTP/1.0 " + std::to_string(status) + " " + reason_for(status) + "\r\n";
  for (const auto& [name, value] : headers) out += name + ": " + value + "\r\n";
  out += "\r\n";
  out += body;
  return out;
}

ScriptedServer::ScriptedServer(const std::string& address, std::uint16_t port) : address_(address) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1 || (ntohl(addr.sin_addr.s_addr) >> 24) != 127)
    throw std::invalid_argument("ScriptedServer binds loopback IPv4 addresses only: " + address);
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) throw std::runtime_error("socket failed");
  int one = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listen_fd_, 128) != 0) {
    int error = errno;
    ::close(listen_fd_);
    throw std::runtime_error(std::string("cannot listen on ") + address + ": " + std::strerror(error));
  }
  socklen_t length = sizeof addr;
  getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &length);
  port_ = ntohs(addr.sin_port);
  set_non_blocking(listen_fd_);
  if (pipe2(wake_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    ::close(listen_fd_);
    throw std::runtime_error("pipe failed");
  }
  acceptor_ = std::thread([this] { accept_loop(); });
}

ScriptedServer::~ScriptedServer() {
  stopping_ = true;
  char byte = 1;
  [[maybe_unused]] ssize_t ignored = write(wake_pipe_[1], &byte, 1);
  changed_.notify_all();
  if (acceptor_.joinable()) acceptor_.join();
  // Every worker polls in short slices and ends once it sees the stop.
  for (Worker& worker : workers_) {
    if (worker.thread.joinable()) worker.thread.join();
  }
  ::close(listen_fd_);
  ::close(wake_pipe_[0]);
  ::close(wake_pipe_[1]);
}

std::string ScriptedServer::url(const std::string& target) const {
  return "http://" + address_ + ":" + std::to_string(port_) + target;
}

std::string ScriptedServer::connect_to_rule(const std::string& host, std::uint16_t host_port) const {
  return host + ":" + std::to_string(host_port) + ":" + address_ + ":" + std::to_string(port_);
}

std::string ScriptedServer::connect_all_rule() const { return "::" + address_ + ":" + std::to_string(port_); }

void ScriptedServer::add_page(const std::string& target, const std::string& body, const std::string& content_type) {
  add_raw(target, response(200, body,
                           {{"Content-Type", content_type},
                            {"Content-Length", std::to_string(body.size())},
                            {"Connection", "close"}}));
}

void ScriptedServer::add_raw(const std::string& target, std::string raw_response) {
  add_fault(target, ServerReply{ServerReply::Kind::kRaw, std::move(raw_response), 0, {}});
}

void ScriptedServer::add_raw_for_host(const std::string& host, const std::string& target, std::string raw_response) {
  add_reply_for_host(host, target, ServerReply{ServerReply::Kind::kRaw, std::move(raw_response), 0, {}});
}

void ScriptedServer::add_redirect(const std::string& target, const std::string& location, int status) {
  const std::string body = "moved";
  add_raw(target, response(status, body,
                           {{"Location", location},
                            {"Content-Length", std::to_string(body.size())},
                            {"Connection", "close"}}));
}

void ScriptedServer::add_fault(const std::string& target, ServerReply reply) {
  add_reply_for_host("", target, std::move(reply));
}

void ScriptedServer::add_reply_for_host(const std::string& host, const std::string& target, ServerReply reply) {
  std::lock_guard lock(mutex_);
  scripts_[{host, target}] = std::move(reply);
}

std::vector<std::string> ScriptedServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::vector<std::string> ScriptedServer::request_targets() const {
  std::vector<std::string> targets;
  for (const std::string& request : requests()) targets.push_back(request_target(request));
  return targets;
}

std::size_t ScriptedServer::request_count() const {
  std::lock_guard lock(mutex_);
  return requests_.size();
}

bool ScriptedServer::wait_for_requests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

ServerReply ScriptedServer::reply_for(const std::string& request) const {
  const std::string target = request_target(request);
  const std::string host = header_value(request, "Host");
  std::lock_guard lock(mutex_);
  auto found = scripts_.find({host, target});
  if (found == scripts_.end()) found = scripts_.find({"", target});
  if (found != scripts_.end()) return found->second;
  const std::string body = "not found";
  return ServerReply{ServerReply::Kind::kRaw,
                     response(404, body, {{"Content-Length", std::to_string(body.size())}, {"Connection", "close"}}),
                     0,
                     {}};
}

void ScriptedServer::accept_loop() {
  while (!stopping_) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_pipe_[0], POLLIN, 0}};
    int ready = poll(fds, 2, 200);
    if (stopping_) break;
    if (ready <= 0 || !(fds[0].revents & POLLIN)) continue;
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) continue;
    for (auto it = workers_.begin(); it != workers_.end();) {
      if (it->done) {
        it->thread.join();
        it = workers_.erase(it);
      } else {
        ++it;
      }
    }
    Worker& worker = workers_.emplace_back();
    worker.thread = std::thread([this, fd, &worker] {
      serve(fd);
      worker.done = true;
    });
  }
}

bool ScriptedServer::wait_until_stopped(std::chrono::milliseconds timeout) {
  const auto end = Clock::now() + timeout;
  while (!stopping_) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    if (left.count() <= 0) return false;
    pollfd wake{wake_pipe_[0], POLLIN, 0};
    poll(&wake, 1, static_cast<int>(std::min<long long>(left.count(), kPollSliceMs)));
  }
  return true;
}

bool ScriptedServer::send_all(int fd, const char* data, std::size_t size) {
  auto last_progress = Clock::now();
  while (size > 0) {
    if (stopping_) return false;
    ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
    if (sent > 0) {
      data += sent;
      size -= static_cast<std::size_t>(sent);
      last_progress = Clock::now();
      continue;
    }
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    if (Clock::now() - last_progress > kSendStallLimit) return false;
    pollfd out{fd, POLLOUT, 0};
    poll(&out, 1, kPollSliceMs);
  }
  return true;
}

void ScriptedServer::serve(int fd) {
  // Read up to the blank line that ends the request headers.
  std::string request;
  const auto deadline = Clock::now() + kRequestTimeout;
  char buffer[4096];
  while (!stopping_ && request.find("\r\n\r\n") == std::string::npos && request.size() < kMaxRequestBytes &&
         Clock::now() < deadline) {
    pollfd in{fd, POLLIN, 0};
    if (poll(&in, 1, kPollSliceMs) <= 0) continue;
    ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      break;
    }
    request.append(buffer, static_cast<std::size_t>(got));
  }
  if (request.empty()) {
    ::close(fd);
    return;
  }
  const ServerReply reply = reply_for(request);
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
  }
  changed_.notify_all();

  bool reset = false;
  switch (reply.kind) {
    case ServerReply::Kind::kRaw:
      send_all(fd, reply.bytes.data(), reply.bytes.size());
      break;
    case ServerReply::Kind::kResetAfter:
    case ServerReply::Kind::kCloseAfter: {
      std::size_t count = std::min(reply.count, reply.bytes.size());
      send_all(fd, reply.bytes.data(), count);
      // Give the client time to take the bytes before the connection goes.
      wait_until_stopped(std::chrono::milliseconds(200));
      reset = reply.kind == ServerReply::Kind::kResetAfter;
      break;
    }
    case ServerReply::Kind::kNeverAnswer:
      while (!wait_until_stopped(std::chrono::milliseconds(1000))) {
      }
      break;
    case ServerReply::Kind::kDrip: {
      std::size_t piece = reply.count == 0 ? 1 : reply.count;
      for (std::size_t at = 0; at < reply.bytes.size() && !stopping_; at += piece) {
        if (!send_all(fd, reply.bytes.data() + at, std::min(piece, reply.bytes.size() - at))) break;
        if (at + piece < reply.bytes.size() && wait_until_stopped(reply.interval)) break;
      }
      break;
    }
  }

  if (reset) {
    linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  } else {
    // Close our side, then let the client close first so that no unread byte
    // turns the close into a reset.
    shutdown(fd, SHUT_WR);
    const auto end = Clock::now() + kLingerForClient;
    while (!stopping_ && Clock::now() < end) {
      pollfd in{fd, POLLIN, 0};
      if (poll(&in, 1, kPollSliceMs) <= 0) continue;
      ssize_t got = recv(fd, buffer, sizeof buffer, 0);
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) break;
    }
  }
  ::close(fd);
}

}  // namespace tovarin::test
