#include "platform/power.h"

#include <spawn.h>
#include <sys/wait.h>
#include <cerrno>
#include <unistd.h>

#include <thread>

extern char** environ;

namespace twf {

int StartDelayedShutdown() {
  // Scheduled runs often have PATH=/usr/bin:/bin, which lacks sbin: try the
  // usual places first, then PATH.
  char* argv[] = {const_cast<char*>("shutdown"), const_cast<char*>("-h"), const_cast<char*>("+1"), nullptr};
  pid_t pid = -1;
  int rc = -1;
  for (const char* path : {"/usr/sbin/shutdown", "/sbin/shutdown"}) {
    if (access(path, X_OK) != 0) continue;
    rc = posix_spawn(&pid, path, nullptr, nullptr, argv, environ);
    if (rc == 0) break;
  }
  if (rc != 0) rc = posix_spawnp(&pid, "shutdown", nullptr, nullptr, argv, environ);
  if (rc != 0) return rc;
  // Nobody waits for the result, but the child must not stay a zombie for
  // the rest of the window's life.
  std::thread([pid] {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return 0;
}

} // namespace twf
