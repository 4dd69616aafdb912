// The two command lines that answer and end instead of starting a server.
#pragma once
#include <optional>
#include <string>

namespace kestrel::app {

// "kestrel --help" and "kestrel --version", exactly: what to print.
// Anything else (nullopt) starts the server in the mode runModeFor picks.
std::optional<std::string> informationFor(int argc, char** argv);

std::string usageText();
std::string versionText();

}  // namespace kestrel::app
