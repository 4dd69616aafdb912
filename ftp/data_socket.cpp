// Data connections: the passive listener, and the data socket that runs one
// transfer job and then lets the session destroy it.
//
// Every path that ends a job calls back into the session (transfer finished
// or failed), which destroys the data socket; code here returns straight
// after such a call and never touches its members again.
#include "ftp/data_socket.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <memory>
#include <string>

#include "ftp/session.h"
#include "platform/metrics.h"
#include "store/db/database.h"

namespace kestrel::ftp {

namespace io = platform::io;

namespace {

constexpr char kAllocationExceeded[] = "553 Transfer aborted.  Allocation exceeded.\r\n";

// Bytes moved per readiness event: enough to keep a fast link busy, few
// enough that one transfer cannot starve the control connection.
constexpr std::int64_t kBytesPerEvent = 16 * kTransferChunk;


// A data connection's TLS handshake has this long to complete.
constexpr std::chrono::milliseconds kHandshakeLimit{15000};

// The client closed its end: a close, not a failure of ours, however the
// kernel happened to learn of it first.
bool peerHungUp(const platform::Status& status) {
  return status.code == ECONNRESET || status.code == EPIPE;
}

}  // namespace

// ---------------------------------------------------------------------------
// DataSocket

DataSocket::DataSocket(CUserSocket& session, platform::Fd fd, bool connected)
    : session_(session), fd_(std::move(fd)), connected_(connected) {
  if (connected_) startProtection();
  updateInterest();
}

DataSocket::~DataSocket() {
  if (handshakeTimer_) session_.loop().cancelTimer(handshakeTimer_);
  if (tls_) tls_->close();
  tls_.reset();
  // Out of the loop before the descriptor closes, so no event can reach a
  // handler that is gone.
  if (registered_) session_.loop().removeBeforeClose(fd_.get());
}

void DataSocket::startProtection() {
  const platform::TlsContext* context = session_.dataProtection();
  if (!context) return;
  // Data connections resume the control connection's session; they need
  // no tickets of their own.
  tls_ = std::make_unique<platform::TlsStream>(*context, fd_.get(), platform::TlsStream::Tickets::None);
  // A client that never completes the handshake must not hold the
  // transfer (and the session's idle check) forever.
  handshakeTimer_ = session_.loop().addTimer(kHandshakeLimit, [this] {
    session_.loop().cancelTimer(handshakeTimer_);
    handshakeTimer_ = 0;
    refuseConnection();
  });
}

void DataSocket::refuseConnection() {
  // Before any command used the connection there is no transfer to answer
  // for: the client gets its 425 when it asks for one.
  if (job_ == DataJob::None) session_.destroyDataSocket();
  else fail(kCantOpen);
}

bool DataSocket::continueHandshake() {
  switch (tls_->handshake()) {
    case platform::TlsStream::Handshake::Done:
      session_.loop().cancelTimer(handshakeTimer_);
      handshakeTimer_ = 0;
      updateInterest();
      return true;
    case platform::TlsStream::Handshake::Again:
      updateInterest();
      return true;
    case platform::TlsStream::Handshake::Failed:
      break;
  }
  session_.host().postToMain(
      Message(Msg::ConsoleLine, nullptr, "TLS data connection refused: " + tls_->error()));
  refuseConnection();
  return false;
}

platform::IoResult DataSocket::send(const char* data, std::size_t size) {
  return tls_ ? tls_->send(data, size) : platform::sendSome(fd_.get(), data, size);
}

platform::IoResult DataSocket::receive(char* data, std::size_t size) {
  return tls_ ? tls_->receive(data, size) : platform::receiveSome(fd_.get(), data, size);
}

void DataSocket::updateInterest() {
  std::uint32_t events = 0;
  if (!connected_) {
    events = io::kWritable;  // the connect completes as writability
  } else if (tls_ && !tls_->established()) {
    events = (tls_->wait() == platform::TlsWait::Write ? io::kWritable : io::kReadable) | io::kPeerClosed;
  } else {
    switch (job_) {
      case DataJob::None:
        break;  // nothing to do until a job arrives; hang-ups still report
      case DataJob::LongListing:
      case DataJob::NameListing:
      case DataJob::SendFile:
        events = io::kWritable | io::kPeerClosed;
        break;
      case DataJob::ReceiveFile:
        events = io::kReadable | io::kPeerClosed;
        break;
    }
    // TLS may need the other direction to go on (a record to read before
    // writing, or the reverse).
    if (tls_ && job_ != DataJob::None) {
      if (tls_->wait() == platform::TlsWait::Read) events |= io::kReadable;
      if (tls_->wait() == platform::TlsWait::Write) events |= io::kWritable;
    }
  }
  if (!registered_) {
    if (events == 0) return;  // nothing to wait for
    registered_ = session_.loop().add(fd_.get(), events, this);
  } else if (events != events_) {
    session_.loop().modify(fd_.get(), events);
  }
  events_ = events;
}

void DataSocket::startSend(platform::File file, std::int64_t target, std::int64_t size, std::int64_t length) {
  job_ = DataJob::SendFile;
  file_ = std::move(file);
  target_ = target;
  size_ = size;
  length_ = length;
  runJob();
}

void DataSocket::startReceive(platform::File file, std::int64_t target) {
  job_ = DataJob::ReceiveFile;
  file_ = std::move(file);
  target_ = target;
  buffer_ = std::make_unique<char[]>(kTransferChunk);
  // Data that arrived before the job is still in the socket: reading now
  // takes it.
  dataWaiting_ = false;
  runJob();
}

void DataSocket::onEvents(std::uint32_t events) {
  if (!connected_) {
    onConnected();
    return;
  }
  if (tls_ && !tls_->established()) {
    if (events & (io::kHangUp | io::kError)) {
      refuseConnection();
      return;
    }
    continueHandshake();
    return;
  }
  const bool closed = events & (io::kPeerClosed | io::kHangUp);
  if (job_ == DataJob::None) {
    // The client gave up on a connection no command has used yet.
    if (closed || (events & io::kError)) session_.destroyDataSocket();
    return;
  }
  // A client that closes in the middle of a transfer still gets the 226.
  if (closed && job_ != DataJob::ReceiveFile) {
    finish();
    return;
  }
  runJob();
}

void DataSocket::onConnected() {
  platform::Status status = platform::pendingSocketError(fd_.get());
  if (!status.ok()) {
    fail(kCantOpen);
    return;
  }
  connected_ = true;
  startProtection();
  if (tls_) {
    continueHandshake();
    return;
  }
  runJob();
}

void DataSocket::runJob() {
  // A fresh connection can usually take (or give) bytes at once: the job
  // starts here, and waits for readiness events only once it would block.
  if (!connected_ || (tls_ && !tls_->established())) {
    updateInterest();
    return;
  }
  switch (job_) {
    case DataJob::None:
      updateInterest();
      return;
    case DataJob::LongListing:
    case DataJob::NameListing:
    case DataJob::SendFile:
      pumpOutput();
      return;
    case DataJob::ReceiveFile:
      receiveData();
      return;
  }
}

void DataSocket::pumpOutput() {
  if (job_ == DataJob::SendFile) {
    sendFileData();
    return;
  }
  for (;;) {
    if (!refillListing()) return;  // failed: this socket is gone
    if (output_.empty()) break;
    std::string_view head = output_.head();
    platform::IoResult r = send(head.data(), head.size());
    if (sendStopped(r)) return;
    output_.consume(static_cast<std::size_t>(r.count));
    metrics::bytesSent(r.count);
    if (static_cast<std::size_t>(r.count) < head.size()) {  // wait for room
      updateInterest();
      return;
    }
  }
  // Everything the listing queued is with the kernel: it will be delivered
  // before the FIN that follows.
  if (tls_) tls_->close();
  platform::shutdownWrite(fd_.get());
  finish();
}

void DataSocket::sendFileData() {
  for (std::int64_t moved = 0; moved < kBytesPerEvent;) {
    if (length_ >= 0 && bytesSent_ >= length_) {
      endOfFile();  // without one more call to learn it
      return;
    }
    platform::IoResult r;
    if (!buffer_) {
      // Kernel TLS keeps the copy in the kernel; without it TLS copies
      // through the buffer.
      r = tls_ ? tls_->sendFromFile(file_.fd(), kTransferChunk)
               : platform::sendFromFile(fd_.get(), file_.fd(), kTransferChunk);
      if (r.status.code == EINVAL || r.status.code == ENOSYS) {
        // A file the kernel cannot splice: copy it through the buffer.
        buffer_ = std::make_unique<char[]>(kTransferChunk);
        continue;
      }
    } else {
      if (bufferLeft_ == 0) {
        long count = file_.read(buffer_.get(), kTransferChunk);
        if (count < 0) {
          file_.close();
          fail(kAborted);
          return;
        }
        if (count == 0) {
          endOfFile();
          return;
        }
        bufferPos_ = 0;
        bufferLeft_ = static_cast<std::size_t>(count);
      }
      r = send(buffer_.get() + bufferPos_, bufferLeft_);
      if (r.count > 0) {
        bufferPos_ += static_cast<std::size_t>(r.count);
        bufferLeft_ -= static_cast<std::size_t>(r.count);
      }
    }
    if (sendStopped(r)) return;
    if (r.count == 0) {  // only sendfile reports the end of the file this way
      endOfFile();
      return;
    }
    moved += r.count;
    countSent(r.count);
  }
  updateInterest();  // this event's share is spent: the rest goes on the next
}

bool DataSocket::sendStopped(const platform::IoResult& r) {
  if (r.wouldBlock) {
    updateInterest();
  } else if (peerHungUp(r.status)) {
    finish();
  } else if (!r.ok()) {
    file_.close();
    fail(kAborted);
  } else {
    return false;
  }
  return true;
}

void DataSocket::countSent(std::int64_t count) {
  std::int64_t before = bytesSent_;
  bytesSent_ += count;
  metrics::bytesSent(count);
  // A percentage at every block end passed, as if each block went on its
  // own; the last, short block is reported at the end of the file.
  const auto block = static_cast<std::int64_t>(kTransferBlock);
  for (std::int64_t mark = (before / block + 1) * block; mark <= bytesSent_; mark += block) reportProgress(mark);
}

void DataSocket::endOfFile() {
  file_.close();
  // The last block was a short one: it has not been reported yet.
  if (bytesSent_ % static_cast<std::int64_t>(kTransferBlock) != 0) reportProgress(bytesSent_);
  finish();
}

void DataSocket::reportProgress(std::int64_t sent) {
  int percent = size_ == 0 ? 100 : static_cast<int>(sent * 100 / size_);
  if (percent != percentReported_ && percent <= 100) {
    percentReported_ = percent;
    session_.notifyMonitor(Msg::DownloadProgress, {}, percent);
  }
}

void DataSocket::receiveData() {
  // Bytes TLS has decrypted already would get no readiness event: take them.
  for (std::int64_t moved = 0; moved < kBytesPerEvent || (tls_ && tls_->buffered());) {
    if (!file_.isOpen()) {
      dataWaiting_ = true;
      return;
    }
    platform::IoResult r = receive(buffer_.get(), kTransferChunk);
    if (r.wouldBlock) {
      updateInterest();
      return;
    }
    if (!r.ok()) {
      file_.close();
      fail(kAborted);
      return;
    }
    if (r.count == 0) {
      // The client has sent everything: the file is complete.
      file_.close();
      finish();
      return;
    }
    if (!file_.writeAll(buffer_.get(), static_cast<std::size_t>(r.count))) {
      file_.close();
      fail(kAllocationExceeded);
      return;
    }
    moved += r.count;
    bytesReceived_ += r.count;
    metrics::bytesReceived(r.count);
    if (bytesReceived_ / 1024 != kilobytesReported_) {
      kilobytesReported_ = bytesReceived_ / 1024;
      session_.notifyMonitor(Msg::UploadProgress, {}, bytesReceived_);
      session_.touch();
    }
  }
  updateInterest();
}

void DataSocket::finish() { session_.transferFinished(); }

void DataSocket::fail(const char* replyText) { session_.transferFailedWith(replyText); }

void DataSocket::failOnDatabase(const std::exception& error) {
  session_.host().postToMain(Message(Msg::ConsoleLine, nullptr, std::string("Database error: ") + error.what()));
  fail(kLocalError);
}

// ---------------------------------------------------------------------------
// PasvSocket

PasvSocket::PasvSocket(CUserSocket& session, platform::Fd fd) : session_(session), fd_(std::move(fd)) {
  session_.loop().add(fd_.get(), io::kReadable, this);
}

PasvSocket::~PasvSocket() {
  if (fd_.valid()) session_.loop().removeBeforeClose(fd_.get());
}

void PasvSocket::onEvents(std::uint32_t) { acceptWaiting(); }

bool PasvSocket::acceptWaiting() {
  for (;;) {
    platform::Endpoint peer;
    platform::Result<platform::Fd> accepted = platform::acceptTcp(fd_.get(), &peer);
    if (!accepted.ok()) return false;  // nothing more pending
    // Only the client (or the address it named) may use the port; anyone
    // else is turned away and the listener keeps waiting.
    if (peer.address != session_.dataChannel().address()) continue;
    // A connection busy with a transfer is never replaced behind its back.
    DataSocket* current = session_.dataChannel().socket();
    if (current && current->job() != DataJob::None) continue;

    auto socket = std::make_unique<DataSocket>(session_, std::move(accepted.value), true);
    // Attaching destroys this listener: nothing of it may be touched after.
    session_.attachPassiveConnection(std::move(socket));
    return true;
  }
}

}  // namespace kestrel::ftp
