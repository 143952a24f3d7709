// What the window shows while a run is going: caption text with phase,
// percentage, speed and time left, the progress bar, and the bookkeeping of
// the log pane. Pure functions, so the window only presents the result.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/types.h"
#include "runctl/run_host.h"

namespace twf {

// At most this many queued lines reach the pane per timer tick.
inline constexpr int32_t kDrainLinesPerTick = 500;
// A pane that grows past kPaneMaxLines is cut back to its last kPaneKeepLines.
inline constexpr int64_t kPaneMaxLines = 6000;
inline constexpr int64_t kPaneKeepLines = 4000;
// The speed is resampled at most once per this many milliseconds.
inline constexpr uint64_t kSpeedSampleMs = 1000;

// The last speed sample. LastTick 0: no sample yet.
struct TSpeedSample {
  int64_t LastBytes = 0;
  uint64_t LastTick = 0;
  double Bps = 0;
};

// One timer tick during a run. nowTick: a millisecond tick (never 0).
// Updates the speed sample; returns the caption and the bar:
//   "<base> - <phase>" while TotalOps is 0 (bar in marquee style), else
//   "<base> - <phase> <p>%" with the bar at DoneOps of TotalOps,
//   then " - <speed>/s" above 1 byte per second, then " - <time> left"
//   while bytes remain.
TProgressView ComputeProgress(const std::string& baseCaption, const TMirrorStats& stats, TSpeedSample& speed,
                              uint64_t nowTick);

// Counts the pane's lines so the cut can be decided without the widget.
class TLogPaneModel {
public:
  void Clear() { FLines = 0; }
  // The change that appends lines, with the cut it makes necessary.
  TLogPaneChange Append(std::vector<std::string> lines);
  int64_t LineCount() const { return FLines; }

private:
  int64_t FLines = 0;
};

} // namespace twf
