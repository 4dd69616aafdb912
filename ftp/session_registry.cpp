#include "ftp/session_registry.h"

namespace kestrel::ftp {

bool UserSessionCounts::admit(std::int64_t userId, std::int64_t maxUsers) {
  if (maxUsers <= 0) return false;
  platform::MutexLock lock(countsMutex_);
  int& count = counts_[userId];
  if (count >= maxUsers) return false;
  ++count;
  return true;
}

void UserSessionCounts::release(std::int64_t userId) {
  platform::MutexLock lock(countsMutex_);
  auto it = counts_.find(userId);
  if (it == counts_.end()) return;
  if (--it->second <= 0) counts_.erase(it);
}

int UserSessionCounts::count(std::int64_t userId) {
  platform::MutexLock lock(countsMutex_);
  auto it = counts_.find(userId);
  return it == counts_.end() ? 0 : it->second;
}

}  // namespace kestrel::ftp
