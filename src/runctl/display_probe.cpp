#include "runctl/display_probe.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "platform/fs.h"

namespace twf {

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

class TSocket {
public:
  explicit TSocket(int fd) : FFd(fd) {}
  ~TSocket() {
    if (FFd >= 0) close(FFd);
  }
  TSocket(const TSocket&) = delete;
  TSocket& operator=(const TSocket&) = delete;
  int Fd() const { return FFd; }

private:
  int FFd;
};

bool WaitFor(int fd, short events, int64_t deadline) {
  for (;;) {
    const int64_t left = deadline - MonotonicMs();
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    const int n = poll(&p, 1, int(left));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

// Connects without blocking past the deadline; -1 on failure.
int ConnectBy(int family, const sockaddr* addr, socklen_t len, int64_t deadline) {
  const int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, addr, len) == 0) return fd;
  if (errno == EINPROGRESS && WaitFor(fd, POLLOUT, deadline)) {
    int err = 0;
    socklen_t errLen = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &errLen) == 0 && err == 0) return fd;
  }
  close(fd);
  return -1;
}

// A local socket; abstract: in Linux's abstract name space (leading NUL).
int ConnectLocal(const std::string& path, bool abstract, int64_t deadline) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const size_t offset = abstract ? 1 : 0;
  if (path.empty() || path.size() + offset >= sizeof addr.sun_path) return -1;
  memcpy(addr.sun_path + offset, path.data(), path.size());
  const socklen_t len = socklen_t(offsetof(sockaddr_un, sun_path) + offset + path.size() + (abstract ? 0 : 1));
  return ConnectBy(AF_UNIX, reinterpret_cast<const sockaddr*>(&addr), len, deadline);
}

int ConnectTcp(const std::string& host, int port, int64_t deadline, std::string& addressBytes) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return -1;
  int fd = -1;
  for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
    fd = ConnectBy(a->ai_family, a->ai_addr, a->ai_addrlen, deadline);
    if (fd >= 0 && a->ai_family == AF_INET)
      addressBytes.assign(reinterpret_cast<const char*>(&reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr), 4);
  }
  freeaddrinfo(found);
  return fd;
}

struct TXAuth {
  std::string Name, Data;
};

// The cookie of the Xauthority file for display number `number`: family
// Wild, or Local with this host's name (local connections), or Internet
// with the address connected to.
TXAuth FindCookie(const std::string& file, const std::string& number, bool local, const std::string& inetAddress) {
  std::ifstream in(file, std::ios::binary);
  const std::string d((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  size_t at = 0;
  auto u16 = [&](uint16_t& v) {
    if (at + 2 > d.size()) return false;
    v = uint16_t(uint8_t(d[at]) << 8 | uint8_t(d[at + 1]));
    at += 2;
    return true;
  };
  auto text = [&](std::string& s) {
    uint16_t n;
    if (!u16(n) || at + n > d.size()) return false;
    s = d.substr(at, n);
    at += n;
    return true;
  };
  for (;;) {
    uint16_t family;
    std::string address, num, name, data;
    if (!u16(family) || !text(address) || !text(num) || !text(name) || !text(data)) return {};
    if (name != "MIT-MAGIC-COOKIE-1" || (!num.empty() && num != number)) continue;
    const bool matches = family == 0xFFFF || (family == 256 && local && address == host) ||
                         (family == 0 && !local && address == inetAddress);
    if (matches) return {name, data};
  }
}

void Pad(std::string& s) { s.append((4 - s.size() % 4) % 4, '\0'); }

} // namespace

TDisplayEnv DisplayEnvFromProcess() {
  TDisplayEnv e;
  e.Display = Env("DISPLAY");
  e.WaylandDisplay = Env("WAYLAND_DISPLAY");
  e.RuntimeDir = Env("XDG_RUNTIME_DIR");
  e.XAuthority = Env("XAUTHORITY");
  if (e.XAuthority.empty() && !Env("HOME").empty()) e.XAuthority = Env("HOME") + "/.Xauthority";
  e.SessionType = Env("XDG_SESSION_TYPE");
  e.QtPlatform = Env("QT_QPA_PLATFORM");
  return e;
}

bool XServerAnswers(const std::string& display, const std::string& xauthFile, int timeoutMs) {
  const int64_t deadline = MonotonicMs() + timeoutMs;
  // [protocol/][host]:number[.screen]
  std::string spec = display;
  if (const size_t slash = spec.find('/'); slash != std::string::npos && spec[0] != '/') spec.erase(0, slash + 1);
  const size_t colon = spec.rfind(':');
  if (colon == std::string::npos) return false;
  const std::string host = spec.substr(0, colon);
  std::string number = spec.substr(colon + 1);
  number = number.substr(0, number.find('.'));
  if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos || number.size() > 5)
    return false;

  const bool local = host.empty() || host == "unix" || host[0] == '/';
  std::string inetAddress;
  int fd = -1;
  if (!host.empty() && host[0] == '/') {
    fd = ConnectLocal(host, false, deadline);
  } else if (local) {
    const std::string path = "/tmp/.X11-unix/X" + number;
    fd = ConnectLocal(path, true, deadline);
    if (fd < 0) fd = ConnectLocal(path, false, deadline);
  } else {
    fd = ConnectTcp(host, 6000 + std::atoi(number.c_str()), deadline, inetAddress);
  }
  if (fd < 0) return false;
  TSocket sock(fd);

  const TXAuth auth = FindCookie(xauthFile, number, local, inetAddress);
  std::string request = {'l', '\0', 11, 0, 0, 0};
  request += char(auth.Name.size() & 0xFF);
  request += char(auth.Name.size() >> 8);
  request += char(auth.Data.size() & 0xFF);
  request += char(auth.Data.size() >> 8);
  request += std::string(2, '\0');
  std::string name = auth.Name, data = auth.Data;
  Pad(name);
  Pad(data);
  request += name + data;
  for (size_t done = 0; done < request.size();) {
    if (!WaitFor(fd, POLLOUT, deadline)) return false;
    const ssize_t n = send(fd, request.data() + done, request.size() - done, MSG_NOSIGNAL);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  // The first byte of the reply: 1 is success; 0 (failed) and 2 (further
  // authentication) leave the toolkit without a connection as well.
  for (;;) {
    if (!WaitFor(fd, POLLIN, deadline)) return false;
    char status = 0;
    const ssize_t n = recv(fd, &status, 1, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    return n == 1 && status == 1;
  }
}

namespace {

bool WaylandAnswers(const TDisplayEnv& env, int timeoutMs) {
  if (env.WaylandDisplay.empty()) return false;
  std::string path = env.WaylandDisplay;
  if (path[0] != '/') {
    if (env.RuntimeDir.empty()) return false;
    path = env.RuntimeDir + "/" + path;
  }
  const int fd = ConnectLocal(path, false, MonotonicMs() + timeoutMs);
  if (fd < 0) return false;
  close(fd);
  return true;
}

} // namespace

TDisplayChoice ProbeDisplay(const TDisplayEnv& env, int timeoutMs) {
  auto x11 = [&] { return !env.Display.empty() && XServerAnswers(env.Display, env.XAuthority, timeoutMs); };
  auto wayland = [&] { return WaylandAnswers(env, timeoutMs); };

  // Without a display variable there is no desktop to show a window on,
  // whatever the toolkit could do.
  if (env.Display.empty() && env.WaylandDisplay.empty()) return {};
  if (!env.QtPlatform.empty()) {
    // The user's list, tried in its order as the toolkit will.
    std::string list = env.QtPlatform;
    for (size_t start = 0; start <= list.size();) {
      size_t end = list.find(';', start);
      if (end == std::string::npos) end = list.size();
      std::string entry = list.substr(start, end - start);
      entry = entry.substr(0, entry.find(':')); // options follow a colon
      start = end + 1;
      if (entry.empty()) continue;
      if (entry == "xcb") {
        if (x11()) return {TDisplayKind::dkX11, ""};
      } else if (entry.rfind("wayland", 0) == 0) {
        if (wayland()) return {TDisplayKind::dkWayland, ""};
      } else {
        return {TDisplayKind::dkOther, ""};
      }
    }
    return {};
  }

  const bool preferWayland = env.SessionType == "wayland";
  const bool haveWayland = preferWayland && wayland();
  const bool haveX = (!preferWayland || !haveWayland) && x11();
  if (haveWayland) return {TDisplayKind::dkWayland, ""};
  if (haveX) {
    // A dead WAYLAND_DISPLAY beside a live X server must not be tried first.
    return {TDisplayKind::dkX11, preferWayland ? "xcb" : ""};
  }
  if (!preferWayland && wayland()) return {TDisplayKind::dkWayland, "wayland"};
  return {};
}

} // namespace twf
