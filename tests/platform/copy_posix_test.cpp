// The copy routine's own contract: what it copies when the source changes
// under it, where on the source it reads, and the temporary names it picks.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>

#include "platform/fs.h"
#include "support/unnamed_files.h"
#include "platform/posix_internal.h"

namespace twf {
namespace {

constexpr int64_t kMiB = 1 << 20;

std::string Bytes(int64_t size, char seed) {
  std::string s(size_t(size), '\0');
  for (size_t i = 0; i < s.size(); ++i) s[i] = char(seed + i * 7 + (i >> 12));
  return s;
}

// A scratch folder, held open, with the few file helpers these cases need.
class TScratch {
public:
  TScratch() {
    std::string tmpl = (getenv("TMPDIR") && *getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
    tmpl += "/twf-copy-XXXXXX";
    Path_ = mkdtemp(tmpl.data()) ? tmpl : "";
    Dir_ = Path_.empty() ? -1 : open(Path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  ~TScratch() {
    if (Dir_ >= 0) close(Dir_);
    if (!Path_.empty()) system(("rm -rf '" + Path_ + "'").c_str());
  }
  int Dir() const { return Dir_; }

  void Write(const char* name, const std::string& data) {
    int fd = openat(Dir_, name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, data.data(), data.size()), ssize_t(data.size()));
    close(fd);
  }
  void Append(const char* name, const std::string& data) {
    int fd = openat(Dir_, name, O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, data.data(), data.size()), ssize_t(data.size()));
    close(fd);
  }
  void Truncate(const char* name, int64_t size) {
    int fd = openat(Dir_, name, O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
  }
  std::string Read(const char* name) const {
    std::string out;
    int fd = openat(Dir_, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "<missing>";
    char buf[65536];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
    close(fd);
    return out;
  }
  int OpenRead(const char* name) const { return openat(Dir_, name, O_RDONLY | O_CLOEXEC); }
  // The entries, sorted, without the names given.
  std::string Names(const std::set<std::string>& leaveOut = {}) const {
    std::set<std::string> names;
    DIR* d = opendir(Path_.c_str());
    while (dirent* e = d ? readdir(d) : nullptr) {
      std::string n = e->d_name;
      if (n != "." && n != ".." && !leaveOut.count(n)) names.insert(n);
    }
    if (d) closedir(d);
    std::string out;
    for (const std::string& n : names) out += (out.empty() ? "" : " ") + n;
    return out;
  }

private:
  std::string Path_;
  int Dir_ = -1;
};

// The copy stops at the size the caller's fstat gave without asking the
// kernel once more; a source that grew or shrank meanwhile must still end
// up whole in the copy, as it is when the copy reaches its end.
TEST(CopyInto, ASourceThatChangesSizeIsCopiedToItsEnd) {
  enum TChange { kNone, kGrowBeforeCopy, kShrinkBeforeCopy, kGrowAfterFirstChunk, kShrinkAfterFirstChunk };
  struct {
    const char* what;
    int64_t size;
    TChange change;
    int64_t by; // bytes added or removed
  } cases[] = {
      {"unchanged, one chunk", 1000, kNone, 0},
      {"unchanged, exactly two chunks", 8 * kMiB, kNone, 0},
      {"empty", 0, kNone, 0},
      {"grew after fstat, before the copy", 100, kGrowBeforeCopy, 60},
      {"grew from empty after fstat", 0, kGrowBeforeCopy, 10},
      {"shrank after fstat, before the copy", 100, kShrinkBeforeCopy, 40},
      {"grew during the copy", 4 * kMiB + 10, kGrowAfterFirstChunk, 5 * kMiB},
      {"grew during the copy to a chunk's end", 4 * kMiB + 10, kGrowAfterFirstChunk, 4 * kMiB - 10},
      {"grew during the copy by one byte", 4 * kMiB + 10, kGrowAfterFirstChunk, 1},
      // Every step then ends where fstat said the file ends, as if it did.
      {"grew during the copy, a whole number of chunks", 8 * kMiB, kGrowAfterFirstChunk, kMiB},
      {"shrank during the copy", 6 * kMiB, kShrinkAfterFirstChunk, 2 * kMiB - 7},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    TScratch t;
    ASSERT_GE(t.Dir(), 0);
    t.Write("src", Bytes(c.size, 'a'));
    int in = t.OpenRead("src");
    ASSERT_GE(in, 0);
    struct stat st;
    ASSERT_EQ(fstat(in, &st), 0);
    if (c.change == kGrowBeforeCopy) t.Append("src", Bytes(c.by, 'x'));
    if (c.change == kShrinkBeforeCopy) t.Truncate("src", c.size - c.by);
    int steps = 0;
    TCopyProgress progress = [&](int64_t) {
      if (++steps == 1 && c.change == kGrowAfterFirstChunk) t.Append("src", Bytes(c.by, 'y'));
      if (steps == 1 && c.change == kShrinkAfterFirstChunk) t.Truncate("src", c.size - c.by);
      return true;
    };
    EXPECT_EQ(posix::CopyInto(in, st, t.Dir(), "dst", progress, nullptr, false, false), 0);
    close(in);
    EXPECT_TRUE(t.Read("dst") == t.Read("src"))
        << t.Read("dst").size() << " bytes copied of " << t.Read("src").size();
  }
}

// The engine hands the same source descriptor to every attempt of a copy
// (a retry of a file in use): each one copies from the start, whatever the
// descriptor's offset, and leaves that offset alone.
TEST(CopyInto, EveryAttemptCopiesFromTheStartOfTheSource) {
  TScratch t;
  ASSERT_GE(t.Dir(), 0);
  const std::string content = Bytes(5 * kMiB + 3, 'q');
  t.Write("src", content);
  int in = t.OpenRead("src");
  ASSERT_GE(in, 0);
  for (off_t at : {off_t(0), off_t(3), off_t(5 * kMiB + 3), off_t(9 * kMiB)}) {
    SCOPED_TRACE("offset " + std::to_string(at));
    ASSERT_EQ(lseek(in, at, SEEK_SET), at);
    EXPECT_EQ(RealFileSystem().CopyFileAt(in, t.Dir(), "dst", {}, nullptr, false, false, {}, nullptr, nullptr), 0);
    EXPECT_TRUE(t.Read("dst") == content);
    EXPECT_EQ(lseek(in, 0, SEEK_CUR), at);
  }
  close(in);
}

// Where a copy goes through a temporary name, two processes writing into
// one folder must never pick the same one, also a child forked after its
// parent has named copies already.
TEST(CopyInto, TemporaryNamesDifferBetweenParentAndForkedChild) {
  TScratch t;
  ASSERT_GE(t.Dir(), 0);
  t.Write("src", "content");
  // The name the copy's file has while it is written.
  auto copyAndName = [&](const char* target) {
    std::string seen;
    int in = t.OpenRead("src");
    struct stat st;
    if (in < 0 || fstat(in, &st) != 0) return std::string("<no source>");
    TCopyProgress progress = [&](int64_t) {
      seen = t.Names({"src", "a", "b", "c"});
      return true;
    };
    const int err = posix::CopyInto(in, st, t.Dir(), target, progress, nullptr, false, false);
    close(in);
    return err == 0 ? seen : "<error " + std::to_string(err) + ">";
  };
  // Runs copyAndName(target) in a child forked now; its name comes back
  // through a pipe.
  auto inChild = [&](const char* target) {
    int fds[2];
    if (pipe(fds) != 0) return std::string("<no pipe>");
    const pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      const std::string name = copyAndName(target);
      _exit(write(fds[1], name.data(), name.size()) == ssize_t(name.size()) ? 0 : 1);
    }
    close(fds[1]);
    std::string got;
    char buf[256];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) got.append(buf, size_t(n));
    close(fds[0]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
      return std::string("<child failed>");
    return got;
  };

  // New files are written unnamed where the kernel allows it, so the names
  // are seen where it does not: the parent copies, forks a child that
  // copies, and copies again; the three names come back as one line.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const int result = test::RunWithoutUnnamedFiles([&] {
    close(fds[0]);
    const std::string line = copyAndName("a") + "|" + inChild("b") + "|" + copyAndName("c");
    return write(fds[1], line.data(), line.size()) == ssize_t(line.size()) ? 0 : 1;
  });
  close(fds[1]);
  std::string line;
  char buf[512];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) line.append(buf, size_t(n));
  close(fds[0]);
  if (result < 0) GTEST_SKIP() << "this kernel does not let a test refuse O_TMPFILE";
  ASSERT_EQ(result, 0) << line;
  const size_t bar1 = line.find('|'), bar2 = line.rfind('|');
  ASSERT_TRUE(bar1 != std::string::npos && bar2 != bar1) << line;
  const std::string first = line.substr(0, bar1), child = line.substr(bar1 + 1, bar2 - bar1 - 1),
                    second = line.substr(bar2 + 1);

  for (const std::string& name : {first, child, second}) EXPECT_TRUE(IsCopyTempName(name)) << name;
  EXPECT_NE(child, first);
  EXPECT_NE(child, second);
  EXPECT_NE(first, second);
  EXPECT_EQ(t.Read("b"), "content");
  EXPECT_EQ(t.Names(), "a b c src");
}

} // namespace
} // namespace twf
