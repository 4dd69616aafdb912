// Look-ups of domains, groups and users: one row by id or by a rule's filter,
// and the lists the console's windows and pickers show, each in the order
// it is shown.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "store/account_records.h"
#include "store/db/database.h"
#include "store/records.h"

namespace kestrel::store {

// By a filter of the store's own making (values quoted by the caller). On the
// shared connection, groups and users go through the long-lived record sets.
std::optional<GroupRecord> findGroup(Database& db, const std::string& filter);
std::optional<UserRecord> findUser(Database& db, const std::string& filter);
std::optional<HomeRecord> findDomain(Database& db, const std::string& filter);

std::optional<HomeRecord> domainById(Database& db, std::int64_t id);
std::optional<GroupRecord> groupById(Database& db, std::int64_t id);
std::optional<UserRecord> userById(Database& db, std::int64_t id);
bool userInDomain(Database& db, std::int64_t userId, std::int64_t domainId);
bool groupInDomain(Database& db, std::int64_t groupId, std::int64_t domainId);

enum class DomainOrder { ById, ByName };
std::vector<HomeRecord> allDomains(Database& db, DomainOrder order);
std::vector<GroupRecord> groupsOfDomain(Database& db, std::int64_t domainId);  // by name
std::vector<UserRecord> usersOfGroup(Database& db, std::int64_t groupId);      // by login
std::vector<UserGroupRecord> usersOfDomain(Database& db, std::int64_t domainId);  // by login
// The Users and Groups windows' rows, by id.
std::vector<UserListRecord> userList(Database& db);
std::vector<GroupQueryRecord> groupList(Database& db);
// The SITE commands a group sheet offers (ids below limit), by name.
std::vector<SiteRecord> offeredSiteCommands(Database& db, std::int64_t limit);

// The ids of the domain's "system" user and group (0 where there is none).
std::pair<std::int64_t, std::int64_t> systemOwnerOf(Database& db, std::int64_t domainId);

}  // namespace kestrel::store
