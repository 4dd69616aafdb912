// Lines for the operator's log. Under systemd, standard error goes to the
// journal, which reads a leading "<N>" as the line's syslog priority; so in
// service mode every line is written with one, and a multi-line text
// becomes several lines that each carry it.
// Process-wide on purpose: the process has one standard error, and lines of
// all threads must not interleave on it; the lock and the list of secrets to
// mask are kept beside it.
#pragma once
#include <string>
#include <string_view>

namespace kestrel::platform {

enum class Priority { kError = 3, kWarning = 4, kInfo = 6 };

// Set once at start: true in service mode.
void setServiceLog(bool on);
bool serviceLog();

// Texts that must never reach the log (console and database passwords);
// each is written as "********" wherever it appears. Texts shorter than four
// characters are ignored: masking them would garble every line.
void addLogSecret(std::string secret);

// Always written to standard error; prefixed in service mode.
void reportLine(Priority priority, std::string_view text);
// A line the console shows: copied to standard error in service mode only.
void journalLine(Priority priority, std::string_view text);

// What reportLine writes for text, for tests: one "<N>line\n" per line with
// prefixes, "line\n" without; secrets masked.
std::string formatLogLines(Priority priority, std::string_view text, bool prefixed);

}  // namespace kestrel::platform
