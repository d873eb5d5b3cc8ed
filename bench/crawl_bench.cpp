// Whole-site crawl speed: tovarin-crawl against wget's spider and a minimal
// sequential client, all over the same static site served by a local
// nginx on port 80 of a loopback address, side by side in one run.
//
//   crawl_bench [PAGES] [ROUNDS]     (defaults: 5000 pages, 3 rounds)
//
// Needs root (nginx binds port 80) and /usr/sbin/nginx, /usr/bin/wget.
// Prints pages per second for each client (the best of the rounds, the
// clients taking turns within each round), the ratios tovarin/wget and
// tovarin/minimal, and tovarin-crawl's peak memory; also the engine's
// fetch_page alone over the same pages, to tell the HTTP client's share from
// the crawl's. Each run's requests are counted in nginx's access log to
// confirm that every client reached the same pages.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/http_session.h"
#include "engine/page_fetch.h"
#include "tests/support/child_process.h"
#include "tests/support/generated_site.h"
#include "tests/support/nginx_server.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using tovarin::test::AccessLogEntry;
using tovarin::test::ChildResult;

constexpr const char* kHost = "127.0.84.250";

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The baseline: one connection per page, an HTTP/1.0 GET, the response read
// to the end, nothing parsed. Returns the pages that answered.
std::size_t minimal_fetch_all(const std::vector<std::string>& targets) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(80);
  inet_pton(AF_INET, kHost, &sa.sin_addr);
  std::vector<char> buffer(1 << 16);
  std::size_t answered = 0;
  for (const std::string& target : targets) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) continue;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) {
      const std::string request = "GET " + target + " HTTP/1.0\r\nHost: " + kHost + "\r\n\r\n";
      if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        std::size_t got = 0;
        for (ssize_t n; (n = ::recv(fd, buffer.data(), buffer.size(), 0)) > 0;) got += static_cast<std::size_t>(n);
        if (got > 0) ++answered;
      }
    }
    ::close(fd);
  }
  return answered;
}

// The engine's own fetch alone over the same pages, in this process: what
// tovarin-crawl costs beyond it is the crawl itself (keys, link extraction,
// listing); what it costs beyond the minimal client is the HTTP client.
std::size_t fetch_page_all(const std::vector<std::string>& listed) {
  std::size_t answered = 0;
  for (const std::string& address : listed) {
    if (!tovarin::fetch_page(address).empty()) ++answered;
  }
  return answered;
}

struct Run {
  double pages_per_second = 0;
  std::size_t pages = 0;     // distinct site pages fetched with GET
  std::size_t requests = 0;  // every request of the run
  long max_rss_kib = 0;
  bool ok = true;
};

// Counts the run's requests and how many distinct pages of the site they got.
void count_requests(const std::vector<AccessLogEntry>& log, const std::set<std::string>& site_targets, Run& run) {
  std::set<std::string> reached;
  for (const AccessLogEntry& e : log) {
    if (e.method == "GET" && site_targets.count(e.target) != 0) reached.insert(e.target);
  }
  run.requests = log.size();
  run.pages = reached.size();
  if (run.pages != site_targets.size()) run.ok = false;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t pages = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 5000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  if (pages < 1 || pages > 90000 || rounds < 1) {
    std::fprintf(stderr, "usage: %s [PAGES (1..90000)] [ROUNDS]\n", argv[0]);
    return 2;
  }

  tovarin::test::TempDir root;
  tovarin::test::TempDir scratch;
  const auto generated = Clock::now();
  const tovarin::test::GeneratedSite site = tovarin::test::write_tree_site(root.path(), kHost, pages, 8);
  const std::set<std::string> site_targets(site.targets.begin(), site.targets.end());
  std::printf("site: %zu pages (%zu with the root), %.1f MB, tree of fanout 8 with a link home on every page; "
              "written in %.2f s\n",
              pages, site.listed.size(), static_cast<double>(site.total_bytes) / 1e6, seconds(Clock::now() - generated));

  tovarin::test::NginxServer nginx(root.path(), kHost);
  if (!nginx.ok()) {
    std::fprintf(stderr, "%s\n", nginx.error().c_str());
    return 1;
  }
  minimal_fetch_all(site.targets);  // warm the page cache and nginx

  Run best_tovarin, best_wget, best_minimal, best_fetch;
  bool all_ok = true;
  for (int round = 1; round <= rounds; ++round) {
    {
      Run run;
      const std::size_t mark = nginx.request_count();
      const ChildResult r = tovarin::test::run_child({TOVARIN_CRAWL_BINARY, tovarin::test::site_start(kHost), "100000"}, 600s);
      const std::vector<std::string> listed = lines_of(r.out);
      run.ok = !r.timed_out && r.exit_code == 0 && listed == site.listed;
      count_requests(nginx.access_log_since(mark), site_targets, run);
      run.pages_per_second = static_cast<double>(listed.size()) / seconds(r.elapsed);
      run.max_rss_kib = r.usage.ru_maxrss;
      const auto cpu = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
      std::printf("round %d  tovarin-crawl: %8.0f pages/s  %.3f s (cpu user %.3f s, sys %.3f s)  listed %zu  "
                  "requests %zu  %s  %s",
                  round, run.pages_per_second, seconds(r.elapsed), cpu(r.usage.ru_utime), cpu(r.usage.ru_stime),
                  listed.size(), run.requests, run.ok ? "ok" : "MISMATCH", r.err.c_str());
      all_ok = all_ok && run.ok;
      if (run.pages_per_second > best_tovarin.pages_per_second) best_tovarin = run;
      best_tovarin.max_rss_kib = std::max(best_tovarin.max_rss_kib, run.max_rss_kib);
    }
    {
      Run run;
      const std::size_t mark = nginx.request_count();
      const ChildResult r = tovarin::test::run_child(
          {"/usr/bin/wget", "--spider", "-r", "-l", "inf", "-q", "-P", scratch.path().string(), nginx.url("/")}, 600s);
      count_requests(nginx.access_log_since(mark), site_targets, run);
      run.ok = run.ok && !r.timed_out;
      run.pages_per_second = static_cast<double>(run.pages) / seconds(r.elapsed);
      std::printf("round %d  wget --spider: %8.0f pages/s  %.3f s  pages %zu  requests %zu  %s (exit %d)\n", round,
                  run.pages_per_second, seconds(r.elapsed), run.pages, run.requests, run.ok ? "ok" : "MISMATCH",
                  r.exit_code);
      all_ok = all_ok && run.ok;
      if (run.pages_per_second > best_wget.pages_per_second) best_wget = run;
    }
    {
      Run run;
      const std::size_t mark = nginx.request_count();
      const auto start = Clock::now();
      const std::size_t answered = minimal_fetch_all(site.targets);
      const double took = seconds(Clock::now() - start);
      count_requests(nginx.access_log_since(mark), site_targets, run);
      run.ok = run.ok && answered == site.targets.size();
      run.pages_per_second = static_cast<double>(answered) / took;
      std::printf("round %d  minimal client: %7.0f pages/s  %.3f s  pages %zu  requests %zu  %s\n", round,
                  run.pages_per_second, took, run.pages, run.requests, run.ok ? "ok" : "MISMATCH");
      all_ok = all_ok && run.ok;
      if (run.pages_per_second > best_minimal.pages_per_second) best_minimal = run;
    }
    {
      Run run;
      const std::size_t mark = nginx.request_count();
      const auto start = Clock::now();
      const std::size_t answered = fetch_page_all(site.listed);
      const double took = seconds(Clock::now() - start);
      count_requests(nginx.access_log_since(mark), site_targets, run);
      run.ok = run.ok && answered == site.listed.size();
      run.pages_per_second = static_cast<double>(answered) / took;
      std::printf("round %d  fetch_page alone: %5.0f pages/s  %.3f s  pages %zu  requests %zu  %s\n", round,
                  run.pages_per_second, took, run.pages, run.requests, run.ok ? "ok" : "MISMATCH");
      all_ok = all_ok && run.ok;
      if (run.pages_per_second > best_fetch.pages_per_second) best_fetch = run;
    }
  }

  tovarin::HttpSession::instance().close();

  std::printf("\nbest of %d rounds, %zu pages:\n", rounds, site.listed.size());
  std::printf("  tovarin-crawl   %8.0f pages/s\n", best_tovarin.pages_per_second);
  std::printf("  wget --spider   %8.0f pages/s\n", best_wget.pages_per_second);
  std::printf("  minimal client  %8.0f pages/s\n", best_minimal.pages_per_second);
  std::printf("  fetch_page alone %7.0f pages/s  (the engine's HTTP fetch without the crawl)\n",
              best_fetch.pages_per_second);
  std::printf("  tovarin/wget     %6.2f  (goal >= 2.00)\n", best_tovarin.pages_per_second / best_wget.pages_per_second);
  std::printf("  tovarin/minimal  %6.2f  (goal >= 0.70)\n",
              best_tovarin.pages_per_second / best_minimal.pages_per_second);
  std::printf("  tovarin-crawl peak memory: %.1f MiB (max RSS)\n", static_cast<double>(best_tovarin.max_rss_kib) / 1024.0);
  if (!all_ok) std::printf("  WARNING: a run did not reach every page of the site (see MISMATCH above)\n");
  return all_ok ? 0 : 1;
}
