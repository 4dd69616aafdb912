#include "platform/system.h"

#include <sys/random.h>
#include <sys/sysinfo.h>
#include <malloc.h>

#include <cstdlib>

namespace kestrel::platform {

std::string randomHex(std::size_t bytes) {
  std::string raw(bytes, '\0');
  std::size_t got = 0;
  while (got < bytes) {
    ssize_t n = ::getrandom(raw.data() + got, bytes - got, 0);
    if (n <= 0) std::abort();
    got += static_cast<std::size_t>(n);
  }
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes * 2);
  for (unsigned char c : raw) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

std::uint64_t totalMemoryKilobytes() {
  struct sysinfo info {};
  if (::sysinfo(&info) != 0) return 0;
  return static_cast<std::uint64_t>(info.totalram) * info.mem_unit / 1024;
}

void keepFreedMemoryForReuse() {
  // Up to 32 MiB stays with the allocator, and blocks below 8 MiB come from
  // its heaps rather than from a mapping of their own.
  ::mallopt(M_TRIM_THRESHOLD, 32 << 20);
  ::mallopt(M_MMAP_THRESHOLD, 8 << 20);
}

}  // namespace kestrel::platform
