// The freedesktop.org Trash, worked through descriptors: the file leaves
// its folder by renameat from the folder's descriptor, so a folder swapped
// for a link meanwhile cannot send another file to the Trash. (GIO takes
// only path names, which is exactly what must not be trusted here.)
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <stdio.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/posix_internal.h"

namespace twf::posix {
namespace {

// A folder of the Trash below parent: created 0700 when missing, never a
// link, and ours.
int OpenTrashDir(int parent, const char* name, TFd& out) {
  if (mkdirat(parent, name, 0700) != 0 && errno != EEXIST) return errno;
  int fd = openat(parent, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno == ENOTDIR ? ELOOP : errno;
  out.Reset(fd);
  struct stat st;
  if (fstat(fd, &st) != 0) return errno;
  if (st.st_uid != geteuid()) return EPERM;
  return 0;
}

std::string UserDataDir() {
  const char* xdg = getenv("XDG_DATA_HOME");
  if (xdg && xdg[0] == '/') return xdg;
  const char* home = getenv("HOME");
  std::string h = home && home[0] == '/' ? home : "";
  if (h.empty()) {
    if (struct passwd* pw = getpwuid(geteuid())) h = pw->pw_dir ? pw->pw_dir : "";
  }
  return h.empty() ? std::string() : h + "/.local/share";
}

// The home Trash, when it lies on the file system dev.
int OpenHomeTrash(dev_t dev, TFd& out) {
  const std::string data = UserDataDir();
  if (data.empty()) return ENOENT;
  int fd = open(data.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  TFd dataFd(fd);
  struct stat st;
  if (fstat(fd, &st) != 0) return errno;
  if (st.st_dev != dev) return EXDEV;
  return OpenTrashDir(fd, "Trash", out);
}

// The top folder of the file system holding dir, found by climbing ".."
// from the descriptor (no path is looked at).
int OpenTopDir(int dir, TFd& out) {
  int cur = openat(dir, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (cur < 0) return errno;
  out.Reset(cur);
  struct stat curSt;
  if (fstat(cur, &curSt) != 0) return errno;
  for (;;) {
    int up = openat(out.Get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (up < 0) return errno;
    struct stat upSt;
    if (fstat(up, &upSt) != 0) {
      int err = errno;
      close(up);
      return err;
    }
    if (upSt.st_dev != curSt.st_dev || upSt.st_ino == curSt.st_ino) {
      close(up);
      return 0;
    }
    out.Reset(up);
    curSt = upSt;
  }
}

// Memory-backed and kernel file systems get no Trash of their own, as with
// the desktops' Trash (which refuses them as system-internal): what is
// trashed there would vanish with the next boot anyway.
bool IsSystemFileSystem(int fd) {
  struct statfs fs;
  if (fstatfs(fd, &fs) != 0) return false;
  switch (fs.f_type) {
  case TMPFS_MAGIC:
  case PROC_SUPER_MAGIC:
  case SYSFS_MAGIC:
  case DEVPTS_SUPER_MAGIC:
  case CGROUP_SUPER_MAGIC:
  case CGROUP2_SUPER_MAGIC:
  case DEBUGFS_MAGIC:
  case SECURITYFS_MAGIC:
  case HUGETLBFS_MAGIC:
  case BPF_FS_MAGIC:
    return true;
  default:
    return false;
  }
}

// $topdir/.Trash/$uid when the administrator made .Trash (sticky, not a
// link), else $topdir/.Trash-$uid.
int OpenTopTrash(int top, TFd& out) {
  const std::string uid = std::to_string(geteuid());
  struct stat st;
  if (fstatat(top, ".Trash", &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX)) {
    int fd = openat(top, ".Trash", O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
      TFd shared(fd);
      if (OpenTrashDir(fd, uid.c_str(), out) == 0) return 0;
    }
  }
  return OpenTrashDir(top, (".Trash-" + uid).c_str(), out);
}

std::string EscapePath(const std::string& path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : path) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
        c == '.' || c == '~' || c == '/') {
      out += char(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

int WriteInfo(int fd, const std::string& original) {
  char date[32];
  time_t now = time(nullptr);
  struct tm t;
  localtime_r(&now, &t);
  strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &t);
  const std::string text = "[Trash Info]\nPath=" + EscapePath(original) + "\nDeletionDate=" + date + "\n";
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += size_t(n);
  }
  return 0;
}

int MoveNoReplace(int fromDir, const char* from, int toDir, const char* to) {
  if (renameat2(fromDir, from, toDir, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // A file system without RENAME_NOREPLACE: the name was just claimed by
  // its info file, so a same-name file here is unlikely; check anyway.
  struct stat st;
  if (fstatat(toDir, to, &st, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
  return renameat(fromDir, from, toDir, to) == 0 ? 0 : errno;
}

} // namespace

int TrashAt(int dir, const char* name) {
  struct stat st;
  if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  std::string dirPath;
  if (int err = PathOfFd(dir, dirPath)) return err;
  const std::string original = (dirPath == "/" ? "" : dirPath) + "/" + name;
  // The Trash records the original path, and its tools cannot handle longer ones.
  if (original.size() >= PATH_MAX) return ENAMETOOLONG;

  TFd trash;
  std::string recorded = original;
  if (OpenHomeTrash(st.st_dev, trash) != 0) {
    TFd top;
    if (int err = OpenTopDir(dir, top)) return err;
    if (IsSystemFileSystem(top.Get())) return EOPNOTSUPP;
    if (int err = OpenTopTrash(top.Get(), trash)) return err;
    // The top-folder Trash records paths relative to the top folder.
    std::string topPath;
    PathOfFd(top.Get(), topPath);
    if (!topPath.empty() && topPath != "/" && original.compare(0, topPath.size() + 1, topPath + "/") == 0)
      recorded = original.substr(topPath.size() + 1);
  }
  TFd files, info;
  if (int err = OpenTrashDir(trash.Get(), "files", files)) return err;
  if (int err = OpenTrashDir(trash.Get(), "info", info)) return err;

  for (int n = 1; n < 10000; ++n) {
    const std::string entry = n == 1 ? std::string(name) : std::string(name) + "." + std::to_string(n);
    const std::string infoName = entry + ".trashinfo";
    int fd = openat(info.Get(), infoName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return errno;
    }
    int err = WriteInfo(fd, recorded);
    if (close(fd) != 0 && !err && errno != EINTR) err = errno;
    if (!err) err = MoveNoReplace(dir, name, files.Get(), entry.c_str());
    if (err) unlinkat(info.Get(), infoName.c_str(), 0);
    if (err == EEXIST) continue;
    return err;
  }
  return EEXIST;
}

} // namespace twf::posix
