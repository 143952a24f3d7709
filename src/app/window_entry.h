// The seam between the program (src/app/program.h) and the window.
// The window and everything Qt live in a module, twinfold-window.so, that
// the entry loads only when a window is to open: a run from cron or ssh
// then never loads a toolkit it does not use. The module takes the plain
// libraries (tasks, run control, engine ...) from the program that loaded
// it, so both see one settings store, one logger, one file system.
#pragma once

#include <string>

#include "runctl/command_line.h"
#include "runctl/run_controller.h"
#include "twf_version.h"

namespace twf {

struct TWindowStartup {
  TCommandLine Cmd; // parsed switches; /min and the task switches apply to the window
  // Interactive starts of the copy holding the TInstanceLock only (never
  // /run or /dry, which take no part in the single-instance rule): once the
  // window exists, listen for later interactive starts and restore and
  // raise the window for each, until the window closes.
  bool ListenForActivation = false;
  std::string StorePath;   // the settings store the window opens
  TRunControllerConfig Run; // what the program gives its runs (power-off, webhook trust)
};

// Implemented by the window module. Creates the QApplication (argc and argv
// as main received them), the main window with its TRunController (whose
// ProcessCommandLine and QueueStartStep are the last steps of window
// creation), runs the event loop, and returns the controller's ExitCode()
// once the window has closed.
int RunWindowApp(int& argc, char** argv, const TWindowStartup& startup);

// What the module exports, looked up by name. The stamp must match the
// program's: a module of another version, left beside an upgraded program,
// may lay TWindowStartup out differently.
using TWindowMain = int (*)(int* argc, char** argv, const TWindowStartup* startup);
inline constexpr char kWindowMainSymbol[] = "twf_window_main";
inline constexpr char kWindowStampSymbol[] = "twf_window_stamp";
#define TWF_WINDOW_STAMP "twinfold " TWF_VERSION " window seam 2"
inline constexpr char kWindowStamp[] = TWF_WINDOW_STAMP;

} // namespace twf
