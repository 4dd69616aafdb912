// The row types of every table and stored query, and their record sets.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "store/db/recordset.h"

namespace kestrel::store {

using I = std::int64_t;
using FT = FieldType;

// Table files: the virtual tree.
struct FileRecord {
  static constexpr const char* kSource = "files";
  static constexpr const char* kKey = "id";
  I created = 0;
  std::string description;
  bool directory = false;
  I downloads = 0;
  bool groupExecute = false, groupRead = false, groupWrite = false;
  I id = 0;
  I lastRead = 0, modified = 0;
  std::string name;
  bool otherExecute = false, otherRead = false, otherWrite = false;
  I parent = 0;
  std::string path;
  I size = 0;
  std::string title;
  bool userExecute = false, userRead = false, userWrite = false;
  I userId = 0, groupId = 0, domain = 0, link = 0;

  static const std::vector<Field<FileRecord>>& fields() {
    using R = FileRecord;
    static const std::vector<Field<R>> f = {
        {"created", FT::DateTime, &R::created},     {"description", FT::Text, &R::description},
        {"directory", FT::Boolean, &R::directory},  {"downloads", FT::Long, &R::downloads},
        {"group execute", FT::Boolean, &R::groupExecute}, {"group read", FT::Boolean, &R::groupRead},
        {"group write", FT::Boolean, &R::groupWrite}, {"id", FT::Long, &R::id},
        {"last read", FT::DateTime, &R::lastRead},  {"modified", FT::DateTime, &R::modified},
        {"name", FT::Text, &R::name},               {"other execute", FT::Boolean, &R::otherExecute},
        {"other read", FT::Boolean, &R::otherRead}, {"other write", FT::Boolean, &R::otherWrite},
        {"parent", FT::Long, &R::parent},           {"path", FT::Text, &R::path},
        {"size", FT::Long, &R::size},               {"title", FT::Text, &R::title},
        {"user execute", FT::Boolean, &R::userExecute}, {"user read", FT::Boolean, &R::userRead},
        {"user write", FT::Boolean, &R::userWrite}, {"userid", FT::Long, &R::userId},
        {"groupid", FT::Long, &R::groupId},         {"domain", FT::Long, &R::domain},
        {"link", FT::Long, &R::link}};
    return f;
  }
};
using CDBFile = RecordSet<FileRecord>;

// Names and links only: the shared finders that walk the tree.
struct PathFindRecord {
  static constexpr const char* kSource = "files";
  static constexpr const char* kKey = "id";
  std::string name;
  I parent = 0, id = 0, link = 0;
  static const std::vector<Field<PathFindRecord>>& fields() {
    using R = PathFindRecord;
    static const std::vector<Field<R>> f = {{"name", FT::Text, &R::name},
                                            {"parent", FT::Long, &R::parent},
                                            {"id", FT::Long, &R::id},
                                            {"link", FT::Long, &R::link}};
    return f;
  }
};
using CDBPathFind = RecordSet<PathFindRecord>;

struct UserRecord {
  static constexpr const char* kSource = "users";
  static constexpr const char* kKey = "id";
  std::string password;
  I lastOn = 0, group = 0, id = 0, downloads = 0, spaceLimit = 0, uploads = 0;
  std::string login, address1, address2, city, country, name, postal, state;
  I domain = 0;
  std::string message, notes;
  bool locked = false;
  I maxUsers = 0, rootDirectory = 0;
  std::string startDirectory;
  I ratio = 0;
  bool sessionLimit = false;
  std::string email, phoneFax, phoneHome, phoneWork;
  bool deleteOwnFiles = false, overwriteOwnFiles = false, renameOwnFiles = false;

  static const std::vector<Field<UserRecord>>& fields() {
    using R = UserRecord;
    static const std::vector<Field<R>> f = {
        {"password", FT::Text, &R::password},   {"last on", FT::DateTime, &R::lastOn},
        {"group", FT::Long, &R::group},         {"id", FT::Long, &R::id},
        {"downloads", FT::Long, &R::downloads}, {"space limit", FT::Long, &R::spaceLimit},
        {"uploads", FT::Long, &R::uploads},     {"login", FT::Text, &R::login},
        {"address 1", FT::Text, &R::address1},  {"address 2", FT::Text, &R::address2},
        {"city", FT::Text, &R::city},           {"country", FT::Text, &R::country},
        {"name", FT::Text, &R::name},           {"postal", FT::Text, &R::postal},
        {"state", FT::Text, &R::state},         {"domain", FT::Long, &R::domain},
        {"message", FT::Text, &R::message},     {"notes", FT::Text, &R::notes},
        {"locked", FT::Boolean, &R::locked},    {"max users", FT::Int, &R::maxUsers},
        {"root directory", FT::Long, &R::rootDirectory},
        {"start directory", FT::Text, &R::startDirectory},
        {"ratio", FT::Byte, &R::ratio},         {"sessionlimit", FT::Boolean, &R::sessionLimit},
        {"email", FT::Text, &R::email},         {"phonefax", FT::Text, &R::phoneFax},
        {"phonehome", FT::Text, &R::phoneHome}, {"phonework", FT::Text, &R::phoneWork},
        {"deleteownfiles", FT::Boolean, &R::deleteOwnFiles},
        {"overwriteownfiles", FT::Boolean, &R::overwriteOwnFiles},
        {"renameownfiles", FT::Boolean, &R::renameOwnFiles}};
    return f;
  }
};
using CDBUser = RecordSet<UserRecord>;

struct GroupRecord {
  static constexpr const char* kSource = "groups";
  static constexpr const char* kKey = "id";
  I id = 0;
  std::string name;
  I domain = 0;
  std::string comment;
  static const std::vector<Field<GroupRecord>>& fields() {
    using R = GroupRecord;
    static const std::vector<Field<R>> f = {{"id", FT::Long, &R::id},
                                            {"name", FT::Text, &R::name},
                                            {"domain", FT::Long, &R::domain},
                                            {"comment", FT::Text, &R::comment}};
    return f;
  }
};
using CDBGroup = RecordSet<GroupRecord>;

struct HomeRecord {
  static constexpr const char* kSource = "home";
  static constexpr const char* kKey = "id";
  I id = 0;
  std::string ip, motd, name, textFooter, textHeader;
  static const std::vector<Field<HomeRecord>>& fields() {
    using R = HomeRecord;
    static const std::vector<Field<R>> f = {
        {"id", FT::Long, &R::id},     {"ip", FT::Text, &R::ip},
        {"motd", FT::Text, &R::motd}, {"name", FT::Text, &R::name},
        {"text footer", FT::Text, &R::textFooter}, {"text header", FT::Text, &R::textHeader}};
    return f;
  }
};
using CDBHome = RecordSet<HomeRecord>;

// Rows without a key of their own are only read, added and deleted by filter.
struct BlockRecord {
  static constexpr const char* kSource = "block";
  static constexpr const char* kKey = nullptr;
  I id = 0;
  I domain = 0, sequence = 0;
  bool allow = false;
  I ip1Lo = 0, ip1Hi = 0, ip2Lo = 0, ip2Hi = 0, ip3Lo = 0, ip3Hi = 0, ip4Lo = 0, ip4Hi = 0;
  static const std::vector<Field<BlockRecord>>& fields() {
    using R = BlockRecord;
    static const std::vector<Field<R>> f = {
        {"domain", FT::Long, &R::domain}, {"sequence", FT::Long, &R::sequence},
        {"allow", FT::Boolean, &R::allow}, {"ip1 lo", FT::Int, &R::ip1Lo}, {"ip1 hi", FT::Int, &R::ip1Hi},
        {"ip2 lo", FT::Int, &R::ip2Lo},   {"ip2 hi", FT::Int, &R::ip2Hi}, {"ip3 lo", FT::Int, &R::ip3Lo},
        {"ip3 hi", FT::Int, &R::ip3Hi},   {"ip4 lo", FT::Int, &R::ip4Lo}, {"ip4 hi", FT::Int, &R::ip4Hi}};
    return f;
  }
};
using CDBBlock = RecordSet<BlockRecord>;

struct LogRecord {
  static constexpr const char* kSource = "log";
  static constexpr const char* kKey = "id";
  I id = 0, userId = 0;
  std::string ip;
  I fileId = 0, actionId = 0, timeStamp = 0;
  std::string more;
  I otherUserId = 0;
  static const std::vector<Field<LogRecord>>& fields() {
    using R = LogRecord;
    static const std::vector<Field<R>> f = {
        {"id", FT::Long, &R::id},         {"userid", FT::Long, &R::userId},
        {"ip", FT::Text, &R::ip},         {"fileid", FT::Long, &R::fileId},
        {"actionid", FT::Long, &R::actionId}, {"timestamp", FT::DateTime, &R::timeStamp},
        {"more", FT::Text, &R::more},     {"otheruserid", FT::Long, &R::otherUserId}};
    return f;
  }
};
using CDBLog = RecordSet<LogRecord>;

struct SiteRecord {
  static constexpr const char* kSource = "site commands";
  static constexpr const char* kKey = "id";
  I id = 0;
  std::string name, help;
  static const std::vector<Field<SiteRecord>>& fields() {
    using R = SiteRecord;
    static const std::vector<Field<R>> f = {
        {"id", FT::Long, &R::id}, {"name", FT::Text, &R::name}, {"help", FT::Text, &R::help}};
    return f;
  }
};
using CDBSite = RecordSet<SiteRecord>;

struct SiteListRecord {
  static constexpr const char* kSource = "site list";
  static constexpr const char* kKey = nullptr;
  I id = 0;
  I groupId = 0, siteId = 0, domainId = 0;
  static const std::vector<Field<SiteListRecord>>& fields() {
    using R = SiteListRecord;
    static const std::vector<Field<R>> f = {{"group id", FT::Long, &R::groupId},
                                            {"site id", FT::Long, &R::siteId},
                                            {"domain id", FT::Long, &R::domainId}};
    return f;
  }
};
using CDBSiteList = RecordSet<SiteListRecord>;

struct TempDirUsageRecord {
  static constexpr const char* kSource = "tempdirusage";
  static constexpr const char* kKey = nullptr;
  I id = 0;
  static const std::vector<Field<TempDirUsageRecord>>& fields() {
    using R = TempDirUsageRecord;
    static const std::vector<Field<R>> f = {{"id", FT::Long, &R::id}};
    return f;
  }
};
using CTempDirUsage = RecordSet<TempDirUsageRecord>;

// Stored query directory: files with the owner's login and the group's name.
struct DirectoryRecord {
  static constexpr const char* kSource = "directory";
  static constexpr const char* kKey = "id";
  bool directory = false;
  std::string name;
  bool groupExecute = false, groupRead = false, groupWrite = false;
  I id = 0;
  std::string login;
  I modified = 0;
  bool otherExecute = false, otherRead = false, otherWrite = false;
  I parent = 0, size = 0;
  bool userExecute = false, userRead = false, userWrite = false;
  std::string groupName;
  I groupId = 0, userId = 0, link = 0, domain = 0;
  std::string path;
  I downloads = 0;
  static const std::vector<Field<DirectoryRecord>>& fields() {
    using R = DirectoryRecord;
    static const std::vector<Field<R>> f = {
        {"directory", FT::Boolean, &R::directory}, {"files.name", FT::Text, &R::name},
        {"group execute", FT::Boolean, &R::groupExecute}, {"group read", FT::Boolean, &R::groupRead},
        {"group write", FT::Boolean, &R::groupWrite}, {"id", FT::Long, &R::id},
        {"login", FT::Text, &R::login},           {"modified", FT::DateTime, &R::modified},
        {"other execute", FT::Boolean, &R::otherExecute}, {"other read", FT::Boolean, &R::otherRead},
        {"other write", FT::Boolean, &R::otherWrite}, {"parent", FT::Long, &R::parent},
        {"size", FT::Long, &R::size},             {"user execute", FT::Boolean, &R::userExecute},
        {"user read", FT::Boolean, &R::userRead}, {"user write", FT::Boolean, &R::userWrite},
        {"groups.name", FT::Text, &R::groupName}, {"groupid", FT::Long, &R::groupId},
        {"userid", FT::Long, &R::userId},         {"link", FT::Long, &R::link},
        {"domain", FT::Long, &R::domain},         {"path", FT::Text, &R::path},
        {"downloads", FT::Long, &R::downloads}};
    return f;
  }
  static const std::map<std::string, std::string>& aliases() {
    static const std::map<std::string, std::string> a = {{"files.name", "\"files.name\""},
                                                         {"groups.name", "\"groups.name\""}};
    return a;
  }
};
using CDBDirectory = RecordSet<DirectoryRecord>;

struct DirListRecord {
  static constexpr const char* kSource = "directory list";
  static constexpr const char* kKey = "id";
  I id = 0;
  std::string name;
  I parent = 0;
  static const std::vector<Field<DirListRecord>>& fields() {
    using R = DirListRecord;
    static const std::vector<Field<R>> f = {
        {"id", FT::Long, &R::id}, {"name", FT::Text, &R::name}, {"parent", FT::Long, &R::parent}};
    return f;
  }
};
using CDBDirList = RecordSet<DirListRecord>;

struct FileUsageRecord {
  static constexpr const char* kSource = "fileusage";
  static constexpr const char* kKey = nullptr;
  I id = 0;
  I userId = 0;
  double sumOfSize = 0;
  static const std::vector<Field<FileUsageRecord>>& fields() {
    using R = FileUsageRecord;
    static const std::vector<Field<R>> f = {{"userid", FT::Long, &R::userId},
                                            {"sumofsize", FT::Double, &R::sumOfSize}};
    return f;
  }
};
using CDBFileUsage = RecordSet<FileUsageRecord>;

}  // namespace kestrel::store
