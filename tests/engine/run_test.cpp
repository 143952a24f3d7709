// The run pipeline: header, refusals, safety checks, summary.
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "engine/parallel.h"
#include "engine_fixture.h"
#include "support/fault_fs.h"

using namespace twf;
using namespace twf::test;

namespace {

class RunTest : public EngineTest {};

// Reports a fixed amount of free space.
class TSmallDisk : public TFaultFileSystem {
public:
  TSmallDisk(int64_t free) : TFaultFileSystem(RealFileSystem()), Free(free) {}
  int64_t FreeSpace(const std::string&) override { return Free; }
  int64_t Free;
};

} // namespace

TEST_F(RunTest, HeaderAndSummaryOfACleanRun) {
  WriteFile(Src + "/a.txt", "hello");
  WriteFile(Src + "/sub/b.txt", "");
  TMirrorOptions o = Opt();
  o.AppVersion = "1.2.3.4";
  o.TaskName = "";
  o.StartedBy = "test";
  TRunResult r = Run(o);
  ASSERT_GE(r.Lines.size(), 10u) << r.Text();
  EXPECT_EQ(r.Lines[0], "=== Quarlex Twinfold started ===");
  EXPECT_EQ(r.Lines[1], "App Version: 1.2.3.4");
  EXPECT_EQ(r.Lines[2], "Task Name:   Untitled");
  EXPECT_EQ(r.Lines[3], "Started by:  test");
  EXPECT_EQ(r.Lines[4], "Source:      " + Src);
  EXPECT_EQ(r.Lines[5], "Destination: " + Dst);
  EXPECT_TRUE(r.Has("Compare by:  size + last-modified date"));
  EXPECT_TRUE(r.Has("Workers:     4"));
  EXPECT_TRUE(r.Has("Action:      Mirror"));
  EXPECT_TRUE(r.Has("Plan:        copy 2, delete 0, create 1 folder(s), remove 0 folder(s), 0 identical file(s) skipped"));
  EXPECT_TRUE(r.Has("--- Syncing operations ---"));
  EXPECT_TRUE(r.Has("COPY         a.txt (5 B)"));
  EXPECT_TRUE(r.Has("MKDIR        sub"));
  EXPECT_TRUE(r.Has("Copied:      2 file(s), 5 B"));
  EXPECT_TRUE(r.Has("Errors:      0"));
  EXPECT_EQ(r.Lines.back(), "=== Quarlex Twinfold finished ===");
  EXPECT_EQ(r.Stats.Phase, "Done");
  EXPECT_EQ(r.Stats.TotalOps, 3);
  EXPECT_EQ(r.Stats.DoneOps, 3);
  EXPECT_EQ(TreeDiff(Src, Dst), "");

  // Second run: nothing to do, no syncing section.
  TRunResult again = Run(Opt());
  EXPECT_FALSE(again.Has("--- Syncing operations ---"));
  EXPECT_TRUE(again.Has("Skipped:     2 identical file(s)"));
  EXPECT_EQ(again.Stats.Phase, "Done");
}

TEST_F(RunTest, Refusals) {
  struct Case {
    const char* name;
    std::function<void(TMirrorOptions&, const std::string& tmp)> setup;
    std::string error; // without "ERROR        "
    const char* phase;
  };
  const Case cases[] = {
      {"source missing", [](TMirrorOptions& o, const std::string& t) { o.SourceDir = t + "/nope"; },
       "Source folder does not exist: ", "Preparing"},
      {"same folder", [](TMirrorOptions& o, const std::string&) { o.DestDir = o.SourceDir + "/"; },
       "Source and destination overlap - refusing to run", "Preparing"},
      {"destination inside source", [](TMirrorOptions& o, const std::string&) { o.DestDir = o.SourceDir + "/in"; },
       "Source and destination overlap - refusing to run", "Preparing"},
      {"source inside destination",
       [](TMirrorOptions& o, const std::string& t) { o.DestDir = t; },
       "Source and destination overlap - refusing to run", "Preparing"},
      {"destination inside source through a link",
       [](TMirrorOptions& o, const std::string& t) {
         symlink(o.SourceDir.c_str(), (t + "/link").c_str());
         o.DestDir = t + "/link/sub";
       },
       "Source and destination overlap - refusing to run", "Preparing"},
      {"destination is a file",
       [](TMirrorOptions& o, const std::string& t) {
         WriteFile(t + "/file", "keep me");
         o.DestDir = t + "/file";
       },
       "Destination is not a folder: ", "Preparing"},
      {"empty source, destination with files",
       [](TMirrorOptions& o, const std::string&) {
         RemoveTree(o.SourceDir + "/a");
         MakeDirs(o.SourceDir + "/only-folders");
         WriteFile(o.DestDir + "/x", "x");
       },
       "The source contains no files but the destination has 1 - refusing to mirror, as this would wipe the "
       "destination (if this is really intended, empty the destination manually)",
       "Scanning"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TTempDir t;
    TMirrorOptions o = Opt(t);
    WriteFile(o.SourceDir + "/a", "a");
    c.setup(o, t.Path());
    TRunResult r = Run(o);
    ASSERT_EQ(r.CountPrefix("ERROR        "), 1) << r.Text();
    const std::string err = r.Lines.back();
    EXPECT_EQ(err.compare(0, 13 + c.error.size(), "ERROR        " + c.error), 0) << err;
    EXPECT_EQ(r.Stats.Errors, 1);
    EXPECT_EQ(r.Stats.Phase, c.phase);
    EXPECT_FALSE(r.Has("--- Summary ---"));
  }
  // Nothing was touched by any refusal.
  TTempDir t;
  WriteFile(t / "file", "keep me");
  TMirrorOptions o = Opt();
  WriteFile(Src + "/a", "a");
  o.DestDir = t / "file";
  Run(o);
  EXPECT_EQ(ReadFile(t / "file"), "keep me");
}

TEST_F(RunTest, SiblingWithCommonPrefixIsNoOverlap) {
  WriteFile(Src + "/a", "a");
  TMirrorOptions o = Opt();
  o.DestDir = Src + "2";
  TRunResult r = Run(o);
  EXPECT_EQ(r.Stats.Errors, 0) << r.Text();
  EXPECT_EQ(ReadFile(Src + "2/a"), "a");
}

TEST_F(RunTest, EmptySourceAndDestinationIsRefused) {
  MakeDirs(Src);
  TRunResult r = Run(Opt());
  EXPECT_EQ(r.Lines.back(), "ERROR        The source contains no files, nothing to mirror");
}

TEST_F(RunTest, MassDeleteGuard) {
  struct Case {
    const char* name;
    int dstFiles, toDelete, pct;
    bool dry;
    int confirm; // -1 no callback, 0 declined, 1 confirmed
    bool asked, proceeds;
  };
  const Case cases[] = {
      {"exactly at the threshold", 16, 4, 25, false, 1, true, true},
      {"below the threshold", 16, 3, 25, false, 1, false, true},
      {"threshold 0 acts as 25", 16, 4, 0, false, 1, true, true},
      {"threshold 150 acts as 25", 16, 3, 150, false, 1, false, true},
      {"declined", 16, 8, 25, false, 0, true, false},
      {"no way to ask", 16, 8, 25, false, -1, false, false},
      {"dry run never asks", 16, 16, 25, true, 0, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TTempDir t;
    TMirrorOptions o = Opt(t);
    o.WarnMassDelete = true;
    o.WarnMassDeletePct = c.pct;
    o.DryRun = c.dry;
    WriteFile(o.SourceDir + "/keep0", "k");
    for (int i = 0; i < c.dstFiles; ++i) {
      const std::string name = "/f" + std::to_string(i);
      WriteFile(o.DestDir + name, "x");
      if (i >= c.toDelete) WriteFile(o.SourceDir + name, "x");
    }
    std::string question;
    TMirrorEngine::TConfirm confirm;
    if (c.confirm >= 0)
      confirm = [&](const std::string& q) {
        question = q;
        return c.confirm == 1;
      };
    TRunResult r = Run(o, nullptr, confirm);
    EXPECT_EQ(!question.empty(), c.asked) << r.Text();
    const int p = (c.toDelete * 100 + c.dstFiles / 2) / c.dstFiles;
    if (c.asked) {
      EXPECT_EQ(question, std::to_string(p) + "% of files in destination will be deleted.\r\n\r\nContinue?");
    }
    EXPECT_EQ(r.Has("--- Summary ---"), c.proceeds) << r.Text();
    if (c.confirm == 0 && c.asked) {
      EXPECT_EQ(r.Lines.back(), "Aborted:     mass-delete warning declined by user");
      EXPECT_EQ(r.Stats.Phase, "Aborted");
      EXPECT_EQ(r.Stats.Errors, 0);
    }
    if (c.confirm == -1 && !c.proceeds) {
      EXPECT_EQ(r.Lines.back(), "ERROR        Refusing to run: 8 of 16 destination files (50%) would be deleted "
                                "(threshold: 25%) and no interactive confirmation is possible");
    }
    if (c.asked && c.proceeds) {
      EXPECT_TRUE(r.Has("Warning:     " + std::to_string(c.toDelete) + " of 16 destination files (" +
                        std::to_string(p) + "%) will be deleted (threshold: 25%) [confirmed by user]"));
    }
    // Nothing was deleted unless the run went on for real.
    EXPECT_EQ(Exists(o.DestDir + "/f0"), !(c.proceeds && !c.dry));
  }
}

TEST_F(RunTest, FreeSpaceCheck) {
  WriteFile(Src + "/new", std::string(1000, 'n'));
  WriteFile(Src + "/changed", std::string(300, 'c'));
  WriteFile(Dst + "/changed", std::string(200, 'o'));
  WriteFile(Dst + "/gone", std::string(100, 'g'));
  // 1300 to copy; 200 overwritten and 100 deleted count as available.
  {
    TSmallDisk fs(1000);
    TRunResult r = Run(Opt(), &fs);
    EXPECT_TRUE(r.Has("Copied:      2 file(s), 1.27 KB")) << r.Text(); // equality passes
  }
  RemoveTree(Dst);
  WriteFile(Dst + "/changed", std::string(200, 'o'));
  WriteFile(Dst + "/gone", std::string(100, 'g'));
  {
    TSmallDisk fs(999);
    TRunResult r = Run(Opt(), &fs);
    EXPECT_EQ(r.Lines.back(), "ERROR        Not enough free space on the destination: about 1 B more is needed "
                              "(1.27 KB to copy, 1.27 KB available after deletions)");
    EXPECT_TRUE(Exists(Dst + "/gone"));
  }
  {
    TMirrorOptions o = Opt();
    o.DryRun = true;
    TSmallDisk fs(0);
    EXPECT_TRUE(Run(o, &fs).Has("--- Summary ---"));
  }
}

TEST_F(RunTest, OptionLines) {
  WriteFile(Src + "/a", "a");
  TMirrorOptions o = Opt();
  o.ExcludeEnabled = true;
  o.ExcludePatterns = "*.tmp\r\n\r\n  [bad\n*.bak  ";
  o.ExcludeEmpty = o.ExcludeHiddenSysFiles = o.ExcludeHiddenDirs = o.PreserveAcl = o.SkipNewer = true;
  o.RecycleDeletes = true;
  o.ExcludeLargerMB = 2;
  o.VerifyHash = vhXXH3_128;
  o.DryRun = true;
  o.ArchiveEnabled = true;
  o.ArchiveDir = Tmp / "arch";
  TRunResult r = Run(o);
  EXPECT_TRUE(r.Has("ERROR        Invalid exclusion pattern \"[bad\" - ignored ('[bad' is an invalid mask at (1))"))
      << r.Text();
  EXPECT_TRUE(r.Has("Exclude:     2 wildcard pattern(s)"));
  EXPECT_TRUE(r.Has("Exclude:     empty (0-byte) files"));
  EXPECT_TRUE(r.Has("Exclude:     files larger than 2.00 MB"));
  EXPECT_TRUE(r.Has("Verify:      each copied file re-read (xxHash3-128)"));
  EXPECT_TRUE(r.Has("Delete:      to the Recycle Bin (undo possible)"));
  EXPECT_TRUE(r.Has("Action:      Dry run, nothing will actually be changed"));
  EXPECT_EQ(r.CountPrefix("Archive:     displaced files go to " + Tmp.Path() + "/arch/20"), 1);
  EXPECT_FALSE(Exists(Tmp / "arch"));
  EXPECT_FALSE(Exists(Dst));
  EXPECT_EQ(r.Stats.Errors, 1);
}

TEST_F(RunTest, CancelBeforeRunStopsAtTheScan) {
  WriteFile(Src + "/a", "a");
  TRunResult r = Run(Opt(), nullptr, {}, [](TMirrorEngine& e) {
    e.Cancel();
    e.Cancel();
  });
  EXPECT_EQ(r.Lines.back(), "CANCELLED    during scan");
  EXPECT_EQ(r.Stats.Phase, "Cancelled");
  EXPECT_FALSE(Exists(Dst));
}

TEST(ParallelForEach, RunsEachIndexOnce) {
  std::atomic<int32_t> cancel{0};
  std::vector<std::string> errors;
  std::mutex m;
  auto onError = [&](const char* what) {
    std::lock_guard<std::mutex> g(m);
    errors.push_back(what);
  };
  for (int workers : {0, 1, 3, 64}) {
    std::vector<std::atomic<int>> hits(5);
    ParallelForEach(5, workers, cancel, [&](int32_t i) { hits[size_t(i)]++; }, onError);
    for (auto& h : hits) EXPECT_EQ(h.load(), 1) << workers;
  }
  // An exception in a body becomes an error; the other indexes still run.
  std::atomic<int> ran{0};
  ParallelForEach(
      10, 4, cancel,
      [&](int32_t i) {
        ran++;
        if (i == 3) throw std::runtime_error("boom");
      },
      onError);
  EXPECT_EQ(ran.load(), 10);
  EXPECT_EQ(errors, std::vector<std::string>{"boom"});
  // Cancelled: no index runs.
  cancel = 1;
  ParallelForEach(10, 4, cancel, [&](int32_t) { ran++; }, onError);
  EXPECT_EQ(ran.load(), 10);
}
