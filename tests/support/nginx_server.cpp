#include "tests/support/nginx_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace tovarin::test {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kNginx = "/usr/sbin/nginx";

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Whether something accepts TCP connections on address:80 right now.
bool accepts_connections(const std::string& address) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(80);
  inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
  const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
  ::close(fd);
  return ok;
}

// Waits up to `limit` for `pid` to end; true when it has been reaped.
bool reap_within(pid_t pid, Clock::duration limit) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno == ECHILD)) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
}

// nginx writes bytes outside printable ASCII, '"' and '\' as \xHH.
std::string unescape_log_field(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] == 'x') {
      const std::string hex(field.substr(i + 2, 2));
      char* end = nullptr;
      const long value = std::strtol(hex.c_str(), &end, 16);
      if (end == hex.c_str() + 2) {
        out += static_cast<char>(value);
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

}  // namespace

NginxServer::NginxServer(std::filesystem::path doc_root, std::string address, NginxOptions options)
    : doc_root_(std::filesystem::absolute(std::move(doc_root))), address_(std::move(address)), options_(options) {
  start();
}

NginxServer::~NginxServer() { stop(); }

std::string NginxServer::url(std::string_view path) const { return "http://" + address_ + std::string(path); }

std::string NginxServer::error_log() const { return read_file(work_.path() / "error.log"); }

void NginxServer::start() {
  const std::filesystem::path dir = work_.path();
  if (accepts_connections(address_)) {
    error_ = "another server already listens on " + address_ + ":80";
    return;
  }
  std::filesystem::create_directories(dir / "tmp");
  std::ostringstream conf;
  conf << "daemon off;\n"
       << "master_process on;\n"
       << "worker_processes " << options_.worker_processes << ";\n";
  if (::geteuid() == 0) conf << "user root;\n";
  conf << "pid " << (dir / "nginx.pid").string() << ";\n"
       << "lock_file " << (dir / "nginx.lock").string() << ";\n"
       << "error_log " << (dir / "error.log").string() << " warn;\n"
       << "events {\n  worker_connections 1024;\n  accept_mutex off;\n}\n"
       << "http {\n"
       << "  types {\n    text/html html htm;\n    text/plain txt;\n  }\n"
       << "  default_type application/octet-stream;\n"
       << "  log_format tovarin '$request_method $request_uri $status';\n";
  if (options_.access_log) {
    conf << "  access_log " << (dir / "access.log").string() << " tovarin;\n";
  } else {
    conf << "  access_log off;\n";
  }
  conf << "  sendfile on;\n  tcp_nopush on;\n  tcp_nodelay on;\n"
       << "  keepalive_timeout 0;\n"
       << "  server_tokens off;\n"
       << "  client_body_temp_path " << (dir / "tmp/client_body").string() << ";\n"
       << "  proxy_temp_path " << (dir / "tmp/proxy").string() << ";\n"
       << "  fastcgi_temp_path " << (dir / "tmp/fastcgi").string() << ";\n"
       << "  uwsgi_temp_path " << (dir / "tmp/uwsgi").string() << ";\n"
       << "  scgi_temp_path " << (dir / "tmp/scgi").string() << ";\n"
       << "  server {\n"
       << "    listen " << address_ << ":80 default_server;\n"
       << "    server_name _;\n"
       << "    root " << doc_root_.string() << ";\n"
       << "    index index.html;\n"
       << "  }\n"
       << "}\n";
  {
    std::ofstream out(dir / "nginx.conf");
    out << conf.str();
  }

  const std::string prefix = dir.string() + "/";
  const std::string conf_path = (dir / "nginx.conf").string();
  const std::string err_path = (dir / "error.log").string();
  const std::string out_path = (dir / "nginx.out").string();
  std::vector<std::string> argv_text = {kNginx, "-p", prefix, "-c", conf_path, "-e", err_path};
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    error_ = "fork failed";
    return;
  }
  if (pid == 0) {
    // Its own process group, so a last-resort kill reaches the workers too;
    // and nginx goes when the test process goes, even when it is killed.
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);
    const int null_in = ::open("/dev/null", O_RDONLY);
    const int log = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (null_in >= 0) ::dup2(null_in, 0);
    if (log >= 0) {
      ::dup2(log, 1);
      ::dup2(log, 2);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execv(kNginx, argv.data());
    ::_exit(127);
  }
  pid_ = pid;

  const auto deadline = Clock::now() + 10s;
  for (;;) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      error_ = "nginx exited at start (status " + std::to_string(status) + ") for " + address_ +
               ":80; nginx must run as root to bind port 80.\nerror log:\n" + error_log() +
               "\noutput:\n" + read_file(out_path);
      return;
    }
    if (accepts_connections(address_)) return;
    if (Clock::now() >= deadline) {
      error_ = "nginx did not accept connections on " + address_ + ":80 within 10 s.\nerror log:\n" + error_log();
      stop();
      return;
    }
    std::this_thread::sleep_for(10ms);
  }
}

void NginxServer::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGQUIT);  // graceful: finish the requests in hand
  if (!reap_within(pid_, 5s)) {
    ::kill(pid_, SIGTERM);
    if (!reap_within(pid_, 2s)) {
      ::kill(-pid_, SIGKILL);
      reap_within(pid_, 5s);
    }
  }
  pid_ = -1;
}

std::vector<AccessLogEntry> NginxServer::access_log() const {
  std::vector<AccessLogEntry> entries;
  std::istringstream lines(read_file(work_.path() / "access.log"));
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t first = line.find(' ');
    const std::size_t last = line.rfind(' ');
    if (first == std::string::npos || last <= first) continue;
    AccessLogEntry entry;
    entry.method = line.substr(0, first);
    entry.target = unescape_log_field(std::string_view(line).substr(first + 1, last - first - 1));
    entry.status = std::atoi(line.c_str() + last + 1);
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::vector<std::string> NginxServer::requested_targets() const {
  std::vector<std::string> targets;
  for (AccessLogEntry& entry : access_log()) targets.push_back(std::move(entry.target));
  return targets;
}

std::vector<AccessLogEntry> NginxServer::access_log_since(std::size_t mark) const {
  std::vector<AccessLogEntry> entries = access_log();
  if (mark >= entries.size()) return {};
  entries.erase(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(mark));
  return entries;
}

void write_site(const std::filesystem::path& doc_root, const std::map<std::string, std::string>& site) {
  for (const auto& [path, content] : site) {
    std::string relative = path;
    while (!relative.empty() && relative.front() == '/') relative.erase(0, 1);
    const std::filesystem::path file = doc_root / relative;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) throw std::runtime_error("cannot write " + file.string());
  }
}

}  // namespace tovarin::test
