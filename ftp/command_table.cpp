#include "ftp/command_table.h"

#include <strings.h>

#include <cstring>

namespace kestrel::ftp {

namespace {

using S = CUserSocket;
constexpr Command kCommands[] = {
    {"ABOR", Match::Whole, &S::cmdAbor, Login::Required},
    {"ACCT", Match::Whole, nullptr},
    {"ALLO ", Match::Prefix, &S::cmdAllo, Login::Required},
    {"APPE", Match::Whole, nullptr},
    {"AUTH ", Match::Prefix, &S::cmdAuth},
    {"CCC", Match::Whole, &S::cmdCcc},
    {"CDUP", Match::Whole, &S::cmdCdup, Login::Required},
    {"CWD ", Match::Prefix, &S::cmdCwd, Login::Required},
    {"DELE ", Match::Prefix, &S::cmdDele, Login::Required},
    {"EPRT ", Match::Prefix, &S::cmdEprt},
    {"EPSV", Match::Whole, &S::cmdEpsv},
    {"EPSV ", Match::Prefix, &S::cmdEpsv},
    {"FEAT", Match::Whole, &S::cmdFeat},
    {"HELP", Match::Whole, &S::cmdHelp},
    {"HELP ", Match::Prefix, &S::cmdHelpTopic},
    {"LIST", Match::Whole, &S::cmdList, Login::Required, DataIdle::Required},
    {"LIST ", Match::Prefix, &S::cmdListPath, Login::Required, DataIdle::Required},
    {"MAIL", Match::Whole, nullptr},
    {"MDTM", Match::Whole, nullptr},
    {"MKD ", Match::Prefix, &S::cmdMkd, Login::Required},
    {"MLFL", Match::Whole, nullptr},
    {"MLSD", Match::Whole, &S::cmdMlsd, Login::Required, DataIdle::Required},
    {"MLSD ", Match::Prefix, &S::cmdMlsd, Login::Required, DataIdle::Required},
    {"MLST", Match::Whole, &S::cmdMlst, Login::Required},
    {"MLST ", Match::Prefix, &S::cmdMlst, Login::Required},
    {"MODE ", Match::Prefix, &S::cmdMode},
    {"MRCP", Match::Whole, nullptr},
    {"MRSQ", Match::Whole, nullptr},
    {"MSAM", Match::Whole, nullptr},
    {"MSND", Match::Whole, nullptr},
    {"MSOM", Match::Whole, nullptr},
    {"NLST ", Match::Prefix, &S::cmdNlstPath, Login::Required, DataIdle::Required},
    {"NLST", Match::Whole, &S::cmdNlst, Login::Required, DataIdle::Required},
    {"NOOP", Match::Whole, &S::cmdNoop},
    {"OPTS ", Match::Prefix, &S::cmdOpts},
    {"PASS ", Match::Prefix, &S::cmdPass},
    {"PASV", Match::Whole, &S::cmdPasv},
    {"PBSZ ", Match::Prefix, &S::cmdPbsz},
    {"PORT ", Match::Prefix, &S::cmdPort},
    {"PROT ", Match::Prefix, &S::cmdProt},
    {"PWD", Match::Whole, &S::cmdPwd, Login::Required},
    {"QUIT", Match::Whole, &S::cmdQuit},
    {"REIN", Match::Whole, nullptr},
    {"REST", Match::Whole, nullptr},
    {"RETR ", Match::Prefix, &S::cmdRetr, Login::Required, DataIdle::Required},
    {"RMD ", Match::Prefix, &S::cmdRmd, Login::Required},
    {"RNFR ", Match::Prefix, &S::cmdRnfr, Login::Required},
    {"RNTO ", Match::Prefix, &S::cmdRnto, Login::Required},
    {"SIZE", Match::Whole, nullptr},
    {"SITE ", Match::Prefix, &S::cmdSite},
    {"STAT", Match::Whole, &S::cmdStat},
    {"STAT ", Match::Prefix, &S::cmdStatPath, Login::Required},
    {"STOU", Match::Whole, nullptr},
    {"SMNT", Match::Whole, nullptr},
    {"STOR ", Match::Prefix, &S::cmdStor, Login::Required, DataIdle::Required},
    {"STRU ", Match::Prefix, &S::cmdStru},
    {"SYST", Match::Whole, &S::cmdSyst, Login::Required},
    {"TYPE ", Match::Prefix, &S::cmdType},
    {"USER ", Match::Prefix, &S::cmdUser},
    {"XCUP", Match::Whole, &S::cmdCdup, Login::Required},
    {"XCWD ", Match::Prefix, &S::cmdCwd, Login::Required},
    {"XMKD ", Match::Prefix, &S::cmdMkd, Login::Required},
    {"XPWD", Match::Whole, &S::cmdPwd, Login::Required},
    {"XRMD ", Match::Prefix, &S::cmdRmd, Login::Required},
    {"REST ", Match::Prefix, &S::cmdRest},
};

constexpr SiteCommand kSiteCommands[] = {
    {"IDLE", Match::Whole, &S::siteIdleQuery},
    {"IDLE ", Match::Prefix, &S::siteIdle, Login::Required},
    {"ANON ", Match::Prefix, &S::siteAnon, Login::Required, kRightAnon},
    // Anything else after ANON, a blank included, only asks.
    {"ANON", Match::Prefix, &S::siteAnonQuery},
    {"CHMOD ", Match::Prefix, &S::siteChmod, Login::Required, kRightChmod},
    {"CHGRP ", Match::Prefix, &S::siteChgrp, Login::Required, kRightChgrp},
    {"CHOWN ", Match::Prefix, &S::siteChown, Login::Required, kRightChown},
    {"WHO", Match::Prefix, &S::siteWho, Login::Required, kRightWho},
    {"MSG ", Match::Prefix, &S::siteMsg, Login::Required, kRightMsg},
    {"UMSG ", Match::Prefix, &S::siteUmsg, Login::Required, kRightUmsg},
    {"KICK ", Match::Prefix, &S::siteKick, Login::Required, kRightKick},
    {"DENY ", Match::Prefix, &S::siteDeny, Login::Required, kRightDeny},
    {"ALLOW ", Match::Prefix, &S::siteAllow, Login::Required, kRightAllow},
};

// The first entry of table that line selects, without regard to case.
template <class Entry, std::size_t N>
const Entry* firstMatch(const Entry (&table)[N], const std::string& line, std::string& argument) {
  for (const Entry& c : table) {
    std::size_t n = std::strlen(c.text);
    if (c.match == Match::Whole) {
      if (line.size() == n && ::strncasecmp(line.c_str(), c.text, n) == 0) {
        argument.clear();
        return &c;
      }
    } else if (line.size() >= n && ::strncasecmp(line.c_str(), c.text, n) == 0) {
      argument = line.substr(n);
      return &c;
    }
  }
  return nullptr;
}

}  // namespace

std::span<const Command> commandTable() { return kCommands; }

const Command* findCommand(const std::string& line, std::string& argument) {
  return firstMatch(kCommands, line, argument);
}

std::span<const SiteCommand> siteCommandTable() { return kSiteCommands; }

const SiteCommand* findSiteCommand(const std::string& argument, std::string& rest) {
  return firstMatch(kSiteCommands, argument, rest);
}

}  // namespace kestrel::ftp
