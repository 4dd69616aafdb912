#include "platform/install_paths.h"

#include <limits.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace kestrel::platform {

std::string executablePath() {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

std::string installedDataPath(std::string_view name) {
  std::string program = executablePath();
  if (program.empty()) return {};
  std::filesystem::path candidate =
      std::filesystem::path(program).parent_path().parent_path() / "share" / "kestrel" / std::string(name);
  std::error_code ec;
  if (!std::filesystem::exists(candidate, ec)) return {};
  return candidate.lexically_normal().string();
}

}  // namespace kestrel::platform
