#include "platform/tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kestrel::platform {

namespace {

SSL* asSsl(void* p) { return static_cast<SSL*>(p); }

// The OpenSSL error queue as one line, emptied.
std::string drainErrors(const char* what) {
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

// Session ids are looked up only among connections of this program.
constexpr unsigned char kSessionContext[] = "kestrel-ftp";

}  // namespace

Result<std::shared_ptr<TlsContext>> TlsContext::load(const std::string& certificate, const std::string& key) {
  Result<std::shared_ptr<TlsContext>> r;
  ERR_clear_error();
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (!ctx) {
    r.status = Status{EINVAL, drainErrors("SSL_CTX_new")};
    return r;
  }
  r.value.reset(new TlsContext(ctx));
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  // Clients that drop the connection without close_notify are common among
  // FTP clients; their end of data is the TCP close, as without TLS.
  SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
#ifdef SSL_OP_ENABLE_KTLS
  SSL_CTX_set_options(ctx, SSL_OP_ENABLE_KTLS);
#endif
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_SERVER);
  SSL_CTX_set_session_id_context(ctx, kSessionContext, sizeof kSessionContext - 1);
  if (SSL_CTX_use_certificate_chain_file(ctx, certificate.c_str()) != 1) {
    r.status = Status{ENOENT, drainErrors(("certificate " + certificate).c_str())};
    r.value.reset();
    return r;
  }
  if (SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1 || SSL_CTX_check_private_key(ctx) != 1) {
    r.status = Status{ENOENT, drainErrors(("key " + key).c_str())};
    r.value.reset();
    return r;
  }
  return r;
}

std::string TlsContext::fileStamp(const std::string& certificate, const std::string& key) {
  std::string stamp;
  for (const std::string* path : {&certificate, &key}) {
    struct stat st {};
    stamp += *path + '\n';
    if (::stat(path->c_str(), &st) == 0)
      stamp += std::to_string(st.st_ino) + ':' + std::to_string(st.st_size) + ':' + std::to_string(st.st_mtim.tv_sec) +
               '.' + std::to_string(st.st_mtim.tv_nsec) + '\n';
  }
  return stamp;
}

TlsContext::~TlsContext() { SSL_CTX_free(static_cast<SSL_CTX*>(ctx_)); }

TlsStream::TlsStream(const TlsContext& context, int fd, Tickets tickets) : fd_(fd) {
  SSL* ssl = SSL_new(static_cast<SSL_CTX*>(context.native()));
  if (!ssl) return;
  if (tickets == Tickets::None) SSL_set_num_tickets(ssl, 0);
  if (SSL_set_fd(ssl, fd) != 1) {
    SSL_free(ssl);
    return;
  }
  SSL_set_accept_state(ssl);
  ssl_ = ssl;
}

TlsStream::~TlsStream() {
  if (ssl_) SSL_free(asSsl(ssl_));
}

IoResult TlsStream::result(int ret, const char* what) {
  IoResult r;
  wait_ = TlsWait::None;
  if (ret > 0) {
    r.count = ret;
    return r;
  }
  int err = SSL_get_error(asSsl(ssl_), ret);
  switch (err) {
    case SSL_ERROR_WANT_READ:
      wait_ = TlsWait::Read;
      r.wouldBlock = true;
      break;
    case SSL_ERROR_WANT_WRITE:
      wait_ = TlsWait::Write;
      r.wouldBlock = true;
      break;
    case SSL_ERROR_ZERO_RETURN:
      r.count = 0;  // close_notify: the peer's end of data
      break;
    case SSL_ERROR_SYSCALL:
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        r.wouldBlock = true;
        wait_ = TlsWait::Read;
        break;
      }
      r.status = Status::fromCode(errno ? errno : ECONNRESET, what);
      error_ = drainErrors(what);
      break;
    default:
      error_ = drainErrors(what);
      r.status = Status{EPROTO, error_};
      break;
  }
  return r;
}

TlsStream::Handshake TlsStream::handshake() {
  if (!ssl_) return Handshake::Failed;
  if (established_) return Handshake::Done;
  ERR_clear_error();
  int ret = SSL_do_handshake(asSsl(ssl_));
  if (ret == 1) {
    established_ = true;
    wait_ = TlsWait::None;
    return Handshake::Done;
  }
  IoResult r = result(ret, "handshake");
  if (r.wouldBlock) return Handshake::Again;
  if (error_.empty()) error_ = "handshake: connection closed";
  return Handshake::Failed;
}

IoResult TlsStream::send(const char* data, std::size_t size) {
  ERR_clear_error();
  std::size_t written = 0;
  int ret = SSL_write_ex(asSsl(ssl_), data, size, &written);
  return result(ret == 1 ? static_cast<int>(written) : ret, "SSL_write");
}

IoResult TlsStream::receive(char* data, std::size_t size) {
  ERR_clear_error();
  std::size_t got = 0;
  int ret = SSL_read_ex(asSsl(ssl_), data, size, &got);
  return result(ret == 1 ? static_cast<int>(got) : ret, "SSL_read");
}

bool TlsStream::kernelSends() const {
#ifdef SSL_OP_ENABLE_KTLS
  return ssl_ && BIO_get_ktls_send(SSL_get_wbio(asSsl(ssl_)));
#else
  return false;
#endif
}

IoResult TlsStream::sendFromFile(int file, std::size_t size) {
  IoResult r;
  if (!kernelSends()) {
    r.status = Status::fromCode(EINVAL, "SSL_sendfile");
    return r;
  }
  off_t offset = ::lseek(file, 0, SEEK_CUR);
  if (offset < 0) {
    r.status = Status::fromErrno("lseek");
    return r;
  }
  ERR_clear_error();
  ossl_ssize_t sent = SSL_sendfile(asSsl(ssl_), file, offset, size, 0);
  if (sent > 0) {
    ::lseek(file, offset + sent, SEEK_SET);
    r.count = static_cast<long>(sent);
    return r;
  }
  if (sent == 0) return r;  // the end of the file
  IoResult failed = result(static_cast<int>(sent), "SSL_sendfile");
  if (!failed.wouldBlock && failed.ok()) failed.status = Status::fromCode(EIO, "SSL_sendfile");
  // The kernel still takes the data when sendfile itself is what failed:
  // the caller falls back to copying.
  if (!failed.wouldBlock && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP))
    failed.status = Status::fromCode(EINVAL, "SSL_sendfile");
  return failed;
}

void TlsStream::close() {
  if (!ssl_ || !established_) return;
  ERR_clear_error();
  SSL_shutdown(asSsl(ssl_));
  ERR_clear_error();
}

bool TlsStream::buffered() const { return ssl_ && SSL_pending(asSsl(ssl_)) > 0; }

}  // namespace kestrel::platform
