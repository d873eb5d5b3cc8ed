#pragma once
// A real TLS web server on loopback for tests: `openssl s_server -WWW` with a
// freshly made self-signed certificate for "secure.test" and 127.0.0.1,
// serving the files of its own temporary directory. Nothing trusts the
// certificate unless a fetch is told to trust ca_file().
//
//   tovarin::test::TlsServer tls;
//   tls.add_file("page.html", "hello");
//   tovarin::fetch_testing::ScopedFetchOverrides guard(
//       {.connect_to = {tls.connect_to_rule()}, .ca_file = tls.ca_file()});
//   tovarin::fetch_page("https://secure.test/page.html");  // "hello"

#include <cstdint>
#include <memory>
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace tovarin::test {

class TlsServer {
 public:
  static constexpr const char* kHost = "secure.test";

  // Makes the certificate and starts the server; throws std::runtime_error
  // when either fails or the server does not listen within a few seconds.
  TlsServer();
  ~TlsServer();  // stops the server
  TlsServer(const TlsServer&) = delete;
  TlsServer& operator=(const TlsServer&) = delete;

  std::uint16_t port() const { return port_; }
  // The certificate, usable as the CA file that makes it trusted.
  std::string ca_file() const;
  // Serves `content` at "/" + relative.
  void add_file(const std::string& relative, const std::string& content);
  // Connect-to rule sending fetches of kHost:443 to this server.
  std::string connect_to_rule() const;

 private:
  TempDir dir_;
  std::unique_ptr<ChildProcess> server_;
  std::uint16_t port_ = 0;
};

}  // namespace tovarin::test
