#pragma once
// A child program run for a test or a benchmark: started with posix_spawn,
// its standard output and error captured through pipes, every wait bounded,
// killed when a wait runs out.

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace tovarin::test {

struct ChildResult {
  bool timed_out = false;    // the wait ran out and the child was killed
  int exit_code = -1;        // -1 unless the child exited normally
  int term_signal = 0;       // the signal that ended it, 0 when it exited
  std::string out;           // everything it wrote to standard output
  std::string err;           // everything it wrote to standard error
  rusage usage{};            // its own resource use (ru_maxrss in KiB)
  std::chrono::steady_clock::duration elapsed{};  // from start to its end
};

class ChildProcess {
 public:
  enum class ErrorStream { pipe, terminal };

  // Starts argv[0] (a path) with the given arguments, standard input from
  // /dev/null. With ErrorStream::terminal its standard error is a pseudo
  // terminal (of 80 columns) rather than a pipe; what it writes there is
  // captured all the same, with the terminal's line endings ("\r\n").
  // Throws std::runtime_error when it cannot be started.
  explicit ChildProcess(const std::vector<std::string>& argv, ErrorStream error_stream = ErrorStream::pipe);
  ~ChildProcess();  // kills and reaps a child still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  const std::string& out() const { return result_.out; }
  const std::string& err() const { return result_.err; }

  // Collects output until `ready` holds for the standard output so far, or
  // the child ends, or `timeout` passes; true when `ready` held.
  bool wait_for_output(const std::function<bool(const std::string&)>& ready, std::chrono::milliseconds timeout);

  void send_signal(int signal);

  // Collects output until the child ends and reaps it; after `timeout` the
  // child is killed (SIGKILL) and the result says timed_out.
  ChildResult finish(std::chrono::milliseconds timeout);

 private:
  // Reads whatever the pipes hold, waiting at most `wait`; false once both
  // pipes are closed.
  bool pump(std::chrono::milliseconds wait);
  void close_pipes();

  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  bool reaped_ = false;
  std::chrono::steady_clock::time_point started_;
  ChildResult result_;
};

// Runs a program to its end (bounded by `timeout`) and returns what it did.
ChildResult run_child(const std::vector<std::string>& argv, std::chrono::milliseconds timeout);

}  // namespace tovarin::test
