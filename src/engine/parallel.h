// The run's worker pool for the apply steps.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

namespace twf {

// Runs body; an exception from it goes to onError with its text (one from
// onError itself is dropped: there is nobody left to tell).
void RunGuarded(const std::function<void()>& body, const std::function<void(const char*)>& onError);

// Runs body(i) for i in [0, count) on up to workers threads (the calling
// thread among them); stops claiming indexes once cancel is non-zero. An
// exception from body goes to onError with its text, and the other indexes
// still run.
void ParallelForEach(int32_t count, int32_t workers, const std::atomic<int32_t>& cancel,
                     const std::function<void(int32_t)>& body, const std::function<void(const char*)>& onError);

} // namespace twf
