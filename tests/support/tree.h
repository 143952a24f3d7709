// Small helpers that build and inspect folder trees for tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace twf::test {

// A fresh folder below base ($TMPDIR, else /tmp, when base is empty), removed
// with everything in it on destruction.
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

// Writes content to path, creating missing parent folders.
void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);   // lstat succeeds
bool IsDir(const std::string& path);
void MakeDirs(const std::string& path);
// Sets the modification time (seconds and nanoseconds since 1970).
void SetMTime(const std::string& path, int64_t sec, int64_t nsec = 0);
int64_t MTimeNs(const std::string& path);
void RemoveTree(const std::string& path);
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

} // namespace twf::test
