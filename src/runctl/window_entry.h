// The seam between the program entry (src/runctl/main.cpp) and the window
// library. The entry calls RunWindowApp only when the window library is
// built in (TWF_HAVE_WINDOW) and a display is available; otherwise
// command-line runs go headless and an interactive start is refused.
#pragma once

#include <functional>
#include <memory>

#include "runctl/command_line.h"

namespace twf {

struct TWindowStartup {
  TCommandLine Cmd; // parsed switches; /min and the task switches apply to the window
  // Interactive starts only (empty for /run and /dry, which take no part in
  // the single-instance rule). Call it once, on the UI thread, after the
  // QApplication and the main window exist: it starts listening for later
  // interactive starts, and runs activate (on the UI thread) each time one
  // asks this copy to show itself. activate restores a minimized window
  // (else keeps its size and position) and brings it to the front. Keep the
  // returned handle while the window lives and release it before the
  // QApplication is destroyed: that stops listening.
  std::function<std::shared_ptr<void>(std::function<void()> activate)> ListenForActivation;
};

// Implemented by the window library. Creates the QApplication (argc and argv
// as main received them), the main window with its TRunController (whose
// ProcessCommandLine and QueueStartStep are the last steps of window
// creation), runs the event loop, and returns the controller's ExitCode()
// once the window has closed.
int RunWindowApp(int& argc, char** argv, const TWindowStartup& startup);

} // namespace twf
