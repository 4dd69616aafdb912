// The console's JSON API: how a request reaches a handler on the main loop,
// and the shapes of its answers.
//
// Every handler runs on the main loop, which owns the console's state, so a
// handler may touch the main frame and the shared database directly. A
// handler that needs long work starts a worker and reports through events.
//
// Answers:
//   ok(body)            200, the body as given
//   question(...)       409 {"question": {"text", "buttons", "icon", "index"}}
//                       nothing has changed; the client asks the operator and
//                       repeats the request with the answer added to
//                       "answers" (a list, one entry per question asked so
//                       far, in order; "answer" is accepted for the first)
//   message(...)        a refusal or failure the console shows in a box:
//                       {"message": {"text", "buttons", "icon"}}, status 409
//                       unless given (422 for bad input, 404, 503 ...)
//   badRequest(text)    400 {"error": text}: malformed request
#pragma once
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace kestrel::platform {
class EventLoop;
class Settings;
}  // namespace kestrel::platform

namespace kestrel::server {
class CMainFrame;
}

namespace kestrel::store {
class Database;
}

namespace kestrel::console {

using Json = nlohmann::json;

class EventHub;
class FrameView;
class RefreshWorker;

// The automatic synchronisation's in-progress mark.
struct AutoRefreshState {
  bool running = false;
};

struct ApiRequest {
  std::string method;
  std::string path;
  std::vector<std::string> captures;            // the pattern's groups, in order
  std::map<std::string, std::string> query;     // query-string parameters
  Json body = Json::object();                   // the JSON body (an object), or {}

  // A body field, else a query parameter, as text; fallback when absent.
  std::string text(const std::string& name, const std::string& fallback = "") const;
  // A body field or query parameter as an integer; nullopt when absent or not a number.
  std::optional<long long> integer(const std::string& name) const;
  bool flag(const std::string& name, bool fallback = false) const;
  // The operator's answer to question number index (0 = the first asked).
  std::optional<std::string> answer(std::size_t index = 0) const;
};

struct ApiResponse {
  int status = 200;
  Json body = Json::object();
  // When set, the response is this text (a report, an index file) instead of JSON.
  std::optional<std::string> text;
  std::string contentType = "text/plain; charset=utf-8";
  std::string fileName;  // offered as a download under this name when set
};

ApiResponse ok(Json body = Json::object());
ApiResponse question(const std::string& text, std::vector<std::string> buttons, const std::string& icon = "question",
                     std::size_t index = 0);
ApiResponse message(const std::string& text, const std::string& icon = "stop", int status = 409,
                    std::vector<std::string> buttons = {"OK"});
ApiResponse badRequest(const std::string& text);
ApiResponse notFound(const std::string& text = "Not found.");
ApiResponse textResponse(std::string text, std::string fileName = {});

// What a handler may use; main loop only.
struct ConsoleContext {
  server::CMainFrame& frame;
  FrameView& view;
  platform::Settings& settings;
  EventHub& events;
  platform::EventLoop& loop;
  RefreshWorker& refreshWorker;
  AutoRefreshState autoRefresh;
  // The shared connection, lending its record sets; null when the data
  // source is missing, and handlers that need it answer databaseMissing().
  store::Database* database;
};

ApiResponse databaseMissing();

// Characters, not bytes: the console's limits count what the operator typed.
std::size_t characterCount(const std::string& text);

using Handler = std::function<ApiResponse(const ApiRequest&, ConsoleContext&)>;

// Routes by method and a regular-expression path under /api (the whole path
// must match; groups become ApiRequest::captures).
class ApiRoutes {
 public:
  struct Route {
    std::string method;
    std::string pattern;
    Handler handler;
  };
  void get(std::string pattern, Handler handler) { add("GET", std::move(pattern), std::move(handler)); }
  void post(std::string pattern, Handler handler) { add("POST", std::move(pattern), std::move(handler)); }
  void put(std::string pattern, Handler handler) { add("PUT", std::move(pattern), std::move(handler)); }
  void del(std::string pattern, Handler handler) { add("DELETE", std::move(pattern), std::move(handler)); }
  void add(std::string method, std::string pattern, Handler handler) {
    routes_.push_back({std::move(method), std::move(pattern), std::move(handler)});
  }
  const std::vector<Route>& routes() const { return routes_; }

 private:
  std::vector<Route> routes_;
};

// Each area of the console registers its routes here.
void registerFrameRoutes(ApiRoutes& routes);     // connections, console, spy, broadcast, log, exit, about
void registerSettingsRoutes(ApiRoutes& routes);  // settings sheet, data sources, service
void registerAccountRoutes(ApiRoutes& routes);   // domains, users, groups, pickers, domain sheet
void registerTreeRoutes(ApiRoutes& routes);      // directory tree
void registerFileRoutes(ApiRoutes& routes);      // file list, file sheet, directory picker
void registerRefreshRoutes(ApiRoutes& routes);   // disk synchronisation and auto refresh
void registerIndexRoutes(ApiRoutes& routes);     // index files and descriptions
void registerReportRoutes(ApiRoutes& routes);    // the four reports
void registerMetricsRoutes(ApiRoutes& routes);   // counters for monitoring

inline void registerAllRoutes(ApiRoutes& routes) {
  registerFrameRoutes(routes);
  registerSettingsRoutes(routes);
  registerAccountRoutes(routes);
  registerTreeRoutes(routes);
  registerFileRoutes(routes);
  registerRefreshRoutes(routes);
  registerIndexRoutes(routes);
  registerReportRoutes(routes);
  registerMetricsRoutes(routes);
}

// The main timer's automatic synchronisation step (after the idle checks
// have been posted); runs on the main loop every 5 seconds.
void autoRefreshTick(ConsoleContext& context);

// Server-Sent Events. Channel "frame" carries what every console shows
// (connection rows, console lines, notices, questions); "spy/<id>" one spy
// window's traffic; "refresh" the synchronisation's progress. Any thread may
// publish.
class EventHub {
 public:
  virtual ~EventHub() = default;
  virtual void publish(const std::string& channel, const std::string& event, const Json& data) = 0;
  // A failure the operator must see: delivered to every open console, or kept
  // for the next console that opens when none is open.
  virtual void notice(const std::string& text, const std::string& icon = "stop") = 0;
  // Whether any console is subscribed to the frame channel.
  virtual bool consoleOpen() const = 0;
};

}  // namespace kestrel::console
