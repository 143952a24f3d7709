// Walks the source and destination trees folder pair by folder pair: both
// sides of a folder are listed together, filtered, and handed to the
// planner; of a folder that needs nothing done, nothing is kept.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/plan.h"
#include "engine/run_state.h"
#include "platform/fs.h"

namespace twf {

class TWildcardMask;

class TScanner {
public:
  explicit TScanner(TRunState& run);

  // Reads the exclusion list (an invalid pattern is reported and left out)
  // and finds what is kept out of the mirror in the destination.
  void Prepare();
  int32_t PatternCount() const { return int32_t(FPatterns.size()); }
  int64_t MaxBytes() const { return FMaxBytes; }

  // The whole walk on the run's workers; returns when both trees are done
  // or the run is cancelled.
  void Scan(TPlan& plan);

  // A root that could not be listed: nothing can be judged.
  bool SrcRootFailed() const { return FSrcRootFailed; }
  bool DstRootFailed() const { return FDstRootFailed; }
  // Figures of the "Scan done" line (files and folders met on each side).
  TRunFigures Figures() const;

private:
  struct TWorkItem {
    std::string Rel;
    std::shared_ptr<TDirNode> Node;
    bool SrcPresent = false, DstPresent = false;
    TPairState Inherited;
  };
  struct TWorker; // one thread's masks and buffers

  void Work(TPlan& plan);
  bool Next(TWorkItem& item);
  void Done(std::vector<TWorkItem>& children);
  void Process(TWorker& w, TWorkItem& item, TPlan& plan);
  // Opens and lists rel below root: 0 or an errno.
  int List(int root, const std::string& rel, std::vector<TDirEntry>& entries, TFileInfo* info);
  void Filter(TWorker& w, bool isSource, const std::string& rel, std::vector<TDirEntry>& entries,
              TFolderListing& out);
  bool IsKeptOut(const std::string& rel, const std::string& name) const;
  void Skip(TSkipKind kind, const std::string& path);

  TRunState& FRun;
  std::vector<std::string> FPatterns;
  int64_t FMaxBytes = 0;
  TPlanOptions FPlanOpt;
  std::vector<std::string> FKeptOutRels; // relative folders (a log folder inside the destination)
  bool FDestIsFsRoot = false;            // the top level holds its file system's Trash folders

  std::mutex FQueueLock; // guards the three below
  std::condition_variable FWake;
  std::vector<TWorkItem> FStack; // depth first: the pending list stays small on wide trees
  int32_t FPending = 0;          // folders queued or being worked on
  std::mutex FPlanLock;          // guards the plan while workers merge into it

  std::atomic<int32_t> FSrcDirs{0}, FDstDirs{0};
  std::atomic<bool> FSrcRootFailed{false}, FDstRootFailed{false};
};

} // namespace twf
