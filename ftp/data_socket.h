// Data connections: one CDataSocket per transfer job, and the passive
// listener that waits for the client to connect in.
#pragma once
#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "ftp/listing_lines.h"
#include "ftp/reply.h"
#include "platform/event_loop.h"
#include "platform/files.h"
#include "platform/socket.h"
#include "platform/tls.h"

namespace kestrel::ftp {

class CUserSocket;
enum class ListFormat;

// Ports below this belong to services; a PORT or EPRT naming one is a bounce attempt.
constexpr int kLowestDataPort = 1024;

enum class DataJob { None = 0, LongListing = 1, NameListing = 2, SendFile = 3, ReceiveFile = 4 };

// The unit of transfer progress: a download's percentage is taken at each
// block of this size, as if every block were sent on its own.
constexpr std::size_t kTransferBlock = 1024;
// What one system call moves: 64 blocks.
constexpr std::size_t kTransferChunk = 64 * kTransferBlock;

class DataSocket : public platform::EventHandler {
 public:
  // An active connection being made, or an accepted passive one.
  DataSocket(CUserSocket& session, platform::Fd fd, bool connected);
  ~DataSocket() override;

  void onEvents(std::uint32_t events) override;

  // Jobs: a job given to a connected socket starts at once.
  void startListing(std::int64_t target, ListFormat format);
  // `length`: the bytes from the file's position to its end when it was
  // opened (a download ends there, as if the file had not grown), or -1.
  void startSend(platform::File file, std::int64_t target, std::int64_t size, std::int64_t length);
  void startReceive(platform::File file, std::int64_t target);

  DataJob job() const { return job_; }
  bool connected() const { return connected_; }
  int fd() const { return fd_.get(); }

 private:
  void onConnected();
  void runJob();
  void pumpOutput();
  // Formats the listing's next lines once what was queued has gone out.
  // Queues the next chunk of a listing; false when a failure ended the
  // transfer and destroyed this socket.
  bool refillListing();
  // A database failure in the middle of a transfer: the local-error reply,
  // and the operator is told why.
  void failOnDatabase(const std::exception& error);
  void sendFileData();
  // A send that did not simply move bytes: waits for room, ends the transfer
  // when the peer hung up, aborts it on an error. False when sending goes on.
  bool sendStopped(const platform::IoResult& r);
  void countSent(std::int64_t count);
  void reportProgress(std::int64_t sent);
  void endOfFile();  // transfer finished; destroys this
  void receiveData();
  void finish();                     // transfer finished; destroys this
  void fail(const char* replyText);  // transfer failed; destroys this
  void updateInterest();
  // PROT P: the handshake comes before any job runs.
  void startProtection();
  bool continueHandshake();  // false when this was destroyed
  void refuseConnection();   // destroys this
  platform::IoResult send(const char* data, std::size_t size);
  platform::IoResult receive(char* data, std::size_t size);

  CUserSocket& session_;
  platform::Fd fd_;
  // The socket joins the loop only when it has to wait: a small transfer
  // is done before it would.
  bool registered_ = false;
  std::uint32_t events_ = 0;
  std::unique_ptr<platform::TlsStream> tls_;
  int handshakeTimer_ = 0;
  bool connected_ = false;
  DataJob job_ = DataJob::None;
  std::int64_t target_ = 0;
  platform::File file_;
  std::int64_t size_ = 0;
  std::int64_t length_ = -1;
  std::int64_t bytesSent_ = 0;
  std::int64_t bytesReceived_ = 0;
  int percentReported_ = -1;
  std::int64_t kilobytesReported_ = 0;
  bool dataWaiting_ = false;
  ReplyQueue output_;
  bool outputDone_ = false;  // the listing has queued its last line
  // A listing's rows, read a page at a time (the database is not held while
  // the client reads) and formatted a chunk at a time as the connection drains.
  store::ListingRows listing_;
  std::int64_t listingDirectory_ = 0;
  std::size_t listingNext_ = 0;
  std::unique_ptr<ListingLines> lines_;
  // Allocated with a job that copies through user space: uploads, and
  // downloads from files the kernel cannot send directly.
  std::unique_ptr<char[]> buffer_;
  std::size_t bufferPos_ = 0;
  std::size_t bufferLeft_ = 0;
};

class PasvSocket : public platform::EventHandler {
 public:
  // Waits in the loop for the client's connection.
  PasvSocket(CUserSocket& session, platform::Fd fd);
  ~PasvSocket() override;
  void onEvents(std::uint32_t events) override;
  // Takes the client's connection if it has arrived; true when it was
  // attached to the session, which destroys this listener.
  bool acceptWaiting();
  int fd() const { return fd_.get(); }

 private:
  CUserSocket& session_;
  platform::Fd fd_;
};

}  // namespace kestrel::ftp
