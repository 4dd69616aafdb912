// The session's side of data connections: PORT and PASV, ABOR, and opening,
// attaching and ending the connection a transfer or listing uses.
#include <cctype>
#include <memory>
#include <string>

#include "ftp/data_socket.h"
#include "ftp/session.h"
#include "platform/metrics.h"
#include "store/db/database.h"

namespace kestrel::ftp {

namespace {

// One number of a PORT argument: decimal digits into an 8-bit value, wrapping.
int portNumber(const std::string& text, std::size_t& pos) {
  unsigned value = 0;
  while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
    value = (value * 10 + static_cast<unsigned>(text[pos] - '0')) & 0xFF;
    ++pos;
  }
  return static_cast<int>(value);
}

}  // namespace

void CUserSocket::cmdPort(const std::string& argument) {
  if (data_.epsvAll) {
    reply("%s", kEpsvAllActive);
    return;
  }
  int n[6] = {};
  std::size_t pos = 0;
  for (int i = 0; i < 6; ++i) {
    n[i] = portNumber(argument, pos);
    if (i < 5 && pos < argument.size() && argument[pos] == ',') ++pos;
  }
  std::string address = std::to_string(n[0]) + "." + std::to_string(n[1]) + "." + std::to_string(n[2]) +
                        "." + std::to_string(n[3]);
  int port = n[4] * 256 + n[5];
  // Data goes only to the client itself, never to a service port: anything
  // else would let a client use this server to reach third parties.
  if (pos != argument.size() || address != peerAddress_ || port < kLowestDataPort) {
    reply("500 'PORT %s': Unknown command\r\n", argument.c_str());
    return;
  }
  data_.setAddress(address, port);
  reply("200 PORT Command successful.\r\n");
}

int CUserSocket::listenPassive() {
  data_.closeListener();
  int octets[4] = {};
  if (!platform::parseDotted(localAddress_, octets)) return -1;
  int port = 0;
  platform::Result<platform::Fd> listener = platform::listenTcpEphemeral(localAddress_, 1, port);
  if (!listener.ok()) return -1;
  data_.setListener(std::make_unique<PasvSocket>(*this, std::move(listener.value)));
  return port;
}

void CUserSocket::cmdPasv(const std::string&) {
  if (data_.epsvAll) {
    reply("%s", kEpsvAllActive);
    return;
  }
  int port = listenPassive();
  int octets[4] = {};
  if (port < 0 || !platform::parseDotted(localAddress_, octets)) {
    reply("%s", kCantOpen);
    return;
  }
  reply("227 Entering Passive mode (%d,%d,%d,%d,%d,%d)\r\n", octets[0], octets[1], octets[2], octets[3],
        (port >> 8) & 0xFF, port & 0xFF);
}

void CUserSocket::cmdAbor(const std::string&) {
  if (data_.socket()) {
    metrics::transfer(metrics::TransferResult::kAborted);
    destroyDataSocket();
  }
  // An interrupted transfer keeps nothing open and leaves nothing behind:
  // the target of an upload stays as it was, and a transfer still waiting
  // for its passive connection will not start.
  discardUpload();
  data_.pendingOperation = nullptr;
  data_.uploadMode = UploadMode::None;
  data_.busy = false;
  reply("226 Data connection closed.\r\n");
}

void CUserSocket::destroyDataSocket() {
  data_.closeSocket();
  data_.busy = false;
  touch();
}

void CUserSocket::attachPassiveConnection(std::unique_ptr<DataSocket> socket) {
  data_.setSocket(std::move(socket));
  data_.closeListener();
  DataOperation operation = data_.pendingOperation;
  data_.pendingOperation = nullptr;
  if (!operation) return;
  // No command handler is on the stack here to report a database failure:
  // end the transfer with the local-error reply and tell the operator.
  try {
    (this->*operation)();
  } catch (const store::DbError& error) {
    transferFailedWith(kLocalError);
    host().postToMain(Message(Msg::ConsoleLine, nullptr, std::string("Database error: ") + error.what()));
  }
}

void CUserSocket::openDataConnection(DataOperation operation) {
  if (data_.listening()) {
    data_.pendingOperation = operation;
    // The client connects before it sends its command, as a rule, and its
    // connection's readiness event may not have been read yet.
    data_.listener()->acceptWaiting();
    return;
  }
  if (!data_.socket()) {
    platform::Result<platform::Fd> fd = platform::connectTcp(localAddress_, {data_.address(), data_.port()});
    if (!fd.ok()) {
      reply("%s", kCantOpen);
      discardUpload();
      touch();
      return;
    }
    data_.setSocket(std::make_unique<DataSocket>(*this, std::move(fd.value), false));
  }
  try {
    (this->*operation)();
  } catch (const store::DbError&) {
    // Leave no half-started transfer behind; the dispatcher reports the error.
    data_.closeSocket();
    data_.busy = false;
    discardUpload();
    data_.uploadMode = UploadMode::None;
    throw;
  }
}

void CUserSocket::transferFinished() {
  notifyMonitor(Msg::TransferEnded, {});
  // The console's Activity cell empties when a transfer ends, not only when it fails.
  host().postToMain(Message(Msg::Activity, host().connectionKey()));
  const char* text = "226 Transfer Complete.  Data connection closed.\r\n";
  std::string failure;
  data_.closeSocket();  // closes the upload's file before it is put in place
  try {
    if (!finishUpload()) text = kLocalError;
  } catch (const store::DbError& error) {
    // The bytes are in place but their row is not: say so rather than 226.
    text = kLocalError;
    failure = std::string("Database error: ") + error.what();
  }
  data_.uploadMode = UploadMode::None;
  data_.busy = false;
  touch();
  discardUpload();
  metrics::transfer(text == kLocalError ? metrics::TransferResult::kFailed : metrics::TransferResult::kComplete);
  reply("%s", text);
  if (!failure.empty())
    host().postToMain(Message(Msg::ConsoleLine, nullptr, failure));
}

void CUserSocket::transferFailed() { transferFailedWith(kAborted); }

void CUserSocket::transferFailedWith(const char* replyText) {
  notifyMonitor(Msg::TransferEnded, {});
  host().postToMain(Message(Msg::Activity, host().connectionKey()));
  metrics::transfer(metrics::TransferResult::kFailed);
  // A failed upload adds no row, now or at the next transfer's end.
  data_.uploadMode = UploadMode::None;
  data_.busy = false;
  data_.closeSocket();
  touch();
  discardUpload();
  reply("%s", replyText);
}

}  // namespace kestrel::ftp
