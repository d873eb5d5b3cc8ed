// tovarin-crawl: the crawl engine driven from a terminal.

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/crawl_engine.h"
#include "engine/encoding.h"
#include "engine/http_session.h"
#include "tools/tovarin-crawl/command_line.h"
#include "tools/tovarin-crawl/terminal_host.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

std::atomic<bool> stop_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

extern "C" void request_stop(int) { stop_requested.store(true); }

// SIGINT and SIGTERM set the stop flag; the crawl ends at its next pump and
// a fetch in progress at its next progress check. The handler is one-shot
// (SA_RESETHAND), so a second Ctrl-C ends the program at once should the
// first one not get through. SA_RESTART keeps writes to the terminal whole.
void install_stop_handlers() {
  struct sigaction action {};
  action.sa_handler = request_stop;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND | SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  using tovarin::crawl_tool::CommandLine;
  const std::string program = "tovarin-crawl";
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const CommandLine command = tovarin::crawl_tool::parse_command_line(args);
  if (command.action == CommandLine::Action::help) {
    const std::string usage = tovarin::crawl_tool::usage_text(program);
    std::fwrite(usage.data(), 1, usage.size(), stdout);
    return 0;
  }
  if (command.action == CommandLine::Action::usage_error) {
    std::fprintf(stderr, "%s: %s\nUsage: %s [--] ADDRESS [DEPTH]\nTry '%s --help' for more information.\n",
                 program.c_str(), command.error.c_str(), program.c_str(), program.c_str());
    return kExitUsage;
  }

  install_stop_handlers();
  tovarin::HttpSession& session = tovarin::HttpSession::instance();
  session.set_cancel_flag(&stop_requested);

  tovarin::CrawlEngine engine;
  engine.load_download_types();
  tovarin::crawl_tool::TerminalHost host(tovarin::utf8_to_gbk(command.address), tovarin::utf8_to_gbk(command.depth),
                                         stop_requested, stdout, stderr, isatty(STDERR_FILENO) == 1);
  engine.start_crawl(host);
  host.finish(engine.valid_count(), engine.total_count());

  engine.exit_release();
  session.set_cancel_flag(nullptr);
  session.close();
  return stop_requested.load() ? kExitInterrupted : 0;
}
