// Whether the window can open: X servers and Wayland compositors played by
// loopback and local sockets in this process.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "runctl/display_probe.h"
#include "runctl/runctl_support.h"
#include "support/tree.h"

namespace twf {
namespace {

using test::TTempDir;

const std::string kCookie = "0123456789abcdef";

// An X server on 127.0.0.1 for one connection. It reads the set-up request
// and answers with status (or not at all), accepting only kCookie when
// cookie is required.
class TFakeXServer {
public:
  enum TAnswer { xaSuccess, xaFailed, xaSilent, xaHangUp };
  TFakeXServer(TAnswer answer, bool cookieRequired) {
    FListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(FListen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(FListen, 1) != 0 ||
        getsockname(FListen, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      return;
    FPort = ntohs(a.sin_port);
    FThread = std::thread([this, answer, cookieRequired] {
      pollfd p{FListen, POLLIN, 0};
      if (poll(&p, 1, 5000) != 1) return;
      const int c = accept(FListen, nullptr, nullptr);
      if (c < 0) return;
      std::string request;
      char buf[512];
      for (;;) {
        pollfd q{c, POLLIN, 0};
        if (poll(&q, 1, 500) != 1) break;
        const ssize_t n = read(c, buf, sizeof buf);
        if (n <= 0) break;
        request.append(buf, size_t(n));
        if (request.size() >= 12) {
          const size_t nameLen = uint8_t(request[6]) | uint8_t(request[7]) << 8;
          const size_t dataLen = uint8_t(request[8]) | uint8_t(request[9]) << 8;
          if (request.size() >= 12 + (nameLen + 3) / 4 * 4 + (dataLen + 3) / 4 * 4) break;
        }
      }
      Request = request;
      const bool cookieOk = request.find(kCookie) != std::string::npos;
      if (answer == xaSuccess || answer == xaFailed) {
        const char status = answer == xaSuccess && (cookieOk || !cookieRequired) ? 1 : 0;
        (void)!write(c, &status, 1);
      }
      if (answer == xaSilent) std::this_thread::sleep_for(std::chrono::milliseconds(1500));
      close(c);
    });
  }
  ~TFakeXServer() {
    if (FThread.joinable()) FThread.join();
    close(FListen);
  }
  // "127.0.0.1:<n>": display n is TCP port 6000 + n.
  std::string Display() const { return "127.0.0.1:" + std::to_string(FPort - 6000); }

  std::string Request;

private:
  int FListen = -1;
  int FPort = 0;
  std::thread FThread;
};

// An Xauthority file with one entry: family, address, display number, cookie.
void WriteXauth(const std::string& path, uint16_t family, const std::string& address, const std::string& number) {
  std::string d;
  auto u16 = [&](size_t v) {
    d += char(v >> 8);
    d += char(v & 0xFF);
  };
  auto text = [&](const std::string& s) {
    u16(s.size());
    d += s;
  };
  u16(family);
  text(address);
  text(number);
  text("MIT-MAGIC-COOKIE-1");
  text(kCookie);
  test::WriteFile(path, d);
}

TEST(DisplayProbe, XServerAnswersOnlyWhenTheSetUpSucceeds) {
  TTempDir tmp;
  enum TXauth { xaNoFile, xaAnyAddress, xaConnectedAddress, xaOtherDisplay };
  struct TCase {
    const char* Name;
    TFakeXServer::TAnswer Answer;
    bool CookieRequired;
    TXauth Xauth;
    bool Want;
  };
  const TCase cases[] = {
      {"open server", TFakeXServer::xaSuccess, false, xaNoFile, true},
      {"cookie for any address", TFakeXServer::xaSuccess, true, xaAnyAddress, true},
      {"cookie for the connected address", TFakeXServer::xaSuccess, true, xaConnectedAddress, true},
      {"cookie only for another display", TFakeXServer::xaSuccess, true, xaOtherDisplay, false},
      {"server refuses", TFakeXServer::xaFailed, false, xaNoFile, false},
      {"server never answers", TFakeXServer::xaSilent, false, xaNoFile, false},
      {"server hangs up", TFakeXServer::xaHangUp, false, xaNoFile, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TFakeXServer server(c.Answer, c.CookieRequired);
    const std::string number = server.Display().substr(server.Display().find(':') + 1);
    const std::string xauth = tmp / "xauth";
    unlink(xauth.c_str());
    if (c.Xauth == xaAnyAddress) WriteXauth(xauth, 0xFFFF, "", number);
    if (c.Xauth == xaConnectedAddress) WriteXauth(xauth, 0, std::string("\x7F\0\0\x01", 4), number);
    if (c.Xauth == xaOtherDisplay) WriteXauth(xauth, 0xFFFF, "", number + "1");
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(XServerAnswers(server.Display(), xauth, 500), c.Want);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
  }
  {
    TFakeXServer server(TFakeXServer::xaSuccess, false);
    ASSERT_TRUE(XServerAnswers(server.Display() + ".0", "", 500));
    // Byte order, protocol 11.0.
    ASSERT_GE(server.Request.size(), 12u);
    EXPECT_EQ(server.Request.substr(0, 4), std::string("l\0\x0B\0", 4));
  }
  for (const char* bad : {"", ":", "host", ":x", "127.0.0.1:" /* no number */})
    EXPECT_FALSE(XServerAnswers(bad, "", 200)) << bad;
  EXPECT_FALSE(XServerAnswers("127.0.0.1:" + std::to_string(test::RefusedPort() - 6000), "", 500));
}

// A listening local socket, as a Wayland compositor has.
class TFakeCompositor {
public:
  explicit TFakeCompositor(const std::string& path) {
    FFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    FOk = bind(FFd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(FFd, 4) == 0;
  }
  ~TFakeCompositor() { close(FFd); }
  bool Ok() const { return FOk; }

private:
  int FFd = -1;
  bool FOk = false;
};

TEST(DisplayProbe, ChoosesAServerThatAnswers) {
  TTempDir tmp;
  TFakeCompositor compositor(tmp / "wayland-live");
  ASSERT_TRUE(compositor.Ok());
  test::WriteFile(tmp / "wayland-dead", "");
  const std::string deadX = ":4242";
  struct TCase {
    const char* Name;
    TDisplayEnv Env;
    bool LiveX; // Display is set to a fake X server that answers
    TDisplayKind Want;
    std::string WantPlatform;
  };
  auto env = [&](std::string display, std::string wayland, std::string session = "", std::string qpa = "") {
    TDisplayEnv e;
    e.Display = std::move(display);
    e.WaylandDisplay = std::move(wayland);
    e.RuntimeDir = tmp.Path();
    e.SessionType = std::move(session);
    e.QtPlatform = std::move(qpa);
    return e;
  };
  const TCase cases[] = {
      {"no display variables", env("", ""), false, TDisplayKind::dkNone, ""},
      {"no display variables, offscreen asked for", env("", "", "", "offscreen"), false, TDisplayKind::dkNone, ""},
      {"X server gone", env(deadX, ""), false, TDisplayKind::dkNone, ""},
      {"X server answers", env("", ""), true, TDisplayKind::dkX11, ""},
      {"compositor gone", env("", "wayland-dead"), false, TDisplayKind::dkNone, ""},
      {"compositor answers", env("", "wayland-live", "wayland"), false, TDisplayKind::dkWayland, ""},
      {"compositor by its full path", env("", tmp / "wayland-live"), false, TDisplayKind::dkWayland, "wayland"},
      {"X gone, compositor answers", env(deadX, "wayland-live"), false, TDisplayKind::dkWayland, "wayland"},
      {"Wayland session gone, X answers", env("", "wayland-dead", "wayland"), true, TDisplayKind::dkX11, "xcb"},
      {"xcb asked for, X gone", env(deadX, "wayland-live", "", "xcb"), false, TDisplayKind::dkNone, ""},
      {"list falls through to Wayland", env(deadX, "wayland-live", "", "xcb;wayland"), false,
       TDisplayKind::dkWayland, ""},
      {"a platform without a server", env(deadX, "", "", "offscreen"), false, TDisplayKind::dkOther, ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TFakeXServer server(TFakeXServer::xaSuccess, false);
    TDisplayEnv e = c.Env;
    if (c.LiveX) e.Display = server.Display();
    const TDisplayChoice got = ProbeDisplay(e, 500);
    EXPECT_EQ(got.Kind, c.Want);
    EXPECT_EQ(got.Platform, c.WantPlatform);
    // The fake server waits for one connection; give it one if nobody did.
    if (!c.LiveX) XServerAnswers(server.Display(), "", 200);
  }
}

} // namespace
} // namespace twf
