// A minimal UI thread for hosts without Qt: the thread that calls Run
// executes posted closures in order and a timer callback at a fixed
// interval, until Quit. The headless host runs on it, and so do tests.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace twf {

class TUiLoop {
public:
  // Any thread; never blocks on the loop and never runs fn inline.
  void Post(std::function<void()> fn);
  // Any thread: Run returns after the closure it is running (if any).
  void Quit();

  // Runs posted closures, and onTick every interval, until Quit.
  void Run(const std::function<void()>& onTick, std::chrono::milliseconds interval);
  // As Run, but also stops as soon as done() holds (checked after every
  // closure and tick) or when timeout has passed; returns done().
  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                const std::function<void()>& onTick = {},
                std::chrono::milliseconds interval = std::chrono::milliseconds(150));

private:
  std::mutex FLock;
  std::condition_variable FWake;
  std::deque<std::function<void()>> FQueue;
  bool FQuit = false;
};

} // namespace twf
