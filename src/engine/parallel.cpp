#include "engine/parallel.h"

#include <algorithm>
#include <exception>
#include <thread>
#include <vector>

namespace twf {

void RunGuarded(const std::function<void()>& body, const std::function<void(const char*)>& onError) {
  try {
    body();
  } catch (const std::exception& e) {
    try { onError(e.what()); } catch (...) {}
  } catch (...) {
    try { onError("unknown failure"); } catch (...) {}
  }
}

void ParallelForEach(int32_t count, int32_t workers, const std::atomic<int32_t>& cancel,
                     const std::function<void(int32_t)>& body, const std::function<void(const char*)>& onError) {
  if (count <= 0) return;
  const int32_t n = std::max(1, std::min(workers, count));
  auto runOne = [&](int32_t i) { RunGuarded([&] { body(i); }, onError); };
  std::atomic<int32_t> next{0};
  auto worker = [&] {
    while (cancel.load() == 0) {
      const int32_t i = next.fetch_add(1);
      if (i >= count) break;
      runOne(i);
    }
  };
  std::vector<std::thread> threads;
  threads.reserve(size_t(n - 1));
  for (int32_t t = 1; t < n; ++t) threads.emplace_back(worker);
  worker();
  for (auto& t : threads) t.join();
}

} // namespace twf
