// A small blocking FTP client for the load generator: one control
// connection, passive data connections, nothing else. Every server under
// test is driven through this same code, so differences in the figures come
// from the servers, not from the client.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

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

// An owned socket descriptor.
class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  Socket(Socket&& other) noexcept : fd_(other.release()) {}
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

 private:
  int fd_ = -1;
};

class FtpClient {
 public:
  FtpClient(Endpoint server, int timeoutMs) : server_(std::move(server)), timeoutMs_(timeoutMs) {}

  // Connects and reads the greeting (220).
  void connect();
  // USER and PASS; the server must end with 230.
  void login(const std::string& user, const std::string& password);
  // QUIT, its 221, and the server's close of the connection.
  void quit();
  // Sends one command line and reads its whole reply.
  Reply command(const std::string& line);
  // Sends a command and throws unless the reply's code is one of the two.
  Reply expect(const std::string& line, int code, int otherCode = 0);
  // PASV, then a connected data socket to the address the server named.
  Socket openPassive();

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
  Socket control_;
  std::string buffer_;
};

}  // namespace bench
