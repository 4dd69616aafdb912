// Files that hold secrets (the settings store keeps the console and
// database passwords).
#pragma once
#include <string>

#include "platform/status.h"

namespace kestrel::platform {

// Takes the group and other permission bits off the file at path. A symbolic
// link is left alone: the next write of the store replaces it. value says
// whether a bit was taken; a missing file is no failure.
Result<bool> restrictToOwner(const std::string& path);

}  // namespace kestrel::platform
