// Who a session is logged in as and what the account allows it: loaded at
// login, read by the handlers, and in part read by other sessions' threads.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "platform/mutex.h"
#include "store/tree.h"

namespace kestrel::ftp {

// Site Commands ids run from 1 to this.
constexpr int kSiteRights = 11;

class Account {
 public:
  // What WHO, UMSG and KICK of other sessions read, from their own threads.
  struct Identity {
    bool anonymous = false;
    std::int64_t userId = 0;
    std::string displayName, logText, anonymousAddress;
  };

  // Written and read by the session's own thread only.
  std::string userName;  // from USER, until the login completes or fails
  bool loggedIn = false;
  std::int64_t groupId = 0;
  double spaceUsed = 0;
  std::int64_t spaceLimit = 0;  // thousands of bytes, 0 = none
  bool mayRename = false, mayDelete = false, mayOverwrite = false;
  std::int64_t bytesDownloaded = 0, bytesUploaded = 0;
  std::int64_t ratio = 0;

  // A copy, for any thread.
  Identity identity() const EXCLUDES(identityMutex_);
  // The session's own thread, the only writer, reads without the lock.
  const Identity& own() const NO_THREAD_SAFETY_ANALYSIS { return identity_; }
  // Changes it under the lock, so that identity() never sees half a change.
  void changeIdentity(const std::function<void(Identity&)>& change) EXCLUDES(identityMutex_);
  store::Principal principal() const { return {own().anonymous, own().userId, groupId}; }

  // The SITE subcommands the group may run; ids out of range grant nothing.
  void clearSiteRights();
  void grantSiteRight(std::int64_t id);
  bool hasSiteRight(int id) const { return id >= 1 && id <= kSiteRights && siteRights_[id]; }

  // Text for the next reply: from the console and from other sessions' SITE
  // UMSG, so under its own lock.
  void appendPendingMessage(const std::string& text) EXCLUDES(pendingMutex_);
  std::string takePendingMessage() EXCLUDES(pendingMutex_);
  // Puts a taken message back before whatever arrived since.
  void putBackPendingMessage(const std::string& saved) EXCLUDES(pendingMutex_);

 private:
  bool siteRights_[kSiteRights + 1] = {};
  mutable platform::Mutex identityMutex_;
  Identity identity_ GUARDED_BY(identityMutex_) = {false, 0, "Unknown", {}, {}};
  platform::Mutex pendingMutex_;
  std::string pendingMessage_ GUARDED_BY(pendingMutex_);
};

}  // namespace kestrel::ftp
