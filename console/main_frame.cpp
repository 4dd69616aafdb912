#include "console/main_frame.h"

#include <cstdio>
#include <ctime>

#include "console/api.h"
#include "console/spy_window.h"
#include "platform/settings.h"
#include "store/activity_log.h"
#include "store/reports.h"

namespace kestrel::console {

namespace {

// Database failures are errors; the rest (operator messages, SITE MSG) information.
platform::Priority consoleLinePriority(const std::string& text) {
  return text.rfind("Database error: ", 0) == 0 ? platform::Priority::kError : platform::Priority::kInfo;
}

}  // namespace

const char* childWindowName(ChildWindow window) {
  static const char* const kNames[] = {"domains", "users", "groups", "connections", "console"};
  return kNames[static_cast<int>(window)];
}

nlohmann::json ConnectionRecord::toJson() const {
  return {{"id", id},         {"domain", domain},       {"name", name},         {"when", when},
          {"downloads", downloads}, {"uploads", uploads}, {"activity", activity}};
}

CMainFrame::CMainFrame(platform::EventLoop& loop, const platform::Settings& settings, bool serviceMode)
    : loop_(loop), settings_(settings), serviceMode_(serviceMode), listener_(loop, *this) {
  int rate = settings_.read(settings::kRefRate);
  nextSynchronisation_ = rate != 0 ? std::time(nullptr) + rate * 60 : 0;
}

CMainFrame::~CMainFrame() = default;

void CMainFrame::create() {
  store::loadLogSwitches(settings_);
  timerId_ = loop_.addTimer(std::chrono::milliseconds(5000), [this] { tick(); });
  if (timerId_ == 0) notifyOperator("Unable to create timer.  Timouts will not occur.");
  listener_.start();
}

void CMainFrame::post(Message message) {
  loop_.post([this, m = std::move(message)] { handle(m); });
}

void CMainFrame::publish(const std::string& event, const nlohmann::json& data) {
  if (events_) events_->publish("frame", event, data);
}

void CMainFrame::addConnection(std::shared_ptr<server::CUserThread> thread, const std::string& domainName) {
  ConnectionRecord record;
  record.id = nextConnectionId_++;
  record.thread = std::move(thread);
  record.when = store::formatLocalTime(std::time(nullptr), "%X %x");
  record.domain = domainName;
  connections_.push_front(std::move(record));
  publish("connection-added", connections_.front().toJson());
}

void CMainFrame::postToAll(const Message& message) {
  for (auto& c : connections_) c.thread->post(message);
}

ConnectionRecord* CMainFrame::find(const void* key) {
  for (auto& c : connections_)
    if (c.thread.get() == key) return &c;
  return nullptr;
}

ConnectionRecord* CMainFrame::findById(std::uint64_t id) {
  for (auto& c : connections_)
    if (c.id == id) return &c;
  return nullptr;
}

void CMainFrame::rowChanged(const ConnectionRecord& record) { publish("connection-changed", record.toJson()); }

void CMainFrame::handle(const Message& message) {
  if (message.id == Msg::ConsoleLine) {
    // The journal keeps every line; the Console window only those that arrive while it is open.
    platform::journalLine(consoleLinePriority(message.text), message.text);
    if (isOpen(ChildWindow::Console)) appendConsoleLine(message.text);
    return;
  }
  if (message.id == Msg::Activate) {
    notifyOperator("Kestrel is already running.", platform::Priority::kInfo);
    return;
  }
  ConnectionRecord* record = find(message.key);
  if (!record) return;  // a connection that already ended
  switch (message.id) {
    case Msg::ConnectionEnded: {
      std::uint64_t id = record->id;
      connections_.remove_if([&](const ConnectionRecord& c) { return c.thread.get() == message.key; });
      publish("connection-removed", {{"id", id}});
      if (connections_.empty() && closing_) {
        closing_ = false;
        finishClose();
      } else if (connections_.empty() && exitQuestionOpen_ && stopRequested_) {
        // The stop asked only because users were connected; they are gone.
        requestClose("OK");
      }
      break;
    }
    case Msg::ConnectionNamed:
      record->name = message.text;
      rowChanged(*record);
      break;
    case Msg::DownloadStarted:
      record->downloads++;
      record->activity = "RETR " + message.text;
      rowChanged(*record);
      break;
    case Msg::UploadCounted:
      record->uploads++;
      rowChanged(*record);
      break;
    case Msg::Activity:
      record->activity = message.hasText ? message.text : std::string();
      rowChanged(*record);
      break;
    default:
      break;
  }
}

void CMainFrame::setOpen(ChildWindow window, bool open) {
  if (open_[static_cast<int>(window)] == open) return;
  open_[static_cast<int>(window)] = open;
  // A closed Message Console has no text: reopened, it starts empty, as a new window would.
  if (window == ChildWindow::Console && !open) consoleText_.clear();
  publish("window", {{"window", childWindowName(window)}, {"open", open}});
}

void CMainFrame::appendConsoleLine(const std::string& text) {
  appendBounded(consoleText_, text + "\r\n");
  publish("console-line", {{"text", text}});
}

void CMainFrame::clearConsole() {
  consoleText_.clear();
  publish("console-cleared", nlohmann::json::object());
}

std::shared_ptr<SpyWindow> CMainFrame::openSpy(std::uint64_t connectionId) {
  ConnectionRecord* record = findById(connectionId);
  if (!record) return nullptr;
  auto spy = std::make_shared<SpyWindow>(nextSpyId_++, connectionId, record->thread->description(record->domain),
                                         events_);
  spies_[spy->id()] = spy;
  Message attach(Msg::AttachMonitor, record->thread.get());
  attach.monitor = spy;
  record->thread->post(std::move(attach));
  return spy;
}

std::shared_ptr<SpyWindow> CMainFrame::findSpy(std::uint64_t spyId) const {
  auto it = spies_.find(spyId);
  return it == spies_.end() ? nullptr : it->second;
}

bool CMainFrame::closeSpy(std::uint64_t spyId) {
  auto it = spies_.find(spyId);
  if (it == spies_.end()) return false;
  // A connection that has ended gets nothing.
  if (it->second->connected())
    if (ConnectionRecord* record = findById(it->second->connectionId()))
      record->thread->post({Msg::DetachMonitor, record->thread.get()});
  spies_.erase(it);
  return true;
}

void CMainFrame::tick() {
  postToAll({Msg::IdleCheck});
  // A stop must not wait on a question nobody can see: the last console
  // went away while it was open.
  if (exitQuestionOpen_ && stopRequested_ && !(events_ && events_->consoleOpen())) requestClose("OK");
  if (onTick) onTick();
}

void CMainFrame::requestStop() {
  stopRequested_ = true;
  if (closing_ || closed_) return;
  listener_.close();
  if (connections_.empty() || !events_ || !events_->consoleOpen()) {
    requestClose("OK");
    return;
  }
  exitQuestionOpen_ = true;
  publish("question", {{"kind", "exit"}, {"text", kExitQuestion}, {"buttons", {"OK", "Cancel"}}, {"icon", "warning"}});
}

CloseOutcome CMainFrame::requestClose(const std::string& answer) {
  // In service mode the console's Exit only hides the window; a stop comes from the service manager.
  if (serviceMode_ && !stopRequested_) return CloseOutcome::Ignored;
  if (closing_ || closed_) return CloseOutcome::Ignored;
  listener_.close();  // a cancelled exit does not reopen it
  if (exitQuestionOpen_ && (connections_.empty() || !answer.empty())) {
    exitQuestionOpen_ = false;
    publish("question-closed", {{"kind", "exit"}});
  }
  if (connections_.empty()) {
    finishClose();
    return CloseOutcome::Closed;
  }
  if (answer.empty()) return CloseOutcome::Asking;
  if (answer != "OK") {
    bool wasStop = stopRequested_;
    stopRequested_ = false;
    if (wasStop && onStopCancelled) onStopCancelled();
    return CloseOutcome::Cancelled;
  }
  closing_ = true;
  publish("closing", nlohmann::json::object());
  postToAll({Msg::EndConnection});
  return CloseOutcome::Confirmed;
}

void CMainFrame::finishClose() {
  if (closed_) return;
  closed_ = true;
  if (timerId_) loop_.cancelTimer(timerId_);
  timerId_ = 0;
  publish("closed", nlohmann::json::object());
  if (onClosed) onClosed();
}

void CMainFrame::notifyOperator(const std::string& text, platform::Priority priority) {
  platform::reportLine(priority, text);
  if (events_) events_->notice(text);
}

}  // namespace kestrel::console
