// The file system as the store and the sessions need it. Physical paths of
// entries are built only by childPath, which refuses names that would leave
// their directory.
#pragma once
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace kestrel::platform {

// dir + "/" + name; nullopt when name is empty, ".", "..", or holds "/" or NUL.
std::optional<std::string> childPath(std::string_view dir, std::string_view name);

struct FileInfo {
  std::string name;
  bool directory = false;
  bool regular = false;
  bool hidden = false;    // name starts with "."
  bool system = false;    // neither a regular file nor a directory
  bool readOnly = false;  // owner write bit clear
  bool symlink = false;   // the entry itself is a symbolic link (never followed)
  std::int64_t size = 0;
  std::time_t created = 0;  // birth time where the file system keeps it, else mtime
  std::time_t accessed = 0;
  std::time_t modified = 0;
};

// Follows links: for paths the administrator chose.
std::optional<FileInfo> statPath(const std::string& path);
// Does not follow a final link: for paths a client can reach.
std::optional<FileInfo> statEntry(const std::string& path);
// Entries of a directory, without "." and "..", each examined without
// following it (a link shows as a symlink, not as what it points at).
Result<std::vector<FileInfo>> listDirectory(const std::string& path);

// Uploads land in a temporary file beside their target, named
// ".kestrel-upload.<pid>.<random>", and are renamed into place when complete.
bool isUploadTemporary(std::string_view name);
// A temporary file left by a process that is no longer running (a crash),
// or untouched for a day (another host's).
bool isStaleUploadTemporary(const std::string& directory, const std::string& name);

class File {
 public:
  File() = default;
  ~File() { close(); }
  File(File&& other) noexcept : fd_(other.fd_), sizeAtOpen_(other.sizeAtOpen_) { other.fd_ = -1; }
  File& operator=(File&& other) noexcept {
    if (this != &other) {
      close();
      fd_ = other.fd_;
      sizeAtOpen_ = other.sizeAtOpen_;
      other.fd_ = -1;
    }
    return *this;
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Neither follows a final symbolic link: a link planted where a client's
  // file is expected makes the open fail instead of reaching elsewhere.
  static Result<File> openRead(const std::string& path);
  // Creates or truncates.
  static Result<File> createWrite(const std::string& path);
  // A new upload temporary in directory; its path goes to pathOut.
  static Result<File> createUploadTemporary(const std::string& directory, std::string& pathOut);

  bool isOpen() const { return fd_ >= 0; }
  bool seek(std::int64_t offset);
  // Bytes read, 0 at end of file, -1 on error.
  long read(char* buffer, std::size_t size);
  // True only when every byte was written.
  bool writeAll(const char* data, std::size_t size);
  void close();
  int fd() const { return fd_; }
  // The size openRead found; -1 for files opened otherwise.
  std::int64_t sizeAtOpen() const { return sizeAtOpen_; }

 private:
  int fd_ = -1;
  std::int64_t sizeAtOpen_ = -1;
};

Status makeDirectory(const std::string& path);
Status removeDirectory(const std::string& path);
Status removeFile(const std::string& path);
Status renamePath(const std::string& from, const std::string& to);
// Moves a completed upload onto its target, replacing what is there (a link
// there is replaced, never followed).
Status replacePath(const std::string& from, const std::string& to);
bool isDirectory(const std::string& path);

}  // namespace kestrel::platform
