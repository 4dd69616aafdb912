#include "server/user_thread.h"

#include <thread>

#include "platform/settings.h"

namespace kestrel::server {

CUserThread::CUserThread(platform::Fd socket, std::int64_t domainId, std::string peerAddress, int peerDataPort,
                         std::string localAddress, MainLink& main, const platform::Settings& settings)
    : domainId_(domainId),
      connectTime_(std::time(nullptr)),
      peerDataPort_(peerDataPort),
      peerAddress_(std::move(peerAddress)),
      localAddress_(std::move(localAddress)),
      socket_(std::move(socket)),
      main_(main),
      settings_(settings) {}

CUserThread::~CUserThread() = default;

bool CUserThread::start() {
  try {
    std::thread([self = shared_from_this()] { self->run(); }).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

void CUserThread::post(Message message) {
  loop_.post([this, m = std::move(message)] { handle(m); });
}

void CUserThread::run() {
  loop_.adoptCurrentThread();
  if (settings_.read(settings::kLookup) != 0) hostName_ = platform::reverseLookup(peerAddress_);
  ftp::SessionParams params{domainId_, peerAddress_, peerDataPort_, hostName_, localAddress_};
  session_ = std::make_unique<ftp::CUserSocket>(*this, std::move(socket_), params);
  session_->setMonitor(monitor_);
  session_->start();
  loop_.run();
  session_.reset();
  main_.post({Msg::ConnectionEnded, this});
}

void CUserThread::handle(const Message& message) {
  switch (message.id) {
    case Msg::IdleCheck:
      if (session_) session_->idleCheck();
      break;
    case Msg::EndConnection:
      loop_.quit();
      break;
    case Msg::AttachMonitor:
      if (session_) session_->setMonitor(message.monitor);
      else monitor_.reset();
      break;
    case Msg::DetachMonitor:
      if (session_) session_->clearMonitor();
      else monitor_.reset();
      break;
    case Msg::UserMessage:
      if (session_) session_->addConsoleMessage(message.text);
      break;
    default:
      break;
  }
}

}  // namespace kestrel::server
