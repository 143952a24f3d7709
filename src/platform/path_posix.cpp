// Paths of any length: long ones are opened in pieces the kernel accepts.
#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix_internal.h"

namespace twf::posix {
namespace {

constexpr int kDirFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

// Opens the folder s[0, len) in pieces shorter than PATH_MAX, each ending at
// a separator. Returns a descriptor or -errno.
int OpenDirInPieces(const std::string& s, size_t len) {
  int cur = AT_FDCWD;
  size_t pos = 0;
  std::string piece;
  while (pos < len) {
    size_t end = len;
    if (len - pos >= PATH_MAX) {
      // The last separator that keeps the piece below PATH_MAX.
      size_t slash = s.rfind('/', pos + PATH_MAX - 2);
      if (slash == std::string::npos || slash < pos) {
        if (cur != AT_FDCWD) close(cur);
        return -ENAMETOOLONG;
      }
      end = slash + 1;
    }
    piece.assign(s, pos, end - pos);
    int next = openat(cur, piece.c_str(), kDirFlags);
    int err = errno;
    if (cur != AT_FDCWD) close(cur);
    if (next < 0) return -err;
    cur = next;
    pos = end;
    while (pos < len && s[pos] == '/') ++pos;
  }
  return cur == AT_FDCWD ? openat(AT_FDCWD, ".", kDirFlags) : cur;
}

} // namespace

void TFd::Reset(int fd) {
  if (Fd_ >= 0) close(Fd_);
  Fd_ = fd;
}

std::string ProcFdName(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

TAtPath::~TAtPath() = default;

int TAtPath::Dir() const { return Fd_.Get() >= 0 ? Fd_.Get() : AT_FDCWD; }

int TAtPath::Open(const std::string& path) {
  if (path.empty()) return ENOENT;
  if (path.size() < PATH_MAX) {
    Name_ = path.c_str();
    return 0;
  }
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  size_t slash = path.rfind('/', end - 1);
  size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  if (nameStart == end) {
    // The root itself: "." inside "/".
    Own_ = ".";
  } else {
    Own_.assign(path, nameStart, end - nameStart);
  }
  Name_ = Own_.c_str();
  int fd;
  if (slash == std::string::npos) {
    fd = openat(AT_FDCWD, ".", kDirFlags);
    if (fd < 0) fd = -errno;
  } else {
    size_t parentLen = slash == 0 ? 1 : slash;
    fd = OpenDirInPieces(path, parentLen);
  }
  if (fd < 0) return -fd;
  Fd_.Reset(fd);
  return 0;
}

int OpenPathFd(const std::string& path) {
  TAtPath at;
  if (int err = at.Open(path)) return -err;
  int fd = openat(at.Dir(), at.Name(), O_PATH | O_CLOEXEC);
  return fd >= 0 ? fd : -errno;
}

namespace {

bool IsDir(const std::string& path) {
  TAtPath at;
  struct stat st;
  return at.Open(path) == 0 && fstatat(at.Dir(), at.Name(), &st, 0) == 0 && S_ISDIR(st.st_mode);
}

void StripTrailingSlashes(std::string& p) {
  while (p.size() > 1 && p.back() == '/') p.pop_back();
}

std::vector<std::string> SplitComponents(const std::string& p) {
  std::vector<std::string> parts;
  size_t pos = 0;
  while (pos < p.size()) {
    size_t slash = p.find('/', pos);
    if (slash == std::string::npos) slash = p.size();
    if (slash > pos) parts.emplace_back(p, pos, slash - pos);
    pos = slash + 1;
  }
  return parts;
}

std::string CurrentDir() {
  std::string buf(PATH_MAX, '\0');
  while (!getcwd(buf.data(), buf.size())) {
    if (errno != ERANGE) return "/";
    buf.resize(buf.size() * 2);
  }
  buf.resize(buf.find('\0'));
  return buf;
}

void PopComponent(std::string& resolved) {
  size_t slash = resolved.rfind('/');
  resolved.resize(slash == std::string::npos ? 0 : slash);
}

} // namespace

std::string NearestExistingDir(const std::string& path) {
  std::string p = path;
  StripTrailingSlashes(p);
  while (!p.empty()) {
    if (IsDir(p)) return p;
    size_t slash = p.rfind('/');
    if (slash == std::string::npos) {
      p = p == "." ? "" : ".";
    } else if (slash == 0) {
      p = p == "/" ? "" : "/";
    } else {
      p.resize(slash);
      StripTrailingSlashes(p);
    }
  }
  return p;
}

} // namespace twf::posix

namespace twf {

// Resolves component by component rather than with realpath(), which
// neither takes paths beyond PATH_MAX nor tolerates a missing tail.
std::string ResolvePathForCompare(const std::string& path) {
  if (path.empty()) return path;
  std::string full = path[0] == '/' ? path : posix::CurrentDir() + "/" + path;
  std::vector<std::string> todo = posix::SplitComponents(full);
  std::vector<std::string> stack(todo.rbegin(), todo.rend()); // next component at the back
  std::string resolved; // empty stands for "/"
  bool existing = true;
  int links = 0;
  std::string target(PATH_MAX, '\0');
  while (!stack.empty()) {
    std::string comp;
    comp.swap(stack.back());
    stack.pop_back();
    if (comp == ".") continue;
    if (comp == "..") {
      posix::PopComponent(resolved);
      continue;
    }
    std::string candidate = resolved + "/" + comp;
    if (existing) {
      posix::TAtPath at;
      struct stat st;
      if (at.Open(candidate) != 0 || fstatat(at.Dir(), at.Name(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        existing = false;
      } else if (S_ISLNK(st.st_mode)) {
        ssize_t n = readlinkat(at.Dir(), at.Name(), target.data(), target.size());
        if (n <= 0 || ++links > 40) {
          existing = false;
        } else {
          std::string link(target.data(), size_t(n));
          if (link[0] == '/') resolved.clear();
          std::vector<std::string> parts = posix::SplitComponents(link);
          stack.insert(stack.end(), parts.rbegin(), parts.rend());
          continue;
        }
      }
    }
    resolved = std::move(candidate);
  }
  return resolved.empty() ? "/" : resolved;
}

} // namespace twf

namespace twf::posix {
namespace {

// Set once openat2 answered ENOSYS (or a sandbox refused it): every later
// call walks.
std::atomic<bool> gNoOpenat2{false};

int OpenOpenat2(int root, const std::string& rel, int flags) {
  struct open_how how;
  memset(&how, 0, sizeof how);
  how.flags = uint64_t(flags | O_CLOEXEC);
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  for (int attempt = 0;; ++attempt) {
    long fd = syscall(SYS_openat2, root, rel.c_str(), &how, sizeof how);
    if (fd >= 0) return int(fd);
    // EAGAIN: a rename elsewhere raced the lookup; the kernel asks to retry.
    if (errno == EAGAIN && attempt < 8) continue;
    return -errno;
  }
}

} // namespace

int WalkBeneath(int root, const std::string& rel, int flags) {
  std::vector<std::string> parts = SplitComponents(rel);
  int cur = root;
  auto drop = [&](int fd) {
    if (fd != root && fd >= 0) close(fd);
  };
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    const std::string& comp = parts[i];
    if (comp == "..") {
      drop(cur);
      return -EXDEV; // never above root
    }
    if (comp == ".") continue;
    int next = openat(cur, comp.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int err = errno;
    if (next < 0) {
      // O_PATH | O_NOFOLLOW opens a link itself, which O_DIRECTORY refuses.
      struct stat st;
      if (err == ENOTDIR && fstatat(cur, comp.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        err = ELOOP;
      drop(cur);
      return -err;
    }
    drop(cur);
    cur = next;
  }
  const char* last = parts.empty() ? "." : parts.back().c_str();
  if (!parts.empty() && parts.back() == "..") {
    drop(cur);
    return -EXDEV;
  }
  int fd = openat(cur, last, flags | O_NOFOLLOW | O_CLOEXEC);
  int err = errno;
  if (fd < 0) {
    struct stat st;
    if ((err == ENOTDIR || err == ELOOP) && fstatat(cur, last, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode))
      err = ELOOP;
    drop(cur);
    return -err;
  }
  drop(cur);
  struct stat st;
  if (fstat(fd, &st) != 0) {
    err = errno;
    close(fd);
    return -err;
  }
  if (S_ISLNK(st.st_mode)) { // O_PATH | O_NOFOLLOW on a link
    close(fd);
    return -ELOOP;
  }
  return fd;
}

int OpenBeneath(int root, const std::string& rel, int flags) {
  if (rel.empty()) {
    int fd = openat(root, ".", flags | O_CLOEXEC);
    return fd >= 0 ? fd : -errno;
  }
  if (!gNoOpenat2.load(std::memory_order_relaxed)) {
    int fd = OpenOpenat2(root, rel, flags);
    if (fd >= 0) return fd;
    // Paths longer than the kernel takes in one piece are walked.
    if (fd != -ENOSYS && fd != -EPERM && fd != -ENAMETOOLONG) return fd;
    if (fd != -ENAMETOOLONG) gNoOpenat2.store(true, std::memory_order_relaxed);
  }
  return WalkBeneath(root, rel, flags);
}

} // namespace twf::posix

namespace twf::posix {

int PathOfFd(int fd, std::string& path) {
  path.clear();
  const std::string link = ProcFdName(fd);
  std::string buf(PATH_MAX, '\0');
  for (;;) {
    ssize_t n = readlink(link.c_str(), buf.data(), buf.size());
    if (n < 0) return errno;
    if (size_t(n) < buf.size()) {
      buf.resize(size_t(n));
      break;
    }
    buf.resize(buf.size() * 2);
  }
  static constexpr char kDeleted[] = " (deleted)";
  if (buf.size() > sizeof kDeleted - 1 && buf.compare(buf.size() - (sizeof kDeleted - 1), std::string::npos, kDeleted) == 0)
    buf.resize(buf.size() - (sizeof kDeleted - 1));
  // Anything but an absolute path ("pipe:[…]", an unreachable mount) names no item.
  if (buf.empty() || buf[0] != '/') return ENOENT;
  path = std::move(buf);
  return 0;
}

} // namespace twf::posix

namespace twf {

std::string PathOfDescriptor(int fd) {
  std::string path;
  posix::PathOfFd(fd, path);
  return path;
}

} // namespace twf
