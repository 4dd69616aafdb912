// A small blocking FTP client for the load generator: one control
// connection, passive data connections, nothing else; optionally explicit
// FTPS (AUTH TLS, PBSZ 0, PROT P). Every server under test is driven through
// this same code, so differences in the figures come from the servers, not
// from the client.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

struct ssl_st;
struct ssl_ctx_st;
struct ssl_session_st;

namespace bench {

// Anything that ends one session early: refused connect, timeout, a reply
// with an unexpected code, a short transfer.
class FtpError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Endpoint {
  std::string host;
  int port = 0;
};

struct Reply {
  int code = 0;
  std::string text;  // the last line, without CR LF
};

// The client side of TLS, shared by every connection of the process. The
// servers under test use throw-away self-signed certificates on loopback,
// so the peer's certificate is not verified.
class TlsClient {
 public:
  TlsClient();
  ~TlsClient();
  TlsClient(const TlsClient&) = delete;
  TlsClient& operator=(const TlsClient&) = delete;
  ssl_ctx_st* native() const { return ctx_; }

 private:
  ssl_ctx_st* ctx_;
};

// An owned socket descriptor, and the TLS connection over it once started.
class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  Socket(Socket&& other) noexcept : fd_(other.release()), ssl_(other.ssl_) { other.ssl_ = nullptr; }
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() { reset(); }

  int get() const { return fd_; }
  int release();
  void reset();
  explicit operator bool() const { return fd_ >= 0; }

  // A connected TCP socket with send and receive timeouts; throws FtpError.
  static Socket connectTo(const Endpoint& to, int timeoutMs);

  // The client's TLS handshake, resuming `resume` when given; throws FtpError.
  void startTls(const TlsClient& tls, ssl_session_st* resume);
  bool secured() const { return ssl_ != nullptr; }
  // As recv and send (MSG_NOSIGNAL): a timeout is -1 with EAGAIN, the peer's
  // end of data 0. A TLS protocol error throws FtpError.
  long receive(char* data, std::size_t size);
  long send(const char* data, std::size_t size);
  // Our close_notify and end of data, then everything the server still
  // sends until its close: nothing left unread turns our close into a reset
  // that could cost the server the end of an upload.
  void finishTls();
  // The TLS session to resume on the data connections, and what was agreed.
  ssl_session_st* tlsSession() const;
  bool resumed() const;
  std::string tlsDescription() const;

 private:
  int fd_ = -1;
  ssl_st* ssl_ = nullptr;
};

class FtpClient {
 public:
  // With `tls`, the session is explicit FTPS and every data connection is
  // protected with a resumption of the control connection's TLS session.
  FtpClient(Endpoint server, int timeoutMs, const TlsClient* tls = nullptr)
      : server_(std::move(server)), timeoutMs_(timeoutMs), tls_(tls) {}

  // Connects and reads the greeting (220); with TLS, AUTH TLS and the handshake.
  void connect();
  // USER and PASS; the server must end with 230. With TLS, then PBSZ 0 and PROT P.
  void login(const std::string& user, const std::string& password);
  // QUIT, its 221, and the server's close of the connection.
  void quit();
  // Sends one command line and reads its whole reply.
  Reply command(const std::string& line);
  // Sends a command and throws unless the reply's code is one of the two.
  Reply expect(const std::string& line, int code, int otherCode = 0);
  // PASV, then a connected data socket to the address the server named.
  Socket openPassive();
  // Once the transfer command has its 150: the data connection's handshake
  // (nothing without TLS). Servers that accept the handshake only after the
  // 150 (vsftpd) and servers that accept it at once both work in this order.
  void protect(Socket& data);
  bool secured() const { return control_.secured(); }
  std::string tlsDescription() const { return control_.tlsDescription(); }

  // Reads one whole reply (multi-line ones included).
  Reply readReply();

  // Data transfers over an open passive socket; both throw on failure.
  // Reads to end of file and returns the bytes (and lines) seen.
  static std::uint64_t drain(Socket& data, std::uint64_t* lines = nullptr);
  // Reads until `limit` bytes or end of file, whichever comes first; the
  // socket stays open.
  static std::uint64_t drainUpTo(Socket& data, std::uint64_t limit);
  // Sends `bytes` bytes of filler and closes the socket.
  static void fill(Socket& data, std::uint64_t bytes);

  bool connected() const { return static_cast<bool>(control_); }
  void close() { control_.reset(); }

 private:
  std::string readLine();

  Endpoint server_;
  int timeoutMs_;
  const TlsClient* tls_;
  Socket control_;
  std::string buffer_;
};

}  // namespace bench
