// Soak benchmark: whole-site crawls of 5,000 and 20,000 pages (generated
// trees served by nginx on 127.0.84.251), each by the crawl engine in a child
// process of its own, with the peak memory each took printed side by side.
// The engine keeps no addresses and no pages, so the peak should differ by
// about the size of the longer listing only.
//
//   build/release/bench/soak_bench

#include <cstdio>
#include <string>

#include "tests/support/generated_site.h"
#include "tests/support/isolated_crawl.h"
#include "tests/support/nginx_server.h"
#include "tests/support/temp_dir.h"

int main() {
  constexpr const char* kHost = "127.0.84.251";
  std::printf("%10s %10s %12s %16s\n", "pages", "listed", "seconds", "peak growth KiB");
  for (std::size_t pages : {std::size_t{5000}, std::size_t{20000}}) {
    tovarin::test::TempDir root;
    const tovarin::test::GeneratedSite site = tovarin::test::write_tree_site(root.path(), kHost, pages, 10);
    tovarin::test::NginxServer nginx(root.path(), kHost, {.access_log = false});
    if (!nginx.ok()) {
      std::fprintf(stderr, "soak_bench: nginx: %s\n", nginx.error().c_str());
      return 1;
    }
    const tovarin::test::CrawlOutcome outcome =
        tovarin::test::run_isolated_crawl(tovarin::test::site_start(kHost), "10", std::chrono::seconds(900));
    if (!outcome.finished || outcome.listed != site.listed) {
      std::fprintf(stderr, "soak_bench: crawl of %zu pages failed: %s\n", pages,
                   outcome.finished ? "listing differs from the site" : outcome.failure.c_str());
      return 1;
    }
    std::printf("%10zu %10zu %12.2f %16ld\n", pages + 1, outcome.listed.size(), outcome.seconds,
                outcome.rss_growth_kib);
  }
  return 0;
}
