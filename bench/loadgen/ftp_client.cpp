#include "ftp_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace bench {

namespace {

constexpr std::size_t kIoChunk = 64 * 1024;  // below malloc's mmap threshold
constexpr std::size_t kLongestLine = 8192;

std::string errnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

void setTimeouts(int fd, int timeoutMs) {
  timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  // On Linux the send timeout also bounds a blocking connect().
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// Reads h1,h2,h3,h4,p1,p2 from a 227 reply, wherever the server put it.
Endpoint parsePassive(const std::string& text) {
  std::size_t at = text.find('(');
  if (at == std::string::npos) {
    at = 4;
    while (at < text.size() && !std::isdigit(static_cast<unsigned char>(text[at]))) ++at;
  } else {
    ++at;
  }
  unsigned h[4], p[2];
  if (at >= text.size() ||
      std::sscanf(text.c_str() + at, "%u,%u,%u,%u,%u,%u", &h[0], &h[1], &h[2], &h[3], &p[0], &p[1]) != 6 ||
      h[0] > 255 || h[1] > 255 || h[2] > 255 || h[3] > 255 || p[0] > 255 || p[1] > 255)
    throw FtpError("cannot read the passive address in: " + text);
  char host[32];
  std::snprintf(host, sizeof host, "%u.%u.%u.%u", h[0], h[1], h[2], h[3]);
  return Endpoint{host, static_cast<int>(p[0] * 256 + p[1])};
}

// OpenSSL's error queue as text, emptied.
std::string tlsErrorText(const char* what) {
  std::string text = what;
  unsigned long e;
  while ((e = ERR_get_error()) != 0) {
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    text += ": ";
    text += buf;
  }
  return text;
}

}  // namespace

TlsClient::TlsClient() : ctx_(SSL_CTX_new(TLS_client_method())) {
  if (!ctx_) throw FtpError(tlsErrorText("SSL_CTX_new"));
  SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
  // A server that closes a data connection without close_notify has still
  // sent its end of data; the byte count tells a short transfer.
  SSL_CTX_set_options(ctx_, SSL_OP_IGNORE_UNEXPECTED_EOF);
}

TlsClient::~TlsClient() { SSL_CTX_free(ctx_); }

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.release();
    ssl_ = other.ssl_;
    other.ssl_ = nullptr;
  }
  return *this;
}

int Socket::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

void Socket::reset() {
  if (ssl_) SSL_free(ssl_);
  ssl_ = nullptr;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void Socket::startTls(const TlsClient& tls, ssl_session_st* resume) {
  ERR_clear_error();
  ssl_ = SSL_new(tls.native());
  if (!ssl_ || SSL_set_fd(ssl_, fd_) != 1) throw FtpError(tlsErrorText("SSL_new"));
  if (resume) SSL_set_session(ssl_, resume);
  int ret = SSL_connect(ssl_);
  if (ret != 1) {
    int err = SSL_get_error(ssl_, ret);
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) throw FtpError("TLS handshake: timed out");
    if (err == SSL_ERROR_SYSCALL && ERR_peek_error() == 0)
      throw FtpError(errno ? errnoText("TLS handshake") : "TLS handshake: the server closed the connection");
    throw FtpError(tlsErrorText("TLS handshake"));
  }
}

long Socket::receive(char* data, std::size_t size) {
  if (!ssl_) return ::recv(fd_, data, size, 0);
  std::size_t got = 0;
  ERR_clear_error();
  if (SSL_read_ex(ssl_, data, size, &got) == 1) return static_cast<long>(got);
  switch (SSL_get_error(ssl_, 0)) {
    case SSL_ERROR_ZERO_RETURN:
      return 0;
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      errno = EAGAIN;
      return -1;
    case SSL_ERROR_SYSCALL:
      if (errno == 0) errno = ECONNRESET;
      return -1;
    default:
      throw FtpError(tlsErrorText("TLS read"));
  }
}

long Socket::send(const char* data, std::size_t size) {
  if (!ssl_) return ::send(fd_, data, size, MSG_NOSIGNAL);
  std::size_t put = 0;
  ERR_clear_error();
  if (SSL_write_ex(ssl_, data, size, &put) == 1) return static_cast<long>(put);
  switch (SSL_get_error(ssl_, 0)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      errno = EAGAIN;
      return -1;
    case SSL_ERROR_SYSCALL:
      if (errno == 0) errno = EPIPE;
      return -1;
    default:
      throw FtpError(tlsErrorText("TLS write"));
  }
}

void Socket::finishTls() {
  ERR_clear_error();
  SSL_shutdown(ssl_);
  ::shutdown(fd_, SHUT_WR);
  char scratch[4096];
  std::size_t got = 0;
  while (SSL_read_ex(ssl_, scratch, sizeof scratch, &got) == 1) {
  }
  ERR_clear_error();
  reset();
}

ssl_session_st* Socket::tlsSession() const { return ssl_ ? SSL_get_session(ssl_) : nullptr; }

bool Socket::resumed() const { return ssl_ && SSL_session_reused(ssl_) == 1; }

std::string Socket::tlsDescription() const {
  if (!ssl_) return "none";
  return std::string(SSL_get_version(ssl_)) + "/" + SSL_get_cipher_name(ssl_);
}

Socket Socket::connectTo(const Endpoint& to, int timeoutMs) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<std::uint16_t>(to.port));
  if (::inet_pton(AF_INET, to.host.c_str(), &sa.sin_addr) != 1) throw FtpError("bad address " + to.host);
  Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s) throw FtpError(errnoText("socket"));
  setTimeouts(s.get(), timeoutMs);
  int one = 1;
  ::setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  while (::connect(s.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    if (errno == EINTR) continue;
    if (errno == EINPROGRESS) throw FtpError("connect to " + to.host + ":" + std::to_string(to.port) + ": timed out");
    throw FtpError(errnoText(("connect to " + to.host + ":" + std::to_string(to.port)).c_str()));
  }
  return s;
}

void FtpClient::connect() {
  buffer_.clear();
  control_ = Socket::connectTo(server_, timeoutMs_);
  Reply greeting = readReply();
  if (greeting.code != 220) throw FtpError("greeting: " + greeting.text);
  if (tls_) {
    expect("AUTH TLS", 234);
    control_.startTls(*tls_, nullptr);
  }
}

void FtpClient::login(const std::string& user, const std::string& password) {
  Reply r = command("USER " + user);
  if (r.code == 331) r = command("PASS " + password);
  if (r.code != 230) throw FtpError("login: " + r.text);
  if (tls_) {
    expect("PBSZ 0", 200);
    expect("PROT P", 200);
  }
}

void FtpClient::quit() {
  Reply r = command("QUIT");
  if (r.code != 221) throw FtpError("QUIT: " + r.text);
  // The session is over when the server has closed its end.
  char scratch[256];
  while (true) {
    long n = control_.receive(scratch, sizeof scratch);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      throw FtpError(errnoText("waiting for the close after QUIT"));
    }
  }
  control_.reset();
}

Reply FtpClient::command(const std::string& line) {
  std::string out = line + "\r\n";
  const char* p = out.data();
  std::size_t left = out.size();
  while (left > 0) {
    long n = control_.send(p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw FtpError(errnoText("send"));
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return readReply();
}

Reply FtpClient::expect(const std::string& line, int code, int otherCode) {
  Reply r = command(line);
  if (r.code != code && (otherCode == 0 || r.code != otherCode)) {
    // The command's first word is enough to say what failed; a password never gets here.
    throw FtpError(line.substr(0, line.find(' ')) + ": " + r.text);
  }
  return r;
}

std::string FtpClient::readLine() {
  while (true) {
    std::size_t eol = buffer_.find('\n');
    if (eol != std::string::npos) {
      std::string line = buffer_.substr(0, eol);
      buffer_.erase(0, eol + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    if (buffer_.size() > kLongestLine) throw FtpError("reply line too long");
    char chunk[4096];
    long n = control_.receive(chunk, sizeof chunk);
    if (n == 0) throw FtpError("server closed the control connection");
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) throw FtpError("timed out waiting for a reply");
      throw FtpError(errnoText("recv"));
    }
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
}

Reply FtpClient::readReply() {
  std::string line = readLine();
  auto codeOf = [](const std::string& l) {
    if (l.size() < 3 || !std::isdigit(static_cast<unsigned char>(l[0])) ||
        !std::isdigit(static_cast<unsigned char>(l[1])) || !std::isdigit(static_cast<unsigned char>(l[2])))
      return -1;
    return (l[0] - '0') * 100 + (l[1] - '0') * 10 + (l[2] - '0');
  };
  int code = codeOf(line);
  if (code < 0) throw FtpError("not a reply: " + line);
  if (line.size() > 3 && line[3] == '-') {
    // Multi-line: runs to the line that starts with the same code and a blank.
    std::string end = line.substr(0, 3) + " ";
    do {
      line = readLine();
    } while (line.compare(0, 4, end) != 0);
  }
  return Reply{code, line};
}

Socket FtpClient::openPassive() {
  Reply r = expect("PASV", 227);
  return Socket::connectTo(parsePassive(r.text), timeoutMs_);
}

void FtpClient::protect(Socket& data) {
  if (tls_) data.startTls(*tls_, control_.tlsSession());
}

std::uint64_t FtpClient::drain(Socket& data, std::uint64_t* lines) {
  std::vector<char> chunk(kIoChunk);
  std::uint64_t total = 0;
  while (true) {
    long n = data.receive(chunk.data(), chunk.size());
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      throw FtpError(errnoText("data recv"));
    }
    total += static_cast<std::uint64_t>(n);
    if (lines) {
      for (long i = 0; i < n; ++i) *lines += chunk[static_cast<std::size_t>(i)] == '\n';
    }
  }
  data.reset();
  return total;
}

std::uint64_t FtpClient::drainUpTo(Socket& data, std::uint64_t limit) {
  std::vector<char> chunk(kIoChunk);
  std::uint64_t total = 0;
  while (total < limit) {
    std::size_t want = limit - total < chunk.size() ? static_cast<std::size_t>(limit - total) : chunk.size();
    long n = data.receive(chunk.data(), want);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      throw FtpError(errnoText("data recv"));
    }
    total += static_cast<std::uint64_t>(n);
  }
  return total;
}

void FtpClient::fill(Socket& data, std::uint64_t bytes) {
  std::vector<char> chunk(kIoChunk);
  // Bytes that no layer could compress or special-case.
  std::uint32_t x = 2463534242u;
  for (char& c : chunk) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  while (bytes > 0) {
    std::size_t want = bytes < chunk.size() ? static_cast<std::size_t>(bytes) : chunk.size();
    long n = data.send(chunk.data(), want);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw FtpError(errnoText("data send"));
    }
    bytes -= static_cast<std::uint64_t>(n);
  }
  if (data.secured()) data.finishTls();
  data.reset();
}

}  // namespace bench
