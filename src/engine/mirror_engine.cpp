// The run pipeline: pre-flight, scan and plan, the plan's safety checks,
// apply, summary.
#include "engine/mirror_engine.h"

#include <ctime>

#include "engine/applier.h"
#include "engine/archive.h"
#include "engine/plan.h"
#include "engine/run_state.h"
#include "engine/scanner.h"
#include "engine/text.h"
#include "log/run_log.h"
#include "platform/fs.h"

namespace twf {

namespace {

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

TMirrorOptions Trimmed(TMirrorOptions o) {
  o.SourceDir = WithoutTrailingSlash(o.SourceDir);
  o.DestDir = WithoutTrailingSlash(o.DestDir);
  return o;
}

} // namespace

TMirrorEngine::TMirrorEngine(const TMirrorOptions& AOpt, TMirrorLogger* ALog, IFileSystem* fs)
    : FRunLog(std::make_unique<TRunLog>(ALog, AOpt.LogOps)),
      FRun(std::make_unique<TRunState>(Trimmed(AOpt), fs ? *fs : RealFileSystem(), *FRunLog)),
      FPhase(uint8_t(TRunPhase::Preparing)) {}

TMirrorEngine::~TMirrorEngine() {
  FArchive.reset();
  for (int fd : {FRun->SrcRoot, FRun->DstRoot})
    if (fd >= 0) FRun->Fs.Close(fd);
}

void TMirrorEngine::Cancel() {
  FRun->CancelCount.exchange(1);
  FRun->CancelFlag.store(true);
}

bool TMirrorEngine::IsCancelled() const { return FRun->Cancelled(); }

void TMirrorEngine::SetPhase(TRunPhase phase) {
  FPhase.store(uint8_t(phase));
  TRunEvent e;
  e.Kind = TEventKind::PhaseChanged;
  e.Phase = phase;
  FRun->Emit(e);
}

TMirrorStats TMirrorEngine::Stats() const {
  const TRunState& r = *FRun;
  TMirrorStats s;
  s.Phase = PhaseText(TRunPhase(FPhase.load()));
  s.ScannedSrc = r.ScannedSrc.load();
  s.ScannedDst = r.ScannedDst.load();
  s.FilesCopied = r.FilesCopied.load();
  s.FilesDeleted = r.FilesDeleted.load();
  s.DirsCreated = r.DirsCreated.load();
  s.DirsDeleted = r.DirsDeleted.load();
  s.Skipped = r.Skipped.load();
  s.Errors = r.Errors.load();
  s.BytesCopied = r.BytesCopied.load();
  s.TotalBytes = r.TotalBytes.load();
  s.Verified = r.Verified.load();
  s.Archived = r.Archived.load();
  s.TotalOps = r.TotalOps.load();
  s.DoneOps = r.DoneOps.load();
  s.Leftovers = r.Leftovers.load();
  return s;
}

void TMirrorEngine::Run() {
  FStartMs = MonotonicMs();
  if (!Start()) return;
  TScanner scanner(*FRun);
  scanner.Prepare();
  ShowOptions(scanner);
  TPlan plan;
  if (!Scan(scanner, plan)) return;
  TApplier applier(*FRun, plan, FArchive.get());
  if (!Compare(plan, applier)) return;
  if (!CheckPlan(plan)) return;
  Apply(plan, applier);
  Summary();
}

// The header, and the refusals that need no scan.
bool TMirrorEngine::Start() {
  TRunState& r = *FRun;
  const TMirrorOptions& o = r.Opt;
  {
    TRunEvent e;
    e.Kind = TEventKind::Started;
    e.Options = &o;
    std::string label, serial, volume;
    if (GetVolumeLabelSerial(r.Fs, o.DestDir, label, serial)) volume = VolumeText(label, serial), e.Count = 1;
    e.Text = volume;
    r.Emit(e);
  }
  if (!r.Fs.IsDirectory(o.SourceDir)) {
    r.FailAt(TRunError::SourceMissing, o.SourceDir);
    return false;
  }
  TFileInfo info;
  if (r.Fs.Stat(o.DestDir, info) == 0 && !info.IsDir) {
    r.FailAt(TRunError::DestNotAFolder, o.DestDir);
    return false;
  }
  // Compare the paths as given and with links resolved, so a link cannot
  // put the destination inside the source unnoticed.
  const std::string rs = ResolvePathForCompare(o.SourceDir), rd = ResolvePathForCompare(o.DestDir);
  if (FoldKey(o.SourceDir) == FoldKey(o.DestDir) || IsPathInside(o.SourceDir, o.DestDir) ||
      IsPathInside(o.DestDir, o.SourceDir) || IsPathInside(rs, rd) || IsPathInside(rd, rs)) {
    r.FailAt(TRunError::Overlap, {});
    return false;
  }
  // Both roots are held open for the whole run: links in the configured
  // paths count as they stand now, and a root swapped for a link later
  // changes nothing.
  if (r.Fs.OpenDir(rs, r.SrcRoot, info) != 0) {
    r.FailAt(TRunError::SourceMissing, o.SourceDir);
    return false;
  }
  r.DstRootErr = r.Fs.OpenDir(rd, r.DstRoot, info);
  r.RunStart = FileSystemNow();
  r.AsRoot = RunsAsRoot();
  return true;
}

void TMirrorEngine::ShowOptions(const TScanner& scanner) {
  const TMirrorOptions& o = FRun->Opt;
  if (o.ArchiveEnabled) FArchive = std::make_unique<TArchive>(*FRun, LocalStamp());
  TRunEvent e;
  e.Kind = TEventKind::OptionsShown;
  e.OwnersNotKept = !FRun->AsRoot;
  e.Options = &o;
  e.Count = scanner.PatternCount();
  e.Size = scanner.MaxBytes();
  if (FArchive) e.Path = FArchive->RunPath();
  FRun->Emit(e);
}

bool TMirrorEngine::Scan(TScanner& scanner, TPlan& plan) {
  TRunState& r = *FRun;
  SetPhase(TRunPhase::Scanning);
  scanner.Scan(plan);
  if (r.Cancelled()) return ReportCancelled(TCancelPoint::Scan);
  TRunFigures figures = scanner.Figures();
  figures.ElapsedMs = MonotonicMs() - FStartMs;
  TRunEvent e;
  e.Kind = TEventKind::ScanDone;
  e.Figures = &figures;
  r.Emit(e);
  // A source root that cannot be listed tells nothing about what the
  // destination should hold; nor can a run that cannot see the destination
  // know what it would overwrite or delete there.
  if (scanner.SrcRootFailed() || scanner.DstRootFailed()) return false;
  if (plan.SrcFiles == 0) {
    TRunEvent refusal;
    refusal.Error = plan.DstFiles > 0 ? TRunError::EmptySourceButDest : TRunError::EmptySource;
    refusal.Count = plan.DstFiles;
    r.Fail(refusal);
    return false;
  }
  return true;
}

// What the rules alone could not settle, and the plan's reports.
bool TMirrorEngine::Compare(TPlan& plan, TApplier& applier) {
  TRunState& r = *FRun;
  SetPhase(TRunPhase::Comparing);
  plan.Finish();
  r.Skipped.fetch_add(plan.Identical);
  for (const TPlanNote& n : plan.Notes) {
    const std::string rel = plan.RelOf(n.Folder, n.Name);
    if (n.Kind == TActionKind::Keep) {
      r.Skipped.fetch_add(1);
      r.Item(TEventKind::Kept, rel);
    } else {
      r.Fail(TRunError::FileOverLink, rel, 0);
    }
  }
  for (const TPlanDir& d : plan.LinkedDirs) r.FailAt(TRunError::FolderOverLink, r.DstPath(d.Rel));
  for (const TPlanDir& d : plan.ExcludedDirs) r.FailAt(TRunError::FolderExcluded, r.DstPath(d.Rel));
  if (!plan.Checks.empty() && !r.Cancelled()) {
    SetPhase(TRunPhase::VerifyingContent);
    TRunEvent e;
    e.Kind = TEventKind::ContentCheck;
    e.Count = int64_t(plan.Checks.size());
    r.Emit(e);
    applier.CheckContents();
  }
  if (r.Cancelled()) return ReportCancelled(TCancelPoint::Compare);
  return true;
}

// Always false: the run goes no further.
bool TMirrorEngine::ReportCancelled(TCancelPoint point) {
  TRunEvent e;
  e.Kind = TEventKind::Cancelled;
  e.Cancel = point;
  FRun->Emit(e);
  SetPhase(TRunPhase::Cancelled);
  return false;
}

bool TMirrorEngine::CheckPlan(const TPlan& plan) {
  TRunState& r = *FRun;
  r.TotalOps = plan.Ops();
  TRunFigures figures;
  figures.Copy = int32_t(plan.Copies.size());
  figures.Delete = int32_t(plan.Deletes.size());
  figures.MkDirs = int32_t(plan.MkDirs.size());
  figures.RmDirs = int32_t(plan.RmDirs.size());
  figures.Skipped = r.Skipped.load();
  TRunEvent e;
  e.Kind = TEventKind::Planned;
  e.Figures = &figures;
  r.Emit(e);
  const TPlanTotals t = plan.Totals();
  r.TotalBytes = t.CopyBytes;
  return MassDeleteGuard(int64_t(plan.Deletes.size()), plan.DstFiles) &&
         FreeSpaceCheck(t.CopyBytes, t.OverwriteBytes, t.DeleteBytes, int64_t(plan.Copies.size()));
}

bool TMirrorEngine::MassDeleteGuard(int64_t del, int64_t dst) {
  TRunState& r = *FRun;
  int32_t pct = r.Opt.WarnMassDeletePct;
  if (pct < 1 || pct > 100) pct = 25;
  if (r.Opt.DryRun || !r.Opt.WarnMassDelete || dst == 0 || del * 100 < int64_t(pct) * dst) return true;
  const int p = int(RoundHalfEven(double(del) * 100.0 / double(dst)));
  TRunEvent e;
  e.Count = del;
  e.Total = dst;
  e.Percent = p;
  e.Threshold = pct;
  if (!FOnConfirm) {
    e.Error = TRunError::MassDeleteRefused;
    r.Fail(e);
    return false;
  }
  // The question is the window's own text, not a log line.
  if (!FOnConfirm(std::to_string(p) + "% of files in destination will be deleted.\r\n\r\nContinue?")) {
    e.Kind = TEventKind::MassDeleteDeclined;
    r.Emit(e);
    SetPhase(TRunPhase::Aborted);
    return false;
  }
  e.Kind = TEventKind::MassDeleteConfirmed;
  r.Emit(e);
  return true;
}

bool TMirrorEngine::FreeSpaceCheck(int64_t copyBytes, int64_t overwriteBytes, int64_t deleteBytes,
                                   int64_t copies) {
  TRunState& r = *FRun;
  FCopiesNeedDeletedSpace = false;
  if (r.Opt.DryRun || copyBytes <= 0) return true;
  const int64_t free = r.Fs.FreeSpace(r.Opt.DestDir);
  // With room to spare the copies never wait for the space the deletes give
  // back: every file may take a block more than its size (and large ones
  // their file system's own blocks), plus a margin. Where free space is not
  // known they do wait.
  constexpr int64_t kSpare = int64_t(64) << 20, kBlock = 64 * 1024;
  FCopiesNeedDeletedSpace = free == -1 || free - copyBytes < copies * kBlock + copyBytes / 16 + kSpare;
  if (free == -1) return true;
  const int64_t after = free + deleteBytes + overwriteBytes;
  if (after >= copyBytes) return true;
  TRunEvent e;
  e.Error = TRunError::NoFreeSpace;
  e.Size = copyBytes - after;
  e.Size2 = copyBytes;
  e.Size3 = after;
  r.Fail(e);
  return false;
}

void TMirrorEngine::Apply(TPlan& plan, TApplier& applier) {
  TRunState& r = *FRun;
  if (!r.Opt.DryRun && !r.Cancelled()) applier.RemoveLeftovers();
  if (r.TotalOps.load() > 0) {
    TRunEvent e;
    e.Kind = TEventKind::SyncStarted;
    r.Emit(e);
    if (!r.Opt.DryRun && r.DstRoot < 0) {
      r.Fs.CreateDirPath(r.Opt.DestDir);
      TFileInfo info;
      r.DstRootErr = r.Fs.OpenDir(ResolvePathForCompare(r.Opt.DestDir), r.DstRoot, info);
    }
    if (!plan.Deletes.empty() && !r.Cancelled()) {
      SetPhase(TRunPhase::DeletingFiles);
      applier.DeleteFiles();
      // The free-space check counted on it.
      if (FCopiesNeedDeletedSpace) r.Fs.WaitForFreedSpace();
    }
    if (!plan.RmDirs.empty() && !r.Cancelled()) {
      SetPhase(TRunPhase::RemovingFolders);
      applier.RemoveFolders();
    }
    if (!plan.MkDirs.empty() && !r.Cancelled()) {
      SetPhase(TRunPhase::CreatingFolders);
      applier.CreateFolders();
    }
    if (!plan.Copies.empty() && !r.Cancelled()) {
      SetPhase(TRunPhase::CopyingFiles);
      applier.CopyFiles();
    }
    applier.FinishDeferredModes();
  }
  // A run that has ended has freed what it removed (leftovers of earlier
  // runs included).
  if (!r.Opt.DryRun) r.Fs.WaitForFreedSpace();
  if (!r.Opt.DryRun && !r.Cancelled() && r.DstRoot >= 0) {
    applier.FixOwners();
    applier.FixFolderModes();
    applier.FixFolderTimes();
  }
  if (r.Cancelled()) ReportCancelled(TCancelPoint::Apply);
  else SetPhase(TRunPhase::Done);
}

void TMirrorEngine::Summary() {
  const TRunState& r = *FRun;
  TRunFigures f;
  f.Copied = r.FilesCopied.load();
  f.Bytes = r.BytesCopied.load();
  f.Deleted = r.FilesDeleted.load();
  f.DirsCreated = r.DirsCreated.load();
  f.DirsRemoved = r.DirsDeleted.load();
  f.Skipped = r.Skipped.load();
  f.Verified = r.Verified.load();
  f.Archived = r.Archived.load();
  f.Leftovers = r.Leftovers.load();
  f.Errors = r.Errors.load();
  f.ElapsedMs = MonotonicMs() - FStartMs;
  TRunEvent e;
  e.Kind = TEventKind::Summary;
  e.Figures = &f;
  e.Options = &r.Opt;
  FRun->Emit(e);
}

} // namespace twf
