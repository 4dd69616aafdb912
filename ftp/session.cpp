#include "ftp/session.h"

#include <sys/epoll.h>

#include <cstdarg>
#include <cstring>

#include "ftp/command_table.h"
#include "ftp/data_socket.h"
#include "ftp/session_registry.h"
#include "platform/metrics.h"
#include "platform/settings.h"
#include "platform/tls.h"
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

// Replies queued for a client that does not read them: past this the
// session stops reading its commands until the queue drains to half.
constexpr std::size_t kReplyQueueLimit = 256 * 1024;

constexpr unsigned char kIac = 255, kSb = 250, kSe = 240, kWill = 251, kDont = 254;

// A reply whose last line carries a 2xx to 5xx code ends its command.
bool isFinalReply(const std::string& text) {
  std::size_t end = text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0 ? text.size() - 2 : text.size();
  std::size_t lf = text.rfind('\n', end == 0 ? 0 : end - 1);
  std::size_t start = lf == std::string::npos ? 0 : lf + 1;
  if (end < start + 4 || text[start + 3] != ' ') return false;
  return text[start] >= '2' && text[start] <= '5';
}

}  // namespace

CUserSocket::CUserSocket(SessionHost& host, platform::Fd socket, const SessionParams& params)
    : host_(host),
      shared_(params.shared),
      socket_(std::move(socket)),
      domainId_(params.domainId),
      dataAddress_(params.peerAddress),
      dataPort_(params.peerDataPort),
      peerAddress_(params.peerAddress),
      hostName_(params.hostName),
      localAddress_(params.localAddress),
      tlsContext_(params.tls) {
  sessionRegistry().add(this);
  metrics::sessionOpened();

  std::string domainName, motd;
  try {
    if (shared_) {
      if (auto home = store::domainById(shared_->db, domainId_)) {
        domainName = home->name;
        motd = home->motd;
      }
    }
  } catch (const store::DbError& e) {
    host_.postToMain({Msg::ConsoleLine, nullptr, std::string("Database error: ") + e.what(), true});
  }
  std::string greeting = "Kestrel Version 3.00,  " + asctimeNow() + " ready on " + domainName + ".\r\n" + motd;
  replies_.push(multiLine("220", greeting));

  idleLimit_ = host_.settings().read(settings::kTimeout);
  touch();
}

CUserSocket::~CUserSocket() {
  try {
    store::writeLog(database(), own().userId, own().logText, store::Action::Logout, 0);
    // The session's counts are in the database when it is gone.
    store::flushCounters();
  } catch (const store::DbError& e) {
    host_.postToMain({Msg::ConsoleLine, nullptr, std::string("Database error: ") + e.what(), true});
  }
  sessionRegistry().remove(this);
  metrics::sessionClosed();
  if (monitor_) monitor_->post({Msg::DetachMonitor, host_.connectionKey()});
  flushOnClose();
  replies_.clear();
  data_.reset();
  passive_.reset();
  discardUpload();
  if (own().userId != 0 && loggedIn_) userSessionCounts().release(own().userId);
  if (handshakeTimer_) host_.loop().cancelTimer(handshakeTimer_);
  tls_.reset();
  if (registered_) host_.loop().remove(socket_.get());
}

void CUserSocket::start() {
  registered_ = host_.loop().add(socket_.get(), EPOLLIN | EPOLLOUT | EPOLLRDHUP, this);
  wantWrite_ = true;
  if (!registered_) endSession();
}

void CUserSocket::onEvents(std::uint32_t events) {
  if (ending_) return;
  if (handshaking()) {
    if (events & (EPOLLHUP | EPOLLERR)) endSession();
    else continueHandshake();
    return;
  }
  // TLS may wait on a record to read before it can write.
  if ((events & EPOLLOUT) || (tls_ && !replies_.empty())) pumpSends();
  if (ending_) return;
  if (readingPaused_) {
    // A client that hung up while its replies were held back is gone.
    if (events & (EPOLLHUP | EPOLLERR)) endSession();
    return;
  }
  if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) readCommands();
}

void CUserSocket::updateInterest() {
  if (!registered_ || ending_ || handshaking()) return;
  bool want = !replies_.empty() || (tls_ && tls_->wait() == platform::TlsWait::Write);
  bool read = !readingPaused_ && !tlsStarting_;
  if (want == wantWrite_ && read == wantRead_) return;
  wantWrite_ = want;
  wantRead_ = read;
  host_.loop().modify(socket_.get(), (read ? EPOLLIN | EPOLLRDHUP : 0u) | (want ? EPOLLOUT : 0u));
}

void CUserSocket::endSession() {
  if (ending_) return;
  ending_ = true;
  host_.requestQuit();
}

// The reader keeps at most 255 bytes per receive, skips Telnet sequences and
// dispatches each line when its CR arrives.
void CUserSocket::readCommands() {
  readAgain_ = true;
  if (readerBusy_) return;
  readerBusy_ = true;
  while (readAgain_ && !ending_) {
    readAgain_ = false;
    if (heldInput_) {
      // Commands received before reading paused go first.
      heldInput_ = false;
      readAgain_ = !walkReceived(receiveFill_) && !readingPaused_;
      continue;
    }
    if (readingPaused_ || tlsStarting_) break;
    auto r = receiveControl(receive_ + receiveFill_, 255 - receiveFill_);
    if (r.wouldBlock) break;
    if (!r.ok() || r.count == 0) {
      endSession();
      break;
    }
    if (walkReceived(receiveFill_ + static_cast<std::size_t>(r.count))) break;
    // Commands TLS has decrypted already would get no readiness event.
    if (tls_ && tls_->buffered() && !readingPaused_) readAgain_ = true;
  }
  readerBusy_ = false;
  if (tlsStarting_ && replies_.empty() && !ending_) {
    beginTls();
    return;
  }
  updateInterest();
}

void CUserSocket::feed(const char* data, std::size_t size) {
  for (std::size_t off = 0; off < size && !ending_;) {
    std::size_t n = std::min<std::size_t>(255 - receiveFill_, size - off);
    if (n == 0) return;  // reading paused with a full buffer: the rest is dropped
    std::memcpy(receive_ + receiveFill_, data + off, n);
    off += n;
    walkReceived(receiveFill_ + n);
  }
}

// Walks the received bytes; an incomplete Telnet sequence at the end is kept
// for the next receive (returns true then).
bool CUserSocket::walkReceived(std::size_t total) {
  std::size_t i = 0;
  bool incomplete = false;
  while (i < total && !ending_) {
    if (replies_.bytes() >= kReplyQueueLimit) {
      // The client is not reading: keep the rest until its replies drain.
      readingPaused_ = true;
      heldInput_ = true;
      break;
    }
    auto b = static_cast<unsigned char>(receive_[i]);
    if (b == kIac) {
      utf8_.interrupt();
      if (i + 1 >= total) {
        incomplete = true;
        break;
      }
      auto next = static_cast<unsigned char>(receive_[i + 1]);
      if (next == kSb) {
        inSubnegotiation_ = true;
        i += 2;
      } else if (next == kSe) {
        inSubnegotiation_ = false;
        i += 2;
      } else if (next >= kWill && next <= kDont) {
        if (i + 2 >= total) {
          incomplete = true;
          break;
        }
        i += 3;
      } else {
        i += 2;
      }
      continue;
    }
    ++i;
    if (inSubnegotiation_) continue;
    if (b >= 0x80) {
      // Names in UTF-8 pass whole or not at all; the limit counts bytes.
      if (utf8_.take(b) == Utf8Assembler::Step::Complete) {
        if (line_.size() + utf8_.character().size() <= kLineMax) line_ += utf8_.character();
        else lineOverflow_ = true;
      }
      continue;
    }
    utf8_.interrupt();
    if (b >= ' ' && b <= '~') {
      if (line_.size() < kLineMax) line_ += static_cast<char>(b);
      else lineOverflow_ = true;
    } else if (b == '\r') {
      std::string line;
      line.swap(line_);
      if (lineOverflow_) {
        lineOverflow_ = false;
        reply("500 Buffer overflow\r\n");
      } else {
        dispatch(line);
        if (tlsStarting_) {
          // What follows AUTH is the client's TLS handshake, never a command.
          i = total;
          break;
        }
      }
    }
  }
  if (i > total) i = total;
  std::memmove(receive_, receive_ + i, total - i);
  receiveFill_ = total - i;
  return incomplete;
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
  if (command->dataChannel == DataChannel::Idle && transferBusy_) {
    reply("%s", kDataConnectionBusy);
    return;
  }
  const std::uint64_t answeredBefore = finalReplies_;
  try {
    (this->*command->handler)(argument);
  } catch (const store::DbError& e) {
    // The client learns that the command failed; the operator learns why.
    // A command already answered keeps its one reply: a second would answer
    // the client's next command.
    if (finalReplies_ == answeredBefore) reply("451 Requested action aborted.  Local error in processing.\r\n");
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
  queueText(std::move(text));
  if (!pending.empty()) {
    std::string message = multiLine(code, pending);
    queueText(message);
    if (monitor_) notifyMonitor(Msg::Traffic, message);
  }
}

void CUserSocket::rawSend(const std::string& text) {
  if (monitor_) notifyMonitor(Msg::Traffic, text);  // the spy sees every reply, multi-line ones too
  queueText(text);
}

void CUserSocket::queueText(std::string text) {
  if (isFinalReply(text)) ++finalReplies_;
  bool wasEmpty = replies_.empty();
  replies_.push(std::move(text));
  if (wasEmpty) pumpSends();
}

// Sends what the socket takes now; the rest waits for the next write event.
void CUserSocket::pumpSends() {
  while (!replies_.empty() && !ending_) {
    std::string_view head = replies_.head();
    auto r = sendControl(head.data(), head.size());
    if (r.wouldBlock) break;
    if (!r.ok()) {
      endSession();
      return;
    }
    replies_.consume(static_cast<std::size_t>(r.count));
    if (static_cast<std::size_t>(r.count) < head.size()) break;
  }
  if (tlsStarting_ && replies_.empty() && !ending_ && !readerBusy_) {
    // The 234 is out in clear text: from here on the connection speaks TLS.
    beginTls();
    return;
  }
  if (readingPaused_ && !resumePosted_ && replies_.bytes() <= kReplyQueueLimit / 2) {
    // Commands wait no longer; they are taken up from the loop, not from
    // inside whatever queued the last reply.
    resumePosted_ = true;
    host_.loop().post([this] {
      resumePosted_ = false;
      if (!readingPaused_ || ending_) return;
      readingPaused_ = false;
      readCommands();
    });
  }
  updateInterest();
}

// Last replies (221, 421, a self-kick's 200) go out before the socket closes.
void CUserSocket::flushOnClose() {
  while (!replies_.empty()) {
    std::string_view head = replies_.head();
    if (handshaking() || tlsStarting_) return;
    auto r = sendControl(head.data(), head.size());
    if (!r.ok() || r.wouldBlock || r.count <= 0) return;
    replies_.consume(static_cast<std::size_t>(r.count));
  }
}

void CUserSocket::idleCheck() {
  if (handshaking()) return;  // bounded by its own deadline
  if (data_ && data_->job() != DataJob::ReceiveFile && data_->job() != DataJob::None) return;
  if (std::time(nullptr) > lastActivity_ + idleLimit_) {
    reply("421 Timeout (%d seconds): closing connection.\r\n", idleLimit_);
    endSession();
  }
}

void CUserSocket::setMonitor(std::shared_ptr<Monitor> monitor) { monitor_ = std::move(monitor); }
void CUserSocket::clearMonitor() { monitor_.reset(); }

void CUserSocket::addConsoleMessage(const std::string& text) { appendPendingMessage(text + "\r\n"); }

void CUserSocket::appendPendingMessage(const std::string& text) {
  platform::MutexLock lock(pendingMutex_);
  pendingMessage_ += text;
}

std::string CUserSocket::takePendingMessage() {
  platform::MutexLock lock(pendingMutex_);
  std::string pending;
  pending.swap(pendingMessage_);
  return pending;
}

void CUserSocket::putBackPendingMessage(const std::string& saved) {
  platform::MutexLock lock(pendingMutex_);
  pendingMessage_.insert(0, saved);
}

void CUserSocket::notifyMonitor(Msg id, const std::string& text, std::int64_t value) {
  if (!monitor_) return;
  monitor_->send({id, host_.connectionKey(), text, true, value});
}

CUserSocket::Identity CUserSocket::identity() const {
  platform::MutexLock lock(identityMutex_);
  return {identity_.anonymous, identity_.userId, identity_.displayName, identity_.logText, identity_.anonymousAddress};
}

store::Database& CUserSocket::database() const {
  if (!shared_) throw store::DbError("no data source");
  return shared_->db;
}

bool CUserSocket::requireLogin() {
  if (loggedIn_) return true;
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
    store::flushCounters();
  } catch (const store::DbError&) {
    // Still pending: the writer tries again each second.
  }
  reply("221 Goodbye.\r\n");
  endSession();
}

void CUserSocket::cmdNotImplemented(const std::string& line) { reply("502 %s not implemented.\r\n", line.c_str()); }

void CUserSocket::replyUnknown() { reply("500 '%s': Unknown command\r\n", commandLine_.c_str()); }

}  // namespace kestrel::ftp
