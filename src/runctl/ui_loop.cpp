#include "runctl/ui_loop.h"

namespace twf {

void TUiLoop::Post(std::function<void()> fn) {
  {
    std::lock_guard<std::mutex> g(FLock);
    FQueue.push_back(std::move(fn));
  }
  FWake.notify_one();
}

void TUiLoop::Quit() {
  {
    std::lock_guard<std::mutex> g(FLock);
    FQuit = true;
  }
  FWake.notify_one();
}

void TUiLoop::Run(const std::function<void()>& onTick, std::chrono::milliseconds interval) {
  RunUntil([] { return false; }, std::chrono::milliseconds::max(), onTick, interval);
}

bool TUiLoop::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                       const std::function<void()>& onTick, std::chrono::milliseconds interval) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline =
      timeout >= std::chrono::hours(24 * 365) ? Clock::time_point::max() : start + timeout;
  Clock::time_point nextTick = start + interval;
  for (;;) {
    if (done()) return true;
    std::function<void()> fn;
    {
      std::unique_lock<std::mutex> g(FLock);
      FWake.wait_until(g, std::min(nextTick, deadline), [&] { return FQuit || !FQueue.empty(); });
      if (FQuit) {
        FQuit = false;
        return done();
      }
      if (!FQueue.empty()) {
        fn = std::move(FQueue.front());
        FQueue.pop_front();
      }
    }
    // A steady stream of closures must not starve the timer.
    if (fn) fn();
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return done();
    if (now >= nextTick) {
      nextTick = now + interval;
      if (onTick) onTick();
    }
  }
}

} // namespace twf
