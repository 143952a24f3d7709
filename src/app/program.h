// The program twinfold as a function of what it is given: the window for
// interactive use, and the same program for unattended runs from cron,
// systemd timers or ssh. main() passes the defaults below.
#pragma once

#include <functional>
#include <string>

#include "platform/power.h"
#include "tasks/settings_store.h"

namespace twf {

struct TProgramConfig {
  // Where the settings store and the auth keys' key are found.
  TConfigHome ConfigHome = TConfigHome::chRootFromAccount;
  // Powers the machine off after a clean run that asks for it; returns the
  // errno of starting that (0 = started).
  std::function<int()> PowerOff = StartDelayedShutdown;
  // Trusted certificates for webhook servers ("": the system's).
  std::string WebhookCaFile;
  // A folder looked in for the window module before the places beside the
  // program ("": none), for a program kept apart from its module.
  std::string WindowModuleDir;
};

// Everything main() does after the process starts; returns the exit code.
int RunProgram(int argc, char** argv, const TProgramConfig& config);

} // namespace twf
