// One server per settings store: an exclusive flock on "<settings>.lock".
// The holder writes its pid into the lock file so that a second instance can
// ask it to come forward, and may publish its console address in
// "<settings>.console" for the second instance to show.
//
// The lock file stays on disk after release: removing it would let two
// processes lock two different files of the same name.
#pragma once
#include <csignal>
#include <optional>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace kestrel::platform {

class InstanceGuard {
 public:
  // What a second instance sends the holder to have it show itself.
  static constexpr int kShowSignal = SIGUSR1;

  // Nullopt when another process holds the store (failure->code is then
  // EWOULDBLOCK) or the lock file cannot be made. On success kShowSignal is
  // blocked in the calling thread, so a request can never kill the holder:
  // call this before any other thread starts (they inherit the mask) and
  // take the signal with sigwait or signalfd.
  static std::optional<InstanceGuard> acquire(const std::string& settingsPath,
                                              Status* failure = nullptr);

  // The console address published by the running holder; empty when none.
  static std::string runningConsoleAddress(const std::string& settingsPath);

  // Sends kShowSignal to the holder's pid; false when no one holds the store
  // or the signal cannot be sent.
  static bool askRunningToShow(const std::string& settingsPath);

  static std::string lockPath(const std::string& settingsPath) { return settingsPath + ".lock"; }
  static std::string consolePath(const std::string& settingsPath) {
    return settingsPath + ".console";
  }

  InstanceGuard(InstanceGuard&& other) noexcept;
  InstanceGuard& operator=(InstanceGuard&& other) noexcept;
  InstanceGuard(const InstanceGuard&) = delete;
  InstanceGuard& operator=(const InstanceGuard&) = delete;
  // Releases the lock and withdraws the published address.
  ~InstanceGuard();

  // Written with mode 0600; a later call replaces the address.
  Status publishConsoleAddress(std::string_view url);

 private:
  InstanceGuard(int fd, std::string settingsPath);
  void release();

  int fd_ = -1;
  std::string settingsPath_;
};

}  // namespace kestrel::platform
