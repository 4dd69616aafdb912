#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <csignal>
#include <sys/random.h>

#include "platform/faults.h"

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
  info.symlink = S_ISLNK(st.stx_mode);
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

std::optional<FileInfo> statEntry(const std::string& path) {
  struct statx st;
  if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &st) != 0)
    return std::nullopt;
  return infoFrom(baseName(path), st);
}

namespace {
constexpr std::string_view kUploadPrefix = ".kestrel-upload.";
constexpr std::time_t kForeignUploadLifetime = 24 * 60 * 60;
}  // namespace

bool isUploadTemporary(std::string_view name) { return name.substr(0, kUploadPrefix.size()) == kUploadPrefix; }

bool isStaleUploadTemporary(const std::string& directory, const std::string& name) {
  if (!isUploadTemporary(name)) return false;
  auto path = childPath(directory, name);
  if (!path) return false;
  auto info = statEntry(*path);
  if (!info || !info->regular) return false;
  long pid = std::strtol(name.c_str() + kUploadPrefix.size(), nullptr, 10);
  if (pid == static_cast<long>(::getpid())) return false;  // one of ours, in flight
  bool ownerGone = pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
  return ownerGone || info->modified + kForeignUploadLifetime < std::time(nullptr);
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
    if (::statx(dfd, e->d_name, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &st) != 0) continue;
    r.value.push_back(infoFrom(name, st));
  }
  ::closedir(dir);
  return r;
}

Result<File> File::openRead(const std::string& path) {
  Result<File> r;
  int fd = -1;
  if (int e = injectedFault(FaultPoint::FileOpen)) errno = e;
  else fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
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
  r.value.sizeAtOpen_ = st.st_size;
  return r;
}

Result<File> File::createWrite(const std::string& path) {
  Result<File> r;
  int fd = -1;
  if (int e = injectedFault(FaultPoint::FileOpen)) errno = e;
  else fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    r.status = Status::fromErrno("create");
    return r;
  }
  r.value.fd_ = fd;
  return r;
}

Result<File> File::createUploadTemporary(const std::string& directory, std::string& pathOut) {
  Result<File> r;
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 16; ++attempt) {
    unsigned random = 0;
    if (::getrandom(&random, sizeof random, 0) != sizeof random) random = counter.fetch_add(1) * 2654435761u;
    char name[64];
    std::snprintf(name, sizeof name, "%.*s%ld.%08x", static_cast<int>(kUploadPrefix.size()), kUploadPrefix.data(),
                  static_cast<long>(::getpid()), random);
    auto path = childPath(directory, name);
    if (!path) break;
    int fd = -1;
    // O_EXCL: never an existing entry, and never through a link.
    if (int e = injectedFault(FaultPoint::FileOpen)) errno = e;
    else fd = ::open(path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd >= 0) {
      r.value.fd_ = fd;
      pathOut = *path;
      return r;
    }
    if (errno != EEXIST) {
      r.status = Status::fromErrno("create");
      return r;
    }
  }
  r.status = Status::fromCode(EEXIST, "create");
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
  if (int e = injectedFault(FaultPoint::FileWrite)) {
    errno = e;
    return false;
  }
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

Status replacePath(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0 ? Status::success() : Status::fromErrno("rename");
}

bool isDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace kestrel::platform
