// Row types of the stored queries the account windows read: the user list,
// the group list, the user picker and a group's SITE rights.
#pragma once
#include <map>
#include <string>
#include <vector>

#include "store/db/recordset.h"

namespace kestrel::store {

// Stored query userlist: users with their domain's id and name.
struct UserListRecord {
  static constexpr const char* kSource = "userlist";
  static constexpr const char* kKey = nullptr;
  std::int64_t id = 0;
  std::string login;
  std::int64_t lastOn = 0;
  std::string domainName;
  std::int64_t domain = 0, group = 0;
  static const std::vector<Field<UserListRecord>>& fields() {
    using R = UserListRecord;
    static const std::vector<Field<R>> f = {
        {"users.id", FieldType::Long, &R::id},       {"login", FieldType::Text, &R::login},
        {"last on", FieldType::DateTime, &R::lastOn}, {"name", FieldType::Text, &R::domainName},
        {"home.id", FieldType::Long, &R::domain},    {"group", FieldType::Long, &R::group}};
    return f;
  }
  static const std::map<std::string, std::string>& aliases() {
    static const std::map<std::string, std::string> a = {{"users.id", "\"users.id\""}, {"home.id", "\"home.id\""}};
    return a;
  }
};
using CDBUserShort = RecordSet<UserListRecord>;

// Stored query group query: groups with their domain's name and id.
struct GroupQueryRecord {
  static constexpr const char* kSource = "group query";
  static constexpr const char* kKey = nullptr;
  std::int64_t id = 0;
  std::string name, comment, domainName;
  std::int64_t domain = 0;
  static const std::vector<Field<GroupQueryRecord>>& fields() {
    using R = GroupQueryRecord;
    static const std::vector<Field<R>> f = {
        {"groups.name", FieldType::Text, &R::name}, {"comment", FieldType::Text, &R::comment},
        {"home.name", FieldType::Text, &R::domainName}, {"home.id", FieldType::Long, &R::domain},
        {"groups.id", FieldType::Long, &R::id}};
    return f;
  }
  static const std::map<std::string, std::string>& aliases() {
    static const std::map<std::string, std::string> a = {{"groups.name", "\"groups.name\""},
                                                         {"home.name", "\"home.name\""},
                                                         {"home.id", "\"home.id\""},
                                                         {"groups.id", "\"groups.id\""}};
    return a;
  }
};
using CDBGroupQuery = RecordSet<GroupQueryRecord>;

// Stored query user and group: a user's login and the name of its group.
struct UserGroupRecord {
  static constexpr const char* kSource = "user and group";
  static constexpr const char* kKey = nullptr;
  std::int64_t id = 0;
  std::string login, groupName;
  static const std::vector<Field<UserGroupRecord>>& fields() {
    using R = UserGroupRecord;
    static const std::vector<Field<R>> f = {{"id", FieldType::Long, &R::id},
                                            {"login", FieldType::Text, &R::login},
                                            {"name", FieldType::Text, &R::groupName}};
    return f;
  }
};
using CDBUserGroup = RecordSet<UserGroupRecord>;

}  // namespace kestrel::store
