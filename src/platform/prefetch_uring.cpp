#include "platform/prefetch.h"

#include <fcntl.h>
#include <liburing.h>
#include <linux/openat2.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace twf {

namespace {
constexpr unsigned kEntries = 64;
constexpr unsigned kSlots = 2 * kEntries; // the completion queue's size
// Kernel threads that may wait on the disk for one ring: enough to keep
// the device busy, few enough on a machine with many cores.
constexpr unsigned kKernelWorkers = 4;
// A name no folder is expected to hold; where one does, the lookup opens
// it as a mere path (O_PATH) and the descriptor is closed on completion.
constexpr char kProbe[] = "/.twf-prefetch-probe";
} // namespace

// Each lookup's path lives in a slot of its own until its completion
// arrives, whether or not the kernel took it on the first submit.
struct TFolderPrefetch::TRing {
  io_uring Ring;
  open_how How{};
  std::array<std::string, kSlots> Paths;
  std::array<bool, kSlots> Busy{};
  unsigned InUse = 0;

  void Complete(io_uring_cqe* cqe) {
    const uint64_t slot = io_uring_cqe_get_data64(cqe);
    if (cqe->res >= 0 && slot < kSlots) close(cqe->res);
    if (slot < kSlots && Busy[slot]) {
      Busy[slot] = false;
      Paths[slot].clear();
      --InUse;
    }
    io_uring_cqe_seen(&Ring, cqe);
  }

  void ReapReady() {
    io_uring_cqe* cqe = nullptr;
    while (InUse > 0 && io_uring_peek_cqe(&Ring, &cqe) == 0 && cqe) Complete(cqe);
  }
};

TFolderPrefetch::TFolderPrefetch() {
  auto ring = std::make_unique<TRing>();
  if (io_uring_queue_init(kEntries, &ring->Ring, 0) != 0) return;
  unsigned workers[2] = {kKernelWorkers, kKernelWorkers}; // bounded, unbounded
  io_uring_register_iowq_max_workers(&ring->Ring, workers);
  ring->How.flags = O_PATH | O_NOFOLLOW | O_CLOEXEC;
  ring->How.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_XDEV;
  FRing = std::move(ring);
}

// The lookups still under way are cancelled; one stuck on an unanswering
// file system is given up after a while (closing the ring ends it).
TFolderPrefetch::~TFolderPrefetch() {
  if (!FRing) return;
  TRing& r = *FRing;
  Submit();
  if (r.InUse > 0) {
    if (io_uring_sqe* sqe = io_uring_get_sqe(&r.Ring)) {
      io_uring_prep_cancel64(sqe, 0, IORING_ASYNC_CANCEL_ANY);
      io_uring_sqe_set_data64(sqe, kSlots); // no slot
      io_uring_submit(&r.Ring);
    }
  }
  __kernel_timespec wait{1, 0};
  io_uring_cqe* cqe = nullptr;
  for (int rounds = 0; r.InUse > 0 && rounds < 2 * int(kSlots); ++rounds) {
    const int err = io_uring_wait_cqe_timeout(&r.Ring, &cqe, &wait);
    if (err == -EINTR) continue;
    if (err != 0 || !cqe) break;
    r.Complete(cqe);
  }
  io_uring_queue_exit(&r.Ring);
}

void TFolderPrefetch::Add(int root, const std::string& rel) {
  if (!FRing) return;
  TRing& r = *FRing;
  r.ReapReady();
  if (r.InUse == kSlots) return; // enough under way
  io_uring_sqe* sqe = io_uring_get_sqe(&r.Ring);
  if (!sqe) {
    Submit();
    sqe = io_uring_get_sqe(&r.Ring);
    if (!sqe) return;
  }
  unsigned slot = 0;
  while (r.Busy[slot]) ++slot;
  r.Busy[slot] = true;
  ++r.InUse;
  r.Paths[slot] = rel + kProbe;
  io_uring_prep_openat2(sqe, root, r.Paths[slot].c_str(), &r.How);
  io_uring_sqe_set_data64(sqe, slot);
}

void TFolderPrefetch::Submit() {
  if (FRing) io_uring_submit(&FRing->Ring);
}

int64_t ThreadBlockReads() {
  struct rusage usage;
  if (getrusage(RUSAGE_THREAD, &usage) != 0) return 0;
  return int64_t(usage.ru_inblock);
}

} // namespace twf
