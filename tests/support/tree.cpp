#include "support/tree.h"

#include <algorithm>
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

namespace {
void RemoveAt(int parent, const char* name) {
  struct stat st;
  if (fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (fd >= 0) {
      fchmod(fd, 0700);
      DIR* d = fdopendir(fd);
      std::vector<std::string> names;
      while (dirent* e = readdir(d))
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.push_back(e->d_name);
      for (auto& n : names) RemoveAt(dirfd(d), n.c_str());
      closedir(d);
    }
    unlinkat(parent, name, AT_REMOVEDIR);
  } else {
    unlinkat(parent, name, 0);
  }
}
} // namespace

void RemoveTree(const std::string& path) {
  if (path.empty() || path == "/") return;
  RemoveAt(AT_FDCWD, path.c_str());
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
