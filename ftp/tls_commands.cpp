// Explicit FTPS (RFC 4217): AUTH turns the control connection into TLS, PBSZ
// and PROT decide whether data connections follow, CCC is refused. Without a
// certificate none of these exist and each answers as an unknown command.
#include <algorithm>
#include <cctype>
#include <chrono>

#include "ftp/session.h"
#include "platform/settings.h"
#include "platform/tls.h"

namespace kestrel::ftp {

namespace {

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

const platform::TlsContext* CUserSocket::dataProtection() const {
  return data_.protect && tlsActive() ? control_.tlsContext() : nullptr;
}

void CUserSocket::cmdAuth(const std::string& argument) {
  if (!control_.tlsContext()) {
    replyUnknown();
    return;
  }
  std::string mechanism = upper(argument);
  if (mechanism != "TLS" && mechanism != "SSL" && mechanism != "TLS-C") {
    reply("504 AUTH %s not supported.\r\n", argument.c_str());
    return;
  }
  if (control_.tlsInUse()) {
    reply("503 TLS is already in use.\r\n");
    return;
  }
  if (account_.loggedIn) {
    // The login it would protect has already crossed in clear text.
    reply("503 AUTH must come before login.\r\n");
    return;
  }
  account_.userName.clear();  // a USER given before AUTH is given again after it
  reply("234 AUTH %s successful.\r\n", mechanism.c_str());
  // The handshake starts once the reader has stopped and the 234 is out.
  // Never longer than the idle limit: a stalled handshake is an idle client.
  control_.upgradeAfterReply(std::chrono::milliseconds(std::max(1, idleLimit_) * 1000LL));
}

void CUserSocket::cmdPbsz(const std::string& argument) {
  if (!control_.tlsContext()) {
    replyUnknown();
    return;
  }
  if (!tlsActive()) {
    reply("503 PBSZ needs TLS: send AUTH TLS first.\r\n");
    return;
  }
  bool digits = !argument.empty() && argument.size() <= 10;
  for (char c : argument) digits = digits && std::isdigit(static_cast<unsigned char>(c));
  if (!digits) {
    reply("%s", kBadArgument);
    return;
  }
  // TLS frames its own records: the only buffer size is 0.
  data_.bufferSizeSet = true;
  reply("200 PBSZ=0\r\n");
}

void CUserSocket::cmdProt(const std::string& argument) {
  if (!control_.tlsContext()) {
    replyUnknown();
    return;
  }
  if (!tlsActive() || !data_.bufferSizeSet) {
    reply("503 PROT needs TLS and PBSZ first.\r\n");
    return;
  }
  std::string level = upper(argument);
  if (level == "P" || level == "C") {
    data_.protect = level == "P";
    reply("200 Protection level set to %s.\r\n", level.c_str());
  } else if (level == "S" || level == "E") {
    reply("536 Protection level %s not supported.\r\n", level.c_str());
  } else {
    reply("504 Unknown protection level.\r\n");
  }
}

void CUserSocket::cmdCcc(const std::string&) {
  if (!control_.tlsContext()) {
    replyUnknown();
    return;
  }
  // Commands in clear text after login would let anyone on the path take
  // the session over.
  reply("534 CCC refused: the control connection stays encrypted.\r\n");
}

}  // namespace kestrel::ftp
