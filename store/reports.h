// The console's four text reports (users, files, directory tree, activity
// log), each limited to the node selected in the tree or covering the whole
// system, and the text-file helpers they share with the index files.
#pragma once
#include <cstdint>
#include <ctime>
#include <string>

#include "store/records.h"

namespace kestrel::store {

// Stored query "user report": users with their group's name and the count and
// byte total of their files.
struct UserReportRecord {
  static constexpr const char* kSource = "user report";
  static constexpr const char* kKey = "id";
  I id = 0, domain = 0;
  std::string login;
  I lastOn = 0, group = 0, uploads = 0, downloads = 0;
  bool locked = false;
  I maxUsers = 0;
  std::string address1, address2, city, state, postal, country;
  double sumOfSize = 0;
  I countOfSize = 0;
  std::string name, groupName;
  static const std::vector<Field<UserReportRecord>>& fields() {
    using R = UserReportRecord;
    static const std::vector<Field<R>> f = {
        {"id", FT::Long, &R::id},               {"domain", FT::Long, &R::domain},
        {"login", FT::Text, &R::login},         {"last on", FT::DateTime, &R::lastOn},
        {"group", FT::Long, &R::group},         {"uploads", FT::Long, &R::uploads},
        {"downloads", FT::Long, &R::downloads}, {"locked", FT::Boolean, &R::locked},
        {"max users", FT::Int, &R::maxUsers},   {"address 1", FT::Text, &R::address1},
        {"address 2", FT::Text, &R::address2},  {"city", FT::Text, &R::city},
        {"state", FT::Text, &R::state},         {"postal", FT::Text, &R::postal},
        {"country", FT::Text, &R::country},     {"sumofsize", FT::Double, &R::sumOfSize},
        {"countofsize", FT::Long, &R::countOfSize}, {"name", FT::Text, &R::name},
        {"groups.name", FT::Text, &R::groupName}};
    return f;
  }
  static const std::map<std::string, std::string>& aliases() {
    static const std::map<std::string, std::string> a = {{"groups.name", "\"groups.name\""}};
    return a;
  }
};
using CDBUserReport = RecordSet<UserReportRecord>;

// Stored query "log report": log rows with the file's name, the action's
// name, the acting user's domain and login.
struct ReportLogRecord {
  static constexpr const char* kSource = "log report";
  static constexpr const char* kKey = "id";
  I id = 0, userId = 0;
  std::string ip;
  I timeStamp = 0, actionId = 0, fileId = 0, otherUserId = 0;
  std::string more, fileName, actionName;
  I domain = 0;
  std::string login;
  static const std::vector<Field<ReportLogRecord>>& fields() {
    using R = ReportLogRecord;
    static const std::vector<Field<R>> f = {
        {"id", FT::Long, &R::id},               {"userid", FT::Long, &R::userId},
        {"ip", FT::Text, &R::ip},               {"timestamp", FT::DateTime, &R::timeStamp},
        {"actionid", FT::Long, &R::actionId},   {"fileid", FT::Long, &R::fileId},
        {"otheruserid", FT::Long, &R::otherUserId}, {"more", FT::Text, &R::more},
        {"files.name", FT::Text, &R::fileName}, {"action list.name", FT::Text, &R::actionName},
        {"domain", FT::Long, &R::domain},       {"users_1.login", FT::Text, &R::login}};
    return f;
  }
  static const std::map<std::string, std::string>& aliases() {
    static const std::map<std::string, std::string> a = {{"files.name", "\"files.name\""},
                                                         {"action list.name", "\"action list.name\""},
                                                         {"users_1.login", "\"users_1.login\""}};
    return a;
  }
};
using CDBReportLog = RecordSet<ReportLogRecord>;

enum class ScopeKind { System, Domain, Group, User, Directory };

struct ReportScope {
  ScopeKind kind = ScopeKind::System;
  std::int64_t id = 0;
};

enum class ReportKind { User, File, Tree, Log };

// Whether the report can be limited to a node of this kind.
bool reportAccepts(ReportKind report, ScopeKind kind);

// Each returns the whole text, CR LF line ends; `now` gives the banner's date
// and, for the File Report, the current year. Throw DbError.
std::string userReport(Database& db, const ReportScope& scope, std::time_t now);
std::string fileReport(Database& db, const ReportScope& scope, bool summariesOnly, std::time_t now);
std::string treeReport(Database& db, const ReportScope& scope, std::time_t now);
std::string logReport(Database& db, const ReportScope& scope, std::time_t now);

// Local time through strftime; 0 (an unknown time) gives "".
std::string formatLocalTime(std::int64_t when, const char* format);

// Creates the file anew (replacing an old one) and writes the text; false
// when it could not be created or not every byte was written.
bool writeTextFile(const std::string& path, const std::string& text);

}  // namespace kestrel::store
