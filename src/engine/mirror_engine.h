// One mirror run: scan both trees, plan, apply, report.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/filemap.h"
#include "engine/types.h"
#include "platform/fs.h"

namespace twf {

class IFileSystem;
class TMirrorLogger;
class TWildcardMask;

class TMirrorEngine {
public:
  using TConfirm = std::function<bool(const std::string&)>;

  // fs: the file layer to use; null means the real one. The engine copies the
  // options and does not own the logger.
  TMirrorEngine(const TMirrorOptions& AOpt, TMirrorLogger* ALog, IFileSystem* fs = nullptr);
  virtual ~TMirrorEngine();
  TMirrorEngine(const TMirrorEngine&) = delete;
  TMirrorEngine& operator=(const TMirrorEngine&) = delete;

  // The whole run, on the calling thread. Once per engine.
  void Run();
  // Any thread, any number of times.
  void Cancel();
  bool IsCancelled() const { return FCancel.load() != 0; }
  TMirrorStats Stats() const;

  const TConfirm& OnConfirm() const { return FOnConfirm; }
  void SetOnConfirm(TConfirm f) { FOnConfirm = std::move(f); }

  // Runs body(i) for i in [0, count) on up to workers threads; stops claiming
  // indexes once cancelled. An exception from body becomes an error line.
  void ParallelForEach(int32_t count, int32_t workers, const std::function<void(int32_t)>& body);

private:
  // Plan of one run (lists of map indexes; a key identifies its entry).
  struct TPlan {
    std::vector<uint32_t> ToCopy;   // source file indexes
    std::vector<uint32_t> ToDelete; // destination file indexes
    std::vector<uint32_t> CrcCheck; // source file indexes of same-size pairs
    std::vector<std::string> MkDirs;
    std::vector<std::string> RmDirs;
    std::mutex ListLock; // guards ToCopy during the content comparison
  };
  struct TScanResult; // per-tree facts the plan needs beyond the maps

  void SetPhase(const char* text);
  void Log(const std::string& msg);
  void LogOp(TLogOp op, const std::string& msg);
  void LogError(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

  // Scan
  void BuildPatterns();
  void ScanTree(const std::string& root, int rootFd, int rootErr, TFileMap& files, TDirMap& dirs, int32_t workers,
                std::atomic<int32_t>& counter, TScanResult& result, bool isSource);

  // Plan
  void CompareFiles(TPlan& plan);
  void CompareFolders(TPlan& plan);
  void CompareItem(TPlan& plan, int32_t index);
  // kSame, kDiffer, or kSettled: the pair is neither (an error already
  // reported, or a folder that changed), so it is neither skipped nor copied.
  enum { kDiffer, kSame, kSettled };
  int SameContent(const std::string& rel, const std::string& dstRel);
  bool IsProtected(std::string_view rel) const;
  bool IsBelowDestLink(std::string_view rel) const;
  bool IsInHeldDest(std::string_view rel) const;
  bool HoldsHeldDest(std::string_view rel) const;
  void FindKeptOut();
  bool IsKeptOut(const std::string& rel, bool atTop, const std::string& name) const;

  // Apply
  bool MassDeleteGuard(const TPlan& plan);
  bool FreeSpaceCheck(int64_t copyBytes, int64_t overwriteBytes, int64_t deleteBytes);
  void DeleteItem(const TPlan& plan, int32_t index);
  void RecycleFiles(const TPlan& plan);
  void RemoveFolders(const TPlan& plan);
  void CreateFolders(const TPlan& plan);
  void CopyItem(const TPlan& plan, int32_t index);
  void RetryWait();
  void RemoveLeftovers();
  void FinishDeferredModes();

  // The destination is worked on through folder descriptors opened below
  // its root without following links, each checked against what the scan
  // (or this run's creation) saw. OpenDestDir returns 0, an errno for the
  // caller to report, or kFolderChanged when the folder or one above it is
  // no longer the one seen: that is reported once, and nothing below it is
  // touched for the rest of the run.
  static constexpr int kFolderChanged = -1;
  int OpenDestDir(const std::string& relDir, int& fd);
  // OpenDestDir for the folder that holds rel; name gets rel's last part.
  int OpenDestParent(const std::string& rel, std::string& name, int& fd);
  bool SameAsSeen(const std::string& relDir, const TFileInfo& info) const;
  bool IsBelowChanged(std::string_view rel);
  void ReportChanged(const std::string& relDir);
  void CloseFd(int fd);
  // Opens the source file rel for reading; a link only where the scan saw
  // one, and as root only a link of root's or of the file's owner.
  // kLinkRefused (already reported) for one that is not.
  static constexpr int kLinkRefused = -2;
  int OpenSourceFile(const std::string& rel, int& fd, TFileInfo& info);

  // Safeguards
  enum class TArchiveKind { Deleted, Changed };
  // Moves name from the open destination folder dir into the archive.
  bool ArchiveFile(int dir, const std::string& name, const std::string& rel, TArchiveKind kind);
  int ArchiveRunDir(int& fd);
  int OpenArchiveFolder(const std::string& relDir, int& fd);
  void ArchiveDeleteItem(const TPlan& plan, int32_t index);
  void FinishFolder(const std::string& rel, int srcFd, const TFileInfo& srcInfo, int dstFd);
  void VerifyCopy(const std::string& rel, int dstDir, const std::string& name);

  std::string SrcPath(std::string_view rel) const { return JoinPath(FOpt.SourceDir, rel); }
  std::string DstPath(std::string_view rel) const { return JoinPath(FOpt.DestDir, rel); }
  static std::string JoinPath(const std::string& root, std::string_view rel) {
    std::string p;
    p.reserve(root.size() + 1 + rel.size());
    return p.append(root).append(1, '/').append(rel);
  }
  // "a/b/c" into "a/b" and "c"; "c" into "" and "c".
  static void SplitRel(const std::string& rel, std::string& dir, std::string& name) {
    const size_t slash = rel.rfind('/');
    dir = slash == std::string::npos ? std::string() : rel.substr(0, slash);
    name = slash == std::string::npos ? rel : rel.substr(slash + 1);
  }

  TMirrorOptions FOpt;
  TMirrorLogger* FLog;
  IFileSystem& FFs;
  std::atomic<int32_t> FCancel{0};
  std::atomic<bool> FCancelFlag{false};
  mutable std::mutex FLock; // guards FPhase only
  std::string FPhase;
  std::atomic<int32_t> FScannedSrc{0}, FScannedDst{0}, FFilesCopied{0}, FFilesDeleted{0}, FDirsCreated{0},
      FDirsDeleted{0}, FSkipped{0}, FErrors{0}, FLeftovers{0};
  std::atomic<int64_t> FBytesCopied{0};
  std::atomic<int32_t> FTotalOps{0}, FDoneOps{0};
  TFileMap FSrcFiles, FDstFiles;
  TDirMap FSrcDirs, FDstDirs;
  std::vector<std::string> FPatterns;
  std::atomic<int64_t> FTotalBytesPlan{0};
  std::atomic<int32_t> FVerified{0}, FArchived{0};
  std::string FArchiveRun;
  TConfirm FOnConfirm;
  int64_t FMaxBytes = 0;

  // Safety sets filled by the scan (read-only afterwards):
  std::vector<std::string> FUnlistedSrcDirs; // source folders that could not be listed
  std::vector<std::string> FDstLinkDirs;     // destination folders that are links or mount points
  // Destination folders whose contents the plan does not know (they could
  // not be listed, or are kept out of the mirror): nothing is written into
  // or deleted below them, and neither they nor the folders holding them
  // are removed.
  std::vector<std::string> FHeldDstDirs;
  // Source dangling links and special files: skipped, yet counterparts of
  // the destination items of their kind.
  std::unordered_set<std::string> FSrcOddities;

  // Set before the scan: what is never part of the mirror, on either side.
  std::vector<std::string> FKeptOutRels; // relative folders (a log folder inside the destination)
  bool FDestIsFsRoot = false;            // the top level holds its file system's Trash folders

  std::unordered_set<std::string> FSrcFileLinks; // source files that are links the scan followed
  std::vector<std::string> FLeftoverFiles;   // temporary names of interrupted copies in the destination

  // Descriptors of the two roots, held for the whole run; -1 with the
  // errno of the failed open.
  int FSrcRoot = -1, FDstRoot = -1;
  int FDstRootErr = ENOENT;
  int64_t FRunStart = 0; // TFileTime of the run's start
  bool FAsRoot = false;  // reads any file: source links are followed only where their owner could
  // Folders created by this run (run thread only, read-only once copies start).
  std::unordered_map<std::string, std::pair<uint64_t, uint64_t>> FCreatedDirs;
  // Created folders whose final mode would stop the copies into them.
  std::vector<std::pair<std::string, uint32_t>> FDeferredModes;
  std::mutex FChangedLock; // guards FChangedDirs
  std::vector<std::string> FChangedDirs;
  std::mutex FArchiveLock; // guards the three below
  bool FArchiveTried = false;
  int FArchiveRunFd = -1, FArchiveRunErr = 0;
  std::string FArchiveStamp;
};

} // namespace twf
