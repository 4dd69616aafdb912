#include "server/listener.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "ftp/reply.h"
#include "platform/settings.h"
#include "platform/tls.h"
#include "server/main_frame.h"
#include "server/user_thread.h"
#include "store/ip_filter.h"
#include "store/queries.h"

namespace kestrel::server {

DomainChoice chooseDomain(store::Database& db, const std::string& localAddress) {
  DomainChoice choice;
  auto home = store::domainByAddress(db, localAddress);
  if (!home) home = store::domainByName(db, "Default");
  if (home) {
    choice.id = home->id;
    choice.name = home->name;
  }
  return choice;
}

bool admitted(store::Database& db, std::int64_t domainId, const std::string& peerAddress) {
  int octet[4] = {0, 0, 0, 0};
  if (!platform::parseDotted(peerAddress, octet)) return true;
  return store::filterAdmits(store::loadFilter(db, domainId), octet);
}

CListenSocket::CListenSocket(platform::EventLoop& loop, CMainFrame& frame) : loop_(loop), frame_(frame) {}

CListenSocket::~CListenSocket() { close(); }

bool CListenSocket::start() {
  close();
  int port = frame_.settings().read(settings::kPort);
  std::vector<std::string> addresses;
  std::string list = frame_.settings().read(settings::kListenAddress);
  for (std::size_t start = 0; start <= list.size();) {
    std::size_t comma = std::min(list.find(',', start), list.size());
    std::string address = list.substr(start, comma - start);
    address.erase(0, address.find_first_not_of(' '));
    address.erase(address.find_last_not_of(' ') + 1);
    if (!address.empty()) addresses.push_back(address);
    start = comma + 1;
  }
  if (addresses.empty()) addresses.push_back("");  // every interface
  for (const auto& address : addresses) {
    // A backlog of 5 drops bursts of clients (SYNs time out); let the kernel queue a real burst.
    auto r = platform::listenTcp(address, port, 511);
    if (!r.ok()) {
      char text[128];
      if (r.status.message.rfind("listen", 0) == 0)
        std::snprintf(text, sizeof text, "Unable to listen on net port %d.  Error %d.", port, r.status.code);
      else
        std::snprintf(text, sizeof text, "Failed to create socket for net port %d.  Error %d", port, r.status.code);
      frame_.notifyOperator(text);
      close();
      return false;
    }
    loop_.add(r.value.get(), platform::io::kReadable, this);
    fds_.push_back(std::move(r.value));
  }
  if (!spare_.valid()) spare_ = platform::openSpareDescriptor();
  currentTls();  // a bad certificate is reported at start, not at the first AUTH
  return true;
}

std::shared_ptr<const platform::TlsContext> CListenSocket::currentTls() {
  std::string certificate = frame_.settings().read(settings::kTlsCertificate);
  std::string key = frame_.settings().read(settings::kTlsKey);
  if (certificate.empty() && key.empty()) {
    tlsStamp_.clear();
    tls_.reset();
    return nullptr;
  }
  std::string stamp = platform::TlsContext::fileStamp(certificate, key);
  if (stamp == tlsStamp_) return tls_;
  tlsStamp_ = stamp;
  auto loaded = platform::TlsContext::load(certificate, key.empty() ? certificate : key);
  tls_ = loaded.value;
  if (!loaded.ok())
    frame_.notifyOperator("TLS is off: the certificate or key could not be loaded (" + loaded.status.message + ").");
  return tls_;
}

void CListenSocket::close() {
  if (pauseTimer_) loop_.cancelTimer(pauseTimer_);
  pauseTimer_ = 0;
  for (auto& fd : fds_) loop_.remove(fd.get());
  fds_.clear();
}

int CListenSocket::port() const { return fds_.empty() ? 0 : platform::localEndpoint(fds_.front().get()).port; }

void CListenSocket::onEvents(std::uint32_t) {
  // The sockets are non-blocking and few: drain each one's backlog.
  for (std::size_t f = 0; f < fds_.size(); ++f) acceptFrom(fds_[f].get());
}

void CListenSocket::acceptFrom(int listenFd) {
  for (int i = 0; i < 64 && !fds_.empty(); ++i) {
    platform::Endpoint peer;
    auto r = platform::acceptTcp(listenFd, &peer);
    if (!r.ok()) {
      if (r.status.code == EMFILE || r.status.code == ENFILE) shedOneClient(listenFd);
      return;
    }
    platform::Fd socket = std::move(r.value);
    platform::Endpoint local = platform::localEndpoint(socket.get());
    try {
      ftp::SessionShared* shared = frame_.sessionShared();
      if (!shared) throw store::DbError("no data source");
      DomainChoice domain = chooseDomain(shared->db, local.address);
      if (!admitted(shared->db, domain.id, peer.address)) continue;  // refused: closed without a reply
      auto thread = std::make_shared<CUserThread>(std::move(socket), domain.id, peer.address, peer.port - 1,
                                                  local.address, frame_, frame_.settings(), currentTls(), shared);
      // A connection that cannot get its thread or loop is turned away; the
      // server goes on with the others.
      if (!thread->start()) {
        reportShortage();
        continue;
      }
      frame_.addConnection(thread, domain.name);
      descriptorsShort_ = false;
    } catch (const store::DbError& e) {
      if (socket.valid()) platform::sendBestEffort(socket.get(), ftp::kServiceUnavailable);
      frame_.notifyOperator(std::string("Database error: ") + e.what());
    }
  }
}

void CListenSocket::reportShortage() {
  if (descriptorsShort_) return;
  descriptorsShort_ = true;
  const char* text = "Out of file descriptors or threads: new connections are refused until some close.";
  std::fprintf(stderr, "%s\n", text);
  frame_.post({Msg::ConsoleLine, nullptr, text, true});
}

// Out of descriptors: the spare makes room to accept the waiting client and
// close it at once. Without a spare, accepting pauses for a second, so a
// client left in the backlog cannot keep the loop busy.
void CListenSocket::shedOneClient(int listenFd) {
  reportShortage();
  if (spare_.valid()) {
    spare_.reset();
    auto r = platform::acceptTcp(listenFd);
    if (r.ok()) platform::sendBestEffort(r.value.get(), ftp::kServiceUnavailable);
    r.value.reset();
    spare_ = platform::openSpareDescriptor();
    if (spare_.valid()) return;
  }
  for (auto& fd : fds_) loop_.modify(fd.get(), 0);
  pauseTimer_ = loop_.addTimer(std::chrono::milliseconds(1000), [this] {
    loop_.cancelTimer(pauseTimer_);
    pauseTimer_ = 0;
    if (!spare_.valid()) spare_ = platform::openSpareDescriptor();
    for (auto& fd : fds_) loop_.modify(fd.get(), platform::io::kReadable);
  });
}

}  // namespace kestrel::server
