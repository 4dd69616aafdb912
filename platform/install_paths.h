// Where the program and the files installed beside it are. A package puts
// the program in <prefix>/bin and its data in <prefix>/share/kestrel, so
// the data is found from the program's own path wherever the tree was
// unpacked; a build tree has no such folder and keeps its compiled-in paths.
#pragma once
#include <string>
#include <string_view>

namespace kestrel::platform {

// The running program's absolute path; empty when /proc cannot tell.
std::string executablePath();

// <program's folder>/../share/kestrel/<name> when that exists; else empty.
std::string installedDataPath(std::string_view name);

}  // namespace kestrel::platform
