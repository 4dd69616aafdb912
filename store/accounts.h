// Rules that keep domains, groups and users whole: what a new domain gets,
// which rows are protected, how names are normalised and kept unique within a
// domain, and what each deletion removes.
//
// The operations for the console return an AccountOutcome instead of showing
// anything: its question is asked first (nothing has changed yet; call again
// with the operator's answer), its notes are shown in order. What the
// operator reads is console/'s to word (console/state/account_dialogs.h).
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/db/database.h"
#include "store/ip_filter.h"
#include "store/records.h"

namespace kestrel::store {

// Creates the domain with its members when no domain of that name exists.
bool ensureDomain(Database& db, const std::string& name);
// Creates the "system" group and the "anonymous" user with its root where missing.
void ensureDomainMembers(Database& db, std::int64_t domainId);
// Adds a user's root directory row and returns its id.
std::int64_t createRootDirectory(Database& db, std::int64_t domainId, std::int64_t groupId, std::int64_t userId,
                                 bool otherAccess);
// Lower case, then the leading run of [a-z0-9_].
std::string normaliseName(const std::string& name);

// ---------------------------------------------------------------------------
// Console operations

// What a rule tells the operator: a refusal, a warning, a question, or why a
// request cannot be carried out as asked.
enum class AccountNotice {
  None,
  DefaultDomainFixed,
  DomainExists,  // subject: the name
  CannotDeleteDefaultDomain,
  DeleteDomain,  // the question before a domain goes
  GroupExists,
  SystemGroupRename,
  GroupBlank,
  GroupNameTaken,
  UserExists,
  AnonymousRename,
  BlankLogin,
  NoMoveBetweenDomains,
  NoSuchDomain,
  NoSuchGroup,
  NoSuchUser,
  UnknownSiteCommand,
  GroupOutsideDomain,
};

struct AccountNote {
  AccountNotice notice = AccountNotice::None;
  std::string subject;  // the name the text quotes, where it quotes one
};

struct AccountOutcome {
  bool changed = false;
  std::int64_t id = 0;                // the row added, edited or moved
  std::vector<std::int64_t> removed;  // the rows deleted
  std::vector<AccountNote> notes;     // refusals and warnings, in the order shown
  std::optional<AccountNote> question;
  // The request cannot be carried out as asked.
  AccountNotice badInput = AccountNotice::None;
  bool missing = false;  // ... because a row it names is not there
};

// SITE command ids below this are the ones a group sheet offers.
inline constexpr std::int64_t kSiteCommandLimit = 48;

// nullopt: not asked yet; true: Yes or OK; false: No or Cancel.
using Confirmation = std::optional<bool>;

// Domains. The sheet's values are name, ip, motd, textHeader, textFooter.
std::optional<AccountNote> validateDomainEdit(Database& db, const HomeRecord& before, bool isNew,
                                                 const std::string& name, const std::string& ip);

// Adds a domain (name, ip, motd, text header and footer from values) with its
// members; a filter given is stored under the new domain.
AccountOutcome addDomain(Database& db, const HomeRecord& values,
                         const std::optional<std::vector<FilterEntry>>& filter = std::nullopt);
AccountOutcome editDomain(Database& db, std::int64_t domainId, const HomeRecord& values);
AccountOutcome deleteDomain(Database& db, std::int64_t domainId, Confirmation confirmed);

// Groups. siteCommands absent: the rights stay as they are.
struct GroupSheet {
  std::string name, comment;
  std::optional<std::vector<std::int64_t>> siteCommands;
};
AccountOutcome addGroup(Database& db, std::int64_t domainId, const GroupSheet& sheet);
AccountOutcome editGroup(Database& db, std::int64_t groupId, const GroupSheet& sheet);
// The "system" group and the "anonymous" user are never deleted.
bool protectedGroup(const GroupRecord& group);
bool protectedUser(const UserRecord& user);
// What becomes of the files of a group that is deleted.
enum class FileGroups { Keep, ToSystemGroup };
// Deletes a group: its users go to the domain's "system" group, its SITE rights go.
void removeGroup(Database& db, const GroupRecord& group, FileGroups files);
// The ids of the SITE commands the group may use.
std::vector<std::int64_t> groupSiteRights(Database& db, std::int64_t groupId);

// Users. A new user's sheet starts from newUser(); the sheet's columns of
// the record are what add and edit store.
UserRecord newUser(std::int64_t domainId, std::int64_t groupId);
AccountOutcome addUser(Database& db, const UserRecord& sheet);
// anonymousKeepsLogin: a new login typed for "anonymous" is refused with a
// warning and the rest of the sheet is stored.
AccountOutcome editUser(Database& db, std::int64_t userId, const UserRecord& sheet, bool anonymousKeepsLogin);
// Deletes a user with its file rows (the files stay on disk).
void removeUser(Database& db, const UserRecord& user);
AccountOutcome moveUser(Database& db, std::int64_t userId, std::int64_t groupId);

}  // namespace kestrel::store
