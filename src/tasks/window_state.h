// The window's placement, splitter and current task, kept in the root key
// between sessions. Pure data in and out: the window applies the result.
#pragma once

#include <string>
#include <vector>

#include "tasks/settings_store.h"

namespace twf {

struct TWindowRect {
  int Left = 0;
  int Top = 0;
  int Width = 0;
  int Height = 0;
};

inline constexpr int kWindowMinWidth = 860;
inline constexpr int kWindowMinHeight = 600;
inline constexpr int kSplitterMin = 120;
inline constexpr int kSplitterMax = 600;
// A restored window keeps at least this much of its left and top edge on the desktop.
inline constexpr int kDesktopMargin = 200;

struct TWindowState {
  bool Maximized = false;
  // Neither maximized nor minimized: only then are the bounds written, so a
  // maximized window keeps its last normal bounds for the next start.
  bool Normal = true;
  TWindowRect Bounds;
  int SplitterPos = 0;  // width of the task list panel
  std::string LastTask; // the current task, empty for an unsaved one
};

// Writes WinMaximized, WinLeft..WinHeight (normal state only), SplitterPos, LastTask.
bool SaveWindowState(TSettingsStore& store, const TWindowState& state);

// Writes LastTask alone: a run without a window keeps the current task in
// step with the working settings it saves.
bool SaveLastTask(TSettingsStore& store, const std::string& task);

struct TWindowRestore {
  bool HasBounds = false; // take Bounds and stop centring the window
  TWindowRect Bounds;
  int SplitterPos = 0;
  std::string CurrentTask; // empty: no current task
  int TaskIndex = -1;      // CurrentTask's item in the task list
  bool Modified = false;   // caption gets " (modified)"
  bool Maximized = false;
};

// Reads the window state. desktop is the virtual desktop spanning all
// monitors; current and currentSplitter are used for absent values; allTasks
// is the task list. False (out unchanged) when the root key cannot be read.
bool LoadWindowState(TSettingsStore& store, const TWindowRect& desktop, const TWindowRect& current,
                     int currentSplitter, const std::vector<std::string>& allTasks, TWindowRestore& out);

} // namespace twf
