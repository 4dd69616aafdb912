// SITE and its subcommands. Which of them a session may run is fixed at
// login from its group's rows in Site List.
#include <strings.h>

#include <cctype>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ftp/command_table.h"
#include "ftp/session.h"
#include "store/activity_log.h"
#include "store/db/database.h"
#include "store/queries.h"
#include "store/records.h"
#include "store/tree.h"

namespace kestrel::ftp {

namespace {

constexpr int kIdleMinimum = 30;
constexpr int kIdleMaximum = 7200;
constexpr std::size_t kNameMax = 39;

bool isSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

void skipSpace(const std::string& text, std::size_t& pos) {
  while (pos < text.size() && isSpace(text[pos])) ++pos;
}

// The decimal number at pos, moving pos past its digits. Saturates instead
// of overflowing: any huge value is simply out of every accepted range.
long readNumber(const std::string& text, std::size_t& pos) {
  constexpr long kCap = 1'000'000'000;
  long value = 0;
  while (pos < text.size() && isDigit(text[pos])) {
    if (value < kCap) value = value * 10 + (text[pos] - '0');
    ++pos;
  }
  return value;
}

// Group and login names as SITE CHGRP and CHOWN accept them: only the
// characters of the name alphabet are kept, upper-case letters included in
// the dropped ones, and no more than kNameMax of them.
std::string readAccountName(const std::string& text, std::size_t& pos) {
  std::string name;
  for (; pos < text.size() && !isSpace(text[pos]); ++pos) {
    char c = text[pos];
    bool kept = (c >= 'a' && c <= 'z') || isDigit(c) || c == '_';
    if (kept && name.size() < kNameMax) name += c;
  }
  return name;
}

bool anonymousLoginsAllowed(store::Database& db, std::int64_t domainId) {
  auto account = store::anonymousAccount(db, domainId);
  return account && !account->locked;
}

}  // namespace

void CUserSocket::loadSiteRights(std::int64_t groupId) {
  account_.clearSiteRights();
  for (const store::SiteListRecord& row : store::siteRightsOfGroup(database(), groupId))
    account_.grantSiteRight(row.siteId);
}

void CUserSocket::cmdSite(const std::string& argument) {
  std::string rest;
  const SiteCommand* command = findSiteCommand(argument, rest);
  if (!command) {
    reply("500 Unknown command: 'SITE %s'\r\n", argument.c_str());
    return;
  }
  if (command->login == Login::Required && !requireLogin()) return;
  if (command->right != kNoRight && !account_.hasSiteRight(command->right)) {
    reply("500 Command not available\r\n");
    return;
  }
  (this->*command->handler)(rest);
}

void CUserSocket::siteIdleQuery(const std::string&) {
  reply("200 Current idle time limit is %d seconds.  Maximum 7200.\r\n", idleLimit_);
}

void CUserSocket::siteIdle(const std::string& arg) {
  if (arg.empty() || !isDigit(arg[0])) {
    reply("500 Unknown command: 'SITE IDLE %s'\r\n", arg.c_str());
    return;
  }
  std::size_t pos = 0;
  long seconds = readNumber(arg, pos);
  if (seconds < kIdleMinimum || seconds > kIdleMaximum) {
    reply("501 Idle time must be between 30 and 7200 seconds.\r\n");
    return;
  }
  idleLimit_ = static_cast<int>(seconds);
  reply("200 Idle time set to %d seconds.\r\n", idleLimit_);
}

void CUserSocket::siteAnon(const std::string& arg) {
  bool deny = strcasecmp(arg.c_str(), "DENY") == 0;
  if (!deny && strcasecmp(arg.c_str(), "ALLOW") != 0) {
    reply("500 Unknown command: 'SITE ANON %s'\r\n", arg.c_str());
    return;
  }
  store::setAnonymousLocked(database(), domainId_, deny);
  siteAnonQuery({});
}

void CUserSocket::siteAnonQuery(const std::string&) {
  // Read back rather than trusting the session: other sessions and the
  // console change this too, and a domain may have no anonymous account.
  if (anonymousLoginsAllowed(database(), domainId_)) reply("200 Anonymous logins allowed.\r\n");
  else reply("200 Anonymous logins not allowed.\r\n");
}

// Opens the entry a SITE command names; answers 550 when there is none.
std::optional<store::FileRecord> CUserSocket::openSiteTarget(const std::string& path) {
  std::int64_t id = path.empty() ? 0 : resolvePath(path);
  std::optional<store::FileRecord> entry;
  if (id != 0) entry = store::fileById(database(), id);
  if (!entry) reply("550 No such file or path.\r\n");
  return entry;
}

void CUserSocket::siteChmod(const std::string& arg) {
  auto octal = [](char c) { return c >= '0' && c <= '7'; };
  if (arg.size() < 3 || !octal(arg[0]) || !octal(arg[1]) || !octal(arg[2])) {
    reply("500 Invalid file mode.  Must be three octal digits.\r\n");
    return;
  }
  // The character after the digits is skipped whatever it is.
  std::string path = arg.size() > 4 ? arg.substr(4) : std::string();
  std::optional<store::FileRecord> entry = openSiteTarget(path);
  if (!entry) return;
  store::setPermissionsFromOctal(*entry, arg.c_str());
  store::setEntryPermissions(database(), *entry);
  store::writeLog(database(), own().userId, own().logText, store::Action::Chmod, entry->id);
  reply("250 File security changed.\r\n");
}

void CUserSocket::siteChgrp(const std::string& arg) { changeOwner(arg, true); }
void CUserSocket::siteChown(const std::string& arg) { changeOwner(arg, false); }

void CUserSocket::changeOwner(const std::string& arg, bool group) {
  std::size_t pos = 0;
  skipSpace(arg, pos);
  std::string name = readAccountName(arg, pos);
  skipSpace(arg, pos);
  std::string path = arg.substr(pos);

  std::int64_t ownerId = 0;
  if (group) {
    auto owner = store::firstGroupByName(database(), name);
    if (!owner) {
      reply("550 No such group.\r\n");
      return;
    }
    ownerId = owner->id;
  } else {
    auto owner = store::firstUserByLogin(database(), name);
    if (!owner) {
      reply("550 No such user.\r\n");
      return;
    }
    ownerId = owner->id;
  }

  std::optional<store::FileRecord> entry = openSiteTarget(path);
  if (!entry) return;
  if (group) store::setEntryGroup(database(), entry->id, ownerId);
  else store::setEntryOwner(database(), entry->id, ownerId);
  store::writeLog(database(), own().userId, own().logText, group ? store::Action::Chgrp : store::Action::Chown, entry->id);
  if (group) reply("250 File group changed.\r\n");
  else reply("250 File ownership changed.\r\n");
}

void CUserSocket::siteWho(const std::string&) {
  // The listing lines bypass the reply writer, so a pending message (even one
  // another session appends meanwhile) rides on the closing 200 line only.
  std::vector<std::string> lines = {
      "200-Users currently connected:\r\n",
      "    ID    IP                   User Login\r\n",
      "    ----- -------------------- --------------------\r\n",
  };
  int count = 0;
  shared_.sessions.forEach([&](std::uint16_t number, CUserSocket& other) {
    ++count;
    CUserSocket::Identity who = other.identity();
    if (who.anonymous)
      lines.push_back(formatReplyf("    %5d %-20s Anonymous (%s)\r\n", number,
                                   who.logText.c_str(), who.anonymousAddress.c_str()));
    else
      lines.push_back(formatReplyf("    %5d %-20s %-20s\r\n", number, who.logText.c_str(),
                                   who.displayName.c_str()));
  });
  lines.push_back("    ----- --------------- --------------------\r\n");
  for (const std::string& line : lines) {
    notifyMonitor(Msg::Traffic, line);
    rawSend(line);
  }
  reply("200 End of user list.  %d users connected.\r\n", count);
}

void CUserSocket::siteMsg(const std::string& arg) {
  std::string sender = own().anonymous ? "Anon(" + own().logText + ")" : own().displayName;
  host_.postToMain(Message{Msg::ConsoleLine, nullptr, sender + ": " + arg, true});
  // Logged before the reply, so that a failing log cannot follow a 200.
  store::writeLog(database(), own().userId, own().logText, store::Action::ConsoleMessage, 0, arg);
  reply("200 Console message sent.\r\n");
}

void CUserSocket::siteUmsg(const std::string& arg) {
  std::size_t pos = 0;
  skipSpace(arg, pos);
  long number = readNumber(arg, pos);
  if (pos >= arg.size() || arg[pos] != ' ') {
    reply("500 'UMSG' Syntax error.\r\n");
    return;
  }
  std::string text = arg.substr(pos + 1);
  std::int64_t receiverId = 0;
  bool delivered = shared_.sessions.withSession(number, [&](CUserSocket& other) {
    other.appendPendingMessage(text + "\r\n");
    receiverId = other.identity().userId;
  });
  if (!delivered) {
    reply("550 No such session.\r\n");
    return;
  }
  store::writeLog(database(), own().userId, own().logText, store::Action::UserMessage, receiverId, text);
  reply("200 Message sent.\r\n");
}

void CUserSocket::siteKick(const std::string& arg) {
  std::size_t pos = 0;
  skipSpace(arg, pos);
  long number = readNumber(arg, pos);
  std::int64_t kickedId = 0;
  // Only a request: the kicked session ends on its own thread, after this
  // reply when it kicks itself.
  bool found = shared_.sessions.withSession(number, [&](CUserSocket& other) {
    kickedId = other.identity().userId;
    other.host().requestQuit();
  });
  if (!found) {
    reply("550 Unable to kick user.\r\n");
    return;
  }
  store::writeLog(database(), own().userId, own().logText, store::Action::Kick, kickedId);
  reply("200 User kicked.\r\n");
}

void CUserSocket::siteDeny(const std::string& arg) { lockUser(arg, true); }
void CUserSocket::siteAllow(const std::string& arg) { lockUser(arg, false); }

void CUserSocket::lockUser(const std::string& arg, bool lock) {
  auto user = store::firstUserByLogin(database(), arg);
  if (!user) {
    reply("530 User %s not found.\r\n", arg.c_str());
    return;
  }
  store::setUserLocked(database(), user->id, lock);
  reply("200 User access updated.\r\n");
}

}  // namespace kestrel::ftp
