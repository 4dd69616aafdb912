#include "platform/tls.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace kestrel::platform {
namespace {

// A self-signed pair in a folder of the test's own, made by the openssl tool.
class TlsPair : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/kestrel-tls-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    dir_ = dir;
    cert_ = dir_ + "/cert.pem";
    key_ = dir_ + "/key.pem";
    std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=test -keyout " + key_ +
                          " -out " + cert_ + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
  void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

  std::string dir_, cert_, key_;
};

// Runs a client handshake against the server stream over a socket pair,
// each side taking a step in turn, as two loops would.
bool handshake(SSL* client, TlsStream& server) {
  for (int i = 0; i < 100; ++i) {
    int c = SSL_do_handshake(client);
    TlsStream::Handshake s = server.handshake();
    if (s == TlsStream::Handshake::Failed) return false;
    if (c == 1 && s == TlsStream::Handshake::Done) return true;
  }
  return false;
}

TEST_F(TlsPair, LoadsAPairAndRefusesWhatIsMissingOrMismatched) {
  EXPECT_TRUE(TlsContext::load(cert_, key_).ok());
  auto missing = TlsContext::load(dir_ + "/none.pem", key_);
  EXPECT_FALSE(missing.ok());
  EXPECT_EQ(missing.value, nullptr);
  EXPECT_NE(missing.status.message.find("none.pem"), std::string::npos);
  // A certificate given as its own key is no key at all.
  EXPECT_FALSE(TlsContext::load(cert_, cert_).ok());
  EXPECT_NE(TlsContext::fileStamp(cert_, key_), TlsContext::fileStamp(cert_, dir_ + "/none.pem"));
}

TEST_F(TlsPair, NonBlockingHandshakeAndDataBothWays) {
  auto context = TlsContext::load(cert_, key_);
  ASSERT_TRUE(context.ok()) << context.status.message;
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
  TlsStream server(*context.value, fds[0]);
  // Nothing has arrived: the server waits to read, it does not block.
  EXPECT_EQ(server.handshake(), TlsStream::Handshake::Again);
  EXPECT_EQ(server.wait(), TlsWait::Read);

  SSL_CTX* cctx = SSL_CTX_new(TLS_client_method());
  SSL* client = SSL_new(cctx);
  SSL_set_fd(client, fds[1]);
  SSL_set_connect_state(client);
  ASSERT_TRUE(handshake(client, server));
  EXPECT_TRUE(server.established());
  EXPECT_GE(SSL_version(client), TLS1_2_VERSION);

  ASSERT_EQ(SSL_write(client, "USER x\r\n", 8), 8);
  char buf[64];
  IoResult r = server.receive(buf, sizeof buf);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(std::string(buf, static_cast<std::size_t>(r.count)), "USER x\r\n");
  r = server.receive(buf, sizeof buf);
  EXPECT_TRUE(r.wouldBlock);
  EXPECT_EQ(server.send("331 ok\r\n", 8).count, 8);
  int n = SSL_read(client, buf, sizeof buf);
  EXPECT_EQ(std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0), "331 ok\r\n");
  // close_notify reads as the end of data, as a TCP close does.
  SSL_shutdown(client);
  r = server.receive(buf, sizeof buf);
  EXPECT_TRUE(r.ok() && !r.wouldBlock && r.count == 0);

  SSL_free(client);
  SSL_CTX_free(cctx);
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST_F(TlsPair, GarbageFailsTheHandshakeWithAReason) {
  auto context = TlsContext::load(cert_, key_);
  ASSERT_TRUE(context.ok());
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
  TlsStream server(*context.value, fds[0]);
  const char garbage[] = "GET / HTTP/1.0\r\n\r\n";
  ASSERT_EQ(::write(fds[1], garbage, sizeof garbage - 1), static_cast<ssize_t>(sizeof garbage - 1));
  EXPECT_EQ(server.handshake(), TlsStream::Handshake::Failed);
  EXPECT_FALSE(server.error().empty());
  ::close(fds[0]);
  ::close(fds[1]);
  // A peer that hangs up before saying anything fails too, rather than waiting on.
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
  TlsStream second(*context.value, fds[0]);
  ::close(fds[1]);
  EXPECT_EQ(second.handshake(), TlsStream::Handshake::Failed);
  ::close(fds[0]);
}

}  // namespace
}  // namespace kestrel::platform
