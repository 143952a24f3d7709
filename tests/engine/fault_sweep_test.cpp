// The fault sweep: a run that reaches as much of the program as one run can
// is made once with nothing failing, which tells every place (kind of call
// and call site) where the engine and the hasher call the file layer. Then
// each of those places is failed once, in turn, with the error it meets in
// the field. Whatever fails: the run ends, the failure is a counted ERROR
// line naming its item (or a refusal up front), every destination name
// holds its old or its new content, nothing outside the destination
// changes, nothing the user chose to keep is lost, and the next run
// completes the mirror. A call site added to the program is swept without
// anyone adding a case here.
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "engine_fixture.h"
#include "support/fault_fs.h"
#include "platform/fs.h"

using namespace twf;
using namespace twf::test;

namespace {

// What a failure of each kind of call looks like in the field. May pass:
// the program takes the failure in its stride without an error line, by
// design (a call with no result to report, a figure it can do without, an
// item that vanished, a retry that works, an owner it may not set).
struct TKindFault {
  TFsCall Kind;
  int Errno;
  bool MayPass;
};
constexpr TKindFault kKindFaults[] = {
    {TFsCall::IsDirectory, EIO, false},
    {TFsCall::ListDir, EACCES, false},
    {TFsCall::Stat, ENOENT, true}, // vanished: nothing to do for it
    {TFsCall::DeleteFile, EBUSY, true}, // in use: retried where retries are on
    {TFsCall::RemoveDir, EACCES, false},
    {TFsCall::CreateDir, EACCES, false},
    {TFsCall::CreateDirPath, EACCES, false},
    {TFsCall::CopyFile, ENOSPC, false}, // part-way through the copy
    {TFsCall::MoveFile, EXDEV, false},
    {TFsCall::OpenRead, ENOENT, false},
    {TFsCall::Read, EIO, false},
    {TFsCall::Close, EIO, true},
    {TFsCall::GetAcl, EIO, false},
    {TFsCall::SetAcl, ENOTSUP, false},
    {TFsCall::TrashFiles, EIO, false},
    {TFsCall::FreeSpace, EIO, true},      // unknown: the check is left out
    {TFsCall::VolumeIdentity, EIO, true}, // the header goes without it
    {TFsCall::OpenDir, EACCES, false},
    {TFsCall::SetOwner, EPERM, true}, // the item keeps no set-id bits
    {TFsCall::SetMode, EPERM, false},
    {TFsCall::NameCopy, ENOSPC, false},
    {TFsCall::ReadLink, EIO, false},
    {TFsCall::MakeLink, ENOSPC, false},
    {TFsCall::SetTimes, EIO, false},
    {TFsCall::GetXattr, EIO, false},
    {TFsCall::SetXattr, ENOTSUP, false},
};
static_assert([] {
  for (size_t k = 0; k < std::size(kKindFaults); ++k)
    if (kKindFaults[k].Kind != TFsCall(k)) return false;
  return std::size(kKindFaults) == size_t(TFsCall::Count);
}());

const TKindFault& FaultFor(TFsCall kind) { return kKindFaults[size_t(kind)]; }

// Deletes go one of three ways; each is a run of its own.
enum class TDeleteWay { Archive, Trash, Delete };
struct TScenario {
  const char* Name;
  TDeleteWay Way;
};
constexpr TScenario kScenarios[] = {
    {"archive", TDeleteWay::Archive}, {"trash", TDeleteWay::Trash}, {"delete", TDeleteWay::Delete}};

const std::string kLeftover = ".twf-0123456789ab.part";
constexpr int64_t kOld = 1600000000, kNew = 1700000000, kNewer = 1750000000;

// A tree as found on disk: kind, content, permission bits, modification time.
struct TItem {
  char Kind = 'f'; // f file, d folder, l link (Content: its text)
  std::string Content;
  uint32_t Mode = 0;
  int64_t MTimeNs = 0;
  bool operator==(const TItem&) const = default;
};
using TSnapshot = std::map<std::string, TItem>;

// A file's content, a link's text.
std::string ContentOf(const std::string& path) {
  struct stat st{};
  if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return ReadFile(path);
  char text[4096];
  const ssize_t n = readlink(path.c_str(), text, sizeof text);
  return std::string(text, size_t(n > 0 ? n : 0));
}

TSnapshot Snap(const std::string& root) {
  TSnapshot s;
  if (!Exists(root)) return s;
  for (const std::string& rel : ListTree(root)) {
    const std::string p = root + "/" + rel;
    struct stat st{};
    if (lstat(p.c_str(), &st) != 0) continue;
    TItem it;
    it.Kind = S_ISDIR(st.st_mode) ? 'd' : S_ISLNK(st.st_mode) ? 'l' : 'f';
    it.Mode = st.st_mode & 07777;
    if (it.Kind == 'l') {
      it.Content = ContentOf(p);
    } else if (it.Kind == 'f') {
      it.Content = ReadFile(p);
      it.MTimeNs = MTimeNs(p);
    }
    s[rel] = it;
  }
  return s;
}

// What differs between two snapshots, one line per item.
std::string Diff(const TSnapshot& got, const TSnapshot& want) {
  std::string d;
  auto show = [](const TItem& i) {
    char buf[64];
    snprintf(buf, sizeof buf, "%c mode %04o mtime %lld, ", i.Kind, unsigned(i.Mode), (long long)i.MTimeNs);
    return buf + (i.Content.size() > 40 ? std::to_string(i.Content.size()) + " bytes" : "\"" + i.Content + "\"");
  };
  for (const auto& [rel, item] : got) {
    auto it = want.find(rel);
    if (it == want.end()) d += "  extra " + rel + ": " + show(item) + "\n";
    else if (!(it->second == item)) d += "  " + rel + ": " + show(item) + " instead of " + show(it->second) + "\n";
  }
  for (const auto& [rel, item] : want)
    if (!got.count(rel)) d += "  missing " + rel + ": " + show(item) + "\n";
  return d;
}

std::string Base(const std::string& rel) { return rel.substr(rel.rfind('/') + 1); }

// One place of the program that calls the file layer, in one scenario.
struct TSite {
  TFsCall Kind;
  uintptr_t Address;
  uint64_t Ordinal;
  std::string Path;
  uint64_t Calls; // from there in the reference run
  uint64_t Nth;   // the call from there that fails
  std::string Describe() const {
    return std::string(FsCallName(Kind)) + " at " + TFaultFileSystem::DescribeSite(Address) + ", call " +
           std::to_string(Nth) + " of " + std::to_string(Calls) + " from there (first: #" +
           std::to_string(Ordinal) + " of its kind, on " + Path + ")";
  }
};

class FaultSweep : public EngineTest {
protected:
  std::string BigTemplate = Tmp / "big-template";
  std::string TrashFiles;

  void SetUp() override {
    // Five MiB: more than one chunk of the copy, so a copy can fail part-way.
    std::string big(5 * 1048576, 'x');
    for (size_t i = 0; i < big.size(); i += 4096) big[i] = char('a' + (i / 4096) % 26);
    WriteFile(BigTemplate, big);
    SetMTime(BigTemplate, kNew);
    const char* data = getenv("XDG_DATA_HOME");
    TrashFiles = data ? std::string(data) + "/Trash/files" : std::string();
  }

  // A source and an older mirror of it below root, and a sibling folder
  // beside the destination. Every time is fixed, so each tree is the same.
  TMirrorOptions Build(const std::string& root, TDeleteWay way) {
    TMirrorOptions o;
    o.SourceDir = root + "/src";
    o.DestDir = root + "/dst";
    o.Workers = 2;
    o.WarnMassDelete = false;
    o.CompareMode = cmBinary;
    o.VerifyHash = vhXXH3_64;
    o.PreserveAcl = true;
    o.SkipNewer = true;
    o.RetryLocked = true;
    o.ExcludeEnabled = true;
    o.ExcludePatterns = "*.tmp";
    o.ArchiveEnabled = way == TDeleteWay::Archive;
    o.ArchiveDir = root + "/archive";
    o.RecycleDeletes = way == TDeleteWay::Trash;
    o.KeepOutDirs = {o.DestDir + "/logs/"};
    const std::string& s = o.SourceDir;
    const std::string& d = o.DestDir;
    auto put = [](const std::string& path, const std::string& content, int64_t when) {
      WriteFile(path, content);
      SetMTime(path, when);
    };
    put(s + "/same.txt", "same", kOld);
    put(d + "/same.txt", "same", kOld);
    put(s + "/changed.txt", "the new version", kNew); // overwritten (its old version archived)
    put(d + "/changed.txt", "old", kOld);
    put(s + "/samesize.txt", "new!", kNew); // the content check finds it changed
    put(d + "/samesize.txt", "old!", kOld);
    put(s + "/newer.txt", "older source", kOld); // skip-newer keeps the destination's
    put(d + "/newer.txt", "newer destination", kNewer);
    MakeDirs(s);
    if (link(BigTemplate.c_str(), (s + "/big.bin").c_str()) != 0) ADD_FAILURE() << "cannot link big.bin";
    put(s + "/sub/new.txt", "new in sub", kNew);
    put(d + "/sub/stale.txt", "stale", kOld); // deleted
    put(s + "/newdir/deep/f.txt", "deep", kNew); // two folders made
    put(s + "/locked/r.txt", "r", kNew);         // a folder whose mode waits for the end
    put(s + "/skip.tmp", "excluded", kNew);
    put(d + "/keep.tmp", "excluded in the destination", kOld);
    put(d + "/gone/x.txt", "x", kOld); // deleted, and their folders removed
    put(d + "/gone/y/z.txt", "z", kOld);
    put(d + "/" + kLeftover, "left by a killed run", kOld);
    put(d + "/logs/Mirror_1.log", "an earlier run's log", kOld);
    put(root + "/sibling/keep.txt", "next door", kOld);
    chmod((s + "/locked").c_str(), 0555);
    // Links, made as links: a new one, one pointing out of the tree, one to
    // a folder, one whose text changed (its old version archived), and one
    // the source no longer has.
    auto link = [](const std::string& text, const std::string& path) {
      if (symlink(text.c_str(), path.c_str()) != 0) ADD_FAILURE() << "cannot make link " << path;
    };
    link("same.txt", s + "/link.txt");
    link("../sibling/keep.txt", s + "/outside");
    link("sub", s + "/dirlink");
    link("changed.txt", s + "/retarget");
    link("same.txt", d + "/retarget");
    link("nowhere", d + "/sub/stale-link");
    // Extended attributes go with the ACLs; an identical file whose group
    // (as root: owner and group) differs is brought in line.
    setxattr((s + "/sub/new.txt").c_str(), "user.origin", "sweep", 5, 0);
    put(s + "/owned.txt", "owned", kOld);
    put(d + "/owned.txt", "owned", kOld);
    if (chown((d + "/owned.txt").c_str(), 65534, 65534) != 0) ADD_FAILURE() << "cannot chown owned.txt";
    return o;
  }

  // What the destination holds once the mirror is complete.
  static TSnapshot Final(const TSnapshot& src, const TSnapshot& dstBefore) {
    TSnapshot e = src;
    e.erase("skip.tmp");
    for (const char* kept : {"newer.txt", "keep.tmp", "logs", "logs/Mirror_1.log"}) e[kept] = dstBefore.at(kept);
    return e;
  }

  struct TOutcome {
    TRunResult Result;
    bool Hung = false;
  };

  // A run with a time bound: one that does not end in time is cancelled
  // and reported as hung.
  static TOutcome RunBounded(const TMirrorOptions& o, IFileSystem* fs) {
    TOutcome out;
    std::mutex m;
    TMirrorLogger log("", false,
                      [&](const std::string& line) {
                        std::lock_guard<std::mutex> g(m);
                        out.Result.Lines.push_back(line.substr(25));
                      },
                      false);
    TMirrorEngine engine(o, &log, fs);
    std::mutex wm;
    std::condition_variable cv;
    bool done = false;
    std::thread watchdog([&] {
      std::unique_lock<std::mutex> l(wm);
      if (!cv.wait_for(l, std::chrono::seconds(30), [&] { return done; })) {
        out.Hung = true;
        engine.Cancel();
      }
    });
    engine.Run();
    {
      std::lock_guard<std::mutex> g(wm);
      done = true;
    }
    cv.notify_all();
    watchdog.join();
    out.Result.Stats = engine.Stats();
    return out;
  }

  std::set<std::string> TrashNames() const {
    std::set<std::string> names;
    if (!TrashFiles.empty() && Exists(TrashFiles))
      for (const std::string& rel : ListTree(TrashFiles))
        if (rel.find('/') == std::string::npos) names.insert(rel);
    return names;
  }

  // Archive entries of every run below the archive folder: "deleted/rel"
  // and "changed/rel" with their content.
  static std::multimap<std::string, std::string> Archived(const std::string& archiveDir) {
    std::multimap<std::string, std::string> a;
    for (const auto& [rel, item] : Snap(archiveDir)) {
      const size_t slash = rel.find('/');
      if (item.Kind != 'd' && slash != std::string::npos) a.emplace(rel.substr(slash + 1), item.Content);
    }
    return a;
  }
  static bool HasArchived(const std::multimap<std::string, std::string>& a, const std::string& key,
                          const std::string& content) {
    auto [from, to] = a.equal_range(key);
    for (auto it = from; it != to; ++it)
      if (it->second == content) return true;
    return false;
  }

  // The promise, after a run that met a fault. Returns what broke it.
  std::string Broken(const TMirrorOptions& o, TDeleteWay way, const TRunResult& r, const TSnapshot& src,
                     const TSnapshot& dst, const TSnapshot& sibling, const std::set<std::string>& trashBefore) {
    std::string why;
    auto fail = [&](const std::string& text) { why += "  " + text + "\n"; };
    const std::string root = o.SourceDir.substr(0, o.SourceDir.rfind('/'));
    if (Snap(o.SourceDir) != src) fail("the source changed");
    if (Snap(root + "/sibling") != sibling) fail("the folder beside the destination changed");
    const TSnapshot after = Snap(o.DestDir);
    const auto archived = Archived(o.ArchiveDir);
    std::set<std::string> trashed; // contents of what this run put into the Trash
    for (const std::string& n : TrashNames())
      if (!trashBefore.count(n)) trashed.insert(ContentOf(TrashFiles + "/" + n));
    for (const auto& [rel, item] : after) {
      if (item.Kind == 'd') continue;
      const auto old = dst.find(rel);
      const auto neu = src.find(rel);
      const bool isOld = old != dst.end() && old->second.Content == item.Content;
      const bool isNew = neu != src.end() && neu->second.Content == item.Content;
      if (IsCopyTempName(Base(rel)) && !isOld) fail("temporary file left: " + rel);
      else if (!isOld && !isNew) fail("neither old nor new content: " + rel);
      else if ((rel == "newer.txt" || rel == "keep.tmp" || rel.rfind("logs/", 0) == 0) && !(old->second == item))
        fail("a kept item changed: " + rel);
    }
    for (const auto& [rel, item] : dst) {
      if (item.Kind == 'd') continue;
      const auto now = after.find(rel);
      const bool stillOld = now != after.end() && now->second.Content == item.Content;
      if (stillOld) continue;
      const bool wanted = src.count(rel) && rel != "skip.tmp";
      // It left the destination, or was overwritten: kept where the user asked.
      if (way == TDeleteWay::Archive && !HasArchived(archived, "deleted/" + rel, item.Content) &&
          !HasArchived(archived, "changed/" + rel, item.Content))
        fail("not in the archive: " + rel);
      if (way == TDeleteWay::Trash && now == after.end() && !wanted && !trashed.count(item.Content))
        fail("not in the Trash: " + rel);
      // A name the mirror keeps never goes empty: a copy that fails its
      // check is removed before it takes the name.
      if (now == after.end() && wanted) fail("name left empty: " + rel);
    }
    for (const auto& [rel, item] : after)
      if (item.Kind != 'd' && !dst.count(rel) && !src.count(rel)) fail("stray file: " + rel);
    return why;
  }
};

} // namespace

TEST_F(FaultSweep, EveryCallSiteFailedOnceLosesNothing) {
  ASSERT_FALSE(TrashFiles.empty()) << "the Trash needs the test entry's private home";
  // The leftover of a killed run counts as one only when its last change
  // lies more than 2 s before the run: the trees are made, then aged once.
  std::vector<std::unique_ptr<TTempDir>> refDirs;
  std::vector<TMirrorOptions> refOpts;
  for (const TScenario& sc : kScenarios) {
    refDirs.push_back(std::make_unique<TTempDir>(Tmp.Path()));
    refOpts.push_back(Build(refDirs.back()->Path(), sc.Way));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));

  // The reference runs: nothing fails, and they find the call sites. In
  // the long mode (TWF_SWEEP_EVERY_CALL=1) every call from each site fails
  // in turn, not only the first.
  const bool everyCall = getenv("TWF_SWEEP_EVERY_CALL") != nullptr;
  std::vector<std::vector<TSite>> sites(std::size(kScenarios));
  for (size_t i = 0; i < std::size(kScenarios); ++i) {
    SCOPED_TRACE(kScenarios[i].Name);
    const TMirrorOptions& o = refOpts[i];
    const TSnapshot src = Snap(o.SourceDir), dst = Snap(o.DestDir);
    TFaultFileSystem fs(RealFileSystem());
    TOutcome ref = RunBounded(o, &fs);
    ASSERT_FALSE(ref.Hung);
    ASSERT_EQ(ref.Result.Stats.Errors, 0) << ref.Result.Text();
    ASSERT_EQ(ref.Result.Stats.Leftovers, 1) << ref.Result.Text();
    ASSERT_GE(ref.Result.Stats.Verified, 5) << ref.Result.Text();
    ASSERT_EQ(Diff(Snap(o.DestDir), Final(src, dst)), "") << ref.Result.Text();
    for (const auto& s : fs.Sites())
      for (uint64_t n = 1; n <= (everyCall ? s.Calls : 1); ++n)
        sites[i].push_back({s.Kind, s.Address, s.Ordinal, s.Path, s.Calls, n});
    RemoveTree(refDirs[i]->Path());
  }
  RemoveTree(TrashFiles + "/..");

  // One tree per site, aged together.
  std::vector<std::vector<std::unique_ptr<TTempDir>>> dirs(std::size(kScenarios));
  std::vector<std::vector<TMirrorOptions>> opts(std::size(kScenarios));
  for (size_t i = 0; i < std::size(kScenarios); ++i)
    for (size_t k = 0; k < sites[i].size(); ++k) {
      dirs[i].push_back(std::make_unique<TTempDir>(Tmp.Path()));
      opts[i].push_back(Build(dirs[i].back()->Path(), kScenarios[i].Way));
    }
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));

  // TWF_SWEEP_KIND=<kind> sweeps the sites of one kind only, when hunting one fault.
  const char* only = getenv("TWF_SWEEP_KIND");
  std::set<std::pair<TFsCall, uintptr_t>> swept;
  size_t runs = 0;
  for (size_t i = 0; i < std::size(kScenarios); ++i) {
    const TDeleteWay way = kScenarios[i].Way;
    for (size_t k = 0; k < sites[i].size(); ++k) {
      const TSite& site = sites[i][k];
      if (only && std::string(only) != FsCallName(site.Kind)) continue;
      const TKindFault& fault = FaultFor(site.Kind);
      SCOPED_TRACE(std::string(kScenarios[i].Name) + ": " + site.Describe() + " failing with " +
                   SystemMessage(fault.Errno));
      const TMirrorOptions& o = opts[i][k];
      const std::string root = dirs[i][k]->Path();
      const TSnapshot src = Snap(o.SourceDir), dst = Snap(o.DestDir), sibling = Snap(root + "/sibling");
      const std::set<std::string> trashBefore = TrashNames();

      TFaultFileSystem fs(RealFileSystem());
      fs.FailSite(site.Kind, site.Address, fault.Errno, site.Kind == TFsCall::CopyFile ? 1 : -1, site.Nth);
      TOutcome run = RunBounded(o, &fs);
      const TRunResult& r = run.Result;
      ++runs;
      swept.insert({site.Kind, site.Address});
      EXPECT_FALSE(run.Hung) << r.Text();
      const std::vector<std::string> failed = fs.FailedPaths();
      EXPECT_EQ(failed.size(), 1u) << "the site was not reached again\n" << r.Text();

      // Reported: counted ERROR lines, one of them naming the failed item.
      const int errorLines = r.CountPrefix("ERROR        ");
      EXPECT_EQ(r.Stats.Errors, errorLines) << r.Text();
      if (r.Stats.Errors == 0) {
        // A read that fails at the end of a file, once every byte was
        // hashed, leaves a whole digest: the copy is verified all the same.
        bool hashedWhole = false;
        if (site.Kind == TFsCall::Read && !failed.empty())
          for (const std::string& top : {o.SourceDir, o.DestDir})
            if (failed[0].rfind(top + "/", 0) == 0)
              hashedWhole |= r.CountPrefix("VERIFY       " + failed[0].substr(top.size() + 1) + " [") == 1;
        EXPECT_TRUE(fault.MayPass || hashedWhole) << "the failure went unreported\n" << r.Text();
        if (site.Kind == TFsCall::DeleteFile && r.CountPrefix("RETRY        ") == 0)
          ADD_FAILURE() << "a delete in use passed without a retry\n" << r.Text();
      } else if (!failed.empty()) {
        // The item: the failed call's path below the source, the
        // destination or the archive's kind folder.
        std::string item = failed[0];
        for (const std::string& top : {o.SourceDir, o.DestDir, o.ArchiveDir})
          if (item.rfind(top + "/", 0) == 0 || item == top) {
            item = item.size() > top.size() ? item.substr(top.size() + 1) : std::string();
            if (top == o.ArchiveDir) {
              for (int skip = 0; skip < 2 && !item.empty(); ++skip) {
                const size_t slash = item.find('/');
                item = slash == std::string::npos ? std::string() : item.substr(slash + 1);
              }
            }
            break;
          }
        // An unnamed copy (shown as "#inode") is named in the lines by its
        // destination name, which only its folder tells here.
        if (!item.empty() && Base(item)[0] == '#')
          item = item.find('/') == std::string::npos ? std::string() : item.substr(0, item.rfind('/'));
        bool named = false;
        for (const std::string& l : r.Lines)
          if (l.rfind("ERROR        ", 0) == 0 && (item.empty() || l.find(item) != std::string::npos))
            named = true;
        EXPECT_TRUE(named) << "no ERROR line names \"" << item << "\"\n" << r.Text();
      }
      const std::string broken = Broken(o, way, r, src, dst, sibling, trashBefore);
      EXPECT_EQ(broken, "") << r.Text();

      // The next run, with nothing failing, completes the mirror.
      const auto archivedBefore = Archived(o.ArchiveDir);
      TOutcome clean = RunBounded(o, nullptr);
      EXPECT_FALSE(clean.Hung);
      EXPECT_EQ(clean.Result.Stats.Errors, 0) << clean.Result.Text();
      // Modes included: a folder whose bits could not be set is repaired.
      TSnapshot want = Final(src, dst), got = Snap(o.DestDir);
      EXPECT_EQ(Diff(got, want), "") << r.Text() << "---\n" << clean.Result.Text();
      for (const auto& [key, content] : archivedBefore)
        EXPECT_TRUE(HasArchived(Archived(o.ArchiveDir), key, content)) << "lost from the archive: " << key;
      RemoveTree(root);
      RemoveTree(TrashFiles + "/..");
    }
  }
  RecordProperty("call_sites_swept", int(swept.size()));
  printf("[  SWEEP   ] %zu call sites of the file layer swept in %zu faulted runs (%zu scenarios)\n",
         swept.size(), runs, std::size(kScenarios));
  // The scenarios reach every kind of call the layer has.
  std::set<TFsCall> kinds;
  for (const auto& s : swept) kinds.insert(s.first);
  for (size_t k = 0; k < size_t(TFsCall::Count) && !only; ++k)
    EXPECT_TRUE(kinds.count(TFsCall(k))) << FsCallName(TFsCall(k)) << " was never called";
}
