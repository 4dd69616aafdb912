#include "ftp/control_channel.h"

#include <algorithm>
#include <cstring>

#include "platform/tls.h"

namespace kestrel::ftp {

namespace io = platform::io;

namespace {

// Replies queued for a client that does not read them: past this the
// session stops reading its commands until the queue drains to half.
constexpr std::size_t kReplyQueueLimit = 256 * 1024;

// A client that stops in the middle of the handshake is dropped after this.
constexpr std::chrono::milliseconds kHandshakeLimit{15000};

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

ControlChannel::ControlChannel(SessionHost& host, Owner& owner, platform::Fd socket,
                               std::shared_ptr<const platform::TlsContext> tls, std::string peerAddress)
    : host_(host),
      owner_(owner),
      socket_(std::move(socket)),
      peerAddress_(std::move(peerAddress)),
      tlsContext_(std::move(tls)) {}

ControlChannel::~ControlChannel() {
  replies_.clear();
  if (handshakeTimer_) host_.loop().cancelTimer(handshakeTimer_);
  tls_.reset();
  if (registered_) host_.loop().remove(socket_.get());
}

void ControlChannel::start() {
  registered_ = host_.loop().add(socket_.get(), io::kReadable | io::kWritable | io::kPeerClosed, this);
  wantWrite_ = true;
  if (!registered_) end();
}

void ControlChannel::end() {
  if (ending_) return;
  ending_ = true;
  host_.requestQuit();
}

void ControlChannel::onEvents(std::uint32_t events) {
  if (ending_) return;
  if (handshaking()) {
    if (events & (io::kHangUp | io::kError)) end();
    else continueHandshake();
    return;
  }
  // TLS may wait on a record to read before it can write.
  if ((events & io::kWritable) || (tls_ && !replies_.empty())) pumpSends();
  if (ending_) return;
  if (readingPaused_) {
    // A client that hung up while its replies were held back is gone.
    if (events & (io::kHangUp | io::kError)) end();
    return;
  }
  if (events & (io::kReadable | io::kPeerClosed | io::kHangUp | io::kError)) readCommands();
}

void ControlChannel::updateInterest() {
  if (!registered_ || ending_ || handshaking()) return;
  bool want = !replies_.empty() || (tls_ && tls_->wait() == platform::TlsWait::Write);
  bool read = !readingPaused_ && !tlsStarting_;
  if (want == wantWrite_ && read == wantRead_) return;
  wantWrite_ = want;
  wantRead_ = read;
  host_.loop().modify(socket_.get(), (read ? io::kReadable | io::kPeerClosed : 0u) | (want ? io::kWritable : 0u));
}

// The reader keeps at most 255 bytes per receive, skips Telnet sequences and
// hands up each line when its CR arrives.
void ControlChannel::readCommands() {
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
    auto r = receive(receive_ + receiveFill_, 255 - receiveFill_);
    if (r.wouldBlock) break;
    if (!r.ok() || r.count == 0) {
      end();
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

void ControlChannel::feed(const char* data, std::size_t size) {
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
bool ControlChannel::walkReceived(std::size_t total) {
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
        owner_.onLineTooLong();
      } else {
        owner_.onCommandLine(line);
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

void ControlChannel::queue(std::string text) {
  if (isFinalReply(text)) ++finalReplies_;
  bool wasEmpty = replies_.empty();
  if (held_) {
    replies_.append(std::move(text));
    pumpWanted_ = pumpWanted_ || wasEmpty;
    return;
  }
  replies_.push(std::move(text));
  if (wasEmpty) pumpSends();
}

void ControlChannel::release() {
  held_ = false;
  if (!pumpWanted_) return;
  pumpWanted_ = false;
  pumpSends();
}

// Sends what the socket takes now; the rest waits for the next write event.
void ControlChannel::pumpSends() {
  while (!replies_.empty() && !ending_) {
    std::string_view head = replies_.head();
    auto r = send(head.data(), head.size());
    if (r.wouldBlock) break;
    if (!r.ok()) {
      end();
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

void ControlChannel::flushOnClose() {
  while (!replies_.empty()) {
    std::string_view head = replies_.head();
    if (handshaking() || tlsStarting_) return;
    auto r = send(head.data(), head.size());
    if (!r.ok() || r.wouldBlock || r.count <= 0) return;
    replies_.consume(static_cast<std::size_t>(r.count));
  }
}

bool ControlChannel::tlsActive() const { return tls_ && tls_->established(); }

bool ControlChannel::handshaking() const { return tls_ && !tls_->established(); }

platform::IoResult ControlChannel::send(const char* data, std::size_t size) {
  if (tls_) return tls_->send(data, size);
  return platform::sendSome(socket_.get(), data, size);
}

platform::IoResult ControlChannel::receive(char* data, std::size_t size) {
  if (tls_) return tls_->receive(data, size);
  return platform::receiveSome(socket_.get(), data, size);
}

void ControlChannel::upgradeAfterReply(std::chrono::milliseconds limit) {
  handshakeLimit_ = std::min(kHandshakeLimit, limit);
  tlsStarting_ = true;
}

void ControlChannel::beginTls() {
  tlsStarting_ = false;
  tls_ = std::make_unique<platform::TlsStream>(*tlsContext_, socket_.get());
  if (!tls_->valid()) {
    end();
    return;
  }
  handshakeTimer_ = host_.loop().addTimer(handshakeLimit_, [this] {
    host_.loop().cancelTimer(handshakeTimer_);
    handshakeTimer_ = 0;
    host_.postToMain({Msg::ConsoleLine, nullptr, "TLS handshake with " + peerAddress_ + " timed out.", true});
    end();
  });
  continueHandshake();
}

void ControlChannel::continueHandshake() {
  switch (tls_->handshake()) {
    case platform::TlsStream::Handshake::Again: {
      const bool write = tls_->wait() == platform::TlsWait::Write;
      host_.loop().modify(socket_.get(), write ? io::kWritable : io::kReadable | io::kPeerClosed);
      wantWrite_ = write;
      wantRead_ = !write;
      return;
    }
    case platform::TlsStream::Handshake::Failed:
      // Garbage or a refused client: nothing more can be said in either form.
      host_.postToMain(
          {Msg::ConsoleLine, nullptr, "TLS handshake with " + peerAddress_ + " failed: " + tls_->error(), true});
      end();
      return;
    case platform::TlsStream::Handshake::Done:
      break;
  }
  host_.loop().cancelTimer(handshakeTimer_);
  handshakeTimer_ = 0;
  owner_.onHandshakeDone();
  wantWrite_ = !replies_.empty();
  wantRead_ = true;
  host_.loop().modify(socket_.get(), io::kReadable | io::kPeerClosed | (wantWrite_ ? io::kWritable : 0u));
  // A command may have come with the handshake's last flight.
  readCommands();
}

}  // namespace kestrel::ftp
