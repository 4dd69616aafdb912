// TLS over the non-blocking sockets of platform/: the one place that calls
// OpenSSL for FTP. A stream never blocks; when it cannot go on it says which
// readiness it waits for, and the owner asks its loop for that event.
#pragma once
#include <cstddef>
#include <memory>
#include <string>

#include "platform/socket.h"

namespace kestrel::platform {

// A server's certificate and key, shared by every connection that uses them.
// Connections made from one context may resume each other's TLS sessions,
// which is how a data connection proves it belongs to its control connection.
class TlsContext {
 public:
  // Loads a PEM certificate (chain) and key; an error text when unusable.
  static Result<std::shared_ptr<TlsContext>> load(const std::string& certificate, const std::string& key);
  // Changes whenever either file is replaced or rewritten: when to load again.
  static std::string fileStamp(const std::string& certificate, const std::string& key);
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;
  void* native() const { return ctx_; }

 private:
  explicit TlsContext(void* ctx) : ctx_(ctx) {}
  void* ctx_;  // SSL_CTX
};

enum class TlsWait { None, Read, Write };

class TlsStream {
 public:
  enum class Handshake { Done, Again, Failed };

  // The server side of a connection on fd (not owned). A stream that does
  // not issue session tickets leaves nothing unread at a client that only
  // sends: such a client's close would otherwise reset the connection and
  // lose the end of its data.
  enum class Tickets { Issue, None };
  TlsStream(const TlsContext& context, int fd, Tickets tickets = Tickets::Issue);
  ~TlsStream();
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;

  bool valid() const { return ssl_ != nullptr; }
  Handshake handshake();
  bool established() const { return established_; }
  // As sendSome and receiveSome: count 0 from receive is the peer's close.
  IoResult send(const char* data, std::size_t size);
  IoResult receive(char* data, std::size_t size);
  // Kernel TLS only: from the file's current offset, as sendFromFile.
  // EINVAL when the kernel does not encrypt for this connection.
  IoResult sendFromFile(int file, std::size_t size);
  bool kernelSends() const;
  // Sends close_notify, without waiting for the peer's.
  void close();
  // What the last call that could not go on waits for.
  TlsWait wait() const { return wait_; }
  // Decrypted bytes held inside that no readiness event will announce.
  bool buffered() const;
  // The reason of the last failure, for the operator.
  const std::string& error() const { return error_; }

 private:
  IoResult result(int ret, const char* what);

  void* ssl_ = nullptr;  // SSL
  int fd_;
  bool established_ = false;
  TlsWait wait_ = TlsWait::None;
  std::string error_;
};

}  // namespace kestrel::platform
