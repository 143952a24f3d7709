#include "runctl/run_controller.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <ctime>

#include "authkeys/auth_keys.h"
#include "engine/mirror_engine.h"
#include "engine/text.h"
#include "log/logger.h"
#include "platform/fs.h"
#include "platform/power.h"
#include "runctl/machine_text.h"
#include "tasks/ini_file.h"
#include "tasks/task_files.h"
#include "tasks/task_settings.h"

namespace twf {

namespace {

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32) --e;
  return s.substr(b, e - b);
}

// Trimmed, without one trailing separator ("/" itself stays the root).
std::string CleanFolder(const std::string& text) {
  std::string s = Trim(text);
  if (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

bool SameAsciiNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto low = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
           return low(x) == low(y);
         });
}

// Overlap tests on the paths as given and with links resolved, so a link
// cannot hide that one folder lies inside the other.
bool SameFolder(const std::string& a, const std::string& b) {
  return FoldKey(a) == FoldKey(b) || FoldKey(ResolvePathForCompare(a)) == FoldKey(ResolvePathForCompare(b));
}
bool Inside(const std::string& parent, const std::string& child) {
  return IsPathInside(parent, child) || IsPathInside(ResolvePathForCompare(parent), ResolvePathForCompare(child));
}

// "Mirror_yyyymmdd_hhnnss.log" in logDir. Two runs started in the same
// second (two tasks of one cron minute) would share that name, and the second
// would wipe the first one's log: the name is claimed by creating the file
// exclusively, and a taken name gets "_2", "_3" ... before ".log". The log is
// written through the descriptor of that claim, never reopened by name, and
// with every name taken the run is refused rather than write into another's.
// Returns the descriptor (name set), or -1 with error set to the refusal.
int ClaimLogFile(const std::string& logDir, std::string& name, std::string& error) {
  time_t now = time(nullptr);
  tm local;
  localtime_r(&now, &local);
  char stamp[40];
  strftime(stamp, sizeof stamp, "Mirror_%Y%m%d_%H%M%S", &local);
  const std::string base = logDir + (!logDir.empty() && logDir.back() == '/' ? "" : "/") + stamp;
  for (int n = 1; n <= 99; ++n) {
    name = n == 1 ? base + ".log" : base + "_" + std::to_string(n) + ".log";
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) return fd;
    const int e = errno;
    if (e != EEXIST) {
      error = "Cannot create file \"" + name + "\". " + SystemMessage(e);
      return -1;
    }
  }
  error = "Cannot create file \"" + base + ".log\". This name and its variants up to _99 are all taken";
  return -1;
}

uint64_t TickNow() { return uint64_t(std::max<int64_t>(1, MonotonicMs())); }

void LogQuietly(TMirrorLogger* log, const std::string& line) {
  if (!log) return;
  try {
    log->Log(line);
  } catch (...) {
    // A log file that cannot be written must not stop the run's finish.
  }
}

} // namespace

std::string BaseCaptionText() { return "Quarlex Twinfold v" + AppVersionString(); }

std::string TaskDisplayNameFor(TSettingsStore& store, const std::string& currentTask, const std::string& suggestName) {
  if (!currentTask.empty()) return SettingsMatchTask(store, currentTask) ? currentTask : currentTask + " (modified)";
  if (!suggestName.empty()) return suggestName + " (deleted)";
  return "";
}

struct TRunController::TRunContext {
  bool HookOn = false;
  std::string HookURL, HookSrc, HookDst, HookTask;
  bool HookSSL = true;
  std::string HookHdrK, HookHdrV;
  std::weak_ptr<char> Alive;
  // Set by the run thread when Run ended by an exception (read after the join).
  bool Fatal = false;
};

struct TRunController::TAnswer {
  std::mutex Lock;
  std::condition_variable Done;
  bool Answered = false;
  bool Yes = false;

  void Set(bool yes) {
    std::lock_guard<std::mutex> g(Lock);
    if (Answered) return;
    Answered = true;
    Yes = yes;
    Done.notify_all();
  }
};

TRunController::TRunController(IRunHost& host, TSettingsStore& store, TRunControllerConfig config)
    : FHost(host), FStore(store), FConfig(std::move(config)), FBaseCaption(BaseCaptionText()) {}

TRunController::~TRunController() {
  {
    std::lock_guard<std::mutex> g(FConfirmLock);
    FClosing = true;
    if (FPendingConfirm) FPendingConfirm->Set(false);
  }
  if (FEngine) FEngine->Cancel();
  if (FRunThread.joinable()) FRunThread.join();
  FAlive.reset();
  // The engine goes before the logger it logs through.
  FEngine.reset();
  FLogger.reset();
}

IFileSystem& TRunController::Fs() const { return FConfig.Fs ? *FConfig.Fs : RealFileSystem(); }

void TRunController::PostClose() {
  std::weak_ptr<char> alive = FAlive;
  FHost.PostToUiThread([this, alive] {
    if (!alive.expired()) FHost.CloseMainWindow();
  });
}

void TRunController::StartupFail(const std::string& message, const TMainPage* page) {
  if (FSilentRun) {
    FExitCode = 2;
    FHost.ReportSilentRefusal(message);
    PostClose();
  } else {
    FHost.ShowError(message);
  }
  if (page) FHost.ActivatePage(*page);
}

void TRunController::AppendPaneLines(std::vector<std::string> lines) {
  FHost.AppendToLogPane(FPane.Append(std::move(lines)));
}

void TRunController::DrainLogQueue() {
  std::vector<std::string> lines;
  std::string line;
  while (int32_t(lines.size()) < kDrainLinesPerTick && FUIQueue.TryPop(line)) lines.push_back(std::move(line));
  if (!lines.empty()) AppendPaneLines(std::move(lines));
}

bool TRunController::VolumeCheck(const std::string& dst, bool silent, std::string& refusal) {
  std::string label, serial;
  if (!GetVolumeLabelSerial(Fs(), dst, label, serial)) return true;
  std::string path, storedSerial, storedName;
  if (auto key = FStore.OpenKeyReadOnly(kRootKey)) {
    path = ReadStringDef(*key, kVolCheckPathValue, "");
    storedSerial = ReadStringDef(*key, kVolCheckSerialValue, "");
    storedName = ReadStringDef(*key, kVolCheckNameValue, "");
  }
  // Paths are case-sensitive here: only the very same destination is checked.
  if (path != dst || storedSerial.empty()) return true;
  if (SameAsciiNoCase(storedSerial, serial)) return true;
  const std::string expected = VolumeText(storedName, storedSerial);
  const std::string found = VolumeText(label, serial);
  if (silent) {
    refusal = FormatText("Destination volume changed: expected %s, found %s.", expected.c_str(), found.c_str());
    return false;
  }
  const std::string question = FormatText(
      "The destination volume has changed.\r\nExpected: %s\r\nFound: %s\r\n\r\nThis can happen when a "
      "different disk is mounted at the same place.\r\n\r\nContinue anyway?",
      expected.c_str(), found.c_str());
  return FHost.AskYesNo(question);
}

void TRunController::StartMirror(bool dryRun, bool silent) {
  if (FRunning) return;
  FSilentRun = silent;
  FLastRunDry = dryRun;

  static const TMainPage kFolders = TMainPage::mpFolders, kArchive = TMainPage::mpArchive,
                         kLogging = TMainPage::mpLogging;
  const TTaskSettings v = FHost.ReadSettings();
  const std::string src = CleanFolder(v.Source);
  const std::string dst = CleanFolder(v.Dest);

  if (src.empty() || !Fs().IsDirectory(src)) return StartupFail(kMsgSelectSource, &kFolders);
  if (dst.empty()) return StartupFail(kMsgSelectDest, &kFolders);
  if (SameFolder(src, dst)) return StartupFail(kMsgSameFolder, nullptr);
  if (Inside(src, dst)) return StartupFail(kMsgDestInsideSource, nullptr);
  if (Inside(dst, src)) return StartupFail(kMsgSourceInsideDest, nullptr);

  if (!dryRun && !silent && v.AskConfirm) {
    if (!FHost.AskYesNo(kMsgAskConfirm)) return;
    // The question ran a nested event loop: another start may have won.
    if (FRunning) return;
  }

  SaveSettings(FStore, kRootKey, v);
  // Asked once: it compares the stored task with the working settings.
  const std::string displayName = FHost.TaskDisplayName();
  if (!FHost.CurrentTask().empty()) FHost.SetTaskCaption(displayName);

  TMirrorOptions opt;
  opt.SourceDir = src;
  opt.DestDir = dst;
  opt.CompareMode = (v.CompareMode >= cmSizeDate && v.CompareMode <= cmBinary) ? TCompareMode(v.CompareMode)
                                                                                : cmSizeDate;
  opt.DryRun = dryRun;
  opt.Workers = std::clamp(v.Workers, kWorkersMin, kWorkersMax);
  opt.PreserveAcl = v.PreserveAcl;
  opt.SymlinkMode = TSymlinkMode(v.SymlinkMode);
  opt.SkipNewer = v.SkipNewer;
  opt.WarnMassDelete = v.WarnMassDelete;
  opt.WarnMassDeletePct = v.WarnPct;
  opt.AppVersion = AppVersionString();
  opt.ComputerDesc = ComputerNameText();
  if (const std::string model = DeviceModelText(); !model.empty()) opt.ComputerDesc += " (" + model + ")";
  opt.UserName = UserNameText();
  opt.TaskName = displayName;
  opt.StartedBy = silent ? "command line" : "GUI";
  opt.RecycleDeletes = v.RecycleDeletes;
  opt.RetryLocked = v.RetryLocked;
  opt.VerifyHash = !v.VerifyEnabled ? vhNone : v.VerifyHash == 1 ? vhXXH3_128 : vhXXH3_64;
  opt.ExcludeEnabled = v.ExclPatternsEnabled;
  opt.ExcludePatterns = v.ExclPatterns;
  opt.ExcludeEmpty = v.ExclEmpty;
  opt.ExcludeLargerMB = v.ExclLargerEnabled ? v.ExclLargerMB : 0;
  opt.ExcludeHiddenSysFiles = v.ExclHiddenFiles;
  opt.ExcludeHiddenDirs = v.ExclHiddenDirs;
  opt.LogOps = TLogOps((v.LogError ? LogOpBit(loError) : 0) | (v.LogCopy ? LogOpBit(loCopy) : 0) |
                       (v.LogDelete ? LogOpBit(loDelete) : 0) | (v.LogMkDir ? LogOpBit(loMkDir) : 0) |
                       (v.LogRmDir ? LogOpBit(loRmDir) : 0));

  opt.ArchiveEnabled = v.ArchiveEnabled;
  if (v.ArchiveEnabled) {
    std::string archiveDir = Trim(v.ArchiveFolder);
    if (archiveDir.empty()) archiveDir = DefaultArchiveFolder();
    if (Fs().CreateDirPath(archiveDir) != 0) return StartupFail(kMsgArchiveCreate + archiveDir, &kArchive);
    if (Inside(dst, archiveDir) || Inside(archiveDir, dst)) return StartupFail(kMsgArchiveOverlap, &kArchive);
    opt.ArchiveDir = archiveDir;
  }

  std::string logFile;
  int logFd = -1;
  std::string logDir = Trim(v.LogFolder);
  if (logDir.empty()) logDir = DefaultLogsFolder();
  // Logs kept inside the destination are not mirrored away (with logging
  // off too: the older ones are still there).
  opt.KeepOutDirs.push_back(logDir);
  if (v.LogEnabled) {
    // Inside the destination the folder is kept out of the mirror; as the
    // destination itself it would be the mirror, and its logs extra files.
    if (SameFolder(dst, CleanFolder(logDir))) return StartupFail(kMsgLogIsDest, &kLogging);
    if (Fs().CreateDirPath(logDir) != 0) return StartupFail(kMsgLogCreate + logDir, &kLogging);
    std::string refusal;
    logFd = ClaimLogFile(logDir, logFile, refusal);
    if (logFd < 0) return StartupFail(refusal, nullptr);
  }

  // The name claimed for the log goes again when the run does not start,
  // unless something else has taken its place meanwhile.
  struct stat claimed {};
  if (logFd >= 0) fstat(logFd, &claimed);
  auto dropLogFile = [&] {
    struct stat named;
    if (logFd >= 0 && lstat(logFile.c_str(), &named) == 0 && named.st_dev == claimed.st_dev &&
        named.st_ino == claimed.st_ino)
      unlink(logFile.c_str());
    if (logFd >= 0) close(logFd);
    logFd = -1;
  };
  if (v.VolCheckEnabled) {
    std::string refusal;
    if (!VolumeCheck(dst, silent, refusal)) {
      dropLogFile();
      if (!refusal.empty()) StartupFail(refusal, nullptr);
      return;
    }
    if (FRunning) return dropLogFile();
  }

  FRunStart = std::chrono::system_clock::now();
  FHost.ClearLogPane();
  FPane.Clear();
  // Lines a previous run left in the queue belong to the pane just cleared.
  for (std::string stale; FUIQueue.TryPop(stale);) {
  }
  FHost.ActivatePage(TMainPage::mpFolders);

  TMirrorLogger::TLineCallback onLine;
  if (FConfig.DirectLineSink) onLine = FConfig.DirectLineSink;
  else onLine = [queue = &FUIQueue](const std::string& line) { queue->TryPush(line); };
  try {
    if (logFd >= 0) {
      FLogger = std::make_unique<TMirrorLogger>(dup(logFd), logFile, std::move(onLine), v.LogJson);
      close(logFd);
      logFd = -1;
    } else {
      FLogger = std::make_unique<TMirrorLogger>(logFile, false, std::move(onLine), v.LogJson);
    }
  } catch (const std::exception& e) {
    // Refused like any other preparation failure, so a command-line run
    // ends with code 2 instead of waiting on a message box.
    dropLogFile();
    return StartupFail(e.what(), nullptr);
  }
  if (v.LogEnabled) AppendPaneLines({"Log file: " + logFile});

  FLastDryRun = dryRun;
  FCancelRequested = false;
  FSpeed = TSpeedSample{};

  FEngine = std::make_unique<TMirrorEngine>(opt, FLogger.get(), FConfig.Fs);
  if (!silent) FEngine->SetOnConfirm([this](const std::string& q) { return ConfirmFromRunThread(q); });

  FRunning = true;
  FRunTask = FHost.CurrentTask();
  FHost.SetRunning(true);

  auto ctx = std::make_shared<TRunContext>();
  ctx->HookOn = v.WebhookEnabled;
  ctx->HookURL = Trim(v.WebhookURL);
  ctx->HookSrc = src;
  ctx->HookDst = dst;
  ctx->HookTask = displayName;
  ctx->HookSSL = v.WebhookVerifySSL;
  ctx->Alive = FAlive;
  if (ctx->HookOn && !v.WebhookAuthKey.empty()) {
    if (!ReadAuthKey(FStore, v.WebhookAuthKey, ctx->HookHdrK, ctx->HookHdrV)) {
      ctx->HookHdrK.clear();
      ctx->HookHdrV.clear();
      LogQuietly(FLogger.get(), FormatText("Webhook:     auth key \"%s\" not found - request will be sent without it",
                                           v.WebhookAuthKey.c_str()));
    }
  }

  FRunCtx = ctx;
  FRunThread = std::thread([this, ctx] { RunBody(ctx); });
}

void TRunController::RunBody(std::shared_ptr<TRunContext> ctx) {
  try {
    FEngine->Run();
  } catch (const std::exception& e) {
    ctx->Fatal = true;
    LogQuietly(FLogger.get(), "FATAL:       " + StripTrailingDot(e.what()));
  } catch (...) {
    ctx->Fatal = true;
    LogQuietly(FLogger.get(), "FATAL:       unknown failure");
  }

  if (ctx->HookOn && !ctx->HookURL.empty()) {
    try {
      TMirrorStats st = FEngine->Stats();
      // A run that broke off is not a success, whatever the count said.
      if (ctx->Fatal) ++st.Errors;
      const TWallClock finished = std::chrono::system_clock::now();
      const std::string report =
          BuildWebhookPayload(st, ctx->HookSrc, ctx->HookTask, ctx->HookDst, FRunStart, finished, RunFlags());
      PostWebhook(ctx->HookURL, report, ctx->HookSSL, ctx->HookHdrV, ctx->HookHdrK, *FLogger,
                  {FConfig.WebhookTimeoutMs, FConfig.WebhookCaFile});
    } catch (const std::exception& e) {
      LogQuietly(FLogger.get(), "Webhook:     FAILED - " + StripTrailingDot(e.what()));
    }
  }

  std::weak_ptr<char> alive = ctx->Alive;
  FHost.PostToUiThread([this, alive] {
    if (!alive.expired()) MirrorFinished();
  });
}

bool TRunController::ConfirmFromRunThread(const std::string& question) {
  auto answer = std::make_shared<TAnswer>();
  std::weak_ptr<char> alive;
  {
    std::lock_guard<std::mutex> g(FConfirmLock);
    if (FClosing) return false;
    FPendingConfirm = answer;
    alive = FAlive;
  }
  FHost.PostToUiThread([this, answer, question, alive] {
    if (alive.expired()) return answer->Set(false);
    answer->Set(FHost.AskYesNo(question));
  });
  bool yes;
  {
    std::unique_lock<std::mutex> g(answer->Lock);
    answer->Done.wait(g, [&] { return answer->Answered; });
    yes = answer->Yes;
  }
  std::lock_guard<std::mutex> g(FConfirmLock);
  if (FPendingConfirm == answer) FPendingConfirm.reset();
  return yes;
}

void TRunController::RequestCancel() {
  FCancelRequested = true;
  if (FEngine) FEngine->Cancel();
}

void TRunController::Tick() {
  DrainLogQueue();
  if (!FRunning || !FEngine) return;
  FHost.ShowProgress(ComputeProgress(FBaseCaption, FEngine->Stats(), FSpeed, TickNow()));
}

void TRunController::MirrorFinished() {
  // The body posted this as its very last step.
  if (FRunThread.joinable()) FRunThread.join();

  DrainLogQueue();
  // A run that broke off counts as one error more: it must not report
  // success, shut the machine down or exit with 0.
  const int errors = (FEngine ? FEngine->Stats().Errors : 0) + (FRunCtx && FRunCtx->Fatal ? 1 : 0);
  FRunCtx.reset();
  FRunning = false;
  FHost.SetRunning(false);
  FEngine.reset();
  FLogger.reset();
  DrainLogQueue();
  FHost.ShowProgress(TProgressView{FBaseCaption, TBarStyle::bsNormal, 100, 0});

  const bool cancelled = FCancelRequested.load();
  // The task the run started with: the window may be bound to another by now.
  if (!FRunTask.empty()) AddTaskHistory(FStore, FRunTask, errors, cancelled, FLastRunDry);

  const TTaskSettings v = FHost.ReadSettings();
  if (v.VolCheckEnabled && !FLastDryRun && !cancelled) {
    const std::string dst = CleanFolder(v.Dest);
    std::string label, serial;
    if (GetVolumeLabelSerial(Fs(), dst, label, serial)) {
      FStore.Transact([&] {
        auto key = FStore.OpenKey(kRootKey);
        return key && key->WriteString(kVolCheckPathValue, dst) && key->WriteString(kVolCheckSerialValue, serial) &&
               key->WriteString(kVolCheckNameValue, label);
      });
    }
  }

  if (v.ShutdownDone && !FLastDryRun && !cancelled && errors == 0) {
    AppendPaneLines({"", kShutdownLine});
    // A machine left running when the user asked for a power-off is said so.
    const int err = FConfig.PowerOff ? FConfig.PowerOff() : 0;
    if (err != 0) AppendPaneLines({"*** The power-off could not be started: " + SystemMessage(err) + ". ***"});
  }

  if (FAutoClose) {
    FExitCode = errors == 0 ? 0 : 1;
    PostClose();
  }
}

void TRunController::ProcessCommandLine(const TCommandLine& cmd) {
  if (cmd.HasTask) {
    std::string stored;
    if (!cmd.Task.empty()) {
      for (const std::string& n : ListTaskNames(FStore))
        if (SameKeyName(n, cmd.Task)) stored = n;
    }
    // An empty name is never a stored task: it gets the not-found message.
    if (!stored.empty()) {
      TTaskSettings v = FHost.ReadSettings();
      LoadSettings(FStore, TaskKeyPath(stored), v, ListAuthKeyNames(FStore));
      FHost.ApplySettings(v);
      FHost.SetCurrentTask(stored);
      FHost.SetTaskCaption(stored);
      FHost.SelectTaskInList(stored);
    } else {
      FStartupError = "Task \"" + cmd.Task + "\" was not found.";
    }
  }
  if (cmd.HasTaskFile) {
    const std::string path = DequoteTaskFile(cmd.TaskFile);
    // Read once: what was checked is what is applied.
    TIniDocument doc;
    std::string message;
    if (LoadTaskFile(path, doc, &message) != TTaskFileLoad::tlOk) {
      FStartupError = message;
    } else if (doc.KeyNames("Task").empty()) {
      // Running the working settings under the file's name would mirror
      // whatever the window last held: refuse instead.
      FStartupError = kMsgNoTaskSection;
    } else {
      TTaskSettings v = FHost.ReadSettings();
      std::string name;
      ApplyTaskDocument(doc, path, v, &name);
      if (const char* refusal = TaskNameCharacterRefusal(name)) {
        // The window would be bound to it, and its Save would nest keys or
        // store a name that no other command accepts.
        FStartupError = refusal;
      } else {
        FHost.ApplySettings(v);
        FHost.SetCurrentTask(name);
        FHost.SetTaskCaption(name);
      }
    }
  }
  // A store refused as root leaves no task to trust: that is the message.
  if (!FStore.Refusal().empty()) FStartupError = FStore.Refusal();
  // So does a store another program held for the whole wait.
  else if (FStore.Busy()) FStartupError = FStore.BusyMessage();
  FAutoDry = cmd.Dry;
  FAutoRun = cmd.Run || FAutoDry;
  FAutoClose = cmd.Close;
}

void TRunController::QueueStartStep() {
  std::weak_ptr<char> alive = FAlive;
  if (!FStartupError.empty() && FAutoClose) {
    FExitCode = 2;
    // A command-line session: the close must not stop to ask about saving.
    FSilentRun = true;
    FHost.ReportSilentRefusal(FStartupError);
    PostClose();
  } else if (!FStartupError.empty()) {
    FHost.PostToUiThread([this, alive] {
      if (alive.expired()) return;
      FHost.ShowError(FStartupError);
      // Without the store the window shows none of the tasks and keeps none
      // of the edits, and it never gets the store back: after the message it
      // closes, without asking to save, so the user starts again later.
      if (!alive.expired() && FStore.Busy()) {
        FExitCode = 2;
        FSilentRun = true;
        FHost.CloseMainWindow();
      }
    });
  } else if (FAutoRun) {
    FHost.PostToUiThread([this, alive] {
      if (!alive.expired()) StartMirror(FAutoDry, true);
    });
  }
}

} // namespace twf
