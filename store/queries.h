// The statements the protocol and the listener run on every command, each
// prepared once per connection with its values bound.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/records.h"

namespace kestrel::store {

// The tree.
std::optional<FileRecord> fileById(Database& db, std::int64_t id);
// The row named `name` under `parent` (names compare without regard to case).
std::optional<PathFindRecord> childByName(Database& db, std::int64_t parent, std::string_view name);
std::optional<FileRecord> childFile(Database& db, std::int64_t parent, std::string_view name);
std::optional<FileRecord> childDirectory(Database& db, std::int64_t parent, std::string_view name);
// A file's row with its directory's Path, in one statement: where its bytes
// live. folderFound is false when the Parent row is gone.
struct PlacedFile {
  FileRecord row;
  std::string folderPath;
  bool folderFound = false;
};
std::optional<PlacedFile> placedFileById(Database& db, std::int64_t id);
// The same for the row named `name` in `parent`, found as childByName finds it.
std::optional<PlacedFile> placedFileByName(Database& db, std::int64_t parent, std::string_view name);
// The Parent of `id`; 0 for a root or a row that is gone.
std::int64_t parentOf(Database& db, std::int64_t id);
std::optional<DirectoryRecord> directoryEntry(Database& db, std::int64_t id);
std::vector<DirectoryRecord> directoryEntries(Database& db, std::int64_t parent);

// Adds a row and returns its id (read back by parent and name).
std::int64_t addFile(Database& db, const FileRecord& row);
// What an upload changes in the row of the file it replaced.
void setFileContent(Database& db, std::int64_t id, std::int64_t size, long long modified, long long lastRead);
// Whether any row (file, directory or link) lies directly below `id`.
bool hasEntriesBelow(Database& db, std::int64_t id);
// Another row than `except` under `parent` called `name` (without regard to case).
bool siblingNamed(Database& db, std::int64_t parent, std::string_view name, std::int64_t except);
// Writes the nine permission bits of `row` to its row.
void setEntryPermissions(Database& db, const FileRecord& row);
void setEntryOwner(Database& db, std::int64_t id, std::int64_t userId);
void setEntryGroup(Database& db, std::int64_t id, std::int64_t groupId);
void renameEntry(Database& db, std::int64_t id, std::string_view name);
// Renames a directory mapped at `fromPath` to `toPath`, and moves every Path
// below fromPath with it, in one statement: all change or none.
void renameDirectory(Database& db, std::int64_t id, std::string_view name, std::string_view fromPath,
                     std::string_view toPath);

// Accounts.
std::optional<UserRecord> userByLogin(Database& db, std::string_view login, std::int64_t domain);
void setLastOn(Database& db, std::int64_t userId, long long when);
// The first (lowest id) user of that login in any domain, and group of that name.
std::optional<UserRecord> firstUserByLogin(Database& db, std::string_view login);
std::optional<GroupRecord> firstGroupByName(Database& db, std::string_view name);
void setUserLocked(Database& db, std::int64_t userId, bool locked);
// The domain's "anonymous" account (the lowest id when there are several),
// and locking or unlocking every such account.
std::optional<UserRecord> anonymousAccount(Database& db, std::int64_t domain);
void setAnonymousLocked(Database& db, std::int64_t domain, bool locked);
// The SITE commands a group may use.
std::vector<SiteListRecord> siteRightsOfGroup(Database& db, std::int64_t groupId);
// The bytes of every file the user owns (0 when none).
double spaceUsedBy(Database& db, std::int64_t userId);

// Domains (the IP filter is in store/ip_filter.h).
std::optional<HomeRecord> domainByAddress(Database& db, std::string_view address);
std::optional<HomeRecord> domainByName(Database& db, std::string_view name);

// Download and upload counters: store/counters.h.

}  // namespace kestrel::store
