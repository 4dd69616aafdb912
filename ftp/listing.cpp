// What the client is told about the tree and the session: LIST and NLST over
// the data connection, STAT, HELP, SYST, and the parameter commands TYPE,
// MODE and STRU, which are reported but never change the bytes moved.
#include <cctype>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "ftp/data_socket.h"
#include "ftp/extensions.h"
#include "ftp/session.h"
#include "platform/settings.h"
#include "store/db/database.h"
#include "store/listing_rows.h"
#include "store/queries.h"
#include "store/records.h"
#include "store/tree.h"

namespace kestrel::ftp {

namespace {

constexpr char kServerName[] = "Kestrel FTP server";
constexpr std::size_t kListingChunk = 16 * 1024;

// Fixed English names: listings are read by programs, whatever the locale.
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr const char* kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

struct HelpEntry {
  const char* key;
  const char* syntax;
};

constexpr HelpEntry kHelpTable[] = {
    {"USER", "USER <sp> username   (enter login name)"},
    {"PORT", "PORT <sp> h1,h2,h3,h4,p1,p2   (enter data port)"},
    {"STOR", "STOR <sp> file-name   (file to upload)"},
    {"MSAM", "MSAM   (mail send; unimplemented.)"},
    {"RNTO", "RNTO <sp> file-name   (rename to)"},
    {"NLST", "NLST [ <sp> path-name ]  (list of names only)"},
    {"MKD", "MKD <sp> path-name   (make directory)"},
    {"CDUP", "CDUP   (change to parent directory)"},
    {"PASS", "PASS <sp> password"},
    {"PASV", "PASV (set server in passive mode)"},
    {"APPE", "APPE <sp> file-name   (file to append to)"},
    {"MRSQ", "MRSQ   (mail recipient scheme question; unimplemented)"},
    {"ABOR", "ABOR   (abort current operation)"},
    {"XMKD", "XMKD <sp> path-name"},
    {"XCUP", "XCUP   (change to parent directory)"},
    {"ACCT", "ACCT   (specify account; unimplemented.)"},
    {"TYPE", "TYPE <sp> [ A | E | I | L ]  (file transfer type)"},
    {"MLFL", "MLFL   (mail file; unimplemented)"},
    {"MRCP", "MRCP   (mail recipient; unimplemented)"},
    {"DELE", "DELE <sp> file-name  (delete file)"},
    {"SYST", "SYST (get type of operating system)"},
    {"RMD", "RMD <sp> path-name  (remove directory)"},
    {"STOU", "STOU <sp> file-name"},
    {"SMNT", "SMNT   (structure mount; unimplemented)"},
    {"STRU", "STRU   (specify file structure)"},
    {"MAIL", "MAIL   (mail to user; unimplemented)"},
    {"ALLO", "ALLO   (allocate storage)"},
    {"CWD", "CWD [ <sp> directory-name ]  (change working directory)"},
    {"STAT", "STAT [ <sp> path-name ]   (system/connect status or path list)"},
    {"XRMD", "XRMD <sp> path-name"},
    {"SIZE", "SIZE <sp> path-name"},
    {"REIN", "REIN   (reinitialize server state; unimplemented)"},
    {"MODE", "MODE <sp> [S | B | C ] (specify transfer mode)"},
    {"MSND", "MSND   (mail send to terminal; unimplemented)"},
    {"REST", "REST   (restart)"},
    {"XCWD", "XCWD [ <sp> directory-name ]"},
    {"HELP", "HELP [ <sp> <string> ]   (get command help)"},
    {"PWD", "PWD (return current directory)"},
    {"MDTM", "MDTM <sp> path-name"},
    {"QUIT", "QUIT    (terminate connection)"},
    {"RETR", "RETR <sp> file-name  (retrieve file)"},
    {"MSOM", "MSOM   (mail send to terminal or mailbox; unimplemented)"},
    {"RNFR", "RNFR <sp> file-name   (rename from)"},
    {"LIST", "LIST [ <sp> path-name ]   (list files)"},
    {"NOOP", "NOOP  (do nothing)"},
    {"XPWD", "XPWD   (return current directory)"},
    {"SITE ANON", "SITE ANON <sp> [ ALLOW | DENY ]"},
    {"SITE CHMOD", "SITE CHMOD <sp> mode <sp> file-name"},
    {"SITE CHGRP", "SITE CHGRP <sp> group <sp> file-name"},
    {"SITE CHOWN", "SITE CHOWN <sp> user <sp> file-name"},
    {"SITE WHO", "SITE WHO"},
    {"SITE MSG", "SITE MSG <sp> message    (send a message to the console)"},
    {"SITE UMSG", "SITE UMSG user <sp> message   (send message to specific user)"},
    {"SITE KICK", "SITE KICK <sp> user     (disconnect user)"},
    {"SITE HELP", "SITE HELP [ <sp> <string> ]  (help for site commands)"},
    {"SITE DENY", "SITE DENY <sp> [ USER | GROUP ] <sp> name  (deny access to user or group)"},
    {"SITE ALLOW", "SITE ALLOW <sp> [ USER | GROUP ] <sp> name  (allow access to user or group)"},
    {"SITE IDLE", "SITE IDLE [ <sp> secs ]   (set/show idle time before disconnect)"},
};
static_assert(std::size(kHelpTable) == 58);

constexpr const char* kHelpLines[] = {
    "   ABOR    ACCT*   ALLO    APPE*   CDUP    CWD     DELE    HELP \r\n",
    "   LIST    MAIL*   MDTM*   MKD     MLFL*   MODE    MRCP*   MRSQ*\r\n",
    "   MSAM*   MSND*   MSOM*   NLST    NOOP    PASS    PASV    PORT \r\n",
    "   PWD     QUIT    REIN*   REST*   RETR    RMD     RNFR    RNTO \r\n",
    "   SIZE*   SITE    STAT    STOU*   SMNT*   STOR    STRU    SYST \r\n",
    "   TYPE    USER    XCUP    XCWD    XMKD    XPWD    XRMD \r\n",
};

std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

bool sameText(std::string_view a, std::string_view b) { return upper(a) == upper(b); }

// The C library's asctime text without its line end: 24 characters.
std::string asctimeText(std::time_t when) {
  std::tm tm{};
  localtime_r(&when, &tm);
  char text[64];
  std::snprintf(text, sizeof text, "%.3s %.3s%3d %.2d:%.2d:%.2d %d", kWeekdays[tm.tm_wday % 7],
                kMonths[tm.tm_mon % 12], tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, 1900 + tm.tm_year);
  return text;
}

// Sets the pending message aside for a multi-line reply and puts it back
// afterwards, so that it follows the last line; messages that arrive in
// between are kept after it.
class PendingAside {
 public:
  explicit PendingAside(CUserSocket& session) : session_(session), saved_(session.takePendingMessage()) {}
  ~PendingAside() { restore(); }
  void restore() {
    if (restored_) return;
    restored_ = true;
    session_.putBackPendingMessage(saved_);
  }
  PendingAside(const PendingAside&) = delete;
  PendingAside& operator=(const PendingAside&) = delete;

 private:
  CUserSocket& session_;
  std::string saved_;
  bool restored_ = false;
};

}  // namespace

std::string CUserSocket::listingLine(const store::DirectoryRecord& row, bool statForm) const {
  std::string line;
  ListingLines(std::time(nullptr)).append(line, store::listingEntry(row), row.name, statForm);
  return line;
}

// The rows are read from the store when the job is given, so that a database
// failure surfaces in the command that asked for it; the lines are made as
// the connection takes them.
void DataSocket::startListing(std::int64_t target, ListFormat format) {
  job_ = format == ListFormat::Names ? DataJob::NameListing : DataJob::LongListing;
  target_ = target;
  if (target != 0) {
    store::Database& db = session_.database();
    std::optional<store::FileRecord> self = session_.directoryRow(target);
    // Listing a link lists what it stands for.
    if (self && self->link != 0) self = store::fileById(db, self->link);
    if (self) {
      if (!self->directory) {
        if (auto entry = store::directoryEntry(db, self->id))
          output_.push(format == ListFormat::Facts ? session_.listingEntry(*entry, format)
                                                   : session_.listingLine(*entry, false));
      } else if (store::permits(session_.principal(), *self, store::Access::Read)) {
        if (format == ListFormat::Facts) {
          // A machine listing's perm fact tests each entry's owner and group,
          // which the compact rows leave out: it reads the full rows.
          std::string chunk;
          for (const store::DirectoryRecord& entry : store::directoryEntries(db, self->id)) {
            chunk += session_.listingEntry(entry, format);
            if (chunk.size() >= kListingChunk) output_.push(std::exchange(chunk, {}));
          }
          if (!chunk.empty()) output_.push(std::move(chunk));
        } else {
          listingDirectory_ = self->id;
          listing_ = store::listingRows(db, self->id);
          listingNext_ = 0;
          lines_ = std::make_unique<ListingLines>(std::time(nullptr));
        }
      }
    }
  }
  outputDone_ = true;
  runJob();
}

bool DataSocket::refillListing() {
  if (!output_.empty() || !lines_) return true;
  if (listingNext_ >= listing_.size() && listing_.hasMore()) {
    try {
      store::ListingKey after = listing_.last();
      listing_ = store::listingRows(session_.database(), listingDirectory_, &after);
      listingNext_ = 0;
    } catch (const store::DbError& error) {
      listing_ = {};
      lines_.reset();
      failOnDatabase(error);
      return false;
    }
  }
  if (listingNext_ >= listing_.size()) {
    listing_ = {};
    lines_.reset();
    return true;
  }
  // Lines travel in buffers of several kilobytes: one send per line would
  // cost a system call each in a large directory.
  std::string chunk;
  chunk.reserve(kListingChunk + 512);
  const bool longFormat = job_ == DataJob::LongListing;
  while (listingNext_ < listing_.size() && chunk.size() < kListingChunk) {
    const store::ListingEntry& entry = listing_[listingNext_++];
    if (longFormat) {
      lines_->append(chunk, entry, listing_.name(entry));
    } else {
      chunk.append(listing_.name(entry));
      chunk.append("\r\n");
    }
  }
  output_.push(std::move(chunk));
  return true;
}

void CUserSocket::cmdList(const std::string&) {
  data_.listTarget = currentId();
  data_.listFormat = ListFormat::Long;
  openDataConnection(&CUserSocket::listOperation);
}

void CUserSocket::cmdListPath(const std::string& argument) {
  data_.listTarget = resolvePath(argument);
  data_.listFormat = ListFormat::Long;
  openDataConnection(&CUserSocket::listOperation);
}

void CUserSocket::cmdNlst(const std::string&) {
  data_.listTarget = currentId();
  data_.listFormat = ListFormat::Names;
  openDataConnection(&CUserSocket::listOperation);
}

void CUserSocket::cmdNlstPath(const std::string& argument) {
  data_.listTarget = resolvePath(argument);
  data_.listFormat = ListFormat::Names;
  openDataConnection(&CUserSocket::listOperation);
}

void CUserSocket::listOperation() {
  reply("%s", kOpeningDataConnection);
  data_.busy = true;
  data_.socket()->startListing(data_.listTarget, data_.listFormat);
}

void CUserSocket::beginListing(std::int64_t target, ListFormat format) {
  data_.listTarget = target;
  data_.listFormat = format;
  openDataConnection(&CUserSocket::listOperation);
}

void CUserSocket::cmdStatPath(const std::string& argument) {
  const char* arg = argument.c_str();
  {
    PendingAside aside(*this);
    reply("211-status of %s:\n", arg);
    std::int64_t id = resolvePath(argument);
    store::Database& db = database();
    std::optional<store::DirectoryRecord> row;
    if (id != 0) {
      row = store::directoryEntry(db, id);
      if (row && row->link != 0) row = store::directoryEntry(db, row->link);
    }
    if (!row) {
      reply("%s: No such file or directory\n", arg);
    } else if (row->directory) {
      for (const store::DirectoryRecord& entry : store::directoryEntries(db, row->id))
        reply("%s", listingLine(entry, true).c_str());
    } else {
      reply("%s", listingLine(*row, true).c_str());
    }
  }
  reply("211 End of Status\n");
}

void CUserSocket::cmdStat(const std::string&) {
  {
    PendingAside aside(*this);
    reply("211-Server Status:\r\n");
    reply("   %s (Kestrel Version 3.00, %s)\r\n", kServerName, asctimeText(std::time(nullptr)).c_str());
    reply("   Connected to %s (%s)\r\n", hostName_.c_str(), peerAddress_.c_str());
    if (account_.loggedIn) reply("   USER: '%s'\r\n", own().displayName.c_str());
    else reply("   USER: Waiting for login\r\n");
    reply("   TYPE: %s, FORM: %s;    STRUcture: %s;    MODE: %s\r\n", data_.typeName.c_str(), "Non-Print",
          data_.structureName.c_str(), data_.modeName.c_str());
    if (data_.busy) reply("   Data connection open.\r\n");
    else reply("   No data connection.\r\n");
  }
  reply("211 End of status.\r\n");
}

void CUserSocket::cmdHelp(const std::string&) {
  {
    PendingAside aside(*this);
    reply("214-The following commands are recognized (* unimplemented).\r\n");
    for (const char* line : kHelpLines) reply("%s", line);
  }
  std::string mail = host().settings().read(settings::kMail);
  reply("214 Direct bug reports and comments to %s.\r\n", mail.c_str());
}

void CUserSocket::cmdHelpTopic(const std::string& argument) {
  std::string topic = upper(argument);
  if (topic == "SITE") {
    {
      PendingAside aside(*this);
      reply("214-The following SITE commands are recognized (* unimplemented).\r\n"
            "   ALLOW   ANON    CHGRP   CHMOD   CHOWN   DENY\r\n"
            "   HELP    IDLE    KICK    MSG     UMSG    WHO \r\n");
    }
    std::string mail = host().settings().read(settings::kMail);
    reply("214 bug reports and comments to %s.\r\n", mail.c_str());
    return;
  }
  // The command table's own syntax first, then the extensions'.
  const char* syntax = nullptr;
  for (const HelpEntry& entry : kHelpTable) {
    if (topic == entry.key) {
      syntax = entry.syntax;
      break;
    }
  }
  if (!syntax) syntax = extensionSyntax(topic);
  if (syntax) {
    reply("214 Syntax: %s\r\n", syntax);
    return;
  }
  reply("502 Unknown command '%s'.\r\n", topic.c_str());
}

void CUserSocket::cmdSyst(const std::string&) {
  reply("215 UNIX Type: L8\r\n");
}

void CUserSocket::cmdType(const std::string& argument) {
  const char* arg = argument.c_str();
  if (sameText(argument, "A") || sameText(argument, "A N")) {
    data_.typeName = "ASCII";
    reply("200 TYPE set to 'A'.\r\n");
  } else if (sameText(argument, "A T") || sameText(argument, "A C")) {
    reply("504 Type form must be 'N'\r\n");
  } else if (sameText(argument, "E N") || sameText(argument, "E T") || sameText(argument, "E C")) {
    reply("504 Type EBCDIC not implemented.\r\n");
  } else if (sameText(argument, "I")) {
    data_.typeName = "Image";
    reply("200 TYPE set to 'I'.\r\n");
  } else if (sameText(argument, "L")) {
    data_.typeName = "Local";
    reply("200 TYPE set to 'L'.\r\n");
  } else if (argument.size() >= 2 && sameText(argument.substr(0, 2), "L ") && argument.substr(2) != "8") {
    reply("504 Byte size for 'L' must be 8.\r\n");
  } else {
    reply("500 'TYPE %s': Unknown command\r\n", arg);
  }
}

void CUserSocket::cmdMode(const std::string& argument) {
  const char* arg = argument.c_str();
  if (sameText(argument, "S")) data_.modeName = "Stream";
  else if (sameText(argument, "B")) data_.modeName = "Block";
  else if (sameText(argument, "C")) data_.modeName = "Compressed";
  else {
    reply("500 'MODE %s': Unknown command\r\n", arg);
    return;
  }
  reply("200 MODE '%s' ok.\r\n", arg);
}

void CUserSocket::cmdStru(const std::string& argument) {
  const char* arg = argument.c_str();
  if (sameText(argument, "F")) {
    data_.structureName = "File";
    reply("200 STRU '%s' ok.\r\n", arg);
  } else if (sameText(argument, "R") || sameText(argument, "P")) {
    reply("504 Unimplemented Structure type.\r\n");
  } else {
    reply("500 'STRU %s': Unknown command\r\n", arg);
  }
}

}  // namespace kestrel::ftp
