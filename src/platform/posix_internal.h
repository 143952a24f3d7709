// Pieces shared by the Linux implementation files of the file-system layer.
// Not part of the layer's interface; tests include it for the pure helpers.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/fs.h"

namespace twf::posix {

// Owns a descriptor: closes it when dropped or replaced.
class TFd {
public:
  explicit TFd(int fd = -1) : Fd_(fd) {}
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  ~TFd() { Reset(); }
  void Reset(int fd = -1);
  int Get() const { return Fd_; }
  int Release() {
    int fd = Fd_;
    Fd_ = -1;
    return fd;
  }

private:
  int Fd_;
};

// The /proc name of an open descriptor: opening or naming it reaches the
// open item, whatever has happened to its path since (and an O_PATH
// descriptor becomes usable for the calls that take only names).
std::string ProcFdName(int fd);

// The absolute path of an open descriptor as the kernel tells it; an errno
// when it cannot (ENAMETOOLONG for a path beyond PATH_MAX, ENOENT for an
// item no longer reachable by any path).
int PathOfFd(int fd, std::string& path);

// A path turned into a folder descriptor plus the last component, for the
// *at() calls. Paths shorter than PATH_MAX stay as they are (AT_FDCWD and the
// whole path), so the common case costs no extra system call; longer ones
// have their folder part opened in pieces shorter than PATH_MAX. Intermediate
// symbolic links are followed, as the kernel would for a short path.
class TAtPath {
public:
  TAtPath() = default;
  TAtPath(const TAtPath&) = delete;
  TAtPath& operator=(const TAtPath&) = delete;
  ~TAtPath();

  // Returns an errno.
  int Open(const std::string& path);
  int Dir() const;
  const char* Name() const { return Name_; }

private:
  TFd Fd_;
  const char* Name_ = "";
  std::string Own_;
};

// Opens path itself with O_PATH (following links) for the f*() calls that
// have no *at() form; returns the descriptor or -errno.
int OpenPathFd(const std::string& path);

// Opens rel (parts joined by "/"; empty: root itself) below the folder
// root with openat2's RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS, or, where
// openat2 is missing, a walk of O_NOFOLLOW opens. flags are open() flags
// (O_CLOEXEC is added). Returns the descriptor or -errno: ELOOP for a link
// on the way, EXDEV for a ".." that would leave root.
int OpenBeneath(int root, const std::string& rel, int flags);
// The same walk without openat2 (used where it is missing; tests call it).
int WalkBeneath(int root, const std::string& rel, int flags);

// The nearest existing folder at or above path ("." for a relative path
// whose folders are all missing); empty when there is none.
std::string NearestExistingDir(const std::string& path);

// Copies the content and metadata of the open regular file in (described by
// st) into a fresh temporary file in parentFd, renamed to name at the end.
// The content is read from the file's start, whatever the offset of in (so a
// retry on the same descriptor needs no seek); in's offset is left alone.
// Where the file system allows, the copy is an unnamed file (O_TMPFILE)
// linked in only when complete, so a kill leaves nothing behind; otherwise,
// and for replacing an existing name, it goes through a temporary name.
int CopyInto(int in, const struct stat& st, int parentFd, const char* name,
             const TCopyProgress& progress, const std::atomic<bool>* cancel, bool largeFile,
             bool flushToDevice, const TBeforeVisible& beforeVisible = {}, int* beforeVisibleResult = nullptr);

// CopyInto in two steps: WriteCopy leaves the finished copy in held,
// unnamed or under its temporary name (with its write-back started when
// flushToDevice); NameCopy gives it name, DropCopy removes it.
int WriteCopy(int in, const struct stat& st, int parentFd, const TCopyProgress& progress,
              const std::atomic<bool>* cancel, bool largeFile, bool flushToDevice,
              const TBeforeVisible& beforeVisible, int* beforeVisibleResult, TPendingCopy& held);
int NameCopy(TPendingCopy& held, int parentFd, const char* name, bool flushToDevice);
void DropCopy(TPendingCopy& held, int parentFd);

// Moves a dangling link or a special file (FIFO, socket, device) to another
// file system by making it again there and removing the original: never
// followed, never opened. kNotAnOddity for anything else (the caller copies).
inline constexpr int kNotAnOddity = -1;
int MoveOddityAcross(int fromDir, const char* fromName, int toDir, const char* toName);

// ".twf-" + 12 hex digits + ".part", unique per process and call.
void MakeTempName(char (&name)[23]);

struct timespec TimespecOf(TFileTime t);

// The link calls of the layer (link_posix.cpp).
int MakeLink(int dir, const char* name, const std::string& target, const TFileInfo& meta, int* ownerResult);
int SetOwnerAt(int dir, const char* name, const TFileInfo& seen, int64_t uid, int64_t gid,
               const std::string& linkText);
// Owner and group of an open item; where the owner cannot be set, the
// group alone (a member of the group may give it). 0, or the errno of the
// attempt that failed.
int CarryOwner(int fd, uid_t uid, gid_t gid);

// Extended attributes (xattr_posix.cpp).
int GetXattrsFd(int fd, std::string& attrs);
int SetXattrsFd(int fd, const std::string& attrs);

int GetAclFd(int fd, std::string& acl);
int SetAclFd(int fd, const std::string& acl);
// Removes the access ACL (and for a folder the default ACL) that a new
// item inherited from its folder's default ACL, leaving its permission
// bits. 0 also where the item has none or the file system has no ACLs.
int DropInheritedAcl(int fd, bool folder);
int TrashAt(int dir, const char* name);
int64_t FreeSpace(const std::string& path);
// The local file systems whose permission bits the kernel itself enforces
// and that free a file's blocks on its last close (ext2/3/4, XFS, btrfs,
// F2FS, tmpfs), for the item open as fd. False for the rest: network and
// FUSE file systems decide for themselves who changes what, and NFS keeps a
// file removed while open under another name until its close.
bool OnKnownLocalFileSystem(int fd);
bool VolumeIdentity(const std::string& path, std::string& label, std::string& serial);

// "XXXX-XXXX" from the first 8 hex digits of a file-system UUID (dashes
// left out); empty when it has fewer.
std::string SerialFromUuid(const std::string& uuid);
// "XXXX-XXXX" from a 32-bit number, high half first.
std::string SerialFromNumber(uint32_t value);
// Undoes udev's \xHH escapes in /dev/disk/by-label names.
std::string DecodeUdevName(const std::string& name);
// Undoes the kernel's \ooo escapes in /proc/self/mountinfo fields.
std::string DecodeMountField(const std::string& field);

} // namespace twf::posix
