// Whole crawls through a recording host against a scripted server on
// loopback: the exact conversation with the host, the counters, and what
// reached the server.

#include "engine/crawl_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/http_session_testing.h"
#include "tests/support/generated_site.h"
#include "tests/support/recording_host.h"
#include "tests/support/scripted_server.h"

namespace tovarin {
namespace {

using Calls = std::vector<std::string>;

class CrawlEngineTest : public ::testing::Test {
 protected:
  CrawlEngineTest() : overrides_({.connect_to = {server_.connect_all_rule()}}) { engine_.load_download_types(); }

  // A page with links to `targets`; every page of a test gets its own
  // length, so that no two share a content key by accident.
  void page(const std::string& target, const std::vector<std::string>& links) {
    std::string body = "<html><body>\n";
    for (const auto& link : links) body += "<a href=\"" + link + "\">x</a>\n";
    body += std::string(static_cast<std::size_t>(++pages_), '.') + "</body></html>\n";
    server_.add_page(target, body);
  }

  test::RecordingHost crawl(const Text& address, const Text& depth) {
    test::RecordingHost host(address, depth);
    engine_.start_crawl(host);
    return host;
  }

  test::ScriptedServer server_;
  fetch_testing::ScopedFetchOverrides overrides_;
  CrawlEngine engine_;
  int pages_ = 0;
};

// What start_crawl says before its first visit, for a depth text and address.
Calls opening() { return {"clear", "valid 0", "total 1", "read depth", "disable", "read address"}; }

Calls join(Calls a, const Calls& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(CrawlEngineTest, EmptyStartAddressCountsOneVisitAndListsNothing) {
  const auto host = crawl("", "2");
  EXPECT_EQ(host.calls, join(opening(), {"total 2", "pump", "enable"}));
  EXPECT_EQ(engine_.valid_count(), 0);
  EXPECT_EQ(engine_.total_count(), 2);
  EXPECT_EQ(server_.request_count(), 0u);
}

TEST_F(CrawlEngineTest, DepthZeroVisitsTargetsOnlyToCountThem) {
  page("/", {"http://site.test/a", "/b", "c.html"});
  const auto host = crawl("http://site.test/", "0");
  // The listing shows its count before the pump; every target is a counted
  // visit that ends at the depth test.
  EXPECT_EQ(host.calls, join(opening(), {"total 2", "pump", "add http://site.test", "valid 1", "pump",  //
                                         "total 3", "pump", "total 4", "pump", "total 5", "pump", "enable"}));
  EXPECT_EQ(engine_.total_count(), 5);  // n + 2 with n = 3 targets
  EXPECT_EQ(server_.request_targets(), (std::vector<std::string>{"/"}));
  EXPECT_EQ(engine_.depth_limit(), 0);
}

TEST_F(CrawlEngineTest, DepthTextsThatStopOrAllowTheFirstVisit) {
  page("/", {"http://site.test/a"});
  page("/a", {});
  const struct {
    const char* depth;
    std::int32_t total;
    std::vector<Text> listed;
  } cases[] = {
      {"-1", 2, {}},
      {"abc", 3, {"http://site.test"}},
      {"\xA3\xB1", 3, {"http://site.test", "http://site.test/a"}},  // full-width 1
  };
  for (const auto& c : cases) {
    const auto host = crawl("http://site.test/", c.depth);
    EXPECT_EQ(host.listed, c.listed) << c.depth;
    EXPECT_EQ(engine_.total_count(), c.total) << c.depth;
  }
}

TEST_F(CrawlEngineTest, DepthFirstOrderWithTargetsInterleavedWithNestedVisits) {
  page("/", {"http://site.test/b", "http://site.test/c"});
  page("/b", {"http://site.test/d", "http://site.test/e"});
  page("/c", {"http://site.test/f"});
  page("/d", {});
  page("/e", {});
  page("/f", {});
  const auto host = crawl("http://site.test", "5");
  EXPECT_EQ(host.listed, (std::vector<Text>{"http://site.test", "http://site.test/b", "http://site.test/d",
                                            "http://site.test/e", "http://site.test/c", "http://site.test/f"}));
  EXPECT_EQ(server_.request_targets(), (std::vector<std::string>{"/", "/b", "/d", "/e", "/c", "/f"}));
  EXPECT_EQ(engine_.valid_count(), 6);
  EXPECT_EQ(engine_.total_count(), 7);
}

TEST_F(CrawlEngineTest, DepthLimitStopsNestedVisitsAtTheLimit) {
  page("/", {"http://site.test/b"});
  page("/b", {"http://site.test/c"});
  page("/c", {});
  const auto host = crawl("http://site.test/", "1");
  EXPECT_EQ(host.listed, (std::vector<Text>{"http://site.test", "http://site.test/b"}));
  EXPECT_EQ(engine_.total_count(), 4);
  EXPECT_EQ(server_.request_targets(), (std::vector<std::string>{"/", "/b"}));
}

TEST_F(CrawlEngineTest, StartAddressInCapitalsIsKeyedFetchedAndListedAsWritten) {
  page("/A", {});
  const auto host = crawl("HTTP://SITE.TEST/A", "2");
  EXPECT_EQ(host.listed, (std::vector<Text>{"HTTP://SITE.TEST/A"}));
  EXPECT_TRUE(engine_.address_seen(address_key("HTTP://SITE.TEST/A")));
  EXPECT_FALSE(engine_.address_seen(address_key("http://site.test/A")));
}

TEST_F(CrawlEngineTest, OneTrailingSlashGoesAndTheSameAddressWithoutItIsADuplicate) {
  page("/d", {"http://site.test/d", "http://site.test/d/"});
  page("/e/", {});
  auto host = crawl("http://site.test/d/", "2");
  EXPECT_EQ(host.listed, (std::vector<Text>{"http://site.test/d"}));
  EXPECT_EQ(engine_.total_count(), 4);
  // Of two final slashes only the last goes.
  host = crawl("http://site.test/e//", "2");
  EXPECT_EQ(host.listed, (std::vector<Text>{"http://site.test/e/"}));
  EXPECT_EQ(server_.request_targets(), (std::vector<std::string>{"/d", "/e/"}));
}

TEST_F(CrawlEngineTest, AddressesOfTheSameBytesInAnotherOrderShareAKey) {
  page("/", {"http://site.test/ab", "http://site.test/ba"});
  page("/ab", {});
  page("/ba", {});
  const auto host = crawl("http://site.test/", "2");
  EXPECT_EQ(host.listed, (std::vector<Text>{"http://site.test", "http://site.test/ab"}));
  EXPECT_EQ(server_.request_targets(), (std::vector<std::string>{"/", "/ab"}));
  EXPECT_EQ(engine_.total_count(), 4);
}

TEST_F(CrawlEngineTest, DownloadAddressesAreListedOnceAndNeverFetched) {
  page("/", {"http://site.test/f.ZIP?x=1", "http://dl.7z.test/get", "http://site.test/g.docx",
             "http://site.test/f.ZIP?x=1"});
  const auto host = crawl("http://site.test/", "2");
  EXPECT_EQ(host.listed, (std::vector<Text>{"http://site.test", "http://site.test/f.ZIP?x=1",
                                            "http://dl.7z.test/get", "http://site.test/g.docx"}));
  EXPECT_EQ(server_.request_targets(), (std::vector<std::string>{"/"}));
  EXPECT_EQ(engine_.total_count(), 6);
  // For a download the pump comes before the count.
  const auto& calls = host.calls;
  auto at = std::find(calls.begin(), calls.end(), "add http://site.test/f.ZIP?x=1");
  ASSERT_NE(at, calls.end());
  EXPECT_EQ(Calls(at, at + 3), (Calls{"add http://site.test/f.ZIP?x=1", "pump", "valid 2"}));
}

TEST_F(CrawlEngineTest, FailedFetchMarksItsKeySoTheAddressIsNotTriedAgain) {
  page("/", {"http://site.test/empty", "http://site.test/empty", "http://site.test/zero", "http://site.test/b"});
  server_.add_raw("/empty", test::ScriptedServer::response(200, ""));
  server_.add_raw("/zero", test::ScriptedServer::response(200, std::string("\0abc", 4)));
  page("/b", {});
  const auto host = crawl("http://site.test/", "2");
  EXPECT_EQ(host.listed, (std::vector<Text>{"http://site.test", "http://site.test/b"}));
  EXPECT_EQ(server_.request_targets(), (std::vector<std::string>{"/", "/empty", "/zero", "/b"}));
  EXPECT_TRUE(engine_.address_seen(address_key("http://site.test/empty")));
  // An empty page leaves the content table alone: the key of length 0 is free.
  EXPECT_FALSE(engine_.content_seen(1));
  EXPECT_EQ(engine_.total_count(), 6);
}

TEST_F(CrawlEngineTest, SecondPageOfTheSameLengthIsFetchedButNeitherListedNorFollowed) {
  page("/", {"http://site.test/p", "http://site.test/q"});
  server_.add_page("/p", "<a href=\"http://site.test/x\">1</a>");
  server_.add_page("/q", "<a href=\"http://site.test/y\">2</a>");
  page("/x", {});
  page("/y", {});
  const auto host = crawl("http://site.test/", "3");
  EXPECT_EQ(host.listed, (std::vector<Text>{"http://site.test", "http://site.test/p", "http://site.test/x"}));
  EXPECT_EQ(server_.request_targets(), (std::vector<std::string>{"/", "/p", "/x", "/q"}));
}

TEST_F(CrawlEngineTest, SecondCrawlResetsTablesCountersAndList) {
  page("/", {"http://site.test/a", "http://site.test/a.pdf"});
  page("/a", {});
  const auto first = crawl("http://site.test/", "2");
  const auto second = crawl("http://site.test/", "2");
  EXPECT_EQ(first.calls, second.calls);
  EXPECT_EQ(second.listed, (std::vector<Text>{"http://site.test", "http://site.test/a", "http://site.test/a.pdf"}));
  EXPECT_EQ(engine_.valid_count(), 3);
  EXPECT_EQ(engine_.total_count(), 4);
}

TEST_F(CrawlEngineTest, AddressWhoseKeyFallsOutsideTheTablesEndsAsIfSeen) {
  // 131,072 bytes of 0x80 after the prefix push the sum past 2^31.
  const Text address = "http://site.test/" + std::string(131072, '\x80');
  ASSERT_LT(address_key(address), 1);
  const auto host = crawl(address, "2");
  EXPECT_EQ(host.calls, join(opening(), {"total 2", "pump", "enable"}));
  EXPECT_EQ(server_.request_count(), 0u);
  for (std::int32_t k = 1; k <= kTableSlots; ++k) ASSERT_FALSE(engine_.address_seen(k)) << k;
}

TEST_F(CrawlEngineTest, HostThatHasGoneStopsTheCrawlAtOnce) {
  page("/", {"http://site.test/a", "http://site.test/b"});
  page("/a", {});
  page("/b", {});
  test::RecordingHost host("http://site.test/", "2");
  // The pump after the start page's listing reports the window closed.
  host.on_pump = [&host] { return host.pumps < 2; };
  engine_.start_crawl(host);
  EXPECT_EQ(host.calls, join(opening(), {"total 2", "pump", "add http://site.test", "valid 1", "pump"}));
  EXPECT_EQ(server_.request_targets(), (std::vector<std::string>{"/"}));
}

TEST_F(CrawlEngineTest, DeepChainNeverExhaustsTheStack) {
  // Each page links only to the next one; the crawl nests as deep as the chain.
  const test::GeneratedSite site = test::make_chain_site(
      [this](const std::string& target, const std::string& body) { server_.add_page(target, body); }, "site.test",
      10000);
  const auto host = crawl(test::site_start("site.test"), "100000");
  ASSERT_EQ(host.listed.size(), site.listed.size());
  for (std::size_t i = 0; i < site.listed.size(); ++i) ASSERT_EQ(host.listed[i], site.listed[i]) << i;
  EXPECT_EQ(engine_.total_count(), static_cast<std::int32_t>(site.listed.size()) + 1);
}

}  // namespace
}  // namespace tovarin
