// Copy safeguards: hash verification, the archive of displaced files, ACLs.
#include <stdexcept>

#include "engine/mirror_engine.h"
#include "engine/xxh3.h"
#include "platform/fs.h"

namespace twf {

void TMirrorEngine::VerifyCopy(const std::string& src, const std::string& dst, const std::string& rel) {
  std::string srcHash, dstHash;
  try {
    srcHash = HashFile(FFs, src, FOpt.VerifyHash, FCancelFlag, false);
    // The copy was flushed to the device; its cached pages are dropped
    // before reading so a device that lost the write is caught.
    dstHash = HashFile(FFs, dst, FOpt.VerifyHash, FCancelFlag, true);
  } catch (const std::exception& e) {
    LogError("Verify read failed \"%s\": %s", rel.c_str(), e.what());
    return;
  }
  if (srcHash.empty() || dstHash.empty() || IsCancelled()) return;
  if (srcHash != dstHash) {
    FFs.DeleteFile(dst);
    LogError("VERIFY FAILED \"%s\": source=%s destination=%s - the corrupted copy was deleted and will be re-copied "
             "on the next run",
             rel.c_str(), srcHash.c_str(), dstHash.c_str());
    return;
  }
  FVerified.fetch_add(1);
  LogOp(loCopy, "VERIFY       " + rel + " [" + dstHash + "]");
}

bool TMirrorEngine::ArchiveFile(const std::string& fullPath, const std::string& rel, TArchiveKind kind) {
  const std::string target = FArchiveRun + (kind == TArchiveKind::Deleted ? "/deleted/" : "/changed/") + rel;
  const std::string parent = target.substr(0, target.rfind('/'));
  // Two workers may create the same folder at once; an existing one is fine.
  int code = FFs.CreateDirPath(parent);
  if (code == 0) code = FFs.MoveFile(fullPath, target);
  if (code == 0) {
    FArchived.fetch_add(1);
    return true;
  }
  LogError("Archive failed \"%s\": %s", rel.c_str(), SystemMessage(code).c_str());
  return false;
}

void TMirrorEngine::ArchiveDeleteItem(const TPlan& plan, int32_t index) {
  const std::string rel(FDstFiles.At(plan.ToDelete[index]).OrigRel);
  if (ArchiveFile(DstPath(rel), rel, TArchiveKind::Deleted)) {
    FFilesDeleted.fetch_add(1);
    LogOp(loDelete, "DELETE       " + rel + " (archived)");
  }
  FDoneOps.fetch_add(1);
}

void TMirrorEngine::CopyAcl(const std::string& src, const std::string& dst) {
  std::string acl;
  int code = FFs.GetAcl(src, acl);
  if (code != 0) {
    LogError("Read permissions failed \"%s\": %s", src.c_str(), SystemMessage(code).c_str());
    return;
  }
  code = FFs.SetAcl(dst, acl);
  if (code != 0) LogError("Set permissions failed \"%s\": %s", dst.c_str(), SystemMessage(code).c_str());
}

} // namespace twf
