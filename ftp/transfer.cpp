// RETR, STOR and REST: the checks around a transfer, the counters and log
// rows it leaves, and the row an upload adds to the tree.
#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>

#include "ftp/data_socket.h"
#include "ftp/names.h"
#include "ftp/session.h"
#include "platform/files.h"
#include "store/activity_log.h"
#include "store/counters.h"
#include "store/db/database.h"
#include "store/queries.h"
#include "store/records.h"
#include "store/tree.h"

namespace kestrel::ftp {

namespace {

// The files row with this id, or none.
std::optional<store::FileRecord> readFile(store::Database& db, std::int64_t id) { return store::fileById(db, id); }

// A link row is a second name: its bytes and entries are the target's.
std::optional<store::FileRecord> followLink(store::Database& db, std::optional<store::FileRecord> row) {
  if (row && row->link != 0) return readFile(db, row->link);
  return row;
}

}  // namespace

void CUserSocket::cmdRest(const std::string& argument) {
  long long offset = std::strtoll(argument.c_str(), nullptr, 10);
  // A negative offset names no byte of any file.
  if (offset < 0) offset = 0;
  data_.restartOffset = offset;
  reply("350 Ready to resume file transfer at byte offset %lld\r\n", offset);
}

void CUserSocket::cmdRetr(const std::string& argument) {
  discardUpload();  // an upload still waiting for its connection is replaced
  const char* arg = argument.c_str();
  // The row and its directory's Path in one read; through a link, the target's.
  std::optional<store::PlacedFile> placed = cwd_.resolvePlacedFile(database(), argument);
  if (placed && placed->row.link != 0) placed = store::placedFileById(database(), placed->row.link);
  const store::FileRecord* file = placed ? &placed->row : nullptr;
  if (!file) {
    reply("550 No such file.\r\n");
    return;
  }
  if (file->directory) {
    reply("550 %s: Not a file\r\n", arg);
    return;
  }
  if (!store::permits(principal(), *file, store::Access::Read)) {
    reply("550 %s: Access denied.\r\n", arg);
    return;
  }
  if (account_.ratio != 0) {
    std::int64_t allowance = account_.bytesUploaded * account_.ratio;
    if (account_.bytesDownloaded + file->size >= allowance) {
      reply("450-Download:Upload ratio too great.  Try uploading more first.\r\n"
            "450 UL:%lld  DL:%lld   Ratio: 1:%lld  Bytes left: %lld\r\n",
            static_cast<long long>(account_.bytesUploaded), static_cast<long long>(account_.bytesDownloaded),
            static_cast<long long>(account_.ratio), static_cast<long long>(allowance - account_.bytesDownloaded));
      return;
    }
  }
  data_.downloadSize = file->size;
  data_.transferName = file->name;

  // The bytes live in the parent's physical directory, under the row's name.
  std::optional<std::string> path;
  if (placed->folderFound && !placed->folderPath.empty())
    path = platform::childPath(placed->folderPath, file->name);
  platform::Result<platform::File> opened;
  if (path) opened = platform::File::openRead(*path);
  if (!path || !opened.ok()) {
    reply("550 %s: Unable to open.\r\n", arg);
    return;
  }
  data_.transferFileId = file->id;
  data_.transferFile = std::move(opened.value);
  openDataConnection(&CUserSocket::downloadOperation);
}

void CUserSocket::downloadOperation() {
  const std::int64_t offset = std::max<std::int64_t>(data_.restartOffset, 0);
  if (offset > 0) data_.transferFile.seek(offset);  // a fresh open is at 0
  data_.restartOffset = 0;
  const std::int64_t size = data_.transferFile.sizeAtOpen();
  host().postToMain(Message(Msg::DownloadStarted, host().connectionKey(), data_.transferName));
  // The announced size is the whole file's, also after REST.
  reply("150 File status OK.  Opening data connection for %s (%lld bytes).\r\n", data_.transferName.c_str(),
        static_cast<long long>(data_.downloadSize));
  data_.busy = true;
  account_.bytesDownloaded += data_.downloadSize;
  store::writeLog(database(), own().userId, own().logText, store::Action::Download, data_.transferFileId);
  counters().countDownload(own().userId, data_.transferFileId);
  notifyMonitor(Msg::MonitorDownloadStarted, data_.transferName);
  data_.socket()->startSend(std::move(data_.transferFile), data_.transferFileId, data_.downloadSize,
                            size >= 0 ? std::max<std::int64_t>(size - offset, 0) : -1);
}

void CUserSocket::cmdStor(const std::string& argument) {
  discardUpload();
  const char* arg = argument.c_str();
  std::size_t slash = argument.rfind('/');
  std::string name = slash == std::string::npos ? argument : argument.substr(slash + 1);

  // One resolution for the existence check and the write: the parent, then
  // the name inside it (through a link, inside its target).
  std::int64_t parentId = resolveParent(argument);
  std::optional<store::FileRecord> directory = parentId ? followLink(database(), directoryRow(parentId)) : std::nullopt;
  std::optional<store::FileRecord> existing;
  if (directory && directory->directory && !name.empty()) {
    existing = store::childFile(database(), directory->id, name);
  }
  if (existing && (!account_.mayOverwrite || existing->directory)) {
    reply("553 %s: Access denied.\r\n", arg);
    return;
  }
  if (!existing && !isAcceptableNewName(name)) {
    reply("553 %s: invalid file name.\r\n", arg);
    return;
  }
  if (!directory || !directory->directory) {
    reply("550 Unable to create file.  Invalid path.\r\n");
    return;
  }
  data_.transferName = existing ? existing->name : name;
  data_.uploadDirectoryId = directory->id;
  // Names compare without regard to case: an overwrite goes to the file the
  // existing row stands for, not to a second file beside it.
  std::optional<std::string> path;
  if (!directory->path.empty()) path = platform::childPath(directory->path, data_.transferName);
  data_.uploadPath = path.value_or(std::string());

  // The top of a tree takes no files from clients, whatever its bits say.
  if (directory->parent == 0 || !store::permits(principal(), *directory, store::Access::Write)) {
    reply("550 Unable to write file.  Access denied.\r\n");
    return;
  }
  if (account_.spaceLimit != 0 && account_.spaceLimit < static_cast<std::int64_t>(account_.spaceUsed / 1000)) {
    reply("550 Unable to write file.  Space exceeded.\r\n");
    return;
  }

  // A directory without a Path has no place on disk for the file; a link or
  // anything but a plain file where the file belongs is never written through.
  platform::Result<platform::File> created;
  bool writable = path.has_value();
  if (writable) {
    std::optional<platform::FileInfo> there = platform::statEntry(data_.uploadPath);
    writable = !there || there->regular;
  }
  if (writable) created = platform::File::createUploadTemporary(directory->path, data_.uploadTempPath);
  if (!writable || !created.ok()) {
    reply("550 Unable to write file.\r\n");
  } else {
    data_.transferFileId = existing ? existing->id : 0;
    data_.transferFile = std::move(created.value);
    openDataConnection(&CUserSocket::uploadOperation);
  }
  host().postToMain(Message(Msg::Activity, host().connectionKey(), "STOR " + argument));
}

void CUserSocket::uploadOperation() {
  data_.uploadMode = data_.transferFileId != 0 ? UploadMode::Overwrite : UploadMode::NewFile;
  data_.busy = true;
  reply("%s", kOpeningDataConnection);
  notifyMonitor(Msg::Activity, data_.transferName);
  data_.socket()->startReceive(std::move(data_.transferFile), data_.transferFileId);
}

void CUserSocket::discardUpload() {
  data_.transferFile.close();
  if (!data_.uploadTempPath.empty()) platform::removeFile(data_.uploadTempPath);
  data_.uploadTempPath.clear();
}

// The complete upload replaces its target in one rename, then its row
// follows: a new row, or the old row's Size and Modified. Returns false
// (nothing changed, the temporary removed) when the file cannot be put in place.
bool CUserSocket::finishUpload() {
  if (data_.uploadMode == UploadMode::None) return true;
  std::string temporary;
  temporary.swap(data_.uploadTempPath);
  // The rename, the look at the result and the row change as one step, so
  // that the last file put in place is the one its row describes.
  platform::MutexLock rowsLock(shared_.uploadRowsMutex);
  // A link or a directory may have appeared at the target meanwhile.
  std::optional<platform::FileInfo> there = platform::statEntry(data_.uploadPath);
  if ((there && !there->regular) || !platform::replacePath(temporary, data_.uploadPath).ok()) {
    platform::removeFile(temporary);
    return false;
  }
  std::optional<platform::FileInfo> info = platform::statEntry(data_.uploadPath);
  // Gone from disk before we could look: there is nothing to account for.
  if (!info) return true;
  store::Database& db = database();

  // Looked up now, not at STOR: another session may have stored the same
  // name meanwhile, and one name keeps one row.
  std::optional<store::FileRecord> existing = store::childFile(db, data_.uploadDirectoryId, data_.transferName);
  std::int64_t replacedSize = 0;
  std::int64_t holder = 0;
  if (existing) {
    replacedSize = existing->size;
    holder = existing->id;
    store::setFileContent(db, existing->id, info->size, info->modified, info->accessed);
  } else {
    store::FileRecord row;
    row.name = info->name;
    row.path.clear();  // no short names on this system
    row.size = info->size;
    row.created = info->created;
    row.lastRead = info->accessed;
    row.modified = info->modified;
    row.parent = data_.uploadDirectoryId;
    row.directory = false;
    row.downloads = 0;
    row.userRead = true;
    row.userWrite = true;
    row.groupRead = true;
    row.otherRead = true;
    row.userId = own().userId;
    row.groupId = account_.groupId;
    row.domain = domainId_;
    row.link = 0;
    holder = store::addFile(db, row);
  }
  rowsLock.unlock();

  account_.bytesUploaded += info->size;
  account_.spaceUsed += static_cast<double>(info->size - replacedSize);
  counters().countUpload(own().userId);
  host().postToMain(Message(Msg::UploadCounted, host().connectionKey()));
  store::writeLog(database(), own().userId, own().logText, store::Action::Upload, holder);
  return true;
}

}  // namespace kestrel::ftp
