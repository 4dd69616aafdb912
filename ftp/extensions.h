// Argument parsers and texts of the extension commands (FEAT, OPTS, EPSV,
// EPRT, MLST, MLSD), kept apart from the session so they can be tested and
// fuzzed on their own.
#pragma once
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace kestrel::ftp {

// EPRT |1|a.b.c.d|port|: the delimiter is the first character.
struct ExtendedPort {
  enum class Outcome { Ok, Malformed, UnsupportedProtocol } outcome = Outcome::Malformed;
  std::string address;  // dotted IPv4 as given, normalised
  int port = 0;
};
ExtendedPort parseExtendedPort(std::string_view argument);

// EPSV's argument: none or "1" (IPv4), "ALL", another protocol, or junk.
enum class PassiveRequest { Ipv4, All, UnsupportedProtocol, Malformed };
PassiveRequest parsePassiveRequest(std::string_view argument);

// The facts MLST and MLSD can give, as bits of a mask.
enum Fact : unsigned { kFactType = 1, kFactSize = 2, kFactModify = 4, kFactPerm = 8, kFactUnique = 16 };
inline constexpr unsigned kAllFacts = kFactType | kFactSize | kFactModify | kFactPerm | kFactUnique;
// "type;size;modify;" from "OPTS MLST"'s list; unknown facts are ignored.
unsigned parseFactList(std::string_view list);
// FEAT's line: every fact, those selected marked with '*'.
std::string factFeatureText(unsigned selected);
// OPTS MLST's answer: the facts now selected, each followed by ';'.
std::string factSelectionText(unsigned selected);

// One entry's facts in the order of RFC 3659, each "name=value;".
struct EntryFacts {
  bool directory = false;
  std::int64_t size = 0;
  std::time_t modified = 0;
  std::string perm;
  std::int64_t unique = 0;
};
std::string formatFacts(const EntryFacts& entry, unsigned selected);

}  // namespace kestrel::ftp

namespace kestrel::ftp {
// HELP's "214 Syntax:" text of a command added beyond the original table;
// null when topic names none.
const char* extensionSyntax(std::string_view topic);
}  // namespace kestrel::ftp
