// The command table: text, how it matches, the handler, and what the
// dispatcher checks before the handler runs. One dispatcher walks it in this
// order; the first match wins.
#pragma once
#include <span>

#include "ftp/session.h"

namespace kestrel::ftp {

enum class Match { Whole, Prefix };
// Required: "530 Not Logged in." before any login.
enum class Login { Optional, Required };
// Required: "125 Data connection already open.  Transfer starting." while a
// transfer or listing holds the data channel.
enum class DataIdle { Optional, Required };

struct Command {
  const char* text;
  Match match;
  CUserSocket::Handler handler;  // null: not implemented
  Login login = Login::Optional;
  DataIdle dataIdle = DataIdle::Optional;
};

std::span<const Command> commandTable();

// The entry a line selects and the argument it passes; null when unknown.
const Command* findCommand(const std::string& line, std::string& argument);

// Site Commands ids, as the rights table numbers them.
enum SiteRight : int {
  kNoRight = 0,
  kRightAllow = 1,
  kRightAnon = 2,
  kRightChgrp = 3,
  kRightChmod = 4,
  kRightChown = 5,
  kRightDeny = 6,
  kRightKick = 8,
  kRightMsg = 9,
  kRightUmsg = 10,
  kRightWho = 11,
};

// SITE's own table: after the login check, a subcommand with a right answers
// "500 Command not available" unless the session's group holds it.
struct SiteCommand {
  const char* text;
  Match match;
  CUserSocket::Handler handler;
  Login login = Login::Optional;
  SiteRight right = kNoRight;
};

std::span<const SiteCommand> siteCommandTable();

// The entry SITE's argument selects and what follows the subcommand; null when unknown.
const SiteCommand* findSiteCommand(const std::string& argument, std::string& rest);

}  // namespace kestrel::ftp
