// Explicit FTPS (RFC 4217): AUTH turns the control connection into TLS, PBSZ
// and PROT decide whether data connections follow, CCC is refused. Without a
// certificate none of these exist and each answers as an unknown command.
#include <sys/epoll.h>

#include <algorithm>
#include <cctype>
#include <chrono>

#include "ftp/session.h"
#include "platform/settings.h"
#include "platform/tls.h"

namespace kestrel::ftp {

namespace {

// A client that stops in the middle of the handshake is dropped after this.
constexpr std::chrono::milliseconds kHandshakeLimit{15000};

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

bool CUserSocket::tlsActive() const { return tls_ && tls_->established(); }

bool CUserSocket::handshaking() const { return tls_ && !tls_->established(); }

const platform::TlsContext* CUserSocket::dataProtection() const {
  return protectData_ && tlsActive() ? tlsContext_.get() : nullptr;
}

platform::IoResult CUserSocket::sendControl(const char* data, std::size_t size) {
  if (tls_) return tls_->send(data, size);
  return platform::sendSome(socket_.get(), data, size);
}

platform::IoResult CUserSocket::receiveControl(char* data, std::size_t size) {
  if (tls_) return tls_->receive(data, size);
  return platform::receiveSome(socket_.get(), data, size);
}

void CUserSocket::beginTls() {
  tlsStarting_ = false;
  tls_ = std::make_unique<platform::TlsStream>(*tlsContext_, socket_.get());
  if (!tls_->valid()) {
    endSession();
    return;
  }
  // Never longer than the idle limit: a stalled handshake is an idle client.
  const auto limit = std::min(kHandshakeLimit, std::chrono::milliseconds(std::max(1, idleLimit_) * 1000LL));
  handshakeTimer_ = host_.loop().addTimer(limit, [this] {
    host_.loop().cancelTimer(handshakeTimer_);
    handshakeTimer_ = 0;
    host_.postToMain({Msg::ConsoleLine, nullptr, "TLS handshake with " + peerAddress_ + " timed out.", true});
    endSession();
  });
  continueHandshake();
}

void CUserSocket::continueHandshake() {
  switch (tls_->handshake()) {
    case platform::TlsStream::Handshake::Again: {
      const bool write = tls_->wait() == platform::TlsWait::Write;
      host_.loop().modify(socket_.get(), write ? EPOLLOUT : EPOLLIN | EPOLLRDHUP);
      wantWrite_ = write;
      wantRead_ = !write;
      return;
    }
    case platform::TlsStream::Handshake::Failed:
      // Garbage or a refused client: nothing more can be said in either form.
      host_.postToMain(
          {Msg::ConsoleLine, nullptr, "TLS handshake with " + peerAddress_ + " failed: " + tls_->error(), true});
      endSession();
      return;
    case platform::TlsStream::Handshake::Done:
      break;
  }
  host_.loop().cancelTimer(handshakeTimer_);
  handshakeTimer_ = 0;
  touch();
  wantWrite_ = !replies_.empty();
  wantRead_ = true;
  host_.loop().modify(socket_.get(), EPOLLIN | EPOLLRDHUP | (wantWrite_ ? EPOLLOUT : 0u));
  // A command may have come with the handshake's last flight.
  readCommands();
}

void CUserSocket::cmdAuth(const std::string& argument) {
  if (!tlsContext_) {
    replyUnknown();
    return;
  }
  std::string mechanism = upper(argument);
  if (mechanism != "TLS" && mechanism != "SSL" && mechanism != "TLS-C") {
    reply("504 AUTH %s not supported.\r\n", argument.c_str());
    return;
  }
  if (tls_) {
    reply("503 TLS is already in use.\r\n");
    return;
  }
  if (loggedIn_) {
    // The login it would protect has already crossed in clear text.
    reply("503 AUTH must come before login.\r\n");
    return;
  }
  userName_.clear();  // a USER given before AUTH is given again after it
  reply("234 AUTH %s successful.\r\n", mechanism.c_str());
  // The handshake starts once the reader has stopped and the 234 is out.
  tlsStarting_ = true;
}

void CUserSocket::cmdPbsz(const std::string& argument) {
  if (!tlsContext_) {
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
    reply("501 Syntax error in parameters or arguments.\r\n");
    return;
  }
  // TLS frames its own records: the only buffer size is 0.
  bufferSizeSet_ = true;
  reply("200 PBSZ=0\r\n");
}

void CUserSocket::cmdProt(const std::string& argument) {
  if (!tlsContext_) {
    replyUnknown();
    return;
  }
  if (!tlsActive() || !bufferSizeSet_) {
    reply("503 PROT needs TLS and PBSZ first.\r\n");
    return;
  }
  std::string level = upper(argument);
  if (level == "P" || level == "C") {
    protectData_ = level == "P";
    reply("200 Protection level set to %s.\r\n", level.c_str());
  } else if (level == "S" || level == "E") {
    reply("536 Protection level %s not supported.\r\n", level.c_str());
  } else {
    reply("504 Unknown protection level.\r\n");
  }
}

void CUserSocket::cmdCcc(const std::string&) {
  if (!tlsContext_) {
    replyUnknown();
    return;
  }
  // Commands in clear text after login would let anyone on the path take
  // the session over.
  reply("534 CCC refused: the control connection stays encrypted.\r\n");
}

}  // namespace kestrel::ftp
