// The web console's HTTP server: static pages, the JSON API behind the
// console password, and the event streams.
#pragma once
#include <atomic>
#include <condition_variable>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "console/routes/api.h"
#include "console/http/console_limits.h"
#include "console/state/frame_view.h"
#include "platform/mutex.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace kestrel::console {

// Fans events out to the open event streams. Each stream has a bounded
// queue; a stream that falls too far behind is dropped rather than letting
// the server's memory grow.
class EventStreams : public EventHub {
 public:
  struct Subscriber {
    std::string channel;
    std::deque<std::string> queue;
    bool dropped = false;
  };

  void publish(const std::string& channel, const std::string& event, const Json& data) override;
  void notice(const std::string& text, const std::string& icon = "stop") override;
  bool consoleOpen() const override;

  // Opens a stream; the frame channel receives the notices kept for it.
  std::shared_ptr<Subscriber> subscribe(const std::string& channel);
  void unsubscribe(const std::shared_ptr<Subscriber>& subscriber);
  // Waits up to the timeout for events; false when the stream must end.
  bool next(const std::shared_ptr<Subscriber>& subscriber, std::string& out, std::chrono::milliseconds timeout);
  // Ends every stream once it has sent what it holds, waiting at most grace.
  void shutdown(std::chrono::milliseconds grace);

  static std::string format(const std::string& event, const Json& data);

 private:
  // Also guards each subscriber's queue and dropped mark.
  mutable platform::Mutex mutex_;
  platform::CondVar wake_;
  std::list<std::shared_ptr<Subscriber>> subscribers_ GUARDED_BY(mutex_);
  std::deque<std::string> keptNotices_ GUARDED_BY(mutex_);
  bool shuttingDown_ GUARDED_BY(mutex_) = false;
};

class ConsoleServer {
 public:
  // In service mode a generated password is not printed (the output goes to the journal).
  ConsoleServer(platform::EventLoop& loop, server::CMainFrame& frame, platform::Settings& settings,
                RefreshWorker& refreshWorker, store::Database* database,
                bool serviceMode = false);
  ~ConsoleServer();

  EventStreams& events() { return events_; }
  ConsoleContext& context() { return context_; }

  // Binds Console/Address and Console/Port and serves on a thread of its own.
  bool start(std::string& error);
  void stop();
  // "http://address:port/" once started.
  const std::string& url() const { return url_; }

  // The console password from the settings store; a new one is generated and
  // stored when there is none. created says whether it was generated now.
  static std::string ensurePassword(platform::Settings& settings, bool& created);

  // Open event streams at most; one more is answered 503.
  static constexpr int kStreamLimit = 32;
  // Threads that serve everything but event streams. The pool holds these
  // plus one per stream, so streams at their limit never take an ordinary
  // request's thread.
  static constexpr int kOrdinaryWorkers = 64;
  // Wrong passwords whose answer waits out the delay at the same time; past
  // this they are answered at once (the address stays held back all the same),
  // so waiting answers cannot take the threads.
  static constexpr int kDelayedAnswerLimit = 8;

 private:
  struct Session {
    std::string csrf;
    std::chrono::steady_clock::time_point lastUse;
  };
  enum class Auth { None, Cookie, Bearer, HeldBack };
  enum class PasswordCheck { Right, Wrong, HeldBack };
  struct Caller {
    Auth auth = Auth::None;
    std::string csrf;
    int retryAfter = 0;  // seconds, when HeldBack
  };

  void handleApi(const httplib::Request& request, httplib::Response& response);
  void handleLogin(const httplib::Request& request, httplib::Response& response);
  void handleLogout(const httplib::Request& request, httplib::Response& response);
  void handleSession(const httplib::Request& request, httplib::Response& response);
  void handleEvents(const httplib::Request& request, httplib::Response& response, const std::string& channel);
  Caller authenticate(const httplib::Request& request);
  // Checks a password from the request's source address under its back-off.
  PasswordCheck checkPassword(const httplib::Request& request, const std::string& candidate, int& retryAfter);
  static void sendHeldBack(httplib::Response& response, int retryAfter);
  // Answers a caller without a password (401) or held back (429); true when it did.
  static bool refusedCaller(const Caller& caller, httplib::Response& response);
  std::string sessionToken(const httplib::Request& request) const;

  platform::EventLoop& loop_;
  server::CMainFrame& frame_;
  platform::Settings& settings_;
  const bool serviceMode_;
  EventStreams events_;
  FrameView view_;
  ConsoleContext context_;
  ApiRoutes routes_;
  std::vector<std::regex> patterns_;
  std::unique_ptr<httplib::Server> http_;
  std::thread thread_;
  std::string url_;
  bool secure_ = false;  // HTTPS: the session cookie is Secure
  std::string password_;

  platform::Mutex sessionsMutex_;
  std::map<std::string, Session> sessions_ GUARDED_BY(sessionsMutex_);
  LoginBackoff backoff_;
  std::atomic<int> delayedAnswers_{0};
  std::atomic<int> openStreams_{0};
  // Wakes delayed wrong-password answers when the server stops.
  platform::Mutex stopMutex_;
  platform::CondVar stopWake_;
  bool stopping_ GUARDED_BY(stopMutex_) = false;
};

}  // namespace kestrel::console
