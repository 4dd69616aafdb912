// What a client may call a new entry.
#pragma once
#include <string_view>

#include "platform/files.h"

namespace kestrel::ftp {

// Characters no entry name may hold, whatever the command.
inline constexpr std::string_view kRefusedCharacters = "\\:*?\"<>|";

// A new name must stay inside its directory (no "/", not "." or ".."), hold
// no refused character, and be found again: the resolver drops trailing
// blanks from a path, so a name ending in one could never be reached.
inline bool isAcceptableNewName(std::string_view name) {
  return name.find_first_of(kRefusedCharacters) == std::string_view::npos && !name.empty() &&
         name.back() != ' ' && platform::childPath("/", name).has_value();
}

}  // namespace kestrel::ftp
