#include "console/main_frame.h"

#include <cstdio>

#include "platform/settings.h"
#include "store/activity_log.h"

namespace kestrel::console {

namespace {
constexpr std::size_t kConsoleLimit = 10000;
constexpr std::size_t kConsoleDrop = 5000;
}  // namespace

CMainFrame::CMainFrame(platform::EventLoop& loop, const platform::Settings& settings)
    : loop_(loop), settings_(settings), listener_(loop, *this) {
  int rate = settings_.read(settings::kRefRate);
  nextSynchronisation_ = rate != 0 ? std::time(nullptr) + rate * 60 : 0;
}

CMainFrame::~CMainFrame() = default;

void CMainFrame::create() {
  store::loadLogSwitches(settings_);
  timerId_ = loop_.addTimer(std::chrono::milliseconds(5000), [this] { tick(); });
  listener_.start();
}

void CMainFrame::post(Message message) {
  loop_.post([this, m = std::move(message)] { handle(m); });
}

void CMainFrame::addConnection(std::shared_ptr<server::CUserThread> thread, const std::string& domainName) {
  ConnectionRecord record;
  record.thread = std::move(thread);
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char when[64];
  std::strftime(when, sizeof when, "%X %x", &tm);
  record.when = when;
  record.domain = domainName;
  connections_.push_front(std::move(record));
}

void CMainFrame::postToAll(const Message& message) {
  for (auto& c : connections_) c.thread->post(message);
}

ConnectionRecord* CMainFrame::find(const void* key) {
  for (auto& c : connections_)
    if (c.thread.get() == key) return &c;
  return nullptr;
}

void CMainFrame::handle(const Message& message) {
  if (message.id == Msg::ConsoleLine) {
    appendConsoleLine(message.text);
    return;
  }
  if (message.id == Msg::Activate) {
    notifyOperator("Kestrel is already running.");
    return;
  }
  ConnectionRecord* record = find(message.key);
  if (!record) return;  // a connection that already ended
  switch (message.id) {
    case Msg::ConnectionEnded:
      connections_.remove_if([&](const ConnectionRecord& c) { return c.thread.get() == message.key; });
      if (connections_.empty() && closing_) {
        closing_ = false;
        requestClose(true);
      }
      break;
    case Msg::ConnectionNamed:
      record->name = message.text;
      break;
    case Msg::DownloadStarted:
      record->downloads++;
      record->activity = "RETR " + message.text;
      break;
    case Msg::UploadCounted:
      record->uploads++;
      break;
    case Msg::Activity:
      record->activity = message.hasText ? message.text : std::string();
      break;
    default:
      break;
  }
}

void CMainFrame::appendConsoleLine(const std::string& text) {
  consoleText_ += text;
  consoleText_ += "\r\n";
  if (consoleText_.size() > kConsoleLimit) consoleText_.erase(0, kConsoleDrop);
  std::fprintf(stdout, "%s\n", text.c_str());
  std::fflush(stdout);
}

void CMainFrame::tick() {
  postToAll({Msg::IdleCheck});
  if (onTick) onTick();
}

void CMainFrame::requestClose(bool confirmed) {
  if (closing_ || closed_) return;
  listener_.close();  // a cancelled exit does not reopen it
  if (!connections_.empty()) {
    if (!confirmed) return;
    closing_ = true;
    postToAll({Msg::EndConnection});
    return;
  }
  closed_ = true;
  if (timerId_) loop_.cancelTimer(timerId_);
  timerId_ = 0;
  if (onClosed) onClosed();
}

void CMainFrame::notifyOperator(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
}

}  // namespace kestrel::console
