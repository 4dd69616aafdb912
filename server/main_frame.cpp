#include "server/main_frame.h"

#include <cstdio>
#include <ctime>

#include "platform/settings.h"
#include "store/activity_log.h"
#include "store/reports.h"

namespace kestrel::server {

namespace {

// Database failures are errors; the rest (operator messages, SITE MSG) information.
platform::Priority consoleLinePriority(const std::string& text) {
  return text.rfind("Database error: ", 0) == 0 ? platform::Priority::kError : platform::Priority::kInfo;
}

}  // namespace

CMainFrame::CMainFrame(platform::EventLoop& loop, const platform::Settings& settings, bool serviceMode,
                       ftp::SessionShared* shared)
    : loop_(loop), settings_(settings), serviceMode_(serviceMode), shared_(shared), listener_(loop, *this) {
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

void CMainFrame::addConnection(std::shared_ptr<CUserThread> thread, const std::string& domainName) {
  ConnectionRecord record;
  record.id = nextConnectionId_++;
  record.thread = std::move(thread);
  record.when = store::formatLocalTime(std::time(nullptr), "%X %x");
  record.domain = domainName;
  connections_.push_front(std::move(record));
  if (events_) events_->connectionAdded(connections_.front());
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

const std::list<ConnectionRecord>& CMainFrame::connections() {
  applyPendingRows();
  return connections_;
}

void CMainFrame::setRowsWatched(bool watched) {
  // Marked first: a thread that has not yet kept its change posts it instead.
  rowsWatched_.store(watched);
  if (watched) applyPendingRows();
}

void CMainFrame::applyPendingRows() {
  for (auto& record : connections_) {
    PendingRow row = record.thread->takePendingRow();
    if (row.empty()) continue;
    record.downloads += row.downloads;
    record.uploads += row.uploads;
    if (row.activitySet) record.activity = std::move(row.activity);
    rowChanged(record);
  }
}

void CMainFrame::rowChanged(const ConnectionRecord& record) {
  if (events_) events_->connectionChanged(record);
}

bool CMainFrame::attachMonitor(std::uint64_t connectionId, std::shared_ptr<Monitor> monitor) {
  ConnectionRecord* record = findById(connectionId);
  if (!record) return false;
  Message attach(Msg::AttachMonitor, record->thread.get());
  attach.monitor = std::move(monitor);
  record->thread->post(std::move(attach));
  return true;
}

void CMainFrame::detachMonitor(std::uint64_t connectionId) {
  if (ConnectionRecord* record = findById(connectionId)) record->thread->post({Msg::DetachMonitor, record->thread.get()});
}

void CMainFrame::handle(const Message& message) {
  if (message.id == Msg::ConsoleLine) {
    platform::journalLine(consoleLinePriority(message.text), message.text);
    if (events_) events_->consoleLine(message.text);
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
      if (events_) events_->connectionRemoved(id);
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
  events_->exitQuestionAsked();
}

CloseOutcome CMainFrame::requestClose(const std::string& answer) {
  // In service mode the console's Exit only hides the window; a stop comes from the service manager.
  if (serviceMode_ && !stopRequested_) return CloseOutcome::Ignored;
  if (closing_ || closed_) return CloseOutcome::Ignored;
  listener_.close();  // a cancelled exit does not reopen it
  if (exitQuestionOpen_ && (connections_.empty() || !answer.empty())) {
    exitQuestionOpen_ = false;
    if (events_) events_->exitQuestionClosed();
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
  if (events_) events_->closing();
  postToAll({Msg::EndConnection});
  return CloseOutcome::Confirmed;
}

void CMainFrame::finishClose() {
  if (closed_) return;
  closed_ = true;
  if (timerId_) loop_.cancelTimer(timerId_);
  timerId_ = 0;
  if (events_) events_->closed();
  if (onClosed) onClosed();
}

void CMainFrame::notifyOperator(const std::string& text, platform::Priority priority) {
  platform::reportLine(priority, text);
  if (events_) events_->notice(text);
}

}  // namespace kestrel::server
