#include "platform/release.h"

#include <liburing.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace twf {

namespace {
constexpr unsigned kEntries = 128;
// Closes under way at most, per thread: each holds back the space of one
// file. One more is closed by its caller at once.
constexpr unsigned kMaxInFlight = 128;
// Closes handed to the kernel together: one system call for several.
constexpr unsigned kBatch = 8;
// Kernel threads closing at once for one thread: more do not make a
// device answer faster.
constexpr unsigned kKernelWorkers = 4;
// Larger files are closed at once: a copy that follows may need their
// space, and their release is small beside the copying anyway.
constexpr int64_t kMaxBackgroundBytes = int64_t(1) << 20;
// A close that takes longer than this is not waited for any more.
constexpr long long kWaitSeconds = 10;

// One thread's closes. Only that thread adds; any thread may wait for them.
class TRing {
public:
  ~TRing() {
    if (FReady) io_uring_queue_exit(&FRing);
  }

  // False when fd was not taken.
  bool Add(int fd) {
    std::lock_guard<std::mutex> g(FLock);
    if (!Ready()) return false;
    Reap(false);
    if (FInFlight + FQueued >= kMaxInFlight) {
      Submit();
      if (!Reap(true)) return false;
    }
    io_uring_sqe* sqe = io_uring_get_sqe(&FRing);
    if (!sqe) return false;
    io_uring_prep_close(sqe, fd);
    // Done by a kernel worker, not inline: the last close's work happens
    // there too, and not on this thread's way back from the call.
    sqe->flags |= IOSQE_ASYNC;
    io_uring_sqe_set_data64(sqe, uint64_t(fd));
    if (++FQueued >= kBatch) Submit();
    return true;
  }

  // Afterwards the ring is given back to the kernel when nothing is left
  // under way; the next Add makes a new one.
  bool WaitAll() {
    std::lock_guard<std::mutex> g(FLock);
    if (!FReady) return false;
    Submit();
    const bool any = FInFlight > 0;
    while (FInFlight > 0 && Reap(true)) {
    }
    if (FInFlight == 0 && !FBroken) {
      io_uring_queue_exit(&FRing);
      FRing = io_uring{};
      FReady = false;
    }
    return any;
  }

private:
  bool Ready() {
    if (FBroken) return false;
    if (!FReady) {
      if (io_uring_queue_init(kEntries, &FRing, 0) != 0) {
        FBroken = true;
        return false;
      }
      FReady = true;
      unsigned workers[2] = {kKernelWorkers, kKernelWorkers}; // bounded, unbounded
      io_uring_register_iowq_max_workers(&FRing, workers);
    }
    return true;
  }

  void Submit() {
    if (FQueued == 0) return;
    const int n = io_uring_submit(&FRing);
    if (n > 0) FInFlight += std::min(unsigned(n), FQueued);
    // What the kernel did not take stays in the ring and may still be
    // taken by a later call, so it is never closed here as well (its
    // number may be another file's by then): it stays open until the
    // process ends, and the ring takes nothing more.
    if (n < 0 || unsigned(n) < FQueued) FBroken = true;
    FQueued = 0;
  }

  // Takes the completions there are; with wait, first waits for one.
  // False when waiting gave none.
  bool Reap(bool wait) {
    io_uring_cqe* cqe = nullptr;
    if (wait) {
      __kernel_timespec limit{kWaitSeconds, 0};
      int err;
      do err = io_uring_wait_cqe_timeout(&FRing, &cqe, &limit);
      while (err == -EINTR);
      if (err != 0 || !cqe) return false;
    }
    while (FInFlight > 0 && (cqe || (io_uring_peek_cqe(&FRing, &cqe) == 0 && cqe))) {
      // A kernel without the close operation leaves the descriptor open.
      if (cqe->res < 0 && cqe->res != -EBADF) {
        close(int(io_uring_cqe_get_data64(cqe)));
        FBroken = true;
      }
      io_uring_cqe_seen(&FRing, cqe);
      cqe = nullptr;
      --FInFlight;
    }
    return true;
  }

  std::mutex FLock;
  io_uring FRing{};
  bool FReady = false;
  bool FBroken = false;
  unsigned FInFlight = 0; // handed to the kernel, not completed
  unsigned FQueued = 0;   // prepared, not yet handed over
};

// Every thread's ring, for WaitForReleases. Never destroyed: a close may
// still be under way when the process ends, and the kernel finishes it.
struct TRegistry {
  std::mutex Lock;
  std::vector<std::shared_ptr<TRing>> Rings;
};

TRegistry& Registry() {
  static TRegistry* registry = new TRegistry;
  return *registry;
}

// A thread's closes are waited for when it ends (the kernel would wait for
// them anyway), and its ring leaves the registry then.
struct TThreadRing {
  std::shared_ptr<TRing> Ring;
  ~TThreadRing() {
    if (!Ring) return;
    Ring->WaitAll();
    TRegistry& r = Registry();
    std::lock_guard<std::mutex> g(r.Lock);
    r.Rings.erase(std::remove(r.Rings.begin(), r.Rings.end(), Ring), r.Rings.end());
  }
};

TRing* ThisThreadsRing() {
  thread_local TThreadRing mine;
  if (!mine.Ring) {
    try {
      auto ring = std::make_shared<TRing>();
      TRegistry& r = Registry();
      std::lock_guard<std::mutex> g(r.Lock);
      r.Rings.push_back(ring);
      mine.Ring = std::move(ring);
    } catch (...) {
      return nullptr;
    }
  }
  return mine.Ring.get();
}
} // namespace

void ReleaseLater(int fd) {
  if (fd < 0) return;
  struct stat st;
  const bool background = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 0 &&
                          int64_t(st.st_blocks) * 512 <= kMaxBackgroundBytes;
  TRing* ring = background ? ThisThreadsRing() : nullptr;
  if (!ring || !ring->Add(fd)) close(fd);
}

bool WaitForReleases() {
  std::vector<std::shared_ptr<TRing>> rings;
  {
    TRegistry& r = Registry();
    std::lock_guard<std::mutex> g(r.Lock);
    rings = r.Rings;
  }
  bool any = false;
  for (const auto& ring : rings) any = ring->WaitAll() || any;
  return any;
}

} // namespace twf
