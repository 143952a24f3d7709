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

namespace twf {

namespace {

// Removes everything inside the open folder fd (which it closes).
bool EmptyFolder(int fd) {
  DIR* dir = fdopendir(fd);
  if (!dir) {
    close(fd);
    return false;
  }
  bool ok = true;
  while (const dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (fstatat(dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      ok = false;
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      const int sub = openat(dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      ok = sub >= 0 && EmptyFolder(sub) && ok;
      ok = unlinkat(dirfd(dir), name.c_str(), AT_REMOVEDIR) == 0 && ok;
    } else {
      ok = unlinkat(dirfd(dir), name.c_str(), 0) == 0 && ok;
    }
  }
  closedir(dir);
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
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  const bool emptied = EmptyFolder(fd);
  return rmdir(path.c_str()) == 0 && emptied;
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
