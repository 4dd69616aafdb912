// The listening socket on the FTP port: domain choice, the IP filter and
// one connection thread per admitted client.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/event_loop.h"
#include "platform/socket.h"
#include "store/db/database.h"

namespace kestrel::platform {
class TlsContext;
}

namespace kestrel::server {

class CMainFrame;

struct DomainChoice {
  std::int64_t id = 0;
  std::string name;
};

// The domain of the local address, else "Default" (id 0 when neither exists).
DomainChoice chooseDomain(store::Database& db, const std::string& localAddress);
// The first Block row (by Sequence) whose ranges hold the address decides.
bool admitted(store::Database& db, std::int64_t domainId, const std::string& peerAddress);

class CListenSocket : public platform::EventHandler {
 public:
  CListenSocket(platform::EventLoop& loop, CMainFrame& frame);
  ~CListenSocket() override;

  // Listens on Settings\Port on every interface, or on each address of
  // Settings\ListenAddress; reports failures to the operator.
  bool start();
  void close();
  bool listening() const { return !fds_.empty(); }
  int port() const;

  void onEvents(std::uint32_t events) override;

 private:
  void acceptFrom(int listenFd);
  void shedOneClient(int listenFd);
  // Logged once until a connection gets its session again.
  void reportShortage();
  // The certificate of Settings\TLSCertificate and TLSKey, loaded again when
  // either setting or file changes; null (and a notice) when unusable.
  std::shared_ptr<const platform::TlsContext> currentTls();

  platform::EventLoop& loop_;
  CMainFrame& frame_;
  std::vector<platform::Fd> fds_;
  platform::Fd spare_;
  bool descriptorsShort_ = false;
  int pauseTimer_ = 0;
  std::string tlsStamp_;
  std::shared_ptr<const platform::TlsContext> tls_;
};

}  // namespace kestrel::server
