// Applying the plan: deletes, folder removal, folder creation, copies.
#include <thread>

#include "engine/mirror_engine.h"
#include "engine/text.h"
#include "log/logger.h"
#include "platform/fs.h"

namespace twf {

namespace {
constexpr int64_t kLargeFile = 268435456; // 256 MiB: kept out of the page cache
}

void TMirrorEngine::RetryWait() {
  for (int i = 0; i < 20; ++i) {
    if (IsCancelled()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
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
    const std::string full = DstPath(rel);
    int code = 0;
    for (int attempt = 1;; ++attempt) {
      code = FFs.DeleteFile(full);
      if (code == 0 || !FOpt.RetryLocked || IsCancelled() || !IsFileInUseCode(code) || attempt == 3) break;
      Log(FormatText("RETRY        %s (locked, attempt %d/3)", rel.c_str(), attempt + 1));
      RetryWait();
    }
    if (code == 0) {
      FFilesDeleted.fetch_add(1);
      LogOp(loDelete, "DELETE       " + rel);
    } else {
      LogError("Delete failed \"%s\": %s", rel.c_str(), SystemMessage(code).c_str());
    }
  }
  FDoneOps.fetch_add(1);
}

// The Trash reports per file, so each file is counted as what happened to it.
void TMirrorEngine::RecycleFiles(const TPlan& plan) {
  std::vector<std::string> paths;
  paths.reserve(plan.ToDelete.size());
  for (uint32_t j : plan.ToDelete) {
    if (IsCancelled()) return;
    paths.push_back(DstPath(FDstFiles.At(j).OrigRel));
  }
  std::vector<int> results;
  const int code = FFs.TrashFiles(paths, results);
  if (code != 0 || results.size() != paths.size()) {
    LogError("Recycle Bin deletion failed (code %d) - some of the %d file(s) may remain in the destination",
             code != 0 ? code : -1, int(paths.size()));
    FDoneOps.fetch_add(int32_t(paths.size()));
    return;
  }
  for (size_t k = 0; k < paths.size(); ++k) {
    const std::string rel(FDstFiles.At(plan.ToDelete[k]).OrigRel);
    if (results[k] == 0) {
      FFilesDeleted.fetch_add(1);
      LogOp(loDelete, "DELETE       " + rel + " (recycled)");
    } else {
      LogError("Move to the Trash failed \"%s\": %s", rel.c_str(), SystemMessage(results[k]).c_str());
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
      const int code = FFs.RemoveDir(DstPath(rel));
      if (code == 0) {
        FDirsDeleted.fetch_add(1);
        LogOp(loRmDir, "RMDIR        " + rel);
      } else {
        LogError("Remove folder failed \"%s\": %s", rel.c_str(), SystemMessage(code).c_str());
      }
    }
    FDoneOps.fetch_add(1);
  }
}

void TMirrorEngine::CreateFolders(const TPlan& plan) {
  for (const std::string& rel : plan.MkDirs) {
    if (IsCancelled()) break;
    if (FOpt.DryRun) {
      LogOp(loMkDir, "[DRY] MKDIR  " + rel);
      FDirsCreated.fetch_add(1);
    } else {
      const std::string full = DstPath(rel);
      const int code = FFs.CreateDir(full);
      if (code == 0) {
        FDirsCreated.fetch_add(1);
        LogOp(loMkDir, "MKDIR        " + rel);
        if (FOpt.PreserveAcl) CopyAcl(SrcPath(rel), full);
      } else if (code != EEXIST) {
        LogError("Create folder failed \"%s\": %s", rel.c_str(), SystemMessage(code).c_str());
      }
    }
    FDoneOps.fetch_add(1);
  }
}

void TMirrorEngine::CopyItem(const TPlan& plan, int32_t index) {
  const TFileEntry& e = FSrcFiles.At(plan.ToCopy[index]);
  const std::string rel(e.OrigRel);
  const std::string src = SrcPath(rel), dst = DstPath(rel);

  if (FOpt.ArchiveEnabled && !FOpt.DryRun) {
    if (const TFileEntry* old = FDstFiles.Find(FoldKey(rel))) {
      if (!ArchiveFile(DstPath(old->OrigRel), rel, TArchiveKind::Changed)) {
        FDoneOps.fetch_add(1);
        return;
      }
      LogOp(loCopy, "ARCHIVE      " + rel + " (old version)");
    }
  }

  if (FOpt.DryRun) {
    LogOp(loCopy, FormatText("[DRY] COPY   %s (%s)", rel.c_str(), FormatSize(e.Size).c_str()));
    FFilesCopied.fetch_add(1);
    FBytesCopied.fetch_add(e.Size);
    FDoneOps.fetch_add(1);
    return;
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
  int code = 0;
  for (int attempt = 1;; ++attempt) {
    code = FFs.CopyFile(src, dst, progress, &FCancelFlag, e.Size >= kLargeFile, verify);
    if (code == 0 || !FOpt.RetryLocked || IsCancelled() || !IsFileInUseCode(code) || attempt == 3) break;
    Log(FormatText("RETRY        %s (locked, attempt %d/3)", rel.c_str(), attempt + 1));
    if (last > 0) {
      FBytesCopied.fetch_sub(last);
      last = 0;
    }
    RetryWait();
  }
  if (code == 0) {
    FFilesCopied.fetch_add(1);
    if (e.Size > last) FBytesCopied.fetch_add(e.Size - last);
    LogOp(loCopy, FormatText("COPY         %s (%s)", rel.c_str(), FormatSize(e.Size).c_str()));
    if (FOpt.PreserveAcl) CopyAcl(src, dst);
    if (verify) VerifyCopy(src, dst, rel);
  } else {
    if (last > 0) FBytesCopied.fetch_sub(last);
    if (code != kCopyAborted) LogError("Copy failed \"%s\": %s", rel.c_str(), SystemMessage(code).c_str());
  }
  FDoneOps.fetch_add(1);
}

} // namespace twf
