// Change detection: what to copy, delete, create and remove.
#include <cstring>
#include <memory>
#include <stdexcept>

#include "engine/mirror_engine.h"
#include "platform/fs.h"

namespace twf {

namespace {
constexpr int64_t kTimeTolerance = 20000000; // 2 s in 100 ns units

bool IsAtOrBelow(std::string_view rel, std::string_view folder) {
  return rel.size() >= folder.size() && rel.substr(0, folder.size()) == folder &&
         (rel.size() == folder.size() || rel[folder.size()] == '/');
}
} // namespace

// Below a source folder that could not be listed, the destination keeps
// everything: an unreadable source says nothing about what should go.
bool TMirrorEngine::IsProtected(std::string_view rel) const {
  for (const std::string& u : FUnlistedSrcDirs)
    if (rel.size() > u.size() && IsAtOrBelow(rel, u)) return true;
  return false;
}

// A destination folder that is a link or mount point is never written
// through: what lies behind it is not part of the destination tree.
bool TMirrorEngine::IsBelowDestLink(std::string_view rel) const {
  for (const std::string& l : FDstLinkDirs)
    if (IsAtOrBelow(rel, l)) return true;
  return false;
}

// A destination folder that could not be listed (or is kept out of the
// mirror) may hold anything: the archive and skip-newer rules cannot judge
// what a copy into it would overwrite. Its "Cannot list" error is its report.
bool TMirrorEngine::IsInHeldDest(std::string_view rel) const {
  for (const std::string& h : FHeldDstDirs)
    if (IsAtOrBelow(rel, h)) return true;
  return false;
}

// A folder holding one of those cannot be emptied, so it is not removed.
bool TMirrorEngine::HoldsHeldDest(std::string_view rel) const {
  for (const std::string& h : FHeldDstDirs)
    if (IsAtOrBelow(h, rel)) return true;
  return false;
}

void TMirrorEngine::CompareFiles(TPlan& plan) {
  const bool logKeep = HasLogOp(FOpt.LogOps, loCopy);
  for (uint32_t i = 0; i < FSrcFiles.Count(); ++i) {
    const TFileEntry& s = FSrcFiles.At(i);
    if (!FDstLinkDirs.empty() && IsBelowDestLink(s.OrigRel)) {
      // The file's own name is taken by the link: never written through,
      // and never passed over in silence.
      for (const std::string& l : FDstLinkDirs)
        if (l == s.OrigRel)
          LogError("Cannot copy \"%s\": the destination item is a symbolic link to a folder or a mount point",
                   l.c_str());
      continue;
    }
    if (!FHeldDstDirs.empty() && IsInHeldDest(s.OrigRel)) continue;
    const TFileEntry* d = FDstFiles.Find(FoldKey(s.OrigRel));
    if (!d) {
      plan.ToCopy.push_back(i);
      continue;
    }
    if (FOpt.SkipNewer && s.WriteTime + kTimeTolerance < d->WriteTime) {
      FSkipped.fetch_add(1);
      if (logKeep) Log("KEEP         newer in destination: " + std::string(s.OrigRel));
      continue;
    }
    if (s.Size != d->Size) {
      plan.ToCopy.push_back(i);
      continue;
    }
    switch (FOpt.CompareMode) {
      case cmSizeOnly:
        FSkipped.fetch_add(1);
        break;
      case cmBinary:
        if (s.Size == 0) FSkipped.fetch_add(1);
        else plan.CrcCheck.push_back(i);
        break;
      default: {
        int64_t diff = s.WriteTime - d->WriteTime;
        if (diff < 0) diff = -diff;
        if (diff <= kTimeTolerance) FSkipped.fetch_add(1);
        else plan.ToCopy.push_back(i);
      }
    }
  }
  for (uint32_t j = 0; j < FDstFiles.Count(); ++j) {
    const std::string_view rel = FDstFiles.At(j).OrigRel;
    if (FSrcFiles.Contains(FoldKey(rel))) continue;
    if (!FUnlistedSrcDirs.empty() && IsProtected(rel)) continue;
    // A dangling link or FIFO that the source has too is no extra item.
    if (FDstFiles.At(j).Size == kNotAFile && FSrcOddities.count(std::string(rel))) continue;
    plan.ToDelete.push_back(j);
  }
}

void TMirrorEngine::CompareFolders(TPlan& plan) {
  for (uint32_t i = 0; i < FSrcDirs.Count(); ++i) {
    const std::string_view rel = FSrcDirs.At(i).OrigRel;
    if (FDstDirs.Contains(FoldKey(rel))) continue;
    if (!FDstLinkDirs.empty() && IsBelowDestLink(rel)) continue;
    if (!FHeldDstDirs.empty() && IsInHeldDest(rel)) continue;
    plan.MkDirs.emplace_back(rel);
  }
  for (uint32_t i = 0; i < FDstDirs.Count(); ++i) {
    const std::string_view rel = FDstDirs.At(i).OrigRel;
    if (FSrcDirs.Contains(FoldKey(rel))) continue;
    if (!FUnlistedSrcDirs.empty() && IsProtected(rel)) continue;
    if (!FHeldDstDirs.empty() && (IsInHeldDest(rel) || HoldsHeldDest(rel))) continue;
    plan.RmDirs.emplace_back(rel);
  }
  // One error per destination link that the source wants to fill: the
  // mirror is incomplete there and the user should know.
  for (const std::string& l : FDstLinkDirs)
    if (FSrcDirs.Contains(FoldKey(l)))
      LogError("Cannot mirror into \"%s\": the destination folder is a symbolic link or mount point",
               DstPath(l).c_str());
}

void TMirrorEngine::CompareItem(TPlan& plan, int32_t index) {
  const TFileEntry& s = FSrcFiles.At(plan.CrcCheck[index]);
  const TFileEntry* d = FDstFiles.Find(FoldKey(s.OrigRel));
  const std::string rel(s.OrigRel);
  int same;
  try {
    same = SameContent(rel, std::string(d->OrigRel));
  } catch (const std::exception& e) {
    LogError("Content compare failed for \"%s\": %s - will re-copy", rel.c_str(), e.what());
    std::lock_guard<std::mutex> g(plan.ListLock);
    plan.ToCopy.push_back(plan.CrcCheck[index]);
    return;
  }
  if (same == kSettled) return;
  if (same == kSame) {
    FSkipped.fetch_add(1);
    return;
  }
  if (IsCancelled()) return;
  {
    std::lock_guard<std::mutex> g(plan.ListLock);
    plan.ToCopy.push_back(plan.CrcCheck[index]);
  }
  LogOp(loCopy, "DIFF         " + rel + " (content)");
}

namespace {
struct TFdCloser {
  IFileSystem& Fs;
  int Fd = -1;
  ~TFdCloser() {
    if (Fd >= 0) Fs.Close(Fd);
  }
};

int64_t ReadFull(IFileSystem& fs, int fd, char* buf, int64_t size) {
  int64_t got = 0;
  while (got < size) {
    int64_t n = fs.Read(fd, buf + got, size - got);
    if (n < 0) throw std::runtime_error(SystemMessage(int(-n)));
    if (n == 0) break;
    got += n;
  }
  return got;
}
} // namespace

// Both sides are opened as the copy would open them: the source through
// the link rule, the destination through its checked folder, never by a
// path a user could have redirected since the scan.
int TMirrorEngine::SameContent(const std::string& rel, const std::string& dstRel) {
  constexpr int64_t kBuf = 8 * 1024 * 1024;
  TFdCloser fa{FFs}, fb{FFs};
  TFileInfo info;
  int err = OpenSourceFile(rel, fa.Fd, info);
  if (err == kLinkRefused) return kSettled; // reported; nothing is copied for it
  if (err != 0) throw std::runtime_error("Cannot open file \"" + SrcPath(rel) + "\". " + SystemMessage(err));
  std::string name;
  int dir = -1;
  err = OpenDestParent(dstRel, name, dir);
  if (err == kFolderChanged) return kSettled; // reported; nothing below it is touched
  if (err == 0) {
    err = FFs.OpenReadAt(dir, name, false, fb.Fd);
    CloseFd(dir);
  }
  if (err != 0) throw std::runtime_error("Cannot open file \"" + DstPath(dstRel) + "\". " + SystemMessage(err));
  // Small files need no 8 MiB buffers; the size is only a hint, so the
  // buffers still loop until both ends are reached.
  int64_t bufSize = kBuf;
  if (info.Size + 1 < kBuf) bufSize = info.Size + 1;
  std::unique_ptr<char[]> b1(new char[bufSize]), b2(new char[bufSize]);
  for (;;) {
    int64_t n1 = ReadFull(FFs, fa.Fd, b1.get(), bufSize);
    int64_t n2 = ReadFull(FFs, fb.Fd, b2.get(), bufSize);
    if (n1 != n2 || (n1 > 0 && std::memcmp(b1.get(), b2.get(), size_t(n1)) != 0)) return kDiffer;
    if (n1 == 0) return kSame;
    if (IsCancelled()) return kSame;
  }
}

} // namespace twf
