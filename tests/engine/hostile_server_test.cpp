// Crawls that meet hostile servers on loopback. In every case the start page
// links first to the hostile address and then to an ordinary page, so the
// crawl must get past the hostile one and go on. Each crawl runs in a child
// process of its own, so that its time and its memory are its own.

#include <gtest/gtest.h>

#include <ostream>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/fetch_limits.h"
#include "engine/http_session_testing.h"
#include "tests/support/isolated_crawl.h"
#include "tests/support/raw_listener.h"
#include "tests/support/scripted_server.h"

namespace tovarin {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using test::RawListener;
using test::ScriptedServer;
using test::ServerReply;

constexpr long kTestStallSeconds = 2;
// Slack on every time bound: a loaded machine and the sanitizer build.
constexpr double kSlackSeconds = 20;
// Memory a crawl of small pages may take: link extraction, libcurl, TLS.
constexpr long kBaseGrowthKib = 48 * 1024;
constexpr long kMiB = 1024;

const std::string kStart = "http://site.test/";
const std::string kHostile = "http://hostile.test/h";
const std::string kNext = "http://site.test/next";

std::string start_page() {
  return "<a href=\"" + kHostile + "\">hostile</a> <a href=\"" + kNext + "\">next</a>";
}
// A length no hostile page of these tests has.
std::string next_page() { return std::string(777, 'n'); }

std::string ok_header(const std::string& extra = "") { return "HTTP/1.0 200 OK\r\n" + extra + "\r\n"; }

// The ordinary site and the hostile host, both on scripted servers, plus the
// fetch overrides that route site.test and hostile.test (ports 80 and 443) to
// them; hostile.test may instead go to a RawListener.
class HostileServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    site_.add_page("/", start_page());
    site_.add_page("/next", next_page());
  }

  fetch_testing::FetchOverrides overrides(std::uint16_t hostile_port) const {
    return {.connect_to = {site_.connect_to_rule("site.test"), "hostile.test:80:127.0.0.1:" + std::to_string(hostile_port),
                           "hostile.test:443:127.0.0.1:" + std::to_string(hostile_port)},
            .connect_timeout_seconds = kTestStallSeconds,
            .stall_timeout_seconds = kTestStallSeconds};
  }

  test::CrawlOutcome crawl(const fetch_testing::FetchOverrides& o, seconds limit = seconds(240)) {
    fetch_testing::ScopedFetchOverrides guard(o);
    return test::run_isolated_crawl(kStart, "1", limit);
  }

  // The start page and the next page are listed, the hostile page as
  // `hostile_listed` says, in crawl order; the total counts the three visits
  // and `extra_visits` more.
  static void expect_memory_below(const test::CrawlOutcome& outcome, long kib) {
    if (outcome.memory_measured) {
      EXPECT_LT(outcome.rss_growth_kib, kib);
    }
  }

  // The figures of a case, for the record.
  static void report(const test::CrawlOutcome& outcome) {
    std::printf("[ measured ] %.2f s, peak memory growth %ld KiB\n", outcome.seconds, outcome.rss_growth_kib);
  }

  static void expect_went_on(const test::CrawlOutcome& outcome, bool hostile_listed, int extra_visits = 0) {
    ASSERT_TRUE(outcome.finished) << outcome.failure;
    std::vector<Text> expected{"http://site.test"};
    if (hostile_listed) expected.push_back(kHostile);
    expected.push_back(kNext);
    EXPECT_EQ(outcome.listed, expected);
    EXPECT_EQ(outcome.valid_count, static_cast<std::int32_t>(expected.size()));
    EXPECT_EQ(outcome.total_count, 4 + extra_visits);
    report(outcome);
  }

  ScriptedServer site_;
  ScriptedServer hostile_;
};

// ---- Replies of the scripted server ------------------------------------

struct ReplyCase {
  const char* name;
  ServerReply reply;
  bool listed;              // whether the hostile page is listed
  int extra_visits;         // visits of links found in the hostile page
  double max_seconds;       // before slack
};
void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }

std::string big_headers(std::size_t bytes) {
  std::string headers;
  for (int i = 0; headers.size() < bytes; ++i) headers += "X-Filler-" + std::to_string(i) + ": " + std::string(60, 'f') + "\r\n";
  return headers;
}

std::string body_with_tail_link(std::size_t length) {
  std::string body(length, 'b');
  return body + "<a href=\"http://site.test/tail\">";
}

ServerReply raw(std::string bytes) { return {ServerReply::Kind::kRaw, std::move(bytes), 0, milliseconds(0)}; }

std::vector<ReplyCase> reply_cases() {
  const std::string zero_body("\xFF\xFE<\0h\0t\0m\0l\0", 11);
  const std::string gbk_body =
      "\x81\xFF\x80 \xFFhref=\"http://site.test/hidden\" \x81\x30\xFE\xFE href=\"http://site.test/seen\" \xA3";
  const std::string reset_response = ok_header("Content-Length: 5000\r\n") +
                                     "<a href=\"http://site.test/early\">" + std::string(5000, 'r');
  return {
      {"never_answers", {ServerReply::Kind::kNeverAnswer, "", 0, milliseconds(0)}, false, 0, kTestStallSeconds},
      {"redirect_to_itself", raw(ScriptedServer::response(302, "", {{"Location", kHostile}})), false, 0, 5},
      {"redirect_to_file", raw(ScriptedServer::response(302, "", {{"Location", "file:///etc/passwd"}})), false,
       0, 5},
      {"redirect_to_ftp", raw(ScriptedServer::response(301, "", {{"Location", "ftp://hostile.test/"}})), false,
       0, 5},
      {"negative_content_length", raw(ok_header("Content-Length: -5\r\n") + body_with_tail_link(101)), true, 1,
       5},
      {"huge_content_length",
       raw(ok_header("Content-Length: 99999999999999999999\r\n") + body_with_tail_link(102)), true, 1, 5},
      {"content_length_not_a_number", raw(ok_header("Content-Length: abc\r\n") + body_with_tail_link(103)),
       true, 1, 5},
      {"content_length_too_short", raw(ok_header("Content-Length: 1\r\n") + body_with_tail_link(104)), true, 1,
       5},
      {"one_mib_of_header_lines", raw(ok_header(big_headers(1 << 20)) + body_with_tail_link(105)), false, 0,
       10},
      {"one_header_line_of_one_mib",
       raw(ok_header("X-Long: " + std::string(1 << 20, 'l') + "\r\n") + body_with_tail_link(106)), false, 0,
       10},
      {"reset_mid_body",
       {ServerReply::Kind::kResetAfter, reset_response, reset_response.size() - 2500, milliseconds(0)},
       true, 1, 5},
      {"zero_bytes_after_three", raw(ok_header() + zero_body), true, 0, 5},
      {"zero_byte_first", raw(ok_header() + std::string(1000, '\0')), false, 0, 5},
      // Lead bytes take the next byte along: the first link stands behind
      // one and is not found; the second is.
      {"invalid_gbk", raw(ok_header() + gbk_body), true, 1, 5},
  };
}

class HostileReplyTest : public HostileServerTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(HostileReplyTest, CrawlGoesOnBounded) {
  const ReplyCase& c = GetParam();
  hostile_.add_fault("/h", c.reply);
  const test::CrawlOutcome outcome = crawl(overrides(hostile_.port()));
  expect_went_on(outcome, c.listed, c.extra_visits);
  EXPECT_LT(outcome.seconds, c.max_seconds + kSlackSeconds);
  expect_memory_below(outcome, kBaseGrowthKib);
  // Links of the hostile page lie below the depth limit: counted, not fetched.
  EXPECT_EQ(site_.request_targets(), (std::vector<std::string>{"/", "/next"}));
}

INSTANTIATE_TEST_SUITE_P(Replies, HostileReplyTest, ::testing::ValuesIn(reply_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostileServerTest, RedirectionLoopIsGivenUpAfterTheRedirectionBound) {
  hostile_.add_raw("/h", ScriptedServer::response(302, "", {{"Location", "/h2"}}));
  hostile_.add_raw("/h2", ScriptedServer::response(307, "", {{"Location", kHostile}}));
  const test::CrawlOutcome outcome = crawl(overrides(hostile_.port()));
  expect_went_on(outcome, false);
  // The first request and kMaxRedirections more, then nothing.
  EXPECT_EQ(hostile_.request_count(), static_cast<std::size_t>(kMaxRedirections + 1));
}

// ---- Servers below HTTP -------------------------------------------------

// Sends a header and then filler for ever, until the client goes (or 1 GiB,
// a bound of the test itself).
void endless_body(RawListener::Connection& c) {
  c.read_request();
  if (!c.send(ok_header() + "<a href=\"http://site.test/inside\">")) return;
  const std::string filler(64 * 1024, 'x');
  for (std::size_t sent = 0; sent < (std::size_t{1} << 30); sent += filler.size()) {
    if (!c.send(filler)) return;
  }
}

// What loopback socket buffers may hold beyond what the client read.
constexpr std::size_t kSocketSlack = std::size_t{48} << 20;

TEST_F(HostileServerTest, EndlessBodyStopsAtTheBodyBound) {
  RawListener endless(endless_body);
  auto o = overrides(endless.port());
  o.max_body_bytes = std::size_t{1} << 20;
  const test::CrawlOutcome outcome = crawl(o);
  expect_went_on(outcome, true, 1);
  EXPECT_GE(endless.bytes_sent(), o.max_body_bytes);
  EXPECT_LT(endless.bytes_sent(), o.max_body_bytes + kSocketSlack);
  EXPECT_LT(outcome.seconds, 5 + kSlackSeconds);
  expect_memory_below(outcome, kBaseGrowthKib);
  EXPECT_EQ(site_.request_targets(), (std::vector<std::string>{"/", "/next"}));
}

TEST_F(HostileServerTest, EndlessBodyStopsAtTheProgramsOwnBoundWithoutOverride) {
  RawListener endless(endless_body);
  const test::CrawlOutcome outcome = crawl(overrides(endless.port()));
  expect_went_on(outcome, true, 1);
  EXPECT_GE(endless.bytes_sent(), kMaxBodyBytes);
  EXPECT_LT(endless.bytes_sent(), kMaxBodyBytes + kSocketSlack);
  EXPECT_LT(outcome.seconds, 30 + kSlackSeconds);
  // The body and its text, with room for the body's growth.
  expect_memory_below(outcome, static_cast<long>(4 * (kMaxBodyBytes >> 10)) + kBaseGrowthKib);
}

// Header at once, then `bytes` one at a time `gap` apart, then close.
RawListener::Handler drip(std::string bytes, milliseconds gap) {
  return [bytes, gap](RawListener::Connection& c) {
    c.read_request();
    if (!c.send(ok_header())) return;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      if (i > 0 && c.wait_until_stopped(gap)) return;
      if (!c.send(bytes.substr(i, 1))) return;
    }
  };
}

TEST_F(HostileServerTest, SlowButMovingBodyIsReadToItsEnd) {
  // A byte a second stays under the stall bound: the download goes on.
  RawListener slow(drip("abcd", milliseconds(1000)));
  const test::CrawlOutcome outcome = crawl(overrides(slow.port()));
  expect_went_on(outcome, true);
  EXPECT_LT(outcome.seconds, 3 + kSlackSeconds);
  EXPECT_EQ(slow.bytes_sent(), ok_header().size() + 4);
}

TEST_F(HostileServerTest, BodyThatStallsKeepsWhatCameBeforeTheStall) {
  // Gaps longer than the stall bound: given up after the first byte.
  RawListener stalling(drip("abcd", milliseconds((kTestStallSeconds + 3) * 1000)));
  const test::CrawlOutcome outcome = crawl(overrides(stalling.port()));
  expect_went_on(outcome, true);
  EXPECT_LT(outcome.seconds, kTestStallSeconds + kSlackSeconds);
}

TEST_F(HostileServerTest, TlsHandshakeThatNeverComesIsGivenUp) {
  RawListener silent([](RawListener::Connection& c) { c.wait_until_stopped(seconds(120)); });
  hostile_.add_redirect("/h", "https://hostile.test/");
  auto o = overrides(hostile_.port());
  o.connect_to[2] = "hostile.test:443:127.0.0.1:" + std::to_string(silent.port());
  const test::CrawlOutcome outcome = crawl(o);
  expect_went_on(outcome, false);
  EXPECT_EQ(silent.accepted(), 1u);
  EXPECT_LT(outcome.seconds, kTestStallSeconds + kSlackSeconds);
}

// ---- Pages made to be expensive ----------------------------------------

struct BigPageCase {
  const char* name;
  std::string fragment;
  std::size_t bytes;
  int extra_visits;  // -1: one per repetition of the fragment
};
void PrintTo(const BigPageCase& c, std::ostream* os) { *os << c.name; }

// The sanitizer build checks these pages for memory errors, not for speed:
// there, a sixteenth of the size will do (unoptimised and instrumented, link
// extraction runs hundreds of times slower).
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kBigPageDivisor = 16;
#else
constexpr std::size_t kBigPageDivisor = 1;
#endif

class HostileBigPageTest : public HostileServerTest, public ::testing::WithParamInterface<BigPageCase> {};

TEST_P(HostileBigPageTest, IsListedWithinBounds) {
  const BigPageCase& c = GetParam();
  const std::size_t bytes = c.bytes / kBigPageDivisor;
  std::string body;
  body.reserve(bytes + c.fragment.size());
  std::size_t repeats = 0;
  while (body.size() < bytes) {
    body += c.fragment;
    ++repeats;
  }
  hostile_.add_raw("/h", ok_header() + body);
  const test::CrawlOutcome outcome = crawl(overrides(hostile_.port()));
  expect_went_on(outcome, true, c.extra_visits < 0 ? static_cast<int>(repeats) : c.extra_visits);
  EXPECT_LT(outcome.seconds, 60 + kSlackSeconds);
  // The body, its text and what link extraction makes of it.
  expect_memory_below(outcome, static_cast<long>(8 * (bytes >> 10)) + kBaseGrowthKib);
}

INSTANTIATE_TEST_SUITE_P(
    Pages, HostileBigPageTest,
    ::testing::Values(BigPageCase{"open_href_fragments", "href=\"", 24 << 20, 0},
                      BigPageCase{"unclosed_links", "href=\"http://a.b/c", 24 << 20, 0},
                      BigPageCase{"one_endless_word", "w", 16 << 20, 0},
                      // Every fragment is a link: a million visits, each counted.
                      BigPageCase{"a_million_links", "href=\"/a\"", 9 << 20, -1}),
    [](const auto& info) { return std::string(info.param.name); });

// Every target of a page is the page's address followed by the link's value,
// so a page at a long address multiplies its bytes: a link of 9 bytes on a
// page whose address is 2,000 bytes long makes a target of 2,002.
TEST_F(HostileServerTest, ShortLinksOnAPageAtALongAddressStayWithinBounds) {
  const std::string long_path = "/" + std::string(2000, 'p');
  const std::string long_address = "http://hostile.test" + long_path;
  site_.add_page("/", "<a href=\"" + long_address + "\">long</a> <a href=\"" + kNext + "\">next</a>");
  std::string body;
  const std::size_t bytes = std::size_t{1} << 20;
  std::size_t repeats = 0;
  for (; body.size() < bytes; ++repeats) body += "href=\"/a\"";
  hostile_.add_raw(long_path, ok_header() + body);
  const test::CrawlOutcome outcome = crawl(overrides(hostile_.port()));
  ASSERT_TRUE(outcome.finished) << outcome.failure;
  EXPECT_EQ(outcome.listed, (std::vector<Text>{"http://site.test", long_address, kNext}));
  EXPECT_EQ(outcome.total_count, 4 + static_cast<int>(repeats));
  expect_memory_below(outcome, static_cast<long>(8 * (bytes >> 10)) + kBaseGrowthKib);
  report(outcome);
}

}  // namespace
}  // namespace tovarin
