#pragma once
// Runs one whole crawl (CrawlEngine + RecordingHost) in a forked child
// process, so that a test can bound its time and measure its memory alone:
// the child's peak resident size less its size before the crawl. A child that
// crashes, trips a sanitizer or outlives its time limit is reported, never
// waited on forever.
//
//   auto outcome = tovarin::test::run_isolated_crawl("http://site.test/", "1", std::chrono::seconds(60));
//   ASSERT_TRUE(outcome.finished) << outcome.failure;
//   EXPECT_EQ(outcome.listed.size(), 2u);
//
// Fetch overrides set before the call are inherited by the child. Servers
// keep running in the parent.
//
// In the sanitizer build the crawl runs in the calling process instead: the
// sanitizer's allocator does not survive a fork from a process whose server
// threads are busy, and its quarantine keeps freed memory resident, so memory
// is not measured there (memory_measured is false) and the time limit is the
// test runner's.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/text.h"

namespace tovarin::test {

struct CrawlOutcome {
  bool finished = false;  // the child ran the crawl to its end and reported
  std::string failure;    // otherwise, why not
  std::vector<Text> listed;
  std::int32_t valid_count = 0;
  std::int32_t total_count = 0;
  std::int32_t depth_limit = 0;
  double seconds = 0;           // wall time of start_crawl
  long rss_growth_kib = 0;      // peak resident size during the crawl less the size before
  bool memory_measured = true;
};

CrawlOutcome run_isolated_crawl(const Text& start_address, const Text& depth_text, std::chrono::seconds limit);

// Resident size (VmRSS) and peak resident size (VmHWM) of this process, KiB.
long current_rss_kib();
long peak_rss_kib();

}  // namespace tovarin::test
