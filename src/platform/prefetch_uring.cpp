#include "platform/prefetch.h"

#include <fcntl.h>
#include <liburing.h>
#include <linux/openat2.h>
#include <unistd.h>

#include <cerrno>

namespace twf {

namespace {
constexpr unsigned kEntries = 64;
constexpr unsigned kMaxInFlight = 2 * kEntries; // the completion queue's size
// A name no folder is expected to hold; where one does, the lookup opens
// it as a mere path (O_PATH) and the descriptor is closed on completion.
constexpr char kProbe[] = "/.twf-prefetch-probe";
} // namespace

struct TFolderPrefetch::TRing {
  io_uring Ring;
  unsigned InFlight = 0;
  std::vector<std::string> Paths; // queued, alive until submitted
  open_how How{};

  void Reap(bool wait) {
    io_uring_cqe* cqe = nullptr;
    while (InFlight > 0) {
      const int err = wait ? io_uring_wait_cqe(&Ring, &cqe) : io_uring_peek_cqe(&Ring, &cqe);
      if (err == -EINTR) continue;
      if (err != 0 || !cqe) return;
      if (cqe->res >= 0) close(cqe->res);
      io_uring_cqe_seen(&Ring, cqe);
      --InFlight;
    }
  }
};

TFolderPrefetch::TFolderPrefetch() {
  auto ring = std::make_unique<TRing>();
  if (io_uring_queue_init(kEntries, &ring->Ring, 0) != 0) return;
  ring->How.flags = O_PATH | O_NOFOLLOW | O_CLOEXEC;
  ring->How.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_XDEV;
  ring->Paths.reserve(kEntries);
  FRing = std::move(ring);
}

TFolderPrefetch::~TFolderPrefetch() {
  if (!FRing) return;
  Submit();
  FRing->Reap(true);
  io_uring_queue_exit(&FRing->Ring);
}

void TFolderPrefetch::Add(int root, const std::string& rel) {
  if (!FRing) return;
  TRing& r = *FRing;
  r.Reap(false);
  if (r.Paths.size() == kEntries) Submit();
  if (r.InFlight + r.Paths.size() >= kMaxInFlight) return; // enough under way
  io_uring_sqe* sqe = io_uring_get_sqe(&r.Ring);
  if (!sqe) return;
  // The kernel copies the path when it takes the entry (on submit).
  r.Paths.push_back(rel + kProbe);
  io_uring_prep_openat2(sqe, root, r.Paths.back().c_str(), &r.How);
  io_uring_sqe_set_data64(sqe, 0);
}

void TFolderPrefetch::Submit() {
  if (!FRing || FRing->Paths.empty()) return;
  TRing& r = *FRing;
  const int n = io_uring_submit(&r.Ring);
  if (n > 0) r.InFlight += unsigned(n);
  r.Paths.clear();
}

} // namespace twf
