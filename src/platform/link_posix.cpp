// Symbolic links kept as links, owners carried, and times set: every call
// here works on the link or item itself, never on what a link points to.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix_internal.h"

namespace twf::posix {

struct timespec TimespecOf(TFileTime t) {
  constexpr int64_t kPerSec = 10000000;
  int64_t sec = t / kPerSec, rest = t % kPerSec;
  if (rest < 0) {
    rest += kPerSec;
    --sec;
  }
  struct timespec ts;
  ts.tv_sec = time_t(sec - 11644473600LL);
  ts.tv_nsec = long(rest * 100);
  return ts;
}

int CarryOwner(int fd, uid_t uid, gid_t gid) {
  if (fchownat(fd, "", uid, gid, AT_EMPTY_PATH) == 0) return 0;
  const int err = errno;
  if (err != EPERM || uid == uid_t(-1)) return err;
  // Not root: the group still goes along where this user belongs to it.
  fchownat(fd, "", uid_t(-1), gid, AT_EMPTY_PATH);
  return err;
}

namespace {

// The link name in dir, opened as itself; EINVAL for anything else.
int OpenLink(int dir, const char* name, TFd& link) {
  link.Reset(openat(dir, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (link.Get() < 0 || fstat(link.Get(), &st) != 0) return errno;
  return S_ISLNK(st.st_mode) ? 0 : EINVAL;
}

} // namespace

int MakeLink(int dir, const char* name, const std::string& target, const TFileInfo& meta, int* ownerResult) {
  if (ownerResult) *ownerResult = 0;
  if (target.empty() || target.find('\0') != std::string::npos) return EINVAL;
  char temp[23];
  for (int attempt = 0;; ++attempt) {
    MakeTempName(temp);
    if (symlinkat(target.c_str(), dir, temp) == 0) break;
    if (errno != EEXIST || attempt == 100) return errno;
  }
  // From here on through the link's own descriptor: whatever someone puts
  // under the temporary name meanwhile is neither changed nor followed.
  TFd link;
  int err = OpenLink(dir, temp, link);
  if (err == EINVAL) err = ESTALE;
  if (err == 0) {
    const int owner = CarryOwner(link.Get(), uid_t(meta.Uid), gid_t(meta.Gid));
    if (ownerResult) *ownerResult = owner;
    const struct timespec times[2] = {{0, UTIME_OMIT}, TimespecOf(meta.WriteTime)};
    if (utimensat(link.Get(), "", times, AT_EMPTY_PATH) != 0) err = errno;
  }
  if (err == 0 && renameat(dir, temp, dir, name) != 0) err = errno;
  if (err != 0) unlinkat(dir, temp, 0);
  return err;
}

int SetOwnerAt(int dir, const char* name, const TFileInfo& seen, int64_t uid, int64_t gid,
               const std::string& linkText) {
  TFd item(openat(dir, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (item.Get() < 0 || fstat(item.Get(), &st) != 0) return errno;
  const bool kindOk = (st.st_mode & S_IFMT) == (seen.Mode & S_IFMT) && (S_ISLNK(st.st_mode) || S_ISREG(st.st_mode));
  if (!kindOk || st.st_uid != seen.Uid || st.st_gid != seen.Gid || (S_ISREG(st.st_mode) && st.st_nlink != 1))
    return ESTALE;
  if (S_ISLNK(st.st_mode)) {
    // Another link of the same owner may have taken the name since the
    // scan: the text is read from the one about to be changed.
    std::string text(linkText.size() + 1, '\0');
    const ssize_t n = readlinkat(item.Get(), "", text.data(), text.size());
    if (n < 0) return errno;
    if (size_t(n) != linkText.size() || text.compare(0, size_t(n), linkText) != 0) return ESTALE;
  }
  if (fchownat(item.Get(), "", uid_t(uid), gid_t(gid), AT_EMPTY_PATH) != 0) return errno;
  // The set-id bits that the change drops come back only on a file of this
  // process's own user: on anyone else's they would hand the new owner's or
  // group's rights to contents that user wrote.
  if (S_ISREG(st.st_mode) && (st.st_mode & (S_ISUID | S_ISGID)) != 0 && st.st_uid == geteuid())
    chmod(ProcFdName(item.Get()).c_str(), st.st_mode & 07777);
  return 0;
}

} // namespace twf::posix
