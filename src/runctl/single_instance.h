// One interactive copy per user. The first interactive start holds a
// per-user lock for its whole life and, once its window exists, listens on
// a per-user local socket (TInstanceServer); a later interactive start
// finds the lock taken, asks that copy to show its window, and exits.
// Command-line runs take no part, so they never wait on an open window.
#pragma once

#include <string>

namespace twf {

// "<runtime dir>/Zentorvi_Twinfold_Instance_<uid>": the runtime dir is
// $XDG_RUNTIME_DIR when it is a private folder of this user, else $TMPDIR,
// else /tmp.
std::string InstanceSocketPath();

class TInstanceLock {
public:
  enum TState {
    isFirst,       // this process holds the lock: it is the interactive copy
    isOtherCopy,   // another process of this user holds it
    isUnavailable, // the lock file cannot be used (for example it belongs to someone else)
  };
  // Tries once, never waits.
  TInstanceLock();
  ~TInstanceLock();
  TInstanceLock(const TInstanceLock&) = delete;
  TInstanceLock& operator=(const TInstanceLock&) = delete;
  TState State() const { return FState; }

private:
  int FFd = -1;
  TState FState = isUnavailable;
};

// Asks the copy listening on the socket to restore and raise its window.
// Waits up to timeoutMs in all (the other copy may still be starting). True
// when it confirmed. A socket that belongs to another user is never used.
bool ActivateRunningInstance(int timeoutMs = 3000);

} // namespace twf
