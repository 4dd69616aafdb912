#include "store/tree.h"

#include <memory>
#include <set>

#include "platform/files.h"
#include "store/queries.h"
#include "store/db/statement.h"

namespace kestrel::store {

SharedRecordSets::SharedRecordSets(Database& db)
    : pathFinder(db), group(db), user(db), log(db) {
  // Open with a filter that matches nothing: every use sets its own filter.
  pathFinder.setFilter("id=0");
  pathFinder.open();
  group.setFilter("id=0");
  group.open();
  user.setFilter("id=0");
  user.open();
  log.setFilter("id=0");
  log.open();
}

SharedRecordSets& recordSetsOf(Database& db) {
  SharedRecordSets* sets = db.recordSets();
  if (!sets) throw DbError("no shared record sets on this connection");
  return *sets;
}

std::string buildVirtualPath(Database& db, std::int64_t id) {
  SharedRecordSets& s = recordSetsOf(db);
  platform::MutexLock lock(s.pathFinderMutex);
  std::string result;
  s.pathFinder.setFilter("id=" + std::to_string(id));
  s.pathFinder.requery();
  for (int guard = 0; guard < 1000 && !s.pathFinder.isEmpty(); ++guard) {
    result = "/" + s.pathFinder.row().name + result;
    std::int64_t parent = s.pathFinder.row().parent;
    if (parent == 0) break;
    s.pathFinder.setFilter("id=" + std::to_string(parent));
    s.pathFinder.requery();
    // The root's own name is never part of the path.
    if (s.pathFinder.isEmpty() || s.pathFinder.row().parent == 0) break;
  }
  return result;
}

bool nameExistsUnder(Database& db, std::int64_t parent, const std::string& name) {
  return childByName(db, parent, name).has_value();
}

}  // namespace kestrel::store

// ---------------------------------------------------------------------------
// The console's editing of the tree.

namespace kestrel::store {

namespace {

// More levels than any real tree has; stops a walk on rows whose Parent
// values form a loop.
constexpr int kMaxWalk = 10000;

constexpr std::string_view kRefusedNameCharacters = "\\:*?\"<>|";

std::string idText(std::int64_t id) { return std::to_string(id); }

}  // namespace

bool readEntry(CDBFile& rows, std::int64_t id) {
  rows.setFilter("id=" + idText(id));
  rows.open();
  return !rows.isEmpty();
}

std::optional<FileRecord> findEntry(Database& db, std::int64_t id) {
  CDBFile rows(db);
  if (!readEntry(rows, id)) return std::nullopt;
  return rows.row();
}

bool isValidEntryName(std::string_view name) {
  return name.find_first_of(kRefusedNameCharacters) == std::string_view::npos &&
         platform::childPath("/", name).has_value();
}

std::optional<std::string> normalisePhysicalPath(std::string_view path) {
  if (path.empty() || path[0] != '/' || path.find('\0') != std::string_view::npos) return std::nullopt;
  std::vector<std::string_view> parts;
  std::size_t at = 0;
  while (at < path.size()) {
    std::size_t end = path.find('/', at);
    if (end == std::string_view::npos) end = path.size();
    std::string_view part = path.substr(at, end - at);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    at = end + 1;
  }
  std::string out;
  for (std::string_view part : parts) {
    out += '/';
    out += part;
  }
  return out.empty() ? "/" : out;
}

std::int64_t userRootDirectory(Database& db, std::int64_t userId) {
  CDBUser user(db);
  user.setFilter("id=" + idText(userId));
  user.open();
  if (user.isEmpty()) return 0;
  std::int64_t root = user.row().rootDirectory;
  CDBPathFind rows(db);
  if (root != 0) {
    rows.setFilter("id=" + idText(root));
    rows.open();
    if (!rows.isEmpty()) return root;
  }
  rows.setFilter("parent=0 and userid=" + idText(userId));
  rows.setSort("id");
  rows.open();
  return rows.isEmpty() ? 0 : rows.row().id;
}

bool isWithin(Database& db, std::int64_t id, std::int64_t ancestor) {
  CDBPathFind rows(db);
  for (int step = 0; step < kMaxWalk && id != 0; ++step) {
    if (id == ancestor) return true;
    rows.setFilter("id=" + idText(id));
    rows.requery();
    if (rows.isEmpty()) return false;
    id = rows.row().parent;
  }
  // A Parent loop: treat it as inside, so that nothing is moved into it.
  return id != 0;
}

EntryLocation locateEntry(Database& db, std::int64_t id) {
  EntryLocation location;
  CDBFile rows(db);
  std::vector<std::string> names;
  for (int step = 0; step < kMaxWalk; ++step) {
    if (!readEntry(rows, id)) return {};
    const FileRecord& row = rows.row();
    if (row.parent == 0) {
      CDBUser owner(db);
      owner.setFilter("id=" + idText(row.userId));
      owner.open();
      if (!owner.isEmpty()) location.login = owner.row().login;
      for (auto it = names.rbegin(); it != names.rend(); ++it) location.path += "/" + *it;
      if (location.path.empty()) location.path = "/";
      return location;
    }
    names.push_back(row.name);
    id = row.parent;
  }
  return {};
}

bool pathInUse(Database& db, const std::string& path, std::int64_t except) {
  CDBPathFind rows(db);
  // Rows written elsewhere may end their Path with a "/".
  std::string filter = "(path=" + quoteText(path) + " or path=" + quoteText(path + "/") + ")";
  if (except != 0) filter += " and id<>" + idText(except);
  rows.setFilter(filter);
  rows.open();
  return !rows.isEmpty();
}

bool createDirectoryPath(const std::string& path, std::vector<std::string>& created) {
  created.clear();
  std::string prefix;
  std::size_t at = 1;
  while (at <= path.size()) {
    std::size_t end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    if (end > at) {
      prefix = path.substr(0, end);
      if (!platform::isDirectory(prefix)) {
        // Another process may have made it meanwhile; that is as good.
        if (!platform::makeDirectory(prefix).ok() && !platform::isDirectory(prefix)) {
          removeCreatedDirectories(created);
          created.clear();
          return false;
        }
        created.push_back(prefix);
      }
    }
    at = end + 1;
  }
  return platform::isDirectory(path);
}

void removeCreatedDirectories(const std::vector<std::string>& created) {
  for (auto it = created.rbegin(); it != created.rend(); ++it) platform::removeDirectory(*it);
}

FileRecord draftEntry(const FileRecord& parent, const std::string& name, const std::string& path,
                      std::int64_t link) {
  FileRecord row = parent;
  row.id = 0;
  row.name = name;
  row.parent = parent.id;
  row.link = link;
  row.description.clear();
  row.title.clear();
  if (link != 0) {
    row.path.clear();
  } else if (!path.empty()) {
    row.path = path;
  } else {
    // Without a place of its own the parent gives none to its children:
    // joining onto "" would land at the top of the file system.
    std::optional<std::string> child;
    if (!parent.path.empty()) child = platform::childPath(parent.path, name);
    row.path = child.value_or("");
  }
  return row;
}

std::int64_t addEntry(Database& db, const FileRecord& row) {
  CDBFile rows(db);
  rows.setFilter("parent=" + idText(row.parent) + " and name=" + quoteText(row.name));
  rows.setSort("id desc");
  rows.addNew();
  rows.row() = row;
  rows.update();
  rows.requery();
  if (rows.isEmpty()) throw DbError("the new entry could not be read back");
  return rows.row().id;
}

std::vector<PathFindRecord> childDirectories(Database& db, std::int64_t parent) {
  CDBPathFind rows(db);
  rows.setFilter("parent=" + idText(parent) + " and directory=YES");
  rows.setSort("id");
  rows.open();
  return rows.rows();
}

std::vector<FileRecord> directoriesInsideRoots(Database& db) {
  CDBFile rows(db);
  rows.setFilter(
      "directory=YES and link=0 and parent in (select id from files where directory=yes and parent=0 and link=0)");
  rows.setSort("id");
  rows.open();
  return rows.rows();
}

bool entryNamedUnder(Database& db, std::int64_t parent, const std::string& name) {
  CDBPathFind rows(db);
  rows.setFilter("parent=" + idText(parent) + " and name=" + quoteText(name));
  rows.open();
  return !rows.isEmpty();
}

void removeEntryRow(Database& db, std::int64_t id) {
  Statement s(db, "DELETE FROM files WHERE id=?");
  s.bind(1, id).execute();
}

void moveEntry(Database& db, std::int64_t id, std::int64_t newParent) {
  Statement s(db, "UPDATE files SET parent=? WHERE id=?");
  s.bind(1, newParent).bind(2, id).execute();
}

namespace {

// The directory and every directory row below it, each before its children,
// with the ids that are link rows.
void collectSubtree(Database& db, std::int64_t top, std::vector<std::int64_t>& ids, std::set<std::int64_t>& links) {
  CDBDirectoryList children(db);
  std::set<std::int64_t> seen;
  std::vector<std::int64_t> pending{top};
  while (!pending.empty()) {
    std::int64_t id = pending.back();
    pending.pop_back();
    if (!seen.insert(id).second) continue;
    ids.push_back(id);
    children.setFilter("parent=" + idText(id));
    children.setSort("id");
    children.requery();
    const auto& rows = children.rows();
    // Pushed in reverse so that the first child is taken next (depth first).
    for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
      if (it->link != 0) links.insert(it->id);
      pending.push_back(it->id);
    }
  }
}

void fillTempDirUsage(Database& db, const std::vector<std::int64_t>& ids) {
  constexpr std::size_t kBatch = 200;
  for (std::size_t at = 0; at < ids.size(); at += kBatch) {
    std::string sql = "INSERT INTO tempdirusage (id) VALUES ";
    for (std::size_t i = at; i < ids.size() && i < at + kBatch; ++i) {
      if (i != at) sql += ',';
      sql += "(" + idText(ids[i]) + ")";
    }
    db.execute(sql);
  }
}

}  // namespace

TreeDeletion deleteDirectoryTree(Database& db, std::int64_t id, bool deletePhysicalFiles,
                                 std::optional<bool> deleteLinks) {
  TreeDeletion result;
  db.execute("DELETE FROM TempDirUsage");
  CDBFile entry(db);
  if (!readEntry(entry, id)) return result;
  if (entry.row().parent == 0) {
    result.outcome = TreeDeletionOutcome::RootRefused;
    return result;
  }

  std::vector<std::int64_t> set;
  std::set<std::int64_t> links;
  if (entry.row().link != 0) links.insert(id);
  collectSubtree(db, id, set, links);
  fillTempDirUsage(db, set);

  CDBDirUse usage(db);
  usage.open();
  if (!usage.isEmpty()) {
    if (!deleteLinks) {
      result.outcome = TreeDeletionOutcome::LinksInUse;
      result.inUse = usage.rows();
      return result;
    }
    if (!*deleteLinks) {
      result.outcome = TreeDeletionOutcome::LinksKept;
      return result;
    }
  }

  // Physical names are gathered first and removed only once the rows are
  // gone, so that a database failure leaves every file on disk.
  CDBDirsToKill directories(db);
  directories.open();
  std::vector<std::string> physicalFiles;
  std::vector<std::string> physicalDirectories;
  CDBPathFind files(db);
  for (const DirsToDeleteRecord& dir : directories.rows()) {
    if (dir.path.empty() || links.count(dir.id)) continue;  // a link's place on disk is its target's
    physicalDirectories.push_back(dir.path);
    files.setFilter("parent=" + idText(dir.id) + " and directory=no");
    files.requery();
    for (const PathFindRecord& file : files.rows()) {
      if (file.link != 0) continue;
      if (auto path = platform::childPath(dir.path, file.name)) physicalFiles.push_back(*path);
    }
  }

  for (const DirUsageRecord& link : usage.rows()) result.removed.push_back(link.id);
  if (!usage.isEmpty()) db.execute("DELETE FROM Files WHERE link IN (SELECT id FROM TempDirUsage)");
  // Every row below the set goes: files of directories without a Path too,
  // which would otherwise be left without a parent.
  db.execute("delete from files where directory=no and parent in (select id from tempdirusage)");
  db.execute("delete from files where id in (select id from tempdirusage)");
  result.removed.insert(result.removed.end(), set.begin(), set.end());
  result.outcome = TreeDeletionOutcome::Deleted;

  if (deletePhysicalFiles) {
    for (const std::string& path : physicalFiles) platform::removeFile(path);
    // Deepest first (the view's order): a directory still holding others stays.
    for (const std::string& path : physicalDirectories) platform::removeDirectory(path);
  }
  return result;
}

}  // namespace kestrel::store
