#include "runctl/headless.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "authkeys/auth_keys.h"
#include "runctl/run_controller.h"
#include "tasks/ini_file.h"
#include "tasks/task_files.h"
#include "tasks/task_settings.h"
#include "tasks/window_state.h"

namespace twf {

namespace {

void WriteAll(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += size_t(n);
  }
}

// A task name on a line of its own: control characters as \xNN.
std::string OneLine(const std::string& text) {
  std::string out;
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", unsigned(u));
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

std::atomic<int> gStopSignals{0};

extern "C" void OnStopSignal(int) { gStopSignals.fetch_add(1); }

// The first SIGINT or SIGTERM asks the run to cancel; SA_RESETHAND lets a
// second one end the process the default way.
class TStopSignals {
public:
  TStopSignals() {
    gStopSignals = 0;
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sa.sa_flags = SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, &FOldInt);
    sigaction(SIGTERM, &sa, &FOldTerm);
  }
  ~TStopSignals() {
    sigaction(SIGINT, &FOldInt, nullptr);
    sigaction(SIGTERM, &FOldTerm, nullptr);
  }
  bool Raised() const { return gStopSignals.load() > 0; }

private:
  struct sigaction FOldInt {}, FOldTerm {};
};

std::string TrimBlanks(const std::string& s) {
  size_t b = s.find_first_not_of(' '), e = s.find_last_not_of(' ');
  return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

} // namespace

THeadlessHost::THeadlessHost(TUiLoop& loop, TSettingsStore& store, int outFd, int errFd)
    : FLoop(loop), FStore(store), FOutFd(outFd), FErrFd(errFd) {}

void THeadlessHost::WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    // A closed or broken standard output must not disturb the run: the
    // lines are in the log file when there is one.
    if (n <= 0) return;
    done += size_t(n);
  }
}

void THeadlessHost::PrintLine(const std::string& line) {
  std::lock_guard<std::mutex> g(FOutLock);
  WriteAll(FOutFd, line + "\n");
}

void THeadlessHost::PostToUiThread(std::function<void()> fn) { FLoop.Post(std::move(fn)); }

bool THeadlessHost::AskYesNo(const std::string&) { return false; }

void THeadlessHost::ShowError(const std::string& text) { ReportSilentRefusal(text); }

void THeadlessHost::ReportSilentRefusal(const std::string& text) {
  std::string oneLine = text;
  for (char& c : oneLine)
    if (c == '\r' || c == '\n') c = ' ';
  std::lock_guard<std::mutex> g(FOutLock);
  WriteAll(FErrFd, "twinfold: " + oneLine + "\n");
}

std::string THeadlessHost::TaskDisplayName() { return TaskDisplayNameFor(FStore, FCurrentTask, ""); }

void THeadlessHost::AppendToLogPane(const TLogPaneChange& change) {
  for (const std::string& line : change.Lines) PrintLine(line);
}

void THeadlessHost::SetRunning(bool running) {
  if (running) FRunStarted = true;
}

void THeadlessHost::CloseMainWindow() { FLoop.Quit(); }

namespace {

// The working settings and, in the same transaction, the name of the task
// they belong to, so that a later window start binds to the right task.
void SaveWorkingSettings(TSettingsStore& store, THeadlessHost& host) {
  store.Transact([&] {
    return SaveSettings(store, kRootKey, host.ReadSettings()) && SaveLastTask(store, host.CurrentTask());
  });
}

} // namespace

int RunHeadless(const TCommandLine& cmdIn, int outFd, int errFd, const THeadlessConfig& headless) {
  TSettingsStore store(headless.StorePath, headless.StoreWaitMs);
  TUiLoop loop;
  THeadlessHost host(loop, store, outFd, errFd);
  if (store.Busy()) {
    host.ReportSilentRefusal(store.BusyMessage());
    return 2;
  }

  // What the window holds when its command line is processed: the working
  // settings over the defaults, and the last task when it still exists.
  TTaskSettings values;
  const std::vector<std::string> authKeys = ListAuthKeyNames(store);
  LoadSettings(store, kRootKey, values, authKeys);
  if (TrimBlanks(values.LogFolder).empty()) values.LogFolder = DefaultLogsFolder();
  if (TrimBlanks(values.ArchiveFolder).empty()) values.ArchiveFolder = DefaultArchiveFolder();
  host.ApplySettings(values);
  TWindowRestore restore;
  if (LoadWindowState(store, TWindowRect{}, TWindowRect{}, 0, ListTaskNames(store), restore))
    host.SetCurrentTask(restore.CurrentTask);

  TRunControllerConfig config = headless.Run;
  config.DirectLineSink = [&host](const std::string& line) { host.PrintLine(line); };
  int code = 0;
  {
    TRunController ctl(host, store, config);
    TCommandLine cmd = cmdIn;
    cmd.Close = true;
    ctl.ProcessCommandLine(cmd);
    // The run saves the task's values as the working settings when it
    // starts; the name goes with them from the first moment.
    if (ctl.StartupError().empty()) SaveWorkingSettings(store, host);
    ctl.QueueStartStep();

    TStopSignals signals;
    bool cancelAsked = false;
    loop.Run(
        [&] {
          ctl.Tick();
          if (!signals.Raised() || cancelAsked) return;
          cancelAsked = true;
          if (ctl.Running()) ctl.RequestCancel(); // the run finishes and closes as usual
          else if (!host.RunStarted()) loop.Quit();
        },
        std::chrono::milliseconds(150));
    // Stopped before any run started: that is a refusal, not a success.
    code = host.RunStarted() || ctl.ExitCode() != 0 ? ctl.ExitCode() : 2;
  }
  // As the window does when it is destroyed.
  SaveWorkingSettings(store, host);
  return code;
}

int ImportTaskFromCommandLine(const std::string& filePathIn, int outFd, const std::string& storePath,
                              int storeWaitMs) {
  const std::string filePath = DequoteTaskFile(filePathIn);
  std::string line;
  int code = 2;
  TIniDocument doc;
  if (LoadTaskFile(filePath, doc, &line) != TTaskFileLoad::tlOk) {
    // line says why
  } else if (doc.KeyNames("Task").empty()) {
    line = kMsgNoTaskSection;
  } else {
    const std::string name = TaskNameFromFile(doc, filePath);
    if (const char* refusal = TaskNameCharacterRefusal(name)) {
      line = refusal;
    } else if (name.empty()) {
      line = "Task file \"" + filePath + "\" gives no task name.";
    } else {
      TSettingsStore store(storePath, storeWaitMs);
      if (!store.Refusal().empty()) {
        line = store.Refusal();
      } else if (store.Busy()) {
        line = store.BusyMessage();
      } else if (ImportTaskDocument(store, doc, name)) {
        line = "Task \"" + name + "\" imported.";
        code = 0;
      } else {
        line = "Task \"" + name + "\" could not be written to the settings store.";
      }
    }
  }
  WriteAll(outFd, line + "\n");
  return code;
}

int ListTasksFromCommandLine(int outFd, int errFd, const std::string& storePath, int storeWaitMs) {
  struct stat st {};
  if (stat(storePath.c_str(), &st) != 0 && errno == ENOENT) return 0;
  TSettingsStore store(storePath, storeWaitMs);
  std::string refusal;
  if (!store.Refusal().empty()) refusal = store.Refusal();
  else if (store.Busy()) refusal = store.BusyMessage();
  else if (!store.IsOpen()) refusal = "The settings store \"" + storePath + "\" could not be opened.";
  if (!refusal.empty()) {
    WriteAll(errFd, "twinfold: " + refusal + "\n");
    return 2;
  }
  const std::optional<TSettingsKey> history = store.OpenKeyReadOnly(kTaskHistoryKey);
  std::string out;
  for (const std::string& name : ListTaskNames(store)) {
    std::string last;
    if (!history || !history->ReadString(name, last) || last.empty()) last = "never run";
    out += OneLine(name) + "\t" + OneLine(last) + "\n";
  }
  WriteAll(outFd, out);
  return 0;
}

} // namespace twf
