#include "ftp/session_registry.h"

#include "ftp/session.h"

namespace kestrel::ftp {

std::uint16_t SessionRegistry::add(CUserSocket* session) {
  std::lock_guard<std::mutex> lock(mutex_);
  sessions_.push_front(session);
  return ++counter_;
}

void SessionRegistry::remove(CUserSocket* session) {
  std::lock_guard<std::mutex> lock(mutex_);
  sessions_.remove(session);
}

void SessionRegistry::forEach(const std::function<void(CUserSocket&)>& fn) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (CUserSocket* s : sessions_) fn(*s);
}

bool SessionRegistry::withSession(long number, const std::function<void(CUserSocket&)>& fn) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (CUserSocket* s : sessions_) {
    if (s->sessionNumber() == number) {
      fn(*s);
      return true;
    }
  }
  return false;
}

bool UserSessionCounts::admit(std::int64_t userId, std::int64_t maxUsers) {
  if (maxUsers <= 0) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  int& count = counts_[userId];
  if (count >= maxUsers) return false;
  ++count;
  return true;
}

void UserSessionCounts::release(std::int64_t userId) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = counts_.find(userId);
  if (it == counts_.end()) return;
  if (--it->second <= 0) counts_.erase(it);
}

int UserSessionCounts::count(std::int64_t userId) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = counts_.find(userId);
  return it == counts_.end() ? 0 : it->second;
}

SessionRegistry& sessionRegistry() {
  static SessionRegistry registry;
  return registry;
}

UserSessionCounts& userSessionCounts() {
  static UserSessionCounts counts;
  return counts;
}

}  // namespace kestrel::ftp
