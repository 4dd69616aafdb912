#include "ftp/session.h"

#include <cstdarg>

#include "ftp/command_table.h"
#include "ftp/data_socket.h"
#include "platform/metrics.h"
#include "platform/settings.h"
#include "store/activity_log.h"
#include "store/account_queries.h"
#include "store/counters.h"
#include "store/records.h"

namespace kestrel::ftp {

namespace {

std::string asctimeNow() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char text[64];
  // asctime form: the day of the month is padded with a blank, not a zero.
  std::strftime(text, sizeof text, "%a %b %e %H:%M:%S %Y", &tm);
  return text;
}

}  // namespace

CUserSocket::CUserSocket(SessionHost& host, platform::Fd socket, const SessionParams& params)
    : host_(host),
      shared_(*params.shared),
      control_(host, *this, std::move(socket), params.tls, params.peerAddress),
      data_(params.peerAddress, params.peerDataPort),
      domainId_(params.domainId),
      peerAddress_(params.peerAddress),
      hostName_(params.hostName),
      localAddress_(params.localAddress) {
  shared_.sessions.add(this);
  metrics::sessionOpened();

  std::string domainName, motd;
  try {
    if (auto home = store::domainById(shared_.db, domainId_)) {
      domainName = home->name;
      motd = home->motd;
    }
  } catch (const store::DbError& e) {
    host_.postToMain({Msg::ConsoleLine, nullptr, std::string("Database error: ") + e.what(), true});
  }
  std::string greeting = "Kestrel Version 3.00,  " + asctimeNow() + " ready on " + domainName + ".\r\n" + motd;
  control_.queueBeforeStart(multiLine("220", greeting));

  idleLimit_ = host_.settings().read(settings::kTimeout);
  touch();
}

CUserSocket::~CUserSocket() {
  try {
    store::writeLog(database(), own().userId, own().logText, store::Action::Logout, 0);
    // The session's counts are in the database when it is gone.
    counters().flush();
  } catch (const store::DbError& e) {
    host_.postToMain({Msg::ConsoleLine, nullptr, std::string("Database error: ") + e.what(), true});
  }
  shared_.sessions.remove(this);
  metrics::sessionClosed();
  if (monitor_) monitor_->post({Msg::DetachMonitor, host_.connectionKey()});
  control_.flushOnClose();
  data_.closeSocket();
  data_.closeListener();
  discardUpload();
  if (own().userId != 0 && account_.loggedIn) shared_.userSessions.release(own().userId);
  // The control channel leaves the loop as the last member goes.
}

void CUserSocket::dispatch(const std::string& line) {
  if (monitor_) {
    notifyMonitor(Msg::Traffic, line);
    notifyMonitor(Msg::Traffic, "\r\n");
  }
  touch();
  commandLine_ = line;
  std::string argument;
  const Command* command = findCommand(line, argument);
  metrics::command(command ? command - commandTable().data() : -1);
  if (!command) {
    replyUnknown();
    return;
  }
  if (!command->handler) {
    cmdNotImplemented(line);
    return;
  }
  if (command->login == Login::Required && !requireLogin()) return;
  if (command->dataIdle == DataIdle::Required && data_.busy) {
    reply("%s", kDataConnectionBusy);
    return;
  }
  const std::uint64_t answeredBefore = control_.finalReplies();
  struct HeldReplies {
    ControlChannel& control;
    explicit HeldReplies(ControlChannel& c) : control(c) { control.hold(); }
    ~HeldReplies() { control.release(); }
  } held(control_);
  try {
    (this->*command->handler)(argument);
  } catch (const store::DbError& e) {
    // The client learns that the command failed; the operator learns why.
    // A command already answered keeps its one reply: a second would answer
    // the client's next command.
    if (control_.finalReplies() == answeredBefore) reply("%s", kLocalError);
    host_.postToMain({Msg::ConsoleLine, nullptr, std::string("Database error: ") + e.what(), true});
  }
}

void CUserSocket::reply(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = formatReply(format, args);
  va_end(args);

  std::string pending = takePendingMessage();
  std::string code;
  if (!pending.empty()) {
    // The last line of the reply becomes a continuation line; the message
    // follows with the same code.
    std::size_t from = text.size() >= 3 ? text.size() - 3 : 0;
    std::size_t lf = text.rfind('\n', from);
    std::size_t start = lf == std::string::npos ? 0 : lf + 1;
    code = text.substr(start, 3);
    if (text.size() > start + 3) text[start + 3] = '-';
  }
  if (monitor_) notifyMonitor(Msg::Traffic, text);
  control_.queue(std::move(text));
  if (!pending.empty()) {
    std::string message = multiLine(code, pending);
    control_.queue(message);
    if (monitor_) notifyMonitor(Msg::Traffic, message);
  }
}

void CUserSocket::rawSend(const std::string& text) {
  if (monitor_) notifyMonitor(Msg::Traffic, text);  // the spy sees every reply, multi-line ones too
  control_.queue(text);
}

void CUserSocket::idleCheck() {
  if (control_.handshaking()) return;  // bounded by its own deadline
  if (data_.socket() && data_.socket()->job() != DataJob::ReceiveFile && data_.socket()->job() != DataJob::None) return;
  if (std::time(nullptr) > lastActivity_ + idleLimit_) {
    reply("421 Timeout (%d seconds): closing connection.\r\n", idleLimit_);
    endSession();
  }
}

void CUserSocket::setMonitor(std::shared_ptr<Monitor> monitor) { monitor_ = std::move(monitor); }
void CUserSocket::clearMonitor() { monitor_.reset(); }

void CUserSocket::addConsoleMessage(const std::string& text) { appendPendingMessage(text + "\r\n"); }

void CUserSocket::notifyMonitor(Msg id, const std::string& text, std::int64_t value) {
  if (!monitor_) return;
  monitor_->send({id, host_.connectionKey(), text, true, value});
}

store::Database& CUserSocket::database() const { return shared_.db; }

store::CounterBatch& CUserSocket::counters() const { return shared_.counters; }

bool CUserSocket::requireLogin() {
  if (account_.loggedIn) return true;
  reply("%s", kNotLoggedIn);
  return false;
}

void CUserSocket::cmdNoop(const std::string&) { reply("200 NOOP command successful.\r\n"); }

void CUserSocket::cmdAllo(const std::string&) {
  reply("200 ALLO command ignored\r\n");
}

void CUserSocket::cmdQuit(const std::string&) {
  // A client that has read the 221 finds its counts in the database.
  try {
    counters().flush();
  } catch (const store::DbError&) {
    // Still pending: the writer tries again each second.
  }
  reply("221 Goodbye.\r\n");
  endSession();
}

void CUserSocket::cmdNotImplemented(const std::string& line) { reply("502 %s not implemented.\r\n", line.c_str()); }

void CUserSocket::onLineTooLong() { reply("500 Buffer overflow\r\n"); }

void CUserSocket::replyUnknown() { reply("500 '%s': Unknown command\r\n", commandLine_.c_str()); }

}  // namespace kestrel::ftp
