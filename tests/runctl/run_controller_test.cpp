#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <optional>
#include <regex>
#include <stdexcept>

#include "authkeys/auth_keys.h"
#include "engine/text.h"
#include "log/logger.h"
#include "support/fault_fs.h"
#include "runctl/headless.h"
#include "runctl/machine_text.h"
#include "runctl/run_controller.h"
#include "runctl/run_host_fake.h"
#include "runctl/runctl_support.h"
#include "runctl/webhook.h"
#include "support/tree.h"
#include "tasks/task_files.h"
#include "tasks/task_settings.h"
#include "tasks/window_state.h"

namespace twf {
namespace {

using namespace std::chrono_literals;
using test::TFakeHost;
using test::TTempDir;

// The real file system, with a volume identity the test decides.
class TVolumeFs : public TFaultFileSystem {
public:
  TVolumeFs() : TFaultFileSystem(RealFileSystem()) {}
  void SetVolume(bool ok, std::string label, std::string serial) {
    std::lock_guard<std::mutex> g(FLock);
    FOverride = true;
    FOk = ok;
    FLabel = std::move(label);
    FSerial = std::move(serial);
  }
  std::atomic<bool> ThrowOnVolume{false};
  bool VolumeIdentity(const std::string& path, std::string& label, std::string& serial) override {
    if (ThrowOnVolume) throw std::runtime_error("Volume query failed.");
    std::lock_guard<std::mutex> g(FLock);
    if (!FOverride) return TFaultFileSystem::VolumeIdentity(path, label, serial);
    label = FLabel;
    serial = FSerial;
    return FOk;
  }

private:
  std::mutex FLock;
  bool FOverride = false, FOk = true;
  std::string FLabel, FSerial;
};

class RunControl : public ::testing::Test {
protected:
  void SetUp() override {
    Store = std::make_unique<TSettingsStore>(Tmp / "settings.db");
    Host = std::make_unique<TFakeHost>(Loop, *Store);
    Src = Tmp / "src";
    Dst = Tmp / "dst";
    test::WriteFile(Src + "/a.txt", "alpha");
    test::WriteFile(Src + "/sub/b.txt", "beta");
    Baseline.Source = Src;
    Baseline.Dest = Dst;
    Baseline.AskConfirm = false;
    Baseline.LogFolder = Tmp / "logs";
    Baseline.ArchiveFolder = Tmp / "archive";
    Host->Values = Baseline;
    MakeController();
  }
  void TearDown() override {
    Ctl.reset();
  }

  void MakeController(long webhookTimeoutMs = 5000) {
    Ctl.reset();
    TRunControllerConfig c;
    c.Fs = &Fs;
    c.WebhookTimeoutMs = webhookTimeoutMs;
    c.WebhookCaFile = WebhookCaFile;
    c.PowerOff = [this] {
      ++Shutdowns;
      return 0;
    };
    Ctl = std::make_unique<TRunController>(*Host, *Store, c);
  }

  // Runs everything posted so far (and what that posts before it).
  void Settle() {
    bool done = false;
    Loop.Post([&] { done = true; });
    ASSERT_TRUE(Loop.RunUntil([&] { return done; }, 30s));
  }
  // The UI loop with the window's timer until the run has finished.
  void Finish() {
    ASSERT_TRUE(Loop.RunUntil([&] { return !Ctl->Running(); }, 60s, [&] { Ctl->Tick(); }, 150ms));
    Settle();
  }
  void RunToEnd(bool dry, bool silent) {
    Ctl->StartMirror(dry, silent);
    ASSERT_TRUE(Ctl->Running());
    Finish();
  }

  bool PaneHas(const std::string& msg) const {
    for (const std::string& l : Host->Pane)
      if (l == msg || (l.size() >= msg.size() + 25 && l.compare(25, std::string::npos, msg) == 0)) return true;
    return false;
  }
  std::string Root(const char* name) {
    auto key = Store->OpenKeyReadOnly(kRootKey);
    return key ? ReadStringDef(*key, name, "<none>") : "<none>";
  }
  void StoreVolume(const std::string& path, const std::string& serial, const std::string& name) {
    auto key = Store->OpenKey(kRootKey);
    key->WriteString(kVolCheckPathValue, path);
    key->WriteString(kVolCheckSerialValue, serial);
    key->WriteString(kVolCheckNameValue, name);
  }
  std::string History(const std::string& task) {
    auto key = Store->OpenKeyReadOnly(kTaskHistoryKey);
    return key ? ReadStringDef(*key, task, "") : "";
  }
  std::vector<std::string> LogFiles(const std::string& dir) {
    std::vector<std::string> out;
    for (const std::string& rel : test::ListTree(dir))
      if (rel.rfind("Mirror_", 0) == 0) out.push_back(dir + "/" + rel);
    return out;
  }
  // Cancels the run from the UI thread at the first call of that kind, the
  // way the Cancel button would, while that call waits.
  void CancelAtFirst(TFsCall call) {
    Fs.SetHook([this, call, fired = std::make_shared<std::atomic<bool>>(false)](TFsCall kind, const std::string&) {
      if (kind != call || fired->exchange(true)) return;
      auto cancelled = std::make_shared<std::promise<void>>();
      auto f = cancelled->get_future();
      Loop.Post([this, cancelled] {
        Ctl->RequestCancel();
        cancelled->set_value();
      });
      f.wait();
    });
  }

  TTempDir Tmp;
  TUiLoop Loop;
  TVolumeFs Fs;
  std::unique_ptr<TSettingsStore> Store;
  std::string WebhookCaFile; // trusted by the controllers MakeController makes
  std::unique_ptr<TFakeHost> Host;
  std::unique_ptr<TRunController> Ctl;
  TTaskSettings Baseline;
  std::string Src, Dst;
  int Shutdowns = 0;
};

// ---------------------------------------------------------------- preparation

TEST_F(RunControl, EveryRefusalWithItsMessageAndPage) {
  struct TCase {
    const char* Name;
    std::function<std::string(TTaskSettings&)> Setup; // returns the expected message
    std::optional<TMainPage> Page;
  };
  const std::string file = Src + "/a.txt";
  const std::vector<TCase> cases = {
      {"source empty", [](TTaskSettings& v) { v.Source = " \t "; return kMsgSelectSource; }, TMainPage::mpFolders},
      {"source missing", [&](TTaskSettings& v) { v.Source = Tmp / "nope"; return kMsgSelectSource; },
       TMainPage::mpFolders},
      {"source is a file", [&](TTaskSettings& v) { v.Source = file; return kMsgSelectSource; }, TMainPage::mpFolders},
      {"destination empty", [](TTaskSettings& v) { v.Dest = ""; return kMsgSelectDest; }, TMainPage::mpFolders},
      {"same folder, one with a separator", [&](TTaskSettings& v) { v.Dest = Src + "/ "; return kMsgSameFolder; },
       std::nullopt},
      {"destination inside source", [&](TTaskSettings& v) { v.Dest = Src + "/sub/m"; return kMsgDestInsideSource; },
       std::nullopt},
      {"destination inside source through a link",
       [&](TTaskSettings& v) {
         symlink(Src.c_str(), (Tmp / "link").c_str());
         v.Dest = Tmp / "link/m";
         return kMsgDestInsideSource;
       },
       std::nullopt},
      {"source inside destination", [&](TTaskSettings& v) { v.Dest = Tmp.Path(); return kMsgSourceInsideDest; },
       std::nullopt},
      {"archive folder cannot be created",
       [&](TTaskSettings& v) {
         v.ArchiveEnabled = true;
         v.ArchiveFolder = file + "/arch";
         return std::string(kMsgArchiveCreate) + file + "/arch";
       },
       TMainPage::mpArchive},
      {"archive inside destination",
       [&](TTaskSettings& v) {
         v.ArchiveEnabled = true;
         v.ArchiveFolder = Dst + "/arch/";
         return kMsgArchiveOverlap;
       },
       TMainPage::mpArchive},
      {"archive holds destination",
       [&](TTaskSettings& v) {
         v.ArchiveEnabled = true;
         v.ArchiveFolder = Tmp / "out";
         v.Dest = Tmp / "out/dst";
         return kMsgArchiveOverlap;
       },
       TMainPage::mpArchive},
      {"log folder cannot be created",
       [&](TTaskSettings& v) {
         v.LogFolder = file + "/logs";
         return std::string(kMsgLogCreate) + file + "/logs";
       },
       TMainPage::mpLogging},
      {"log folder is the destination",
       [&](TTaskSettings& v) {
         v.LogFolder = Dst + "/";
         return kMsgLogIsDest;
       },
       TMainPage::mpLogging},
      {"log folder is the destination through a link",
       [&](TTaskSettings& v) {
         symlink(Dst.c_str(), (Tmp / "dstlink").c_str());
         v.LogFolder = Tmp / "dstlink";
         return kMsgLogIsDest;
       },
       TMainPage::mpLogging},
  };
  for (const auto& c : cases) {
    for (bool silent : {false, true}) {
      SCOPED_TRACE(std::string(c.Name) + (silent ? ", command line" : ", window"));
      Host->Values = Baseline;
      Host->Values.LogEnabled = true;
      const std::string want = c.Setup(Host->Values);
      Host->Errors.clear();
      Host->Refusals.clear();
      Host->Pages.clear();
      Host->Closes = 0;
      Host->Pane = {"line of the last run"};
      MakeController();

      Ctl->StartMirror(false, silent);
      Settle();
      EXPECT_FALSE(Ctl->Running());
      EXPECT_EQ(Host->Pane, std::vector<std::string>{"line of the last run"}) << "the pane is not cleared";
      EXPECT_EQ(Host->Pages, c.Page ? std::vector<TMainPage>{*c.Page} : std::vector<TMainPage>{});
      EXPECT_TRUE(LogFiles(Tmp / "logs").empty());
      if (silent) {
        EXPECT_EQ(Host->Refusals, std::vector<std::string>{want});
        EXPECT_TRUE(Host->Errors.empty());
        EXPECT_EQ(Ctl->ExitCode(), 2);
        EXPECT_EQ(Host->Closes, 1);
      } else {
        EXPECT_EQ(Host->Errors, std::vector<std::string>{want});
        EXPECT_TRUE(Host->Refusals.empty());
        EXPECT_EQ(Ctl->ExitCode(), 0);
        EXPECT_EQ(Host->Closes, 0);
      }
    }
  }
  EXPECT_TRUE(test::IsDir(Dst + "/arch")) << "a refused run keeps the archive folder it created";
  EXPECT_FALSE(test::Exists(Dst + "/a.txt"));
}

TEST_F(RunControl, WindowRunFromStartToFinish) {
  Host->Values.AskConfirm = true;
  Host->Values.LogEnabled = true;
  Host->Values.LogFolder = "  ";
  Host->Values.ArchiveEnabled = true;
  Host->Values.ArchiveFolder = "";
  Host->Answers = {true};
  Host->Pane = {"old"};
  // The default folders live in the home shared by the whole test binary.
  const auto logsBefore = LogFiles(DefaultLogsFolder());

  RunToEnd(false, false);
  EXPECT_EQ(Host->Questions, std::vector<std::string>{kMsgAskConfirm});
  EXPECT_TRUE(test::IsDir(DefaultArchiveFolder()));
  EXPECT_EQ(test::TreeDiff(Src, Dst), "");

  std::vector<std::string> logs;
  for (const auto& l : LogFiles(DefaultLogsFolder()))
    if (std::find(logsBefore.begin(), logsBefore.end(), l) == logsBefore.end()) logs.push_back(l);
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_TRUE(std::regex_match(logs[0], std::regex(".*/Mirror_[0-9]{8}_[0-9]{6}\\.log")));
  ASSERT_FALSE(Host->Pane.empty());
  EXPECT_EQ(Host->Pane[0], "Log file: " + logs[0]);
  EXPECT_TRUE(PaneHas("Started by:  GUI"));
  EXPECT_TRUE(PaneHas("=== Quarlex Twinfold finished ==="));
  EXPECT_NE(test::ReadFile(logs[0]).find("Started by:  GUI"), std::string::npos);
  struct stat logStat;
  ASSERT_EQ(stat(logs[0].c_str(), &logStat), 0);
  EXPECT_EQ(logStat.st_mode & 07777, 0600u) << "the log lists every file name: for its owner only";

  EXPECT_EQ(Host->RunningStates, (std::vector<bool>{true, false}));
  EXPECT_EQ(Host->Pages, std::vector<TMainPage>{TMainPage::mpFolders});
  ASSERT_FALSE(Host->Views.empty());
  EXPECT_EQ(Host->Views.back(), (TProgressView{Ctl->BaseCaption(), TBarStyle::bsNormal, 100, 0}));
  EXPECT_EQ(Ctl->BaseCaption(), "Quarlex Twinfold v" + AppVersionString());
  EXPECT_EQ(Root("Source"), Src) << "the working settings are written before the run";
  EXPECT_EQ(Root(kVolCheckPathValue), Dst);
  EXPECT_EQ(Ctl->ExitCode(), 0);
  EXPECT_EQ(Host->Closes, 0) << "without /close the window stays";
  EXPECT_EQ(Shutdowns, 0);
}

TEST_F(RunControl, OnlyAWindowRealRunAsksFirst) {
  Host->Values.AskConfirm = true;
  RunToEnd(true, false);
  RunToEnd(false, true);
  EXPECT_TRUE(Host->Questions.empty());

  // Declined: nothing happens, not even the save of the working settings.
  MakeController();
  auto saved = Store->OpenKey(kRootKey);
  saved->DeleteValue("Source");
  Host->Answers = {false};
  Host->Pane = {"old"};
  Ctl->StartMirror(false, false);
  Settle();
  EXPECT_EQ(Host->Questions.size(), 1u);
  EXPECT_FALSE(Ctl->Running());
  EXPECT_EQ(Host->Pane, std::vector<std::string>{"old"});
  EXPECT_EQ(Root("Source"), "<none>");
  EXPECT_TRUE(Host->Errors.empty());
}

TEST_F(RunControl, AStartDuringARunChangesNothing) {
  Ctl->StartMirror(false, false);
  ASSERT_TRUE(Ctl->Running());
  Ctl->StartMirror(true, true);
  EXPECT_FALSE(Ctl->SilentRun());
  EXPECT_FALSE(Ctl->LastRunDry());
  Finish();
  EXPECT_EQ(Host->RunningStates, (std::vector<bool>{true, false}));
}

// Two runs started in the same second must not share (and wipe) one log file.
TEST_F(RunControl, AnExistingLogFileIsNeverReplaced) {
  Host->Values.LogEnabled = true;
  const std::string dir = Tmp / "logs";
  std::vector<std::string> taken;
  const time_t now = time(nullptr);
  for (time_t t = now; t <= now + 2; ++t) {
    tm local;
    localtime_r(&t, &local);
    char name[64];
    strftime(name, sizeof name, "/Mirror_%Y%m%d_%H%M%S.log", &local);
    taken.push_back(dir + name);
    test::WriteFile(taken.back(), "earlier run");
  }
  RunToEnd(true, true);
  for (const auto& t : taken) EXPECT_EQ(test::ReadFile(t), "earlier run");
  ASSERT_EQ(LogFiles(dir).size(), 4u);
  ASSERT_FALSE(Host->Pane.empty());
  EXPECT_TRUE(std::regex_match(Host->Pane[0], std::regex("Log file: .*/Mirror_[0-9]{8}_[0-9]{6}_2\\.log")))
      << Host->Pane[0];
}

// Logs kept inside the destination are not the mirror's to delete: neither
// the older ones nor the one being written.
TEST_F(RunControl, ALogFolderInsideTheDestinationIsKept) {
  Host->Values.LogEnabled = true;
  Host->Values.LogFolder = Dst + "/logs/";
  const std::string earlier = Dst + "/logs/Mirror_20200101_000000.log";
  test::WriteFile(earlier, "earlier run");
  RunToEnd(false, true);
  EXPECT_EQ(test::ReadFile(earlier), "earlier run");
  const auto logs = LogFiles(Dst + "/logs");
  ASSERT_EQ(logs.size(), 2u);
  const std::string body = test::ReadFile(logs[0] == earlier ? logs[1] : logs[0]);
  EXPECT_NE(body.find("Deleted:     0 file(s)"), std::string::npos) << body;
  EXPECT_NE(body.find("Errors:      0"), std::string::npos) << body;
  EXPECT_EQ(Ctl->ExitCode(), 0);
  EXPECT_EQ(test::ReadFile(Dst + "/a.txt"), "alpha");
}

// With every name of this second taken, the run has no log rather than
// someone else's: it is refused, and nothing in the way is touched.
TEST_F(RunControl, LogFileThatCannotBeCreatedRefusesTheRun) {
  struct TCase {
    const char* Name;
    bool Files; // else folders
  };
  for (const TCase c : {TCase{"folders in the way", false}, TCase{"files in the way", true}}) {
    SCOPED_TRACE(c.Name);
    const std::string dir = Tmp / (c.Files ? "logs-files" : "logs-folders");
    Host->Values = Baseline;
    Host->Values.LogEnabled = true;
    Host->Values.LogFolder = dir;
    Host->Refusals.clear();
    Host->Closes = 0;
    MakeController();
    std::vector<std::string> taken;
    const time_t now = time(nullptr);
    for (time_t t = now; t <= now + 2; ++t) {
      tm local;
      localtime_r(&t, &local);
      char base[64];
      strftime(base, sizeof base, "Mirror_%Y%m%d_%H%M%S", &local);
      for (int n = 1; n <= 99; ++n) {
        taken.push_back(dir + "/" + base + (n == 1 ? std::string() : "_" + std::to_string(n)) + ".log");
        if (c.Files) test::WriteFile(taken.back(), "earlier run");
        else test::MakeDirs(taken.back());
      }
    }
    Ctl->StartMirror(false, true);
    Settle();
    if (time(nullptr) > now + 2) GTEST_SKIP() << "the clock ran past the prepared names";
    EXPECT_FALSE(Ctl->Running());
    ASSERT_EQ(Host->Refusals.size(), 1u);
    EXPECT_NE(Host->Refusals[0].find("Cannot create file"), std::string::npos) << Host->Refusals[0];
    EXPECT_EQ(Ctl->ExitCode(), 2);
    EXPECT_EQ(Host->Closes, 1);
    EXPECT_FALSE(test::Exists(Dst));
    for (const std::string& t : taken) {
      if (c.Files) ASSERT_EQ(test::ReadFile(t), "earlier run") << t;
      else ASSERT_TRUE(test::IsDir(t)) << t;
    }
  }
}

// ---------------------------------------------------------------- finish

TEST_F(RunControl, HistoryVolumeShutdownAndExitCode) {
  struct TCase {
    const char* Name;
    bool Dry;
    bool Fail;
    bool Cancel;
    const char* WantHistoryEnd;
    int WantExit;
    bool WantRecorded;
    bool WantShutdown;
  };
  const std::vector<TCase> cases = {
      {"clean real run", false, false, false, " - success", 0, true, true},
      {"real run with an error", false, true, false, " - 1 error(s)", 1, true, false},
      {"dry run", true, false, false, " - success (dry run)", 0, false, false},
      {"dry run with an error", true, true, false, " - 1 error(s) (dry run)", 1, false, false},
      {"cancelled real run", false, false, true, " - cancelled", 0, false, false},
      {"cancelled dry run", true, false, true, " - cancelled (dry run)", 0, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    Store->DeleteKey(kTaskHistoryKey);
    StoreVolume("<none>", "", "");
    test::RemoveTree(Dst);
    Fs.ClearFaults();
    Fs.SetHook({});
    if (c.Fail) Fs.FailPath(TFsCall::CopyFile, "a.txt", EIO);
    if (c.Fail && c.Dry) Fs.FailPath(TFsCall::ListDir, "sub", EIO);
    // A dry run copies nothing: it is cancelled while it scans.
    if (c.Cancel) CancelAtFirst(c.Dry ? TFsCall::ListDir : TFsCall::CopyFile);
    Host->Values = Baseline;
    Host->Values.ShutdownDone = true;
    Host->Current = "Nightly";
    Host->Pane.clear();
    Host->Closes = 0;
    Shutdowns = 0;
    MakeController();
    TCommandLine cmd;
    cmd.Close = true;
    Ctl->ProcessCommandLine(cmd);

    RunToEnd(c.Dry, true);
    const std::string history = History("Nightly");
    EXPECT_TRUE(history.size() > strlen(c.WantHistoryEnd) &&
                history.compare(history.size() - strlen(c.WantHistoryEnd), std::string::npos, c.WantHistoryEnd) == 0)
        << history;
    EXPECT_TRUE(std::regex_match(history, std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2} - .*")));
    EXPECT_EQ(Ctl->ExitCode(), c.WantExit);
    EXPECT_EQ(Host->Closes, 1);
    EXPECT_EQ(Root(kVolCheckPathValue), c.WantRecorded ? Dst : "<none>");
    EXPECT_EQ(Shutdowns, c.WantShutdown ? 1 : 0);
    const bool shutdownLines = Host->Pane.size() >= 2 && Host->Pane.back() == kShutdownLine &&
                               Host->Pane[Host->Pane.size() - 2].empty();
    EXPECT_EQ(shutdownLines, c.WantShutdown);
  }
  Fs.SetHook({});
}

// A power-off that cannot be started leaves the machine running: the pane
// says so instead of leaving the 60-second notice as the last word.
TEST_F(RunControl, APowerOffThatCannotStartIsReported) {
  Host->Values.ShutdownDone = true;
  TRunControllerConfig c;
  c.Fs = &Fs;
  c.PowerOff = [] { return ENOENT; };
  Ctl = std::make_unique<TRunController>(*Host, *Store, c);
  RunToEnd(false, false);
  ASSERT_GE(Host->Pane.size(), 2u);
  EXPECT_EQ(Host->Pane[Host->Pane.size() - 2], kShutdownLine);
  EXPECT_EQ(Host->Pane.back(), "*** The power-off could not be started: " + SystemMessage(ENOENT) + ". ***");
}

TEST_F(RunControl, NoHistoryWithoutACurrentTask) {
  RunToEnd(false, false);
  auto key = Store->OpenKeyReadOnly(kTaskHistoryKey);
  EXPECT_TRUE(!key || key->ValueNames().empty());
}

// The window can be bound to another task by the time the run ends (Save As
// while it runs): the run's history belongs to the task it started with.
TEST_F(RunControl, HistoryGoesToTheTaskTheRunStartedWith) {
  struct TCase {
    const char* AtStart;
    const char* AtFinish;
  };
  for (const TCase& c : {TCase{"Nightly", "Nightly (copy)"}, TCase{"", "Saved meanwhile"}}) {
    SCOPED_TRACE(c.AtFinish);
    Store->DeleteKey(kTaskHistoryKey);
    Host->Current = c.AtStart;
    Ctl->StartMirror(false, false);
    ASSERT_TRUE(Ctl->Running());
    Host->Current = c.AtFinish;
    Finish();
    EXPECT_EQ(History(c.AtFinish), "");
    if (*c.AtStart) {
      EXPECT_NE(History(c.AtStart), "");
    }
  }
}

// An exception out of the engine ends the run with one FATAL line, and the
// run counts as failed: no success, no shutdown, exit code 1.
TEST_F(RunControl, FatalLineAndTheRunStillFinishes) {
  Host->Values.VolCheckEnabled = false;
  Host->Values.ShutdownDone = true;
  Host->Current = "Nightly";
  TCommandLine cmd;
  cmd.Close = true;
  Ctl->ProcessCommandLine(cmd);
  Fs.ThrowOnVolume = true;
  RunToEnd(false, true);
  Fs.ThrowOnVolume = false;
  EXPECT_TRUE(PaneHas("FATAL:       Volume query failed"));
  EXPECT_EQ(Ctl->ExitCode(), 1);
  EXPECT_EQ(Host->Closes, 1);
  EXPECT_EQ(Shutdowns, 0);
  const std::string h = History("Nightly");
  EXPECT_EQ(h.substr(h.size() - 13), " - 1 error(s)");
}

TEST_F(RunControl, MassDeleteQuestionRunsOnTheUiThreadAndWaits) {
  for (int i = 0; i < 10; ++i) test::WriteFile(Dst + "/extra" + std::to_string(i), "x");
  Host->Answers = {false};
  RunToEnd(false, false);
  ASSERT_EQ(Host->Questions.size(), 1u);
  EXPECT_NE(Host->Questions[0].find("of files in destination will be deleted"), std::string::npos);
  EXPECT_TRUE(test::Exists(Dst + "/extra0"));

  // A command-line run never asks; the engine refuses instead.
  MakeController();
  RunToEnd(false, true);
  EXPECT_EQ(Host->Questions.size(), 1u);
  EXPECT_TRUE(test::Exists(Dst + "/extra0"));
}

TEST_F(RunControl, ClosingWhileTheRunWaitsForAnAnswerDoesNotHang) {
  for (int i = 0; i < 10; ++i) test::WriteFile(Dst + "/extra" + std::to_string(i), "x");
  const int before = Host->Posted();
  Ctl->StartMirror(false, false);
  Host->WaitPostedMoreThan(before); // the question is on its way to the UI thread
  Ctl.reset();                      // answers No and waits for the run
  Settle();                         // the stale question and finish do nothing
  EXPECT_TRUE(Host->Questions.empty());
  EXPECT_TRUE(test::Exists(Dst + "/extra0"));
  EXPECT_EQ(Host->RunningStates, std::vector<bool>{true});
}

// Lines reach the pane at most 500 per drain, none lost while the queue has room.
TEST_F(RunControl, PaneGetsEveryLineInSlices) {
  for (int i = 0; i < 1500; ++i) test::WriteFile(Src + "/many/f" + std::to_string(i), "");
  Host->Values.LogEnabled = true;
  Host->Values.ExclPatternsEnabled = false;
  Ctl->StartMirror(true, true);
  ASSERT_TRUE(Loop.RunUntil([&] { return !Ctl->Running(); }, 60s)); // no ticks: the finish drains twice
  const auto logs = LogFiles(Tmp / "logs");
  ASSERT_EQ(logs.size(), 1u);
  const std::string text = test::ReadFile(logs[0]);
  const size_t fileLines = size_t(std::count(text.begin(), text.end(), '\n'));
  ASSERT_GT(fileLines, 1500u);
  EXPECT_EQ(Host->Pane.size(), 1u + 1000u);
  while (Host->Pane.size() < fileLines + 1) {
    const size_t before = Host->Pane.size();
    Ctl->Tick();
    ASSERT_GT(Host->Pane.size(), before);
  }
  EXPECT_EQ(Host->Pane.size(), fileLines + 1);
  for (size_t n : Host->AppendSizes) EXPECT_LE(n, 500u);
}

// ---------------------------------------------------------------- volume identity

TEST_F(RunControl, VolumeIdentityCheck) {
  struct TCase {
    const char* Name;
    const char* StoredPath; // "dst", "other" or "" for nothing stored
    const char* StoredSerial;
    bool QueryOk;
    const char* Label;
    const char* Serial;
    bool Dry;
    bool Silent;
    std::deque<bool> Answers;
    bool VolCheck;
    bool WantAsked;
    bool WantRan;
    bool WantRecorded;
  };
  const std::vector<TCase> cases = {
      {"first run", "", "", true, "Disk A", "AAAA-1111", false, true, {}, true, false, true, true},
      {"same volume", "dst", "AAAA-1111", true, "Disk A", "AAAA-1111", false, true, {}, true, false, true, true},
      {"serial in other letter case", "dst", "aaaa-1111", true, "Disk A", "AAAA-1111", false, true, {}, true, false,
       true, true},
      {"label alone changed", "dst", "AAAA-1111", true, "Renamed", "AAAA-1111", false, true, {}, true, false, true,
       true},
      {"another destination stored", "other", "CCCC-3333", true, "Disk A", "AAAA-1111", false, true, {}, true, false,
       true, true},
      {"changed, command line", "dst", "AAAA-1111", true, "Disk B", "BBBB-2222", false, true, {}, true, false, false,
       false},
      {"changed, command-line dry run", "dst", "AAAA-1111", true, "Disk B", "BBBB-2222", true, true, {}, true, false,
       false, false},
      {"changed, window, No", "dst", "AAAA-1111", true, "Disk B", "BBBB-2222", false, false, {false}, true, true,
       false, false},
      {"changed, window, Yes", "dst", "AAAA-1111", true, "Disk B", "BBBB-2222", false, false, {true}, true, true, true,
       true},
      {"changed, window dry run, Yes", "dst", "AAAA-1111", true, "Disk B", "BBBB-2222", true, false, {true}, true,
       true, true, false},
      {"volume cannot be queried", "dst", "AAAA-1111", false, "", "", false, true, {}, true, false, true, false},
      {"check off", "dst", "AAAA-1111", true, "Disk B", "BBBB-2222", false, true, {}, false, false, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    auto root = Store->OpenKey(kRootKey);
    for (const char* v : {kVolCheckPathValue, kVolCheckSerialValue, kVolCheckNameValue}) root->DeleteValue(v);
    const std::string storedPath = std::string(c.StoredPath) == "dst" ? Dst : Tmp / "other";
    if (*c.StoredPath) StoreVolume(storedPath, c.StoredSerial, "Disk A");
    Fs.SetVolume(c.QueryOk, c.Label, c.Serial);
    Host->Values = Baseline;
    Host->Values.VolCheckEnabled = c.VolCheck;
    Host->Values.LogEnabled = true;
    test::RemoveTree(Tmp / "logs");
    Host->Answers = c.Answers;
    Host->Questions.clear();
    Host->Refusals.clear();
    Host->RunningStates.clear();
    MakeController();

    Ctl->StartMirror(c.Dry, c.Silent);
    if (Ctl->Running()) {
      Finish();
    } else {
      Settle();
    }
    EXPECT_EQ(!Host->RunningStates.empty(), c.WantRan);
    EXPECT_EQ(LogFiles(Tmp / "logs").size(), c.WantRan ? 1u : 0u);
    if (c.WantAsked) {
      ASSERT_EQ(Host->Questions.size(), 1u);
      EXPECT_EQ(Host->Questions[0],
                "The destination volume has changed.\r\nExpected: Disk A (AAAA-1111)\r\nFound: Disk B (BBBB-2222)\r\n\r\n"
                "This can happen when a different disk is mounted at the same place.\r\n\r\n"
                "Continue anyway?");
    } else {
      EXPECT_TRUE(Host->Questions.empty());
    }
    if (c.Silent && !c.WantRan) {
      EXPECT_EQ(Host->Refusals, std::vector<std::string>{
                                    "Destination volume changed: expected Disk A (AAAA-1111), found Disk B (BBBB-2222)."});
      EXPECT_EQ(Ctl->ExitCode(), 2);
    }
    if (c.WantRecorded) {
      EXPECT_EQ(Root(kVolCheckPathValue), Dst);
      EXPECT_EQ(Root(kVolCheckSerialValue), c.Serial);
      EXPECT_EQ(Root(kVolCheckNameValue), c.Label);
    } else {
      EXPECT_EQ(Root(kVolCheckPathValue), *c.StoredPath ? storedPath : "<none>");
      EXPECT_EQ(Root(kVolCheckSerialValue), *c.StoredPath ? c.StoredSerial : "<none>");
    }
  }
}

// The real thing: the recorded destination path now holds another file system.
TEST_F(RunControl, AnotherFileSystemAtTheSameDestinationIsRefused) {
  const std::string mnt = Tmp / "mnt";
  test::MakeDirs(mnt);
  if (mount("twf-a", mnt.c_str(), "tmpfs", 0, "size=1m") != 0) GTEST_SKIP() << "cannot mount tmpfs here";
  std::string serialA, serialB, label;
  GetVolumeLabelSerial(mnt, label, serialA);
  Host->Values.Dest = mnt;
  MakeController();
  RunToEnd(false, true);
  EXPECT_EQ(Root(kVolCheckSerialValue), serialA);
  umount2(mnt.c_str(), MNT_DETACH);

  ASSERT_EQ(mount("twf-b", mnt.c_str(), "tmpfs", 0, "size=1m"), 0);
  GetVolumeLabelSerial(mnt, label, serialB);
  MakeController();
  Host->RunningStates.clear();
  Ctl->StartMirror(true, true);
  Settle();
  umount2(mnt.c_str(), MNT_DETACH);
  if (serialA == serialB) GTEST_SKIP() << "this kernel gives both tmpfs mounts one identity";
  EXPECT_TRUE(Host->RunningStates.empty());
  EXPECT_EQ(Ctl->ExitCode(), 2);
  ASSERT_EQ(Host->Refusals.size(), 1u);
  EXPECT_EQ(Host->Refusals[0].rfind("Destination volume changed: expected ", 0), 0u);
}

// ---------------------------------------------------------------- webhook

TEST_F(RunControl, ReportOfARunWithAndWithoutItsAuthKey) {
  // The header goes only over https with a verified certificate: trust the server's.
  test::TWebhookServer server(test::TWebhookServer::wmOk, true);
  ASSERT_TRUE(server.Started());
  WebhookCaFile = server.CertFile();
  ASSERT_TRUE(WriteAuthKey(*Store, "Main", "X-Api-Key", "s3cr3t-value"));
  SaveSettings(*Store, TaskKeyPath("Nightly"), Baseline);
  Host->Current = "Nightly";

  for (const char* key : {"Gone", "Main"}) {
    SCOPED_TRACE(key);
    Host->Values = Baseline;
    Host->Values.LogEnabled = true;
    Host->Values.LogFolder = Tmp / (std::string("logs-") + key);
    Host->Values.WebhookEnabled = true;
    Host->Values.WebhookURL = "  " + server.Url() + " ";
    Host->Values.WebhookAuthKey = key;
    Host->Values.WebhookVerifySSL = true;
    SaveSettings(*Store, TaskKeyPath("Nightly"), Host->Values);
    test::RemoveTree(Dst);
    MakeController();
    RunToEnd(false, true);
    const auto logs = LogFiles(Host->Values.LogFolder);
    ASSERT_EQ(logs.size(), 1u);
    const std::string text = test::ReadFile(logs[0]);
    const size_t first = text.find("  ") + 2;
    const std::string notFound = "Webhook:     auth key \"Gone\" not found - request will be sent without it\r\n";
    if (std::string(key) == "Gone") {
      EXPECT_EQ(text.compare(first, notFound.size(), notFound), 0) << text.substr(0, 200);
    }
    EXPECT_NE(text.find("Webhook:     delivered (HTTP 200)"), std::string::npos);
    EXPECT_EQ(text.find("s3cr3t"), std::string::npos);
    for (const auto& l : Host->Pane) EXPECT_EQ(l.find("s3cr3t"), std::string::npos);
  }

  auto reqs = server.Requests();
  ASSERT_EQ(reqs.size(), 2u);
  bool found = true;
  reqs[0].Header("X-Api-Key", &found);
  EXPECT_FALSE(found);
  EXPECT_EQ(reqs[1].Header("X-Api-Key"), "s3cr3t-value");
  auto m = test::ParseFlatJson(reqs[1].Body);
  ASSERT_EQ(m.size(), 25u);
  EXPECT_EQ(m[5].second, "\"Nightly\"");
  EXPECT_EQ(m[6].second, "\"command line\"");
  EXPECT_EQ(m[7].second, "\"success\"");
  EXPECT_EQ(m[8].second, "false");
  EXPECT_EQ(m[14].second, "\"" + Src + "\"");
  EXPECT_EQ(m[15].second, "\"" + Dst + "\"");
  EXPECT_EQ(m[16].second, "2");
  EXPECT_EQ(m[17].second, "9");
  EXPECT_EQ(m[24].second, "0");
}

TEST_F(RunControl, ReportStatusFollowsTheRun) {
  test::TWebhookServer server(test::TWebhookServer::wmOk);
  ASSERT_TRUE(server.Started());
  struct TCase {
    const char* Name;
    bool Dry, Fail, Cancel;
    const char* Status;
    const char* DryRun;
  };
  const std::vector<TCase> cases = {
      {"dry", true, false, false, "\"success\"", "true"},
      {"errors", false, true, false, "\"completed_with_errors\"", "false"},
      {"cancelled with errors", false, true, true, "\"cancelled\"", "false"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    test::RemoveTree(Dst);
    Fs.ClearFaults();
    Fs.SetHook({});
    if (c.Fail) Fs.FailPath(TFsCall::CopyFile, "a.txt", EIO);
    if (c.Cancel) CancelAtFirst(TFsCall::CopyFile);
    Host->Values = Baseline;
    Host->Values.WebhookEnabled = true;
    Host->Values.WebhookURL = server.Url();
    MakeController();
    RunToEnd(c.Dry, false);
  }
  Fs.SetHook({});
  auto reqs = server.Requests();
  ASSERT_EQ(reqs.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].Name);
    auto m = test::ParseFlatJson(reqs[i].Body);
    ASSERT_EQ(m.size(), 25u);
    EXPECT_EQ(m[5].second, "\"Untitled\"");
    EXPECT_EQ(m[6].second, "\"GUI\"");
    EXPECT_EQ(m[7].second, cases[i].Status);
    EXPECT_EQ(m[8].second, cases[i].DryRun);
  }
}

TEST_F(RunControl, FinishWaitsForASilentWebhookServer) {
  test::TWebhookServer server(test::TWebhookServer::wmHang);
  ASSERT_TRUE(server.Started());
  Host->Values.WebhookEnabled = true;
  Host->Values.WebhookURL = server.Url();
  MakeController(1000);
  Ctl->StartMirror(false, true);
  ASSERT_TRUE(Loop.RunUntil([&] { return !server.Requests().empty(); }, 30s, [&] { Ctl->Tick(); }));
  EXPECT_TRUE(Ctl->Running()) << "the window stays in its running state while the request is under way";
  Finish();
  ASSERT_FALSE(Host->Pane.empty());
  bool failedLine = false;
  for (const auto& l : Host->Pane) failedLine |= l.find("Webhook:     FAILED - ") != std::string::npos;
  EXPECT_TRUE(failedLine);
  EXPECT_EQ(Ctl->ExitCode(), 0) << "a webhook failure does not change the outcome";
}

// ---------------------------------------------------------------- command line

TEST_F(RunControl, CommandLineStart) {
  TTaskSettings stored = Baseline;
  stored.Workers = 3;
  SaveSettings(*Store, TaskKeyPath("Nightly"), stored);
  const std::string noMeta = Tmp / "jobs/Weekly Job.ini";
  test::WriteFile(noMeta, "[Task]\r\nSource=" + Src + "\r\nDest=" + Dst + "\r\nWorkers=2\r\n");
  const std::string noTask = Tmp / "jobs/empty.ini";
  test::WriteFile(noTask, "[Meta]\r\nName=Empty\r\n");
  const std::string slashName = Tmp / "jobs/slash.ini";
  test::WriteFile(slashName, "[Task]\r\nSource=" + Src + "\r\nDest=" + Dst + "\r\n[Meta]\r\nName=2024/25\r\n");
  const std::string backslashStem = Tmp / "jobs/a\\b.ini";
  test::WriteFile(backslashStem, "[Task]\r\nSource=" + Src + "\r\nDest=" + Dst + "\r\n");

  struct TCase {
    const char* Name;
    std::vector<std::string> Args;
    bool WantRun;
    int WantExit;
    int WantCloses;
    std::string WantError;   // shown in a message box
    std::string WantRefusal; // reported without a dialog
    std::string WantCurrent;
  };
  const std::vector<TCase> cases = {
      {"stored task, run and close", {"/task:nightly", "/run", "/close"}, true, 0, 1, "", "", "Nightly"},
      {"stored task, dry run, window stays", {"-TASK:Nightly", "-dry"}, true, 0, 0, "", "", "Nightly"},
      {"missing task with /close", {"/task:Nope", "/run", "/close"}, false, 2, 1, "", "Task \"Nope\" was not found.",
       ""},
      {"missing task without /close", {"/task:Nope", "/run"}, false, 0, 0, "Task \"Nope\" was not found.", "", ""},
      {"empty task name", {"/task", "Nightly", "/run", "/close"}, false, 2, 1, "", "Task \"\" was not found.", ""},
      {"task file without a name", {"/task_file:" + noMeta, "/run", "/close"}, true, 0, 1, "", "", "Weekly Job"},
      {"task file in quotes", {"/task_file:\"" + noMeta + "\"", "/dry", "/close"}, true, 0, 1, "", "", "Weekly Job"},
      {"task file without a [Task] section", {"/task_file:" + noTask, "/run", "/close"}, false, 2, 1, "",
       kMsgNoTaskSection, ""},
      // The window would be bound to the name, and Save would store it.
      {"task file named with \"/\"", {"/task_file:" + slashName, "/run", "/close"}, false, 2, 1, "", kMsgTaskNameSlash,
       ""},
      {"task file named with \"\\\"", {"/task_file:" + backslashStem, "/run"}, false, 0, 0, kMsgTaskNameBackslash, "",
       ""},
      {"both missing: the task file's message", {"/task:Nope", "/task_file:/nope.ini", "/close"}, false, 2, 1, "",
       "Task file \"/nope.ini\" was not found.", ""},
      {"/close alone does nothing", {"/close"}, false, 0, 0, "", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    Host->Values = Baseline;
    Host->Current.clear();
    Host->Errors.clear();
    Host->Refusals.clear();
    Host->RunningStates.clear();
    Host->Closes = 0;
    MakeController();
    Ctl->ProcessCommandLine(ParseCommandLine(c.Args));
    Ctl->QueueStartStep();
    Settle();
    if (Ctl->Running()) Finish();
    EXPECT_EQ(!Host->RunningStates.empty(), c.WantRun);
    EXPECT_EQ(Ctl->ExitCode(), c.WantExit);
    EXPECT_EQ(Host->Closes, c.WantCloses);
    EXPECT_EQ(Host->Errors, c.WantError.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.WantError});
    EXPECT_EQ(Host->Refusals,
              c.WantRefusal.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.WantRefusal});
    EXPECT_EQ(Host->Current, c.WantCurrent);
    if (c.WantRun) {
      EXPECT_TRUE(Ctl->SilentRun());
    }
    if (c.WantCurrent == "Nightly") {
      EXPECT_EQ(Host->Values.Workers, 3);
      EXPECT_EQ(Host->Selected.back(), "Nightly");
    }
    if (c.WantCurrent == "Weekly Job") {
      EXPECT_EQ(Host->Values.Workers, 2);
    }
    if (!c.WantCurrent.empty()) {
      EXPECT_EQ(Host->Captions.front(), c.WantCurrent);
    }
    Host->Captions.clear();
  }
}

TEST_F(RunControl, ARefusedCommandLineRunEndsWithCode2EvenWithoutClose) {
  Host->Values.Source = Tmp / "missing";
  Ctl->ProcessCommandLine(ParseCommandLine({"/run"}));
  Ctl->QueueStartStep();
  Settle();
  Settle();
  EXPECT_EQ(Ctl->ExitCode(), 2);
  EXPECT_EQ(Host->Closes, 1);
  EXPECT_EQ(Host->Refusals, std::vector<std::string>{kMsgSelectSource});
}

// ---------------------------------------------------------------- headless start

// RunHeadless in this process, on a store of the test's own.
class HeadlessStart : public ::testing::Test {
protected:
  void SetUp() override {
    test::WriteFile(Tmp / "src/a.txt", "alpha");
    A.Source = Tmp / "src";
    A.Dest = Tmp / "dst-a";
    A.AskConfirm = false;
    B = A;
    B.Dest = Tmp / "dst-b";
  }
  int Run(const std::vector<std::string>& args, int storeWaitMs = kStoreBusyWaitMs) {
    const int out = open((Tmp / "out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int err = open((Tmp / "err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    THeadlessConfig config;
    config.StorePath = StorePath();
    config.StoreWaitMs = storeWaitMs;
    config.Run.PowerOff = [] { return 0; };
    const int code = RunHeadless(ParseCommandLine(args), out, err, config);
    close(out);
    close(err);
    return code;
  }

  std::string StorePath() const { return Tmp / "settings.db"; }

  TTempDir Tmp;
  TTaskSettings A, B;
};

// A window left task A current; a run of B from cron must not leave the
// store saying "A" over B's values, or the next window start would show
// them as "A (modified)" and Save would write them into A.
TEST_F(HeadlessStart, TheCurrentTaskFollowsTheWorkingSettings) {
  test::WriteFile(Tmp / "weekly.ini", "[Task]\r\nSource=" + A.Source + "\r\nDest=" + Tmp / "dst-w" +
                                          "\r\n[Meta]\r\nName=Weekly\r\n");
  struct TCase {
    const char* Name;
    std::vector<std::string> Args;
    int WantCode;
    std::string WantCurrent, WantDest;
  };
  const std::vector<TCase> cases = {
      {"another stored task", {"/task:b", "/dry"}, 0, "B", B.Dest},
      {"a task file that is no stored task", {"/task_file:" + Tmp / "weekly.ini", "/dry"}, 0, "", Tmp / "dst-w"},
      {"a task that is not stored: nothing changes", {"/task:Nope", "/dry"}, 2, "A", A.Dest},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    {
      TSettingsStore store(StorePath());
      SaveSettings(store, TaskKeyPath("A"), A);
      SaveSettings(store, TaskKeyPath("B"), B);
      SaveSettings(store, kRootKey, A);
      TWindowState window;
      window.LastTask = "A";
      ASSERT_TRUE(SaveWindowState(store, window));
    }
    EXPECT_EQ(Run(c.Args), c.WantCode) << test::ReadFile(Tmp / "err.txt");

    TSettingsStore store(StorePath());
    TWindowRestore restore;
    ASSERT_TRUE(LoadWindowState(store, {0, 0, 1920, 1080}, {}, 200, ListTaskNames(store), restore));
    EXPECT_EQ(restore.CurrentTask, c.WantCurrent);
    EXPECT_FALSE(restore.Modified);
    TTaskSettings working;
    LoadSettings(store, kRootKey, working, {});
    EXPECT_EQ(working.Dest, c.WantDest);
  }
}

// Another process holding the store's write lock: the start gives up within
// the bound with a message and code 2, and changes nothing.
TEST_F(HeadlessStart, ABusyStoreEndsTheStartWithinTheBound) {
  TSettingsStore holder(StorePath());
  SaveSettings(holder, TaskKeyPath("A"), A);
  test::WriteFile(Tmp / "job.ini", "[Task]\r\nSource=/x\r\n[Meta]\r\nName=Job\r\n");
  const std::string busy = TSettingsStore(StorePath(), 300).BusyMessage();
  EXPECT_NE(busy.find(StorePath()), std::string::npos) << busy;
  int runCode = -1, importCode = -1;
  std::chrono::steady_clock::duration took{};
  ASSERT_TRUE(holder.Transact([&] {
    const auto t0 = std::chrono::steady_clock::now();
    runCode = Run({"/task:A", "/run"}, 300);
    const int out = open((Tmp / "import.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    importCode = ImportTaskFromCommandLine(Tmp / "job.ini", out, StorePath(), 300);
    close(out);
    took = std::chrono::steady_clock::now() - t0;
    return true;
  }));
  EXPECT_EQ(runCode, 2);
  EXPECT_EQ(test::ReadFile(Tmp / "err.txt"), "twinfold: " + busy + "\n");
  EXPECT_EQ(test::ReadFile(Tmp / "out.txt"), "");
  EXPECT_EQ(importCode, 2);
  EXPECT_EQ(test::ReadFile(Tmp / "import.txt"), busy + "\n");
  EXPECT_LT(took, 10s);
  EXPECT_FALSE(test::Exists(A.Dest));
  EXPECT_EQ(ListTaskNames(holder), std::vector<std::string>{"A"});
  // Free again: the same start runs.
  EXPECT_EQ(Run({"/task:A", "/run"}, 300), 0) << test::ReadFile(Tmp / "err.txt");
  EXPECT_TRUE(test::Exists(A.Dest + "/a.txt"));
}

TEST(TaskDisplayName, FollowsTheStore) {
  TTempDir tmp;
  TSettingsStore store(tmp / "s.db");
  TTaskSettings v;
  SaveSettings(store, kRootKey, v);
  SaveSettings(store, TaskKeyPath("Daily"), v);
  EXPECT_EQ(TaskDisplayNameFor(store, "Daily", ""), "Daily");
  v.Source = "/elsewhere";
  SaveSettings(store, kRootKey, v);
  EXPECT_EQ(TaskDisplayNameFor(store, "Daily", ""), "Daily (modified)");
  EXPECT_EQ(TaskDisplayNameFor(store, "", "Old"), "Old (deleted)");
  EXPECT_EQ(TaskDisplayNameFor(store, "", ""), "");
}

} // namespace
} // namespace twf
