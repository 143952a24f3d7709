// Applying the plan: deletes, folder removal, folder creation, copies.
#include <cerrno>
#include <thread>

#include "engine/mirror_engine.h"
#include "engine/text.h"
#include "log/logger.h"
#include "platform/fs.h"

namespace twf {

namespace {
constexpr int64_t kLargeFile = 268435456; // 256 MiB: kept out of the page cache
constexpr int64_t kLeftoverMargin = 20000000; // 2 s in 100 ns units
}

void TMirrorEngine::CloseFd(int fd) {
  if (fd >= 0) FFs.Close(fd);
}

bool TMirrorEngine::SameAsSeen(const std::string& relDir, const TFileInfo& info) const {
  if (relDir.empty()) return true; // the root: held open since the start
  if (const TFolderEntry* f = FDstDirs.Find(FoldKey(relDir)); f && f->Ino != 0)
    return f->Dev == info.Dev && f->Ino == info.Ino;
  auto it = FCreatedDirs.find(relDir);
  if (it != FCreatedDirs.end()) return it->second.first == info.Dev && it->second.second == info.Ino;
  return true; // never seen (appeared meanwhile): it lies below the root all the same
}

bool TMirrorEngine::IsBelowChanged(std::string_view rel) {
  std::lock_guard<std::mutex> g(FChangedLock);
  for (const std::string& c : FChangedDirs)
    if (rel.size() >= c.size() && rel.compare(0, c.size(), c) == 0 && (rel.size() == c.size() || rel[c.size()] == '/'))
      return true;
  return false;
}

void TMirrorEngine::ReportChanged(const std::string& relDir) {
  if (IsBelowChanged(relDir)) return;
  {
    std::lock_guard<std::mutex> g(FChangedLock);
    for (const std::string& c : FChangedDirs)
      if (c == relDir) return; // another worker was first
    FChangedDirs.push_back(relDir);
  }
  LogError("Destination folder changed during the run, nothing below it is touched: \"%s\"",
           DstPath(relDir).c_str());
}

int TMirrorEngine::OpenDestParent(const std::string& rel, std::string& name, int& fd) {
  std::string dirRel;
  SplitRel(rel, dirRel, name);
  return OpenDestDir(dirRel, fd);
}

int TMirrorEngine::OpenDestDir(const std::string& relDir, int& fd) {
  fd = -1;
  if (IsBelowChanged(relDir)) return kFolderChanged;
  if (FDstRoot < 0) return FDstRootErr ? FDstRootErr : ENOENT;
  TFileInfo info;
  const int err = FFs.OpenDirAt(FDstRoot, relDir, fd, info);
  if (err == 0) {
    if (SameAsSeen(relDir, info)) return 0;
    CloseFd(fd);
    fd = -1;
    ReportChanged(relDir);
    return kFolderChanged;
  }
  // Which folder on the way is no longer the one seen? A link, a mount or
  // a file in a folder's place, or another folder under its name. A folder
  // that is simply gone is the caller's ordinary error.
  for (size_t end = 0; end != std::string::npos;) {
    end = relDir.find('/', end + 1);
    const std::string prefix = relDir.substr(0, end);
    int pfd = -1;
    TFileInfo pinfo;
    const int perr = FFs.OpenDirAt(FDstRoot, prefix, pfd, pinfo);
    CloseFd(pfd);
    if ((perr == 0 && !SameAsSeen(prefix, pinfo)) || perr == ELOOP || perr == EXDEV || perr == ENOTDIR) {
      ReportChanged(prefix);
      return kFolderChanged;
    }
    if (perr != 0) break;
  }
  return err;
}

// A link is its owner's word about which file to copy. As root that word
// could name any file on the machine, and the copy would then sit in the
// link owner's backup: followed only when root made the link or its owner
// owns the file (who could read it anyway). The check is made on the file
// actually opened, so swapping the link afterwards changes nothing.
int TMirrorEngine::OpenSourceFile(const std::string& rel, int& fd, TFileInfo& info) {
  fd = -1;
  int err = FFs.OpenFileAt(FSrcRoot, rel, FSrcFileLinks.count(rel) > 0, fd, info);
  if (err != 0 || !FAsRoot || !info.ViaLink || info.LinkUid == 0 || info.LinkUid == info.Uid) return err;
  CloseFd(fd);
  fd = -1;
  LogError("Cannot copy \"%s\": the link belongs to user %u, the file it leads to does not - not followed as root",
           SrcPath(rel).c_str(), unsigned(info.LinkUid));
  return kLinkRefused;
}

void TMirrorEngine::RetryWait() {
  for (int i = 0; i < 20; ++i) {
    if (IsCancelled()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

// Temporary files of copies are removed only when nobody can be writing
// them: their status-change time (which every write, chmod, chown and link
// moves on, and nobody can set back) lies before this run started, by more
// than the 2 s that file systems with coarse time stamps may round off. One
// changed later is kept: the next run removes it. A name of that shape
// may also be a file the source once had (and was mirrored under it): so
// where deleted files go to the archive or the Trash, these go there too.
void TMirrorEngine::RemoveLeftovers() {
  for (const std::string& rel : FLeftoverFiles) {
    if (IsCancelled()) return;
    std::string name;
    int dir = -1;
    int code = OpenDestParent(rel, name, dir);
    if (code == kFolderChanged) continue;
    TFileInfo info;
    if (code == 0) code = FFs.StatAt(dir, name, info);
    if (code == 0 && info.ChangeTime + kLeftoverMargin >= FRunStart) {
      CloseFd(dir);
      continue; // being written by another run
    }
    const char* kept = "";
    if (code == 0 && FOpt.ArchiveEnabled) {
      code = ArchiveFile(dir, name, rel, TArchiveKind::Deleted) ? 0 : kFolderChanged; // reported
      kept = ", archived";
    } else if (code == 0 && FOpt.RecycleDeletes) {
      code = FFs.TrashFileAt(dir, name);
      kept = ", recycled";
    } else if (code == 0) {
      code = FFs.DeleteFileAt(dir, name);
    }
    CloseFd(dir);
    if (code == 0) {
      FLeftovers.fetch_add(1);
      LogOp(loDelete, "CLEANUP      " + rel + " (partial copy of an interrupted run" + kept + ")");
    } else if (code != ENOENT && code != kFolderChanged) {
      LogError("Delete failed \"%s\": %s", rel.c_str(), SystemMessage(code).c_str());
    }
  }
}

// A file's own permission bits never stop unlink() or rename() here, so
// nothing is cleared before deleting or overwriting it.
void TMirrorEngine::DeleteItem(const TPlan& plan, int32_t index) {
  const std::string rel(FDstFiles.At(plan.ToDelete[index]).OrigRel);
  if (FOpt.DryRun) {
    LogOp(loDelete, "[DRY] DELETE " + rel);
    FFilesDeleted.fetch_add(1);
  } else {
    std::string name;
    int dir = -1;
    int code = OpenDestParent(rel, name, dir);
    if (code == kFolderChanged) {
      FDoneOps.fetch_add(1);
      return;
    }
    for (int attempt = 1; code == 0; ++attempt) {
      code = FFs.DeleteFileAt(dir, name);
      if (code == 0 || !FOpt.RetryLocked || IsCancelled() || !IsFileInUseCode(code) || attempt == 3) break;
      Log(FormatText("RETRY        %s (locked, attempt %d/3)", rel.c_str(), attempt + 1));
      RetryWait();
      code = 0;
    }
    CloseFd(dir);
    if (code == 0) {
      FFilesDeleted.fetch_add(1);
      LogOp(loDelete, "DELETE       " + rel);
    } else {
      LogError("Delete failed \"%s\": %s", rel.c_str(), SystemMessage(code).c_str());
    }
  }
  FDoneOps.fetch_add(1);
}

// The Trash reports per file, so each file is counted as what happened to
// it; only when not one file could go is it reported as the Trash failing.
void TMirrorEngine::RecycleFiles(const TPlan& plan) {
  struct TOutcome {
    uint32_t Index;
    int Code;
  };
  std::vector<TOutcome> outcomes;
  outcomes.reserve(plan.ToDelete.size());
  bool anyMoved = false;
  for (uint32_t j : plan.ToDelete) {
    if (IsCancelled()) break; // what already went to the Trash is still reported
    const std::string rel(FDstFiles.At(j).OrigRel);
    std::string name;
    int dir = -1;
    int code = OpenDestParent(rel, name, dir);
    if (code == kFolderChanged) {
      FDoneOps.fetch_add(1);
      continue;
    }
    if (code == 0) code = FFs.TrashFileAt(dir, name);
    CloseFd(dir);
    anyMoved |= code == 0;
    outcomes.push_back({j, code});
  }
  if (!anyMoved && !outcomes.empty()) {
    LogError("Recycle Bin deletion failed (code %d) - some of the %d file(s) may remain in the destination",
             outcomes[0].Code, int(outcomes.size()));
    FDoneOps.fetch_add(int32_t(outcomes.size()));
    return;
  }
  for (const TOutcome& o : outcomes) {
    const std::string rel(FDstFiles.At(o.Index).OrigRel);
    if (o.Code == 0) {
      FFilesDeleted.fetch_add(1);
      LogOp(loDelete, "DELETE       " + rel + " (recycled)");
    } else {
      LogError("Move to the Trash failed \"%s\": %s", rel.c_str(), SystemMessage(o.Code).c_str());
    }
    FDoneOps.fetch_add(1);
  }
}

void TMirrorEngine::RemoveFolders(const TPlan& plan) {
  for (const std::string& rel : plan.RmDirs) {
    if (IsCancelled()) break;
    if (FOpt.DryRun) {
      LogOp(loRmDir, "[DRY] RMDIR  " + rel);
      FDirsDeleted.fetch_add(1);
    } else {
      std::string name;
      int dir = -1;
      int code = IsBelowChanged(rel) ? kFolderChanged : OpenDestParent(rel, name, dir);
      if (code == 0) code = FFs.RemoveDirAt(dir, name);
      CloseFd(dir);
      if (code == 0) {
        FDirsDeleted.fetch_add(1);
        LogOp(loRmDir, "RMDIR        " + rel);
      } else if (code != kFolderChanged) {
        LogError("Remove folder failed \"%s\": %s", rel.c_str(), SystemMessage(code).c_str());
      }
    }
    FDoneOps.fetch_add(1);
  }
}

// A folder is made 0700, so nobody else can use it before it is final,
// then gets the source's owner and group, its ACL and last its mode. The
// interim states never grant more than the final one (the source owner's
// own write access apart), and whatever the final state grants, every later
// operation inside goes through checked descriptors.
void TMirrorEngine::FinishFolder(const std::string& rel, int srcFd, const TFileInfo& srcInfo, int dstFd) {
  const bool ownerCarried = FFs.SetOwnerFd(dstFd, srcInfo.Uid, srcInfo.Gid) == 0;
  if (FOpt.PreserveAcl) {
    std::string acl;
    int code = FFs.GetAclFd(srcFd, acl);
    if (code != 0) {
      LogError("Read permissions failed \"%s\": %s", SrcPath(rel).c_str(), SystemMessage(code).c_str());
    } else if ((code = FFs.SetAclFd(dstFd, acl)) != 0) {
      LogError("Set permissions failed \"%s\": %s", DstPath(rel).c_str(), SystemMessage(code).c_str());
    }
  }
  uint32_t mode = srcInfo.Mode & 07777;
  if (!ownerCarried) mode &= ~uint32_t(06000);
  // Without search and write for the owner, the copies into the folder
  // would fail for a run that is not root's: that mode waits for the end.
  if ((mode & 0300) != 0300) {
    FDeferredModes.emplace_back(rel, mode);
    mode |= 0300;
  }
  if (int code = FFs.SetModeFd(dstFd, mode))
    LogError("Set permissions failed \"%s\": %s", DstPath(rel).c_str(), SystemMessage(code).c_str());
}

void TMirrorEngine::FinishDeferredModes() {
  // Deepest first: a parent that loses its write bit comes last.
  for (auto it = FDeferredModes.rbegin(); it != FDeferredModes.rend(); ++it) {
    int dir = -1;
    int code = OpenDestDir(it->first, dir);
    if (code == 0) code = FFs.SetModeFd(dir, it->second);
    CloseFd(dir);
    if (code != 0 && code != kFolderChanged)
      LogError("Set permissions failed \"%s\": %s", DstPath(it->first).c_str(), SystemMessage(code).c_str());
  }
  FDeferredModes.clear();
}

void TMirrorEngine::CreateFolders(const TPlan& plan) {
  for (const std::string& rel : plan.MkDirs) {
    if (IsCancelled()) break;
    if (FOpt.DryRun) {
      LogOp(loMkDir, "[DRY] MKDIR  " + rel);
      FDirsCreated.fetch_add(1);
    } else {
      std::string name;
      int src = -1, parent = -1, made = -1;
      TFileInfo srcInfo, madeInfo;
      int code = FFs.OpenDirAt(FSrcRoot, rel, src, srcInfo);
      if (code == 0) code = OpenDestParent(rel, name, parent);
      if (code == 0) code = FFs.CreateDirAt(parent, name, made, madeInfo);
      CloseFd(parent);
      if (code == 0) {
        FCreatedDirs[rel] = {madeInfo.Dev, madeInfo.Ino};
        FDirsCreated.fetch_add(1);
        LogOp(loMkDir, "MKDIR        " + rel);
        FinishFolder(rel, src, srcInfo, made);
      } else if (code != EEXIST && code != kFolderChanged) {
        LogError("Create folder failed \"%s\": %s", rel.c_str(), SystemMessage(code).c_str());
      }
      CloseFd(made);
      CloseFd(src);
    }
    FDoneOps.fetch_add(1);
  }
}

void TMirrorEngine::CopyItem(const TPlan& plan, int32_t index) {
  const TFileEntry& e = FSrcFiles.At(plan.ToCopy[index]);
  const std::string rel(e.OrigRel);

  if (FOpt.DryRun) {
    LogOp(loCopy, FormatText("[DRY] COPY   %s (%s)", rel.c_str(), FormatSize(e.Size).c_str()));
    FFilesCopied.fetch_add(1);
    FBytesCopied.fetch_add(e.Size);
    FDoneOps.fetch_add(1);
    return;
  }

  std::string name;
  int dir = -1;
  int code = OpenDestParent(rel, name, dir);
  if (code == kFolderChanged) {
    FDoneOps.fetch_add(1);
    return;
  }
  struct TCloser {
    TMirrorEngine& E;
    int& Fd;
    ~TCloser() { E.CloseFd(Fd); }
  } closeDir{*this, dir};

  // The source is opened below its root without following links on the
  // way; the file itself is followed only when the scan found a link there.
  int in = -1;
  TFileInfo srcInfo;
  if (code == 0) code = OpenSourceFile(rel, in, srcInfo);
  struct TCloser closeIn{*this, in};
  if (code == kLinkRefused) {
    FDoneOps.fetch_add(1);
    return;
  }

  // The old version goes to the archive only once the new one can be read.
  if (code == 0 && FOpt.ArchiveEnabled) {
    if (const TFileEntry* old = FDstFiles.Find(FoldKey(rel))) {
      std::string oldDir, oldName;
      SplitRel(std::string(old->OrigRel), oldDir, oldName);
      if (!ArchiveFile(dir, oldName, rel, TArchiveKind::Changed)) {
        FDoneOps.fetch_add(1);
        return;
      }
      LogOp(loCopy, "ARCHIVE      " + rel + " (old version)");
    }
  }

  // The ACL goes onto the copy before it gets its name.
  std::string acl;
  int aclRead = 0, aclSet = 0;
  TBeforeVisible beforeVisible;
  if (code == 0 && FOpt.PreserveAcl) {
    aclRead = FFs.GetAclFd(in, acl);
    if (aclRead == 0) beforeVisible = [&](int fd) { return FFs.SetAclFd(fd, acl); };
  }

  int64_t last = 0; // bytes of this file already added to FBytesCopied
  TCopyProgress progress = [&](int64_t transferred) {
    const int64_t delta = transferred - last;
    if (delta > 0) {
      last = transferred;
      FBytesCopied.fetch_add(delta);
    }
    return !IsCancelled();
  };
  const bool verify = FOpt.VerifyHash != vhNone;
  for (int attempt = 1; code == 0; ++attempt) {
    code = FFs.CopyFileAt(in, dir, name, progress, &FCancelFlag, e.Size >= kLargeFile, verify, beforeVisible, &aclSet);
    if (code == 0 || !FOpt.RetryLocked || IsCancelled() || !IsFileInUseCode(code) || attempt == 3) break;
    Log(FormatText("RETRY        %s (locked, attempt %d/3)", rel.c_str(), attempt + 1));
    if (last > 0) {
      FBytesCopied.fetch_sub(last);
      last = 0;
    }
    RetryWait();
    code = 0;
  }
  if (code == 0) {
    FFilesCopied.fetch_add(1);
    if (e.Size > last) FBytesCopied.fetch_add(e.Size - last);
    LogOp(loCopy, FormatText("COPY         %s (%s)", rel.c_str(), FormatSize(e.Size).c_str()));
    if (aclRead != 0)
      LogError("Read permissions failed \"%s\": %s", SrcPath(rel).c_str(), SystemMessage(aclRead).c_str());
    else if (aclSet != 0)
      LogError("Set permissions failed \"%s\": %s", DstPath(rel).c_str(), SystemMessage(aclSet).c_str());
    if (verify) VerifyCopy(rel, dir, name);
  } else {
    if (last > 0) FBytesCopied.fetch_sub(last);
    if (code != kCopyAborted) LogError("Copy failed \"%s\": %s", rel.c_str(), SystemMessage(code).c_str());
  }
  FDoneOps.fetch_add(1);
}

} // namespace twf
