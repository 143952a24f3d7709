// The program entry of twinfold: the window for interactive use, and the
// same binary for unattended runs from cron, systemd timers or ssh.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "runctl/command_line.h"
#include "runctl/display_probe.h"
#include "runctl/headless.h"
#include "runctl/instance_server.h"
#include "runctl/single_instance.h"
#include "runctl/window_entry.h"

namespace {

// A scheduler may start us with standard descriptors closed; the next file
// opened would then take their number and receive what is meant for the
// terminal (log lines written to the settings database). Fill them first.
void EnsureStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int n = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (n >= 0 && n != fd) {
      dup2(n, fd);
      close(n);
    }
  }
}

#ifdef TWF_HAVE_WINDOW
bool HasDisplay() {
  const char* x = getenv("DISPLAY");
  const char* w = getenv("WAYLAND_DISPLAY");
  return (x && *x) || (w && *w);
}
#endif

} // namespace

int main(int argc, char** argv) {
  EnsureStandardDescriptors();
  // A reader that went away (twinfold ... | head) must not kill a run midway.
  signal(SIGPIPE, SIG_IGN);

  std::vector<std::string> args(argv + 1, argv + argc);
  const twf::TCommandLine cmd = twf::ParseCommandLine(args);

  if (cmd.Help) {
    fputs(twf::UsageText().c_str(), stdout);
    return 0;
  }
  if (cmd.HasImportTask) return twf::ImportTaskFromCommandLine(cmd.ImportTask, STDOUT_FILENO);

  if (cmd.IsCommandLineRun()) {
#ifdef TWF_HAVE_WINDOW
    // A scheduled run must never depend on a desktop that may have gone:
    // the window only when its server answers, else the same run headless.
    const twf::TDisplayChoice display = twf::ProbeDisplay(twf::DisplayEnvFromProcess());
    if (display.Kind != twf::TDisplayKind::dkNone) {
      if (!display.Platform.empty()) setenv("QT_QPA_PLATFORM", display.Platform.c_str(), 1);
      twf::TWindowStartup startup;
      startup.Cmd = cmd;
      return twf::RunWindowApp(argc, argv, startup);
    }
#endif
    return twf::RunHeadless(cmd, STDOUT_FILENO, STDERR_FILENO);
  }

  // Interactive start: one copy per user. A second one shows the first and ends.
  twf::TInstanceLock lock;
  if (lock.State() == twf::TInstanceLock::isOtherCopy) {
    twf::ActivateRunningInstance();
    return 0;
  }
#ifdef TWF_HAVE_WINDOW
  if (HasDisplay()) {
    twf::TWindowStartup startup;
    startup.Cmd = cmd;
    if (lock.State() == twf::TInstanceLock::isFirst)
      startup.ListenForActivation = [](std::function<void()> activate) -> std::shared_ptr<void> {
        return std::make_shared<twf::TInstanceServer>(std::move(activate));
      };
    return twf::RunWindowApp(argc, argv, startup);
  }
  fputs("twinfold: no display: the window cannot open here; /run or /dry runs a task without it (see --help)\n",
        stderr);
#else
  fputs("twinfold: no display: this build has no window; /run or /dry runs a task without it (see --help)\n", stderr);
#endif
  return 2;
}
