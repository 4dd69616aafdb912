#include <cctype>
#include <cstdio>

#include "ftp/extensions.h"

namespace kestrel::ftp {

namespace {

bool sameWord(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// Decimal digits only, no sign, at most max; -1 otherwise.
long number(std::string_view text, long max) {
  if (text.empty() || text.size() > 10) return -1;
  long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value <= max ? value : -1;
}

// Four decimal octets; leading zeros are accepted and dropped.
bool dottedQuad(std::string_view text, std::string& normalised) {
  normalised.clear();
  for (int i = 0; i < 4; ++i) {
    std::size_t dot = i < 3 ? text.find('.') : text.size();
    if (dot == std::string_view::npos) return false;
    long octet = number(text.substr(0, dot), 255);
    if (octet < 0) return false;
    if (i) normalised += '.';
    normalised += std::to_string(octet);
    text.remove_prefix(i < 3 ? dot + 1 : dot);
  }
  return true;
}

constexpr struct {
  Fact fact;
  const char* name;
} kFacts[] = {{kFactType, "type"}, {kFactSize, "size"}, {kFactModify, "modify"}, {kFactPerm, "perm"},
              {kFactUnique, "unique"}};

}  // namespace

ExtendedPort parseExtendedPort(std::string_view argument) {
  ExtendedPort out;
  if (argument.size() < 2) return out;
  const char delimiter = argument[0];
  // RFC 2428: any printable character but a digit may delimit.
  if (delimiter < 33 || delimiter > 126 || std::isdigit(static_cast<unsigned char>(delimiter))) return out;
  std::string_view fields[3];
  std::string_view rest = argument.substr(1);
  for (auto& field : fields) {
    std::size_t end = rest.find(delimiter);
    if (end == std::string_view::npos) return out;
    field = rest.substr(0, end);
    rest.remove_prefix(end + 1);
  }
  if (!rest.empty()) return out;
  long protocol = number(fields[0], 2);
  if (protocol == 2) {
    out.outcome = ExtendedPort::Outcome::UnsupportedProtocol;
    return out;
  }
  if (protocol != 1) {
    // A protocol family nobody speaks is unsupported; junk is malformed.
    if (number(fields[0], 1000000) > 0) out.outcome = ExtendedPort::Outcome::UnsupportedProtocol;
    return out;
  }
  long port = number(fields[2], 65535);
  if (port <= 0 || !dottedQuad(fields[1], out.address)) return out;
  out.port = static_cast<int>(port);
  out.outcome = ExtendedPort::Outcome::Ok;
  return out;
}

PassiveRequest parsePassiveRequest(std::string_view argument) {
  if (argument.empty() || argument == "1") return PassiveRequest::Ipv4;
  if (sameWord(argument, "ALL")) return PassiveRequest::All;
  if (number(argument, 1000000) > 0) return PassiveRequest::UnsupportedProtocol;
  return PassiveRequest::Malformed;
}

unsigned parseFactList(std::string_view list) {
  unsigned selected = 0;
  while (!list.empty()) {
    std::size_t end = list.find(';');
    std::string_view name = list.substr(0, end);
    for (const auto& f : kFacts)
      if (sameWord(name, f.name)) selected |= f.fact;
    if (end == std::string_view::npos) break;
    list.remove_prefix(end + 1);
  }
  return selected;
}

std::string factFeatureText(unsigned selected) {
  std::string text;
  for (const auto& f : kFacts) {
    text += f.name;
    if (selected & f.fact) text += '*';
    text += ';';
  }
  return text;
}

std::string factSelectionText(unsigned selected) {
  std::string text;
  for (const auto& f : kFacts)
    if (selected & f.fact) text += std::string(f.name) + ';';
  return text;
}

std::string formatFacts(const EntryFacts& entry, unsigned selected) {
  std::string text;
  if (selected & kFactType) text += entry.directory ? "type=dir;" : "type=file;";
  if (selected & kFactSize) text += "size=" + std::to_string(entry.size) + ';';
  if (selected & kFactModify) {
    std::tm tm{};
    gmtime_r(&entry.modified, &tm);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04d%02d%02d%02d%02d%02d", 1900 + tm.tm_year, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    text += std::string("modify=") + stamp + ';';
  }
  if (selected & kFactPerm) text += "perm=" + entry.perm + ';';
  if (selected & kFactUnique) text += "unique=" + std::to_string(entry.unique) + ';';
  return text;
}

}  // namespace kestrel::ftp
