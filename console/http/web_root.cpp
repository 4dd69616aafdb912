#include "console/http/web_root.h"

#include <cstdlib>

#include "platform/install_paths.h"

namespace kestrel::console {

std::string webRoot() {
  if (const char* dir = std::getenv("KESTREL_WEB_DIR"); dir && *dir) return dir;
  if (std::string installed = platform::installedDataPath("web"); !installed.empty()) return installed;
  return KESTREL_WEB_DIR;
}

}  // namespace kestrel::console
