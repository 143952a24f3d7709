// The exclusion list a new task starts with: each line leaves out what it is
// meant to, and nothing a person keeps.
#include <algorithm>

#include "engine_fixture.h"
#include "engine/wildcard.h"
#include "tasks/task_settings.h"

using namespace twf;
using namespace twf::test;

namespace {

class DesignedExclusions : public EngineTest {
protected:
  TMirrorOptions DesignedOpt() const {
    TMirrorOptions o = Opt();
    o.ExcludeEnabled = true;
    o.ExcludePatterns = DesignedExclusionPatterns();
    return o;
  }
};

std::vector<TWildcardMask> DesignedMasks() {
  std::vector<TWildcardMask> masks;
  std::string text = DesignedExclusionPatterns();
  size_t start = 0;
  while (start <= text.size()) {
    const size_t end = std::min(text.find("\r\n", start), text.size());
    std::string err;
    masks.emplace_back();
    EXPECT_TRUE(masks.back().Compile(text.substr(start, end - start), &err)) << err;
    start = end + 2;
  }
  return masks;
}

} // namespace

// Full paths as the scan builds them: root, "/", relative path, so a scan of
// "/" itself gives "//var". A folder is also tried with one more "/".
TEST(DesignedExclusionList, NamesWhatItMeans) {
  struct Case {
    const char* path;
    bool folder;
    bool excluded;
  };
  const Case cases[] = {
      {"//var", true, false},
      {"//var/log", true, false},
      {"//home", true, false},
      {"//swapfile", false, true},
      {"//swap.img", false, true},
      {"//swap/swapfile", false, true},
      {"//lost+found", true, true},
      // Sources that lie below the system's folders keep everything.
      {"/run/media/alice/USB/photos", true, false},
      {"/run/media/alice/USB/photos/a.jpg", false, false},
      {"/tmp/work/report.txt", false, false},
      {"/var/tmp/build/main.o", false, false},
      {"/dev/shm/scratch/x", false, false},
      // The same names deep in a person's files are theirs.
      {"/home/alice/code/kernel/proc", true, false},
      {"/home/alice/code/app/dev", true, false},
      {"/home/alice/code/app/run", true, false},
      {"/home/alice/code/app/sys", true, false},
      {"/home/alice/tmp", true, false},
      {"/home/alice/code/var/tmp", true, false},
      {"/home/alice/cache.txt", false, false},
      {"/home/alice/code/cache", true, false},
      {"/home/alice/.cached", true, false},
      {"/home/alice/swapfile.txt", false, false},
      {"/home/alice/lost+found.txt", false, false},
      {"/home/alice/Trash", true, false},
      {"/home/alice/notes/.Trash-ideas.txt", false, false},
      {"/home/alice/.local/share/Trashcan", true, false},
      {"/home/alice/thumbnails", true, false},
      // Caches, thumbnails, Trash and lost+found in any folder.
      {"/home/alice/.cache", true, true},
      {"/home/alice/code/node_modules/.cache", true, true},
      {"/home/alice/.thumbnails", true, true},
      {"/home/alice/.local/share/Trash", true, true},
      {"/media/alice/USB/.Trash-1000", true, true},
      {"/media/alice/USB/.Trash", true, true},
      {"/media/alice/USB/lost+found", true, true},
      {"/media/alice/USB/swapfile", false, true},
      // A source inside such a folder keeps its files and folders.
      {"/home/alice/.cache/app/data.db", false, false},
      {"/home/alice/.cache/app/sub", true, false},
      // A file of such a name is not a folder of it.
      {"/home/alice/.cache", false, false},
      // The Windows names, for Windows disks mirrored here.
      {"/media/alice/WIN/Users/Bob/Desktop/desktop.ini", false, true},
      {"/media/alice/WIN/pics/Thumbs.db", false, true},
  };
  const std::vector<TWildcardMask> masks = DesignedMasks();
  for (const Case& c : cases) {
    const std::string path = c.path;
    const bool excluded = MatchesAny(masks, path) || (c.folder && MatchesAny(masks, path + "/"));
    EXPECT_EQ(excluded, c.excluded) << path << (c.folder ? " (folder)" : " (file)");
  }
}

// The same list through a real scan of both sides: what it names is neither
// copied nor deleted, the rest is mirrored. The test's folders lie below
// $TMPDIR, usually /tmp, which "//tmp/" must not take for the system's.
TEST_F(DesignedExclusions, ARunLeavesOutWhatTheListNames) {
  const char* const kept[] = {"cache.txt",         "code/cache/x.txt",       "code/proc/readme",
                              "code/dev/main.c",   "code/run/r.sh",          "code/sys/s.h",
                              "tmp/notes.txt",     "var/tmp/keep.txt",       "swapfile.txt",
                              "lost+found.txt",    "notes/.Trash-ideas.txt", "home/.local/share/Trashcan/t.txt"};
  const char* const leftOut[] = {"swapfile",
                                 "swap/swapfile",
                                 "swap.img",
                                 ".Trash-1000/files/a.txt",
                                 ".Trash/info/a.trashinfo",
                                 "home/.local/share/Trash/files/doc.txt",
                                 "lost+found/#1234",
                                 "home/.cache/thumbnails/normal/a.png",
                                 "code/node_modules/.cache/b.json",
                                 "home/.thumbnails/large/c.png",
                                 "Desktop.ini",
                                 "pics/Thumbs.db"};
  for (const char* rel : kept) WriteFile(Src + "/" + rel, rel);
  for (const char* rel : leftOut) WriteFile(Src + "/" + rel, rel);
  WriteFile(Dst + "/home/.cache/old.bin", "the destination's own cache stays");

  TRunResult r = Run(DesignedOpt());
  EXPECT_EQ(r.Stats.Errors, 0) << r.Text();
  for (const char* rel : kept) EXPECT_EQ(ReadFile(Dst + "/" + rel), rel) << rel;
  for (const char* rel : leftOut) EXPECT_FALSE(Exists(Dst + "/" + rel)) << rel;
  // Left out as folders, not only their contents.
  for (const char* dir : {".Trash-1000", ".Trash", "lost+found", "home/.thumbnails", "code/node_modules/.cache"})
    EXPECT_FALSE(Exists(Dst + "/" + dir)) << dir;
  EXPECT_EQ(ReadFile(Dst + "/home/.cache/old.bin"), "the destination's own cache stays");
}
