// Moving an item that is no regular file to another file system: a copy
// would open it (a FIFO) or follow it (a link), so it is made again there.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

#include "platform/posix_internal.h"

namespace twf::posix {
namespace {

// Makes the item once; an existing non-folder of that name is replaced, as
// rename() would.
template <typename TMake>
int MakeReplacing(int toDir, const char* toName, TMake make) {
  if (make() == 0) return 0;
  if (errno != EEXIST) return errno;
  struct stat old;
  if (fstatat(toDir, toName, &old, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (S_ISDIR(old.st_mode)) return EISDIR;
  if (unlinkat(toDir, toName, 0) != 0) return errno;
  return make() == 0 ? 0 : errno;
}

} // namespace

int MoveOddityAcross(int fromDir, const char* fromName, int toDir, const char* toName) {
  struct stat st;
  if (fstatat(fromDir, fromName, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  int err;
  if (S_ISLNK(st.st_mode)) {
    // A link is moved as itself, whatever it points to, as rename() would:
    // the destination side never follows a link.
    std::string text(PATH_MAX, '\0');
    const ssize_t n = readlinkat(fromDir, fromName, text.data(), text.size());
    if (n < 0) return errno;
    if (size_t(n) >= text.size()) return ENAMETOOLONG;
    text.resize(size_t(n));
    err = MakeReplacing(toDir, toName, [&] { return symlinkat(text.c_str(), toDir, toName); });
  } else if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
    err = MakeReplacing(toDir, toName, [&] { return mknodat(toDir, toName, st.st_mode, st.st_rdev); });
    // mknod applied the umask.
    if (err == 0) fchmodat(toDir, toName, st.st_mode & 07777, 0);
  } else {
    return kNotAnOddity;
  }
  if (err != 0) return err;
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  utimensat(toDir, toName, times, AT_SYMLINK_NOFOLLOW);
  if (unlinkat(fromDir, fromName, 0) != 0) {
    err = errno;
    unlinkat(toDir, toName, 0); // never two of it
    return err;
  }
  return 0;
}

} // namespace twf::posix
