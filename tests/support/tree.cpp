#include "support/tree.h"

#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/fs.h"

namespace twf::test {

namespace {
std::string TempBase() {
  const char* t = getenv("TMPDIR");
  return t && *t ? t : "/tmp";
}
} // namespace

TTempDir::TTempDir() : TTempDir(TempBase()) {}

TTempDir::TTempDir(const std::string& base) {
  std::string tmpl = (base.empty() ? TempBase() : base) + "/twf-test-XXXXXX";
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  FPath = tmpl;
}

TTempDir::~TTempDir() { RemoveTree(FPath); }

TTempTree::TTempTree(const std::string& base) : TTempDir(base) { chmod(Root().c_str(), 0755); }

void TTempTree::Write(const std::string& rel, const std::string& content, mode_t mode) const {
  const std::string p = Path(rel);
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

void TTempTree::MkDir(const std::string& rel, mode_t mode) const { mkdir(Path(rel).c_str(), mode); }

void TTempTree::Link(const std::string& target, const std::string& rel) const {
  symlink(target.c_str(), Path(rel).c_str());
}

bool TTempTree::Exists(const std::string& rel) const { return test::Exists(Path(rel)); }

std::string TTempTree::Names(const std::string& rel) const {
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

std::string TTempTree::ReadFile(const std::string& path) {
  std::string out;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "<missing>";
  char buf[65536];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
  close(fd);
  return out;
}

namespace {
std::string GPrivateDataHome;
} // namespace

const std::string& PrivateDataHome() { return GPrivateDataHome; }
void SetPrivateDataHome(const std::string& path) { GPrivateDataHome = path; }

TScratchMount::TScratchMount(const std::string& dir, const char* type, const char* options) : Dir_(dir) {
  static bool privateNs = [] {
    return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  }();
  (void)privateNs;
  mkdir(dir.c_str(), 0755);
  Ok_ = mount(type, dir.c_str(), type, 0, options) == 0;
  if (!Ok_) Error_ = SystemMessage(errno);
}

TScratchMount::~TScratchMount() {
  if (Ok_) umount2(Dir_.c_str(), MNT_DETACH);
}

int RunAsNobody(const std::function<int()>& step) {
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

std::string BaseOpenToAll() {
  std::vector<std::string> bases = {"/tmp", "/var/tmp", "/dev/shm"};
  if (const char* t = getenv("TMPDIR"); t && *t == '/') bases.insert(bases.begin(), t);
  for (const std::string& base : bases) {
    bool open = true;
    for (std::string p = base; open && !p.empty(); p = p.substr(0, p.rfind('/'))) {
      struct stat st;
      open = stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_IXOTH);
    }
    if (open) return base;
  }
  return "";
}

void MakeDirs(const std::string& path) {
  for (size_t p = 1; p <= path.size(); ++p)
    if (p == path.size() || path[p] == '/') mkdir(path.substr(0, p).c_str(), 0755);
}

void WriteFile(const std::string& path, const std::string& content) {
  MakeDirs(path.substr(0, path.rfind('/')));
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) throw std::runtime_error("cannot write " + path);
  f << content;
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool IsDir(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void SetMTime(const std::string& path, int64_t sec, int64_t nsec) {
  timespec ts[2];
  ts[0].tv_sec = sec;
  ts[0].tv_nsec = nsec;
  ts[1] = ts[0];
  utimensat(AT_FDCWD, path.c_str(), ts, AT_SYMLINK_NOFOLLOW);
}

int64_t MTimeNs(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  return int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

void RemoveTreeAt(int parent, const char* name) {
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

void RemoveTree(const std::string& path) {
  if (path.empty() || path == "/") return;
  RemoveTreeAt(AT_FDCWD, path.c_str());
}

int Shell(const std::string& cmd) {
  int rc = system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string ShellOut(const std::string& cmd) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

namespace {
struct TItem {
  mode_t Mode;
  off_t Size;
  int64_t MTime;
};

void Collect(const std::string& root, const std::string& rel, std::map<std::string, TItem>& out) {
  const std::string dir = rel.empty() ? root : root + "/" + rel;
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  while (dirent* e = readdir(d)) {
    if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
    const std::string r = rel.empty() ? e->d_name : rel + "/" + e->d_name;
    struct stat st;
    if (lstat((root + "/" + r).c_str(), &st) != 0) continue;
    out[r] = {st.st_mode, st.st_size, int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
    if (S_ISDIR(st.st_mode)) Collect(root, r, out);
  }
  closedir(d);
}
} // namespace

std::vector<std::string> ListTree(const std::string& root) {
  std::map<std::string, TItem> items;
  Collect(root, "", items);
  std::vector<std::string> out;
  for (auto& [k, v] : items) out.push_back(k);
  return out;
}

std::string TreeDiff(const std::string& a, const std::string& b) {
  std::map<std::string, TItem> ia, ib;
  Collect(a, "", ia);
  Collect(b, "", ib);
  std::ostringstream diff;
  for (auto& [rel, x] : ia) {
    auto it = ib.find(rel);
    if (it == ib.end()) { diff << "missing: " << rel << "\n"; continue; }
    const TItem& y = it->second;
    if ((x.Mode & S_IFMT) != (y.Mode & S_IFMT)) { diff << "kind: " << rel << "\n"; continue; }
    if (S_ISDIR(x.Mode)) continue;
    if ((x.Mode & 07777) != (y.Mode & 07777)) diff << "mode: " << rel << "\n";
    if (x.Size != y.Size) diff << "size: " << rel << "\n";
    else if (ReadFile(a + "/" + rel) != ReadFile(b + "/" + rel)) diff << "content: " << rel << "\n";
    if (x.MTime != y.MTime) diff << "mtime: " << rel << "\n";
  }
  for (auto& [rel, y] : ib)
    if (!ia.count(rel)) diff << "extra: " << rel << "\n";
  return diff.str();
}

} // namespace twf::test
