#include "tests/support/isolated_crawl.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "engine/crawl_engine.h"
#include "tests/support/recording_host.h"

namespace tovarin::test {
namespace {

long status_field_kib(const char* name) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::size_t length = std::strlen(name);
  while (std::getline(status, line)) {
    if (line.compare(0, length, name) == 0 && line.size() > length && line[length] == ':')
      return std::stol(line.substr(length + 1));
  }
  return -1;
}

void put_number(std::string& out, long long n) {
  out += std::to_string(n);
  out += '\n';
}

void put_text(std::string& out, const std::string& text) {
  put_number(out, static_cast<long long>(text.size()));
  out += text;
}

void write_all(int fd, const std::string& data) {
  std::size_t at = 0;
  while (at < data.size()) {
    const ssize_t n = ::write(fd, data.data() + at, data.size() - at);
    if (n <= 0) return;
    at += static_cast<std::size_t>(n);
  }
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kInProcess = true;
#else
constexpr bool kInProcess = false;
#endif

// Only what was listed and the counters matter here: the call log is dropped
// now and then so that a crawl of a million visits does not fill memory with
// it.
void keep_call_log_short(RecordingHost& host) {
  host.on_pump = [&host] {
    if (host.calls.size() > 4096) host.calls.clear();
    return true;
  };
}

CrawlOutcome run_here(const Text& start_address, const Text& depth_text) {
  CrawlEngine engine;
  engine.load_download_types();
  RecordingHost host(start_address, depth_text);
  keep_call_log_short(host);
  const auto started = std::chrono::steady_clock::now();
  engine.start_crawl(host);
  CrawlOutcome outcome;
  outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  outcome.finished = true;
  outcome.memory_measured = false;
  outcome.valid_count = engine.valid_count();
  outcome.total_count = engine.total_count();
  outcome.depth_limit = engine.depth_limit();
  outcome.listed = std::move(host.listed);
  return outcome;
}

[[noreturn]] void run_child(int fd, const Text& start_address, const Text& depth_text) {
  CrawlEngine engine;
  engine.load_download_types();
  RecordingHost host(start_address, depth_text);
  keep_call_log_short(host);
  const long before = current_rss_kib();
  const auto started = std::chrono::steady_clock::now();
  engine.start_crawl(host);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const long growth = peak_rss_kib() - before;

  std::string report;
  put_number(report, engine.valid_count());
  put_number(report, engine.total_count());
  put_number(report, engine.depth_limit());
  put_number(report, static_cast<long long>(seconds * 1e6));
  put_number(report, growth);
  put_number(report, static_cast<long long>(host.listed.size()));
  for (const Text& entry : host.listed) put_text(report, entry);
  write_all(fd, report);
  ::close(fd);
  ::_exit(0);
}

// Reads the report: numbers on lines of their own, texts as a length line and
// the bytes.
struct Reader {
  const std::string& data;
  std::size_t at = 0;
  bool ok = true;
  long long number() {
    const std::size_t end = data.find('\n', at);
    if (end == std::string::npos) {
      ok = false;
      return 0;
    }
    const long long n = std::stoll(data.substr(at, end - at));
    at = end + 1;
    return n;
  }
  std::string text() {
    const long long n = number();
    if (!ok || n < 0 || static_cast<std::size_t>(n) > data.size() - at) {
      ok = false;
      return {};
    }
    std::string out = data.substr(at, static_cast<std::size_t>(n));
    at += static_cast<std::size_t>(n);
    return out;
  }
};

}  // namespace

long current_rss_kib() { return status_field_kib("VmRSS"); }
long peak_rss_kib() { return status_field_kib("VmHWM"); }

CrawlOutcome run_isolated_crawl(const Text& start_address, const Text& depth_text, std::chrono::seconds limit) {
  if (kInProcess) return run_here(start_address, depth_text);
  CrawlOutcome outcome;
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    outcome.failure = "pipe failed";
    return outcome;
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    outcome.failure = "fork failed";
    return outcome;
  }
  if (pid == 0) {
    ::close(pipe_fds[0]);
    run_child(pipe_fds[1], start_address, depth_text);
  }
  ::close(pipe_fds[1]);

  std::string data;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  bool timed_out = false;
  char buffer[65536];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timed_out = true;
      break;
    }
    pollfd pfd{pipe_fds[0], POLLIN, 0};
    const int ready = ::poll(&pfd, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
    if (ready <= 0) continue;
    const ssize_t n = ::read(pipe_fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pipe_fds[0]);
  if (timed_out) ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (timed_out) {
    outcome.failure = "the crawl did not end within " + std::to_string(limit.count()) + " s";
    return outcome;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    outcome.failure = WIFSIGNALED(status) ? "the crawl died of signal " + std::to_string(WTERMSIG(status))
                                          : "the crawl exited with status " + std::to_string(WEXITSTATUS(status));
    return outcome;
  }
  Reader reader{data};
  outcome.valid_count = static_cast<std::int32_t>(reader.number());
  outcome.total_count = static_cast<std::int32_t>(reader.number());
  outcome.depth_limit = static_cast<std::int32_t>(reader.number());
  outcome.seconds = static_cast<double>(reader.number()) / 1e6;
  outcome.rss_growth_kib = static_cast<long>(reader.number());
  const long long entries = reader.number();
  for (long long i = 0; reader.ok && i < entries; ++i) outcome.listed.push_back(reader.text());
  if (!reader.ok) {
    outcome.failure = "the crawl's report was cut short";
    return outcome;
  }
  outcome.finished = true;
  return outcome;
}

}  // namespace tovarin::test
