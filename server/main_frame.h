// The hub of the main thread: the connection list, the 5-second timer, the
// messages connection threads post and the orderly close. Whoever shows it
// listens through FrameEvents.
#pragma once
#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <list>
#include <memory>
#include <string>

#include "platform/event_loop.h"
#include "platform/journal.h"
#include "platform/messages.h"
#include "server/frame_events.h"
#include "server/listener.h"
#include "server/user_thread.h"

namespace kestrel::platform {
class Settings;
}

namespace kestrel::server {

struct ConnectionRecord {
  std::uint64_t id = 0;  // the console's handle for the row
  std::shared_ptr<CUserThread> thread;  // the connection key
  std::string name = "<unknown>";
  std::string when;
  std::string domain;
  std::string activity;
  int uploads = 0;
  int downloads = 0;
};

// Answers to a close request.
enum class CloseOutcome {
  Closed,     // nothing left: the frame has closed
  Ignored,    // a close is already under way, or service mode hid the window
  Asking,     // users are connected: the question is out
  Confirmed,  // the operator agreed: connections are ending
  Cancelled,  // the operator declined: the server runs on without its listener
};

class CMainFrame : public MainLink {
 public:
  // shared: what the sessions share; null without a data source (then
  // create() must not be called).
  CMainFrame(platform::EventLoop& loop, const platform::Settings& settings, bool serviceMode = false,
             ftp::SessionShared* shared = nullptr);
  ~CMainFrame() override;

  // Starts the timer and the listener.
  void create();
  void setEvents(FrameEvents* events) { events_ = events; }

  // Any thread: a window message from a connection thread.
  void post(Message message) override;

  // Main thread.
  void addConnection(std::shared_ptr<CUserThread> thread, const std::string& domainName);
  void postToAll(const Message& message);
  ConnectionRecord* findById(std::uint64_t id);
  // Tells the connection to copy its traffic to monitor; false when it has ended.
  bool attachMonitor(std::uint64_t connectionId, std::shared_ptr<Monitor> monitor);
  void detachMonitor(std::uint64_t connectionId);
  // A close request from a signal or the service manager: with users
  // connected and a console open, the question goes to the consoles;
  // with no console open it proceeds as confirmed.
  void requestStop();
  // A close request from the console; answer is empty until the operator answered.
  CloseOutcome requestClose(const std::string& answer);
  bool exitQuestionOpen() const { return exitQuestionOpen_; }
  // A box for the operator, also written to standard error (with its priority in service mode).
  void notifyOperator(const std::string& text, platform::Priority priority = platform::Priority::kError);
  void tick();

  // The rows, with the changes their threads kept applied first.
  const std::list<ConnectionRecord>& connections();
  // Main thread: a console starts or stops showing the rows live.
  void setRowsWatched(bool watched);
  bool rowsWatched() const override { return rowsWatched_.load(); }
  bool closing() const { return closing_; }
  const platform::Settings& settings() const { return settings_; }
  ftp::SessionShared* sessionShared() const { return shared_; }
  CListenSocket& listener() { return listener_; }
  // Called when the frame has closed: the main loop may end.
  std::function<void()> onClosed;
  // Called when the operator declined to exit after a stop request (service mode reports running).
  std::function<void()> onStopCancelled;
  // Called on every tick after the idle checks: automatic synchronisation.
  std::function<void()> onTick;
  // Seconds since 1970 of the next automatic synchronisation; 0 = off.
  std::time_t nextSynchronisation() const { return nextSynchronisation_; }
  void setNextSynchronisation(std::time_t when) { nextSynchronisation_ = when; }

 private:
  void handle(const Message& message);
  ConnectionRecord* find(const void* key);
  void rowChanged(const ConnectionRecord& record);
  void applyPendingRows();
  void finishClose();

  platform::EventLoop& loop_;
  const platform::Settings& settings_;
  bool serviceMode_;
  ftp::SessionShared* shared_;
  bool stopRequested_ = false;
  FrameEvents* events_ = nullptr;
  CListenSocket listener_;
  std::list<ConnectionRecord> connections_;
  std::atomic<bool> rowsWatched_{false};
  std::uint64_t nextConnectionId_ = 1;
  bool closing_ = false;
  bool closed_ = false;
  bool exitQuestionOpen_ = false;
  int timerId_ = 0;
  std::time_t nextSynchronisation_ = 0;
};

}  // namespace kestrel::server
