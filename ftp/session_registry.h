// Lists shared by every connection thread, kept in SessionShared: the live
// sessions with their numbers (SITE WHO, UMSG, KICK) and the open sessions
// per user (the Max Users rule). Each has its own lock, held only for the
// list work.
#pragma once
#include <cstdint>
#include <functional>
#include <list>
#include <map>

#include "platform/mutex.h"

namespace kestrel::ftp {

class CUserSocket;

// A session's number lives in its entry, written under the lock before the
// entry is visible, so no thread ever reads a number still being assigned.
template <typename Session>
class BasicSessionRegistry {
 public:
  // Registers at the front and returns the session's number (wraps at 65536).
  std::uint16_t add(Session* session) EXCLUDES(sessionsMutex_) {
    platform::MutexLock lock(sessionsMutex_);
    std::uint16_t number = ++counter_;
    sessions_.push_front({session, number});
    return number;
  }

  void remove(Session* session) EXCLUDES(sessionsMutex_) {
    platform::MutexLock lock(sessionsMutex_);
    sessions_.remove_if([session](const Entry& e) { return e.session == session; });
  }

  // Calls fn with each session and its number, newest first, under the lock.
  void forEach(const std::function<void(std::uint16_t, Session&)>& fn) EXCLUDES(sessionsMutex_) {
    platform::MutexLock lock(sessionsMutex_);
    for (const Entry& e : sessions_) fn(e.number, *e.session);
  }

  // Calls fn with the newest session of that number, under the lock; false when none.
  bool withSession(long number, const std::function<void(Session&)>& fn) EXCLUDES(sessionsMutex_) {
    platform::MutexLock lock(sessionsMutex_);
    for (const Entry& e : sessions_) {
      if (e.number == number) {
        fn(*e.session);
        return true;
      }
    }
    return false;
  }

 private:
  struct Entry {
    Session* session;
    std::uint16_t number;
  };

  platform::Mutex sessionsMutex_;
  std::list<Entry> sessions_ GUARDED_BY(sessionsMutex_);
  std::uint16_t counter_ GUARDED_BY(sessionsMutex_) = 0;
};

using SessionRegistry = BasicSessionRegistry<CUserSocket>;

class UserSessionCounts {
 public:
  // Admits and counts the session when the user is below maxUsers.
  bool admit(std::int64_t userId, std::int64_t maxUsers) EXCLUDES(countsMutex_);
  void release(std::int64_t userId) EXCLUDES(countsMutex_);
  int count(std::int64_t userId) EXCLUDES(countsMutex_);

 private:
  platform::Mutex countsMutex_;
  std::map<std::int64_t, int> counts_ GUARDED_BY(countsMutex_);
};

}  // namespace kestrel::ftp
