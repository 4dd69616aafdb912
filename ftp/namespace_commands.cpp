// MKD/XMKD, RMD/XRMD, DELE, RNFR and RNTO: each changes a Files row and the
// physical directory or file it stands for, in an order that leaves the two
// agreeing when either step fails.
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ftp/names.h"
#include "ftp/session.h"
#include "platform/files.h"
#include "store/activity_log.h"
#include "store/db/database.h"
#include "store/queries.h"
#include "store/records.h"
#include "store/tree.h"

namespace kestrel::ftp {

namespace {

constexpr char kInvalidPath[] = "550 Unable to create directory.  Invalid path.\r\n";
constexpr char kNotDeleted[] = "550 %s not deleted.  Access denied.\r\n";
constexpr char kDeleted[] = "250 DELE command successful.\r\n";
constexpr char kNotRenamed[] = "550 File not renamed.\r\n";
constexpr char kNotRenamedDenied[] = "550 File not renamed.  Access denied.\r\n";

// The physical entry `name` inside a directory row's Path. A row without a
// Path has no place on disk; joining onto "" would land at the file-system root.
std::optional<std::string> physicalChild(const std::string& directoryPath, std::string_view name) {
  if (directoryPath.empty()) return std::nullopt;
  return platform::childPath(directoryPath, name);
}


}  // namespace

void CUserSocket::cmdMkd(const std::string& argument) {
  const char* arg = argument.c_str();
  if (resolvePath(argument) != 0) {
    reply("550 Path already exists\r\n");
    return;
  }
  std::size_t slash = argument.rfind('/');
  std::string name = slash == std::string::npos ? argument : argument.substr(slash + 1);
  if (!isAcceptableNewName(name)) {
    reply("553 %s: invalid directory name.\r\n", arg);
    return;
  }
  std::vector<std::string> shown;
  std::int64_t parentId = resolveParent(argument, &shown);
  std::optional<store::FileRecord> parent;
  if (parentId != 0) parent = store::fileById(database(), parentId);
  if (!parent) {
    reply("%s", kInvalidPath);
    return;
  }
  // The parent resolver stops at a link row; its entries live in the target.
  if (parent->link != 0 && !(parent = store::fileById(database(), parent->link))) {
    reply("%s", kInvalidPath);
    return;
  }
  const store::FileRecord dir = *parent;
  if (!dir.directory) {
    reply("%s", kInvalidPath);
    return;
  }
  // Roots hold only what the console puts there.
  if (dir.parent == 0 || !store::permits(principal(), dir, store::Access::Write)) {
    reply("550 Unable to create directory.  Access denied.\r\n");
    return;
  }
  std::optional<std::string> physical = physicalChild(dir.path, name);
  if (!physical || !platform::makeDirectory(*physical).ok()) {
    reply("550 Unable to create directory.\r\n");
    return;
  }

  store::FileRecord row;
  std::time_t now = std::time(nullptr);
  row.name = name;
  row.parent = dir.id;
  row.path = *physical;
  row.directory = true;
  row.domain = domainId_;
  row.userId = own().userId;
  row.groupId = account_.groupId;
  row.userRead = row.userWrite = true;
  row.userExecute = false;
  row.groupRead = row.groupWrite = true;
  row.groupExecute = false;
  row.otherRead = row.otherWrite = row.otherExecute = true;
  row.size = row.downloads = row.link = 0;
  row.title.clear();
  row.description.clear();
  row.created = row.modified = row.lastRead = now;
  try {
    store::addFile(database(), row);
  } catch (const store::DbError&) {
    // No row, no directory: a retry must not find a stray one in its way.
    platform::removeDirectory(*physical);
    throw;
  }
  // 257 with the new path is the one success a client following RFC 959
  // accepts; it is the path PWD shows after a CWD into the new directory.
  shown.push_back(name);
  reply("257 \"%s\" created.\r\n", quotedPathName(shown).c_str());
}

void CUserSocket::cmdRmd(const std::string& argument) {
  const char* arg = argument.c_str();
  std::int64_t id = resolvePath(argument);
  std::optional<store::FileRecord> entry;
  if (id != 0) entry = store::fileById(database(), id);
  if (!entry) {
    reply("%s", kNoSuchDirectory);
    return;
  }
  const store::FileRecord row = *entry;
  // A root is the account's whole tree; only the console may remove it.
  if (row.parent == 0 || !store::permits(principal(), row, store::Access::Write)) {
    reply(kNotDeleted, arg);
    return;
  }
  if (!row.directory) {
    reply("553 %s not a directory.\r\n", arg);
    return;
  }
  if (store::hasEntriesBelow(database(), row.id)) {
    reply("450 %s not empty.\r\n", arg);
    return;
  }
  try {
    store::removeEntryRow(database(), row.id);
  } catch (const store::DbError&) {
    reply("550 %s not removed.\r\n", arg);
    return;
  }
  // A link's Path belongs to its target, which stays. A directory that is
  // not empty on disk stays too; the row is gone either way.
  if (row.link == 0 && !row.path.empty()) platform::removeDirectory(row.path);
  store::writeLog(database(), own().userId, own().logText, store::Action::Delete, 0, row.path);
  reply("250 RMD command successful.\r\n");
}

void CUserSocket::cmdDele(const std::string& argument) {
  const char* arg = argument.c_str();
  if (!account_.mayDelete) {
    reply(kNotDeleted, arg);
    return;
  }
  std::int64_t id = resolvePath(argument);
  std::optional<store::FileRecord> entry;
  if (id != 0) entry = store::fileById(database(), id);
  if (!entry) {
    reply("%s", kNoSuchEntry);
    return;
  }
  const store::FileRecord row = *entry;
  if (row.parent == 0 || !store::permits(principal(), row, store::Access::Write)) {
    reply(kNotDeleted, arg);
    return;
  }

  // Directories and links go from the tree only; nothing on disk is touched.
  if (row.directory || row.link != 0) {
    if (store::hasEntriesBelow(database(), row.id)) {
      reply("450 Directory is not empty.\r\n");
      return;
    }
    try {
      store::removeEntryRow(database(), row.id);
    } catch (const store::DbError&) {
      reply("550 Unable to delete directory.\r\n");
      return;
    }
    store::writeLog(database(), own().userId, own().logText, store::Action::Delete, 0, row.path);
    reply("%s", kDeleted);
    return;
  }

  std::optional<std::string> physical;
  if (auto parent = store::fileById(database(), row.parent)) physical = physicalChild(parent->path, row.name);
  if (!physical || !platform::removeFile(*physical).ok()) {
    reply("450 %s not deleted.\r\n", arg);
    return;
  }
  try {
    store::removeEntryRow(database(), row.id);
  } catch (const store::DbError&) {
    // The file is gone from disk already; that is what the client asked for.
    reply("%s", kDeleted);
    return;
  }
  store::writeLog(database(), own().userId, own().logText, store::Action::Delete, 0, *physical);
  reply("%s", kDeleted);
}

void CUserSocket::cmdRnfr(const std::string& argument) {
  renameSource_ = resolvePath(argument);
  if (renameSource_ != 0) reply("350 File OK.  Waiting destination name.\r\n");
  else reply("550 %s: File or directory does not exist.\r\n", argument.c_str());
}

void CUserSocket::cmdRnto(const std::string& argument) {
  if (!account_.mayRename) {
    reply("%s", kNotRenamedDenied);
    return;
  }
  if (renameSource_ == 0) {
    reply("503 Bad sequence of commands.\r\n");
    return;
  }
  // A bare name in the same directory, never a path.
  if (!isAcceptableNewName(argument)) {
    renameSource_ = 0;
    reply("550 Invalid file name.\r\n");
    return;
  }
  std::optional<store::FileRecord> entry = store::fileById(database(), renameSource_);
  if (!entry) {
    renameSource_ = 0;  // deleted since RNFR
    reply("%s", kNotRenamed);
    return;
  }
  const store::FileRecord row = *entry;
  if (row.parent == 0 || !store::permits(principal(), row, store::Access::Write)) {
    reply("%s", kNotRenamedDenied);
    return;
  }
  // The disk refuses to replace an entry; the tree must refuse it as well.
  if (store::siblingNamed(database(), row.parent, argument, row.id)) {
    reply("%s", kNotRenamed);
    return;
  }

  std::string parentPath;
  if (auto parent = store::fileById(database(), row.parent)) parentPath = parent->path;
  std::optional<std::string> from = physicalChild(parentPath, row.name);
  std::optional<std::string> to = physicalChild(parentPath, argument);
  // A link has nothing on disk of its own, and a directory mapped elsewhere
  // keeps its physical name: both are renamed in the tree only.
  bool onDisk = row.link == 0 && (!row.directory || (from && row.path == *from));
  if (onDisk && (!from || !to || !platform::renamePath(*from, *to).ok())) {
    reply("%s", kNotRenamed);
    return;
  }

  try {
    if (onDisk && row.directory) {
      // One statement moves the row and every Path below it, so that a failure
      // leaves all of them as they were.
      store::renameDirectory(database(), row.id, argument, *from, *to);
    } else {
      store::renameEntry(database(), row.id, argument);
    }
  } catch (const store::DbError&) {
    // Put the disk back so that it still matches the rows; the session reports the error.
    if (onDisk) platform::renamePath(*to, *from);
    throw;
  }
  store::writeLog(database(), own().userId, own().logText, store::Action::Rename, row.id);
  reply("250 RNTO command successful.\r\n");
}

}  // namespace kestrel::ftp
