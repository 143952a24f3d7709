// The run log: the one place where a run's events become the lines of the
// log file, the window's log pane and a command-line run's output.
#pragma once

#include <string>

#include "engine/events.h"

namespace twf {

class TMirrorLogger;

class TRunLog : public IRunObserver {
public:
  // log may be null (nothing is written); ops selects the per-item lines.
  TRunLog(TMirrorLogger* log, TLogOps ops) : FLog(log), FOps(ops) {}
  void OnEvent(const TRunEvent& e) override;

  // The line of an event, without its timestamp; empty when the event has
  // none (or the selected operations leave it out).
  std::string LineOf(const TRunEvent& e) const;

private:
  std::string ErrorText(const TRunEvent& e) const;
  std::string ItemLine(const TRunEvent& e) const;
  void Header(const TRunEvent& e);
  void OptionLines(const TRunEvent& e);
  void SummaryLines(const TRunEvent& e);
  void Write(const std::string& line);

  TMirrorLogger* FLog;
  TLogOps FOps;
};

} // namespace twf
