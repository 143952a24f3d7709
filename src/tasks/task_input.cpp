#include "tasks/task_input.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace twf {

int OpenTaskInput(const std::string& path, std::string& refusal) {
  refusal.clear();
  const bool asRoot = geteuid() == 0;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | (asRoot ? O_NOFOLLOW : 0));
  struct stat st;
  if (fd < 0) {
    const int error = errno;
    if (asRoot && error == ELOOP && lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
      refusal = "it is a symbolic link";
    errno = error;
    return -1;
  }
  if (!asRoot) return fd;
  if (fstat(fd, &st) != 0) refusal = "its owner cannot be checked";
  else if (st.st_uid != 0) refusal = "it belongs to uid " + std::to_string(st.st_uid) + ", not to root";
  else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) refusal = "group or others can write it";
  if (refusal.empty()) return fd;
  close(fd);
  errno = EPERM;
  return -1;
}

} // namespace twf
