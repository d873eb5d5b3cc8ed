#include "tests/support/tls_server.h"

#include <signal.h>

#include <chrono>
#include <stdexcept>

namespace tovarin::test {
namespace {

constexpr std::chrono::seconds kStartTimeout{10};
constexpr std::chrono::seconds kStopTimeout{5};

// The port from s_server's "ACCEPT 127.0.0.1:PORT" line; 0 until it is there.
std::uint16_t accept_port(const std::string& out) {
  const std::string marker = "ACCEPT 127.0.0.1:";
  std::size_t at = out.find(marker);
  if (at == std::string::npos) return 0;
  std::size_t pos = at + marker.size();
  unsigned long port = 0;
  std::size_t digits = 0;
  while (pos < out.size() && out[pos] >= '0' && out[pos] <= '9' && digits < 6) {
    port = port * 10 + static_cast<unsigned long>(out[pos] - '0');
    ++pos;
    ++digits;
  }
  if (pos >= out.size() || out[pos] != '\n' || port == 0 || port > 65535) return 0;
  return static_cast<std::uint16_t>(port);
}

}  // namespace

TlsServer::TlsServer() {
  const std::string dir = dir_.path().string();
  ChildResult made = run_child({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", dir + "/key.pem", "-out",
                                dir + "/cert.pem", "-days", "2", "-subj", std::string("/CN=") + kHost, "-addext",
                                std::string("subjectAltName=DNS:") + kHost + ",IP:127.0.0.1"},
                               std::chrono::milliseconds(std::chrono::seconds(30)));
  if (made.exit_code != 0) throw std::runtime_error("openssl req failed: " + made.err);
  // -WWW serves files relative to the working directory.
  server_ = std::make_unique<ChildProcess>(std::vector<std::string>{
      "/bin/sh", "-c",
      "cd \"$0\" && exec /usr/bin/openssl s_server -accept 127.0.0.1:0 -cert cert.pem -key key.pem -WWW",
      dir});
  const bool ready = server_->wait_for_output([](const std::string& out) { return accept_port(out) != 0; },
                                              std::chrono::milliseconds(kStartTimeout));
  if (!ready) throw std::runtime_error("openssl s_server did not start: " + server_->err());
  port_ = accept_port(server_->out());
}

TlsServer::~TlsServer() {
  if (server_) {
    server_->send_signal(SIGTERM);
    server_->finish(std::chrono::milliseconds(kStopTimeout));
  }
}

std::string TlsServer::ca_file() const { return (dir_.path() / "cert.pem").string(); }

void TlsServer::add_file(const std::string& relative, const std::string& content) { dir_.write(relative, content); }

std::string TlsServer::connect_to_rule() const {
  return std::string(kHost) + ":443:127.0.0.1:" + std::to_string(port_);
}

}  // namespace tovarin::test
