// A long crawl: 20,000 pages of a generated site served by nginx. It runs in
// the test process itself, so that the sanitizer build checks it for leaks and
// memory errors at exit, and it must not hold more memory than the listing.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "engine/crawl_engine.h"
#include "tests/support/generated_site.h"
#include "tests/support/isolated_crawl.h"
#include "tests/support/nginx_server.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_dir.h"

namespace tovarin {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;  // the allocator's quarantine holds freed memory
#else
constexpr bool kSanitized = false;
#endif

// One address per test: ctest runs them side by side.
constexpr const char* kSoakHost = "127.0.84.201";
constexpr const char* kGrowthHost = "127.0.84.202";
constexpr std::size_t kPages = 20000;
constexpr std::size_t kFanout = 10;

TEST(SoakTest, TwentyThousandPagesListedWithoutGrowth) {
  test::TempDir root;
  const test::GeneratedSite site = test::write_tree_site(root.path(), kSoakHost, kPages, kFanout);
  test::NginxServer nginx(root.path(), kSoakHost, {.access_log = false});
  ASSERT_TRUE(nginx.ok()) << nginx.error();

  CrawlEngine engine;
  engine.load_download_types();
  test::RecordingHost host(test::site_start(kSoakHost), "10");
  host.on_pump = [&host] {
    if (host.calls.size() > 4096) host.calls.clear();
    return true;
  };
  const long before = test::current_rss_kib();
  engine.start_crawl(host);
  const long growth = test::peak_rss_kib() - before;

  EXPECT_EQ(host.listed, site.listed);
  EXPECT_EQ(engine.valid_count(), static_cast<std::int32_t>(kPages + 1));
  std::size_t listing_bytes = 0;
  for (const Text& entry : host.listed) listing_bytes += entry.size() + sizeof(Text);
  std::printf("[ measured ] %zu pages: peak memory growth %ld KiB, listing %zu KiB\n", kPages + 1, growth,
              listing_bytes >> 10);
  // The listing, libcurl and the tables' reset; nothing per visit beyond it.
  if (!kSanitized) {
    EXPECT_LT(growth, static_cast<long>(listing_bytes >> 10) * 4 + 32 * 1024);
  }
}

// The same site crawled to a quarter of its size and in full, each in a child
// process of its own: the peak grows by no more than the longer listing.
TEST(SoakTest, PeakMemoryDoesNotGrowWithTheNumberOfVisits) {
  if (kSanitized) GTEST_SKIP() << "the sanitizer's quarantine keeps freed memory resident";
  test::TempDir root;
  const test::GeneratedSite site = test::write_tree_site(root.path(), kGrowthHost, kPages, kFanout);
  test::NginxServer nginx(root.path(), kGrowthHost, {.access_log = false});
  ASSERT_TRUE(nginx.ok()) << nginx.error();
  // Depth 3 reaches 1 + 10 + 100 + 1,000 pages of the tree; depth 10 all.
  const test::CrawlOutcome small = test::run_isolated_crawl(test::site_start(kGrowthHost), "3", std::chrono::seconds(300));
  const test::CrawlOutcome full = test::run_isolated_crawl(test::site_start(kGrowthHost), "10", std::chrono::seconds(600));
  ASSERT_TRUE(small.finished) << small.failure;
  ASSERT_TRUE(full.finished) << full.failure;
  EXPECT_EQ(small.listed.size(), 1111u);
  EXPECT_EQ(full.listed.size(), kPages + 1);
  std::printf("[ measured ] %zu pages: %ld KiB, %zu pages: %ld KiB\n", small.listed.size(), small.rss_growth_kib,
              full.listed.size(), full.rss_growth_kib);
  EXPECT_LT(full.rss_growth_kib - small.rss_growth_kib, 8 * 1024);
}

}  // namespace
}  // namespace tovarin
