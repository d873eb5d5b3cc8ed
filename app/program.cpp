#include "app/program.h"

#include <unistd.h>

#include <QApplication>
#include <QByteArray>
#include <QList>
#include <QPointer>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>

#include "engine/crawl_engine.h"
#include "engine/http_session.h"
#include "ui/main_window.h"

namespace tovarin {
namespace {

constexpr const char* kProgramName = "tovarin";

int failed_start(const char* why) {
  std::fprintf(stderr, "%s: cannot start: %s\n", kProgramName, why);
  std::fflush(stderr);
  return kFailedStartStatus;
}

// While the window system is being prepared, a fatal message from Qt (no
// display to connect to, no platform plugin) ends the program as a failed
// start instead of an abort.
QtMessageHandler previous_handler = nullptr;

void start_message_handler(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (type == QtFatalMsg) {
    std::fprintf(stderr, "%s: cannot start: %s\n", kProgramName, text.toLocal8Bit().constData());
    std::fflush(stderr);
    _exit(kFailedStartStatus);
  }
  if (previous_handler != nullptr) {
    previous_handler(type, context, text);
  } else {
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
  }
}

bool env_set(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0';
}

// Whether one entry of QT_QPA_PLATFORM ("xcb", "wayland-egl",
// "offscreen:option", ...) has what it needs to start.
bool platform_can_start(const QByteArray& entry) {
  const QByteArray name = entry.left(entry.indexOf(':')).trimmed();
  if (name == "xcb") return env_set("DISPLAY");
  if (name.startsWith("wayland")) return env_set("WAYLAND_DISPLAY");
  return true;
}

}  // namespace

const char* missing_display_reason() {
  const QByteArray platforms = qgetenv("QT_QPA_PLATFORM").trimmed();
  if (platforms.isEmpty()) {
    // Qt's default here is xcb (wayland is tried first in a wayland session).
    if (env_set("DISPLAY") || env_set("WAYLAND_DISPLAY")) return nullptr;
    return "no display to show the window on (DISPLAY and WAYLAND_DISPLAY are not set)";
  }
  for (const QByteArray& entry : platforms.split(';')) {
    if (!entry.trimmed().isEmpty() && platform_can_start(entry)) return nullptr;
  }
  return "no display for the window system named in QT_QPA_PLATFORM (DISPLAY or "
         "WAYLAND_DISPLAY is not set)";
}

int program_start(int /*argc*/, char** argv) {
  // The program reads no command line: Qt sees only the program's name.
  static int qt_argc = 1;
  static char* qt_argv[] = {argv != nullptr && argv[0] != nullptr ? argv[0]
                                                                  : const_cast<char*>(kProgramName),
                            nullptr};

  // 1. The platform layer.
  if (const char* reason = missing_display_reason()) return failed_start(reason);
  previous_handler = qInstallMessageHandler(start_message_handler);
  std::unique_ptr<QApplication> app;
  try {
    app = std::make_unique<QApplication>(qt_argc, qt_argv);
  } catch (const std::bad_alloc&) {
    return failed_start("not enough memory to prepare the window system");
  }
  QApplication::setWindowIcon(program_icon());
  // Lets the desktop match the window to its menu entry and icon.
  QGuiApplication::setDesktopFileName(QStringLiteral("io.github.tovarin.Tovarin"));
  QApplication::setQuitOnLastWindowClosed(true);

  // 2. The crawl engine.
  std::unique_ptr<CrawlEngine> engine;
  try {
    engine = std::make_unique<CrawlEngine>();
  } catch (const std::bad_alloc&) {
    return failed_start("not enough memory for the crawl engine");
  }

  // 3. Its release at the orderly end.
  ExitRoutines exit_routines;
  exit_routines.emplace_back([&engine] { engine->exit_release(); });

  // 4. The main window: created (its created event loads the download
  // types), then shown.
  QPointer<MainWindow> window;
  try {
    window = new MainWindow(*engine);
  } catch (const std::bad_alloc&) {
    return failed_start("not enough memory to create the main window");
  }
  window->show();
  qInstallMessageHandler(previous_handler);

  // 5. The event loop, until the quit request that closing the window posts.
  const int status = QApplication::exec();

  // The orderly end: exit routines in order, the platform layer taken down,
  // the HTTP session closed.
  for (const auto& routine : exit_routines) routine();
  delete window.data();
  app.reset();
  engine.reset();
  HttpSession::instance().close();
  return status;
}

}  // namespace tovarin
