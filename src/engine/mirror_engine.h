// One mirror run: scan both trees folder pair by folder pair into a plan,
// check the plan, apply it, report. The parts: scanner (walk and filters),
// planner (the rules, pure), plan, applier (the doing), events (what is
// reported) and the run log that turns the events into lines.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/types.h"

namespace twf {

class IFileSystem;
class TMirrorLogger;
class TRunLog;
class TApplier;
class TArchive;
class TPlan;
class TScanner;
struct TRunState;
enum class TRunPhase : uint8_t;
enum class TCancelPoint : uint8_t;

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
  bool IsCancelled() const;
  TMirrorStats Stats() const;

  const TConfirm& OnConfirm() const { return FOnConfirm; }
  void SetOnConfirm(TConfirm f) { FOnConfirm = std::move(f); }

private:
  bool Start();
  void ShowOptions(const TScanner& scanner);
  bool Scan(TScanner& scanner, TPlan& plan);
  bool Compare(TPlan& plan, TApplier& applier);
  bool CheckPlan(const TPlan& plan);
  bool MassDeleteGuard(int64_t del, int64_t dst);
  bool FreeSpaceCheck(int64_t copyBytes, int64_t overwriteBytes, int64_t deleteBytes, int64_t copies);
  void Apply(TPlan& plan, TApplier& applier);
  void Summary();
  void SetPhase(TRunPhase phase);
  bool ReportCancelled(TCancelPoint point);

  std::unique_ptr<TRunLog> FRunLog;
  std::unique_ptr<TRunState> FRun;
  std::unique_ptr<TArchive> FArchive;
  std::atomic<uint8_t> FPhase;
  TConfirm FOnConfirm;
  int64_t FStartMs = 0;
  // The copies may need the space of the deleted files: the deletes'
  // space is waited for before they start.
  bool FCopiesNeedDeletedSpace = true;
};

} // namespace twf
