// Rules that keep domains, groups and users whole: what a new domain gets,
// which rows are protected, how names are normalised and kept unique within a
// domain, and what each deletion removes.
//
// The operations for the console return an AccountOutcome instead of showing
// anything: its question is asked first (nothing has changed yet; call again
// with the operator's answer), its messages are shown in order.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/database.h"
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

struct AccountMessage {
  std::string text;
  std::string icon = "stop";  // stop, exclamation, question, information
  std::vector<std::string> buttons = {"OK"};
  std::string defaultButton;  // empty: the first button
};

struct AccountOutcome {
  bool changed = false;
  std::int64_t id = 0;                   // the row added, edited or moved
  std::vector<std::int64_t> removed;     // the rows deleted
  std::vector<AccountMessage> messages;  // refusals and warnings, in the order shown
  std::optional<AccountMessage> question;
  std::string badInput;  // the request cannot be carried out as asked
  bool missing = false;  // ... because a row it names is not there
};

// SITE command ids below this are the ones a group sheet offers.
inline constexpr std::int64_t kSiteCommandLimit = 48;
// The user sheet's text for a login that is, or normalises to, nothing.
inline constexpr char kBlankEntry[] = "Entry may not be blank";

// The console window an operation comes from where the two differ in texts
// and checks: the Users or Groups window, or the Domains window (the tree).
enum class AccountWindow { List, Domains };

// nullopt: not asked yet; true: Yes or OK; false: No or Cancel.
using Confirmation = std::optional<bool>;

// Domains. The sheet's values are name, ip, motd, textHeader, textFooter.
std::optional<AccountMessage> validateDomainEdit(Database& db, const HomeRecord& before, bool isNew,
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
// From the Groups window several at once; from the Domains window exactly one.
AccountOutcome deleteGroups(Database& db, const std::vector<std::int64_t>& groupIds, AccountWindow from,
                            Confirmation confirmed);
// The ids of the SITE commands the group may use.
std::vector<std::int64_t> groupSiteRights(Database& db, std::int64_t groupId);

// Users. A new user's sheet starts from newUser(); the sheet's columns of
// the record are what add and edit store.
UserRecord newUser(std::int64_t domainId, std::int64_t groupId);
AccountOutcome addUser(Database& db, const UserRecord& sheet);
AccountOutcome editUser(Database& db, std::int64_t userId, const UserRecord& sheet, AccountWindow from);
AccountOutcome deleteUsers(Database& db, const std::vector<std::int64_t>& userIds, AccountWindow from,
                           Confirmation confirmed);
AccountOutcome moveUser(Database& db, std::int64_t userId, std::int64_t groupId);

}  // namespace kestrel::store
