// The window as the shared-store soak keeps it running (store_soak.py):
// the real main window on the store of $HOME / $XDG_CONFIG_HOME, offscreen,
// with dialogs that never block. Every tick it changes the working settings
// it holds (Source "/soak/window/<n>", Dest "/soak/window/<n>-dst", Workers
// 1 + n % 16) and saves them, now and then loads one of the tasks named on
// its command line, and every few seconds closes and reopens the window, so
// its start (loading) and its end (saving the window state and the working
// settings) run against the store again and again. SIGTERM closes it.
//
// Prints "open <ms>" for the store, "create <ms>" and "close <ms>" for the
// window, and "save <n> <ms>" for each save.
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tasks/settings_store.h"
#include "tasks/task_settings.h"
#include "ui/main_window.h"
#include "soak_common.h"
#include "ui_test_support.h"

using namespace twf;

namespace {

using soak::gStop;
using soak::MsSince;
using soak::OnTerm;
using soak::Say;

} // namespace

int main(int argc, char** argv) {
  struct sigaction sa {};
  sa.sa_handler = OnTerm;
  sigaction(SIGTERM, &sa, nullptr);
  QApplication app(argc, argv);
  std::vector<std::string> tasks(argv + 1, argv + argc);
  std::mt19937 rng{static_cast<unsigned>(getpid())};

  auto t0 = std::chrono::steady_clock::now();
  TSettingsStore store(TSettingsStore::DefaultPath(TConfigHome::chEnvironment));
  Say("open " + std::to_string(MsSince(t0)) + (store.IsOpen() ? "" : " closed") +
      (store.SetAsidePath().empty() ? "" : " set-aside"));
  if (!store.IsOpen()) return 2;

  test::TScriptedDialogs dialogs;
  std::unique_ptr<ui::TfrmTwinfoldMain> window;
  auto create = [&] {
    const auto t = std::chrono::steady_clock::now();
    window = std::make_unique<ui::TfrmTwinfoldMain>(dialogs, store);
    window->show();
    Say("create " + std::to_string(MsSince(t)));
  };
  auto close = [&] {
    const auto t = std::chrono::steady_clock::now();
    window.reset();
    Say("close " + std::to_string(MsSince(t)));
  };
  create();

  int n = 0;
  QTimer tick;
  tick.setInterval(100);
  QObject::connect(&tick, &QTimer::timeout, [&] {
    if (gStop) {
      tick.stop();
      close();
      app.quit();
      return;
    }
    ++n;
    if (n % 25 == 0) {
      close();
      create();
      return;
    }
    if (!tasks.empty() && n % 7 == 0) {
      window->LoadSettings(TaskKeyPath(tasks[rng() % tasks.size()]));
      return;
    }
    TTaskSettings v = window->ReadSettings();
    v.Source = "/soak/window/" + std::to_string(n);
    v.Dest = v.Source + "-dst";
    v.Workers = 1 + n % 16;
    window->ApplySettings(v);
    const auto t = std::chrono::steady_clock::now();
    window->SaveSettings(kRootKey);
    Say("save " + std::to_string(n) + " " + std::to_string(MsSince(t)));
  });
  tick.start();
  app.exec();
  for (const QString& problem : dialogs.Problems) Say("dialog " + problem.toStdString());
  return 0;
}
