// Small helpers for the platform tests: a temporary tree built in a few
// lines, a private tmpfs mount, and running a step as an unprivileged user.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <grp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace twf::test {

// Removes a tree of any depth below parent, descending by descriptor so that
// paths beyond PATH_MAX are no obstacle.
inline void RemoveTreeAt(int parent, const char* name) {
  struct stat st;
  if (fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    fchmodat(parent, name, 0700, 0);
    int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
      if (DIR* d = fdopendir(fd)) {
        while (struct dirent* de = readdir(d)) {
          if (strcmp(de->d_name, ".") == 0 || strcmp(de->d_name, "..") == 0) continue;
          RemoveTreeAt(dirfd(d), de->d_name);
        }
        closedir(d);
      } else {
        close(fd);
      }
    }
    unlinkat(parent, name, AT_REMOVEDIR);
  } else {
    unlinkat(parent, name, 0);
  }
}

class TTempTree {
public:
  // Below base; $TMPDIR (else /tmp) when base is empty. Steps run as another
  // user need a base they can reach (test::BaseOpenToAll()).
  explicit TTempTree(const std::string& base = "") {
    const char* tmp = getenv("TMPDIR");
    std::string templ = (base.empty() ? std::string(tmp && *tmp ? tmp : "/tmp") : base) + "/twf-platform-XXXXXX";
    char* made = mkdtemp(templ.data());
    Root_ = made ? made : "";
    chmod(Root_.c_str(), 0755); // steps run as another user must reach it
  }
  ~TTempTree() { RemoveTreeAt(AT_FDCWD, Root_.c_str()); }
  TTempTree(const TTempTree&) = delete;
  TTempTree& operator=(const TTempTree&) = delete;

  const std::string& Root() const { return Root_; }
  std::string Path(const std::string& rel) const { return rel.empty() ? Root_ : Root_ + "/" + rel; }

  void Write(const std::string& rel, const std::string& content, mode_t mode = 0644) const {
    std::string p = Path(rel);
    unlink(p.c_str());
    int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return;
    for (size_t done = 0; done < content.size();) {
      ssize_t n = write(fd, content.data() + done, content.size() - done);
      if (n <= 0) break;
      done += size_t(n);
    }
    fchmod(fd, mode);
    close(fd);
  }
  std::string Read(const std::string& rel) const { return ReadFile(Path(rel)); }
  void MkDir(const std::string& rel, mode_t mode = 0755) const { mkdir(Path(rel).c_str(), mode); }
  void Link(const std::string& target, const std::string& rel) const {
    symlink(target.c_str(), Path(rel).c_str());
  }
  bool Exists(const std::string& rel) const {
    struct stat st;
    return lstat(Path(rel).c_str(), &st) == 0;
  }
  // Entry names of a folder, sorted, "." and ".." left out.
  std::string Names(const std::string& rel) const {
    std::string out;
    if (DIR* d = opendir(Path(rel).c_str())) {
      std::vector<std::string> names;
      while (struct dirent* de = readdir(d))
        if (strcmp(de->d_name, ".") && strcmp(de->d_name, "..")) names.push_back(de->d_name);
      closedir(d);
      std::sort(names.begin(), names.end());
      for (auto& n : names) out += (out.empty() ? "" : " ") + n;
    }
    return out;
  }

  static std::string ReadFile(const std::string& path) {
    std::string out;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "<missing>";
    char buf[65536];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
    close(fd);
    return out;
  }

private:
  std::string Root_;
};

// The home Trash follows XDG_DATA_HOME: point it at a scratch folder before
// any test runs, so no test ever touches the real user's Trash.
inline TTempTree& TrashHome() {
  static TTempTree home;
  return home;
}
inline const bool kPrivateTrash = (setenv("XDG_DATA_HOME", TrashHome().Root().c_str(), 1), true);

// Mounts a file system of its own for the tests that need a second file
// system, a full disk or one without ACLs. Where the sandbox allows it the
// mount goes into a private mount namespace first, so nothing leaks out
// even if the test dies. Ok() is false when mounting is not permitted.
class TScratchMount {
public:
  TScratchMount(const std::string& dir, const char* type, const char* options) : Dir_(dir) {
    static bool privateNs = [] {
      return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    }();
    (void)privateNs;
    mkdir(dir.c_str(), 0755);
    Ok_ = mount(type, dir.c_str(), type, 0, options) == 0;
    if (!Ok_) Error_ = strerror(errno);
  }
  ~TScratchMount() {
    if (Ok_) umount2(Dir_.c_str(), MNT_DETACH);
  }
  TScratchMount(const TScratchMount&) = delete;
  TScratchMount& operator=(const TScratchMount&) = delete;
  bool Ok() const { return Ok_; }
  const std::string& Error() const { return Error_; }

private:
  std::string Dir_;
  bool Ok_ = false;
  std::string Error_;
};

#define TWF_REQUIRE_MOUNT(m)                                                                   \
  if (!(m).Ok()) GTEST_SKIP() << "mounting a scratch file system is not permitted here: " << (m).Error()

#define TWF_REQUIRE_ROOT()                                                                     \
  if (geteuid() != 0) GTEST_SKIP() << "switching to another user needs root"

// Runs step in a child process as user and group 65534 and returns what it
// returned (0..255), or -1 when the child could not drop its privileges.
inline int RunAsNobody(const std::function<int()>& step) {
  pid_t pid = fork();
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
        setresuid(65534, 65534, 65534) != 0)
      _exit(255);
    _exit(step() & 0xFF);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  int code = WEXITSTATUS(status);
  return code == 255 ? -1 : code;
}

} // namespace twf::test
