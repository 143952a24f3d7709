// Whether the window can open here. A display variable alone says little:
// systemd user timers and cron jobs started from a desktop inherit DISPLAY
// and WAYLAND_DISPLAY long after the session has gone, and the toolkit
// aborts the process when the server it names does not answer. So the
// server is asked first, the way the toolkit will connect to it.
#pragma once

#include <string>

namespace twf {

struct TDisplayEnv {
  std::string Display;        // $DISPLAY
  std::string WaylandDisplay; // $WAYLAND_DISPLAY
  std::string RuntimeDir;     // $XDG_RUNTIME_DIR
  std::string XAuthority;     // $XAUTHORITY, else ~/.Xauthority
  std::string SessionType;    // $XDG_SESSION_TYPE
  std::string QtPlatform;     // $QT_QPA_PLATFORM
};

TDisplayEnv DisplayEnvFromProcess();

enum class TDisplayKind { dkNone, dkX11, dkWayland, dkOther };

struct TDisplayChoice {
  TDisplayKind Kind = TDisplayKind::dkNone;
  // The platform the toolkit must be told to use (QT_QPA_PLATFORM) when it
  // would otherwise try a server that did not answer; empty: its own choice.
  std::string Platform;
};

// Asks the servers the environment names; each attempt gives up after
// timeoutMs. Without DISPLAY and WAYLAND_DISPLAY: none. A platform named in
// QT_QPA_PLATFORM that needs no server (offscreen, minimal ...) is taken as
// it stands.
TDisplayChoice ProbeDisplay(const TDisplayEnv& env, int timeoutMs = 2000);

// The X server of display (as in $DISPLAY) completes the connection set-up,
// with the MIT-MAGIC-COOKIE-1 of xauthFile when it has one for that display.
bool XServerAnswers(const std::string& display, const std::string& xauthFile, int timeoutMs);

} // namespace twf
