#include "console/state/spy_window.h"

#include "console/routes/api.h"

namespace kestrel::console {

namespace {
constexpr std::size_t kLogLimit = 10000;
constexpr std::size_t kLogDrop = 5000;
}  // namespace

void appendBounded(std::string& log, const std::string& text) {
  log += text;
  if (log.size() > kLogLimit) log.erase(0, kLogDrop);
}

SpyWindow::SpyWindow(std::uint64_t id, std::uint64_t connectionId, std::string title, EventHub* events)
    : id_(id),
      connectionId_(connectionId),
      title_(std::move(title)),
      // The upper pane splits the title at its first colon.
      domainLine_("Domain: " + title_.substr(0, title_.find(':'))),
      userLine_("User: " + (title_.find(':') == std::string::npos ? std::string() : title_.substr(title_.find(':') + 1))),
      events_(events) {}

bool SpyWindow::connected() const {
  platform::MutexLock lock(stateMutex_);
  return connected_;
}

void SpyWindow::send(const Message& message) {
  platform::MutexLock lock(stateMutex_);
  switch (message.id) {
    case Msg::Traffic:
      appendBounded(log_, message.text);
      publishLocked("traffic", {{"text", message.text}});
      break;
    case Msg::Activity:  // an upload has started
      file_ = message.text;
      mode_ = Upload;
      value_ = 0;
      publishLocked("transfer", snapshotLocked()["transfer"]);
      break;
    case Msg::MonitorDownloadStarted:
      file_ = message.text;
      mode_ = Download;
      value_ = 0;
      publishLocked("transfer", snapshotLocked()["transfer"]);
      break;
    case Msg::UploadProgress:
    case Msg::DownloadProgress:
      value_ = message.value;
      publishLocked("progress", {{"value", value_}});
      break;
    case Msg::TransferEnded:
      mode_ = Idle;
      publishLocked("transfer", snapshotLocked()["transfer"]);
      break;
    default:
      break;
  }
}

void SpyWindow::post(Message message) {
  platform::MutexLock lock(stateMutex_);
  if (message.id == Msg::TransferEnded) {
    mode_ = Idle;
    publishLocked("transfer", snapshotLocked()["transfer"]);
  } else if (message.id == Msg::DetachMonitor) {
    // The session has ended; the window keeps what it logged.
    connected_ = false;
    publishLocked("disconnected", nlohmann::json::object());
  }
}

nlohmann::json SpyWindow::snapshot() const {
  platform::MutexLock lock(stateMutex_);
  return snapshotLocked();
}

nlohmann::json SpyWindow::snapshotLocked() const {
  static const char* const kModes[] = {"idle", "download", "upload"};
  return {{"id", id_},
          {"connection", connectionId_},
          {"title", title_},
          {"domainLine", domainLine_},
          {"userLine", userLine_},
          {"connected", connected_},
          {"log", log_},
          {"transfer", {{"mode", kModes[mode_]}, {"file", file_}, {"value", value_}}}};
}

void SpyWindow::publishLocked(const std::string& event, const nlohmann::json& data) {
  if (events_) events_->publish(channel(), event, data);
}

}  // namespace kestrel::console
