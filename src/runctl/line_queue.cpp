#include "runctl/line_queue.h"

namespace twf {

TLineQueue::TLineQueue(size_t capacity) : FRing(capacity > 0 ? capacity : 1) {}

bool TLineQueue::TryPush(const std::string& line) {
  std::lock_guard<std::mutex> g(FLock);
  if (FCount == FRing.size()) {
    FRing[FHead] = line; // the oldest slot becomes the newest
    FHead = (FHead + 1) % FRing.size();
    return false;
  }
  FRing[(FHead + FCount) % FRing.size()] = line;
  ++FCount;
  return true;
}

bool TLineQueue::TryPop(std::string& line) {
  std::lock_guard<std::mutex> g(FLock);
  if (FCount == 0) return false;
  line = std::move(FRing[FHead]);
  FRing[FHead].clear();
  FHead = (FHead + 1) % FRing.size();
  --FCount;
  return true;
}

} // namespace twf
