#include "runctl/single_instance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace twf {

namespace {

bool IsPrivateDir(const char* path) {
  struct stat st;
  return path && path[0] == '/' && stat(path, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
         (st.st_mode & 022) == 0;
}

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

std::string InstanceSocketPath() {
  std::string dir;
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  if (IsPrivateDir(runtime)) {
    dir = runtime;
  } else {
    const char* tmp = getenv("TMPDIR");
    dir = tmp && tmp[0] == '/' ? tmp : "/tmp";
  }
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir + "/Zentorvi_Twinfold_Instance_" + std::to_string(geteuid());
}

TInstanceLock::TInstanceLock() {
  const std::string path = InstanceSocketPath() + ".lock";
  FFd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (FFd < 0) return;
  struct stat st;
  // In a shared temporary folder someone else may have put the file there first.
  if (fstat(FFd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
    close(FFd);
    FFd = -1;
    return;
  }
  if (flock(FFd, LOCK_EX | LOCK_NB) == 0) FState = isFirst;
  else if (errno == EWOULDBLOCK) FState = isOtherCopy;
}

TInstanceLock::~TInstanceLock() {
  if (FFd >= 0) close(FFd);
}

bool ActivateRunningInstance(int timeoutMs) {
  const std::string path = InstanceSocketPath();
  sockaddr_un addr{};
  if (path.size() >= sizeof addr.sun_path) return false;
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const int64_t deadline = NowMs() + timeoutMs;

  for (;;) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      close(fd);
      // The first copy holds the lock but may not listen yet.
      if (NowMs() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }
    ucred peer{};
    socklen_t len = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0 || peer.uid != geteuid()) {
      close(fd);
      return false;
    }
    static const char kRequest[] = "activate\n";
    bool ok = send(fd, kRequest, sizeof kRequest - 1, MSG_NOSIGNAL) == ssize_t(sizeof kRequest - 1);
    std::string reply;
    while (ok && reply.find('\n') == std::string::npos) {
      const int64_t left = deadline - NowMs();
      pollfd p{fd, POLLIN, 0};
      const int ready = left > 0 ? poll(&p, 1, int(left)) : 0;
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) {
        ok = false;
        break;
      }
      char buf[64];
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) ok = false;
      else reply.append(buf, size_t(n));
    }
    close(fd);
    return ok && reply.rfind("ok\n", 0) == 0;
  }
}

} // namespace twf
