// Page fetch over real loopback sockets: exact requests, bodies of every
// shape, redirections, broken and silent servers, TLS, and the bounds.

#include "engine/page_fetch.h"

#include <gtest/gtest.h>

#include <ostream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/fetch_limits.h"
#include "engine/http_session.h"
#include "engine/http_session_testing.h"
#include "tests/support/scripted_server.h"
#include "tests/support/tls_server.h"

namespace tovarin {
namespace {

using fetch_testing::FetchOverrides;
using fetch_testing::ScopedFetchOverrides;
using test::ScriptedServer;
using test::ServerReply;
using namespace std::chrono_literals;

std::string as_string(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string pattern_body(std::size_t size) {
  std::string body(size, '\0');
  for (std::size_t i = 0; i < size; ++i) body[i] = static_cast<char>('a' + i % 26);
  return body;
}

std::string with_length(int status, const std::string& body, const std::string& length) {
  return ScriptedServer::response(status, body, {{"Content-Length", length}});
}

// Every fetch of any host and port goes to one scripted server, with short
// bounds so that a silent server costs a second or two.
class PageFetchTest : public ::testing::Test {
 protected:
  static FetchOverrides overrides_for(const ScriptedServer& server) {
    FetchOverrides overrides;
    overrides.connect_to = {server.connect_all_rule()};
    overrides.connect_timeout_seconds = 2;
    overrides.stall_timeout_seconds = 1;
    return overrides;
  }

  ScriptedServer server_;
  ScopedFetchOverrides guard_{overrides_for(server_)};
};

TEST_F(PageFetchTest, RequestCarriesExactlyTheDescribedHeaders) {
  server_.add_page("/page.html", "hello");
  ASSERT_EQ(as_string(fetch_page("http://site.test/page.html#top")), "hello");
  ASSERT_EQ(server_.request_count(), 1u);
  const std::string request = server_.requests().front();

  EXPECT_EQ(request.substr(0, request.find("\r\n")), "GET /page.html HTTP/1.0");
  // Nothing after the blank line: no body.
  EXPECT_EQ(request.find("\r\n\r\n") + 4, request.size());
  EXPECT_EQ(test::header_lines(request, "User-Agent"),
            std::vector<std::string>{"User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)"});
  EXPECT_EQ(test::header_lines(request, "Accept"), std::vector<std::string>{"Accept: */*"});
  EXPECT_EQ(test::header_lines(request, "Host"), std::vector<std::string>{"Host: site.test"});

  // Only these three header lines: no Referer, Accept-Encoding, cache or
  // connection headers of the client's own.
  std::multiset<std::string> names;
  std::size_t pos = request.find("\r\n") + 2;
  while (pos < request.size()) {
    const std::size_t end = request.find("\r\n", pos);
    if (end == pos) break;
    const std::string line = request.substr(pos, end - pos);
    names.insert(line.substr(0, line.find(':')));
    pos = end + 2;
  }
  EXPECT_EQ(names, (std::multiset<std::string>{"Accept", "Host", "User-Agent"}));
}

struct TargetCase {
  const char* name;
  Text address;
  std::string target;
  std::string host;
};
void PrintTo(const TargetCase& c, std::ostream* os) { *os << c.name; }

class RequestTargetTest : public PageFetchTest, public ::testing::WithParamInterface<TargetCase> {};

TEST_P(RequestTargetTest, SendsTheCanonicalTarget) {
  const TargetCase& c = GetParam();
  fetch_page(c.address);
  ASSERT_EQ(server_.request_count(), 1u);
  const std::string request = server_.requests().front();
  EXPECT_EQ(test::request_target(request), c.target);
  EXPECT_EQ(test::header_lines(request, "Host"), std::vector<std::string>{"Host: " + c.host});
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, RequestTargetTest,
    ::testing::Values(
        TargetCase{"FragmentDropped", "http://site.test/page.html#top", "/page.html", "site.test"},
        TargetCase{"QueryKept", "http://site.test/list?page=2", "/list?page=2", "site.test"},
        TargetCase{"QueryKeptFragmentDropped", "http://site.test/list?page=2#a#b", "/list?page=2", "site.test"},
        TargetCase{"EmptyPathIsRoot", "http://site.test", "/", "site.test"},
        TargetCase{"EmptyPathWithQuery", "http://site.test?x=1", "/?x=1", "site.test"},
        TargetCase{"DotSegmentsResolved", "http://site.test/a/./b/../c/", "/a/c/", "site.test"},
        TargetCase{"DotSegmentsAboveRoot", "http://site.test/../../x", "/x", "site.test"},
        TargetCase{"CapitalScheme", "HTTP://site.test/a", "/a", "site.test"},
        TargetCase{"EscapesUnchanged", "http://site.test/%41%2e%2e/x%2F?q=%20", "/%41%2e%2e/x%2F?q=%20", "site.test"},
        TargetCase{"GbkBytesRaw", "http://site.test/\xd6\xd0\xce\xc4.html?q=\xd6\xd0",
                   "/\xd6\xd0\xce\xc4.html?q=\xd6\xd0", "site.test"},
        TargetCase{"SpaceEscaped", "http://site.test/a b?c d", "/a%20b?c%20d", "site.test"},
        TargetCase{"PortNamed", "http://site.test:8080/x", "/x", "site.test:8080"}),
    [](const ::testing::TestParamInfo<TargetCase>& info) { return std::string(info.param.name); });

struct BodyCase {
  const char* name;
  std::string raw_response;
  std::string body;
};
void PrintTo(const BodyCase& c, std::ostream* os) { *os << c.name; }

class ResponseBodyTest : public PageFetchTest, public ::testing::WithParamInterface<BodyCase> {};

TEST_P(ResponseBodyTest, ReadsTheBodyToTheEndOfTheConnection) {
  server_.add_raw("/p", GetParam().raw_response);
  const Bytes body = fetch_page("http://site.test/p");
  EXPECT_EQ(body.size(), GetParam().body.size());
  EXPECT_TRUE(as_string(body) == GetParam().body);
}

INSTANTIATE_TEST_SUITE_P(
    Responses, ResponseBodyTest,
    ::testing::Values(
        BodyCase{"WithContentLength", with_length(200, "<html>x</html>", "14"), "<html>x</html>"},
        BodyCase{"NoContentLength", ScriptedServer::response(200, pattern_body(50000)), pattern_body(50000)},
        BodyCase{"LongerThanContentLength", with_length(200, "0123456789", "3"), "0123456789"},
        BodyCase{"ShorterContentLengthThanChunk", with_length(200, pattern_body(300000), "10"),
                 pattern_body(300000)},
        BodyCase{"LargeAnnounced", with_length(200, pattern_body(300000), "300000"), pattern_body(300000)},
        BodyCase{"ContentLengthZero", with_length(200, "", "0"), ""},
        BodyCase{"GarbageContentLength", with_length(200, "abc", "many"), "abc"},
        BodyCase{"NotFoundWithBody", with_length(404, "gone", "4"), "gone"},
        BodyCase{"ServerErrorWithBody", ScriptedServer::response(500, "broken"), "broken"},
        BodyCase{"ZeroBytesKept", ScriptedServer::response(200, std::string("\xFF\xFE<\0a\0", 6)),
                 std::string("\xFF\xFE<\0a\0", 6)},
        BodyCase{"HeadersOnly", "HTTP/1.0 200 OK\r\n\r\n", ""}),
    [](const ::testing::TestParamInfo<BodyCase>& info) { return std::string(info.param.name); });

TEST(BytesToText, EndsBeforeTheFirstZeroByte) {
  struct Case {
    Bytes bytes;
    Text text;
  } cases[] = {
      {{}, ""},
      {{0x00, 'a'}, ""},
      {{0xFF, 0xFE, 0x3C, 0x00, 0x61, 0x00}, "\xFF\xFE\x3C"},
      {{'a', 'b', 'c'}, "abc"},
      {{0xD6, 0xD0, 'x', 0x00}, "\xD6\xD0x"},
  };
  for (const Case& c : cases) EXPECT_EQ(bytes_to_text(c.bytes), c.text);
}

TEST(ReadChunkSize, FollowsTheContentLength) {
  struct Case {
    std::optional<std::string_view> content_length;
    std::size_t chunk;
  } cases[] = {
      {std::nullopt, 10240},
      {"", 10240},
      {"abc", 10240},
      {"0", 10240},
      {"-5", 10240},
      {"+5", 6},
      {"1", 2},
      {"  \t42", 43},
      {"42abc", 43},
      {"102399", 102400},
      {"102400", 102400},
      {"999999999999999999999999", 102400},
      {"00000000000000000000000000000007", 8},    // 32 bytes: still read
      {"000000000000000000000000000000007", 10240},  // 33 bytes: counts as absent
      {"- 5", 10240},
      {"--5", 10240},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(read_chunk_size(c.content_length), c.chunk) << (c.content_length ? *c.content_length : "(absent)");
  }
}

TEST_F(PageFetchTest, RedirectionGivesTheBodyOfItsTarget) {
  server_.add_redirect("/old", "/new");
  server_.add_redirect("/away", "http://other.test:81/new", 301);
  server_.add_page("/new", "the new page");
  EXPECT_EQ(as_string(fetch_page("http://site.test/old")), "the new page");
  EXPECT_EQ(as_string(fetch_page("http://site.test/away")), "the new page");
  EXPECT_EQ(server_.request_targets(), (std::vector<std::string>{"/old", "/new", "/away", "/new"}));
  EXPECT_EQ(test::header_lines(server_.requests()[3], "Host"), std::vector<std::string>{"Host: other.test:81"});
}

TEST_F(PageFetchTest, RedirectionsUpToTheBoundAreFollowed) {
  // /r0 -> /r1 -> ... -> /r{n}, which is a page.
  const long n = kMaxRedirections + 1;
  for (long i = 0; i < n; ++i) server_.add_redirect("/r" + std::to_string(i), "/r" + std::to_string(i + 1));
  server_.add_page("/r" + std::to_string(n), "end");
  EXPECT_EQ(as_string(fetch_page("http://site.test/r1")), "end");  // exactly the bound
  EXPECT_EQ(server_.request_count(), static_cast<std::size_t>(kMaxRedirections + 1));
  EXPECT_TRUE(fetch_page("http://site.test/r0").empty());  // one more
}

TEST_F(PageFetchTest, UnfollowableRedirectionGivesEmpty) {
  const char* locations[] = {"/loop", "file:///etc/passwd", "ftp://site.test/x", "gopher://site.test/", "http://"};
  for (const char* location : locations) {
    server_.add_raw("/loop", ScriptedServer::response(302, "redirect body", {{"Location", location}}));
    EXPECT_TRUE(fetch_page("http://site.test/loop").empty()) << location;
  }
  for (const std::string& target : server_.request_targets()) EXPECT_EQ(target, "/loop");
}

TEST_F(PageFetchTest, RedirectionWithoutLocationIsAPage) {
  server_.add_raw("/p", with_length(302, "no location", "11"));
  EXPECT_EQ(as_string(fetch_page("http://site.test/p")), "no location");
}

TEST_F(PageFetchTest, BrokenConnectionKeepsWhatWasRead) {
  const std::string head = "HTTP/1.0 200 OK\r\nContent-Length: 20000\r\n\r\n";
  const std::string full = head + pattern_body(20000);
  const std::size_t sent = head.size() + 7000;
  server_.add_fault("/reset", ServerReply{ServerReply::Kind::kResetAfter, full, sent, {}});
  server_.add_fault("/closed", ServerReply{ServerReply::Kind::kCloseAfter, full, sent, {}});
  // Headers and a first piece, then silence: the stall bound ends it.
  server_.add_fault("/stalled", ServerReply{ServerReply::Kind::kDrip, full, sent, 60s});
  for (const char* target : {"/reset", "/closed", "/stalled"}) {
    EXPECT_EQ(as_string(fetch_page(std::string("http://site.test") + target)), pattern_body(7000)) << target;
  }
}

TEST_F(PageFetchTest, SlowButMovingBodyIsReadWhole) {
  const std::string full = ScriptedServer::response(200, "drip drip drip");
  server_.add_fault("/slow", ServerReply{ServerReply::Kind::kDrip, full, 4, 20ms});
  EXPECT_EQ(as_string(fetch_page("http://site.test/slow")), "drip drip drip");
}

TEST_F(PageFetchTest, FailuresGiveTheEmptyBody) {
  server_.add_fault("/silent", ServerReply{ServerReply::Kind::kNeverAnswer, "", 0, {}});
  // A bound socket that does not listen refuses connections.
  const int refusing = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(refusing, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  ASSERT_EQ(bind(refusing, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(getsockname(refusing, reinterpret_cast<sockaddr*>(&addr), &length), 0);
  const std::string refused_port = std::to_string(ntohs(addr.sin_port));

  FetchOverrides overrides;
  overrides.connect_to = {"refused.test:80:127.0.0.1:" + refused_port, server_.connect_all_rule()};
  overrides.connect_timeout_seconds = 2;
  overrides.stall_timeout_seconds = 1;
  ScopedFetchOverrides guard(overrides);

  const Text addresses[] = {
      "http://site.test/silent",       // accepts, never answers
      "http://refused.test/",          // refused
      "http://no-such-host.invalid/",  // never resolves
  };
  EXPECT_TRUE(fetch_page(addresses[0]).empty());
  EXPECT_TRUE(fetch_page(addresses[1]).empty());
  close(refusing);
  EXPECT_EQ(server_.request_targets(), std::vector<std::string>{"/silent"});

  // Without a connect-to rule the name is looked up, and .invalid never resolves.
  FetchOverrides plain;
  plain.connect_timeout_seconds = 2;
  ScopedFetchOverrides unresolved(plain);
  EXPECT_TRUE(fetch_page(addresses[2]).empty());
}

TEST_F(PageFetchTest, RejectedAddressesSendNothing) {
  const Text addresses[] = {
      "",
      "#only-a-fragment",
      "not an address",
      "site.test/no-scheme",
      "ftp://site.test/file",
      "file:///etc/passwd",
      "gopher://site.test/",
      "javascript:alert(1)",
      "mailto:someone@site.test",
      "http://",
      "http://site.test:99999/",
      "http://site.test/a\r\nX-Injected: 1",
      "http://site.test/a\tb",
  };
  for (const Text& address : addresses) EXPECT_TRUE(fetch_page(address).empty()) << address;
  EXPECT_EQ(server_.request_count(), 0u);
}

TEST_F(PageFetchTest, LengthBoundsOfAddressParts) {
  server_.add_page("/", "root");
  // A host name of exactly `size` characters.
  auto host_of = [](std::size_t size) {
    std::string host;
    while (host.size() < size) host += host.size() % 50 == 49 ? '.' : 'h';
    if (host.back() == '.') host.back() = 'h';
    return host;
  };
  struct Case {
    std::string address;
    bool fetched;
  } cases[] = {
      {"http://" + host_of(kMaxHostLength) + "/", true},
      {"http://" + host_of(kMaxHostLength + 1) + "/", false},
      {"http://site.test/" + std::string(kMaxTargetLength - 1, 'p'), true},
      {"http://site.test/" + std::string(kMaxTargetLength, 'p'), false},
      {"http://site.test/?" + std::string(kMaxTargetLength - 2, 'q'), true},
      {"http://site.test/?" + std::string(kMaxTargetLength - 1, 'q'), false},
      {"http://site.test/" + std::string(kMaxTargetLength - 1, 'p') + "#" + std::string(100, 'f'), true},
      {"http://" + std::string(kMaxUserLength, 'u') + "@site.test/", true},
      {"http://" + std::string(kMaxUserLength + 1, 'u') + "@site.test/", false},
      {"http://u:" + std::string(kMaxPasswordLength, 'w') + "@site.test/", true},
      {"http://u:" + std::string(kMaxPasswordLength + 1, 'w') + "@site.test/", false},
  };
  for (const Case& c : cases) {
    const std::size_t before = server_.request_count();
    const Bytes body = fetch_page(c.address);
    EXPECT_EQ(server_.request_count() - before, c.fetched ? 1u : 0u) << c.address.size() << " " << c.address.substr(0, 40);
    EXPECT_EQ(body.empty(), !c.fetched) << c.address.substr(0, 40);
  }
}

TEST_F(PageFetchTest, EveryFetchSendsItsOwnRequest) {
  server_.add_page("/same", "same page");
  EXPECT_EQ(as_string(fetch_page("http://site.test/same")), "same page");
  EXPECT_EQ(as_string(fetch_page("http://site.test/same")), "same page");
  EXPECT_EQ(server_.request_targets(), (std::vector<std::string>{"/same", "/same"}));
}

TEST_F(PageFetchTest, BodyBoundKeepsExactlyTheFirstBytes) {
  FetchOverrides overrides = overrides_for(server_);
  overrides.max_body_bytes = 1000;
  ScopedFetchOverrides bounded(overrides);
  struct Case {
    std::size_t size;
    std::size_t kept;
  } cases[] = {{999, 999}, {1000, 1000}, {1001, 1000}, {250000, 1000}};
  for (const Case& c : cases) {
    server_.add_raw("/big", ScriptedServer::response(200, pattern_body(c.size)));
    EXPECT_EQ(as_string(fetch_page("http://site.test/big")), pattern_body(c.kept)) << c.size;
  }
}

TEST_F(PageFetchTest, CancelledFetchEndsWithWhatItRead) {
  const std::string body = pattern_body(1000);
  server_.add_fault("/drip", ServerReply{ServerReply::Kind::kDrip, ScriptedServer::response(200, body), 100, 50ms});
  std::atomic<bool> cancel{false};
  HttpSession::instance().set_cancel_flag(&cancel);
  std::thread canceller([&] {
    if (server_.wait_for_requests(1, 10s)) cancel = true;
  });
  const std::string got = as_string(fetch_page("http://site.test/drip"));
  canceller.join();
  HttpSession::instance().set_cancel_flag(nullptr);
  EXPECT_LT(got.size(), body.size());
  EXPECT_EQ(got, body.substr(0, got.size()));
  // Cleared again, the next fetch runs to the end.
  server_.add_page("/after", "after");
  EXPECT_EQ(as_string(fetch_page("http://site.test/after")), "after");
}

TEST_F(PageFetchTest, SessionOpensOnFirstFetchThatNeedsItAndReopensAfterClose) {
  HttpSession& session = HttpSession::instance();
  server_.add_page("/", "root");
  session.close();
  EXPECT_TRUE(fetch_page("").empty());
  EXPECT_TRUE(fetch_page("no address at all").empty());
  EXPECT_FALSE(session.is_open());
  EXPECT_EQ(as_string(fetch_page("http://site.test/")), "root");
  EXPECT_TRUE(session.is_open());
  session.close();
  EXPECT_FALSE(session.is_open());
  EXPECT_EQ(as_string(fetch_page("http://site.test/")), "root");
  EXPECT_TRUE(session.is_open());
}

TEST(PageFetchTls, CertificateIsCheckedAndTrustedOnlyWhenToldTo) {
  test::TlsServer tls;
  tls.add_file("page.html", "secret page");
  FetchOverrides overrides;
  overrides.connect_to = {tls.connect_to_rule()};
  overrides.connect_timeout_seconds = 5;
  overrides.stall_timeout_seconds = 5;
  {
    ScopedFetchOverrides untrusted(overrides);
    EXPECT_TRUE(fetch_page("https://secure.test/page.html").empty());
  }
  overrides.ca_file = tls.ca_file();
  ScopedFetchOverrides trusted(overrides);
  const std::string body = as_string(fetch_page("HTTPS://secure.test/page.html#part"));
  EXPECT_NE(body.find("secret page"), std::string::npos) << body;
}

}  // namespace
}  // namespace tovarin
