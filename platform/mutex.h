// std::mutex as a capability the compiler can follow. libstdc++'s own mutex
// carries no annotations, so GUARDED_BY on it would check nothing.
#pragma once
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/thread_annotations.h"

namespace kestrel::platform {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  // Tells the analysis that the caller holds this lock where it cannot follow
  // it: an object that took the lock in its constructor and keeps it until its
  // destructor. Checks nothing at run time.
  void assertHeld() const ASSERT_CAPABILITY(this) {}

 private:
  std::mutex mutex_;
};

// Holds a Mutex for its scope, or until unlock().
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RELEASE() {
    if (held_) mutex_.unlock();
  }
  void unlock() RELEASE() {
    mutex_.unlock();
    held_ = false;
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
  bool held_ = true;
};

// A condition variable over Mutex. There is no predicate form: callers loop
// on their condition themselves, so that its guarded reads are checked as
// made with the lock held.
class CondVar {
 public:
  void wait(Mutex& mutex) REQUIRES(mutex) { wake_.wait(mutex); }
  // False once the deadline has passed.
  bool waitUntil(Mutex& mutex, std::chrono::steady_clock::time_point deadline) REQUIRES(mutex) {
    return wake_.wait_until(mutex, deadline) == std::cv_status::no_timeout;
  }
  void notifyOne() { wake_.notify_one(); }
  void notifyAll() { wake_.notify_all(); }

 private:
  std::condition_variable_any wake_;
};

}  // namespace kestrel::platform
