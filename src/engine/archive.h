// The archive of displaced files: what a run deletes or overwrites is moved
// to <archive>/<run time>/deleted or /changed, under its relative path.
#pragma once

#include <mutex>
#include <string>

#include "engine/run_state.h"

namespace twf {

class TArchive {
public:
  enum class TKind { Deleted, Changed };

  // stamp: the run's start, local time, "yyyy-mm-dd_hh-nn-ss".
  TArchive(TRunState& run, const std::string& stamp);
  ~TArchive();
  TArchive(const TArchive&) = delete;
  TArchive& operator=(const TArchive&) = delete;

  // The run folder (as planned; another name once it was taken).
  const std::string& RunPath() const { return FRunPath; }
  // Moves name from the open destination folder dir into the archive;
  // false when it failed (reported).
  bool Move(int dir, const std::string& name, const std::string& rel, TKind kind);
  // Moves what Move put into the archive back to name in dir, uncounted;
  // false when it stays in the archive. Reports nothing.
  bool Restore(int dir, const std::string& name, const std::string& rel, TKind kind);

private:
  int RunDir(int& fd);
  int OpenFolder(const std::string& relDir, int& fd);

  TRunState& FRun;
  std::string FStamp;
  std::mutex FLock; // guards the four below
  std::string FRunPath;
  bool FTried = false;
  int FRunFd = -1, FRunErr = 0;
};

} // namespace twf
