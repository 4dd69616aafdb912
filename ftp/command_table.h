// The command table: text, how it matches, and the handler. One dispatcher
// walks it in this order; the first match wins.
#pragma once
#include <span>

#include "ftp/session.h"

namespace kestrel::ftp {

enum class Match { Whole, Prefix };

struct Command {
  const char* text;
  Match match;
  CUserSocket::Handler handler;  // null: not implemented
};

std::span<const Command> commandTable();

// The entry a line selects and the argument it passes; null when unknown.
const Command* findCommand(const std::string& line, std::string& argument);

}  // namespace kestrel::ftp
