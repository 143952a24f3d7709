// The freedesktop.org Trash through GIO, one file at a time so every file
// gets its own result.
#include <gio/gio.h>
#include <limits.h>

#include <cerrno>

#include "platform/posix_internal.h"

namespace twf::posix {
namespace {

int ErrnoFromGio(const GError* error) {
  if (!error || error->domain != G_IO_ERROR) return EIO;
  switch (error->code) {
  case G_IO_ERROR_NOT_FOUND: return ENOENT;
  case G_IO_ERROR_EXISTS: return EEXIST;
  case G_IO_ERROR_IS_DIRECTORY: return EISDIR;
  case G_IO_ERROR_NOT_DIRECTORY: return ENOTDIR;
  case G_IO_ERROR_NOT_EMPTY: return ENOTEMPTY;
  case G_IO_ERROR_FILENAME_TOO_LONG: return ENAMETOOLONG;
  case G_IO_ERROR_INVALID_FILENAME:
  case G_IO_ERROR_INVALID_ARGUMENT: return EINVAL;
  case G_IO_ERROR_TOO_MANY_LINKS: return ELOOP;
  case G_IO_ERROR_NO_SPACE: return ENOSPC;
  case G_IO_ERROR_PERMISSION_DENIED: return EACCES;
  case G_IO_ERROR_NOT_SUPPORTED: return EOPNOTSUPP;
  case G_IO_ERROR_READ_ONLY: return EROFS;
  case G_IO_ERROR_BUSY: return EBUSY;
  case G_IO_ERROR_CANCELLED: return ECANCELED;
  case G_IO_ERROR_TIMED_OUT: return ETIMEDOUT;
  case G_IO_ERROR_WOULD_BLOCK: return EAGAIN;
  default: return EIO;
  }
}

int TrashOne(const std::string& path) {
  if (path.empty()) return ENOENT;
  if (path.size() >= PATH_MAX) return ENAMETOOLONG;
  GFile* file = g_file_new_for_path(path.c_str());
  GError* error = nullptr;
  int result = g_file_trash(file, nullptr, &error) ? 0 : ErrnoFromGio(error);
  if (error) g_error_free(error);
  g_object_unref(file);
  return result;
}

} // namespace

int TrashFiles(const std::vector<std::string>& paths, std::vector<int>& results) {
  results.assign(paths.size(), 0);
  bool anyMoved = paths.empty();
  for (size_t i = 0; i < paths.size(); ++i) {
    results[i] = TrashOne(paths[i]);
    anyMoved |= results[i] == 0;
  }
  return anyMoved ? 0 : results[0];
}

} // namespace twf::posix
