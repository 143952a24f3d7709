// Engine object, counters, logging helpers, the worker pool and the run pipeline.
#include <algorithm>
#include <cstdarg>
#include <ctime>
#include <stdexcept>
#include <thread>

#include "engine/mirror_engine.h"
#include "engine/scan_result.h"
#include "engine/text.h"
#include "engine/wildcard.h"
#include "log/logger.h"
#include "platform/fs.h"

namespace twf {

namespace {

const char* const kCompareModeText[] = {"size + last-modified date", "size only",
                                        "exact content (byte-by-byte)"};

std::string WithoutTrailingSlash(std::string p) {
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

std::string LocalStamp() {
  time_t now = time(nullptr);
  tm t;
  localtime_r(&now, &t);
  char buf[32];
  strftime(buf, sizeof buf, "%Y-%m-%d_%H-%M-%S", &t);
  return buf;
}

} // namespace

TMirrorEngine::TMirrorEngine(const TMirrorOptions& AOpt, TMirrorLogger* ALog, IFileSystem* fs)
    : FOpt(AOpt), FLog(ALog), FFs(fs ? *fs : RealFileSystem()), FPhase("Preparing"),
      FSrcFiles(16384), FDstFiles(16384), FSrcDirs(1024), FDstDirs(1024) {
  FOpt.SourceDir = WithoutTrailingSlash(FOpt.SourceDir);
  FOpt.DestDir = WithoutTrailingSlash(FOpt.DestDir);
}

TMirrorEngine::~TMirrorEngine() {
  for (int fd : {FSrcRoot, FDstRoot, FArchiveRunFd})
    if (fd >= 0) FFs.Close(fd);
}

void TMirrorEngine::Cancel() {
  FCancel.exchange(1);
  FCancelFlag.store(true);
}

TMirrorStats TMirrorEngine::Stats() const {
  TMirrorStats s;
  {
    std::lock_guard<std::mutex> g(FLock);
    s.Phase = FPhase;
  }
  s.ScannedSrc = FScannedSrc.load();
  s.ScannedDst = FScannedDst.load();
  s.FilesCopied = FFilesCopied.load();
  s.FilesDeleted = FFilesDeleted.load();
  s.DirsCreated = FDirsCreated.load();
  s.DirsDeleted = FDirsDeleted.load();
  s.Skipped = FSkipped.load();
  s.Errors = FErrors.load();
  s.BytesCopied = FBytesCopied.load();
  s.TotalBytes = FTotalBytesPlan.load();
  s.Verified = FVerified.load();
  s.Archived = FArchived.load();
  s.TotalOps = FTotalOps.load();
  s.DoneOps = FDoneOps.load();
  s.Leftovers = FLeftovers.load();
  return s;
}

void TMirrorEngine::SetPhase(const char* text) {
  std::lock_guard<std::mutex> g(FLock);
  FPhase = text;
}

void TMirrorEngine::Log(const std::string& msg) {
  if (FLog) FLog->Log(msg);
}

void TMirrorEngine::LogOp(TLogOp op, const std::string& msg) {
  if (HasLogOp(FOpt.LogOps, op)) Log(msg);
}

void TMirrorEngine::LogError(const char* fmt, ...) {
  FErrors.fetch_add(1);
  if (!HasLogOp(FOpt.LogOps, loError)) return;
  va_list args;
  va_start(args, fmt);
  std::string text = FormatTextV(fmt, args);
  va_end(args);
  Log("ERROR        " + StripTrailingDot(text));
}

void TMirrorEngine::ParallelForEach(int32_t count, int32_t workers, const std::function<void(int32_t)>& body) {
  if (count <= 0) return;
  int32_t n = std::max(1, std::min(workers, count));
  auto runOne = [&](int32_t i) {
    try {
      body(i);
    } catch (const std::exception& e) {
      try { LogError("Unexpected: %s", e.what()); } catch (...) {}
    } catch (...) {
      try { LogError("Unexpected: %s", "unknown failure"); } catch (...) {}
    }
  };
  if (n == 1) {
    for (int32_t i = 0; i < count; ++i) {
      if (FCancel.load() != 0) break;
      runOne(i);
    }
    return;
  }
  std::atomic<int32_t> idx{-1};
  auto worker = [&] {
    while (FCancel.load() == 0) {
      int32_t i = idx.fetch_add(1) + 1;
      if (i >= count) break;
      runOne(i);
    }
  };
  std::vector<std::thread> threads;
  threads.reserve(n);
  for (int32_t t = 0; t < n; ++t) threads.emplace_back(worker);
  for (auto& t : threads) t.join();
}

void TMirrorEngine::Run() {
  const int64_t t0 = MonotonicMs();
  auto elapsedMs = [t0] { return MonotonicMs() - t0; };

  Log("=== Quarlex Twinfold started ===");
  if (!FOpt.AppVersion.empty()) Log("App Version: " + FOpt.AppVersion);
  if (!FOpt.ComputerDesc.empty()) Log("Computer:    " + FOpt.ComputerDesc);
  if (!FOpt.UserName.empty()) Log("User:        " + FOpt.UserName);
  Log("Task Name:   " + (FOpt.TaskName.empty() ? std::string("Untitled") : FOpt.TaskName));
  if (!FOpt.StartedBy.empty()) Log("Started by:  " + FOpt.StartedBy);
  Log("Source:      " + FOpt.SourceDir);
  Log("Destination: " + FOpt.DestDir);
  {
    std::string label, serial;
    if (GetVolumeLabelSerial(FFs, FOpt.DestDir, label, serial)) Log("Volume:      " + VolumeText(label, serial));
  }
  int cm = (FOpt.CompareMode >= cmSizeDate && FOpt.CompareMode <= cmBinary) ? FOpt.CompareMode : cmSizeDate;
  Log(std::string("Compare by:  ") + kCompareModeText[cm]);
  Log(FormatText("Workers:     %d", FOpt.Workers));
  Log(FOpt.DryRun ? "Action:      Dry run, nothing will actually be changed" : "Action:      Mirror");

  // Pre-flight refusals.
  if (!FFs.IsDirectory(FOpt.SourceDir)) {
    LogError("Source folder does not exist: %s", FOpt.SourceDir.c_str());
    return;
  }
  {
    TFileInfo info;
    if (FFs.Stat(FOpt.DestDir, info) == 0 && !info.IsDir) {
      LogError("Destination is not a folder: %s", FOpt.DestDir.c_str());
      return;
    }
  }
  {
    // Compare the paths as given and with links resolved, so a link cannot
    // put the destination inside the source unnoticed.
    const std::string rs = ResolvePathForCompare(FOpt.SourceDir), rd = ResolvePathForCompare(FOpt.DestDir);
    if (FoldKey(FOpt.SourceDir) == FoldKey(FOpt.DestDir) || IsPathInside(FOpt.SourceDir, FOpt.DestDir) ||
        IsPathInside(FOpt.DestDir, FOpt.SourceDir) || IsPathInside(rs, rd) || IsPathInside(rd, rs)) {
      LogError("Source and destination overlap - refusing to run");
      return;
    }
    // Both roots are held open for the whole run: links in the configured
    // paths count as they stand now, and a root swapped for a link later
    // changes nothing.
    TFileInfo info;
    int err = FFs.OpenDir(rs, FSrcRoot, info);
    if (err != 0) {
      LogError("Source folder does not exist: %s", FOpt.SourceDir.c_str());
      return;
    }
    FDstRootErr = FFs.OpenDir(rd, FDstRoot, info);
  }
  FRunStart = FileSystemNow();
  FAsRoot = RunsAsRoot();

  BuildPatterns();
  FMaxBytes = FOpt.ExcludeLargerMB >= 1 ? int64_t(FOpt.ExcludeLargerMB) * 1048576 : 0;

  if (!FPatterns.empty()) Log(FormatText("Exclude:     %d wildcard pattern(s)", int(FPatterns.size())));
  if (FOpt.ExcludeEmpty) Log("Exclude:     empty (0-byte) files");
  if (FOpt.ExcludeHiddenSysFiles) Log("Exclude:     files with hidden or system attribute");
  if (FOpt.ExcludeHiddenDirs) Log("Exclude:     folders with hidden attribute");
  if (FMaxBytes > 0) Log("Exclude:     files larger than " + FormatSize(FMaxBytes));
  if (FOpt.PreserveAcl) Log("Preserve:    NTFS permissions (ACLs) of copied items");
  if (FOpt.SkipNewer) Log("Keep:        destination files with a newer timestamp");
  if (FOpt.RecycleDeletes) Log("Delete:      to the Recycle Bin (undo possible)");
  if (FOpt.VerifyHash == vhXXH3_64) Log("Verify:      each copied file re-read (xxHash3-64)");
  else if (FOpt.VerifyHash == vhXXH3_128) Log("Verify:      each copied file re-read (xxHash3-128)");
  if (FOpt.ArchiveEnabled) {
    FArchiveRun = FOpt.ArchiveDir;
    if (FArchiveRun.empty() || FArchiveRun.back() != '/') FArchiveRun += '/';
    FArchiveStamp = LocalStamp();
    FArchiveRun += FArchiveStamp;
    Log("Archive:     displaced files go to " + FArchiveRun);
  }

  FindKeptOut();

  // Scan both trees at once.
  SetPhase("Scanning");
  const int32_t scanWorkers = std::max(1, FOpt.Workers / 2);
  TScanResult srcResult, dstResult;
  {
    std::exception_ptr srcErr, dstErr;
    std::thread srcScan([&] {
      try { ScanTree(FOpt.SourceDir, FSrcRoot, 0, FSrcFiles, FSrcDirs, scanWorkers, FScannedSrc, srcResult, true); }
      catch (...) { srcErr = std::current_exception(); }
    });
    try { ScanTree(FOpt.DestDir, FDstRoot, FDstRootErr, FDstFiles, FDstDirs, scanWorkers, FScannedDst, dstResult, false); }
    catch (...) { dstErr = std::current_exception(); }
    srcScan.join();
    if (srcErr) std::rethrow_exception(srcErr);
    if (dstErr) std::rethrow_exception(dstErr);
  }
  if (IsCancelled()) {
    Log("CANCELLED    during scan");
    SetPhase("Cancelled");
    return;
  }
  Log(FormatText("Scan done:   source %d file(s) / %d folder(s), destination %d file(s) / %d folder(s)  [%.1f s]",
                 int(FSrcFiles.Count()), int(FSrcDirs.Count()), int(FDstFiles.Count()), int(FDstDirs.Count()),
                 elapsedMs() / 1000.0));
  // A source root that cannot be listed tells nothing about what the
  // destination should hold: the run stops before anything is planned.
  if (srcResult.RootFailed) return;
  // Nor can a run that cannot see the destination know what it would
  // overwrite or delete there.
  if (dstResult.RootFailed) return;
  FUnlistedSrcDirs = std::move(srcResult.Unlisted);
  FSrcOddities.insert(srcResult.Oddities.begin(), srcResult.Oddities.end());
  FDstLinkDirs = std::move(dstResult.LinkDirs);
  FHeldDstDirs = std::move(dstResult.Unlisted);
  FHeldDstDirs.insert(FHeldDstDirs.end(), dstResult.KeptOut.begin(), dstResult.KeptOut.end());
  FSrcFileLinks.insert(srcResult.FileLinks.begin(), srcResult.FileLinks.end());
  // A destination file with a copy's temporary name is the mirror of a
  // source file of that name, or a copy under way or interrupted: the
  // first takes part in the plan like any file, the others are cleared up
  // once the run goes ahead.
  // Below a source folder that could not be listed, nobody knows whether
  // the source has such a file: it is left alone like everything there.
  for (TScanResult::TFound& t : dstResult.TempFiles) {
    if (FSrcFiles.Contains(FoldKey(t.Rel))) FDstFiles.Set(TFileEntry{t.Rel, t.Size, t.WriteTime});
    else if (!IsProtected(t.Rel)) FLeftoverFiles.push_back(std::move(t.Rel));
  }

  if (FSrcFiles.Empty()) {
    if (!FDstFiles.Empty())
      LogError("The source contains no files but the destination has %d - refusing to mirror, as this would wipe "
               "the destination (if this is really intended, empty the destination manually)",
               int(FDstFiles.Count()));
    else
      LogError("The source contains no files, nothing to mirror");
    return;
  }

  SetPhase("Comparing");
  TPlan plan;
  CompareFiles(plan);
  CompareFolders(plan);
  if (!plan.CrcCheck.empty() && !IsCancelled()) {
    SetPhase("Verifying content");
    Log(FormatText("Compare:     %d same-size file pair(s) byte-by-byte...", int(plan.CrcCheck.size())));
    ParallelForEach(int32_t(plan.CrcCheck.size()), FOpt.Workers, [&](int32_t i) { CompareItem(plan, i); });
  }
  if (IsCancelled()) {
    Log("CANCELLED    during compare");
    SetPhase("Cancelled");
    return;
  }

  auto depth = [](const std::string& s) { return std::count(s.begin(), s.end(), '/'); };
  auto lessFolded = [](const std::string& a, const std::string& b) {
    auto up = [](unsigned char c) { return (c >= 'a' && c <= 'z') ? c - 32 : c; };
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [&](char x, char y) { return up(x) < up(y); });
  };
  std::sort(plan.MkDirs.begin(), plan.MkDirs.end(), [&](const std::string& a, const std::string& b) {
    auto da = depth(a), db = depth(b);
    return da != db ? da < db : lessFolded(a, b);
  });
  std::sort(plan.RmDirs.begin(), plan.RmDirs.end(), [&](const std::string& a, const std::string& b) {
    auto da = depth(a), db = depth(b);
    return da != db ? da > db : lessFolded(a, b);
  });
  FTotalOps = int32_t(plan.ToCopy.size() + plan.ToDelete.size() + plan.MkDirs.size() + plan.RmDirs.size());
  Log(FormatText("Plan:        copy %d, delete %d, create %d folder(s), remove %d folder(s), %d identical file(s) "
                 "skipped",
                 int(plan.ToCopy.size()), int(plan.ToDelete.size()), int(plan.MkDirs.size()),
                 int(plan.RmDirs.size()), FSkipped.load()));
  int64_t copyBytes = 0, overwriteBytes = 0, deleteBytes = 0;
  for (uint32_t i : plan.ToCopy) {
    const TFileEntry& e = FSrcFiles.At(i);
    copyBytes += e.Size;
    if (const TFileEntry* d = FDstFiles.Find(FoldKey(e.OrigRel))) overwriteBytes += std::max<int64_t>(0, d->Size);
  }
  for (uint32_t i : plan.ToDelete) deleteBytes += std::max<int64_t>(0, FDstFiles.At(i).Size);
  FTotalBytesPlan = copyBytes;

  if (!MassDeleteGuard(plan)) return;
  if (!FreeSpaceCheck(copyBytes, overwriteBytes, deleteBytes)) return;

  if (!FOpt.DryRun && !IsCancelled()) RemoveLeftovers();
  if (FTotalOps.load() > 0) {
    Log("--- Syncing operations ---");
    if (!FOpt.DryRun && FDstRoot < 0) {
      FFs.CreateDirPath(FOpt.DestDir);
      TFileInfo info;
      FDstRootErr = FFs.OpenDir(ResolvePathForCompare(FOpt.DestDir), FDstRoot, info);
    }
    if (!plan.ToDelete.empty() && !IsCancelled()) {
      SetPhase("Deleting files");
      const int32_t n = int32_t(plan.ToDelete.size());
      if (FOpt.ArchiveEnabled && !FOpt.DryRun)
        ParallelForEach(n, FOpt.Workers, [&](int32_t i) { ArchiveDeleteItem(plan, i); });
      else if (FOpt.RecycleDeletes && !FOpt.DryRun)
        RecycleFiles(plan);
      else
        ParallelForEach(n, FOpt.Workers, [&](int32_t i) { DeleteItem(plan, i); });
    }
    if (!plan.RmDirs.empty() && !IsCancelled()) {
      SetPhase("Removing folders");
      RemoveFolders(plan);
    }
    if (!plan.MkDirs.empty() && !IsCancelled()) {
      SetPhase("Creating folders");
      CreateFolders(plan);
    }
    if (!plan.ToCopy.empty() && !IsCancelled()) {
      SetPhase("Copying files");
      ParallelForEach(int32_t(plan.ToCopy.size()), FOpt.Workers, [&](int32_t i) { CopyItem(plan, i); });
    }
    FinishDeferredModes();
  }

  if (IsCancelled()) {
    Log("CANCELLED    the mirror is INCOMPLETE");
    SetPhase("Cancelled");
  } else {
    SetPhase("Done");
  }

  Log("--- Summary ---");
  const int64_t bytes = FBytesCopied.load();
  Log(FormatText("Copied:      %d file(s), %s", FFilesCopied.load(), FormatSize(bytes).c_str()));
  Log(FormatText("Deleted:     %d file(s)", FFilesDeleted.load()));
  Log(FormatText("Folders:     %d created, %d removed", FDirsCreated.load(), FDirsDeleted.load()));
  Log(FormatText("Skipped:     %d identical file(s)", FSkipped.load()));
  if (FOpt.VerifyHash != vhNone) Log(FormatText("Verified:    %d file(s)", FVerified.load()));
  if (FOpt.ArchiveEnabled) Log(FormatText("Archived:    %d file(s)", FArchived.load()));
  if (FLeftovers.load() > 0)
    Log(FormatText("Leftovers:   %d partial copy(ies) of an interrupted run removed", FLeftovers.load()));
  Log(FormatText("Errors:      %d", FErrors.load()));
  const int64_t ms = elapsedMs();
  Log("Elapsed:     " + FormatElapsed(ms));
  if (bytes > 0 && ms > 0)
    Log("Speed:       " + FormatSize(RoundHalfEven(double(bytes) * 1000.0 / double(ms))) + "/s average");
  Log("=== Quarlex Twinfold finished ===");
}

bool TMirrorEngine::MassDeleteGuard(const TPlan& plan) {
  int32_t pct = FOpt.WarnMassDeletePct;
  if (pct < 1 || pct > 100) pct = 25;
  const int64_t del = int64_t(plan.ToDelete.size()), dst = int64_t(FDstFiles.Count());
  if (FOpt.DryRun || !FOpt.WarnMassDelete || dst == 0 || del * 100 < int64_t(pct) * dst) return true;
  const int p = int(RoundHalfEven(double(del) * 100.0 / double(dst)));
  if (FOnConfirm) {
    if (!FOnConfirm(FormatText("%d%% of files in destination will be deleted.\r\n\r\nContinue?", p))) {
      Log("Aborted:     mass-delete warning declined by user");
      SetPhase("Aborted");
      return false;
    }
    Log(FormatText("Warning:     %d of %d destination files (%d%%) will be deleted (threshold: %d%%) [confirmed by "
                   "user]",
                   int(del), int(dst), p, pct));
    return true;
  }
  LogError("Refusing to run: %d of %d destination files (%d%%) would be deleted (threshold: %d%%) and no "
           "interactive confirmation is possible",
           int(del), int(dst), p, pct);
  return false;
}

bool TMirrorEngine::FreeSpaceCheck(int64_t copyBytes, int64_t overwriteBytes, int64_t deleteBytes) {
  if (FOpt.DryRun || copyBytes <= 0) return true;
  const int64_t free = FFs.FreeSpace(FOpt.DestDir);
  if (free == -1) return true;
  const int64_t after = free + deleteBytes + overwriteBytes;
  if (after >= copyBytes) return true;
  LogError("Not enough free space on the destination: about %s more is needed (%s to copy, %s available after "
           "deletions)",
           FormatSize(copyBytes - after).c_str(), FormatSize(copyBytes).c_str(), FormatSize(after).c_str());
  return false;
}

} // namespace twf
