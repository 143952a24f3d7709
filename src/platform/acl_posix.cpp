// POSIX ACLs through libacl. The text holds one line per ACL kind:
// "A:" + the access ACL, and for folders "D:" + the default ACL (empty when
// the folder has none), in the short text form with numeric ids, so no user
// database lookup happens per file and ids survive unknown names.
#include <acl/libacl.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <string>

#include "platform/posix_internal.h"

namespace twf::posix {
namespace {

int AppendAcl(const char* path, acl_type_t type, const char* tag, std::string& out) {
  acl_t acl = acl_get_file(path, type);
  if (!acl) return errno;
  int err = 0;
  if (acl_entries(acl) == 0) {
    out += tag;
    out += '\n';
  } else if (char* text = acl_to_any_text(acl, nullptr, ',', TEXT_ABBREVIATE | TEXT_NUMERIC_IDS)) {
    out += tag;
    out += text;
    out += '\n';
    acl_free(text);
  } else {
    err = errno;
  }
  acl_free(acl);
  return err;
}

int ApplyAcl(const char* path, acl_type_t type, const std::string& text) {
  if (text.empty()) {
    // Only a default ACL can be empty: the source folder has none.
    return acl_delete_def_file(path) == 0 ? 0 : errno;
  }
  acl_t acl = acl_from_text(text.c_str());
  if (!acl) return EINVAL;
  int err = acl_set_file(path, type, acl) == 0 ? 0 : errno;
  acl_free(acl);
  return err;
}

// Walks the lines of an ACL text; apply(type, text) sets one.
template <class TApply>
int ForEachAclLine(const std::string& acl, TApply apply) {
  size_t pos = 0;
  bool any = false;
  while (pos < acl.size()) {
    size_t end = acl.find('\n', pos);
    if (end == std::string::npos) end = acl.size();
    std::string line = acl.substr(pos, end - pos);
    pos = end + 1;
    if (line.size() < 2 || line[1] != ':' || (line[0] != 'A' && line[0] != 'D')) return EINVAL;
    acl_type_t type = line[0] == 'A' ? ACL_TYPE_ACCESS : ACL_TYPE_DEFAULT;
    std::string text = line.substr(2);
    if (type == ACL_TYPE_ACCESS && text.empty()) return EINVAL;
    if (int err = apply(type, text)) return err;
    any = true;
  }
  return any ? 0 : EINVAL;
}

} // namespace

int GetAclFd(int fd, std::string& acl) {
  acl.clear();
  struct stat st;
  if (fstat(fd, &st) != 0) return errno;
  // libacl reaches a folder's default ACL only by name.
  const std::string name = ProcFdName(fd);
  if (int err = AppendAcl(name.c_str(), ACL_TYPE_ACCESS, "A:", acl)) return err;
  if (S_ISDIR(st.st_mode)) return AppendAcl(name.c_str(), ACL_TYPE_DEFAULT, "D:", acl);
  return 0;
}

int SetAclFd(int fd, const std::string& acl) {
  // libacl reaches a folder's default ACL only by name.
  const std::string name = ProcFdName(fd);
  return ForEachAclLine(acl, [&](acl_type_t type, const std::string& text) {
    if (type == ACL_TYPE_ACCESS) {
      acl_t a = acl_from_text(text.c_str());
      if (!a) return EINVAL;
      int err = acl_set_fd(fd, a) == 0 ? 0 : errno;
      acl_free(a);
      // An O_PATH descriptor cannot take it directly; its /proc name can.
      if (err == EBADF) err = ApplyAcl(name.c_str(), type, text);
      return err;
    }
    return ApplyAcl(name.c_str(), type, text);
  });
}

int DropInheritedAcl(int fd, bool folder) {
  auto drop = [fd](const char* name) {
    return fremovexattr(fd, name) == 0 || errno == ENODATA || errno == ENOTSUP || errno == EOPNOTSUPP ? 0 : errno;
  };
  if (int err = drop("system.posix_acl_access")) return err;
  return folder ? drop("system.posix_acl_default") : 0;
}

} // namespace twf::posix
