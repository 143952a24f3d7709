// The listening side of the single-instance rule (see single_instance.h):
// a per-user QLocalServer that shows the window when a later interactive
// start asks. Lives on the UI thread of a running Qt application.
#pragma once

#include <functional>
#include <memory>

namespace twf {

class TInstanceServer {
public:
  // Starts listening on InstanceSocketPath(). Call only while holding the
  // TInstanceLock, which makes any socket file found there a stale one.
  // activate runs on this (the UI) thread for every request.
  explicit TInstanceServer(std::function<void()> activate);
  ~TInstanceServer();
  TInstanceServer(const TInstanceServer&) = delete;
  TInstanceServer& operator=(const TInstanceServer&) = delete;
  bool Listening() const;

private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};

} // namespace twf
