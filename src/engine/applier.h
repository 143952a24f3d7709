// Carries out a finished plan through the file layer, in the mirror's
// order, and reports what happened to the run's observer.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/archive.h"
#include "engine/plan.h"
#include "engine/run_state.h"
#include "platform/fs.h"

namespace twf {

class TApplier {
public:
  // archive: null unless archiving is on.
  TApplier(TRunState& run, TPlan& plan, TArchive* archive) : FRun(run), FPlan(plan), FArchive(archive) {}

  // Binary mode: compares the contents of the same-size pairs; each that
  // differs (or cannot be compared) becomes a copy.
  void CheckContents();
  // Temporary files of interrupted copies.
  void RemoveLeftovers();
  void DeleteFiles();
  void RemoveFolders();
  void CreateFolders();
  void CopyFiles();
  // Modes of created folders that would have stopped the copies into them.
  void FinishDeferredModes();
  // Permission bits (and owners) of folders on both sides that differ from
  // the source's.
  void FixFolderModes();
  // Owners and groups of identical files and links.
  void FixOwners();
  // Modification times of the folders the run changed or created, and of
  // those whose times differ from the source's: deepest first, once every
  // folder's contents are final.
  void FixFolderTimes();

private:
  // A run of one folder's files handed to one worker: the folder is opened
  // once for them all.
  struct TChunk {
    size_t First = 0, Count = 0;
  };
  static std::vector<TChunk> Chunks(const std::deque<TPlanFile>& files, bool bySize);
  // Runs step on each chunk of files on the run's workers.
  void ForEachChunk(const std::deque<TPlanFile>& files, bool bySize, const std::function<void(const TChunk&)>& step);
  void ForEachChunk(const std::vector<TChunk>& chunks, const std::function<void(const TChunk&)>& step);

  // The destination is worked on through folder descriptors opened below
  // its root without following links, each checked against what the scan
  // (or this run's creation) saw. OpenDestDir returns 0, an errno for the
  // caller to report, or kFolderChanged when the folder or one above it is
  // no longer the one seen: that is reported once, and nothing below it is
  // touched for the rest of the run.
  static constexpr int kFolderChanged = -1;
  // seen, where given, gets what the open found.
  int OpenDestDir(std::string_view rel, const TDirNode* node, int& fd, TFileInfo* seen = nullptr);
  int OpenDest(const TPlanFolder& f, int& fd) { return OpenDestDir(f.Rel, f.Node.get(), fd); }
  bool IsBelowChanged(std::string_view rel);
  void ReportChanged(const std::string& relDir);
  // Opens the source file name in the open source folder srcDir; a link
  // only where the scan saw one, and as root only a link of root's or of
  // the file's owner. kLinkRefused (already reported) for one that is not.
  static constexpr int kLinkRefused = -2;
  // srcDirInfo: what opening srcDir told, where known.
  int OpenSourceFile(int srcDir, const TPlanFile& f, const std::string& rel, int& fd, TFileInfo& info,
                     const TFileInfo* srcDirInfo = nullptr);
  void CloseFd(int fd);
  // A descriptor closed when its scope ends, however it ends.
  struct TFdCloser {
    IFileSystem& Fs;
    int Fd = -1;
    ~TFdCloser();
  };
  // One operation of a chunk: an exception (a line that could not be
  // reported, say) is that operation's error, and the chunk goes on.
  void Guarded(const std::function<void()>& body);
  void RetryWait();
  // After attempt failed with code: true when the step is to be tried
  // again (a file in use, retries on, tries left), with its line said.
  bool WillRetry(int code, int attempt, const std::string& rel);

  void DeleteChunk(const TChunk& c);
  void DeleteOne(const TPlanFile& f, int dir);
  void RecycleFiles();
  void FinishFolder(const TPlanDir& d, int srcFd, const TFileInfo& srcInfo, int dstFd);
  void CheckChunk(const TChunk& c, std::vector<TPlanFile>& differ);
  void CheckOne(const TPlanFile& f, int src, int srcErr, int dst, int dstErr, std::vector<TPlanFile>& differ);
  // kSettled: the pair is neither same nor different (an error already
  // reported, or a folder that changed), so it is neither skipped nor copied.
  enum TCompareResult { kDiffer, kSame, kSettled, kFailed };
  enum TSide { kSideNone, kSideSource, kSideDest }; // the file that would not open
  struct TCompare {
    TCompareResult Result = kDiffer;
    int Errno = 0;
    TSide Side = kSideNone;
  };
  TCompare SameContent(const TPlanFile& f, const std::string& rel, int srcDir, int dstDir, int dstErr);
  // A copy written into its folder and waiting for its name. A worker
  // writes a batch of them first, then names them, so their flushes to
  // the device overlap; a batch not named (cancel, an exception) is
  // removed when it ends.
  struct THeldCopy {
    size_t Index = 0; // in FPlan.Copies
    TPendingCopy Copy;
    int64_t Counted = 0; // bytes of it already added to BytesCopied
    int AclRead = 0, AclSet = 0;
    int XattrRead = 0, XattrSet = 0;
  };
  struct TCopyBatch {
    IFileSystem& Fs;
    int Dir = -1;
    TFileInfo SrcDirInfo; // the chunk's source folder, as opened
    std::vector<THeldCopy> Held;
    int64_t Bytes = 0; // held
    ~TCopyBatch();
  };
  void CopyChunk(const TChunk& c);
  void SetFolderTime(const TPlanFolder& folder, int dir);
  void TimeSetReport(const std::string& rel, int code);
  void MakeLinkOne(const TPlanFile& f, int srcDir, int code, int dstDir);
  void OwnerChunk(const TChunk& c);
  // Extended attributes a destination file system refused: said once.
  void XattrsRefused(int code, const std::string& path);
  void WriteOne(size_t index, int srcDir, int code, TCopyBatch& batch);
  void NameBatch(TCopyBatch& batch, int srcDir);
  bool SpaceComesBack(int64_t size);
  void NameOne(THeldCopy& h, int dir, int srcDir);
  void Unwrite(THeldCopy& h, int dir);
  // What reading a held copy back from the device found, before it was
  // given its name: a copy that differs from its source never gets it.
  struct TReadBack {
    enum { kUnchecked, kSame, kDiffer, kUnreadable } Outcome = kUnchecked;
    std::string SrcHash, DstHash;
    int Errno = 0;
    std::string Path, What; // of an unreadable side
    bool CopyUnreadable = false; // the side that could not be read is the copy
  };
  TReadBack ReadBack(const TPlanFile& f, const std::string& rel, int srcDir, int dstDir, THeldCopy& h);
  void ReportReadBack(const TReadBack& r, const std::string& rel);
  void Unexpected(const char* what);

  TRunState& FRun;
  TPlan& FPlan;
  TArchive* FArchive;
  std::mutex FChangedLock; // guards FChangedDirs
  std::vector<std::string> FChangedDirs;
  struct TDeferredMode {
    const TPlanDir* Dir;
    uint32_t Mode;
  };
  std::vector<TDeferredMode> FDeferredModes; // run thread only
  std::vector<uint8_t> FCopyChunks;         // per plan folder: copy steps that write into it (0, 1, or 2 for more)
  size_t FHeldPerWorker = 1;                 // the most copies a worker holds unnamed
  std::atomic<bool> FXattrsReported{false};
};

} // namespace twf
