#include <gtest/gtest.h>

#include <thread>

#include "support/fault_fs.h"
#include "support/path_calls.h"
#include "support/tree.h"

namespace twf {
namespace {

using test::TTempTree;

struct PlatformFault : ::testing::Test {
  TTempTree T;
  TFaultFileSystem Fs{RealFileSystem()};
};

TEST_F(PlatformFault, FailsTheNthCallOnceOrFromThenOn) {
  T.Write("f", "x");
  struct {
    const char* what;
    bool persistent;
    std::vector<int> want;
  } cases[] = {
      {"once", false, {0, EIO, 0, 0}},
      {"from then on", true, {0, EIO, EIO, EIO}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    TFaultFileSystem fs(RealFileSystem());
    fs.FailNth(TFsCall::Stat, 2, EIO, c.persistent);
    std::vector<int> got;
    for (int i = 0; i < 4; ++i) {
      TFileInfo info;
      got.push_back(fs.Stat(T.Path("f"), info));
    }
    EXPECT_EQ(got, c.want);
    EXPECT_EQ(fs.Calls(TFsCall::Stat), 4u);
    EXPECT_EQ(fs.Calls(TFsCall::ListDir), 0u);
  }
}

TEST_F(PlatformFault, FailedCallsChangeNothing) {
  T.Write("src", "new");
  T.Write("dst", "old", 0444);
  T.MkDir("dir");
  for (int k = 0; k < int(TFsCall::Count); ++k) Fs.FailPath(TFsCall(k), T.Root(), EIO);

  EXPECT_EQ(test::CopyFile(Fs, T.Path("src"), T.Path("dst"), {}, nullptr, false, false), EIO);
  EXPECT_EQ(test::MoveFile(Fs, T.Path("src"), T.Path("dst")), EIO);
  EXPECT_EQ(test::DeleteFile(Fs, T.Path("src")), EIO);
  EXPECT_EQ(test::RemoveDir(Fs, T.Path("dir")), EIO);
  EXPECT_EQ(test::CreateDir(Fs, T.Path("new")), EIO);
  EXPECT_EQ(Fs.CreateDirPath(T.Path("new/deeper")), EIO);
  EXPECT_FALSE(Fs.IsDirectory(T.Path("dir")));
  test::ClearReadOnly(Fs, T.Path("dst"));
  EXPECT_EQ(Fs.FreeSpace(T.Path("dir")), -1);
  std::string label = "x", serial = "y";
  EXPECT_FALSE(Fs.VolumeIdentity(T.Path("dir"), label, serial));
  EXPECT_EQ(label + serial, "");
  std::vector<TDirEntry> list(3);
  EXPECT_EQ(test::ListDir(Fs, T.Root(), list), EIO);
  EXPECT_TRUE(list.empty());
  int fd = 5;
  EXPECT_EQ(Fs.OpenRead(T.Path("src"), false, fd), EIO);
  EXPECT_EQ(fd, -1);

  EXPECT_EQ(T.Names(""), "dir dst src");
  EXPECT_EQ(T.Read("dst"), "old");
  struct stat st;
  ASSERT_EQ(stat(T.Path("dst").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0444u);

  // Path faults match only their paths; the second path of a copy counts too.
  Fs.ClearFaults();
  Fs.FailPath(TFsCall::CopyFile, "/dst", ENOSPC);
  EXPECT_EQ(test::CopyFile(Fs, T.Path("src"), T.Path("dst"), {}, nullptr, false, false), ENOSPC);
  EXPECT_EQ(test::CopyFile(Fs, T.Path("src"), T.Path("other"), {}, nullptr, false, false), 0);
}

TEST_F(PlatformFault, CopyFailsPartWayWithProgressAndCleanup) {
  const std::string content(10 << 20, 'z');
  T.Write("src", content);
  T.Write("dst", "old");
  Fs.FailCopyAfter(2, 1, EIO);
  int64_t last = 0;
  auto progress = [&](int64_t n) {
    last = n;
    return true;
  };
  ASSERT_EQ(test::CopyFile(Fs, T.Path("src"), T.Path("a"), progress, nullptr, false, false), 0);
  last = 0;
  EXPECT_EQ(test::CopyFile(Fs, T.Path("src"), T.Path("dst"), progress, nullptr, false, false), EIO);
  EXPECT_GT(last, 0);
  EXPECT_LT(last, int64_t(content.size()));
  EXPECT_EQ(T.Read("dst"), "old");
  EXPECT_EQ(T.Names(""), "a dst src");
}

TEST_F(PlatformFault, ReadsFailByNumberOrByTheOpenedPath) {
  T.Write("good", std::string(3000, 'g'));
  T.Write("bad", std::string(3000, 'b'));
  Fs.FailPath(TFsCall::Read, "bad", EIO);
  Fs.FailNth(TFsCall::Read, 3, EIO);
  auto readAll = [&](const char* name, std::string& out) {
    int fd = -1;
    EXPECT_EQ(Fs.OpenRead(T.Path(name), false, fd), 0);
    char buf[1000];
    int64_t n;
    while ((n = Fs.Read(fd, buf, sizeof buf)) > 0) out.append(buf, size_t(n));
    Fs.Close(fd);
    return n;
  };
  std::string good, bad;
  // The third read overall fails: the file ends early, as after a disk error.
  EXPECT_EQ(readAll("good", good), -EIO);
  EXPECT_EQ(good.size(), 2000u);
  EXPECT_EQ(readAll("bad", bad), -EIO);
  EXPECT_TRUE(bad.empty());
  good.clear();
  EXPECT_EQ(readAll("good", good), 0);
  EXPECT_EQ(good.size(), 3000u);
  EXPECT_EQ(Fs.Calls(TFsCall::Close), 3u);
}

TEST_F(PlatformFault, TrashFaultsArePerFile) {
  ASSERT_FALSE(test::PrivateDataHome().empty());
  T.Write("keep", "k");
  T.Write("go", "g");
  Fs.FailPath(TFsCall::TrashFiles, "keep", EACCES);
  std::vector<int> results;
  EXPECT_EQ(test::TrashFiles(Fs, {T.Path("keep"), T.Path("go"), T.Path("gone")}, results), 0);
  EXPECT_EQ(results, (std::vector<int>{EACCES, 0, ENOENT}));
  EXPECT_EQ(T.Names(""), "keep");

  Fs.ClearFaults();
  Fs.ResetCounts();
  Fs.FailNth(TFsCall::TrashFiles, 1, EIO, true);
  EXPECT_EQ(test::TrashFiles(Fs, {T.Path("keep"), T.Path("x")}, results), EIO);
  EXPECT_EQ(results, (std::vector<int>{EIO, EIO}));
}

TEST_F(PlatformFault, CountsExactlyUnderManyThreads) {
  T.Write("f", "x");
  Fs.FailNth(TFsCall::Stat, 500, EIO);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&] {
      for (int j = 0; j < 250; ++j) {
        TFileInfo info;
        if (Fs.Stat(T.Path("f"), info) != 0) ++failures;
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 1);
  EXPECT_EQ(Fs.Calls(TFsCall::Stat), 2000u);
  Fs.ResetCounts();
  EXPECT_EQ(Fs.Calls(TFsCall::Stat), 0u);
}

TEST_F(PlatformFault, HookSeesEveryCall) {
  std::vector<std::string> seen;
  Fs.SetHook([&](TFsCall kind, const std::string& path) {
    seen.push_back(std::string(FsCallName(kind)) + " " + path.substr(path.rfind('/') + 1));
  });
  T.Write("a", "x");
  Fs.IsDirectory(T.Path("a"));
  // Descriptor calls name the items they reach.
  int dir = -1, in = -1;
  TFileInfo info;
  ASSERT_EQ(Fs.OpenDir(T.Root(), dir, info), 0);
  ASSERT_EQ(Fs.OpenFileAt(dir, "a", false, in, info), 0);
  EXPECT_EQ(Fs.CopyFileAt(in, dir, "b", {}, nullptr, false, false, {}, nullptr, nullptr), 0);
  Fs.Close(in);
  EXPECT_EQ(Fs.DeleteFileAt(dir, "b"), 0);
  Fs.Close(dir);
  const std::string root = T.Root().substr(T.Root().rfind('/') + 1);
  EXPECT_EQ(seen, (std::vector<std::string>{"IsDirectory a", "OpenDir " + root, "OpenRead a", "CopyFile a",
                                            "Close a", "DeleteFile b", "Close " + root}));
}

} // namespace
} // namespace twf
