#include "tasks/window_state.h"

#include <algorithm>

#include "tasks/task_settings.h"

namespace twf {

bool SaveWindowState(TSettingsStore& store, const TWindowState& state) {
  return store.Transact([&] {
    std::optional<TSettingsKey> root = store.OpenKey(kRootKey);
    if (!root) return false;
    bool ok = root->WriteInteger("WinMaximized", state.Maximized ? 1 : 0);
    if (state.Normal) {
      ok = ok && root->WriteInteger("WinLeft", state.Bounds.Left) && root->WriteInteger("WinTop", state.Bounds.Top) &&
           root->WriteInteger("WinWidth", state.Bounds.Width) && root->WriteInteger("WinHeight", state.Bounds.Height);
    }
    return ok && root->WriteInteger("SplitterPos", state.SplitterPos) && root->WriteString("LastTask", state.LastTask);
  });
}

bool SaveLastTask(TSettingsStore& store, const std::string& task) {
  std::optional<TSettingsKey> root = store.OpenKey(kRootKey);
  return root && root->WriteString("LastTask", task);
}

namespace {

// Keeps an edge reachable when the monitor it was on is gone.
int ClampEdge(int edge, int desktopStart, int desktopSize) {
  return std::clamp(edge, desktopStart, std::max(desktopStart, desktopStart + desktopSize - kDesktopMargin));
}

} // namespace

bool LoadWindowState(TSettingsStore& store, const TWindowRect& desktop, const TWindowRect& current,
                     int currentSplitter, const std::vector<std::string>& allTasks, TWindowRestore& out) {
  const std::optional<TSettingsKey> root = store.OpenKeyReadOnly(kRootKey);
  if (!root) return false;
  TWindowRestore r;
  r.Bounds = current;
  if (root->GetValueType("WinWidth") == TValueType::vtInteger &&
      root->GetValueType("WinHeight") == TValueType::vtInteger) {
    r.HasBounds = true;
    r.Bounds.Width = std::max(ReadIntegerDef(*root, "WinWidth", current.Width), kWindowMinWidth);
    r.Bounds.Height = std::max(ReadIntegerDef(*root, "WinHeight", current.Height), kWindowMinHeight);
    r.Bounds.Left = ClampEdge(ReadIntegerDef(*root, "WinLeft", current.Left), desktop.Left, desktop.Width);
    r.Bounds.Top = ClampEdge(ReadIntegerDef(*root, "WinTop", current.Top), desktop.Top, desktop.Height);
  }
  r.SplitterPos = std::clamp(ReadIntegerDef(*root, "SplitterPos", currentSplitter), kSplitterMin, kSplitterMax);
  r.CurrentTask = ReadStringDef(*root, "LastTask", "");
  if (!r.CurrentTask.empty()) {
    const auto it = std::find_if(allTasks.begin(), allTasks.end(),
                                 [&](const std::string& n) { return SameKeyName(n, r.CurrentTask); });
    if (it == allTasks.end()) {
      r.CurrentTask.clear();
    } else {
      r.TaskIndex = static_cast<int>(it - allTasks.begin());
      r.Modified = !SettingsMatchTask(store, r.CurrentTask);
    }
  }
  r.Maximized = ReadBoolDef(*root, "WinMaximized", false);
  out = std::move(r);
  return true;
}

} // namespace twf
