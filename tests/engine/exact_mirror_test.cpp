// A mirror as exact as rsync -aAX of a tree nobody here wrote: part of the
// system's /usr/share, with its links, mirrored, changed in the ways people
// change trees, and mirrored again. rsync then finds nothing left to do.
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine_fixture.h"

using namespace twf;
using namespace twf::test;

namespace {

std::string Output(const std::string& command) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}

std::string FirstOf(const std::string& root, const std::string& findArgs) {
  std::string rel = Output("cd '" + root + "' && find . " + findArgs + " | sort | head -n 1");
  while (!rel.empty() && rel.back() == '\n') rel.pop_back();
  return rel.size() > 2 ? rel.substr(2) : std::string();
}

} // namespace

class ExactMirror : public EngineTest {};

TEST_F(ExactMirror, RsyncFindsNothingLeftAfterChanges) {
  if (system("command -v rsync >/dev/null 2>&1") != 0) GTEST_SKIP() << "rsync is not installed";
  const bool root = geteuid() == 0;
  MakeDirs(Src);
  chmod(Src.c_str(), 0755);
  for (const char* tree : {"/usr/share/zoneinfo", "/usr/share/perl"})
    ASSERT_EQ(system(("cp -a " + std::string(tree) + " '" + Src + "/'").c_str()), 0) << tree;
  // Links of every kind: relative ones from the tree, one out of it, one
  // that points nowhere, one to a folder.
  ASSERT_EQ(symlink("/etc/hostname", (Src + "/outside").c_str()), 0);
  ASSERT_EQ(symlink("no/such/file", (Src + "/dangling").c_str()), 0);
  ASSERT_EQ(symlink("zoneinfo/Europe", (Src + "/europe").c_str()), 0);
  setxattr((Src + "/outside").c_str(), "user.kept", "x", 1, XATTR_CREATE); // refused on links: no matter
  setxattr((Src + "/zoneinfo").c_str(), "user.kept", "folder", 6, 0);
  const std::string someFile = FirstOf(Src, "-path ./zoneinfo/Europe -prune -o -type f -name '[A-Z]*' -print");
  ASSERT_FALSE(someFile.empty());
  setxattr((Src + "/" + someFile).c_str(), "user.kept", "file", 4, 0);

  TMirrorOptions o = Opt();
  o.PreserveAcl = true;
  TRunResult first = Run(o);
  ASSERT_EQ(first.Stats.Errors, 0) << first.Text();
  EXPECT_GT(first.CountPrefix("LINK         "), 10) << first.Text();
  EXPECT_TRUE(first.Has("LINK         outside -> /etc/hostname"));

  // The changes: a link retargeted, a link replaced by a file and a file by
  // a link, owners changed (as root), folders touched.
  const std::string link1 = FirstOf(Src, "-type l -path './zoneinfo/*'");
  const std::string link2 = FirstOf(Src, "-type l -path './zoneinfo/*' ! -path './" + link1 + "'");
  const std::string file1 = FirstOf(Src, "-type f -path './perl/*'");
  ASSERT_FALSE(link1.empty() || link2.empty() || file1.empty());
  ASSERT_EQ(unlink((Src + "/" + link1).c_str()), 0);
  ASSERT_EQ(symlink("../somewhere/else", (Src + "/" + link1).c_str()), 0);
  ASSERT_EQ(unlink((Src + "/" + link2).c_str()), 0);
  WriteFile(Src + "/" + link2, "a file where a link was");
  ASSERT_EQ(unlink((Src + "/" + file1).c_str()), 0);
  ASSERT_EQ(symlink("/usr/share/perl", (Src + "/" + file1).c_str()), 0);
  if (root) {
    ASSERT_EQ(lchown((Src + "/" + someFile).c_str(), 65534, 65534), 0);
    ASSERT_EQ(lchown((Src + "/outside").c_str(), 65534, 65534), 0);
    ASSERT_EQ(lchown((Src + "/perl").c_str(), 65534, 0), 0);
  }
  const std::string folder = FirstOf(Src, "-mindepth 2 -type d -path './perl/*'");
  ASSERT_FALSE(folder.empty());
  SetMTime(Src + "/" + folder, 1500000000);
  SetMTime(Src + "/zoneinfo", 1400000000);

  TRunResult second = Run(o);
  ASSERT_EQ(second.Stats.Errors, 0) << second.Text();
  EXPECT_TRUE(second.Has("LINK         " + link1 + " -> ../somewhere/else")) << second.Text();

  // As root every owner counts; otherwise what a user can keep.
  const std::string rsync = std::string("rsync -aAXn --delete --itemize-changes ") + (root ? "" : "--no-o --no-g ") +
                            "'" + Src + "/' '" + Dst + "/' 2>&1";
  EXPECT_EQ(Output(rsync), "") << second.Text();

  // Nothing changed outside the tree through a link.
  EXPECT_TRUE(Exists("/etc/hostname"));
  TRunResult third = Run(o);
  EXPECT_EQ(third.Stats.FilesCopied, 0) << third.Text();
  EXPECT_EQ(third.Stats.Errors, 0) << third.Text();
}
