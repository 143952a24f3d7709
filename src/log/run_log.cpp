#include "log/run_log.h"

#include <string_view>

#include "log/format.h"
#include "log/logger.h"
#include "platform/fs.h"

namespace twf {

namespace {

const char* const kCompareModeText[] = {"size + last-modified date", "size only",
                                        "exact content (byte-by-byte)"};

std::string Str(std::string_view s) { return std::string(s); }

// "Cannot open file "<path>". <reason>", or the reason alone.
std::string OpenText(const TRunEvent& e) {
  if (!e.Text.empty()) return Str(e.Text);
  if (e.Path.empty()) return SystemMessage(e.Errno);
  return "Cannot open file \"" + Str(e.Path) + "\". " + SystemMessage(e.Errno);
}

} // namespace

const char* PhaseText(TRunPhase phase) {
  switch (phase) {
    case TRunPhase::Preparing: return "Preparing";
    case TRunPhase::Scanning: return "Scanning";
    case TRunPhase::Comparing: return "Comparing";
    case TRunPhase::VerifyingContent: return "Verifying content";
    case TRunPhase::DeletingFiles: return "Deleting files";
    case TRunPhase::RemovingFolders: return "Removing folders";
    case TRunPhase::CreatingFolders: return "Creating folders";
    case TRunPhase::CopyingFiles: return "Copying files";
    case TRunPhase::Cancelled: return "Cancelled";
    case TRunPhase::Aborted: return "Aborted";
    case TRunPhase::Done: return "Done";
  }
  return "";
}

void TRunLog::Write(const std::string& line) {
  if (FLog && !line.empty()) FLog->Log(line);
}

void TRunLog::OnEvent(const TRunEvent& e) {
  switch (e.Kind) {
    case TEventKind::Started: Header(e); break;
    case TEventKind::OptionsShown: OptionLines(e); break;
    case TEventKind::Summary: SummaryLines(e); break;
    default: Write(LineOf(e)); break;
  }
}

void TRunLog::Header(const TRunEvent& e) {
  const TMirrorOptions& o = *e.Options;
  Write("=== Quarlex Twinfold started ===");
  if (!o.AppVersion.empty()) Write("App Version: " + o.AppVersion);
  if (!o.ComputerDesc.empty()) Write("Computer:    " + o.ComputerDesc);
  if (!o.UserName.empty()) Write("User:        " + o.UserName);
  Write("Task Name:   " + (o.TaskName.empty() ? std::string("Untitled") : o.TaskName));
  if (!o.StartedBy.empty()) Write("Started by:  " + o.StartedBy);
  Write("Source:      " + o.SourceDir);
  Write("Destination: " + o.DestDir);
  if (e.Count != 0) Write("Volume:      " + Str(e.Text));
  const int cm = (o.CompareMode >= cmSizeDate && o.CompareMode <= cmBinary) ? o.CompareMode : cmSizeDate;
  Write(std::string("Compare by:  ") + kCompareModeText[cm]);
  Write(FormatText("Workers:     %d", o.Workers));
  Write(o.DryRun ? "Action:      Dry run, nothing will actually be changed" : "Action:      Mirror");
}

void TRunLog::OptionLines(const TRunEvent& e) {
  const TMirrorOptions& o = *e.Options;
  if (e.Count > 0) Write(FormatText("Exclude:     %d wildcard pattern(s)", int(e.Count)));
  if (o.ExcludeEmpty) Write("Exclude:     empty (0-byte) files");
  if (o.ExcludeHiddenSysFiles) Write("Exclude:     files with hidden or system attribute");
  if (o.ExcludeHiddenDirs) Write("Exclude:     folders with hidden attribute");
  if (e.Size > 0) Write("Exclude:     files larger than " + FormatSize(e.Size));
  if (o.PreserveAcl) Write("Preserve:    NTFS permissions (ACLs) of copied items");
  if (e.OwnersNotKept) Write("Owners:      not kept (the run is not root's); groups kept where this user belongs to them");
  if (o.SkipNewer) Write("Keep:        destination files with a newer timestamp");
  if (o.RecycleDeletes) Write("Delete:      to the Recycle Bin (undo possible)");
  if (o.VerifyHash == vhXXH3_64) Write("Verify:      each copied file re-read (xxHash3-64)");
  else if (o.VerifyHash == vhXXH3_128) Write("Verify:      each copied file re-read (xxHash3-128)");
  if (o.ArchiveEnabled) Write("Archive:     displaced files go to " + Str(e.Path));
}

void TRunLog::SummaryLines(const TRunEvent& e) {
  const TRunFigures& f = *e.Figures;
  const TMirrorOptions& o = *e.Options;
  Write("--- Summary ---");
  Write(FormatText("Copied:      %d file(s), %s", f.Copied, FormatSize(f.Bytes).c_str()));
  Write(FormatText("Deleted:     %d file(s)", f.Deleted));
  Write(FormatText("Folders:     %d created, %d removed", f.DirsCreated, f.DirsRemoved));
  Write(FormatText("Skipped:     %d identical file(s)", f.Skipped));
  if (o.VerifyHash != vhNone) Write(FormatText("Verified:    %d file(s)", f.Verified));
  if (o.ArchiveEnabled) Write(FormatText("Archived:    %d file(s)", f.Archived));
  if (f.Leftovers > 0)
    Write(FormatText("Leftovers:   %d partial copy(ies) of an interrupted run removed", f.Leftovers));
  Write(FormatText("Errors:      %d", f.Errors));
  Write("Elapsed:     " + FormatElapsed(f.ElapsedMs));
  if (f.Bytes > 0 && f.ElapsedMs > 0)
    Write("Speed:       " + FormatSize(RoundHalfEven(double(f.Bytes) * 1000.0 / double(f.ElapsedMs))) +
          "/s average");
  Write("=== Quarlex Twinfold finished ===");
}

std::string TRunLog::LineOf(const TRunEvent& e) const {
  switch (e.Kind) {
    case TEventKind::Skipped: {
      static const char* const kWhat[] = {"Trash or log folder of the destination: ", "junction/symlink: ",
                                          "special file: ", "dangling link: ", "symbolic link: "};
      return std::string("SKIP         ") + kWhat[int(e.Skip)] + Str(e.Path);
    }
    case TEventKind::ScanDone: {
      const TRunFigures& f = *e.Figures;
      return FormatText(
          "Scan done:   source %d file(s) / %d folder(s), destination %d file(s) / %d folder(s)  [%.1f s]",
          f.SrcFiles, f.SrcDirs, f.DstFiles, f.DstDirs, double(f.ElapsedMs) / 1000.0);
    }
    case TEventKind::ContentCheck:
      return FormatText("Compare:     %d same-size file pair(s) byte-by-byte...", int(e.Count));
    case TEventKind::Planned: {
      const TRunFigures& f = *e.Figures;
      return FormatText("Plan:        copy %d, delete %d, create %d folder(s), remove %d folder(s), %d identical "
                        "file(s) skipped",
                        f.Copy, f.Delete, f.MkDirs, f.RmDirs, f.Skipped);
    }
    case TEventKind::MassDeleteConfirmed:
      return FormatText("Warning:     %d of %d destination files (%d%%) will be deleted (threshold: %d%%) "
                        "[confirmed by user]",
                        int(e.Count), int(e.Total), int(e.Percent), int(e.Threshold));
    case TEventKind::MassDeleteDeclined: return "Aborted:     mass-delete warning declined by user";
    case TEventKind::SyncStarted: return "--- Syncing operations ---";
    case TEventKind::Retry:
      return FormatText("RETRY        %s (locked, attempt %d/3)", Str(e.Rel).c_str(), int(e.Count));
    case TEventKind::ArchiveMoved:
      return "Archive:     the folder name was taken, displaced files go to " + Str(e.Path);
    case TEventKind::Cancelled: {
      static const char* const kWhen[] = {"CANCELLED    during scan", "CANCELLED    during compare",
                                          "CANCELLED    the mirror is INCOMPLETE"};
      return kWhen[int(e.Cancel)];
    }
    case TEventKind::Error:
      if (!HasLogOp(FOps, loError)) return {};
      return "ERROR        " + StripTrailingDot(ErrorText(e));
    default: return ItemLine(e);
  }
}

// The per-item lines, each shown only when its operation is selected.
std::string TRunLog::ItemLine(const TRunEvent& e) const {
  const std::string rel = Str(e.Rel);
  auto op = [&](TLogOp o, std::string line) { return HasLogOp(FOps, o) ? line : std::string(); };
  static const char* const kHow[] = {"", " (archived)", " (recycled)"};
  switch (e.Kind) {
    case TEventKind::Kept: return op(loCopy, "KEEP         newer in destination: " + rel);
    case TEventKind::ContentDiffers: return op(loCopy, "DIFF         " + rel + " (content)");
    case TEventKind::LeftoverRemoved: {
      static const char* const kKept[] = {"", ", archived", ", recycled"};
      return op(loDelete, "CLEANUP      " + rel + " (partial copy of an interrupted run" + kKept[int(e.How)] + ")");
    }
    case TEventKind::Deleted:
      return op(loDelete, e.Dry ? "[DRY] DELETE " + rel : "DELETE       " + rel + kHow[int(e.How)]);
    case TEventKind::FolderRemoved: return op(loRmDir, (e.Dry ? "[DRY] RMDIR  " : "RMDIR        ") + rel);
    case TEventKind::FolderCreated: return op(loMkDir, (e.Dry ? "[DRY] MKDIR  " : "MKDIR        ") + rel);
    case TEventKind::OldVersionArchived: return op(loCopy, "ARCHIVE      " + rel + " (old version)");
    case TEventKind::Copied:
      return op(loCopy, FormatText(e.Dry ? "[DRY] COPY   %s (%s)" : "COPY         %s (%s)", rel.c_str(),
                                   FormatSize(e.Size).c_str()));
    case TEventKind::Verified: return op(loCopy, "VERIFY       " + rel + " [" + Str(e.Text) + "]");
    case TEventKind::LinkMade: {
      std::string line = (e.Dry ? "[DRY] LINK   " : "LINK         ") + rel;
      if (!e.Text.empty()) line += " -> " + Str(e.Text);
      return op(loCopy, line);
    }
    default: return {};
  }
}

std::string TRunLog::ErrorText(const TRunEvent& e) const {
  const std::string rel = Str(e.Rel), path = Str(e.Path), err = e.Errno ? SystemMessage(e.Errno) : "";
  switch (e.Error) {
    case TRunError::SourceMissing: return "Source folder does not exist: " + path;
    case TRunError::DestNotAFolder: return "Destination is not a folder: " + path;
    case TRunError::Overlap: return "Source and destination overlap - refusing to run";
    case TRunError::BadPattern:
      return "Invalid exclusion pattern \"" + Str(e.Text) + "\" - ignored (" + Str(e.Text2) + ")";
    case TRunError::CannotList: return "Cannot list \"" + path + "\": " + err;
    case TRunError::LogFolderInSource:
      return "Cannot mirror \"" + path + "\": the log folder lies there in the destination";
    case TRunError::FileOverLink:
      return "Cannot copy \"" + rel + "\": the destination item is a symbolic link to a folder or a mount point";
    case TRunError::FolderOverLink:
      return "Cannot mirror into \"" + path + "\": the destination folder is a symbolic link or mount point";
    case TRunError::FolderExcluded:
      return "Cannot mirror into \"" + path + "\": the exclusion patterns leave out the destination folder";
    case TRunError::EmptySourceButDest:
      return FormatText("The source contains no files but the destination has %d - refusing to mirror, as this "
                        "would wipe the destination (if this is really intended, empty the destination manually)",
                        int(e.Count));
    case TRunError::EmptySource: return "The source contains no files, nothing to mirror";
    case TRunError::MassDeleteRefused:
      return FormatText("Refusing to run: %d of %d destination files (%d%%) would be deleted (threshold: %d%%) and "
                        "no interactive confirmation is possible",
                        int(e.Count), int(e.Total), int(e.Percent), int(e.Threshold));
    case TRunError::NoFreeSpace:
      return "Not enough free space on the destination: about " + FormatSize(e.Size) + " more is needed (" +
             FormatSize(e.Size2) + " to copy, " + FormatSize(e.Size3) + " available after deletions)";
    case TRunError::CompareFailed: return "Content compare failed for \"" + rel + "\": " + OpenText(e) + " - will re-copy";
    case TRunError::FolderChanged:
      return "Destination folder changed during the run, nothing below it is touched: \"" + path + "\"";
    case TRunError::LinkNotFollowed:
      return FormatText("Cannot copy \"%s\": the link belongs to user %u, the file it leads to does not - not "
                        "followed as root",
                        path.c_str(), unsigned(e.Count));
    case TRunError::DeleteFailed: return "Delete failed \"" + rel + "\": " + err;
    case TRunError::TrashUnusable:
      return FormatText("Recycle Bin deletion failed (code %d) - some of the %d file(s) may remain in the "
                        "destination",
                        e.Errno, int(e.Count));
    case TRunError::TrashFailed: return "Move to the Trash failed \"" + rel + "\": " + err;
    case TRunError::RemoveFolderFailed: return "Remove folder failed \"" + rel + "\": " + err;
    case TRunError::ReadAclFailed: return "Read permissions failed \"" + path + "\": " + err;
    case TRunError::SetAclFailed: return "Set permissions failed \"" + path + "\": " + err;
    case TRunError::CreateFolderFailed: return "Create folder failed \"" + rel + "\": " + err;
    case TRunError::CopyFailed: return "Copy failed \"" + rel + "\": " + err;
    case TRunError::VerifyReadFailed: return "Verify read failed \"" + rel + "\": " + OpenText(e);
    case TRunError::VerifyMismatch:
      return "VERIFY FAILED \"" + rel + "\": source=" + Str(e.Text) + " destination=" + Str(e.Text2) +
             " - the corrupted copy was deleted and will be re-copied on the next run";
    case TRunError::ArchiveFailed: return "Archive failed \"" + rel + "\": " + err;
    case TRunError::LinkUnsupported:
      return "Cannot make link \"" + rel + "\": the destination file system does not hold symbolic links (" + err +
             ") - left out";
    case TRunError::XattrUnsupported:
      return "Extended attributes not kept: the destination file system does not support them (first at \"" + path +
             "\")";
    case TRunError::Unexpected: return "Unexpected: " + Str(e.Text);
  }
  return {};
}

} // namespace twf
