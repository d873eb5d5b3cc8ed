#pragma once
// The program's start and orderly end.

#include <functional>
#include <vector>

namespace tovarin {

// Exit status of a start that failed (no window system, no memory): -1 as
// the process sees it.
inline constexpr int kFailedStartStatus = 255;

// Routines without result that run once each, in the order added, at the
// orderly end of the program.
using ExitRoutines = std::vector<std::function<void()>>;

// Runs the whole program: prepares the window system, makes the crawl
// engine, registers its release, creates the main window (whose created event
// loads the download types), shows it and runs the event loop; then the
// orderly end: the exit routines in order, the window system taken down, the
// HTTP session closed. Returns the process's exit status: 0 after an orderly
// end, kFailedStartStatus when the start failed (after a message on standard
// error).
int program_start(int argc, char** argv);

// Why the window system cannot be prepared in this environment, or empty
// when it can be tried. The xcb and wayland platforms need a display to
// connect to; without one Qt would abort the process.
const char* missing_display_reason();

}  // namespace tovarin
