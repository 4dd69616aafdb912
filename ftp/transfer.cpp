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
#include "store/database.h"
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
  restartOffset_ = offset;
  reply("350 Ready to resume file transfer at byte offset %lld\r\n", offset);
}

void CUserSocket::cmdRetr(const std::string& argument) {
  discardUpload();  // an upload still waiting for its connection is replaced
  const char* arg = argument.c_str();
  // The row and its directory's Path in one read; through a link, the target's.
  std::optional<store::PlacedFile> placed = resolvePlacedFile(argument);
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
  if (ratio_ != 0) {
    std::int64_t allowance = bytesUploaded_ * ratio_;
    if (bytesDownloaded_ + file->size >= allowance) {
      reply("450-Download:Upload ratio too great.  Try uploading more first.\r\n"
            "450 UL:%lld  DL:%lld   Ratio: 1:%lld  Bytes left: %lld\r\n",
            static_cast<long long>(bytesUploaded_), static_cast<long long>(bytesDownloaded_),
            static_cast<long long>(ratio_), static_cast<long long>(allowance - bytesDownloaded_));
      return;
    }
  }
  downloadSize_ = file->size;
  transferName_ = file->name;

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
  transferFileId_ = file->id;
  transferFile_ = std::move(opened.value);
  openDataConnection(&CUserSocket::downloadOperation);
}

void CUserSocket::downloadOperation() {
  const std::int64_t offset = std::max<std::int64_t>(restartOffset_, 0);
  if (offset > 0) transferFile_.seek(offset);  // a fresh open is at 0
  restartOffset_ = 0;
  const std::int64_t size = transferFile_.sizeAtOpen();
  host().postToMain(Message(Msg::DownloadStarted, host().connectionKey(), transferName_));
  // The announced size is the whole file's, also after REST.
  reply("150 File status OK.  Opening data connection for %s (%lld bytes).\r\n", transferName_.c_str(),
        static_cast<long long>(downloadSize_));
  transferBusy_ = true;
  bytesDownloaded_ += downloadSize_;
  store::writeLog(database(), own().userId, own().logText, store::Action::Download, transferFileId_);
  store::countDownload(own().userId, transferFileId_);
  notifyMonitor(Msg::MonitorDownloadStarted, transferName_);
  data_->startSend(std::move(transferFile_), transferFileId_, downloadSize_,
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
  if (existing && (!mayOverwrite_ || existing->directory)) {
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
  transferName_ = existing ? existing->name : name;
  uploadDirectoryId_ = directory->id;
  // Names compare without regard to case: an overwrite goes to the file the
  // existing row stands for, not to a second file beside it.
  std::optional<std::string> path;
  if (!directory->path.empty()) path = platform::childPath(directory->path, transferName_);
  uploadPath_ = path.value_or(std::string());

  // The top of a tree takes no files from clients, whatever its bits say.
  if (directory->parent == 0 || !store::permits(principal(), *directory, store::Access::Write)) {
    reply("550 Unable to write file.  Access denied.\r\n");
    return;
  }
  if (spaceLimit_ != 0 && spaceLimit_ < static_cast<std::int64_t>(spaceUsed_ / 1000)) {
    reply("550 Unable to write file.  Space exceeded.\r\n");
    return;
  }

  // A directory without a Path has no place on disk for the file; a link or
  // anything but a plain file where the file belongs is never written through.
  platform::Result<platform::File> created;
  bool writable = path.has_value();
  if (writable) {
    std::optional<platform::FileInfo> there = platform::statEntry(uploadPath_);
    writable = !there || there->regular;
  }
  if (writable) created = platform::File::createUploadTemporary(directory->path, uploadTempPath_);
  if (!writable || !created.ok()) {
    reply("550 Unable to write file.\r\n");
  } else {
    transferFileId_ = existing ? existing->id : 0;
    transferFile_ = std::move(created.value);
    openDataConnection(&CUserSocket::uploadOperation);
  }
  host().postToMain(Message(Msg::Activity, host().connectionKey(), "STOR " + argument));
}

void CUserSocket::uploadOperation() {
  uploadMode_ = transferFileId_ != 0 ? UploadMode::Overwrite : UploadMode::NewFile;
  transferBusy_ = true;
  reply("150 File status OK.  Opening data connection.\r\n");
  notifyMonitor(Msg::Activity, transferName_);
  data_->startReceive(std::move(transferFile_), transferFileId_);
}

void CUserSocket::discardUpload() {
  transferFile_.close();
  if (!uploadTempPath_.empty()) platform::removeFile(uploadTempPath_);
  uploadTempPath_.clear();
}

// The complete upload replaces its target in one rename, then its row
// follows: a new row, or the old row's Size and Modified. Returns false
// (nothing changed, the temporary removed) when the file cannot be put in place.
bool CUserSocket::finishUpload() {
  if (uploadMode_ == UploadMode::None) return true;
  std::string temporary;
  temporary.swap(uploadTempPath_);
  // The rename, the look at the result and the row change as one step, so
  // that the last file put in place is the one its row describes.
  std::unique_lock<std::mutex> rowsLock(shared_->uploadRowsMutex);
  // A link or a directory may have appeared at the target meanwhile.
  std::optional<platform::FileInfo> there = platform::statEntry(uploadPath_);
  if ((there && !there->regular) || !platform::replacePath(temporary, uploadPath_).ok()) {
    platform::removeFile(temporary);
    return false;
  }
  std::optional<platform::FileInfo> info = platform::statEntry(uploadPath_);
  // Gone from disk before we could look: there is nothing to account for.
  if (!info) return true;
  store::Database& db = database();

  // Looked up now, not at STOR: another session may have stored the same
  // name meanwhile, and one name keeps one row.
  std::optional<store::FileRecord> existing = store::childFile(db, uploadDirectoryId_, transferName_);
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
    row.parent = uploadDirectoryId_;
    row.directory = false;
    row.downloads = 0;
    row.userRead = true;
    row.userWrite = true;
    row.groupRead = true;
    row.otherRead = true;
    row.userId = own().userId;
    row.groupId = groupId_;
    row.domain = domainId_;
    row.link = 0;
    holder = store::addFile(db, row);
  }
  rowsLock.unlock();

  bytesUploaded_ += info->size;
  spaceUsed_ += static_cast<double>(info->size - replacedSize);
  store::countUpload(own().userId);
  host().postToMain(Message(Msg::UploadCounted, host().connectionKey()));
  store::writeLog(database(), own().userId, own().logText, store::Action::Upload, holder);
  return true;
}

}  // namespace kestrel::ftp
