// The real tovarin program as a child process: a start without a display
// fails with status 255 and a message; under a private Xvfb display, closing
// the window during a crawl stops the crawl and ends the program with 0.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/scripted_server.h"

namespace tovarin {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::run_child;

// The program built next to this test binary (BUILD/tests -> BUILD/app).
std::string program_path() {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return {};
  const auto program = self.parent_path().parent_path() / "app" / "tovarin";
  return std::filesystem::exists(program) ? program.string() : std::string();
}

bool have(const char* tool) {
  for (const char* dir : {"/usr/bin/", "/bin/", "/usr/local/bin/"}) {
    if (access((std::string(dir) + tool).c_str(), X_OK) == 0) return true;
  }
  return false;
}

TEST(Program, StartWithoutADisplayFailsWithStatus255AndAMessage) {
  const std::string program = program_path();
  if (program.empty()) GTEST_SKIP() << "tovarin is not built";
  struct Case {
    const char* what;
    std::vector<std::string> env;
  };
  const Case cases[] = {
      {"no display at all", {"-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM"}},
      {"xcb named, no DISPLAY", {"-u", "DISPLAY", "QT_QPA_PLATFORM=xcb"}},
      {"a display nobody serves", {"-u", "QT_QPA_PLATFORM", "DISPLAY=127.0.0.1:59"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> argv = {"/usr/bin/env"};
    argv.insert(argv.end(), c.env.begin(), c.env.end());
    argv.push_back(program);
    const test::ChildResult result = run_child(argv, 30s);
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(result.term_signal, 0);
    EXPECT_EQ(result.exit_code, 255);
    EXPECT_NE(result.err.find("tovarin: cannot start:"), std::string::npos) << result.err;
  }
}

// A private X display, stopped with the test.
class XvfbDisplay {
 public:
  XvfbDisplay()
      : server_({"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", "800x600x24", "-nolisten",
                 "tcp"}) {
    if (server_.wait_for_output([](const std::string& out) { return out.find('\n') != std::string::npos; },
                                20000ms)) {
      name_ = ":" + server_.out().substr(0, server_.out().find('\n'));
    }
  }
  const std::string& name() const { return name_; }

 private:
  ChildProcess server_;
  std::string name_;
};

// Runs xdotool on `display`; its standard output.
std::string xdotool(const std::string& display, std::vector<std::string> args) {
  std::vector<std::string> argv = {"/usr/bin/env", "DISPLAY=" + display, "/usr/bin/xdotool"};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_child(argv, 20s).out;
}

TEST(Program, ClosingTheWindowDuringACrawlEndsTheProgramWithStatus0) {
  const std::string program = program_path();
  if (program.empty()) GTEST_SKIP() << "tovarin is not built";
  if (!have("Xvfb") || !have("xdotool")) GTEST_SKIP() << "Xvfb or xdotool missing";

  // The root links to a page that takes a few seconds to arrive and then to
  // one more page, which a stopped crawl never asks for.
  test::ScriptedServer server;
  server.add_page("/", R"(<a href="/slow">slow</a> <a href="/after">after</a>)");
  server.add_fault("/slow", {.kind = test::ServerReply::Kind::kDrip,
                             .bytes = test::ScriptedServer::response(200, std::string(60, 's')),
                             .count = 4,
                             .interval = 100ms});
  server.add_page("/after", "after");

  XvfbDisplay display;
  ASSERT_FALSE(display.name().empty());
  ChildProcess tovarin({"/usr/bin/env", "-u", "QT_QPA_PLATFORM", "DISPLAY=" + display.name(), program});
  std::string window;
  for (int i = 0; i < 100 && window.empty(); ++i) {
    window = xdotool(display.name(), {"search", "--onlyvisible", "--name", "^Tovarin$"});
    if (window.empty()) usleep(100 * 1000);
  }
  ASSERT_FALSE(window.empty()) << tovarin.err();
  window = window.substr(0, window.find('\n'));

  xdotool(display.name(), {"windowfocus", "--sync", window});
  xdotool(display.name(), {"mousemove", "--window", window, "200", "44", "click", "1"});
  xdotool(display.name(), {"type", "--delay", "5", server.url("/")});
  xdotool(display.name(), {"mousemove", "--window", window, "400", "40", "click", "1"});
  ASSERT_TRUE(server.wait_for_requests(2, 20000ms));  // "/" and "/slow"
  // Esc while "/slow" is still arriving: it takes effect at the next pump.
  xdotool(display.name(), {"key", "Escape"});

  const test::ChildResult result = tovarin.finish(30s);
  ASSERT_FALSE(result.timed_out);
  EXPECT_EQ(result.term_signal, 0) << result.err;
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(server.request_targets(), (std::vector<std::string>{"/", "/slow"}));
}

}  // namespace
}  // namespace tovarin
