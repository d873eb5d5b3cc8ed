// Nothing a page or a server says makes a crawl read a local file or connect
// anywhere but to http and https servers. A loopback listener stands where
// each forbidden address points and counts every connection made to it.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "engine/crawl_engine.h"
#include "engine/http_session_testing.h"
#include "tests/support/raw_listener.h"
#include "tests/support/recording_host.h"
#include "tests/support/scripted_server.h"

namespace tovarin {
namespace {

using test::RawListener;
using test::RecordingHost;
using test::ScriptedServer;

// Schemes libcurl knows besides http and https, and file.
const std::vector<std::string> kOtherSchemes = {"file",  "ftp",  "ftps", "gopher", "gophers", "dict", "ldap",
                                                "ldaps", "telnet", "smb", "smbs",  "scp",     "sftp", "imap",
                                                "imaps", "pop3", "pop3s", "smtp", "smtps",  "rtsp", "rtmp",
                                                "mqtt",  "tftp", "ws",   "wss"};

class SecurityTest : public ::testing::Test {
 protected:
  SecurityTest()
      : trap_([](RawListener::Connection& c) { c.read_request(); }),
        guard_({.connect_to = {site_.connect_to_rule("site.test")}, .connect_timeout_seconds = 5,
                .stall_timeout_seconds = 5}) {}

  std::string trap_address(const std::string& scheme) const {
    return scheme + "://127.0.0.1:" + std::to_string(trap_.port()) + "/x";
  }

  RecordingHost crawl(const Text& address, const Text& depth) {
    CrawlEngine engine;
    engine.load_download_types();
    RecordingHost host(address, depth);
    engine.start_crawl(host);
    return host;
  }

  ScriptedServer site_;
  RawListener trap_;
  fetch_testing::ScopedFetchOverrides guard_;
};

TEST_F(SecurityTest, LinksToOtherSchemesAreNeverFollowed) {
  std::string page;
  for (const std::string& scheme : kOtherSchemes) page += "<a href=\"" + trap_address(scheme) + "\">x</a>\n";
  page += "<a href=\"file:///etc/passwd\">x</a> <a href=\"file://localhost/etc/passwd\">x</a>\n";
  // An http link with a port does not match the link pattern either.
  page += "<a href=\"" + trap_address("http") + "\">x</a>\n";
  site_.add_page("/", page);
  const RecordingHost host = crawl("http://site.test/", "3");
  EXPECT_EQ(host.listed, std::vector<Text>{"http://site.test"});
  // Not one target came out of the page: only the start visit was counted.
  std::string last_total;
  for (const std::string& call : host.calls)
    if (call.rfind("total ", 0) == 0) last_total = call;
  EXPECT_EQ(last_total, "total 2");
  EXPECT_EQ(trap_.accepted(), 0u);
}

TEST_F(SecurityTest, RedirectionsToOtherSchemesGiveNothingAndConnectNowhere) {
  std::string page;
  std::vector<std::string> locations;
  for (const std::string& scheme : kOtherSchemes) locations.push_back(trap_address(scheme));
  locations.push_back("file:///etc/passwd");
  locations.push_back("file://localhost/etc/passwd");
  locations.push_back("FILE:///etc/passwd");
  for (std::size_t i = 0; i < locations.size(); ++i) {
    // Of distinct lengths, so that no two share an address key.
    const std::string target = "/r" + std::string(i + 1, 'q');
    site_.add_redirect(target, locations[i]);
    page += "<a href=\"http://site.test" + target + "\">r</a>\n";
  }
  site_.add_page("/", page);
  const RecordingHost host = crawl("http://site.test/", "1");
  EXPECT_EQ(host.listed, std::vector<Text>{"http://site.test"});
  EXPECT_EQ(site_.request_count(), 1 + locations.size());
  EXPECT_EQ(trap_.accepted(), 0u);
}

TEST_F(SecurityTest, StartAddressesOfOtherSchemesConnectNowhere) {
  for (const std::string& scheme : kOtherSchemes) {
    for (const std::string& address : {trap_address(scheme), "http" + trap_address(scheme)}) {
      const RecordingHost host = crawl(address, "1");
      EXPECT_TRUE(host.listed.empty()) << address;
    }
  }
  EXPECT_TRUE(crawl("file:///etc/passwd", "1").listed.empty());
  EXPECT_EQ(trap_.accepted(), 0u);
}

// The listener does count: a redirection to plain http on its port reaches it.
TEST_F(SecurityTest, TrapCountsAnHttpRedirection) {
  site_.add_redirect("/r", trap_address("http"));
  site_.add_page("/", "<a href=\"http://site.test/r\">r</a>");
  const RecordingHost host = crawl("http://site.test/", "1");
  EXPECT_EQ(host.listed, std::vector<Text>{"http://site.test"});
  EXPECT_EQ(trap_.accepted(), 1u);
}

}  // namespace
}  // namespace tovarin
