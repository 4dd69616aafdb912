// The hub of the main thread: the connection list, the 5-second timer, the
// messages connection threads post, and the orderly close.
#pragma once
#include <ctime>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <string>

#include "platform/event_loop.h"
#include "platform/messages.h"
#include "server/listener.h"
#include "server/user_thread.h"

namespace kestrel::platform {
class Settings;
}

namespace kestrel::console {

struct ConnectionRecord {
  std::shared_ptr<server::CUserThread> thread;  // the connection key
  std::string name = "<unknown>";
  std::string when;
  std::string domain;
  std::string activity;
  int uploads = 0;
  int downloads = 0;
};

class CMainFrame : public server::MainLink {
 public:
  CMainFrame(platform::EventLoop& loop, const platform::Settings& settings);
  ~CMainFrame() override;

  // Starts the timer and the listener.
  void create();

  // Any thread: a window message from a connection thread.
  void post(Message message) override;

  // Main thread.
  void addConnection(std::shared_ptr<server::CUserThread> thread, const std::string& domainName);
  void postToAll(const Message& message);
  // A close request; confirmed says whether the operator agreed to end live connections.
  void requestClose(bool confirmed = true);
  void notifyOperator(const std::string& text);
  void tick();

  const std::list<ConnectionRecord>& connections() const { return connections_; }
  bool closing() const { return closing_; }
  const platform::Settings& settings() const { return settings_; }
  server::CListenSocket& listener() { return listener_; }
  // Lines for the message console; at most about 10000 characters are kept.
  const std::string& consoleText() const { return consoleText_; }
  // Called when the frame has closed: the main loop may end.
  std::function<void()> onClosed;
  // Called on every tick after the idle checks: automatic synchronisation.
  std::function<void()> onTick;
  // Seconds since 1970 of the next automatic synchronisation; 0 = off.
  std::time_t nextSynchronisation() const { return nextSynchronisation_; }
  void setNextSynchronisation(std::time_t when) { nextSynchronisation_ = when; }

 private:
  void handle(const Message& message);
  ConnectionRecord* find(const void* key);
  void appendConsoleLine(const std::string& text);

  platform::EventLoop& loop_;
  const platform::Settings& settings_;
  server::CListenSocket listener_;
  std::list<ConnectionRecord> connections_;
  bool closing_ = false;
  bool closed_ = false;
  int timerId_ = 0;
  std::time_t nextSynchronisation_ = 0;
  std::string consoleText_;
};

}  // namespace kestrel::console
