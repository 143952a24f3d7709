#include "runctl/progress.h"

#include "engine/text.h"
#include "log/logger.h"
#include "runctl/machine_text.h"

namespace twf {

TProgressView ComputeProgress(const std::string& baseCaption, const TMirrorStats& st, TSpeedSample& speed,
                              uint64_t nowTick) {
  TProgressView view;
  if (st.TotalOps > 0) {
    view.Style = TBarStyle::bsNormal;
    view.Max = st.TotalOps;
    view.Position = st.DoneOps;
  } else {
    view.Style = TBarStyle::bsMarquee;
    view.Max = 100;
    view.Position = 0;
  }

  // The speed is the average over the last window of at least a second, so
  // short bursts do not make it jump.
  if (speed.LastTick == 0) {
    speed.LastTick = nowTick;
    speed.LastBytes = st.BytesCopied;
  } else if (nowTick - speed.LastTick >= kSpeedSampleMs) {
    speed.Bps = double(st.BytesCopied - speed.LastBytes) * 1000.0 / double(nowTick - speed.LastTick);
    speed.LastTick = nowTick;
    speed.LastBytes = st.BytesCopied;
  }

  if (st.TotalOps > 0) {
    const int64_t pct = RoundHalfEven(double(st.DoneOps) * 100.0 / double(st.TotalOps));
    view.Caption = FormatText("%s - %s %lld%%", baseCaption.c_str(), st.Phase.c_str(), (long long)pct);
  } else {
    view.Caption = baseCaption + " - " + st.Phase;
  }
  if (speed.Bps > 1.0) {
    view.Caption += " - " + FormatSize(RoundHalfEven(speed.Bps)) + "/s";
    const int64_t remaining = st.TotalBytes - st.BytesCopied;
    if (remaining > 0) view.Caption += " - " + FormatDuration(double(remaining) / speed.Bps) + " left";
  }
  return view;
}

TLogPaneChange TLogPaneModel::Append(std::vector<std::string> lines) {
  TLogPaneChange change;
  FLines += int64_t(lines.size());
  change.Lines = std::move(lines);
  if (FLines > kPaneMaxLines) {
    change.TrimFront = int32_t(FLines - kPaneKeepLines);
    FLines = kPaneKeepLines;
  }
  return change;
}

} // namespace twf
