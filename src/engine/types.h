// Records and enumerations shared by the engine and run control.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace twf {

enum TCompareMode : int32_t { cmSizeDate = 0, cmSizeOnly = 1, cmBinary = 2 };

enum TLogOp : int32_t { loCopy = 0, loDelete = 1, loMkDir = 2, loRmDir = 3, loError = 4 };

// Set of TLogOp in one byte: element n is bit 2^n.
using TLogOps = uint8_t;
constexpr TLogOps LogOpBit(TLogOp op) { return TLogOps(1u << op); }
constexpr TLogOps kAllLogOps = 0x1F;
constexpr bool HasLogOp(TLogOps ops, TLogOp op) { return (ops & LogOpBit(op)) != 0; }

enum TVerifyHash : int32_t { vhNone = 0, vhXXH3_64 = 1, vhXXH3_128 = 2 };

// What becomes of a symbolic link in the source.
enum TSymlinkMode : int32_t {
  smMirror = 0, // made again as a link with the same text; never followed on either side
  smFollow = 1, // copied as the file it points to; links to folders skipped
  smSkip = 2,   // left out
};

struct TMirrorOptions {
  std::string SourceDir; // absolute, no trailing separator
  std::string DestDir;   // absolute, no trailing separator
  TCompareMode CompareMode = cmSizeDate;
  bool DryRun = false;
  int32_t Workers = 8;
  bool ExcludeEnabled = false;
  std::string ExcludePatterns;
  bool ExcludeEmpty = false;
  int32_t ExcludeLargerMB = 0;
  bool ExcludeHiddenSysFiles = false;
  bool ExcludeHiddenDirs = false;
  bool PreserveAcl = false;
  TSymlinkMode SymlinkMode = smMirror;
  bool SkipNewer = false;
  bool WarnMassDelete = true;
  int32_t WarnMassDeletePct = 25;
  bool RecycleDeletes = false;
  bool RetryLocked = false;
  TVerifyHash VerifyHash = vhNone;
  bool ArchiveEnabled = false;
  std::string ArchiveDir;
  std::string AppVersion;
  std::string ComputerDesc;
  std::string UserName;
  std::string StartedBy;
  std::string TaskName;
  TLogOps LogOps = kAllLogOps;
  // Folders (absolute) that are never part of the mirror where they lie
  // inside the destination, such as the task's log folder: not listed,
  // counted, deleted or written into, on either side.
  std::vector<std::string> KeepOutDirs;
};

struct TMirrorStats {
  std::string Phase;
  int32_t ScannedSrc = 0;
  int32_t ScannedDst = 0;
  int32_t FilesCopied = 0;
  int32_t FilesDeleted = 0;
  int32_t DirsCreated = 0;
  int32_t DirsDeleted = 0;
  int32_t Skipped = 0;
  int32_t Errors = 0;
  int32_t Verified = 0;
  int32_t Archived = 0;
  int64_t BytesCopied = 0;
  int64_t TotalBytes = 0;
  int32_t TotalOps = 0;
  int32_t DoneOps = 0;
  int32_t Leftovers = 0; // temporary files of interrupted copies removed
};

// TFileEntry::Size of a destination item that is not a regular file.
constexpr int64_t kNotAFile = -1;

// One scanned file. OrigRel points into the map that holds the entry.
struct TFileEntry {
  std::string_view OrigRel; // relative path as found on disk, parts joined by "/"
  // kNotAFile for a destination item that is no regular file (a dangling
  // link, a FIFO, a socket, a device): deleted like a file, never equal to one.
  int64_t Size = 0;
  int64_t WriteTime = 0; // 100 ns units since 1601-01-01 UTC
};

} // namespace twf
