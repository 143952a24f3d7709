// What a run reports, as typed events: whoever shows a run (the run log,
// a test) subscribes through IRunObserver. The engine formats no text.
#pragma once

#include <cstdint>
#include <string_view>

#include "engine/types.h"

namespace twf {

// The step a run is in; PhaseText gives the status text of Stats().Phase.
enum class TRunPhase : uint8_t {
  Preparing, Scanning, Comparing, VerifyingContent, DeletingFiles, RemovingFolders, CreatingFolders, CopyingFiles,
  Cancelled, Aborted, Done
};
const char* PhaseText(TRunPhase phase);

// Errors of a run. Each names the fields of TRunEvent it fills.
enum class TRunError : uint8_t {
  SourceMissing,      // Path
  DestNotAFolder,     // Path
  Overlap,            //
  BadPattern,         // Text: the pattern, Text2: why
  CannotList,         // Path, Errno
  LogFolderInSource,  // Path: a source item where the destination keeps its log folder
  FileOverLink,       // Rel: a source file whose destination name is a folder link or mount point
  FolderOverLink,     // Path: a destination folder link or mount point the source wants to fill
  FolderExcluded,     // Path: a destination folder the patterns leave out, which the source wants to fill
  EmptySourceButDest, // Count: destination files
  EmptySource,        //
  MassDeleteRefused,  // Count: to delete, Total: destination files, Percent, Threshold
  NoFreeSpace,        // Size: missing, Size2: to copy, Size3: available after deletions
  CompareFailed,      // Rel; Path + Errno: the file that would not open, or Errno alone: a read; or Text
  FolderChanged,      // Path
  LinkNotFollowed,    // Path, Count: the link's owner
  DeleteFailed,       // Rel, Errno
  TrashUnusable,      // Errno: the first file's code, Count: files
  TrashFailed,        // Rel, Errno
  RemoveFolderFailed, // Rel, Errno
  ReadAclFailed,      // Path, Errno
  SetAclFailed,       // Path, Errno
  CreateFolderFailed, // Rel, Errno
  CopyFailed,         // Rel, Errno
  VerifyReadFailed,   // Rel; Path + Errno: the file that would not open; or Text
  VerifyMismatch,     // Rel, Text: source digest, Text2: destination digest
  ArchiveFailed,      // Rel, Errno
  LinkUnsupported,    // Rel, Errno: the destination file system cannot hold a link
  XattrUnsupported,   // Path: the first item whose extended attributes the destination refused
  Unexpected,         // Text
};

enum class TSkipKind : uint8_t { KeptOut, FolderLink, Special, Dangling, Link };
// Where a deleted file (or a leftover) went.
enum class TDeleteHow : uint8_t { Deleted, Archived, Recycled };
enum class TCancelPoint : uint8_t { Scan, Compare, Apply };

enum class TEventKind : uint8_t {
  Started,          // Options; Count 1: Text is the destination's volume
  OptionsShown,     // Options, Count: exclusion patterns, Size: size limit, Path: archive run folder
  PhaseChanged,     // Phase
  Skipped,          // Skip, Path (scan: an item that is not mirrored)
  ScanDone,         // Figures: SrcFiles, SrcDirs, DstFiles, DstDirs, ElapsedMs
  Kept,             // Rel (skip-newer)
  ContentCheck,     // Count: same-size pairs about to be compared
  ContentDiffers,   // Rel
  Planned,          // Figures: Copy, Delete, MkDirs, RmDirs, Skipped
  MassDeleteConfirmed, // Count, Total, Percent, Threshold
  MassDeleteDeclined,
  LeftoverRemoved,  // Rel, How
  SyncStarted,
  Deleted,          // Rel, How, Dry
  Retry,            // Rel, Count: the attempt about to start
  FolderRemoved,    // Rel, Dry
  FolderCreated,    // Rel, Dry
  OldVersionArchived, // Rel
  Copied,           // Rel, Size, Dry
  LinkMade,         // Rel, Text: the link's text (empty when unknown in a dry run), Dry
  Verified,         // Rel, Text: digest
  ArchiveMoved,     // Path: the run folder's new name
  Cancelled,        // Cancel
  Summary,          // Figures, Options
  Error,            // Error and its fields
};

struct TRunFigures {
  int32_t SrcFiles = 0, SrcDirs = 0, DstFiles = 0, DstDirs = 0; // scan
  int32_t Copy = 0, Delete = 0, MkDirs = 0, RmDirs = 0;         // plan
  int32_t Copied = 0, Deleted = 0, DirsCreated = 0, DirsRemoved = 0, Skipped = 0, Verified = 0, Archived = 0,
          Leftovers = 0, Errors = 0; // summary (Skipped: plan too)
  int64_t Bytes = 0, ElapsedMs = 0;
};

struct TRunEvent {
  TEventKind Kind = TEventKind::Error;
  TRunError Error = TRunError::Unexpected;
  TRunPhase Phase = TRunPhase::Preparing;
  TSkipKind Skip = TSkipKind::KeptOut;
  TDeleteHow How = TDeleteHow::Deleted;
  TCancelPoint Cancel = TCancelPoint::Scan;
  bool Dry = false;
  bool OwnersNotKept = false; // OptionsShown: a run that is not root's
  std::string_view Rel;  // relative to the two roots
  std::string_view Path; // full path
  std::string_view Text, Text2;
  int Errno = 0;
  int64_t Count = 0, Total = 0, Percent = 0, Threshold = 0;
  int64_t Size = 0, Size2 = 0, Size3 = 0;
  const TMirrorOptions* Options = nullptr;
  const TRunFigures* Figures = nullptr;
};

// Called from the run's thread and its workers at once: an observer is
// thread-safe. An exception from it ends the operation that reported.
class IRunObserver {
public:
  virtual ~IRunObserver() = default;
  virtual void OnEvent(const TRunEvent& event) = 0;
};

} // namespace twf
