// Process-wide lists shared by every connection thread: the live sessions
// with their numbers (SITE WHO, UMSG, KICK) and the open sessions per user
// (the Max Users rule). Each has its own lock, held only for the list work.
#pragma once
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <string>

namespace kestrel::ftp {

class CUserSocket;

class SessionRegistry {
 public:
  // Registers at the front and returns the session's number (wraps at 65536).
  std::uint16_t add(CUserSocket* session);
  void remove(CUserSocket* session);
  // Calls fn for every session, newest first, under the lock.
  void forEach(const std::function<void(CUserSocket&)>& fn);
  // Calls fn with the session of that number, under the lock; false when none.
  bool withSession(long number, const std::function<void(CUserSocket&)>& fn);

 private:
  std::mutex mutex_;
  std::list<CUserSocket*> sessions_;  // guarded by mutex_
  std::uint16_t counter_ = 0;         // guarded by mutex_
};

class UserSessionCounts {
 public:
  // Admits and counts the session when the user is below maxUsers.
  bool admit(std::int64_t userId, std::int64_t maxUsers);
  void release(std::int64_t userId);
  int count(std::int64_t userId);

 private:
  std::mutex mutex_;
  std::map<std::int64_t, int> counts_;  // guarded by mutex_
};

SessionRegistry& sessionRegistry();
UserSessionCounts& userSessionCounts();

}  // namespace kestrel::ftp
