#include <gtest/gtest.h>

#include "tasks/task_settings.h"
#include "tasks/test_env.h"
#include "tasks/window_state.h"

namespace twf {
namespace {

class WindowStateTest : public test::TTempHome {
protected:
  const TWindowRect kDesktop{0, 0, 1920, 1080};
  const TWindowRect kCurrent{100, 100, 900, 650};
  const std::vector<std::string> kTasks{"Alpha", "Nightly"};

  TWindowRestore Restore(TSettingsStore& store, int splitter = 250) {
    TWindowRestore r;
    EXPECT_TRUE(LoadWindowState(store, kDesktop, kCurrent, splitter, kTasks, r));
    return r;
  }
};

TEST_F(WindowStateTest, AMaximizedWindowKeepsItsLastNormalBounds) {
  TSettingsStore store(StorePath());
  TWindowState normal;
  normal.Bounds = {40, 30, 1000, 700};
  normal.SplitterPos = 200;
  ASSERT_TRUE(SaveWindowState(store, normal));
  TWindowState maximized;
  maximized.Maximized = true;
  maximized.Normal = false;
  maximized.Bounds = {0, 0, 1920, 1080};
  maximized.SplitterPos = 300;
  ASSERT_TRUE(SaveWindowState(store, maximized));

  const TWindowRestore r = Restore(store);
  EXPECT_TRUE(r.HasBounds);
  EXPECT_EQ(r.Bounds.Left, 40);
  EXPECT_EQ(r.Bounds.Width, 1000);
  EXPECT_TRUE(r.Maximized);
  EXPECT_EQ(r.SplitterPos, 300);
}

TEST_F(WindowStateTest, BoundsAndSplitterAreClamped) {
  struct Case {
    const char* what;
    TWindowRect saved;
    int splitter;
    TWindowRect want;
    int wantSplitter;
  } cases[] = {
      {"as saved", {10, 20, 1000, 700}, 200, {10, 20, 1000, 700}, 200},
      {"below the minimum size", {10, 20, 300, 200}, 200, {10, 20, 860, 600}, 200},
      {"monitor removed on the right", {5000, 3000, 1000, 700}, 200, {1720, 880, 1000, 700}, 200},
      {"left of the desktop", {-900, -50, 1000, 700}, 200, {0, 0, 1000, 700}, 200},
      {"narrow splitter", {10, 20, 1000, 700}, 50, {10, 20, 1000, 700}, 120},
      {"wide splitter", {10, 20, 1000, 700}, 900, {10, 20, 1000, 700}, 600},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TSettingsStore store(StorePath());
    TWindowState state;
    state.Bounds = c.saved;
    state.SplitterPos = c.splitter;
    ASSERT_TRUE(SaveWindowState(store, state));
    const TWindowRestore r = Restore(store);
    EXPECT_EQ(r.Bounds.Left, c.want.Left);
    EXPECT_EQ(r.Bounds.Top, c.want.Top);
    EXPECT_EQ(r.Bounds.Width, c.want.Width);
    EXPECT_EQ(r.Bounds.Height, c.want.Height);
    EXPECT_EQ(r.SplitterPos, c.wantSplitter);
  }
  // A desktop narrower than the margin keeps the window at its left edge.
  TSettingsStore store(StorePath());
  TWindowRestore r;
  ASSERT_TRUE(LoadWindowState(store, {-100, 0, 150, 150}, kCurrent, 250, kTasks, r));
  EXPECT_EQ(r.Bounds.Left, -100);
}

TEST_F(WindowStateTest, WithoutSavedSizeTheWindowStaysWhereItIs) {
  TSettingsStore store(StorePath());
  store.OpenKey("")->WriteInteger("WinWidth", 1000); // no WinHeight
  const TWindowRestore r = Restore(store, 333);
  EXPECT_FALSE(r.HasBounds);
  EXPECT_EQ(r.SplitterPos, 333);
  EXPECT_FALSE(r.Maximized);
  EXPECT_TRUE(r.CurrentTask.empty());
}

TEST_F(WindowStateTest, TheLastTaskIsRestoredWhenItStillExists) {
  TSettingsStore store(StorePath());
  TTaskSettings s;
  s.Source = "/a";
  SaveSettings(store, TaskKeyPath("Nightly"), s);
  SaveSettings(store, kRootKey, s);
  TWindowState state;
  state.LastTask = "NIGHTLY";
  SaveWindowState(store, state);

  TWindowRestore r = Restore(store);
  EXPECT_EQ(r.CurrentTask, "NIGHTLY");
  EXPECT_EQ(r.TaskIndex, 1);
  EXPECT_FALSE(r.Modified);

  s.Source = "/b";
  SaveSettings(store, kRootKey, s);
  r = Restore(store);
  EXPECT_TRUE(r.Modified);

  state.LastTask = "Deleted meanwhile";
  SaveWindowState(store, state);
  r = Restore(store);
  EXPECT_TRUE(r.CurrentTask.empty());
  EXPECT_EQ(r.TaskIndex, -1);
}

} // namespace
} // namespace twf
