// Non-blocking IPv4 TCP sockets: the only place that calls the socket API.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/status.h"

namespace kestrel::platform {

// Owns one descriptor; closes it on destruction.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

struct Endpoint {
  std::string address;  // dotted IPv4
  int port = 0;
};

struct IoResult {
  long count = 0;           // bytes moved; 0 with !wouldBlock on recv means the peer closed
  bool wouldBlock = false;
  Status status;            // set on a hard error
  bool ok() const { return status.ok(); }
};

// address empty = all interfaces; port 0 = chosen by the system.
Result<Fd> listenTcp(const std::string& address, int port, int backlog);
// Listens on a random port of the system's ephemeral range. Cheaper than port
// 0 once thousands of closed data connections sit in TIME_WAIT: the kernel's
// own search then walks their bind buckets on every call.
// The port taken is stored in `port`.
Result<Fd> listenTcpEphemeral(const std::string& address, int backlog, int& port);
// Accepts one pending connection as a non-blocking descriptor; the peer's
// address comes with it when asked for, without a getpeername call.
Result<Fd> acceptTcp(int listenFd, Endpoint* peer = nullptr);
// Starts a non-blocking connect from localAddress (any port) to the remote;
// the result is ready for writing when the connection is made.
Result<Fd> connectTcp(const std::string& localAddress, const Endpoint& remote);
Status pendingSocketError(int fd);

Endpoint localEndpoint(int fd);
Endpoint peerEndpoint(int fd);

IoResult sendSome(int fd, const char* data, std::size_t size);
IoResult receiveSome(int fd, char* data, std::size_t size);
// Up to size bytes from the file's current offset, copied by the kernel;
// count 0 means the end of the file.
IoResult sendFromFile(int fd, int file, std::size_t size);
void shutdownWrite(int fd);

// A descriptor held in reserve (on /dev/null): when accept fails for want of
// descriptors, closing it makes room to accept the waiting client and close
// it at once, instead of leaving it in the backlog where it keeps the
// listener readable and the loop spinning.
Fd openSpareDescriptor();
// Raises the soft limit of open descriptors to the hard limit; returns the
// limit now in force.
long raiseDescriptorLimit();
// Sends a short text without waiting (a refusal before closing).
void sendBestEffort(int fd, const std::string& text);

// Reverse lookup of a dotted address; empty when no name is known.
std::string reverseLookup(const std::string& address);
// Parses a dotted IPv4 address into its four numbers; false when malformed.
bool parseDotted(const std::string& address, int octets[4]);

}  // namespace kestrel::platform
