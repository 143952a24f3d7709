// Extended attributes as one opaque text: for each attribute its name, a
// NUL, eight hex digits of the value's length and the value. Only the
// namespaces this process may write are read and written: user.*, and as
// root trusted.* and security.*. ACLs (system.posix_acl_*) go with the ACL
// calls.
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/posix_internal.h"

namespace twf::posix {
namespace {

bool Carried(const std::string& name) {
  if (name.compare(0, 5, "user.") == 0) return true;
  static const bool asRoot = geteuid() == 0; // the program never changes it
  if (!asRoot) return false;
  return name.compare(0, 8, "trusted.") == 0 || name.compare(0, 9, "security.") == 0;
}

// The f*xattr calls refuse O_PATH descriptors (a folder opened to be
// worked on): those go through the descriptor's /proc name, which leads
// to the item it holds and to nothing else.
class TXattrTarget {
public:
  explicit TXattrTarget(int fd) : Fd_(fd) {
    const int flags = fcntl(fd, F_GETFL);
    ByPath_ = flags != -1 && (flags & O_PATH) != 0;
    if (ByPath_) Path_ = ProcFdName(fd);
  }

  ssize_t List(char* buf, size_t size) {
    return ByPath_ ? listxattr(Path_.c_str(), buf, size) : flistxattr(Fd_, buf, size);
  }
  ssize_t Get(const char* name, void* buf, size_t size) {
    return ByPath_ ? getxattr(Path_.c_str(), name, buf, size) : fgetxattr(Fd_, name, buf, size);
  }
  int Set(const char* name, const void* value, size_t size) {
    return ByPath_ ? setxattr(Path_.c_str(), name, value, size, 0) : fsetxattr(Fd_, name, value, size, 0);
  }
  int Remove(const char* name) { return ByPath_ ? removexattr(Path_.c_str(), name) : fremovexattr(Fd_, name); }

private:
  int Fd_;
  bool ByPath_ = false;
  std::string Path_;
};

int Names(TXattrTarget& t, std::vector<std::string>& names) {
  names.clear();
  std::string buf;
  for (;;) {
    const ssize_t need = t.List(nullptr, 0);
    if (need < 0) return errno;
    if (need == 0) return 0;
    buf.resize(size_t(need));
    const ssize_t n = t.List(buf.data(), buf.size());
    if (n < 0 && errno == ERANGE) continue; // grew meanwhile
    if (n < 0) return errno;
    buf.resize(size_t(n));
    break;
  }
  for (size_t pos = 0; pos < buf.size();) {
    std::string name(buf.c_str() + pos);
    pos += name.size() + 1;
    if (!name.empty() && Carried(name)) names.push_back(std::move(name));
  }
  return 0;
}

} // namespace

int GetXattrsFd(int fd, std::string& attrs) {
  attrs.clear();
  TXattrTarget t(fd);
  std::vector<std::string> names;
  if (int err = Names(t, names)) return err;
  std::string value;
  for (const std::string& name : names) {
    ssize_t n;
    for (;;) {
      n = t.Get(name.c_str(), nullptr, 0);
      if (n < 0) break;
      value.resize(size_t(n));
      n = t.Get(name.c_str(), value.data(), value.size());
      if (n >= 0 || errno != ERANGE) break;
    }
    if (n < 0) {
      if (errno == ENODATA) continue; // removed meanwhile
      return errno;
    }
    value.resize(size_t(n));
    char len[9];
    snprintf(len, sizeof len, "%08zx", value.size());
    attrs.append(name).append(1, '\0').append(len, 8).append(value);
  }
  return 0;
}

int SetXattrsFd(int fd, const std::string& attrs) {
  TXattrTarget t(fd);
  std::vector<std::string> wanted;
  int result = 0;
  for (size_t pos = 0; pos < attrs.size();) {
    const size_t nul = attrs.find('\0', pos);
    if (nul == std::string::npos || nul + 9 > attrs.size()) return EINVAL;
    const std::string name = attrs.substr(pos, nul - pos);
    const size_t len = size_t(std::strtoull(attrs.substr(nul + 1, 8).c_str(), nullptr, 16));
    if (nul + 9 + len > attrs.size()) return EINVAL;
    if (t.Set(name.c_str(), attrs.data() + nul + 9, len) != 0 && result == 0) result = errno;
    wanted.push_back(name);
    pos = nul + 9 + len;
  }
  // Those the item has and the source does not go.
  std::vector<std::string> present;
  if (int err = Names(t, present)) return result ? result : err;
  for (const std::string& name : present) {
    bool keep = false;
    for (const std::string& w : wanted) keep = keep || w == name;
    if (!keep && t.Remove(name.c_str()) != 0 && errno != ENODATA && result == 0) result = errno;
  }
  return result;
}

} // namespace twf::posix
