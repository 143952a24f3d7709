// Powering the machine off after a run.
#pragma once

#include <functional>

namespace twf {

// Starts "shutdown -h +1" (a power-off in one minute that the user can still
// abort with "shutdown -c") without a shell, and does not wait for it or
// look at its result. False only when the program could not be started.
bool StartDelayedShutdown();

// Tests only: while set, StartDelayedShutdown calls hook instead of starting
// anything. Pass an empty function to restore the real call.
void SetShutdownHookForTests(std::function<void()> hook);

} // namespace twf
