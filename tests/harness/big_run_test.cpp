// One large run with every worker busy: 20,000 files, 64 workers, the
// verification re-read and the archive on, then a second run that deletes
// and overwrites a few thousand of them. Built with TWF_SANITIZE=thread this
// is the run ThreadSanitizer watches for races between the workers, the
// archive and the counters; in other builds it checks the same outcome
// (exact mirror, every displaced file in the archive) at the same size.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "engine/mirror_engine.h"
#include "log/logger.h"
#include "support/tree.h"

namespace twf {
namespace {

using test::TTempDir;

constexpr int kFiles = 20000;
constexpr int kFolders = 200;
constexpr int kWorkers = 64;

std::string FileRel(int i) { return "d" + std::to_string(i % kFolders) + "/f" + std::to_string(i) + ".bin"; }

// Small files of varied sizes; the generation number changes the content
// (and size) so an overwrite is a real change under size + date.
std::string Content(int i, int generation) {
  const size_t size = size_t((i * 37 + generation * 11) % 3000);
  std::string s(size, '\0');
  for (size_t k = 0; k < size; ++k) s[k] = char('a' + (i + k + size_t(generation)) % 26);
  return s;
}

struct TBigRun {
  TMirrorStats Stats;
  std::vector<std::string> Errors;
};

TBigRun Mirror(const TMirrorOptions& opt) {
  TBigRun r;
  std::mutex m;
  TMirrorLogger log("", false,
                    [&](const std::string& line) {
                      const std::string text = line.size() > 25 ? line.substr(25) : line;
                      if (text.rfind("ERROR", 0) == 0) {
                        std::lock_guard<std::mutex> g(m);
                        r.Errors.push_back(text);
                      }
                    },
                    false);
  TMirrorEngine engine(opt, &log, nullptr);
  engine.Run();
  r.Stats = engine.Stats();
  return r;
}

// A memory file system when there is one: the run's journal flushes cost
// nothing there, so 40,000 copies take seconds instead of minutes on a
// shared disk, and the workers contend with each other, not with the disk.
std::string ScratchBase() {
  struct stat st;
  if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0) return "/dev/shm";
  return "";
}

int CountFiles(const std::string& root) {
  int n = 0;
  for (const std::string& rel : test::ListTree(root))
    if (!test::IsDir(root + "/" + rel)) ++n;
  return n;
}

TEST(BigRun, TwentyThousandFilesWithSixtyFourWorkers) {
  TTempDir tmp(ScratchBase());
  const std::string src = tmp / "src", dst = tmp / "dst", arch = tmp / "arch";
  for (int i = 0; i < kFiles; ++i) test::WriteFile(src + "/" + FileRel(i), Content(i, 0));

  TMirrorOptions opt;
  opt.SourceDir = src;
  opt.DestDir = dst;
  opt.Workers = kWorkers;
  opt.WarnMassDelete = false;
  opt.VerifyHash = vhXXH3_64;
  opt.ArchiveEnabled = true;
  opt.ArchiveDir = arch;

  TBigRun first = Mirror(opt);
  ASSERT_EQ(first.Stats.Errors, 0) << (first.Errors.empty() ? "" : first.Errors.front());
  EXPECT_EQ(first.Stats.FilesCopied, kFiles);
  EXPECT_EQ(first.Stats.Verified, kFiles);
  ASSERT_EQ(test::TreeDiff(src, dst), "");

  // Every 7th file deleted, every 5th (not deleted) overwritten, 500 new.
  int deleted = 0, overwritten = 0;
  for (int i = 0; i < kFiles; ++i) {
    if (i % 7 == 0) {
      ASSERT_EQ(unlink((src + "/" + FileRel(i)).c_str()), 0);
      ++deleted;
    } else if (i % 5 == 0) {
      test::WriteFile(src + "/" + FileRel(i), Content(i, 1));
      test::SetMTime(src + "/" + FileRel(i), 2000000000 + i);
      ++overwritten;
    }
  }
  for (int i = kFiles; i < kFiles + 500; ++i) test::WriteFile(src + "/" + FileRel(i), Content(i, 0));

  opt.VerifyHash = vhXXH3_128;
  TBigRun second = Mirror(opt);
  ASSERT_EQ(second.Stats.Errors, 0) << (second.Errors.empty() ? "" : second.Errors.front());
  EXPECT_EQ(second.Stats.FilesDeleted, deleted);
  EXPECT_EQ(second.Stats.FilesCopied, overwritten + 500);
  EXPECT_EQ(second.Stats.Verified, overwritten + 500);
  EXPECT_EQ(second.Stats.Archived, deleted + overwritten);
  EXPECT_EQ(test::TreeDiff(src, dst), "");
  EXPECT_EQ(CountFiles(arch), deleted + overwritten);
}

} // namespace
} // namespace twf
