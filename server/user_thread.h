// One thread per control connection, with its own event loop; it owns the
// session and feeds it the console's messages.
#pragma once
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

#include "ftp/session.h"
#include "platform/event_loop.h"
#include "platform/messages.h"
#include "platform/mutex.h"
#include "platform/socket.h"

namespace kestrel::platform {
class Settings;
}

namespace kestrel::server {


// How a connection thread reaches the main thread.
class MainLink {
 public:
  virtual ~MainLink() = default;
  virtual void post(Message message) = 0;
  // Whether a console shows the connection rows as they change. Without
  // one, a row's changes wait in its thread until someone reads the rows.
  virtual bool rowsWatched() const = 0;
};

// Changes to a connection's row not yet applied by the main thread.
struct PendingRow {
  int downloads = 0;
  int uploads = 0;
  bool activitySet = false;
  std::string activity;
  bool empty() const { return downloads == 0 && uploads == 0 && !activitySet; }
};

class CUserThread : public ftp::SessionHost, public std::enable_shared_from_this<CUserThread> {
 public:
  CUserThread(platform::Fd socket, std::int64_t domainId, std::string peerAddress, int peerDataPort,
              std::string localAddress, MainLink& main, const platform::Settings& settings,
              std::shared_ptr<const platform::TlsContext> tls = nullptr, ftp::SessionShared* shared = nullptr);
  ~CUserThread() override;

  // Starts the thread; it holds a reference to itself until it ends.
  bool start();
  // Any thread: a thread message (1025, 1030, 1031, 1032, 1035).
  void post(Message message);

  // SessionHost.
  platform::EventLoop& loop() override { return loop_; }
  // A row change is kept here while no console watches the rows: a
  // transfer then costs the main thread no wake-up.
  void postToMain(Message message) override;
  void requestQuit() override { loop_.quit(); }
  const void* connectionKey() const override { return this; }
  const platform::Settings& settings() const override { return settings_; }

  const std::string& peerAddress() const { return peerAddress_; }
  // Any thread: the console's description of the connection, "domain:user (host)".
  std::string description(const std::string& domainName) const EXCLUDES(sessionMutex_);
  std::time_t connectTime() const { return connectTime_; }
  // Main thread: the row changes kept since the last call.
  PendingRow takePendingRow() EXCLUDES(pendingRowMutex_);

 private:
  void run();
  void handle(const Message& message);

  // This connection's thread is the only writer of session_ and hostName_;
  // it writes them under the lock so that description() can read them from
  // the main thread, and reads them without it.
  ftp::CUserSocket* ownSession() const NO_THREAD_SAFETY_ANALYSIS { return session_.get(); }

  std::shared_ptr<Monitor> monitor_;
  platform::Mutex pendingRowMutex_;
  PendingRow pendingRow_ GUARDED_BY(pendingRowMutex_);
  mutable platform::Mutex sessionMutex_;
  std::string hostName_ GUARDED_BY(sessionMutex_);
  std::int64_t domainId_;
  std::time_t connectTime_;
  int peerDataPort_;
  std::string peerAddress_;
  std::string localAddress_;
  std::unique_ptr<ftp::CUserSocket> session_ GUARDED_BY(sessionMutex_);
  platform::Fd socket_;
  platform::EventLoop loop_;
  MainLink& main_;
  const platform::Settings& settings_;
  std::shared_ptr<const platform::TlsContext> tls_;
  ftp::SessionShared* shared_;
};

}  // namespace kestrel::server
