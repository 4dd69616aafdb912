#include "store/account_queries.h"

#include "store/tree.h"

namespace kestrel::store {

namespace {

// The console's lookups by id and name go through the long-lived record sets
// when the operation runs on the shared connection.
template <class Row>
std::optional<Row> lookUp(RecordSet<Row>* shared, Database& db, const std::string& filter) {
  auto first = [&](RecordSet<Row>& set) -> std::optional<Row> {
    set.setFilter(filter);
    set.requery();
    if (set.isEmpty()) return std::nullopt;
    return set.row();
  };
  if (shared) return first(*shared);
  RecordSet<Row> local(db);
  return first(local);
}

SharedRecordSets* sharedFor(Database& db) { return db.recordSets(); }

}  // namespace

std::optional<GroupRecord> findGroup(Database& db, const std::string& filter) {
  SharedRecordSets* s = sharedFor(db);
  return lookUp<GroupRecord>(s ? &s->group : nullptr, db, filter);
}

std::optional<UserRecord> findUser(Database& db, const std::string& filter) {
  SharedRecordSets* s = sharedFor(db);
  return lookUp<UserRecord>(s ? &s->user : nullptr, db, filter);
}

std::optional<HomeRecord> findDomain(Database& db, const std::string& filter) {
  return lookUp<HomeRecord>(nullptr, db, filter);
}

namespace {

template <class Row>
std::vector<Row> rowsWhere(Database& db, const std::string& filter, const char* sort) {
  RecordSet<Row> set(db);
  set.setFilter(filter);
  set.setSort(sort);
  set.open();
  return set.rows();
}

std::string idFilter(const char* column, std::int64_t id) { return std::string(column) + "=" + std::to_string(id); }

}  // namespace

std::optional<HomeRecord> domainById(Database& db, std::int64_t id) { return findDomain(db, idFilter("id", id)); }
std::optional<GroupRecord> groupById(Database& db, std::int64_t id) { return findGroup(db, idFilter("id", id)); }
std::optional<UserRecord> userById(Database& db, std::int64_t id) { return findUser(db, idFilter("id", id)); }

bool userInDomain(Database& db, std::int64_t userId, std::int64_t domainId) {
  return findUser(db, idFilter("id", userId) + " and " + idFilter("domain", domainId)).has_value();
}

bool groupInDomain(Database& db, std::int64_t groupId, std::int64_t domainId) {
  return findGroup(db, idFilter("id", groupId) + " and " + idFilter("domain", domainId)).has_value();
}

std::vector<HomeRecord> allDomains(Database& db, DomainOrder order) {
  return rowsWhere<HomeRecord>(db, "", order == DomainOrder::ById ? "id" : "name, id");
}

std::vector<GroupRecord> groupsOfDomain(Database& db, std::int64_t domainId) {
  return rowsWhere<GroupRecord>(db, idFilter("domain", domainId), "name");
}

std::vector<UserRecord> usersOfGroup(Database& db, std::int64_t groupId) {
  return rowsWhere<UserRecord>(db, idFilter("`group`", groupId), "login");
}

std::vector<UserGroupRecord> usersOfDomain(Database& db, std::int64_t domainId) {
  return rowsWhere<UserGroupRecord>(db, idFilter("domain", domainId), "login, id");
}

std::vector<UserListRecord> userList(Database& db) { return rowsWhere<UserListRecord>(db, "", "users.id"); }

std::vector<GroupQueryRecord> groupList(Database& db) { return rowsWhere<GroupQueryRecord>(db, "", "groups.id"); }

std::vector<SiteRecord> offeredSiteCommands(Database& db, std::int64_t limit) {
  return rowsWhere<SiteRecord>(db, "id<" + std::to_string(limit), "name, id");
}

std::pair<std::int64_t, std::int64_t> systemOwnerOf(Database& db, std::int64_t domainId) {
  auto user = findUser(db, idFilter("domain", domainId) + " and login=" + quoteText("system"));
  auto group = findGroup(db, idFilter("domain", domainId) + " and name=" + quoteText("system"));
  return {user ? user->id : 0, group ? group->id : 0};
}

}  // namespace kestrel::store
