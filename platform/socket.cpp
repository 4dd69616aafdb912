#include "platform/socket.h"

#include "platform/faults.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/sendfile.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>

namespace kestrel::platform {

void Fd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

namespace {

bool toSockaddr(const std::string& address, int port, sockaddr_in& out) {
  out = {};
  out.sin_family = AF_INET;
  out.sin_port = htons(static_cast<std::uint16_t>(port));
  if (address.empty()) {
    out.sin_addr.s_addr = htonl(INADDR_ANY);
    return true;
  }
  return ::inet_pton(AF_INET, address.c_str(), &out.sin_addr) == 1;
}

Endpoint fromSockaddr(const sockaddr_in& in) {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
  return {text, ntohs(in.sin_port)};
}

// A non-blocking IPv4 stream socket for r, or the reason there is none.
bool openTcpSocket(Result<Fd>& r, Fd& fd) {
  fd = Fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.valid()) r.status = Status::fromErrno("socket");
  return fd.valid();
}

}  // namespace

Result<Fd> listenTcp(const std::string& address, int port, int backlog) {
  Result<Fd> r;
  Fd fd;
  if (!openTcpSocket(r, fd)) return r;
  int on = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in sa;
  if (!toSockaddr(address, port, sa)) {
    r.status = Status::fromCode(EINVAL, "address");
    return r;
  }
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    r.status = Status::fromErrno("bind");
    return r;
  }
  if (::listen(fd.get(), backlog) != 0) {
    r.status = Status::fromErrno("listen");
    return r;
  }
  r.value = std::move(fd);
  return r;
}

namespace {

struct PortRange {
  int low = 32768;
  int high = 60999;
};

PortRange ephemeralRange() {
  PortRange range;
  if (std::FILE* f = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "re")) {
    int low = 0, high = 0;
    if (std::fscanf(f, "%d %d", &low, &high) == 2 && low > 0 && low <= high && high < 65536) range = {low, high};
    std::fclose(f);
  }
  return range;
}

}  // namespace

Result<Fd> listenTcpEphemeral(const std::string& address, int backlog, int& port) {
  static const PortRange range = ephemeralRange();
  thread_local std::minstd_rand random(static_cast<unsigned>(std::random_device{}()));
  std::uniform_int_distribution<int> pick(range.low, range.high);
  // A few guesses; a port held by a live socket fails fast, and then the
  // kernel's search is the fallback.
  for (int attempt = 0; attempt < 8; ++attempt) {
    port = pick(random);
    Result<Fd> r = listenTcp(address, port, backlog);
    if (r.ok() || r.status.code != EADDRINUSE) return r;
  }
  Result<Fd> r = listenTcp(address, 0, backlog);
  port = r.ok() ? localEndpoint(r.value.get()).port : 0;
  return r;
}

Result<Fd> acceptTcp(int listenFd, Endpoint* peer) {
  Result<Fd> r;
  int fd = -1;
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (int e = injectedFault(FaultPoint::Accept)) errno = e;
  else fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    r.status = Status::fromErrno("accept");
    return r;
  }
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (peer) *peer = len <= sizeof sa ? fromSockaddr(sa) : Endpoint{};
  r.value = Fd(fd);
  return r;
}

Fd openSpareDescriptor() { return Fd(::open("/dev/null", O_RDONLY | O_CLOEXEC)); }

long raiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY ? -1 : static_cast<long>(limit.rlim_cur);
}

void sendBestEffort(int fd, const std::string& text) {
  [[maybe_unused]] auto n = ::send(fd, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
}

Result<Fd> connectTcp(const std::string& localAddress, const Endpoint& remote) {
  Result<Fd> r;
  Fd fd;
  if (!openTcpSocket(r, fd)) return r;
  // The port is left to connect(), whose search is cheap; bind's own search
  // walks every bucket that closed connections leave in TIME_WAIT.
  int on = 1;
  ::setsockopt(fd.get(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
  sockaddr_in local;
  if (toSockaddr(localAddress, 0, local) &&
      ::bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    r.status = Status::fromErrno("bind");
    return r;
  }
  sockaddr_in sa;
  if (!toSockaddr(remote.address, remote.port, sa)) {
    r.status = Status::fromCode(EINVAL, "address");
    return r;
  }
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 && errno != EINPROGRESS) {
    r.status = Status::fromErrno("connect");
    return r;
  }
  r.value = std::move(fd);
  return r;
}

Status pendingSocketError(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return Status::fromErrno("getsockopt");
  return err == 0 ? Status::success() : Status::fromCode(err, "connect");
}

Endpoint localEndpoint(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return {};
  return fromSockaddr(sa);
}

Endpoint peerEndpoint(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return {};
  return fromSockaddr(sa);
}

namespace {

// One call's outcome: the bytes it moved, "try again later", or its failure.
IoResult ioOutcome(ssize_t n, const char* call) {
  IoResult r;
  if (n >= 0) {
    r.count = n;
  } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
    r.wouldBlock = true;
  } else {
    r.status = Status::fromErrno(call);
  }
  return r;
}

}  // namespace

IoResult sendSome(int fd, const char* data, std::size_t size) {
  return ioOutcome(::send(fd, data, size, MSG_NOSIGNAL), "send");
}

IoResult sendFromFile(int fd, int file, std::size_t size) {
  return ioOutcome(::sendfile(fd, file, nullptr, size), "sendfile");
}

IoResult receiveSome(int fd, char* data, std::size_t size) { return ioOutcome(::recv(fd, data, size, 0), "recv"); }

void shutdownWrite(int fd) { ::shutdown(fd, SHUT_WR); }

std::string reverseLookup(const std::string& address) {
  sockaddr_in sa;
  if (!toSockaddr(address, 0, sa)) return {};
  char host[NI_MAXHOST] = {};
  if (::getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr, 0,
                    NI_NAMEREQD) != 0)
    return {};
  return host;
}

bool parseDotted(const std::string& address, int octets[4]) {
  in_addr a;
  if (::inet_pton(AF_INET, address.c_str(), &a) != 1) return false;
  auto* b = reinterpret_cast<const unsigned char*>(&a.s_addr);
  for (int i = 0; i < 4; ++i) octets[i] = b[i];
  return true;
}

}  // namespace kestrel::platform
