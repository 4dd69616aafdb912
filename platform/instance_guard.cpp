#include "platform/instance_guard.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <utility>

#include "platform/settings.h"

namespace kestrel::platform {

namespace {

// Small files only: a pid line or a URL.
std::string readSmallFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  char buffer[4096];
  std::string text;
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > 65536) break;
  }
  ::close(fd);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

int lockRetryingEintr(int fd, int operation) {
  int rc;
  do {
    rc = ::flock(fd, operation);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

}  // namespace

InstanceGuard::InstanceGuard(int fd, std::string settingsPath)
    : fd_(fd), settingsPath_(std::move(settingsPath)) {}

InstanceGuard::InstanceGuard(InstanceGuard&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), settingsPath_(std::move(other.settingsPath_)) {}

InstanceGuard& InstanceGuard::operator=(InstanceGuard&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = std::exchange(other.fd_, -1);
    settingsPath_ = std::move(other.settingsPath_);
  }
  return *this;
}

InstanceGuard::~InstanceGuard() { release(); }

void InstanceGuard::release() {
  if (fd_ < 0) return;
  ::unlink(consolePath(settingsPath_).c_str());
  // Unlock explicitly: a forked child that has not exec'd yet shares this
  // descriptor and would otherwise keep the store locked after we are gone.
  ::flock(fd_, LOCK_UN);
  ::close(fd_);
  fd_ = -1;
}

std::optional<InstanceGuard> InstanceGuard::acquire(const std::string& settingsPath,
                                                    Status* failure) {
  auto fail = [&](Status s) -> std::optional<InstanceGuard> {
    if (failure) *failure = std::move(s);
    return std::nullopt;
  };
  // An empty path would put the lock in whatever directory we started in.
  if (settingsPath.empty()) return fail(Status::fromCode(EINVAL, "no settings path"));
  const std::string path = lockPath(settingsPath);
  Status dirs = makeParentDirectories(path);
  if (!dirs.ok()) return fail(dirs);
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return fail(Status::fromErrno(("open " + path).c_str()));
  if (lockRetryingEintr(fd, LOCK_EX | LOCK_NB) != 0) {
    Status s = Status::fromErrno(("lock " + path).c_str());
    ::close(fd);
    return fail(s);
  }
  InstanceGuard guard(fd, settingsPath);

  // Blocked before the pid is visible, so no request can arrive unhandled.
  sigset_t show;
  sigemptyset(&show);
  sigaddset(&show, kShowSignal);
  pthread_sigmask(SIG_BLOCK, &show, nullptr);

  // An address left by a holder that died is no longer true.
  ::unlink(consolePath(settingsPath).c_str());

  std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) != 0 ||
      ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    return fail(Status::fromErrno(("write " + path).c_str()));
  }
  if (failure) *failure = Status::success();
  return guard;
}

Status InstanceGuard::publishConsoleAddress(std::string_view url) {
  if (fd_ < 0) return Status::fromCode(EBADF, "instance guard released");
  return writePrivateFileAtomically(consolePath(settingsPath_), std::string(url) + "\n");
}

std::string InstanceGuard::runningConsoleAddress(const std::string& settingsPath) {
  return readSmallFile(consolePath(settingsPath));
}

bool InstanceGuard::askRunningToShow(const std::string& settingsPath) {
  const std::string path = lockPath(settingsPath);
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  // A pid left behind by a holder that died may belong to anyone by now:
  // signal it only while the store is really held.
  bool held = lockRetryingEintr(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  if (!held) ::flock(fd, LOCK_UN);
  ::close(fd);
  if (!held) return false;

  std::string text = readSmallFile(path);
  int pid = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), pid);
  if (ec != std::errc() || end != text.data() + text.size() || pid <= 1) return false;
  return ::kill(pid, kShowSignal) == 0;
}

}  // namespace kestrel::platform
