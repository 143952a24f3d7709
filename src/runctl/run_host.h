// What run control needs from whoever presents a run: the main window, or
// the headless host of command-line runs on a machine without a display.
//
// Threading contract: PostToUiThread is the only method called from other
// threads. Every other method is called on the UI thread only, and only by
// TRunController (never re-entered from inside one of these calls, except
// that AskYesNo and ShowError may run a nested event loop, during which the
// host keeps delivering posted closures and timer ticks).
//
// Lifetime: the host outlives its TRunController, and keeps running posted
// closures until the controller is destroyed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tasks/task_settings.h"

namespace twf {

// The pages run preparation may bring to the front when it refuses a run.
enum class TMainPage { mpFolders, mpLogging, mpArchive };

enum class TBarStyle { bsNormal, bsMarquee };

// What the caption and the progress bar show. In marquee style Max and
// Position mean nothing.
struct TProgressView {
  std::string Caption;
  TBarStyle Style = TBarStyle::bsNormal;
  int32_t Max = 100;
  int32_t Position = 0;

  bool operator==(const TProgressView&) const = default;
};

// One update of the log pane: append Lines (each followed by CR LF) at the
// end in one insertion, then, when TrimFront > 0, remove the first TrimFront
// lines, then put the caret at the end and scroll it into view.
struct TLogPaneChange {
  std::vector<std::string> Lines;
  int32_t TrimFront = 0;
};

class IRunHost {
public:
  virtual ~IRunHost() = default;

  // ---- thread bridge
  // Any thread. Queues fn to run later on the UI thread, in posting order.
  // Never runs fn inline and never blocks (the caller may be a worker that
  // the UI thread is waiting for).
  virtual void PostToUiThread(std::function<void()> fn) = 0;

  // ---- dialogs (modal)
  // A warning message box with Yes and No, No the default button. True
  // exactly when the user chose Yes.
  virtual bool AskYesNo(const std::string& text) = 0;
  // An error message box with an OK button.
  virtual void ShowError(const std::string& text) = 0;
  // A command-line run was refused; no dialog may be shown. The window does
  // nothing; the headless host prints the text to standard error.
  virtual void ReportSilentRefusal(const std::string& text) { (void)text; }

  // ---- the task values the window's controls hold
  // The task's values as the controls show them now.
  virtual TTaskSettings ReadSettings() = 0;
  // Puts the values into the controls and applies the enabling rules.
  virtual void ApplySettings(const TTaskSettings& values) = 0;
  // The task the window is bound to (FCurrentTask); empty for an unsaved one.
  virtual std::string CurrentTask() = 0;
  virtual void SetCurrentTask(const std::string& name) = 0;
  // "Task: " + text on the task label; the " (modified)" marker follows the text.
  virtual void SetTaskCaption(const std::string& text) = 0;
  // The task name a run reports: the current task, followed by " (modified)"
  // when its stored values differ from the working settings; else the name
  // of a deleted task + " (deleted)"; else "". (TaskDisplayNameFor computes
  // it from the store.)
  virtual std::string TaskDisplayName() = 0;
  // Selects the name in the task list when the list shows it; else no selection.
  virtual void SelectTaskInList(const std::string& name) = 0;

  // ---- the window during a run
  virtual void ActivatePage(TMainPage page) = 0;
  virtual void ClearLogPane() = 0;
  virtual void AppendToLogPane(const TLogPaneChange& change) = 0;
  // Entering: FRunning's controls disabled, Cancel enabled, the progress bar
  // in marquee style at 0. Leaving: the reverse, the bar in normal style at 0.
  virtual void SetRunning(bool running) = 0;
  // The window caption and the progress bar.
  virtual void ShowProgress(const TProgressView& view) = 0;
  // The queued close of the main window (it always comes from a posted
  // closure). Goes through the normal close request; after a command-line
  // run the window closes without asking to save the task. The headless
  // host ends its loop.
  virtual void CloseMainWindow() = 0;
};

} // namespace twf
