// The virtual tree: who may read, write or enter an entry, and the lookups
// over the shared finders.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/mutex.h"
#include "store/records.h"

namespace kestrel::store {

// What the permission test needs to know about a session.
struct Principal {
  bool anonymous = false;
  std::int64_t userId = 0;
  std::int64_t groupId = 0;
};

enum class Access { Read, Write, Execute };

// Anonymous sessions get the Other bit only; others get the User bit as
// owner, the Group bit as member, and the Other bit. No name is special.
template <class Row>
bool permits(const Principal& who, const Row& row, Access access) {
  auto pick = [access](bool r, bool w, bool x) {
    return access == Access::Read ? r : access == Access::Write ? w : x;
  };
  bool other = pick(row.otherRead, row.otherWrite, row.otherExecute);
  if (who.anonymous) return other;
  bool allowed = who.userId == row.userId && pick(row.userRead, row.userWrite, row.userExecute);
  if (who.groupId == row.groupId) allowed = allowed || pick(row.groupRead, row.groupWrite, row.groupExecute);
  return allowed || other;
}

// Three octal digits (owner, group, other; 4 read, 2 write, 1 execute).
template <class Row>
void setPermissionsFromOctal(Row& row, const char digits[3]) {
  auto bits = [](char d, bool& r, bool& w, bool& x) {
    int v = d - '0';
    r = v & 4;
    w = v & 2;
    x = v & 1;
  };
  bits(digits[0], row.userRead, row.userWrite, row.userExecute);
  bits(digits[1], row.groupRead, row.groupWrite, row.groupExecute);
  bits(digits[2], row.otherRead, row.otherWrite, row.otherExecute);
}

// The long-lived record sets every thread shares, each behind its lock.
class SharedRecordSets {
 public:
  // Opens them on db; throws DbError.
  explicit SharedRecordSets(Database& db);

  platform::Mutex pathFinderMutex;
  CDBPathFind pathFinder GUARDED_BY(pathFinderMutex);
  CDBGroup group;  // console thread only
  CDBUser user;    // console thread only
  platform::Mutex logMutex;
  CDBLog log GUARDED_BY(logMutex);
};

// The record sets db lends, or a DbError when it lends none.
SharedRecordSets& recordSetsOf(Database& db);

// "/name/name" of an entry; a root gives "/" and its own name.
std::string buildVirtualPath(Database& db, std::int64_t id);
bool nameExistsUnder(Database& db, std::int64_t parent, const std::string& name);

// ---------------------------------------------------------------------------
// The console's editing of the tree.

// The nine permission bits of a Files row in owner, group, other order, each
// read, write, execute.
inline constexpr bool FileRecord::* kPermissionBits[9] = {
    &FileRecord::userRead,  &FileRecord::userWrite,  &FileRecord::userExecute,
    &FileRecord::groupRead, &FileRecord::groupWrite, &FileRecord::groupExecute,
    &FileRecord::otherRead, &FileRecord::otherWrite, &FileRecord::otherExecute};

// Directory List with the link column, for subtree walks.
struct DirectoryListRow {
  static constexpr const char* kSource = "directory list";
  static constexpr const char* kKey = "id";
  I id = 0;
  std::string name;
  I parent = 0, link = 0;
  static const std::vector<Field<DirectoryListRow>>& fields() {
    using R = DirectoryListRow;
    static const std::vector<Field<R>> f = {{"id", FT::Long, &R::id},
                                            {"name", FT::Text, &R::name},
                                            {"parent", FT::Long, &R::parent},
                                            {"link", FT::Long, &R::link}};
    return f;
  }
};
using CDBDirectoryList = RecordSet<DirectoryListRow>;

struct DirsToDeleteRecord {
  static constexpr const char* kSource = "dirstodelete";
  static constexpr const char* kKey = "id";
  I id = 0;
  std::string path;
  static const std::vector<Field<DirsToDeleteRecord>>& fields() {
    using R = DirsToDeleteRecord;
    static const std::vector<Field<R>> f = {{"id", FT::Long, &R::id}, {"path", FT::Text, &R::path}};
    return f;
  }
};
using CDBDirsToKill = RecordSet<DirsToDeleteRecord>;

// A link from outside a set being deleted into it: the target's name and
// Path, the link owner's login, and the link row's id.
struct DirUsageRecord {
  static constexpr const char* kSource = "dirusage";
  static constexpr const char* kKey = "id";
  std::string name, path, login;
  I id = 0;
  static const std::vector<Field<DirUsageRecord>>& fields() {
    using R = DirUsageRecord;
    static const std::vector<Field<R>> f = {{"name", FT::Text, &R::name},
                                            {"path", FT::Text, &R::path},
                                            {"login", FT::Text, &R::login},
                                            {"id", FT::Long, &R::id}};
    return f;
  }
};
using CDBDirUse = RecordSet<DirUsageRecord>;

// Reads the Files row `id` into `rows`; false when there is none.
bool readEntry(CDBFile& rows, std::int64_t id);
std::optional<FileRecord> findEntry(Database& db, std::int64_t id);

// A name the tree and the disk can both hold: not blank, none of \ : * ? " < > |,
// no "/", and not "." or "..".
bool isValidEntryName(std::string_view name);

// An absolute physical path in its plain form ("/a/b", no "." or ".."
// components, no doubled or trailing "/"); nullopt for a relative path or one
// holding NUL.
std::optional<std::string> normalisePhysicalPath(std::string_view path);

// The row a user's tree starts from: the user's Root Directory when it names a
// row, else the first "parent=0 and userid=%d" row; 0 when there is none.
std::int64_t userRootDirectory(Database& db, std::int64_t userId);

// Whether `id` is `ancestor` or lies below it (by Parent).
bool isWithin(Database& db, std::int64_t id, std::int64_t ancestor);

// Where a link's target lies: the login of the owner of the target's root and
// the target's path from that root ("/" for the root itself). Empty login and
// path when the target is gone.
struct EntryLocation {
  std::string login;
  std::string path;
};
EntryLocation locateEntry(Database& db, std::int64_t id);

// Whether a row other than `except` has this Path.
bool pathInUse(Database& db, const std::string& path, std::int64_t except = 0);

// Creates every missing directory along an absolute path, the last included.
// On success `created` lists what was made, outermost first; on failure what
// was made is removed again.
bool createDirectoryPath(const std::string& path, std::vector<std::string>& created);
void removeCreatedDirectories(const std::vector<std::string>& created);

// A new entry under `parent`: a copy of the parent row with Name, Path,
// Parent and Link set and the texts cleared. Path: the given one, else the
// parent's Path and the Name (empty when the parent has no Path); a link's
// Path is always empty.
FileRecord draftEntry(const FileRecord& parent, const std::string& name, const std::string& path,
                      std::int64_t link);
// Inserts the row and returns its new id.
std::int64_t addEntry(Database& db, const FileRecord& row);

// The directory rows (links included) directly below parent, by id.
std::vector<PathFindRecord> childDirectories(Database& db, std::int64_t parent);
// Every directory row, not a link, directly inside a root directory that is
// not a link, by id: what the automatic synchronisation walks.
std::vector<FileRecord> directoriesInsideRoots(Database& db);
// Whether an entry (file, directory or link) of that name lies directly below parent.
bool entryNamedUnder(Database& db, std::int64_t parent, const std::string& name);
// Removes one row that has nothing below it: a link or a file.
void removeEntryRow(Database& db, std::int64_t id);

// Moves an entry below another directory ("update files set parent=%d where id=%d").
void moveEntry(Database& db, std::int64_t id, std::int64_t newParent);

// DeleteDirectoryTree without its dialogs: the operator's answers come in.
// deleteLinks: nullopt when the links question has not been answered yet.
enum class TreeDeletionOutcome { Deleted, NotFound, RootRefused, LinksInUse, LinksKept };
struct TreeDeletion {
  TreeDeletionOutcome outcome = TreeDeletionOutcome::NotFound;
  std::vector<DirUsageRecord> inUse;  // LinksInUse: the links that point into the set
  std::vector<std::int64_t> removed;  // Deleted: ids of the directory and link rows removed
};
TreeDeletion deleteDirectoryTree(Database& db, std::int64_t id, bool deletePhysicalFiles,
                                 std::optional<bool> deleteLinks);

}  // namespace kestrel::store
