#include "platform/private_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kestrel::platform {

Result<bool> restrictToOwner(const std::string& path) {
  Result<bool> out;
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT && errno != ELOOP) out.status = Status::fromErrno(("open " + path).c_str());
    return out;
  }
  struct stat st{};
  if (::fstat(fd, &st) != 0) {
    out.status = Status::fromErrno(("stat " + path).c_str());
  } else if (S_ISREG(st.st_mode) && (st.st_mode & 077) != 0) {
    if (::fchmod(fd, st.st_mode & 0700) != 0)
      out.status = Status::fromErrno(("chmod " + path).c_str());
    else
      out.value = true;
  }
  ::close(fd);
  return out;
}

}  // namespace kestrel::platform
