// A spy window: one connection's control traffic and transfer state, fed by
// the connection's own thread and streamed to the consoles watching it.
#pragma once
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/messages.h"
#include "platform/mutex.h"

namespace kestrel::console {

class EventHub;

// Keeps about 10000 characters: past that, the oldest 5000 go.
void appendBounded(std::string& log, const std::string& text);

class SpyWindow : public Monitor {
 public:
  enum Mode { Idle = 0, Download = 1, Upload = 2 };

  SpyWindow(std::uint64_t id, std::uint64_t connectionId, std::string title, EventHub* events);

  // The connection's thread; must stay short and never wait on the main thread.
  void send(const Message& message) override;
  void post(Message message) override;

  std::uint64_t id() const { return id_; }
  std::uint64_t connectionId() const { return connectionId_; }
  const std::string& title() const { return title_; }
  std::string channel() const { return "spy/" + std::to_string(id_); }
  bool connected() const;

  // The window's state as the page draws it.
  nlohmann::json snapshot() const;
  // Runs fn (a subscription) under the window's lock and returns the state
  // it starts from, so the subscriber sees exactly the events that follow.
  template <typename Fn>
  nlohmann::json snapshotWith(Fn fn) const {
    platform::MutexLock lock(stateMutex_);
    fn();
    return snapshotLocked();
  }

 private:
  nlohmann::json snapshotLocked() const REQUIRES(stateMutex_);
  void publishLocked(const std::string& event, const nlohmann::json& data) REQUIRES(stateMutex_);

  const std::uint64_t id_;
  const std::uint64_t connectionId_;
  const std::string title_;
  const std::string domainLine_;
  const std::string userLine_;
  EventHub* events_;

  mutable platform::Mutex stateMutex_;
  std::string log_ GUARDED_BY(stateMutex_);
  std::string file_ GUARDED_BY(stateMutex_);
  Mode mode_ GUARDED_BY(stateMutex_) = Idle;
  std::int64_t value_ GUARDED_BY(stateMutex_) = 0;
  bool connected_ GUARDED_BY(stateMutex_) = true;
};

}  // namespace kestrel::console
