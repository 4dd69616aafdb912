#include "platform/signals.h"

#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace kestrel::platform {

namespace {

sigset_t setOf(std::initializer_list<int> signals) {
  sigset_t set;
  sigemptyset(&set);
  for (int s : signals) sigaddset(&set, s);
  return set;
}

}  // namespace

void blockSignals(std::initializer_list<int> signals) {
  sigset_t set = setOf(signals);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
}

SignalWatcher::SignalWatcher(EventLoop& loop, std::initializer_list<int> signals, std::function<void(int)> onSignal)
    : loop_(loop), onSignal_(std::move(onSignal)) {
  sigset_t set = setOf(signals);
  fd_ = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd_ >= 0) loop_.add(fd_, io::kReadable, this);
}

SignalWatcher::~SignalWatcher() {
  if (fd_ < 0) return;
  loop_.remove(fd_);
  ::close(fd_);
}

void SignalWatcher::onEvents(std::uint32_t) {
  signalfd_siginfo info;
  while (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
    onSignal_(static_cast<int>(info.ssi_signo));
}

}  // namespace kestrel::platform
