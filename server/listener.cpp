#include "server/listener.h"

#include <sys/epoll.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "console/main_frame.h"
#include "platform/settings.h"
#include "server/user_thread.h"
#include "store/records.h"

namespace kestrel::server {

DomainChoice chooseDomain(const std::string& localAddress) {
  DomainChoice choice;
  store::CDBHome home(*store::sharedDatabase());
  home.setFilter("ip=" + store::quoteText(localAddress));
  home.open();
  if (home.isEmpty()) {
    home.setFilter("name='Default'");
    home.requery();
  }
  if (!home.isEmpty()) {
    choice.id = home.row().id;
    choice.name = home.row().name;
  }
  return choice;
}

bool admitted(std::int64_t domainId, const std::string& peerAddress) {
  int octet[4] = {0, 0, 0, 0};
  if (!platform::parseDotted(peerAddress, octet)) return true;
  store::CDBBlock blocks(*store::sharedDatabase());
  blocks.setFilter("`domain`=" + std::to_string(domainId));
  blocks.setSort("sequence");
  blocks.open();
  for (const store::BlockRecord& b : blocks.rows()) {
    if (b.ip1Lo <= octet[0] && octet[0] <= b.ip1Hi && b.ip2Lo <= octet[1] && octet[1] <= b.ip2Hi &&
        b.ip3Lo <= octet[2] && octet[2] <= b.ip3Hi && b.ip4Lo <= octet[3] && octet[3] <= b.ip4Hi)
      return b.allow;
  }
  return true;
}

CListenSocket::CListenSocket(platform::EventLoop& loop, console::CMainFrame& frame) : loop_(loop), frame_(frame) {}

CListenSocket::~CListenSocket() { close(); }

bool CListenSocket::start() {
  close();
  int port = frame_.settings().read(settings::kPort);
  auto r = platform::listenTcp("", port, 5);
  if (!r.ok()) {
    char text[128];
    if (r.status.message.rfind("listen", 0) == 0)
      std::snprintf(text, sizeof text, "Unable to listen on net port %d.  Error %d.", port, r.status.code);
    else
      std::snprintf(text, sizeof text, "Failed to create socket for net port %d.  Error %d", port, r.status.code);
    frame_.notifyOperator(text);
    return false;
  }
  fd_ = std::move(r.value);
  loop_.add(fd_.get(), EPOLLIN, this);
  return true;
}

void CListenSocket::close() {
  if (!fd_.valid()) return;
  loop_.remove(fd_.get());
  fd_.reset();
}

int CListenSocket::port() const { return fd_.valid() ? platform::localEndpoint(fd_.get()).port : 0; }

void CListenSocket::onEvents(std::uint32_t) {
  // Drain the backlog: one event may stand for several connections.
  for (int i = 0; i < 64 && fd_.valid(); ++i) {
    auto r = platform::acceptTcp(fd_.get());
    if (!r.ok()) return;
    platform::Fd socket = std::move(r.value);
    platform::Endpoint peer = platform::peerEndpoint(socket.get());
    platform::Endpoint local = platform::localEndpoint(socket.get());
    try {
      DomainChoice domain = chooseDomain(local.address);
      if (!admitted(domain.id, peer.address)) continue;  // refused: closed without a reply
      auto thread = std::make_shared<CUserThread>(std::move(socket), domain.id, peer.address, peer.port - 1,
                                                  local.address, frame_, frame_.settings());
      if (!thread->start()) continue;
      frame_.addConnection(thread, domain.name);
    } catch (const store::DbError& e) {
      frame_.notifyOperator(std::string("Database error: ") + e.what());
    }
  }
}

}  // namespace kestrel::server
