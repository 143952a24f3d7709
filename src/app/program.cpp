// The program twinfold (program.h). The window lives in a module loaded only
// when it opens (window_entry.h).
#include "app/program.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/window_loader.h"
#include "runctl/command_line.h"
#include "runctl/display_probe.h"
#include "runctl/headless.h"
#include "runctl/single_instance.h"

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
twf::TWindowModule LoadWindow(const twf::TProgramConfig& config) {
  std::vector<std::string> candidates;
  if (!config.WindowModuleDir.empty()) candidates.push_back(config.WindowModuleDir + "/" + twf::kWindowModuleName);
  for (std::string& c : twf::WindowModuleCandidates(twf::ExecutablePath())) candidates.push_back(std::move(c));
  return twf::LoadWindowModule(candidates);
}

// Tells the toolkit the server that answered when it would try another first.
void UsePlatform(const twf::TDisplayChoice& display) {
  if (!display.Platform.empty()) setenv("QT_QPA_PLATFORM", display.Platform.c_str(), 1);
}

// The window's start with what this program was given.
twf::TWindowStartup WindowStartup(const twf::TCommandLine& cmd, const std::string& storePath,
                                  const twf::TRunControllerConfig& run) {
  twf::TWindowStartup startup;
  startup.Cmd = cmd;
  startup.StorePath = storePath;
  startup.Run = run;
  return startup;
}
#endif

} // namespace

namespace twf {

int RunProgram(int argc, char** argv, const TProgramConfig& config) {
  EnsureStandardDescriptors();
  // A reader that went away (twinfold ... | head) must not kill a run midway.
  signal(SIGPIPE, SIG_IGN);

  std::vector<std::string> args(argv + 1, argv + argc);
  const TCommandLine cmd = ParseCommandLine(args);

  if (cmd.Help) {
    fputs(UsageText().c_str(), stdout);
    return 0;
  }
  if (cmd.Version) {
    fputs(VersionText().c_str(), stdout);
    return 0;
  }
  const std::string storePath = TSettingsStore::DefaultPath(config.ConfigHome);
  if (cmd.ListTasks) return ListTasksFromCommandLine(STDOUT_FILENO, STDERR_FILENO, storePath);
  if (cmd.HasImportTask) return ImportTaskFromCommandLine(cmd.ImportTask, STDOUT_FILENO, storePath);

  // Everything a run is given, in the window or without it.
  TRunControllerConfig run;
  run.PowerOff = config.PowerOff;
  run.WebhookCaFile = config.WebhookCaFile;

  if (cmd.IsCommandLineRun()) {
#ifdef TWF_HAVE_WINDOW
    // A scheduled run must never depend on a desktop that may have gone:
    // the window only when its server answers, else the same run headless.
    const TDisplayChoice display = ProbeDisplay(DisplayEnvFromProcess());
    if (display.Kind != TDisplayKind::dkNone) {
      const TWindowModule window = LoadWindow(config);
      if (window.Main) {
        UsePlatform(display);
        const TWindowStartup startup = WindowStartup(cmd, storePath, run);
        return window.Main(&argc, argv, &startup);
      }
      // The task still runs: a broken installation must not cost a backup.
      fprintf(stderr, "twinfold: the window cannot open (%s); the task runs without it\n", window.Error.c_str());
    }
#endif
    THeadlessConfig headless;
    headless.StorePath = storePath;
    headless.Run = run;
    return RunHeadless(cmd, STDOUT_FILENO, STDERR_FILENO, headless);
  }

  // Interactive start: one copy per user. A second one shows the first and ends.
  TInstanceLock lock;
  if (lock.State() == TInstanceLock::isOtherCopy) {
    ActivateRunningInstance();
    return 0;
  }
#ifdef TWF_HAVE_WINDOW
  // The toolkit aborts the process when the server a display variable names
  // does not answer: a stale DISPLAY gets the message below instead.
  const TDisplayChoice display = ProbeDisplay(DisplayEnvFromProcess());
  if (display.Kind != TDisplayKind::dkNone) {
    const TWindowModule window = LoadWindow(config);
    if (window.Main) {
      UsePlatform(display);
      TWindowStartup startup = WindowStartup(cmd, storePath, run);
      startup.ListenForActivation = lock.State() == TInstanceLock::isFirst;
      return window.Main(&argc, argv, &startup);
    }
    fprintf(stderr, "twinfold: the window cannot open (%s); /run or /dry runs a task without it (see --help)\n",
            window.Error.c_str());
    return 2;
  }
  fputs("twinfold: no display: the window cannot open here; /run or /dry runs a task without it (see --help)\n",
        stderr);
#else
  fputs("twinfold: no display: this build has no window; /run or /dry runs a task without it (see --help)\n", stderr);
#endif
  return 2;
}

} // namespace twf
