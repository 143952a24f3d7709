// Finding and loading the window module (see window_entry.h).
#pragma once

#include <string>
#include <vector>

#include "app/window_entry.h"

namespace twf {

inline constexpr char kWindowModuleName[] = "twinfold-window.so";

// Where the module is looked for, in order, for the program at exePath:
// beside it (the build tree), then <prefix>/lib/twinfold/ for a program
// installed as <prefix>/bin/twinfold.
std::vector<std::string> WindowModuleCandidates(const std::string& exePath);

struct TWindowModule {
  TWindowMain Main = nullptr; // set when the module loaded and matches this program
  std::string Error;          // otherwise why not, for one line on standard error
};

// Loads the first candidate that exists. Never throws and never ends the
// process: a missing, damaged or foreign module gives an Error.
TWindowModule LoadWindowModule(const std::vector<std::string>& candidates);

} // namespace twf
