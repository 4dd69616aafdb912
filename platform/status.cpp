#include "platform/status.h"

#include <cerrno>
#include <cstring>

namespace kestrel::platform {

Status Status::fromErrno(const char* what) { return fromCode(errno, what); }

Status Status::fromCode(int code, const char* what) {
  Status s;
  s.code = code == 0 ? EIO : code;
  s.message = std::string(what) + ": " + std::strerror(s.code);
  return s;
}

}  // namespace kestrel::platform
