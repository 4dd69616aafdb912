#include "server/user_thread.h"

#include <thread>
#include <utility>

#include "ftp/reply.h"
#include "platform/settings.h"

namespace kestrel::server {

CUserThread::CUserThread(platform::Fd socket, std::int64_t domainId, std::string peerAddress, int peerDataPort,
                         std::string localAddress, MainLink& main, const platform::Settings& settings,
                         std::shared_ptr<const platform::TlsContext> tls, ftp::SessionShared* shared)
    : domainId_(domainId),
      connectTime_(std::time(nullptr)),
      peerDataPort_(peerDataPort),
      peerAddress_(std::move(peerAddress)),
      localAddress_(std::move(localAddress)),
      socket_(std::move(socket)),
      main_(main),
      settings_(settings),
      tls_(std::move(tls)),
      shared_(shared) {}

CUserThread::~CUserThread() = default;

bool CUserThread::start() {
  if (!loop_.ready()) {
    platform::sendBestEffort(socket_.get(), ftp::kServiceUnavailable);
    return false;
  }
  try {
    std::thread([self = shared_from_this()] { self->run(); }).detach();
    return true;
  } catch (const std::system_error&) {
    platform::sendBestEffort(socket_.get(), ftp::kServiceUnavailable);
    return false;
  }
}

void CUserThread::post(Message message) {
  loop_.post([this, m = std::move(message)] { handle(m); });
}

void CUserThread::postToMain(Message message) {
  const bool rowChange =
      message.id == Msg::DownloadStarted || message.id == Msg::UploadCounted || message.id == Msg::Activity;
  if (rowChange) {
    platform::MutexLock lock(pendingRowMutex_);
    // Checked under the lock: the main thread marks the rows watched before
    // it takes what waits here, so nothing is left behind either way.
    if (!main_.rowsWatched()) {
      if (message.id == Msg::DownloadStarted) {
        ++pendingRow_.downloads;
        pendingRow_.activitySet = true;
        pendingRow_.activity = "RETR " + message.text;
      } else if (message.id == Msg::UploadCounted) {
        ++pendingRow_.uploads;
      } else {
        pendingRow_.activitySet = true;
        pendingRow_.activity = message.hasText ? message.text : std::string();
      }
      return;
    }
  }
  main_.post(std::move(message));
}

PendingRow CUserThread::takePendingRow() {
  platform::MutexLock lock(pendingRowMutex_);
  return std::exchange(pendingRow_, {});
}

void CUserThread::run() {
  loop_.adoptCurrentThread();
  std::string hostName;
  if (settings_.read(settings::kLookup) != 0) hostName = platform::reverseLookup(peerAddress_);
  ftp::SessionParams params{domainId_, peerAddress_, peerDataPort_, hostName, localAddress_, tls_, shared_};
  {
    platform::MutexLock lock(sessionMutex_);
    hostName_ = hostName;
    session_ = std::make_unique<ftp::CUserSocket>(*this, std::move(socket_), params);
  }
  ownSession()->setMonitor(monitor_);
  ownSession()->start();
  loop_.run();
  {
    std::unique_ptr<ftp::CUserSocket> ending;
    {
      platform::MutexLock lock(sessionMutex_);
      ending = std::move(session_);
    }
  }
  main_.post({Msg::ConnectionEnded, this});
}

std::string CUserThread::description(const std::string& domainName) const {
  platform::MutexLock lock(sessionMutex_);
  std::string user;
  if (session_) {
    auto who = session_->identity();
    user = who.anonymous ? "Anonymous" : who.displayName;
  }
  return domainName + ":" + user + " (" + (hostName_.empty() ? peerAddress_ : hostName_) + ")";
}

void CUserThread::handle(const Message& message) {
  switch (message.id) {
    case Msg::IdleCheck:
      if (ftp::CUserSocket* session = ownSession()) session->idleCheck();
      break;
    case Msg::EndConnection:
      loop_.quit();
      break;
    case Msg::AttachMonitor:
      if (ftp::CUserSocket* session = ownSession()) session->setMonitor(message.monitor);
      else monitor_ = message.monitor;
      break;
    case Msg::DetachMonitor:
      if (ftp::CUserSocket* session = ownSession()) session->clearMonitor();
      else monitor_.reset();
      break;
    case Msg::UserMessage:
      if (ftp::CUserSocket* session = ownSession()) session->addConsoleMessage(message.text);
      break;
    default:
      break;
  }
}

}  // namespace kestrel::server
