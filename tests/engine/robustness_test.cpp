// Real trees, hostile names and paths, failures of the file layer.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <unistd.h>

#include "engine_fixture.h"
#include "support/fault_fs.h"
#include "support/path_calls.h"
#include "platform/fs.h"
#include "platform/release.h"

using namespace twf;
using namespace twf::test;

namespace {
class RobustTest : public EngineTest {};

// A tiny tmpfs for full-disk cases; skipped where mounting is not allowed.
struct TTinyDisk {
  std::string Path;
  bool Mounted = false;
  TTinyDisk(const std::string& path, const char* size) : Path(path) {
    MakeDirs(path);
    Mounted = mount("tmpfs", path.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) == 0;
  }
  ~TTinyDisk() {
    if (Mounted) umount2(Path.c_str(), MNT_DETACH);
  }
};
} // namespace

TEST_F(RobustTest, MirrorsARealTreeThenItsChanges) {
  const char* origin = "/usr/include/linux";
  ASSERT_EQ(Shell("cp -a " + std::string(origin) + " '" + Src + "'"), 0);
  TRunResult first = Run(Opt());
  EXPECT_EQ(first.Stats.Errors, 0) << first.Text();
  EXPECT_EQ(TreeDiff(Src, Dst), "");
  EXPECT_GT(first.Stats.FilesCopied, 100);

  // Change some files, add some, delete some and a folder, then mirror again.
  RemoveTree(Src + "/netfilter");
  auto files = ListTree(Src);
  int changed = 0, removed = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    const std::string p = Src + "/" + files[i];
    if (IsDir(p)) continue;
    if (i % 7 == 0) { WriteFile(p, ReadFile(p) + "/* changed */"); ++changed; }
    else if (i % 11 == 0) { unlink(p.c_str()); ++removed; }
  }
  WriteFile(Src + "/added/new.h", "#define NEW 1\n");
  chmod((Src + "/added/new.h").c_str(), 0600);
  TRunResult second = Run(Opt());
  EXPECT_EQ(second.Stats.Errors, 0) << second.Text();
  EXPECT_GE(second.Stats.FilesCopied, changed);
  EXPECT_GE(second.Stats.FilesDeleted, removed);
  EXPECT_EQ(TreeDiff(Src, Dst), "");

  TRunResult third = Run(Opt());
  EXPECT_EQ(third.Stats.TotalOps, 0);
}

TEST_F(RobustTest, HostileNamesMirrorByteForByteAndKeepLogLinesWhole) {
  const std::vector<std::string> names = {"latin1-\xE9t\xE9", "new\nline", "tab\there", "back\\slash",
                                          "quote\"d", std::string(255, 'n'), "\xF0\x9F\x98\x80 emoji", "A.txt",
                                          "a.txt"};
  for (const auto& n : names) WriteFile(Src + "/" + n, "content of " + n);
  for (bool json : {false, true}) {
    SCOPED_TRACE(json ? "json" : "plain");
    RemoveTree(Dst);
    const std::string logPath = Tmp / "run.log";
    {
      TMirrorLogger log(logPath, true, nullptr, json);
      TMirrorEngine engine(Opt(), &log);
      engine.Run();
      EXPECT_EQ(engine.Stats().Errors, 0);
    }
    EXPECT_EQ(TreeDiff(Src, Dst), "");
    // Every file line is one log line: count the COPY lines by their ends.
    const std::string body = ReadFile(logPath);
    size_t lines = 0, copies = 0, pos = 0;
    while ((pos = body.find("\r\n", pos)) != std::string::npos) { ++lines; pos += 2; }
    pos = 0;
    while ((pos = body.find("COPY         ", pos)) != std::string::npos) { ++copies; ++pos; }
    EXPECT_EQ(copies, names.size());
    EXPECT_EQ(std::count(body.begin(), body.end(), '\n'), long(lines)); // no bare LF from a name
  }
}

TEST_F(RobustTest, DeepTreeAndPathsPastTheLimit) {
  // 1,000 folders deep, and a branch whose paths pass 4,096 bytes.
  std::string deep = Src;
  for (int i = 0; i < 1000; ++i) deep += "/d";
  MakeDirs(deep);
  WriteFile(deep + "/bottom.txt", "bottom");
  std::string rel;
  for (int i = 0; i < 30; ++i) rel += "/" + std::string(200, char('a' + i % 26));
  // WriteFile cannot reach past PATH_MAX: build the long branch through the
  // file layer, which can.
  std::string longDir = Src + "/long";
  ASSERT_EQ(RealFileSystem().CreateDirPath(longDir + rel), 0);
  const std::string longFile = longDir + rel + "/far.txt";
  WriteFile(Tmp / "far-src", "far away");
  ASSERT_EQ(test::CopyFile(RealFileSystem(), Tmp / "far-src", longFile, {}, nullptr, false, false), 0);
  ASSERT_GT(longFile.size(), 4096u);

  TRunResult r = Run(Opt());
  EXPECT_EQ(r.Stats.Errors, 0) << r.Text().substr(0, 4000);
  EXPECT_EQ(r.Stats.FilesCopied, 2);
  std::string dstDeep = Dst;
  for (int i = 0; i < 1000; ++i) dstDeep += "/d";
  TFileInfo info;
  EXPECT_EQ(RealFileSystem().Stat(dstDeep + "/bottom.txt", info), 0);
  EXPECT_EQ(RealFileSystem().Stat(Dst + "/long" + rel + "/far.txt", info), 0);
  EXPECT_EQ(info.Size, 8);

  // And everything goes again when the source loses it.
  TMirrorOptions o = Opt();
  test::DeleteFile(RealFileSystem(), longFile);
  WriteFile(Src + "/stay", "s");
  TRunResult again = Run(o);
  EXPECT_EQ(again.Stats.Errors, 0) << again.Text().substr(0, 4000);
  EXPECT_NE(RealFileSystem().Stat(Dst + "/long" + rel + "/far.txt", info), 0);
  test::DeleteFile(RealFileSystem(), Tmp / "far-src");
  // Clean up the long branch with the file layer (the test helper cannot).
  for (std::string d = Src + "/long" + rel; d.size() > Src.size(); d = d.substr(0, d.rfind('/')))
    test::RemoveDir(RealFileSystem(), d);
  for (std::string d = Dst + "/long" + rel; d.size() > Dst.size(); d = d.substr(0, d.rfind('/')))
    test::RemoveDir(RealFileSystem(), d);
}

TEST_F(RobustTest, UnlistableSourceFolderCostsTheDestinationNothing) {
  WriteFile(Src + "/ok.txt", "ok");
  WriteFile(Src + "/locked/a.txt", "a");
  WriteFile(Dst + "/locked/a.txt", "a");
  WriteFile(Dst + "/locked/only-in-dst.txt", "precious");
  WriteFile(Dst + "/locked/sub/deeper.txt", "precious too");
  // Named like a copy's temporary file, and old enough to pass for a
  // leftover: the source may hold a file of that name.
  WriteFile(Dst + "/locked/.twf-0123456789ab.part", "precious as well");
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  TFaultFileSystem fs(RealFileSystem());
  fs.FailPath(TFsCall::ListDir, Src + "/locked", EACCES);
  TRunResult r = Run(Opt(), &fs);
  EXPECT_TRUE(r.Has("ERROR        Cannot list \"" + Src + "/locked\": Permission denied")) << r.Text();
  EXPECT_EQ(r.Stats.Errors, 1);
  EXPECT_EQ(r.Stats.FilesDeleted, 0);
  EXPECT_EQ(r.Stats.DirsDeleted, 0);
  EXPECT_EQ(ReadFile(Dst + "/locked/only-in-dst.txt"), "precious");
  EXPECT_EQ(ReadFile(Dst + "/locked/sub/deeper.txt"), "precious too");
  EXPECT_EQ(ReadFile(Dst + "/locked/.twf-0123456789ab.part"), "precious as well");
}

// A root that cannot be listed, on either side, leaves the run nothing to
// judge by: it stops after the scan line with the destination untouched.
TEST_F(RobustTest, UnlistableRootRefusesTheRun) {
  struct Case {
    const char* name;
    bool source;
    std::vector<TFsCall> fail; // on the root and below
    int err;
  };
  const Case cases[] = {
      {"source", true, {TFsCall::ListDir}, EACCES},
      {"destination", false, {TFsCall::ListDir}, EACCES},
      {"destination that cannot be examined", false, {TFsCall::OpenDir}, ENOTCONN},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TTempDir t;
    TMirrorOptions o = Opt(t);
    WriteFile(o.SourceDir + "/a.txt", "a");
    WriteFile(o.DestDir + "/b.txt", "b");
    const std::string root = c.source ? o.SourceDir : o.DestDir;
    TFaultFileSystem fs(RealFileSystem());
    for (TFsCall call : c.fail) fs.FailPath(call, root, c.err);
    TRunResult r = Run(o, &fs);
    EXPECT_TRUE(r.Has("ERROR        Cannot list \"" + root + "\": " + SystemMessage(c.err))) << r.Text();
    ASSERT_FALSE(r.Lines.empty());
    EXPECT_EQ(r.Lines.back().rfind("Scan done:", 0), 0u) << r.Text();
    EXPECT_EQ(r.Stats.Errors, 1);
    EXPECT_EQ(ListTree(o.DestDir), std::vector<std::string>{"b.txt"});
  }
}

// A destination folder that cannot be listed may hold anything: nothing is
// written into it, deleted from it or removed around it, whatever the
// archive and skip-newer options would have made of what it holds.
TEST_F(RobustTest, UnlistableDestinationFolderIsLeftAlone) {
  struct Case {
    const char* name;
    bool archive, skipNewer;
  };
  const Case cases[] = {{"plain", false, false}, {"archive", true, false}, {"skip newer", false, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TTempDir t;
    TMirrorOptions o = Opt(t);
    o.ArchiveEnabled = c.archive;
    o.ArchiveDir = t / "archive";
    o.SkipNewer = c.skipNewer;
    WriteFile(o.SourceDir + "/ok.txt", "ok");
    WriteFile(o.SourceDir + "/locked/a.txt", "new a");
    WriteFile(o.SourceDir + "/locked/sub/b.txt", "b");
    WriteFile(o.SourceDir + "/shut", "a file where the destination has a folder");
    SetMTime(o.SourceDir + "/locked/a.txt", 1000000000);
    WriteFile(o.DestDir + "/locked/a.txt", "old a, newer");
    WriteFile(o.DestDir + "/locked/extra.txt", "precious");
    WriteFile(o.DestDir + "/shut/inside.txt", "precious too");
    WriteFile(o.DestDir + "/gone/stale.txt", "listed, so it goes");
    WriteFile(o.DestDir + "/gone/hidden/deep.txt", "precious three");
    const auto locked = ListTree(o.DestDir + "/locked");
    TFaultFileSystem fs(RealFileSystem());
    for (const char* rel : {"/locked", "/shut", "/gone/hidden"}) fs.FailPath(TFsCall::ListDir, o.DestDir + rel, EIO);
    TRunResult r = Run(o, &fs);
    EXPECT_EQ(r.CountPrefix("ERROR        "), 3) << r.Text();
    EXPECT_EQ(r.CountPrefix("ERROR        Cannot list \"" + o.DestDir), 3);
    EXPECT_EQ(r.Stats.Errors, 3);
    EXPECT_TRUE(r.Has("DELETE       gone/stale.txt" + std::string(c.archive ? " (archived)" : "")));
    EXPECT_EQ(r.Stats.FilesCopied, 1); // ok.txt
    EXPECT_EQ(r.Stats.FilesDeleted, 1);
    EXPECT_EQ(r.Stats.DirsCreated + r.Stats.DirsDeleted, 0);
    EXPECT_EQ(ListTree(o.DestDir + "/locked"), locked);
    EXPECT_EQ(ReadFile(o.DestDir + "/locked/a.txt"), "old a, newer");
    EXPECT_EQ(ReadFile(o.DestDir + "/shut/inside.txt"), "precious too");
    EXPECT_EQ(ReadFile(o.DestDir + "/gone/hidden/deep.txt"), "precious three");
    EXPECT_EQ(r.Stats.Archived, c.archive ? 1 : 0);
  }
}

TEST_F(RobustTest, UnreadableFolderForARealUser) {
  // As a user without rights (root reads everything), through a child
  // process, in a tree that user can reach.
  const std::string base = BaseOpenToAll();
  if (base.empty()) GTEST_SKIP() << "no temporary folder that another user can reach";
  TTempDir open(base);
  const TMirrorOptions o = Opt(open);
  WriteFile(o.SourceDir + "/ok.txt", "ok");
  WriteFile(o.SourceDir + "/private/p.txt", "p");
  WriteFile(o.DestDir + "/private/keep.txt", "k");
  chmod((o.SourceDir + "/private").c_str(), 0700);
  Shell("chmod 0777 '" + open.Path() + "' '" + o.SourceDir + "' && chown -R 65534:65534 '" + o.DestDir + "'");
  pid_t pid = fork();
  if (pid == 0) {
    if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(99);
    TMirrorLogger log("", false, nullptr, false);
    TMirrorEngine e(o, &log);
    e.Run();
    auto s = e.Stats();
    _exit(s.Errors == 1 && s.FilesDeleted == 0 && s.FilesCopied == 1 ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (WEXITSTATUS(status) == 99) GTEST_SKIP() << "cannot switch to an unprivileged user";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadFile(o.DestDir + "/private/keep.txt"), "k");
}

// On a backup disk's root, the Trash holds what earlier runs deleted: never
// mirrored away, counted or written into, from either side.
TEST_F(RobustTest, TheDestinationDisksTrashIsNotPartOfTheMirror) {
  TTinyDisk disk(Tmp / "disk", "4m");
  if (!disk.Mounted) GTEST_SKIP() << "mounting a tmpfs is not allowed here";
  TMirrorOptions o = Opt();
  o.DestDir = disk.Path;
  o.WarnMassDelete = true;
  o.WarnMassDeletePct = 60; // 1 of 2 files; 5 of 6 if the Trash counted
  WriteFile(Src + "/a.txt", "a");
  WriteFile(Src + "/.Trash-0/files/from-source.txt", "not copied into the Trash");
  WriteFile(o.DestDir + "/a.txt", "a");
  WriteFile(o.DestDir + "/extra.txt", "goes");
  const std::vector<std::string> trash = {".Trash-0/files/old.txt", ".Trash-0/info/old.txt.trashinfo",
                                          ".Trash/1000/files/y", ".Trash-1000/files/z"};
  for (const std::string& rel : trash) WriteFile(o.DestDir + "/" + rel, rel);
  SetMTime(Src + "/a.txt", 1700000000);
  SetMTime(o.DestDir + "/a.txt", 1700000000);
  TRunResult r = Run(o);
  EXPECT_EQ(r.Stats.Errors, 0) << r.Text();
  EXPECT_TRUE(r.Has("SKIP         Trash or log folder of the destination: " + Src + "/.Trash-0"));
  EXPECT_EQ(r.CountPrefix("Scan done:   source 1 file(s) / 0 folder(s), destination 2 file(s) / 0 folder(s)"), 1);
  EXPECT_EQ(r.Stats.FilesDeleted, 1);
  for (const std::string& rel : trash) EXPECT_EQ(ReadFile(o.DestDir + "/" + rel), rel);
  EXPECT_FALSE(Exists(o.DestDir + "/.Trash-0/files/from-source.txt"));
  EXPECT_FALSE(Exists(o.DestDir + "/extra.txt"));
}

// A log folder inside the destination, at the top or deep in folders the
// source does not have, is never listed, deleted, written into or removed.
TEST_F(RobustTest, ALogFolderInsideTheDestinationIsNotPartOfTheMirror) {
  struct Case {
    const char* logs;
    bool inSource; // the source has a folder of that name
  };
  for (const Case& c : {Case{"logs", true}, Case{"old/run/logs", false}}) {
    SCOPED_TRACE(c.logs);
    TTempDir t;
    TMirrorOptions o = Opt(t);
    const std::string logs = c.logs;
    o.KeepOutDirs = {t / "elsewhere", o.DestDir + "/" + logs + "/"};
    WriteFile(o.SourceDir + "/a.txt", "a");
    if (c.inSource) WriteFile(o.SourceDir + "/" + logs + "/from-source.txt", "s");
    WriteFile(o.DestDir + "/" + logs + "/Mirror_1.log", "earlier run");
    WriteFile(o.DestDir + "/old/stale.txt", "goes");
    TRunResult r = Run(o);
    // A source folder of that name cannot be mirrored: never a silent gap.
    EXPECT_EQ(r.Stats.Errors, c.inSource ? 1 : 0) << r.Text();
    EXPECT_EQ(r.Has("ERROR        Cannot mirror \"" + o.SourceDir + "/" + logs +
                    "\": the log folder lies there in the destination"),
              c.inSource);
    EXPECT_EQ(r.Stats.FilesDeleted, 1);
    EXPECT_TRUE(r.Has("DELETE       old/stale.txt"));
    EXPECT_EQ(r.Stats.DirsDeleted, c.inSource ? 1 : 0); // old goes unless it holds the logs
    EXPECT_EQ(ListTree(o.DestDir + "/" + logs), std::vector<std::string>{"Mirror_1.log"});
  }
}

// Temporary names of copies in the destination: leftovers of an interrupted
// run go (logged and counted) only once the run goes ahead, also one left a
// moment ago by a run that was killed; one that another run is writing now
// stays; a source file that has such a name is mirrored.
namespace {
// A temporary name as the run in process pid would have chosen it.
std::string CopyNameOf(pid_t pid) {
  char name[32];
  snprintf(name, sizeof name, ".twf-%012llx.part", (unsigned long long)((uint64_t(pid) << 26) | 1));
  return name;
}

pid_t EndedProcess() {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  return child;
}
} // namespace

TEST_F(RobustTest, LeftoverPartialCopies) {
  const std::string kOld = ".twf-abcdef012345.part", kOldSub = "sub/.twf-00000000ffff.part",
                    kFresh = CopyNameOf(getpid()), kKilled = CopyNameOf(EndedProcess()),
                    kUser = ".twf-0123456789ab.part";
  struct {
    const char* what;
    bool emptySource, massDelete, dryRun;
    std::vector<std::string> dstAfter;
    int leftovers;
    bool archive = false; // deleted files are archived: so is each leftover (it may have been a mirrored file)
  } cases[] = {
      {"run goes ahead", false, false, false, {"a.txt", kUser, "sub", kFresh}, 3},
      {"run goes ahead, archive on", false, false, false, {"a.txt", kUser, "sub", kFresh}, 3, true},
      {"empty source refused", true, false, false, {kOld, "sub", kOldSub, kFresh, kKilled}, 0},
      {"mass delete refused", false, true, false, {kOld, "sub", kOldSub, kFresh, kKilled, "x1.txt", "x2.txt"}, 0},
      {"dry run", false, false, true, {kOld, "sub", kOldSub, kFresh, kKilled}, 0},
  };
  // Every tree is made first: the leftovers' last change must lie more
  // than the clock margin before the runs.
  std::vector<std::unique_ptr<TTempDir>> dirs;
  for (auto& c : cases) {
    dirs.push_back(std::make_unique<TTempDir>());
    TMirrorOptions o = Opt(*dirs.back());
    MakeDirs(o.SourceDir + "/sub");
    if (!c.emptySource) {
      WriteFile(o.SourceDir + "/a.txt", "a");
      WriteFile(o.SourceDir + "/" + kUser, "a user's file that happens to have the name");
    }
    WriteFile(o.DestDir + "/" + kOld, "left by a killed run");
    WriteFile(o.DestDir + "/" + kOldSub, "another");
    if (c.massDelete) {
      WriteFile(o.DestDir + "/x1.txt", "1");
      WriteFile(o.DestDir + "/x2.txt", "2");
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  for (size_t i = 0; i < std::size(cases); ++i) {
    auto& c = cases[i];
    SCOPED_TRACE(c.what);
    TMirrorOptions o = Opt(*dirs[i]);
    o.DryRun = c.dryRun;
    o.WarnMassDelete = c.massDelete;
    o.ArchiveEnabled = c.archive;
    o.ArchiveDir = dirs[i]->Path() + "/archive";
    // While this run scans, another one starts writing a copy (and holds it
    // open), and a third one is killed part-way through its copy.
    TFaultFileSystem fs(RealFileSystem());
    std::atomic<bool> planted{false};
    int writer = -1;
    fs.SetHook([&](TFsCall kind, const std::string&) {
      if (kind == TFsCall::ListDir && !planted.exchange(true)) {
        writer = open((o.DestDir + "/" + kFresh).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        WriteFile(o.DestDir + "/" + kKilled, "left a moment ago");
      }
    });
    TRunResult r = Run(o, &fs);
    ASSERT_GE(writer, 0);
    close(writer);
    std::sort(c.dstAfter.begin(), c.dstAfter.end());
    EXPECT_EQ(ListTree(o.DestDir), c.dstAfter) << r.Text();
    EXPECT_EQ(r.Stats.Leftovers, c.leftovers);
    EXPECT_EQ(r.CountPrefix("CLEANUP      "), c.leftovers);
    if (c.leftovers > 0) {
      EXPECT_TRUE(r.Has("CLEANUP      " + kOldSub + " (partial copy of an interrupted run" +
                        (c.archive ? ", archived)" : ")")))
          << r.Text();
      if (c.archive) {
        EXPECT_EQ(r.Stats.Archived, 3);
        auto runs = ListTree(o.ArchiveDir);
        ASSERT_FALSE(runs.empty());
        EXPECT_EQ(ReadFile(o.ArchiveDir + "/" + runs[0] + "/deleted/" + kOld), "left by a killed run");
      }
      EXPECT_TRUE(r.Has("Leftovers:   3 partial copy(ies) of an interrupted run removed"));
      EXPECT_EQ(r.Stats.Errors, 0);
      EXPECT_EQ(r.Stats.FilesDeleted, 0);
      EXPECT_EQ(r.Stats.FilesCopied, 2);
      // The user's file is a mirror like any other from now on.
      TRunResult again = Run(o);
      EXPECT_EQ(again.Stats.TotalOps, 0) << again.Text();
      EXPECT_EQ(ReadFile(o.DestDir + "/" + kUser), "a user's file that happens to have the name");
    }
  }
}

// The archive usually lies on another disk than the destination: a
// dangling link or a FIFO displaced there is moved as itself, never
// followed or opened.
TEST_F(RobustTest, OdditiesAreArchivedOnAnotherDisk) {
  TTinyDisk disk(Tmp / "disk", "4m");
  if (!disk.Mounted) GTEST_SKIP() << "mounting a tmpfs is not allowed here";
  TMirrorOptions o = Opt();
  o.ArchiveEnabled = true;
  o.ArchiveDir = disk.Path + "/archive";
  WriteFile(Src + "/keep.txt", "k");
  WriteFile(Src + "/x", "replaces a link");
  MakeDirs(Dst + "/gone");
  symlink((Tmp / "nowhere").c_str(), (Dst + "/gone/dangling").c_str());
  mkfifo((Dst + "/gone/fifo").c_str(), 0644);
  symlink((Tmp / "nowhere2").c_str(), (Dst + "/x").c_str());
  WriteFile(Tmp / "target.txt", "outside the destination");
  symlink((Tmp / "target.txt").c_str(), (Dst + "/gone/tofile").c_str());
  TRunResult r = Run(o);
  EXPECT_EQ(r.Stats.Errors, 0) << r.Text();
  EXPECT_EQ(r.Stats.Archived, 4);
  EXPECT_EQ(ReadFile(Tmp / "target.txt"), "outside the destination");
  EXPECT_EQ(ListTree(Dst), (std::vector<std::string>{"keep.txt", "x"}));
  EXPECT_EQ(ReadFile(Dst + "/x"), "replaces a link");
  EXPECT_FALSE(Exists(Tmp / "nowhere2"));
  EXPECT_EQ(ShellOut("find '" + o.ArchiveDir + "' -type p | wc -l"), "1\n");
  EXPECT_EQ(ShellOut("find '" + o.ArchiveDir + "' -type l | wc -l"), "3\n");
}

TEST_F(RobustTest, FileVanishingBeforeItsCopy) {
  WriteFile(Src + "/stays.txt", "s");
  WriteFile(Src + "/vanishes.txt", "v");
  TFaultFileSystem fs(RealFileSystem());
  fs.SetHook([&](TFsCall kind, const std::string& path) {
    // A copy starts by opening its source.
    if (kind == TFsCall::OpenRead && path == Src + "/vanishes.txt") unlink(path.c_str());
  });
  TRunResult r = Run(Opt(), &fs);
  EXPECT_TRUE(r.Has("ERROR        Copy failed \"vanishes.txt\": No such file or directory")) << r.Text();
  EXPECT_EQ(ReadFile(Dst + "/stays.txt"), "s");
  EXPECT_EQ(ListTree(Dst), std::vector<std::string>{"stays.txt"});
}

// A line that cannot be reported (a log file on a full disk, a window that
// failed) ends its own operation only: the other files of its folder are
// still mirrored, the failure is one error, and no descriptor stays open.
TEST_F(RobustTest, AFailingLogLineEndsOnlyItsOwnOperation) {
  struct {
    const char* what;
    const char* line; // the one report that throws
    TCompareMode mode;
  } cases[] = {
      {"copy", "COPY         d/f03 (3 B)", cmSizeDate},
      {"delete", "DELETE       d/x03", cmSizeDate},
      {"content check", "DIFF         d/f03 (content)", cmBinary},
  };
  auto openFds = [] { return ListTree("/proc/self/fd").size(); };
  // The process's own closer of deleted files keeps its ring and wake-up
  // open for good: it is set up before counting.
  ReleasesInBackground();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TTempDir t;
    TMirrorOptions o = Opt(t);
    o.CompareMode = c.mode;
    o.Workers = 1;
    for (const char* n : {"00", "01", "02", "03", "04", "05", "06", "07"}) {
      WriteFile(o.SourceDir + "/d/f" + n, "new");
      if (c.mode == cmBinary) WriteFile(o.DestDir + "/d/f" + n, "old");
      WriteFile(o.DestDir + "/d/x" + n, "extra");
    }
    const size_t fdsBefore = openFds();
    std::vector<std::string> lines;
    std::mutex m;
    bool thrown = false;
    int errors = -1;
    {
      TMirrorLogger log("", false,
                        [&](const std::string& stamped) {
                          std::lock_guard<std::mutex> g(m);
                          lines.push_back(stamped.substr(25));
                          if (!thrown && lines.back() == c.line) {
                            thrown = true;
                            throw std::runtime_error("the log cannot be written");
                          }
                        },
                        false);
      TMirrorEngine engine(o, &log);
      engine.Run();
      errors = engine.Stats().Errors;
    }
    std::string text;
    for (const auto& l : lines) text += l + "\n";
    EXPECT_TRUE(thrown) << text;
    EXPECT_EQ(TreeDiff(o.SourceDir, o.DestDir), "") << text;
    EXPECT_EQ(errors, 1) << text;
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "ERROR        Unexpected: the log cannot be written"), 1)
        << text;
    EXPECT_EQ(openFds(), fdsBefore);
  }
}

// A retry line that cannot be written ends that file's copy: nothing of
// the failed attempt is kept or named, the old version stays where it is
// (not archived), and the run counts the one failure.
TEST_F(RobustTest, AFailingRetryLineLeavesTheOldVersionInPlace) {
  WriteFile(Src + "/d/f", "new");
  WriteFile(Dst + "/d/f", "old");
  SetMTime(Dst + "/d/f", 1);
  TMirrorOptions o = Opt();
  o.Workers = 1;
  o.RetryLocked = true;
  o.VerifyHash = vhXXH3_64;
  o.ArchiveEnabled = true;
  o.ArchiveDir = Tmp / "archive";
  TFaultFileSystem fs(RealFileSystem());
  fs.FailNth(TFsCall::CopyFile, 1, EBUSY);
  std::vector<std::string> lines;
  int errors = -1;
  int64_t bytes = -1;
  {
    TMirrorLogger log("", false,
                      [&](const std::string& stamped) {
                        lines.push_back(stamped.substr(25));
                        if (lines.back().rfind("RETRY", 0) == 0) throw std::runtime_error("the log cannot be written");
                      },
                      false);
    TMirrorEngine engine(o, &log, &fs);
    engine.Run();
    errors = engine.Stats().Errors;
    bytes = engine.Stats().BytesCopied;
  }
  std::string text;
  for (const auto& l : lines) text += l + "\n";
  EXPECT_EQ(ReadFile(Dst + "/d/f"), "old") << text;
  EXPECT_EQ(ListTree(Dst + "/d"), std::vector<std::string>{"f"});
  EXPECT_FALSE(Exists(o.ArchiveDir)) << text;
  EXPECT_EQ(errors, 1) << text;
  EXPECT_EQ(bytes, 0);
}

TEST_F(RobustTest, FullDestinationDisk) {
  TTinyDisk disk(Tmp / "tiny", "1m");
  if (!disk.Mounted) GTEST_SKIP() << "mounting a tmpfs is not allowed here";
  WriteFile(Src + "/a-small.txt", "small");
  WriteFile(Src + "/b-big.bin", std::string(3 * 1024 * 1024, 'b'));
  WriteFile(Src + "/c-small.txt", "small too");
  TMirrorOptions o = Opt();
  o.DestDir = disk.Path + "/dst";
  o.Workers = 1;
  // The free-space check would refuse the run up front; fail inside the copy instead.
  class TLyingDisk : public TFaultFileSystem {
  public:
    using TFaultFileSystem::TFaultFileSystem;
    int64_t FreeSpace(const std::string&) override { return -1; }
  } fs(RealFileSystem());
  TRunResult r = Run(o, &fs);
  EXPECT_TRUE(r.Has("ERROR        Copy failed \"b-big.bin\": No space left on device")) << r.Text();
  EXPECT_EQ(r.Stats.FilesCopied, 2);
  EXPECT_EQ(ListTree(o.DestDir), (std::vector<std::string>{"a-small.txt", "c-small.txt"}));
  EXPECT_TRUE(r.Has("--- Summary ---"));

  // Without the lie, the check refuses before copying anything.
  RemoveTree(o.DestDir);
  TRunResult refused = Run(o);
  EXPECT_EQ(refused.CountPrefix("ERROR        Not enough free space on the destination"), 1) << refused.Text();
}

// Every call of the file layer may fail; whatever fails, the run ends
// cleanly, the source is untouched, and a later clean run completes the mirror.
TEST_F(RobustTest, AnySingleFailureLosesNothing) {
  WriteFile(Src + "/a.txt", "a");
  WriteFile(Src + "/sub/b.txt", "b");
  WriteFile(Src + "/sub/deep/c.txt", "c");
  WriteFile(Src + "/new/d.txt", "d");
  const std::string pristine = Tmp / "pristine";
  ASSERT_EQ(Shell("cp -a '" + Src + "' '" + pristine + "'"), 0);
  const TFsCall kinds[] = {TFsCall::ListDir, TFsCall::Stat,    TFsCall::DeleteFile, TFsCall::RemoveDir,
                           TFsCall::CreateDir, TFsCall::CreateDirPath, TFsCall::CopyFile, TFsCall::MoveFile,
                           TFsCall::OpenRead, TFsCall::Read, TFsCall::IsDirectory, TFsCall::OpenDir,
                           TFsCall::NameCopy};
  for (TFsCall kind : kinds) {
    for (uint64_t n = 1; n < 50; ++n) {
      SCOPED_TRACE(std::string(FsCallName(kind)) + " #" + std::to_string(n));
      // Destination: an older mirror with changes, extras and a stale folder.
      RemoveTree(Dst);
      WriteFile(Dst + "/a.txt", "old a");
      WriteFile(Dst + "/sub/b.txt", "b");
      SetMTime(Dst + "/sub/b.txt", 1, 0);
      WriteFile(Dst + "/gone/x.txt", "x");
      WriteFile(Dst + "/sub/extra.txt", "e");
      TMirrorOptions o = Opt();
      o.VerifyHash = vhXXH3_64;
      o.ArchiveEnabled = (n % 2) == 0;
      o.ArchiveDir = Tmp / "archive";
      TFaultFileSystem fs(RealFileSystem());
      fs.FailNth(kind, n, EIO);
      TRunResult r = Run(o, &fs);
      const bool fired = fs.Calls(kind) >= n;
      EXPECT_EQ(TreeDiff(Src, pristine), "");
      if (!fired) {
        EXPECT_EQ(r.Stats.Errors, 0) << r.Text();
        EXPECT_EQ(TreeDiff(Src, Dst), "");
        break;
      }
      TRunResult clean = Run(Opt());
      EXPECT_EQ(clean.Stats.Errors, 0) << clean.Text();
      EXPECT_EQ(TreeDiff(Src, Dst), "");
      // Archived files are never lost: what left the destination is in the archive.
      if (o.ArchiveEnabled && Exists(Tmp / "archive")) RemoveTree(Tmp / "archive");
    }
  }
}

// A deleted or replaced file gives its space back only a moment after its
// name is gone (its last close happens in the background). A run whose
// copies need that space, on a file system only just big enough, still
// gets it: every copy is made, none fails for want of space.
TEST_F(RobustTest, TheSpaceOfRemovedFilesIsThereForTheCopies) {
  struct TCase {
    const char* What;
    const char* NewName; // of the source files; the destination holds old*
  };
  for (const TCase& c : {TCase{"deleted", "new"}, TCase{"replaced", "old"}}) {
    SCOPED_TRACE(c.What);
    TTempDir t;
    TScratchMount m(t / "dst", "tmpfs", "size=1m");
    TWF_REQUIRE_MOUNT(m);
    TMirrorOptions o = Opt(t);
    for (int i = 0; i < 8; ++i) {
      WriteFile(o.DestDir + "/old" + std::to_string(i), std::string(100 * 1024, 'o'));
      WriteFile(o.SourceDir + "/" + c.NewName + std::to_string(i), std::string(100 * 1024 + 1, 'n'));
    }
    const TRunResult r = Run(o);
    EXPECT_EQ(r.Stats.Errors, 0) << r.Text();
    EXPECT_EQ(TreeDiff(o.SourceDir, o.DestDir), "") << r.Text();
  }
}
