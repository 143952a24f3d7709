// Command-line work without a window: runs on a machine without a display
// (cron, systemd timers, ssh), and the import of a task file.
#pragma once

#include <mutex>
#include <string>

#include "runctl/command_line.h"
#include "runctl/run_controller.h"
#include "runctl/run_host.h"
#include "runctl/ui_loop.h"
#include "tasks/settings_store.h"

namespace twf {

// The host of a run without a window: its "log pane" is standard output
// (one log text line per line), refusals and start-up errors go to standard
// error, questions are never asked (a silent run has none; any other is
// answered No), and closing the window ends the loop.
class THeadlessHost : public IRunHost {
public:
  THeadlessHost(TUiLoop& loop, TSettingsStore& store, int outFd, int errFd);

  // Log lines straight from the run's threads (TRunControllerConfig::DirectLineSink).
  void PrintLine(const std::string& line);
  // A run was started (the host entered the running state at least once).
  bool RunStarted() const { return FRunStarted; }

  void PostToUiThread(std::function<void()> fn) override;
  bool AskYesNo(const std::string& text) override;
  void ShowError(const std::string& text) override;
  void ReportSilentRefusal(const std::string& text) override;
  TTaskSettings ReadSettings() override { return FValues; }
  void ApplySettings(const TTaskSettings& values) override { FValues = values; }
  std::string CurrentTask() override { return FCurrentTask; }
  void SetCurrentTask(const std::string& name) override { FCurrentTask = name; }
  void SetTaskCaption(const std::string&) override {}
  std::string TaskDisplayName() override;
  void SelectTaskInList(const std::string&) override {}
  void ActivatePage(TMainPage) override {}
  void ClearLogPane() override {}
  void AppendToLogPane(const TLogPaneChange& change) override;
  void SetRunning(bool running) override;
  void ShowProgress(const TProgressView&) override {}
  void CloseMainWindow() override;

private:
  void WriteAll(int fd, const std::string& text);

  TUiLoop& FLoop;
  TSettingsStore& FStore;
  int FOutFd, FErrFd;
  std::mutex FOutLock;
  TTaskSettings FValues;
  std::string FCurrentTask;
  bool FRunStarted = false;
};

// What the program entry hands a run without a window.
struct THeadlessConfig {
  std::string StorePath; // the settings store
  // Power-off and webhook trust; RunHeadless sets DirectLineSink itself.
  TRunControllerConfig Run;
  // How long another process holding the store may hold up the start.
  int StoreWaitMs = kStoreBusyWaitMs;
};

// A command-line run (/run or /dry) without a window, start to finish: the
// working settings and last task as the window would restore them, the
// task switches, the run, the exit code. /close is implied: there is no
// window to stay open. SIGINT and SIGTERM cancel the run (a second one
// ends the process). A settings store that another process holds for
// StoreWaitMs ends the start with a message and code 2. Like the window,
// the run leaves the store's current task (LastTask) naming the task whose
// values it saves as the working settings. Returns the exit code.
int RunHeadless(const TCommandLine& cmd, int outFd, int errFd, const THeadlessConfig& config);

// /import_task:<file>: imports the task file into the store at storePath
// without questions, overwriting a same-name task value by value. One line
// on outFd; returns 0 on success, 2 on failure (also when another process
// holds the store for storeWaitMs).
int ImportTaskFromCommandLine(const std::string& filePath, int outFd, const std::string& storePath,
                              int storeWaitMs = kStoreBusyWaitMs);

// /list_tasks: the saved tasks in the store at storePath, one a line, in the
// task list's order: "<name>\t<last run>", the last run being the task's
// history line ("yyyy-mm-dd hh:nn - <result>") or "never run". A control
// character in a name is written as \xNN, so that each task stays one
// line. A store that does not exist yet lists nothing and is not created.
// Returns 0, or 2 with one line "twinfold: <message>" on errFd when the
// store cannot be read.
int ListTasksFromCommandLine(int outFd, int errFd, const std::string& storePath, int storeWaitMs = kStoreBusyWaitMs);

} // namespace twf
