// The listening socket on the FTP port: domain choice, the IP filter and
// one connection thread per admitted client.
#pragma once
#include <cstdint>
#include <string>

#include "platform/event_loop.h"
#include "platform/socket.h"

namespace kestrel::console {
class CMainFrame;
}

namespace kestrel::server {

struct DomainChoice {
  std::int64_t id = 0;
  std::string name;
};

// The domain of the local address, else "Default" (id 0 when neither exists).
DomainChoice chooseDomain(const std::string& localAddress);
// The first Block row (by Sequence) whose ranges hold the address decides.
bool admitted(std::int64_t domainId, const std::string& peerAddress);

class CListenSocket : public platform::EventHandler {
 public:
  CListenSocket(platform::EventLoop& loop, console::CMainFrame& frame);
  ~CListenSocket() override;

  // Listens on Settings\Port on all interfaces; reports failures to the operator.
  bool start();
  void close();
  bool listening() const { return fd_.valid(); }
  int port() const;

  void onEvents(std::uint32_t events) override;

 private:
  void acceptOne();

  platform::EventLoop& loop_;
  console::CMainFrame& frame_;
  platform::Fd fd_;
};

}  // namespace kestrel::server
