// The bounded queue that carries log lines from the run's threads to the
// log pane. Neither end ever waits: a full queue drops its oldest line (it
// is in the log file already), so the pane always ends with the run's latest
// lines, its summary included; an empty queue yields nothing.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace twf {

inline constexpr size_t kLineQueueCapacity = 8192;

class TLineQueue {
public:
  explicit TLineQueue(size_t capacity = kLineQueueCapacity);
  // Any thread. False when the queue was full and its oldest line was
  // dropped to make room.
  bool TryPush(const std::string& line);
  // Any thread. False when the queue is empty.
  bool TryPop(std::string& line);

private:
  std::mutex FLock;
  std::vector<std::string> FRing;
  size_t FHead = 0;
  size_t FCount = 0;
};

} // namespace twf
