#include "platform/release.h"
#include "platform/fs.h"
#include "platform/posix_internal.h"

#include <fcntl.h>
#include <liburing.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <new>
#include <mutex>
#include <vector>

namespace twf {

namespace {
using TClock = std::chrono::steady_clock;

// Closes handed to the kernel together: one system call for several.
constexpr unsigned kBatch = 8;
// Kernel threads closing at once, for the whole process: a device answers
// several discards at once faster than one after another, but not without
// bound.
constexpr unsigned kKernelWorkers = 16;
// Larger files are closed at once: a copy that follows may need their
// space, and their release is small beside the copying anyway.
constexpr int64_t kMaxBackgroundBytes = int64_t(1) << 20;
// WaitForReleases waits this long at most.
constexpr auto kWaitAtMost = std::chrono::seconds(10);
// Closes completed this recently may still be giving their space back.
constexpr auto kRecently = std::chrono::seconds(2);

// A forked child: the ring it inherited is its parent's, never touched,
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

// The closes of the whole process, made by one thread of its own that
// lasts as long as the process. The kernel's workers that carry a close
// out belong to the thread that submitted it, and a thread that ends takes
// the closes it has not started with it: a worker of the engine, which
// ends with its phase, would have to wait for every close it handed over
// first. Workers queue holds here; the thread submits them in batches and
// takes their completions. What this process holds is bounded by MaxHolds,
// so the ring has room for all of them at once.
class TReleaser {
public:
  // The one releaser; nullptr where it could not be set up (tried again
  // a second later: descriptors or memory may have run short for a moment).
  static TReleaser* Get() {
    static std::atomic<TReleaser*> releaser{nullptr};
    if (TReleaser* r = releaser.load(std::memory_order_acquire)) return r;
    // A child must be known as one: it never touches its parent's ring.
    if (!gForkWatched) return nullptr;
    static std::mutex lock;
    static TClock::time_point lastTry;
    std::lock_guard<std::mutex> g(lock);
    if (TReleaser* r = releaser.load(std::memory_order_acquire)) return r;
    const auto now = TClock::now();
    if (lastTry != TClock::time_point{} && now - lastTry < std::chrono::seconds(1)) return nullptr;
    lastTry = now;
    auto* r = new (std::nothrow) TReleaser; // never destroyed: it ends with the process
    if (r && !r->Start()) {
      delete r;
      r = nullptr;
    }
    releaser.store(r, std::memory_order_release);
    return r;
  }

  // False when fd was not taken (the caller closes it).
  bool Add(int fd) {
    bool wake = false;
    {
      std::lock_guard<std::mutex> g(FLock);
      if (FBroken || FStalled || FQueue.size() >= FQueue.capacity()) return false;
      FQueue.push_back(fd); // capacity reserved: does not throw
      ++FPending;
      if (FQueue.size() >= kBatch && !FWakeSent) wake = FWakeSent = true;
    }
    if (wake) Wake();
    return true;
  }

  // Waits until every close handed over is done, or until deadline. Returns
  // whether any was left when called or was done a moment ago (a file whose
  // close completed may still be giving its blocks back).
  bool WaitAll(TClock::time_point deadline) {
    std::unique_lock<std::mutex> g(FLock);
    const bool any = FPending > 0 || TClock::now() - FLastDone < kRecently;
    if (!FQueue.empty() && !FWakeSent) {
      FWakeSent = true;
      g.unlock();
      Wake();
      g.lock();
    }
    // A device that does not answer: later files are closed by their
    // callers, not queued behind these, until these are done.
    if (!FDone.wait_until(g, deadline, [&] { return FPending == 0 || FBroken; })) {
      FStalled = true;
      FOff.store(true);
    }
    return any;
  }

  bool Off() const { return FOff.load(std::memory_order_relaxed); }

private:
  bool Start() {
    const int64_t most = MaxHolds();
    try {
      FQueue.reserve(size_t(most));
      FTaking.reserve(size_t(most));
    } catch (...) {
      return false;
    }
    FWakeFd = eventfd(0, EFD_CLOEXEC);
    if (FWakeFd < 0) return false;
    // Room for every hold there can be, and the wake-up read.
    io_uring_params params{};
    params.flags = IORING_SETUP_CQSIZE;
    params.cq_entries = unsigned(2 * most + 2);
    if (io_uring_queue_init_params(unsigned(most + 1), &FRing, &params) != 0) {
      close(FWakeFd);
      return false;
    }
    unsigned workers[2] = {kKernelWorkers, kKernelWorkers}; // bounded, unbounded
    io_uring_register_iowq_max_workers(&FRing, workers);
    // The thread takes no signal: they are the program's other threads' to handle.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_t thread;
    const bool started = pthread_create(&thread, nullptr, [](void* self) -> void* {
      static_cast<TReleaser*>(self)->Loop();
      return nullptr;
    }, this) == 0;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (!started) {
      io_uring_queue_exit(&FRing);
      close(FWakeFd);
      return false;
    }
    pthread_detach(thread);
    return true;
  }

  void Wake() {
    const uint64_t one = 1;
    while (write(FWakeFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }

  // The wake-up: a read of the event counter, answered when a worker adds to it.
  bool ArmWake() {
    io_uring_sqe* sqe = io_uring_get_sqe(&FRing);
    if (!sqe) return false;
    io_uring_prep_read(sqe, FWakeFd, &FWakeCount, sizeof FWakeCount, 0);
    io_uring_sqe_set_data64(sqe, kWakeTag);
    return true;
  }

  void Loop() {
    if (!ArmWake() || io_uring_submit(&FRing) != 1) return Break();
    for (;;) {
      io_uring_cqe* cqe = nullptr;
      const int err = io_uring_wait_cqe(&FRing, &cqe);
      if (err == -EINTR) continue;
      if (err != 0) return Break();
      if (Reap() && !SubmitTaking()) return Break();
    }
  }

  // Takes the completions there are; true when the wake-up read was among
  // them (the queue is then this thread's to submit, in FTaking).
  bool Reap() {
    bool woken = false;
    unsigned done = 0, seen = 0, head;
    io_uring_cqe* cqe;
    io_uring_for_each_cqe(&FRing, head, cqe) {
      ++seen;
      const uint64_t tag = io_uring_cqe_get_data64(cqe);
      if (tag == kWakeTag) {
        woken = true;
        continue;
      }
      const int fd = int(tag);
      // A close the kernel refused, or cancelled, before taking the
      // descriptor leaves it open.
      if (cqe->res < 0 && cqe->res != -EBADF) close(fd);
      gHolds.fetch_sub(1, std::memory_order_relaxed);
      ++done;
    }
    io_uring_cq_advance(&FRing, seen);
    FInFlight -= done;
    std::lock_guard<std::mutex> g(FLock);
    FPending -= done;
    if (done > 0) FLastDone = TClock::now();
    if (woken && !FBroken) {
      FTaking.swap(FQueue);
      FWakeSent = false;
    }
    if (FPending == 0) {
      // Whatever held the device up is over: holds are worth taking again.
      FStalled = false;
      if (!FBroken) FOff.store(false);
      FDone.notify_all();
    }
    return woken && !FBroken;
  }

  // The closes just taken from the queue, and the next wake-up read.
  bool SubmitTaking() {
    for (int fd : FTaking) {
      io_uring_sqe* sqe = io_uring_get_sqe(&FRing);
      if (!sqe) return false; // cannot be: the ring has room for every hold there can be
      io_uring_prep_close(sqe, fd);
      // Done by a kernel worker, not inline: the last close's work happens there.
      sqe->flags |= IOSQE_ASYNC;
      io_uring_sqe_set_data64(sqe, uint64_t(fd));
    }
    if (!ArmWake()) return false;
    const int want = int(FTaking.size()) + 1;
    int taken = 0;
    for (int tries = 0; taken < want && tries < 3; ++tries) {
      const int n = io_uring_submit(&FRing);
      if (n > 0) taken += n;
      else if (n != -EINTR && n != -EAGAIN && n != -EBUSY) break;
    }
    // The kernel takes entries in order: those it did not take are the last.
    const int closes = std::min(taken, int(FTaking.size()));
    FInFlight += unsigned(closes);
    FTaking.erase(FTaking.begin(), FTaking.begin() + closes);
    return taken == want;
  }

  // The ring failed: nothing more is submitted, so the closes not handed
  // to the kernel are made here, as is every one still queued, and no more
  // are taken. Those with the kernel are still waited for: one it cancels
  // leaves its descriptor open, for this thread to close.
  void Break() {
    {
      std::lock_guard<std::mutex> g(FLock);
      FOff.store(true);
      FBroken = true;
      for (int fd : FTaking) CloseHold(fd);
      for (int fd : FQueue) CloseHold(fd);
      FPending -= unsigned(FTaking.size() + FQueue.size());
      FTaking.clear();
      FQueue.clear();
      FDone.notify_all();
    }
    while (FInFlight > 0) {
      io_uring_cqe* cqe = nullptr;
      __kernel_timespec second{1, 0};
      const int err = io_uring_wait_cqe_timeout(&FRing, &cqe, &second);
      if (err != 0 && err != -ETIME && err != -EINTR) return; // nothing more can be learnt
      Reap();
    }
  }

  static constexpr uint64_t kWakeTag = ~uint64_t(0);
  std::mutex FLock;
  std::condition_variable FDone;
  std::vector<int> FQueue;   // handed over, not yet with the kernel
  std::vector<int> FTaking;  // the releaser's: being handed to the kernel
  unsigned FPending = 0;     // handed over and not yet closed
  bool FWakeSent = false;    // a wake-up not yet answered
  bool FBroken = false;
  bool FStalled = false;
  TClock::time_point FLastDone{};   // the last close completed
  unsigned FInFlight = 0;           // the releaser's: closes with the kernel
  std::atomic<bool> FOff{false}; // broken or stalled: holds are not worth taking
  uint64_t FWakeCount = 0;
  int FWakeFd = -1;
  io_uring FRing{};
};
} // namespace

int HoldBeforeRemoving(int dir, const char* name) {
  if (gForked.load(std::memory_order_relaxed) || !KernelCanRelease()) return -1;
  const TReleaser* releaser = TReleaser::Get();
  if (!releaser || releaser->Off()) return -1;
  if (gHolds.fetch_add(1, std::memory_order_relaxed) >= MaxHolds() || !posix::OnKnownLocalFileSystem(dir)) {
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
  TReleaser* releaser = background && !gForked.load(std::memory_order_relaxed) ? TReleaser::Get() : nullptr;
  if (!releaser || !releaser->Add(hold)) CloseHold(hold);
}

bool ReleasesInBackground() { return !gForked.load() && KernelCanRelease() && TReleaser::Get(); }

bool WaitForReleases() {
  if (gForked.load() || !KernelCanRelease()) return false;
  TReleaser* releaser = TReleaser::Get();
  return releaser && releaser->WaitAll(TClock::now() + kWaitAtMost);
}

} // namespace twf
