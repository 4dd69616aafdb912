// Process signals as events of a loop: the signals are blocked in every
// thread and read from a signalfd, so no handler runs at an arbitrary point.
#pragma once
#include <functional>
#include <initializer_list>

#include "platform/event_loop.h"

namespace kestrel::platform {

// Blocks signals in the calling thread and every thread it starts later, and
// ignores SIGPIPE (a closed peer is seen as a write error instead).
void blockSignals(std::initializer_list<int> signals);

class SignalWatcher : public EventHandler {
 public:
  // Calls onSignal on loop for each of signals (which must be blocked).
  SignalWatcher(EventLoop& loop, std::initializer_list<int> signals, std::function<void(int)> onSignal);
  ~SignalWatcher() override;
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

  bool watching() const { return fd_ >= 0; }
  void onEvents(std::uint32_t events) override;

 private:
  EventLoop& loop_;
  std::function<void(int)> onSignal_;
  int fd_ = -1;
};

}  // namespace kestrel::platform
