// What keeps one hostile client of the console from shutting out the rest:
// the password back-off kept per source address, and the worker threads that
// serve connections.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/mutex.h"

namespace kestrel::console {

// Wrong console passwords, counted per source address. After a failure the
// address waits 0.5 s, doubling with each further failure up to 8 s, before
// its next password is looked at; a minute without failures forgets them.
// One check per address runs at a time, so parallel guesses gain nothing,
// and nothing here sleeps or holds the lock for longer than a lookup.
class LoginBackoff {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::size_t kDefaultCapacity = 4096;
  static constexpr auto kFirstDelay = std::chrono::milliseconds(500);
  static constexpr auto kLongestDelay = std::chrono::milliseconds(8000);
  static constexpr auto kForgetAfter = std::chrono::minutes(1);

  explicit LoginBackoff(std::size_t capacity = kDefaultCapacity) : capacity_(capacity) {}

  // Lets one password from address be checked now (nullopt), or says how
  // long the address must still wait. An admitted check must end with
  // failed() or succeeded().
  std::optional<Clock::duration> admit(const std::string& address, Clock::time_point now);
  // The check failed: returns the delay before the address's next check.
  Clock::duration failed(const std::string& address, Clock::time_point now);
  void succeeded(const std::string& address);

  std::size_t tracked() const;

  // The key an address is counted under: an IPv6 client owns a whole /64,
  // so its addresses count as one.
  static std::string sourceKey(const std::string& address);

 private:
  struct Entry {
    int failures = 0;
    bool checking = false;
    Clock::time_point lastFailure{};
    Clock::time_point blockedUntil{};
  };
  void makeRoom(Clock::time_point now) REQUIRES(entriesMutex_);
  // The address's entry, made (room first) when it has none.
  Entry& entryFor(const std::string& address, Clock::time_point now) REQUIRES(entriesMutex_);

  mutable platform::Mutex entriesMutex_;
  std::unordered_map<std::string, Entry> entries_ GUARDED_BY(entriesMutex_);
  std::size_t capacity_;
};

// The threads that serve console connections. One connection holds a thread
// for as long as it is open, so the pool grows on demand up to maxThreads
// and keeps its threads until shutdown; jobs past that wait their turn.
class ConnectionWorkers {
 public:
  explicit ConnectionWorkers(std::size_t maxThreads) : max_(maxThreads) {}
  ~ConnectionWorkers();
  ConnectionWorkers(const ConnectionWorkers&) = delete;
  ConnectionWorkers& operator=(const ConnectionWorkers&) = delete;

  void enqueue(std::function<void()> job) EXCLUDES(mutex_);
  // Runs what is queued, then joins every thread.
  void shutdown() EXCLUDES(mutex_);

  std::size_t threads() const EXCLUDES(mutex_);

 private:
  void work() EXCLUDES(mutex_);

  mutable platform::Mutex mutex_;
  platform::CondVar wake_;
  std::deque<std::function<void()>> jobs_ GUARDED_BY(mutex_);
  std::vector<std::thread> threads_ GUARDED_BY(mutex_);
  std::size_t idle_ GUARDED_BY(mutex_) = 0;
  std::size_t starting_ GUARDED_BY(mutex_) = 0;  // threads made but not yet waiting
  bool stopping_ GUARDED_BY(mutex_) = false;
  const std::size_t max_;
};

}  // namespace kestrel::console
