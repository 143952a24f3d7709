#include "platform/release.h"
#include "platform/fs.h"

#include <fcntl.h>
#include <liburing.h>
#include <linux/magic.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace twf {

namespace {
using TClock = std::chrono::steady_clock;

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
// WaitForReleases waits this long at most.
constexpr auto kWaitAtMost = std::chrono::seconds(10);

// A forked child: the rings it inherited are its parent's, never touched,
// and it takes no holds.
std::atomic<bool> gForked{false};
const bool gForkWatched = pthread_atfork(nullptr, nullptr, [] { gForked = true; }) == 0;

// Whether this kernel lets this process close in the background: an
// io_uring with the close operation, run in workers that are this
// process's threads (Linux 5.12 on, so the last close's work happens in
// them), and waits that never submit anything (a timed wait takes its
// limit as an argument). Asked once.
bool KernelCanRelease() {
#if defined(__SANITIZE_THREAD__)
  // The thread checker cannot see a close the kernel makes: it would take
  // every later use of the same descriptor number for a race.
  return false;
#endif
  static const bool can = [] {
    io_uring ring;
    if (io_uring_queue_init(2, &ring, 0) != 0) return false;
    io_uring_probe* probe = io_uring_get_probe_ring(&ring);
    const unsigned need = IORING_FEAT_NATIVE_WORKERS | IORING_FEAT_EXT_ARG;
    const bool ok = probe && io_uring_opcode_supported(probe, IORING_OP_CLOSE) && (ring.features & need) == need;
    if (probe) io_uring_free_probe(probe);
    io_uring_queue_exit(&ring);
    return ok;
  }();
  return can;
}

// Holds open now, against a share of the descriptor limit.
std::atomic<int64_t> gHolds{0};

int64_t MaxHolds() {
  static const int64_t limit = [] {
    const int64_t files = OpenFileLimit();
    return std::clamp<int64_t>((files > 0 ? files : 1024) / 8, 8, 1024);
  }();
  return limit;
}

void CloseHold(int fd) {
  close(fd);
  gHolds.fetch_sub(1, std::memory_order_relaxed);
}

// Local file systems that free a file's blocks on its last close; a
// network or FUSE one may do otherwise (NFS renames a file removed while
// open, and removes it only on the close).
bool FreesOnLastClose(int dir) {
  struct statfs fs;
  if (fstatfs(dir, &fs) != 0) return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
  case EXT4_SUPER_MAGIC: // ext2, ext3 and ext4 share it
  case XFS_SUPER_MAGIC:
  case BTRFS_SUPER_MAGIC:
  case F2FS_SUPER_MAGIC:
  case TMPFS_MAGIC:
    return true;
  default:
    return false;
  }
}

// One thread's closes. Only that thread adds; any thread may wait for them.
class TRing {
public:
  ~TRing() { Exit(); }

  // False when fd was not taken.
  bool Add(int fd) {
    std::lock_guard<std::mutex> g(FLock);
    if (!Ready()) return false;
    Reap(TClock::time_point::min());
    if (FInFlight + FQueued >= kMaxInFlight) {
      Submit();
      if (FBroken || !Reap(TClock::now() + kWaitAtMost)) return false;
    }
    io_uring_sqe* sqe = io_uring_get_sqe(&FRing);
    if (!sqe) return false;
    io_uring_prep_close(sqe, fd);
    // Done by a kernel worker, not inline: the last close's work happens
    // there too, and not on this thread's way back from the call.
    sqe->flags |= IOSQE_ASYNC;
    io_uring_sqe_set_data64(sqe, uint64_t(fd));
    FQueuedFds[FQueued] = fd;
    if (++FQueued >= kBatch) Submit();
    return true;
  }

  // Afterwards the ring is given back to the kernel when nothing is left
  // under way; the next Add makes a new one.
  bool WaitAll(TClock::time_point deadline) {
    std::lock_guard<std::mutex> g(FLock);
    if (!FReady) return false;
    Submit();
    const bool any = FInFlight > 0;
    while (FInFlight > 0 && Reap(deadline)) {
    }
    if (FInFlight == 0) Exit();
    return any;
  }

  bool Idle() {
    std::lock_guard<std::mutex> g(FLock);
    return FInFlight == 0;
  }

private:
  bool Ready() {
    if (FBroken || FStalled) return false;
    if (FReady) return true;
    if (io_uring_queue_init(kEntries, &FRing, 0) != 0) return false; // this time
    FReady = true;
    unsigned workers[2] = {kKernelWorkers, kKernelWorkers}; // bounded, unbounded
    io_uring_register_iowq_max_workers(&FRing, workers);
    return true;
  }

  // Once a submission fell short nothing more is submitted: the entries
  // left in the ring would go with the next one.
  void Submit() {
    if (FQueued == 0 || FBroken) return;
    const int n = io_uring_submit(&FRing);
    const unsigned taken = n > 0 ? std::min(unsigned(n), FQueued) : 0;
    FInFlight += taken;
    // What the kernel did not take stays in the ring, where a later call
    // could still take it: those are closed only once the ring is gone
    // (their numbers must not be another file's by then).
    for (unsigned i = taken; i < FQueued; ++i) FUntaken.push_back(FQueuedFds[i]);
    if (taken < FQueued) FBroken = true;
    FQueued = 0;
  }

  // Takes the completions there are, after waiting for the first one until
  // deadline (not at all for time_point::min). False when the wait gave none.
  bool Reap(TClock::time_point deadline) {
    io_uring_cqe* cqe = nullptr;
    if (deadline != TClock::time_point::min()) {
      int err;
      do {
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - TClock::now()).count();
        if (left <= 0) return false;
        __kernel_timespec limit{left / 1000000000, left % 1000000000};
        err = io_uring_wait_cqe_timeout(&FRing, &cqe, &limit);
      } while (err == -EINTR);
      if (err != 0 || !cqe) {
        // A device that does not answer: later files are closed by their
        // callers, not queued behind these.
        if (err == -ETIME) FStalled = true;
        return false;
      }
    }
    while (FInFlight > 0 && (cqe || (io_uring_peek_cqe(&FRing, &cqe) == 0 && cqe))) {
      const int fd = int(io_uring_cqe_get_data64(cqe));
      // A close the kernel refused before taking the descriptor leaves it open.
      if (cqe->res < 0 && cqe->res != -EBADF) close(fd);
      gHolds.fetch_sub(1, std::memory_order_relaxed);
      io_uring_cqe_seen(&FRing, cqe);
      cqe = nullptr;
      --FInFlight;
    }
    return true;
  }

  // Gives the ring back; only with nothing in flight (or at the end).
  void Exit() {
    if (!FReady) return;
    io_uring_queue_exit(&FRing);
    FRing = io_uring{};
    FReady = false;
    for (int fd : FUntaken) CloseHold(fd);
    FUntaken.clear();
  }

  std::mutex FLock;
  io_uring FRing{};
  bool FReady = false;
  bool FBroken = false;
  bool FStalled = false;
  unsigned FInFlight = 0; // handed to the kernel, not completed
  unsigned FQueued = 0;   // prepared, not yet handed over
  int FQueuedFds[kBatch] = {};
  std::vector<int> FUntaken;
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
    if (!Ring || gForked.load()) return;
    Ring->WaitAll(TClock::now() + kWaitAtMost);
    // Closes still under way keep their ring, for good: giving it back
    // would cancel them and leave their descriptors open.
    if (!Ring->Idle()) return;
    TRegistry& r = Registry();
    std::lock_guard<std::mutex> g(r.Lock);
    r.Rings.erase(std::remove(r.Rings.begin(), r.Rings.end(), Ring), r.Rings.end());
  }
};

TRing* ThisThreadsRing() {
  thread_local TThreadRing mine;
  if (!mine.Ring) {
    if (!gForkWatched) return nullptr;
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

int HoldBeforeRemoving(int dir, const char* name) {
  if (gForked.load(std::memory_order_relaxed) || !KernelCanRelease()) return -1;
  if (gHolds.fetch_add(1, std::memory_order_relaxed) >= MaxHolds() || !FreesOnLastClose(dir)) {
    gHolds.fetch_sub(1, std::memory_order_relaxed);
    return -1;
  }
  const int fd = openat(dir, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) gHolds.fetch_sub(1, std::memory_order_relaxed);
  return fd;
}

void ReleaseNow(int hold) {
  if (hold >= 0) CloseHold(hold);
}

void ReleaseLater(int hold) {
  if (hold < 0) return;
  struct stat st;
  const bool background = fstat(hold, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 0 &&
                          int64_t(st.st_blocks) * 512 <= kMaxBackgroundBytes;
  TRing* ring = background && !gForked.load(std::memory_order_relaxed) ? ThisThreadsRing() : nullptr;
  if (!ring || !ring->Add(hold)) CloseHold(hold);
}

bool ReleasesInBackground() { return !gForked.load() && KernelCanRelease(); }

bool WaitForReleases() {
  if (gForked.load()) return false;
  std::vector<std::shared_ptr<TRing>> rings;
  {
    TRegistry& r = Registry();
    std::lock_guard<std::mutex> g(r.Lock);
    rings = r.Rings;
  }
  const auto deadline = TClock::now() + kWaitAtMost;
  bool any = false;
  for (const auto& ring : rings) any = ring->WaitAll(deadline) || any;
  return any;
}

} // namespace twf
