#include "ftp/command_table.h"

#include <strings.h>

#include <cstring>

namespace kestrel::ftp {

namespace {

using S = CUserSocket;
constexpr Command kCommands[] = {
    {"ABOR", Match::Whole, &S::cmdAbor},
    {"ACCT", Match::Whole, nullptr},
    {"ALLO ", Match::Prefix, &S::cmdAllo},
    {"APPE", Match::Whole, nullptr},
    {"AUTH ", Match::Prefix, &S::cmdAuth},
    {"CCC", Match::Whole, &S::cmdCcc},
    {"CDUP", Match::Whole, &S::cmdCdup},
    {"CWD ", Match::Prefix, &S::cmdCwd},
    {"DELE ", Match::Prefix, &S::cmdDele},
    {"EPRT ", Match::Prefix, &S::cmdEprt},
    {"EPSV", Match::Whole, &S::cmdEpsv},
    {"EPSV ", Match::Prefix, &S::cmdEpsv},
    {"FEAT", Match::Whole, &S::cmdFeat},
    {"HELP", Match::Whole, &S::cmdHelp},
    {"HELP ", Match::Prefix, &S::cmdHelpTopic},
    {"LIST", Match::Whole, &S::cmdList},
    {"LIST ", Match::Prefix, &S::cmdListPath},
    {"MAIL", Match::Whole, nullptr},
    {"MDTM", Match::Whole, nullptr},
    {"MKD ", Match::Prefix, &S::cmdMkd},
    {"MLFL", Match::Whole, nullptr},
    {"MLSD", Match::Whole, &S::cmdMlsd},
    {"MLSD ", Match::Prefix, &S::cmdMlsd},
    {"MLST", Match::Whole, &S::cmdMlst},
    {"MLST ", Match::Prefix, &S::cmdMlst},
    {"MODE ", Match::Prefix, &S::cmdMode},
    {"MRCP", Match::Whole, nullptr},
    {"MRSQ", Match::Whole, nullptr},
    {"MSAM", Match::Whole, nullptr},
    {"MSND", Match::Whole, nullptr},
    {"MSOM", Match::Whole, nullptr},
    {"NLST ", Match::Prefix, &S::cmdNlstPath},
    {"NLST", Match::Whole, &S::cmdNlst},
    {"NOOP", Match::Whole, &S::cmdNoop},
    {"OPTS ", Match::Prefix, &S::cmdOpts},
    {"PASS ", Match::Prefix, &S::cmdPass},
    {"PASV", Match::Whole, &S::cmdPasv},
    {"PBSZ ", Match::Prefix, &S::cmdPbsz},
    {"PORT ", Match::Prefix, &S::cmdPort},
    {"PROT ", Match::Prefix, &S::cmdProt},
    {"PWD", Match::Whole, &S::cmdPwd},
    {"QUIT", Match::Whole, &S::cmdQuit},
    {"REIN", Match::Whole, nullptr},
    {"REST", Match::Whole, nullptr},
    {"RETR ", Match::Prefix, &S::cmdRetr},
    {"RMD ", Match::Prefix, &S::cmdRmd},
    {"RNFR ", Match::Prefix, &S::cmdRnfr},
    {"RNTO ", Match::Prefix, &S::cmdRnto},
    {"SIZE", Match::Whole, nullptr},
    {"SITE ", Match::Prefix, &S::cmdSite},
    {"STAT", Match::Whole, &S::cmdStat},
    {"STAT ", Match::Prefix, &S::cmdStatPath},
    {"STOU", Match::Whole, nullptr},
    {"SMNT", Match::Whole, nullptr},
    {"STOR ", Match::Prefix, &S::cmdStor},
    {"STRU ", Match::Prefix, &S::cmdStru},
    {"SYST", Match::Whole, &S::cmdSyst},
    {"TYPE ", Match::Prefix, &S::cmdType},
    {"USER ", Match::Prefix, &S::cmdUser},
    {"XCUP", Match::Whole, &S::cmdCdup},
    {"XCWD ", Match::Prefix, &S::cmdCwd},
    {"XMKD ", Match::Prefix, &S::cmdMkd},
    {"XPWD", Match::Whole, &S::cmdPwd},
    {"XRMD ", Match::Prefix, &S::cmdRmd},
    {"REST ", Match::Prefix, &S::cmdRest},
};

}  // namespace

std::span<const Command> commandTable() { return kCommands; }

const Command* findCommand(const std::string& line, std::string& argument) {
  for (const Command& c : kCommands) {
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

}  // namespace kestrel::ftp
