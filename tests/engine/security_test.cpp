// A root run against hostile local users: a destination folder swapped for
// a link during the run, and owners, groups and set-id bits of copies.
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>

#include "engine_fixture.h"
#include "support/fault_fs.h"
#include "support/path_calls.h"
#include "platform/fs.h"

using namespace twf;
using namespace twf::test;

namespace {
class SecurityTest : public EngineTest {};

// Everything about a tree that an attack could change: names, kinds,
// owners, modes, contents and ACLs, links not followed.
std::string Snapshot(const std::string& root) {
  namespace fs = std::filesystem;
  std::vector<std::string> lines;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const std::string p = it->path().string();
    struct stat st;
    if (lstat(p.c_str(), &st) != 0) continue;
    char acl[512];
    const ssize_t aclLen = lgetxattr(p.c_str(), "system.posix_acl_access", acl, sizeof acl);
    std::string line = p.substr(root.size()) + " " + std::to_string(st.st_mode) + " " +
                       std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) + " acl " +
                       (aclLen > 0 ? std::string(acl, size_t(aclLen)) : std::string("-"));
    if (S_ISREG(st.st_mode)) line += " " + ReadFile(p);
    lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  std::string out;
  for (auto& l : lines) out += l + "\n";
  return out;
}

std::string Stamp(time_t t) {
  tm lt;
  localtime_r(&t, &lt);
  char buf[32];
  strftime(buf, sizeof buf, "%Y-%m-%d_%H-%M-%S", &lt);
  return buf;
}

// Runs the engine as user 65534 in a child process: its error count, -1 when
// that user cannot reach the source (a private $TMPDIR; the case cannot be
// judged here), -2 when the child failed in another way.
int ErrorsOfARunAsNobody(const TMirrorOptions& o) {
  const pid_t pid = fork();
  if (pid < 0) return -2;
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(201);
    if (access(o.SourceDir.c_str(), R_OK | X_OK) != 0) _exit(200);
    TMirrorEngine engine(o, nullptr);
    engine.Run();
    _exit(std::min(engine.Stats().Errors, 100));
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) > 200) return -2;
  return WEXITSTATUS(status) == 200 ? -1 : WEXITSTATUS(status);
}
} // namespace

// Just before the first operation of a kind on a path, a user who can write
// the destination swaps one of its folders for a link to a folder outside.
// Whatever the operation, nothing outside the destination changes.
TEST_F(SecurityTest, FolderSwappedForALinkDuringTheRun) {
  enum TSwapped { kDstSub, kCreatedFolder, kArchiveSub, kArchiveRunPlanted };
  struct {
    const char* what;
    TFsCall kind;
    const char* pathPart; // the hook fires on the first call of kind whose path holds this
    TSwapped swapped;
    bool archive, recycle, acl;
    bool changedError; // the run must report the folder as changed (else it may, once)
    int nth = 1;       // of the calls that match
    bool binary = false; // content comparison, with a same-size old version
  } cases[] = {
      {"copy of a new file", TFsCall::CopyFile, "/new.txt", kDstSub, false, false, false, false},
      {"copy over a file", TFsCall::CopyFile, "/f.txt", kDstSub, false, false, false, false},
      {"delete", TFsCall::DeleteFile, "/old.txt", kDstSub, false, false, false, false},
      {"delete to the Trash", TFsCall::TrashFiles, "/old.txt", kDstSub, false, true, false, false},
      {"folder removal", TFsCall::RemoveDir, "/gone", kDstSub, false, false, false, false},
      {"folder creation", TFsCall::CreateDir, "/newdir", kDstSub, false, false, false, false},
      {"archive move of a deleted file", TFsCall::MoveFile, "/old.txt", kDstSub, true, false, false, false},
      {"archive move of an old version", TFsCall::MoveFile, "/f.txt", kDstSub, true, false, false, false},
      {"archive folder below the run folder", TFsCall::MoveFile, "/old.txt", kArchiveSub, true, false, false,
       false},
      {"archive run folder planted as a link", TFsCall::IsDirectory, "", kArchiveRunPlanted, true, false, false,
       false},
      {"ACL write on a copy", TFsCall::SetAcl, "/dst/sub/", kDstSub, false, false, true, false, 2},
      {"ACL write on a created folder", TFsCall::SetAcl, "/newdir", kCreatedFolder, false, false, true, false},
      {"folder opened by a later operation", TFsCall::CopyFile, "/a.txt", kDstSub, false, false, false, true},
      // A folder the scan cannot open is left alone as unlisted: its
      // "Cannot list" error is the one report.
      {"scan, before the folder is opened", TFsCall::OpenDir, "/dst/sub", kDstSub, false, false, false, false},
      {"scan, before the folder is listed", TFsCall::ListDir, "/dst/sub", kDstSub, false, false, false, true},
      // The file outside equals the source's: read there, the pair would
      // pass as identical and the old version stay.
      {"content comparison", TFsCall::OpenRead, "/sub/f.txt", kDstSub, false, false, false, true, 1, true},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    TTempDir t;
    TMirrorOptions o = Opt(t);
    o.ArchiveEnabled = c.archive;
    o.ArchiveDir = t / "archive";
    o.RecycleDeletes = c.recycle;
    o.PreserveAcl = c.acl;
    o.Workers = 1;
    if (c.binary) o.CompareMode = cmBinary;
    const std::string outside = t / "outside";
    WriteFile(outside + "/f.txt", c.binary ? "new content" : "victim");
    WriteFile(outside + "/old.txt", "victim too");
    WriteFile(outside + "/new.txt", "victim three");
    MakeDirs(outside + "/gone");
    WriteFile(o.SourceDir + "/a.txt", "a");
    WriteFile(o.SourceDir + "/sub/f.txt", "new content");
    WriteFile(o.SourceDir + "/sub/new.txt", "new file");
    MakeDirs(o.SourceDir + "/sub/newdir");
    WriteFile(o.DestDir + "/sub/f.txt", c.binary ? "old content" : "old");
    WriteFile(o.DestDir + "/sub/old.txt", "old");
    MakeDirs(o.DestDir + "/sub/gone");
    if (c.acl) {
      const std::string acl = "A:u::rwx,u:65534:rwx,g::r-x,m::rwx,o::r-x";
      if (test::SetAcl(RealFileSystem(), o.SourceDir + "/sub/newdir", acl + "\nD:") != 0 ||
          test::SetAcl(RealFileSystem(), o.SourceDir + "/sub/f.txt", acl) != 0) {
        std::cout << "[  SKIPPED ] " << c.what << ": no ACLs on this file system\n";
        continue; // the rows after it still run
      }
    }
    const std::string before = Snapshot(outside);

    auto swapForLink = [&](const std::string& folder) {
      ASSERT_EQ(rename(folder.c_str(), (folder + ".moved").c_str()), 0) << folder;
      ASSERT_EQ(symlink(outside.c_str(), folder.c_str()), 0);
    };
    TFaultFileSystem fs(RealFileSystem());
    // The hook runs on scan and apply workers.
    std::mutex hookLock;
    bool fired = false;
    int matched = 0;
    fs.SetHook([&](TFsCall kind, const std::string& path) {
      std::lock_guard<std::mutex> g(hookLock);
      if (fired || kind != c.kind || path.find(c.pathPart) == std::string::npos || ++matched < c.nth) return;
      fired = true;
      switch (c.swapped) {
      case kDstSub: swapForLink(o.DestDir + "/sub"); break;
      case kCreatedFolder: swapForLink(o.DestDir + "/sub/newdir"); break;
      case kArchiveSub:
        for (auto& run : std::filesystem::directory_iterator(o.ArchiveDir))
          swapForLink(run.path().string() + "/deleted/sub");
        break;
      case kArchiveRunPlanted:
        // Every name the run could choose in the next seconds.
        MakeDirs(o.ArchiveDir);
        for (int s = 0; s < 5; ++s)
          symlink(outside.c_str(), (o.ArchiveDir + "/" + Stamp(time(nullptr) + s)).c_str());
        break;
      }
    });
    TRunResult r = Run(o, &fs);
    EXPECT_TRUE(fired);
    EXPECT_EQ(Snapshot(outside), before) << r.Text();
    EXPECT_EQ(r.Stats.Skipped, 0) << r.Text(); // every source file differs from what the scan saw
    // One error for the folder, however many operations it stops.
    const int changed = r.CountPrefix("ERROR        Destination folder changed during the run");
    if (c.changedError) EXPECT_EQ(changed, 1) << r.Text();
    else EXPECT_LE(changed, 1) << r.Text();
    if (c.swapped == kArchiveRunPlanted) {
      EXPECT_EQ(r.Stats.Archived, 2) << r.Text();
      EXPECT_EQ(r.CountPrefix("Archive:     the folder name was taken, displaced files go to "), 1);
    }
  }
}

// As root, copies and created folders belong to the source's owner and
// group and keep their set-id bits; where the owner cannot be carried the
// set-id bits are dropped.
TEST_F(SecurityTest, OwnerGroupAndSetIdBits) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  struct TItem {
    const char* name;
    bool folder;
    mode_t mode;
  };
  const TItem items[] = {{"f4755", false, 04755}, {"f2755", false, 02755}, {"f0700", false, 0700},
                         {"d4755", true, 04755},  {"d2755", true, 02755},  {"d0700", true, 0700}};
  struct {
    const char* what;
    bool asRoot;          // else the run is nobody's
    bool ownerRefused;    // the folders' owner cannot be set (injected)
    uid_t srcUid;
  } cases[] = {
      {"root run", true, false, 65534},
      {"root run, owner refused for folders", true, true, 65534},
      {"run by another user", false, false, 1234},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    TTempDir t(c.asRoot ? "" : BaseOpenToAll()); // the other user must reach the tree
    TMirrorOptions o = Opt(t);
    chmod(t.Path().c_str(), 0755);
    for (const TItem& it : items) {
      const std::string p = o.SourceDir + "/" + it.name;
      if (it.folder) {
        MakeDirs(p);
        WriteFile(p + "/inside", "x");
        chown((p + "/inside").c_str(), c.srcUid, c.srcUid);
      } else {
        WriteFile(p, std::string("content of ") + it.name);
      }
      ASSERT_EQ(chown(p.c_str(), c.srcUid, c.srcUid), 0);
      ASSERT_EQ(chmod(p.c_str(), it.mode), 0);
    }
    MakeDirs(o.DestDir);
    if (!c.asRoot) {
      ASSERT_EQ(chown(o.DestDir.c_str(), 65534, 65534), 0);
      // The other user can read none of the 0700 items; the set-id ones it can.
      for (const char* n : {"f0700", "d0700"}) RemoveTree(o.SourceDir + "/" + n);
      const int errors = ErrorsOfARunAsNobody(o);
      if (errors == -1) {
        std::cout << "[  SKIPPED ] " << c.what << ": nobody cannot reach the test folder\n";
        continue;
      }
      ASSERT_EQ(errors, 0);
    } else {
      TFaultFileSystem fs(RealFileSystem());
      if (c.ownerRefused) fs.FailNth(TFsCall::SetOwner, 1, EPERM, true);
      TRunResult r = Run(o, &fs);
      ASSERT_EQ(r.Stats.Errors, 0) << r.Text();
    }
    for (const TItem& it : items) {
      SCOPED_TRACE(it.name);
      struct stat st;
      const std::string p = o.DestDir + "/" + it.name;
      if (!c.asRoot && (it.mode & 0007) == 0) continue;
      ASSERT_EQ(lstat(p.c_str(), &st), 0);
      const bool carried = c.asRoot && !(c.ownerRefused && it.folder);
      const uid_t wantOwner = carried ? c.srcUid : c.asRoot ? 0 : 65534;
      EXPECT_EQ(st.st_uid, wantOwner);
      EXPECT_EQ(st.st_gid, wantOwner);
      EXPECT_EQ(st.st_mode & 07777, carried ? it.mode : it.mode & 0777);
    }
  }
}

// Item 5 of a root run: a user's link must not make root copy a file the
// user could not read into that user's backup. As root a link is followed
// when root made it or its owner owns the file; a run by anyone else
// follows links as before (it reads only what its user may read).
TEST_F(SecurityTest, SourceLinksAsRootOnlyWhereTheirOwnerOwnsTheFile) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  struct {
    const char* what;
    uid_t linkUid, fileUid;
    mode_t fileMode;
    bool asRoot;
    bool binary; // an old version of the same size: the comparison must not read it either
    bool copied;
  } cases[] = {
      {"user's link to root's 0640 file", 65534, 0, 0640, true, false, false},
      {"user's link to root's file, content comparison", 65534, 0, 0640, true, true, false},
      {"user's link to another user's readable file", 65534, 1234, 0644, true, false, false},
      {"user's link to the user's own file", 65534, 65534, 0600, true, false, true},
      {"root's link to root's file", 0, 0, 0600, true, false, true},
      {"root's link to a user's file", 0, 65534, 0600, true, false, true},
      {"not root: own link to root's readable file", 65534, 0, 0644, false, false, true},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    TTempDir t(c.asRoot ? "" : BaseOpenToAll()); // the other user must reach the tree
    TMirrorOptions o = Opt(t);
    o.SymlinkMode = smFollow;
    o.CompareMode = c.binary ? cmBinary : cmSizeDate;
    chmod(t.Path().c_str(), 0755);
    const std::string target = t / "target";
    WriteFile(target, "secret");
    ASSERT_EQ(chown(target.c_str(), c.fileUid, c.fileUid), 0);
    ASSERT_EQ(chmod(target.c_str(), c.fileMode), 0);
    MakeDirs(o.SourceDir);
    WriteFile(o.SourceDir + "/plain", "plain");
    const std::string link = o.SourceDir + "/link";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    ASSERT_EQ(lchown(link.c_str(), c.linkUid, c.linkUid), 0);
    MakeDirs(o.DestDir);
    if (c.binary) WriteFile(o.DestDir + "/link", "SECRET");
    int errors = 0;
    if (c.asRoot) {
      TRunResult r = Run(o);
      errors = r.Stats.Errors;
      if (!c.copied) {
        EXPECT_EQ(r.CountPrefix("ERROR        Cannot copy \"" + link + "\": the link belongs to user 65534"), 1)
            << r.Text();
      }
    } else {
      chown(o.SourceDir.c_str(), 65534, 65534);
      chown((o.SourceDir + "/plain").c_str(), 65534, 65534);
      chown(o.DestDir.c_str(), 65534, 65534);
      errors = ErrorsOfARunAsNobody(o);
      if (errors == -1) {
        std::cout << "[  SKIPPED ] " << c.what << ": nobody cannot reach the test folder\n";
        continue;
      }
      ASSERT_GE(errors, 0);
    }
    EXPECT_EQ(errors, c.copied ? 0 : 1);
    EXPECT_EQ(ReadFile(o.DestDir + "/plain"), "plain");
    if (c.copied) EXPECT_EQ(ReadFile(o.DestDir + "/link"), "secret");
    else if (c.binary) EXPECT_EQ(ReadFile(o.DestDir + "/link"), "SECRET");
    else EXPECT_FALSE(std::filesystem::exists(o.DestDir + "/link"));
  }
}

// A destination folder belongs to the source folder's owner, who can give
// it a default ACL naming anyone. As root, neither a copy nor a created
// folder keeps entries handed down that way: a root-only file copied there
// stays root-only, whether ACLs are carried or not.
TEST_F(SecurityTest, NoAclEntriesInheritedFromADestinationFolder) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  struct {
    const char* what;
    bool preserveAcl;
    bool existing; // the copy replaces an older version
  } cases[] = {
      {"ACLs not carried, new file", false, false},
      {"ACLs not carried, replaced file", false, true},
      {"ACLs carried", true, false},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    TTempDir t;
    TMirrorOptions o = Opt(t);
    o.PreserveAcl = c.preserveAcl;
    WriteFile(o.SourceDir + "/u/shadow", "root only");
    chmod((o.SourceDir + "/u/shadow").c_str(), 0640);
    MakeDirs(o.SourceDir + "/u/sub");
    chmod((o.SourceDir + "/u/sub").c_str(), 0750);
    MakeDirs(o.DestDir + "/u");
    if (c.existing) WriteFile(o.DestDir + "/u/shadow", "old version");
    chown((o.DestDir + "/u").c_str(), 65534, 65534);
    if (test::SetAcl(RealFileSystem(), o.DestDir + "/u", "A:u::rwx,g::r-x,o::r-x\nD:u::rwx,u:65534:rwx,g::r-x,m::rwx,o::---") !=
        0)
      GTEST_SKIP() << "no ACLs on this file system";
    TRunResult r = Run(o);
    ASSERT_EQ(r.Stats.Errors, 0) << r.Text();
    for (const char* item : {"/u/shadow", "/u/sub"}) {
      SCOPED_TRACE(item);
      std::string acl;
      ASSERT_EQ(test::GetAcl(RealFileSystem(), o.DestDir + item, acl), 0);
      EXPECT_EQ(acl.find(":65534:"), std::string::npos) << acl;
    }
    struct stat st;
    ASSERT_EQ(stat((o.DestDir + "/u/sub").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0750u);
  }
}

// A root run gives an existing folder the source's owner and then its bits;
// where the change of owner is refused (a share that squashes root, an
// immutable folder), bits meant for the source's owner are not handed to
// the folder's own: access is only taken away there.
TEST_F(SecurityTest, RepairedFolderBitsGrantNothingToAnotherOwner) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  struct {
    const char* what;
    bool asRoot; // else the run, and the destination folder, are nobody's
    bool ownerRefused;
    uid_t srcUid, srcGid;
    mode_t srcMode;
    uid_t dstUid, dstGid;
    mode_t dstMode, want;
  } cases[] = {
      {"same owner and group: the source's bits", true, false, 1234, 1234, 02770, 1234, 1234, 0755, 02770},
      {"another owner: the source's owner and bits", true, false, 1234, 1234, 02777, 65534, 65534, 0755, 02777},
      {"owner refused: a world-writable source grants nothing", true, true, 1234, 1234, 0777, 65534, 65534, 0755, 0755},
      {"owner refused: access is taken away", true, true, 1234, 1234, 0700, 65534, 65534, 0755, 0700},
      {"owner refused: the sticky bit stays", true, true, 1234, 1234, 0777, 65534, 65534, 01777, 01777},
      {"owner refused: no set-gid", true, true, 1234, 1234, 02775, 65534, 65534, 0775, 0775},
      {"group refused: the owner's bits only", true, true, 1234, 1234, 0777, 1234, 65534, 0750, 0750},
      {"group refused: taken away", true, true, 1234, 1234, 0700, 1234, 65534, 0755, 0700},
      {"not root: its own folder gets the source's bits", false, false, 1234, 1234, 02777, 65534, 65534, 0755, 0777},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    TTempDir t(c.asRoot ? "" : BaseOpenToAll()); // the other user must reach the tree
    chmod(t.Path().c_str(), 0755);
    TMirrorOptions o = Opt(t);
    WriteFile(o.SourceDir + "/f", "f"); // a source without files is refused
    MakeDirs(o.SourceDir + "/d");
    MakeDirs(o.DestDir + "/d");
    ASSERT_EQ(chown((o.SourceDir + "/d").c_str(), c.srcUid, c.srcGid), 0);
    ASSERT_EQ(chmod((o.SourceDir + "/d").c_str(), c.srcMode), 0);
    ASSERT_EQ(chown((o.DestDir + "/d").c_str(), c.dstUid, c.dstGid), 0);
    ASSERT_EQ(chmod((o.DestDir + "/d").c_str(), c.dstMode), 0);
    bool ownerKept = !c.asRoot;
    if (c.asRoot) {
      TFaultFileSystem fs(RealFileSystem());
      if (c.ownerRefused) {
        fs.FailNth(TFsCall::SetOwner, 1, EPERM, true);
        ownerKept = true;
      }
      TRunResult r = Run(o, &fs);
      EXPECT_EQ(r.Stats.Errors, 0) << r.Text();
    } else {
      ASSERT_EQ(chown(o.DestDir.c_str(), 65534, 65534), 0);
      const int errors = ErrorsOfARunAsNobody(o);
      if (errors == -1) {
        std::cout << "[  SKIPPED ] " << c.what << ": nobody cannot reach the test folder\n";
        continue;
      }
      EXPECT_EQ(errors, 0);
    }
    struct stat st;
    ASSERT_EQ(lstat((o.DestDir + "/d").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.want) << std::oct << (st.st_mode & 07777);
    EXPECT_EQ(st.st_uid, ownerKept ? c.dstUid : c.srcUid);
    EXPECT_EQ(st.st_gid, ownerKept ? c.dstGid : c.srcGid);
  }
}

// A user who can write a folder of the destination leaves a set-id program
// of their own there, with the size and time of the source's file of that
// name, which root or another user owns. The run finds the two identical
// and gives the file the source's owner: the set-id bits the change of
// owner drops must not come back on a program that user wrote.
TEST_F(SecurityTest, OwnerOfAnIdenticalFileGrantsNoSetIdToItsWriter) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  struct {
    const char* what;
    uid_t srcUid, srcGid;
    mode_t dstMode;
  } cases[] = {
      {"set-user-id, owner becomes root", 0, 0, 04755},
      {"set-group-id, group becomes another's", 65534, 1234, 02755},
      {"both, owner and group become another user's", 1234, 1234, 06755},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    TTempDir t;
    TMirrorOptions o = Opt(t);
    WriteFile(o.SourceDir + "/tool", "the real tool");
    ASSERT_EQ(chown((o.SourceDir + "/tool").c_str(), c.srcUid, c.srcGid), 0);
    ASSERT_EQ(chmod((o.SourceDir + "/tool").c_str(), 0755), 0);
    SetMTime(o.SourceDir + "/tool", 1600000000);
    MakeDirs(o.DestDir);
    ASSERT_EQ(chown(o.DestDir.c_str(), 65534, 65534), 0);
    WriteFile(o.DestDir + "/tool", "a user's tool");
    ASSERT_EQ(chown((o.DestDir + "/tool").c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod((o.DestDir + "/tool").c_str(), c.dstMode), 0);
    SetMTime(o.DestDir + "/tool", 1600000000);
    TRunResult r = Run(o);
    EXPECT_EQ(r.Stats.Errors, 0) << r.Text();
    struct stat st;
    ASSERT_EQ(lstat((o.DestDir + "/tool").c_str(), &st), 0);
    if (ReadFile(o.DestDir + "/tool") != "a user's tool") continue; // copied again: no harm
    EXPECT_FALSE(st.st_uid != 65534 && (st.st_mode & S_ISUID)) << std::oct << st.st_mode << " " << st.st_uid;
    EXPECT_FALSE(st.st_gid != 65534 && (st.st_mode & S_ISGID)) << std::oct << st.st_mode << " " << st.st_gid;
  }
}

// A file capability stays on a file only while its contents are the ones
// it was given for: any write takes it away. A root run carrying it must
// not put it on contents the file's owner wrote while the copy was being
// made (a capability, unlike a set-id bit, works whoever owns the file).
TEST_F(SecurityTest, NoCapabilityOnContentsWrittenDuringTheCopy) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  TTempDir t;
  TMirrorOptions o = Opt(t);
  o.PreserveAcl = true;
  const std::string prog = o.SourceDir + "/prog";
  WriteFile(prog, "the program as approved");
  ASSERT_EQ(chown(prog.c_str(), 65534, 65534), 0);
  // Revision 2, effective, CAP_NET_RAW permitted.
  const uint32_t cap[5] = {0x02000001u, 1u << 13, 0, 0, 0};
  if (setxattr(prog.c_str(), "security.capability", cap, sizeof cap, 0) != 0)
    GTEST_SKIP() << "no file capabilities here: " << strerror(errno);
  MakeDirs(o.DestDir);
  TFaultFileSystem fs(RealFileSystem());
  std::once_flag once;
  fs.SetHook([&](TFsCall kind, const std::string&) {
    if (kind != TFsCall::CopyFile) return;
    std::call_once(once, [&] {
      // The owner rewrites the program as its copy starts.
      const int fd = open(prog.c_str(), O_WRONLY | O_CLOEXEC);
      ASSERT_GE(fd, 0);
      const std::string evil = "a program of the owner's";
      ASSERT_EQ(pwrite(fd, evil.data(), evil.size(), 0), ssize_t(evil.size()));
      close(fd);
    });
  });
  TRunResult r = Run(o, &fs);
  EXPECT_EQ(r.Stats.Errors, 0) << r.Text();
  ASSERT_EQ(ReadFile(o.DestDir + "/prog").substr(0, 5), "a pro");
  char buf[64];
  EXPECT_LT(lgetxattr((o.DestDir + "/prog").c_str(), "security.capability", buf, sizeof buf), 0)
      << "the owner's contents got the capability";
}

// Between the scan and the change of owner, a user who can write the
// destination folder swaps their link of the source's text for one of
// theirs pointing elsewhere. The run must not make that link root's (a
// link in a sticky folder is followed by everyone once its owner is the
// folder's).
TEST_F(SecurityTest, OwnerGoesOnlyToALinkWithTheSourcesText) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  TTempDir t;
  TMirrorOptions o = Opt(t);
  WriteFile(o.SourceDir + "/f", "f");
  ASSERT_EQ(symlink("target-text", (o.SourceDir + "/l").c_str()), 0);
  MakeDirs(o.DestDir);
  ASSERT_EQ(chown(o.DestDir.c_str(), 65534, 65534), 0);
  ASSERT_EQ(chmod(o.DestDir.c_str(), 01777), 0);
  chmod(o.SourceDir.c_str(), 01777);
  const std::string l = o.DestDir + "/l";
  ASSERT_EQ(symlink("target-text", l.c_str()), 0);
  ASSERT_EQ(lchown(l.c_str(), 65534, 65534), 0);
  TFaultFileSystem fs(RealFileSystem());
  std::once_flag once;
  fs.SetHook([&](TFsCall kind, const std::string&) {
    if (kind != TFsCall::SetOwner) return;
    std::call_once(once, [&] {
      unlink(l.c_str());
      ASSERT_EQ(symlink("/etc/shadow", l.c_str()), 0);
      ASSERT_EQ(lchown(l.c_str(), 65534, 65534), 0);
    });
  });
  TRunResult r = Run(o, &fs);
  EXPECT_EQ(r.Stats.Errors, 0) << r.Text();
  char buf[256];
  const ssize_t n = readlink(l.c_str(), buf, sizeof buf);
  ASSERT_GT(n, 0);
  struct stat st;
  ASSERT_EQ(lstat(l.c_str(), &st), 0);
  if (std::string(buf, size_t(n)) != "target-text") EXPECT_EQ(st.st_uid, 65534u) << "the user's link became root's";
}
