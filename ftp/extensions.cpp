// The extensions today's clients ask for: FEAT and OPTS (RFC 2389), EPSV and
// EPRT (RFC 2428, IPv4 only), MLST and MLSD (RFC 3659).
#include "ftp/extensions.h"

#include <cctype>
#include <optional>

#include "ftp/data_socket.h"
#include "ftp/session.h"
#include "store/db/database.h"
#include "store/queries.h"
#include "store/records.h"

namespace kestrel::ftp {

namespace {

constexpr char kNoProtocol[] = "522 Network protocol not supported, use (1)\r\n";

struct SyntaxEntry {
  const char* key;
  const char* syntax;
};

constexpr SyntaxEntry kExtensionSyntax[] = {
    {"AUTH", "AUTH <sp> TLS   (start TLS on the control connection)"},
    {"PBSZ", "PBSZ <sp> 0   (protection buffer size)"},
    {"PROT", "PROT <sp> [ C | P ]   (data connection protection)"},
    {"CCC", "CCC   (clear command channel; refused)"},
    {"FEAT", "FEAT   (list extensions offered)"},
    {"OPTS", "OPTS <sp> command [ <sp> options ]   (command options)"},
    {"EPSV", "EPSV [ <sp> 1 | ALL ]   (extended passive mode)"},
    {"EPRT", "EPRT <sp> |1|address|port|   (extended data port)"},
    {"MLSD", "MLSD [ <sp> path-name ]   (machine listing of a directory)"},
    {"MLST", "MLST [ <sp> path-name ]   (machine facts of one entry)"},
};

bool startsWithWord(const std::string& text, const char* word, std::string& rest) {
  std::size_t n = std::char_traits<char>::length(word);
  if (text.size() < n) return false;
  for (std::size_t i = 0; i < n; ++i)
    if (std::toupper(static_cast<unsigned char>(text[i])) != word[i]) return false;
  if (text.size() > n && text[n] != ' ') return false;
  rest = text.size() > n ? text.substr(n + 1) : std::string();
  return true;
}

// The row a path stands for, a link replaced by what it stands for.
std::optional<store::DirectoryRecord> readEntry(store::Database& db, std::int64_t id) {
  if (id == 0) return std::nullopt;
  std::optional<store::DirectoryRecord> row = store::directoryEntry(db, id);
  if (row && row->link != 0) row = store::directoryEntry(db, row->link);
  return row;
}

}  // namespace

const char* extensionSyntax(std::string_view topic) {
  for (const SyntaxEntry& entry : kExtensionSyntax)
    if (topic == entry.key) return entry.syntax;
  return nullptr;
}

void CUserSocket::cmdFeat(const std::string&) {
  std::string body = "211-Features:\r\n";
  if (control_.tlsContext()) body += " AUTH TLS\r\n PBSZ\r\n PROT\r\n";
  body += " UTF8\r\n EPSV\r\n EPRT\r\n";
  body += " MLST " + factFeatureText(mlstFacts_) + "\r\n";
  body += " REST STREAM\r\n";
  rawSend(body);
  reply("211 End\r\n");
}

void CUserSocket::cmdOpts(const std::string& argument) {
  std::string rest;
  if (startsWithWord(argument, "UTF8", rest)) {
    // Names are always UTF-8; ON only confirms it.
    std::string value = rest;
    for (char& c : value) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (value == "ON") reply("200 UTF8 set to on.\r\n");
    else reply("501 UTF8 stays on.\r\n");
  } else if (startsWithWord(argument, "MLST", rest)) {
    mlstFacts_ = parseFactList(rest);
    std::string selected = factSelectionText(mlstFacts_);
    reply("200 MLST OPTS %s\r\n", selected.c_str());
  } else {
    reply("501 Option not understood.\r\n");
  }
}

void CUserSocket::cmdEpsv(const std::string& argument) {
  switch (parsePassiveRequest(argument)) {
    case PassiveRequest::All:
      data_.epsvAll = true;
      reply("200 EPSV ALL ok.\r\n");
      return;
    case PassiveRequest::UnsupportedProtocol:
      reply("%s", kNoProtocol);
      return;
    case PassiveRequest::Malformed:
      reply("%s", kBadArgument);
      return;
    case PassiveRequest::Ipv4:
      break;
  }
  int port = listenPassive();
  if (port < 0) {
    reply("%s", kCantOpen);
    return;
  }
  reply("229 Entering Extended Passive Mode (|||%d|)\r\n", port);
}

void CUserSocket::cmdEprt(const std::string& argument) {
  if (data_.epsvAll) {
    reply("%s", kEpsvAllActive);
    return;
  }
  ExtendedPort request = parseExtendedPort(argument);
  if (request.outcome == ExtendedPort::Outcome::UnsupportedProtocol) {
    reply("%s", kNoProtocol);
    return;
  }
  if (request.outcome != ExtendedPort::Outcome::Ok) {
    reply("%s", kBadArgument);
    return;
  }
  // As with PORT: data goes only to the client itself, never to a service port.
  if (request.address != peerAddress_ || request.port < kLowestDataPort) {
    reply("504 EPRT refused: only your own address and ports from 1024 up.\r\n");
    return;
  }
  data_.setAddress(request.address, request.port);
  reply("200 EPRT command successful.\r\n");
}

std::string CUserSocket::machineFacts(const store::DirectoryRecord& row) const {
  using store::Access;
  const store::Principal who = principal();
  const bool write = row.parent != 0 && store::permits(who, row, Access::Write);
  std::string perm;
  // Each letter is granted only when the command it stands for would pass
  // the same test.
  if (row.directory || row.link != 0) {
    if (write) perm += "cm";
    if (store::permits(who, row, Access::Execute)) perm += 'e';
    if (store::permits(who, row, Access::Read)) perm += 'l';
    if (write) perm += 'd';
  } else {
    if (store::permits(who, row, Access::Read)) perm += 'r';
    if (write && account_.mayOverwrite) perm += 'w';
    if (write && account_.mayDelete) perm += 'd';
  }
  if (write && account_.mayRename) perm += 'f';
  EntryFacts facts{row.directory || row.link != 0, row.size, static_cast<std::time_t>(row.modified), perm, row.id};
  return formatFacts(facts, mlstFacts_);
}

std::string CUserSocket::listingEntry(const store::DirectoryRecord& row, ListFormat format) const {
  switch (format) {
    case ListFormat::Names:
      return row.name + "\r\n";
    case ListFormat::Long:
      return listingLine(row, false);
    case ListFormat::Facts:
      break;
  }
  return machineFacts(row) + ' ' + row.name + "\r\n";
}

void CUserSocket::cmdMlsd(const std::string& argument) {
  std::int64_t id = argument.empty() ? currentId() : resolvePath(argument);
  std::optional<store::DirectoryRecord> row = readEntry(database(), id);
  if (!row) {
    reply("%s", kNoSuchDirectory);
    return;
  }
  if (!row->directory) {
    reply("501 Not a directory.\r\n");
    return;
  }
  if (!store::permits(principal(), *row, store::Access::Read)) {
    reply("550 Access denied.\r\n");
    return;
  }
  beginListing(id, ListFormat::Facts);
}

void CUserSocket::cmdMlst(const std::string& argument) {
  std::vector<std::string> shown;
  std::int64_t id = argument.empty() ? currentId() : resolvePath(argument, &shown);
  if (argument.empty()) shown = cwd_.shownNames();
  std::optional<store::DirectoryRecord> row = readEntry(database(), id);
  if (!row) {
    reply("%s", kNoSuchEntry);
    return;
  }
  std::string path;
  for (const std::string& level : shown) path += "/" + level;
  if (path.empty()) path = "/";
  rawSend("250-Listing " + path + "\r\n " + machineFacts(*row) + ' ' + path + "\r\n");
  reply("250 End\r\n");
}

}  // namespace kestrel::ftp
