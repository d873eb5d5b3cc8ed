#pragma once
// A real nginx serving a directory on port 80 of one loopback address, for
// tests and benchmarks that crawl whole sites (links in pages carry no port,
// so a crawled site must sit on port 80). Each server gets its own loopback
// address (127.0.84.N) so that servers of tests running side by side never
// meet. Everything nginx writes (pid, logs, temporary files) stays in a
// temporary directory of its own.

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/temp_dir.h"

namespace tovarin::test {

struct NginxOptions {
  // Log every request (method and target) so tests can tell what was fetched.
  bool access_log = true;
  int worker_processes = 1;
};

struct AccessLogEntry {
  std::string method;
  std::string target;  // the request target as sent, bytes unescaped
  int status = 0;
};

class NginxServer {
 public:
  // Starts /usr/sbin/nginx serving `doc_root` on `address`:80 and waits (at
  // most about 10 s) until it accepts connections. On failure ok() is false
  // and error() tells why, with nginx's error log.
  NginxServer(std::filesystem::path doc_root, std::string address, NginxOptions options = {});
  // Stops nginx: SIGQUIT, then SIGTERM, then SIGKILL, each wait bounded.
  ~NginxServer();
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  bool ok() const { return pid_ > 0 && error_.empty(); }
  const std::string& error() const { return error_; }
  const std::string& address() const { return address_; }
  // "http://ADDRESS" followed by `path`.
  std::string url(std::string_view path = "/") const;

  // The requests served so far, in the order nginx logged them.
  std::vector<AccessLogEntry> access_log() const;
  // Just the request targets of access_log().
  std::vector<std::string> requested_targets() const;
  // The number of requests logged so far; a mark for access_log_since().
  std::size_t request_count() const { return access_log().size(); }
  std::vector<AccessLogEntry> access_log_since(std::size_t mark) const;

  std::string error_log() const;

 private:
  void start();
  void stop();

  std::filesystem::path doc_root_;
  std::string address_;
  NginxOptions options_;
  TempDir work_;
  pid_t pid_ = -1;
  std::string error_;
};

// Writes every page of `site` (path from the site's root, such as
// "/index.html" or "c/a.html" → content) under `doc_root`.
void write_site(const std::filesystem::path& doc_root, const std::map<std::string, std::string>& site);

}  // namespace tovarin::test
