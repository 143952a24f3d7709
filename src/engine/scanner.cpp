#include "engine/scanner.h"

#include <chrono>
#include <thread>

#include "engine/text.h"
#include "engine/wildcard.h"
#include "platform/prefetch.h"

namespace twf {

namespace {

// The bits a folder on both sides is given back. They grant access to the
// destination folder's own owner and group: where that owner or group is
// not the source's, the source's choice was made for someone else, so a
// root run only takes access away there (a sticky bit stays) and never
// opens one user's folder to another. Any other run changes only folders
// of its own user's, who could set those bits as well. Set-id bits go only
// with the owner they were meant for.
uint32_t RepairedMode(const TFileInfo& src, const TFileInfo& dst, bool asRoot) {
  const uint32_t want = src.Mode & 07777, have = dst.Mode & 07777;
  const bool sameOwner = src.Uid == dst.Uid, sameGroup = src.Gid == dst.Gid;
  if (sameOwner && sameGroup) return want;
  if (!asRoot) return want & ~uint32_t(06000);
  const uint32_t owner = (sameOwner ? want : want & have) & 0700;
  const uint32_t group = (sameGroup ? want : want & have) & 0070;
  return owner | group | (want & have & 0007) | ((want | have) & 01000);
}

// The freedesktop.org Trash of a file system: ".Trash" (shared) and
// ".Trash-<uid>" (per user) at its root.
bool IsTrashName(const std::string& name) {
  if (name == ".Trash") return true;
  if (name.size() <= 7 || name.compare(0, 7, ".Trash-") != 0) return false;
  for (size_t i = 7; i < name.size(); ++i)
    if (name[i] < '0' || name[i] > '9') return false;
  return true;
}

// path relative to root, when it lies strictly inside it and every part is
// a plain name; empty otherwise.
std::string RelativeInside(const std::string& root, const std::string& path) {
  if (root.empty() || path.empty() || !IsPathInside(root, path)) return {};
  const size_t skip = root.back() == '/' ? root.size() : root.size() + 1;
  if (path.size() <= skip) return {};
  std::string rel = path.substr(skip);
  while (!rel.empty() && rel.back() == '/') rel.pop_back();
  for (size_t a = 0; a <= rel.size();) {
    size_t b = rel.find('/', a);
    if (b == std::string::npos) b = rel.size();
    const std::string_view part(rel.data() + a, b - a);
    if (part.empty() || part == "." || part == "..") return {};
    a = b + 1;
  }
  return rel;
}

} // namespace

struct TScanner::TWorker {
  std::vector<TWildcardMask> Masks;
  std::vector<TDirEntry> SrcEntries, DstEntries;
  TFolderListing Src, Dst;
  TFolderPlan Plan;
  std::vector<std::shared_ptr<TDirNode>> ChildNodes;
  std::vector<TWorkItem> Children;
  std::string Full; // scratch for full paths
  TFolderPrefetch Prefetch;
  // Folders in a row listed without waiting for the disk: past a few, only
  // every few-th is asked about (a system call before and after).
  uint32_t WarmRun = 0;
};

TScanner::TScanner(TRunState& run) : FRun(run) {}

void TScanner::Prepare() {
  FPatterns.clear();
  if (FRun.Opt.ExcludeEnabled) {
    const std::string& all = FRun.Opt.ExcludePatterns;
    size_t pos = 0;
    while (pos <= all.size()) {
      size_t end = all.find_first_of("\r\n", pos);
      if (end == std::string::npos) end = all.size();
      std::string line = all.substr(pos, end - pos);
      // CR LF, a lone CR and a lone LF each end one line.
      pos = end + ((end + 1 < all.size() && all[end] == '\r' && all[end + 1] == '\n') ? 2 : 1);
      size_t a = 0, b = line.size();
      while (a < b && static_cast<unsigned char>(line[a]) <= 32) ++a;
      while (b > a && static_cast<unsigned char>(line[b - 1]) <= 32) --b;
      if (a == b) continue;
      line = line.substr(a, b - a);
      std::string err;
      if (!ValidateMask(line, &err)) {
        TRunEvent e;
        e.Error = TRunError::BadPattern;
        e.Text = line;
        e.Text2 = err;
        FRun.Fail(e);
        continue;
      }
      FPatterns.push_back(line);
    }
  }
  FPlanOpt = TPlanOptions{FRun.Opt.CompareMode, FRun.Opt.SkipNewer};
  // Owners of items that need no copy are brought in line too: all of them
  // as root, the groups of a user's own items otherwise.
  FPlanOpt.Owners = FRun.AsRoot ? TOwnerRule::All : TOwnerRule::Group;
  FPlanOpt.MyUid = ProcessUid();
  if (!FRun.AsRoot) FPlanOpt.MyGroups = ProcessGroups();
  FMaxBytes = FRun.Opt.ExcludeLargerMB >= 1 ? int64_t(FRun.Opt.ExcludeLargerMB) * 1048576 : 0;
  // A backup disk's Trash fills with what a run deleted, and a log folder
  // inside the destination with the run's own log: mirrored like the rest,
  // the next run would delete both for good (or trash them again).
  FDestIsFsRoot = IsFileSystemRoot(FRun.Opt.DestDir);
  FKeptOutRels.clear();
  const std::string dest = ResolvePathForCompare(FRun.Opt.DestDir);
  for (const std::string& dir : FRun.Opt.KeepOutDirs) {
    std::string rel = RelativeInside(dest, ResolvePathForCompare(dir));
    if (rel.empty()) rel = RelativeInside(FRun.Opt.DestDir, dir);
    if (!rel.empty()) FKeptOutRels.push_back(std::move(rel));
  }
}

TRunFigures TScanner::Figures() const {
  TRunFigures f;
  f.SrcFiles = FRun.ScannedSrc.load();
  f.DstFiles = FRun.ScannedDst.load();
  f.SrcDirs = FSrcDirs.load();
  f.DstDirs = FDstDirs.load();
  return f;
}

bool TScanner::IsKeptOut(const std::string& rel, const std::string& name) const {
  if (rel.empty() && FDestIsFsRoot && IsTrashName(name)) return true;
  for (const std::string& k : FKeptOutRels) {
    if (rel.empty() ? k == name
                    : k.size() == rel.size() + 1 + name.size() && k.compare(0, rel.size(), rel) == 0 &&
                          k[rel.size()] == '/' && k.compare(rel.size() + 1, name.size(), name) == 0)
      return true;
  }
  return false;
}

void TScanner::Skip(TSkipKind kind, const std::string& path) {
  TRunEvent e;
  e.Kind = TEventKind::Skipped;
  e.Skip = kind;
  e.Path = path;
  try { FRun.Emit(e); } catch (...) {}
}

void TScanner::Scan(TPlan& plan) {
  TWorkItem root;
  root.Node = std::make_shared<TDirNode>();
  root.SrcPresent = true;
  // Only a destination that is not there yet is empty; one that is there
  // but cannot be opened may hold anything.
  root.DstPresent = FRun.DstRoot >= 0 || FRun.DstRootErr != ENOENT;
  FStack.push_back(std::move(root));
  FPending = 1;
  const int32_t n = std::max<int32_t>(1, FRun.Opt.Workers);
  std::vector<std::thread> threads;
  for (int32_t i = 1; i < n; ++i) threads.emplace_back([&] { Work(plan); });
  Work(plan);
  for (auto& t : threads) t.join();
  FStack.clear();
}

bool TScanner::Next(TWorkItem& item) {
  std::unique_lock<std::mutex> g(FQueueLock);
  // Wait for a folder, the end of the trees, or a cancellation (checked at
  // short intervals: Cancel does not know this condition variable).
  while (FStack.empty() && FPending > 0 && !FRun.Cancelled()) FWake.wait_for(g, std::chrono::milliseconds(20));
  if (FPending == 0 || FRun.Cancelled()) {
    FWake.notify_all();
    return false;
  }
  item = std::move(FStack.back());
  FStack.pop_back();
  return true;
}

void TScanner::Done(std::vector<TWorkItem>& children) {
  bool wake;
  {
    std::lock_guard<std::mutex> g(FQueueLock);
    for (auto it = children.rbegin(); it != children.rend(); ++it) FStack.push_back(std::move(*it));
    // Sub-folders count as pending before this folder stops counting.
    FPending += int32_t(children.size()) - 1;
    wake = !children.empty() || FPending == 0;
  }
  children.clear();
  if (wake) FWake.notify_all();
}

void TScanner::Work(TPlan& plan) {
  TWorker w;
  w.Masks.reserve(FPatterns.size());
  for (const std::string& p : FPatterns) {
    w.Masks.emplace_back();
    w.Masks.back().Compile(p, nullptr);
  }
  TWorkItem item;
  while (Next(item)) {
    try {
      Process(w, item, plan);
    } catch (...) {
      // Nothing of the folder was planned: what lies there stays as it is.
      w.Children.clear();
      try {
        {
          std::lock_guard<std::mutex> g(FPlanLock);
          plan.Held.push_back(item.Rel);
        }
        TRunEvent e;
        e.Error = TRunError::Unexpected;
        e.Text = "unknown failure";
        std::string what;
        try {
          throw;
        } catch (const std::exception& x) {
          what = x.what();
          e.Text = what;
        } catch (...) {}
        FRun.Fail(e);
      } catch (...) {}
    }
    Done(w.Children);
  }
}

int TScanner::List(int root, const std::string& rel, std::vector<TDirEntry>& entries, TFileInfo* info) {
  entries.clear();
  int err;
  try {
    TFileInfo dirInfo;
    err = FRun.Fs.ListDirBeneath(root, rel, entries, FRun.Opt.SymlinkMode != smFollow, dirInfo);
    if (err == 0 && info) *info = dirInfo;
  } catch (...) {
    err = EIO;
  }
  if (err != 0) entries.clear();
  return err;
}

// Both sides of the folder, then its plan: the listings are dropped as
// soon as the folder's actions are merged.
void TScanner::Process(TWorker& w, TWorkItem& item, TPlan& plan) {
  const bool top = item.Rel.empty();
  TPairState st = item.Inherited;
  w.Src.Clear();
  w.Dst.Clear();
  w.SrcEntries.clear();
  w.DstEntries.clear();
  bool held = false;
  constexpr uint32_t kAlwaysAsked = 8, kAskedEvery = 8;
  const bool ask = w.WarmRun < kAlwaysAsked || w.WarmRun % kAskedEvery == 0;
  const int64_t blocksBefore = ask ? ThreadBlockReads() : 0;
  TFileInfo srcInfo, dstInfo;
  if (item.SrcPresent) {
    if (int err = List(FRun.SrcRoot, item.Rel, w.SrcEntries, &srcInfo)) {
      try { FRun.FailAt(TRunError::CannotList, top ? FRun.Opt.SourceDir : FRun.SrcPath(item.Rel), err); } catch (...) {}
      if (top) FSrcRootFailed = true;
      st.SrcUnknown = true;
    } else {
      st.SrcListed = true;
      Filter(w, true, item.Rel, w.SrcEntries, w.Src);
    }
  }
  if (item.DstPresent) {
    TFileInfo& info = dstInfo;
    int err = FRun.DstRoot < 0 ? FRun.DstRootErr : List(FRun.DstRoot, item.Rel, w.DstEntries, &info);
    if (err != 0) {
      try { FRun.FailAt(TRunError::CannotList, top ? FRun.Opt.DestDir : FRun.DstPath(item.Rel), err); } catch (...) {}
      if (top) FDstRootFailed = true;
      held = !top;
      st.DstHeld = true;
    } else {
      // The apply step checks each folder it works in against this.
      item.Node->Dev = info.Dev;
      item.Node->Ino = info.Ino;
      st.DstListed = true;
      Filter(w, false, item.Rel, w.DstEntries, w.Dst);
    }
  }
  const bool diskWaited = ask && ThreadBlockReads() != blocksBefore;
  w.WarmRun = diskWaited ? 0 : w.WarmRun + 1;
  FRun.ScannedSrc.fetch_add(int32_t(w.Src.Files.size()));
  int32_t dstFiles = 0;
  for (const TListedFile& f : w.Dst.Files) dstFiles += (f.Flags & lfTempName) ? 0 : 1;
  FRun.ScannedDst.fetch_add(dstFiles);
  FSrcDirs.fetch_add(int32_t(w.Src.Dirs.size()));
  FDstDirs.fetch_add(int32_t(w.Dst.Dirs.size()));

  if (st.SrcListed) {
    item.Node->SrcListed = true;
    item.Node->SrcTime = srcInfo.WriteTime;
  }
  PlanFolder(w.Src, w.Dst, st, FPlanOpt, w.Plan);
  w.ChildNodes.clear();
  for (const TSubPair& sub : w.Plan.Subs) {
    auto node = std::make_shared<TDirNode>();
    node->Parent = item.Node;
    w.ChildNodes.push_back(node);
    w.Children.push_back(TWorkItem{JoinRel(item.Rel, sub.Name), std::move(node), sub.SrcPresent, sub.DstPresent,
                                   sub.Inherited});
  }
  // A folder that had to wait for the disk has sub-folders that will too:
  // their reads start now, all at once, instead of one by one as the
  // workers reach them.
  if (diskWaited && !w.Children.empty()) {
    for (const TWorkItem& c : w.Children) {
      if (c.SrcPresent) w.Prefetch.Add(FRun.SrcRoot, c.Rel);
      if (c.DstPresent && FRun.DstRoot >= 0) w.Prefetch.Add(FRun.DstRoot, c.Rel);
    }
    w.Prefetch.Submit();
  }
  {
    std::lock_guard<std::mutex> g(FPlanLock);
    plan.Merge(item.Rel, item.Node, w.Plan, w.ChildNodes);
    if (held) plan.Held.push_back(item.Rel);
    const bool bothSides = st.SrcListed && st.DstListed && !st.DstHeld && !st.DstBelowLink;
    if (!top && bothSides) {
      TListedFile s{{}, 0, 0, lfOwned, {}, srcInfo.Uid, srcInfo.Gid}, d{{}, 0, 0, lfOwned, {}, dstInfo.Uid, dstInfo.Gid};
      TPlan::TModeFix fix{item.Rel, item.Node};
      fix.SetOwner = OwnerWanted(s, d, FPlanOpt);
      fix.Uid = srcInfo.Uid;
      fix.Gid = srcInfo.Gid;
      // The bits go with the owner and group the folder ends up with: the
      // source's where they change, its own where they stay (or where
      // their change fails).
      TFileInfo after = dstInfo;
      if (fix.SetOwner) {
        if (FPlanOpt.Owners == TOwnerRule::All) after.Uid = srcInfo.Uid;
        after.Gid = srcInfo.Gid;
      }
      const uint32_t have = dstInfo.Mode & 07777;
      fix.Mode = RepairedMode(srcInfo, after, FRun.AsRoot);
      fix.SetMode = fix.Mode != have;
      fix.ModeOwnerKept = RepairedMode(srcInfo, dstInfo, FRun.AsRoot);
      fix.SetModeOwnerKept = fix.ModeOwnerKept != have;
      if (fix.SetMode || fix.SetOwner) plan.ModeFixes.push_back(std::move(fix));
    }
    if (bothSides && srcInfo.WriteTime != dstInfo.WriteTime) plan.TimeFixes.push_back({item.Rel, item.Node});
    for (std::string_view k : w.Dst.KeptOut) plan.Held.push_back(JoinRel(item.Rel, k));
  }
  w.ChildNodes.clear();
}

// The filters of both sides: what is not part of the mirror is left
// out of the listing, with a line where the user should know.
void TScanner::Filter(TWorker& w, bool isSource, const std::string& rel, std::vector<TDirEntry>& entries,
                      TFolderListing& out) {
  const TMirrorOptions& o = FRun.Opt;
  const std::string& root = isSource ? o.SourceDir : o.DestDir;
  auto fullPath = [&](const TDirEntry& e) -> const std::string& {
    w.Full.assign(root);
    if (!rel.empty()) w.Full.append("/").append(rel);
    return w.Full.append("/").append(e.Name);
  };
  const bool anyKeptOut = FDestIsFsRoot || !FKeptOutRels.empty();
  for (const TDirEntry& e : entries) {
    if (e.Name == "." || e.Name == "..") continue;
    if (anyKeptOut && IsKeptOut(rel, e.Name)) {
      if (isSource && rel.empty() && FDestIsFsRoot && IsTrashName(e.Name)) {
        Skip(TSkipKind::KeptOut, fullPath(e));
      } else if (isSource) {
        // The user's own items that cannot be mirrored: a gap, not a success.
        try { FRun.FailAt(TRunError::LogFolderInSource, fullPath(e)); } catch (...) {}
      } else {
        out.KeptOut.push_back(e.Name);
      }
      continue;
    }
    switch (e.Kind) {
      case TEntryKind::Symlink:
        if (o.SymlinkMode != smSkip) break; // an item of its own kind, below
        // Left out on both sides: a destination link is never entered,
        // replaced or deleted.
        if (isSource) Skip(TSkipKind::Link, fullPath(e));
        else out.Links.push_back(e.Name);
        continue;
      case TEntryKind::DirLink:
      case TEntryKind::MountPoint:
        Skip(TSkipKind::FolderLink, fullPath(e));
        if (!isSource) out.Links.push_back(e.Name);
        continue;
      case TEntryKind::Dir:
        if (o.ExcludeHiddenDirs && e.Hidden) continue;
        if (!w.Masks.empty() && (MatchesAny(w.Masks, fullPath(e)) || MatchesAny(w.Masks, w.Full + "/"))) {
          if (!isSource) out.Excluded.push_back(e.Name);
          continue;
        }
        out.Dirs.push_back(e.Name);
        continue;
      default: break;
    }
    // Files, and the things that look like files but are not copied.
    const bool link = e.Kind == TEntryKind::Symlink;
    if (!isSource && ((e.Kind == TEntryKind::File && !e.Link) || link) && IsCopyTempName(e.Name)) {
      // A copy (or link) under way, or left by an interrupted run; the plan
      // decides once it knows whether the source has a file of that name.
      out.Files.push_back(TListedFile{e.Name, link ? 0 : e.Size, e.WriteTime, uint8_t(lfTempName | (link ? lfSymlink : 0))});
      continue;
    }
    if (link) {
      // A link is a file of its own kind: hidden-file and pattern filters
      // apply, size filters do not. Its time and owner are its own.
      if ((o.ExcludeHiddenSysFiles && e.Hidden) || (!w.Masks.empty() && MatchesAny(w.Masks, fullPath(e)))) {
        if (!isSource) out.FilteredOut.push_back(TListedFile{e.Name, 0, e.WriteTime, lfSymlink | lfOwned, e.LinkTarget, e.Uid, e.Gid});
        continue;
      }
      out.Files.push_back(TListedFile{e.Name, 0, e.WriteTime, lfSymlink | lfOwned, e.LinkTarget, e.Uid, e.Gid});
      continue;
    }
    const bool odd = e.Kind == TEntryKind::Special || e.Kind == TEntryKind::Dangling;
    const bool filtered =
        (o.ExcludeHiddenSysFiles && e.Hidden) ||
        (e.Kind == TEntryKind::File && ((o.ExcludeEmpty && e.Size == 0) || (FMaxBytes > 0 && e.Size > FMaxBytes))) ||
        (!w.Masks.empty() && MatchesAny(w.Masks, fullPath(e)));
    if (filtered) {
      // The filters judge each side's file on its own: an empty or oversized
      // old version may be left out while the source file is not, and the
      // plan must still know what a copy would replace.
      if (!isSource)
        out.FilteredOut.push_back(odd ? TListedFile{e.Name, kNotAFile, 0, lfOddity}
                                      : TListedFile{e.Name, e.Size, e.WriteTime, 0});
      continue;
    }
    if (odd && !isSource) {
      // Nothing the mirror would make: it goes like an extra file (and
      // leaves its folder removable), or is replaced by the source's file.
      out.Files.push_back(TListedFile{e.Name, kNotAFile, 0, lfOddity});
    } else if (odd) {
      Skip(e.Kind == TEntryKind::Special ? TSkipKind::Special : TSkipKind::Dangling, fullPath(e));
      // Its destination counterpart, if one of its kind, is not extra.
      out.Oddities.push_back(e.Name);
    } else {
      // A file reached through a link has its target's owner, which is
      // not the entry's own.
      const uint8_t flags = e.Link ? (isSource ? lfLink : 0) : lfOwned;
      out.Files.push_back(TListedFile{e.Name, e.Size, e.WriteTime, flags, {}, e.Uid, e.Gid});
    }
  }
}

} // namespace twf
