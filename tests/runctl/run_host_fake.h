// A scripted host for the run controller: it records what the window would
// show and answers questions from a list, on a TUiLoop as its UI thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "runctl/run_controller.h"
#include "runctl/run_host.h"
#include "runctl/ui_loop.h"
#include "tasks/settings_store.h"

namespace twf::test {

class TFakeHost : public IRunHost {
public:
  TFakeHost(TUiLoop& loop, TSettingsStore& store) : FLoop(loop), FStore(store) {}

  // What the controls hold.
  TTaskSettings Values;
  std::string Current;
  std::string Suggest;

  // Answers for AskYesNo in order; No once they run out.
  std::deque<bool> Answers;

  // What was shown.
  std::vector<std::string> Questions, Errors, Refusals, Captions, Selected;
  std::vector<TMainPage> Pages;
  std::vector<std::string> Pane;
  std::vector<size_t> AppendSizes;
  std::vector<bool> RunningStates;
  std::vector<TProgressView> Views;
  int Closes = 0;
  int Clears = 0;

  // Closures posted from any thread so far.
  int Posted() {
    std::lock_guard<std::mutex> g(FPostLock);
    return FPosted;
  }
  // Blocks the calling (test) thread until more than `count` closures were posted.
  void WaitPostedMoreThan(int count) {
    std::unique_lock<std::mutex> g(FPostLock);
    FPostCv.wait(g, [&] { return FPosted > count; });
  }

  void PostToUiThread(std::function<void()> fn) override {
    FLoop.Post(std::move(fn));
    std::lock_guard<std::mutex> g(FPostLock);
    ++FPosted;
    FPostCv.notify_all();
  }
  bool AskYesNo(const std::string& text) override {
    Questions.push_back(text);
    if (Answers.empty()) return false;
    bool a = Answers.front();
    Answers.pop_front();
    return a;
  }
  void ShowError(const std::string& text) override { Errors.push_back(text); }
  void ReportSilentRefusal(const std::string& text) override { Refusals.push_back(text); }
  TTaskSettings ReadSettings() override { return Values; }
  void ApplySettings(const TTaskSettings& v) override { Values = v; }
  std::string CurrentTask() override { return Current; }
  void SetCurrentTask(const std::string& name) override { Current = name; }
  void SetTaskCaption(const std::string& text) override { Captions.push_back(text); }
  std::string TaskDisplayName() override { return TaskDisplayNameFor(FStore, Current, Suggest); }
  void SelectTaskInList(const std::string& name) override { Selected.push_back(name); }
  void ActivatePage(TMainPage page) override { Pages.push_back(page); }
  void ClearLogPane() override {
    Pane.clear();
    ++Clears;
  }
  void AppendToLogPane(const TLogPaneChange& change) override {
    AppendSizes.push_back(change.Lines.size());
    Pane.insert(Pane.end(), change.Lines.begin(), change.Lines.end());
    Pane.erase(Pane.begin(), Pane.begin() + change.TrimFront);
  }
  void SetRunning(bool running) override { RunningStates.push_back(running); }
  void ShowProgress(const TProgressView& view) override { Views.push_back(view); }
  void CloseMainWindow() override { ++Closes; }

private:
  TUiLoop& FLoop;
  TSettingsStore& FStore;
  std::mutex FPostLock;
  std::condition_variable FPostCv;
  int FPosted = 0;
};

} // namespace twf::test
