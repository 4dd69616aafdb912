// USER and PASS: named and anonymous logins of the session's domain.
#include <cctype>
#include <ctime>

#include "ftp/session.h"
#include "platform/metrics.h"
#include "platform/settings.h"
#include "store/activity_log.h"
#include "store/queries.h"
#include "store/records.h"

namespace kestrel::ftp {

namespace {

constexpr char kIncorrectLogin[] = "530 Incorrect login\r\n";
constexpr char kTlsRequiredReply[] = "530 This server requires TLS: send AUTH TLS before logging in.\r\n";

// The account's message, then the fixed text, as one multi-line 230 reply.
std::string withMessage(const std::string& message, const std::string& text) {
  std::string out = message;
  if (!out.empty() && out.back() != '\n') out += "\r\n";
  return out + text;
}

}  // namespace

// Whether this login must wait for TLS: 1 asks it of named users, 2 of
// everyone. With no certificate loaded the requirement cannot be met, and
// logins it covers stay refused rather than cross in clear text.
bool CUserSocket::needsTls(bool anonymous) const {
  int level = host_.settings().read(settings::kTlsRequired);
  return !tlsActive() && (level >= 2 || (level == 1 && !anonymous));
}

void CUserSocket::cmdUser(const std::string& name) {
  if (account_.loggedIn) {
    reply("530 User '%s' access denied.\r\n", name.c_str());
    return;
  }
  if (needsTls(name == "anonymous")) {
    // Refused before the password is sent, so it never travels in clear.
    reply("%s", kTlsRequiredReply);
    return;
  }
  account_.userName = name;
  const bool anonymous = name == "anonymous";
  account_.changeIdentity([anonymous](Account::Identity& who) { who.anonymous = anonymous; });
  if (anonymous) {
    reply("331 Guest login OK.  Send your complete e-mail address as password.\r\n");
  } else {
    reply("331 Password required for %s.\r\n", name.c_str());
  }
}

void CUserSocket::cmdPass(const std::string& password) {
  if (account_.userName.empty()) {
    reply("503 Bad sequence.  Do 'USER' first.\r\n");
    return;
  }
  if (account_.loggedIn) {
    // A second login would count the session twice against Max Users.
    reply("503 Already logged in.\r\n");
    return;
  }
  if (needsTls(own().anonymous)) {
    account_.userName.clear();
    reply("%s", kTlsRequiredReply);
    return;
  }
  store::Database& db = database();
  std::optional<store::UserRecord> users;
  if (own().anonymous) {
    users = store::userByLogin(db, "anonymous", domainId_);
    if (users && users->locked) {
      metrics::login(metrics::LoginResult::kLocked);
      reply("530 Anonymous logins not permitted\r\n");
      return;
    }
    if (!users || !shared_.userSessions.admit(users->id, users->maxUsers)) {
      metrics::login(metrics::LoginResult::kTooMany);
      reply("530 Too many anonymous logins\r\n");
      return;
    }
    const store::UserRecord& user = *users;
    account_.changeIdentity([&](Account::Identity& who) {
      who.userId = user.id;
      who.displayName = "Anonymous";
      who.anonymousAddress = password;
    });
    loginSucceeded(user);
    rawSend(multiLine("230", withMessage(user.message, "Anonymous login ok.  Access restrictions apply.")));
    announceLogin();
    return;
  }

  auto refuse = [this](const char* text, metrics::LoginResult result = metrics::LoginResult::kIncorrect) {
    metrics::login(result);
    account_.userName.clear();  // a refused named login starts again with USER
    reply("%s", text);
  };
  if (password.size() >= 20) return refuse(kIncorrectLogin);
  users = store::userByLogin(db, account_.userName, domainId_);
  if (!users) return refuse(kIncorrectLogin);
  std::string lowered = password;
  for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const store::UserRecord& user = *users;
  if (user.password.empty() || user.password != lowered) return refuse(kIncorrectLogin);
  if (user.locked) return refuse("530 Account locked. Cannot login.\r\n", metrics::LoginResult::kLocked);
  if (!shared_.userSessions.admit(user.id, user.maxUsers))
    return refuse("530 Too many users for this account or class.\r\n", metrics::LoginResult::kTooMany);

  account_.changeIdentity([&](Account::Identity& who) {
    who.userId = user.id;
    who.displayName = account_.userName;
  });
  account_.spaceLimit = user.spaceLimit;
  loginSucceeded(user);
  rawSend(multiLine("230", withMessage(user.message, "User '" + account_.userName + "' logged in")));
  announceLogin();
}

// The steps every successful login shares. Every database read and write of
// the login happens here, before its 230: a failure then answers 451 alone
// and leaves the session logged out.
void CUserSocket::loginSucceeded(const store::UserRecord& user) {
  store::Database& db = database();
  try {
    if (!own().anonymous && account_.spaceLimit != 0) account_.spaceUsed = store::spaceUsedBy(db, user.id);
    startSession(user);
    store::setLastOn(db, user.id, std::time(nullptr));
  } catch (const store::DbError&) {
    shared_.userSessions.release(user.id);
    account_.changeIdentity([](Account::Identity& who) {
      who.userId = 0;
      who.displayName = "Unknown";
      who.anonymousAddress.clear();
      who.logText.clear();
    });
    account_.userName.clear();
    account_.loggedIn = false;
    cwd_.toRoot();
    throw;
  }
}

void CUserSocket::announceLogin() {
  metrics::login(metrics::LoginResult::kOk);
  host_.postToMain({Msg::ConnectionNamed, host_.connectionKey(),
                    own().anonymous ? "Anon " + own().logText : own().displayName, true});
}

void CUserSocket::startSession(const store::UserRecord& user) {
  account_.loggedIn = true;
  account_.groupId = user.group;
  cwd_.reset(user.rootDirectory);
  loadSiteRights(account_.groupId);
  account_.ratio = user.ratio;
  account_.mayOverwrite = user.overwriteOwnFiles;
  account_.mayDelete = user.deleteOwnFiles;
  account_.mayRename = user.renameOwnFiles;
  account_.bytesDownloaded = account_.bytesUploaded = 0;
  account_.changeIdentity([this](Account::Identity& who) { who.logText = hostName_.empty() ? peerAddress_ : hostName_; });
  store::writeLog(database(), own().userId, own().logText, store::Action::Login, 0);
  if (!own().anonymous) account_.changeIdentity([](Account::Identity& who) { who.logText.clear(); });
  changeDirectory(user.startDirectory, false);
}

}  // namespace kestrel::ftp
