// Powering the machine off after a run.
#pragma once

namespace twf {

// Starts "shutdown -h +1" (a power-off in one minute that the user can still
// abort with "shutdown -c") without a shell, and does not wait for it or
// look at its result. The errno of starting it (0 = started).
int StartDelayedShutdown();

} // namespace twf
