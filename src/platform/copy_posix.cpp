// File copy through a temporary name: the target's name only ever holds a
// complete file, whether the copy succeeds, fails or is cancelled.
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <new>

#include "platform/posix_internal.h"
#include "platform/release.h"

namespace twf::posix {
namespace {

// Big enough that the kernel can clone or offload efficiently, small enough
// that cancel and progress answer within a fraction of a second.
constexpr size_t kChunk = size_t(4) << 20;
constexpr size_t kFallbackBuffer = size_t(1) << 20;

bool Cancelled(const std::atomic<bool>* cancel) {
  return cancel && cancel->load(std::memory_order_relaxed);
}

// The process id, read once per process: a copy must not pay a system call
// for its temporary name. A forked child forgets it, so it never names its
// files with its parent's id.
std::atomic<uint64_t> gNamePid{0};

void ForgetNamePid() { gNamePid.store(0, std::memory_order_relaxed); }

uint64_t NamePid() {
  uint64_t pid = gNamePid.load(std::memory_order_relaxed);
  if (pid == 0) {
    static const bool forgetInChild = pthread_atfork(nullptr, nullptr, ForgetNamePid) == 0;
    (void)forgetInChild;
    pid = uint64_t(getpid());
    gNamePid.store(pid, std::memory_order_relaxed);
  }
  return pid;
}

int WriteAll(int fd, const char* buf, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, buf, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    buf += n;
    len -= size_t(n);
  }
  return 0;
}

// Keeps a large copy out of the page cache. Written pages can only be
// dropped once they are clean, so each chunk's write-back starts at once and
// is waited for only when it lies kLag behind: the device keeps a deep queue
// while we copy on, and at most kLag of dirty data stays cached.
class TCacheDropper {
public:
  TCacheDropper(int in, int out, bool enabled) : In_(in), Out_(out), Enabled_(enabled) {
    if (Enabled_) posix_fadvise(In_, 0, 0, POSIX_FADV_SEQUENTIAL);
  }

  void Copied(int64_t offset, int64_t len) {
    if (!Enabled_) return;
    sync_file_range(Out_, offset, len, SYNC_FILE_RANGE_WRITE);
    posix_fadvise(In_, offset, len, POSIX_FADV_DONTNEED);
    DropWrittenUpTo(offset + len - kLag);
  }

  void Finish(int64_t end) {
    if (!Enabled_) return;
    DropWrittenUpTo(end);
  }

private:
  void DropWrittenUpTo(int64_t end) {
    if (end <= Dropped_) return;
    sync_file_range(Out_, Dropped_, end - Dropped_,
                    SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
    posix_fadvise(Out_, Dropped_, end - Dropped_, POSIX_FADV_DONTNEED);
    Dropped_ = end;
  }

  int In_, Out_;
  bool Enabled_;
  int64_t Dropped_ = 0;
  static constexpr int64_t kLag = 4 * int64_t(kChunk);
};

bool CopyRangeUnsupported(int err) {
  return err == EXDEV || err == ENOSYS || err == EINVAL || err == EOPNOTSUPP;
}

// Copies in from its start to its end, whatever its file offset (a retry
// of the same descriptor starts over without a seek). Returns an errno,
// kCopyAborted for a cancel.
//
// A copy that reaches the size fstat gave with a step the end of the file cut
// short stops there: asking again only to be told "end of file" costs a
// system call per file. A file that grew in the meantime shows itself by a
// step that runs past that size, or by one that got all it asked for right
// up to it (a size of whole chunks), and is then copied on to its end as
// before; one that shrank ends at its new end as before.
int CopyContent(int in, int out, const struct stat& st, const TCopyProgress& progress,
                const std::atomic<bool>* cancel, bool largeFile) {
  TCacheDropper cache(in, out, largeFile);
  std::unique_ptr<char[]> buffer;
  bool useCopyRange = true;
  int64_t done = 0;
  for (;;) {
    if (Cancelled(cancel)) return kCopyAborted;
    ssize_t n;
    size_t asked;
    if (useCopyRange) {
      loff_t from = done;
      asked = kChunk;
      n = copy_file_range(in, &from, out, nullptr, asked, 0);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (!CopyRangeUnsupported(errno)) return errno;
        useCopyRange = false;
        continue;
      }
      // Some file systems (procfs-like, some network ones) report an empty
      // file here although stat says otherwise: read it the plain way.
      if (n == 0 && done == 0 && st.st_size > 0) {
        useCopyRange = false;
        continue;
      }
    } else {
      if (!buffer) buffer.reset(new (std::nothrow) char[kFallbackBuffer]);
      if (!buffer) return ENOMEM;
      asked = kFallbackBuffer;
      n = pread(in, buffer.get(), asked, done);
      if (n < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      if (int err = WriteAll(out, buffer.get(), size_t(n))) return err;
    }
    if (n == 0) break;
    cache.Copied(done, n);
    done += n;
    if (progress && !progress(done)) return kCopyAborted;
    if (done == st.st_size && size_t(n) < asked) break;
  }
  cache.Finish(done);
  return 0;
}

// Owner and group first: fchown clears the set-id bits, and a copy must not
// keep them for an owner it did not get (a root run would otherwise make a
// user's set-user-id program root's).
int FinishMetadata(int out, const struct stat& st, const TBeforeVisible& beforeVisible, int* beforeVisibleResult) {
  const bool ownerCarried = CarryOwner(out, st.st_uid, st.st_gid) == 0;
  if (beforeVisible) {
    int r;
    try {
      r = beforeVisible(out);
    } catch (...) {
      return ENOMEM; // the copy is not finished: it fails, and its file goes
    }
    if (beforeVisibleResult) *beforeVisibleResult = r;
  }
  mode_t mode = st.st_mode & 07777;
  if (!ownerCarried) mode &= ~mode_t(S_ISUID | S_ISGID);
  if (fchmod(out, mode) != 0) return errno;
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (futimens(out, times) != 0) return errno;
  return 0;
}

std::atomic<bool> gUnnamedUnsupported{false}; // learnt from the first refusal

// An unnamed file in parentFd, or -1 where the file system (or a missing
// /proc for the link) rules it out.
int OpenUnnamed(int parentFd) {
  if (gUnnamedUnsupported.load(std::memory_order_relaxed)) return -1;
  static const bool haveProc = access("/proc/self/fd", X_OK) == 0;
  if (!haveProc) return -1;
  int out = openat(parentFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (out < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL))
    gUnnamedUnsupported.store(true, std::memory_order_relaxed);
  return out;
}

std::atomic<bool> gEmptyPathLinkRefused{false}; // learnt once the /proc name worked instead

// The descriptor itself names the file where the kernel lets this process
// do so (CAP_DAC_READ_SEARCH, as root): one lookup fewer than its /proc
// name, which works for everyone.
int LinkUnnamed(int out, int parentFd, const char* name) {
  if (!gEmptyPathLinkRefused.load(std::memory_order_relaxed)) {
    if (linkat(out, "", parentFd, name, AT_EMPTY_PATH) == 0) return 0;
    if (errno != ENOENT && errno != EPERM && errno != EINVAL) return errno;
  }
  if (linkat(AT_FDCWD, ProcFdName(out).c_str(), parentFd, name, AT_SYMLINK_FOLLOW) != 0) return errno;
  gEmptyPathLinkRefused.store(true, std::memory_order_relaxed);
  return 0;
}

int OpenTempName(int parentFd, char (&temp)[23]) {
  for (int attempt = 0;; ++attempt) {
    MakeTempName(temp);
    int out = openat(parentFd, temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (out >= 0) return out;
    if (errno != EEXIST || attempt == 100) return -errno;
  }
}

// renameat within dir. What name held is kept open across the rename, so
// that its blocks are freed when that hold is let go of, in the background.
int RenameOver(int dir, const char* from, const char* name) {
  const int hold = HoldBeforeRemoving(dir, name);
  if (renameat(dir, from, dir, name) != 0) {
    const int err = errno;
    ReleaseNow(hold);
    return err;
  }
  ReleaseLater(hold);
  return 0;
}

int WriteContent(int in, int out, const struct stat& st, const TCopyProgress& progress,
                 const std::atomic<bool>* cancel, bool largeFile) {
  try {
    return CopyContent(in, out, st, progress, cancel, largeFile);
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  } catch (...) {
    return EIO; // a throwing progress routine must not leave the temp file
  }
}

} // namespace

// ".twf-" + 12 lowercase hex digits + ".part": fixed in shape so a later run
// can recognise leftovers, and short so a name near NAME_MAX still works.
// The 48 bits are the process id (Linux ids fit in 22 bits) above a counter
// of this process's names, so two processes writing into one folder, or two
// threads of one, never pick the same name. The counter starts at a point
// taken from the clock, so leftovers of an earlier process that had the same
// id rarely meet it; when one does, the caller's EEXIST retry moves on.
void MakeTempName(char (&name)[23]) {
  static std::atomic<uint64_t> counter{[] {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now); // vDSO: no system call
    return uint64_t(now.tv_sec) * 1000003u + uint64_t(now.tv_nsec);
  }()};
  constexpr int kCounterBits = 26;
  constexpr uint64_t kCounterMask = (uint64_t(1) << kCounterBits) - 1;
  uint64_t v = ((NamePid() & 0x3fffff) << kCounterBits) | (counter.fetch_add(1) & kCounterMask);
  static constexpr char kHex[] = "0123456789abcdef";
  char* p = name;
  for (char c : {'.', 't', 'w', 'f', '-'}) *p++ = c;
  for (int shift = 44; shift >= 0; shift -= 4) *p++ = kHex[(v >> shift) & 15];
  for (char c : {'.', 'p', 'a', 'r', 't'}) *p++ = c;
  *p = '\0';
}


int WriteCopy(int in, const struct stat& st, int parentFd, const TCopyProgress& progress,
              const std::atomic<bool>* cancel, bool largeFile, bool flushToDevice,
              const TBeforeVisible& beforeVisible, int* beforeVisibleResult, TPendingCopy& held) {
  held = TPendingCopy{};
  if (Cancelled(cancel)) return kCopyAborted;
  char temp[23];
  int out = OpenUnnamed(parentFd);
  if (out < 0) {
    out = OpenTempName(parentFd, temp);
    if (out < 0) return -out;
    held.Temp = temp;
  }
  held.Fd = out;
  // A folder's default ACL is its owner's choice, and as root that owner
  // need not be anyone who may read the file: named entries it hands down
  // would outlive the chmod below (which only narrows their mask).
  static const bool asRoot = geteuid() == 0; // the program never changes it
  int err = asRoot ? DropInheritedAcl(out, false) : 0;
  if (!err) err = WriteContent(in, out, st, progress, cancel, largeFile);
  // A write to the source takes its set-id bits away: those it lost while
  // being read do not go onto contents that may hold that write.
  struct stat meta = st;
  if (!err && (st.st_mode & (S_ISUID | S_ISGID)) != 0) {
    struct stat after;
    if (fstat(in, &after) != 0) after.st_mode = 0;
    meta.st_mode &= ~(mode_t(S_ISUID | S_ISGID) & ~after.st_mode);
  }
  if (!err) err = FinishMetadata(out, meta, beforeVisible, beforeVisibleResult);
  if (err) {
    DropCopy(held, parentFd);
    return err;
  }
  // Only started: the caller may write more copies before it waits.
  if (flushToDevice) sync_file_range(out, 0, 0, SYNC_FILE_RANGE_WRITE);
  return 0;
}

int NameCopy(TPendingCopy& held, int parentFd, const char* name, bool flushToDevice) {
  int err = 0;
  if (flushToDevice && fdatasync(held.Fd) != 0) err = errno;
  const bool unnamed = held.Temp.empty();
  if (unnamed && !err) {
    // A new name takes the finished file directly. An existing one cannot be
    // replaced by linkat: the file gets a temporary name, renamed over it.
    err = held.Replaces ? EEXIST : LinkUnnamed(held.Fd, parentFd, name);
    if (err == EEXIST) {
      char temp[23];
      for (int attempt = 0; err == EEXIST && attempt <= 100; ++attempt) {
        MakeTempName(temp);
        err = LinkUnnamed(held.Fd, parentFd, temp);
      }
      if (!err) {
        err = RenameOver(parentFd, temp, name);
        if (err) unlinkat(parentFd, temp, 0);
      }
    }
  }
  // Once linked, the copy has its name: a failing close cannot take it back.
  if (close(held.Fd) != 0 && !err && !unnamed && errno != EINTR) err = errno;
  held.Fd = -1;
  if (!unnamed) {
    if (!err) err = RenameOver(parentFd, held.Temp.c_str(), name);
    if (err) unlinkat(parentFd, held.Temp.c_str(), 0);
    held.Temp.clear();
  }
  return err;
}

void DropCopy(TPendingCopy& held, int parentFd) {
  if (held.Fd >= 0) close(held.Fd);
  if (!held.Temp.empty()) unlinkat(parentFd, held.Temp.c_str(), 0);
  held = TPendingCopy{};
}

int CopyInto(int in, const struct stat& st, int parentFd, const char* name,
             const TCopyProgress& progress, const std::atomic<bool>* cancel, bool largeFile,
             bool flushToDevice, const TBeforeVisible& beforeVisible, int* beforeVisibleResult) {
  TPendingCopy held;
  if (int err = WriteCopy(in, st, parentFd, progress, cancel, largeFile, false, beforeVisible,
                          beforeVisibleResult, held))
    return err;
  return NameCopy(held, parentFd, name, flushToDevice);
}

} // namespace twf::posix
