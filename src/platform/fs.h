// The file-system layer: every call the engine, the hasher and the log make
// to the operating system goes through here.
//
// Paths are byte strings (UTF-8 where the names are, never re-encoded).
// Every function takes full paths of any length: paths longer than PATH_MAX
// are walked component by component with openat, so deep trees work.
// Errors are errno values (0 = success); SystemMessage turns one into text.
#pragma once

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace twf {

// Last-write time in 100 ns units since 1601-01-01 UTC.
using TFileTime = int64_t;

// Converts a Unix time (seconds and nanoseconds since 1970) to a TFileTime.
constexpr TFileTime FileTimeFromUnix(int64_t sec, int64_t nsec) {
  return (sec + 11644473600LL) * 10000000LL + nsec / 100;
}

enum class TEntryKind : uint8_t {
  File,       // regular file, or a symbolic link to one (size and time are the target's)
  Dir,        // folder on the same file system as its parent
  DirLink,    // symbolic link to a folder
  MountPoint, // folder on another file system than its parent
  Special,    // FIFO, socket, device: never opened
  Dangling,   // symbolic link whose target does not exist or cannot be read
  Symlink,    // symbolic link, not examined beyond itself (listings that keep links as links)
};

// A copy that CopyFileAt wrote but held back from its name: the open file,
// and its temporary name where it has one (an unnamed file has none).
struct TPendingCopy {
  int Fd = -1;
  std::string Temp;
  // Set by the caller before naming: the name holds a file the copy
  // replaces (a hint; naming works either way).
  bool Replaces = false;
};

struct TDirEntry {
  std::string Name;
  TEntryKind Kind = TEntryKind::File;
  bool Hidden = false;     // the name begins with "."
  int64_t Size = 0;        // files only
  TFileTime WriteTime = 0; // files only
  bool Link = false;       // a symbolic link (Kind tells what it points to)
  // Listings that keep links as links: a Symlink's text, as it stands.
  std::string LinkTarget;
  // Owner, group and st_mode of the entry itself where it was examined
  // (regular files, folders, and links kept as links).
  uint32_t Uid = 0, Gid = 0, Mode = 0;
};

struct TFileInfo {
  bool IsDir = false;
  int64_t Size = 0;
  TFileTime WriteTime = 0;
  uint32_t Mode = 0; // st_mode
  uint64_t Dev = 0, Ino = 0; // identity; filled by the descriptor calls
  uint32_t Uid = 0, Gid = 0;
  TFileTime ChangeTime = 0; // status change (ctime)
  // OpenFileAt only: the file was reached through a link, and that link's
  // owner (whoever may have pointed it at the file).
  bool ViaLink = false;
  uint32_t LinkUid = 0;
};

// Runs on a copy's open descriptor after the content, owner and group are
// in place and before its permission bits, times and name: what it sets
// (an ACL) is there before anyone can open the copy. Its result is kept for
// the caller; the copy goes on either way.
using TBeforeVisible = std::function<int(int fd)>;

// Called by CopyFileAt with the bytes of this file copied so far; return false to abort.
using TCopyProgress = std::function<bool(int64_t transferred)>;

// Code CopyFileAt returns when it was aborted by the cancel flag or the progress routine.
constexpr int kCopyAborted = ECANCELED;

// Abstract so tests can fail any call (the tests wrap it in a fault-injecting one).
class IFileSystem {
public:
  virtual ~IFileSystem() = default;

  // Folder-existence test (follows symbolic links).
  virtual bool IsDirectory(const std::string& path) = 0;
  // Follows symbolic links. Size is 0 for folders.
  virtual int Stat(const std::string& path, TFileInfo& info) = 0;
  // Creates the folder and every missing parent; 0 when it exists.
  virtual int CreateDirPath(const std::string& path) = 0;

  // Opens for reading (fd >= 0 on success). dropCache: evict the file's
  // cached pages first so the reads come from the device.
  virtual int OpenRead(const std::string& path, bool dropCache, int& fd) = 0;
  // Reads up to size bytes; returns the count, 0 at the end, -errno on failure.
  virtual int64_t Read(int fd, void* buf, int64_t size) = 0;
  virtual void Close(int fd) = 0;

  // Bytes available to the calling user on the file system holding path (the
  // nearest existing folder); -1 when unknown, also for file systems that
  // report no block figures at all (ramfs, some network file systems).
  virtual int64_t FreeSpace(const std::string& path) = 0;
  // Label and serial of the file system holding path (nearest existing
  // folder). Serial: "XXXX-XXXX", upper-case hex, from the file system's
  // UUID, else its f_fsid. Label: from /dev/disk/by-label, may be empty.
  virtual bool VolumeIdentity(const std::string& path, std::string& label, std::string& serial) = 0;

  // Descriptor calls: a tree that other users may write is worked on
  // through folder descriptors, so a folder swapped for a link after it was
  // opened (or checked) cannot send an operation elsewhere. Descriptors come
  // from OpenDir, OpenDirAt, CreateDirAt, OpenFileAt and OpenReadAt and are
  // released with Close. Names are single components.

  // Opens the root folder of such a tree. The last component is never
  // followed (ELOOP for a link); the folders above it are.
  virtual int OpenDir(const std::string& path, int& fd, TFileInfo& info) = 0;
  // Opens the folder rel (parts joined by "/", empty for root itself) below
  // root without following any link (ELOOP) or climbing out (EXDEV). A
  // mount placed on the way shows in the identity: info holds the folder's
  // device and inode, owner and mode.
  virtual int OpenDirAt(int root, const std::string& rel, int& fd, TFileInfo& info) = 0;
  // Stat of name in dir, not following a link.
  virtual int StatAt(int dir, const std::string& name, TFileInfo& info) = 0;
  // Lists an open folder, "." and ".." left out. On failure returns the
  // errno of the open, or of a read that fails part-way (then out holds
  // nothing: a partial listing is never taken for a whole one). An entry
  // that vanishes between reading the folder and examining it is left out;
  // one that cannot be examined for another reason (a folder without search
  // permission) fails the whole listing with that errno, so no entry goes
  // missing unreported. out is cleared first and its capacity reused.
  // linksAsLinks: a symbolic link is a Symlink entry with its own time,
  // owner and text, and what it points to is never looked at; otherwise
  // it is classified by its target (File, DirLink, Dangling, Special).
  virtual int ListDirAt(int dir, std::vector<TDirEntry>& out, bool linksAsLinks = false) = 0;
  // OpenDirAt and ListDirAt in one, the descriptor closed again: what a
  // tree walk does for each folder, in fewer system calls where the file
  // system allows.
  virtual int ListDirBeneath(int root, const std::string& rel, std::vector<TDirEntry>& out, bool linksAsLinks,
                             TFileInfo& info) {
    out.clear();
    int fd = -1;
    if (int err = OpenDirAt(root, rel, fd, info)) return err;
    const int err = ListDirAt(fd, out, linksAsLinks);
    Close(fd);
    return err;
  }
  // The text of the link name in dir, and the link's own lstat (times,
  // owner, group). EINVAL when name is no link.
  virtual int ReadLinkAt(int dir, const std::string& name, std::string& target, TFileInfo& info) = 0;
  // Makes name in dir a link holding target, replacing a file or link of
  // that name in one step: the link is made under a temporary name, given
  // meta's owner and group (where this process may: the group alone when
  // the owner cannot be set; *ownerResult tells whether it took) and its
  // modification time, then renamed over name, so the name never goes
  // missing. Nothing is ever followed. EPERM or ENOTSUP from a file system
  // that cannot hold links; nothing is left behind on failure.
  virtual int MakeLinkAt(int dir, const std::string& name, const std::string& target, const TFileInfo& meta,
                         int* ownerResult) = 0;
  // Owner and group (-1 keeps one) of name in dir itself, never of what a
  // link points to. Only while it is what the scan saw: of seen's type
  // (Mode's S_IFMT bits, a link or a regular file) with seen's Uid and Gid,
  // and a regular file with no second name, so nobody can have slipped
  // another file under the name. ESTALE otherwise, and nothing changes.
  // Set-id bits that the change of owner drops are given back, but only on
  // a file this process's user owned. A link only while its text is
  // linkText (read from the very link that gets the owner).
  virtual int SetOwnerAt(int dir, const std::string& name, const TFileInfo& seen, int64_t uid, int64_t gid,
                         const std::string& linkText) = 0;
  // Modification time of an open item (a folder from OpenDirAt, say); the
  // access time is left as it is.
  virtual int SetTimesFd(int fd, TFileTime writeTime) = 0;
  // Extended attributes of an open item as an opaque text (the namespaces
  // this process may write: user.*, and as root also trusted.* and
  // security.*); ENOTSUP on a file system without them.
  virtual int GetXattrsFd(int fd, std::string& attrs) = 0;
  // Makes the item's attributes of those namespaces exactly attrs.
  virtual int SetXattrsFd(int fd, const std::string& attrs) = 0;
  // Opens the regular file rel below root for reading, no link on the way
  // to it; the file itself may be a link only when followLink (info tells
  // the link's owner). Anything but a regular file fails (EISDIR, ENOTSUP,
  // ELOOP) before it is opened for reading, so no device or FIFO is ever
  // opened through a link.
  virtual int OpenFileAt(int root, const std::string& rel, bool followLink, int& fd, TFileInfo& info) = 0;
  // OpenFileAt for a name directly in dir, a folder that OpenDirAt opened
  // and described as dirInfo. A folder that only root and this process's
  // user can change (its owner one of them, no write for group or others,
  // on a local file system) cannot have had a device or FIFO put under the
  // name by anyone else since the scan saw a regular file there: the file
  // is then opened for reading at once, and checked afterwards.
  virtual int OpenFileIn(int dir, const TFileInfo& dirInfo, const std::string& name, bool followLink, int& fd,
                         TFileInfo& info) {
    (void)dirInfo;
    return OpenFileAt(dir, name, followLink, fd, info);
  }
  // Opens the regular file name in dir for reading, not following a link.
  virtual int OpenReadAt(int dir, const std::string& name, bool dropCache, int& fd) = 0;
  virtual int DeleteFileAt(int dir, const std::string& name) = 0;
  // Removes an empty folder only.
  virtual int RemoveDirAt(int dir, const std::string& name) = 0;
  // Creates the folder with mode 0700 and opens it, so its owner, ACL and
  // final mode can be set before anyone else can use it. As root, ACL
  // entries inherited from dir's default ACL are removed (the folder's
  // owner may have put them there). EEXIST when the name is taken (fd
  // stays -1).
  virtual int CreateDirAt(int dir, const std::string& name, int& fd, TFileInfo& info) = 0;
  // Copies the open regular file `in` (from its start) to name in dir,
  // replacing what is there: writes an unnamed file, or one under a
  // temporary name, and gives it name only when the content, permission
  // bits and modification time are in place, so a failed or cancelled copy
  // never leaves a partial file under name. Returns kCopyAborted when cancel
  // became true or progress returned false. With flushToDevice the data is
  // on the device (fdatasync) before it gets its name. largeFile: the
  // caller's hint that the file is 256 MiB or more (kept out of the page
  // cache, which also means the data is written back while copying). Owner
  // and group are the source's where this process may set them; where it
  // may not, the set-user-id and set-group-id bits are left out. As root,
  // the copy keeps no ACL entries inherited from dir's default ACL.
  // progress and beforeVisible may be empty and cancel null; beforeVisible's
  // result goes to *beforeVisibleResult when that is given. A folder gives
  // EISDIR, a FIFO or device ENOTSUP.
  // With held, the finished copy does not get its name: it is left in
  // *held, its write-back to the device started when flushToDevice, for
  // NameCopyAt or DropCopyAt. A worker can so write a batch of copies before
  // it waits for any of them to reach the device, and one flush of the file
  // system's journal covers many. On failure *held stays empty.
  virtual int CopyFileAt(int in, int dir, const std::string& name, const TCopyProgress& progress,
                         const std::atomic<bool>* cancel, bool largeFile, bool flushToDevice,
                         const TBeforeVisible& beforeVisible, int* beforeVisibleResult, TPendingCopy* held) = 0;
  // Gives a held copy its name in dir (the folder it was written in),
  // replacing what is there, after fdatasync when flushToDevice. A failed
  // one is removed. copy is empty afterwards either way.
  virtual int NameCopyAt(TPendingCopy& copy, int dir, const std::string& name, bool flushToDevice) = 0;
  // Puts a held copy's data on the device (fdatasync) before anything is
  // done that only a finished copy may justify.
  virtual int FlushCopy(TPendingCopy& copy) = 0;
  // Opens a held copy for reading, as OpenReadAt opens a named file; dir is
  // the folder it was written in, name what it is to be called (for
  // reports only).
  virtual int OpenCopyForReading(TPendingCopy& copy, int dir, const std::string& name, bool dropCache, int& fd) = 0;
  // Removes a held copy; nothing when copy is empty.
  virtual void DropCopyAt(TPendingCopy& copy, int dir) = 0;
  // renameat, replacing; across file systems a copy (owner and group as in
  // CopyFileAt) and then the source's removal. Never follows a link.
  virtual int MoveFileAt(int fromDir, const std::string& fromName, int toDir, const std::string& toName) = 0;
  // Owner and group of an open item; -1 keeps one.
  virtual int SetOwnerFd(int fd, int64_t uid, int64_t gid) = 0;
  virtual int SetModeFd(int fd, uint32_t mode) = 0;
  // POSIX access ACL (and a folder's default ACL) of an open item as an
  // opaque text; ENOTSUP on a file system without ACLs.
  virtual int GetAclFd(int fd, std::string& acl) = 0;
  virtual int SetAclFd(int fd, const std::string& acl) = 0;
  // Moves name in dir to the freedesktop.org Trash of its file system (the
  // home Trash when that lies on the same one), never following a link.
  // ENAMETOOLONG when the item's path has PATH_MAX bytes or more: the Trash
  // records the original path, and its tools cannot handle longer ones.
  virtual int TrashFileAt(int dir, const std::string& name) = 0;
  // The space of files deleted or replaced may come back a moment after
  // the call that removed their name returned: waits until it has. Returns
  // whether there was any to wait for, or some came back a moment ago.
  virtual bool WaitForFreedSpace() { return false; }
};

// The real file system of this machine.
IFileSystem& RealFileSystem();

// The system's text for an errno value, without a final full stop.
std::string SystemMessage(int code);

// True for the codes that mean "the file is in use": EBUSY, ETXTBSY.
bool IsFileInUseCode(int code);

// The path with symbolic links resolved, for the nearest existing folder,
// the rest appended as given ("." and ".." in that rest folded lexically).
// A relative path is taken from the current folder.
std::string ResolvePathForCompare(const std::string& path);

// True when path (links followed) is the root of a mounted file system,
// where the freedesktop.org Trash keeps that file system's .Trash-<uid> and
// .Trash folders. False when it cannot be examined.
bool IsFileSystemRoot(const std::string& path);

// Key folding for map keys and case-insensitive comparisons. Linux file
// systems are case-sensitive, so this is the identity.
inline std::string_view FoldKey(std::string_view s) { return s; }

// Temporary names of copies under way: short and fixed in shape, so a name
// left by a killed run can be recognised by the next one.
bool IsCopyTempName(const std::string& name);

// For a temporary copy name in the open folder dir: true when the process
// that chose it has ended, so nobody writes that file any more (a killed
// run's leftovers). False while that process, or one that has its id now,
// runs; for a name that carries no process id; and on a network file
// system, where the id may be another machine's.
bool CopyTempWriterGone(int dir, const std::string& name);

// The absolute path of an open descriptor, for messages and records;
// empty when it cannot be told.
std::string PathOfDescriptor(int fd);

// Now, by the clock file systems stamp changes with (the kernel's coarse
// clock): whatever changes a file after this call gives it a status-change
// time no earlier than the value returned.
TFileTime FileSystemNow();

// True when this process runs as root (and so can read every user's files).
bool RunsAsRoot();
// The effective user of this process, and the groups it belongs to (the
// effective group and the supplementary ones), sorted.
uint32_t ProcessUid();
std::vector<uint32_t> ProcessGroups();

// Monotonic milliseconds.
int64_t MonotonicMs();

// How many descriptors this process may hold open (its soft limit); 0 when
// that cannot be told.
int64_t OpenFileLimit();

} // namespace twf
