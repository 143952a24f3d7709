#include <gtest/gtest.h>
#include <dirent.h>
#include <dlfcn.h>
#include <algorithm>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <random>
#include <regex>
#include <thread>

#include "platform/fs.h"
#include "support/path_calls.h"
#include "platform/posix_internal.h"
#include "platform/prefetch.h"
#include "platform/release.h"
#include "support/tree.h"
#include "support/unnamed_files.h"

// readdir as the file layer sees it: while armed, it hands out that many
// more entries and then fails with EIO once, as a folder on a failing disk
// or a vanished network share does part-way through a listing.
namespace {
std::atomic<int> gReaddirBudget{-1};

template <class TEntry>
TEntry* ReaddirOrBreak(DIR* d, const char* realName) {
  using TFn = TEntry* (*)(DIR*);
  static const TFn real = reinterpret_cast<TFn>(dlsym(RTLD_NEXT, realName));
  int left = gReaddirBudget.load();
  if (left == 0 && gReaddirBudget.compare_exchange_strong(left, -1)) {
    errno = EIO;
    return nullptr;
  }
  if (left > 0) gReaddirBudget.compare_exchange_strong(left, left - 1);
  return real(d);
}
} // namespace

extern "C" struct dirent* readdir(DIR* d) { return ReaddirOrBreak<struct dirent>(d, "readdir"); }
extern "C" struct dirent64* readdir64(DIR* d) { return ReaddirOrBreak<struct dirent64>(d, "readdir64"); }

// Folders read with getdents64 directly: with a budget, one read gives a
// few entries only (a buffer too small for more), and the next one fails.
extern "C" ssize_t getdents64(int fd, void* buf, size_t size) {
  using TFn = ssize_t (*)(int, void*, size_t);
  static const TFn real = reinterpret_cast<TFn>(dlsym(RTLD_NEXT, "getdents64"));
  int left = gReaddirBudget.load();
  if (left == 0 && gReaddirBudget.compare_exchange_strong(left, -1)) {
    errno = EIO;
    return -1;
  }
  if (left > 0 && gReaddirBudget.compare_exchange_strong(left, 0)) size = std::min<size_t>(size, size_t(left) * 32);
  return real(fd, buf, size);
}

namespace twf {
namespace {

using test::BaseOpenToAll;
using test::RunAsNobody;
using test::TScratchMount;
using test::TTempTree;

IFileSystem& Fs() { return RealFileSystem(); }

constexpr int64_t kMiB = 1 << 20;

std::string Pattern(size_t size, unsigned seed = 1) {
  std::mt19937 gen(seed);
  std::string s(size, '\0');
  for (char& c : s) c = char(gen());
  return s;
}

void SetTimes(const std::string& path, time_t sec, long nsec, int flags = 0) {
  struct timespec ts[2] = {{sec, nsec}, {sec, nsec}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), ts, flags), 0) << path;
}

struct stat LStat(const std::string& path) {
  struct stat st {};
  lstat(path.c_str(), &st);
  return st;
}

std::map<std::string, TDirEntry> ListByName(const std::string& dir, int* err = nullptr) {
  std::vector<TDirEntry> list;
  int e = test::ListDir(Fs(), dir, list);
  if (err) *err = e;
  std::map<std::string, TDirEntry> byName;
  for (auto& entry : list) byName[entry.Name] = entry;
  return byName;
}

// ---------------------------------------------------------------- long paths

TEST(PlatformLongPath, EveryCallWorksBeyondPathMax) {
  TTempTree t;
  std::string deep = t.Root();
  for (int i = 0; i < 40; ++i) deep += "/" + std::string(200, char('a' + i % 26));
  ASSERT_GT(deep.size(), 8000u); // about twice PATH_MAX
  IFileSystem& fs = Fs();

  ASSERT_EQ(fs.CreateDirPath(deep), 0);
  EXPECT_TRUE(fs.IsDirectory(deep));
  EXPECT_EQ(fs.CreateDirPath(deep), 0);
  t.Write("src.txt", "payload", 0444);

  const std::string file = deep + "/f.txt";
  ASSERT_EQ(test::CopyFile(fs, t.Path("src.txt"), file, {}, nullptr, false, true), 0);
  TFileInfo info;
  ASSERT_EQ(fs.Stat(file, info), 0);
  EXPECT_EQ(info.Size, 7);
  EXPECT_EQ(info.Mode & 07777, 0444u);
  test::ClearReadOnly(fs, file);
  ASSERT_EQ(fs.Stat(file, info), 0);
  EXPECT_EQ(info.Mode & 07777, 0644u);

  int fd = -1;
  ASSERT_EQ(fs.OpenRead(file, true, fd), 0);
  char buf[16];
  EXPECT_EQ(fs.Read(fd, buf, sizeof buf), 7);
  EXPECT_EQ(std::string(buf, 7), "payload");
  fs.Close(fd);

  ASSERT_EQ(test::CopyFile(fs, file, deep + "/g.txt", {}, nullptr, true, false), 0);
  ASSERT_EQ(test::MoveFile(fs, deep + "/g.txt", deep + "/h.txt"), 0);
  ASSERT_EQ(test::CreateDir(fs, deep + "/sub"), 0);
  EXPECT_EQ(test::CreateDir(fs, deep + "/sub"), EEXIST);
  EXPECT_EQ(fs.CreateDirPath(deep + "/sub/x/y"), 0);
  EXPECT_EQ(test::RemoveDir(fs, deep + "/sub"), ENOTEMPTY);

  auto names = ListByName(deep);
  ASSERT_EQ(names.size(), 3u);
  EXPECT_EQ(names["f.txt"].Kind, TEntryKind::File);
  EXPECT_EQ(names["h.txt"].Size, 7);
  EXPECT_EQ(names["sub"].Kind, TEntryKind::Dir);

  EXPECT_EQ(test::RemoveDir(fs, deep + "/sub/x/y"), 0);
  EXPECT_EQ(test::DeleteFile(fs, deep + "/h.txt"), 0);
  EXPECT_EQ(test::DeleteFile(fs, deep + "/h.txt"), ENOENT);

  std::string acl;
  int aclErr = test::GetAcl(fs, file, acl);
  if (aclErr != ENOTSUP) {
    EXPECT_EQ(aclErr, 0);
    EXPECT_EQ(test::SetAcl(fs, file, acl), 0);
  }

  EXPECT_GT(fs.FreeSpace(deep + "/missing/x"), 0);
  std::string label, serial, rootLabel, rootSerial;
  EXPECT_TRUE(fs.VolumeIdentity(deep + "/missing", label, serial));
  EXPECT_TRUE(fs.VolumeIdentity(t.Root(), rootLabel, rootSerial));
  EXPECT_EQ(serial, rootSerial);

  std::string tail = deep.substr(t.Root().size()) + "/missing";
  EXPECT_EQ(ResolvePathForCompare(deep + "/missing"), ResolvePathForCompare(t.Root()) + tail);

  std::vector<int> results;
  EXPECT_EQ(test::TrashFiles(fs, {file}, results), ENAMETOOLONG);
}

// ------------------------------------------------------------------ listing

TEST(PlatformListDir, ReportsEachKindOfEntry) {
  TTempTree t;
  t.Write("file.bin", "12345");
  SetTimes(t.Path("file.bin"), 1700000000, 123456789);
  t.MkDir("dir");
  t.Write(".hidden", "");
  t.Link("file.bin", "link-file");
  SetTimes(t.Path("link-file"), 1000, 0, AT_SYMLINK_NOFOLLOW); // the link's own time must not show
  t.Link("dir", "link-dir");
  t.Link("missing", "dangling");
  t.Link("loop", "loop");
  ASSERT_EQ(mkfifo(t.Path("fifo").c_str(), 0600), 0);
  ASSERT_EQ(mknod(t.Path("sock").c_str(), S_IFSOCK | 0600, 0), 0);
  t.Link("fifo", "link-fifo");
  t.Link("/dev/null", "link-dev");

  const TFileTime fileTime = 133444736001234567; // 2023-11-14 22:13:20.1234567 UTC
  struct Want {
    const char* name;
    TEntryKind kind;
    bool hidden;
    int64_t size;
    TFileTime time;
  } wants[] = {
      {"file.bin", TEntryKind::File, false, 5, fileTime},
      {"dir", TEntryKind::Dir, false, 0, 0},
      {".hidden", TEntryKind::File, true, 0, -1},
      {"link-file", TEntryKind::File, false, 5, fileTime},
      {"link-dir", TEntryKind::DirLink, false, 0, 0},
      {"dangling", TEntryKind::Dangling, false, 0, 0},
      {"loop", TEntryKind::Dangling, false, 0, 0},
      {"fifo", TEntryKind::Special, false, 0, 0},
      {"sock", TEntryKind::Special, false, 0, 0},
      {"link-fifo", TEntryKind::Special, false, 0, 0},
      {"link-dev", TEntryKind::Special, false, 0, 0},
  };
  int err = -1;
  auto got = ListByName(t.Root(), &err);
  ASSERT_EQ(err, 0);
  EXPECT_EQ(got.size(), std::size(wants));
  for (const Want& w : wants) {
    SCOPED_TRACE(w.name);
    ASSERT_TRUE(got.count(w.name));
    const TDirEntry& e = got[w.name];
    EXPECT_EQ(e.Kind, w.kind);
    EXPECT_EQ(e.Hidden, w.hidden);
    EXPECT_EQ(e.Size, w.size);
    if (w.time >= 0) {
      EXPECT_EQ(e.WriteTime, w.time);
    }
  }
}

TEST(PlatformListDir, FileTimeCountsFrom1601InHundredNanoseconds) {
  struct {
    int64_t sec, nsec;
    TFileTime want;
  } cases[] = {
      {0, 0, 116444736000000000},
      {-11644473600, 0, 0},
      {1, 999999999, 116444736019999999},
      {-1, 500, 116444735990000005},
  };
  for (auto& c : cases) EXPECT_EQ(FileTimeFromUnix(c.sec, c.nsec), c.want) << c.sec << "." << c.nsec;
}

TEST(PlatformListDir, NamesAreBytesAndRoundTrip) {
  TTempTree t;
  const std::string names[] = {"\xff\xfe-latin1", "line\nbreak", "caf\xc3\xa9", "tab\there", " lead"};
  for (auto& n : names) t.Write(n, n);
  auto got = ListByName(t.Root());
  ASSERT_EQ(got.size(), std::size(names));
  for (auto& n : names) {
    ASSERT_TRUE(got.count(n)) << n;
    TFileInfo info;
    EXPECT_EQ(Fs().Stat(t.Path(n), info), 0);
    EXPECT_EQ(info.Size, int64_t(n.size()));
    EXPECT_EQ(test::CopyFile(Fs(), t.Path(n), t.Path(n + ".copy"), {}, nullptr, false, false), 0);
    EXPECT_EQ(t.Read(n + ".copy"), n);
  }
}

TEST(PlatformListDir, FolderOnAnotherFileSystemIsAMountPoint) {
  TTempTree t;
  t.Link("mnt", "link-mnt");
  TScratchMount m(t.Path("mnt"), "tmpfs", "size=64k");
  TWF_REQUIRE_MOUNT(m);
  auto got = ListByName(t.Root());
  EXPECT_EQ(got["mnt"].Kind, TEntryKind::MountPoint);
  EXPECT_EQ(got["link-mnt"].Kind, TEntryKind::DirLink);
}

TEST(PlatformListDir, FailuresReturnTheErrno) {
  TTempTree t(BaseOpenToAll()); // nobody must reach it
  t.Write("file", "x");
  t.MkDir("closed", 0700);
  t.MkDir("no-search", 0744); // names readable, entries not examinable
  t.Write("no-search/inside", "x");
  t.MkDir("links-no-search", 0744);
  t.Link("../file", "links-no-search/link");
  int err = 0;
  EXPECT_TRUE(ListByName(t.Path("missing"), &err).empty());
  EXPECT_EQ(err, ENOENT);
  EXPECT_TRUE(ListByName(t.Path("file"), &err).empty());
  EXPECT_EQ(err, ENOTDIR);

  TWF_REQUIRE_ROOT();
  auto listAsNobody = [&](const std::string& dir) {
    return RunAsNobody([&] {
      std::vector<TDirEntry> out;
      int e = test::ListDir(Fs(), dir, out);
      return e != 0 && !out.empty() ? 99 : e;
    });
  };
  EXPECT_EQ(listAsNobody(t.Path("closed")), EACCES);
  EXPECT_EQ(listAsNobody(t.Path("no-search")), EACCES);
  EXPECT_EQ(listAsNobody(t.Path("links-no-search")), EACCES);
  EXPECT_EQ(listAsNobody(t.Root()), 0);
}

// A listing that breaks off is a failure, never a shorter folder.
TEST(PlatformListDir, AReadFailurePartWayFailsTheListing) {
  TTempTree t;
  t.MkDir("dir");
  for (int i = 0; i < 20; ++i) t.Write("dir/f" + std::to_string(i), "");
  std::vector<TDirEntry> out;
  gReaddirBudget = 8;
  const int err = test::ListDir(Fs(), t.Path("dir"), out);
  gReaddirBudget = -1;
  EXPECT_EQ(err, EIO);
  EXPECT_TRUE(out.empty());
  ASSERT_EQ(test::ListDir(Fs(), t.Path("dir"), out), 0);
  EXPECT_EQ(out.size(), 20u);
}

TEST(PlatformListDir, ReusesTheVectorWithoutOldEntries) {
  TTempTree t;
  t.MkDir("full");
  t.MkDir("empty");
  for (int i = 0; i < 100; ++i) t.Write("full/f" + std::to_string(i), "");
  std::vector<TDirEntry> out;
  ASSERT_EQ(test::ListDir(Fs(), t.Path("full"), out), 0);
  EXPECT_EQ(out.size(), 100u);
  ASSERT_EQ(test::ListDir(Fs(), t.Path("empty"), out), 0);
  EXPECT_TRUE(out.empty());
}

// ---------------------------------------------------- single-item operations

namespace {
size_t OpenDescriptors() {
  size_t n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}
} // namespace

// The prefetch is a hint: whatever its lookups meet (a folder holding the
// probe's name, a link, a missing folder, a path leaving the root), it
// keeps no descriptor open once it is gone, and the root may be closed then.
TEST(PlatformPrefetch, LeavesNothingOpenWhateverItMeets) {
  test::TTempDir t;
  test::MakeDirs(t.Path() + "/root/plain");
  test::MakeDirs(t.Path() + "/root/holds-probe");
  test::WriteFile(t.Path() + "/root/holds-probe/.twf-prefetch-probe", "x");
  test::MakeDirs(t.Path() + "/outside");
  test::WriteFile(t.Path() + "/outside/.twf-prefetch-probe", "x");
  ASSERT_EQ(symlink((t.Path() + "/outside").c_str(), (t.Path() + "/root/link").c_str()), 0);
  const size_t before = OpenDescriptors();
  int root = open((t.Path() + "/root").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(root, 0);
  {
    TFolderPrefetch prefetch;
    for (int round = 0; round < 40; ++round) // more than the queue holds at once
      for (const char* rel : {"plain", "holds-probe", "link", "missing", "../outside", "holds-probe"})
        prefetch.Add(root, rel);
    prefetch.Submit();
  }
  close(root);
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST(PlatformOps, ResultsOfEachOperation) {
  TTempTree t;
  t.Write("file", "x");
  t.MkDir("dir");
  t.Write("dir/inner", "x");
  t.MkDir("empty");
  t.Link("dir", "link-dir");
  IFileSystem& fs = Fs();
  struct {
    const char* what;
    std::function<int()> call;
    int want;
  } cases[] = {
      {"CreateDir new", [&] { return test::CreateDir(fs, t.Path("new")); }, 0},
      {"CreateDir existing", [&] { return test::CreateDir(fs, t.Path("dir")); }, EEXIST},
      {"CreateDir missing parent", [&] { return test::CreateDir(fs, t.Path("no/new")); }, ENOENT},
      {"CreateDirPath deep", [&] { return fs.CreateDirPath(t.Path("p/q/r/")); }, 0},
      {"CreateDirPath existing", [&] { return fs.CreateDirPath(t.Path("dir")); }, 0},
      {"CreateDirPath through a link", [&] { return fs.CreateDirPath(t.Path("link-dir/s")); }, 0},
      {"CreateDirPath on a file", [&] { return fs.CreateDirPath(t.Path("file")); }, EEXIST},
      {"CreateDirPath below a file", [&] { return fs.CreateDirPath(t.Path("file/x/y")); }, ENOTDIR},
      {"RemoveDir empty", [&] { return test::RemoveDir(fs, t.Path("empty")); }, 0},
      {"RemoveDir not empty", [&] { return test::RemoveDir(fs, t.Path("dir")); }, ENOTEMPTY},
      {"RemoveDir file", [&] { return test::RemoveDir(fs, t.Path("file")); }, ENOTDIR},
      {"DeleteFile", [&] { return test::DeleteFile(fs, t.Path("dir/inner")); }, 0},
      {"DeleteFile missing", [&] { return test::DeleteFile(fs, t.Path("gone")); }, ENOENT},
      {"DeleteFile folder", [&] { return test::DeleteFile(fs, t.Path("dir")); }, EISDIR},
      {"Stat missing", [&] { TFileInfo i; return fs.Stat(t.Path("gone"), i); }, ENOENT},
  };
  for (auto& c : cases) EXPECT_EQ(c.call(), c.want) << c.what;
  EXPECT_TRUE(fs.IsDirectory(t.Path("p/q/r")));
  EXPECT_TRUE(fs.IsDirectory(t.Path("dir/s")));
  EXPECT_FALSE(t.Exists("empty"));
  EXPECT_FALSE(t.Exists("dir/inner"));
}

TEST(PlatformOps, StatAndIsDirectoryFollowLinks) {
  TTempTree t;
  t.Write("file", "abc", 0640);
  SetTimes(t.Path("file"), 1600000000, 5);
  t.MkDir("dir");
  t.Link("file", "link-file");
  t.Link("dir", "link-dir");
  IFileSystem& fs = Fs();
  TFileInfo info;
  ASSERT_EQ(fs.Stat(t.Path("link-file"), info), 0);
  EXPECT_FALSE(info.IsDir);
  EXPECT_EQ(info.Size, 3);
  EXPECT_EQ(info.WriteTime, FileTimeFromUnix(1600000000, 5));
  EXPECT_EQ(info.Mode, S_IFREG | 0640u);
  ASSERT_EQ(fs.Stat(t.Path("dir"), info), 0);
  EXPECT_TRUE(info.IsDir);
  EXPECT_EQ(info.Size, 0);
  EXPECT_TRUE(fs.IsDirectory(t.Path("link-dir")));
  EXPECT_FALSE(fs.IsDirectory(t.Path("link-file")));
  EXPECT_FALSE(fs.IsDirectory(t.Path("gone")));
}

// Whether a leftover copy may go at once depends on it: the name of a
// process that has ended may, one of a running process (this one, or
// another) may not, nor a name without a process id.
TEST(PlatformOps, CopyTempWriterGoneOnlyForAnEndedProcess) {
  auto nameOf = [](pid_t pid) {
    char name[32];
    snprintf(name, sizeof name, ".twf-%012llx.part", (unsigned long long)((uint64_t(pid) << 26) | 7));
    return std::string(name);
  };
  const pid_t ended = fork();
  if (ended == 0) _exit(0);
  ASSERT_GT(ended, 0);
  ASSERT_EQ(waitpid(ended, nullptr, 0), ended);
  const pid_t running = fork();
  if (running == 0) {
    pause();
    _exit(0);
  }
  ASSERT_GT(running, 0);
  struct {
    const char* what;
    std::string name;
    bool gone;
  } cases[] = {
      {"ended process", nameOf(ended), true},
      {"running child", nameOf(running), false},
      {"this process", nameOf(getpid()), false},
      {"init", nameOf(1), false},
      {"no process id", ".twf-0000000000aa.part", false},
      {"not a copy's name", "f" + nameOf(ended), false},
  };
  const int dir = open("/tmp", O_PATH | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(dir, 0);
  for (const auto& c : cases) EXPECT_EQ(CopyTempWriterGone(dir, c.name), c.gone) << c.what;
  close(dir);
  kill(running, SIGKILL);
  waitpid(running, nullptr, 0);
}

TEST(PlatformOps, ClearReadOnlyAddsOnlyTheOwnerWriteBit) {
  TTempTree t;
  struct {
    mode_t before, after;
  } cases[] = {{0444, 0644}, {0400, 0600}, {04555, 04755}, {0600, 0600}, {0200, 0200}};
  for (auto& c : cases) {
    t.Write("f", "x", c.before);
    test::ClearReadOnly(Fs(), t.Path("f"));
    EXPECT_EQ(LStat(t.Path("f")).st_mode & 07777, c.after) << std::oct << c.before;
  }
  test::ClearReadOnly(Fs(), t.Path("gone")); // ignored
}

TEST(PlatformOps, ResolvePathForCompareFollowsLinksOfTheExistingPart) {
  TTempTree t;
  t.MkDir("real");
  t.MkDir("real/sub");
  t.Link("real", "rel-link");
  t.Link(t.Path("real"), "abs-link");
  t.Link("nowhere", "dangling");
  char* base = realpath(t.Root().c_str(), nullptr);
  ASSERT_NE(base, nullptr);
  const std::string b = base;
  free(base);
  struct {
    const char* in;
    std::string want;
  } cases[] = {
      {"real/sub", b + "/real/sub"},
      {"rel-link/sub", b + "/real/sub"},
      {"abs-link/sub/", b + "/real/sub"},
      {"rel-link/missing/x", b + "/real/missing/x"},
      {"rel-link/../real", b + "/real"},
      {"missing/../real/./sub", b + "/real/sub"},
      {"dangling/x", b + "/nowhere/x"},
  };
  for (auto& c : cases) EXPECT_EQ(ResolvePathForCompare(t.Path(c.in)), c.want) << c.in;
  EXPECT_EQ(ResolvePathForCompare("/"), "/");
}

TEST(PlatformOps, SmallHelpers) {
  EXPECT_EQ(SystemMessage(ENOENT), "No such file or directory");
  EXPECT_EQ(SystemMessage(ENOSPC), "No space left on device");
  EXPECT_EQ(SystemMessage(kCopyAborted), "Operation canceled");
  EXPECT_TRUE(IsFileInUseCode(EBUSY));
  EXPECT_TRUE(IsFileInUseCode(ETXTBSY));
  EXPECT_FALSE(IsFileInUseCode(EACCES));
  EXPECT_FALSE(IsFileInUseCode(0));

  struct {
    const char* name;
    bool want;
  } names[] = {
      {".twf-0123456789ab.part", true},  {".twf-0123456789AB.part", false},
      {".twf-0123456789a.part", false},  {".twf-0123456789abc.part", false},
      {"x.twf-0123456789ab.part", false}, {".twf-0123456789ab.parts", false},
      {"twf-0123456789ab.part", false},  {".twf-0123456789ag.part", false},
  };
  for (auto& n : names) EXPECT_EQ(IsCopyTempName(n.name), n.want) << n.name;

  int64_t a = MonotonicMs();
  usleep(20000);
  EXPECT_GE(MonotonicMs() - a, 19);
}

// -------------------------------------------------------------------- copy

TEST(PlatformCopy, CarriesBytesModeAndNanosecondTime) {
  struct {
    int64_t size;
    bool large, flush, existingReadOnlyTarget;
  } cases[] = {
      {0, false, false, false},         {1, false, true, true},
      {4 * kMiB, false, false, true},   {4 * kMiB + 1, true, false, false},
      {9 * kMiB + 3, true, true, true}, {300 * 1024, false, false, false},
  };
  for (auto& c : cases) {
    SCOPED_TRACE("size " + std::to_string(c.size) + (c.large ? " large" : "") + (c.flush ? " flush" : ""));
    TTempTree t;
    const std::string content = Pattern(size_t(c.size), unsigned(c.size));
    t.Write("src", content, 0751);
    SetTimes(t.Path("src"), 1600000000, 987654321);
    if (c.existingReadOnlyTarget) t.Write("dst", "old version", 0444);

    std::vector<int64_t> seen;
    auto progress = [&](int64_t n) {
      seen.push_back(n);
      return true;
    };
    std::atomic<bool> cancel{false};
    ASSERT_EQ(test::CopyFile(Fs(), t.Path("src"), t.Path("dst"), progress, &cancel, c.large, c.flush), 0);
    EXPECT_TRUE(t.Read("dst") == content);
    struct stat st = LStat(t.Path("dst"));
    EXPECT_EQ(st.st_mode & 07777, 0751u);
    EXPECT_EQ(st.st_mtim.tv_sec, 1600000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 987654321);
    EXPECT_EQ(t.Names(""), "dst src");
    if (c.size > 0) {
      ASSERT_FALSE(seen.empty());
      EXPECT_EQ(seen.back(), c.size);
      EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
      // Progress comes in steps of at most a few MiB so big files move visibly.
      EXPECT_GE(seen.size(), size_t(c.size / (8 * kMiB)) + 1);
    }
  }
}

// A new file is written unnamed and linked in when complete, so a kill
// leaves nothing; replacing a name, or a file system without unnamed files,
// goes through a short temporary name beside the target.
TEST(PlatformCopy, CopyIsUnnamedOrUnderAShortTemporaryNameUntilComplete) {
  struct {
    const char* what;
    bool unnamedRefused, targetExists;
    const char* seenDuring; // "temp": one temporary name; else the exact listing
  } cases[] = {
      {"new file", false, false, ""},
      {"existing file", false, true, "a-rather-long-target-name.bin"},
      {"new file without unnamed files", true, false, "temp"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    TTempTree t;
    t.Write("src", Pattern(100));
    t.MkDir("out");
    if (c.targetExists) t.Write("out/a-rather-long-target-name.bin", "old");
    // 0: copied and the listing during the copy was the one expected.
    auto copy = [&] {
      std::string during;
      auto progress = [&](int64_t) {
        during = t.Names("out");
        return true;
      };
      if (test::CopyFile(Fs(), t.Path("src"), t.Path("out/a-rather-long-target-name.bin"), progress, nullptr, false,
                        false) != 0)
        return 1;
      const bool seen = std::string(c.seenDuring) == "temp" ? IsCopyTempName(during) : during == c.seenDuring;
      if (!seen) ADD_FAILURE() << "seen during the copy: " << during;
      return seen ? 0 : 2;
    };
    const int result = c.unnamedRefused ? test::RunWithoutUnnamedFiles(copy) : copy();
    if (result < 0) GTEST_SKIP() << "this kernel does not let a test refuse O_TMPFILE";
    EXPECT_EQ(result, 0);
    EXPECT_EQ(t.Names("out"), "a-rather-long-target-name.bin");
    EXPECT_EQ(t.Read("out/a-rather-long-target-name.bin"), Pattern(100));
  }
}

TEST(PlatformCopy, AbortLeavesTheOldTargetAndNoTemporaryFile) {
  struct {
    const char* what;
    bool cancelBefore, progressSaysStop, progressSetsCancel;
  } cases[] = {
      {"cancel flag set before the copy", true, false, false},
      {"progress routine says stop", false, true, false},
      {"cancel flag set during the copy", false, false, true},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    TTempTree t;
    t.Write("src", Pattern(size_t(12 * kMiB)));
    t.Write("dst", "old");
    std::atomic<bool> cancel{c.cancelBefore};
    int calls = 0;
    auto progress = [&](int64_t) {
      ++calls;
      if (c.progressSetsCancel) cancel = true;
      return !c.progressSaysStop;
    };
    EXPECT_EQ(test::CopyFile(Fs(), t.Path("src"), t.Path("dst"), progress, &cancel, true, false), kCopyAborted);
    EXPECT_EQ(t.Read("dst"), "old");
    EXPECT_EQ(t.Names(""), "dst src");
    EXPECT_LE(calls, 1); // stops within one step
  }
}

TEST(PlatformCopy, FailuresLeaveNothingBehind) {
  TTempTree t(BaseOpenToAll()); // nobody must reach it
  t.Write("src", "data");
  t.MkDir("dir");
  t.MkDir("locked", 0755);
  ASSERT_EQ(mkfifo(t.Path("fifo").c_str(), 0600), 0);
  struct {
    const char* src;
    const char* dst;
    int want;
  } cases[] = {
      {"gone", "dst", ENOENT}, {"src", "no/dst", ENOENT}, {"src", "dir", EISDIR},
      {"dir", "dst", EISDIR},  {"fifo", "dst", ENOTSUP},
  };
  for (auto& c : cases)
    EXPECT_EQ(test::CopyFile(Fs(), t.Path(c.src), t.Path(c.dst), {}, nullptr, false, false), c.want) << c.src;
  EXPECT_EQ(t.Names(""), "dir fifo locked src");
  EXPECT_EQ(t.Names("dir"), "");

  TWF_REQUIRE_ROOT();
  EXPECT_EQ(RunAsNobody([&] {
              return test::CopyFile(Fs(), t.Path("src"), t.Path("locked/dst"), {}, nullptr, false, false);
            }),
            EACCES);
  EXPECT_EQ(t.Names("locked"), "");
}

TEST(PlatformCopy, FullDiskLeavesNeitherTemporaryNorPartialFile) {
  TTempTree t;
  t.Write("big", Pattern(size_t(3 * kMiB)));
  TScratchMount m(t.Path("small"), "tmpfs", "size=1m");
  TWF_REQUIRE_MOUNT(m);
  t.Write("small/dst", "old");
  for (bool large : {false, true}) {
    EXPECT_EQ(test::CopyFile(Fs(), t.Path("big"), t.Path("small/dst"), {}, nullptr, large, true), ENOSPC);
    EXPECT_EQ(t.Names("small"), "dst");
    EXPECT_EQ(t.Read("small/dst"), "old");
  }
}

TEST(PlatformCopy, ReadsPlainlyWhereTheKernelCannotCopyRanges) {
  // procfs files report size 0 and refuse copy_file_range.
  TTempTree t;
  ASSERT_EQ(test::CopyFile(Fs(), "/proc/version", t.Path("version"), {}, nullptr, false, false), 0);
  std::string copied = t.Read("version");
  EXPECT_FALSE(copied.empty());
  EXPECT_EQ(copied, TTempTree::ReadFile("/proc/version"));
}

TEST(PlatformCopy, FollowsASourceLink) {
  TTempTree t;
  t.Write("target", "through the link", 0600);
  t.Link("target", "link");
  ASSERT_EQ(test::CopyFile(Fs(), t.Path("link"), t.Path("dst"), {}, nullptr, false, false), 0);
  EXPECT_EQ(t.Read("dst"), "through the link");
  EXPECT_TRUE(S_ISREG(LStat(t.Path("dst")).st_mode));
}

// -------------------------------------------------------------------- move

TEST(PlatformMove, RenamesAndReplacesTheTarget) {
  TTempTree t;
  t.Write("a", "new");
  t.Write("b", "old", 0444);
  EXPECT_EQ(test::MoveFile(Fs(), t.Path("a"), t.Path("b")), 0);
  EXPECT_EQ(t.Read("b"), "new");
  EXPECT_EQ(test::MoveFile(Fs(), t.Path("a"), t.Path("c")), ENOENT);
  EXPECT_EQ(t.Names(""), "b");
}

TEST(PlatformMove, CopiesAcrossFileSystemsThenRemovesTheSource) {
  TTempTree t;
  t.Write("file", "content", 0640);
  SetTimes(t.Path("file"), 1500000000, 42);
  t.MkDir("folder");
  TScratchMount m(t.Path("other"), "tmpfs", "size=1m");
  TWF_REQUIRE_MOUNT(m);
  t.Write("other/file", "old");
  ASSERT_EQ(test::MoveFile(Fs(), t.Path("file"), t.Path("other/file")), 0);
  EXPECT_FALSE(t.Exists("file"));
  EXPECT_EQ(t.Read("other/file"), "content");
  struct stat st = LStat(t.Path("other/file"));
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_mtim.tv_nsec, 42);
  EXPECT_EQ(t.Names("other"), "file");
  // A folder cannot be carried over by a file copy: it stays where it is.
  EXPECT_EQ(test::MoveFile(Fs(), t.Path("folder"), t.Path("other/folder")), EISDIR);
  EXPECT_TRUE(t.Exists("folder"));
}

// -------------------------------------------------------------------- read

TEST(PlatformRead, ReadsTheWholeFileInPieces) {
  TTempTree t;
  const std::string content = Pattern(300000);
  t.Write("f", content);
  for (bool dropCache : {false, true}) {
    int fd = -1;
    ASSERT_EQ(Fs().OpenRead(t.Path("f"), dropCache, fd), 0);
    ASSERT_GE(fd, 0);
    std::string got;
    char buf[65536];
    for (int64_t n; (n = Fs().Read(fd, buf, sizeof buf)) > 0;) got.append(buf, size_t(n));
    EXPECT_TRUE(got == content);
    Fs().Close(fd);
  }
  int fd = 7;
  EXPECT_EQ(Fs().OpenRead(t.Path("gone"), false, fd), ENOENT);
  EXPECT_EQ(fd, -1);
  char c;
  EXPECT_EQ(Fs().Read(-1, &c, 1), -EBADF);
}

// --------------------------------------------------------------------- ACL

TEST(PlatformAcl, RoundTripsAccessAndDefaultAcls) {
  TTempTree t;
  t.Write("src", "x");
  t.Write("dst", "x");
  t.MkDir("srcdir");
  t.MkDir("dstdir");
  t.MkDir("plaindir");
  IFileSystem& fs = Fs();
  int err = test::SetAcl(fs, t.Path("src"), "A:u::rw-,u:65534:r--,g::r--,m::r--,o::---");
  if (err == ENOTSUP) GTEST_SKIP() << "the temporary folder's file system has no ACLs";
  ASSERT_EQ(err, 0);
  ASSERT_EQ(test::SetAcl(fs, t.Path("srcdir"), "A:u::rwx,g::r-x,o::r-x\nD:u::rwx,u:65534:rwx,g::r-x,m::rwx,o::---"), 0);

  std::string fileAcl, dirAcl, copied;
  ASSERT_EQ(test::GetAcl(fs, t.Path("src"), fileAcl), 0);
  EXPECT_NE(fileAcl.find("u:65534:r--"), std::string::npos) << fileAcl;
  EXPECT_EQ(fileAcl.find("D:"), std::string::npos);
  ASSERT_EQ(test::SetAcl(fs, t.Path("dst"), fileAcl), 0);
  ASSERT_EQ(test::GetAcl(fs, t.Path("dst"), copied), 0);
  EXPECT_EQ(copied, fileAcl);

  ASSERT_EQ(test::GetAcl(fs, t.Path("srcdir"), dirAcl), 0);
  EXPECT_NE(dirAcl.find("\nD:"), std::string::npos) << dirAcl;
  ASSERT_EQ(test::SetAcl(fs, t.Path("dstdir"), dirAcl), 0);
  ASSERT_EQ(test::GetAcl(fs, t.Path("dstdir"), copied), 0);
  EXPECT_EQ(copied, dirAcl);

  // A folder without a default ACL takes it away from the target.
  std::string plain;
  ASSERT_EQ(test::GetAcl(fs, t.Path("plaindir"), plain), 0);
  EXPECT_NE(plain.find("\nD:\n"), std::string::npos) << plain;
  ASSERT_EQ(test::SetAcl(fs, t.Path("dstdir"), plain), 0);
  ASSERT_EQ(test::GetAcl(fs, t.Path("dstdir"), copied), 0);
  EXPECT_EQ(copied, plain);
}

TEST(PlatformAcl, ErrorsAreErrnoValues) {
  TTempTree t;
  t.Write("f", "x");
  std::string acl;
  EXPECT_EQ(test::GetAcl(Fs(), t.Path("gone"), acl), ENOENT);
  EXPECT_EQ(test::SetAcl(Fs(), t.Path("f"), "not an acl"), EINVAL);
  EXPECT_EQ(test::SetAcl(Fs(), t.Path("f"), ""), EINVAL);
  EXPECT_EQ(test::SetAcl(Fs(), t.Path("f"), "A:u::rw-,bogus"), EINVAL);

  TScratchMount m(t.Path("ramfs"), "ramfs", "");
  TWF_REQUIRE_MOUNT(m);
  t.Write("ramfs/f", "x");
  EXPECT_EQ(test::GetAcl(Fs(), t.Path("ramfs/f"), acl), ENOTSUP);
  EXPECT_EQ(test::SetAcl(Fs(), t.Path("ramfs/f"), "A:u::rw-,g::r--,o::r--"), ENOTSUP);
}

// ------------------------------------------------------------------- Trash

TEST(PlatformTrash, ReportsEachFile) {
  ASSERT_FALSE(test::PrivateDataHome().empty());
  TTempTree t;
  t.Write("one", "1");
  t.Write("two", "2", 0444);
  std::vector<int> results;
  EXPECT_EQ(test::TrashFiles(Fs(), {t.Path("one"), t.Path("gone"), t.Path("two")}, results), 0);
  EXPECT_EQ(results, (std::vector<int>{0, ENOENT, 0}));
  EXPECT_EQ(t.Names(""), "");
  const std::string trash = test::PrivateDataHome() + "/Trash";
  EXPECT_EQ(TTempTree::ReadFile(trash + "/files/one"), "1");
  EXPECT_EQ(TTempTree::ReadFile(trash + "/files/two"), "2");
  EXPECT_NE(TTempTree::ReadFile(trash + "/info/one.trashinfo").find("Path="), std::string::npos);

  EXPECT_EQ(test::TrashFiles(Fs(), {t.Path("gone"), t.Path("also-gone")}, results), ENOENT);
  EXPECT_EQ(results, (std::vector<int>{ENOENT, ENOENT}));
  EXPECT_EQ(test::TrashFiles(Fs(), {}, results), 0);
  EXPECT_TRUE(results.empty());
}

TEST(PlatformTrash, OtherFileSystemsUseTheirOwnTrashOrRefuse) {
  ASSERT_FALSE(test::PrivateDataHome().empty());
  // A Trash at the top of an ordinary file system; memory-backed ones such
  // as tmpfs are refused, as the desktops' Trash does.
  struct {
    const char* type;
    int want;
    std::string namesAfter;
  } cases[] = {
      {"ramfs", 0, ".Trash-" + std::to_string(getuid())},
      {"tmpfs", EOPNOTSUPP, "f"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.type);
    TTempTree t;
    TScratchMount m(t.Path("disk"), c.type, "");
    TWF_REQUIRE_MOUNT(m);
    t.Write("disk/f", "on the other disk");
    std::vector<int> results;
    EXPECT_EQ(test::TrashFiles(Fs(), {t.Path("disk/f")}, results), c.want);
    EXPECT_EQ(results, (std::vector<int>{c.want}));
    EXPECT_EQ(t.Names("disk"), c.namesAfter);
  }
}

// The Trash takes the file from the folder's descriptor: a folder swapped
// for a link after it was opened sends nothing else to the Trash, and the
// record names the path the folder has now.
TEST(PlatformTrash, TakesTheFileFromTheOpenFolder) {
  ASSERT_FALSE(test::PrivateDataHome().empty());
  TTempTree t;
  t.MkDir("dir");
  t.MkDir("outside");
  t.Write("dir/x", "mine");
  t.Write("outside/x", "not mine");
  int dir = -1;
  TFileInfo info;
  ASSERT_EQ(Fs().OpenDir(t.Path("dir"), dir, info), 0);
  ASSERT_EQ(rename(t.Path("dir").c_str(), t.Path("moved").c_str()), 0);
  t.Link(t.Path("outside"), "dir");
  EXPECT_EQ(Fs().TrashFileAt(dir, "x"), 0);
  Fs().Close(dir);
  EXPECT_EQ(t.Read("outside/x"), "not mine");
  EXPECT_EQ(t.Names("moved"), "");
  const std::string trash = test::PrivateDataHome() + "/Trash";
  EXPECT_EQ(TTempTree::ReadFile(trash + "/files/x"), "mine");
  EXPECT_NE(TTempTree::ReadFile(trash + "/info/x.trashinfo").find("Path=" + t.Path("moved/x") + "\n"),
            std::string::npos);
}

// ------------------------------------------------------- folders below a root

// Opening below a root never follows a link and never climbs out, with
// openat2 and with the walk that stands in for it.
TEST(PlatformBeneath, NoLinkNoEscape) {
  TTempTree t;
  t.MkDir("root");
  t.MkDir("root/a");
  t.MkDir("root/a/b");
  t.MkDir("elsewhere");
  t.Link(t.Path("root/a"), "root/lnk");
  t.Link(t.Path("elsewhere"), "root/a/out");
  struct {
    const char* rel;
    int want;
  } cases[] = {
      {"", 0},           {"a", 0},          {"a/b", 0},           {"a//b/", 0},
      {"lnk/b", ELOOP},  {"lnk", ELOOP},    {"a/out", ELOOP},     {"a/../../elsewhere", EXDEV},
      {"..", EXDEV},     {"a/none", ENOENT},
  };
  int root = open(t.Path("root").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(root, 0);
  for (bool walk : {false, true}) {
    for (auto& c : cases) {
      SCOPED_TRACE(std::string(walk ? "walk: " : "openat2: ") + c.rel);
      int fd = walk ? posix::WalkBeneath(root, c.rel, O_PATH | O_DIRECTORY)
                    : posix::OpenBeneath(root, c.rel, O_PATH | O_DIRECTORY);
      EXPECT_EQ(fd < 0 ? -fd : 0, c.want);
      if (fd >= 0) close(fd);
    }
  }
  close(root);
}

// A name opened for reading: what the call gives, and what the file holds.
struct TOpenCase {
  const char* rel;
  bool follow;
  int want;
  const char* content;
  bool viaLink;
};

// A source file is opened for reading only once it is known to be a
// regular file, and a link's owner is told, whichever link was followed.
TEST(PlatformBeneath, OpenFileAtOpensOnlyRegularFilesAndTellsTheLinksOwner) {
  TTempTree t;
  t.MkDir("root");
  t.Write("root/f", "file");
  t.Write("outside", "outside");
  ASSERT_EQ(mkfifo(t.Path("root/fifo").c_str(), 0600), 0);
  t.Link(t.Path("outside"), "root/to-file");
  t.Link("f", "root/to-f-relative");
  t.Link(t.Path("root/fifo"), "root/to-fifo");
  t.Link(t.Path(""), "root/to-dir");
  if (lchown(t.Path("root/to-file").c_str(), 65534, 65534) != 0) GTEST_SKIP() << "needs root";
  const TOpenCase cases[] = {
      {"f", false, 0, "file", false},
      {"to-file", false, ELOOP, nullptr, false},
      {"to-file", true, 0, "outside", true},
      {"to-f-relative", true, 0, "file", true},
      {"fifo", false, ENOTSUP, nullptr, false},
      {"to-fifo", true, ENOTSUP, nullptr, false},
      {"to-dir", true, EISDIR, nullptr, false},
      {"none", true, ENOENT, nullptr, false},
  };
  int root = open(t.Path("root").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(root, 0);
  // A writer waiting for the FIFO's first reader: any open for reading
  // would release it.
  std::atomic<bool> released{false};
  std::thread writer([&] {
    int w = open(t.Path("root/fifo").c_str(), O_WRONLY | O_CLOEXEC);
    released = true;
    if (w >= 0) close(w);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the writer is waiting by now
  IFileSystem& fs = RealFileSystem();
  for (auto& c : cases) {
    SCOPED_TRACE(std::string(c.rel) + (c.follow ? " followed" : ""));
    int fd = -1;
    TFileInfo info;
    EXPECT_EQ(fs.OpenFileAt(root, c.rel, c.follow, fd, info), c.want);
    if (fd < 0) continue;
    char buf[16] = {};
    EXPECT_EQ(std::string(buf, size_t(std::max<ssize_t>(0, read(fd, buf, sizeof buf)))), c.content);
    EXPECT_EQ(info.ViaLink, c.viaLink);
    EXPECT_EQ(info.LinkUid, c.rel == std::string("to-file") ? 65534u : info.Uid);
    close(fd);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(released.load()) << "the FIFO was opened for reading";
  int r = open(t.Path("root/fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  writer.join();
  if (r >= 0) close(r);
  close(root);
}

// A file in a folder that only root and this user can change is opened at
// once; in a folder others may write, or that is someone else's, a name
// turned into a FIFO since the scan is never opened for reading, and a
// link is still followed only when asked and tells its owner.
TEST(PlatformBeneath, OpenFileInOpensAtOnceOnlyInAFolderClosedToOthers) {
  TTempTree t;
  if (geteuid() != 0) GTEST_SKIP() << "needs root (a folder of someone else's)";
  struct TFolder {
    const char* name;
    mode_t mode;
    uid_t owner;
    bool closed;
  } folders[] = {
      {"closed", 0755, 0, true},
      {"group-writable", 0775, 0, false},
      {"others-writable", 0757, 0, false},
      {"someone-elses", 0755, 65534, false},
  };
  IFileSystem& fs = RealFileSystem();
  for (const TFolder& k : folders) {
    SCOPED_TRACE(k.name);
    const std::string d = std::string(k.name);
    t.MkDir(d);
    t.Write(d + "/f", "file");
    t.Link("f", d + "/to-f");
    ASSERT_EQ(mkfifo(t.Path(d + "/fifo").c_str(), 0600), 0);
    ASSERT_EQ(chmod(t.Path(d).c_str(), k.mode), 0);
    ASSERT_EQ(chown(t.Path(d).c_str(), k.owner, 0), 0);
    posix::TFd root(open(t.Path("").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    int dir = -1;
    TFileInfo dirInfo;
    ASSERT_EQ(fs.OpenDirAt(root.Get(), d, dir, dirInfo), 0);
    posix::TFd dirFd(dir);

    const TOpenCase cases[] = {
        {"f", false, 0, "file", false},
        {"to-f", false, ELOOP, nullptr, false},
        {"to-f", true, 0, "file", true},
        {"none", false, ENOENT, nullptr, false},
    };
    for (auto& c : cases) {
      SCOPED_TRACE(std::string(c.rel) + (c.follow ? " followed" : ""));
      int fd = -1;
      TFileInfo info;
      EXPECT_EQ(fs.OpenFileIn(dir, dirInfo, c.rel, c.follow, fd, info), c.want);
      if (fd < 0) continue;
      char buf[16] = {};
      EXPECT_EQ(std::string(buf, size_t(std::max<ssize_t>(0, read(fd, buf, sizeof buf)))), c.content);
      EXPECT_EQ(info.ViaLink, c.viaLink);
      close(fd);
    }

    std::atomic<bool> released{false};
    std::thread writer([&] {
      int w = open(t.Path(d + "/fifo").c_str(), O_WRONLY | O_CLOEXEC);
      released = true;
      if (w >= 0) close(w);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the writer is waiting by now
    int fd = -1;
    TFileInfo info;
    EXPECT_EQ(fs.OpenFileIn(dir, dirInfo, "fifo", false, fd, info), ENOTSUP);
    EXPECT_EQ(fd, -1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // Only root or this user could have put a FIFO in a closed folder,
    // where the name is opened at once (on a file system that rules by
    // its permission bits).
    if (!k.closed) EXPECT_FALSE(released.load()) << "the FIFO was opened for reading";
    else if (posix::OnKnownLocalFileSystem(dir)) EXPECT_TRUE(released.load()) << "not opened at once";
    int r = open(t.Path(d + "/fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    writer.join();
    if (r >= 0) close(r);
  }
}

// ------------------------------------------------------- space and identity

TEST(PlatformVolume, SerialAndLabelTexts) {
  struct {
    const char* uuid;
    const char* serial;
  } serials[] = {
      {"1a2b-3c4d", "1A2B-3C4D"},
      {"0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0", "0F1E-2D3C"},
      {"01234567", "0123-4567"},
      {"0123456", ""},
      {"", ""},
      {"zz34-5678", ""},
  };
  for (auto& s : serials) EXPECT_EQ(posix::SerialFromUuid(s.uuid), s.serial) << s.uuid;
  EXPECT_EQ(posix::SerialFromNumber(0x1A2B3C4D), "1A2B-3C4D");
  EXPECT_EQ(posix::SerialFromNumber(0), "0000-0000");

  EXPECT_EQ(posix::DecodeUdevName("My\\x20Disk"), "My Disk");
  EXPECT_EQ(posix::DecodeUdevName("a\\x2fb\\x5c\\x5"), "a/b\\\\x5");
  EXPECT_EQ(posix::DecodeUdevName("\\xc3\\xa9t\\xc3\\xa9"), "\xc3\xa9t\xc3\xa9");
  EXPECT_EQ(posix::DecodeMountField("/mnt/my\\040disk\\011x"), "/mnt/my disk\tx");
  EXPECT_EQ(posix::DecodeMountField("trailing\\04"), "trailing\\04");
}

TEST(PlatformVolume, IdentityOfTheNearestExistingFolder) {
  TTempTree t(BaseOpenToAll()); // nobody must reach it
  std::string label, serial, label2, serial2;
  ASSERT_TRUE(Fs().VolumeIdentity(t.Root(), label, serial));
  EXPECT_TRUE(std::regex_match(serial, std::regex("[0-9A-F]{4}-[0-9A-F]{4}"))) << serial;
  ASSERT_TRUE(Fs().VolumeIdentity(t.Path("not/yet/there"), label2, serial2));
  EXPECT_EQ(serial2, serial);
  EXPECT_EQ(label2, label);
  EXPECT_FALSE(Fs().VolumeIdentity("", label2, serial2));
  EXPECT_TRUE(serial2.empty());

  TWF_REQUIRE_ROOT();
  EXPECT_EQ(RunAsNobody([&] {
              std::string l, s;
              return Fs().VolumeIdentity(t.Root(), l, s) && s == serial && l == label ? 0 : 1;
            }),
            0);
}

TEST(PlatformVolume, TwoFileSystemsHaveDifferentSerials) {
  TTempTree t;
  TScratchMount a(t.Path("a"), "tmpfs", "size=64k");
  TWF_REQUIRE_MOUNT(a);
  TScratchMount b(t.Path("b"), "tmpfs", "size=64k");
  TWF_REQUIRE_MOUNT(b);
  std::string label, root, serialA, serialB;
  ASSERT_TRUE(Fs().VolumeIdentity(t.Root(), label, root));
  ASSERT_TRUE(Fs().VolumeIdentity(t.Path("a/new"), label, serialA));
  ASSERT_TRUE(Fs().VolumeIdentity(t.Path("b"), label, serialB));
  EXPECT_NE(serialA, serialB);
  EXPECT_NE(serialA, root);
  EXPECT_NE(serialB, root);
}

TEST(PlatformVolume, FreeSpaceOfTheNearestExistingFolder) {
  TTempTree t;
  EXPECT_GT(Fs().FreeSpace(t.Root()), 0);
  EXPECT_EQ(Fs().FreeSpace(""), -1);
  TScratchMount m(t.Path("small"), "tmpfs", "size=1m");
  TWF_REQUIRE_MOUNT(m);
  int64_t free = Fs().FreeSpace(t.Path("small/not/yet"));
  EXPECT_GT(free, 0);
  EXPECT_LE(free, kMiB);
  t.Write("small/f", Pattern(size_t(kMiB / 2)));
  EXPECT_LT(Fs().FreeSpace(t.Path("small")), free);
  // No block figures at all is not a full disk.
  TScratchMount ram(t.Path("ram"), "ramfs", "");
  TWF_REQUIRE_MOUNT(ram);
  EXPECT_EQ(Fs().FreeSpace(t.Path("ram")), -1);
}

TEST(PlatformVolume, RootOfAFileSystem) {
  TTempTree t;
  t.MkDir("m");
  t.Link("m", "link-m");
  EXPECT_TRUE(IsFileSystemRoot("/"));
  EXPECT_FALSE(IsFileSystemRoot(t.Path("m")));
  EXPECT_FALSE(IsFileSystemRoot(t.Path("missing")));
  TScratchMount m(t.Path("m"), "tmpfs", "size=64k");
  TWF_REQUIRE_MOUNT(m);
  t.MkDir("m/sub");
  EXPECT_TRUE(IsFileSystemRoot(t.Path("m")));
  EXPECT_TRUE(IsFileSystemRoot(t.Path("link-m")));
  EXPECT_FALSE(IsFileSystemRoot(t.Path("m/sub")));
}

} // namespace
} // namespace twf

namespace twf {

// A write takes the set-id bits away from a file: a copy made while its
// owner wrote to it does not keep the bits the file had when the copy
// began (a root copy would otherwise hand a set-group-id program of
// another group's to contents that owner wrote).
TEST(PlatformCopy, SetIdBitsLostDuringTheCopyStayLost) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  test::TTempDir t(test::BaseOpenToAll()); // the owner must reach the file
  chmod(t.Path().c_str(), 0755);
  const std::string src = t.Path() + "/prog", dst = t.Path() + "/copy";
  test::WriteFile(src, std::string(1 << 20, 'a'));
  ASSERT_EQ(chown(src.c_str(), 65534, 1234), 0);
  ASSERT_EQ(chmod(src.c_str(), 02755), 0);
  int written = -1;
  auto progress = [&](int64_t) {
    if (written != -1) return true;
    written = RunAsNobody([&] {
      const int fd = open(src.c_str(), O_WRONLY | O_CLOEXEC);
      return fd >= 0 && pwrite(fd, "evil", 4, 0) == 4 ? 0 : 1;
    });
    return true;
  };
  ASSERT_EQ(test::CopyFile(RealFileSystem(), src, dst, progress), 0);
  if (written != 0) GTEST_SKIP() << "the owner cannot reach the test folder";
  struct stat st;
  ASSERT_EQ(lstat(dst.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u) << std::oct << st.st_mode;
}

} // namespace twf

namespace twf {
namespace {

// A tree walk lists each folder by its path below the walk's root in one
// call: never through a link, never above the root, and the folder's own
// identity comes with the entries.
TEST(PlatformListDir, BelowARootInOneCall) {
  TTempTree t;
  t.MkDir("top");
  t.MkDir("top/sub");
  t.Write("top/sub/a", "x");
  t.Write("top/file", "x");
  t.Link("sub", "top/link-sub");
  t.Link("top", "link-top");
  posix::TFd root(open(t.Root().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  ASSERT_GE(root.Get(), 0);
  struct TCase {
    const char* Rel;
    int Err;
  };
  for (const TCase& c : {TCase{"top/sub", 0}, TCase{"", 0}, TCase{"top/missing", ENOENT},
                         TCase{"top/file", ENOTDIR}, TCase{"top/link-sub", ELOOP}, TCase{"link-top/sub", ELOOP},
                         TCase{"top/../..", EXDEV}}) {
    SCOPED_TRACE(c.Rel);
    std::vector<TDirEntry> out(3); // whatever was there goes
    TFileInfo info;
    EXPECT_EQ(Fs().ListDirBeneath(root.Get(), c.Rel, out, true, info), c.Err);
    if (c.Err != 0) {
      EXPECT_TRUE(out.empty());
      continue;
    }
    const struct stat st = LStat(t.Path(c.Rel));
    EXPECT_EQ(info.Ino, uint64_t(st.st_ino));
    EXPECT_TRUE(info.IsDir);
    EXPECT_EQ(out.size(), std::string(c.Rel).empty() ? 2u : 1u);
  }
}

} // namespace
} // namespace twf

namespace twf {
namespace {

// A file is held open across its removal only on a local file system that
// frees it on the last close; elsewhere (a network file system renames a
// file removed while open, instead of removing it) the name is removed
// with nothing held.
TEST(PlatformRelease, HoldsOnlyWhereTheLastCloseFrees) {
  if (!ReleasesInBackground()) GTEST_SKIP() << "no io_uring that can close in the background here";
  struct TCase {
    const char* Type;
    bool Held;
  };
  for (const TCase& c : {TCase{"tmpfs", true}, TCase{"ramfs", false}}) {
    SCOPED_TRACE(c.Type);
    TTempTree t;
    TScratchMount m(t.Path("mnt"), c.Type, "");
    TWF_REQUIRE_MOUNT(m);
    t.Write("mnt/f", std::string(4096, 'x'));
    posix::TFd dir(open(t.Path("mnt").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    const int hold = HoldBeforeRemoving(dir.Get(), "f");
    EXPECT_EQ(hold >= 0, c.Held);
    ASSERT_EQ(unlinkat(dir.Get(), "f", 0), 0);
    ReleaseLater(hold);
    WaitForReleases();
    EXPECT_EQ(Fs().DeleteFileAt(dir.Get(), "f"), ENOENT);
  }
}

// Files deleted by a thread that ends at once (as a phase's workers do)
// still give their space back, and no hold is left open: a thread's end
// must not take the closes it handed over with it.
TEST(PlatformRelease, ClosesOutliveTheThreadThatHandedThemOver) {
  if (!ReleasesInBackground()) GTEST_SKIP() << "no io_uring that can close in the background here";
  TTempTree t;
  TScratchMount m(t.Path("mnt"), "tmpfs", "size=4m");
  TWF_REQUIRE_MOUNT(m);
  constexpr int kFiles = 27; // not a whole number of batches
  for (int i = 0; i < kFiles; ++i) t.Write("mnt/f" + std::to_string(i), std::string(96 * 1024, 'x'));
  auto freeBytes = [&] {
    struct statvfs v {};
    statvfs(t.Path("mnt").c_str(), &v);
    return int64_t(v.f_bavail) * int64_t(v.f_frsize);
  };
  const int64_t full = freeBytes();
  WaitForReleases(); // anything of earlier tests
  const size_t fdsBefore = test::ListTree("/proc/self/fd").size();
  posix::TFd dir(open(t.Path("mnt").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  std::thread deleter([&] {
    for (int i = 0; i < kFiles; ++i) {
      const std::string name = "f" + std::to_string(i);
      const int hold = HoldBeforeRemoving(dir.Get(), name.c_str());
      ASSERT_EQ(unlinkat(dir.Get(), name.c_str(), 0), 0);
      ReleaseLater(hold);
    }
  });
  deleter.join();
  WaitForReleases();
  // A close that has completed may still be giving its blocks back.
  for (int look = 0; look < 100 && freeBytes() < full + int64_t(kFiles) * 96 * 1024; ++look)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_GE(freeBytes(), full + int64_t(kFiles) * 96 * 1024);
  dir.Reset(-1);
  EXPECT_EQ(test::ListTree("/proc/self/fd").size(), fdsBefore);
}

} // namespace
} // namespace twf
