// Run control without widgets: preparing a run from the task values, running
// it on its own thread, showing its lines and progress through the host,
// finishing it (history, volume identity, shutdown, exit code), and the
// command-line start. The main window owns one TRunController for its whole
// life; a headless command-line run owns one too.
//
// Everything here is called on the UI thread (the thread that runs the
// host's posted closures); the run itself reaches the UI thread only through
// IRunHost::PostToUiThread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "engine/types.h"
#include "platform/power.h"
#include "runctl/command_line.h"
#include "runctl/line_queue.h"
#include "runctl/progress.h"
#include "runctl/run_host.h"
#include "runctl/webhook.h"
#include "tasks/settings_store.h"

namespace twf {

class IFileSystem;
class TMirrorEngine;
class TMirrorLogger;

// Refusal and question texts of run preparation.
inline constexpr const char* kMsgSelectSource = "Please select a valid SOURCE folder.";
inline constexpr const char* kMsgSelectDest = "Please select a DESTINATION folder.";
inline constexpr const char* kMsgSameFolder = "Source and destination are the same folder.";
inline constexpr const char* kMsgDestInsideSource = "The destination cannot be inside the source folder.";
inline constexpr const char* kMsgSourceInsideDest =
    "The source cannot be inside the destination folder (mirroring would delete it!).";
inline constexpr const char* kMsgArchiveCreate = "Cannot create the archive folder:\r\n";
inline constexpr const char* kMsgArchiveOverlap =
    "The archive folder cannot be inside the destination (or vice versa), or archived files would be mirrored "
    "away again.";
inline constexpr const char* kMsgLogCreate = "Cannot create the log folder:\r\n";
inline constexpr const char* kMsgLogIsDest =
    "The log folder cannot be the destination folder, or older logs would be mirrored away.";
inline constexpr const char* kMsgAskConfirm = "Files on destination may be deleted when mirroring.\r\n\r\nContinue?";
// The abort command is the one this system's power-off understands.
inline constexpr const char* kShutdownLine = "*** Shutting down the PC in 60 seconds. Run \"shutdown -c\" to abort. ***";

// "Quarlex Twinfold v" + AppVersionString: the caption outside runs.
std::string BaseCaptionText();

// The name a run reports for the window's task (see IRunHost::TaskDisplayName).
std::string TaskDisplayNameFor(TSettingsStore& store, const std::string& currentTask, const std::string& suggestName);

struct TRunControllerConfig {
  // The file layer for the engine, the archive and log folders and the
  // volume identity; null means the real one. Must outlive the controller.
  IFileSystem* Fs = nullptr;
  // When set, log lines go straight here from whichever thread logs them,
  // instead of through the bounded pane queue (the headless host prints
  // them, and must not lose any). Called concurrently; must not block long.
  std::function<void(const std::string&)> DirectLineSink;
  // For connecting, and for waiting on the response of the webhook.
  long WebhookTimeoutMs = 15000;
  // Trusted certificates for the webhook's server ("": the system's).
  std::string WebhookCaFile;
  // Powers the machine off after a clean run that asks for it; returns the
  // errno of starting that (0 = started). Whoever must never power off (a
  // test) puts its own function here.
  std::function<int()> PowerOff = StartDelayedShutdown;
};

class TRunController {
public:
  TRunController(IRunHost& host, TSettingsStore& store, TRunControllerConfig config = {});
  // A run still in progress is cancelled and waited for; its finish is
  // dropped (no history, no exit code).
  ~TRunController();
  TRunController(const TRunController&) = delete;
  TRunController& operator=(const TRunController&) = delete;

  // ---- runs
  // The one way in which a run starts: Mirror and Dry Run (silent false)
  // and the command line's start step (silent true). Refuses, asks, or
  // starts the run on its own thread and returns at once.
  void StartMirror(bool dryRun, bool silent);
  // Cancel button, and a close request while a run is active: sets
  // CancelRequested and cancels the engine. The run then finishes as usual.
  void RequestCancel();
  // The 150 ms window timer: moves up to 500 queued lines into the pane and,
  // during a run, shows the caption and progress bar.
  void Tick();

  bool Running() const { return FRunning; }
  // The run in progress or last started came from the command line.
  bool SilentRun() const { return FSilentRun; }
  // Dry-run flag of the last accepted StartMirror call.
  bool LastRunDry() const { return FLastRunDry; }
  // Dry-run flag of the run in progress or last run.
  bool LastDryRun() const { return FLastDryRun; }
  bool CancelRequested() const { return FCancelRequested.load(); }
  // The flags of the last run, as the report and its example read them.
  TRunFlags RunFlags() const { return {FSilentRun, FCancelRequested.load(), FLastDryRun}; }
  const std::string& BaseCaption() const { return FBaseCaption; }

  // The process exit code set so far (0 until a command-line outcome sets
  // it). The program returns it when the window has closed.
  int ExitCode() const { return FExitCode; }

  // ---- command line
  // The last step of window creation: loads /task or /task_file into the
  // window (ApplySettings, SetCurrentTask, SetTaskCaption, SelectTaskInList)
  // and remembers /run, /dry, /close and any start-up error. /min is the
  // window's own business (cmd.Min).
  void ProcessCommandLine(const TCommandLine& cmd);
  // Posts the start step: the start-up error (closing with exit code 2 under
  // /close, else shown; a busy store's is shown and then closes with code 2
  // too), or the silent run, or nothing.
  void QueueStartStep();
  bool AutoRun() const { return FAutoRun; }
  bool AutoDry() const { return FAutoDry; }
  bool AutoClose() const { return FAutoClose; }
  const std::string& StartupError() const { return FStartupError; }

private:
  struct TRunContext;

  void StartupFail(const std::string& message, const TMainPage* page);
  // True when the run may go on; false with refusal set (silent) or empty
  // (the user declined).
  bool VolumeCheck(const std::string& dst, bool silent, std::string& refusal);
  void RunBody(std::shared_ptr<TRunContext> ctx);
  bool ConfirmFromRunThread(const std::string& question);
  void MirrorFinished();
  void DrainLogQueue();
  void AppendPaneLines(std::vector<std::string> lines);
  void PostClose();
  IFileSystem& Fs() const;

  IRunHost& FHost;
  TSettingsStore& FStore;
  TRunControllerConfig FConfig;
  std::string FBaseCaption;

  // Run state (UI thread, read by the run thread only while it cannot change).
  std::unique_ptr<TMirrorEngine> FEngine;
  std::unique_ptr<TMirrorLogger> FLogger;
  TLineQueue FUIQueue;
  TLogPaneModel FPane;
  bool FRunning = false;
  bool FSilentRun = false;
  bool FLastRunDry = false;
  bool FLastDryRun = false;
  std::atomic<bool> FCancelRequested{false};
  // The window's task when the run started; its history gets the run.
  std::string FRunTask;
  TWallClock FRunStart{};
  TSpeedSample FSpeed;
  std::thread FRunThread;
  std::shared_ptr<TRunContext> FRunCtx;

  // Command line.
  bool FAutoRun = false;
  bool FAutoDry = false;
  bool FAutoClose = false;
  std::string FStartupError;
  int FExitCode = 0;

  // A confirmation the run thread waits for; the destructor answers No.
  struct TAnswer;
  std::mutex FConfirmLock;
  std::shared_ptr<TAnswer> FPendingConfirm;
  bool FClosing = false;

  // Closures posted to the UI thread hold a weak reference and do nothing
  // once the controller is gone.
  std::shared_ptr<char> FAlive = std::make_shared<char>();
};

} // namespace twf
