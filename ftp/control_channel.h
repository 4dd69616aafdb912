// The control connection's bytes: the socket and its TLS, the command reader
// (lines, Telnet sequences, overflow, UTF-8), and the reply queue with its
// send pump. It knows no commands: it hands complete lines to its owner and
// sends what it is given.
#pragma once
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "ftp/reply.h"
#include "ftp/session_host.h"
#include "ftp/utf8.h"
#include "platform/event_loop.h"
#include "platform/socket.h"

namespace kestrel::platform {
class TlsContext;
class TlsStream;
}  // namespace kestrel::platform

namespace kestrel::ftp {

// The longest command line in bytes; longer ones answer "500 Buffer overflow".
constexpr std::size_t kLineMax = 255;

class ControlChannel : public platform::EventHandler {
 public:
  // What the channel hands up.
  class Owner {
   public:
    virtual ~Owner() = default;
    virtual void onCommandLine(const std::string& line) = 0;
    virtual void onLineTooLong() = 0;
    // The TLS handshake completed: the client is active.
    virtual void onHandshakeDone() = 0;
  };

  // `tls` is null when TLS is not configured; `peerAddress` names the client
  // in the operator's messages.
  ControlChannel(SessionHost& host, Owner& owner, platform::Fd socket,
                 std::shared_ptr<const platform::TlsContext> tls, std::string peerAddress);
  ~ControlChannel() override;
  ControlChannel(const ControlChannel&) = delete;
  ControlChannel& operator=(const ControlChannel&) = delete;

  // Registers with the loop; what is queued goes out on the first write event.
  void start();
  void onEvents(std::uint32_t events) override;
  // Runs bytes through the reader as if received (tests and fuzzing).
  void feed(const char* data, std::size_t size);

  // Queues a reply; it goes out as far as the socket takes it now, or at
  // release() while replies are held.
  void queue(std::string text);
  // A command's replies leave together: a download that is over before its
  // handler returns sends its 150 and 226 in one segment.
  void hold() { held_ = true; }
  void release();
  // Queues the greeting, sent with the first write event after start().
  void queueBeforeStart(std::string text) { replies_.push(std::move(text)); }
  // Replies queued that ended a command (a last line of 2xx to 5xx).
  std::uint64_t finalReplies() const { return finalReplies_; }
  // Last replies (221, 421, a self-kick's 200) go out before the socket closes.
  void flushOnClose();

  // Ends the session: the thread is asked to quit, nothing more is read or sent.
  void end();

  // The certificate and key for AUTH TLS; null when TLS is not configured.
  const platform::TlsContext* tlsContext() const { return tlsContext_.get(); }
  bool tlsInUse() const { return tls_ != nullptr; }
  bool tlsActive() const;
  bool handshaking() const;
  // AUTH's 234 is queued: once it is out the channel speaks TLS, with a
  // handshake that may take at most `limit` (and never more than 15 s).
  void upgradeAfterReply(std::chrono::milliseconds limit);

 private:
  void readCommands();
  bool walkReceived(std::size_t total);
  void pumpSends();
  void updateInterest();
  void beginTls();
  void continueHandshake();
  platform::IoResult send(const char* data, std::size_t size);
  platform::IoResult receive(char* data, std::size_t size);

  SessionHost& host_;
  Owner& owner_;
  platform::Fd socket_;
  std::string peerAddress_;
  bool registered_ = false;
  bool ending_ = false;

  // Encryption.
  std::shared_ptr<const platform::TlsContext> tlsContext_;
  std::unique_ptr<platform::TlsStream> tls_;
  bool tlsStarting_ = false;  // 234 queued: the handshake starts once it is sent
  std::chrono::milliseconds handshakeLimit_{0};
  int handshakeTimer_ = 0;

  // Command reader.
  bool inSubnegotiation_ = false;
  bool lineOverflow_ = false;
  std::string line_;
  Utf8Assembler utf8_;
  char receive_[256] = {};
  std::size_t receiveFill_ = 0;
  bool readerBusy_ = false;
  bool readAgain_ = false;
  bool readingPaused_ = false;  // too many replies queued: commands wait
  bool heldInput_ = false;      // receive_ holds bytes not yet walked
  bool resumePosted_ = false;

  // Replies.
  ReplyQueue replies_;
  std::uint64_t finalReplies_ = 0;
  bool held_ = false;
  bool pumpWanted_ = false;  // held replies found the queue empty
  bool wantWrite_ = false;
  bool wantRead_ = true;
};

}  // namespace kestrel::ftp
