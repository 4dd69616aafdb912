#include "ftp/account.h"

namespace kestrel::ftp {

Account::Identity Account::identity() const {
  platform::MutexLock lock(identityMutex_);
  return identity_;
}

void Account::changeIdentity(const std::function<void(Identity&)>& change) {
  platform::MutexLock lock(identityMutex_);
  change(identity_);
}

void Account::clearSiteRights() {
  for (bool& right : siteRights_) right = false;
}

void Account::grantSiteRight(std::int64_t id) {
  // Rows come from the database: a stray id must not write past the table.
  if (id >= 1 && id <= kSiteRights) siteRights_[id] = true;
}

void Account::appendPendingMessage(const std::string& text) {
  platform::MutexLock lock(pendingMutex_);
  pendingMessage_ += text;
}

std::string Account::takePendingMessage() {
  platform::MutexLock lock(pendingMutex_);
  std::string pending;
  pending.swap(pendingMessage_);
  return pending;
}

void Account::putBackPendingMessage(const std::string& saved) {
  platform::MutexLock lock(pendingMutex_);
  pendingMessage_.insert(0, saved);
}

}  // namespace kestrel::ftp
