// Small helpers that build and inspect folder trees for tests: temporary
// folders, a tree built in a few lines, comparisons, a private scratch
// mount, and running a step as an unprivileged user.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace twf::test {

// A fresh folder below base ($TMPDIR, else /tmp, when base is empty), removed
// with everything in it on destruction. Only its owner may enter it.
class TTempDir {
public:
  TTempDir();
  explicit TTempDir(const std::string& base);
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  const std::string& Path() const { return FPath; }
  std::string operator/(const std::string& rel) const { return FPath + "/" + rel; }

private:
  std::string FPath;
};

// A temporary folder that every user may enter (steps run as another user
// must reach it; give them a base they can reach too, BaseOpenToAll()),
// with builders for the items of a tree, each named relative to the root.
class TTempTree : public TTempDir {
public:
  explicit TTempTree(const std::string& base = "");

  const std::string& Root() const { return Path(); }
  std::string Path(const std::string& rel) const { return rel.empty() ? Root() : Root() + "/" + rel; }
  using TTempDir::Path;

  // Replaces what is there with a file of exactly this content and mode.
  void Write(const std::string& rel, const std::string& content, mode_t mode = 0644) const;
  std::string Read(const std::string& rel) const { return ReadFile(Path(rel)); }
  void MkDir(const std::string& rel, mode_t mode = 0755) const;
  void Link(const std::string& target, const std::string& rel) const;
  bool Exists(const std::string& rel) const;
  // Entry names of a folder, sorted, "." and ".." left out, joined by spaces.
  std::string Names(const std::string& rel) const;

  // The content, or "<missing>" when the file cannot be opened.
  static std::string ReadFile(const std::string& path);
};

// Writes content to path, creating missing parent folders.
void WriteFile(const std::string& path, const std::string& content);
// The content; empty when the file cannot be read.
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);   // lstat succeeds
bool IsDir(const std::string& path);
void MakeDirs(const std::string& path);
// Sets the modification time (seconds and nanoseconds since 1970).
void SetMTime(const std::string& path, int64_t sec, int64_t nsec = 0);
int64_t MTimeNs(const std::string& path);
// Removes a tree of any depth: descends by descriptor, so paths beyond
// PATH_MAX and folders without permissions are no obstacle.
void RemoveTree(const std::string& path);
void RemoveTreeAt(int parent, const char* name);
// A temporary folder every user can reach ($TMPDIR when it is, else /tmp,
// /var/tmp or /dev/shm), for trees that a step run as another user must see:
// $TMPDIR may be private to root (0700 somewhere on the way down). Empty when
// there is none.
std::string BaseOpenToAll();
// Runs a shell command; returns its exit status.
int Shell(const std::string& cmd);
std::string ShellOut(const std::string& cmd);

// Differences between two trees (names, kinds, sizes, contents, modification
// times to the nanosecond, permission bits); empty when they are equal.
std::string TreeDiff(const std::string& a, const std::string& b);
// Relative paths below root (files and folders), sorted.
std::vector<std::string> ListTree(const std::string& root);

// The data folder (XDG_DATA_HOME) the test entry of support/test_main.cpp
// gave this binary; the home Trash lies below it. Empty in binaries started
// without that entry, where no test may use the Trash.
const std::string& PrivateDataHome();
void SetPrivateDataHome(const std::string& path);

// Mounts a file system of its own for the tests that need a second file
// system, a full disk or one without ACLs. Where the sandbox allows it the
// mount goes into a private mount namespace first, so nothing leaks out
// even if the test dies. Ok() is false when mounting is not permitted.
class TScratchMount {
public:
  TScratchMount(const std::string& dir, const char* type, const char* options);
  ~TScratchMount();
  TScratchMount(const TScratchMount&) = delete;
  TScratchMount& operator=(const TScratchMount&) = delete;
  bool Ok() const { return Ok_; }
  const std::string& Error() const { return Error_; }

private:
  std::string Dir_;
  bool Ok_ = false;
  std::string Error_;
};

#define TWF_REQUIRE_MOUNT(m)                                                                   \
  if (!(m).Ok()) GTEST_SKIP() << "mounting a scratch file system is not permitted here: " << (m).Error()

#define TWF_REQUIRE_ROOT()                                                                     \
  if (geteuid() != 0) GTEST_SKIP() << "switching to another user needs root"

// Runs step in a child process as user and group 65534 and returns what it
// returned (0..255), or -1 when the child could not drop its privileges.
int RunAsNobody(const std::function<int()>& step);

} // namespace twf::test
