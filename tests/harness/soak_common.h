// What the soak's helper programs share: a stop flag set by SIGTERM, a
// millisecond clock and one-line reports on standard output.
#pragma once

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

namespace twf::soak {

inline std::atomic<bool> gStop{false};
extern "C" inline void OnTerm(int) { gStop = true; }

inline int64_t MsSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
}

inline void Say(const std::string& line) {
  const std::string text = line + "\n";
  (void)!write(STDOUT_FILENO, text.data(), text.size());
}

} // namespace twf::soak
