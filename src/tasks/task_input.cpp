#include "tasks/task_input.h"

#include <cerrno>
#include <climits>
#include <deque>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace twf {

namespace {

// Symbolic links followed on one path before giving up, as the kernel does.
constexpr int kMaxLinks = 40;

void SplitInto(const std::string& path, std::deque<std::string>& parts) {
  std::deque<std::string> found;
  size_t start = 0;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != '/') continue;
    std::string part = path.substr(start, i - start);
    start = i + 1;
    if (!part.empty() && part != ".") found.push_back(std::move(part));
  }
  parts.insert(parts.begin(), found.begin(), found.end());
}

std::string Joined(const std::vector<std::string>& names) {
  std::string path;
  for (const std::string& n : names) path += "/" + n;
  return path.empty() ? "/" : path;
}

// Someone other than root who can add, remove or rename entries of a folder
// can make a path through it name a file of their choosing. A sticky folder
// (/tmp) lets them remove only their own entries, and those are refused
// when the walk reaches them.
std::string FolderRefusal(int fd, const std::string& shown) {
  struct stat st;
  if (fstat(fd, &st) != 0) return "the folder \"" + shown + "\" cannot be checked";
  if (st.st_uid != 0) return "the folder \"" + shown + "\" belongs to uid " + std::to_string(st.st_uid) + ", not to root";
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0)
    return "others can write the folder \"" + shown + "\"";
  return {};
}

struct TFolderStack {
  std::vector<int> Fds;
  std::vector<std::string> Names; // Names[i] leads from Fds[i] to Fds[i + 1]
  ~TFolderStack() { Reset(-1); }
  void Reset(int rootFd) {
    for (int fd : Fds) close(fd);
    Fds.clear();
    Names.clear();
    if (rootFd >= 0) Fds.push_back(rootFd);
  }
};

} // namespace

int OpenThroughRootFolders(const std::string& path, int flags, std::string& refusal) {
  refusal.clear();
  if (path.empty()) {
    errno = ENOENT;
    return -1;
  }
  std::string absolute = path;
  if (path[0] != '/') {
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) return -1;
    absolute = std::string(cwd) + "/" + path;
  }
  std::deque<std::string> todo;
  SplitInto(absolute, todo);
  TFolderStack at;
  auto openRoot = [] { return open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC); };
  at.Reset(openRoot());
  if (at.Fds.empty()) return -1;
  int links = 0;
  if (todo.empty()) {
    errno = EISDIR;
    return -1;
  }
  while (!todo.empty()) {
    const std::string name = todo.front();
    todo.pop_front();
    const int here = at.Fds.back();
    if (name == "..") {
      if (at.Fds.size() > 1) {
        close(here);
        at.Fds.pop_back();
        at.Names.pop_back();
      }
      continue;
    }
    std::vector<std::string> shownNames = at.Names;
    const std::string folder = Joined(shownNames);
    if (refusal = FolderRefusal(here, folder); !refusal.empty()) {
      errno = EPERM;
      return -1;
    }
    shownNames.push_back(name);
    const std::string shown = Joined(shownNames);
    if (todo.empty()) {
      const int fd = openat(here, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
      if (fd >= 0) return fd;
      const int error = errno;
      struct stat st;
      if (error == ELOOP && fstatat(here, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        refusal = "it is a symbolic link";
      errno = error;
      return -1;
    }
    // A real open, not O_PATH, so that an automounted folder is mounted.
    // Nothing here can change between the calls: the folder is root's alone.
    const int fd = openat(here, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
      at.Fds.push_back(fd);
      at.Names.push_back(name);
      continue;
    }
    if (errno != ELOOP && errno != ENOTDIR) return -1;
    struct stat st;
    if (fstatat(here, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
    if (!S_ISLNK(st.st_mode)) {
      errno = ENOTDIR;
      return -1;
    }
    // A link in a folder only root can change still names what its owner chose.
    if (st.st_uid != 0) {
      refusal = "the symbolic link \"" + shown + "\" belongs to uid " + std::to_string(st.st_uid) + ", not to root";
      errno = EPERM;
      return -1;
    }
    if (++links > kMaxLinks) {
      errno = ELOOP;
      return -1;
    }
    std::string target(PATH_MAX, '\0');
    const ssize_t n = readlinkat(here, name.c_str(), target.data(), target.size());
    if (n < 0) return -1;
    target.resize(static_cast<size_t>(n));
    if (!target.empty() && target[0] == '/') {
      at.Reset(openRoot());
      if (at.Fds.empty()) return -1;
    }
    SplitInto(target, todo);
  }
  errno = ENOENT;
  return -1;
}

int OpenTaskInput(const std::string& path, std::string& refusal) {
  refusal.clear();
  if (geteuid() != 0) return open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  const int fd = OpenThroughRootFolders(path, O_RDONLY | O_NONBLOCK, refusal);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0) refusal = "its owner cannot be checked";
  else if (st.st_uid != 0) refusal = "it belongs to uid " + std::to_string(st.st_uid) + ", not to root";
  else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) refusal = "group or others can write it";
  if (refusal.empty()) return fd;
  close(fd);
  errno = EPERM;
  return -1;
}

} // namespace twf
