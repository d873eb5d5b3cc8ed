// The tovarin-crawl command, run as a real process against real loopback
// servers: nginx for whole sites on port 80, the scripted server for a host
// that never answers.

#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/crawl_engine.h"
#include "engine/encoding.h"
#include "tests/support/child_process.h"
#include "tests/support/generated_site.h"
#include "tests/support/nginx_server.h"
#include "tests/support/scripted_server.h"
#include "tests/support/temp_dir.h"

namespace tovarin::test {
namespace {

using namespace std::chrono_literals;

// Each test that serves something has loopback addresses of its own, since
// the test cases may run side by side.
constexpr const char* kSiteHost = "127.0.84.10";
constexpr const char* kStopSiteHost = "127.0.84.11";
constexpr const char* kSilentHost = "127.0.84.12";
constexpr const char* kChineseHost = "127.0.84.13";
constexpr const char* kChainHost = "127.0.84.15";
constexpr const char* kProgressHost = "127.0.84.16";

ChildResult run_crawl(const std::vector<std::string>& args, std::chrono::milliseconds timeout = 60s) {
  std::vector<std::string> argv = {TOVARIN_CRAWL_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_child(argv, timeout);
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string counters(int valid, int total) {
  return "有效：" + std::to_string(valid) + " 总共：" + std::to_string(total) + "\n";
}

// Pads every page to a length of its own, since the crawl tells pages apart
// by length alone.
std::map<std::string, std::string> padded(std::map<std::string, std::string> site) {
  std::size_t length = 400;
  for (auto& [path, content] : site) {
    content += std::string(length - content.size(), ' ');
    length += 17;
  }
  return site;
}

// Every address of a fixture must have an address key of its own, or the
// crawl would rightly drop one of them.
void expect_distinct_keys(const std::vector<std::string>& addresses) {
  std::set<std::int32_t> keys;
  for (const std::string& a : addresses) EXPECT_TRUE(keys.insert(address_key(a)).second) << "key clash: " << a;
}

std::string percent_decoded(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

TEST(CrawlCommandSite, ListsInPreOrderFollowsEveryLinkShapeAndCountsEveryVisit) {
  const std::string h = std::string("http://") + kSiteHost;
  TempDir root;
  write_site(root.path(),
             padded({
                 {"/index.html",
                  "<a href=\"" + h + "/a.html\">absolute</a>\n"
                  "<a href=\"/b.html\">appended to the page address</a>\n"
                  "<a href=\"./c.html\">dot</a> <a href=\"c.html\">bare</a>\n"
                  "<a href=\"" + h + "/files/setup.exe\">download</a>\n"
                  "<a href=\"" + h + "/a.html\">again</a>\n"
                  "<a href='" + h + "/q.html'>single quotes</a>\n"
                  "<a href=\"" + h + "/deep1.html\">deep</a>\n"},
                 // "/x.html" on the page a.html makes a.html/x.html, a 404
                 // whose body is listed like any page.
                 {"/a.html", "<a href=\"/x.html\">x</a>"},
                 // The same address with a final slash is the same address.
                 {"/b.html", "<a href=\"" + h + "/b.html/\">self</a>"},
                 {"/c.html", "never fetched"},
                 {"/q.html", "never fetched"},
                 {"/files/setup.exe", "never fetched"},
                 {"/deep1.html", "<a href=\"" + h + "/deep2.html\">2</a>"},
                 {"/deep2.html", "<a href=\"" + h + "/deep3.html\">3</a>"},
                 {"/deep3.html", "beyond the depth limit"},
             }));
  NginxServer nginx(root.path(), kSiteHost);
  ASSERT_TRUE(nginx.ok()) << nginx.error();

  const std::vector<std::string> listed = {
      h,
      h + "/a.html",
      h + "/a.html/x.html",
      h + "/b.html",
      h + "/files/setup.exe",
      h + "/deep1.html",
      h + "/deep2.html",
  };
  expect_distinct_keys({h, h + "/a.html", h + "/a.html/x.html", h + "/b.html", h + "/files/setup.exe",
                        h + "/deep1.html", h + "/deep2.html", h + "/deep3.html"});

  // The depth defaults to 2, as the window starts with it.
  const ChildResult r = run_crawl({h + "/"});
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(lines_of(r.out), listed);
  // 1 to start, then the root, its 8 targets (a, x below a, b, b/ below b,
  // ./c, c, the download, a again, the empty target, deep1), deep2 and deep3.
  EXPECT_EQ(r.err, counters(7, 14));
  // The download is listed without a fetch; nothing past the depth limit or
  // without the http prefix is fetched.
  EXPECT_EQ(nginx.requested_targets(),
            (std::vector<std::string>{"/", "/a.html", "/a.html/x.html", "/b.html", "/deep1.html", "/deep2.html"}));
}

// With standard error on a terminal the counters show on a progress line
// while the crawl runs; at the end that line is cleared and the counter line
// stands alone, and standard output still holds only the addresses.
TEST(CrawlCommandSite, ProgressLineOnATerminalIsClearedBeforeTheCounterLine) {
  const std::string h = std::string("http://") + kProgressHost;
  TempDir root;
  write_site(root.path(), padded({
                              {"/index.html", "<a href=\"" + h + "/a.html\">a</a>"},
                              {"/a.html", "a"},
                          }));
  NginxServer nginx(root.path(), kProgressHost);
  ASSERT_TRUE(nginx.ok()) << nginx.error();

  ChildProcess crawl({TOVARIN_CRAWL_BINARY, h + "/"}, ChildProcess::ErrorStream::terminal);
  const ChildResult r = crawl.finish(60s);
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, h + "\n" + h + "/a.html\n");
  const std::string clear = "\r\x1b[K";
  // The first pump always draws the line.
  EXPECT_EQ(r.err.rfind(clear + "有效：", 0), 0u) << r.err;
  const std::string final_line = clear + "有效：2 总共：3\r\n";
  ASSERT_GE(r.err.size(), final_line.size());
  EXPECT_EQ(r.err.substr(r.err.size() - final_line.size()), final_line) << r.err;
  // Nothing but redraws before the end, so the terminal holds one line.
  EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
}

TEST(CrawlCommandSite, ChineseAddressAndFullWidthDepthTravelAsGbk) {
  const std::string h = std::string("http://") + kChineseHost;
  TempDir root;
  write_site(root.path(), padded({
                              {utf8_to_gbk("/中文.html"), "<a href=\"" + h + "/next.html\">next</a>"},
                              {"/next.html", "<a href=\"" + h + "/last.html\">last</a>"},
                              {"/last.html", "beyond depth 1"},
                          }));
  NginxServer nginx(root.path(), kChineseHost);
  ASSERT_TRUE(nginx.ok()) << nginx.error();

  // The full-width digit one is depth 1 once it is GBK.
  const ChildResult r = run_crawl({h + "/中文.html", "１"});
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, h + "/中文.html\n" + h + "/next.html\n");
  EXPECT_EQ(r.err, counters(2, 4));
  const std::vector<std::string> targets = nginx.requested_targets();
  ASSERT_EQ(targets.size(), 2u);
  EXPECT_EQ(percent_decoded(targets[0]), utf8_to_gbk("/中文.html"));
  EXPECT_EQ(targets[1], "/next.html");
}

TEST(CrawlCommandArguments, CrawlsThatFetchNothing) {
  struct Case {
    std::vector<std::string> args;
    const char* why;
  };
  const std::vector<Case> cases = {
      {{""}, "an empty address fails the prefix test"},
      {{"--", "-not-an-address"}, "\"--\" ends the options"},
      {{"http://127.0.84.14/", "-1"}, "a negative depth ends the first visit"},
      {{"http://127.0.84.14/", "abc"}, "a depth without digits is 0; nothing listens there"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const ChildResult r = run_crawl(c.args);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, counters(0, 2));
  }
}

TEST(CrawlCommandArguments, HelpAndUsageErrors) {
  for (const char* option : {"--help", "-h"}) {
    const ChildResult r = run_crawl({option});
    EXPECT_EQ(r.exit_code, 0) << option;
    EXPECT_NE(r.out.find("Usage:"), std::string::npos) << option;
    EXPECT_EQ(r.err, "") << option;
  }
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const std::vector<Case> cases = {
      {{}, "missing start address"},
      {{"http://127.0.84.14/", "2", "extra"}, "too many arguments"},
      {{"--depth", "3", "http://127.0.84.14/"}, "unknown option '--depth'"},
      {{"-x", "http://127.0.84.14/"}, "unknown option '-x'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    const ChildResult r = run_crawl(c.args);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Usage:"), std::string::npos) << r.err;
  }
}

// The root page lists at once; its first link leads to a server that takes
// the request and never answers, so the crawl hangs in that fetch until the
// signal stops it. Its second link must then never be fetched.
TEST(CrawlCommandStop, SignalDuringAFetchStopsWithTheCountersAndStatus130) {
  const std::string h = std::string("http://") + kStopSiteHost;
  TempDir root;
  write_site(root.path(), padded({
                              {"/index.html", std::string("<a href=\"http://") + kSilentHost +
                                                  "/slow.html\">slow</a> <a href=\"" + h + "/after.html\">after</a>"},
                              {"/after.html", "never reached"},
                          }));
  NginxServer nginx(root.path(), kStopSiteHost);
  ASSERT_TRUE(nginx.ok()) << nginx.error();
  ScriptedServer silent(kSilentHost, 80);
  ServerReply never;
  never.kind = ServerReply::Kind::kNeverAnswer;
  silent.add_fault("/slow.html", never);

  for (int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal == SIGINT ? "SIGINT" : "SIGTERM");
    const std::size_t requests_before = silent.request_count();
    ChildProcess crawl({TOVARIN_CRAWL_BINARY, h + "/"});
    // The listed root shows up while the crawl still runs: one flush per line.
    ASSERT_TRUE(crawl.wait_for_output([&](const std::string& out) { return out == h + "\n"; }, 30s)) << crawl.out();
    ASSERT_TRUE(silent.wait_for_requests(requests_before + 1, 30s));
    crawl.send_signal(signal);
    const ChildResult r = crawl.finish(20s);
    ASSERT_FALSE(r.timed_out) << "the fetch in progress did not end";
    EXPECT_EQ(r.exit_code, 130);
    EXPECT_EQ(r.out, h + "\n");
    // The visit of after.html has counted itself when its pump stops the crawl.
    EXPECT_EQ(r.err, counters(1, 4));
  }
  EXPECT_EQ(nginx.requested_targets(), (std::vector<std::string>{"/", "/"}));
}

// Every page links only to the next: the nesting is as deep as the chain.
TEST(CrawlCommandDeep, ChainOfThirtyThousandPagesIsListedInOrder) {
  constexpr std::size_t kPages = 30000;
  TempDir root;
  const GeneratedSite site = write_chain_site(root.path(), kChainHost, kPages);
  ASSERT_EQ(site.listed.size(), kPages + 1);
  NginxServer nginx(root.path(), kChainHost);
  ASSERT_TRUE(nginx.ok()) << nginx.error();

  const ChildResult r = run_crawl({site_start(kChainHost), "100000"}, 480s);
  ASSERT_FALSE(r.timed_out);
  ASSERT_EQ(r.term_signal, 0) << "killed by signal " << r.term_signal;
  EXPECT_EQ(r.exit_code, 0);
  const std::vector<std::string> lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), site.listed.size());
  EXPECT_TRUE(lines == site.listed);
  EXPECT_EQ(r.err, counters(static_cast<int>(kPages + 1), static_cast<int>(kPages + 2)));
  EXPECT_EQ(nginx.request_count(), kPages + 1);
}

}  // namespace
}  // namespace tovarin::test
