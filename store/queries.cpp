#include "store/queries.h"

#include "store/db/statement.h"
#include "store/tree.h"

namespace kestrel::store {

std::optional<FileRecord> fileById(Database& db, std::int64_t id) {
  return selectRow<FileRecord>(db, "id=?", id);
}

std::optional<PathFindRecord> childByName(Database& db, std::int64_t parent, std::string_view name) {
  return selectRow<PathFindRecord>(db, "parent=? and name=?", parent, name);
}

std::optional<FileRecord> childFile(Database& db, std::int64_t parent, std::string_view name) {
  return selectRow<FileRecord>(db, "parent=? and name=?", parent, name);
}

std::optional<FileRecord> childDirectory(Database& db, std::int64_t parent, std::string_view name) {
  return selectRow<FileRecord>(db, "parent=? and name=? and directory=YES", parent, name);
}

namespace {

// A files row f with its Parent row's id and Path, for the condition given.
std::string placedFileQuery(std::string_view where) {
  std::string columns;
  for (const auto& f : FileRecord::fields()) columns += "f." + quoteName(f.column) + ",";
  return "SELECT " + columns + "p.id,p.path FROM files f LEFT JOIN files p ON p.id=f.parent WHERE " +
         std::string(where);
}

std::optional<PlacedFile> readPlacedFile(Statement& s) {
  if (!s.next()) return std::nullopt;
  PlacedFile placed;
  readRow(s, placed.row);
  const int after = static_cast<int>(FileRecord::fields().size());
  placed.folderFound = s.integer(after + 1) != 0;
  placed.folderPath = s.text(after + 2);
  return placed;
}

}  // namespace

std::optional<PlacedFile> placedFileById(Database& db, std::int64_t id) {
  static const std::string sql = placedFileQuery("f.id=?");
  Statement s(db, sql);
  s.bind(1, id).execute();
  return readPlacedFile(s);
}

std::optional<PlacedFile> placedFileByName(Database& db, std::int64_t parent, std::string_view name) {
  static const std::string sql = placedFileQuery("f.parent=? and f.name=?");
  Statement s(db, sql);
  s.bind(1, parent).bind(2, name).execute();
  return readPlacedFile(s);
}

std::int64_t parentOf(Database& db, std::int64_t id) {
  Statement s(db, "SELECT parent FROM files WHERE id=?");
  s.bind(1, id).execute();
  return s.next() ? s.integer(1) : 0;
}

std::optional<DirectoryRecord> directoryEntry(Database& db, std::int64_t id) {
  return selectRow<DirectoryRecord>(db, "id=?", id);
}

std::vector<DirectoryRecord> directoryEntries(Database& db, std::int64_t parent) {
  return selectRows<DirectoryRecord>(db, "parent=?", {}, parent);
}

std::int64_t addFile(Database& db, const FileRecord& row) {
  insertRow(db, row);
  auto rows = selectRows<PathFindRecord>(db, "parent=? and name=?", "id desc", row.parent, row.name);
  if (rows.empty()) throw DbError("the new entry could not be read back");
  return rows.front().id;
}

void setFileContent(Database& db, std::int64_t id, std::int64_t size, long long modified, long long lastRead) {
  Statement s(db, "UPDATE files SET size=?, modified=?, \"last read\"=? WHERE id=?");
  s.bind(1, size).bindTime(2, modified).bindTime(3, lastRead).bind(4, id).execute();
}

bool hasEntriesBelow(Database& db, std::int64_t id) {
  Statement s(db, "SELECT id FROM files WHERE parent=?");
  s.bind(1, id).execute();
  return s.next();
}

bool siblingNamed(Database& db, std::int64_t parent, std::string_view name, std::int64_t except) {
  Statement s(db, "SELECT id FROM files WHERE parent=? and name=? and id<>?");
  s.bind(1, parent).bind(2, name).bind(3, except).execute();
  return s.next();
}

void setEntryPermissions(Database& db, const FileRecord& row) {
  Statement s(db,
              "UPDATE files SET \"user read\"=?, \"user write\"=?, \"user execute\"=?, \"group read\"=?, "
              "\"group write\"=?, \"group execute\"=?, \"other read\"=?, \"other write\"=?, "
              "\"other execute\"=? WHERE id=?");
  int index = 0;
  for (bool FileRecord::* bit : kPermissionBits) s.bind(++index, std::int64_t{row.*bit ? 1 : 0});
  s.bind(++index, row.id).execute();
}

void setEntryOwner(Database& db, std::int64_t id, std::int64_t userId) {
  Statement s(db, "UPDATE files SET userid=? WHERE id=?");
  s.bind(1, userId).bind(2, id).execute();
}

void setEntryGroup(Database& db, std::int64_t id, std::int64_t groupId) {
  Statement s(db, "UPDATE files SET groupid=? WHERE id=?");
  s.bind(1, groupId).bind(2, id).execute();
}

void renameEntry(Database& db, std::int64_t id, std::string_view name) {
  Statement s(db, "UPDATE files SET name=? WHERE id=?");
  s.bind(1, name).bind(2, id).execute();
}

void renameDirectory(Database& db, std::int64_t id, std::string_view name, std::string_view fromPath,
                     std::string_view toPath) {
  const std::string oldPrefix = std::string(fromPath) + "/";
  const std::string newPrefix = std::string(toPath) + "/";
  // The prefix is cast so that every engine knows which length() is meant.
  Statement s(db,
              "UPDATE files SET name=CASE WHEN id=? THEN ? ELSE name END, "
              "path=CASE WHEN id=? THEN ? ELSE ? || substr(path, length(CAST(? AS TEXT))+1) END "
              "WHERE id=? OR substr(path, 1, length(CAST(? AS TEXT)))=?");
  s.bind(1, id).bind(2, name).bind(3, id).bind(4, toPath).bind(5, newPrefix).bind(6, oldPrefix);
  s.bind(7, id).bind(8, oldPrefix).bind(9, oldPrefix).execute();
}

std::optional<UserRecord> userByLogin(Database& db, std::string_view login, std::int64_t domain) {
  return selectRow<UserRecord>(db, "login=? and domain=?", login, domain);
}

void setLastOn(Database& db, std::int64_t userId, long long when) {
  Statement s(db, "UPDATE users SET \"last on\"=? WHERE id=?");
  s.bindTime(1, when).bind(2, userId).execute();
}

std::optional<UserRecord> firstUserByLogin(Database& db, std::string_view login) {
  return selectFirst<UserRecord>(db, "login=?", "id", login);
}

std::optional<GroupRecord> firstGroupByName(Database& db, std::string_view name) {
  return selectFirst<GroupRecord>(db, "name=?", "id", name);
}

void setUserLocked(Database& db, std::int64_t userId, bool locked) {
  Statement s(db, "UPDATE users SET locked=? WHERE id=?");
  s.bind(1, std::int64_t{locked ? 1 : 0}).bind(2, userId).execute();
}

std::optional<UserRecord> anonymousAccount(Database& db, std::int64_t domain) {
  return selectFirst<UserRecord>(db, "login='anonymous' and domain=?", "id", domain);
}

void setAnonymousLocked(Database& db, std::int64_t domain, bool locked) {
  Statement s(db, "UPDATE users SET locked=? WHERE login='anonymous' and domain=?");
  s.bind(1, std::int64_t{locked ? 1 : 0}).bind(2, domain).execute();
}

std::vector<SiteListRecord> siteRightsOfGroup(Database& db, std::int64_t groupId) {
  return selectRows<SiteListRecord>(db, "\"group id\"=?", {}, groupId);
}

double spaceUsedBy(Database& db, std::int64_t userId) {
  auto row = selectRow<FileUsageRecord>(db, "userid=?", userId);
  return row ? row->sumOfSize : 0;
}

std::optional<HomeRecord> domainByAddress(Database& db, std::string_view address) {
  return selectRow<HomeRecord>(db, "ip=?", address);
}

std::optional<HomeRecord> domainByName(Database& db, std::string_view name) {
  return selectRow<HomeRecord>(db, "name=?", name);
}

}  // namespace kestrel::store
