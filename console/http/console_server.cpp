#include "console/http/console_server.h"


#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <httplib.h>

#include "console/state/spy_window.h"
#include "console/http/web_root.h"
#include "platform/event_loop.h"
#include "platform/private_file.h"
#include "platform/settings.h"
#include "platform/system.h"
#include "server/main_frame.h"
#include "store/db/database.h"

namespace kestrel::console {

namespace {

constexpr std::size_t kStreamQueueLimit = 20000;  // events a slow stream may fall behind before it is dropped
constexpr std::size_t kKeptNoticeLimit = 100;
constexpr std::size_t kSessionLimit = 64;
constexpr auto kSessionIdle = std::chrono::hours(12);
constexpr char kCookie[] = "kestrel_session";
// Short, so a request sent by halves or an idle connection gives its thread back soon.
constexpr int kReadTimeoutSeconds = 5;
constexpr int kWriteTimeoutSeconds = 5;
constexpr int kKeepAliveSeconds = 3;

// Hands httplib's connections to the console's own workers.
class WorkerQueue : public httplib::TaskQueue {
 public:
  explicit WorkerQueue(std::size_t threads) : workers_(threads) {}
  void enqueue(std::function<void()> job) override { workers_.enqueue(std::move(job)); }
  void shutdown() override { workers_.shutdown(); }

 private:
  ConnectionWorkers workers_;
};

// Compares without an early exit, so the time taken says nothing about the password.
bool sameSecret(const std::string& candidate, const std::string& secret) {
  if (secret.empty()) return false;
  unsigned char diff = candidate.size() == secret.size() ? 0 : 1;
  for (std::size_t i = 0; i < candidate.size(); ++i)
    diff |= static_cast<unsigned char>(candidate[i] ^ secret[i % secret.size()]);
  return diff == 0;
}

void sendJson(httplib::Response& response, int status, const Json& body) {
  response.status = status;
  response.set_content(body.dump(-1, ' ', false, Json::error_handler_t::replace), "application/json");
}

void sendAnswer(httplib::Response& response, const ApiResponse& answer) {
  if (answer.text) {
    response.status = answer.status;
    response.set_content(*answer.text, answer.contentType);
    if (!answer.fileName.empty()) {
      std::string safe;
      for (char c : answer.fileName)
        if (c != '"' && c != '\\' && static_cast<unsigned char>(c) >= 0x20) safe += c;
      response.set_header("Content-Disposition", "inline; filename=\"" + safe + "\"");
    }
    return;
  }
  sendJson(response, answer.status, answer.body);
}

}  // namespace

// --- event streams ---------------------------------------------------------

std::string EventStreams::format(const std::string& event, const Json& data) {
  // JSON text has no raw line breaks, so one data line carries it.
  return "event: " + event + "\ndata: " + data.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n\n";
}

void EventStreams::publish(const std::string& channel, const std::string& event, const Json& data) {
  std::string text = format(event, data);
  platform::MutexLock lock(mutex_);
  bool any = false;
  for (auto& s : subscribers_) {
    if (s->channel != channel || s->dropped) continue;
    if (s->queue.size() >= kStreamQueueLimit) {
      s->dropped = true;
      s->queue.clear();
      continue;
    }
    s->queue.push_back(text);
    any = true;
  }
  if (any) wake_.notifyAll();
}

void EventStreams::notice(const std::string& text, const std::string& icon) {
  Json data = {{"text", text}, {"icon", icon}};
  platform::MutexLock lock(mutex_);
  bool delivered = false;
  for (auto& s : subscribers_) {
    if (s->channel != "frame" || s->dropped) continue;
    s->queue.push_back(format("notice", data));
    delivered = true;
  }
  if (delivered) {
    wake_.notifyAll();
  } else {
    if (keptNotices_.size() >= kKeptNoticeLimit) keptNotices_.pop_front();
    keptNotices_.push_back(format("notice", data));
  }
}

bool EventStreams::consoleOpen() const {
  platform::MutexLock lock(mutex_);
  for (auto& s : subscribers_)
    if (s->channel == "frame" && !s->dropped) return true;
  return false;
}

std::shared_ptr<EventStreams::Subscriber> EventStreams::subscribe(const std::string& channel) {
  auto subscriber = std::make_shared<Subscriber>();
  subscriber->channel = channel;
  platform::MutexLock lock(mutex_);
  if (channel == "frame") {
    subscriber->queue.assign(keptNotices_.begin(), keptNotices_.end());
    keptNotices_.clear();
  }
  subscribers_.push_back(subscriber);
  return subscriber;
}

void EventStreams::unsubscribe(const std::shared_ptr<Subscriber>& subscriber) {
  platform::MutexLock lock(mutex_);
  subscribers_.remove(subscriber);
  wake_.notifyAll();
}

bool EventStreams::next(const std::shared_ptr<Subscriber>& subscriber, std::string& out,
                        std::chrono::milliseconds timeout) {
  platform::MutexLock lock(mutex_);
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!shuttingDown_ && !subscriber->dropped && subscriber->queue.empty())
    if (!wake_.waitUntil(mutex_, deadline)) break;
  // What was published before the end still goes out: "closed" is the last word a page gets.
  if (subscriber->dropped || (shuttingDown_ && subscriber->queue.empty())) return false;
  out.clear();
  while (!subscriber->queue.empty() && out.size() < 65536) {
    out += subscriber->queue.front();
    subscriber->queue.pop_front();
  }
  return true;
}

void EventStreams::shutdown(std::chrono::milliseconds grace) {
  platform::MutexLock lock(mutex_);
  shuttingDown_ = true;
  wake_.notifyAll();
  // Each stream sends what it still holds and ends; a page that does not
  // read is not waited for beyond the grace.
  auto deadline = std::chrono::steady_clock::now() + grace;
  while (!subscribers_.empty())
    if (!wake_.waitUntil(mutex_, deadline)) break;
}

// --- server ----------------------------------------------------------------

ConsoleServer::ConsoleServer(platform::EventLoop& loop, server::CMainFrame& frame, platform::Settings& settings,
                             RefreshWorker& refreshWorker, store::Database* database, bool serviceMode)
    : loop_(loop),
      frame_(frame),
      settings_(settings),
      serviceMode_(serviceMode),
      view_(frame, events_),
      context_{frame, view_, settings, events_, loop, refreshWorker, {}, database} {
  registerAllRoutes(routes_);
  for (const auto& route : routes_.routes()) patterns_.emplace_back(route.pattern);
  frame_.setEvents(&view_);
}

ConsoleServer::~ConsoleServer() {
  stop();
  frame_.setEvents(nullptr);
}

std::string ConsoleServer::ensurePassword(platform::Settings& settings, bool& created) {
  created = false;
  std::string password = settings.read(settings::kConsolePassword);
  if (!password.empty()) return password;
  password = platform::randomHex(12);
  if (!settings.write(settings::kConsolePassword, password)) return {};
  created = true;
  return password;
}

bool ConsoleServer::start(std::string& error) {
  bool created = false;
  password_ = ensurePassword(settings_, created);
  if (password_.empty()) {
    error = "The console password cannot be stored: " + settings_.lastError().message;
    return false;
  }
  // The file holds the password (and the database's): nobody else may read it.
  auto restricted = platform::restrictToOwner(settings_.path());
  if (!restricted.ok())
    std::fprintf(stderr, "The settings file cannot be made private: %s\n", restricted.status.message.c_str());
  else if (restricted.value)
    std::printf("The settings file %s holds the console password; its mode is now 0600.\n",
                settings_.path().c_str());
  // A service's output lands in the journal, which others may read: there only the place is named.
  if (created && serviceMode_)
    std::printf("Console password generated; it is kept in %s (mode 0600), section [Console], value Password.\n",
                settings_.path().c_str());
  else if (created)
    std::printf("Console password (shown once; kept in %s): %s\n", settings_.path().c_str(), password_.c_str());
  {
    platform::MutexLock lock(stopMutex_);
    stopping_ = false;
  }

  secure_ = settings_.read(settings::kConsoleTls) != 0;
  if (secure_) {
    // The FTP server's own certificate: one pair to look after.
    std::string certificate = settings_.read(settings::kTlsCertificate);
    std::string key = settings_.read(settings::kTlsKey);
    auto https = std::make_unique<httplib::SSLServer>(certificate.c_str(), (key.empty() ? certificate : key).c_str());
    if (!https->is_valid()) {
      // Never fall back to clear text: the console's password would travel in it.
      error = "The console cannot serve HTTPS: the certificate \"" + certificate + "\" or its key cannot be loaded.";
      return false;
    }
    http_ = std::move(https);
  } else {
    http_ = std::make_unique<httplib::Server>();
  }
  auto& http = *http_;
  // A connection holds a thread while open, and an event stream for as long as the page
  // stays: streams get threads of their own beside the ordinary ones.
  http.new_task_queue = [] { return new WorkerQueue(kOrdinaryWorkers + kStreamLimit); };
  http.set_payload_max_length(4 * 1024 * 1024);
  http.set_keep_alive_timeout(kKeepAliveSeconds);
  http.set_read_timeout(kReadTimeoutSeconds, 0);
  http.set_write_timeout(kWriteTimeoutSeconds, 0);
  http.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                            {"X-Frame-Options", "DENY"},
                            {"Referrer-Policy", "no-referrer"},
                            {"Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'"}});
  // Debian's cpp-httplib compresses with brotli at its slowest quality: a 10 000-row file
  // list (2 MB) then takes seconds to leave. Offer it gzip only, which costs milliseconds.
  // The request is the server's own non-const object, handed to this hook as const.
  http.set_pre_routing_handler([](const httplib::Request& rq, httplib::Response&) {
    auto& headers = const_cast<httplib::Request&>(rq).headers;
    auto accepted = headers.find("Accept-Encoding");
    if (accepted != headers.end())
      accepted->second = accepted->second.find("gzip") != std::string::npos ? "gzip" : "identity";
    return httplib::Server::HandlerResponse::Unhandled;
  });
  http.set_mount_point("/", webRoot());
  http.set_file_extension_and_mimetype_mapping("mjs", "text/javascript");

  http.Post("/api/login", [this](const httplib::Request& rq, httplib::Response& rs) { handleLogin(rq, rs); });
  http.Post("/api/logout", [this](const httplib::Request& rq, httplib::Response& rs) { handleLogout(rq, rs); });
  http.Get("/api/session", [this](const httplib::Request& rq, httplib::Response& rs) { handleSession(rq, rs); });
  http.Get("/api/events", [this](const httplib::Request& rq, httplib::Response& rs) { handleEvents(rq, rs, "frame"); });
  http.Get(R"(/api/spies/(\d+)/events)", [this](const httplib::Request& rq, httplib::Response& rs) {
    handleEvents(rq, rs, "spy/" + std::string(rq.matches[1]));
  });
  http.Get("/api/refresh/events",
           [this](const httplib::Request& rq, httplib::Response& rs) { handleEvents(rq, rs, "refresh"); });
  auto api = [this](const httplib::Request& rq, httplib::Response& rs) { handleApi(rq, rs); };
  http.Get("/api/.*", api);
  http.Post("/api/.*", api);
  http.Put("/api/.*", api);
  http.Delete("/api/.*", api);
  http.Patch("/api/.*", api);
  http.set_exception_handler([](const httplib::Request&, httplib::Response& rs, std::exception_ptr) {
    sendJson(rs, 500, {{"error", "Internal error."}});
  });

  std::string address = settings_.read(settings::kConsoleAddress);
  int port = settings_.read(settings::kConsolePort);
  if (address.empty()) address = "127.0.0.1";
  if (port <= 0 || port > 65535 || !http.bind_to_port(address.c_str(), port)) {
    error = "Unable to open the console on " + address + " port " + std::to_string(port) + ".";
    http_.reset();
    return false;
  }
  std::string host = address.find(':') != std::string::npos ? "[" + address + "]" : address;
  url_ = (secure_ ? "https://" : "http://") + host + ":" + std::to_string(port) + "/";
  thread_ = std::thread([this] { http_->listen_after_bind(); });
  return true;
}

void ConsoleServer::stop() {
  {
    platform::MutexLock lock(stopMutex_);
    stopping_ = true;
  }
  stopWake_.notifyAll();
  events_.shutdown(std::chrono::milliseconds(1000));
  if (http_) http_->stop();
  if (thread_.joinable()) thread_.join();
  http_.reset();
}

std::string ConsoleServer::sessionToken(const httplib::Request& request) const {
  std::string cookies = request.get_header_value("Cookie");
  std::string key = std::string(kCookie) + "=";
  std::size_t pos = 0;
  while (pos < cookies.size()) {
    while (pos < cookies.size() && (cookies[pos] == ' ' || cookies[pos] == ';')) ++pos;
    std::size_t end = cookies.find(';', pos);
    if (end == std::string::npos) end = cookies.size();
    if (cookies.compare(pos, key.size(), key) == 0) return cookies.substr(pos + key.size(), end - pos - key.size());
    pos = end;
  }
  return {};
}

ConsoleServer::PasswordCheck ConsoleServer::checkPassword(const httplib::Request& request,
                                                          const std::string& candidate, int& retryAfter) {
  const std::string source = LoginBackoff::sourceKey(request.remote_addr);
  auto now = LoginBackoff::Clock::now();
  if (auto wait = backoff_.admit(source, now)) {
    retryAfter = static_cast<int>(std::ceil(std::chrono::duration<double>(*wait).count()));
    return PasswordCheck::HeldBack;
  }
  if (sameSecret(candidate, password_)) {
    backoff_.succeeded(source);
    return PasswordCheck::Right;
  }
  auto delay = backoff_.failed(source, now);
  // The wrong answer itself waits out the delay, so a client that tries again
  // at once is not held back; no lock is held meanwhile.
  if (delayedAnswers_.fetch_add(1) < kDelayedAnswerLimit) {
    platform::MutexLock lock(stopMutex_);
    auto deadline = std::chrono::steady_clock::now() + delay;
    while (!stopping_)
      if (!stopWake_.waitUntil(stopMutex_, deadline)) break;
  }
  delayedAnswers_.fetch_sub(1);
  return PasswordCheck::Wrong;
}

void ConsoleServer::sendHeldBack(httplib::Response& response, int retryAfter) {
  std::string text = "Too many wrong console passwords from this address.  Try again in " +
                     std::to_string(std::max(retryAfter, 1)) + " second(s).";
  response.set_header("Retry-After", std::to_string(std::max(retryAfter, 1)));
  sendJson(response, 429, {{"error", text}, {"message", {{"text", text}, {"icon", "stop"}, {"buttons", {"OK"}}}}});
}

ConsoleServer::Caller ConsoleServer::authenticate(const httplib::Request& request) {
  Caller caller;
  std::string authorization = request.get_header_value("Authorization");
  if (!authorization.empty()) {
    constexpr std::string_view kBearer = "Bearer ";
    std::string candidate;
    if (authorization.starts_with(kBearer)) candidate = authorization.substr(kBearer.size());
    switch (checkPassword(request, candidate, caller.retryAfter)) {
      case PasswordCheck::Right: caller.auth = Auth::Bearer; break;
      case PasswordCheck::HeldBack: caller.auth = Auth::HeldBack; break;
      case PasswordCheck::Wrong: break;
    }
    return caller;
  }
  std::string token = sessionToken(request);
  if (token.empty()) return caller;
  platform::MutexLock lock(sessionsMutex_);
  auto it = sessions_.find(token);
  if (it == sessions_.end()) return caller;
  auto now = std::chrono::steady_clock::now();
  if (now - it->second.lastUse > kSessionIdle) {
    sessions_.erase(it);
    return caller;
  }
  it->second.lastUse = now;
  caller.auth = Auth::Cookie;
  caller.csrf = it->second.csrf;
  return caller;
}

void ConsoleServer::handleLogin(const httplib::Request& request, httplib::Response& response) {
  Json body = Json::parse(request.body, nullptr, false);
  std::string candidate;
  if (body.is_object() && body.contains("password") && body["password"].is_string())
    candidate = body["password"].get<std::string>();
  int retryAfter = 0;
  switch (checkPassword(request, candidate, retryAfter)) {
    case PasswordCheck::Right: break;
    case PasswordCheck::HeldBack: sendHeldBack(response, retryAfter); return;
    case PasswordCheck::Wrong:
      sendJson(response, 401, {{"message", {{"text", "Wrong console password."}, {"icon", "stop"}, {"buttons", {"OK"}}}}});
      return;
  }
  std::string token = platform::randomHex(32);
  std::string csrf = platform::randomHex(16);
  {
    platform::MutexLock lock(sessionsMutex_);
    if (sessions_.size() >= kSessionLimit) {
      auto oldest = sessions_.begin();
      for (auto it = sessions_.begin(); it != sessions_.end(); ++it)
        if (it->second.lastUse < oldest->second.lastUse) oldest = it;
      sessions_.erase(oldest);
    }
    sessions_[token] = {csrf, std::chrono::steady_clock::now()};
  }
  response.set_header("Set-Cookie", std::string(kCookie) + "=" + token + "; Path=/; HttpOnly; SameSite=Strict" +
                                        (secure_ ? "; Secure" : ""));
  sendJson(response, 200, {{"csrf", csrf}});
}

void ConsoleServer::handleLogout(const httplib::Request& request, httplib::Response& response) {
  Caller caller = authenticate(request);
  if (caller.auth == Auth::HeldBack) {
    sendHeldBack(response, caller.retryAfter);
    return;
  }
  if (caller.auth == Auth::Cookie) {
    if (request.get_header_value("X-CSRF-Token") != caller.csrf) {
      sendJson(response, 403, {{"error", "Missing or invalid CSRF token."}});
      return;
    }
    platform::MutexLock lock(sessionsMutex_);
    sessions_.erase(sessionToken(request));
  }
  response.set_header("Set-Cookie", std::string(kCookie) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0");
  sendJson(response, 200, Json::object());
}

void ConsoleServer::handleSession(const httplib::Request& request, httplib::Response& response) {
  Caller caller = authenticate(request);
  if (caller.auth == Auth::HeldBack) {
    sendHeldBack(response, caller.retryAfter);
    return;
  }
  if (caller.auth == Auth::None) {
    sendJson(response, 401, {{"authenticated", false}});
    return;
  }
  Json body = {{"authenticated", true}};
  if (caller.auth == Auth::Cookie) body["csrf"] = caller.csrf;
  sendJson(response, 200, body);
}

bool ConsoleServer::refusedCaller(const Caller& caller, httplib::Response& response) {
  if (caller.auth == Auth::HeldBack) {
    sendHeldBack(response, caller.retryAfter);
    return true;
  }
  if (caller.auth == Auth::None) {
    sendJson(response, 401, {{"error", "The console password is required."}});
    return true;
  }
  return false;
}

void ConsoleServer::handleEvents(const httplib::Request& request, httplib::Response& response,
                                 const std::string& channel) {
  Caller caller = authenticate(request);
  if (refusedCaller(caller, response)) return;
  // The slot is given back when httplib lets go of the response, however the stream ended.
  if (openStreams_.fetch_add(1) >= kStreamLimit) {
    openStreams_.fetch_sub(1);
    response.set_header("Connection", "close");
    response.set_header("Retry-After", "5");
    sendJson(response, 503, {{"error", "Too many open event streams (at most " + std::to_string(kStreamLimit) +
                                           ").  Close a console page or spy window and try again."}});
    return;
  }
  std::shared_ptr<void> slot(nullptr, [this](void*) { openStreams_.fetch_sub(1); });
  // The first event is the state the stream continues from, taken on the
  // main loop together with the subscription so nothing falls between them.
  std::shared_ptr<EventStreams::Subscriber> subscriber;
  std::string first;
  bool found = false;
  loop_.send([&] {
    if (channel == "frame") {
      subscriber = events_.subscribe(channel);
      frame_.setRowsWatched(true);
      first = EventStreams::format("state", view_.stateJson());
      if (frame_.exitQuestionOpen()) first += EventStreams::format("question", FrameView::exitQuestionJson());
      found = true;
    } else if (channel.rfind("spy/", 0) == 0) {
      auto spy = view_.findSpy(std::strtoull(channel.c_str() + 4, nullptr, 10));
      if (!spy) return;
      first = EventStreams::format("state", spy->snapshotWith([&] { subscriber = events_.subscribe(channel); }));
      found = true;
    } else {
      subscriber = events_.subscribe(channel);
      first = EventStreams::format("state", Json::object());
      found = true;
    }
  });
  if (!found || !subscriber) {
    if (subscriber) events_.unsubscribe(subscriber);
    sendJson(response, 404, {{"error", "No such event stream."}});
    return;
  }
  response.set_header("Cache-Control", "no-store");
  auto pending = std::make_shared<std::string>(std::move(first));
  response.set_chunked_content_provider(
      "text/event-stream",
      [this, subscriber, pending, slot](std::size_t, httplib::DataSink& sink) {
        std::string chunk;
        if (!pending->empty()) {
          chunk.swap(*pending);
        } else {
          if (!events_.next(subscriber, chunk, std::chrono::milliseconds(1000))) {
            sink.done();
            return true;
          }
          if (chunk.empty()) chunk = ": keep-alive\n\n";
        }
        return sink.write(chunk.data(), chunk.size());
      },
      [this, subscriber](bool) {
        events_.unsubscribe(subscriber);
        // The last page showing the rows has gone: their changes may wait.
        if (subscriber->channel == "frame")
          loop_.post([this] {
            if (!events_.consoleOpen()) frame_.setRowsWatched(false);
          });
      });
}

void ConsoleServer::handleApi(const httplib::Request& request, httplib::Response& response) {
  response.set_header("Cache-Control", "no-store");
  Caller caller = authenticate(request);
  if (refusedCaller(caller, response)) return;
  // A cookie rides along with any page's request; only the console's own pages know the token.
  if (caller.auth == Auth::Cookie && request.method != "GET" && request.method != "HEAD" &&
      request.get_header_value("X-CSRF-Token") != caller.csrf) {
    sendJson(response, 403, {{"error", "Missing or invalid CSRF token."}});
    return;
  }

  ApiRequest apiRequest;
  apiRequest.method = request.method;
  apiRequest.path = request.path;
  for (const auto& [name, value] : request.params) apiRequest.query.emplace(name, value);
  if (!request.body.empty()) {
    apiRequest.body = Json::parse(request.body, nullptr, false);
    if (!apiRequest.body.is_object()) {
      sendJson(response, 400, {{"error", "The request body is not a JSON object."}});
      return;
    }
  }

  const std::string sub = request.path.substr(4);  // after "/api"
  bool pathKnown = false;
  const ApiRoutes::Route* route = nullptr;
  for (std::size_t i = 0; i < patterns_.size() && !route; ++i) {
    std::smatch match;
    if (!std::regex_match(sub, match, patterns_[i])) continue;
    pathKnown = true;
    if (routes_.routes()[i].method != request.method) continue;
    route = &routes_.routes()[i];
    for (std::size_t g = 1; g < match.size(); ++g) apiRequest.captures.push_back(match[g]);
  }
  if (!route) {
    sendJson(response, pathKnown ? 405 : 404, {{"error", pathKnown ? "Method not allowed." : "Not found."}});
    return;
  }

  ApiResponse answer = message("The server is shutting down.", "stop", 503);
  loop_.send([&] {
    try {
      answer = route->handler(apiRequest, context_);
    } catch (const store::DbError& e) {
      answer = message(std::string("Database error: ") + e.what(), "stop", 500);
    } catch (const Json::exception&) {
      answer = badRequest("A field of the request has the wrong type.");
    }
  });
  sendAnswer(response, answer);
}

}  // namespace kestrel::console
