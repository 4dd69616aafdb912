#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace kestrel::platform {

std::optional<std::string> childPath(std::string_view dir, std::string_view name) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos ||
      name.find('\0') != std::string_view::npos)
    return std::nullopt;
  std::string path(dir);
  if (path.empty() || path.back() != '/') path += '/';
  path += name;
  return path;
}

namespace {

FileInfo infoFrom(const std::string& name, const struct statx& st) {
  FileInfo info;
  info.name = name;
  info.directory = S_ISDIR(st.stx_mode);
  info.regular = S_ISREG(st.stx_mode);
  info.hidden = !name.empty() && name[0] == '.';
  info.system = !info.directory && !info.regular;
  info.readOnly = (st.stx_mode & S_IWUSR) == 0;
  info.size = info.regular ? static_cast<std::int64_t>(st.stx_size) : 0;
  info.modified = st.stx_mtime.tv_sec;
  info.accessed = st.stx_atime.tv_sec;
  info.created = (st.stx_mask & STATX_BTIME) ? st.stx_btime.tv_sec : st.stx_mtime.tv_sec;
  return info;
}

std::string baseName(const std::string& path) {
  auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::optional<FileInfo> statPath(const std::string& path) {
  struct statx st;
  if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &st) != 0) return std::nullopt;
  return infoFrom(baseName(path), st);
}

Result<std::vector<FileInfo>> listDirectory(const std::string& path) {
  Result<std::vector<FileInfo>> r;
  int dfd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) {
    r.status = Status::fromErrno("open directory");
    return r;
  }
  DIR* dir = ::fdopendir(dfd);
  if (!dir) {
    r.status = Status::fromErrno("fdopendir");
    ::close(dfd);
    return r;
  }
  while (dirent* e = ::readdir(dir)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct statx st;
    if (::statx(dfd, e->d_name, 0, STATX_BASIC_STATS | STATX_BTIME, &st) != 0) continue;
    r.value.push_back(infoFrom(name, st));
  }
  ::closedir(dir);
  return r;
}

Result<File> File::openRead(const std::string& path) {
  Result<File> r;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    r.status = Status::fromErrno("open");
    return r;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    r.status = Status::fromCode(EISDIR, "open");
    return r;
  }
  r.value.fd_ = fd;
  return r;
}

Result<File> File::createWrite(const std::string& path) {
  Result<File> r;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    r.status = Status::fromErrno("create");
    return r;
  }
  r.value.fd_ = fd;
  return r;
}

bool File::seek(std::int64_t offset) { return ::lseek(fd_, offset, SEEK_SET) >= 0; }

long File::read(char* buffer, std::size_t size) {
  for (;;) {
    ssize_t n = ::read(fd_, buffer, size);
    if (n < 0 && errno == EINTR) continue;
    return static_cast<long>(n);
  }
}

bool File::writeAll(const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd_, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void File::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Status makeDirectory(const std::string& path) {
  return ::mkdir(path.c_str(), 0755) == 0 ? Status::success() : Status::fromErrno("mkdir");
}

Status removeDirectory(const std::string& path) {
  return ::rmdir(path.c_str()) == 0 ? Status::success() : Status::fromErrno("rmdir");
}

Status removeFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0 ? Status::success() : Status::fromErrno("unlink");
}

Status renamePath(const std::string& from, const std::string& to) {
  // Never replace an existing entry: a rename onto a taken name must fail, not destroy it.
  return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0
             ? Status::success()
             : Status::fromErrno("rename");
}

bool isDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace kestrel::platform
