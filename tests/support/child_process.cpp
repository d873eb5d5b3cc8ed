#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace tovarin::test {

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds remaining(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? left : std::chrono::milliseconds(0);
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, ErrorStream error_stream) {
  if (argv.empty()) throw std::runtime_error("ChildProcess: no program");
  int out_pipe[2];
  int err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  bool err_ok = false;
  if (error_stream == ErrorStream::terminal) {
    winsize size{};
    size.ws_row = 24;
    size.ws_col = 80;
    // err_pipe[0] is the terminal's master side, err_pipe[1] its slave side.
    err_ok = openpty(&err_pipe[0], &err_pipe[1], nullptr, nullptr, &size) == 0;
    if (err_ok) {
      fcntl(err_pipe[0], F_SETFD, FD_CLOEXEC);
      fcntl(err_pipe[1], F_SETFD, FD_CLOEXEC);
    }
  } else {
    err_ok = pipe2(err_pipe, O_CLOEXEC) == 0;
  }
  if (!err_ok) {
    ::close(out_pipe[0]);
    ::close(out_pipe[1]);
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);
  // The child starts with default signal handling and nothing blocked,
  // whatever the test runner set up.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  started_ = Clock::now();
  const int rc = posix_spawn(&pid_, args[0], &actions, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  out_fd_ = out_pipe[0];
  err_fd_ = err_pipe[0];
  if (rc != 0) {
    close_pipes();
    pid_ = -1;
    throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
  }
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  close_pipes();
}

void ChildProcess::close_pipes() {
  if (out_fd_ >= 0) ::close(out_fd_);
  if (err_fd_ >= 0) ::close(err_fd_);
  out_fd_ = err_fd_ = -1;
}

bool ChildProcess::pump(std::chrono::milliseconds wait) {
  pollfd fds[2];
  int count = 0;
  std::string* sinks[2];
  int* owners[2];
  if (out_fd_ >= 0) {
    fds[count] = {out_fd_, POLLIN, 0};
    sinks[count] = &result_.out;
    owners[count++] = &out_fd_;
  }
  if (err_fd_ >= 0) {
    fds[count] = {err_fd_, POLLIN, 0};
    sinks[count] = &result_.err;
    owners[count++] = &err_fd_;
  }
  if (count == 0) return false;
  const int ready = ::poll(fds, static_cast<nfds_t>(count), static_cast<int>(wait.count()));
  if (ready <= 0) return true;
  for (int i = 0; i < count; ++i) {
    if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
    char buffer[65536];
    const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
    if (n > 0) {
      sinks[i]->append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      ::close(*owners[i]);
      *owners[i] = -1;
    }
  }
  return out_fd_ >= 0 || err_fd_ >= 0;
}

bool ChildProcess::wait_for_output(const std::function<bool(const std::string&)>& ready,
                                   std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!ready(result_.out)) {
    const auto left = remaining(deadline);
    if (left.count() == 0) return false;
    if (!pump(std::min(left, std::chrono::milliseconds(100)))) return ready(result_.out);
  }
  return true;
}

void ChildProcess::send_signal(int signal) {
  if (pid_ > 0 && !reaped_) ::kill(pid_, signal);
}

ChildResult ChildProcess::finish(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  // Both pipes close when the child ends (unless it left a grandchild
  // holding them, which the deadline also bounds).
  while (pump(std::min(remaining(deadline), std::chrono::milliseconds(100)))) {
    if (remaining(deadline).count() == 0) break;
  }
  int status = 0;
  pid_t done = 0;
  while (!reaped_) {
    done = wait4(pid_, &status, WNOHANG, &result_.usage);
    if (done == pid_) {
      reaped_ = true;
      break;
    }
    if (done < 0 && errno != EINTR) break;
    if (remaining(deadline).count() == 0) {
      result_.timed_out = true;
      ::kill(pid_, SIGKILL);
      while (wait4(pid_, &status, 0, &result_.usage) < 0 && errno == EINTR) {
      }
      reaped_ = true;
      break;
    }
    ::usleep(500);
  }
  result_.elapsed = Clock::now() - started_;
  // Anything left in the pipes after the end.
  while (pump(std::chrono::milliseconds(0))) {
    if (out_fd_ < 0 && err_fd_ < 0) break;
    pollfd probe[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (::poll(probe, 2, 0) <= 0) break;
  }
  close_pipes();
  if (WIFEXITED(status)) result_.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result_.term_signal = WTERMSIG(status);
  return result_;
}

ChildResult run_child(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
  ChildProcess child(argv);
  return child.finish(timeout);
}

}  // namespace tovarin::test
