#include "store/file_list.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>

#include "platform/files.h"
#include "store/reports.h"
#include "store/db/statement.h"
#include "store/tree.h"

namespace kestrel::store {

namespace {

int compareText(const std::string& a, const std::string& b) {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    int x = std::tolower(static_cast<unsigned char>(a[i]));
    int y = std::tolower(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

int compareNumber(std::int64_t a, std::int64_t b) { return a == b ? 0 : a < b ? -1 : 1; }

// Ties fall to the next key; names are unique in a directory, so Name ends
// every chain and the order is total.
int compareRows(const CommentDirRecord& a, const CommentDirRecord& b, FileSortKey key) {
  int c = 0;
  switch (key) {
    case FileSortKey::Name:
      break;
    case FileSortKey::Size:
      c = compareNumber(a.size, b.size);
      break;
    case FileSortKey::Date:
      c = compareNumber(a.modified, b.modified);
      break;
    case FileSortKey::Group:
      c = compareText(a.groupName, b.groupName);
      break;
    case FileSortKey::Owner:
      c = compareText(a.login, b.login);
      if (c == 0) c = compareText(a.groupName, b.groupName);
      break;
    case FileSortKey::Comment:
      c = compareText(a.title, b.title);
      break;
  }
  if (c == 0) c = compareText(a.name, b.name);
  return c;
}

// The column names of kPermissionBits, in the same order.
constexpr const char* kPermissionColumns[9] = {"user read",  "user write",  "user execute",
                                               "group read", "group write", "group execute",
                                               "other read", "other write", "other execute"};

}  // namespace

std::optional<FileSortKey> parseFileSortKey(std::string_view text) {
  static const std::pair<const char*, FileSortKey> kKeys[] = {
      {"name", FileSortKey::Name},   {"size", FileSortKey::Size},   {"date", FileSortKey::Date},
      {"group", FileSortKey::Group}, {"owner", FileSortKey::Owner}, {"comment", FileSortKey::Comment}};
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const auto& [name, key] : kKeys)
    if (lower == name) return key;
  return std::nullopt;
}

std::vector<CommentDirRecord> loadFileList(Database& db, std::int64_t directoryId, FileSortKey key,
                                           bool reverse) {
  CDBCommentDir rows(db);
  rows.setFilter("parent=" + std::to_string(directoryId) + " and directory=NO");
  rows.setSort("files.name");
  rows.open();
  std::vector<CommentDirRecord> list = rows.rows();
  sortFileList(list, key, reverse);
  return list;
}

void sortFileList(std::vector<CommentDirRecord>& rows, FileSortKey key, bool reverse) {
  std::stable_sort(rows.begin(), rows.end(), [key, reverse](const CommentDirRecord& a, const CommentDirRecord& b) {
    int c = compareRows(a, b, key);
    return reverse ? c > 0 : c < 0;
  });
}

std::string consoleFlags(const CommentDirRecord& row) {
  std::string flags = "--/--/--";
  if (row.userRead) flags[0] = 'r';
  if (row.userWrite) flags[1] = 'w';
  if (row.groupRead) flags[3] = 'r';
  if (row.groupWrite) flags[4] = 'w';
  if (row.otherRead) flags[6] = 'r';
  if (row.otherWrite) flags[7] = 'w';
  return flags;
}

std::string listDate(std::time_t when) { return formatLocalTime(when, "%x %X"); }

std::string sheetDate(std::time_t when) { return formatLocalTime(when, "%A, %B %-d, %Y, %H:%M:%S"); }

std::optional<std::vector<FileRecord>> filesOfDirectory(Database& db, std::int64_t directoryId,
                                                        const std::vector<std::int64_t>& ids) {
  CDBFile rows(db);
  rows.setFilter("parent=" + std::to_string(directoryId) + " and directory=no");
  rows.setSort("id");
  rows.open();
  std::map<std::int64_t, const FileRecord*> byId;
  for (const FileRecord& row : rows.rows()) byId[row.id] = &row;
  std::map<std::int64_t, FileRecord> chosen;
  for (std::int64_t id : ids) {
    auto it = byId.find(id);
    if (it == byId.end()) return std::nullopt;
    chosen[id] = *it->second;
  }
  std::vector<FileRecord> result;
  for (auto& [id, row] : chosen) result.push_back(std::move(row));
  return result;
}

namespace {

// sql once per id (its last parameter), after value when given, in one
// transaction: every selected row changes, or none does.
// One transaction: every selected file changes, or none does. The values
// come first, the id last.
void runForEachId(Database& db, const std::string& sql, const std::vector<std::int64_t>& ids,
                  const std::vector<std::int64_t>& values = {}) {
  if (ids.empty()) return;
  Transaction t(db);
  for (std::int64_t id : ids) {
    Statement s(t, sql);
    int next = 1;
    for (std::int64_t value : values) s.bind(next++, value);
    s.bind(next, id).execute();
  }
  t.commit();
}

}  // namespace

void setOwner(Database& db, const std::vector<std::int64_t>& ids, std::int64_t userId) {
  runForEachId(db, "UPDATE files SET userid=? WHERE id=?", ids, {userId});
}

void setGroup(Database& db, const std::vector<std::int64_t>& ids, std::int64_t groupId) {
  runForEachId(db, "UPDATE files SET groupid=? WHERE id=?", ids, {groupId});
}

void setPermissions(Database& db, const std::vector<std::int64_t>& ids, const PermissionChange& change) {
  std::string sets;
  std::vector<std::int64_t> values;
  for (std::size_t i = 0; i < change.size(); ++i) {
    if (!change[i]) continue;
    if (!sets.empty()) sets += ',';
    sets += quoteName(kPermissionColumns[i]) + "=?";
    values.push_back(*change[i] ? 1 : 0);
  }
  if (sets.empty()) return;
  runForEachId(db, "UPDATE files SET " + sets + " WHERE id=?", ids, values);
}

void deleteFiles(Database& db, const FileRecord& directory, const std::vector<FileRecord>& files,
                 bool deletePhysicalFiles) {
  if (files.empty()) return;
  std::vector<std::int64_t> ids;
  for (const FileRecord& file : files) ids.push_back(file.id);
  runForEachId(db, "DELETE FROM files WHERE id=?", ids);
  if (!deletePhysicalFiles || directory.path.empty()) return;
  for (const FileRecord& file : files) {
    if (file.link != 0) continue;  // a link has no file of its own
    if (auto path = platform::childPath(directory.path, file.name)) platform::removeFile(*path);
  }
}

std::string entryType(const FileRecord& row) {
  if (row.name.empty()) return "Root Directory";
  if (row.link != 0) return "Link";
  if (row.directory) return "Directory";
  return "File";
}

SheetOutcome saveFileSheet(Database& db, std::int64_t id, const FileRecord& edited) {
  CDBFile rows(db);
  if (!readEntry(rows, id)) return SheetOutcome::NotFound;
  const FileRecord before = rows.row();
  bool root = before.name.empty();
  bool renamed = !root && edited.name != before.name;
  if (!root && edited.name.empty()) return SheetOutcome::BlankName;

  std::optional<std::string> from, to;
  if (renamed) {
    CDBPathFind siblings(db);
    siblings.setFilter("parent=" + std::to_string(before.parent) + " and name=" + quoteText(edited.name) +
                       " and id<>" + std::to_string(id));
    siblings.open();
    if (!siblings.isEmpty()) return SheetOutcome::NameTaken;
    if (!isValidEntryName(edited.name)) return SheetOutcome::InvalidName;
    if (before.link == 0 && !before.directory) {
      CDBFile parent(db);
      if (readEntry(parent, before.parent) && !parent.row().path.empty()) {
        from = platform::childPath(parent.row().path, before.name);
        to = platform::childPath(parent.row().path, edited.name);
      }
      if (!from || !to || !platform::renamePath(*from, *to).ok()) return SheetOutcome::RenameFailed;
    }
  }

  rows.edit();
  FileRecord& row = rows.row();
  if (!root) {
    row.name = edited.name;
    row.title = edited.title;
  }
  // Only a directory has a Path of its own; a link never keeps one.
  if (before.link != 0) row.path.clear();
  else if (before.directory) row.path = edited.path;
  row.description = edited.description;
  for (bool FileRecord::* bit : kPermissionBits) row.*bit = edited.*bit;
  row.userId = edited.userId;
  row.groupId = edited.groupId;
  try {
    rows.update();
  } catch (const DbError&) {
    // The disk goes back to match the row that stayed as it was.
    if (from && to) platform::renamePath(*to, *from);
    throw;
  }
  return SheetOutcome::Saved;
}

}  // namespace kestrel::store
