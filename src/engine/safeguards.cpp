// Copy safeguards: hash verification, the archive of displaced files, ACLs.
#include <stdexcept>

#include "engine/mirror_engine.h"
#include "engine/text.h"
#include "engine/xxh3.h"
#include "platform/fs.h"

namespace twf {

void TMirrorEngine::VerifyCopy(const std::string& rel, int dstDir, const std::string& name) {
  std::string srcHash, dstHash;
  int fd = -1;
  try {
    TFileInfo info;
    int err = OpenSourceFile(rel, fd, info);
    if (err == kLinkRefused) return;
    if (err != 0) throw std::runtime_error("Cannot create file \"" + SrcPath(rel) + "\". " + SystemMessage(err));
    srcHash = HashOpened(FFs, fd, FOpt.VerifyHash, FCancelFlag);
    FFs.Close(fd);
    // The copy was flushed to the device; its cached pages are dropped
    // before reading so a device that lost the write is caught.
    fd = -1;
    err = FFs.OpenReadAt(dstDir, name, true, fd);
    if (err != 0) throw std::runtime_error("Cannot create file \"" + DstPath(rel) + "\". " + SystemMessage(err));
    dstHash = HashOpened(FFs, fd, FOpt.VerifyHash, FCancelFlag);
    FFs.Close(fd);
    fd = -1;
  } catch (const std::exception& e) {
    if (fd >= 0) FFs.Close(fd);
    LogError("Verify read failed \"%s\": %s", rel.c_str(), e.what());
    return;
  }
  if (srcHash.empty() || dstHash.empty() || IsCancelled()) return;
  if (srcHash != dstHash) {
    FFs.DeleteFileAt(dstDir, name);
    LogError("VERIFY FAILED \"%s\": source=%s destination=%s - the corrupted copy was deleted and will be re-copied "
             "on the next run",
             rel.c_str(), srcHash.c_str(), dstHash.c_str());
    return;
  }
  FVerified.fetch_add(1);
  LogOp(loCopy, "VERIFY       " + rel + " [" + dstHash + "]");
}

// The run's archive folder is made on first use, exclusively: a name that
// is taken (another run in the same second, or something planted there)
// gets a suffix. Made 0700 and used only through its descriptor, nothing
// below it can be touched by anyone else.
int TMirrorEngine::ArchiveRunDir(int& fd) {
  std::string moved;
  int err;
  {
    std::lock_guard<std::mutex> g(FArchiveLock);
    if (!FArchiveTried) {
      FArchiveTried = true;
      int root = -1;
      TFileInfo info;
      FFs.CreateDirPath(FOpt.ArchiveDir);
      FArchiveRunErr = FFs.OpenDir(ResolvePathForCompare(FOpt.ArchiveDir), root, info);
      for (int n = 1; root >= 0; ++n) {
        const std::string name = n == 1 ? FArchiveStamp : FArchiveStamp + "_" + std::to_string(n);
        FArchiveRunErr = FFs.CreateDirAt(root, name, FArchiveRunFd, info);
        if (FArchiveRunErr != EEXIST || n == 999) {
          if (FArchiveRunErr == 0 && n > 1) {
            FArchiveRun = JoinPath(FArchiveRun.substr(0, FArchiveRun.size() - FArchiveStamp.size() - 1), name);
            moved = FArchiveRun;
          }
          break;
        }
      }
      if (root >= 0) FFs.Close(root);
    }
    fd = FArchiveRunFd;
    err = FArchiveRunErr;
  }
  if (!moved.empty()) Log("Archive:     the folder name was taken, displaced files go to " + moved);
  return err;
}

// Creates and opens relDir below the run's archive folder.
int TMirrorEngine::OpenArchiveFolder(const std::string& relDir, int& fd) {
  fd = -1;
  int run = -1;
  if (int err = ArchiveRunDir(run)) return err;
  TFileInfo info;
  for (size_t end = 0; end != std::string::npos;) {
    end = relDir.find('/', end + 1);
    const std::string prefix = relDir.substr(0, end);
    const size_t slash = prefix.rfind('/');
    int parent = -1;
    int err = slash == std::string::npos ? 0 : FFs.OpenDirAt(run, prefix.substr(0, slash), parent, info);
    int made = -1;
    // Two workers may create the same folder at once; an existing one is fine.
    if (err == 0) err = FFs.CreateDirAt(parent >= 0 ? parent : run, prefix.substr(slash + 1), made, info);
    CloseFd(made);
    CloseFd(parent);
    if (err != 0 && err != EEXIST) return err;
  }
  return FFs.OpenDirAt(run, relDir, fd, info);
}

bool TMirrorEngine::ArchiveFile(int dir, const std::string& name, const std::string& rel, TArchiveKind kind) {
  const std::string target = std::string(kind == TArchiveKind::Deleted ? "deleted/" : "changed/") + rel;
  std::string parentRel, targetName;
  SplitRel(target, parentRel, targetName);
  int parent = -1;
  int code = OpenArchiveFolder(parentRel, parent);
  if (code == 0) code = FFs.MoveFileAt(dir, name, parent, targetName);
  CloseFd(parent);
  if (code == 0) {
    FArchived.fetch_add(1);
    return true;
  }
  LogError("Archive failed \"%s\": %s", rel.c_str(), SystemMessage(code).c_str());
  return false;
}

void TMirrorEngine::ArchiveDeleteItem(const TPlan& plan, int32_t index) {
  const std::string rel(FDstFiles.At(plan.ToDelete[index]).OrigRel);
  std::string name;
  int dir = -1;
  const int code = OpenDestParent(rel, name, dir);
  if (code == 0) {
    if (ArchiveFile(dir, name, rel, TArchiveKind::Deleted)) {
      FFilesDeleted.fetch_add(1);
      LogOp(loDelete, "DELETE       " + rel + " (archived)");
    }
  } else if (code != kFolderChanged) {
    LogError("Archive failed \"%s\": %s", rel.c_str(), SystemMessage(code).c_str());
  }
  CloseFd(dir);
  FDoneOps.fetch_add(1);
}

} // namespace twf
