#include "console/state/frame_view.h"

#include "console/routes/api.h"
#include "console/state/spy_window.h"
#include "server/main_frame.h"

namespace kestrel::console {

const char* childWindowName(ChildWindow window) {
  static const char* const kNames[] = {"domains", "users", "groups", "connections", "console"};
  return kNames[static_cast<int>(window)];
}

nlohmann::json connectionJson(const server::ConnectionRecord& record) {
  return {{"id", record.id},         {"domain", record.domain},   {"name", record.name},
          {"when", record.when},     {"downloads", record.downloads}, {"uploads", record.uploads},
          {"activity", record.activity}};
}

void FrameView::publish(const std::string& event, const nlohmann::json& data) { events_.publish("frame", event, data); }

// Rows change with every transfer: with no console open, nothing is built.
// A console that opens later starts from the state taken on this loop.
void FrameView::connectionAdded(const server::ConnectionRecord& record) {
  if (events_.consoleOpen()) publish("connection-added", connectionJson(record));
}

void FrameView::connectionChanged(const server::ConnectionRecord& record) {
  if (events_.consoleOpen()) publish("connection-changed", connectionJson(record));
}

void FrameView::connectionRemoved(std::uint64_t id) { publish("connection-removed", {{"id", id}}); }

void FrameView::consoleLine(const std::string& text) {
  // The journal keeps every line; the Console window only those that arrive while it is open.
  if (!isOpen(ChildWindow::Console)) return;
  appendBounded(consoleText_, text + "\r\n");
  publish("console-line", {{"text", text}});
}

nlohmann::json FrameView::exitQuestionJson() {
  return {{"kind", "exit"}, {"text", kExitQuestion}, {"buttons", {"OK", "Cancel"}}, {"icon", "warning"}};
}

void FrameView::exitQuestionAsked() { publish("question", exitQuestionJson()); }

void FrameView::exitQuestionClosed() { publish("question-closed", {{"kind", "exit"}}); }

void FrameView::closing() { publish("closing", nlohmann::json::object()); }

void FrameView::closed() { publish("closed", nlohmann::json::object()); }

void FrameView::notice(const std::string& text) { events_.notice(text); }

bool FrameView::consoleOpen() const { return events_.consoleOpen(); }

void FrameView::setOpen(ChildWindow window, bool open) {
  if (open_[static_cast<int>(window)] == open) return;
  open_[static_cast<int>(window)] = open;
  // A closed Message Console has no text: reopened, it starts empty, as a new window would.
  if (window == ChildWindow::Console && !open) consoleText_.clear();
  publish("window", {{"window", childWindowName(window)}, {"open", open}});
}

nlohmann::json FrameView::windowsJson() const {
  nlohmann::json windows = nlohmann::json::object();
  for (ChildWindow w : kChildWindows) windows[childWindowName(w)] = isOpen(w);
  return windows;
}

void FrameView::clearConsole() {
  consoleText_.clear();
  publish("console-cleared", nlohmann::json::object());
}

std::shared_ptr<SpyWindow> FrameView::openSpy(std::uint64_t connectionId) {
  server::ConnectionRecord* record = frame_.findById(connectionId);
  if (!record) return nullptr;
  auto spy = std::make_shared<SpyWindow>(nextSpyId_++, connectionId, record->thread->description(record->domain),
                                         &events_);
  spies_[spy->id()] = spy;
  frame_.attachMonitor(connectionId, spy);
  return spy;
}

std::shared_ptr<SpyWindow> FrameView::findSpy(std::uint64_t spyId) const {
  auto it = spies_.find(spyId);
  return it == spies_.end() ? nullptr : it->second;
}

bool FrameView::closeSpy(std::uint64_t spyId) {
  auto it = spies_.find(spyId);
  if (it == spies_.end()) return false;
  // A connection that has ended gets nothing.
  if (it->second->connected()) frame_.detachMonitor(it->second->connectionId());
  spies_.erase(it);
  return true;
}

nlohmann::json FrameView::stateJson() const {
  nlohmann::json rows = nlohmann::json::array();
  for (const auto& c : frame_.connections()) rows.push_back(connectionJson(c));
  return {{"connections", rows}, {"console", consoleText_}, {"windows", windowsJson()}, {"closing", frame_.closing()}};
}

}  // namespace kestrel::console
