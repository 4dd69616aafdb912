#include "store/refresh.h"

#include <algorithm>
#include <unordered_set>

#include "platform/files.h"
#include "store/records.h"

namespace kestrel::store {

namespace {

// The width of the Path column: a longer path could not be stored whole.
constexpr std::size_t kPathColumnWidth = 255;
// Ids per IN (...) list when a vanished directory takes its rows with it.
constexpr std::size_t kIdsPerStatement = 500;

std::string withValue(std::string_view format, std::string_view placeholder, std::string_view value) {
  std::string text(format);
  auto at = text.find(placeholder);
  if (at != std::string::npos) text.replace(at, placeholder.size(), value);
  return text;
}

// SQLite's NOCASE and the resolver fold ASCII letters only.
std::string foldCase(std::string_view name) {
  std::string out(name);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string idList(const std::vector<std::int64_t>& ids, std::size_t from, std::size_t to) {
  std::string list;
  for (std::size_t i = from; i < to; ++i) {
    if (i > from) list += ',';
    list += std::to_string(ids[i]);
  }
  return list;
}

class Walk {
 public:
  Walk(Database& db, const RefreshOptions& options, RefreshMonitor& monitor, RefreshCounts& counts)
      : db_(db), options_(options), monitor_(monitor), counts_(counts) {}

  bool refresh(std::int64_t id);

 private:
  // Steps over the rows and the entries of one directory; false to stop.
  bool synchronise(const FileRecord& dir, const std::string& base, std::vector<platform::FileInfo>& entries);
  void addRow(const FileRecord& dir, const platform::FileInfo& entry, const std::string& path);
  void deleteRow(const FileRecord& row);

  Database& db_;
  const RefreshOptions& options_;
  RefreshMonitor& monitor_;
  RefreshCounts& counts_;
  // A Parent chain that loops back must not walk forever.
  std::unordered_set<std::int64_t> visited_;
};

bool Walk::refresh(std::int64_t id) {
  if (monitor_.aborted()) return false;
  FileRecord dir;
  {
    CDBFile rows(db_);
    rows.setFilter("ID=" + std::to_string(id));
    rows.open();
    if (rows.isEmpty()) {
      monitor_.showMessage(missingRecordText(id));
      return false;
    }
    dir = rows.row();
  }
  if (dir.path.empty()) {
    monitor_.showMessage(kEmptyPathText);
    return false;
  }
  if (!visited_.insert(id).second) return true;
  if (!monitor_.enterDirectory(dir.path)) return false;

  std::string base = dir.path;
  if (base.back() == '/') base.pop_back();
  bool stop = false;
  {
    auto listing = platform::listDirectory(base.empty() ? "/" : base);
    if (!listing.ok()) {
      // Nothing under an unreadable directory is touched, but its subdirectory rows are still walked.
      stop = !monitor_.askToContinue(withValue(kInvalidDirectoryText, "%s", base + "/*.*"));
    } else {
      stop = !synchronise(dir, base, listing.value);
    }
  }
  if (stop || monitor_.aborted()) return false;
  if (!options_.recurse) return true;

  std::vector<std::int64_t> subdirectories;
  {
    CDBFile rows(db_);
    rows.setFilter("parent=" + std::to_string(id) + " and directory=yes");
    rows.setSort("name");
    rows.open();
    // Links stand for rows elsewhere and have no Path of their own.
    for (const FileRecord& row : rows.rows())
      if (row.link == 0 && !row.path.empty()) subdirectories.push_back(row.id);
  }
  for (std::int64_t sub : subdirectories)
    if (!refresh(sub)) return false;
  return true;
}

bool Walk::synchronise(const FileRecord& dir, const std::string& base, std::vector<platform::FileInfo>& entries) {
  // A link on disk is never taken into the tree: anyone who can write the
  // directory could otherwise publish what it points at. Uploads in progress
  // are not files yet; those a crash left behind are removed.
  bool stopped = false;
  std::erase_if(entries, [&](const platform::FileInfo& e) {
    if (e.symlink) {
      if (!stopped && !monitor_.reportAction("Skipping link " + e.name)) stopped = true;
      return true;
    }
    if (!platform::isUploadTemporary(e.name)) return false;
    if (platform::isStaleUploadTemporary(base.empty() ? "/" : base, e.name))
      if (auto path = platform::childPath(base.empty() ? "/" : base, e.name)) platform::removeFile(*path);
    return true;
  });
  if (stopped) return false;
  auto byName = [](const platform::FileInfo& a, const platform::FileInfo& b) { return a.name < b.name; };
  std::sort(entries.begin(), entries.end(), byName);
  std::vector<bool> matched(entries.size(), false);
  const std::string prefix = base + "/";
  // Names (folded) of the rows that stay: the tree compares names without
  // regard to case, so an entry that differs only in case from one of them
  // would be a second row the resolver could never tell apart.
  std::unordered_set<std::string> taken;
  bool stop = false;

  CDBFile rows(db_);
  rows.setFilter("parent=" + std::to_string(dir.id));
  rows.setSort("name");
  rows.open();
  for (; !rows.atEnd() && !stop; rows.moveNext()) {
    if (monitor_.aborted()) return false;
    FileRecord& row = rows.row();
    if (row.link != 0 || (row.directory && row.path.empty())) {
      taken.insert(foldCase(row.name));
      continue;
    }
    auto it = std::lower_bound(entries.begin(), entries.end(), row.name,
                               [](const platform::FileInfo& e, const std::string& name) { return e.name < name; });
    if (it != entries.end() && it->name == row.name) {
      matched[it - entries.begin()] = true;
      taken.insert(foldCase(row.name));
      // Compared as stored: local time at one-second resolution.
      if (row.size == it->size && quoteTime(row.created) == quoteTime(it->created) &&
          quoteTime(row.modified) == quoteTime(it->modified))
        continue;
      rows.edit();
      row.size = it->size;
      row.created = it->created;
      row.modified = it->modified;
      row.lastRead = it->accessed;
      rows.update();
      ++counts_.updated;
      continue;
    }
    bool purge = options_.purge && (!row.directory || pathLiesDirectlyIn(row.path, prefix));
    if (!purge) {
      taken.insert(foldCase(row.name));
      continue;
    }
    if (!monitor_.reportAction("Deleting " + row.name)) stop = true;
    deleteRow(row);
  }
  rows.close();

  if (stop || !options_.addNew) return !stop;
  for (std::size_t i = 0; i < entries.size() && !stop; ++i) {
    if (monitor_.aborted()) return false;
    const platform::FileInfo& entry = entries[i];
    if (matched[i]) continue;
    if (entry.hidden && !options_.includeHidden) continue;
    if (entry.system && !options_.includeSystem) continue;
    if (!storableName(entry.name)) continue;
    std::string path;
    if (entry.directory) {
      auto child = platform::childPath(base, entry.name);
      if (!child || child->size() > kPathColumnWidth) continue;
      path = *child;
    }
    if (!taken.insert(foldCase(entry.name)).second) continue;
    if (!monitor_.reportAction("Adding " + entry.name)) stop = true;
    addRow(dir, entry, path);
  }
  return !stop;
}

void Walk::addRow(const FileRecord& dir, const platform::FileInfo& entry, const std::string& path) {
  CDBFile rows(db_);
  rows.addNew();
  FileRecord& row = rows.row();
  row.name = entry.name;
  row.parent = dir.id;
  row.domain = options_.domain;
  row.path = path;  // a file's short name, which this file system never has
  row.directory = entry.directory;
  row.size = entry.directory ? 0 : entry.size;
  row.created = entry.created;
  row.modified = entry.modified;
  row.lastRead = entry.accessed;
  row.userId = options_.ownerUser ? options_.ownerUser : dir.userId;
  row.groupId = options_.ownerGroup ? options_.ownerGroup : dir.groupId;
  row.userRead = options_.userRead;
  row.userWrite = options_.userWrite && !entry.readOnly;
  row.userExecute = options_.userExecute;
  row.groupRead = options_.groupRead;
  row.groupWrite = options_.groupWrite;
  row.groupExecute = options_.groupExecute;
  row.otherRead = options_.otherRead;
  row.otherWrite = options_.otherWrite;
  row.otherExecute = options_.otherExecute;
  rows.update();
  ++counts_.added;
  if (entry.directory) counts_.directoriesAdded = true;
}

void Walk::deleteRow(const FileRecord& row) {
  // A vanished directory takes the rows below it along: left behind they
  // could never be reached again, yet would still count against their
  // owners' space limits.
  std::vector<std::int64_t> ids{row.id};
  if (row.directory) {
    std::unordered_set<std::int64_t> seen{row.id};
    std::vector<std::int64_t> level{row.id};
    while (!level.empty()) {
      std::vector<std::int64_t> next;
      for (std::size_t from = 0; from < level.size(); from += kIdsPerStatement) {
        std::size_t to = std::min(level.size(), from + kIdsPerStatement);
        for (const RowValues& values :
             db_.query("SELECT id FROM files WHERE parent IN (" + idList(level, from, to) + ")")) {
          std::int64_t child = values.empty() ? 0 : std::strtoll(values[0].text.c_str(), nullptr, 10);
          if (child != 0 && seen.insert(child).second) next.push_back(child);
        }
      }
      ids.insert(ids.end(), next.begin(), next.end());
      level = std::move(next);
    }
  }
  // Deepest first, so that a failure half-way leaves no row without its parent.
  std::reverse(ids.begin(), ids.end());
  for (std::size_t from = 0; from < ids.size(); from += kIdsPerStatement) {
    std::size_t to = std::min(ids.size(), from + kIdsPerStatement);
    db_.execute("DELETE FROM files WHERE id IN (" + idList(ids, from, to) + ")");
  }
  counts_.deleted += static_cast<long long>(ids.size());
}

}  // namespace

bool refreshDirectory(Database& db, const RefreshOptions& options, RefreshMonitor& monitor,
                      RefreshCounts& counts) {
  Walk walk(db, options, monitor, counts);
  return walk.refresh(options.directory);
}

std::string missingRecordText(std::int64_t id) { return withValue(kMissingRecordText, "%d", std::to_string(id)); }

bool pathLiesDirectlyIn(std::string_view path, std::string_view prefix) {
  // Physical paths here are case-sensitive: /srv/Pub is not /srv/pub.
  if (path.size() <= prefix.size() || path.substr(0, prefix.size()) != prefix) return false;
  std::string_view rest = path.substr(prefix.size());
  return rest.find('/') == std::string_view::npos && rest.find('\\') == std::string_view::npos && rest != "." &&
         rest != "..";
}

bool storableName(std::string_view name) {
  if (name.empty()) return false;
  std::size_t i = 0;
  while (i < name.size()) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (c < 0x20 || c == 0x7f) return false;
    if (c < 0x80) {
      ++i;
      continue;
    }
    int length = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 ? 2 : 0;
    if (length == 0 || c > 0xf4 || i + length > name.size()) return false;
    std::uint32_t code = c & (0x7f >> length);
    for (int k = 1; k < length; ++k) {
      unsigned char next = static_cast<unsigned char>(name[i + k]);
      if ((next & 0xc0) != 0x80) return false;
      code = (code << 6) | (next & 0x3f);
    }
    // Overlong forms, surrogates and code points past U+10FFFF.
    if ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000) || (code >= 0xd800 && code <= 0xdfff) ||
        code > 0x10ffff)
      return false;
    i += length;
  }
  return true;
}

}  // namespace kestrel::store
