#pragma once
// TEST-ONLY adjustments of every page fetch. The program itself never sets
// them; they exist so that tests can fetch fictitious hosts from servers on
// loopback, trust a test certificate, and give up on a silent server quickly.
//
//   tovarin::test::ScriptedServer server;               // tests/support
//   server.add_page("/", "<a href=\"http://site.test/a\">a</a>");
//   tovarin::fetch_testing::ScopedFetchOverrides guard(
//       {.connect_to = {server.connect_to_rule("site.test")}});
//   tovarin::Bytes body = tovarin::fetch_page("http://site.test/");
//
// A connect-to rule changes only where the connection goes: the request line
// and the Host header stay exactly as a real fetch of that address sends them.
//
// The namespace is not called `testing` so that it never clashes with
// GoogleTest's ::testing inside namespace tovarin.

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tovarin::fetch_testing {

struct FetchOverrides {
  // libcurl connect-to rules "HOST:PORT:CONNECT-HOST:CONNECT-PORT"; an empty
  // HOST or PORT matches any ("::127.0.0.1:8080" sends every fetch there).
  std::vector<std::string> connect_to{};
  // A CA bundle to trust instead of the system's (a test certificate).
  std::string ca_file{};
  // Shorter bounds than the program's; 0 keeps the program's own.
  long connect_timeout_seconds = 0;
  long stall_timeout_seconds = 0;
  // Bytes of one body kept at most; 0 keeps the program's own bound.
  std::size_t max_body_bytes = 0;
  // Hosts reached without a proxy; "*" keeps a proxy of the environment away
  // from loopback traffic. Empty leaves the environment's setting.
  std::string no_proxy = "*";
};

// Replaces the overrides used by every later fetch.
void set_fetch_overrides(FetchOverrides overrides);
// Back to the program's own behaviour.
void clear_fetch_overrides();
// The overrides in force, nullptr when none (read once per fetch).
std::shared_ptr<const FetchOverrides> current_fetch_overrides();

// Sets overrides for its lifetime and clears them when it goes.
class ScopedFetchOverrides {
 public:
  explicit ScopedFetchOverrides(FetchOverrides overrides) { set_fetch_overrides(std::move(overrides)); }
  ~ScopedFetchOverrides() { clear_fetch_overrides(); }
  ScopedFetchOverrides(const ScopedFetchOverrides&) = delete;
  ScopedFetchOverrides& operator=(const ScopedFetchOverrides&) = delete;
};

}  // namespace tovarin::fetch_testing
