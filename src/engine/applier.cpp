// Applying the plan: destination folder access, leftovers, deletes and the
// folder steps.
#include "engine/applier.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "engine/parallel.h"
#include "platform/fs.h"

namespace twf {

namespace {
constexpr int64_t kLeftoverMargin = 20000000; // 2 s in 100 ns units

bool SameAsSeen(std::string_view rel, const TDirNode* node, const TFileInfo& info) {
  if (rel.empty() || !node) return true; // the root: held open since the start
  if (node->Ino != 0) return node->Dev == info.Dev && node->Ino == info.Ino;
  if (node->Made) return node->MadeDev == info.Dev && node->MadeIno == info.Ino;
  return true; // never seen (appeared meanwhile): it lies below the root all the same
}

std::string_view LastPart(std::string_view rel) {
  const size_t slash = rel.rfind('/');
  return slash == std::string_view::npos ? rel : rel.substr(slash + 1);
}
} // namespace

void TApplier::CloseFd(int fd) {
  if (fd >= 0) FRun.Fs.Close(fd);
}

TApplier::TFdCloser::~TFdCloser() {
  if (Fd >= 0) Fs.Close(Fd);
}

void TApplier::Guarded(const std::function<void()>& body) {
  RunGuarded(body, [this](const char* what) { Unexpected(what); });
}

void TApplier::Unexpected(const char* what) {
  TRunEvent e;
  e.Error = TRunError::Unexpected;
  e.Text = what;
  FRun.Fail(e);
}

void TApplier::RetryWait() {
  for (int i = 0; i < 20; ++i) {
    if (FRun.Cancelled()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

bool TApplier::IsBelowChanged(std::string_view rel) {
  std::lock_guard<std::mutex> g(FChangedLock);
  for (const std::string& c : FChangedDirs)
    if (IsAtOrBelow(rel, c)) return true;
  return false;
}

void TApplier::ReportChanged(const std::string& relDir) {
  {
    std::lock_guard<std::mutex> g(FChangedLock);
    // Already reported, by itself or with a folder above it (another
    // worker may have been first).
    for (const std::string& c : FChangedDirs)
      if (IsAtOrBelow(relDir, c)) return;
    FChangedDirs.push_back(relDir);
  }
  FRun.FailAt(TRunError::FolderChanged, FRun.DstPath(relDir));
}

int TApplier::OpenDestDir(std::string_view relView, const TDirNode* node, int& fd, TFileInfo* seen) {
  fd = -1;
  const std::string rel(relView);
  if (IsBelowChanged(rel)) return kFolderChanged;
  if (FRun.DstRoot < 0) return FRun.DstRootErr ? FRun.DstRootErr : ENOENT;
  TFileInfo info;
  const int err = FRun.Fs.OpenDirAt(FRun.DstRoot, rel, fd, info);
  if (err == 0) {
    if (SameAsSeen(rel, node, info)) {
      if (seen) *seen = info;
      return 0;
    }
    CloseFd(fd);
    fd = -1;
    ReportChanged(rel);
    return kFolderChanged;
  }
  // Which folder on the way is no longer the one seen? A link, a mount or
  // a file in a folder's place, or another folder under its name. A folder
  // that is simply gone is the caller's ordinary error, and so is any
  // failure to open the root again: nothing lies on its way.
  if (rel.empty()) return err;
  std::vector<const TDirNode*> chain; // the folder's node first, the root's last
  for (const TDirNode* n = node; n; n = n->Parent.get()) chain.push_back(n);
  const size_t depth = size_t(std::count(rel.begin(), rel.end(), '/')) + 1;
  size_t k = 0;
  for (size_t end = 0; end != std::string::npos;) {
    end = rel.find('/', end + 1);
    const std::string prefix = rel.substr(0, end);
    ++k;
    const TDirNode* seen = chain.size() == depth + 1 ? chain[depth - k] : nullptr;
    int pfd = -1;
    TFileInfo pinfo;
    const int perr = FRun.Fs.OpenDirAt(FRun.DstRoot, prefix, pfd, pinfo);
    CloseFd(pfd);
    if ((perr == 0 && !SameAsSeen(prefix, seen, pinfo)) || perr == ELOOP || perr == EXDEV || perr == ENOTDIR) {
      ReportChanged(prefix);
      return kFolderChanged;
    }
    if (perr != 0) break;
  }
  return err;
}

// Temporary files of copies are removed only when nobody can be writing
// them: the process that named one has ended (its id is part of the name,
// so the run started right after a kill clears what the killed run left),
// or the file's status-change time (which every write, chmod, chown and
// link moves on, and nobody can set back) lies before this run started, by
// more than the 2 s that file systems with coarse time stamps may round
// off. Any other is kept for a later run. A name of that shape may also be
// a file the source once had (and was mirrored under it): so where deleted
// files go to the archive or the Trash, these go there too.
void TApplier::RemoveLeftovers() {
  for (const TPlanFile& f : FPlan.Leftovers) {
    if (FRun.Cancelled()) return;
    const std::string rel = FPlan.RelOf(f), name(f.Name());
    int dir = -1;
    int code = OpenDest(FPlan.Folders[f.Folder], dir);
    if (code == kFolderChanged) continue;
    TFileInfo info;
    if (code == 0) code = FRun.Fs.StatAt(dir, name, info);
    if (code == 0 && info.ChangeTime + kLeftoverMargin >= FRun.RunStart && !CopyTempWriterGone(dir, name)) {
      CloseFd(dir);
      continue; // maybe being written by another run
    }
    TDeleteHow how = TDeleteHow::Deleted;
    if (code == 0 && FArchive) {
      code = FArchive->Move(dir, name, rel, TArchive::TKind::Deleted) ? 0 : kFolderChanged; // reported
      how = TDeleteHow::Archived;
    } else if (code == 0 && FRun.Opt.RecycleDeletes) {
      code = FRun.Fs.TrashFileAt(dir, name);
      how = TDeleteHow::Recycled;
    } else if (code == 0) {
      code = FRun.Fs.DeleteFileAt(dir, name);
    }
    CloseFd(dir);
    if (code == 0) {
      FRun.Leftovers.fetch_add(1);
      FRun.Item(TEventKind::LeftoverRemoved, rel, false, how);
    } else if (code != ENOENT && code != kFolderChanged) {
      FRun.Fail(TRunError::DeleteFailed, rel, code);
    }
  }
}

bool TApplier::WillRetry(int code, int attempt, const std::string& rel) {
  if (code == 0 || !FRun.Opt.RetryLocked || FRun.Cancelled() || !IsFileInUseCode(code) || attempt == 3) return false;
  TRunEvent e;
  e.Kind = TEventKind::Retry;
  e.Rel = rel;
  e.Count = attempt + 1;
  FRun.Emit(e);
  return true;
}

void TApplier::DeleteFiles() {
  if (FRun.Opt.RecycleDeletes && !FArchive && !FRun.Opt.DryRun) return RecycleFiles();
  ForEachChunk(FPlan.Deletes, false, [&](const TChunk& c) { DeleteChunk(c); });
}

void TApplier::ForEachChunk(const std::deque<TPlanFile>& files, bool bySize,
                            const std::function<void(const TChunk&)>& step) {
  ForEachChunk(Chunks(files, bySize), step);
}

void TApplier::ForEachChunk(const std::vector<TChunk>& chunks, const std::function<void(const TChunk&)>& step) {
  ParallelForEach(
      int32_t(chunks.size()), FRun.Opt.Workers, FRun.CancelCount, [&](int32_t i) { step(chunks[size_t(i)]); },
      [&](const char* what) { Unexpected(what); });
}

void TApplier::DeleteChunk(const TChunk& c) {
  const TPlanFolder& folder = FPlan.Folders[FPlan.Deletes[c.First].Folder];
  TFdCloser dir{FRun.Fs};
  // A folder whose change could not be reported is still one that changed.
  int code = kFolderChanged;
  Guarded([&] { code = FRun.Opt.DryRun ? 0 : OpenDest(folder, dir.Fd); });
  for (size_t i = c.First; i < c.First + c.Count && !FRun.Cancelled(); ++i) {
    const TPlanFile& f = FPlan.Deletes[i];
    Guarded([&] {
      if (code == 0) DeleteOne(f, dir.Fd);
      else if (code != kFolderChanged)
        FRun.Fail(FArchive ? TRunError::ArchiveFailed : TRunError::DeleteFailed, FPlan.RelOf(f), code);
    });
    FRun.DoneOps.fetch_add(1);
  }
}

// A file's own permission bits never stop unlink() or rename() here, so
// nothing is cleared before deleting or overwriting it.
void TApplier::DeleteOne(const TPlanFile& f, int dir) {
  const std::string rel = FPlan.RelOf(f), name(f.Name());
  if (FRun.Opt.DryRun) {
    FRun.Item(TEventKind::Deleted, rel, true);
    FRun.FilesDeleted.fetch_add(1);
    return;
  }
  if (FArchive) {
    if (FArchive->Move(dir, name, rel, TArchive::TKind::Deleted)) {
      FRun.FilesDeleted.fetch_add(1);
      FRun.Item(TEventKind::Deleted, rel, false, TDeleteHow::Archived);
    }
    return;
  }
  int code = 0;
  for (int attempt = 1;; ++attempt) {
    code = FRun.Fs.DeleteFileAt(dir, name);
    if (!WillRetry(code, attempt, rel)) break;
    RetryWait();
  }
  if (code == 0) {
    FRun.FilesDeleted.fetch_add(1);
    FRun.Item(TEventKind::Deleted, rel);
  } else {
    FRun.Fail(TRunError::DeleteFailed, rel, code);
  }
}

// The Trash reports per file, so each file is counted as what happened to
// it; only when not one file could go is it reported as the Trash failing.
void TApplier::RecycleFiles() {
  struct TOutcome {
    const TPlanFile* File;
    int Code;
  };
  std::vector<TOutcome> outcomes;
  outcomes.reserve(FPlan.Deletes.size());
  bool anyMoved = false;
  for (const TPlanFile& f : FPlan.Deletes) {
    if (FRun.Cancelled()) break; // what already went to the Trash is still reported
    int dir = -1;
    int code = OpenDest(FPlan.Folders[f.Folder], dir);
    if (code == kFolderChanged) {
      FRun.DoneOps.fetch_add(1);
      continue;
    }
    if (code == 0) code = FRun.Fs.TrashFileAt(dir, std::string(f.Name()));
    CloseFd(dir);
    anyMoved |= code == 0;
    outcomes.push_back({&f, code});
  }
  if (!anyMoved && !outcomes.empty()) {
    TRunEvent e;
    e.Error = TRunError::TrashUnusable;
    e.Errno = outcomes[0].Code;
    e.Count = int64_t(outcomes.size());
    FRun.Fail(e);
    FRun.DoneOps.fetch_add(int32_t(outcomes.size()));
    return;
  }
  for (const TOutcome& o : outcomes) {
    const std::string rel = FPlan.RelOf(*o.File);
    if (o.Code == 0) {
      FRun.FilesDeleted.fetch_add(1);
      FRun.Item(TEventKind::Deleted, rel, false, TDeleteHow::Recycled);
    } else {
      FRun.Fail(TRunError::TrashFailed, rel, o.Code);
    }
    FRun.DoneOps.fetch_add(1);
  }
}

void TApplier::RemoveFolders() {
  for (const TPlanDir& d : FPlan.RmDirs) {
    if (FRun.Cancelled()) break;
    if (FRun.Opt.DryRun) {
      FRun.Item(TEventKind::FolderRemoved, d.Rel, true);
      FRun.DirsDeleted.fetch_add(1);
    } else {
      int dir = -1;
      int code = IsBelowChanged(d.Rel) ? kFolderChanged : OpenDest(FPlan.Folders[d.Parent], dir);
      if (code == 0) code = FRun.Fs.RemoveDirAt(dir, std::string(LastPart(d.Rel)));
      CloseFd(dir);
      if (code == 0) {
        FRun.DirsDeleted.fetch_add(1);
        FRun.Item(TEventKind::FolderRemoved, d.Rel);
      } else if (code != kFolderChanged) {
        FRun.Fail(TRunError::RemoveFolderFailed, d.Rel, code);
      }
    }
    FRun.DoneOps.fetch_add(1);
  }
}

void TApplier::CreateFolders() {
  for (const TPlanDir& d : FPlan.MkDirs) {
    if (FRun.Cancelled()) break;
    if (FRun.Opt.DryRun) {
      FRun.Item(TEventKind::FolderCreated, d.Rel, true);
      FRun.DirsCreated.fetch_add(1);
    } else {
      int src = -1, parent = -1, made = -1;
      TFileInfo srcInfo, madeInfo;
      int code = FRun.Fs.OpenDirAt(FRun.SrcRoot, d.Rel, src, srcInfo);
      if (code == 0) code = OpenDest(FPlan.Folders[d.Parent], parent);
      if (code == 0) code = FRun.Fs.CreateDirAt(parent, std::string(LastPart(d.Rel)), made, madeInfo);
      CloseFd(parent);
      if (code == 0) {
        d.Node->Made = true;
        d.Node->MadeDev = madeInfo.Dev;
        d.Node->MadeIno = madeInfo.Ino;
        FRun.DirsCreated.fetch_add(1);
        FRun.Item(TEventKind::FolderCreated, d.Rel);
        FinishFolder(d, src, srcInfo, made);
      } else if (code != EEXIST && code != kFolderChanged) {
        FRun.Fail(TRunError::CreateFolderFailed, d.Rel, code);
      }
      CloseFd(made);
      CloseFd(src);
    }
    FRun.DoneOps.fetch_add(1);
  }
}

// A folder is made 0700, so nobody else can use it before it is final,
// then gets the source's owner and group, its ACL and last its mode. The
// interim states never grant more than the final one (the source owner's
// own write access apart), and whatever the final state grants, every later
// operation inside goes through checked descriptors.
void TApplier::FinishFolder(const TPlanDir& d, int srcFd, const TFileInfo& srcInfo, int dstFd) {
  const bool ownerCarried = FRun.Fs.SetOwnerFd(dstFd, srcInfo.Uid, srcInfo.Gid) == 0;
  if (FRun.Opt.PreserveAcl) {
    std::string acl;
    int code = FRun.Fs.GetAclFd(srcFd, acl);
    if (code != 0) {
      FRun.FailAt(TRunError::ReadAclFailed, FRun.SrcPath(d.Rel), code);
    } else if ((code = FRun.Fs.SetAclFd(dstFd, acl)) != 0) {
      FRun.FailAt(TRunError::SetAclFailed, FRun.DstPath(d.Rel), code);
    }
    std::string xattrs;
    code = FRun.Fs.GetXattrsFd(srcFd, xattrs);
    if (code != 0 && code != ENOTSUP && code != EOPNOTSUPP) {
      FRun.FailAt(TRunError::ReadAclFailed, FRun.SrcPath(d.Rel), code);
    } else if (code == 0 && !xattrs.empty() && (code = FRun.Fs.SetXattrsFd(dstFd, xattrs)) != 0) {
      XattrsRefused(code, FRun.DstPath(d.Rel));
    }
  }
  uint32_t mode = srcInfo.Mode & 07777;
  if (!ownerCarried) mode &= ~uint32_t(06000);
  // Without search and write for the owner, the copies into the folder
  // would fail for a run that is not root's: that mode waits for the end.
  if ((mode & 0300) != 0300) {
    FDeferredModes.push_back({&d, mode});
    mode |= 0300;
  }
  if (int code = FRun.Fs.SetModeFd(dstFd, mode)) FRun.FailAt(TRunError::SetAclFailed, FRun.DstPath(d.Rel), code);
}

void TApplier::FinishDeferredModes() {
  // Deepest first: a parent that loses its write bit comes last.
  for (auto it = FDeferredModes.rbegin(); it != FDeferredModes.rend(); ++it) {
    int dir = -1;
    int code = OpenDestDir(it->Dir->Rel, it->Dir->Node.get(), dir);
    if (code == 0) code = FRun.Fs.SetModeFd(dir, it->Mode);
    CloseFd(dir);
    if (code != 0 && code != kFolderChanged) FRun.FailAt(TRunError::SetAclFailed, FRun.DstPath(it->Dir->Rel), code);
  }
  FDeferredModes.clear();
}

// Folders that were there already, deepest first as well. A best effort:
// the bits are the source's wherever this run may set them.
void TApplier::FixFolderModes() {
  std::sort(FPlan.ModeFixes.begin(), FPlan.ModeFixes.end(),
            [](const TPlan::TModeFix& a, const TPlan::TModeFix& b) { return a.Rel > b.Rel; });
  for (const TPlan::TModeFix& fix : FPlan.ModeFixes) {
    if (FRun.Opt.DryRun || FRun.Cancelled()) break;
    int dir = -1;
    int code = OpenDestDir(fix.Rel, fix.Node.get(), dir);
    // The owner first: a change of owner drops the set-id bits.
    bool ownerSet = false;
    if (code == 0 && fix.SetOwner) {
      const int err = FRun.Fs.SetOwnerFd(dir, FRun.AsRoot ? int64_t(fix.Uid) : -1, fix.Gid);
      ownerSet = err == 0;
      if (err != 0 && err != EPERM && err != ENOTSUP && err != EOPNOTSUPP)
        FRun.FailAt(TRunError::SetAclFailed, FRun.DstPath(fix.Rel), err);
    }
    // Bits meant for the source's owner are not given to another one.
    const bool ownerKept = fix.SetOwner && !ownerSet;
    if (code == 0 && (ownerKept ? fix.SetModeOwnerKept : fix.SetMode))
      code = FRun.Fs.SetModeFd(dir, ownerKept ? fix.ModeOwnerKept : fix.Mode);
    CloseFd(dir);
    // A folder of someone else's, or a file system without Unix modes
    // (FAT, some network shares): nothing to repair there, and nothing to
    // report on every run either.
    if (code == EPERM || code == ENOTSUP || code == EOPNOTSUPP) continue;
    if (code != 0 && code != kFolderChanged) FRun.FailAt(TRunError::SetAclFailed, FRun.DstPath(fix.Rel), code);
  }
}

void TApplier::FixFolderTimes() {
  if (FRun.Opt.DryRun || FRun.Cancelled() || FRun.DstRoot < 0) return;
  struct TTimed {
    const std::string* Rel;
    const TDirNode* Node;
  };
  std::vector<TTimed> folders;
  for (const TPlanFolder& f : FPlan.TimeFixes) folders.push_back({&f.Rel, f.Node.get()});
  for (const TPlanFolder& f : FPlan.Folders) folders.push_back({&f.Rel, f.Node.get()});
  for (const TPlanDir& d : FPlan.MkDirs)
    if (d.Node->Made) folders.push_back({&d.Rel, d.Node.get()});
  std::erase_if(folders, [](const TTimed& t) { return !t.Node || !t.Node->SrcListed; });
  // Deepest first; a folder met twice is set once.
  std::sort(folders.begin(), folders.end(), [](const TTimed& a, const TTimed& b) {
    const auto da = std::count(a.Rel->begin(), a.Rel->end(), '/'), db = std::count(b.Rel->begin(), b.Rel->end(), '/');
    if (a.Rel->empty() != b.Rel->empty()) return b.Rel->empty();
    return da != db ? da > db : *a.Rel < *b.Rel;
  });
  folders.erase(std::unique(folders.begin(), folders.end(),
                            [](const TTimed& a, const TTimed& b) { return *a.Rel == *b.Rel; }),
                folders.end());
  std::erase_if(folders, [](const TTimed& t) { return t.Node->TimeSet; });
  // Set by the workers; what failed is reported afterwards, deepest first.
  std::vector<int> codes(folders.size(), 0);
  ParallelForEach(
      int32_t(folders.size()), FRun.Opt.Workers, FRun.CancelCount,
      [&](int32_t i) {
        const TTimed& t = folders[size_t(i)];
        int dir = -1;
        TFileInfo info;
        int code = OpenDestDir(*t.Rel, t.Node, dir, &info);
        // One that has the time already is left alone (its change time too):
        // a content check, say, lists every folder and changes none.
        if (code == 0 && info.WriteTime != t.Node->SrcTime) code = FRun.Fs.SetTimesFd(dir, t.Node->SrcTime);
        CloseFd(dir);
        codes[size_t(i)] = code;
      },
      [&](const char* what) { Unexpected(what); });
  for (size_t i = 0; i < folders.size(); ++i)
    if (codes[i] != kFolderChanged) TimeSetReport(*folders[i].Rel, codes[i]);
}

// Someone else's folder, or a file system that keeps no such times:
// nothing to report on every run.
void TApplier::TimeSetReport(const std::string& rel, int code) {
  if (code == 0 || code == EPERM || code == EACCES || code == ENOTSUP || code == EOPNOTSUPP || code == ENOENT) return;
  FRun.FailAt(TRunError::SetAclFailed, FRun.DstPath(rel), code);
}

} // namespace twf
