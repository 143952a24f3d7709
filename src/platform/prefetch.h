// Reads folders into the kernel's caches in the background, so that
// listing them soon after waits less for the disk: a worker that lists one
// folder at a time otherwise has a single read in flight, and a cold tree
// is mostly such waits.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace twf {

// A hint only: failures are ignored, and where the kernel offers no
// io_uring nothing happens. One per thread. Nothing is opened for good:
// a lookup of a name the folder does not hold makes the kernel read the
// folder, and whatever such a lookup happens to open is closed again.
class TFolderPrefetch {
public:
  TFolderPrefetch();
  // Waits for the reads under way: the folders passed to Add may be
  // closed once it is gone.
  ~TFolderPrefetch();
  TFolderPrefetch(const TFolderPrefetch&) = delete;
  TFolderPrefetch& operator=(const TFolderPrefetch&) = delete;

  // Queues the folder rel below the open folder root. No link is followed,
  // and nothing outside root's file system is touched. Left out when
  // enough reads are under way already.
  void Add(int root, const std::string& rel);
  // Hands the queued folders to the kernel and returns at once.
  void Submit();

private:
  struct TRing;
  std::unique_ptr<TRing> FRing;
};

// Blocks this thread has had read from a device so far (in 512-byte
// units): a step that raised it waited for the disk. 0 where it cannot be
// told.
int64_t ThreadBlockReads();

} // namespace twf
