// The Linux file-system layer: listing, single-item operations and reads.
// Copying lives in copy_posix.cpp, ACLs in acl_posix.cpp, the Trash in
// trash_posix.cpp, space and volume identity in volume_posix.cpp.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <new>

#include "platform/fs.h"
#include "platform/release.h"
#include "platform/posix_internal.h"

namespace twf {
namespace {

using posix::TAtPath;

TFileTime WriteTimeOf(const struct stat& st) {
  return FileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
}

void SetOwner(TDirEntry& e, const struct stat& st) {
  e.Uid = st.st_uid;
  e.Gid = st.st_gid;
  e.Mode = st.st_mode;
}

void SetFile(TDirEntry& e, const struct stat& st) {
  e.Kind = TEntryKind::File;
  e.Size = st.st_size;
  e.WriteTime = WriteTimeOf(st);
}

// A link as itself: its own time and owner, and its text. Nothing it
// points to is looked at.
int KeepLink(int dfd, const char* name, const struct stat* known, TDirEntry& e) {
  e.Link = true;
  e.Kind = TEntryKind::Symlink;
  struct stat st;
  if (!known) {
    if (fstatat(dfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    known = &st;
  }
  if (!S_ISLNK(known->st_mode)) return EAGAIN; // replaced meanwhile: classified again
  e.WriteTime = WriteTimeOf(*known);
  SetOwner(e, *known);
  e.LinkTarget.resize(size_t(known->st_size > 0 ? known->st_size : 0) + 1);
  for (;;) {
    const ssize_t n = readlinkat(dfd, name, e.LinkTarget.data(), e.LinkTarget.size());
    if (n < 0) return errno;
    if (size_t(n) < e.LinkTarget.size()) {
      e.LinkTarget.resize(size_t(n));
      return 0;
    }
    if (e.LinkTarget.size() > 65536) return ENAMETOOLONG;
    e.LinkTarget.resize(e.LinkTarget.size() * 2); // grew since the stat
  }
}

// A link counts as what it points to; a target that cannot be reached makes
// it dangling. Returns an errno only when the link itself cannot be examined
// (a folder without search permission).
int ClassifyLink(int dfd, const char* name, TDirEntry& e) {
  e.Link = true;
  struct stat target;
  if (fstatat(dfd, name, &target, 0) != 0) {
    if (errno == EACCES && fstatat(dfd, name, &target, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    e.Kind = TEntryKind::Dangling;
  } else if (S_ISDIR(target.st_mode)) {
    e.Kind = TEntryKind::DirLink;
  } else if (S_ISREG(target.st_mode)) {
    SetFile(e, target);
  } else {
    e.Kind = TEntryKind::Special;
  }
  return 0;
}

// Kind, size and time from the entry's own lstat result.
int Classify(int dfd, const char* name, const struct stat& st, dev_t parentDev, bool linksAsLinks, TDirEntry& e) {
  if (S_ISLNK(st.st_mode)) return linksAsLinks ? KeepLink(dfd, name, &st, e) : ClassifyLink(dfd, name, e);
  SetOwner(e, st);
  if (S_ISREG(st.st_mode))
    SetFile(e, st);
  else if (S_ISDIR(st.st_mode))
    e.Kind = st.st_dev == parentDev ? TEntryKind::Dir : TEntryKind::MountPoint;
  else
    e.Kind = TEntryKind::Special;
  return 0;
}

// One fstatat per entry: d_type tells which one is needed (the target's for
// a link, none for FIFOs, sockets and devices). ENOENT: gone meanwhile.
int ListEntry(int dfd, const char* name, unsigned char type, dev_t parentDev, bool linksAsLinks,
              std::vector<TDirEntry>& out) {
  TDirEntry& e = out.emplace_back();
  e.Name.assign(name);
  e.Hidden = name[0] == '.';
  int err = 0;
  struct stat st;
  switch (type) {
  case DT_FIFO:
  case DT_SOCK:
  case DT_CHR:
  case DT_BLK:
    e.Kind = TEntryKind::Special;
    break;
  case DT_LNK:
    err = linksAsLinks ? KeepLink(dfd, name, nullptr, e) : ClassifyLink(dfd, name, e);
    if (err != EAGAIN) break;
    [[fallthrough]];
  default: // DT_REG, DT_DIR, or DT_UNKNOWN on file systems that do not fill it
    if (fstatat(dfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0)
      err = Classify(dfd, name, st, parentDev, linksAsLinks, e);
    else
      err = errno;
    if (err == EAGAIN) err = ENOENT; // swapped twice while being read: as good as gone
    break;
  }
  if (err) out.pop_back();
  return err;
}

// The folder's entries read straight from the kernel, a buffer at a time.
int ListOpened(int dfd, dev_t parentDev, bool linksAsLinks, std::vector<TDirEntry>& out) {
  alignas(8) char buf[32 * 1024];
  for (;;) {
    const ssize_t n = getdents64(dfd, buf, sizeof buf);
    // A failure part-way is a failure: a listing that looks complete but is
    // not would let the plan delete what it never saw.
    if (n < 0) {
      if (errno == EINTR) continue;
      // A folder removed while open: the kernel says so at its end. Only
      // then: elsewhere it would make a partial listing look whole.
      const int err = errno;
      struct stat st;
      if (err == ENOENT && fstat(dfd, &st) == 0 && st.st_nlink == 0) return 0;
      return err;
    }
    if (n == 0) return 0;
    for (ssize_t at = 0; at < n;) {
      const auto* de = reinterpret_cast<const struct dirent64*>(buf + at);
      if (de->d_reclen == 0 || de->d_reclen > n - at) return EIO;
      at += de->d_reclen;
      const char* name = de->d_name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
      const int err = ListEntry(dfd, name, de->d_type, parentDev, linksAsLinks, out);
      if (err && err != ENOENT) return err; // ENOENT: removed meanwhile
    }
  }
}

class TPosixFileSystem final : public IFileSystem {
public:
  bool IsDirectory(const std::string& path) override {
    TAtPath at;
    struct stat st;
    return at.Open(path) == 0 && fstatat(at.Dir(), at.Name(), &st, 0) == 0 && S_ISDIR(st.st_mode);
  }

  // Lists the folder open as fd (O_RDONLY | O_DIRECTORY), taking the descriptor over.
  static int ListFd(int fd, std::vector<TDirEntry>& out, bool linksAsLinks, TFileInfo* info = nullptr) {
    struct stat dirSt;
    int err = fstat(fd, &dirSt) == 0 ? 0 : errno;
    if (!err) {
      try {
        err = ListOpened(fd, dirSt.st_dev, linksAsLinks, out);
      } catch (const std::bad_alloc&) {
        err = ENOMEM;
      }
    }
    close(fd);
    if (err) out.clear();
    else if (info) FillInfo(dirSt, *info);
    return err;
  }

  int Stat(const std::string& path, TFileInfo& info) override {
    TAtPath at;
    if (int err = at.Open(path)) return err;
    struct stat st;
    if (fstatat(at.Dir(), at.Name(), &st, 0) != 0) return errno;
    FillInfo(st, info);
    return 0;
  }

  // Climbs until a folder can be made (or exists), then creates downwards,
  // without recursion: deep trees must not exhaust a worker's stack.
  int CreateDirPath(const std::string& path) override {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    std::vector<size_t> missing; // lengths of the prefixes still to create
    size_t len = p.size();
    std::string prefix;
    for (;;) {
      prefix.assign(p, 0, len);
      int err = CreateDir(prefix);
      if (err == 0) break;
      if (err == EEXIST) {
        if (!IsDirectory(prefix)) return missing.empty() ? EEXIST : ENOTDIR;
        break;
      }
      if (err != ENOENT) return err;
      missing.push_back(len);
      size_t slash = p.rfind('/', len - 1);
      if (slash == std::string::npos || slash == 0) return ENOENT;
      len = slash;
      while (len > 1 && p[len - 1] == '/') --len;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
      prefix.assign(p, 0, *it);
      int err = CreateDir(prefix);
      if (err == EEXIST && IsDirectory(prefix)) err = 0; // another worker won the race
      if (err) return err;
    }
    return 0;
  }

  int OpenRead(const std::string& path, bool dropCache, int& fd) override {
    fd = -1;
    TAtPath at;
    if (int err = at.Open(path)) return err;
    int f = openat(at.Dir(), at.Name(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (f < 0) return errno;
    if (dropCache) posix_fadvise(f, 0, 0, POSIX_FADV_DONTNEED);
    posix_fadvise(f, 0, 0, POSIX_FADV_SEQUENTIAL);
    fd = f;
    return 0;
  }

  int64_t Read(int fd, void* buf, int64_t size) override {
    for (;;) {
      ssize_t n = read(fd, buf, size_t(size));
      if (n >= 0) return n;
      if (errno != EINTR) return -errno;
    }
  }

  void Close(int fd) override {
    if (fd >= 0) close(fd);
  }

  int64_t FreeSpace(const std::string& path) override { return posix::FreeSpace(path); }
  bool VolumeIdentity(const std::string& path, std::string& label, std::string& serial) override {
    return posix::VolumeIdentity(path, label, serial);
  }

  int OpenDir(const std::string& path, int& fd, TFileInfo& info) override {
    fd = -1;
    TAtPath at;
    if (int err = at.Open(path)) return err;
    int f = openat(at.Dir(), at.Name(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (f < 0) {
      int err = errno;
      struct stat st;
      if (err == ENOTDIR && fstatat(at.Dir(), at.Name(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        err = ELOOP;
      return err;
    }
    return Opened(f, fd, info);
  }

  int OpenDirAt(int root, const std::string& rel, int& fd, TFileInfo& info) override {
    fd = -1;
    int f = posix::OpenBeneath(root, rel, O_PATH | O_DIRECTORY);
    if (f < 0) return -f;
    return Opened(f, fd, info);
  }

  int StatAt(int dir, const std::string& name, TFileInfo& info) override {
    struct stat st;
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    FillInfo(st, info);
    return 0;
  }

  int ListDirAt(int dir, std::vector<TDirEntry>& out, bool linksAsLinks) override {
    out.clear();
    int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    return ListFd(fd, out, linksAsLinks);
  }

  // Opened for reading at once (O_DIRECTORY: never anything but a folder),
  // not as a path first and then again for the listing.
  int ListDirBeneath(int root, const std::string& rel, std::vector<TDirEntry>& out, bool linksAsLinks,
                     TFileInfo& info) override {
    out.clear();
    const int fd = posix::OpenBeneath(root, rel, O_RDONLY | O_DIRECTORY);
    if (fd < 0) return -fd;
    return ListFd(fd, out, linksAsLinks, &info);
  }

  int ReadLinkAt(int dir, const std::string& name, std::string& target, TFileInfo& info) override {
    TDirEntry e;
    if (int err = KeepLink(dir, name.c_str(), nullptr, e)) return err == EAGAIN ? EINVAL : err;
    struct stat st;
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    FillInfo(st, info);
    target = std::move(e.LinkTarget);
    return 0;
  }

  int MakeLinkAt(int dir, const std::string& name, const std::string& target, const TFileInfo& meta,
                 int* ownerResult) override {
    return posix::MakeLink(dir, name.c_str(), target, meta, ownerResult);
  }

  int SetOwnerAt(int dir, const std::string& name, const TFileInfo& seen, int64_t uid, int64_t gid,
                 const std::string& linkText) override {
    return posix::SetOwnerAt(dir, name.c_str(), seen, uid, gid, linkText);
  }

  int SetTimesFd(int fd, TFileTime writeTime) override {
    const struct timespec times[2] = {{0, UTIME_OMIT}, posix::TimespecOf(writeTime)};
    // One call for any descriptor, O_PATH ones included, where the kernel
    // takes an empty name (Linux 5.8 on); EINVAL from one that does not.
    static std::atomic<bool> emptyPathRefused{false};
    if (!emptyPathRefused.load(std::memory_order_relaxed)) {
      if (utimensat(fd, "", times, AT_EMPTY_PATH) == 0) return 0;
      if (errno != EINVAL) return errno;
      emptyPathRefused.store(true, std::memory_order_relaxed);
    }
    if (futimens(fd, times) == 0) return 0;
    if (errno != EBADF) return errno;
    // An O_PATH descriptor: its /proc name leads to the item it holds.
    return utimensat(AT_FDCWD, posix::ProcFdName(fd).c_str(), times, 0) == 0 ? 0 : errno;
  }

  int GetXattrsFd(int fd, std::string& attrs) override { return posix::GetXattrsFd(fd, attrs); }
  int SetXattrsFd(int fd, const std::string& attrs) override { return posix::SetXattrsFd(fd, attrs); }

  int OpenFileAt(int root, const std::string& rel, bool followLink, int& fd, TFileInfo& info) override {
    fd = -1;
    // The folders on the way never follow a link; the file itself only
    // when asked. Whatever the name leads to is examined through an O_PATH
    // descriptor first and opened for reading only when it is a regular
    // file: opening a device can have effects (a watchdog, a tape), and a
    // FIFO could hang.
    const size_t slash = rel.rfind('/');
    const std::string name = slash == std::string::npos ? rel : rel.substr(slash + 1);
    // A name without a folder part is opened in root itself.
    posix::TFd folder(slash == std::string::npos ? -1
                                                 : posix::OpenBeneath(root, rel.substr(0, slash), O_PATH | O_DIRECTORY));
    if (slash != std::string::npos && folder.Get() < 0) return -folder.Get();
    const int dir = slash == std::string::npos ? root : folder.Get();
    struct stat st;
    posix::TFd item(openat(dir, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (item.Get() < 0 || fstat(item.Get(), &st) != 0) return errno;
    const bool viaLink = S_ISLNK(st.st_mode);
    const uid_t linkUid = st.st_uid;
    if (viaLink) {
      // The link opened is the one followed: its text is read from it, so
      // the owner reported is that of the link that chose the file.
      if (!followLink) return ELOOP;
      std::string target(PATH_MAX, '\0');
      const ssize_t n = readlinkat(item.Get(), "", target.data(), target.size());
      if (n < 0) return errno;
      if (size_t(n) >= target.size()) return ENAMETOOLONG;
      target.resize(size_t(n));
      const int next = openat(dir, target.c_str(), O_PATH | O_CLOEXEC);
      if (next < 0) return errno;
      item.Reset(next);
      if (fstat(item.Get(), &st) != 0) return errno;
    }
    if (S_ISDIR(st.st_mode)) return EISDIR;
    if (!S_ISREG(st.st_mode)) return ENOTSUP; // devices and FIFOs are never opened
    posix::TFd f(open(posix::ProcFdName(item.Get()).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat opened;
    if (f.Get() < 0 || fstat(f.Get(), &opened) != 0) return errno;
    if (opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) return ESTALE;
    FillInfo(opened, info);
    info.ViaLink = viaLink;
    info.LinkUid = viaLink ? linkUid : opened.st_uid;
    fd = f.Release();
    return 0;
  }

  int OpenFileIn(int dir, const TFileInfo& dirInfo, const std::string& name, bool followLink, int& fd,
                 TFileInfo& info) override {
    fd = -1;
    // A name with a folder part is not one directly in dir.
    if (name.find('/') != std::string::npos || !ClosedToOthers(dir, dirInfo))
      return OpenFileAt(dir, name, followLink, fd, info);
    posix::TFd f(openat(dir, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
    // A link: followed (or refused) the careful way, which tells its owner;
    // a socket answers as anything else that is not a file does there.
    if (f.Get() < 0 && (errno == ELOOP || errno == ENXIO)) return OpenFileAt(dir, name, followLink, fd, info);
    struct stat st;
    if (f.Get() < 0) return errno;
    if (int err = CheckRegular(f.Get(), st)) return err;
    FillInfo(st, info);
    info.ViaLink = false;
    info.LinkUid = st.st_uid;
    fd = f.Release();
    return 0;
  }

  int OpenReadAt(int dir, const std::string& name, bool dropCache, int& fd) override {
    fd = -1;
    int f = openat(dir, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    if (f < 0) return errno;
    struct stat st;
    if (int err = CheckRegular(f, st)) {
      close(f);
      return err;
    }
    if (dropCache) posix_fadvise(f, 0, 0, POSIX_FADV_DONTNEED);
    posix_fadvise(f, 0, 0, POSIX_FADV_SEQUENTIAL);
    fd = f;
    return 0;
  }

  // The file is held across the unlink, so its blocks are freed when the
  // hold is let go of, in the background.
  int DeleteFileAt(int dir, const std::string& name) override {
    const int hold = HoldBeforeRemoving(dir, name.c_str());
    if (unlinkat(dir, name.c_str(), 0) != 0) {
      const int err = errno;
      ReleaseNow(hold);
      return err;
    }
    ReleaseLater(hold);
    return 0;
  }
  int RemoveDirAt(int dir, const std::string& name) override {
    return unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0 ? 0 : errno;
  }

  int CreateDirAt(int dir, const std::string& name, int& fd, TFileInfo& info) override {
    fd = -1;
    if (mkdirat(dir, name.c_str(), 0700) != 0) return errno;
    // O_RDONLY rather than O_PATH: owner, mode and ACL are set through it.
    int f = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (f < 0) return errno;
    // As for copies: the parent's owner chose its default ACL, not the
    // owner this folder will get.
    if (geteuid() == 0) {
      if (int err = posix::DropInheritedAcl(f, true)) {
        close(f);
        unlinkat(dir, name.c_str(), AT_REMOVEDIR);
        return err;
      }
    }
    return Opened(f, fd, info);
  }

  int CopyFileAt(int in, int dir, const std::string& name, const TCopyProgress& progress,
                 const std::atomic<bool>* cancel, bool largeFile, bool flushToDevice,
                 const TBeforeVisible& beforeVisible, int* beforeVisibleResult, TPendingCopy* held) override {
    struct stat st;
    if (held) *held = TPendingCopy{};
    if (int err = CheckRegular(in, st)) return err;
    if (held)
      return posix::WriteCopy(in, st, dir, progress, cancel, largeFile, flushToDevice, beforeVisible,
                              beforeVisibleResult, *held);
    return posix::CopyInto(in, st, dir, name.c_str(), progress, cancel, largeFile, flushToDevice, beforeVisible,
                           beforeVisibleResult);
  }

  int NameCopyAt(TPendingCopy& copy, int dir, const std::string& name, bool flushToDevice) override {
    if (copy.Fd < 0) return EBADF;
    return posix::NameCopy(copy, dir, name.c_str(), flushToDevice);
  }

  void DropCopyAt(TPendingCopy& copy, int dir) override { posix::DropCopy(copy, dir); }

  // An unnamed copy is reached through its descriptor; one with a temporary
  // name through that name, checked to be the same file still.
  int OpenCopyForReading(TPendingCopy& copy, int dir, const std::string&, bool dropCache, int& fd) override {
    fd = -1;
    if (copy.Fd < 0) return EBADF;
    posix::TFd f(copy.Temp.empty()
                     ? open(posix::ProcFdName(copy.Fd).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY)
                     : openat(dir, copy.Temp.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
    if (f.Get() < 0) return errno;
    struct stat opened, held;
    if (fstat(f.Get(), &opened) != 0 || fstat(copy.Fd, &held) != 0) return errno;
    if (opened.st_dev != held.st_dev || opened.st_ino != held.st_ino) return ESTALE;
    if (dropCache) posix_fadvise(f.Get(), 0, 0, POSIX_FADV_DONTNEED);
    posix_fadvise(f.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    fd = f.Release();
    return 0;
  }

  int FlushCopy(TPendingCopy& copy) override {
    if (copy.Fd < 0) return EBADF;
    return fdatasync(copy.Fd) == 0 ? 0 : errno;
  }

  int MoveFileAt(int fromDir, const std::string& fromName, int toDir, const std::string& toName) override {
    if (renameat(fromDir, fromName.c_str(), toDir, toName.c_str()) == 0) return 0;
    if (errno != EXDEV) return errno;
    if (int err = posix::MoveOddityAcross(fromDir, fromName.c_str(), toDir, toName.c_str());
        err != posix::kNotAnOddity)
      return err;
    int in = openat(fromDir, fromName.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    if (in < 0) return errno;
    struct stat st;
    int err = CheckRegular(in, st);
    if (!err) err = posix::CopyInto(in, st, toDir, toName.c_str(), {}, nullptr, false, false);
    close(in);
    if (err) return err;
    return unlinkat(fromDir, fromName.c_str(), 0) == 0 ? 0 : errno;
  }

  // Both work on O_PATH descriptors too (the folders of OpenDirAt).
  int SetOwnerFd(int fd, int64_t uid, int64_t gid) override {
    return posix::CarryOwner(fd, uid_t(uid), gid_t(gid));
  }
  int SetModeFd(int fd, uint32_t mode) override {
    if (fchmod(fd, mode & 07777) == 0) return 0;
    if (errno != EBADF) return errno;
    return chmod(posix::ProcFdName(fd).c_str(), mode & 07777) == 0 ? 0 : errno;
  }
  int GetAclFd(int fd, std::string& acl) override { return posix::GetAclFd(fd, acl); }
  int SetAclFd(int fd, const std::string& acl) override { return posix::SetAclFd(fd, acl); }
  int TrashFileAt(int dir, const std::string& name) override { return posix::TrashAt(dir, name.c_str()); }
  bool WaitForFreedSpace() override { return WaitForReleases(); }

private:
  static void FillInfo(const struct stat& st, TFileInfo& info) {
    info.IsDir = S_ISDIR(st.st_mode);
    info.Size = info.IsDir ? 0 : st.st_size;
    info.WriteTime = WriteTimeOf(st);
    info.Mode = st.st_mode;
    info.Dev = st.st_dev;
    info.Ino = st.st_ino;
    info.Uid = st.st_uid;
    info.Gid = st.st_gid;
    info.ChangeTime = FileTimeFromUnix(st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
  }

  static int Opened(int f, int& fd, TFileInfo& info) {
    struct stat st;
    if (fstat(f, &st) != 0) {
      int err = errno;
      close(f);
      return err;
    }
    FillInfo(st, info);
    fd = f;
    return 0;
  }

  // Whether only root and this process's user can add, rename or remove
  // names in the folder: it belongs to one of them and neither its group
  // nor others may write (with an ACL the group bits are its mask, which
  // bounds every named entry), on a file system where those bits rule.
  // Only root or that owner could change the bits in turn.
  static bool ClosedToOthers(int dir, const TFileInfo& dirInfo) {
    static const uid_t self = geteuid(); // the program never changes it
    return S_ISDIR(dirInfo.Mode) && (dirInfo.Uid == self || dirInfo.Uid == 0) &&
           (dirInfo.Mode & (S_IWGRP | S_IWOTH)) == 0 && posix::OnKnownLocalFileSystem(dir);
  }

  static int CheckRegular(int fd, struct stat& st) {
    if (fstat(fd, &st) != 0) return errno;
    if (S_ISDIR(st.st_mode)) return EISDIR;
    if (!S_ISREG(st.st_mode)) return ENOTSUP; // devices and FIFOs are never copied
    return 0;
  }

  // One folder; EEXIST when the name is taken.
  static int CreateDir(const std::string& path) {
    TAtPath at;
    if (int err = at.Open(path)) return err;
    return mkdirat(at.Dir(), at.Name(), 0777) == 0 ? 0 : errno;
  }
};

} // namespace

IFileSystem& RealFileSystem() {
  static TPosixFileSystem fs;
  return fs;
}

std::string SystemMessage(int code) {
  char buf[256];
  std::string text = strerror_r(code, buf, sizeof buf); // GNU form: returns the text
  while (!text.empty() && (text.back() == '.' || text.back() == ' ')) text.pop_back();
  return text;
}

bool IsFileInUseCode(int code) { return code == EBUSY || code == ETXTBSY; }

bool IsCopyTempName(const std::string& name) {
  static constexpr char kPrefix[] = ".twf-", kSuffix[] = ".part";
  if (name.size() != 5 + 12 + 5) return false;
  if (name.compare(0, 5, kPrefix) != 0 || name.compare(17, 5, kSuffix) != 0) return false;
  for (size_t i = 5; i < 17; ++i) {
    char c = name[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// The name's 48 bits hold the chooser's process id above a 26-bit counter
// (see MakeTempName).
bool CopyTempWriterGone(int dir, const std::string& name) {
  if (!IsCopyTempName(name)) return false;
  // On a file system other machines write to, the id may be one of theirs.
  struct statfs where;
  if (fstatfs(dir, &where) != 0) return false;
  switch (uint64_t(where.f_type)) {
    case 0x6969:     // NFS
    case 0x517b:     // SMB
    case 0xff534d42: // CIFS
    case 0xfe534d42: // SMB2
    case 0x65735546: // FUSE (sshfs and the like)
    case 0x00c36400: // Ceph
    case 0x5346414f: // AFS
    case 0x01021997: // 9P
    case 0x01161970: // GFS2
    case 0x7461636f: // OCFS2
    case 0x0bd00bd0: // Lustre
    case 0x47504653: // GPFS
      return false;
    default: break;
  }
  const uint64_t bits = std::strtoull(name.substr(5, 12).c_str(), nullptr, 16);
  const pid_t pid = pid_t(bits >> 26);
  if (pid <= 1 || pid == getpid()) return false;
  return kill(pid, 0) != 0 && errno == ESRCH;
}

TFileTime FileSystemNow() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME_COARSE, &ts);
  return FileTimeFromUnix(ts.tv_sec, ts.tv_nsec);
}

bool RunsAsRoot() { return geteuid() == 0; }

uint32_t ProcessUid() { return geteuid(); }

std::vector<uint32_t> ProcessGroups() {
  std::vector<gid_t> ids(size_t(std::max(0, getgroups(0, nullptr))) + 1);
  const int n = getgroups(int(ids.size()), ids.data());
  ids.resize(size_t(std::max(0, n)));
  ids.push_back(getegid());
  std::vector<uint32_t> out(ids.begin(), ids.end());
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

int64_t OpenFileLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
  return int64_t(limit.rlim_cur);
}

int64_t MonotonicMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

} // namespace twf
