// The twinfold program as a scheduler starts it: no display, no terminal, a
// minimal environment, standard input closed. And the single-instance rule
// between two interactive starts.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <regex>
#include <thread>

#include "app/instance_server.h"
#include "app/window_loader.h"
#include "runctl/command_line.h"
#include "runctl/run_controller.h"
#include "runctl/runctl_support.h"
#include "runctl/single_instance.h"
#include "support/tree.h"

namespace twf {
namespace {

using test::RunProcess;
using test::TProcessResult;
using test::TTempDir;

class CommandLineRun : public ::testing::Test {
protected:
  void SetUp() override { Populate(Tmp); }
  // The home, the two-file source and the job "Nightly" that mirrors it, under top.
  void Populate(const TTempDir& top) {
    Home = top / "home";
    Src = top / "src";
    Dst = top / "dst";
    Logs = top / "logs";
    Job = top / "job.ini";
    test::MakeDirs(Home);
    test::WriteFile(Src + "/a.txt", "alpha");
    test::WriteFile(Src + "/sub/b.txt", "beta");
    WriteJob(Job, "Nightly", Src, Dst);
  }
  void WriteJob(const std::string& path, const std::string& name, const std::string& src, const std::string& dst) {
    test::WriteFile(path, "[Task]\r\nSource=" + src + "\r\nDest=" + dst + "\r\nLogEnabled=1\r\nLogFolder=" + Logs +
                              "\r\n\r\n[Meta]\r\nName=" + name + "\r\n");
  }
  // What cron gives a job.
  // A sanitizer build's options (its suppressions of the toolkit's own
  // threads) reach the program too; nothing else of this environment does.
  std::vector<std::string> Env() const {
    std::vector<std::string> env = {"HOME=" + Home, "PATH=/usr/bin:/bin"};
    for (const char* name : {"TSAN_OPTIONS", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
      if (const char* value = getenv(name)) env.push_back(std::string(name) + "=" + value);
    return env;
  }
  TProcessResult Twinfold(std::vector<std::string> args, std::vector<std::string> prefix = {},
                          std::vector<std::string> env = {}) {
    std::vector<std::string> argv = std::move(prefix);
    argv.push_back(TWF_TWINFOLD_EXE);
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProcess(argv, env.empty() ? Env() : env, 120000);
  }
  std::vector<std::string> LogFiles() {
    std::vector<std::string> out;
    for (const auto& rel : test::ListTree(Logs))
      if (rel.rfind("Mirror_", 0) == 0) out.push_back(rel);
    return out;
  }

  TTempDir Tmp;
  std::string Home, Src, Dst, Logs, Job;
};

TEST_F(CommandLineRun, Help) {
  for (const char* h : {"--help", "-h", "/?"}) {
    TProcessResult r = Twinfold({h});
    EXPECT_EQ(r.ExitCode, 0);
    EXPECT_EQ(r.Out.rfind("Usage: twinfold", 0), 0u);
  }
}

TEST_F(CommandLineRun, Version) {
  for (const char* v : {"--version", "-V"}) {
    TProcessResult r = Twinfold({v, "/run"});
    EXPECT_EQ(r.ExitCode, 0);
    EXPECT_EQ(r.Out, VersionText());
    EXPECT_EQ(r.Out.rfind("twinfold 1.", 0), 0u) << r.Out;
    EXPECT_FALSE(test::Exists(Dst));
  }
}

// /list_tasks: one line per stored task with its last run, before any run
// and after a good one; nothing to list creates no store.
TEST_F(CommandLineRun, ListTasksWithTheirLastRun) {
  const std::string store = Home + "/.config/Zentorvi/Quarlex Twinfold/settings.db";
  TProcessResult empty = Twinfold({"/list_tasks"});
  EXPECT_EQ(empty.ExitCode, 0);
  EXPECT_EQ(empty.Out, "");
  EXPECT_FALSE(test::Exists(store));

  WriteJob(Tmp / "weekly.ini", "Weekly\tSunday", Tmp / "missing", Tmp / "dst2");
  ASSERT_EQ(Twinfold({"/import_task:" + Job}).ExitCode, 0);
  ASSERT_EQ(Twinfold({"/import_task:" + Tmp / "weekly.ini"}).ExitCode, 0);
  TProcessResult before = Twinfold({"-LIST_TASKS"});
  EXPECT_EQ(before.ExitCode, 0);
  EXPECT_EQ(before.Out, "Nightly\tnever run\nWeekly\\x09Sunday\tnever run\n");

  ASSERT_EQ(Twinfold({"/task:Nightly", "/run", "/close"}).ExitCode, 0);
  TProcessResult after = Twinfold({"/list_tasks"});
  EXPECT_EQ(after.ExitCode, 0);
  EXPECT_TRUE(std::regex_match(after.Out, std::regex("Nightly\t\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d - success\n"
                                                    "Weekly\\\\x09Sunday\tnever run\n")))
      << after.Out;
  EXPECT_EQ(after.Err, "");
}

TEST_F(CommandLineRun, ImportThenRunByNameThenRunAFile) {
  TProcessResult imp = Twinfold({"/import_task:" + Job});
  EXPECT_EQ(imp.ExitCode, 0);
  EXPECT_EQ(imp.Out, "Task \"Nightly\" imported.\n");

  TProcessResult run = Twinfold({"/task:Nightly", "/run", "/close"});
  ASSERT_EQ(run.ExitCode, 0) << run.Err;
  EXPECT_EQ(test::TreeDiff(Src, Dst), "");
  EXPECT_EQ(run.Err, "");
  EXPECT_NE(run.Out.find("  === Quarlex Twinfold started ===\n"), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find("  Task Name:   Nightly\n"), std::string::npos);
  EXPECT_NE(run.Out.find("  Started by:  command line\n"), std::string::npos);
  EXPECT_NE(run.Out.find("  COPY         a.txt"), std::string::npos);
  EXPECT_EQ(run.Out.rfind("Log file: " + Logs + "/Mirror_", 0), 0u);
  EXPECT_EQ(LogFiles().size(), 1u);

  // A task file, dry: nothing changes; the file's name is the task's.
  const std::string dst2 = Tmp / "dst2";
  WriteJob(Tmp / "weekly.ini", "Weekly", Src, dst2);
  TProcessResult dry = Twinfold({"-task_file:" + Tmp / "weekly.ini", "-dry", "-close"});
  EXPECT_EQ(dry.ExitCode, 0) << dry.Err;
  EXPECT_FALSE(test::Exists(dst2));
  EXPECT_NE(dry.Out.find("[DRY] COPY   a.txt"), std::string::npos);
  EXPECT_NE(dry.Out.find("  Task Name:   Weekly (modified)\n"), std::string::npos);
}

TEST_F(CommandLineRun, RefusalsEndWithCode2) {
  struct TCase {
    const char* Name;
    std::vector<std::string> Args;
    std::string WantErr;
  };
  WriteJob(Tmp / "nosrc.ini", "NoSource", Tmp / "missing", Dst);
  test::WriteFile(Tmp / "meta-only.ini", "[Meta]\r\nName=X\r\n");
  const std::vector<TCase> cases = {
      {"missing source, without /close", {"/task_file:" + Tmp / "nosrc.ini", "/run"},
       "twinfold: Please select a valid SOURCE folder.\n"},
      {"task not stored", {"/task:Nope", "/run", "/close"}, "twinfold: Task \"Nope\" was not found.\n"},
      {"task file missing", {"/task_file:" + Tmp / "none.ini", "/dry"},
       "twinfold: Task file \"" + Tmp / "none.ini" + "\" was not found.\n"},
      {"task file without settings", {"/task_file:" + Tmp / "meta-only.ini", "/run"},
       "twinfold: This file does not contain a [Task] section.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TProcessResult r = Twinfold(c.Args);
    EXPECT_EQ(r.ExitCode, 2);
    EXPECT_EQ(r.Err, c.WantErr);
    EXPECT_EQ(r.Out, "");
    EXPECT_TRUE(LogFiles().empty());
    EXPECT_FALSE(test::Exists(Dst));
  }
}

TEST_F(CommandLineRun, ImportFailures) {
  test::WriteFile(Tmp / "meta-only.ini", "[Meta]\r\nName=X\r\n");
  test::WriteFile(Tmp / "backslash.ini", "[Task]\r\nSource=/x\r\n[Meta]\r\nName=a\\b\r\n");
  test::WriteFile(Tmp / "slash.ini", "[Task]\r\nSource=/x\r\n[Meta]\r\nName=a/b\r\n");
  struct TCase {
    std::string File, WantOut;
  };
  const std::vector<TCase> cases = {
      {Tmp / "none.ini", "Task file \"" + Tmp / "none.ini" + "\" was not found.\n"},
      {Tmp / "meta-only.ini", "This file does not contain a [Task] section.\n"},
      {Tmp / "backslash.ini", "The task name cannot contain \"\\\".\n"},
      {Tmp / "slash.ini", "The task name cannot contain \"/\".\n"},
      {Tmp.Path(), "Task file \"" + Tmp.Path() + "\" could not be read.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.File);
    TProcessResult r = Twinfold({"/import_task:" + c.File});
    EXPECT_EQ(r.ExitCode, 2);
    EXPECT_EQ(r.Out, c.WantOut);
  }
}

// As root, a task file another user could have written is refused, whether
// run or imported, and so is a store that is not root's alone.
TEST_F(CommandLineRun, AsRootFilesOfOtherUsersAreRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "the rule is root's";
  const std::string theirs = Tmp / "theirs.ini";
  WriteJob(theirs, "Theirs", Src, Dst);
  ASSERT_EQ(chown(theirs.c_str(), 65534, 65534), 0);
  const std::string refused = "Task file \"" + theirs +
                              "\" is refused: it belongs to uid 65534, not to root. As root, only files that belong "
                              "to root and that no one else can write, in folders that no one else can change, are read.\n";
  TProcessResult run = Twinfold({"/task_file:" + theirs, "/run", "/close"});
  EXPECT_EQ(run.ExitCode, 2);
  EXPECT_EQ(run.Err, "twinfold: " + refused);
  TProcessResult imp = Twinfold({"/import_task:" + theirs});
  EXPECT_EQ(imp.ExitCode, 2);
  EXPECT_EQ(imp.Out, refused);
  EXPECT_FALSE(test::Exists(Dst));

  // Root's own file goes in; then the store is handed to another user.
  ASSERT_EQ(Twinfold({"/import_task:" + Job}).ExitCode, 0);
  const std::string store = Home + "/.config/Zentorvi/Quarlex Twinfold/settings.db";
  ASSERT_EQ(chown(store.c_str(), 65534, 65534), 0);
  const std::string storeRefused =
      "The settings store \"" + store + "\" belongs to uid 65534, not to root; as root it is not used.\n";
  TProcessResult byName = Twinfold({"/task:Nightly", "/run", "/close"});
  EXPECT_EQ(byName.ExitCode, 2);
  EXPECT_EQ(byName.Err, "twinfold: " + storeRefused);
  TProcessResult again = Twinfold({"/import_task:" + Job});
  EXPECT_EQ(again.ExitCode, 2);
  EXPECT_EQ(again.Out, storeRefused);
  TProcessResult list = Twinfold({"/list_tasks"});
  EXPECT_EQ(list.ExitCode, 2);
  EXPECT_EQ(list.Err, "twinfold: " + storeRefused);
  EXPECT_EQ(list.Out, "");
  EXPECT_FALSE(test::Exists(Dst));
}

// Errors during the run: exit code 1. A file the run's user cannot read makes
// one, so the run goes as an unprivileged user, in a tree that user can reach.
TEST_F(CommandLineRun, RunWithErrorsEndsWithCode1) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the program as another user";
  const std::string base = test::BaseOpenToAll();
  if (base.empty()) GTEST_SKIP() << "no temporary folder that another user can reach";
  TTempDir open(base);
  Populate(open);
  chmod((Src + "/a.txt").c_str(), 0);
  ASSERT_EQ(test::Shell("chown -R 65534:65534 '" + open.Path() + "'"), 0);
  chmod(open.Path().c_str(), 0755);
  TProcessResult r = Twinfold({"/task_file:" + Job, "/run", "/close"},
                              {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  EXPECT_EQ(r.ExitCode, 1) << r.Out << r.Err;
  EXPECT_NE(r.Out.find("ERROR        "), std::string::npos);
  EXPECT_TRUE(test::Exists(Dst + "/sub/b.txt"));
  EXPECT_EQ(test::Shell("chown -R 0:0 '" + open.Path() + "'"), 0);
}

// A desktop's variables outlive the desktop (systemd user timers, cron jobs
// started from a session): a display that does not answer must not stop a
// run, which then goes headless as without one.
TEST_F(CommandLineRun, ADisplayThatDoesNotAnswerRunsHeadless) {
  ASSERT_EQ(Twinfold({"/import_task:" + Job}).ExitCode, 0);
  const std::string runtime = Tmp / "runtime";
  test::MakeDirs(runtime);
  test::WriteFile(runtime + "/wayland-gone", ""); // a file, not a socket anyone listens on
  const std::vector<std::vector<std::string>> envs = {
      {"DISPLAY=:4242"},
      {"DISPLAY=unix:4242.0"},
      {"DISPLAY=127.0.0.1:" + std::to_string(test::RefusedPort() - 6000)},
      {"WAYLAND_DISPLAY=wayland-gone", "XDG_RUNTIME_DIR=" + runtime},
      {"DISPLAY=:4242", "WAYLAND_DISPLAY=wayland-gone", "XDG_RUNTIME_DIR=" + runtime, "XDG_SESSION_TYPE=wayland"},
  };
  for (const auto& extra : envs) {
    SCOPED_TRACE(extra[0]);
    test::RemoveTree(Dst);
    std::vector<std::string> env = Env();
    env.insert(env.end(), extra.begin(), extra.end());
    std::vector<std::string> argv = {TWF_TWINFOLD_EXE, "/task:Nightly", "/run", "/close"};
    TProcessResult r = RunProcess(argv, env, 120000);
    EXPECT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_NE(r.Out.find("  === Quarlex Twinfold started ===\n"), std::string::npos) << r.Out;
    EXPECT_EQ(test::TreeDiff(Src, Dst), "");
  }
}

// A display variable whose server has gone (a terminal left from an ended
// session) is no display either: the toolkit would abort the process.
TEST_F(CommandLineRun, InteractiveStartWithoutADisplay) {
  const std::string runtime = Tmp / "runtime";
  test::MakeDirs(runtime);
  test::WriteFile(runtime + "/wayland-gone", "");
  const std::vector<std::vector<std::string>> envs = {
      {},
      {"DISPLAY=:4242"},
      {"WAYLAND_DISPLAY=wayland-gone", "XDG_RUNTIME_DIR=" + runtime},
  };
  for (const auto& extra : envs) {
    SCOPED_TRACE(extra.empty() ? "no display variables" : extra[0]);
    std::vector<std::string> env = Env();
    env.insert(env.end(), extra.begin(), extra.end());
    TProcessResult r = Twinfold({"/task:Nightly"}, {}, env);
    EXPECT_EQ(r.ExitCode, 2);
    EXPECT_EQ(r.Err.rfind("twinfold: no display: ", 0), 0u) << r.Err;
    EXPECT_NE(r.Err.find("--help"), std::string::npos);
    EXPECT_EQ(std::count(r.Err.begin(), r.Err.end(), '\n'), 1);
  }
}

// The toolkit is loaded by a window that opens, and by nothing else: a
// scheduled run, the help and an import neither pay for it nor depend on it
// being installed. A run in the window still mirrors.
TEST_F(CommandLineRun, OnlyAWindowLoadsTheToolkit) {
  struct TCase {
    const char* Name;
    std::vector<std::string> Env, Args;
    bool WantWindow;
  };
  const std::vector<TCase> cases = {
      {"help", {}, {"--help"}, false},
      {"import", {}, {"/import_task:" + Job}, false},
      {"run without a display", {}, {"/task:Nightly", "/run", "/close"}, false},
      {"dry run, display that does not answer", {"DISPLAY=:4242"}, {"/task_file:" + Job, "/dry", "/close"}, false},
#ifdef TWF_HAVE_WINDOW
      {"run in the window", {"DISPLAY=:4242", "QT_QPA_PLATFORM=offscreen"}, {"/task:Nightly", "/run", "/close"}, true},
#endif
  };
  const std::string traces = Tmp / "ld";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    test::RemoveTree(Dst);
    test::RemoveTree(traces);
    test::MakeDirs(traces);
    std::vector<std::string> env = Env();
    env.insert(env.end(), c.Env.begin(), c.Env.end());
    env.push_back("LD_DEBUG=libs");
    env.push_back("LD_DEBUG_OUTPUT=" + traces + "/trace"); // the loader adds ".<pid>"
    TProcessResult r = Twinfold(c.Args, {}, env);
    EXPECT_EQ(r.ExitCode, 0) << r.Err;
    std::string loaded;
    for (const auto& name : test::ListTree(traces)) loaded += test::ReadFile(traces + "/" + name);
    ASSERT_NE(loaded.find("calling init:"), std::string::npos) << "no loader trace";
    EXPECT_EQ(loaded.find("libQt6") != std::string::npos, c.WantWindow);
    if (c.WantWindow) {
      EXPECT_EQ(test::TreeDiff(Src, Dst), "");
      EXPECT_EQ(r.Err.find("twinfold:"), std::string::npos) << r.Err;
      EXPECT_EQ(r.Out.find("=== Quarlex Twinfold started ==="), std::string::npos) << "ran headless";
    }
  }
}

// A task that powers the machine off when done hands that to the program's
// power-off action, which in the tests' copy only records it, in the window
// and without one. The run goes in a mount namespace where the system's
// shutdown command records its start instead: even a program that did call
// it could not power this machine off.
TEST_F(CommandLineRun, PowerOffAfterARunNeverReachesTheMachine) {
  if (geteuid() != 0) GTEST_SKIP() << "guarding the machine's shutdown command needs root";
  struct TCase {
    const char* Name;
    std::vector<std::string> Env;
    bool InWindow;
  };
  const std::vector<TCase> cases = {
      {"without a display", {}, false},
#ifdef TWF_HAVE_WINDOW
      {"in the window", {"DISPLAY=:4242", "QT_QPA_PLATFORM=offscreen"}, true},
#endif
  };
  const std::string asked = Tmp / "power-off-asked";
  const std::string started = Tmp / "shutdown-started";
  const std::string guard = Tmp / "shutdown";
  test::WriteFile(guard, "#!/bin/sh\necho \"$*\" >> '" + started + "'\n");
  ASSERT_EQ(chmod(guard.c_str(), 0755), 0);
  const std::vector<std::string> guarded = {
      "/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
      "for f in /usr/sbin/shutdown /sbin/shutdown /usr/bin/shutdown /bin/shutdown; do"
      " if [ -e \"$f\" ]; then mount --bind \"$0\" \"$f\" || exit 97; fi; done; exec \"$@\"",
      guard};
  const std::string job = Tmp / "off.ini";
  test::WriteFile(job, "[Task]\r\nSource=" + Src + "\r\nDest=" + Dst + "\r\nShutdownDone=1\r\n\r\n[Meta]\r\nName=Off\r\n");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    test::RemoveTree(Dst);
    unlink(asked.c_str());
    unlink(started.c_str());
    std::vector<std::string> env = Env();
    env.insert(env.end(), c.Env.begin(), c.Env.end());
    env.push_back("TWF_TEST_POWER_OFF_FILE=" + asked);
    TProcessResult r = Twinfold({"/task_file:" + job, "/run", "/close"}, guarded, env);
    ASSERT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_EQ(test::TreeDiff(Src, Dst), "");
    EXPECT_EQ(test::ReadFile(asked), "power-off\n") << "the program's action, once";
    EXPECT_FALSE(test::Exists(started)) << test::ReadFile(started);
    if (!c.InWindow) {
      EXPECT_NE(r.Out.find(std::string("\n") + kShutdownLine + "\n"), std::string::npos) << r.Out;
    }
  }
}

// ---------------------------------------------------------------- window module

TEST(WindowModule, LooksBesideTheProgramThenUnderLib) {
  EXPECT_EQ(WindowModuleCandidates("/usr/bin/twinfold"),
            (std::vector<std::string>{"/usr/bin/twinfold-window.so", "/usr/bin/../lib/twinfold/twinfold-window.so"}));
  EXPECT_TRUE(WindowModuleCandidates("").empty()) << "no program path, no guess in the working folder";
}

// A missing, damaged or foreign module is a reason to report, never a crash.
TEST(WindowModule, WhatCannotBeLoadedIsReported) {
  TTempDir tmp;
  test::WriteFile(tmp / "damaged.so", "not a library");
  Dl_info info{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&getpid), &info), 0);
  const std::string foreign = info.dli_fname; // the C library: it loads, but is no window module
  struct TCase {
    const char* Name;
    std::vector<std::string> Candidates;
    std::string WantError;
  };
  const std::vector<TCase> cases = {
      {"nothing there", {tmp / "a.so", tmp / "b.so"}, "twinfold-window.so was not found"},
      {"the first that exists counts", {tmp / "a.so", tmp / "damaged.so", foreign}, tmp / "damaged.so"},
      {"another library", {foreign}, foreign + " is not a twinfold window module"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const TWindowModule m = LoadWindowModule(c.Candidates);
    EXPECT_EQ(m.Main, nullptr);
    EXPECT_NE(m.Error.find(c.WantError), std::string::npos) << m.Error;
  }
}

// ---------------------------------------------------------------- single instance

// Ends an event loop when an event is posted to it (postEvent is the
// thread-safe way in).
class TQuitOnEvent : public QObject {
public:
  explicit TQuitOnEvent(QEventLoop& loop) : FLoop(loop) {}
  bool event(QEvent* e) override {
    if (e->type() != QEvent::User) return QObject::event(e);
    FLoop.quit();
    return true;
  }

private:
  QEventLoop& FLoop;
};

class SingleInstance : public CommandLineRun {
protected:
  void SetUp() override {
    CommandLineRun::SetUp();
    Runtime = Tmp / "runtime";
    test::MakeDirs(Runtime);
    chmod(Runtime.c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", Runtime.c_str(), 1);
  }
  void TearDown() override { unsetenv("XDG_RUNTIME_DIR"); }
  std::vector<std::string> InstanceEnv() const {
    auto env = Env();
    env.push_back("XDG_RUNTIME_DIR=" + Runtime);
    return env;
  }
  // Runs the program on another thread while this one runs the Qt event loop
  // (where the server answers), until the program has ended.
  TProcessResult RunBesideEventLoop(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {TWF_TWINFOLD_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    QEventLoop loop;
    TQuitOnEvent quitter(loop);
    TProcessResult result;
    std::thread child([&] {
      result = RunProcess(argv, InstanceEnv(), 60000);
      QCoreApplication::postEvent(&quitter, new QEvent(QEvent::User));
    });
    loop.exec();
    child.join();
    return result;
  }

  std::string Runtime;
};

TEST_F(SingleInstance, SecondInteractiveStartHandsOverAndRunsDoNotWait) {
  int argc = 1;
  char name[] = "twf_runctl_cli_test";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);

  TInstanceLock first;
  ASSERT_EQ(first.State(), TInstanceLock::isFirst);
  int activations = 0;
  TInstanceServer server([&] { ++activations; });
  ASSERT_TRUE(server.Listening());
  EXPECT_EQ(TInstanceLock().State(), TInstanceLock::isOtherCopy) << "a second lock in the same user sees the first";

  TProcessResult second = RunBesideEventLoop({"/task:Whatever"});
  EXPECT_EQ(second.ExitCode, 0) << second.Err;
  EXPECT_EQ(second.Err, "");
  EXPECT_EQ(activations, 1);

  // A command-line run ignores the running copy and runs.
  ASSERT_EQ(Twinfold({"/import_task:" + Job}).ExitCode, 0);
  TProcessResult run = RunBesideEventLoop({"/task:Nightly", "/run", "/close"});
  EXPECT_EQ(run.ExitCode, 0) << run.Err;
  EXPECT_EQ(activations, 1);
  EXPECT_EQ(test::TreeDiff(Src, Dst), "");
}

TEST_F(SingleInstance, ALockLeftByAnEndedCopyDoesNotCount) {
  { TInstanceLock gone; }
  // The lock file stays, unlocked: this start is the first copy again (and,
  // with no display, says so).
  TProcessResult r = RunProcess({TWF_TWINFOLD_EXE}, InstanceEnv(), 60000);
  EXPECT_EQ(r.ExitCode, 2);
  EXPECT_EQ(r.Err.rfind("twinfold: no display: ", 0), 0u) << r.Err;
}

TEST_F(SingleInstance, NobodyListeningGivesUpInTime) {
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(ActivateRunningInstance(300));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
}

} // namespace
} // namespace twf
