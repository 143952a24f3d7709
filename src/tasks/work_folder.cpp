#include "tasks/work_folder.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdint>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace twf {

namespace {

// One folder on the way down: its name in its parent, its identity, and the
// subfolders still to be emptied. Only the folder being worked on is held
// open, so the depth of a tree is bounded by memory, not by descriptors.
struct TLevel {
  std::string Name;
  dev_t Dev = 0;
  ino_t Ino = 0;
  std::vector<std::string> Subfolders;
};

// Removes the files of the open folder fd and notes its subfolders.
bool EnterLevel(int fd, std::string name, std::vector<TLevel>& levels) {
  struct stat self;
  if (fstat(fd, &self) != 0) return false;
  TLevel level{std::move(name), self.st_dev, self.st_ino, {}};
  const int listFd = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = listFd >= 0 ? fdopendir(listFd) : nullptr;
  if (!dir) {
    if (listFd >= 0) close(listFd);
    levels.push_back(std::move(level));
    return false;
  }
  bool ok = true;
  while (const dirent* e = readdir(dir)) {
    const std::string entry = e->d_name;
    if (entry == "." || entry == "..") continue;
    struct stat st;
    if (fstatat(fd, entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      ok = false;
      continue;
    }
    if (S_ISDIR(st.st_mode)) level.Subfolders.push_back(entry);
    else ok = unlinkat(fd, entry.c_str(), 0) == 0 && ok;
  }
  closedir(dir);
  levels.push_back(std::move(level));
  return ok;
}

} // namespace

std::string SystemErrorText(int code) {
  char buf[256];
  // GNU strerror_r: returns the text, which may or may not be in buf.
  return strerror_r(code, buf, sizeof buf);
}

std::string TempFolder() {
  std::string t;
  if (const char* e = std::getenv("TMPDIR"); e && *e == '/') t = e;
  while (t.size() > 1 && t.back() == '/') t.pop_back();
  return t.empty() ? "/tmp" : t;
}

std::string NewGuidText() {
  std::random_device rd;
  unsigned char b[16];
  for (size_t i = 0; i < sizeof b; i += 4) {
    const uint32_t r = rd();
    for (size_t j = 0; j < 4; ++j) b[i + j] = static_cast<unsigned char>(r >> (8 * j));
  }
  b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40); // version 4: random
  b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
  char text[40];
  snprintf(text, sizeof text, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", b[0], b[1],
           b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return text;
}

bool RemoveTree(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  std::vector<TLevel> levels;
  bool ok = EnterLevel(fd, "", levels);
  while (!levels.empty()) {
    TLevel& level = levels.back();
    if (!level.Subfolders.empty()) {
      const std::string name = std::move(level.Subfolders.back());
      level.Subfolders.pop_back();
      const int sub = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub < 0) {
        ok = false;
        continue;
      }
      close(fd);
      fd = sub;
      ok = EnterLevel(fd, name, levels) && ok;
      continue;
    }
    if (levels.size() == 1) break;
    // Back up through "..", which must still be the folder we came from:
    // a folder moved away meanwhile ends the removal instead of leading it
    // somewhere else.
    const std::string name = std::move(level.Name);
    levels.pop_back();
    const int parent = openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st;
    if (parent < 0 || fstat(parent, &st) != 0 || st.st_dev != levels.back().Dev || st.st_ino != levels.back().Ino) {
      if (parent >= 0) close(parent);
      close(fd);
      return false;
    }
    close(fd);
    fd = parent;
    ok = unlinkat(fd, name.c_str(), AT_REMOVEDIR) == 0 && ok;
  }
  close(fd);
  return rmdir(path.c_str()) == 0 && ok;
}

TWorkFolder::TWorkFolder() {
  const std::string temp = TempFolder();
  for (size_t pos = 1; pos <= temp.size(); ++pos)
    if (pos == temp.size() || temp[pos] == '/') mkdir(temp.substr(0, pos).c_str(), 0700);
  for (int attempt = 0; attempt < 8; ++attempt) {
    const std::string path = temp + "/Twinfold-" + NewGuidText();
    // 0700: other users of a shared /tmp can neither read the task files
    // nor plant anything in the folder.
    if (mkdir(path.c_str(), 0700) == 0) {
      FPath = path;
      return;
    }
    FError = errno;
    if (FError != EEXIST) return;
  }
}

TWorkFolder::~TWorkFolder() {
  if (!FPath.empty()) RemoveTree(FPath);
}

} // namespace twf
