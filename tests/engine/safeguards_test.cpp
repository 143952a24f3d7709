// Archive of displaced files, hash verification, ACL copying.
#include <fcntl.h>
#include <sys/stat.h>

#include "engine/xxh3.h"
#include "engine_fixture.h"
#include "support/fault_fs.h"
#include "platform/fs.h"

using namespace twf;
using namespace twf::test;

namespace {
class SafeguardTest : public EngineTest {};

// The one run folder below root.
std::string OnlyRunFolder(const std::string& root) {
  auto items = ListTree(root);
  return items.empty() ? "" : root + "/" + items.front();
}
} // namespace

TEST_F(SafeguardTest, ArchiveKeepsDeletedAndOverwrittenFiles) {
  WriteFile(Src + "/keep", "k");
  WriteFile(Src + "/sub/changed.txt", "the new version");
  WriteFile(Dst + "/sub/changed.txt", "old version");
  WriteFile(Dst + "/gone1", "g1");
  WriteFile(Dst + "/sub/deeper/gone2", "g2");
  TMirrorOptions o = Opt();
  o.ArchiveEnabled = true;
  o.RecycleDeletes = true; // archiving wins over the Trash
  o.ArchiveDir = Tmp / "archive";
  TRunResult r = Run(o);
  EXPECT_TRUE(r.Has("Archived:    3 file(s)")) << r.Text();
  EXPECT_TRUE(r.Has("Deleted:     2 file(s)"));
  EXPECT_TRUE(r.Has("DELETE       gone1 (archived)"));
  EXPECT_TRUE(r.Has("ARCHIVE      sub/changed.txt (old version)"));
  const std::string run = OnlyRunFolder(Tmp / "archive");
  ASSERT_FALSE(run.empty());
  EXPECT_EQ(r.CountPrefix("Archive:     displaced files go to " + run), 1);
  EXPECT_EQ(ReadFile(run + "/deleted/gone1"), "g1");
  EXPECT_EQ(ReadFile(run + "/deleted/sub/deeper/gone2"), "g2");
  EXPECT_EQ(ReadFile(run + "/changed/sub/changed.txt"), "old version");
  EXPECT_EQ(ReadFile(Dst + "/sub/changed.txt"), "the new version");
  EXPECT_EQ(TreeDiff(Src, Dst), "");
}

// The filters judge each side's file alone: an old version they hide is
// still overwritten by its source file, and must reach the archive first.
TEST_F(SafeguardTest, AnOldVersionTheFiltersHideIsArchivedWhenReplaced) {
  const std::string big(1048577, 'o');
  struct Case {
    const char* name;
    std::string src, dst;
    bool excludeEmpty;
    int32_t largerMB;
    bool dstNewer; // by an hour, with skip-newer on
    bool archived; // else the destination keeps its file
  };
  const Case cases[] = {
      {"an empty old version", "new", "", true, 0, false, true},
      {"an old version above the size limit", "new", big, false, 1, false, true},
      {"a newer one is kept by skip-newer", "new", "", true, 0, true, false},
      {"hidden on both sides: left alone", "", "", true, 0, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TTempDir t;
    TMirrorOptions o = Opt(t);
    o.ArchiveEnabled = true;
    o.ArchiveDir = t / "archive";
    o.ExcludeEmpty = c.excludeEmpty;
    o.ExcludeLargerMB = c.largerMB;
    o.SkipNewer = c.dstNewer;
    WriteFile(o.SourceDir + "/other", "o");
    WriteFile(o.SourceDir + "/a.bin", c.src);
    WriteFile(o.DestDir + "/a.bin", c.dst);
    SetMTime(o.SourceDir + "/a.bin", 1700000000);
    SetMTime(o.DestDir + "/a.bin", 1700000000 + (c.dstNewer ? 3600 : 0));
    TRunResult r = Run(o);
    EXPECT_EQ(r.Stats.Errors, 0) << r.Text();
    EXPECT_EQ(r.Stats.FilesDeleted, 0);
    // A file the filters hide is no destination file on the scan line.
    EXPECT_EQ(r.CountPrefix("Scan done:   source " + std::to_string(c.src.empty() ? 1 : 2) +
                            " file(s) / 0 folder(s), destination 0 file(s) / 0 folder(s)"),
              1);
    if (c.archived) {
      EXPECT_TRUE(r.Has("ARCHIVE      a.bin (old version)"));
      EXPECT_EQ(ReadFile(OnlyRunFolder(o.ArchiveDir) + "/changed/a.bin"), c.dst);
      EXPECT_EQ(ReadFile(o.DestDir + "/a.bin"), c.src);
    } else {
      EXPECT_FALSE(Exists(o.ArchiveDir));
      EXPECT_EQ(ReadFile(o.DestDir + "/a.bin"), c.dst);
    }
    EXPECT_EQ(r.Has("KEEP         newer in destination: a.bin"), c.dstNewer);
  }
}

TEST_F(SafeguardTest, ArchiveNothingCreatesNothing) {
  WriteFile(Src + "/a", "a");
  TMirrorOptions o = Opt();
  o.ArchiveEnabled = true;
  o.ArchiveDir = Tmp / "archive";
  Run(o);
  EXPECT_FALSE(Exists(Tmp / "archive"));
}

// Whatever fails around an overwrite, the name keeps its old version: in
// place when it cannot go to the archive, back from the archive when the
// new version cannot take its name.
TEST_F(SafeguardTest, FailedArchiveKeepsTheOldVersionInPlace) {
  struct Case {
    const char* name;
    TFsCall kind;
    int err;
    bool persistent;
    std::vector<std::string> errors;
    bool deleted; // d went to the archive
  };
  const Case cases[] = {
      {"the move to the archive fails", TFsCall::MoveFile, EACCES, true,
       {"ERROR        Archive failed \"f\": Permission denied", "ERROR        Archive failed \"d\": Permission denied"},
       false},
      {"the new version cannot take its name", TFsCall::NameCopy, ENOSPC, false,
       {"ERROR        Copy failed \"f\": No space left on device"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TTempDir t;
    TMirrorOptions o = Opt(t);
    WriteFile(o.SourceDir + "/f", "newer");
    WriteFile(o.DestDir + "/f", "old");
    WriteFile(o.DestDir + "/d", "to delete");
    o.ArchiveEnabled = true;
    o.ArchiveDir = t / "archive";
    TFaultFileSystem fs(RealFileSystem());
    fs.FailNth(c.kind, 1, c.err, c.persistent);
    TRunResult r = Run(o, &fs);
    for (const std::string& e : c.errors) EXPECT_TRUE(r.Has(e)) << r.Text();
    EXPECT_EQ(r.Stats.Errors, int(c.errors.size()));
    EXPECT_EQ(ReadFile(o.DestDir + "/f"), "old");
    EXPECT_FALSE(r.Has("ARCHIVE      f (old version)"));
    EXPECT_FALSE(Exists(OnlyRunFolder(o.ArchiveDir) + "/changed/f"));
    EXPECT_EQ(Exists(o.DestDir + "/d"), !c.deleted);
    EXPECT_EQ(r.Stats.FilesDeleted, c.deleted ? 1 : 0);
    EXPECT_EQ(r.Stats.Archived, c.deleted ? 1 : 0);
    EXPECT_EQ(r.Stats.DoneOps, r.Stats.TotalOps);
  }
}

TEST_F(SafeguardTest, VerifiedCopiesNameTheirDigest) {
  WriteFile(Src + "/a.bin", std::string(100000, 'a'));
  for (TVerifyHash w : {vhXXH3_64, vhXXH3_128}) {
    RemoveTree(Dst);
    TMirrorOptions o = Opt();
    o.VerifyHash = w;
    TRunResult r = Run(o);
    EXPECT_TRUE(r.Has("VERIFY       a.bin [" + HashBytes(std::string(100000, 'a'), w) + "]")) << r.Text();
    EXPECT_TRUE(r.Has("Verified:    1 file(s)"));
  }
}

// The device "loses" the write: what is read back differs from what was
// written. The copy is read back before it gets its name, so the bad copy
// is removed unnamed and the name keeps what it held (nothing, for a new
// file; the old version, not archived, for a changed one).
TEST_F(SafeguardTest, CorruptedCopyIsRemovedBeforeItTakesTheName) {
  class TLosingDevice : public TFaultFileSystem {
  public:
    using TFaultFileSystem::TFaultFileSystem;
    std::string Bad;
    int OpenCopyForReading(TPendingCopy& copy, int dir, const std::string& name, bool dropCache, int& fd) override {
      int err = TFaultFileSystem::OpenCopyForReading(copy, dir, name, dropCache, fd);
      if (err == 0) {
        // What the device gives back instead.
        Close(fd);
        fd = open(Bad.c_str(), O_RDONLY | O_CLOEXEC);
      }
      return err;
    }
  };
  for (const bool changed : {false, true}) {
    SCOPED_TRACE(changed ? "changed file, archive on" : "new file");
    RemoveTree(Src);
    RemoveTree(Dst);
    RemoveTree(Tmp / "archive");
    WriteFile(Src + "/a.bin", "good content");
    if (changed) {
      WriteFile(Dst + "/a.bin", "old version");
      SetMTime(Dst + "/a.bin", 1);
    }
    TMirrorOptions o = Opt();
    o.VerifyHash = vhXXH3_64;
    o.ArchiveEnabled = changed;
    o.ArchiveDir = Tmp / "archive";
    TLosingDevice fs(RealFileSystem());
    fs.Bad = Tmp / "bad";
    WriteFile(fs.Bad, "bad content!");
    TRunResult r = Run(o, &fs);
    const std::string want = "ERROR        VERIFY FAILED \"a.bin\": source=" + HashBytes("good content", vhXXH3_64) +
                             " destination=" + HashBytes("bad content!", vhXXH3_64) +
                             " - the corrupted copy was deleted and will be re-copied on the next run";
    EXPECT_TRUE(r.Has(want)) << r.Text();
    EXPECT_EQ(r.CountPrefix("COPY "), 0) << r.Text();
    EXPECT_EQ(changed ? ReadFile(Dst + "/a.bin") : std::string(Exists(Dst + "/a.bin") ? "there" : ""),
              changed ? "old version" : "");
    EXPECT_EQ(ListTree(Dst), changed ? std::vector<std::string>{"a.bin"} : std::vector<std::string>{});
    EXPECT_FALSE(Exists(o.ArchiveDir));
    EXPECT_EQ(r.Stats.FilesCopied, 0);
    EXPECT_EQ(r.Stats.BytesCopied, 0);
    EXPECT_EQ(r.Stats.Verified, 0);
    EXPECT_EQ(r.Stats.Errors, 1);
  }
}

// A copy that cannot be read back (it will not open, or a read fails part
// way) is not known to be whole: it is reported and removed before it takes
// the name, which keeps what it held. One whose source cannot be read again
// is named, unverified.
TEST_F(SafeguardTest, UnreadableReadBack) {
  struct {
    const char* what;
    TFsCall kind;
    bool sourceSide, changed;
    const char* line; // after the path's own prefix
  } cases[] = {
      {"copy will not open, new file", TFsCall::OpenRead, false, false, "Cannot open file \"<dst>\". "},
      {"copy will not open, changed file", TFsCall::OpenRead, false, true, "Cannot open file \"<dst>\". "},
      {"read of the copy fails", TFsCall::Read, false, true, "Input/output error"},
      {"source will not open again", TFsCall::OpenRead, true, true, "Cannot open file \"<src>\". "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RemoveTree(Src);
    RemoveTree(Dst);
    WriteFile(Src + "/a.bin", "content");
    if (c.changed) {
      WriteFile(Dst + "/a.bin", "old version");
      SetMTime(Dst + "/a.bin", 1);
    }
    TMirrorOptions o = Opt();
    o.VerifyHash = vhXXH3_64;
    TFaultFileSystem fs(RealFileSystem());
    if (c.sourceSide) {
      // The copy's own open of the source is the first; the read-back's the second.
      fs.SetHook([&, opened = 0](TFsCall kind, const std::string& path) mutable {
        if (kind == TFsCall::OpenRead && path == Src + "/a.bin" && ++opened == 2) fs.FailPath(kind, "/a.bin", EIO);
      });
    } else {
      fs.FailPath(c.kind, Dst + "/a.bin", EIO);
    }
    TRunResult r = Run(o, &fs);
    std::string line = c.line;
    if (line.find("<dst>") != std::string::npos) line.replace(line.find("<dst>"), 5, Dst + "/a.bin");
    if (line.find("<src>") != std::string::npos) line.replace(line.find("<src>"), 5, Src + "/a.bin");
    EXPECT_EQ(r.CountPrefix("ERROR        Verify read failed \"a.bin\": " + line), 1) << r.Text();
    EXPECT_EQ(r.Stats.Errors, 1) << r.Text();
    EXPECT_EQ(r.Stats.Verified, 0);
    if (c.sourceSide) {
      EXPECT_EQ(ReadFile(Dst + "/a.bin"), "content");
      EXPECT_EQ(r.Stats.FilesCopied, 1);
    } else {
      EXPECT_EQ(c.changed ? ReadFile(Dst + "/a.bin") : std::string(Exists(Dst + "/a.bin") ? "there" : ""),
                c.changed ? "old version" : "");
      EXPECT_EQ(r.Stats.FilesCopied, 0);
      EXPECT_EQ(r.CountPrefix("COPY "), 0);
    }
  }
}

TEST_F(SafeguardTest, PreserveAclCopiesAccessAndDefaultAcls) {
  WriteFile(Src + "/dir/f.txt", "f");
  if (Shell("setfacl -m u:65534:r-- '" + Src + "/dir/f.txt' 2>/dev/null") != 0 ||
      Shell("setfacl -d -m u:65534:rwx '" + Src + "/dir' 2>/dev/null") != 0)
    GTEST_SKIP() << "no ACL support on the test folder's file system";
  TMirrorOptions o = Opt();
  o.PreserveAcl = true;
  TRunResult r = Run(o);
  EXPECT_EQ(r.Stats.Errors, 0) << r.Text();
  EXPECT_TRUE(r.Has("Preserve:    NTFS permissions (ACLs) of copied items"));
  EXPECT_NE(ShellOut("getfacl -p '" + Dst + "/dir/f.txt'").find("user:nobody:r--"), std::string::npos);
  EXPECT_NE(ShellOut("getfacl -p '" + Dst + "/dir'").find("default:user:nobody:rwx"), std::string::npos);
}

TEST_F(SafeguardTest, AclFailuresAreOneErrorPerItem) {
  WriteFile(Src + "/dir/f.txt", "f");
  TMirrorOptions o = Opt();
  o.PreserveAcl = true;
  TFaultFileSystem fs(RealFileSystem());
  fs.FailNth(TFsCall::SetAcl, 1, EOPNOTSUPP, true);
  TRunResult r = Run(o, &fs);
  EXPECT_TRUE(r.Has("ERROR        Set permissions failed \"" + Dst + "/dir\": Operation not supported")) << r.Text();
  EXPECT_TRUE(r.Has("ERROR        Set permissions failed \"" + Dst + "/dir/f.txt\": Operation not supported"));
  EXPECT_EQ(r.Stats.Errors, 2);
  EXPECT_EQ(ReadFile(Dst + "/dir/f.txt"), "f");
}
